// libwinhttp over HTTP/2: the protocol options, and exchanges with nginx (HTTP/2 and HTTP/1.1
// on TLS, chosen by ALPN) in front of the test server, each run over both protocols.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <iostream>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "Http2Server.h"
#include "Nimbra.WinHttp.Api.h"
#include "TestServer.h"
#include "WinHttpTestUtil.h"

// Inside the namespace the WinHTTP names are the bound functions, not the C declarations.
namespace Nimbra {

using TestSupport::PatternBytes;
using TestSupport::QueryStatus;
using TestSupport::QueryText;
using TestSupport::ReadAll;
using TestSupport::THandle;
using TestSupport::THttp2Server;
using TestSupport::TTestServer;
using TestSupport::U;

namespace {

bool SetDword(HINTERNET H, DWORD Option, DWORD Value) {
    return WinHttpSetOption(H, Option, &Value, sizeof Value);
}

/// WINHTTP_OPTION_HTTP_PROTOCOL_USED, or ~0u with the error in Err.
DWORD ProtocolUsed(HINTERNET Req, DWORD* Err = nullptr) {
    DWORD Flags = 0, Len = sizeof Flags;
    if (!WinHttpQueryOption(Req, WINHTTP_OPTION_HTTP_PROTOCOL_USED, &Flags, &Len)) {
        if (Err) *Err = GetLastError();
        return ~0u;
    }
    return Flags;
}

/// How one exchange went: the step that failed (empty when none) and what came back.
struct TOutcome {
    std::string Stage;
    DWORD Code = 0;
    DWORD Status = 0;
    std::string Version, StatusText, Headers, Body;
    DWORD Protocol = ~0u;  // WINHTTP_OPTION_HTTP_PROTOCOL_USED after the response
    std::string Url;       // WINHTTP_OPTION_URL after the response
    int Redirects = 0;     // redirect notifications: one per hop followed
    WINHTTP_REQUEST_TIMES Times{};
};

/// One request on its own handles. Protocols, when not ~0u, is set on the request.
struct TExchange {
    int Port = 0;
    std::string Path = "/";
    bool Secure = true;
    DWORD Protocols = ~0u;
    bool Required = false;
    DWORD Decompression = 0;
    int TimeoutMs = 10000;
    std::u16string Verb = u"GET";
    std::string Body;     // sent as optional data
    std::string Written;  // then through WinHttpWriteData, in pieces of 64 KiB
};

void WINAPI CountRedirects(HINTERNET, DWORD_PTR Context, DWORD Status, LPVOID, DWORD) {
    if (Status == WINHTTP_CALLBACK_STATUS_REDIRECT) ++*reinterpret_cast<int*>(Context);
}

TOutcome Exchange(HINTERNET Session, const TExchange& X) {
    TOutcome O;
    auto Fail = [&](const char* Stage) {
        O.Stage = Stage;
        O.Code = GetLastError();
        return O;
    };
    THandle Conn(WinHttpConnect(Session, u"127.0.0.1", static_cast<INTERNET_PORT>(X.Port), 0));
    if (!Conn) return Fail("connect");
    THandle Req(WinHttpOpenRequest(Conn.Get(), X.Verb.c_str(), U(X.Path).c_str(), nullptr, nullptr,
                                   nullptr, X.Secure ? WINHTTP_FLAG_SECURE : 0));
    if (!Req) return Fail("open");
    if (!WinHttpSetTimeouts(Req.Get(), X.TimeoutMs, X.TimeoutMs, X.TimeoutMs, X.TimeoutMs))
        return Fail("timeouts");
    if (X.Decompression && !SetDword(Req.Get(), WINHTTP_OPTION_DECOMPRESSION, X.Decompression))
        return Fail("option");
    WinHttpSetStatusCallback(Req.Get(), &CountRedirects, WINHTTP_CALLBACK_FLAG_REDIRECT, 0);
    if (X.Protocols != ~0u &&
        !SetDword(Req.Get(), WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, X.Protocols))
        return Fail("option");
    if (X.Required && !SetDword(Req.Get(), WINHTTP_OPTION_HTTP_PROTOCOL_REQUIRED, TRUE))
        return Fail("option");
    if (!WinHttpSendRequest(
            Req.Get(), nullptr, 0, X.Body.empty() ? nullptr : const_cast<char*>(X.Body.data()),
            static_cast<DWORD>(X.Body.size()), static_cast<DWORD>(X.Body.size() + X.Written.size()),
            reinterpret_cast<DWORD_PTR>(&O.Redirects)))
        return Fail("send");
    for (std::size_t At = 0; At < X.Written.size(); At += 65536) {
        const DWORD Piece = static_cast<DWORD>(std::min<std::size_t>(65536, X.Written.size() - At));
        DWORD N = 0;
        if (!WinHttpWriteData(Req.Get(), X.Written.data() + At, Piece, &N)) return Fail("write");
    }
    if (!WinHttpReceiveResponse(Req.Get(), nullptr)) return Fail("receive");
    O.Status = QueryStatus(Req.Get());
    O.Version = QueryText(Req.Get(), WINHTTP_QUERY_VERSION);
    O.StatusText = QueryText(Req.Get(), WINHTTP_QUERY_STATUS_TEXT);
    O.Headers = QueryText(Req.Get(), WINHTTP_QUERY_RAW_HEADERS_CRLF);
    O.Protocol = ProtocolUsed(Req.Get());
    char16_t Url[512] = {};
    DWORD Len = sizeof Url;
    if (WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_URL, Url, &Len))
        O.Url = TestSupport::A(std::u16string_view(Url, Len / 2));
    DWORD Err = 0;
    if (!ReadAll(Req.Get(), O.Body, Err)) {
        O.Stage = "read";
        O.Code = Err;
    }
    Len = sizeof O.Times;
    WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_REQUEST_TIMES, &O.Times, &Len);
    return O;
}

