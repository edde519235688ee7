// WinHTTP's asynchronous mode end to end, against the local test servers and their hostile
// cases: every request is driven from inside its own callbacks (WinHttpAsyncDriver.h) and the
// tests check what a program written against the mode relies on: the completions in order, the
// progress of each leg before its head, REQUEST_ERROR naming the call that failed and its code,
// HANDLE_CLOSING last and alone, no two callbacks of a request at once, chains of reads that do
// not deepen the stack, and closing the request at any step ending what was pending.
//
// Runs against libwinhttp, and against the system's winhttp.dll on Windows and under Wine.
// Where Wine's WinHTTP departs from what Windows documents, the row is skipped there with the
// reason (the test then reports itself skipped, naming the rows).

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Http2Server.h"
#endif
#include "Nimbra.WinHttp.Api.h"
#include "PlatformTable.h"
#include "TestServer.h"
#include "WinHttpAsyncDriver.h"
#include "WinHttpTestUtil.h"

namespace Nimbra {

using TestSupport::CurrentPlatform;
using TestSupport::PatternBytes;
using TestSupport::RunAsync;
using TestSupport::TAsyncOutcome;
using TestSupport::TAsyncRequest;
using TestSupport::TCloseAt;
using TestSupport::THandle;
using TestSupport::TNotification;
using TestSupport::TPlatform;
using TestSupport::TTestServer;
namespace Async = TestSupport::Async;

namespace {

bool OnWine() {
    return CurrentPlatform().Platform == TPlatform::Wine;
}

/// Whether Actual is Expected, where a "BODY?" in Expected stands for a BODY or nothing (bytes
/// that may or may not be delivered before a failure) and "a|b" for either word (the call that
/// was pending when a body failed: a query, or a read of bytes that were not all there).
bool SameCompletions(const std::string& Actual, const std::string& Expected) {
    const auto Split = [](const std::string& S) {
        std::vector<std::string> Out;
        std::istringstream In(S);
        for (std::string T; In >> T;) Out.push_back(T);
        return Out;
    };
    const auto Same = [](const std::vector<std::string>& A, const std::vector<std::string>& E) {
        if (A.size() != E.size()) return false;
        for (std::size_t I = 0; I < A.size(); ++I) {
            std::istringstream Choices(E[I]);
            bool Any = false;
            for (std::string C; std::getline(Choices, C, '|');) Any = Any || C == A[I];
            if (!Any) return false;
        }
        return true;
    };
    std::vector<std::string> A = Split(Actual), E = Split(Expected);
    const auto Optional = std::find(E.begin(), E.end(), "BODY?");
    if (Optional == E.end()) return Same(A, E);
    std::vector<std::string> With = E, Without = E;
    With[static_cast<std::size_t>(Optional - E.begin())] = "BODY";
    Without.erase(Without.begin() + (Optional - E.begin()));
    return Same(A, With) || Same(A, Without);
}

/// Whether a REDIRECT's text names Target: the absolute URL, or the reference as the server
/// gave it when that is a path.
bool NamesTarget(const std::string& Text, const std::string& Target) {
    if (Text == Target) return true;
    return !Text.empty() && Text[0] == '/' && Target.size() > Text.size() &&
           Target.compare(Target.size() - Text.size(), Text.size(), Text) == 0;
}

/// The rules every request keeps, whatever happened to it.
void ExpectRules(const TAsyncOutcome& O) {
    EXPECT_FALSE(O.Stuck) << "the request never ended\n" << O.Dump();
    EXPECT_TRUE(O.Closed) << "no HANDLE_CLOSING\n" << O.Dump();
    EXPECT_FALSE(O.Overlapped) << "two callbacks of the request at once\n" << O.Dump();
    EXPECT_EQ(O.AfterClosing, 0) << "notifications after HANDLE_CLOSING\n" << O.Dump();
    EXPECT_EQ(O.WrongContext, 0) << "callbacks without the request's context";
    EXPECT_EQ(O.Count(Async::HandleClosing), 1) << O.Dump();
    if (!O.Events.empty()) {
        const TNotification& Last = O.Events.back();
        EXPECT_EQ(Last.Status, Async::HandleClosing) << O.Dump();
        EXPECT_TRUE(Last.NamesHandle) << "HANDLE_CLOSING names the request handle";
    }
    for (const TNotification& N : O.Of(Async::ReadComplete))
        EXPECT_TRUE(N.OwnBuffer) << "READ_COMPLETE points at the buffer the read was given";
    // One completion per operation: two in a row without a call between them cannot be.
    const std::string C = O.Completions();
    EXPECT_EQ(C.find("SENDREQUEST_COMPLETE SENDREQUEST_COMPLETE"), std::string::npos) << C;
    EXPECT_EQ(C.find("HEADERS_AVAILABLE HEADERS_AVAILABLE"), std::string::npos) << C;
    EXPECT_LE(O.Count(Async::RequestError), 1) << O.Dump();
}

const std::string Whole =
    "SENDREQUEST_COMPLETE HEADERS_AVAILABLE BODY DATA_AVAILABLE 0 READ_COMPLETE 0 HANDLE_CLOSING";
const std::string Empty =
    "SENDREQUEST_COMPLETE HEADERS_AVAILABLE DATA_AVAILABLE 0 READ_COMPLETE 0 HANDLE_CLOSING";
const std::string OneLeg =
    "SENDING_REQUEST REQUEST_SENT SENDREQUEST_COMPLETE RESPONSE_RECEIVED HEADERS_AVAILABLE";
const std::string NextLeg = " REDIRECT SENDING_REQUEST REQUEST_SENT RESPONSE_RECEIVED";

class WinHttpAsync : public ::testing::Test {
  protected:
    // Before any session: libcurl may read its trust store when the session is made.
    static void SetUpTestSuite() { TestSupport::TrustTestCa(); }
    void SetUp() override {
        ASSERT_TRUE(LoadWinHttp());
        FSession = THandle(WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr,
                                       nullptr, WINHTTP_FLAG_ASYNC));
        ASSERT_TRUE(FSession) << "an asynchronous session: error " << GetLastError();
    }
    void TearDown() override {
        if (!FSkipped.empty())
            GTEST_SKIP() << FRan << " rows ran; rows skipped under Wine:" << FSkipped;
    }
    TAsyncRequest At(const std::string& Path) const {
        TAsyncRequest R;
        R.Port = FServer.Port();
        R.Path = Path;
        return R;
    }
    /// Whether the row runs here; a row Wine cannot run is noted with its reason.
    bool Runs(const char* Name, const char* WineDeparts) {
        if (!WineDeparts || !OnWine()) {
            ++FRan;
            return true;
        }
        FSkipped += std::string("\n  ") + Name + ": " + WineDeparts;
        return false;
    }
    void ExpectStillUsable() {
        SCOPED_TRACE("the session afterwards");
        const TAsyncOutcome O = RunAsync(FSession.Get(), At("/status/200"));
        EXPECT_EQ(O.StatusCode, 200u);
        EXPECT_EQ(O.Body, "status 200\n");
    }

