#include "WinHttpAsyncDriver.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace TestSupport {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string Decimal(std::uint64_t N) {
    return std::to_string(N);
}

std::string Hex(DWORD N) {
    char Text[16];
    std::snprintf(Text, sizeof Text, "0x%x", static_cast<unsigned>(N));
    return Text;
}

/// One request in flight: what the callbacks and the starting thread share. Held by a
/// shared_ptr from the registry below, so a callback that finds it keeps it alive.
struct TState {
    TAsyncRequest R;
    HINTERNET Request = nullptr;
    std::vector<char> Buffer;

    std::mutex Lock;
    std::condition_variable Changed;
    TAsyncOutcome Out;                       // under Lock
    std::map<std::thread::id, int> Numbers;  // thread -> its number, under Lock
    int Inside = 0;                          // threads inside callbacks of the request
    bool Ended = false;                      // READ_COMPLETE 0, REQUEST_ERROR or a refused call
    bool CloseIssued = false;                // the driver has closed (or is closing) the handle
    bool ClosingSeen = false;
    bool ReceiveIssued = false;         // WinHttpReceiveResponse returned TRUE
    bool ReadIssuedAfterBytes = false;  // a read or query returned TRUE after bytes came
    bool GotBytes = false;
    std::size_t WrittenSoFar = 0;  // of R.Written, counted from WRITE_COMPLETE
};

// Every request in flight, by the context value its send was given. A callback with a context
// that is not here is counted, never followed.
std::mutex RegistryLock;
std::map<DWORD_PTR, std::shared_ptr<TState>> Registry;
std::atomic<int> Strays{0};

// Callbacks of each request on this thread's stack.
thread_local std::map<const TState*, int> Depths;

int ThreadNumber(TState& S) {
    auto [It, New] = S.Numbers.emplace(std::this_thread::get_id(), 0);
    if (New) It->second = static_cast<int>(S.Numbers.size());
    return It->second;
}

/// Closes the request handle once; AtStep says it is the step asked for, unless the request
/// has already ended.
void Close(TState& S, bool AtStep) {
    {
        const std::lock_guard<std::mutex> G(S.Lock);
        if (S.CloseIssued) return;
        S.CloseIssued = true;
        S.Out.ClosedAtStep = AtStep && !S.Ended;
    }
    Nimbra::WinHttpCloseHandle(S.Request);
}

/// Notes that a call is about to start, before it is made: a library may run the operation
/// inside the call, and the close "while it is pending" must be able to come then too.
void Starting(TState& S, const char* Call) {
    const std::lock_guard<std::mutex> G(S.Lock);
    if (std::strcmp(Call, "receive") == 0) {
        S.ReceiveIssued = true;
    } else if (S.GotBytes && std::strcmp(Call, "send") != 0) {
        S.ReadIssuedAfterBytes = true;
    }
    S.Changed.notify_all();
}

/// Notes the outcome of a call started from a callback (or the send).
void Started(TState& S, const char* Call, BOOL Ok) {
    if (Ok) return;
    const DWORD Error = GetLastError();
    const std::lock_guard<std::mutex> G(S.Lock);
    if (!S.CloseIssued && S.Out.RefusedCall.empty()) {
        S.Out.RefusedCall = Call;
        S.Out.RefusedError = Error;
    }
    S.Ended = true;
    S.Changed.notify_all();
}

bool Closing(TState& S) {
    const std::lock_guard<std::mutex> G(S.Lock);
    return S.CloseIssued;
}

/// The next step of the body: ask what is there, or read straight on.
void NextRead(TState& S, DWORD Available) {
    if (Closing(S)) return;
    if (S.R.QueryFirst && Available == ~DWORD{0}) {
        Starting(S, "query");
        Started(S, "query", Nimbra::WinHttpQueryDataAvailable(S.Request, nullptr));
        return;
    }
    DWORD Size = S.R.Piece;
    if (Available != ~DWORD{0} && Available != 0) Size = std::min(Size, Available);
    Starting(S, "read");
    Started(S, "read", Nimbra::WinHttpReadData(S.Request, S.Buffer.data(), Size, nullptr));
}