// The protocol a row runs over: what the session enables, and what it then must get.
struct TProtocol {
    const char* Name;
    DWORD Enabled;  // WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL on the session
    DWORD Used;     // WINHTTP_OPTION_HTTP_PROTOCOL_USED
    const char* Version;
};
const TProtocol Http11{"HTTP/1.1", 0, 0, "HTTP/1.1"};
const TProtocol Http2{"HTTP/2", WINHTTP_PROTOCOL_FLAG_HTTP2, WINHTTP_PROTOCOL_FLAG_HTTP2, "HTTP/2"};
void PrintTo(const TProtocol& P, std::ostream* Os) {
    *Os << P.Name;
}

// One nginx for the whole suite: starting it costs more than the exchanges.
class WinHttpHttp2 : public ::testing::TestWithParam<TProtocol> {
  protected:
    static void SetUpTestSuite() {
        TestSupport::TrustTestCa();
        FServer = std::make_unique<THttp2Server>();
    }
    static void TearDownTestSuite() { FServer.reset(); }
    void SetUp() override {
        ASSERT_TRUE(LoadWinHttp());
        FSession =
            THandle(WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
        ASSERT_TRUE(FSession);
        ASSERT_TRUE(
            SetDword(FSession.Get(), WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, Protocol().Enabled));
    }
    static const TProtocol& Protocol() { return GetParam(); }
    TOutcome Get(const std::string& Path) {
        TExchange X;
        X.Port = FServer->Port();
        X.Path = Path;
        return Exchange(FSession.Get(), X);
    }

    static std::unique_ptr<THttp2Server> FServer;
    THandle FSession;
};
std::unique_ptr<THttp2Server> WinHttpHttp2::FServer;

INSTANTIATE_TEST_SUITE_P(Protocols, WinHttpHttp2, ::testing::Values(Http11, Http2),
                         [](const auto& Info) { return Info.param.Enabled ? "Http2" : "Http11"; });

/// The header names of a raw header text, the status line left out.
std::vector<std::string> HeaderNames(const std::string& Raw) {
    std::vector<std::string> Names;
    std::size_t At = Raw.find("\r\n");
    while (At != std::string::npos && At + 2 < Raw.size()) {
        const std::size_t End = Raw.find("\r\n", At + 2);
        const std::string Line = Raw.substr(At + 2, End - At - 2);
        if (!Line.empty()) Names.push_back(Line.substr(0, Line.find(':')));
        At = End;
    }
    return Names;
}

}  // namespace