    TTestServer FServer;
    THandle FSession;
    std::string FSkipped;
    int FRan = 0;
};

}  // namespace

TEST_F(WinHttpAsync, AnswersCompleteInOrderLegByLeg) {
    TTestServer Other;
    const std::string Hop = "http://127.0.0.1:" + std::to_string(FServer.Port());
    struct TRow {
        const char* Name;
        TAsyncRequest R;
        DWORD Status;
        std::string Body;
        std::string Completions;
        std::string Legs;
        std::vector<std::string> Redirects = {};  // the URLs REDIRECT names, in order
        std::vector<DWORD> Interim = {};          // the codes INTERMEDIATE_RESPONSE carries
        const char* WineDeparts = nullptr;
    };
    auto Post = At("/faults/chain/0");
    Post.Verb = u"POST";
    Post.Body = "hello";
    auto Written = At("/faults/chain/0");
    Written.Verb = u"POST";
    Written.Body = "head";
    Written.Written = PatternBytes(150000);
    auto Head = At("/bytes/100");
    Head.Verb = u"HEAD";
    auto Unfollowed = At("/faults/chain/1");
    Unfollowed.NoRedirects = true;
    auto Gzip = At("/faults/compressed/gzip?n=100000");
    Gzip.Decompression = WINHTTP_DECOMPRESSION_FLAG_ALL;
    auto GzipChunked = At("/faults/compressed/gzip?n=100000&chunked=1");
    GzipChunked.Decompression = WINHTTP_DECOMPRESSION_FLAG_ALL;
    auto Within = [&](const std::string& Path, int Ms) {
        TAsyncRequest R = At(Path);
        R.TimeoutMs = Ms;
        return R;
    };
    auto GzipJunk = At("/hostile/gzip-junk?n=5000&junk=100&gap=50");
    GzipJunk.Decompression = WINHTTP_DECOMPRESSION_FLAG_GZIP;
    auto GzipMembers = At("/hostile/gzip-members?n=3000&split=12&gap=500");
    GzipMembers.Decompression = WINHTTP_DECOMPRESSION_FLAG_GZIP;
    auto Straight = At("/bytes/300000");
    Straight.QueryFirst = false;
    const char* NoDecompression = "its WinHTTP has no WINHTTP_OPTION_DECOMPRESSION (12009)";
    const TRow Rows[] = {
        {"a body with a length", At("/bytes/100000"), 200, PatternBytes(100000), Whole, OneLeg},
        {"read without asking first", Straight, 200, PatternBytes(300000),
         "SENDREQUEST_COMPLETE HEADERS_AVAILABLE BODY READ_COMPLETE 0 HANDLE_CLOSING", OneLeg},
        {"chunked", At("/faults/chunked?sizes=5,1,70000,3"), 200, PatternBytes(70009), Whole,
         OneLeg},
        {"ended by closing", At("/faults/close-delimited"), 200, PatternBytes(3000), Whole, OneLeg},
        {"no body: 204", At("/status/204"), 204, "", Empty, OneLeg},
        {"no body: HEAD", Head, 200, "", Empty, OneLeg},
        {"a POST with its body", Post, 200, "chain end POST 5\n", Whole, OneLeg},
        {"a POST written in three pieces", Written, 200, "chain end POST 150004\n",
         "SENDREQUEST_COMPLETE WRITE_COMPLETE WRITE_COMPLETE WRITE_COMPLETE HEADERS_AVAILABLE BODY "
         "DATA_AVAILABLE 0 READ_COMPLETE 0 HANDLE_CLOSING",
         OneLeg},
        {"interim answers before the last",
         At("/faults/interim"),
         200,
         "final\n",
         Whole,
         "SENDING_REQUEST REQUEST_SENT SENDREQUEST_COMPLETE RESPONSE_RECEIVED "
         "INTERMEDIATE_RESPONSE HEADERS_AVAILABLE",
         {},
         {100, 102},
         "its WinHTTP sends no INTERMEDIATE_RESPONSE"},
        {"three redirects",
         At("/faults/chain/3"),
         200,
         "chain end GET 0\n",
         Whole,
         "SENDING_REQUEST REQUEST_SENT SENDREQUEST_COMPLETE RESPONSE_RECEIVED" + NextLeg + NextLeg +
             NextLeg + " HEADERS_AVAILABLE",
         {Hop + "/faults/chain/2", Hop + "/faults/chain/1", Hop + "/faults/chain/0"}},
        {"a redirect to another server",
         At("/redirect?to=" + TestSupport::QueryEscape(Other.Url("/status/201"))),
         201,
         "status 201\n",
         Whole,
         "SENDING_REQUEST REQUEST_SENT SENDREQUEST_COMPLETE RESPONSE_RECEIVED" + NextLeg +
             " HEADERS_AVAILABLE",
         {Other.Url("/status/201")}},
        {"a redirect not followed", Unfollowed, 302, "hop 1\n", Whole, OneLeg},
        {"a redirect whose body trickles",
         Within("/hostile/redirect-trickle?n=60&gap=50&to=/status/200", 1000),
         200,
         "status 200\n",
         Whole,
         "SENDING_REQUEST REQUEST_SENT SENDREQUEST_COMPLETE RESPONSE_RECEIVED" + NextLeg +
             " HEADERS_AVAILABLE",
         {Hop + "/status/200"}},
        {"gzip, then junk trickling in, decoded",
         GzipJunk,
         200,
         PatternBytes(5000),
         Whole,
         OneLeg,
         {},
         {},
         NoDecompression},
        {"gzip in two members half a second apart, decoded",
         GzipMembers,
         200,
         PatternBytes(6000),
         Whole,
         OneLeg,
         {},
         {},
         NoDecompression},
        {"gzip, decoded", Gzip, 200, PatternBytes(100000), Whole, OneLeg, {}, {}, NoDecompression},
        {"gzip chunked, decoded",
         GzipChunked,
         200,
         PatternBytes(100000),
         Whole,
         OneLeg,
         {},
         {},
         NoDecompression},
    };
    for (const TRow& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        if (!Runs(Row.Name, Row.WineDeparts)) continue;
        const TAsyncOutcome O = RunAsync(FSession.Get(), Row.R);
        ExpectRules(O);
        EXPECT_EQ(O.RefusedCall, "") << O.RefusedError;
        EXPECT_EQ(O.StatusCode, Row.Status);
        EXPECT_TRUE(O.Body == Row.Body) << "body of " << O.Body.size() << " bytes";
        EXPECT_EQ(O.Completions(), Row.Completions) << O.Dump();
        EXPECT_EQ(O.Legs(), Row.Legs) << O.Dump();
        const auto Redirects = O.Of(Async::Redirect);
        ASSERT_EQ(Redirects.size(), Row.Redirects.size()) << O.Dump();
        for (std::size_t I = 0; I < Redirects.size(); ++I)
            EXPECT_TRUE(NamesTarget(Redirects[I].Text, Row.Redirects[I]))
                << Redirects[I].Text << " for " << Row.Redirects[I];
        std::vector<DWORD> Interim;
        for (const TNotification& N : O.Of(Async::IntermediateResponse))
            Interim.push_back(N.Number);
        if (!Row.Interim.empty()) {
            // Each interim answer is told once, in the order it came.
            EXPECT_EQ(Interim, Row.Interim);
        } else {
            EXPECT_TRUE(Interim.empty());
        }
        // What was sent and received is told with its size.
        for (const TNotification& N : O.Of(Async::RequestSent))
            EXPECT_TRUE(N.HasNumber && N.Number > 0) << N.Describe();
        for (const TNotification& N : O.Of(Async::DataAvailable))
            EXPECT_TRUE(N.HasNumber) << "DATA_AVAILABLE points at the count";
        std::size_t Wrote = 0;
        for (const TNotification& N : O.Of(Async::WriteComplete)) Wrote += N.Number;
        EXPECT_EQ(Wrote, Row.R.Written.size()) << "WRITE_COMPLETE tells the bytes written";
    }
}

