#pragma once
// What differs between the systems the tests run on, stated once: Linux with our own
// libwinhttp, Windows, and Wine with its own winhttp.dll. A test asks for the row of the system
// it runs on and checks against it; nothing is weakened on one system for the sake of another.

#include <cstdint>
#include <map>
#include <string>

namespace TestSupport {

enum class TPlatform { Linux, Windows, Wine };

/// The expected outcomes on one system.
struct TPlatformRow {
    TPlatform Platform;
    const char* Name;
    /// The file a library named "winhttp.dll" is loaded from by name.
    std::string WinHttpFile;
    /// A library every process of the system can load, and one function it exports.
    std::string SystemLibrary;
    std::string SystemFunction;
    /// The system's English message texts (with their ".\r\n") for the codes the tests use.
    std::map<std::uint32_t, std::string> SystemTexts;
    /// The operating-system version reported; 0.0 where it is whatever the machine runs.
    int OsMajor;
    int OsMinor;
    /// Whether QueryPerformanceCounter and QueryPerformanceFrequency refuse a null pointer
    /// (last error 87) rather than write through it.
    bool CounterRefusesNull;

    // The WinHTTP engine over this system's WinHTTP. Messages are whole exception messages.
    /// Whether the engine asks WinHTTP to decompress (it does from version 6.3 on), so that
    /// WinHTTP offers gzip and deflate to the server.
    bool EngineAsksForDecompression;
    /// What setting WINHTTP_OPTION_DECOMPRESSION fails with; 0 where WinHTTP has the option.
    std::uint32_t DecompressionOptionError;
    /// When the status line has no reason phrase ("HTTP/1.0 200"); empty where WinHTTP takes it.
    std::string StatusLineWithoutReasonMessage;
    /// When no response head arrives within the request's time-out; empty where WinHTTP
    /// applies no time-out to that wait, so the late answer is what the caller gets.
    std::string HeadTimeoutMessage;
    /// When the body stops arriving for longer than the time-out.
    std::string BodyTimeoutMessage;
    /// When the server closes the connection in the middle of a body of a stated length.
    std::string ClosedMidBodyMessage;
    /// What a certificate failure says before the certificate text, and whether that text
    /// (from WinHTTP's secure-failure notification) follows at all.
    std::string CertificateFailureMessage;
    bool CertificateTextFollows;
    /// The host name under which a certificate made for "127.0.0.1" and "localhost" is
    /// accepted.
    std::string TlsHost;
    /// Whether WinHTTP tells the times of an exchange (WINHTTP_OPTION_REQUEST_TIMES).
    bool RequestTimesKnown;
    /// Whether closing the request handle from another thread ends a call blocked on it.
    /// Where it does not, the blocked call ends when its connection does, and the next call
    /// on the request says it was cancelled.
    bool CloseEndsABlockedCall;
};

/// The row of the system this program runs on.
const TPlatformRow& CurrentPlatform();

}  // namespace TestSupport
