// The asynchronous mode of WinHTTP against servers on 127.0.0.1: operations that return at once
// and complete through the status callback, in Windows' order; failures as REQUEST_ERROR;
// calls out of turn; closing a request under a pending operation; chains of calls made from
// callbacks; and a thousand requests in flight on one session held by a few threads.
// Driven through the run-time binding, so that it also runs against Windows' own library.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#endif

#include "Nimbra.WinHttp.Api.h"
#include "PlatformTable.h"
#ifndef _WIN32
#include "Http2Server.h"
#endif
#include "TestServer.h"
#include "WinHttpTestUtil.h"

namespace Nimbra {

using TestSupport::A;
using TestSupport::PatternBytes;
using TestSupport::QueryStatus;
using TestSupport::StatusName;
using TestSupport::THandle;
using TestSupport::TSilentPeer;
using TestSupport::TTestServer;
using TestSupport::U;

namespace {

using namespace std::chrono_literals;

// Callbacks of this thread running, nested in each other.
thread_local int GDepth = 0;

/// Wine's winhttp.dll, where its asynchronous mode departs from Windows' (rows say how).
bool OnWine() {
    return TestSupport::CurrentPlatform().Platform == TestSupport::TPlatform::Wine;
}

/// One asynchronous exchange driven from its callbacks the way callers of the mode write it:
/// each completion begins the next step. Everything delivered is recorded.
struct TAsyncExchange {
    // What to do.
    std::string Path = "/";
    std::u16string Verb = u"GET";
    DWORD Flags = 0;
    std::string Written;     // the body, announced and written in two pieces
    DWORD Piece = 8192;      // bytes asked for per read
    bool QueryFirst = true;  // QueryDataAvailable before each read, or read straight away
    int ReceiveTimeoutMs = 10000;
    // Where the exchange stops by itself and waits for the test (0: it runs to its end).
    DWORD StopAfter = 0;
    // A notification from which the exchange also calls WinHttpReceiveResponse out of turn
    // (0: none), and the last error of that call (0: it succeeded).
    DWORD ProbeAt = 0;
    DWORD ProbeError = 0;

    // What happened, under Lock.
    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<DWORD> Statuses;
    std::string RedirectUrl;
    std::vector<DWORD> WriteCounts;  // counts from WRITE_COMPLETE
    std::string Body;
    DWORD StatusCode = 0;
    DWORD FailedApi = 0, Error = 0;  // from REQUEST_ERROR
    DWORD CallError = 0;             // a call made from a callback that failed at once
    DWORD SecureFlags = 0;
    bool Finished = false, Closed = false;
    int AfterClosing = 0;  // callbacks after HANDLE_CLOSING
    // Callbacks that began while one of this request ran on another thread (one nested in a
    // callback of the same thread is a call made from it that completed at once).
    int Overlapping = 0;
    int MaxDepth = 0;
    int Running = 0;  // callbacks of this request running, on RunningOn
    std::thread::id RunningOn;

    HINTERNET Request = nullptr;
    std::vector<char> Buffer;
    std::size_t WrittenSoFar = 0;

    TAsyncExchange() = default;
    TAsyncExchange(const TAsyncExchange&) = delete;
    TAsyncExchange& operator=(const TAsyncExchange&) = delete;
    /// A test that stopped half way still closes the request, so no callback outlives this.
    ~TAsyncExchange() {
        if (!Request) return;
        {
            std::lock_guard<std::mutex> G(Lock);
            if (Closed) return;
        }
        WinHttpCloseHandle(Request);
        WaitFor(&TAsyncExchange::Closed, 5s);
    }

    // The test waits for these; it is woken when the callback that set them returns, so that
    // the exchange may go as soon as it wakes.
    void Finish() { Finished = true; }
    /// A call from a callback; its immediate failure ends the exchange.
    void Check(BOOL Ok) {
        if (Ok) return;
        std::lock_guard<std::mutex> G(Lock);
        CallError = GetLastError();
        Finish();
    }
    void ReadNext(HINTERNET H) {
        if (QueryFirst)
            Check(WinHttpQueryDataAvailable(H, nullptr));
        else
            Check(WinHttpReadData(H, Buffer.data(), Piece, nullptr));
    }
    void WriteNext(HINTERNET H) {
        const std::size_t N =
            WrittenSoFar == 0 ? Written.size() / 2 : Written.size() - WrittenSoFar;
        const char* From = Written.data() + WrittenSoFar;
        WrittenSoFar += N;
        Check(WinHttpWriteData(H, From, static_cast<DWORD>(N), nullptr));
    }

