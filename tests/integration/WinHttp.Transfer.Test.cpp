// libwinhttp against real servers on 127.0.0.1: what the engine relies on (status, headers,
// bodies, uploads, redirects, decompression, connection reuse, cancellation), the error
// codes of failures and the certificate checks.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "Nimbra.WinHttp.Api.h"
#include "Os.Clock.h"
#include "TestServer.h"
#include "WinHttpTestUtil.h"

// Inside the namespace the WinHTTP names are the bound functions, not the C declarations.
namespace Nimbra {

using TestSupport::A;
using TestSupport::PatternBytes;
using TestSupport::QueryEscape;
using TestSupport::QueryStatus;
using TestSupport::QueryText;
using TestSupport::ReadAll;
using TestSupport::THandle;
using TestSupport::TTestServer;
using TestSupport::U;

namespace {

/// How one exchange went: the step that failed (empty when none) and what arrived.
struct TOutcome {
    std::string Stage;
    DWORD Code = 0;
    DWORD Status = 0;
    std::string Body;
    std::string Headers;
    // WINHTTP_OPTION_REQUEST_TIMES read after the last step, and the performance counter
    // just before the send and just after that step.
    WINHTTP_REQUEST_TIMES Times{};
    std::int64_t Before = 0, After = 0;
};

std::int64_t Counter() {
    LARGE_INTEGER T;
    QueryPerformanceCounter(&T);
    return T.QuadPart;
}

struct TExchange {
    std::string Host = "127.0.0.1";
    int Port = 0;
    std::string Path = "/";
    std::u16string Verb = u"GET";
    std::u16string Headers;
    std::string Body;     // sent as optional data
    std::string Written;  // sent through WinHttpWriteData in one call
    DWORD Flags = 0;
    int TimeoutMs = 10000;
    DWORD Decompression = 0;
    bool NoRedirects = false;
    DWORD RedirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
    DWORD_PTR Context = 0;

    // The exchange with one setting changed, so that a row of a table states all of its own.
    TExchange OnHost(std::string H) const {
        return With([&](TExchange& X) { X.Host = H; });
    }
    TExchange OnPort(int P) const {
        return With([&](TExchange& X) { X.Port = P; });
    }
    TExchange Within(int Ms) const {
        return With([&](TExchange& X) { X.TimeoutMs = Ms; });
    }
    TExchange Decoding(DWORD D) const {
        return With([&](TExchange& X) { X.Decompression = D; });
    }

  private:
    template <typename F>
    TExchange With(F Change) const {
        TExchange X = *this;
        Change(X);
        return X;
    }
};

TOutcome Exchange(HINTERNET Session, const TExchange& X) {
    TOutcome O;
    HINTERNET Timed = nullptr;  // the request, once open
    auto ReadTimes = [&] {
        O.After = Counter();
        DWORD Len = sizeof O.Times;
        if (Timed && !WinHttpQueryOption(Timed, WINHTTP_OPTION_REQUEST_TIMES, &O.Times, &Len))
            ADD_FAILURE() << "request times: error " << GetLastError();
    };
    auto Fail = [&](const char* Stage) {
        O.Stage = Stage;
        O.Code = GetLastError();
        ReadTimes();
        return O;
    };
    THandle Conn(WinHttpConnect(Session, U(X.Host).c_str(), static_cast<INTERNET_PORT>(X.Port), 0));
    if (!Conn) return Fail("connect");
    THandle Req(WinHttpOpenRequest(Conn.Get(), X.Verb.c_str(), U(X.Path).c_str(), nullptr, nullptr,
                                   nullptr, X.Flags));
    if (!Req) return Fail("open");
    Timed = Req.Get();
    if (!WinHttpSetTimeouts(Req.Get(), X.TimeoutMs, X.TimeoutMs, X.TimeoutMs, X.TimeoutMs))
        return Fail("timeouts");
    DWORD V = WINHTTP_DISABLE_REDIRECTS;
    if (X.NoRedirects && !WinHttpSetOption(Req.Get(), WINHTTP_OPTION_DISABLE_FEATURE, &V, sizeof V))
        return Fail("option");
    V = X.RedirectPolicy;
    if (V != WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP &&
        !WinHttpSetOption(Req.Get(), WINHTTP_OPTION_REDIRECT_POLICY, &V, sizeof V))
        return Fail("option");
    V = X.Decompression;
    if (V && !WinHttpSetOption(Req.Get(), WINHTTP_OPTION_DECOMPRESSION, &V, sizeof V))
        return Fail("option");
    const DWORD Total = static_cast<DWORD>(X.Body.size() + X.Written.size());
    O.Before = Counter();
    if (!WinHttpSendRequest(Req.Get(), X.Headers.empty() ? nullptr : X.Headers.c_str(),
                            static_cast<DWORD>(X.Headers.size()),
                            X.Body.empty() ? nullptr : const_cast<char*>(X.Body.data()),
                            static_cast<DWORD>(X.Body.size()), Total, X.Context))
        return Fail("send");
    if (!X.Written.empty()) {
        DWORD N = 0;
        if (!WinHttpWriteData(Req.Get(), X.Written.data(), static_cast<DWORD>(X.Written.size()),
                              &N))
            return Fail("write");
    }
    if (!WinHttpReceiveResponse(Req.Get(), nullptr)) return Fail("receive");
    O.Status = QueryStatus(Req.Get());
    O.Headers = QueryText(Req.Get(), WINHTTP_QUERY_RAW_HEADERS_CRLF);
    DWORD Err = 0;
    if (!ReadAll(Req.Get(), O.Body, Err)) {
        O.Stage = "read";
        O.Code = Err;
    }
    ReadTimes();
    return O;
}

bool HasHeaderLine(const std::string& Raw, const std::string& Line) {
    return Raw.find("\r\n" + Line + "\r\n") != std::string::npos;
}

/// How many connections a test server has accepted, the one asking included.
std::string Connections(HINTERNET Session, int Port) {
    TExchange X;
    X.Port = Port;
    X.Path = "/faults/connections";
    return Exchange(Session, X).Body;
}

// The phases of a transfer as WINHTTP_REQUEST_TIMES entries, in the order they happen.
struct TPhase {
    const char* Name;
    WINHTTP_REQUEST_TIME_ENTRY Start, End;
};
const TPhase Phases[] = {
    {"resolve", WinHttpNameResolutionStart, WinHttpNameResolutionEnd},
    {"connect", WinHttpConnectionEstablishmentStart, WinHttpConnectionEstablishmentEnd},
    {"tls", WinHttpTlsHandshakeClientLeg1Start, WinHttpTlsHandshakeClientLeg1End},
    {"send", WinHttpSendRequestStart, WinHttpSendRequestEnd},
    {"receive", WinHttpReceiveResponseStart, WinHttpReceiveResponseEnd},
};

// The phases the times show, as "resolve connect send receive"; a phase that started and
// never ended shows as "connect..." and must be the last. Checks that every time lies within
// the exchange and that each phase starts no earlier than the previous one ended.
std::string PhasesOf(const TOutcome& O) {
    const auto& T = O.Times.rgullTimes;
    EXPECT_EQ(O.Times.cTimes, static_cast<ULONG>(WinHttpRequestTimeLast));
    std::string Out;
    ULONGLONG PreviousEnd = static_cast<ULONGLONG>(O.Before);
    bool Open = false;
    for (const TPhase& P : Phases) {
        const ULONGLONG Start = T[P.Start], End = T[P.End];
        if (Start == 0) {
            EXPECT_EQ(End, 0u) << P.Name << " ended without starting";
            continue;
        }
        EXPECT_FALSE(Open) << P.Name << " started after a phase that never ended";
        EXPECT_GE(Start, PreviousEnd) << P.Name << " starts before the previous phase ended";
        EXPECT_LE(Start, static_cast<ULONGLONG>(O.After)) << P.Name;
        Out += Out.empty() ? "" : " ";
        Out += P.Name;
        if (End == 0) {
            Out += "...";
            Open = true;
            continue;
        }
        EXPECT_GE(End, Start) << P.Name;
        EXPECT_LE(End, static_cast<ULONGLONG>(O.After)) << P.Name << " ends after the exchange";
        PreviousEnd = End;
    }
    // The head arrives inside the receiving phase.
    const ULONGLONG Head = T[WinHttpReceiveResponseHeadersEnd];
    if (Head != 0) {
        EXPECT_GE(Head, T[WinHttpReceiveResponseStart]);
        if (T[WinHttpReceiveResponseEnd]) {
            EXPECT_LE(Head, T[WinHttpReceiveResponseEnd]);
        }
    }
    return Out;
}

class WinHttpTransfer : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(LoadWinHttp());
        FSession =
            THandle(WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
        ASSERT_TRUE(FSession);
    }
    TExchange At(const std::string& Path) {
        TExchange X;
        X.Port = FServer.Port();
        X.Path = Path;
        return X;
    }
    TOutcome Get(const std::string& Path) { return Exchange(FSession.Get(), At(Path)); }

    TTestServer FServer;
    THandle FSession;
};

}  // namespace