void Record(TState& S, DWORD Status, LPVOID Info, DWORD Length, int Depth) {
    TNotification N;
    N.Status = Status;
    N.Length = Length;
    N.Depth = Depth;
    switch (Status) {
        case Async::ResolvingName:
        case Async::NameResolved:
        case Async::ConnectingToServer:
        case Async::ConnectedToServer:
        case Async::Redirect:
            if (Info) {
                // The length counts characters for REDIRECT; for the others it is not stated,
                // so the text ends at its NUL within a generous bound.
                const auto* Text = static_cast<const char16_t*>(Info);
                const DWORD Bound = Length ? Length : 4096;
                for (DWORD I = 0; I < Bound && Text[I]; ++I)
                    N.Text += Text[I] < 0x80 ? static_cast<char>(Text[I]) : '?';
            }
            break;
        case Async::RequestSent:
        case Async::ResponseReceived:
        case Async::IntermediateResponse:
        case Async::SecureFailure:
        case Async::DataAvailable:
        case Async::WriteComplete:
            if (Info && Length >= sizeof(DWORD)) {
                N.HasNumber = true;
                std::memcpy(&N.Number, Info, sizeof(DWORD));
            }
            break;
        case Async::RequestError:
            if (Info && Length >= sizeof(Async::TResult)) {
                Async::TResult Result;
                std::memcpy(&Result, Info, sizeof Result);
                N.Api = Result.dwResult;
                N.Error = Result.dwError;
            }
            break;
        case Async::ReadComplete:
            N.OwnBuffer = Info == S.Buffer.data();
            break;
        case Async::HandleCreated:
        case Async::HandleClosing:
            if (Info && Length >= sizeof(HINTERNET)) {
                HINTERNET H;
                std::memcpy(&H, Info, sizeof H);
                N.NamesHandle = H == S.Request;
            }
            break;
        default:
            break;
    }
    const std::lock_guard<std::mutex> G(S.Lock);
    N.Thread = ThreadNumber(S);
    N.AfterClose = S.CloseIssued;
    if (S.ClosingSeen) ++S.Out.AfterClosing;
    if (Status == Async::HandleClosing) S.ClosingSeen = true;
    if (Status == Async::ReadComplete && Info && Length > 0 && Length <= S.Buffer.size())
        S.Out.Body.append(static_cast<const char*>(Info), Length);
    if (Status == Async::RequestError || (Status == Async::ReadComplete && Length == 0))
        S.Ended = true;
    S.Out.MaxDepth = std::max(S.Out.MaxDepth, Depth);
    S.Out.Events.push_back(std::move(N));
    S.Changed.notify_all();
}

/// What a program does on each completion: start the next operation, or close at the step
/// asked for.
void Act(TState& S, DWORD Status, LPVOID Info, DWORD Length) {
    switch (Status) {
        case Async::WriteComplete: {
            DWORD Written = 0;
            if (Info && Length >= sizeof(DWORD)) std::memcpy(&Written, Info, sizeof Written);
            // A write that took nothing would be asked again and again: the request stops here.
            if (Written == 0) return;
            S.WrittenSoFar += Written;
        }
            [[fallthrough]];
        case Async::SendRequestComplete:
            if (S.R.CloseAt == TCloseAt::InSendComplete) return Close(S, true);
            if (Closing(S)) return;
            if (S.WrittenSoFar < S.R.Written.size()) {
                const DWORD Size = static_cast<DWORD>(
                    std::min<std::size_t>(S.R.WritePiece, S.R.Written.size() - S.WrittenSoFar));
                Starting(S, "write");
                Started(S, "write",
                        Nimbra::WinHttpWriteData(S.Request, S.R.Written.data() + S.WrittenSoFar,
                                                 Size, nullptr));
                return;
            }
            Starting(S, "receive");
            Started(S, "receive", Nimbra::WinHttpReceiveResponse(S.Request, nullptr));
            return;
        case Async::HeadersAvailable: {
            if (Closing(S)) return;
            DWORD Code = 0, Size = sizeof Code;
            Nimbra::WinHttpQueryHeaders(S.Request,
                                        WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                        nullptr, &Code, &Size, nullptr);
            std::string Raw;
            DWORD Bytes = 0;
            if (!Nimbra::WinHttpQueryHeaders(S.Request, WINHTTP_QUERY_RAW_HEADERS_CRLF, nullptr,
                                             nullptr, &Bytes, nullptr) &&
                GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
                std::u16string Text(Bytes / 2, u'\0');
                if (Nimbra::WinHttpQueryHeaders(S.Request, WINHTTP_QUERY_RAW_HEADERS_CRLF, nullptr,
                                                Text.data(), &Bytes, nullptr)) {
                    Text.resize(Bytes / 2);
                    for (char16_t C : Text) Raw += C < 0x80 ? static_cast<char>(C) : '?';
                }
            }
            DWORD Protocol = 0;
            Size = sizeof Protocol;
            if (!Nimbra::WinHttpQueryOption(S.Request, WINHTTP_OPTION_HTTP_PROTOCOL_USED, &Protocol,
                                            &Size))
                Protocol = 0;
            {
                const std::lock_guard<std::mutex> G(S.Lock);
                S.Out.StatusCode = Code;
                S.Out.RawHeaders = Raw;
                S.Out.Protocol = Protocol;
            }
            if (S.R.CloseAt == TCloseAt::InHeadersAvailable) return Close(S, true);
            return NextRead(S, ~DWORD{0});
        }
        case Async::DataAvailable: {
            DWORD Available = 0;
            if (Info && Length >= sizeof Available) std::memcpy(&Available, Info, sizeof Available);
            return NextRead(S, Available);
        }
        case Async::ReadComplete:
            if (Length == 0) return;
            {
                const std::lock_guard<std::mutex> G(S.Lock);
                S.GotBytes = true;
            }
            if (S.R.CloseAt == TCloseAt::MidBody) return Close(S, true);
            return NextRead(S, ~DWORD{0});
        default:
            return;
    }
}