    void OnStatus(HINTERNET H, DWORD Status, LPVOID Info, DWORD Length) {
        ++GDepth;
        {
            std::lock_guard<std::mutex> G(Lock);
            if (Running++ > 0 && RunningOn != std::this_thread::get_id()) ++Overlapping;
            RunningOn = std::this_thread::get_id();
            MaxDepth = std::max(MaxDepth, GDepth);
            if (Closed) ++AfterClosing;
            Statuses.push_back(Status);
            if (Status == WINHTTP_CALLBACK_STATUS_REDIRECT && Info && Length)
                RedirectUrl =
                    A(std::u16string_view(static_cast<const char16_t*>(Info), Length - 1));
            if (Status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && Info)
                std::memcpy(&SecureFlags, Info, sizeof SecureFlags);
        }
        if (Status == ProbeAt) {
            const DWORD Err = WinHttpReceiveResponse(H, nullptr) ? 0 : GetLastError();
            std::lock_guard<std::mutex> G(Lock);
            ProbeError = Err;
        }
        Next(H, Status, Info, Length);
        --GDepth;
        std::lock_guard<std::mutex> G(Lock);
        --Running;
        Changed.notify_all();  // nothing of this exchange is touched after the lock goes
    }

    void Next(HINTERNET H, DWORD Status, LPVOID Info, DWORD Length) {
        auto Stop = [&] {
            if (StopAfter != Status) return false;
            std::lock_guard<std::mutex> G(Lock);
            Finish();
            return true;
        };
        switch (Status) {
            case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
                if (Stop()) return;
                if (!Written.empty())
                    WriteNext(H);
                else
                    Check(WinHttpReceiveResponse(H, nullptr));
                return;
            case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE: {
                DWORD N = 0;
                std::memcpy(&N, Info, sizeof N);
                {
                    std::lock_guard<std::mutex> G(Lock);
                    WriteCounts.push_back(N);
                }
                if (WrittenSoFar < Written.size())
                    WriteNext(H);
                else
                    Check(WinHttpReceiveResponse(H, nullptr));
                return;
            }
            case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: {
                const DWORD Code = QueryStatus(H);
                {
                    std::lock_guard<std::mutex> G(Lock);
                    StatusCode = Code;
                }
                if (Stop()) return;
                ReadNext(H);
                return;
            }
            case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE: {
                DWORD N = 0;
                std::memcpy(&N, Info, sizeof N);
                if (N == 0) {
                    std::lock_guard<std::mutex> G(Lock);
                    Finish();
                    return;
                }
                Check(WinHttpReadData(H, Buffer.data(), std::min(N, Piece), nullptr));
                return;
            }
            case WINHTTP_CALLBACK_STATUS_READ_COMPLETE: {
                {
                    std::lock_guard<std::mutex> G(Lock);
                    if (Length == 0) {
                        Finish();
                        return;
                    }
                    Body.append(static_cast<const char*>(Info), Length);
                }
                if (Stop()) return;
                ReadNext(H);
                return;
            }
            case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
                const auto* R = static_cast<const WINHTTP_ASYNC_RESULT*>(Info);
                std::lock_guard<std::mutex> G(Lock);
                FailedApi = static_cast<DWORD>(R->dwResult);
                Error = R->dwError;
                Finish();
                return;
            }
            case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING: {
                std::lock_guard<std::mutex> G(Lock);
                Closed = true;
                return;
            }
            default:
                return;
        }
    }

    bool WaitFor(bool TAsyncExchange::*Flag, std::chrono::milliseconds Within = 20s) {
        std::unique_lock<std::mutex> L(Lock);
        return Changed.wait_for(L, Within, [&] { return this->*Flag; });
    }
    /// The completions and progress delivered, by name, leaving out those in Skip.
    std::vector<std::string> Names(std::vector<DWORD> Skip = {}) {
        std::lock_guard<std::mutex> G(Lock);
        std::vector<std::string> Out;
        for (DWORD S : Statuses)
            if (std::find(Skip.begin(), Skip.end(), S) == Skip.end()) Out.push_back(StatusName(S));
        return Out;
    }
};

void WINAPI OnAsync(HINTERNET H, DWORD_PTR Context, DWORD Status, LPVOID Info, DWORD Length) {
    if (auto* X = reinterpret_cast<TAsyncExchange*>(Context)) X->OnStatus(H, Status, Info, Length);
}

const std::vector<DWORD> Progress = {
    WINHTTP_CALLBACK_STATUS_RESOLVING_NAME,       WINHTTP_CALLBACK_STATUS_NAME_RESOLVED,
    WINHTTP_CALLBACK_STATUS_CONNECTING_TO_SERVER, WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER,
    WINHTTP_CALLBACK_STATUS_SENDING_REQUEST,      WINHTTP_CALLBACK_STATUS_REQUEST_SENT,
    WINHTTP_CALLBACK_STATUS_RECEIVING_RESPONSE,   WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED,
    WINHTTP_CALLBACK_STATUS_CLOSING_CONNECTION,   WINHTTP_CALLBACK_STATUS_CONNECTION_CLOSED,
    WINHTTP_CALLBACK_STATUS_HANDLE_CREATED,
};

class WinHttpAsyncCore : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(LoadWinHttp());
        FSession = THandle(WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr,
                                       nullptr, WINHTTP_FLAG_ASYNC));
        ASSERT_TRUE(FSession) << GetLastError();
        // Set on the session, the callback is the one of every handle made from it.
        ASSERT_EQ(WinHttpSetStatusCallback(FSession.Get(), OnAsync,
                                           WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0),
                  nullptr);
    }

    /// Opens X's request on Port and sends it; false when a call failed at once.
    bool Start(TAsyncExchange& X, int Port) {
        FConnect = THandle(
            WinHttpConnect(FSession.Get(), u"127.0.0.1", static_cast<INTERNET_PORT>(Port), 0));
        if (!FConnect) return false;
        X.Request = WinHttpOpenRequest(FConnect.Get(), X.Verb.c_str(), U(X.Path).c_str(), nullptr,
                                       WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, X.Flags);
        if (!X.Request) return false;
        X.Buffer.resize(X.Piece);
        WinHttpSetTimeouts(X.Request, 0, 10000, 10000, X.ReceiveTimeoutMs);
        const DWORD Total = static_cast<DWORD>(X.Written.size());
        return WinHttpSendRequest(X.Request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, nullptr, 0, Total,
                                  reinterpret_cast<DWORD_PTR>(&X)) != FALSE;
    }
    /// Closes X's request and waits for its last callback.
    void CloseAndWait(TAsyncExchange& X) {
        ASSERT_TRUE(WinHttpCloseHandle(X.Request));
        ASSERT_TRUE(X.WaitFor(&TAsyncExchange::Closed)) << "no HANDLE_CLOSING";
        std::this_thread::sleep_for(50ms);  // anything late would come now
        std::lock_guard<std::mutex> G(X.Lock);
        EXPECT_EQ(X.AfterClosing, 0);
        EXPECT_EQ(X.Overlapping, 0);
        ASSERT_FALSE(X.Statuses.empty());
        EXPECT_EQ(StatusName(X.Statuses.back()), "HANDLE_CLOSING");
    }

    THandle FSession;
    THandle FConnect;
};

}  // namespace

