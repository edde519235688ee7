#pragma once
// An HTTP/2 server for the tests: nginx of our own on 127.0.0.1 speaking HTTP/2 and HTTP/1.1
// over TLS (chosen by ALPN), in front of a test server (testserver.py) whose every route it
// passes on. A client that offers HTTP/2 gets the test server's answers over HTTP/2; one that
// does not gets them over HTTP/1.1 from the same place, so one table of exchanges runs over
// both protocols. Linux only: nginx runs beside the test program.
//
//     TestSupport::THttp2Server Server;
//     ... https://127.0.0.1:<Server.Port()>/bytes/100, trusted after TrustTestCa()

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "TestServer.h"

namespace TestSupport {

/// nginx and the test server behind it, from construction until destruction, which stops
/// both and removes nginx's folder. Throws std::runtime_error when nginx does not start,
/// with its error log. BackendArgs go to the test server behind.
class THttp2Server {
  public:
    explicit THttp2Server(std::vector<std::string> BackendArgs = {});
    ~THttp2Server();
    THttp2Server(const THttp2Server&) = delete;
    THttp2Server& operator=(const THttp2Server&) = delete;

    /// The TLS port clients connect to.
    int Port() const { return FPort; }
    /// "https://127.0.0.1:<port>" followed by Path as given.
    std::string Url(std::string_view Path = "/") const;
    /// The test server behind nginx (reached over plain HTTP/1.1).
    TTestServer& Backend() { return *FBackend; }
    /// Client connections nginx has accepted so far (its status counter), or -1 when it
    /// cannot be read.
    long Accepted() const;

  private:
    bool Start(int Port);

    std::unique_ptr<TTestServer> FBackend;
    std::filesystem::path FDir;
    pid_t FPid = -1;
    int FPort = 0;
    int FStatusPort = 0;         // plain HTTP, the status page only
    long FProbes = 0;            // connections made to see that nginx is up
    mutable long FReadings = 0;  // ... and to read the status page
};

/// tests/support/h2peer.py: an HTTP/2 server on TLS (the test certificates) that breaks the
/// rules on request (its routes are listed in the script), from construction until
/// destruction. It needs Python's h2 package; Available() says whether there is a Python
/// that has it, and the constructor throws std::runtime_error when there is none.
class TH2Peer {
  public:
    TH2Peer();
    ~TH2Peer();
    TH2Peer(const TH2Peer&) = delete;
    TH2Peer& operator=(const TH2Peer&) = delete;

    static bool Available();
    int Port() const;

  private:
    std::unique_ptr<TPortReportingProcess> FProcess;  // the peer, for this object's life
};

}  // namespace TestSupport