TEST_F(WinHttpTransfer, GetReportsStatusHeadersAndBody) {
    THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                static_cast<INTERNET_PORT>(FServer.Port()), 0));
    THandle Req(
        WinHttpOpenRequest(Conn.Get(), u"GET", u"/bytes/10000", nullptr, nullptr, nullptr, 0));
    ASSERT_TRUE(WinHttpSendRequest(Req.Get(), u"\r\n", 2, nullptr, 0, 0, 0));
    ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr));
    EXPECT_EQ(QueryStatus(Req.Get()), 200u);
    EXPECT_EQ(QueryText(Req.Get(), WINHTTP_QUERY_STATUS_TEXT), "OK");
    EXPECT_EQ(QueryText(Req.Get(), WINHTTP_QUERY_CONTENT_LENGTH), "10000");
    EXPECT_EQ(QueryText(Req.Get(), WINHTTP_QUERY_VERSION), "HTTP/1.1");
    std::string Raw = QueryText(Req.Get(), WINHTTP_QUERY_RAW_HEADERS_CRLF);
    EXPECT_EQ(Raw.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << Raw;
    EXPECT_TRUE(HasHeaderLine(Raw, "Content-Length: 10000")) << Raw;
    ASSERT_GE(Raw.size(), 4u);
    EXPECT_EQ(Raw.substr(Raw.size() - 4), "\r\n\r\n");
    EXPECT_EQ(Raw.find("\r\n\r\n"), Raw.size() - 4) << "one empty line, at the end";

    // Pieces as the engine asks for them; then the end, reported again on every read.
    std::string Body;
    DWORD Err = 0;
    ASSERT_TRUE(ReadAll(Req.Get(), Body, Err, 8192));
    EXPECT_EQ(Body, PatternBytes(10000));
    char B[16];
    DWORD N = 7;
    EXPECT_TRUE(WinHttpReadData(Req.Get(), B, sizeof B, &N));
    EXPECT_EQ(N, 0u);
}

TEST_F(WinHttpTransfer, HeaderQueriesFollowTheSizeProtocol) {
    THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                static_cast<INTERNET_PORT>(FServer.Port()), 0));
    THandle Req(
        WinHttpOpenRequest(Conn.Get(), u"GET", u"/faults/headers", nullptr, nullptr, nullptr, 0));
    ASSERT_TRUE(WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, 0, 0));
    ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr));
    HINTERNET R = Req.Get();

    // Probe: 122 and the size with the NUL; a buffer one character short fails the same way.
    DWORD Len = 0;
    EXPECT_FALSE(
        WinHttpQueryHeaders(R, WINHTTP_QUERY_STATUS_TEXT, nullptr, nullptr, &Len, nullptr));
    EXPECT_EQ(GetLastError(), 122u);
    EXPECT_EQ(Len, 6u);  // "OK" and the NUL
    char16_t Buf[64];
    std::fill(std::begin(Buf), std::end(Buf), u'#');
    Len = 4;
    EXPECT_FALSE(WinHttpQueryHeaders(R, WINHTTP_QUERY_STATUS_TEXT, nullptr, Buf, &Len, nullptr));
    EXPECT_EQ(GetLastError(), 122u);
    EXPECT_EQ(Len, 6u);
    Len = 6;
    ASSERT_TRUE(WinHttpQueryHeaders(R, WINHTTP_QUERY_STATUS_TEXT, nullptr, Buf, &Len, nullptr));
    EXPECT_EQ(Len, 4u);
    EXPECT_EQ(std::u16string(Buf, 3), std::u16string(u"OK\0", 3));

    // Missing header: 12150 and the buffer untouched.
    std::fill(std::begin(Buf), std::end(Buf), u'#');
    Len = sizeof Buf;
    EXPECT_FALSE(WinHttpQueryHeaders(R, WINHTTP_QUERY_LOCATION, nullptr, Buf, &Len, nullptr));
    EXPECT_EQ(GetLastError(), 12150u);
    EXPECT_EQ(Buf[0], u'#');
    Len = 0;
    EXPECT_FALSE(WinHttpQueryHeaders(R, WINHTTP_QUERY_LOCATION, nullptr, nullptr, &Len, nullptr));
    EXPECT_EQ(GetLastError(), 12150u);

    // Numbers need four bytes.
    DWORD Number = 0;
    Len = 2;
    EXPECT_FALSE(WinHttpQueryHeaders(R, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                     nullptr, &Number, &Len, nullptr));
    EXPECT_EQ(GetLastError(), 122u);
    EXPECT_EQ(Len, 4u);
    ASSERT_TRUE(WinHttpQueryHeaders(R, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                    nullptr, &Number, &Len, nullptr));
    EXPECT_EQ(Number, 200u);
    Len = sizeof Number;
    ASSERT_TRUE(WinHttpQueryHeaders(R, WINHTTP_QUERY_CUSTOM | WINHTTP_QUERY_FLAG_NUMBER,
                                    u"X-Number", &Number, &Len, nullptr));
    EXPECT_EQ(Number, 4294967295u);
    SYSTEMTIME T{};
    Len = sizeof T;
    ASSERT_TRUE(WinHttpQueryHeaders(R, WINHTTP_QUERY_LAST_MODIFIED | WINHTTP_QUERY_FLAG_SYSTEMTIME,
                                    nullptr, &T, &Len, nullptr));
    EXPECT_EQ(T.wYear, 1994);
    EXPECT_EQ(T.wSecond, 37);

    // Repeated headers by index, an empty one, a level past the last.
    DWORD Index = 0;
    std::vector<std::string> Seen;
    for (;;) {
        Len = sizeof Buf;
        if (!WinHttpQueryHeaders(R, WINHTTP_QUERY_CUSTOM, u"x-multi", Buf, &Len, &Index)) break;
        Seen.push_back(A(std::u16string_view(Buf, Len / 2)));
    }
    EXPECT_EQ(GetLastError(), 12150u);
    EXPECT_EQ(Seen, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(Index, 2u);
    DWORD Err = 99;
    EXPECT_EQ(QueryText(R, WINHTTP_QUERY_CUSTOM, &Err, u"X-Empty"), "");
    EXPECT_EQ(Err, 0u);
    Len = sizeof Buf;
    EXPECT_FALSE(WinHttpQueryHeaders(R, WINHTTP_QUERY_MAX + 1, nullptr, Buf, &Len, nullptr));
    EXPECT_EQ(GetLastError(), 87u);
}

TEST_F(WinHttpTransfer, StatusLinesAsReceived) {
    struct {
        const char* Name;
        std::string StatusLine;
        DWORD Status;
        std::string Text;
    } Cases[] = {
        {"reason phrase", "HTTP/1.1 299 Very Fine Indeed", 299, "Very Fine Indeed"},
        {"empty reason after the blank", "HTTP/1.1 200 ", 200, ""},
        {"no reason at all", "HTTP/1.1 200", 200, ""},
        {"HTTP/1.0", "HTTP/1.0 404 Gone Fishing", 404, "Gone Fishing"},
        {"blanks doubled", "HTTP/1.1  200  OK", 200, "OK"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TExchange X =
            At("/faults/raw?text=" + C.StatusLine + "\\r\\nContent-Length: 2\\r\\n\\r\\nok");
        THandle Conn(
            WinHttpConnect(FSession.Get(), u"127.0.0.1", static_cast<INTERNET_PORT>(X.Port), 0));
        THandle Req(WinHttpOpenRequest(Conn.Get(), u"GET", U(X.Path).c_str(), nullptr, nullptr,
                                       nullptr, 0));
        ASSERT_TRUE(WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, 0, 0));
        ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr)) << GetLastError();
        EXPECT_EQ(QueryStatus(Req.Get()), C.Status);
        EXPECT_EQ(QueryText(Req.Get(), WINHTTP_QUERY_STATUS_TEXT), C.Text);
        EXPECT_EQ(
            QueryText(Req.Get(), WINHTTP_QUERY_RAW_HEADERS_CRLF).rfind(C.StatusLine + "\r\n", 0),
            0u);
    }
}

TEST_F(WinHttpTransfer, BodiesInEveryFraming) {
    // Chunked: de-chunked body, the coding still named, no length.
    TOutcome O = Get("/faults/chunked?sizes=5,1,70000,3");
    EXPECT_EQ(O.Stage, "");
    EXPECT_EQ(O.Body, PatternBytes(70009));
    EXPECT_TRUE(HasHeaderLine(O.Headers, "Transfer-Encoding: chunked")) << O.Headers;
    EXPECT_EQ(O.Headers.find("X-Trailer"), std::string::npos) << "trailers are not headers";

    // A large body read in small and in large pieces: whatever size the reader asks for,
    // every byte arrives once and in order. With 40000 most reads end part-way through what
    // curl has received, which then waits for the next read.
    for (DWORD Piece : {8192u, 40000u, 700000u}) {
        SCOPED_TRACE(Piece);
        THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                    static_cast<INTERNET_PORT>(FServer.Port()), 0));
        THandle Req(WinHttpOpenRequest(Conn.Get(), u"GET", u"/bytes/6000000", nullptr, nullptr,
                                       nullptr, 0));
        ASSERT_TRUE(WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, 0, 0));
        ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr));
        std::string Body;
        DWORD Err = 0;
        ASSERT_TRUE(ReadAll(Req.Get(), Body, Err, Piece));
        EXPECT_TRUE(Body == PatternBytes(6000000)) << "body of " << Body.size() << " bytes";
    }

    // Ended by closing the connection: no length at all.
    O = Get("/faults/close-delimited");
    EXPECT_EQ(O.Stage, "");
    EXPECT_EQ(O.Body, PatternBytes(3000));

    // Interim answers are skipped; the final one is reported.
    O = Get("/faults/interim");
    EXPECT_EQ(O.Stage, "");
    EXPECT_EQ(O.Status, 200u);
    EXPECT_EQ(O.Body, "final\n");

    // No body: 204 and HEAD end at once.
    O = Get("/status/204");
    EXPECT_EQ(O.Status, 204u);
    EXPECT_EQ(O.Body, "");
    TExchange X = At("/bytes/100");
    X.Verb = u"HEAD";
    O = Exchange(FSession.Get(), X);
    EXPECT_EQ(O.Stage, "");
    EXPECT_EQ(O.Status, 200u);
    EXPECT_EQ(O.Body, "");
    EXPECT_TRUE(HasHeaderLine(O.Headers, "Content-Length: 100")) << O.Headers;
}

