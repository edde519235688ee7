#pragma once
// Starts tests/support/testserver.py on 127.0.0.1 with an ephemeral port for one test (or
// one suite) and stops it again. A Windows program (under Wine) has the server started by
// testserver_launcher.py on the Linux side and talks to it over a loopback connection.

#ifndef _WIN32
#include <sys/types.h>
#endif

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace TestSupport {

#ifndef _WIN32
/// A helper program started with pipes for its stdin and stdout, which says "PORT <n>" as its
/// first line once it listens; from construction until destruction, which closes its stdin
/// (its sign to end), sends it SIGTERM and reaps it. Throws std::runtime_error, with what the
/// program said, when it cannot be started or does not report its port within 30 s.
class TPortReportingProcess {
  public:
    /// Argv[0] is looked up in PATH unless it is a path; Name says what the program is in errors.
    TPortReportingProcess(const std::string& Name, std::vector<std::string> Argv);
    ~TPortReportingProcess();
    TPortReportingProcess(const TPortReportingProcess&) = delete;
    TPortReportingProcess& operator=(const TPortReportingProcess&) = delete;

    int Port() const { return FPort; }

  private:
    void Stop() noexcept;

    pid_t FPid = -1;
    int FStdin = -1;   // closing it tells the program to end
    int FStdout = -1;  // kept open so the program never writes into a closed pipe
    int FPort = 0;
};
#endif

/// A running test server process; valid from construction until destruction, which kills
/// and reaps it. Extra arguments go to the script (e.g. {"--tls", cert, key}).
class TTestServer {
  public:
    explicit TTestServer(std::vector<std::string> ExtraArgs = {});
    ~TTestServer();
    TTestServer(const TTestServer&) = delete;
    TTestServer& operator=(const TTestServer&) = delete;

    int Port() const { return FPort; }
    /// "127.0.0.1"
    static const char* Host() { return "127.0.0.1"; }
    /// "http://127.0.0.1:<port>" (https with --tls) followed by Path as given.
    std::string Url(std::string_view Path = "/") const;
    /// Where testserver.py and its route modules live.
    static std::string SupportDir();

  private:
#ifdef _WIN32
    void Stop() noexcept;

    // The connection to the launcher, which is the server's stdin and stdout: shutting down
    // its sending side tells the server to end, and its end of data says the server is gone.
    std::uintptr_t FConnection = ~std::uintptr_t{0};
#else
    std::unique_ptr<TPortReportingProcess> FProcess;  // the server, for this object's life
#endif
    int FPort = 0;
    bool FTls = false;
};

/// A loopback port that is bound but not listening, so connecting to it is refused; no one
/// else can take it while this lives.
class TRefusingPort {
  public:
    TRefusingPort();
    ~TRefusingPort();
    TRefusingPort(const TRefusingPort&) = delete;
    TRefusingPort& operator=(const TRefusingPort&) = delete;
    int Port() const { return FPort; }

  private:
#ifdef _WIN32
    std::uintptr_t FSocket = ~std::uintptr_t{0};
#else
    int FSocket = -1;
#endif
    int FPort = 0;
};

/// A loopback listener that takes connections and reads requests but never answers, so a
/// client blocks waiting for the response head. WaitForRequest tells when a request head has
/// arrived; everything is closed on destruction.
class TSilentPeer {
  public:
    TSilentPeer();
    ~TSilentPeer();
    TSilentPeer(const TSilentPeer&) = delete;
    TSilentPeer& operator=(const TSilentPeer&) = delete;
    int Port() const { return FPort; }
    std::string Url(std::string_view Path = "/") const;
    /// Waits until Count request heads have arrived in all; false after 30 s without them.
    bool WaitForRequest(int Count = 1);

  private:
    void Serve();

#ifdef _WIN32
    std::uintptr_t FListener = ~std::uintptr_t{0};
    bool FStopping = false;  // under FLock; Serve looks at it between short waits
#else
    int FListener = -1;
    int FWake[2] = {-1, -1};  // written on destruction to end Serve
#endif
    int FPort = 0;
    std::mutex FLock;
    std::condition_variable FArrived;
    int FRequests = 0;
    std::thread FThread;
};

/// Certificates for TLS tests, made once per test program in a temporary folder by
/// make-test-certs (ca.pem, good, self, expired, wronghost, clientonly, badsig). A Windows
/// program cannot run that script: scripts/run-windows-tests makes them once for the run and
/// names the folder in OSTREL_TEST_CERT_DIR.
const std::string& TestCertDir();

/// Makes the WinHTTP library of this system trust the test CA (TestCertDir()/ca.pem): libcurl
/// takes it from CURL_CA_BUNDLE; on Windows it goes into the user's root store.
void TrustTestCa();

}  // namespace TestSupport