TEST_P(WinHttpHttp2, ResponsesReadAsOverEitherProtocol) {
    struct {
        const char* Name;
        std::string Path;
        DWORD Status;
        std::string Body;
    } Cases[] = {
        {"a small body", "/bytes/100", 200, PatternBytes(100)},
        {"a large body", "/bytes/3000000", 200, PatternBytes(3000000)},
        {"an empty body", "/bytes/0", 200, ""},
        {"no body at all", "/status/204", 204, ""},
        {"a client error", "/status/404", 404, "status 404\n"},
        {"a chunked body", "/faults/chunked?sizes=5,1,70000,3", 200, PatternBytes(70009)},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        const TOutcome O = Get(C.Path);
        ASSERT_EQ(O.Stage, "") << O.Code;
        EXPECT_EQ(O.Status, C.Status);
        EXPECT_TRUE(O.Body == C.Body) << "body of " << O.Body.size() << " bytes";
        EXPECT_EQ(O.Protocol, Protocol().Used);
        EXPECT_EQ(O.Version, Protocol().Version);
        // HTTP/2 has no reason phrase; its status line is the version and the code.
        const std::string StatusLine =
            Protocol().Used ? "HTTP/2 " + std::to_string(C.Status)
                            : "HTTP/1.1 " + std::to_string(C.Status) + " " + O.StatusText;
        EXPECT_EQ(O.Headers.rfind(StatusLine + "\r\n", 0), 0u) << O.Headers;
        if (Protocol().Used) {
            EXPECT_EQ(O.StatusText, "");
        } else {
            EXPECT_NE(O.StatusText, "");
        }
        ASSERT_GE(O.Headers.size(), 4u);
        EXPECT_EQ(O.Headers.find("\r\n\r\n"), O.Headers.size() - 4) << "one empty line, at the end";
        for (const std::string& Name : HeaderNames(O.Headers)) {
            SCOPED_TRACE(Name);
            if (!Protocol().Used) continue;
            // As sent: HTTP/2 has lower-case names and no connection-specific headers.
            std::string Lower = Name;
            for (char& Ch : Lower)
                Ch = static_cast<char>(std::tolower(static_cast<unsigned char>(Ch)));
            EXPECT_EQ(Name, Lower);
            for (const char* Gone : {"connection", "keep-alive", "transfer-encoding"})
                EXPECT_NE(Lower, Gone);
        }
    }
}

// Decoding, redirects and request times read as over HTTP/1.1.
TEST_P(WinHttpHttp2, DecodingRedirectsAndTimesAsOverHttp11) {
    const std::string Origin = FServer->Url("");
    struct {
        const char* Name;
        std::string Path;
        DWORD Decompression;
        DWORD Status;
        std::string Body;
        std::string Url;  // where the answer came from
        int Redirects;
        std::string Stage;
        DWORD Code;
    } Cases[] = {
        {"gzip decoded", "/faults/compressed/gzip?n=5000", WINHTTP_DECOMPRESSION_FLAG_ALL, 200,
         PatternBytes(5000), Origin + "/faults/compressed/gzip?n=5000", 0, "", 0},
        {"deflate decoded, chunked", "/faults/compressed/deflate?n=100000&chunked=1",
         WINHTTP_DECOMPRESSION_FLAG_ALL, 200, PatternBytes(100000),
         Origin + "/faults/compressed/deflate?n=100000&chunked=1", 0, "", 0},
        {"three hops", "/faults/chain/3", 0, 200, "chain end GET 0\n", Origin + "/faults/chain/0",
         3, "", 0},
        {"ten hops, the most allowed", "/faults/chain/10", 0, 200, "chain end GET 0\n",
         Origin + "/faults/chain/0", 10, "", 0},
        {"eleven hops", "/faults/chain/11", 0, 0, "", "", 0, "receive", 12156},
        {"https to http refused", "/redirect?to=http://127.0.0.1:1/", 0, 0, "", "", 0, "receive",
         12156},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TExchange X;
        X.Port = FServer->Port();
        X.Path = C.Path;
        X.Decompression = C.Decompression;
        const TOutcome O = Exchange(FSession.Get(), X);
        EXPECT_EQ(O.Stage, C.Stage);
        EXPECT_EQ(O.Code, C.Code);
        if (!C.Stage.empty()) continue;
        EXPECT_EQ(O.Status, C.Status);
        EXPECT_TRUE(O.Body == C.Body) << "body of " << O.Body.size() << " bytes";
        EXPECT_EQ(O.Url, C.Url);
        EXPECT_EQ(O.Redirects, C.Redirects);
        EXPECT_EQ(O.Protocol, Protocol().Used);
        // A decoded body's coding and coded length are gone, whatever case their names have.
        std::string Lower = O.Headers;
        for (char& Ch : Lower) Ch = static_cast<char>(std::tolower(static_cast<unsigned char>(Ch)));
        if (C.Decompression) {
            EXPECT_EQ(Lower.find("content-encoding"), std::string::npos) << O.Headers;
            EXPECT_EQ(Lower.find("content-length"), std::string::npos) << O.Headers;
        }
        // The moments of the exchange, in their order.
        const auto& T = O.Times.rgullTimes;
        EXPECT_NE(T[WinHttpSendRequestStart], 0u);
        EXPECT_LE(T[WinHttpSendRequestStart], T[WinHttpReceiveResponseHeadersEnd]);
        EXPECT_LE(T[WinHttpReceiveResponseHeadersEnd], T[WinHttpReceiveResponseEnd]);
    }
}