TEST_F(WinHttpTransfer, DecompressionDecodesAndHidesTheCoding) {
    struct {
        const char* Name;
        std::string Path;
        std::size_t Size;
    } Cases[] = {
        {"gzip", "/faults/compressed/gzip?n=5000", 5000},
        {"deflate (zlib)", "/faults/compressed/deflate?n=5000", 5000},
        {"deflate sent raw", "/faults/compressed/rawdeflate?n=5000", 5000},
        {"gzip chunked", "/faults/compressed/gzip?n=100000&chunked=1", 100000},
        {"large gzip, reader behind", "/faults/compressed/gzip?n=3000000", 3000000},
        {"empty", "/faults/compressed/gzip?n=0", 0},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TExchange X = At(C.Path);
        X.Decompression = WINHTTP_DECOMPRESSION_FLAG_ALL;
        X.Headers = u"Accept-Encoding: br\r\n";
        TOutcome O = Exchange(FSession.Get(), X);
        EXPECT_EQ(O.Stage, "");
        EXPECT_TRUE(O.Body == PatternBytes(C.Size)) << "body of " << O.Body.size() << " bytes";
        EXPECT_EQ(O.Headers.find("Content-Encoding"), std::string::npos) << O.Headers;
        EXPECT_EQ(O.Headers.find("Content-Length"), std::string::npos) << O.Headers;
        EXPECT_TRUE(HasHeaderLine(O.Headers, "X-Seen-Accept-Encoding: gzip, deflate")) << O.Headers;
    }

    // Without the option the body comes as sent, with its coding.
    TOutcome O = Get("/faults/compressed/gzip?n=5000");
    EXPECT_EQ(O.Stage, "");
    EXPECT_EQ(O.Body.substr(0, 2), "\x1f\x8b");
    EXPECT_TRUE(HasHeaderLine(O.Headers, "Content-Encoding: gzip")) << O.Headers;
    EXPECT_TRUE(HasHeaderLine(O.Headers, "X-Seen-Accept-Encoding: (none)")) << O.Headers;

    // Compressed data cut short cannot be decoded into a whole body.
    TExchange X = At("/faults/compressed/gzip?n=50000&truncate=1");
    X.Decompression = WINHTTP_DECOMPRESSION_FLAG_GZIP;
    O = Exchange(FSession.Get(), X);
    EXPECT_EQ(O.Stage, "read");
    EXPECT_EQ(O.Code, 12152u);
}

TEST_F(WinHttpTransfer, BodiesCodedInLayersAreNeverHalfDecoded) {
    struct {
        const char* Name;
        std::string Query;
        bool Decoded;  // the body comes decoded; otherwise as sent, its codings stated
    } Cases[] = {
        {"gzip", "codings=gzip", true},
        {"gzip beside identity", "codings=identity,gzip", true},
        {"gzip twice, one line each", "codings=gzip,gzip&lines=many", false},
        {"gzip twice in one line", "codings=gzip,gzip", false},
        {"deflate, then gzip", "codings=deflate,gzip&lines=many", false},
        {"an unknown coding under gzip", "codings=br,gzip&lines=many", false},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        const std::string Path = "/hostile/codings?n=5000&" + C.Query;
        const TOutcome Sent = Get(Path);  // without decompression: the bytes as they came
        ASSERT_EQ(Sent.Stage, "");
        TExchange X = At(Path);
        X.Decompression = WINHTTP_DECOMPRESSION_FLAG_ALL;
        TOutcome O = Exchange(FSession.Get(), X);
        ASSERT_EQ(O.Stage, "") << O.Code;
        if (C.Decoded) {
            EXPECT_TRUE(O.Body == PatternBytes(5000)) << "body of " << O.Body.size() << " bytes";
            EXPECT_EQ(O.Headers.find("Content-Encoding"), std::string::npos) << O.Headers;
        } else {
            EXPECT_TRUE(O.Body == Sent.Body) << "body of " << O.Body.size() << " bytes";
            EXPECT_EQ(O.Headers, Sent.Headers) << "the codings and length stay stated";
        }
    }
}

TEST_F(WinHttpTransfer, CompressedBodiesEndWhereTheirDataEnds) {
    struct {
        const char* Name;
        std::string Path;
        int TimeoutMs;
        std::string Stage;
        DWORD Code;
        std::size_t Size;
    } Cases[] = {
        // The server trickles junk after the gzip data and then gives up mid-length.
        {"junk trickling in after the last member", "/hostile/gzip-junk?n=5000&junk=100&gap=50",
         10000, "", 0, 5000},
        {"second member half a second later", "/hostile/gzip-members?n=3000&gap=500", 10000, "", 0,
         6000},
        {"second member split inside its magic", "/hostile/gzip-members?n=3000&split=1&gap=500",
         10000, "", 0, 6000},
        {"second member split after its header", "/hostile/gzip-members?n=3000&split=12&gap=500",
         10000, "", 0, 6000},
        // Bytes keep coming but never decode to any: the receive time-out still applies.
        {"empty deflate blocks without end", "/hostile/gzip-empty-blocks?count=200&gap=50", 500,
         "read", 12002, 0},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TExchange X = At(C.Path);
        X.Decompression = WINHTTP_DECOMPRESSION_FLAG_GZIP;
        X.TimeoutMs = C.TimeoutMs;
        TOutcome O = Exchange(FSession.Get(), X);
        EXPECT_EQ(O.Stage, C.Stage);
        EXPECT_EQ(O.Code, C.Code);
        EXPECT_TRUE(O.Body == PatternBytes(C.Size)) << "body of " << O.Body.size() << " bytes";
    }

    // Asking what is available waits under the same rules as reading.
    for (const char* Path : {"/hostile/gzip-empty-blocks?count=200&gap=50",
                             "/hostile/gzip-junk?n=5000&junk=100&gap=50"}) {
        SCOPED_TRACE(Path);
        const bool Endless = std::string(Path).find("empty") != std::string::npos;
        THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                    static_cast<INTERNET_PORT>(FServer.Port()), 0));
        THandle Req(
            WinHttpOpenRequest(Conn.Get(), u"GET", U(Path).c_str(), nullptr, nullptr, nullptr, 0));
        DWORD V = WINHTTP_DECOMPRESSION_FLAG_GZIP;
        ASSERT_TRUE(WinHttpSetOption(Req.Get(), WINHTTP_OPTION_DECOMPRESSION, &V, sizeof V));
        ASSERT_TRUE(WinHttpSetTimeouts(Req.Get(), 10000, 10000, 10000, Endless ? 500 : 10000));
        ASSERT_TRUE(WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, 0, 0));
        ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr));
        std::size_t Total = 0;
        DWORD Err = 0;
        for (;;) {
            DWORD N = 0;
            if (!WinHttpQueryDataAvailable(Req.Get(), &N)) {
                Err = GetLastError();
                break;
            }
            if (N == 0) break;
            std::string Piece(N, '\0');
            DWORD Got = 0;
            ASSERT_TRUE(WinHttpReadData(Req.Get(), Piece.data(), N, &Got));
            Total += Got;
        }
        EXPECT_EQ(Err, Endless ? 12002u : 0u);
        EXPECT_EQ(Total, Endless ? 0u : 5000u);
    }
}

TEST_F(WinHttpTransfer, RedirectsAreFollowedUnlessDisabled) {
    TOutcome O = Get("/faults/chain/3");
    EXPECT_EQ(O.Stage, "");
    EXPECT_EQ(O.Status, 200u);
    EXPECT_EQ(O.Body, "chain end GET 0\n");

    O = Get("/faults/chain/10");
    EXPECT_EQ(O.Status, 200u) << "ten hops are allowed";
    O = Get("/faults/chain/11");
    EXPECT_EQ(O.Stage, "receive");
    EXPECT_EQ(O.Code, 12156u);

    TExchange X = At("/faults/chain/1");
    X.NoRedirects = true;
    O = Exchange(FSession.Get(), X);
    EXPECT_EQ(O.Stage, "");
    EXPECT_EQ(O.Status, 302u);
    EXPECT_EQ(O.Body, "hop 1\n");
    EXPECT_TRUE(HasHeaderLine(O.Headers, "Location: /faults/chain/0")) << O.Headers;

    // Targets that cannot be followed.
    for (const char* Target : {"ftp://127.0.0.1/x", "file:///etc/passwd", "http://[::1"}) {
        SCOPED_TRACE(Target);
        O = Get(std::string("/redirect?to=") + Target);
        EXPECT_EQ(O.Stage, "receive");
        EXPECT_EQ(O.Code, 12156u);
    }

    // A 3xx without a Location is an answer, not a redirect.
    O = Get("/redirect-no-location/301");
    EXPECT_EQ(O.Status, 301u);

    // POST: 307 keeps method and body, 303 turns into GET.
    X = At("/faults/chain/1?code=307");
    X.Verb = u"POST";
    X.Body = "hello";
    O = Exchange(FSession.Get(), X);
    EXPECT_EQ(O.Body, "chain end POST 5\n");
    X.Path = "/faults/chain/1?code=303";
    O = Exchange(FSession.Get(), X);
    EXPECT_EQ(O.Body, "chain end GET 0\n");
}

