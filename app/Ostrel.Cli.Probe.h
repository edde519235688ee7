#pragma once
// One GET through one HTTP stack, seen from outside: what came back, when each phase of the
// exchange was reached, and what kind of failure stopped it, in terms both stacks share.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace Ostrel {
class THTTPClient;
}

namespace Ostrel::Cli {

/// The two stacks: Qt's own client and Nimbra's.
enum class TStack { Qt, Nimbra };
/// "qt" or "nimbra", as on the command line.
const char* StackName(TStack Stack);

/// Kinds of failure, one set for both stacks.
enum class TFailure {
    None,
    NameResolution,       // the host name did not resolve
    Connection,           // refused or unreachable
    Tls,                  // the handshake failed; the certificate problem is named
    Timeout,              // the stack's time-out ran out
    Protocol,             // the server broke off the exchange or did not speak HTTP
    InProcServerMissing,  // no in-process server has the URL's name
    NoTransport,          // the stack has no transport for the URL's scheme
    InvalidUrl,           // the text is not a URL the stack can send to
    Other,
};
/// The category's name in output and JSON ("name-resolution", "tls", ...).
const char* FailureName(TFailure Failure);
/// A few words for a sentence ("the host name did not resolve").
const char* FailureWords(TFailure Failure);

/// Moments of an exchange, in the order they are reached.
enum TMilestone { NameResolved, Connected, TlsDone, RequestSent, FirstByte, End, MilestoneCount };
/// The milestone's key in JSON ("name_resolution", ..., "end").
const char* MilestoneKey(TMilestone M);

/// When a milestone was reached, in milliseconds after the request was handed to the stack.
struct TMoment {
    enum TKind {
        Untold,   // the stack cannot tell
        Missed,   // did not happen: not needed (plain HTTP has no TLS) or never reached
        Reached,  // at Ms
        Failed,   // the exchange broke off in the phase that ends here
    } Kind = Untold;
    double Ms = 0;

    static TMoment At(double AMs) { return {Reached, AMs}; }
    static TMoment None() { return {Missed, 0}; }
    static TMoment BrokeOff() { return {Failed, 0}; }
};

/// What one stack made of one URL.
struct TProbe {
    TStack Stack = TStack::Qt;
    std::string Url;
    double WallMs = 0;  // the stack's whole call as the tool timed it, body read included

    bool Answered = false;  // an HTTP status came back (of any kind)
    int Status = 0;
    std::string Reason;
    std::string Protocol;            // "HTTP/1.1" or "HTTP/2" of an answer; empty without one
    std::string Location;            // of an answer that is a redirect, as sent
    std::string FollowedTo;          // where the answer came from when the stack followed redirects
    int Redirects = 0;               // redirects the stack followed
    std::optional<bool> Compressed;  // unset when the stack cannot tell
    std::string Encoding;            // the body's coding when it came compressed

    TFailure Failure = TFailure::None;
    std::string Problem;  // for a TLS failure: the certificate problem, in shared words
    std::string Message;  // the stack's own message, as it gave it

    std::string TimesFrom;  // where the phase times came from; empty when there are none
    std::string TimesNote;  // why there are none, when there are none
    std::array<TMoment, MilestoneCount> Moments{};
};

/// Sends one GET through Qt's client as the window's first button does, with the given
/// time-out (milliseconds without data).
TProbe ProbeQt(THTTPClient& Client, const std::string& Url, int TimeoutMs);

/// WinHTTP's secure-failure flags in the words both stacks' problems are named with
/// ("untrusted issuer, expired or not yet valid").
std::string CertificateProblem(std::uint32_t WinHttpFlags);

/// The performance counter in milliseconds since Start (a counter reading).
double MsSince(std::int64_t Start, std::int64_t Moment);
/// The performance counter now.
std::int64_t CounterNow();

}  // namespace Ostrel::Cli
