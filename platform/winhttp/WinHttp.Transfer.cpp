// The transfer of a request: sending, receiving, reading, the loop that drives curl, and
// redirects followed one hop at a time.

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>

#include "Os.Clock.h"
#include "WinHttp.Api.h"
#include "WinHttp.Handles.h"
#include "WinHttp.Headers.h"
#include "WinHttp.Text.h"
#include "WinHttp.Url.h"

namespace WinHttpImpl {

namespace {

// Bytes of response heads one hop may bring, interim answers included, below libcurl's own
// limit so that an overflow is known for what it is. No sane server comes near it.
constexpr std::size_t HeadBytesLimit = 256 * 1024;
// libcurl's own limit for the heads of one transfer, interim ones included; ours is lower, so
// it is reached only where curl counts what we do not.
constexpr std::size_t CurlHeadBytesLimit = 300 * 1024;
// Body bytes of a redirect answer read past to keep its connection; beyond this the
// connection is given up instead.
constexpr std::size_t RedirectDrainLimit = 64 * 1024;

bool IsRedirectCode(int Code) {
    return Code == 301 || Code == 302 || Code == 303 || Code == 307 || Code == 308;
}

/// A parsed URL (curl's URL API), released with the holder.
struct TCurlUrl {
    CURLU* U = curl_url();
    TCurlUrl() {
        if (!U) throw std::bad_alloc();
    }
    ~TCurlUrl() { curl_url_cleanup(U); }
    TCurlUrl(const TCurlUrl&) = delete;
    TCurlUrl& operator=(const TCurlUrl&) = delete;