TEST_F(WinHttpTransfer, OnlyRedirectCodesAreFollowed) {
    // The Location points at another server, which counts who came.
    TTestServer Other;
    const std::string Target = QueryEscape(Other.Url("/status/200"));
    struct {
        const char* Name;
        std::string Path;
        DWORD Status;
        std::string Body;
    } Cases[] = {
        {"300", "/redirect?code=300&to=" + Target, 300, "redirect to " + Other.Url("/status/200")},
        {"305", "/redirect?code=305&to=" + Target, 305, "redirect to " + Other.Url("/status/200")},
        {"306", "/redirect?code=306&to=" + Target, 306, "redirect to " + Other.Url("/status/200")},
        {"399", "/redirect?code=399&to=" + Target, 399, "redirect to " + Other.Url("/status/200")},
        {"304",
         "/faults/raw?text=HTTP/1.1 304 Not Modified\\r\\nLocation: " + Target + "\\r\\n\\r\\n",
         304, ""},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                    static_cast<INTERNET_PORT>(FServer.Port()), 0));
        THandle Req(WinHttpOpenRequest(Conn.Get(), u"GET", U(C.Path).c_str(), nullptr, nullptr,
                                       nullptr, 0));
        ASSERT_TRUE(WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, 0, 0));
        ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr)) << GetLastError();
        EXPECT_EQ(QueryStatus(Req.Get()), C.Status);
        std::string Body;
        DWORD Err = 0;
        EXPECT_TRUE(ReadAll(Req.Get(), Body, Err)) << Err;
        EXPECT_EQ(Body, C.Body + (C.Body.empty() ? "" : "\n"));
        EXPECT_EQ(QueryStatus(Req.Get()), C.Status) << "the head read first is the head kept";
        EXPECT_EQ(QueryText(Req.Get(), WINHTTP_QUERY_LOCATION), Other.Url("/status/200"));
    }
    EXPECT_EQ(Connections(FSession.Get(), Other.Port()), "1") << "nobody went there";
}

TEST_F(WinHttpTransfer, RedirectsSendOnlyWhatTheCallerDescribed) {
    struct {
        const char* Name;
        std::u16string Verb;
        int Code;
        std::string Body;     // as optional data
        std::string Written;  // through WinHttpWriteData
        std::string Stage;
        std::string Answer;
    } Cases[] = {
        {"PUT through 301 keeps its body", u"PUT", 301, "hello", "", "", "chain end PUT 5\n"},
        {"PUT through 302 keeps its body", u"PUT", 302, "hello", "", "", "chain end PUT 5\n"},
        {"DELETE through 302 keeps its body", u"DELETE", 302, "abc", "", "",
         "chain end DELETE 3\n"},
        {"DELETE through 301 without a body", u"DELETE", 301, "", "", "", "chain end DELETE 0\n"},
        {"PATCH through 308 keeps its body", u"PATCH", 308, "hello", "", "", "chain end PATCH 5\n"},
        {"PUT through 303 becomes GET", u"PUT", 303, "hello", "", "", "chain end GET 0\n"},
        {"POST through 301 becomes GET", u"POST", 301, "hello", "", "", "chain end GET 0\n"},
        {"POST through 302 becomes GET", u"POST", 302, "hello", "", "", "chain end GET 0\n"},
        // Written data is not kept, so it cannot go out a second time.
        {"written PUT through 301 cannot follow", u"PUT", 301, "", "hello", "receive", ""},
        {"written POST through 307 cannot follow", u"POST", 307, "", "hello", "receive", ""},
        {"written POST through 303 becomes GET", u"POST", 303, "", "hello", "",
         "chain end GET 0\n"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TExchange X = At("/faults/chain/1?code=" + std::to_string(C.Code));
        X.Verb = C.Verb;
        X.Body = C.Body;
        X.Written = C.Written;
        TOutcome O = Exchange(FSession.Get(), X);
        EXPECT_EQ(O.Stage, C.Stage);
        EXPECT_EQ(O.Code, C.Stage.empty() ? 0u : 12156u);
        EXPECT_EQ(O.Body, C.Answer);
    }
    // A request that became GET carries nothing that describes the dropped body.
    TExchange X = At("/redirect?code=303&to=/echo");
    X.Verb = u"PUT";
    X.Body = "hello";
    X.Headers = u"Content-Type: text/plain\r\nX-Kept: yes\r\n";
    TOutcome O = Exchange(FSession.Get(), X);
    EXPECT_EQ(O.Body.rfind("GET /echo HTTP/1.1\n", 0), 0u) << O.Body;
    EXPECT_EQ(O.Body.find("Content-"), std::string::npos) << O.Body;
    EXPECT_NE(O.Body.find("\nX-Kept: yes\n"), std::string::npos) << O.Body;
}

TEST_F(WinHttpTransfer, UrlOptionIsWhereTheResponseCameFrom) {
    auto UrlOf = [](HINTERNET Req) {
        DWORD Len = 0;
        WinHttpQueryOption(Req, WINHTTP_OPTION_URL, nullptr, &Len);
        std::u16string Buf(Len / 2, u'\0');
        if (!WinHttpQueryOption(Req, WINHTTP_OPTION_URL, Buf.data(), &Len)) return std::string();
        Buf.resize(Len / 2);
        return A(Buf);
    };
    TTestServer Other;
    struct {
        const char* Name;
        std::string Path;
        std::string Final;
    } Cases[] = {
        {"no redirect", "/status/200", FServer.Url("/status/200")},
        {"two hops on one server", "/faults/chain/2", FServer.Url("/faults/chain/0")},
        {"to another server", "/redirect?to=" + QueryEscape(Other.Url("/status/201")),
         Other.Url("/status/201")},
        {"relative Location with a query", "/redirect?to=" + QueryEscape("../status/200?x=1"),
         FServer.Url("/status/200?x=1")},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                    static_cast<INTERNET_PORT>(FServer.Port()), 0));
        THandle Req(WinHttpOpenRequest(Conn.Get(), u"GET", U(C.Path).c_str(), nullptr, nullptr,
                                       nullptr, 0));
        EXPECT_EQ(UrlOf(Req.Get()), FServer.Url(C.Path));
        ASSERT_TRUE(WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, 0, 0));
        ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr)) << GetLastError();
        EXPECT_EQ(UrlOf(Req.Get()), C.Final);
    }
}

TEST_F(WinHttpTransfer, RedirectBodiesAreNotWaitedFor) {
    // The body of a redirect is read past to keep the connection, but one that is slow or long
    // (and here never complete) is left behind with its connection.
    struct {
        const char* Name;
        std::string Path;
    } Cases[] = {
        {"trickled", "/hostile/redirect-trickle?n=200&gap=50&to=/status/200"},
        {"long", "/hostile/redirect-trickle?n=100000&gap=0&to=/status/200"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TExchange X = At(C.Path);
        X.TimeoutMs = 1000;
        TOutcome O = Exchange(FSession.Get(), X);
        EXPECT_EQ(O.Stage, "");
        EXPECT_EQ(O.Code, 0u);
        EXPECT_EQ(O.Status, 200u);
        EXPECT_EQ(O.Body, "status 200\n");
    }
}

TEST_F(WinHttpTransfer, ObjectNameReachesTheServerEscaped) {
    struct {
        const char* Name;
        std::string Path;
        DWORD Flags;
        std::string Target;
    } Cases[] = {
        {"fragment", "/faults/target?q=1#frag", 0, "/faults/target?q=1%23frag"},
        {"space and quote", "/faults/target/a b\"c", 0, "/faults/target/a%20b%22c"},
        {"dot segments kept", "/faults/target/../x/./y", 0, "/faults/target/../x/./y"},
        {"percent kept", "/faults/target/%41%2F", 0, "/faults/target/%41%2F"},
        // With escaping off the name goes as the caller gave it, but for blanks, 8-bit
        // bytes and line breaks, which would break the request line.
        {"escaping off: controls, DEL and # as given", "/faults/target/a\x01b\x7f#c<",
         WINHTTP_FLAG_ESCAPE_DISABLE, "/faults/target/a\x01b\x7f#c<"},
        {"escaping off: blank and line break", "/faults/target/a b\r\nc",
         WINHTTP_FLAG_ESCAPE_DISABLE, "/faults/target/a%20bc"},
        {"escaping off in the query only", "/faults/target<?q=#<",
         WINHTTP_FLAG_ESCAPE_DISABLE_QUERY, "/faults/target%3C?q=#<"},
        {"a name as given, then a redirect", "/redirect?to=/faults/target#x",
         WINHTTP_FLAG_ESCAPE_DISABLE, "/faults/target"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TExchange X = At(C.Path);
        X.Flags = C.Flags;
        TOutcome O = Exchange(FSession.Get(), X);
        EXPECT_EQ(O.Stage, "") << O.Code;
        EXPECT_EQ(O.Body, C.Target);
    }
}

TEST_F(WinHttpTransfer, UploadsStreamThroughWriteData) {
    auto Expect = [&](const TExchange& X, const std::string& Sent, const char* Framing) {
        TOutcome O = Exchange(FSession.Get(), X);
        ASSERT_EQ(O.Stage, "") << O.Code;
        // The server answers with the body's size, its SHA-256 and how it was framed.
        EXPECT_EQ(O.Body.substr(0, O.Body.find(' ')), std::to_string(Sent.size()));
        EXPECT_NE(O.Body.find(Framing), std::string::npos) << O.Body;
    };
    // 65537 bytes written as 65536 and 1.
    std::string Big = PatternBytes(65537);
    {
        THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                    static_cast<INTERNET_PORT>(FServer.Port()), 0));
        THandle Req(
            WinHttpOpenRequest(Conn.Get(), u"POST", u"/echo", nullptr, nullptr, nullptr, 0));
        ASSERT_TRUE(WinHttpSendRequest(Req.Get(), u"\r\n", 2, nullptr, 0, 65537, 0));
        DWORD N = 0;
        ASSERT_TRUE(WinHttpWriteData(Req.Get(), Big.data(), 65536, &N));
        EXPECT_EQ(N, 65536u);
        ASSERT_TRUE(WinHttpWriteData(Req.Get(), Big.data() + 65536, 1, &N));
        EXPECT_EQ(N, 1u);
        ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr));
        std::string Body;
        DWORD Err = 0;
        ASSERT_TRUE(ReadAll(Req.Get(), Body, Err));
        EXPECT_NE(Body.find("\nContent-Length: 65537\n"), std::string::npos) << Body.substr(0, 300);
        EXPECT_EQ(Body.rfind("POST /echo HTTP/1.1", 0), 0u);
        ASSERT_GE(Body.size(), 65537u);
        EXPECT_TRUE(Body.substr(Body.size() - 65537) == Big) << "body bytes differ";
    }
    TExchange X = At("/faults/upload");
    X.Verb = u"POST";
    X.Body = "head-";
    X.Written = PatternBytes(1000);
    Expect(X, X.Body + X.Written, "length=1005");
    X.Body.clear();
    X.Written.clear();
    Expect(X, "", "length=0");
    X.Verb = u"PUT";
    X.Body = "x";
    Expect(X, "x", "length=1");

    // Writing past the announced total: reported written, never put on the wire.
    THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                static_cast<INTERNET_PORT>(FServer.Port()), 0));
    THandle Req(
        WinHttpOpenRequest(Conn.Get(), u"POST", u"/faults/upload", nullptr, nullptr, nullptr, 0));
    ASSERT_TRUE(WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, 4, 0));
    DWORD N = 0;
    ASSERT_TRUE(WinHttpWriteData(Req.Get(), "abcdefgh", 8, &N));
    EXPECT_EQ(N, 8u);
    ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr));
    std::string Body;
    DWORD Err = 0;
    ASSERT_TRUE(ReadAll(Req.Get(), Body, Err));
    EXPECT_EQ(Body.substr(0, 2), "4 ");
    EXPECT_EQ(Get("/faults/upload").Stage, "") << "the connection is still sound";
}

