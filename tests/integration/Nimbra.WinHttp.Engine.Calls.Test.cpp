// The WinHTTP calls the engine makes, in order and with their arguments, as the recording
// library beside this program sees them on their way to the real library (see
// WinHttpRecorder.h): a first and a second request, bodies, proxy modes, the handles closed
// after each kind of failure and after a cancel, and the response's queries.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Nimbra.WinHttp.Api.h"
#include "Nimbra.WinHttp.Engine.h"
#include "Os.Error.h"
#include "Os.Library.h"
#include "TestServer.h"
#include "WinHttpRecorder.h"
#include "WinHttpTestUtil.h"

namespace Nimbra {

using Runtime::TBytes;
using TestSupport::PatternBytes;
using TestSupport::TestCertDir;
using TestSupport::TTestServer;
using TestSupport::TWinHttpRecord;
using Lines = std::vector<std::string>;

namespace {

TWinHttpRecord& Recorder() {
    static TWinHttpRecord* const State = [] {
        LoadWinHttp();
        auto* Find = reinterpret_cast<TWinHttpRecord* (*)()>(
            Os::GetProcAddress(Os::SafeLoadLibrary("winhttp.dll"), "WinHttpRecorderState"));
        if (!Find) {
            std::fprintf(stderr, "the library beside this program is not the recorder\n");
            std::abort();
        }
        return Find();
    }();
    return *State;
}

/// The calls recorded since the last take.
Lines TakeCalls() {
    std::lock_guard<std::mutex> Lock(Recorder().Lock);
    return std::exchange(Recorder().Calls, {});
}

/// The next call of Function fails with Err (queued after any failures planned before).
void FailNext(const std::string& Function, std::uint32_t Err) {
    std::lock_guard<std::mutex> Lock(Recorder().Lock);
    Recorder().Failures[Function].push_back(Err);
}

std::string Joined(const Lines& L) {
    std::string S;
    for (const auto& Line : L) S += "\n  " + Line;
    return S;
}

int CountOf(const Lines& L, const std::string& Line) {
    return static_cast<int>(std::count(L.begin(), L.end(), Line));
}

const std::string OpenLine = "WinHttpOpen(\"Orvo Http/1.0\", 0, null, null, 0) = session1";
const std::string CallbackLine =
    "WinHttpSetStatusCallback(session1, callback, 0x00010000, 0) = null";

class WinHttpEngineCalls : public ::testing::Test {
  protected:
    void SetUp() override {
        std::lock_guard<std::mutex> Lock(Recorder().Lock);
        Recorder().Calls.clear();
        Recorder().Failures.clear();
        Recorder().Names.clear();
        Recorder().Counts.clear();
    }
    /// A new engine and an empty record, for the next row of a table.
    void Fresh() {
        FEngine.reset();
        SetUp();
        FEngine = std::make_unique<TWinHttpEngine>();
    }
    void TearDown() override {
        std::lock_guard<std::mutex> Lock(Recorder().Lock);
        Recorder().Failures.clear();
    }
    std::unique_ptr<THttpRequest> Request(const std::string& Url,
                                          const std::string& Method = "GET") {
        auto R = FEngine->CreateRequest();
        R->SetUri(Url);
        R->SetMethod(Method);
        return R;
    }
    /// The lines a request makes up to its response head, on an open session.
    Lines SendLines(int N, const std::string& Method, const std::string& Object,
                    const std::string& Headers = "\\r\\n", std::uint32_t Total = 0,
                    const std::string& Flags = "0x00000000", int Timeout = 60000) {
        const std::string Conn = "conn" + std::to_string(N), Req = "req" + std::to_string(N);
        const std::string T = std::to_string(Timeout);
        std::size_t Length = 0;
        for (std::size_t I = 0; I < Headers.size(); ++I, ++Length)
            if (Headers[I] == '\\') ++I;
        return {
            "WinHttpConnect(session1, \"127.0.0.1\", " + std::to_string(FServer.Port()) +
                ", 0) = " + Conn,
            "WinHttpOpenRequest(" + Conn + ", \"" + Method + "\", \"" + Object +
                "\", null, null, null, " + Flags + ") = " + Req,
            "WinHttpSetTimeouts(" + Req + ", " + T + ", " + T + ", " + T + ", " + T + ") = ok",
            "WinHttpSetOption(" + Req + ", 63, 2) = ok",
            "WinHttpSetOption(" + Req + ", 118, 3) = ok",
            "WinHttpSendRequest(" + Req + ", \"" + Headers + "\", " + std::to_string(Length) +
                ", null, 0, " + std::to_string(Total) + ", context) = ok",
        };
    }
    static Lines Plus(Lines A, const Lines& B) {
        A.insert(A.end(), B.begin(), B.end());
        return A;
    }
    /// The message of what Send raises, "" when it does not raise.
    std::string FailureOf(THttpRequest& R) {
        try {
            FEngine->Send(R);
        } catch (const std::exception& E) {
            return E.what();
        }
        return "";
    }