TEST_F(WinHttpAsync, FailuresCompleteWithRequestError) {
    const TestSupport::TRefusingPort Refusing;
    const std::string Chunked =
        "/faults/raw?text=HTTP/1.1 200 OK\\r\\nTransfer-Encoding: chunked\\r\\n\\r\\n";
    auto Within = [&](const std::string& Path, int Ms) {
        TAsyncRequest R = At(Path);
        R.TimeoutMs = Ms;
        return R;
    };
    auto Decoded = [&](TAsyncRequest R) {
        R.Decompression = WINHTTP_DECOMPRESSION_FLAG_GZIP;
        return R;
    };
    TAsyncRequest NoServer = At("/");
    NoServer.Port = Refusing.Port();
    TAsyncRequest NoName = At("/");
    NoName.Host = "no-such-host.invalid";
    const std::string AtReceive = "SENDREQUEST_COMPLETE REQUEST_ERROR receive ";
    const std::string InBody =
        "SENDREQUEST_COMPLETE HEADERS_AVAILABLE BODY? REQUEST_ERROR query|read ";
    struct TRow {
        const char* Name;
        TAsyncRequest R;
        std::string Completions;  // without the HANDLE_CLOSING that ends each
        const char* WineDeparts = nullptr;
    };
    const TRow Rows[] = {
        {"stalled head: time-out", Within("/faults/stall-head?ms=5000", 300), AtReceive + "12002",
         "no time-out on the wait for the head: the late answer arrives"},
        {"stalled body: time-out", Within("/faults/stall-body?ms=5000", 300),
         "SENDREQUEST_COMPLETE HEADERS_AVAILABLE BODY REQUEST_ERROR query 12002",
         "the socket's own code (10060) instead of 12002"},
        {"closed mid-body", At("/faults/close-mid-body"), InBody + "12030",
         "a connection closed short of its length reads as the end of the body"},
        {"closed without an answer", At("/faults/close-no-answer"), AtReceive + "12030",
         "12152, as for an answer it cannot parse"},
        {"reset inside a chunked body", At("/faults/reset-mid-chunks"), InBody + "12030",
         "the socket's own code (10054)"},
        {"garbage instead of HTTP", At("/faults/raw?text=garbage\\r\\n\\r\\n"),
         AtReceive + "12152"},
        {"broken status line", At("/faults/raw?text=HTTP/1.1 abc\\r\\n\\r\\n"),
         AtReceive + "12152"},
        {"chunk size not hexadecimal", At(Chunked + "zz\\r\\nabc\\r\\n0\\r\\n\\r\\n"),
         InBody + "12152", "reads a chunk size it cannot parse as the end of the body"},
        {"one header line of 1 MB", At("/hostile/long-header?n=1048576"), AtReceive + "12182",
         "no limit on the size of a head"},
        {"interim answers without end", At("/hostile/endless-interim"), AtReceive + "12182",
         "12152 instead of the head's size limit"},
        {"stalled head after a redirect: time-out",
         Within("/redirect?to=/faults/stall-head?ms=5000", 300), AtReceive + "12002",
         "no time-out on the wait for the head: the late answer arrives"},
        {"eleven redirects", At("/faults/chain/11"), AtReceive + "12156"},
        {"a redirect to ftp", At("/redirect?to=ftp://127.0.0.1/x"), AtReceive + "12156",
         "follows a redirect to ftp: as if it were http"},
        {"gzip cut short, decoded", Decoded(At("/faults/compressed/gzip?n=50000&truncate=1")),
         InBody + "12152", "its WinHTTP has no WINHTTP_OPTION_DECOMPRESSION (12009)"},
        {"gzip that never ends: time-out",
         Decoded(Within("/hostile/gzip-empty-blocks?count=200&gap=50", 500)), InBody + "12002",
         "its WinHTTP has no WINHTTP_OPTION_DECOMPRESSION (12009)"},
        {"nothing listening", NoServer, "REQUEST_ERROR send 12029"},
        {"name not resolved", NoName, "REQUEST_ERROR send 12007"},
    };
    for (const TRow& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        if (!Runs(Row.Name, Row.WineDeparts)) continue;
        const TAsyncOutcome O = RunAsync(FSession.Get(), Row.R);
        ExpectRules(O);
        EXPECT_EQ(O.RefusedCall, "") << "a failure is told by REQUEST_ERROR, not by the call";
        EXPECT_TRUE(SameCompletions(O.Completions(), Row.Completions + " HANDLE_CLOSING"))
            << O.Completions() << "\n"
            << O.Dump();
        // A failed send never told of a request sent; a failed receive of no head.
        if (O.Legs().find("REQUEST_ERROR send") != std::string::npos) {
            EXPECT_EQ(O.Count(Async::RequestSent), 0) << O.Dump();
        }
    }
    ExpectStillUsable();
}

