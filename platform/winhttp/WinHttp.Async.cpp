// The asynchronous mode: sessions opened with WINHTTP_FLAG_ASYNC.
//
// - Threads. Each asynchronous session has one thread of its own, its TAsyncLoop, made with
//   the session and joined when the session goes. Every request of the session runs in the
//   session's hub (one multi handle), so the requests in flight are one poll on that thread,
//   however many they are. Their slots have no multi handle, so no wake-up pair either.
// - Who touches curl. The hub's handles, and everything curl's callbacks write into a request,
//   are used under the hub's lock, as for the synchronous mode's HTTP/2 requests. The loop
//   holds the lock except while it polls and while it runs callbacks. A call on another thread
//   takes the lock, begins its operation, posts the request to the loop, lets the lock go and
//   wakes the loop if it polls (once per poll, however many calls post meanwhile). Only an
//   operation that touches curl's handles waits for the poll to end first (SettleHub); a send
//   does not: it prepares its transfer's own easy handle, and the loop puts that into the
//   multi handle before its next round (AddSent), so a burst of sends from a thread costs the
//   loop one round, not one each.
// - Operations are those of the synchronous mode, cut where that mode waits in Drive: Begin*
//   does what comes before the wait, Step* what comes after it. After every round of curl the
//   loop steps each pending operation and checks its time-outs as Drive does.
// - Completions. A step that ends an operation records how; the loop takes the request's due
//   notifications and that completion out under the lock (TAsyncDelivery) and delivers them
//   in order without it. Only the loop's thread delivers, so a request never gets two
//   callbacks at once. A call made inside a callback whose operation is complete at once (the
//   next read from READ_COMPLETE with data waiting) delivers its completion inline, down to
//   MaxInlineDepth nested callbacks; deeper, the loop delivers it, so chains of calls made
//   from callbacks do not grow the stack.
// - Cancel. Closing a request handle flags it; a pending operation ends with REQUEST_ERROR
//   12017 at its next step, then comes HANDLE_CLOSING, the handle's last callback. With nothing
//   pending or being delivered, HANDLE_CLOSING comes from WinHttpCloseHandle itself. Closing a
//   session or connection cancels nothing of the requests made from it.
// - Lifetimes. The loop holds a request from the start of an operation (or its close) until
//   everything of it was delivered; a request holds its connection and its session. When the
//   last request goes on the loop's own thread, the session may go with it: the loop is then
//   orphaned, and its thread ends without touching it again.

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include "WinHttp.Api.h"
#include "WinHttp.Handles.h"

namespace WinHttpImpl {

namespace {

using TClock = std::chrono::steady_clock;

// Completions delivered inline inside callbacks of the loop's thread, nested; beyond this
// the loop delivers them once the callbacks have returned.
constexpr int MaxInlineDepth = 8;
// Callbacks of this thread running, nested in each other (initial-exec, as GDriving).
thread_local int GCallbackDepth __attribute__((tls_model("initial-exec"))) = 0;
// An operation's step found no time-out running.
constexpr int NoDeadline = INT_MAX;

int MsBetween(TClock::time_point From, TClock::time_point To) {
    const auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(To - From).count();
    return static_cast<int>(std::clamp<long long>(Ms, INT_MIN / 2, INT_MAX / 2));
}

}  // namespace

/// What one request has to be told: taken out under the hub's lock, delivered without it.
struct TAsyncDelivery {
    std::shared_ptr<TRequest> Request;
    std::vector<TRequest::TNote> Notes;
    TRequest::TAsyncOp Op = TRequest::TAsyncOp::None;  // the operation completed (None: none)
    DWORD Error = 0;
    DWORD Value = 0;
    void* Buffer = nullptr;
    bool Closing = false;