    TTestServer FServer;
    std::unique_ptr<TWinHttpEngine> FEngine = std::make_unique<TWinHttpEngine>();
};

}  // namespace

TEST_F(WinHttpEngineCalls, FirstRequestOpensTheSessionAndLaterOnesStartAtConnect) {
    auto Response = FEngine->Send(*Request(FServer.Url("/status/200")));
    EXPECT_EQ(TakeCalls(), Plus(Plus({OpenLine, CallbackLine}, SendLines(1, "GET", "/status/200")),
                                {"WinHttpReceiveResponse(req1, null) = ok"}));
    // The status is asked for once, as a number.
    EXPECT_EQ(Response->StatusCode(), 200);
    EXPECT_EQ(Response->StatusCode(), 200);
    EXPECT_EQ(TakeCalls(),
              Lines{"WinHttpQueryHeaders(req1, 0x20000013, null, buffer, 4, null) = ok"});
    Response.reset();
    EXPECT_EQ(TakeCalls(),
              (Lines{"WinHttpCloseHandle(req1) = ok", "WinHttpCloseHandle(conn1) = ok"}));

    // Headers, time-out and the whole object name as written, fragment included.
    auto Second = Request(FServer.Url("/bytes/10000?x=%41#frag"), "get");
    Second->Headers().SetValue("X-One", "1");
    Second->SetTimeout(5000);
    Response = FEngine->Send(*Second);
    EXPECT_EQ(TakeCalls(), Plus(SendLines(2, "GET", "/bytes/10000?x=%41#frag",
                                          "x-one:1\\r\\n\\r\\n", 0, "0x00000000", 5000),
                                {"WinHttpReceiveResponse(req2, null) = ok"}))
        << Joined(TakeCalls());

    // Opening the body loads the header block, in one call when it fits the first buffer.
    // Each read asks WinHTTP for all the caller still wants, so the body lands straight in
    // the caller's buffer; the end is a read of 0.
    std::string Body(20000, '\0');
    EXPECT_EQ(Response->ContentAsStream().Read(Body.data(), 20000), 10000);
    EXPECT_EQ(Response->ContentAsStream().Read(Body.data(), 20000), 0);
    Lines Calls = TakeCalls();
    ASSERT_GE(Calls.size(), 3u) << Joined(Calls);
    EXPECT_EQ(Lines(Calls.begin(), Calls.begin() + 1),
              (Lines{"WinHttpQueryHeaders(req2, 0x00000016, null, buffer, null) = ok"}));
    // The reads of the first Read, each asking for what it still wanted then.
    unsigned Wanted = 20000, Total = 0;
    std::size_t I = 1;
    for (; I < Calls.size(); ++I) {
        unsigned Asked = 0, Got = 0;
        ASSERT_EQ(std::sscanf(Calls[I].c_str(), "WinHttpReadData(req2, %u) = ok %u", &Asked, &Got),
                  2)
            << Calls[I];
        EXPECT_EQ(Asked, Wanted) << Calls[I];
        Total += Got;
        if (Got == 0) break;
        Wanted -= Got;
    }
    EXPECT_EQ(Total, 10000u);
    // The second Read: one call, at the end.
    EXPECT_EQ(Lines(Calls.begin() + static_cast<std::ptrdiff_t>(std::min(I + 1, Calls.size())),
                    Calls.end()),
              Lines{"WinHttpReadData(req2, 20000) = ok 0"});
    Body.resize(10000);
    EXPECT_EQ(Body, PatternBytes(10000));
    EXPECT_EQ(Response->ContentLength(), 10000);
    EXPECT_EQ(TakeCalls(),
              (Lines{"WinHttpQueryHeaders(req2, 0x20000013, null, buffer, 4, null) = ok",
                     "WinHttpQueryHeaders(req2, 0x00000005, null, buffer, null) = ok"}));
    Response.reset();
    FEngine.reset();
    EXPECT_EQ(TakeCalls(), (Lines{"WinHttpCloseHandle(req2) = ok", "WinHttpCloseHandle(conn2) = ok",
                                  "WinHttpCloseHandle(session1) = ok"}));
}

TEST_F(WinHttpEngineCalls, HttpsInAnyCaseSetsTheSecureFlag) {
    setenv("CURL_CA_BUNDLE", (TestCertDir() + "/ca.pem").c_str(), 1);
    TTestServer Tls({"--tls", TestCertDir() + "/good.pem", TestCertDir() + "/good.key"});
    const std::string Port = std::to_string(Tls.Port());
    struct {
        const char* Name;
        std::string Url;
        const char* Flags;
    } Cases[] = {
        {"https", "https://127.0.0.1:" + Port + "/status/200", "0x00800000"},
        {"HtTpS", "HtTpS://127.0.0.1:" + Port + "/status/200", "0x00800000"},
        {"http", "http://127.0.0.1:" + std::to_string(FServer.Port()) + "/status/200",
         "0x00000000"},
        {"HTTP", "HTTP://127.0.0.1:" + std::to_string(FServer.Port()) + "/status/200",
         "0x00000000"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        auto Response = FEngine->Send(*Request(C.Url));
        EXPECT_EQ(Response->StatusCode(), 200);
        const Lines Calls = TakeCalls();
        const auto Open = std::find_if(Calls.begin(), Calls.end(), [](const std::string& L) {
            return L.rfind("WinHttpOpenRequest(", 0) == 0;
        });
        ASSERT_NE(Open, Calls.end());
        EXPECT_NE(Open->find(std::string(", null, null, null, ") + C.Flags + ") = req"),
                  std::string::npos)
            << *Open;
    }
}

// HTTP/2 is offered on the request handle, only when allowed and only for https, after the
// engine's own options; a WinHTTP that does not know the option
// sends HTTP/1.1 instead, and a response that was not offered HTTP/2 says HTTP/1.1 without
// asking.
TEST_F(WinHttpEngineCalls, Http2IsOfferedOnHttpsOnlyWhenAllowed) {
    setenv("CURL_CA_BUNDLE", (TestCertDir() + "/ca.pem").c_str(), 1);
    TTestServer Tls({"--tls", TestCertDir() + "/good.pem", TestCertDir() + "/good.key"});
    const std::string Secure = Tls.Url("/status/200");
    const std::string Offer = "WinHttpSetOption(req1, 133, 1) = ";
    struct {
        const char* Name;
        bool Allow;
        std::string Url;
        std::uint32_t Refused;  // the error the option fails with; 0 for none
        std::string OfferLine;  // "" when the option is not set
        bool Asked;             // HttpProtocolUsed asks WinHTTP
    } Cases[] = {
        {"not allowed", false, Secure, 0, "", false},
        {"allowed, plain http", true, FServer.Url("/status/200"), 0, "", false},
        // This server speaks HTTP/1.1 only.
        {"allowed", true, Secure, 0, Offer + "ok", true},
        {"allowed, a WinHTTP without the option", true, Secure, ERROR_WINHTTP_INVALID_OPTION,
         Offer + "fail 12009 (injected)", false},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        Fresh();
        FEngine->SetAllowHttp2(C.Allow);
        if (C.Refused) {
            for (std::uint32_t Err : {0u, 0u, C.Refused}) FailNext("WinHttpSetOption", Err);
        }
        auto Response = FEngine->Send(*Request(C.Url));
        EXPECT_EQ(Response->StatusCode(), 200);
        const Lines Calls = TakeCalls();
        const auto Decompression =
            std::find(Calls.begin(), Calls.end(), "WinHttpSetOption(req1, 118, 3) = ok");
        ASSERT_NE(Decompression, Calls.end()) << Joined(Calls);
        const auto Next = std::next(Decompression);
        ASSERT_NE(Next, Calls.end());
        if (C.OfferLine.empty())
            EXPECT_EQ(Next->rfind("WinHttpSendRequest(req1, ", 0), 0u) << Joined(Calls);
        else
            EXPECT_EQ(*Next, C.OfferLine) << Joined(Calls);

        auto& W = dynamic_cast<TWinHttpResponse&>(*Response);
        EXPECT_EQ(W.HttpProtocolUsed(), THttpProtocol::Http11);
        EXPECT_EQ(W.HttpProtocolUsed(), THttpProtocol::Http11);
        EXPECT_EQ(CountOf(TakeCalls(), "WinHttpQueryOption = passed"), C.Asked ? 1 : 0);
    }

    // Any other refusal of the offer fails the send, as a failed option does.
    Fresh();
    FEngine->SetAllowHttp2(true);
    for (std::uint32_t Err : {0u, 0u, static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER)})
        FailNext("WinHttpSetOption", Err);
    try {
        FEngine->Send(*Request(Secure));
        ADD_FAILURE() << "no exception";
    } catch (const EWinHttpClientException& E) {
        EXPECT_EQ(E.Code(), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    }
    const Lines Calls = TakeCalls();
    ASSERT_GE(Calls.size(), 3u);
    EXPECT_EQ(Calls[Calls.size() - 3], Offer + "fail 87 (injected)");
    EXPECT_EQ(Calls[Calls.size() - 2], "WinHttpCloseHandle(req1) = ok");
    EXPECT_EQ(Calls[Calls.size() - 1], "WinHttpCloseHandle(conn1) = ok");
}

TEST_F(WinHttpEngineCalls, OtherSchemesAreRefusedBeforeAnyWinHttpCall) {
    // Each of these would otherwise reach the server named in the URL as plain HTTP.
    const std::string Authority = "127.0.0.1:" + std::to_string(FServer.Port());
    const std::string Refused =
        "Could not perform WinHttp operation.\r\nError: (12006) The URL "
        "does not use a recognized protocol\r\n";
    struct {
        const char* Name;
        std::string Url;
        std::string Message;
    } Cases[] = {
        {"ftp", "ftp://" + Authority + "/status/200",
         Refused + "The scheme \"ftp\" is not sent; only http and https are."},
        {"gopher", "gopher://" + Authority + "/status/200",
         Refused + "The scheme \"gopher\" is not sent; only http and https are."},
        {"wss, which means encrypted", "WSS://" + Authority + "/status/200",
         Refused + "The scheme \"wss\" is not sent; only http and https are."},
        {"https spelt with a Greek capital Tau", "h\u03A4tps://" + Authority + "/status/200",
         Refused + "The scheme \"h\u03A4tps\" is not sent; only http and https are."},
        {"no scheme", Authority + "/status/200",
         Refused + "The URL names no scheme; only http and https are sent."},
        {"a scheme the URL model does not take apart", "svn+ssh://" + Authority + "/status/200",
         Refused + "The URL names no scheme; only http and https are sent."},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        Fresh();
        try {
            FEngine->Send(*Request(C.Url));
            ADD_FAILURE() << "sent";
        } catch (const EWinHttpClientException& E) {
            EXPECT_EQ(E.what(), C.Message);
            EXPECT_EQ(E.Code(), static_cast<std::uint32_t>(ERROR_WINHTTP_UNRECOGNIZED_SCHEME));
        }
        EXPECT_EQ(TakeCalls(), Lines{});
    }
    // The engine stays usable, and opens its session only now.
    EXPECT_EQ(FEngine->Send(*Request(FServer.Url("/status/200")))->StatusCode(), 200);
}

TEST_F(WinHttpEngineCalls, BodiesAreWrittenInPiecesOf65536Bytes) {
    struct {
        const char* Name;
        std::size_t Size;
        Lines Writes;
    } Cases[] = {
        {"65537 bytes",
         65537,
         {"WinHttpWriteData(req1, 65536) = ok 65536", "WinHttpWriteData(req1, 1) = ok 1"}},
        {"one piece exactly", 65536, {"WinHttpWriteData(req1, 65536) = ok 65536"}},
        {"no body writes nothing", 0, {}},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        Fresh();
        auto Post = Request(FServer.Url("/faults/upload"), "POST");
        const std::string Body = PatternBytes(C.Size);
        Post->SetContent(TBytes(Body.begin(), Body.end()));
        auto Response = FEngine->Send(*Post);
        EXPECT_EQ(TakeCalls(), Plus(Plus(Plus({OpenLine, CallbackLine},
                                              SendLines(1, "POST", "/faults/upload", "\\r\\n",
                                                        static_cast<std::uint32_t>(C.Size))),
                                         C.Writes),
                                    {"WinHttpReceiveResponse(req1, null) = ok"}));
        const std::string Answer = Response->ContentAsString();
        EXPECT_EQ(Answer.rfind(std::to_string(C.Size) + " ", 0), 0u) << Answer;
        EXPECT_NE(Answer.find("length=" + std::to_string(C.Size)), std::string::npos) << Answer;
    }
}

TEST_F(WinHttpEngineCalls, ShortBodyStopsBeforeTheResponseAndClosesBothHandles) {
    Runtime::TBytesStream Stream(TBytes(100000, 'b'));
    auto Put = Request(FServer.Url("/faults/upload"), "PUT");
    Put->SetContentStream(&Stream);
    Stream.SetPosition(30000);  // after attaching: 70000 bytes are left of the 100000 stated
    EXPECT_EQ(FailureOf(*Put), "HttpEngine Error.\r\nWinHttp - message body not completely sent");
    EXPECT_EQ(
        TakeCalls(),
        Plus(
            Plus({OpenLine, CallbackLine}, SendLines(1, "PUT", "/faults/upload", "\\r\\n", 100000)),
            {"WinHttpWriteData(req1, 65536) = ok 65536", "WinHttpWriteData(req1, 4464) = ok 4464",
             "WinHttpCloseHandle(req1) = ok", "WinHttpCloseHandle(conn1) = ok"}));
}

TEST_F(WinHttpEngineCalls, ProxyModesAndTheFallbackForARejectedOne) {
    const std::string Agent = "WinHttpOpen(\"Orvo Http/1.0\", ";
    struct {
        const char* Name;
        THttpProxyMode Mode;
        std::string Proxy, Bypass;
        std::uint32_t Injected;
        Lines Opens;
    } Cases[] = {
        {"default",
         THttpProxyMode::Default,
         "ignored",
         "ignored",
         0,
         {Agent + "0, null, null, 0) = session1"}},
        {"automatic", THttpProxyMode::Auto, "", "", 0, {Agent + "4, null, null, 0) = session1"}},
        {"automatic, rejected",
         THttpProxyMode::Auto,
         "",
         "",
         87,
         {Agent + "4, null, null, 0) = fail 87 (injected)",
          Agent + "0, null, null, 0) = session1"}},
        {"custom",
         THttpProxyMode::Custom,
         "proxy.test:3128",
         "<local>",
         0,
         {Agent + "3, \"proxy.test:3128\", \"<local>\", 0) = session1"}},
        {"custom without a name, rejected by the system",
         THttpProxyMode::Custom,
         "",
         "",
         0,
         {Agent + "3, \"\", \"\", 0) = fail 87", Agent + "0, null, null, 0) = session1"}},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        SetUp();
        TWinHttpEngine Engine;
        Engine.SetProxyMode(C.Mode);
        Engine.SetProxyName(C.Proxy);
        Engine.SetProxyBypass(C.Bypass);
        if (C.Injected) FailNext("WinHttpOpen", C.Injected);
        HINTERNET Session = Engine.Session();
        EXPECT_NE(Session, nullptr);
        EXPECT_EQ(Engine.Session(), Session) << "opened once";
        EXPECT_EQ(TakeCalls(), Plus(C.Opens, {CallbackLine}));
    }
}

TEST_F(WinHttpEngineCalls, SessionFailuresAreReportedAndLeaveNoSessionBehind) {
    // An error other than a rejected parameter is not retried.
    FEngine->SetProxyMode(THttpProxyMode::Custom);
    FEngine->SetProxyName("proxy.test:3128");
    FailNext("WinHttpOpen", 12004);
    const std::string CustomOpen =
        "WinHttpOpen(\"Orvo Http/1.0\", 3, \"proxy.test:3128\", \"\", 0)";
    try {
        FEngine->Session();
        ADD_FAILURE() << "no exception";
    } catch (const EWinHttpClientException& E) {
        EXPECT_STREQ(E.what(),
                     "Could not perform WinHttp operation.\r\nError: (12004) \r\n"
                     "Session open failed.");
    }
    EXPECT_EQ(TakeCalls(), Lines{CustomOpen + " = fail 12004 (injected)"});
    FEngine->Session();
    EXPECT_EQ(TakeCalls(), (Lines{CustomOpen + " = session1", CallbackLine}));

    // Reset closes it once; a second reset has nothing to close.
    FEngine->ResetSession();
    FEngine->ResetSession();
    EXPECT_EQ(TakeCalls(), Lines{"WinHttpCloseHandle(session1) = ok"});

    // Without its status callback a session would lose certificate texts: it is not kept.
    FailNext("WinHttpSetStatusCallback", ERROR_INVALID_HANDLE);
    try {
        FEngine->Session();
        ADD_FAILURE() << "no exception";
    } catch (const Runtime::EOSError& E) {
        EXPECT_EQ(std::string(E.what()),
                  "System Error.  Code: 6.\r\n" + Os::SysErrorMessage(ERROR_INVALID_HANDLE));
    }
    EXPECT_EQ(TakeCalls(),
              (Lines{CustomOpen + " = session2",
                     "WinHttpSetStatusCallback(session2, callback, 0x00010000, 0) = fail 6 "
                     "(injected)",
                     "WinHttpCloseHandle(session2) = ok"}));

    // A session that cannot be closed stays the engine's session.
    HINTERNET Session = FEngine->Session();
    TakeCalls();
    FailNext("WinHttpCloseHandle", ERROR_INVALID_HANDLE);
    try {
        FEngine->ResetSession();
        ADD_FAILURE() << "no exception";
    } catch (const EWinHttpClientException& E) {
        EXPECT_EQ(std::string(E.what()), "Could not perform WinHttp operation.\r\nError: (6) " +
                                             Os::SysErrorMessage(ERROR_INVALID_HANDLE) +
                                             "\r\nSession close failed.");
    }
    EXPECT_EQ(FEngine->Session(), Session);
    EXPECT_EQ(TakeCalls(), Lines{"WinHttpCloseHandle(session3) = fail 6 (injected)"});
}

TEST_F(WinHttpEngineCalls, AFailedStepClosesTheRequestThenTheConnectionAndNothingElse) {
    const std::string Prefix = "Could not perform WinHttp operation.\r\nError: ";
    struct {
        const char* Function;
        std::uint32_t Err;
        std::string Message;
        Lines Closes;
    } Cases[] = {
        {"WinHttpConnect",
         12029,
         Prefix + "(12029) Could not connect to server\r\nCould not create connection",
         {}},
        {"WinHttpOpenRequest",
         12005,
         Prefix + "(12005) The URL is not valid\r\nCould not open request",
         {"WinHttpCloseHandle(conn1) = ok"}},
        {"WinHttpSetTimeouts",
         87,
         Prefix + "(87) " + Os::SysErrorMessage(87),
         {"WinHttpCloseHandle(req1) = ok", "WinHttpCloseHandle(conn1) = ok"}},
        {"WinHttpSetOption",
         12018,
         Prefix + "(12018) ",
         {"WinHttpCloseHandle(req1) = ok", "WinHttpCloseHandle(conn1) = ok"}},
        {"WinHttpSendRequest",
         12175,
         Prefix + "(12175) Error in Server SSL Certificate",
         {"WinHttpCloseHandle(req1) = ok", "WinHttpCloseHandle(conn1) = ok"}},
        {"WinHttpWriteData",
         12030,
         Prefix + "(12030) The connection with the server has been reset or terminated, or an "
                  "incompatible SSL protocol was encountered",
         {"WinHttpCloseHandle(req1) = ok", "WinHttpCloseHandle(conn1) = ok"}},
        {"WinHttpReceiveResponse",
         12002,
         Prefix + "(12002) The request has timed out",
         {"WinHttpCloseHandle(req1) = ok", "WinHttpCloseHandle(conn1) = ok"}},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Function);
        Fresh();
        FEngine->Session();
        TakeCalls();
        auto Put = Request(FServer.Url("/faults/upload"), "PUT");
        Put->SetContent(TBytes(10, 'x'));
        FailNext(C.Function, C.Err);
        EXPECT_EQ(FailureOf(*Put), C.Message);
        const Lines Calls = TakeCalls();
        const auto Failed = std::find_if(Calls.begin(), Calls.end(), [](const std::string& L) {
            return L.find("(injected)") != std::string::npos;
        });
        ASSERT_NE(Failed, Calls.end()) << Joined(Calls);
        EXPECT_EQ(Failed->rfind(C.Function + std::string("("), 0), 0u) << *Failed;
        EXPECT_EQ(Lines(Failed + 1, Calls.end()), C.Closes) << Joined(Calls);
        // The session stays and serves the next request.
        EXPECT_EQ(FEngine->Send(*Request(FServer.Url("/status/200")))->StatusCode(), 200);
        EXPECT_EQ(TakeCalls().front().rfind("WinHttpConnect(session1", 0), 0u);
    }
}

TEST_F(WinHttpEngineCalls, ACancelClosesTheRequestHandleOnceWhoeverComesFirst) {
    struct {
        const char* Name;
        bool InBody;
    } Cases[] = {{"while waiting for the head", false}, {"while reading the body", true}};
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        Fresh();
        TestSupport::TSilentPeer Peer;
        auto Get = Request(C.InBody ? FServer.Url("/faults/stall-body?ms=20000") : Peer.Url("/"));
        std::string Message;
        std::thread Canceller;
        try {
            if (C.InBody) {
                auto Response = FEngine->Send(*Get);
                char B[5];
                ASSERT_EQ(Response->ContentAsStream().Read(B, 5), 5);
                Canceller = std::thread([&] { Get->OnCancelRequested()(); });
                Response->ContentAsStream().Read(B, 5);
            } else {
                Canceller = std::thread([&] {
                    ASSERT_TRUE(Peer.WaitForRequest());
                    Get->OnCancelRequested()();
                });
                FEngine->Send(*Get);
            }
        } catch (const EWinHttpClientException& E) {
            Message = E.what();
        }
        Canceller.join();
        EXPECT_NE(Message.find("\r\nThe request was cancelled."), std::string::npos) << Message;
        Get->OnCancelRequested()();  // late: nothing left to close
        Get.reset();
        const Lines Calls = TakeCalls();
        EXPECT_EQ(CountOf(Calls, "WinHttpCloseHandle(req1) = ok"), 1) << Joined(Calls);
        EXPECT_EQ(CountOf(Calls, "WinHttpCloseHandle(conn1) = ok"), 1) << Joined(Calls);
        for (const auto& L : Calls)
            EXPECT_EQ(L.find("CloseHandle(req1) = fail"), std::string::npos);
    }
}