// Bodies sent with the request, whole or written after it, reach the server as they reach it
// over plain HTTP/1.1 (its size, digest and framing).
TEST_P(WinHttpHttp2, UploadsArriveAsSent) {
    struct {
        const char* Name;
        std::u16string Verb;
        std::string Body, Written;
    } Cases[] = {
        {"POST with optional data", u"POST", "a=1&b=2", ""},
        {"PUT written in pieces", u"PUT", "", PatternBytes(300000)},
        {"POST, part optional, part written", u"POST", "head:", PatternBytes(70000)},
        {"POST without a body", u"POST", "", ""},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TExchange X;
        X.Port = FServer->Backend().Port();
        X.Path = "/faults/upload";
        X.Secure = false;
        X.Verb = C.Verb;
        X.Body = C.Body;
        X.Written = C.Written;
        const TOutcome Plain = Exchange(FSession.Get(), X);
        ASSERT_EQ(Plain.Stage, "") << Plain.Code;
        X.Port = FServer->Port();
        X.Secure = true;
        const TOutcome O = Exchange(FSession.Get(), X);
        ASSERT_EQ(O.Stage, "") << O.Code;
        EXPECT_EQ(O.Status, 200u);
        EXPECT_EQ(O.Protocol, Protocol().Used);
        EXPECT_EQ(O.Body, Plain.Body);
        EXPECT_EQ(O.Body.rfind(std::to_string(C.Body.size() + C.Written.size()) + " ", 0), 0u)
            << O.Body;
    }
}

void WINAPI NoteStatus(HINTERNET, DWORD_PTR Context, DWORD Status, LPVOID, DWORD) {
    auto& Seen = *reinterpret_cast<std::vector<DWORD>*>(Context);
    Seen.push_back(Status);
}

// The progress notifications of a request: a new connection's first, then the exchange's; a
// request on a connection already open (a stream of it over HTTP/2) has only the exchange's.
TEST_P(WinHttpHttp2, ProgressNotificationsAsOverHttp11) {
    const std::vector<DWORD> Exchange = {
        WINHTTP_CALLBACK_STATUS_SENDING_REQUEST, WINHTTP_CALLBACK_STATUS_REQUEST_SENT,
        WINHTTP_CALLBACK_STATUS_RECEIVING_RESPONSE, WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED};
    std::vector<DWORD> Connecting = {
        WINHTTP_CALLBACK_STATUS_RESOLVING_NAME, WINHTTP_CALLBACK_STATUS_NAME_RESOLVED,
        WINHTTP_CALLBACK_STATUS_CONNECTING_TO_SERVER, WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER};
    Connecting.insert(Connecting.end(), Exchange.begin(), Exchange.end());
    THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                static_cast<INTERNET_PORT>(FServer->Port()), 0));
    for (const auto& Expected : {Connecting, Exchange}) {
        THandle Req(WinHttpOpenRequest(Conn.Get(), u"GET", u"/bytes/10", nullptr, nullptr, nullptr,
                                       WINHTTP_FLAG_SECURE));
        std::vector<DWORD> Seen;
        WinHttpSetStatusCallback(
            Req.Get(), &NoteStatus,
            WINHTTP_CALLBACK_FLAG_RESOLVE_NAME | WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER |
                WINHTTP_CALLBACK_FLAG_SEND_REQUEST | WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE,
            0);
        ASSERT_TRUE(WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, 0,
                                       reinterpret_cast<DWORD_PTR>(&Seen)));
        ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr));
        std::string Body;
        DWORD Err = 0;
        ASSERT_TRUE(ReadAll(Req.Get(), Body, Err));
        EXPECT_EQ(ProtocolUsed(Req.Get()), Protocol().Used);
        EXPECT_EQ(Seen, Expected);
    }
}