void WINAPI OnStatus(HINTERNET, DWORD_PTR Context, DWORD Status, LPVOID Info, DWORD Length) {
    std::shared_ptr<TState> Held;
    {
        const std::lock_guard<std::mutex> G(RegistryLock);
        const auto It = Registry.find(Context);
        if (It != Registry.end()) Held = It->second;
    }
    if (!Held) {
        ++Strays;
        return;
    }
    TState& S = *Held;
    int& Depth = Depths[&S];
    if (Depth == 0) {
        const std::lock_guard<std::mutex> G(S.Lock);
        if (++S.Inside > 1) S.Out.Overlapped = true;
    }
    ++Depth;
    Record(S, Status, Info, Length, Depth);
    Act(S, Status, Info, Length);
    // Depth may refer to a map entry that nested callbacks on this thread left alone; look it
    // up again rather than keep the reference across them.
    if (--Depths[&S] == 0) {
        Depths.erase(&S);
        const std::lock_guard<std::mutex> G(S.Lock);
        --S.Inside;
        S.Changed.notify_all();
    }
}

}  // namespace

std::string ApiName(DWORD_PTR Api) {
    switch (Api) {
        case Async::ApiReceiveResponse:
            return "receive";
        case Async::ApiQueryDataAvailable:
            return "query";
        case Async::ApiReadData:
            return "read";
        case Async::ApiWriteData:
            return "write";
        case Async::ApiSendRequest:
            return "send";
        default:
            return "api" + Decimal(Api);
    }
}

std::string TNotification::Describe() const {
    const std::string Name = StatusName(Status);
    switch (Status) {
        case Async::RequestError:
            return Name + " " + ApiName(Api) + " " + Decimal(Error);
        case Async::ReadComplete:
            return Name + " " + Decimal(Length);
        case Async::SecureFailure:
            return Name + " " + (HasNumber ? Hex(Number) : "?");
        case Async::DataAvailable:
        case Async::IntermediateResponse:
        case Async::RequestSent:
        case Async::ResponseReceived:
        case Async::WriteComplete:
            return Name + " " + (HasNumber ? std::to_string(Number) : "?");
        default:
            return Text.empty() ? Name : Name + " " + Text;
    }
}

std::string TAsyncOutcome::Completions() const {
    std::vector<std::string> Tokens;
    for (const TNotification& N : Events) {
        switch (N.Status) {
            case Async::SendRequestComplete:
            case Async::HeadersAvailable:
            case Async::WriteComplete:
            case Async::HandleClosing:
                Tokens.push_back(StatusName(N.Status));
                break;
            case Async::SecureFailure:
            case Async::RequestError:
                Tokens.push_back(N.Describe());
                break;
            case Async::DataAvailable:
            case Async::ReadComplete: {
                const bool Bytes =
                    N.Status == Async::ReadComplete ? N.Length > 0 : N.HasNumber && N.Number > 0;
                if (!Bytes)
                    Tokens.push_back(N.Describe());
                else if (Tokens.empty() || Tokens.back() != "BODY")
                    Tokens.push_back("BODY");
                break;
            }
            default:
                break;
        }
    }
    std::string Out;
    for (const auto& T : Tokens) Out += (Out.empty() ? "" : " ") + T;
    return Out;
}