TEST_F(WinHttpAsyncCore, GetCompletesThroughTheCallbackInWindowsOrder) {
    TTestServer Server;
    struct {
        const char* Name;
        std::size_t Size;
        DWORD Piece;
        bool QueryFirst;
    } Rows[] = {
        {"query then read", 300000, 65536, true},
        {"read straight away", 300000, 65536, false},
        {"small pieces", 20000, 1000, false},
        {"empty body", 0, 8192, true},
    };
    bool First = true;
    for (const auto& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        TAsyncExchange X;
        X.Path = "/bytes/" + std::to_string(Row.Size);
        X.Piece = Row.Piece;
        X.QueryFirst = Row.QueryFirst;
        ASSERT_TRUE(Start(X, Server.Port())) << GetLastError();
        ASSERT_TRUE(X.WaitFor(&TAsyncExchange::Finished));
        {
            std::lock_guard<std::mutex> G(X.Lock);
            EXPECT_EQ(X.CallError, 0u);
            EXPECT_EQ(X.Error, 0u);
            EXPECT_EQ(X.StatusCode, 200u);
            EXPECT_EQ(X.Body, PatternBytes(Row.Size));
        }
        // The send and the head, each step announced in order before its completion; the
        // first request opens the connection the others reuse.
        auto Names = X.Names();
        std::vector<std::string> Head = {"SENDING_REQUEST",      "REQUEST_SENT",
                                         "SENDREQUEST_COMPLETE", "RECEIVING_RESPONSE",
                                         "RESPONSE_RECEIVED",    "HEADERS_AVAILABLE"};
        if (First)
            Head.insert(Head.begin(), {"RESOLVING_NAME", "NAME_RESOLVED", "CONNECTING_TO_SERVER",
                                       "CONNECTED_TO_SERVER"});
        First = false;
        std::vector<std::string> Seen;
        for (const auto& N : Names) {
            if (N == "HANDLE_CREATED") continue;
            Seen.push_back(N);
            if (N == "HEADERS_AVAILABLE") break;
        }
        EXPECT_EQ(Seen, Head);
        // Then the body: completions only, the last one saying it is over.
        auto Completions = X.Names(Progress);
        ASSERT_GE(Completions.size(), 3u);
        EXPECT_EQ(Completions.back(), Row.QueryFirst ? "DATA_AVAILABLE" : "READ_COMPLETE");
        CloseAndWait(X);
    }
}