TEST_F(WinHttpTransfer, RequestHeadersAreSentAsGiven) {
    TExchange X = At("/echo");
    X.Headers = u"X-One: 1\r\nX-Empty:\nX-Two:  spaced value \r\n\r\n";
    TOutcome O = Exchange(FSession.Get(), X);
    ASSERT_EQ(O.Stage, "");
    EXPECT_NE(O.Body.find("\nX-One: 1\n"), std::string::npos) << O.Body;
    EXPECT_NE(O.Body.find("\nX-Empty: \n"), std::string::npos) << O.Body;
    EXPECT_NE(O.Body.find("\nX-Two: spaced value\n"), std::string::npos) << O.Body;
    EXPECT_NE(O.Body.find("\nUser-Agent: Ostrel Test\n"), std::string::npos) << O.Body;
    EXPECT_EQ(O.Body.find("Accept:"), std::string::npos) << "no Accept unless asked for";
    EXPECT_EQ(O.Body.find("Expect:"), std::string::npos);
}

TEST_F(WinHttpTransfer, CallerHeadersThatNameAPartyStayWithIt) {
    // A proxy credential goes only to a proxy; the caller's Host and credentials only to the
    // origin the request was opened for, never to another one a redirect leads to.
    TTestServer Other;
    const std::string Proxy = "127.0.0.1:" + std::to_string(FServer.Port());
    THandle Proxied(WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NAMED_PROXY, U(Proxy).c_str(),
                                u"127.0.0.1", 0));
    ASSERT_TRUE(Proxied);
    const std::string ToOther = "/redirect?to=" + QueryEscape(Other.Url("/echo"));
    const std::u16string ProxyCredential = u"Proxy-Authorization: Basic cHg6cHc=\r\n";
    const std::u16string Credentials = u"Authorization: Basic dTpw\r\nCookie: a=1\r\n";
    struct {
        const char* Name;
        bool ThroughProxy;  // to origin.invalid through the proxy (the test server)
        std::string Path;
        std::u16string Headers;
        std::vector<std::string> Present, Absent;  // in what the last server received
    } Cases[] = {
        {"proxy credential to the proxy",
         true,
         "/echo",
         ProxyCredential,
         {"\nProxy-Authorization: Basic cHg6cHc=\n"},
         {}},
        {"proxy credential without a proxy",
         false,
         "/echo",
         ProxyCredential,
         {},
         {"Proxy-Authorization"}},
        {"proxy credential on a redirect that bypasses the proxy",
         true,
         ToOther,
         ProxyCredential,
         {"\nHost: 127.0.0.1:" + std::to_string(Other.Port()) + "\n"},
         {"Proxy-Authorization"}},
        {"host of the first origin on another",
         false,
         ToOther,
         u"Host: first.example\r\n",
         {"\nHost: 127.0.0.1:" + std::to_string(Other.Port()) + "\n"},
         {"first.example"}},
        {"host kept on the same origin",
         false,
         "/redirect?to=/echo",
         u"Host: first.example\r\n",
         {"\nHost: first.example\n"},
         {}},
        {"credentials on another origin",
         false,
         ToOther,
         Credentials,
         {},
         {"Authorization", "Cookie"}},
        {"credentials kept on the same origin",
         false,
         "/redirect?to=/echo",
         Credentials,
         {"\nAuthorization: Basic dTpw\n", "\nCookie: a=1\n"},
         {}},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TExchange X = At(C.Path);
        if (C.ThroughProxy) {
            X.Host = "origin.invalid";
            X.Port = 8080;
        }
        X.Headers = C.Headers;
        TOutcome O = Exchange(C.ThroughProxy ? Proxied.Get() : FSession.Get(), X);
        ASSERT_EQ(O.Stage, "") << O.Code;
        EXPECT_NE(O.Body.find("/echo HTTP/1.1\n"), std::string::npos) << O.Body;
        for (const auto& P : C.Present) EXPECT_NE(O.Body.find(P), std::string::npos) << O.Body;
        for (const auto& A : C.Absent) EXPECT_EQ(O.Body.find(A), std::string::npos) << O.Body;
    }
}

TEST_F(WinHttpTransfer, CallerFramingMustAgreeWithTheBody) {
    // A length that is not the body's would have the server read the rest of the body as
    // another request; so would a length beside a chunked coding.
    const std::string Smuggling = "abcGET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n";
    struct {
        const char* Name;
        std::u16string Verb;
        std::u16string Headers;
        std::string Body;
        DWORD Code;           // of WinHttpSendRequest; 0: sent
        std::string Framing;  // as the server saw it
    } Cases[] = {
        {"the body's own length", u"POST", u"Content-Length: 5", "hello", 0, "length=5"},
        {"the length twice", u"POST", u"Content-Length: 5\r\ncontent-length: 5", "hello", 0,
         "length=5"},
        {"no body, length 0", u"GET", u"Content-Length: 0", "", 0, "length=0"},
        {"a shorter length", u"POST", u"Content-Length: 3", Smuggling, 87, ""},
        {"a longer length", u"POST", u"Content-Length: 50", "hello", 87, ""},
        {"two lengths", u"POST", u"Content-Length: 5\r\nContent-Length: 6", "hello", 87, ""},
        {"a length that is not a number", u"POST", u"Content-Length: 5x", "hello", 87, ""},
        {"a negative length", u"POST", u"Content-Length: -5", "hello", 87, ""},
        {"a length without a body", u"GET", u"Content-Length: 10", "", 87, ""},
        {"a length beside chunked", u"POST", u"Content-Length: 5\r\nTransfer-Encoding: chunked",
         "5\r\nhello\r\n0\r\n\r\n", 87, ""},
        {"a coding that does not end in chunked", u"POST", u"Transfer-Encoding: gzip", "hello", 87,
         ""},
    };
    for (const bool Added : {false, true}) {
        for (const auto& C : Cases) {
            SCOPED_TRACE(std::string(C.Name) + (Added ? ", added before" : ", with the send"));
            THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                        static_cast<INTERNET_PORT>(FServer.Port()), 0));
            THandle Req(WinHttpOpenRequest(Conn.Get(), C.Verb.c_str(), u"/faults/upload", nullptr,
                                           nullptr, nullptr, 0));
            if (Added) {
                ASSERT_TRUE(WinHttpAddRequestHeaders(
                    Req.Get(), C.Headers.c_str(), static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD));
            }
            const BOOL Sent = WinHttpSendRequest(
                Req.Get(), Added ? nullptr : C.Headers.c_str(), Added ? 0 : static_cast<DWORD>(-1),
                C.Body.empty() ? nullptr : const_cast<char*>(C.Body.data()),
                static_cast<DWORD>(C.Body.size()), static_cast<DWORD>(C.Body.size()), 0);
            if (C.Code) {
                EXPECT_FALSE(Sent);
                EXPECT_EQ(GetLastError(), C.Code);
                continue;
            }
            ASSERT_TRUE(Sent) << GetLastError();
            ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr)) << GetLastError();
            std::string Body;
            DWORD Err = 0;
            ASSERT_TRUE(ReadAll(Req.Get(), Body, Err)) << Err;
            EXPECT_EQ(Body.substr(0, Body.find(' ')), std::to_string(C.Body.size()));
            EXPECT_EQ(Body.substr(Body.rfind(' ') + 1), C.Framing);
        }
    }
    EXPECT_EQ(Get("/status/200").Status, 200u) << "nothing was left on the connection";
}