TEST_F(WinHttpAsync, CertificateFailuresCompleteWithTheirFlags) {
    const auto& Row = CurrentPlatform();
    auto Secure = [&](const TTestServer& Server, const std::string& Path) {
        TAsyncRequest R = At(Path);
        R.Host = Row.TlsHost;
        R.Port = Server.Port();
        R.Flags = WINHTTP_FLAG_SECURE;
        return R;
    };
    auto TlsArgs = [](const std::string& Name) -> std::vector<std::string> {
        const std::string Dir = TestSupport::TestCertDir();
        return {"--tls", Dir + "/" + Name + ".pem", Dir + "/" + Name + ".key"};
    };
    {
        SCOPED_TRACE("a good certificate");
        TTestServer Good(TlsArgs("good"));
        const TAsyncOutcome O = RunAsync(FSession.Get(), Secure(Good, "/faults/chain/2"));
        ExpectRules(O);
        EXPECT_EQ(O.Completions(), Whole) << O.Dump();
        EXPECT_EQ(O.Body, "chain end GET 0\n");
        EXPECT_EQ(O.Count(Async::SecureFailure), 0);
    }
    struct {
        const char* Cert;
        DWORD Flags;
    } Cases[] = {
        {"self", WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA},
        {"expired", WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID},
        {"wronghost", WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID},
        {"clientonly", WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE},
        {"badsig", WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Cert);
        if (!Runs(C.Cert, "a secure-channel error (12157) without the secure-failure notice"))
            continue;
        TTestServer Server(TlsArgs(C.Cert));
        const TAsyncOutcome O = RunAsync(FSession.Get(), Secure(Server, "/status/200"));
        ExpectRules(O);
        // The flags come first, then the send fails with 12175.
        char Flags[16];
        std::snprintf(Flags, sizeof Flags, "0x%x", static_cast<unsigned>(C.Flags));
        EXPECT_EQ(O.Completions(), std::string("SECURE_FAILURE ") + Flags +
                                       " REQUEST_ERROR send 12175 HANDLE_CLOSING")
            << O.Dump();
    }
}