// The authentication loop on one request handle: a 401, the schemes it offers, credentials,
// and the request sent again.
TEST_P(WinHttpHttp2, AuthenticationLoopAsOverHttp11) {
    struct {
        const char* Name;
        const char16_t* Path;
        DWORD Scheme;
        std::string Body;
    } Cases[] = {
        {"Basic", u"/auth/basic?user=u&pass=p", WINHTTP_AUTH_SCHEME_BASIC, "basic user u\n"},
        {"Digest", u"/auth/digest?user=u&pass=p", WINHTTP_AUTH_SCHEME_DIGEST, "digest user u\n"},
    };
    THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                static_cast<INTERNET_PORT>(FServer->Port()), 0));
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        THandle Req(WinHttpOpenRequest(Conn.Get(), u"GET", C.Path, nullptr, nullptr, nullptr,
                                       WINHTTP_FLAG_SECURE));
        ASSERT_TRUE(WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, 0, 0));
        ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr));
        EXPECT_EQ(QueryStatus(Req.Get()), 401u);
        EXPECT_EQ(ProtocolUsed(Req.Get()), Protocol().Used);
        DWORD Supported = 0, First = 0, Target = 9;
        ASSERT_TRUE(WinHttpQueryAuthSchemes(Req.Get(), &Supported, &First, &Target));
        EXPECT_EQ(First, C.Scheme);
        EXPECT_EQ(Target, static_cast<DWORD>(WINHTTP_AUTH_TARGET_SERVER));
        ASSERT_TRUE(WinHttpSetCredentials(Req.Get(), WINHTTP_AUTH_TARGET_SERVER, C.Scheme, u"u",
                                          u"p", nullptr));
        ASSERT_TRUE(WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, 0, 0));
        ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr)) << GetLastError();
        EXPECT_EQ(QueryStatus(Req.Get()), 200u);
        EXPECT_EQ(ProtocolUsed(Req.Get()), Protocol().Used);
        std::string Body;
        DWORD Err = 0;
        ASSERT_TRUE(ReadAll(Req.Get(), Body, Err));
        EXPECT_EQ(Body, C.Body);
    }
}

// A wait runs out, and a request closed from another thread ends its call, as over HTTP/1.1.
TEST_P(WinHttpHttp2, TimeOutsAndClosingEndTheWait) {
    TExchange X;
    X.Port = FServer->Port();
    X.Path = "/delay/3000";
    X.TimeoutMs = 300;
    const auto Start = std::chrono::steady_clock::now();
    const TOutcome O = Exchange(FSession.Get(), X);
    EXPECT_EQ(O.Stage, "receive");
    EXPECT_EQ(O.Code, 12002u);
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(2500));

    THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                static_cast<INTERNET_PORT>(FServer->Port()), 0));
    HINTERNET Req = WinHttpOpenRequest(Conn.Get(), u"GET", u"/delay/5000", nullptr, nullptr,
                                       nullptr, WINHTTP_FLAG_SECURE);
    ASSERT_TRUE(Req);
    ASSERT_TRUE(WinHttpSendRequest(Req, nullptr, 0, nullptr, 0, 0, 0));
    std::thread Closer([Req] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        WinHttpCloseHandle(Req);
    });
    const auto Waited = std::chrono::steady_clock::now();
    EXPECT_FALSE(WinHttpReceiveResponse(Req, nullptr));
    EXPECT_EQ(GetLastError(), 12017u);
    EXPECT_LT(std::chrono::steady_clock::now() - Waited, std::chrono::milliseconds(3000));
    Closer.join();

    // The session goes on.
    X.Path = "/bytes/10";
    X.TimeoutMs = 10000;
    const TOutcome Next = Exchange(FSession.Get(), X);
    EXPECT_EQ(Next.Stage, "") << Next.Code;
    EXPECT_EQ(Next.Body, PatternBytes(10));
}