TEST_F(WinHttpEngineCalls, ContentLengthIsAskedOnlyWhenTheHeadersLeaveItOpen) {
    // A text is asked for in one call into a buffer that holds an ordinary head; a longer
    // answer is asked again at the size WinHTTP names.
    const std::string Raw = "WinHttpQueryHeaders(req1, 0x00000016, null, buffer, null) = ";
    const std::string Length = "WinHttpQueryHeaders(req1, 0x00000005, null, buffer, null) = ";
    const std::string Status = "WinHttpQueryHeaders(req1, 0x20000013, null, buffer, 4, null) = ok";
    const std::string Long(3000, 'v');
    struct {
        const char* Name;
        std::string Path;
        std::int64_t Expected;
        Lines Calls;
    } Cases[] = {
        {"chunked: the headers say it", "/faults/chunked", -1, {Raw + "ok"}},
        {"ended by closing: no length to find",
         "/faults/close-delimited",
         -1,
         {Raw + "ok", Status, Length + "fail 12150"}},
        {"stated", "/bytes/7", 7, {Raw + "ok", Status, Length + "ok"}},
        {"204: no body, whatever it states",
         "/faults/raw?text=HTTP/1.1 204 No Content\\r\\nContent-Length: 5\\r\\n\\r\\n",
         0,
         {Raw + "ok", Status}},
        {"a head longer than the first buffer",
         "/faults/raw?text=HTTP/1.1 200 OK\\r\\nX-Long: " + Long +
             "\\r\\nContent-Length: 0\\r\\n\\r\\n",
         0,
         {Raw + "fail 122", Raw + "ok", Status, Length + "ok"}},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        Fresh();
        auto Response = FEngine->Send(*Request(FServer.Url(C.Path)));
        TakeCalls();
        EXPECT_EQ(Response->ContentLength(), C.Expected);
        EXPECT_EQ(Response->ContentLength(), C.Expected);
        EXPECT_EQ(TakeCalls(), C.Calls);
        if (Response->Headers().Exists("x-long")) {
            EXPECT_EQ(Response->Headers().Get("x-long"), Long);
        }
    }
}

}  // namespace Nimbra
