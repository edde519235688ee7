#include "Ostrel.Cli.Options.h"

#include <charconv>
#include <climits>

namespace Ostrel::Cli {

namespace {

int ParseTimeout(const std::string& Text) {
    int Value = 0;
    const char* End = Text.data() + Text.size();
    auto [Ptr, Ec] = std::from_chars(Text.data(), End, Value);
    if (Text.empty() || Ec != std::errc() || Ptr != End || Value <= 0)
        throw EUsageError("--timeout needs a whole number of milliseconds from 1 to " +
                          std::to_string(INT_MAX) + ", not \"" + Text + "\"");
    return Value;
}

}  // namespace

TOptions ParseOptions(const std::vector<std::string>& Args) {
    TOptions O;
    bool StackGiven = false;
    bool OptionsEnded = false;
    for (std::size_t I = 0; I < Args.size(); ++I) {
        const std::string& A = Args[I];
        if (OptionsEnded || A.empty() || A[0] != '-' || A == "-") {
            O.Urls.push_back(A);
            continue;
        }
        if (A == "--") {
            OptionsEnded = true;
            continue;
        }
        // "--name value" or "--name=value" for the options that take one.
        std::string Name = A, Value;
        bool HasValue = false;
        if (std::size_t Eq = A.find('='); Eq != std::string::npos && A.rfind("--", 0) == 0) {
            Name = A.substr(0, Eq);
            Value = A.substr(Eq + 1);
            HasValue = true;
        }
        auto TakeValue = [&]() -> std::string {
            if (HasValue) return Value;
            if (I + 1 >= Args.size()) throw EUsageError(Name + " needs a value");
            return Args[++I];
        };
        auto NoValue = [&] {
            if (HasValue) throw EUsageError(Name + " takes no value");
        };
        if (Name == "--help" || Name == "-h") {
            NoValue();
            O.Help = true;
        } else if (Name == "--json") {
            NoValue();
            O.Json = true;
        } else if (Name == "--http2") {
            NoValue();
            O.Http2 = true;
        } else if (Name == "--timeout") {
            O.TimeoutMs = ParseTimeout(TakeValue());
        } else if (Name == "--stack") {
            const std::string S = TakeValue();
            if (S != "qt" && S != "nimbra")
                throw EUsageError("--stack is qt or nimbra, not \"" + S + "\"");
            if (StackGiven) throw EUsageError("--stack given twice; leave it out for both stacks");
            StackGiven = true;
            O.UseQt = S == "qt";
            O.UseNimbra = S == "nimbra";
        } else {
            throw EUsageError("unknown option " + Name);
        }
    }
    if (O.Urls.empty() && !O.Help) throw EUsageError("no URL given");
    for (const std::string& U : O.Urls)
        if (U.empty()) throw EUsageError("an empty URL was given");
    return O;
}

std::string HelpText() {
    return R"(Usage: ostrel-cli [options] URL...

Sends one GET for each URL through two HTTP stacks, one after the other: Qt's own client
(as the window's first button does) and Nimbra's THttpClient (as its second button does,
but reading the body through, where the button reads only the status), and prints for each
stack what came back, where the time went, and whether the two agree. Each stack is warmed
up once before the first URL, so no start-up cost is in any URL's figures.

Options:
  --json            print one JSON document instead of text (shape: see the README)
  --timeout MS      time-out of both stacks in milliseconds (default 60000): Qt gives up
                    after MS without data, Nimbra uses it for name resolution, connect,
                    send and receive alike
  --stack qt|nimbra send through one stack only; there is then nothing to compare
  --http2           let Nimbra offer HTTP/2 on https URLs, as Qt does by default; without
                    it Nimbra speaks HTTP/1.1 only, as the window's second button does
  -h, --help        print this text and send nothing
  --                everything after it is a URL, even when it starts with "-"

For each stack: the status and reason, the protocol of the answer (HTTP/1.1 or HTTP/2;
the server chooses among those the stack offers), the Location of a redirect that was returned,
whether the body came compressed, the time taken and its phases (name resolution, connect,
TLS handshake, request sent, first byte, end) as numbers and as a one-line waterfall on a
common scale; a phase the stack cannot tell is shown as "?", one that did not happen as
"-", one the exchange broke off in as "failed". A failure is put in one category shared by
both stacks (name-resolution, connection, tls, timeout, protocol, inproc-server-missing,
no-transport, invalid-url, other) beside the stack's own message. A last line says whether
the stacks agree and, if not, why; a note follows when they answered over different
protocols (the same status over HTTP/1.1 and HTTP/2 is agreement).

Exit codes (with several URLs the highest one counts):
  0  every request through every chosen stack answered 200
  1  every request was answered and the stacks agree, but not always with 200
  2  bad command line; nothing was sent
  3  the stacks disagree about a URL: different statuses, or one answered and the other
     failed, or they failed in different ways
  4  no answer for a URL: the chosen stack failed, or both failed the same way
)";
}

}  // namespace Ostrel::Cli