std::string TAsyncOutcome::Legs() const {
    std::vector<std::string> Tokens;
    // The stretch of receiving under way: whether anything was received, and 1xx notices.
    bool Received = false, Interim = false, InterimFirst = false;
    auto Flush = [&](bool Keep) {
        if (Keep && InterimFirst) {
            Tokens.push_back("INTERMEDIATE_BEFORE_RECEIVED");
        } else if (Keep && Received) {
            Tokens.push_back("RESPONSE_RECEIVED");
            if (Interim) Tokens.push_back("INTERMEDIATE_RESPONSE");
        }
        Received = Interim = InterimFirst = false;
    };
    for (const TNotification& N : Events) {
        bool Stop = false;
        switch (N.Status) {
            case Async::ReceivingResponse:
                break;
            case Async::ResponseReceived:
                Received = true;
                break;
            case Async::IntermediateResponse:
                if (!Received) InterimFirst = true;
                Interim = true;
                break;
            case Async::SendingRequest:
            case Async::RequestSent:
            case Async::SendRequestComplete:
            case Async::Redirect:
                Flush(true);
                Tokens.push_back(StatusName(N.Status));
                break;
            case Async::HeadersAvailable:
                Flush(true);
                Tokens.push_back(StatusName(N.Status));
                Stop = true;
                break;
            case Async::RequestError:
                Flush(false);
                Tokens.push_back(N.Describe());
                Stop = true;
                break;
            default:
                break;
        }
        if (Stop) break;
    }
    std::string Out;
    for (const auto& T : Tokens) Out += (Out.empty() ? "" : " ") + T;
    return Out;
}

int TAsyncOutcome::Count(DWORD Status) const {
    return static_cast<int>(std::count_if(
        Events.begin(), Events.end(), [&](const TNotification& N) { return N.Status == Status; }));
}

std::vector<TNotification> TAsyncOutcome::Of(DWORD Status) const {
    std::vector<TNotification> Out;
    for (const TNotification& N : Events)
        if (N.Status == Status) Out.push_back(N);
    return Out;
}

std::string TAsyncOutcome::Dump() const {
    std::string Out = "notifications (thread/depth):\n";
    for (const TNotification& N : Events)
        Out += "  " + N.Describe() + "  [" + Decimal(static_cast<std::uint64_t>(N.Thread)) + "/" +
               Decimal(static_cast<std::uint64_t>(N.Depth)) +
               (N.AfterClose ? ", after close" : "") + "]\n";
    if (!RefusedCall.empty()) Out += "refused: " + RefusedCall + " " + Decimal(RefusedError) + "\n";
    if (Stuck) Out += "the request did not end in time\n";
    if (!Closed) Out += "no HANDLE_CLOSING in time\n";
    return Out;
}