TEST_F(WinHttpTransfer, CallerChunkedBodyGoesOutAsWritten) {
    // With its own Transfer-Encoding the caller writes the chunks; they go out as they are,
    // without a length, and the body ends when the caller turns to the response.
    struct {
        const char* Name;
        std::string Optional;
        std::vector<std::string> Writes;
    } Cases[] = {
        {"all written", "", {"5\r\nhello\r\n", "6\r\n world\r\n", "0\r\n\r\n"}},
        {"first chunk with the send", "5\r\nhello\r\n", {"6\r\n world\r\n0\r\n\r\n"}},
        {"all with the send", "b\r\nhello world\r\n0\r\n\r\n", {}},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                    static_cast<INTERNET_PORT>(FServer.Port()), 0));
        THandle Req(
            WinHttpOpenRequest(Conn.Get(), u"POST", u"/echo", nullptr, nullptr, nullptr, 0));
        ASSERT_TRUE(WinHttpSendRequest(
            Req.Get(), u"Transfer-Encoding: chunked\r\n", static_cast<DWORD>(-1),
            C.Optional.empty() ? nullptr : const_cast<char*>(C.Optional.data()),
            static_cast<DWORD>(C.Optional.size()), WINHTTP_IGNORE_REQUEST_TOTAL_LENGTH, 0))
            << GetLastError();
        for (const auto& W : C.Writes) {
            DWORD N = 0;
            ASSERT_TRUE(WinHttpWriteData(Req.Get(), W.data(), static_cast<DWORD>(W.size()), &N))
                << GetLastError();
            EXPECT_EQ(N, W.size());
        }
        ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr)) << GetLastError();
        std::string Body;
        DWORD Err = 0;
        ASSERT_TRUE(ReadAll(Req.Get(), Body, Err)) << Err;
        EXPECT_NE(Body.find("\nTransfer-Encoding: chunked\n"), std::string::npos) << Body;
        EXPECT_EQ(Body.find("Content-Length"), std::string::npos) << Body;
        EXPECT_EQ(Body.substr(Body.find("\n\n") + 2), "hello world")
            << "chunked once, by the caller";
    }
    EXPECT_EQ(Get("/status/200").Status, 200u) << "the connection is still sound";
}

TEST_F(WinHttpTransfer, SendRequestHeadersOfLengthZeroAreMeasured) {
    THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                static_cast<INTERNET_PORT>(FServer.Port()), 0));
    THandle Req(WinHttpOpenRequest(Conn.Get(), u"GET", u"/echo", nullptr, nullptr, nullptr, 0));
    ASSERT_TRUE(WinHttpSendRequest(Req.Get(), u"X-One: 1\r\nX-Two: 2\r\n", 0, nullptr, 0, 0, 0));
    ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr)) << GetLastError();
    std::string Body;
    DWORD Err = 0;
    ASSERT_TRUE(ReadAll(Req.Get(), Body, Err)) << Err;
    EXPECT_NE(Body.find("\nX-One: 1\nX-Two: 2\n"), std::string::npos) << Body;
}

TEST_F(WinHttpTransfer, CallerConnectionCloseEndsTheConnection) {
    struct {
        const char* Name;
        std::u16string Headers;
        std::string Connections;  // accepted by a fresh server after two exchanges
    } Cases[] = {
        {"kept alive", u"", "1"},
        {"Connection: close", u"Connection: close\r\n", "2"},
        {"close among other tokens", u"Connection: X-Hop, Close\r\n", "2"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TTestServer Server;
        TExchange X;
        X.Port = Server.Port();
        X.Path = "/status/200";
        X.Headers = C.Headers;
        ASSERT_EQ(Exchange(FSession.Get(), X).Status, 200u);
        EXPECT_EQ(Connections(FSession.Get(), Server.Port()), C.Connections);
    }
}

TEST_F(WinHttpTransfer, SessionReusesOneConnection) {
    for (int I = 0; I < 10; ++I) {
        SCOPED_TRACE(I);
        TOutcome O = Get(I % 2 ? "/bytes/100000" : "/status/200");
        ASSERT_EQ(O.Stage, "");
        ASSERT_EQ(O.Status, 200u);
    }
    EXPECT_EQ(Get("/faults/connections").Body, "1");

    // A body left unread must not leave its bytes on a connection used again.
    THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                static_cast<INTERNET_PORT>(FServer.Port()), 0));
    THandle Req(
        WinHttpOpenRequest(Conn.Get(), u"GET", u"/bytes/5000000", nullptr, nullptr, nullptr, 0));
    ASSERT_TRUE(WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, 0, 0));
    ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr));
    char B[10];
    DWORD N = 0;
    ASSERT_TRUE(WinHttpReadData(Req.Get(), B, sizeof B, &N));
    Req.Reset();
    TOutcome O = Get("/bytes/300");
    EXPECT_EQ(O.Stage, "");
    EXPECT_EQ(O.Body, PatternBytes(300));
}

// A caller that trusts Content-Length reads that many bytes and closes the request without
// asking for more: the connection is still good for the next request, whether the body came
// with the head or after it, and whatever the reads it was taken in.
TEST_F(WinHttpTransfer, ABodyReadToItsStatedLengthKeepsItsConnection) {
    struct {
        const char* Name;
        const char* Path;
        std::vector<DWORD> Reads;  // the sizes asked for in turn, the last one again after
        std::string Body;
    } const Cases[] = {
        {"with the head, in one read", "/bytes/10", {10}, PatternBytes(10)},
        {"after the head, in one read", "/faults/stall-body?ms=50", {10}, "0123456789"},
        {"after the head, in two reads", "/faults/stall-body?ms=50", {4, 6}, "0123456789"},
        {"after the head, the last read larger than what is left",
         "/faults/stall-body?ms=50",
         {7, 7},
         "0123456789"},
    };
    THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                static_cast<INTERNET_PORT>(FServer.Port()), 0));
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        const std::string Before = Connections(FSession.Get(), FServer.Port());
        THandle Req(WinHttpOpenRequest(Conn.Get(), u"GET", U(C.Path).c_str(), nullptr, nullptr,
                                       nullptr, 0));
        ASSERT_TRUE(WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, 0, 0));
        ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr));
        std::string Body;
        for (std::size_t I = 0; Body.size() < C.Body.size() && I < 20; ++I) {
            const DWORD Size = C.Reads[std::min(I, C.Reads.size() - 1)];
            std::string Piece(Size, '\0');
            DWORD N = 0;
            ASSERT_TRUE(WinHttpReadData(Req.Get(), Piece.data(), Size, &N));
            ASSERT_GT(N, 0u);
            Body += Piece.substr(0, N);
        }
        EXPECT_EQ(Body, C.Body);
        Req.Reset();  // no read that finds the end
        EXPECT_EQ(Connections(FSession.Get(), FServer.Port()), Before);
    }
}

TEST_F(WinHttpTransfer, ClosingTheRequestEndsACallBlockedOnIt) {
    for (const char* Path : {"/faults/stall-head?ms=20000", "/faults/stall-body?ms=20000"}) {
        SCOPED_TRACE(Path);
        THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                    static_cast<INTERNET_PORT>(FServer.Port()), 0));
        HINTERNET Req =
            WinHttpOpenRequest(Conn.Get(), u"GET", U(Path).c_str(), nullptr, nullptr, nullptr, 0);
        ASSERT_TRUE(Req);
        ASSERT_TRUE(WinHttpSendRequest(Req, nullptr, 0, nullptr, 0, 0, 0));
        const bool InBody = std::string(Path).find("body") != std::string::npos;
        char B[64];
        DWORD N = 0;
        if (InBody) {
            ASSERT_TRUE(WinHttpReceiveResponse(Req, nullptr));
            ASSERT_TRUE(WinHttpReadData(Req, B, sizeof B, &N));
            ASSERT_EQ(N, 5u);
        }
        std::atomic<bool> Started{false};
        std::thread Closer([&] {
            while (!Started) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_TRUE(WinHttpCloseHandle(Req));
        });
        Started = true;
        BOOL Ok =
            InBody ? WinHttpReadData(Req, B, sizeof B, &N) : WinHttpReceiveResponse(Req, nullptr);
        DWORD Err = GetLastError();
        Closer.join();
        EXPECT_FALSE(Ok);
        EXPECT_EQ(Err, 12017u);
        EXPECT_FALSE(WinHttpReadData(Req, B, sizeof B, &N));
        EXPECT_EQ(GetLastError(), 6u) << "the handle is gone";
    }
}

TEST_F(WinHttpTransfer, FailuresCarryWinHttpCodes) {
    const TestSupport::TRefusingPort Refusing;
    struct {
        const char* Name;
        TExchange X;
        std::string Stage;
        DWORD Code;
    } Cases[] = {
        {"stalled head: time-out at receive", At("/faults/stall-head?ms=5000").Within(300),
         "receive", 12002},
        {"stalled body: time-out at read", At("/faults/stall-body?ms=5000").Within(300), "read",
         12002},
        {"closed mid-body", At("/faults/close-mid-body"), "read", 12030},
        {"closed without an answer", At("/faults/close-no-answer"), "receive", 12030},
        {"garbage instead of HTTP", At("/faults/raw?text=garbage\\r\\n\\r\\n"), "receive", 12152},
        {"broken status line", At("/faults/raw?text=HTTP/1.1 abc\\r\\n\\r\\n"), "receive", 12152},
        {"nothing listening", At("/").OnPort(Refusing.Port()), "send", 12029},
        {"name not resolved", At("/").OnHost("no-such-host.invalid"), "send", 12007},
        // The literal needs brackets in the URL; without them the request would be a bad URL.
        {"IPv6 literal, nothing listening", At("/").OnHost("::1").OnPort(Refusing.Port()), "send",
         12029},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TOutcome O = Exchange(FSession.Get(), C.X);
        EXPECT_EQ(O.Stage, C.Stage);
        EXPECT_EQ(O.Code, C.Code);
    }
    // The session stays usable after every failure.
    EXPECT_EQ(Get("/status/200").Status, 200u);
}