    /// Under the hub's lock: takes what R has due; false when nothing.
    bool Take(const std::shared_ptr<TRequest>& R);
    /// Without the lock: the callbacks, in order.
    void Deliver();
};

bool TAsyncDelivery::Take(const std::shared_ptr<TRequest>& R) {
    TRequest& Q = *R;
    auto& A = Q.FAsync;
    if (A.Closed) return false;
    if (Q.FClosed) {
        Q.FNotes.clear();  // a closed handle hears only how its operation ended
    } else {
        // The response's own notifications wait for WinHttpReceiveResponse.
        std::size_t N = 0;
        while (N < Q.FNotes.size() &&
               (Q.FReceiving || Q.FNotes[N].Status != WINHTTP_CALLBACK_STATUS_RECEIVING_RESPONSE))
            ++N;
        Notes.assign(std::make_move_iterator(Q.FNotes.begin()),
                     std::make_move_iterator(Q.FNotes.begin() + static_cast<std::ptrdiff_t>(N)));
        Q.FNotes.erase(Q.FNotes.begin(), Q.FNotes.begin() + static_cast<std::ptrdiff_t>(N));
    }
    if (A.Done && !A.Handing) {
        // The operation stays in progress while the notifications before its completion are
        // delivered: a call made from them is out of turn.
        Op = A.Op;
        Error = A.Error;
        Value = A.Value;
        Buffer = A.Buffer;
        A.Handing = true;
    }
    if (A.ClosingDue && A.Op == TRequest::TAsyncOp::None) {
        Closing = true;
        A.ClosingDue = false;
        A.Closed = true;
    }
    if (Notes.empty() && Op == TRequest::TAsyncOp::None && !Closing) return false;
    Request = R;
    ++Q.FDelivering;
    return true;
}

void TAsyncDelivery::Deliver() {
    TRequest& Q = *Request;
    ++GCallbackDepth;
    using TOp = TRequest::TAsyncOp;
    for (auto& N : Notes) {
        // Closed from one of these callbacks (a REDIRECT, say): what was taken with it is not
        // heard, and an operation that had succeeded ends as cancelled.
        if (Q.FClosed) {
            if (Op != TOp::None && !Error) Error = ERROR_WINHTTP_OPERATION_CANCELLED;
            break;
        }
        Q.Announce(N);
    }
    if (Op != TOp::None) {
        // Over now: the completion's callback may begin the next operation.
        THubHold Hold(Q.FHub);
        TRequest::TAsyncState& A = Q.FAsync;
        A.Op = TOp::None;
        A.Done = A.Handing = false;
        A.Buffer = nullptr;
        Q.Stir();  // the loop sees what is left of it (a close to deliver)
    }
    if (Op != TOp::None && Error) {
        WINHTTP_ASYNC_RESULT Result{};
        Result.dwResult = Op == TOp::Send        ? API_SEND_REQUEST
                          : Op == TOp::Write     ? API_WRITE_DATA
                          : Op == TOp::Receive   ? API_RECEIVE_RESPONSE
                          : Op == TOp::Available ? API_QUERY_DATA_AVAILABLE
                                                 : API_READ_DATA;
        Result.dwError = Error;
        Q.Notify(WINHTTP_CALLBACK_STATUS_REQUEST_ERROR, &Result, sizeof Result);
    } else if (Op == TOp::Send) {
        Q.Notify(WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE, nullptr, 0);
    } else if (Op == TOp::Write) {
        Q.Notify(WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE, &Value, sizeof Value);
    } else if (Op == TOp::Receive) {
        Q.Notify(WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE, nullptr, 0);
    } else if (Op == TOp::Available) {
        Q.Notify(WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE, &Value, sizeof Value);
    } else if (Op == TOp::Read) {
        Q.Notify(WINHTTP_CALLBACK_STATUS_READ_COMPLETE, Buffer, Value);
    }
    if (Closing) {
        HINTERNET H = Q.Handle;
        Q.Notify(WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING, &H, sizeof H);
    }
    --GCallbackDepth;
    --Q.FDelivering;
}

// ---------------------------------------------------------------------------------------
// The loop

/// A loop's thread, kept in the library's list until it is joined. A loop whose session goes
/// on another thread joins its own thread. One whose session went on the loop's own thread
/// (its last request let go there) leaves it in the list: the next loop made or stopped joins
/// it once it has ended. When the library goes, StopAll ends and joins every thread left, so
/// that none still runs the library's code while the process exits.
struct TAsyncLoopThread {
    std::mutex Lock;
    std::condition_variable EndedChange;
    std::thread Thread;             // under Lock; taken out by whoever joins it
    bool Ended = false;             // under Lock: Run has returned, the loop is not touched again
    CURLM* Multi = nullptr;         // under Lock: the hub's, to wake the poll; null once it goes
    std::atomic<bool> Stop{false};  // raised when the library goes
};

namespace {

// Never freed: a loop may still go after static objects are gone.
std::mutex& LoopThreadsLock() {
    static auto* M = new std::mutex;
    return *M;
}
std::vector<std::shared_ptr<TAsyncLoopThread>>& LoopThreads() {
    static auto* V = new std::vector<std::shared_ptr<TAsyncLoopThread>>;
    return *V;
}

/// Takes out of the list the threads that have ended, or all but the calling one when All, and
/// joins them. A thread taken already by its loop's destructor is that one's to join.
void JoinLoopThreads(bool All) {
    std::vector<std::shared_ptr<TAsyncLoopThread>> Leaving;
    {
        std::lock_guard<std::mutex> G(LoopThreadsLock());
        auto& V = LoopThreads();
        for (auto It = V.begin(); It != V.end();) {
            TAsyncLoopThread& T = **It;
            bool Take;
            {
                std::lock_guard<std::mutex> TG(T.Lock);
                Take = All ? T.Thread.get_id() != std::this_thread::get_id() : T.Ended;
            }
            if (Take) {
                Leaving.push_back(std::move(*It));
                It = V.erase(It);
            } else {
                ++It;
            }
        }
    }
    for (const auto& T : Leaving) {
        std::thread Joined;
        {
            std::lock_guard<std::mutex> G(T->Lock);
            T->Stop = true;
            if (T->Multi) curl_multi_wakeup(T->Multi);
            Joined = std::move(T->Thread);
        }
        if (Joined.joinable()) Joined.join();
    }
}

}  // namespace

void TAsyncLoop::StopAll() {
    JoinLoopThreads(true);
}

TAsyncLoop::TAsyncLoop(THub& AHub) : FHub(AHub), FThread(std::make_shared<TAsyncLoopThread>()) {
    JoinLoopThreads(false);
    FThread->Multi = FHub.Multi;
    {
        std::lock_guard<std::mutex> G(LoopThreadsLock());
        LoopThreads().push_back(FThread);
    }
    // The thread starts on the hub's lock, so it finds its id set.
    std::lock_guard<std::mutex> G(FHub.Lock);
    std::lock_guard<std::mutex> TG(FThread->Lock);
    FThread->Thread = std::thread([this, T = FThread] {
        Run();
        {
            std::lock_guard<std::mutex> G(T->Lock);
            T->Ended = true;
        }
        T->EndedChange.notify_all();
    });
    FThreadId = FThread->Thread.get_id();
}

TAsyncLoop::~TAsyncLoop() {
    std::thread Mine;
    {
        std::lock_guard<std::mutex> G(FThread->Lock);
        FThread->Multi = nullptr;  // the hub goes after the loop
        if (!OnLoopThread()) Mine = std::move(FThread->Thread);
    }
    if (OnLoopThread()) {
        // The session went with the last request the loop let go: Run returns right after,
        // and the thread stays listed until it is joined.
        *FOrphaned = true;
        return;
    }
    {
        std::lock_guard<std::mutex> G(FHub.Lock);
        FStop = true;
    }
    curl_multi_wakeup(FHub.Multi);
    FHub.Turn.notify_all();
    if (Mine.joinable()) {
        Mine.join();
    } else {
        // The library is going, and StopAll has taken the thread to join it: wait for Run's end.
        std::unique_lock<std::mutex> L(FThread->Lock);
        FThread->EndedChange.wait(L, [&] { return FThread->Ended; });
    }
    {
        std::lock_guard<std::mutex> G(LoopThreadsLock());
        auto& V = LoopThreads();
        V.erase(std::remove(V.begin(), V.end(), FThread), V.end());
    }
    JoinLoopThreads(false);
}

void TAsyncLoop::Post(const std::shared_ptr<TRequest>& R) {
    TRequest::TAsyncState& A = R->FAsync;
    if (!A.Listed) {
        A.Listed = true;
        A.ActiveAt = FActive.size();
        FActive.push_back(R);
    }
    R->Stir();
}

void TAsyncLoop::AddSent() {
    for (TRequest* Q : FHub.Adding) {
        if (Q->FClosed) continue;  // its step cancels the send; nothing went to curl
        if (curl_multi_add_handle(FHub.Multi, Q->FSlot->Easy) == CURLM_OK) {
            Q->FInMulti = true;
            continue;
        }
        Q->FState = TRequest::TState::Failed;
        Q->Finish(ERROR_WINHTTP_INTERNAL_ERROR);
        Q->Stir();
    }
    FHub.Adding.clear();
}

bool TAsyncLoop::Visit(std::size_t At, TClock::time_point Now, int& WaitMs,
                       std::vector<TAsyncDelivery>& Batch,
                       std::vector<std::shared_ptr<TRequest>>& Finished) {
    const std::shared_ptr<TRequest>& R = FActive[At];
    TRequest::TAsyncState& A = R->FAsync;
    const bool Due = A.Deadline != TClock::time_point() && Now >= A.Deadline;
    if (!A.Stirred && !Due) return false;
    A.Stirred = false;
    int Step = NoDeadline;
    R->StepAsync(Now, Step);
    A.Deadline = Step == NoDeadline ? TClock::time_point()
                                    : Now + std::chrono::milliseconds(std::max(Step, 0));
    if (A.Deadline != TClock::time_point() &&
        (FNextDeadline == TClock::time_point() || A.Deadline < FNextDeadline))
        FNextDeadline = A.Deadline;
    WaitMs = std::min(WaitMs, Step);
    TAsyncDelivery D;
    if (D.Take(R)) {
        if (D.Closing) R->EndTransfer();
        Batch.push_back(std::move(D));
    }
    if (A.Op != TRequest::TAsyncOp::None || A.ClosingDue) return false;
    // Nothing left of it here.
    A.Listed = false;
    if (A.Queued) {
        // Stirred again by its own step (an unpause that handed it data at once).
        std::erase(FHub.Stirred, R.get());
        A.Queued = false;
    }
    Finished.push_back(std::move(FActive[At]));
    if (At + 1 != FActive.size()) {
        FActive[At] = std::move(FActive.back());
        FActive[At]->FAsync.ActiveAt = At;
    }
    FActive.pop_back();
    return true;
}

void TAsyncLoop::Run() {
    const std::shared_ptr<std::atomic<bool>> Orphaned = FOrphaned;
    THub& Hub = FHub;
    std::unique_lock<std::mutex> L(Hub.Lock);
    std::vector<TAsyncDelivery> Batch;
    std::vector<std::shared_ptr<TRequest>> Finished;
    std::vector<TRequest*> Work;
    while (!FStop && !FThread->Stop) {
        if (!Hub.Adding.empty()) AddSent();
        int Running = 0;
        curl_multi_perform(Hub.Multi, &Running);  // what fails now is tried again next round
        Hub.CollectDone();
        ++Hub.Rounds;

        // The requests that moved, and every one once the earliest deadline has passed.
        const TClock::time_point Now = TClock::now();
        int WaitMs = 1000;
        Work.swap(Hub.Stirred);
        for (TRequest* Q : Work) {
            Q->FAsync.Queued = false;
            if (Q->FAsync.Listed) Visit(Q->FAsync.ActiveAt, Now, WaitMs, Batch, Finished);
        }
        Work.clear();
        if (FNextDeadline != TClock::time_point() && Now >= FNextDeadline) {
            FNextDeadline = {};
            for (std::size_t I = 0; I < FActive.size();) {
                if (Visit(I, Now, WaitMs, Batch, Finished)) continue;
                const TClock::time_point D = FActive[I]->FAsync.Deadline;
                if (D != TClock::time_point() &&
                    (FNextDeadline == TClock::time_point() || D < FNextDeadline))
                    FNextDeadline = D;
                ++I;
            }
        }
        if (FNextDeadline != TClock::time_point())
            WaitMs = std::min(WaitMs, MsBetween(Now, FNextDeadline) + 1);
        if (!Batch.empty() || !Finished.empty()) {
            L.unlock();
            for (TAsyncDelivery& D : Batch) D.Deliver();
            // Requests let go here may take their session, and this loop, with them.
            Batch.clear();
            Finished.clear();
            if (*Orphaned) return;
            L.lock();
            continue;  // the callbacks may have begun operations
        }
        if (Hub.Waiters > 0) {
            // A call waits for the lock: it goes first, then a round sees what it began.
            Hub.Turn.wait(L, [&] { return Hub.Waiters == 0 || FStop || FThread->Stop; });
            continue;
        }
        Hub.Polling = true;
        L.unlock();
        curl_multi_poll(Hub.Multi, nullptr, 0, std::max(WaitMs, 0), nullptr);
        L.lock();
        Hub.Polling = false;
        Hub.Woken = false;
        Hub.Turn.notify_all();
    }
}

// ---------------------------------------------------------------------------------------
// Operations

BOOL StartAsync(const std::shared_ptr<TRequest>& R, TAsyncBegin Begin) {
    TAsyncLoop& Loop = R->Session().Loop();
    TAsyncDelivery Inline;
    bool Now = false;
    bool Wake = false;
    {
        // The lock alone: Begin settles the hub itself before it touches curl's handles.
        THubHold Hold(R->Hub(), THubHold::TLockOnly{});
        struct TBeginHold {
            TRequest& Q;
            THubHold* Outer;
            ~TBeginHold() { Q.FHold = Outer; }
        } Restore{*R, std::exchange(R->FHold, &Hold)};
        if (DWORD Err = Begin()) return Fail(Err);
        if (R->FAsync.Done && GCallbackDepth > 0 && GCallbackDepth < MaxInlineDepth &&
            Loop.OnLoopThread()) {
            Now = Inline.Take(R);
        } else {
            Loop.Post(R);
            // The loop's own thread runs a round after its callbacks anyway.
            Wake = !Loop.OnLoopThread() && Loop.WakeDue();
        }
    }
    if (Now)
        Inline.Deliver();
    else if (Wake)
        Loop.Wake();
    return Succeed();
}

void TRequest::CloseAsync(const std::shared_ptr<TRequest>& Self) {
    TAsyncLoop& Loop = Session().Loop();
    {
        THubHold Hold(FHub, THubHold::TLockOnly{});  // nothing of curl's is touched here
        if (FAsync.Op != TAsyncOp::None || FAsync.Listed || FDelivering > 0) {
            // The loop ends what is pending and delivers what is due first.
            FAsync.ClosingDue = true;
            Loop.Post(Self);
            const bool Wake = !Loop.OnLoopThread() && Loop.WakeDue();
            Hold.Release();
            if (Wake) Loop.Wake();
            return;
        }
        FAsync.Closed = true;
    }
    HINTERNET H = Handle;
    Notify(WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING, &H, sizeof H);
}

void TRequest::EndTransfer() {
    if (!FSlot) return;
    ResetTransfer();
    Session().ReleaseSlot(std::move(FSlot));
}

bool TRequest::Finish(DWORD Error, DWORD Value) {
    FAsync.Done = true;
    FAsync.Error = Error;
    FAsync.Value = Value;
    return true;
}

void TRequest::Await(int TimeoutMs) {
    FAsync.TimeoutMs = TimeoutMs;
    FAsync.LastActivity = TClock::now();
    FAsync.SeenProgress = FProgress;
    FAsync.Draining = false;
}

void TRequest::Abandon() {
    FUserBuf = nullptr;
    FUserLen = FUserGot = 0;
    FPending = nullptr;
    FPendingLen = 0;
    FHeadDeadline = {};
    FAsync.Draining = false;
    // An operation that sends or waits for the head leaves the request unusable, as in the
    // synchronous mode.
    if (FAsync.Op == TAsyncOp::Send || FAsync.Op == TAsyncOp::Write ||
        FAsync.Op == TAsyncOp::Receive)
        FState = TState::Failed;
}

void TRequest::StepAsync(TClock::time_point Now, int& WaitMs) {
    TAsyncState& A = FAsync;
    if (A.Op == TAsyncOp::None || A.Done) return;
    if (FClosed) {
        Abandon();
        Finish(ERROR_WINHTTP_OPERATION_CANCELLED);
        return;
    }
    // A round that handed curl the whole request has put it on the wire.
    if (FInMulti && FMoments.SendPending && !FBodyOpen && FSentToCurl >= FTotal) MarkSent();
    bool Ended = false;
    switch (A.Op) {
        case TAsyncOp::Send:
            Ended = StepSend();
            break;
        case TAsyncOp::Write:
            Ended = StepWrite();
            break;
        case TAsyncOp::Receive:
            Ended = StepReceive(Now);
            break;
        case TAsyncOp::Available:
            Ended = StepAvailable();
            break;
        case TAsyncOp::Read:
            Ended = StepRead();
            break;
        case TAsyncOp::None:
            break;
    }
    if (Ended) return;
    // Bytes that decode to nothing are no data: a decoded read waits from its start.
    const bool Decoded = FDecoding && (A.Op == TAsyncOp::Read || A.Op == TAsyncOp::Available);
    if (FProgress != A.SeenProgress && !Decoded) {
        A.SeenProgress = FProgress;
        A.LastActivity = Now;
    }
    if (A.Draining) {
        // The redirect's body is read past for as long as a receive may wait, then given up.
        const int Limit = TTimeouts::Wait(Timeouts.Receive);
        if (Limit > 0) WaitMs = std::min(WaitMs, Limit - MsBetween(A.DrainStart, Now) + 1);
        return;
    }
    if (A.TimeoutMs > 0) {
        const int Idle = MsBetween(A.LastActivity, Now);
        if (Idle >= A.TimeoutMs) {
            Abandon();
            Finish(ERROR_WINHTTP_TIMEOUT);
            return;
        }
        WaitMs = std::min(WaitMs, A.TimeoutMs - Idle);
    }
    if (A.Op == TAsyncOp::Receive && FHeadDeadline != TClock::time_point()) {
        const int Left = MsBetween(Now, FHeadDeadline);
        if (Left <= 0) {
            Abandon();
            Finish(ERROR_WINHTTP_TIMEOUT);
            return;
        }
        WaitMs = std::min(WaitMs, Left);
    }
}

DWORD TRequest::BeginSend(const std::vector<std::string>& ExtraHeaders, const void* Optional,
                          DWORD OptionalLength, DWORD TotalLength) {
    if (FAsync.Op != TAsyncOp::None) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    const bool OffersHttp2 =
        HttpVersion != "HTTP/1.0" && (HttpProtocols & WINHTTP_PROTOCOL_FLAG_HTTP2) != 0;
    if (FSlot) {
        if (FInMulti) SettleHub();
        ResetTransfer();  // the last transfer leaves the hub
        if (FSlot->Http2 != OffersHttp2) Session().ReleaseSlot(std::move(FSlot));
    }
    // The easy handle is this request's alone until the loop puts it into the hub.
    if (DWORD Err = StartTransfer(ExtraHeaders, Optional, OptionalLength, TotalLength, OffersHttp2))
        return Err;
    FHub->Adding.push_back(this);
    FAsync.Op = TAsyncOp::Send;
    Await(0);  // curl's connect time-out bounds the connection
    return 0;
}

bool TRequest::StepSend() {
    // Complete once the request went out, or once it waits for the body the caller writes.
    const bool Ready =
        FDone || (FConnected && (!FMoments.SendPending || FBodyOpen || FSentToCurl < FTotal));
    if (!Ready) return false;
    if (FConnected && FMoments.SendPending && !FAsync.HeadSentNoted) {
        // The head went out; the body follows as the caller writes it.
        long HeadBytes = 0;
        curl_easy_getinfo(FSlot->Easy, CURLINFO_REQUEST_SIZE, &HeadBytes);
        Queue(WINHTTP_CALLBACK_STATUS_REQUEST_SENT,
              static_cast<DWORD>(static_cast<std::uint64_t>(HeadBytes) + FSentToCurl));
        FAsync.HeadSentNoted = true;
    }
    const DWORD Err = FDone && FResult != CURLE_OK && !FConnected ? MapFailure() : 0;
    if (Err) {
        FState = TState::Failed;
        if (Err == ERROR_WINHTTP_SECURE_FAILURE)
            Queue(WINHTTP_CALLBACK_STATUS_SECURE_FAILURE, FSecureFlags);
    }
    return Finish(Err);
}

DWORD TRequest::BeginWrite(const void* Data, DWORD Length) {
    if (FAsync.Op != TAsyncOp::None || FState != TState::Sending)
        return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    SettleHub();
    FAsync.Op = TAsyncOp::Write;
    FAsync.Length = Length;
    if (Length == 0) {
        Finish(0, 0);
        return 0;
    }
    // As in the synchronous mode: bytes beyond the announced total count as written and never
    // go on the wire.
    if (FBodyOpen) FTotal += Length;
    const std::uint64_t Room = FTotal - std::min(FTotal, FAccepted);
    const std::size_t Take = static_cast<std::size_t>(std::min<std::uint64_t>(Length, Room));
    FAccepted += Length;
    if (Take == 0) {
        Finish(0, Length);
        return 0;
    }
    FPending = static_cast<const std::uint8_t*>(Data);
    FPendingLen = Take;
    if (FSendPaused) {
        FSendPaused = false;
        curl_easy_pause(FSlot->Easy, FRecvPaused ? CURLPAUSE_RECV : CURLPAUSE_CONT);
    }
    Await(TTimeouts::Wait(Timeouts.Send));
    StepWrite();
    return 0;
}

bool TRequest::StepWrite() {
    if (FPendingLen > 0 && !FDone) return false;
    FPending = nullptr;
    FPendingLen = 0;
    const DWORD Err = FDone && FResult != CURLE_OK ? MapFailure() : 0;
    if (Err) FState = TState::Failed;
    return Finish(Err, Err ? 0 : FAsync.Length);
}

DWORD TRequest::BeginReceive() {
    if (FAsync.Op != TAsyncOp::None || FState != TState::Sending)
        return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    if (!FFinalHead && !FDone && FAccepted < FTotal) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    SettleHub();
    if (FBodyOpen) {
        // The caller has written its last chunk: the body ends with what was written.
        FBodyOpen = false;
        if (FSendPaused) {
            FSendPaused = false;
            curl_easy_pause(FSlot->Easy, FRecvPaused ? CURLPAUSE_RECV : CURLPAUSE_CONT);
        }
    }
    FReceiving = true;  // the response's notifications are this call's
    const int HeadMs = TTimeouts::Wait(Timeouts.ReceiveResponse);
    FHeadDeadline =
        HeadMs > 0 ? TClock::now() + std::chrono::milliseconds(HeadMs) : TClock::time_point();
    FAsync.Op = TAsyncOp::Receive;
    Await(TTimeouts::Wait(Timeouts.Receive));
    StepReceive(TClock::now());
    return 0;
}

// The head of the answer, redirects followed hop by hop, as ReceiveResponse does it.
bool TRequest::StepReceive(TClock::time_point Now) {
    TAsyncState& A = FAsync;
    auto Failed = [this](DWORD Err) {
        FState = TState::Failed;
        FHeadDeadline = {};
        return Finish(Err);
    };
    for (;;) {
        if (A.Draining) {
            if (!FDone && !FDrainCut) {
                const int Limit = TTimeouts::Wait(Timeouts.Receive);
                const bool Late = (Limit > 0 && MsBetween(A.DrainStart, Now) >= Limit) ||
                                  (FHeadDeadline != TClock::time_point() && Now >= FHeadDeadline);
                if (!Late) return false;
                FDrainCut = true;
            }
            A.Draining = false;
        } else {
            if (!FFinalHead && !FRedirectPending && !FDone) return false;
            if (FAuthPending && FDone && FResult == CURLE_OK) FinalHead();
            if (FFinalHead) break;
            if (FRedirectPending && !FDone && !FDrainCut) {
                A.Draining = true;
                A.DrainStart = Now;
                continue;
            }
        }
        if (FRedirectPending && (FResult == CURLE_OK || FDrainCut)) {
            if (DWORD Err = FollowRedirect()) return Failed(Err);
            A.LastActivity = Now;  // each hop waits anew
            A.SeenProgress = FProgress;
            continue;
        }
        if (FResult != CURLE_OK && RetryOnNewConnection()) {
            A.LastActivity = Now;
            A.SeenProgress = FProgress;
            continue;
        }
        return Failed(FResult != CURLE_OK ? MapFailure() : ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
    }
    FState = TState::Received;
    FHeadDeadline = {};
    return Finish(0);
}

DWORD TRequest::BeginAvailable() {
    if (FAsync.Op != TAsyncOp::None || FState != TState::Received)
        return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    SettleHub();
    FAsync.Op = TAsyncOp::Available;
    Await(TTimeouts::Wait(Timeouts.Receive));
    StepAvailable();
    return 0;
}

bool TRequest::StepAvailable() {
    if (FDecoding) {
        if (FDecodedPos >= FDecoded.size()) {
            FDecoded.resize(64 * 1024);
            FDecodedPos = 0;
            DWORD Got = 0;
            const DWORD Err = Decode(FDecoded.data(), static_cast<DWORD>(FDecoded.size()), Got);
            FDecoded.resize(Got);
            if (Err == PendingResult) return false;
            if (Err) return Finish(Err);
        }
        return Finish(0, static_cast<DWORD>(FDecoded.size() - FDecodedPos));
    }
    if (FBufPos == FBuf.size() && !FDone) {
        if (FRecvPaused) {
            FRecvPaused = false;
            curl_easy_pause(FSlot->Easy, FSendPaused ? CURLPAUSE_SEND : CURLPAUSE_CONT);
        }
        if (FBufPos == FBuf.size() && !FDone) return false;
    }
    if (FBufPos == FBuf.size() && FDone && FResult != CURLE_OK) return Finish(MapFailure());
    return Finish(0, static_cast<DWORD>(std::min<std::size_t>(FBuf.size() - FBufPos, UINT32_MAX)));
}

DWORD TRequest::BeginRead(void* Buffer, DWORD Length) {
    if (FAsync.Op != TAsyncOp::None || FState != TState::Received)
        return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    SettleHub();
    FAsync.Op = TAsyncOp::Read;
    FAsync.Buffer = Buffer;
    FAsync.Length = Length;
    if (Length == 0) {
        Finish(0, 0);
        return 0;
    }
    Await(TTimeouts::Wait(Timeouts.Receive));
    StepRead();
    return 0;
}

bool TRequest::StepRead() {
    auto* Out = static_cast<std::uint8_t*>(FAsync.Buffer);
    const DWORD Length = FAsync.Length;
    if (FDecoding) {
        if (FDecodedPos < FDecoded.size()) {
            const std::size_t N = std::min<std::size_t>(Length, FDecoded.size() - FDecodedPos);
            std::memcpy(Out, FDecoded.data() + FDecodedPos, N);
            FDecodedPos += N;
            return Finish(0, static_cast<DWORD>(N));
        }
        DWORD Got = 0;
        const DWORD Err = Decode(Out, Length, Got);
        if (Err == PendingResult) return false;
        return Finish(Err, Err ? 0 : Got);
    }
    auto TakeBuffered = [&] {
        const std::size_t N = std::min<std::size_t>(Length, FBuf.size() - FBufPos);
        std::memcpy(Out, FBuf.data() + FBufPos, N);
        FBufPos += N;
        if (FBufPos == FBuf.size()) {
            FBuf.clear();
            FBufPos = 0;
        }
        return static_cast<DWORD>(N);
    };
    if (!FUserBuf) {
        if (FBufPos < FBuf.size()) return Finish(0, TakeBuffered());
        if (FDone) return Finish(FResult == CURLE_OK ? 0 : MapFailure());
        // Data goes straight into the caller's buffer while the read waits.
        FUserBuf = Out;
        FUserLen = Length;
        FUserGot = 0;
        if (FRecvPaused) {
            FRecvPaused = false;
            curl_easy_pause(FSlot->Easy, FSendPaused ? CURLPAUSE_SEND : CURLPAUSE_CONT);
        }
    }
    if (FUserGot == 0 && FBufPos == FBuf.size() && !FDone) return false;
    FUserBuf = nullptr;
    DWORD Got = static_cast<DWORD>(FUserGot);
    FUserLen = FUserGot = 0;
    if (Got == 0 && FBufPos < FBuf.size()) Got = TakeBuffered();
    if (Got > 0) return Finish(0, Got);
    return Finish(FDone && FResult != CURLE_OK ? MapFailure() : 0);
}

}  // namespace WinHttpImpl