TAsyncOutcome RunAsync(HINTERNET Session, const TAsyncRequest& R) {
    static std::atomic<DWORD_PTR> NextContext{0x5EED0000};
    const DWORD_PTR Context = ++NextContext;
    auto S = std::make_shared<TState>();
    S->R = R;
    S->Buffer.resize(R.Piece);
    {
        const std::lock_guard<std::mutex> G(S->Lock);
        ThreadNumber(*S);  // the starting thread is 1
    }
    const int StraysBefore = Strays;

    auto Refuse = [&](const char* Call) {
        const DWORD Error = GetLastError();
        const std::lock_guard<std::mutex> G(S->Lock);
        S->Out.RefusedCall = Call;
        S->Out.RefusedError = Error;
        S->Out.Closed = true;  // no request handle to wait for
        return S->Out;
    };
    std::u16string Host(R.Host.begin(), R.Host.end());
    std::u16string Path(R.Path.begin(), R.Path.end());
    HINTERNET Connection =
        Nimbra::WinHttpConnect(Session, Host.c_str(), static_cast<INTERNET_PORT>(R.Port), 0);
    if (!Connection) return Refuse("connect");
    struct TConnectionGuard {
        HINTERNET H;
        ~TConnectionGuard() { Nimbra::WinHttpCloseHandle(H); }
    } ConnectionGuard{Connection};
    S->Request = Nimbra::WinHttpOpenRequest(Connection, R.Verb.c_str(), Path.c_str(), nullptr,
                                            nullptr, nullptr, R.Flags);
    if (!S->Request) return Refuse("open");
    auto Setup = [&]() -> const char* {
        if (!Nimbra::WinHttpSetTimeouts(S->Request, R.ConnectTimeoutMs, R.ConnectTimeoutMs,
                                        R.ConnectTimeoutMs, R.TimeoutMs))
            return "timeouts";
        DWORD V = WINHTTP_DISABLE_REDIRECTS;
        if (R.NoRedirects &&
            !Nimbra::WinHttpSetOption(S->Request, WINHTTP_OPTION_DISABLE_FEATURE, &V, sizeof V))
            return "redirects";
        V = R.Decompression;
        if (V && !Nimbra::WinHttpSetOption(S->Request, WINHTTP_OPTION_DECOMPRESSION, &V, sizeof V))
            return "decompression";
        if (Nimbra::WinHttpSetStatusCallback(S->Request, OnStatus, Async::AllNotifications, 0) ==
            WINHTTP_INVALID_STATUS_CALLBACK)
            return "callback";
        return nullptr;
    };
    if (const char* Failed = Setup()) {
        TAsyncOutcome Out = Refuse(Failed);
        Nimbra::WinHttpCloseHandle(S->Request);
        return Out;
    }
    {
        const std::lock_guard<std::mutex> G(RegistryLock);
        Registry[Context] = S;
    }

    Started(
        *S, "send",
        Nimbra::WinHttpSendRequest(S->Request, R.Headers.empty() ? nullptr : R.Headers.c_str(),
                                   static_cast<DWORD>(R.Headers.size()),
                                   R.Body.empty() ? nullptr : const_cast<char*>(R.Body.data()),
                                   static_cast<DWORD>(R.Body.size()),
                                   static_cast<DWORD>(R.Body.size() + R.Written.size()), Context));
    if (R.CloseAt == TCloseAt::AfterSend) Close(*S, true);

    // Wait for the end, or for the pending operation to close it under.
    const auto Sent = Clock::now();
    const auto Deadline = Sent + std::chrono::milliseconds(R.WaitMs);
    {
        std::unique_lock<std::mutex> L(S->Lock);
        if (R.CloseAt == TCloseAt::AfterDelay) {
            S->Changed.wait_until(L, Sent + std::chrono::milliseconds(R.CloseAfterMs),
                                  [&] { return S->Ended || S->CloseIssued; });
            L.unlock();
            Close(*S, true);
            L.lock();
        }
        auto PendingStep = [&] {
            return (R.CloseAt == TCloseAt::ReceivePending && S->ReceiveIssued) ||
                   (R.CloseAt == TCloseAt::ReadPending && S->ReadIssuedAfterBytes);
        };
        S->Changed.wait_until(L, Deadline,
                              [&] { return S->Ended || S->CloseIssued || PendingStep(); });
        if (!S->Ended && !S->CloseIssued && PendingStep()) {
            // Long enough that the operation is waiting on the server, not on its way.
            L.unlock();
            std::this_thread::sleep_for(200ms);
            Close(*S, true);
            L.lock();
        }
        S->Changed.wait_until(L, Deadline, [&] { return S->Ended || S->CloseIssued; });
        S->Out.Stuck = !S->Ended && !S->CloseIssued;
    }
    Close(*S, false);

    // HANDLE_CLOSING, and every callback of the request left; then a moment for stragglers.
    {
        std::unique_lock<std::mutex> L(S->Lock);
        S->Out.Closed = S->Changed.wait_for(L, std::chrono::milliseconds(R.WaitMs),
                                            [&] { return S->ClosingSeen && S->Inside == 0; });
    }
    if (S->Out.Closed) std::this_thread::sleep_for(100ms);
    {
        const std::lock_guard<std::mutex> G(RegistryLock);
        Registry.erase(Context);
    }
    const std::lock_guard<std::mutex> G(S->Lock);
    std::vector<int> Seen;
    for (const TNotification& N : S->Out.Events)
        if (std::find(Seen.begin(), Seen.end(), N.Thread) == Seen.end()) Seen.push_back(N.Thread);
    S->Out.Threads = static_cast<int>(Seen.size());
    S->Out.WrongContext = Strays - StraysBefore;
    return S->Out;
}

}  // namespace TestSupport