    std::string Part(CURLUPart Which, unsigned Flags = 0) const {
        char* P = nullptr;
        if (curl_url_get(U, Which, &P, Flags) != CURLUE_OK) return {};
        std::string Text(P);
        curl_free(P);
        return Text;
    }
    /// "scheme://host:port", the port spelled out, the host in lower case.
    std::string Origin() const {
        std::string O = Part(CURLUPART_SCHEME) + "://" + Part(CURLUPART_HOST) + ":" +
                        Part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
        for (char& C : O)
            if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
        return O;
    }
};

}  // namespace

std::int64_t Tick() {
    LARGE_INTEGER T;
    QueryPerformanceCounter(&T);
    return T.QuadPart;
}

thread_local TRequest* GDriving __attribute__((tls_model("initial-exec"))) = nullptr;

// ---------------------------------------------------------------------------------------
// Requests

TRequest::TRequest(std::shared_ptr<TConnect> AConnect) : TObject(WINHTTP_HANDLE_TYPE_REQUEST) {
    Parent = std::move(AConnect);
}

TRequest::~TRequest() {
    if (!FSlot) return;  // never sent
    {
        // Only what of the transfer outlives this object: the rest goes with it.
        TCall Call(*this);
        LeaveMulti();
        FreeHeaderLists();
        if (FDecodeStarted) inflateEnd(FZ.get());
        FSlot->ErrorText[0] = 0;
    }
    // An unfinished transfer was removed from its multi handle above, which closes its
    // connection; the slot itself is clean and goes back to the pool.
    Session().ReleaseSlot(std::move(FSlot));
}

void TRequest::Close() {
    FClosed = true;
    // Waking an idle multi handle would cost the next request on this slot a spurious round.
    // FSlot and FHub were set before FDriving became true.
    if (!FDriving) return;
    curl_multi_wakeup(Multi());
    if (FHub) {
        // A thread of the hub that waits for another's round wakes and sees the flag; taking
        // the lock first means it is either not yet waiting or already woken.
        { std::lock_guard<std::mutex> G(FHub->Lock); }
        FHub->Turn.notify_all();
    }
}

std::string TRequest::Url() const {
    return FCurrentUrl.empty() ? RequestUrl() : FCurrentUrl;
}

std::string TRequest::RequestUrl() const {
    const auto& C = static_cast<const TConnect&>(*Parent);
    INTERNET_PORT Port = C.Port ? C.Port : (Secure ? 443 : 80);
    const bool Brackets = C.Host.find(':') != std::string::npos;  // IPv6 literal
    char PortText[8] = {':'};
    char* PortEnd = std::to_chars(PortText + 1, PortText + sizeof PortText, Port).ptr;
    std::string U;
    U.reserve(8 + C.Host.size() + 2 + 6 + Path.size());
    U += Secure ? "https://" : "http://";
    if (Brackets) U += '[';
    U += C.Host;
    if (Brackets) U += ']';
    U.append(PortText, PortEnd);
    // An object name sent as the caller gave it may hold what a URL cannot.
    if (RawTarget())
        U += UrlPath(Path);
    else
        U += Path;
    return U;
}

bool TRequest::AsksToClose() const {
    for (const auto& L : RequestLines) {
        if (!SameText(HeaderName(L), "Connection")) continue;
        std::string_view V = HeaderValue(L);
        while (!V.empty()) {
            const std::size_t Comma = V.find(',');
            if (SameText(Trim(V.substr(0, Comma)), "close")) return true;
            V = Comma == std::string_view::npos ? std::string_view() : V.substr(Comma + 1);
        }
    }
    return false;
}

bool TRequest::RawTarget() const {
    return std::any_of(Path.begin(), Path.end(), [](char Ch) {
        const unsigned char C = static_cast<unsigned char>(Ch);
        return C <= 0x20 || C == 0x7F || C == '#';
    });
}

void TRequest::LeaveMulti() {
    if (FInMulti) {
        curl_multi_remove_handle(Multi(), FSlot->Easy);
        FInMulti = false;
    }
    if (FAsyncMode) LeaveConnection();
}

// Clears what one hop's answer left behind; the request as the caller set it up stays.
void TRequest::ResetHop() {
    LeaveMulti();
    FConnected = FDone = FHeadLine = FFinalHead = FRedirectPending = FDrainCut = false;
    FAuthPending = false;
    FResult = CURLE_OK;
    FFailure = 0;
    FHeadBytes = FDrained = 0;
    FLocation.clear();
    FSecureFlags = FVerifyFlags = 0;
    FSystemErrorAtConnect = 0;
    FAnnounced = -1;
    FBodyBytes = 0;
    FSlot->ErrorText[0] = 0;
    FSendPaused = FRecvPaused = false;
    FBuf.clear();
    FBufPos = 0;
    // The moments of a hop; those of the whole request (its start, decoding) stay.
    FMoments.TlsStart = FMoments.SendStart = FMoments.SendEnd = 0;
    FMoments.HeadEnd = FMoments.End = FMoments.LastData = 0;
    FMoments.SendPending = false;
    ResponseVersion.clear();
    StatusCode = 0;
    StatusText.clear();
    StatusLine.clear();
    ResponseLines.clear();
    ++FHeadEdits;
    Peer = TPeer();
    ServerCertificate.clear();
    CipherBits = 0;
    FNewConnection = false;
    FHttp2Now = false;
    FAsync.HeadSentNoted = false;
}

void TRequest::ResetTransfer() {
    ResetHop();
    FreeHeaderLists();
    if (FDecodeStarted) inflateEnd(FZ.get());
    FZ.reset();
    FDecoding = FDecodeStarted = FDecodeEnded = FBetweenMembers = FDeflate = false;
    FDecoded.clear();
    FDecodedPos = 0;
    FState = TState::Open;
    FCurrentUrl.clear();
    FHops = 0;
    FTotal = FSentToCurl = FAccepted = 0;
    FCallerChunked = FBodyOpen = false;
    FOptional.clear();
    FOptionalPos = 0;
    FPending = nullptr;
    FPendingLen = 0;
    FUserBuf = nullptr;
    FUserLen = FUserGot = 0;
    FMoments = TMoments();
    FRetried = false;
    FNotes.clear();
    FReceiving = false;
}

DWORD TRequest::Send(const std::vector<std::string>& ExtraHeaders, const void* Optional,
                     DWORD OptionalLength, DWORD TotalLength) {
    if (FDriving) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;  // from a status callback
    const bool OffersHttp2 =
        HttpVersion != "HTTP/1.0" && (HttpProtocols & WINHTTP_PROTOCOL_FLAG_HTTP2) != 0;
    // Requests that may go over HTTP/2 share the session's hub, and with it its connections.
    // One that lets certificate checks go keeps to connections of its own.
    const bool UseHub = OffersHttp2 && Secure && IgnoredCertErrors == 0;
    if (FSlot) {
        TCall Last(*this);  // the last transfer leaves the multi handle it ran in
        ResetTransfer();
        if (FSlot->Http2 != OffersHttp2) Session().ReleaseSlot(std::move(FSlot));
    }
    FHub = UseHub ? &Session().Hub() : nullptr;
    TCall Call(*this);
    if (DWORD Err = StartTransfer(ExtraHeaders, Optional, OptionalLength, TotalLength, OffersHttp2))
        return Err;
    DWORD Err = Drive([this] { return FConnected; }, 0, false);
    if (Err == 0 && FDone && FResult != CURLE_OK && !FConnected) Err = MapFailure();
    if (Err) FState = TState::Failed;
    return Err;
}

DWORD TRequest::StartTransfer(const std::vector<std::string>& ExtraHeaders, const void* Optional,
                              DWORD OptionalLength, DWORD TotalLength, bool OffersHttp2) {
    // The slot comes with the first send, so that requests opened and not yet sent hold no
    // descriptors.
    if (!FSlot) FSlot = Session().AcquireSlot(OffersHttp2);
    ResetTransfer();
    FreshAuthState();
    CURL* E = FSlot->Easy;
    TSession& S = Session();

    FTotal = std::max<std::uint64_t>(TotalLength, OptionalLength);
    RequestLines = AddedHeaders;
    RequestLines.insert(RequestLines.end(), ExtraHeaders.begin(), ExtraHeaders.end());
    if (Decompression) {
        // WinHTTP's own Accept-Encoding replaces the caller's.
        std::erase_if(RequestLines, [](const std::string& L) {
            return SameText(HeaderName(L), "Accept-Encoding");
        });
        const char* Enc = Decompression == WINHTTP_DECOMPRESSION_FLAG_GZIP      ? "gzip"
                          : Decompression == WINHTTP_DECOMPRESSION_FLAG_DEFLATE ? "deflate"
                                                                                : "gzip, deflate";
        RequestLines.push_back(std::string("Accept-Encoding: ") + Enc);
    }
    if (!AcceptTypes.empty() && !HasHeader(RequestLines, "Accept"))
        RequestLines.push_back("Accept: " + AcceptTypes);
    if (!Referrer.empty() && !HasHeader(RequestLines, "Referer"))
        RequestLines.push_back("Referer: " + Referrer);
    if (DWORD Err = CheckFraming()) return Err;
    if (FCallerChunked) {
        // The length of a body the caller chunks is known when the caller says it is over.
        FTotal = OptionalLength;
        FBodyOpen = true;
    }
    if (OptionalLength) {
        auto P = static_cast<const std::uint8_t*>(Optional);
        FOptional.assign(P, P + OptionalLength);
        FAccepted = OptionalLength;
    }
    const bool Body = SendsBody();
    FFirstProxy = SetProxy(Connect().Host, Secure);
    FCurrentUrl = RequestUrl();
    PickCookies(FCurrentUrl);
    ApplyCredentials(true);
    if (!SetHeaders(Body, true, true, true)) return ERROR_NOT_ENOUGH_MEMORY;

    TSlot::TApplied& Ap = FSlot->Applied;
    // The request line carries the object name as escaped at WinHttpOpenRequest, which the
    // URL cannot always hold; redirect hops take theirs from the Location.
    // A plain request through a proxy names its target whole.
    std::string Target;
    if (RawTarget()) {
        const std::size_t PathAt = FCurrentUrl.size() - UrlPath(Path).size();
        Target = FFirstProxy.empty() || Secure ? Path : FCurrentUrl.substr(0, PathAt) + Path;
    }
    SetUrl(FCurrentUrl, Target);
    // HTTP/2 is offered to https servers only (curl's 2TLS), never to plain http.
    FSlot->SetLong(CURLOPT_HTTP_VERSION, Ap.Version,
                   HttpVersion == "HTTP/1.0"                       ? CURL_HTTP_VERSION_1_0
                   : (HttpProtocols & WINHTTP_PROTOCOL_FLAG_HTTP2) ? CURL_HTTP_VERSION_2TLS
                                                                   : CURL_HTTP_VERSION_1_1);
    if (Ap.Owner != this) {
        curl_easy_setopt(E, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(E, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(E, CURLOPT_PREREQDATA, this);
        curl_easy_setopt(E, CURLOPT_READDATA, this);
        curl_easy_setopt(E, CURLOPT_SEEKDATA, this);
        curl_easy_setopt(E, CURLOPT_PRIVATE, this);
        curl_easy_setopt(E, CURLOPT_OPENSOCKETDATA, this);
        Ap.Owner = this;
    }
    if (Ap.Sockets != &Connections()) {
        curl_easy_setopt(E, CURLOPT_CLOSESOCKETDATA, &Connections());
        Ap.Sockets = &Connections();
    }
    FSlot->SetLong(CURLOPT_FRESH_CONNECT, Ap.FreshConnect, 0L);
    // In the hub a request waits for a connection being made to the same origin, which may
    // take it as one more stream, rather than make one of its own; connections made there
    // belong to the hub.
    FSlot->SetLong(CURLOPT_PIPEWAIT, Ap.PipeWait, FHub && OffersHttp2 ? 1L : 0L);
    {
        // The session's agent may be changed by another thread meanwhile.
        std::lock_guard<std::recursive_mutex> G(S.Lock);
        if (!Ap.AgentSet || Ap.Agent != S.Agent) {
            curl_easy_setopt(E, CURLOPT_USERAGENT, S.Agent.empty() ? nullptr : S.Agent.c_str());
            Ap.Agent = S.Agent;
            Ap.AgentSet = true;
        }
    }

    // curl's connect time-out covers name resolution, TCP and TLS; 0 there is not "no limit".
    long ConnectMs = LONG_MAX / 2;
    if (TTimeouts::Wait(Timeouts.Connect) > 0)
        ConnectMs = static_cast<long>(TTimeouts::Wait(Timeouts.Connect)) +
                    TTimeouts::Wait(Timeouts.Resolve);
    FSlot->SetLong(CURLOPT_CONNECTTIMEOUT_MS, Ap.ConnectMs, ConnectMs);
    // A caller that asks for the connection to close after this exchange gets that.
    FSlot->SetLong(
        CURLOPT_FORBID_REUSE, Ap.ForbidReuse,
        (DisabledFeatures & WINHTTP_DISABLE_KEEP_ALIVE) || AsksToClose() || IgnoredCertErrors ? 1L
                                                                                              : 0L);
    ApplyTls();
    SetMethod(Verb, Body);
    FSecureNow = Secure;
    FMethodNow = Verb;
    FBodyNow = Body;

    FMoments.Start = Tick();
    // An asynchronous request's transfer goes to curl on the session's thread (AddSent).
    if (!FAsyncMode) {
        if (curl_multi_add_handle(Multi(), E) != CURLM_OK) return ERROR_WINHTTP_INTERNAL_ERROR;
        FInMulti = true;
    }
    FState = TState::Sending;
    return 0;
}

void TRequest::SetUrl(const std::string& U, const std::string& Target) {
    TSlot::TApplied& Ap = FSlot->Applied;
    if (U != Ap.Url) {
        curl_easy_setopt(FSlot->Easy, CURLOPT_URL, U.c_str());
        Ap.Url = U;
    }
    if (Target != Ap.Target) {
        curl_easy_setopt(FSlot->Easy, CURLOPT_REQUEST_TARGET,
                         Target.empty() ? nullptr : Target.c_str());
        Ap.Target = Target;
    }
}

// The method: each branch sets every option the others touch.
void TRequest::SetMethod(const std::string& Method, bool Body) {
    CURL* E = FSlot->Easy;
    if (Method == "HEAD" && !Body) {
        curl_easy_setopt(E, CURLOPT_CUSTOMREQUEST, nullptr);
        curl_easy_setopt(E, CURLOPT_NOBODY, 1L);
    } else if (Body) {
        curl_easy_setopt(E, CURLOPT_POST, 1L);
        curl_easy_setopt(E, CURLOPT_POSTFIELDSIZE_LARGE,
                         FBodyOpen ? curl_off_t(-1) : static_cast<curl_off_t>(FTotal));
        curl_easy_setopt(E, CURLOPT_CUSTOMREQUEST, Method == "POST" ? nullptr : Method.c_str());
    } else {
        curl_easy_setopt(E, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(E, CURLOPT_CUSTOMREQUEST, Method == "GET" ? nullptr : Method.c_str());
    }
}

// The next hop of a redirect: the Location read against the URL it came with, checked against
// the policy at every hop, then the request the caller described sent there. Never a request
// the caller did not describe: a 303 asks with GET, a POST on 301 and 302 becomes GET, any
// other verb goes again with its body, and where that body is gone the redirect fails.
DWORD TRequest::FollowRedirect() {
    if (FHops >= MaxRedirects) return ERROR_WINHTTP_REDIRECT_FAILED;
    TCurlUrl Target;
    // As curl does when it follows by itself: spaces and 8-bit bytes in the Location are
    // escaped; control characters and the like fail it.
    if (curl_url_set(Target.U, CURLUPART_URL, FCurrentUrl.c_str(), CURLU_PATH_AS_IS) != CURLUE_OK ||
        curl_url_set(Target.U, CURLUPART_URL, FLocation.c_str(),
                     CURLU_URLENCODE | CURLU_ALLOW_SPACE | CURLU_PATH_AS_IS) != CURLUE_OK)
        return ERROR_WINHTTP_REDIRECT_FAILED;
    const std::string Scheme = Target.Part(CURLUPART_SCHEME);
    const bool ToSecure = SameText(Scheme, "https");
    if (!ToSecure && !SameText(Scheme, "http")) return ERROR_WINHTTP_REDIRECT_FAILED;
    if (FSecureNow && !ToSecure && RedirectPolicy != WINHTTP_OPTION_REDIRECT_POLICY_ALWAYS)
        return ERROR_WINHTTP_REDIRECT_FAILED;
    curl_url_set(Target.U, CURLUPART_FRAGMENT, nullptr, 0);
    std::string Next = Target.Part(CURLUPART_URL, CURLU_DEFAULT_PORT);
    const std::string Host = Target.Part(CURLUPART_HOST);
    if (Next.empty() || Host.empty()) return ERROR_WINHTTP_REDIRECT_FAILED;

    std::string Method = FMethodNow;
    bool Body = FBodyNow;
    if (StatusCode == 303) {
        if (Method != "HEAD") Method = "GET";
        Body = false;
    } else if ((StatusCode == 301 || StatusCode == 302) && Method == "POST") {
        Method = "GET";
        Body = false;
    }
    // Data given to WinHttpWriteData is not kept, so only a body that came whole with
    // WinHttpSendRequest can go out again.
    if (Body && FOptional.size() != FTotal) return ERROR_WINHTTP_REDIRECT_FAILED;

    TCurlUrl First;
    const std::string Start = RequestUrl();
    const bool SameOrigin =
        curl_url_set(First.U, CURLUPART_URL, Start.c_str(), CURLU_PATH_AS_IS) == CURLUE_OK &&
        First.Origin() == Target.Origin();

    ResetHop();
    const std::string Proxy = SetProxy(Host, ToSecure);
    PickCookies(Next);
    ApplyCredentials(SameOrigin);
    if (!SetHeaders(Body, Body || !SendsBody(), SameOrigin, Proxy == FFirstProxy))
        return ERROR_NOT_ENOUGH_MEMORY;
    SetUrl(Next, {});
    if (Body) {
        FOptionalPos = 0;
        FSentToCurl = 0;
    }
    SetMethod(Method, Body);
    FCurrentUrl = std::move(Next);
    FSecureNow = ToSecure;
    FMethodNow = std::move(Method);
    FBodyNow = Body;
    ++FHops;
    NoteRedirect();
    FMoments.HopStart = Tick();
    if (curl_multi_add_handle(Multi(), FSlot->Easy) != CURLM_OK)
        return ERROR_WINHTTP_INTERNAL_ERROR;
    FInMulti = true;
    return 0;
}

// A request sent on a reused HTTP/2 connection that the server was giving up (its GOAWAY
// crossed the request on the way) fails in curl's HTTP/2 layer before any answer: the server
// did not take it. It goes once more, on a new connection, where the body can go again.
bool TRequest::RetryOnNewConnection() {
    if (FRetried || !FHttp2Now || FResult != CURLE_HTTP2 || StatusCode != 0 || FFailure ||
        FOptional.size() != FTotal)
        return false;
    long Opened = 0;
    curl_easy_getinfo(FSlot->Easy, CURLINFO_NUM_CONNECTS, &Opened);
    if (Opened != 0) return false;  // its own new connection failed it: that is an answer
    FRetried = true;
    ResetHop();
    FOptionalPos = 0;
    FSentToCurl = 0;
    FSlot->SetLong(CURLOPT_FRESH_CONNECT, FSlot->Applied.FreshConnect, 1L);
    if (curl_multi_add_handle(Multi(), FSlot->Easy) != CURLM_OK) return false;
    FInMulti = true;
    return true;
}

// Reads past the body of a redirect so that its connection can serve the next hop. That body
// is no data for anyone: when it takes longer than the receive time-out (or grows long, see
// OnWrite), the connection is given up instead and the redirect followed on a new one.
DWORD TRequest::DrainRedirect() {
    using TClock = std::chrono::steady_clock;
    const TClock::time_point Start = TClock::now();
    while (!FDone && !FDrainCut) {
        int WaitMs = TTimeouts::Wait(Timeouts.Receive);
        if (WaitMs > 0) {
            auto Spent =
                std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Start)
                    .count();
            if (Spent >= WaitMs) {
                FDrainCut = true;
                break;
            }
            WaitMs -= static_cast<int>(Spent);
        }
        const std::uint64_t Seen = FProgress;
        DWORD Err = Drive([this, Seen] { return FProgress != Seen; }, WaitMs, false);
        if (Err == ERROR_WINHTTP_TIMEOUT)
            FDrainCut = true;
        else if (Err)
            return Err;
    }
    return 0;
}

DWORD TRequest::Write(const void* Data, DWORD Length) {
    if (FDriving) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    TCall Call(*this);
    if (FState != TState::Sending) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    if (Length == 0) return 0;
    // Bytes beyond the announced total would be read as the start of another message:
    // they are counted as written (as WinHTTP does) but never put on the wire.
    if (FBodyOpen) FTotal += Length;  // a body the caller chunks has no announced end
    std::uint64_t Room = FTotal - std::min(FTotal, FAccepted);
    std::size_t Take = static_cast<std::size_t>(std::min<std::uint64_t>(Length, Room));
    FAccepted += Length;
    if (Take == 0) return 0;
    FPending = static_cast<const std::uint8_t*>(Data);
    FPendingLen = Take;
    if (FSendPaused) {
        FSendPaused = false;
        curl_easy_pause(FSlot->Easy, FRecvPaused ? CURLPAUSE_RECV : CURLPAUSE_CONT);
    }
    DWORD Err = Drive([this] { return FPendingLen == 0; }, TTimeouts::Wait(Timeouts.Send), false);
    FPending = nullptr;
    FPendingLen = 0;
    if (Err == 0 && FDone && FResult != CURLE_OK) Err = MapFailure();
    if (Err) FState = TState::Failed;
    return Err;
}

DWORD TRequest::ReceiveResponse() {
    if (FDriving || FState != TState::Sending) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    TCall Call(*this);
    if (!FFinalHead && !FDone && FAccepted < FTotal) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    bool PollFirst = FConnected;
    if (FBodyOpen) {
        // The caller has written its last chunk: the body ends with what was written.
        FBodyOpen = false;
        if (FSendPaused) {
            FSendPaused = false;
            curl_easy_pause(FSlot->Easy, FRecvPaused ? CURLPAUSE_RECV : CURLPAUSE_CONT);
        }
        PollFirst = false;
    }
    // The response's notifications are this call's, even for a head that came in earlier.
    FReceiving = true;
    Deliver();
    // The whole head, redirects included, within its own time-out; the receive time-out
    // bounds each wait for data as before.
    const int HeadMs = TTimeouts::Wait(Timeouts.ReceiveResponse);
    FHeadDeadline = HeadMs > 0
                        ? std::chrono::steady_clock::now() + std::chrono::milliseconds(HeadMs)
                        : std::chrono::steady_clock::time_point();
    struct TEndHead {
        std::chrono::steady_clock::time_point& Deadline;
        ~TEndHead() { Deadline = {}; }
    } EndHead{FHeadDeadline};
    DWORD Err = 0;
    for (;;) {
        Err = Drive([this] { return FFinalHead || FRedirectPending; },
                    TTimeouts::Wait(Timeouts.Receive), PollFirst);
        if (!Err && FAuthPending && FDone && FResult == CURLE_OK) FinalHead();
        if (Err || FFinalHead) break;
        if (FRedirectPending && !FDone) Err = DrainRedirect();
        if (Err) break;
        if (FRedirectPending && (FResult == CURLE_OK || FDrainCut)) {
            Err = FollowRedirect();
            if (Err) break;
            PollFirst = false;
            continue;
        }
        if (FResult != CURLE_OK && RetryOnNewConnection()) {
            PollFirst = false;
            continue;
        }
        Err = FResult != CURLE_OK ? MapFailure() : ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        break;
    }
    FState = Err ? TState::Failed : TState::Received;
    return Err;
}

DWORD TRequest::Read(void* Buffer, DWORD Length, DWORD& Got) {
    Got = 0;
    if (FDriving || FState != TState::Received) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    if (Length == 0) return 0;
    TCall Call(*this);
    auto* Out = static_cast<std::uint8_t*>(Buffer);
    if (FDecoding) {
        if (FDecodedPos < FDecoded.size()) {
            std::size_t N = std::min<std::size_t>(Length, FDecoded.size() - FDecodedPos);
            std::memcpy(Out, FDecoded.data() + FDecodedPos, N);
            FDecodedPos += N;
            Got = static_cast<DWORD>(N);
            return 0;
        }
        return Decode(Out, Length, Got);
    }
    auto TakeBuffered = [&] {
        std::size_t N = std::min<std::size_t>(Length, FBuf.size() - FBufPos);
        std::memcpy(Out, FBuf.data() + FBufPos, N);
        FBufPos += N;
        if (FBufPos == FBuf.size()) {
            FBuf.clear();
            FBufPos = 0;
        }
        Got = static_cast<DWORD>(N);
    };
    if (FBufPos < FBuf.size()) {
        TakeBuffered();
        return 0;
    }
    if (FDone) return FResult == CURLE_OK ? 0 : MapFailure();
    FUserBuf = Out;
    FUserLen = Length;
    FUserGot = 0;
    const bool Unpaused = FRecvPaused;
    if (FRecvPaused) {
        FRecvPaused = false;
        curl_easy_pause(FSlot->Easy, FSendPaused ? CURLPAUSE_SEND : CURLPAUSE_CONT);
    }
    DWORD Err = 0;
    if (FUserGot == 0)
        Err = Drive([this] { return FUserGot > 0 || FBufPos < FBuf.size(); },
                    TTimeouts::Wait(Timeouts.Receive), !Unpaused);
    FUserBuf = nullptr;
    Got = static_cast<DWORD>(FUserGot);
    if (Err == ERROR_WINHTTP_OPERATION_CANCELLED) {
        Got = 0;
        return Err;
    }
    if (Got == 0 && FBufPos < FBuf.size()) TakeBuffered();
    if (Got > 0) return 0;
    if (Err) return Err;
    return FDone && FResult != CURLE_OK ? MapFailure() : 0;
}

DWORD TRequest::Available(DWORD& Count) {
    Count = 0;
    if (FDriving || FState != TState::Received) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    TCall Call(*this);
    if (FDecoding) {
        if (FDecodedPos >= FDecoded.size()) {
            FDecoded.resize(64 * 1024);
            FDecodedPos = 0;
            DWORD Got = 0;
            DWORD Err = Decode(FDecoded.data(), static_cast<DWORD>(FDecoded.size()), Got);
            FDecoded.resize(Got);
            if (Err) return Err;
        }
        Count = static_cast<DWORD>(FDecoded.size() - FDecodedPos);
        return 0;
    }
    if (FBufPos == FBuf.size() && !FDone) {
        if (FRecvPaused) {
            FRecvPaused = false;
            curl_easy_pause(FSlot->Easy, FSendPaused ? CURLPAUSE_SEND : CURLPAUSE_CONT);
        }
        DWORD Err = Drive([this] { return FBufPos < FBuf.size(); },
                          TTimeouts::Wait(Timeouts.Receive), false);
        if (Err) return Err;
    }
    if (FBufPos == FBuf.size() && FDone && FResult != CURLE_OK) return MapFailure();
    Count = static_cast<DWORD>(std::min<std::size_t>(FBuf.size() - FBufPos, UINT32_MAX));
    return 0;
}

// Runs the transfer until Ready() holds, the transfer ends, the handle is closed or no
// progress was made for TimeoutMs (0: no limit of our own).
DWORD TRequest::Drive(const std::function<bool()>& Ready, int TimeoutMs, bool PollFirst) {
    using TClock = std::chrono::steady_clock;
    // The clock is read only when a time-out applies, once per round.
    TClock::time_point LastActivity = TimeoutMs > 0 ? TClock::now() : TClock::time_point();
    std::uint64_t SeenProgress = FProgress;
    // Set before FClosed is read: a Close() either sees it and wakes the poll, or happened
    // early enough for the check below to see FClosed.
    FDriving = true;
    // In a hub the call leaves with the hub's handles its own again: no other thread polls.
    struct TDriving {
        std::atomic<bool>& Flag;
        THubHold* Hold;
        ~TDriving() {
            if (Hold) Hold->Settle();
            Flag = false;
        }
    } Guard{FDriving, FHub ? FHold : nullptr};
    // Right after a round that left nothing to do (PollFirst), waiting comes first: a round
    // before it could only find nothing to do. curl's own timers still bound the wait. What is
    // waited for may even be in already then (a head that came in the round that sent the
    // request): no round of curl is run at all. Without PollFirst the caller may have given
    // curl more to do (the end of a body it chunks), and a round runs first in any case.
    const bool Already = PollFirst && (Ready() || FDone);
    bool Perform = !Already;
    bool Wait = PollFirst && !Already;
    // One more round without waiting once the whole body of stated length is in and curl has
    // not ended the transfer yet (an HTTP/2 stream ends after its last data): it ends it then,
    // without the network, and the calls that follow find it ended instead of running a round
    // (and polling) each.
    bool Finishing = false;
    for (;;) {
        if (FClosed) return ERROR_WINHTTP_OPERATION_CANCELLED;
        if (!Wait) {
            if (Perform && FHub) {
                // Another thread's round may have moved this transfer on, and queued its notes.
                if (!FHub->Polling)
                    if (DWORD Err = HubRound()) return Err;
            } else if (Perform) {
                int Running = 0;
                GDriving = this;
                CURLMcode Mc = curl_multi_perform(FSlot->Multi, &Running);
                GDriving = nullptr;
                if (Mc == CURLM_OUT_OF_MEMORY) return ERROR_NOT_ENOUGH_MEMORY;
                if (Mc != CURLM_OK) return ERROR_WINHTTP_INTERNAL_ERROR;
                int Queued = 0;
                while (CURLMsg* M = curl_multi_info_read(FSlot->Multi, &Queued)) {
                    if (M->msg == CURLMSG_DONE) {
                        FDone = true;
                        FResult = M->data.result;
                        if (FResult == CURLE_OK) FMoments.End = Tick();
                    }
                }
            }
            // A round that handed curl the whole request has put it on the wire.
            if (FMoments.SendPending && !FBodyOpen && FSentToCurl >= FTotal) MarkSent();
            Deliver();  // outside curl: a callback may call back into the API
            if (FClosed) return ERROR_WINHTTP_OPERATION_CANCELLED;
            if (FDone) return 0;
            if (Ready()) {
                if (Finishing || !Perform || !BodyComplete()) return 0;
                Finishing = true;
                continue;
            }
        }
        Wait = false;
        Perform = true;
        if (FClosed) return ERROR_WINHTTP_OPERATION_CANCELLED;
        int WaitMs = 1000;
        if (FHeadDeadline != TClock::time_point()) {
            const auto Left =
                std::chrono::duration_cast<std::chrono::milliseconds>(FHeadDeadline - TClock::now())
                    .count();
            if (Left <= 0) return ERROR_WINHTTP_TIMEOUT;
            WaitMs = static_cast<int>(std::min<long long>(WaitMs, Left));
        }
        if (TimeoutMs > 0) {
            TClock::time_point Now = TClock::now();
            if (FProgress != SeenProgress) {
                SeenProgress = FProgress;
                LastActivity = Now;
            }
            auto Idle =
                std::chrono::duration_cast<std::chrono::milliseconds>(Now - LastActivity).count();
            if (Idle >= TimeoutMs) return ERROR_WINHTTP_TIMEOUT;
            WaitMs = static_cast<int>(std::min<long long>(WaitMs, TimeoutMs - Idle));
        }
        if (FHub) {
            if (DWORD Err = HubWait(WaitMs)) return Err;
            continue;
        }
        if (curl_multi_poll(FSlot->Multi, nullptr, 0, WaitMs, nullptr) != CURLM_OK)
            return ERROR_WINHTTP_INTERNAL_ERROR;
    }
}

DWORD TRequest::HubRound() {
    THub& H = *FHub;
    int Running = 0;
    // Callbacks of other requests run in this round: none of them is this thread's.
    CURLMcode Mc = curl_multi_perform(H.Multi, &Running);
    if (Mc == CURLM_OUT_OF_MEMORY) return ERROR_NOT_ENOUGH_MEMORY;
    if (Mc != CURLM_OK) return ERROR_WINHTTP_INTERNAL_ERROR;
    H.CollectDone();
    ++H.Rounds;
    H.Turn.notify_all();
    return 0;
}

void THub::CollectDone() {
    int Queued = 0;
    while (CURLMsg* M = curl_multi_info_read(Multi, &Queued)) {
        if (M->msg != CURLMSG_DONE) continue;
        char* Owner = nullptr;
        curl_easy_getinfo(M->easy_handle, CURLINFO_PRIVATE, &Owner);
        auto* R = reinterpret_cast<TRequest*>(Owner);
        if (!R) continue;
        R->FDone = true;
        R->FResult = M->data.result;
        if (R->FResult == CURLE_OK) R->FMoments.End = Tick();
        R->Touch();
    }
}

// Waits up to WaitMs for the hub's network: polls for every transfer in it, without the lock,
// unless another thread does so already or wants the handles, in which case this waits for
// its round.
DWORD TRequest::HubWait(int WaitMs) {
    THub& H = *FHub;
    std::unique_lock<std::mutex>& L = FHold->Lock();
    if (H.Polling || H.Waiters > 0) {
        const std::uint64_t Seen = H.Rounds;
        H.Turn.wait_for(L, std::chrono::milliseconds(WaitMs), [&] {
            return FClosed || H.Rounds != Seen || (!H.Polling && H.Waiters == 0);
        });
        return 0;
    }
    H.Polling = true;
    L.unlock();
    const CURLMcode Mc = curl_multi_poll(H.Multi, nullptr, 0, WaitMs, nullptr);
    L.lock();
    H.Polling = false;
    H.Turn.notify_all();
    return Mc == CURLM_OK ? 0 : ERROR_WINHTTP_INTERNAL_ERROR;
}

DWORD TRequest::MapFailure() {
    if (FFailure) return FFailure;  // a callback of ours stopped the transfer, and says why
    switch (FResult) {
        case CURLE_OK:
            return 0;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return ERROR_WINHTTP_NAME_NOT_RESOLVED;
        case CURLE_COULDNT_CONNECT:
            return ERROR_WINHTTP_CANNOT_CONNECT;
        case CURLE_OPERATION_TIMEDOUT:
            return ERROR_WINHTTP_TIMEOUT;
        case CURLE_URL_MALFORMAT:
            // A Location that is not a URL is a failed redirect, not a bad request URL.
            return FHops > 0 ? ERROR_WINHTTP_REDIRECT_FAILED : ERROR_WINHTTP_INVALID_URL;
        case CURLE_TOO_MANY_REDIRECTS:
        case CURLE_SEND_FAIL_REWIND:
            return ERROR_WINHTTP_REDIRECT_FAILED;
        case CURLE_UNSUPPORTED_PROTOCOL:
            // Either a refused redirect target (https to http) or a reply that is not HTTP.
            return FHops > 0 ? ERROR_WINHTTP_REDIRECT_FAILED
                             : ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
            return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        case CURLE_OUT_OF_MEMORY:
            // libcurl refuses a response header line longer than it takes with this code.
            return FConnected && !FFinalHead ? ERROR_WINHTTP_HEADER_SIZE_OVERFLOW
                                             : ERROR_NOT_ENOUGH_MEMORY;
        case CURLE_HTTP2_STREAM: {
            // The stream ended before its end: the server reset it, or HTTP/2's own checks
            // found it broken. One that broke once all its announced body had come brought
            // more than it announced.
            curl_off_t Got = 0;
            curl_easy_getinfo(FSlot->Easy, CURLINFO_SIZE_DOWNLOAD_T, &Got);
            return FFinalHead && FAnnounced >= 0 && Got >= FAnnounced
                       ? ERROR_WINHTTP_INVALID_SERVER_RESPONSE
                       : ERROR_WINHTTP_CONNECTION_ERROR;
        }
        case CURLE_RECV_ERROR: {
            // One code from libcurl for a receive the system failed, for a head longer than it
            // takes and for chunked framing it cannot parse. What it counted of the head and
            // its own words for the failure tell them apart.
            long HeadSize = 0;
            curl_easy_getinfo(FSlot->Easy, CURLINFO_HEADER_SIZE, &HeadSize);
            if (HeadSize > static_cast<long>(CurlHeadBytesLimit))
                return ERROR_WINHTTP_HEADER_SIZE_OVERFLOW;
            // The system's error number cannot say it: curl keeps the one of an earlier failure
            // on a pooled handle, and a reset now reads the same as one before. The first
            // failure of a transfer is the one its error text holds, and curl's chunked decoder
            // names the coding there ("... in chunked-encoding").
            if (FFinalHead && IsChunked(ResponseLines) &&
                std::strstr(FSlot->ErrorText, "chunked-encoding"))
                return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
            long SystemError = 0;
            curl_easy_getinfo(FSlot->Easy, CURLINFO_OS_ERRNO, &SystemError);
            // Over HTTP/2 curl gathers a head whole before passing it on, and one past its buffer
            // fails the connection without a system error before any of it is seen here.
            if (FHttp2Now && StatusCode == 0 && SystemError == FSystemErrorAtConnect)
                return ERROR_WINHTTP_HEADER_SIZE_OVERFLOW;
            return ERROR_WINHTTP_CONNECTION_ERROR;
        }
        case CURLE_PEER_FAILED_VERIFICATION: {
            long Verify = 0;
            curl_easy_getinfo(FSlot->Easy, CURLINFO_SSL_VERIFYRESULT, &Verify);
            FSecureFlags = FVerifyFlags ? FVerifyFlags : VerifyResultFlags(Verify);
            if (FSecureFlags == 0)
                // The chain passed: what refused a certificate it saw is curl's own check of
                // the host name.
                FSecureFlags = ServerCertificate.empty()
                                   ? WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT
                                   : WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID;
            return ERROR_WINHTTP_SECURE_FAILURE;
        }
        case CURLE_SSL_INVALIDCERTSTATUS:
            // Revocation checks were asked for and the server's status could not be had.
            FSecureFlags = WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED;
            return ERROR_WINHTTP_SECURE_FAILURE;
        case CURLE_SSL_CONNECT_ERROR:
            // A certificate can fail the handshake in ways curl reports as a plain handshake
            // error; what OpenSSL found then still says why.
            FSecureFlags =
                FVerifyFlags ? FVerifyFlags : WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR;
            return ERROR_WINHTTP_SECURE_FAILURE;
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_USE_SSL_FAILED:
            FSecureFlags = WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR;
            return ERROR_WINHTTP_SECURE_FAILURE;
        default:
            return ERROR_WINHTTP_CONNECTION_ERROR;
    }
}

// Where this answer redirects to, or empty when it is not a redirect to follow: only 301,
// 302, 303, 307 and 308 are; any other 3xx is a final answer with its own body.
std::string_view TRequest::FollowTarget() const {
    if ((DisabledFeatures & WINHTTP_DISABLE_REDIRECTS) ||
        RedirectPolicy == WINHTTP_OPTION_REDIRECT_POLICY_NEVER || !IsRedirectCode(StatusCode))
        return {};
    for (const auto& L : ResponseLines)
        if (SameText(HeaderName(L), "Location")) return HeaderValue(L);
    return {};
}

void TRequest::MarkSent() {
    FMoments.SendEnd = Tick();
    FMoments.SendPending = false;
    long HeadBytes = 0;
    curl_easy_getinfo(FSlot->Easy, CURLINFO_REQUEST_SIZE, &HeadBytes);
    if (FAsync.HeadSentNoted) return;
    Queue(WINHTTP_CALLBACK_STATUS_REQUEST_SENT,
          static_cast<DWORD>(static_cast<std::uint64_t>(HeadBytes) + FSentToCurl));
}

namespace {

// Whether the head states two different body lengths ("Content-Length: 10" and
// "Content-Length: 12", or "10, 12" in one line). Which one the body follows would be a
// guess, and a guess another party on the path may make differently: the rest of the
// connection could be read as an answer the server never sent.
bool StatesConflictingLengths(const std::vector<std::string>& Lines) {
    std::string_view First;
    for (const auto& L : Lines) {
        if (!SameText(HeaderName(L), "Content-Length")) continue;
        std::string_view Values = HeaderValue(L);
        while (true) {
            const std::size_t Comma = Values.find(',');
            const std::string_view Value = Trim(Values.substr(0, Comma));
            if (First.empty())
                First = Value;
            else if (Value != First)
                return true;
            if (Comma == std::string_view::npos) break;
            Values.remove_prefix(Comma + 1);
        }
    }
    return false;
}

}  // namespace

bool TRequest::HeadComplete() {
    FHeadLine = false;
    if (StatusCode >= 100 && StatusCode < 200) return true;  // interim answers are skipped
    // A redirect's cookies apply to the next hop already.
    if (FHeadLines & SetCookieLine) StoreCookies();
    // Two lengths need two lines, or a list in one.
    if (((FHeadLines & LengthLines) ||
         ((FHeadLines & LengthLine) && ResponseLines[FLengthAt].find(',') != std::string::npos)) &&
        StatesConflictingLengths(ResponseLines)) {
        FFailure = ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        return false;
    }
    std::string_view Target = FollowTarget();
    if (!Target.empty()) {
        FRedirectPending = true;
        FLocation = std::string(Target);
        return true;
    }
    if (ChallengeMayBeAnswered()) {
        FAuthPending = true;
        return true;
    }
    FinalHead();
    return true;
}

void TRequest::FinalHead() {
    FAuthPending = false;
    FFinalHead = true;
    FMoments.HeadEnd = Tick();
    FAnnounced = -1;
    if ((FHeadLines & LengthLine) && FLengthAt < ResponseLines.size()) {
        const std::string_view V = Trim(HeaderValue(ResponseLines[FLengthAt]));
        std::int64_t N = 0;
        const auto [End, Ec] = std::from_chars(V.data(), V.data() + V.size(), N);
        if (Ec == std::errc() && End == V.data() + V.size() && N >= 0) FAnnounced = N;
    }
    if (!Decompression || !(FHeadLines & EncodingLine)) return;
    // Every coding the body went through, in the order they were applied.
    std::vector<std::string_view> Codings;
    for (const auto& L : ResponseLines) {
        if (!SameText(HeaderName(L), "Content-Encoding")) continue;
        std::string_view V = HeaderValue(L);
        while (!V.empty()) {
            const std::size_t Comma = V.find(',');
            const std::string_view C = Trim(V.substr(0, Comma));
            if (!C.empty() && !SameText(C, "identity")) Codings.push_back(C);
            V = Comma == std::string_view::npos ? std::string_view() : V.substr(Comma + 1);
        }
    }
    // Only a body coded once is decoded. One coded in layers comes as it is, with its codings
    // stated: taking off one layer of several would present coded bytes as the body.
    if (Codings.size() == 1) {
        const std::string_view V = Codings[0];
        if ((SameText(V, "gzip") || SameText(V, "x-gzip")) &&
            (Decompression & WINHTTP_DECOMPRESSION_FLAG_GZIP))
            FDecoding = true;
        else if (SameText(V, "deflate") && (Decompression & WINHTTP_DECOMPRESSION_FLAG_DEFLATE))
            FDecoding = FDeflate = true;
    }
    if (FDecoding) {
        // The caller gets the decoded body: the coding and the coded length no longer apply.
        ++FHeadEdits;
        FHeadLines &= ~(LengthLine | LengthLines | EncodingLine);
        std::erase_if(ResponseLines, [](const std::string& L) {
            return SameText(HeaderName(L), "Content-Encoding") ||
                   SameText(HeaderName(L), "Content-Length");
        });
    }
}

size_t TRequest::OnHeader(char* Ptr, size_t Size, size_t Count, void* User) {
    auto* R = static_cast<TRequest*>(User);
    const size_t Len = Size * Count;
    R->Touch();
    std::string_view Line(Ptr, Len);
    while (!Line.empty() && (Line.back() == '\n' || Line.back() == '\r')) Line.remove_suffix(1);
    if (!R->FHeadLine && Line.substr(0, 5) != "HTTP/") return Len;  // trailers and the like
    R->FHeadBytes += Len;
    ++R->FHeadEdits;
    if (R->FHeadBytes > HeadBytesLimit) {
        R->FFailure = ERROR_WINHTTP_HEADER_SIZE_OVERFLOW;
        return 0;
    }
    if (!R->FHeadLine) {
        // A new response head: status line "HTTP/1.1 200 OK". An answer means the request
        // went out, even when it arrived in the round that sent it.
        if (R->FMoments.SendPending) R->MarkSent();
        R->FHeadLine = true;
        R->FHeadMark = R->FHeadBytes - Len;
        R->NoteHead(true);
        R->FAuthPending = false;  // the challenge before was answered
        R->FBodyBytes = 0;
        // An HTTP/2 answer has no status line: curl makes one up ("HTTP/2 200 "), and the one
        // shown is that without the blank it puts where a reason phrase would go.
        if (Line.substr(0, 7) == "HTTP/2 ")
            while (Line.back() == ' ') Line.remove_suffix(1);
        R->StatusLine = std::string(Line);
        R->ResponseLines.clear();
        R->ResponseLines.reserve(16);
        R->FHeadLines = 0;
        // Version, code and reason, separated by blanks of which there may be more than one.
        std::size_t Sp = Line.find(' ');
        R->ResponseVersion = std::string(Line.substr(0, Sp));
        R->StatusCode = 0;
        R->StatusText.clear();
        if (Sp != std::string_view::npos) {
            std::string_view Rest = Line.substr(Sp);
            while (!Rest.empty() && Rest[0] == ' ') Rest.remove_prefix(1);
            std::size_t Sp2 = Rest.find(' ');
            for (char C : Rest.substr(0, Sp2))
                if (C >= '0' && C <= '9') R->StatusCode = R->StatusCode * 10 + (C - '0');
            if (Sp2 != std::string_view::npos) {
                Rest.remove_prefix(Sp2);
                while (!Rest.empty() && Rest[0] == ' ') Rest.remove_prefix(1);
                R->StatusText = std::string(Rest);
            }
        }
        return Len;
    }
    if (Line.empty()) {
        R->NoteHead(false);
        if (!R->HeadComplete()) return 0;
    } else if ((Line[0] == ' ' || Line[0] == '\t') && !R->ResponseLines.empty()) {
        R->ResponseLines.back() += ' ';
        R->ResponseLines.back() += Trim(Line);
    } else {
        R->ResponseLines.emplace_back(Line);
        const std::string_view Name = HeaderName(Line);
        if (SameText(Name, "Set-Cookie")) {
            R->FHeadLines |= SetCookieLine;
        } else if (SameText(Name, "Content-Length")) {
            if (R->FHeadLines & LengthLine) {
                R->FHeadLines |= LengthLines;
            } else {
                R->FHeadLines |= LengthLine;
                R->FLengthAt = R->ResponseLines.size() - 1;
            }
        } else if (SameText(Name, "Content-Encoding")) {
            R->FHeadLines |= EncodingLine;
        }
    }
    return Len;
}

size_t TRequest::OnWrite(char* Ptr, size_t Size, size_t Count, void* User) {
    auto* R = static_cast<TRequest*>(User);
    std::size_t Len = Size * Count;
    R->Touch();
    if (R->FAuthPending) R->FinalHead();  // curl passes on the body of an answer it keeps
    if (R->FRedirectPending) {
        // A redirect's body is nobody's: read past to keep the connection, unless it is long.
        R->FDrained += Len;
        if (R->FDrained <= RedirectDrainLimit) return Len;
        R->FDrainCut = true;
        return 0;
    }
    R->FMoments.LastData = Tick();
    R->FBodyBytes += Len;
    // The rest of a body of stated length: curl ends the transfer in this round, and keeps its
    // connection for the next request, only when it is not paused here. Whatever the caller
    // reads or closes next, nothing more is coming for it.
    const bool Last =
        R->FAnnounced >= 0 && R->FBodyBytes >= static_cast<std::uint64_t>(R->FAnnounced);
    const std::uint8_t* P = reinterpret_cast<const std::uint8_t*>(Ptr);
    if (R->FUserBuf && R->FBufPos == R->FBuf.size()) {
        const std::size_t Room = R->FUserLen - R->FUserGot;
        if (Len <= Room) {
            std::memcpy(R->FUserBuf + R->FUserGot, P, Len);
            R->FUserGot += Len;
            if (Room - Len < Len && !R->FRecvPaused && !Last) {
                // Another piece like this one would not fit: stop curl before it reads it,
                // rather than have it hold a copy for later. While there is room, curl reads
                // on into the buffer as long as the socket has data, so that one read takes
                // what has arrived instead of one receive's worth.
                R->FRecvPaused = true;
                curl_easy_pause(R->FSlot->Easy,
                                CURLPAUSE_RECV | (R->FSendPaused ? CURLPAUSE_SEND : 0));
            }
            return Len;
        }
        if (R->FUserGot > 0 && !Last) {
            // The waiting read has data: stop curl here instead of letting it read on (it
            // reads while the socket has data) into our buffer. It keeps this piece.
            R->FRecvPaused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        std::memcpy(R->FUserBuf + R->FUserGot, P, Room);
        R->FUserGot += Room;
        P += Room;
        Len -= Room;
    } else if (R->FBuf.size() - R->FBufPos >= BufferedLimit && !Last) {
        R->FRecvPaused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (R->FBufPos > 0 && R->FBufPos >= R->FBuf.size() / 2) {
        R->FBuf.erase(R->FBuf.begin(), R->FBuf.begin() + static_cast<std::ptrdiff_t>(R->FBufPos));
        R->FBufPos = 0;
    }
    R->FBuf.insert(R->FBuf.end(), P, P + Len);
    return Size * Count;
}

size_t TRequest::OnRead(char* Ptr, size_t Size, size_t Count, void* User) {
    auto* R = static_cast<TRequest*>(User);
    std::size_t Room = Size * Count;
    R->Touch();
    std::size_t Done = 0;
    if (R->FOptionalPos < R->FOptional.size()) {
        Done = std::min(Room, R->FOptional.size() - R->FOptionalPos);
        std::memcpy(Ptr, R->FOptional.data() + R->FOptionalPos, Done);
        R->FOptionalPos += Done;
    }
    if (Done < Room && R->FPendingLen > 0) {
        std::size_t N = std::min(Room - Done, R->FPendingLen);
        std::memcpy(Ptr + Done, R->FPending, N);
        R->FPending += N;
        R->FPendingLen -= N;
        Done += N;
    }
    R->FSentToCurl += Done;
    if (Done > 0) return Done;
    if (R->FSentToCurl >= R->FTotal && !R->FBodyOpen) return 0;
    R->FSendPaused = true;
    return CURL_READFUNC_PAUSE;
}

// A redirect that keeps the body (307, 308) sends it again: possible only when the whole
// body came with WinHttpSendRequest, since written data is not kept.
int TRequest::OnSeek(void* User, curl_off_t Offset, int Origin) {
    auto* R = static_cast<TRequest*>(User);
    if (Origin != SEEK_SET || Offset != 0 || R->FOptional.size() != R->FTotal)
        return CURL_SEEKFUNC_CANTSEEK;
    R->FOptionalPos = 0;
    R->FSentToCurl = 0;
    return CURL_SEEKFUNC_OK;
}

int TRequest::OnPrereq(void* User, char* RemoteIp, char* LocalIp, int RemotePort, int LocalPort) {
    auto* R = static_cast<TRequest*>(User);
    R->Touch();
    R->FHttp2Now = R->NegotiatedHttp2();
    if (R->ProtocolRequired && (R->HttpProtocols & WINHTTP_PROTOCOL_FLAG_HTTP2) && !R->FHttp2Now) {
        // Nothing of the request goes out over a protocol the caller ruled out.
        R->FFailure = ERROR_WINHTTP_HTTP_PROTOCOL_MISMATCH;
        return CURL_PREREQFUNC_ABORT;
    }
    // An HTTP/2 body ends with its stream, and its length is checked against the one announced
    // below curl: curl would stop reading at that length and never learn of more coming.
    R->FSlot->SetLong(CURLOPT_IGNORE_CONTENT_LENGTH, R->FSlot->Applied.IgnoreLength,
                      R->FHttp2Now ? 1L : 0L);
    R->NoteConnected(RemoteIp, LocalIp, RemotePort, LocalPort);
    R->FConnected = true;
    curl_easy_getinfo(R->FSlot->Easy, CURLINFO_OS_ERRNO, &R->FSystemErrorAtConnect);
    R->FMoments.SendStart = Tick();
    R->FMoments.SendPending = true;
    R->Touch();
    return CURL_PREREQFUNC_OK;
}

}  // namespace WinHttpImpl

using namespace WinHttpImpl;

extern "C" {

WINHTTPAPI BOOL WINAPI WinHttpSendRequest(HINTERNET hRequest, LPCWSTR lpszHeaders,
                                          DWORD dwHeadersLength, LPVOID lpOptional,
                                          DWORD dwOptionalLength, DWORD dwTotalLength,
                                          DWORD_PTR dwContext) {
    return Guard(
        [&]() -> BOOL {
            DWORD Err = 0;
            auto R = LookupAs<TRequest>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST, Err);
            if (!R) return Fail(Err);
            std::vector<std::string> Lines;
            // A length of 0 with a block means it is NUL-terminated, as -1 does.
            if (!ParseHeaderBlock(lpszHeaders, dwHeadersLength ? dwHeadersLength : DWORD(-1),
                                  Lines) ||
                (dwOptionalLength && !lpOptional))
                return Fail(ERROR_INVALID_PARAMETER);
            std::lock_guard<std::recursive_mutex> G(R->Lock);
            R->SetContext(dwContext);
            if (R->Async())
                return StartAsync(R, [&] {
                    return R->BeginSend(Lines, lpOptional, dwOptionalLength, dwTotalLength);
                });
            Err = R->Send(Lines, lpOptional, dwOptionalLength, dwTotalLength);
            if (Err == ERROR_WINHTTP_SECURE_FAILURE) {
                DWORD Flags = R->SecureFlags();
                R->Notify(WINHTTP_CALLBACK_STATUS_SECURE_FAILURE, &Flags, sizeof Flags);
            }
            return Err ? Fail(Err) : Succeed();
        },
        FALSE);
}

WINHTTPAPI BOOL WINAPI WinHttpWriteData(HINTERNET hRequest, LPCVOID lpBuffer,
                                        DWORD dwNumberOfBytesToWrite,
                                        LPDWORD lpdwNumberOfBytesWritten) {
    return Guard(
        [&]() -> BOOL {
            if (lpdwNumberOfBytesWritten) *lpdwNumberOfBytesWritten = 0;
            DWORD Err = 0;
            auto R = LookupAs<TRequest>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST, Err);
            if (!R) return Fail(Err);
            if (R->Async() && !(!lpBuffer && dwNumberOfBytesToWrite)) {
                // The count comes with WRITE_COMPLETE.
                std::lock_guard<std::recursive_mutex> G(R->Lock);
                return StartAsync(R,
                                  [&] { return R->BeginWrite(lpBuffer, dwNumberOfBytesToWrite); });
            }
            if (!lpdwNumberOfBytesWritten || (!lpBuffer && dwNumberOfBytesToWrite))
                return Fail(ERROR_INVALID_PARAMETER);
            std::lock_guard<std::recursive_mutex> G(R->Lock);
            Err = R->Write(lpBuffer, dwNumberOfBytesToWrite);
            if (Err) return Fail(Err);
            *lpdwNumberOfBytesWritten = dwNumberOfBytesToWrite;
            return Succeed();
        },
        FALSE);
}

WINHTTPAPI BOOL WINAPI WinHttpReceiveResponse(HINTERNET hRequest, LPVOID lpReserved) {
    return Guard(
        [&]() -> BOOL {
            DWORD Err = 0;
            auto R = LookupAs<TRequest>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST, Err);
            if (!R) return Fail(Err);
            if (lpReserved) return Fail(ERROR_INVALID_PARAMETER);
            std::lock_guard<std::recursive_mutex> G(R->Lock);
            if (R->Async()) return StartAsync(R, [&] { return R->BeginReceive(); });
            Err = R->ReceiveResponse();
            return Err ? Fail(Err) : Succeed();
        },
        FALSE);
}

WINHTTPAPI BOOL WINAPI WinHttpReadData(HINTERNET hRequest, LPVOID lpBuffer,
                                       DWORD dwNumberOfBytesToRead, LPDWORD lpdwNumberOfBytesRead) {
    return Guard(
        [&]() -> BOOL {
            if (lpdwNumberOfBytesRead) *lpdwNumberOfBytesRead = 0;
            DWORD Err = 0;
            auto R = LookupAs<TRequest>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST, Err);
            if (!R) return Fail(Err);
            if (R->Async() && !(!lpBuffer && dwNumberOfBytesToRead)) {
                // The count comes with READ_COMPLETE.
                std::lock_guard<std::recursive_mutex> G(R->Lock);
                return StartAsync(R, [&] { return R->BeginRead(lpBuffer, dwNumberOfBytesToRead); });
            }
            if (!lpdwNumberOfBytesRead || (!lpBuffer && dwNumberOfBytesToRead))
                return Fail(ERROR_INVALID_PARAMETER);
            std::lock_guard<std::recursive_mutex> G(R->Lock);
            DWORD Got = 0;
            Err = R->Read(lpBuffer, dwNumberOfBytesToRead, Got);
            if (Err) return Fail(Err);
            *lpdwNumberOfBytesRead = Got;
            return Succeed();
        },
        FALSE);
}

WINHTTPAPI BOOL WINAPI WinHttpQueryDataAvailable(HINTERNET hRequest,
                                                 LPDWORD lpdwNumberOfBytesAvailable) {
    return Guard(
        [&]() -> BOOL {
            // A failed call leaves the count as it was.
            DWORD Err = 0;
            auto R = LookupAs<TRequest>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST, Err);
            if (!R) return Fail(Err);
            if (R->Async()) {
                // The count comes with DATA_AVAILABLE.
                if (lpdwNumberOfBytesAvailable) *lpdwNumberOfBytesAvailable = 0;
                std::lock_guard<std::recursive_mutex> G(R->Lock);
                return StartAsync(R, [&] { return R->BeginAvailable(); });
            }
            if (!lpdwNumberOfBytesAvailable) return Fail(ERROR_INVALID_PARAMETER);
            std::lock_guard<std::recursive_mutex> G(R->Lock);
            DWORD Count = 0;
            Err = R->Available(Count);
            if (Err) return Fail(Err);
            *lpdwNumberOfBytesAvailable = Count;
            return Succeed();
        },
        FALSE);
}

}  // extern "C"