TEST_F(WinHttpTransfer, MalformedResponsesAreNotDroppedConnections) {
    const std::string Chunked =
        "/faults/raw?text=HTTP/1.1 200 OK\\r\\nTransfer-Encoding: chunked\\r\\n\\r\\n";
    struct {
        const char* Name;
        std::string Path;
        std::string Stage;
        DWORD Code;
    } Cases[] = {
        {"one header line of 1 MB", "/hostile/long-header?n=1048576", "receive", 12182},
        {"a megabyte of short header lines", "/hostile/many-headers?count=10000", "receive", 12182},
        {"interim answers without end", "/hostile/endless-interim", "receive", 12182},
        // curl gives a failed receive and chunked framing it cannot parse one code. A reset
        // comes first here, so that the framing faults below follow a receive failure on the
        // same pooled handle.
        {"reset inside a chunked body", "/faults/reset-mid-chunks", "read", 12030},
        {"chunk size not hexadecimal", Chunked + "zz\\r\\nabc\\r\\n0\\r\\n\\r\\n", "read", 12152},
        {"chunk size too long", Chunked + "00000000000000000001\\r\\na\\r\\n0\\r\\n\\r\\n", "read",
         12152},
        {"two different lengths",
         "/faults/raw?text=HTTP/1.1 200 OK\\r\\nContent-Length: 10\\r\\n"
         "Content-Length: 12\\r\\n\\r\\n0123456789AB",
         "receive", 12152},
        {"two different lengths in one line",
         "/faults/raw?text=HTTP/1.1 200 OK\\r\\nContent-Length: 10, 12\\r\\n\\r\\n0123456789AB",
         "receive", 12152},
        // A connection that really ends keeps its own code.

        {"closed mid-body", "/faults/close-mid-body", "read", 12030},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TOutcome O = Get(C.Path);
        EXPECT_EQ(O.Stage, C.Stage);
        EXPECT_EQ(O.Code, C.Code);
    }
    EXPECT_EQ(Get("/status/200").Status, 200u) << "the session stays usable";
}

TEST_F(WinHttpTransfer, RefusedCallsChangeNothingOnTheWire) {
    // A user agent with a line break is refused; the one set before stays.
    std::u16string Agent = u"Kept Agent";
    ASSERT_TRUE(WinHttpSetOption(FSession.Get(), WINHTTP_OPTION_USER_AGENT, Agent.data(),
                                 static_cast<DWORD>(Agent.size())));
    std::u16string Bad = u"Bad\r\nX-Injected: 1";
    EXPECT_FALSE(WinHttpSetOption(FSession.Get(), WINHTTP_OPTION_USER_AGENT, Bad.data(),
                                  static_cast<DWORD>(Bad.size())));
    EXPECT_EQ(GetLastError(), 87u);

    // Headers added as a block where one is refused: none of the block is added.
    THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                static_cast<INTERNET_PORT>(FServer.Port()), 0));
    THandle Req(WinHttpOpenRequest(Conn.Get(), u"GET", u"/echo", nullptr, nullptr, nullptr, 0));
    ASSERT_TRUE(WinHttpAddRequestHeaders(Req.Get(), u"X-Old: 1", static_cast<DWORD>(-1),
                                         WINHTTP_ADDREQ_FLAG_ADD));
    EXPECT_FALSE(WinHttpAddRequestHeaders(Req.Get(), u"X-New: 2\r\nX-Old: 3",
                                          static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD_IF_NEW));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_HEADER_ALREADY_EXISTS));
    ASSERT_TRUE(WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, 0, 0));
    ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr));
    std::string Body;
    DWORD Err = 0;
    ASSERT_TRUE(ReadAll(Req.Get(), Body, Err));
    EXPECT_NE(Body.find("\nUser-Agent: Kept Agent\n"), std::string::npos) << Body;
    EXPECT_NE(Body.find("\nX-Old: 1\n"), std::string::npos) << Body;
    EXPECT_EQ(Body.find("X-New"), std::string::npos) << Body;
    EXPECT_EQ(Body.find("X-Injected"), std::string::npos) << Body;
}

TEST_F(WinHttpTransfer, ThreadsShareOneSessionAndConnectHandle) {
    // Keep-alive GETs from several threads at once through one session and one connect
    // handle: every body arrives whole, and each thread's connection is reused rather than
    // pushed out by the others'.
    constexpr int Threads = 8;
    constexpr int Requests = 150;
    THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                static_cast<INTERNET_PORT>(FServer.Port()), 0));
    ASSERT_TRUE(Conn);
    std::atomic<int> Failures{0};
    std::vector<std::thread> Pool;
    for (int T = 0; T < Threads; ++T) {
        Pool.emplace_back([&, T] {
            for (int I = 0; I < Requests; ++I) {
                const std::size_t Size = 1000 + static_cast<std::size_t>(T * 100 + I % 7);
                const std::string Path = "/bytes/" + std::to_string(Size);
                HINTERNET Req = WinHttpOpenRequest(Conn.Get(), u"GET", U(Path).c_str(), nullptr,
                                                   nullptr, nullptr, 0);
                std::string Body;
                DWORD Err = 0;
                const bool Ok = Req && WinHttpSendRequest(Req, nullptr, 0, nullptr, 0, 0, 0) &&
                                WinHttpReceiveResponse(Req, nullptr) && QueryStatus(Req) == 200 &&
                                ReadAll(Req, Body, Err) && Body == PatternBytes(Size);
                if (Req) WinHttpCloseHandle(Req);
                if (!Ok) ++Failures;
            }
        });
    }
    for (auto& T : Pool) T.join();
    EXPECT_EQ(Failures, 0);
    // At most one connection per thread, and one more for asking.
    EXPECT_LE(std::stoi(Connections(FSession.Get(), FServer.Port())), Threads + 1);
}

TEST_F(WinHttpTransfer, RequestTimesFollowEachPhase) {
    const TestSupport::TRefusingPort Refusing;
    struct {
        const char* Name;
        TExchange X;
        bool NewSession;  // a fresh session, so the request needs a new connection
        std::string Phases;
        bool Decoded;
    } Cases[] = {
        {"new connection", At("/status/200"), false, "resolve connect send receive", false},
        {"reused connection", At("/status/200"), false, "send receive", false},
        // curl adds the hops' phases up: the times are those of the last hop, which reused
        // the first hop's connection.
        {"after two redirects", At("/faults/chain/2"), true, "send receive", false},
        {"gzip body decoded",
         At("/faults/compressed/gzip?n=50000").Decoding(WINHTTP_DECOMPRESSION_FLAG_ALL), false,
         "send receive", true},
        {"gzip body as sent", At("/faults/compressed/gzip?n=50000"), false, "send receive", false},
        {"nothing listening", At("/").OnPort(Refusing.Port()), true, "resolve connect...", false},
        {"stalled head: time-out", At("/faults/stall-head?ms=3000").Within(300), false,
         "send receive...", false},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        THandle Own;
        if (C.NewSession)
            Own = THandle(
                WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
        TOutcome O = Exchange(C.NewSession ? Own.Get() : FSession.Get(), C.X);
        EXPECT_EQ(PhasesOf(O), C.Phases);
        const auto& T = O.Times.rgullTimes;
        EXPECT_EQ(T[WinHttpReceiveResponseBodyDecompressionDelta] > 0, C.Decoded);
        // An answer has its head; a failure has no end.
        EXPECT_EQ(T[WinHttpReceiveResponseHeadersEnd] != 0, O.Stage.empty()) << O.Stage;
        EXPECT_EQ(T[WinHttpReceiveResponseEnd] != 0, O.Stage.empty()) << O.Stage;
        EXPECT_EQ(T[WinHttpProxyDetectionStart], 0u);
    }
}

TEST_F(WinHttpTransfer, RequestTimesQueryRules) {
    THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                static_cast<INTERNET_PORT>(FServer.Port()), 0));
    THandle Req(
        WinHttpOpenRequest(Conn.Get(), u"GET", u"/status/200", nullptr, nullptr, nullptr, 0));
    ASSERT_TRUE(Req);
    WINHTTP_REQUEST_TIMES Times;
    std::memset(&Times, 0xAB, sizeof Times);
    DWORD Len = sizeof Times;
    // Before anything was sent every moment reads 0.
    ASSERT_TRUE(WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_REQUEST_TIMES, &Times, &Len));
    EXPECT_EQ(Len, sizeof Times);
    EXPECT_EQ(Times.cTimes, static_cast<ULONG>(WinHttpRequestTimeLast));
    for (ULONG I = 0; I < Times.cTimes; ++I) EXPECT_EQ(Times.rgullTimes[I], 0u) << "entry " << I;

    struct {
        const char* Name;
        HINTERNET Handle;
        LPVOID Buffer;
        DWORD Length;
        DWORD Error;
        DWORD LengthAfter;
    } Cases[] = {
        {"size probe", Req.Get(), nullptr, 0, ERROR_INSUFFICIENT_BUFFER, sizeof Times},
        {"short buffer", Req.Get(), &Times, sizeof Times - 1, ERROR_INSUFFICIENT_BUFFER,
         sizeof Times},
        {"session handle", FSession.Get(), &Times, sizeof Times,
         ERROR_WINHTTP_INCORRECT_HANDLE_TYPE, sizeof Times},
        {"connection handle", Conn.Get(), &Times, sizeof Times, ERROR_WINHTTP_INCORRECT_HANDLE_TYPE,
         sizeof Times},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        DWORD L = C.Length;
        EXPECT_FALSE(WinHttpQueryOption(C.Handle, WINHTTP_OPTION_REQUEST_TIMES, C.Buffer, &L));
        EXPECT_EQ(GetLastError(), C.Error);
        EXPECT_EQ(L, C.LengthAfter);
    }
    // Read-only, as on Windows.
    EXPECT_FALSE(WinHttpSetOption(Req.Get(), WINHTTP_OPTION_REQUEST_TIMES, &Times, sizeof Times));
}