// The flags a request may be given, and what each brings from a server that speaks both,
// whatever its session has.
TEST_P(WinHttpHttp2, ProtocolFlagsOnTheRequestDecide) {
    struct {
        const char* Name;
        DWORD Protocols;
        DWORD Used;
    } Cases[] = {
        {"HTTP/2", WINHTTP_PROTOCOL_FLAG_HTTP2, WINHTTP_PROTOCOL_FLAG_HTTP2},
        {"HTTP/2 or HTTP/3: HTTP/3 is never used",
         WINHTTP_PROTOCOL_FLAG_HTTP2 | WINHTTP_PROTOCOL_FLAG_HTTP3, WINHTTP_PROTOCOL_FLAG_HTTP2},
        {"HTTP/3 alone: HTTP/1.1", WINHTTP_PROTOCOL_FLAG_HTTP3, 0},
        {"none", 0, 0},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TExchange X;
        X.Port = FServer->Port();
        X.Path = "/bytes/10";
        X.Protocols = C.Protocols;
        const TOutcome O = Exchange(FSession.Get(), X);
        ASSERT_EQ(O.Stage, "") << O.Code;
        EXPECT_EQ(O.Protocol, C.Used);
        EXPECT_EQ(O.Body, PatternBytes(10));
    }
}

TEST_P(WinHttpHttp2, RequiredProtocolFailsWhereHttp2IsNotNegotiated) {
    // A TLS server without HTTP/2, and plain http, where HTTP/2 is never offered.
    TTestServer Tls({"--tls", TestSupport::TestCertDir() + "/good.pem",
                     TestSupport::TestCertDir() + "/good.key"});
    TTestServer Plain;
    struct {
        const char* Name;
        int Port;
        bool Secure;
        bool Required;
        std::string Stage;
        DWORD Code;
        DWORD Used;
    } Cases[] = {
        {"offered and taken", FServer->Port(), true, true, "", 0, WINHTTP_PROTOCOL_FLAG_HTTP2},
        {"TLS server without HTTP/2", Tls.Port(), true, true, "send", 12190, 0},
        {"plain http", Plain.Port(), false, true, "send", 12190, 0},
        {"TLS server without HTTP/2, not required", Tls.Port(), true, false, "", 0, 0},
        {"plain http, not required", Plain.Port(), false, false, "", 0, 0},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TExchange X;
        X.Port = C.Port;
        X.Path = "/bytes/10";
        X.Secure = C.Secure;
        X.Protocols = WINHTTP_PROTOCOL_FLAG_HTTP2;
        X.Required = C.Required;
        const TOutcome O = Exchange(FSession.Get(), X);
        EXPECT_EQ(O.Stage, C.Stage);
        EXPECT_EQ(O.Code, C.Code);
        if (C.Stage.empty()) {
            EXPECT_EQ(O.Protocol, C.Used);
            EXPECT_EQ(O.Body, PatternBytes(10));
        }
    }

    // Required without HTTP/2 enabled asks for nothing HTTP/1.1 does not give.
    TExchange X;
    X.Port = FServer->Port();
    X.Path = "/bytes/10";
    X.Protocols = 0;
    X.Required = true;
    const TOutcome O = Exchange(FSession.Get(), X);
    EXPECT_EQ(O.Stage, "") << O.Code;
    EXPECT_EQ(O.Protocol, 0u);
}

// A request takes the session's protocols when it is opened; its own setting overrides them.
TEST_P(WinHttpHttp2, RequestsTakeTheSessionsProtocols) {
    TExchange X;
    X.Port = FServer->Port();
    X.Path = "/bytes/10";
    EXPECT_EQ(Exchange(FSession.Get(), X).Protocol, Protocol().Used);
    X.Protocols = Protocol().Enabled ? 0 : WINHTTP_PROTOCOL_FLAG_HTTP2;
    EXPECT_EQ(Exchange(FSession.Get(), X).Protocol, Protocol().Used ^ WINHTTP_PROTOCOL_FLAG_HTTP2);
}