#ifndef _WIN32
TEST_F(WinHttpAsync, Http2StreamsCompleteLikeHttp1) {
    // Over HTTP/2 (a peer that breaks the rules on request): the same completions and codes as
    // over HTTP/1.1, and requests in flight together share the connection without mixing up.
    if (!TestSupport::TH2Peer::Available())
        GTEST_SKIP() << "no Python with the h2 package here (Debian's python3-h2)";
    TestSupport::TH2Peer Peer;
    THandle Session(WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr,
                                WINHTTP_FLAG_ASYNC));
    ASSERT_TRUE(Session);
    DWORD Http2 = WINHTTP_PROTOCOL_FLAG_HTTP2;
    ASSERT_TRUE(
        WinHttpSetOption(Session.Get(), WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, &Http2, sizeof Http2));
    auto Over = [&](const std::string& Path) {
        TAsyncRequest R = At(Path);
        R.Port = Peer.Port();
        R.Flags = WINHTTP_FLAG_SECURE;
        return R;
    };
    const std::string InBody =
        "SENDREQUEST_COMPLETE HEADERS_AVAILABLE BODY? REQUEST_ERROR query|read ";
    struct {
        const char* Name;
        std::string Path;
        std::string Completions;
        std::string Body;  // where it succeeds
    } Rows[] = {
        {"a whole answer", "/ok/100000", Whole, PatternBytes(100000)},
        {"reset in the middle of the body", "/reset-mid-body", InBody + "12030 HANDLE_CLOSING", ""},
        {"a header block past the limit", "/huge-head?kb=300",
         "SENDREQUEST_COMPLETE REQUEST_ERROR receive 12182 HANDLE_CLOSING", ""},
        {"a body longer than its length", "/overlong", InBody + "12152 HANDLE_CLOSING", ""},
        {"GOAWAY right after the answer", "/goaway", Whole, "bye\n"},
    };
    for (const auto& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        const TAsyncOutcome O = RunAsync(Session.Get(), Over(Row.Path));
        ExpectRules(O);
        EXPECT_TRUE(SameCompletions(O.Completions(), Row.Completions)) << O.Completions() << "\n"
                                                                       << O.Dump();
        if (!Row.Body.empty()) {
            EXPECT_TRUE(O.Body == Row.Body) << "body of " << O.Body.size() << " bytes";
            EXPECT_EQ(O.Protocol, static_cast<DWORD>(WINHTTP_PROTOCOL_FLAG_HTTP2));
        }
    }
    constexpr std::size_t Count = 12;
    std::vector<TAsyncOutcome> Outcomes(Count);
    std::vector<std::thread> Starters;
    for (std::size_t I = 0; I < Count; ++I)
        Starters.emplace_back([&, I] {
            Outcomes[I] = RunAsync(Session.Get(), Over("/ok/" + std::to_string(30000 + I)));
        });
    for (auto& T : Starters) T.join();
    for (std::size_t I = 0; I < Count; ++I) {
        SCOPED_TRACE("at once #" + std::to_string(I));
        ExpectRules(Outcomes[I]);
        EXPECT_EQ(Outcomes[I].Completions(), Whole) << Outcomes[I].Dump();
        EXPECT_TRUE(Outcomes[I].Body == PatternBytes(30000 + I));
        EXPECT_EQ(Outcomes[I].Protocol, static_cast<DWORD>(WINHTTP_PROTOCOL_FLAG_HTTP2));
    }
}