TEST_F(WinHttpTransfer, UploadToAPeerThatStopsReadingTimesOutAtWrite) {
    // A listener that never accepts: the kernel takes the connection and buffers a little.
    int L = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(L, reinterpret_cast<sockaddr*>(&A), sizeof A), 0);
    ASSERT_EQ(listen(L, 1), 0);
    socklen_t Len = sizeof A;
    getsockname(L, reinterpret_cast<sockaddr*>(&A), &Len);
    THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1", ntohs(A.sin_port), 0));
    THandle Req(WinHttpOpenRequest(Conn.Get(), u"PUT", u"/sink", nullptr, nullptr, nullptr, 0));
    ASSERT_TRUE(WinHttpSetTimeouts(Req.Get(), 2000, 2000, 300, 300));
    const std::string Piece(1 << 20, 'x');
    const DWORD Total = 64u << 20;
    ASSERT_TRUE(WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, Total, 0));
    DWORD Err = 0;
    for (DWORD Sent = 0; Sent < Total && !Err; Sent += static_cast<DWORD>(Piece.size())) {
        DWORD N = 0;
        if (!WinHttpWriteData(Req.Get(), Piece.data(), static_cast<DWORD>(Piece.size()), &N))
            Err = GetLastError();
    }
    EXPECT_EQ(Err, 12002u);
    close(L);
}

TEST_F(WinHttpTransfer, NamedProxyAndBypassList) {
    const std::string Proxy = "127.0.0.1:" + std::to_string(FServer.Port());
    THandle Session(WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NAMED_PROXY, U(Proxy).c_str(),
                                u"<local>;*.bypassed.invalid", 0));
    ASSERT_TRUE(Session);
    // Through the proxy (the test server), which sees the absolute target.
    TExchange X;
    X.Host = "origin.invalid";
    X.Port = 8080;
    X.Path = "/faults/target";
    TOutcome O = Exchange(Session.Get(), X);
    EXPECT_EQ(O.Stage, "");
    EXPECT_EQ(O.Body, "http://origin.invalid:8080/faults/target");
    // Bypassed names go direct, and these do not resolve.
    for (const char* Host : {"nodots", "www.bypassed.invalid"}) {
        SCOPED_TRACE(Host);
        X.Host = Host;
        O = Exchange(Session.Get(), X);
        EXPECT_EQ(O.Stage, "send");
        EXPECT_EQ(O.Code, 12007u);
    }
}

// ---------------------------------------------------------------------------------------
// TLS

namespace {

/// Certificates made once per test program in a temporary folder.
const std::string& CertDir() {
    static const std::string Dir = [] {
        std::string D =
            (std::filesystem::temp_directory_path() / ("ostrel-certs-" + std::to_string(getpid())))
                .string();
        std::string Cmd =
            TTestServer::SupportDir() + "/make-test-certs '" + D + "' >/dev/null 2>&1";
        if (std::system(Cmd.c_str()) != 0)
            ADD_FAILURE() << "certificate generation failed: " << Cmd;
        return D;
    }();
    return Dir;
}

struct TSecureSeen {
    int Calls = 0;
    DWORD Flags = 0;
    DWORD Status = 0;
    DWORD Length = 0;
};

void WINAPI OnStatus(HINTERNET, DWORD_PTR Context, DWORD Status, LPVOID Info, DWORD Length) {
    auto* Seen = reinterpret_cast<TSecureSeen*>(Context);
    if (!Seen) return;
    ++Seen->Calls;
    Seen->Status = Status;
    Seen->Length = Length;
    if (Info && Length == sizeof(DWORD)) std::memcpy(&Seen->Flags, Info, sizeof(DWORD));
}

class WinHttpTls : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // The test CA is trusted the way curl's tool takes a trust store from the environment.
        setenv("CURL_CA_BUNDLE", (CertDir() + "/ca.pem").c_str(), 1);
    }
    void SetUp() override {
        ASSERT_TRUE(LoadWinHttp());
        FSession =
            THandle(WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
        ASSERT_TRUE(FSession);
        ASSERT_NE(WinHttpSetStatusCallback(FSession.Get(), OnStatus,
                                           WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0),
                  WINHTTP_INVALID_STATUS_CALLBACK);
    }
    static std::vector<std::string> TlsArgs(const std::string& Name) {
        return {"--tls", CertDir() + "/" + Name + ".pem", CertDir() + "/" + Name + ".key"};
    }
    THandle FSession;
};

}  // namespace

TEST_F(WinHttpTls, CertificateProblemsReportTheirFlags) {
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
        TTestServer Server(TlsArgs(C.Cert));
        TSecureSeen Seen;
        TExchange X;
        X.Port = Server.Port();
        X.Path = "/status/200";
        X.Flags = WINHTTP_FLAG_SECURE;
        X.Context = reinterpret_cast<DWORD_PTR>(&Seen);
        TOutcome O = Exchange(FSession.Get(), X);
        EXPECT_EQ(O.Stage, "send");
        EXPECT_EQ(O.Code, 12175u);
        EXPECT_EQ(Seen.Calls, 1);
        EXPECT_EQ(Seen.Status, static_cast<DWORD>(WINHTTP_CALLBACK_STATUS_SECURE_FAILURE));
        EXPECT_EQ(Seen.Length, 4u);
        EXPECT_EQ(Seen.Flags, C.Flags);
    }
}

TEST_F(WinHttpTls, GoodCertificateAndRedirectPolicy) {
    TTestServer Plain;
    TTestServer Server(TlsArgs("good"));
    TSecureSeen Seen;
    TExchange X;
    X.Port = Server.Port();
    X.Path = "/faults/chain/2";
    X.Flags = WINHTTP_FLAG_SECURE;
    X.Context = reinterpret_cast<DWORD_PTR>(&Seen);
    TOutcome O = Exchange(FSession.Get(), X);
    EXPECT_EQ(O.Stage, "");
    EXPECT_EQ(O.Status, 200u);
    EXPECT_EQ(O.Body, "chain end GET 0\n");
    EXPECT_EQ(Seen.Calls, 0);

    // Never from https to http.
    X.Path = "/redirect?to=" + Plain.Url("/status/200");
    O = Exchange(FSession.Get(), X);
    EXPECT_EQ(O.Stage, "receive");
    EXPECT_EQ(O.Code, 12156u);

    // TLS to a server that does not speak it.
    X.Port = Plain.Port();
    X.Path = "/status/200";
    O = Exchange(FSession.Get(), X);
    EXPECT_EQ(O.Stage, "send");
    EXPECT_EQ(O.Code, 12175u);
    EXPECT_EQ(Seen.Flags, static_cast<DWORD>(WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR));
}

TEST_F(WinHttpTls, ProxyCredentialGoesOnlyToTheProxyOfATunnel) {
    // https through a proxy: the credential is for the proxy's CONNECT, never for the server
    // at the other end of the tunnel.
    TTestServer Proxy;
    TTestServer Server(TlsArgs("good"));
    const std::string ProxyName = "127.0.0.1:" + std::to_string(Proxy.Port());
    THandle Proxied(WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NAMED_PROXY,
                                U(ProxyName).c_str(), nullptr, 0));
    ASSERT_TRUE(Proxied);
    TExchange X;
    X.Port = Server.Port();
    X.Path = "/echo";
    X.Flags = WINHTTP_FLAG_SECURE;
    X.Headers = u"Proxy-Authorization: Basic cHg6cHc=\r\nX-Through: tunnel\r\n";
    TOutcome O = Exchange(Proxied.Get(), X);
    ASSERT_EQ(O.Stage, "") << O.Code;
    EXPECT_NE(O.Body.find("\nX-Through: tunnel\n"), std::string::npos) << O.Body;
    EXPECT_EQ(O.Body.find("Proxy-Authorization"), std::string::npos) << O.Body;
    TExchange Seen;
    Seen.Port = Proxy.Port();
    Seen.Path = "/tunnel/seen";
    EXPECT_EQ(Exchange(FSession.Get(), Seen).Body, "Basic cHg6cHc=");
}

TEST_F(WinHttpTls, DowngradeIsRefusedAtEveryHop) {
    // http -> https -> http: the second hop leaves TLS, whatever the first URL was.
    TTestServer Start;
    TTestServer Secure(TlsArgs("good"));
    TTestServer Last;
    const std::string SecureHop = Secure.Url("/redirect?to=" + QueryEscape(Last.Url("/echo")));
    TExchange X;
    X.Port = Start.Port();
    X.Path = "/redirect?to=" + QueryEscape(SecureHop);
    X.Headers = u"X-Secret: s3cret\r\n";
    TOutcome O = Exchange(FSession.Get(), X);
    EXPECT_EQ(O.Stage, "receive");
    EXPECT_EQ(O.Code, 12156u);
    EXPECT_EQ(Connections(FSession.Get(), Last.Port()), "1") << "nothing went out in clear text";

    // Allowed when the caller says so.
    X.RedirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_ALWAYS;
    O = Exchange(FSession.Get(), X);
    EXPECT_EQ(O.Stage, "");
    EXPECT_EQ(O.Body.rfind("GET /echo HTTP/1.1\n", 0), 0u) << O.Body;
    EXPECT_NE(O.Body.find("\nX-Secret: s3cret\n"), std::string::npos) << O.Body;
}

TEST_F(WinHttpTls, RequestTimesShowTheHandshakeOnlyForHttps) {
    TTestServer Plain;
    TTestServer Secure(TlsArgs("good"));
    TTestServer Refused(TlsArgs("self"));
    struct {
        const char* Name;
        int Port;
        DWORD Flags;
        std::string Phases;
    } Cases[] = {
        {"https", Secure.Port(), WINHTTP_FLAG_SECURE, "resolve connect tls send receive"},
        {"http", Plain.Port(), 0, "resolve connect send receive"},
        {"https, certificate refused", Refused.Port(), WINHTTP_FLAG_SECURE,
         "resolve connect tls..."},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        THandle Session(
            WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
        TExchange X;
        X.Port = C.Port;
        X.Path = "/status/200";
        X.Flags = C.Flags;
        TOutcome O = Exchange(Session.Get(), X);
        EXPECT_EQ(PhasesOf(O), C.Phases);
    }
}

}  // namespace Nimbra