// Threads sending at once on one session: over HTTP/2 their requests are streams of a shared
// connection; over HTTP/1.1 each thread keeps to a connection of its own.
TEST_P(WinHttpHttp2, ThreadsOfOneSessionShareConnections) {
    constexpr int Threads = 8, Requests = 100;
    const long Before = FServer->Accepted();
    ASSERT_GE(Before, 0);
    std::atomic<int> Good{0};
    std::vector<std::thread> Workers;
    for (int T = 0; T < Threads; ++T)
        Workers.emplace_back([&, T] {
            for (int I = 0; I < Requests; ++I) {
                const TOutcome O = Get("/bytes/" + std::to_string(100 + T));
                if (O.Stage.empty() && O.Protocol == Protocol().Used &&
                    O.Body == PatternBytes(static_cast<std::size_t>(100 + T)))
                    ++Good;
            }
        });
    for (auto& W : Workers) W.join();
    EXPECT_EQ(Good.load(), Threads * Requests);
    const long Opened = FServer->Accepted() - Before;
    std::cout << Protocol().Name << ": " << Threads << " threads x " << Requests << " GETs opened "
              << Opened << " connection(s)\n";
    EXPECT_GE(Opened, 1);
    EXPECT_LE(Opened, Protocol().Used ? 2 : Threads);
}

namespace {

// A server that breaks HTTP/2's rules on request (tests/support/h2peer.py), one for the suite.
class WinHttpHttp2Hostile : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!TestSupport::TH2Peer::Available()) return;
        TestSupport::TrustTestCa();
        FPeer = std::make_unique<TestSupport::TH2Peer>();
    }
    static void TearDownTestSuite() { FPeer.reset(); }
    void SetUp() override {
        if (!FPeer)
            GTEST_SKIP() << "no Python with the h2 package here (Debian's python3-h2, which "
                            "scripts/install-deps installs)";
        ASSERT_TRUE(LoadWinHttp());
        FSession =
            THandle(WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
        ASSERT_TRUE(FSession);
        ASSERT_TRUE(SetDword(FSession.Get(), WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL,
                             WINHTTP_PROTOCOL_FLAG_HTTP2));
    }
    TOutcome Get(const std::string& Path) {
        TExchange X;
        X.Port = FPeer->Port();
        X.Path = Path;
        return Exchange(FSession.Get(), X);
    }

    static std::unique_ptr<TestSupport::TH2Peer> FPeer;
    THandle FSession;
};
std::unique_ptr<TestSupport::TH2Peer> WinHttpHttp2Hostile::FPeer;

}  // namespace

TEST_F(WinHttpHttp2Hostile, BrokenStreamsFailWithTheirCodes) {
    struct {
        const char* Name;
        std::string Path;
        std::string Stage;
        DWORD Code;
    } Cases[] = {
        {"a whole answer", "/ok/100", "", 0},
        {"reset in the middle of the body", "/reset-mid-body", "read", 12030},
        {"a header block past the limit", "/huge-head?kb=300", "receive", 12182},
        {"a header block within it", "/huge-head?kb=60", "", 0},
        {"a body longer than its content-length", "/overlong", "read", 12152},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        const TOutcome O = Get(C.Path);
        EXPECT_EQ(O.Stage, C.Stage);
        EXPECT_EQ(O.Code, C.Code);
        // The session goes on: the next request on it is answered.
        const TOutcome Next = Get("/ok/10");
        EXPECT_EQ(Next.Stage, "") << Next.Code;
        EXPECT_EQ(Next.Body, PatternBytes(10));
    }
}