TEST_F(WinHttpAsync, WritesToAPeerThatStopsReadingTimeOut) {
    // A listener that never accepts: the kernel takes the connection and buffers a little of
    // the upload, then the writes wait until the send time-out ends them.
    const int Listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(Listener, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(Listener, reinterpret_cast<sockaddr*>(&A), sizeof A), 0);
    ASSERT_EQ(listen(Listener, 1), 0);
    socklen_t Len = sizeof A;
    ASSERT_EQ(getsockname(Listener, reinterpret_cast<sockaddr*>(&A), &Len), 0);
    TAsyncRequest R = At("/sink");
    R.Port = ntohs(A.sin_port);
    R.Verb = u"PUT";
    R.Written = std::string(std::size_t{64} << 20, 'x');
    R.WritePiece = 1 << 20;
    R.ConnectTimeoutMs = 300;  // the send time-out among them
    R.TimeoutMs = 300;
    const TAsyncOutcome O = RunAsync(FSession.Get(), R);
    close(Listener);
    ExpectRules(O);
    const std::string C = O.Completions();
    EXPECT_EQ(C.rfind("SENDREQUEST_COMPLETE ", 0), 0u) << C;
    const std::string End = "REQUEST_ERROR write 12002 HANDLE_CLOSING";
    ASSERT_GE(C.size(), End.size());
    EXPECT_EQ(C.substr(C.size() - End.size()), End) << O.Dump();
    EXPECT_LT(O.Count(Async::WriteComplete), 64) << "the writes stopped where the peer did";
}
#endif

TEST_F(WinHttpAsync, ClosingAtEveryStepEndsWhatWasPending) {
    // After the close, the operation that was pending ends once, by its completion or by
    // REQUEST_ERROR 12017, and HANDLE_CLOSING follows; where none was pending, HANDLE_CLOSING
    // alone. After names what must come, or "" for "the pending one ends either way".
    auto Closing = [&](const std::string& Path, TCloseAt Step, DWORD Piece = 8192,
                       bool QueryFirst = true) {
        TAsyncRequest R = At(Path);
        R.CloseAt = Step;
        R.Piece = Piece;
        R.QueryFirst = QueryFirst;
        return R;
    };
    struct TRow {
        const char* Name;
        TAsyncRequest R;
        std::string After;
        const char* WineDeparts = nullptr;
    };
    const char* NoCancel =
        "closing does not end a pending operation: it completes when the server answers";
    const TRow Rows[] = {
        {"right after the send", Closing("/faults/stall-head?ms=3000", TCloseAt::AfterSend), ""},
        {"inside SENDREQUEST_COMPLETE", Closing("/bytes/1000", TCloseAt::InSendComplete),
         "HANDLE_CLOSING"},
        {"while the head is awaited",
         Closing("/faults/stall-head?ms=3000", TCloseAt::ReceivePending),
         "REQUEST_ERROR receive 12017 HANDLE_CLOSING", NoCancel},
        {"while a redirect's head is awaited",
         Closing("/redirect?to=/faults/stall-head?ms=3000", TCloseAt::ReceivePending),
         "REQUEST_ERROR receive 12017 HANDLE_CLOSING", NoCancel},
        {"inside HEADERS_AVAILABLE", Closing("/bytes/100000", TCloseAt::InHeadersAvailable),
         "HANDLE_CLOSING"},
        {"inside READ_COMPLETE, mid-body", Closing("/bytes/1000000", TCloseAt::MidBody, 1000),
         "HANDLE_CLOSING"},
        {"while asking for a stalled body",
         Closing("/faults/stall-body?ms=3000", TCloseAt::ReadPending),
         "REQUEST_ERROR query 12017 HANDLE_CLOSING", NoCancel},
        // From the starting thread while the reads follow each other on the library's own.
        {"while reads are flowing", Closing("/bytes/200000000", TCloseAt::ReadPending, 1000), ""},
        // Pieces of 5: the first read takes the bytes that came before the stall.
        {"while reading a stalled body",
         Closing("/faults/stall-body?ms=3000", TCloseAt::ReadPending, 5, false),
         "REQUEST_ERROR read 12017 HANDLE_CLOSING", NoCancel},
    };
    for (const TRow& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        if (!Runs(Row.Name, Row.WineDeparts)) continue;
        const TAsyncOutcome O = RunAsync(FSession.Get(), Row.R);
        ExpectRules(O);
        EXPECT_TRUE(O.ClosedAtStep) << "the request ended before the step\n" << O.Dump();
        std::vector<std::string> After;
        for (const TNotification& N : O.Events) {
            if (!N.AfterClose) continue;
            TAsyncOutcome One;
            One.Events = {N};
            if (!One.Completions().empty()) After.push_back(One.Completions());
        }
        std::string Seen;
        for (const auto& A : After) Seen += (Seen.empty() ? "" : " ") + A;
        if (!Row.After.empty()) {
            EXPECT_EQ(Seen, Row.After) << O.Dump();
        } else {
            ASSERT_FALSE(After.empty());
            EXPECT_EQ(After.back(), "HANDLE_CLOSING") << O.Dump();
            EXPECT_LE(After.size(), 2u) << "at most the pending operation's end\n" << O.Dump();
            if (After.size() == 2 && After[0].rfind("REQUEST_ERROR", 0) == 0) {
                EXPECT_NE(After[0].find(" 12017"), std::string::npos) << O.Dump();
            }
        }
    }
    ExpectStillUsable();
}