TEST_F(WinHttpAsyncCore, StatusCallbackReturnsThePreviousOneAndChildrenInheritIt) {
    // The session's was set in SetUp: setting it again returns it.
    EXPECT_EQ(
        WinHttpSetStatusCallback(FSession.Get(), OnAsync, WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS, 0),
        OnAsync);
    THandle Connect(WinHttpConnect(FSession.Get(), u"127.0.0.1", 80, 0));
    ASSERT_TRUE(Connect);
    EXPECT_EQ(WinHttpSetStatusCallback(Connect.Get(), nullptr, 0, 0), OnAsync);
    EXPECT_EQ(WinHttpSetStatusCallback(Connect.Get(), OnAsync, WINHTTP_CALLBACK_FLAG_HANDLES, 0),
              nullptr);
    EXPECT_EQ(WinHttpSetStatusCallback(nullptr, OnAsync, WINHTTP_CALLBACK_FLAG_HANDLES, 0),
              WINHTTP_INVALID_STATUS_CALLBACK);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(WinHttpAsyncCore, FailuresCompleteAsRequestErrors) {
    TestSupport::TRefusingPort Refusing;
    TTestServer Server;
    struct {
        const char* Name;
        int Port;
        std::string Path;
        int ReceiveTimeoutMs;
        DWORD Api, Error;
        const char* WineDeparts;  // how Wine's library differs (the row does not run there)
    } Rows[] = {
        {"connection refused", Refusing.Port(), "/", 10000, API_SEND_REQUEST, 12029, nullptr},
        {"no answer in time", Server.Port(), "/faults/stall-head?ms=3000", 300,
         API_RECEIVE_RESPONSE, 12002, "it waits for the late answer past the receive time-out"},
        {"body cut short", Server.Port(), "/faults/close-mid-body", 10000, API_READ_DATA, 12030,
         "it ends the body where the connection closed, without an error"},
    };
    std::string Skipped;
    for (const auto& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        if (Row.WineDeparts && OnWine()) {
            Skipped += std::string("\n  ") + Row.Name + ": " + Row.WineDeparts;
            continue;
        }
        TAsyncExchange X;
        X.Path = Row.Path;
        X.QueryFirst = false;
        X.ReceiveTimeoutMs = Row.ReceiveTimeoutMs;
        ASSERT_TRUE(Start(X, Row.Port)) << "fails later, not at once";
        ASSERT_TRUE(X.WaitFor(&TAsyncExchange::Finished));
        {
            std::lock_guard<std::mutex> G(X.Lock);
            EXPECT_EQ(X.FailedApi, Row.Api);
            EXPECT_EQ(X.Error, Row.Error);
        }
        CloseAndWait(X);
    }
    if (!Skipped.empty()) GTEST_SKIP() << "rows Wine's library runs otherwise:" << Skipped;
}

TEST_F(WinHttpAsyncCore, EveryResetInsideAChunkedBodyIsAConnectionError) {
    // The transfer handles of a session are pooled: a reset reads the same on the tenth
    // request as on the first, in either mode.
    if (OnWine()) GTEST_SKIP() << "Wine's library reports a reset as the socket's 10054";
    TTestServer Server;
    for (int I = 0; I < 4; ++I) {
        SCOPED_TRACE("asynchronous request " + std::to_string(I));
        TAsyncExchange X;
        X.Path = "/faults/reset-mid-chunks";
        X.QueryFirst = false;
        ASSERT_TRUE(Start(X, Server.Port()));
        ASSERT_TRUE(X.WaitFor(&TAsyncExchange::Finished));
        {
            std::lock_guard<std::mutex> G(X.Lock);
            EXPECT_EQ(X.Error, 12030u);
        }
        CloseAndWait(X);
    }
    THandle Sync(WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
    ASSERT_TRUE(Sync);
    THandle Connect(
        WinHttpConnect(Sync.Get(), u"127.0.0.1", static_cast<INTERNET_PORT>(Server.Port()), 0));
    for (int I = 0; I < 4; ++I) {
        SCOPED_TRACE("synchronous request " + std::to_string(I));
        THandle R(WinHttpOpenRequest(Connect.Get(), u"GET", u"/faults/reset-mid-chunks", nullptr,
                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
        ASSERT_TRUE(
            WinHttpSendRequest(R.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, nullptr, 0, 0, 0));
        ASSERT_TRUE(WinHttpReceiveResponse(R.Get(), nullptr));
        std::string Body;
        DWORD Err = 0;
        EXPECT_FALSE(TestSupport::ReadAll(R.Get(), Body, Err));
        EXPECT_EQ(Err, 12030u);
    }
}

TEST_F(WinHttpAsyncCore, CallsOutOfTurnFailAtOnce) {
    if (OnWine()) GTEST_SKIP() << "Wine's library takes a read before the send has completed";
    TSilentPeer Peer;
    TAsyncExchange X;
    X.StopAfter = WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE;
    ASSERT_TRUE(Start(X, Peer.Port()));
    char Buf[16];
    // Before the send completed, and before any response: nothing may be read yet.
    EXPECT_FALSE(WinHttpReadData(X.Request, Buf, sizeof Buf, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE));
    ASSERT_TRUE(X.WaitFor(&TAsyncExchange::Finished));
    ASSERT_TRUE(WinHttpReceiveResponse(X.Request, nullptr));
    // One operation at a time.
    EXPECT_FALSE(WinHttpReceiveResponse(X.Request, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE));
    EXPECT_FALSE(WinHttpQueryDataAvailable(X.Request, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE));
    CloseAndWait(X);

    // The send is under way until its completion is delivered: a call made from the
    // notifications before it is out of turn, and so is one from those before the head's.
    TTestServer Server;
    for (DWORD At : {WINHTTP_CALLBACK_STATUS_SENDING_REQUEST, WINHTTP_CALLBACK_STATUS_REQUEST_SENT,
                     WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED}) {
        SCOPED_TRACE(StatusName(At));
        TAsyncExchange Y;
        Y.Path = "/bytes/10";
        Y.ProbeAt = At;
        ASSERT_TRUE(Start(Y, Server.Port()));
        ASSERT_TRUE(Y.WaitFor(&TAsyncExchange::Finished));
        {
            std::lock_guard<std::mutex> G(Y.Lock);
            EXPECT_EQ(Y.ProbeError, static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE));
            EXPECT_EQ(Y.Body, PatternBytes(10));
        }
        CloseAndWait(Y);
    }
}

TEST_F(WinHttpAsyncCore, ClosingTheRequestCancelsWhatIsPending) {
    TTestServer Server;
    TSilentPeer Peer;
    struct {
        const char* Name;
        int Port;
        std::string Path;
        DWORD StopAfter;  // the step after which the test closes the handle
        DWORD Api;        // the operation pending then (0: none)
        const char* WineDeparts;
    } Rows[] = {
        {"waiting for the head", Peer.Port(), "/", WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE,
         API_RECEIVE_RESPONSE, "its send does not complete against a server that never answers"},
        {"waiting for the body", Server.Port(), "/faults/stall-body?ms=3000",
         WINHTTP_CALLBACK_STATUS_READ_COMPLETE, API_READ_DATA,
         "a read pending when the handle closes completes rather than failing with 12017"},
        {"nothing pending", Server.Port(), "/bytes/10", WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE,
         0, nullptr},
    };
    std::string Skipped;
    for (const auto& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        if (Row.WineDeparts && OnWine()) {
            Skipped += std::string("\n  ") + Row.Name + ": " + Row.WineDeparts;
            continue;
        }
        TAsyncExchange X;
        X.Path = Row.Path;
        X.QueryFirst = false;
        X.StopAfter = Row.StopAfter;
        ASSERT_TRUE(Start(X, Row.Port));
        ASSERT_TRUE(X.WaitFor(&TAsyncExchange::Finished));
        {
            std::lock_guard<std::mutex> G(X.Lock);
            X.Finished = false;
        }
        // The next operation begins and is left pending.
        if (Row.Api == API_RECEIVE_RESPONSE) {
            ASSERT_TRUE(WinHttpReceiveResponse(X.Request, nullptr));
        } else if (Row.Api == API_READ_DATA) {
            ASSERT_TRUE(WinHttpReadData(X.Request, X.Buffer.data(), X.Piece, nullptr));
        }
        std::this_thread::sleep_for(100ms);
        CloseAndWait(X);
        std::lock_guard<std::mutex> G(X.Lock);
        EXPECT_EQ(X.FailedApi, Row.Api);
        EXPECT_EQ(X.Error, Row.Api ? 12017u : 0u);
        if (Row.Api) {
            ASSERT_GE(X.Statuses.size(), 2u);
            EXPECT_EQ(StatusName(X.Statuses[X.Statuses.size() - 2]), "REQUEST_ERROR");
        }
    }
    if (!Skipped.empty()) GTEST_SKIP() << "rows Wine's library runs otherwise:" << Skipped;
}

TEST_F(WinHttpAsyncCore, AConnectionTheServerClosesIsAnnouncedBeforeTheEndOfTheBody) {
    if (OnWine()) GTEST_SKIP() << "Wine's library does not announce a connection the server closed";
    TTestServer Server;
    TAsyncExchange X;
    X.Path = "/faults/close-delimited";
    X.QueryFirst = false;
    ASSERT_TRUE(Start(X, Server.Port()));
    ASSERT_TRUE(X.WaitFor(&TAsyncExchange::Finished));
    CloseAndWait(X);
    auto Names = X.Names({WINHTTP_CALLBACK_STATUS_HANDLE_CREATED});
    const auto Closing = std::find(Names.begin(), Names.end(), "CLOSING_CONNECTION");
    ASSERT_NE(Closing, Names.end());
    ASSERT_LT(Closing + 1, Names.end());
    EXPECT_EQ(*(Closing + 1), "CONNECTION_CLOSED");
    // Before the read that found the end of the body (when the whole answer came at once,
    // even before its head was announced); the handle's closing last.
    ASSERT_GE(Names.size(), 2u);
    EXPECT_EQ(Names[Names.size() - 2], "READ_COMPLETE");
    EXPECT_EQ(Names.back(), "HANDLE_CLOSING");
    EXPECT_LT(Closing + 1, Names.end() - 2);
}

TEST_F(WinHttpAsyncCore, ChainsOfReadsFromCallbacksKeepTheStackShallow) {
    // Thousands of reads, each begun from the completion of the one before with data already
    // waiting: completions delivered inline must not nest without end.
    TTestServer Server;
    TAsyncExchange X;
    X.Path = "/bytes/65536";
    X.Piece = 16;
    X.QueryFirst = false;
    ASSERT_TRUE(Start(X, Server.Port()));
    ASSERT_TRUE(X.WaitFor(&TAsyncExchange::Finished));
    {
        std::lock_guard<std::mutex> G(X.Lock);
        EXPECT_EQ(X.Error, 0u);
        EXPECT_EQ(X.Body, PatternBytes(65536));
        EXPECT_LE(X.MaxDepth, 64);
        EXPECT_EQ(X.Overlapping, 0);
    }
    CloseAndWait(X);
}

TEST_F(WinHttpAsyncCore, RedirectsAndUploads) {
    TTestServer Server;
    {
        SCOPED_TRACE("redirect");
        TAsyncExchange X;
        X.Path = "/redirect?code=302&to=/bytes/10";
        ASSERT_TRUE(Start(X, Server.Port()));
        ASSERT_TRUE(X.WaitFor(&TAsyncExchange::Finished));
        auto Names = X.Names(Progress);
        ASSERT_GE(Names.size(), 3u);
        EXPECT_EQ(Names[0], "SENDREQUEST_COMPLETE");
        EXPECT_EQ(Names[1], "REDIRECT");
        EXPECT_EQ(Names[2], "HEADERS_AVAILABLE");
        {
            std::lock_guard<std::mutex> G(X.Lock);
            // The URL the request goes to next (Wine's library gives the Location as it came).
            const std::string Url =
                "http://127.0.0.1:" + std::to_string(Server.Port()) + "/bytes/10";
            EXPECT_EQ(X.RedirectUrl, OnWine() ? "/bytes/10" : Url);
            EXPECT_EQ(X.Body, PatternBytes(10));
        }
        CloseAndWait(X);
    }
    {
        SCOPED_TRACE("upload in two writes");
        TAsyncExchange X;
        X.Path = "/echo";
        X.Verb = u"POST";
        X.Written = std::string(5000, 'w') + std::string(7001, 'x');
        ASSERT_TRUE(Start(X, Server.Port()));
        ASSERT_TRUE(X.WaitFor(&TAsyncExchange::Finished));
        {
            std::lock_guard<std::mutex> G(X.Lock);
            EXPECT_EQ(X.Error, 0u);
            EXPECT_EQ(X.CallError, 0u);
            EXPECT_EQ(X.WriteCounts, (std::vector<DWORD>{6000, 6001}));
            EXPECT_NE(X.Body.find(X.Written), std::string::npos);
        }
        CloseAndWait(X);
    }
}

#ifndef _WIN32
namespace {

int CountEntries(const char* Dir) {
    int N = 0;
    if (DIR* D = opendir(Dir)) {
        while (dirent* E = readdir(D))
            if (E->d_name[0] != '.') ++N;
        closedir(D);
    }
    return N;
}

long ResidentKiB() {
    std::ifstream In("/proc/self/statm");
    long Pages = 0, Resident = 0;
    In >> Pages >> Resident;
    return Resident * (sysconf(_SC_PAGESIZE) / 1024);
}

/// A listener that never accepts: the kernel completes the connections (up to its backlog)
/// and takes the requests, and no answer ever comes. A server as slow as can be.
class TBlackHole {
  public:
    TBlackHole() {
        FSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t Length = sizeof Address;
        if (bind(FSocket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0 &&
            getsockname(FSocket, reinterpret_cast<sockaddr*>(&Address), &Length) == 0 &&
            listen(FSocket, 2048) == 0)
            FPort = ntohs(Address.sin_port);
    }
    ~TBlackHole() { close(FSocket); }
    int Port() const { return FPort; }

  private:
    int FSocket = -1;
    int FPort = 0;
};

struct TFleet {
    std::atomic<int> Sent{0}, Cancelled{0}, Closed{0}, Other{0};
};

void WINAPI OnFleet(HINTERNET H, DWORD_PTR Context, DWORD Status, LPVOID Info, DWORD) {
    auto* F = reinterpret_cast<TFleet*>(Context);
    if (!F) return;
    if (Status == WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE) {
        ++F->Sent;
        if (!WinHttpReceiveResponse(H, nullptr)) ++F->Other;
    } else if (Status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR) {
        const auto* R = static_cast<const WINHTTP_ASYNC_RESULT*>(Info);
        if (R->dwError == ERROR_WINHTTP_OPERATION_CANCELLED)
            ++F->Cancelled;
        else
            ++F->Other;
    } else if (Status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
        ++F->Closed;
    } else if (Status == WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE) {
        ++F->Other;
    }
}

bool WaitUntil(const std::function<bool()>& Done, std::chrono::milliseconds Within = 30s) {
    const auto End = std::chrono::steady_clock::now() + Within;
    while (!Done()) {
        if (std::chrono::steady_clock::now() > End) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

}  // namespace

namespace {

/// Handles closed from inside the request's last callback, the session's last handle with them.
struct TLastClose {
    HINTERNET Session = nullptr, Connect = nullptr, Request = nullptr;
    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<std::string> Seen;  // "request STATUS", "session HANDLE_CLOSING" ...
};

void WINAPI OnLastClose(HINTERNET H, DWORD_PTR Context, DWORD Status, LPVOID, DWORD) {
    auto* T = reinterpret_cast<TLastClose*>(Context);
    if (!T) return;
    const char* Who = H == T->Session ? "session" : H == T->Connect ? "connect" : "request";
    if (H == T->Request && Status == WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE)
        WinHttpReceiveResponse(H, nullptr);  // left pending
    if (H == T->Request && Status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
        WinHttpCloseHandle(T->Connect);
        WinHttpCloseHandle(T->Session);
    }
    std::lock_guard<std::mutex> G(T->Lock);
    T->Seen.push_back(std::string(Who) + " " + StatusName(Status));
    T->Changed.notify_all();
}

}  // namespace

TEST(WinHttpAsyncLifetime, HandlesClosedFromTheLastCallbackTakeTheSessionAlong) {
    ASSERT_TRUE(LoadWinHttp());
    TSilentPeer Peer;
    const int ThreadsBefore = CountEntries("/proc/self/task");
    TLastClose T;
    T.Session = WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr,
                            WINHTTP_FLAG_ASYNC);
    ASSERT_NE(T.Session, nullptr);
    DWORD_PTR Context = reinterpret_cast<DWORD_PTR>(&T);
    ASSERT_TRUE(
        WinHttpSetOption(T.Session, WINHTTP_OPTION_CONTEXT_VALUE, &Context, sizeof Context));
    WinHttpSetStatusCallback(T.Session, OnLastClose,
                             WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                             0);
    T.Connect = WinHttpConnect(T.Session, u"127.0.0.1", static_cast<INTERNET_PORT>(Peer.Port()), 0);
    ASSERT_NE(T.Connect, nullptr);
    T.Request = WinHttpOpenRequest(T.Connect, u"GET", u"/", nullptr, WINHTTP_NO_REFERER,
                                   WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    ASSERT_NE(T.Request, nullptr);
    ASSERT_TRUE(
        WinHttpSendRequest(T.Request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, nullptr, 0, 0, Context));
    ASSERT_TRUE(Peer.WaitForRequest());
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(WinHttpCloseHandle(T.Request));
    {
        std::unique_lock<std::mutex> L(T.Lock);
        ASSERT_TRUE(T.Changed.wait_for(L, 10s, [&] {
            return std::find(T.Seen.begin(), T.Seen.end(), "request HANDLE_CLOSING") !=
                   T.Seen.end();
        }));
        const std::vector<std::string> Tail(T.Seen.end() - 4, T.Seen.end());
        EXPECT_EQ(Tail,
                  (std::vector<std::string>{"request REQUEST_ERROR", "connect HANDLE_CLOSING",
                                            "session HANDLE_CLOSING", "request HANDLE_CLOSING"}));
    }
    // The session's thread ended with it.
    EXPECT_TRUE(WaitUntil([&] { return CountEntries("/proc/self/task") == ThreadsBefore; }, 5s));
}

namespace {

std::thread::id GMainThread;
std::atomic<bool> GReceiving{false}, GInLastCallback{false};

void WINAPI OnExitDuringCallback(HINTERNET H, DWORD_PTR, DWORD Status, LPVOID, DWORD) {
    if (Status == WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE) {
        GReceiving = WinHttpReceiveResponse(H, nullptr);  // left pending: no answer comes
        return;
    }
    if (Status != WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING ||
        std::this_thread::get_id() == GMainThread)
        return;
    GInLastCallback = true;
    std::this_thread::sleep_for(300ms);
    std::fputs("the last callback ended\n", stderr);
}

/// Closes every handle, the request under a pending receive, so that the session's thread
/// delivers the request's last callback, and exits the process while that callback runs.
void ExitDuringTheLastCallback() {
    if (!LoadWinHttp()) std::exit(2);
    TBlackHole Server;
    GMainThread = std::this_thread::get_id();
    HINTERNET Session = WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr,
                                    WINHTTP_FLAG_ASYNC);
    WinHttpSetStatusCallback(Session, OnExitDuringCallback,
                             WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                             0);
    HINTERNET Connect =
        WinHttpConnect(Session, u"127.0.0.1", static_cast<INTERNET_PORT>(Server.Port()), 0);
    HINTERNET Request = WinHttpOpenRequest(Connect, u"GET", u"/", nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    if (!WinHttpSendRequest(Request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, nullptr, 0, 0, 0))
        std::exit(3);
    if (!WaitUntil([] { return GReceiving.load(); }, 10s)) std::exit(4);
    WinHttpCloseHandle(Connect);
    WinHttpCloseHandle(Session);
    WinHttpCloseHandle(Request);
    if (!WaitUntil([] { return GInLastCallback.load(); }, 10s)) std::exit(5);
    std::exit(0);
}

}  // namespace

// The library goes at exit only once its threads have ended: a callback running then ends
// first, and its thread lets the session go, rather than running on in a library whose
// objects are being destroyed.
TEST(WinHttpAsyncLifetime, TheProcessExitingLetsTheCallbackInProgressEnd) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ExitDuringTheLastCallback(), ::testing::ExitedWithCode(0),
                "the last callback ended");
}

TEST_F(WinHttpAsyncCore, RequestsAtOnceOverHttp2ShareOneConnection) {
    TestSupport::TrustTestCa();
    TestSupport::THttp2Server Server;
    DWORD Protocols = WINHTTP_PROTOCOL_FLAG_HTTP2;
    ASSERT_TRUE(WinHttpSetOption(FSession.Get(), WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, &Protocols,
                                 sizeof Protocols));
    const long AcceptedBefore = Server.Accepted();
    std::vector<std::unique_ptr<TAsyncExchange>> Xs;
    for (int I = 0; I < 10; ++I) {
        auto X = std::make_unique<TAsyncExchange>();
        X->Path = "/bytes/" + std::to_string(20000 + I);
        X->Flags = WINHTTP_FLAG_SECURE;
        ASSERT_TRUE(Start(*X, Server.Port()));
        Xs.push_back(std::move(X));
    }
    for (int I = 0; I < 10; ++I) {
        TAsyncExchange& X = *Xs[static_cast<std::size_t>(I)];
        SCOPED_TRACE(X.Path);
        ASSERT_TRUE(X.WaitFor(&TAsyncExchange::Finished));
        DWORD Used = 0, Length = sizeof Used;
        EXPECT_TRUE(
            WinHttpQueryOption(X.Request, WINHTTP_OPTION_HTTP_PROTOCOL_USED, &Used, &Length));
        EXPECT_EQ(Used, static_cast<DWORD>(WINHTTP_PROTOCOL_FLAG_HTTP2));
        {
            std::lock_guard<std::mutex> G(X.Lock);
            EXPECT_EQ(X.Error, 0u);
            EXPECT_EQ(X.Body, PatternBytes(20000 + static_cast<std::size_t>(I)));
        }
        CloseAndWait(X);
    }
    if (AcceptedBefore >= 0) {
        EXPECT_LE(Server.Accepted() - AcceptedBefore, 2);
    }
}

TEST(WinHttpAsyncScale, AThousandRequestsInFlightAreHeldByAFewThreads) {
    ASSERT_TRUE(LoadWinHttp());
    TBlackHole Server;
    ASSERT_NE(Server.Port(), 0);
    constexpr int Count = 1000;
    const int ThreadsBefore = CountEntries("/proc/self/task");
    const int FilesBefore = CountEntries("/proc/self/fd");
    THandle Session(WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr,
                                WINHTTP_FLAG_ASYNC));
    ASSERT_TRUE(Session);
    WinHttpSetStatusCallback(Session.Get(), OnFleet, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0);
    THandle Connect(
        WinHttpConnect(Session.Get(), u"127.0.0.1", static_cast<INTERNET_PORT>(Server.Port()), 0));
    ASSERT_TRUE(Connect);
    TFleet Fleet;
    std::vector<HINTERNET> Requests;
    for (int I = 0; I < Count; ++I) {
        HINTERNET R = WinHttpOpenRequest(Connect.Get(), u"GET", u"/slow", nullptr,
                                         WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
        ASSERT_NE(R, nullptr);
        Requests.push_back(R);
    }
    // Requests not sent hold no descriptor.
    EXPECT_LE(CountEntries("/proc/self/fd") - FilesBefore, 4);
    const long MemoryBefore = ResidentKiB();
    for (HINTERNET R : Requests)
        ASSERT_TRUE(WinHttpSendRequest(R, WINHTTP_NO_ADDITIONAL_HEADERS, 0, nullptr, 0, 0,
                                       reinterpret_cast<DWORD_PTR>(&Fleet)));
    ASSERT_TRUE(WaitUntil([&] { return Fleet.Sent == Count; })) << Fleet.Sent;
    std::this_thread::sleep_for(200ms);  // every head is awaited now
    const int LibraryThreads = CountEntries("/proc/self/task") - ThreadsBefore;
    const long PerRequest = (ResidentKiB() - MemoryBefore) * 1024 / Count;
    const int Files = CountEntries("/proc/self/fd") - FilesBefore;
    std::printf(
        "%d requests in flight: %d library threads, %d descriptors, %ld bytes resident "
        "each\n",
        Count, LibraryThreads, Files, PerRequest);
    EXPECT_LE(LibraryThreads, 4);
    EXPECT_LE(Files, Count + 8);  // one connection each, and a few for the session
    EXPECT_EQ(Fleet.Other, 0);
    for (HINTERNET R : Requests) WinHttpCloseHandle(R);
    ASSERT_TRUE(WaitUntil([&] { return Fleet.Closed == Count; })) << Fleet.Closed;
    EXPECT_EQ(Fleet.Cancelled, Count);
    EXPECT_EQ(Fleet.Other, 0);
}
#endif

}  // namespace Nimbra