// A server that says GOAWAY after an answer takes no more streams on that connection: the
// next request goes on a new one, also when it went out on the old one before the GOAWAY came.
TEST_F(WinHttpHttp2Hostile, GoawayBetweenRequestsMeansANewConnection) {
    struct {
        const char* Name;
        std::string Path;
    } Cases[] = {
        {"GOAWAY right after the answer", "/goaway"},
        {"GOAWAY crossing the next request", "/goaway?after=200"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        // The connection the GOAWAY comes on, and how many the server had then.
        const TOutcome Before = Get("/connections");
        ASSERT_EQ(Before.Stage, "") << Before.Code;
        const TOutcome Last = Get(C.Path);
        ASSERT_EQ(Last.Stage, "") << Last.Code;
        EXPECT_EQ(Last.Body, "bye\n");
        const TOutcome Next = Get("/ok/10");
        EXPECT_EQ(Next.Stage, "") << Next.Code;
        EXPECT_EQ(Next.Body, PatternBytes(10));
        EXPECT_EQ(Next.Protocol, static_cast<DWORD>(WINHTTP_PROTOCOL_FLAG_HTTP2));
        const TOutcome After = Get("/connections");
        ASSERT_EQ(After.Stage, "") << After.Code;
        EXPECT_EQ(std::stoi(After.Body), std::stoi(Before.Body) + 1) << "one new connection";
    }
}

TEST(WinHttpHttp2Options, SetAndQueriedWhereWindowsAllowsThem) {
    ASSERT_TRUE(LoadWinHttp());
    THandle Session(WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
    THandle Conn(WinHttpConnect(Session.Get(), u"127.0.0.1", 1, 0));
    THandle Req(WinHttpOpenRequest(Conn.Get(), u"GET", u"/", nullptr, nullptr, nullptr,
                                   WINHTTP_FLAG_SECURE));
    ASSERT_TRUE(Session && Conn && Req);
    struct {
        const char* Name;
        HINTERNET Handle;
        DWORD Option;
        DWORD Value;
        DWORD Error;  // 0: the call succeeds
    } Sets[] = {
        {"HTTP/2 on a session", Session.Get(), WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL,
         WINHTTP_PROTOCOL_FLAG_HTTP2, 0},
        {"HTTP/2 on a request", Req.Get(), WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL,
         WINHTTP_PROTOCOL_FLAG_HTTP2, 0},
        {"HTTP/2 and HTTP/3", Session.Get(), WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL,
         WINHTTP_PROTOCOL_FLAG_HTTP2 | WINHTTP_PROTOCOL_FLAG_HTTP3, 0},
        {"none", Req.Get(), WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, 0, 0},
        {"an unknown flag", Session.Get(), WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, 0x4, 87},
        {"HTTP/2 on a connection", Conn.Get(), WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL,
         WINHTTP_PROTOCOL_FLAG_HTTP2, 12018},
        {"required on a session", Session.Get(), WINHTTP_OPTION_HTTP_PROTOCOL_REQUIRED, TRUE, 0},
        {"required on a request", Req.Get(), WINHTTP_OPTION_HTTP_PROTOCOL_REQUIRED, FALSE, 0},
        {"required on a connection", Conn.Get(), WINHTTP_OPTION_HTTP_PROTOCOL_REQUIRED, TRUE,
         12018},
        {"the protocol used", Req.Get(), WINHTTP_OPTION_HTTP_PROTOCOL_USED, 1, 12011},
    };
    for (const auto& C : Sets) {
        SCOPED_TRACE(C.Name);
        SetLastError(0);
        EXPECT_EQ(SetDword(C.Handle, C.Option, C.Value), C.Error == 0);
        EXPECT_EQ(GetLastError(), C.Error);
    }
    // A value of the wrong size.
    const WORD Short = 1;
    EXPECT_FALSE(WinHttpSetOption(Session.Get(), WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL,
                                  const_cast<WORD*>(&Short), sizeof Short));
    EXPECT_EQ(GetLastError(), 122u);

    struct {
        const char* Name;
        HINTERNET Handle;
        DWORD Option;
        DWORD Error;
    } Queries[] = {
        {"enabled protocols are set only", Session.Get(), WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, 87},
        {"required is set only", Req.Get(), WINHTTP_OPTION_HTTP_PROTOCOL_REQUIRED, 87},
        {"protocol used on a session", Session.Get(), WINHTTP_OPTION_HTTP_PROTOCOL_USED, 12018},
    };
    for (const auto& C : Queries) {
        SCOPED_TRACE(C.Name);
        DWORD V = 0, Len = sizeof V;
        EXPECT_FALSE(WinHttpQueryOption(C.Handle, C.Option, &V, &Len));
        EXPECT_EQ(GetLastError(), C.Error);
    }
    // Before a send no protocol has been used: 0, as for HTTP/1.x.
    DWORD Used = 7, Len = sizeof Used;
    EXPECT_TRUE(WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_HTTP_PROTOCOL_USED, &Used, &Len));
    EXPECT_EQ(Used, 0u);
}

}  // namespace Nimbra