TEST_F(WinHttpAsync, ClosingAtAnyMomentEndsCleanly) {
    // Closed from the starting thread 0 to 29 ms after the send, whatever is under way then
    // (connecting, a redirect, a head, reads following each other, a stalled body): what was
    // pending ends once, by its completion or by REQUEST_ERROR 12017, then HANDLE_CLOSING,
    // with no callback overlapping another or coming after it.
    const std::string Paths[] = {"/bytes/2000000", "/faults/chain/3", "/faults/stall-body?ms=1000"};
    for (int Ms = 0; Ms < 30; ++Ms) {
        const std::string& Path = Paths[static_cast<std::size_t>(Ms) % std::size(Paths)];
        SCOPED_TRACE(Path + " closed after " + std::to_string(Ms) + " ms");
        TAsyncRequest R = At(Path);
        R.Piece = 4096;
        R.CloseAt = TCloseAt::AfterDelay;
        R.CloseAfterMs = Ms;
        const TAsyncOutcome O = RunAsync(FSession.Get(), R);
        ExpectRules(O);
        std::vector<std::string> After;
        for (const TNotification& N : O.Events) {
            if (!N.AfterClose) continue;
            TAsyncOutcome One;
            One.Events = {N};
            if (!One.Completions().empty()) After.push_back(One.Completions());
        }
        ASSERT_FALSE(After.empty()) << O.Dump();
        EXPECT_EQ(After.back(), "HANDLE_CLOSING") << O.Dump();
        EXPECT_LE(After.size(), 2u) << "at most the pending operation's end\n" << O.Dump();
        if (After.size() == 2 && After[0].rfind("REQUEST_ERROR", 0) == 0) {
            EXPECT_NE(After[0].find(" 12017"), std::string::npos) << O.Dump();
        }
    }
    ExpectStillUsable();
}

namespace {

// What the handles of EveryHandleEndsWithHandleClosing were told: handle, status, and for
// HANDLE_CLOSING whether its information names the handle.
struct TSeen {
    HINTERNET Handle;
    DWORD Status;
    bool NamesItself;
};
std::mutex SeenLock;
std::vector<TSeen> Seen;

void WINAPI Note(HINTERNET H, DWORD_PTR, DWORD Status, LPVOID Info, DWORD Length) {
    HINTERNET Named = nullptr;
    if (Status == Async::HandleClosing && Info && Length >= sizeof Named)
        std::memcpy(&Named, Info, sizeof Named);
    const std::lock_guard<std::mutex> G(SeenLock);
    Seen.push_back({H, Status, Named == H});
}

}  // namespace

TEST_F(WinHttpAsync, EveryHandleEndsWithHandleClosing) {
    // A callback set on the session reaches the handles made under it afterwards, and each of
    // them, the session too, ends with its own HANDLE_CLOSING and hears nothing after it.
    {
        const std::lock_guard<std::mutex> G(SeenLock);
        Seen.clear();
    }
    HINTERNET Session = WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr,
                                    WINHTTP_FLAG_ASYNC);
    ASSERT_TRUE(Session);
    EXPECT_EQ(WinHttpSetStatusCallback(Session, Note, Async::AllNotifications, 0), nullptr)
        << "no callback before";
    EXPECT_EQ(WinHttpSetStatusCallback(Session, Note, Async::AllNotifications, 0), Note)
        << "the previous callback";
    HINTERNET Connection =
        WinHttpConnect(Session, u"127.0.0.1", static_cast<INTERNET_PORT>(FServer.Port()), 0);
    ASSERT_TRUE(Connection);
    HINTERNET Request =
        WinHttpOpenRequest(Connection, u"GET", u"/bytes/1000", nullptr, nullptr, nullptr, 0);
    ASSERT_TRUE(Request);
    ASSERT_TRUE(WinHttpSendRequest(Request, nullptr, 0, nullptr, 0, 0, 1));
    const HINTERNET Handles[] = {Request, Connection, Session};
    for (HINTERNET H : Handles) EXPECT_TRUE(WinHttpCloseHandle(H));
    const auto Closings = [] {
        const std::lock_guard<std::mutex> G(SeenLock);
        return std::count_if(Seen.begin(), Seen.end(),
                             [](const TSeen& S) { return S.Status == Async::HandleClosing; });
    };
    for (int I = 0; I < 1000 && Closings() < 3; ++I)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::lock_guard<std::mutex> G(SeenLock);
    for (HINTERNET H : Handles) {
        SCOPED_TRACE(H == Request ? "request" : H == Connection ? "connection" : "session");
        std::vector<TSeen> Own;
        for (const TSeen& S : Seen)
            if (S.Handle == H) Own.push_back(S);
        ASSERT_FALSE(Own.empty());
        EXPECT_EQ(std::count_if(Own.begin(), Own.end(),
                                [](const TSeen& S) { return S.Status == Async::HandleClosing; }),
                  1);
        EXPECT_EQ(Own.back().Status, Async::HandleClosing) << "the last it heard";
        EXPECT_TRUE(Own.back().NamesItself);
    }
}

TEST_F(WinHttpAsync, ReadsChainedFromTheirCompletionsKeepTheStackFlat) {
    // Reads started from inside READ_COMPLETE, many of them served from bytes already there:
    // the library must not answer each one inline, one frame deeper every time.
    struct {
        const char* Name;
        bool QueryFirst;
    } Cases[] = {{"reading straight on", false}, {"asking before each read", true}};
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TAsyncRequest R = At("/bytes/2000000");
        R.Piece = 100;
        R.QueryFirst = C.QueryFirst;
        R.WaitMs = 60000;
        const TAsyncOutcome O = RunAsync(FSession.Get(), R);
        ExpectRules(O);
        EXPECT_TRUE(O.Body == PatternBytes(2000000)) << "body of " << O.Body.size() << " bytes";
        EXPECT_GE(O.Count(Async::ReadComplete), 20000);
        EXPECT_LE(O.MaxDepth, 16) << "callbacks nested " << O.MaxDepth << " deep";
    }
}

TEST_F(WinHttpAsync, RequestsAtOnceOnOneSessionKeepTheirOwnOrder) {
    // Requests in flight together on one session, good and hostile mixed: each keeps its own
    // notifications apart and in order, none gets two callbacks at once, and one that stalls,
    // breaks or times out holds up none of the others.
    struct TKind {
        const char* Name;
        std::string Path;
        int TimeoutMs;
        std::string Completions;
        std::string Body;  // checked where the request succeeds
        const char* WineDeparts = nullptr;
    };
    const TKind Kinds[] = {
        {"a body", "/bytes/30000", 10000, Whole, PatternBytes(30000)},
        {"two redirects", "/faults/chain/2", 10000, Whole, "chain end GET 0\n"},
        {"stalled head: time-out", "/faults/stall-head?ms=3000", 1000,
         "SENDREQUEST_COMPLETE REQUEST_ERROR receive 12002 HANDLE_CLOSING", "",
         "no time-out on the wait for the head"},
        {"stalled body: time-out", "/faults/stall-body?ms=3000", 1000,
         "SENDREQUEST_COMPLETE HEADERS_AVAILABLE BODY REQUEST_ERROR query 12002 HANDLE_CLOSING", "",
         "the socket's own code (10060) instead of 12002"},
        {"reset inside a chunked body", "/faults/reset-mid-chunks", 10000,
         "SENDREQUEST_COMPLETE HEADERS_AVAILABLE BODY? REQUEST_ERROR query|read 12030 "
         "HANDLE_CLOSING",
         "", "the socket's own code (10054)"},
        {"a redirect whose body trickles", "/hostile/redirect-trickle?n=60&gap=50&to=/bytes/5000",
         1000, Whole, PatternBytes(5000)},
    };
    std::vector<const TKind*> Chosen;
    for (const TKind& K : Kinds)
        if (Runs(K.Name, K.WineDeparts)) Chosen.push_back(&K);
    // Time-outs of a second: the test server answers some of the first requests late.
    const std::size_t Count = 3 * Chosen.size();
    std::vector<TAsyncOutcome> Outcomes(Count);
    std::vector<std::thread> Starters;
    for (std::size_t I = 0; I < Count; ++I) {
        Starters.emplace_back([&, I] {
            TAsyncRequest R = At(Chosen[I % Chosen.size()]->Path);
            R.TimeoutMs = Chosen[I % Chosen.size()]->TimeoutMs;
            Outcomes[I] = RunAsync(FSession.Get(), R);
        });
    }
    for (auto& T : Starters) T.join();
    for (std::size_t I = 0; I < Count; ++I) {
        const TKind& K = *Chosen[I % Chosen.size()];
        SCOPED_TRACE(std::string(K.Name) + " #" + std::to_string(I));
        const TAsyncOutcome& O = Outcomes[I];
        ExpectRules(O);
        EXPECT_TRUE(SameCompletions(O.Completions(), K.Completions)) << O.Completions() << "\n"
                                                                     << O.Dump();
        if (!K.Body.empty()) {
            EXPECT_TRUE(O.Body == K.Body) << "body of " << O.Body.size() << " bytes";
        }
    }
}

}  // namespace Nimbra
