#include "WinHttp.Handles.h"

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "Os.Clock.h"
#include "WinHttp.Text.h"

namespace WinHttpImpl {

namespace {

// curl's receive buffer: on loopback its size, not curl, sets the pace of large bodies.
constexpr long ReceiveBufferSize = 512 * 1024;
// Bytes held for a caller that reads slower than the network delivers; beyond this the
// transfer pauses. One more curl buffer may arrive on top of it.
constexpr std::size_t BufferedLimit = 1024 * 1024;
// Idle transfer slots a session keeps for later requests.
constexpr std::size_t SlotPoolLimit = 16;

std::int64_t Tick() {
    LARGE_INTEGER T;
    QueryPerformanceCounter(&T);
    return T.QuadPart;
}

bool IsRedirectCode(int Code) {
    return Code == 301 || Code == 302 || Code == 303 || Code == 307 || Code == 308;
}

std::string_view HeaderName(std::string_view Line) {
    std::size_t Colon = Line.find(':');
    return Colon == std::string_view::npos ? Line : Trim(Line.substr(0, Colon));
}

std::string_view HeaderValue(std::string_view Line) {
    std::size_t Colon = Line.find(':');
    return Colon == std::string_view::npos ? std::string_view() : Trim(Line.substr(Colon + 1));
}

bool HasHeader(const std::vector<std::string>& Lines, std::string_view Name) {
    for (const auto& L : Lines)
        if (SameText(HeaderName(L), Name)) return true;
    return false;
}

// The request whose transfer this thread is driving: certificate checks run inside it.
thread_local TRequest* tDriving = nullptr;

// Maps OpenSSL's verify result to WinHTTP's secure-failure flags.
DWORD VerifyResultFlags(long Result) {
    switch (Result) {
        case X509_V_OK:
        case X509_V_ERR_UNSPECIFIED:
            return 0;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_INVALID_CA:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_CERT_REJECTED:
        case X509_V_ERR_PATH_LENGTH_EXCEEDED:
            return WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA;
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
            return WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID;
        case X509_V_ERR_INVALID_PURPOSE:
            return WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE;
        case X509_V_ERR_CERT_REVOKED:
            return WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED;
        case X509_V_ERR_UNABLE_TO_GET_CRL:
        case X509_V_ERR_CRL_HAS_EXPIRED:
        case X509_V_ERR_CRL_NOT_YET_VALID:
            return WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID;
        default:
            return WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT;
    }
}

// Bypass entries are separated by ";", "," or blanks; "<local>" matches names without a
// dot, "*" wildcards match any run of characters.
bool WildMatch(std::string_view Pattern, std::string_view Text) {
    if (Pattern.empty()) return Text.empty();
    if (Pattern[0] == '*') {
        for (std::size_t I = 0; I <= Text.size(); ++I)
            if (WildMatch(Pattern.substr(1), Text.substr(I))) return true;
        return false;
    }
    if (Text.empty()) return false;
    char A = Pattern[0], B = Text[0];
    if (A >= 'A' && A <= 'Z') A = static_cast<char>(A - 'A' + 'a');
    if (B >= 'A' && B <= 'Z') B = static_cast<char>(B - 'A' + 'a');
    return A == B && WildMatch(Pattern.substr(1), Text.substr(1));
}

std::vector<std::string_view> SplitList(std::string_view S) {
    std::vector<std::string_view> Out;
    std::size_t I = 0;
    while (I < S.size()) {
        while (I < S.size() && std::strchr(";, \t", S[I])) ++I;
        std::size_t J = I;
        while (J < S.size() && !std::strchr(";, \t", S[J])) ++J;
        if (J > I) Out.push_back(S.substr(I, J - I));
        I = J;
    }
    return Out;
}

bool Bypassed(std::string_view Bypass, std::string_view Host) {
    for (std::string_view E : SplitList(Bypass)) {
        if (E == "<local>" ? Host.find('.') == std::string_view::npos : WildMatch(E, Host))
            return true;
    }
    return false;
}

// The proxy for a scheme from a list such as "proxy:8080" or "http=a:1;https=b:2".
std::string PickProxy(std::string_view List, bool Secure) {
    std::string Generic;
    for (std::string_view E : SplitList(List)) {
        std::size_t Eq = E.find('=');
        if (Eq == std::string_view::npos) {
            if (Generic.empty()) Generic = std::string(E);
            continue;
        }
        std::string_view Scheme = E.substr(0, Eq);
        if (SameText(Scheme, Secure ? "https" : "http")) return std::string(E.substr(Eq + 1));
    }
    return Generic;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Slots and sessions

TSlot::TSlot() : Multi(curl_multi_init()), Easy(curl_easy_init()) {
    if (!Multi || !Easy) throw std::bad_alloc();
}

TSlot::~TSlot() {
    curl_slist_free_all(PlainHeaders);
    if (Easy) curl_easy_cleanup(Easy);
    if (Multi) curl_multi_cleanup(Multi);
}

TSession::TSession() : TObject(WINHTTP_HANDLE_TYPE_SESSION) {
    Share = curl_share_init();
    if (!Share) throw std::bad_alloc();
    curl_share_setopt(Share, CURLSHOPT_LOCKFUNC, &TSession::LockShare);
    curl_share_setopt(Share, CURLSHOPT_UNLOCKFUNC, &TSession::UnlockShare);
    curl_share_setopt(Share, CURLSHOPT_USERDATA, this);
    curl_share_setopt(Share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(Share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(Share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
}

TSession::~TSession() {
    FPool.clear();  // every easy handle leaves the share before it goes
    curl_share_cleanup(Share);
}

void TSession::LockShare(CURL*, curl_lock_data Data, curl_lock_access, void* User) {
    static_cast<TSession*>(User)->FShareLocks[Data].lock();
}

void TSession::UnlockShare(CURL*, curl_lock_data Data, void* User) {
    static_cast<TSession*>(User)->FShareLocks[Data].unlock();
}

std::unique_ptr<TSlot> TSession::AcquireSlot() {
    {
        std::lock_guard<std::mutex> G(FPoolLock);
        if (!FPool.empty()) {
            auto S = std::move(FPool.back());
            FPool.pop_back();
            return S;
        }
    }
    // What stays the same for every request of the session is set once per easy handle; the
    // handle is never reset, so its buffers and curl's per-handle state are reused.
    auto Slot = std::make_unique<TSlot>();
    CURL* E = Slot->Easy;
    curl_easy_setopt(E, CURLOPT_SHARE, Share);
    curl_easy_setopt(E, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(E, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(E, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(E, CURLOPT_BUFFERSIZE, ReceiveBufferSize);
    curl_easy_setopt(E, CURLOPT_WRITEFUNCTION, &TRequest::OnWrite);
    curl_easy_setopt(E, CURLOPT_HEADERFUNCTION, &TRequest::OnHeader);
    curl_easy_setopt(E, CURLOPT_PREREQFUNCTION, &TRequest::OnPrereq);
    curl_easy_setopt(E, CURLOPT_READFUNCTION, &TRequest::OnRead);
    curl_easy_setopt(E, CURLOPT_SEEKFUNCTION, &TRequest::OnSeek);
    curl_easy_setopt(E, CURLOPT_HTTP_CONTENT_DECODING, 0L);  // decoded here, as read
    curl_easy_setopt(E, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(E, CURLOPT_ERRORBUFFER, Slot->ErrorText);
    // Certificates are always verified.
    curl_easy_setopt(E, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(E, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(E, CURLOPT_SSL_CTX_FUNCTION, &TRequest::OnSslContext);
    if (!CaFile.empty()) curl_easy_setopt(E, CURLOPT_CAINFO, CaFile.c_str());
    if (!CaPath.empty()) curl_easy_setopt(E, CURLOPT_CAPATH, CaPath.c_str());
    // Access types 0 and 4 leave curl to read the environment as it always does.
    if (AccessType == WINHTTP_ACCESS_TYPE_NO_PROXY) curl_easy_setopt(E, CURLOPT_PROXY, "");
    return Slot;
}

void TSession::ReleaseSlot(std::unique_ptr<TSlot> Slot) {
    if (!Slot) return;
    std::lock_guard<std::mutex> G(FPoolLock);
    if (FPool.size() < SlotPoolLimit) FPool.push_back(std::move(Slot));
}

// ---------------------------------------------------------------------------------------
// Requests

TRequest::TRequest(std::shared_ptr<TConnect> AConnect, std::unique_ptr<TSlot> ASlot)
    : TObject(WINHTTP_HANDLE_TYPE_REQUEST), FSlot(std::move(ASlot)) {
    Parent = std::move(AConnect);
}

TRequest::~TRequest() {
    ResetTransfer();
    // An unfinished transfer was removed from its multi handle above, which closes its
    // connection; the slot itself is clean and goes back to the pool.
    Session().ReleaseSlot(std::move(FSlot));
}

void TRequest::Close() {
    FClosed = true;
    // Waking an idle multi handle would cost the next request on this slot a spurious round.
    if (FDriving) curl_multi_wakeup(FSlot->Multi);
}

std::string TRequest::Url() const {
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
    U += Path;
    return U;
}

void TRequest::ResetTransfer() {
    if (FInMulti) {
        curl_multi_remove_handle(FSlot->Multi, FSlot->Easy);
        FInMulti = false;
    }
    if (FHeaderList) {
        curl_slist_free_all(FHeaderList);
        FHeaderList = nullptr;
    }
    if (FDecodeStarted) inflateEnd(FZ.get());
    FZ.reset();
    FDecoding = FDecodeStarted = FDecodeEnded = FDeflate = false;
    FDecoded.clear();
    FDecodedPos = 0;
    FState = EState::Open;
    FConnected = FDone = FRedirectSeen = FHeadLine = FFinalHead = false;
    FResult = CURLE_OK;
    FSecureFlags = FVerifyFlags = 0;
    FSlot->ErrorText[0] = 0;
    FTotal = FSentToCurl = FAccepted = 0;
    FOptional.clear();
    FOptionalPos = 0;
    FPending = nullptr;
    FPendingLen = 0;
    FSendPaused = FRecvPaused = false;
    FBuf.clear();
    FBufPos = 0;
    FUserBuf = nullptr;
    FUserLen = FUserGot = 0;
    FMoments = TMoments();
    ResponseVersion.clear();
    StatusCode = 0;
    StatusText.clear();
    StatusLine.clear();
    ResponseLines.clear();
}

DWORD TRequest::Send(const std::vector<std::string>& ExtraHeaders, const void* Optional,
                     DWORD OptionalLength, DWORD TotalLength) {
    ResetTransfer();
    CURL* E = FSlot->Easy;
    TSession& S = Session();

    FTotal = std::max<std::uint64_t>(TotalLength, OptionalLength);
    if (OptionalLength) {
        auto P = static_cast<const std::uint8_t*>(Optional);
        FOptional.assign(P, P + OptionalLength);
        FAccepted = OptionalLength;
    }
    const bool Body = FTotal > 0 || Verb == "POST" || Verb == "PUT" || Verb == "PATCH";

    // Header lines: ours, then the caller's; curl's own defaults that WinHTTP would not
    // send are switched off with "Name:".
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
    curl_slist* Headers = nullptr;
    if (RequestLines.empty() && !Body) {
        // The common case needs the same list every time: kept with the slot.
        if (!FSlot->PlainHeaders) FSlot->PlainHeaders = curl_slist_append(nullptr, "Accept:");
        Headers = FSlot->PlainHeaders;
    } else {
        for (const auto& L : RequestLines) {
            std::string Name(HeaderName(L));
            std::string_view Value = HeaderValue(L);
            // curl drops "Name:" lines; "Name;" is its way to send an empty value.
            std::string Item = Value.empty() ? Name + ";" : Name + ": " + std::string(Value);
            FHeaderList = curl_slist_append(FHeaderList, Item.c_str());
        }
        if (!HasHeader(RequestLines, "Accept"))
            FHeaderList = curl_slist_append(FHeaderList, "Accept:");
        if (Body && !HasHeader(RequestLines, "Expect"))
            FHeaderList = curl_slist_append(FHeaderList, "Expect:");
        if (Body && !HasHeader(RequestLines, "Content-Type"))
            FHeaderList = curl_slist_append(FHeaderList, "Content-Type:");
        Headers = FHeaderList;
    }
    if (!Headers) return ERROR_NOT_ENOUGH_MEMORY;

    TSlot::TApplied& Ap = FSlot->Applied;
    auto SetLong = [E](CURLoption Option, long& Last, long Value) {
        if (Last != Value) curl_easy_setopt(E, Option, Value);
        Last = Value;
    };
    std::string U = Url();
    if (U != Ap.Url) {
        curl_easy_setopt(E, CURLOPT_URL, U.c_str());
        Ap.Url = std::move(U);
    }
    SetLong(CURLOPT_HTTP_VERSION, Ap.Version,
            HttpVersion == "HTTP/1.0" ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
    if (!Ap.HeadersSet || Ap.Headers != Headers) {
        curl_easy_setopt(E, CURLOPT_HTTPHEADER, Headers);
        Ap.Headers = Headers;
        Ap.HeadersSet = true;
    }
    curl_easy_setopt(E, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(E, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(E, CURLOPT_PREREQDATA, this);
    curl_easy_setopt(E, CURLOPT_READDATA, this);
    curl_easy_setopt(E, CURLOPT_SEEKDATA, this);
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
    if (Timeouts.Connect > 0)
        ConnectMs =
            static_cast<long>(Timeouts.Connect) + (Timeouts.Resolve > 0 ? Timeouts.Resolve : 0);
    SetLong(CURLOPT_CONNECTTIMEOUT_MS, Ap.ConnectMs, ConnectMs);

    const bool Follow = !(DisabledFeatures & WINHTTP_DISABLE_REDIRECTS) &&
                        RedirectPolicy != WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    const bool Downgrade = RedirectPolicy == WINHTTP_OPTION_REDIRECT_POLICY_ALWAYS;
    SetLong(CURLOPT_FOLLOWLOCATION, Ap.Follow, Follow ? 1L : 0L);
    SetLong(CURLOPT_MAXREDIRS, Ap.MaxRedirs, static_cast<long>(MaxRedirects));
    const char* Redir = Secure && !Downgrade ? "https" : "http,https";
    if (Ap.RedirProtocols != Redir) {
        curl_easy_setopt(E, CURLOPT_REDIR_PROTOCOLS_STR, Redir);
        Ap.RedirProtocols = Redir;
    }
    SetLong(CURLOPT_FORBID_REUSE, Ap.ForbidReuse,
            (DisabledFeatures & WINHTTP_DISABLE_KEEP_ALIVE) ? 1L : 0L);

    if (S.AccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
        std::string Proxy =
            Bypassed(S.ProxyBypass, Connect().Host) ? "" : PickProxy(S.ProxyList, Secure);
        curl_easy_setopt(E, CURLOPT_PROXY, Proxy.c_str());
    }

    // The method: each branch sets every option the others touch.
    if (Verb == "HEAD" && !Body) {
        curl_easy_setopt(E, CURLOPT_CUSTOMREQUEST, nullptr);
        curl_easy_setopt(E, CURLOPT_NOBODY, 1L);
    } else if (Body) {
        curl_easy_setopt(E, CURLOPT_POST, 1L);
        curl_easy_setopt(E, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(FTotal));
        curl_easy_setopt(E, CURLOPT_CUSTOMREQUEST, Verb == "POST" ? nullptr : Verb.c_str());
    } else {
        curl_easy_setopt(E, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(E, CURLOPT_CUSTOMREQUEST, Verb == "GET" ? nullptr : Verb.c_str());
    }

    FMoments.Start = Tick();
    if (curl_multi_add_handle(FSlot->Multi, E) != CURLM_OK) return ERROR_WINHTTP_INTERNAL_ERROR;
    FInMulti = true;
    FState = EState::Sending;

    DWORD Err = Drive([this] { return FConnected; }, 0, false);
    if (Err == 0 && FDone && FResult != CURLE_OK && !FConnected) Err = MapFailure();
    if (Err) FState = EState::Failed;
    return Err;
}

DWORD TRequest::Write(const void* Data, DWORD Length) {
    if (FState != EState::Sending) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    if (Length == 0) return 0;
    // Bytes beyond the announced total would be read as the start of another message:
    // they are counted as written (as WinHTTP does) but never put on the wire.
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
    DWORD Err = Drive([this] { return FPendingLen == 0; }, Timeouts.Send, false);
    FPending = nullptr;
    FPendingLen = 0;
    if (Err == 0 && FDone && FResult != CURLE_OK) Err = MapFailure();
    if (Err) FState = EState::Failed;
    return Err;
}

DWORD TRequest::ReceiveResponse() {
    if (FState != EState::Sending) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    if (!FFinalHead && !FDone && FAccepted < FTotal) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    DWORD Err = Drive([this] { return FFinalHead; }, Timeouts.Receive, FConnected);
    if (Err == 0 && !FFinalHead)
        Err = FResult != CURLE_OK ? MapFailure() : ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    FState = Err ? EState::Failed : EState::Received;
    return Err;
}

DWORD TRequest::Read(void* Buffer, DWORD Length, DWORD& Got) {
    Got = 0;
    if (FState != EState::Received) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    if (Length == 0) return 0;
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
        Err = Drive([this] { return FUserGot > 0 || FBufPos < FBuf.size(); }, Timeouts.Receive,
                    !Unpaused);
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
    if (FState != EState::Received) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
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
        DWORD Err = Drive([this] { return FBufPos < FBuf.size(); }, Timeouts.Receive, false);
        if (Err) return Err;
    }
    if (FBufPos == FBuf.size() && FDone && FResult != CURLE_OK) return MapFailure();
    Count = static_cast<DWORD>(std::min<std::size_t>(FBuf.size() - FBufPos, UINT32_MAX));
    return 0;
}

DWORD TRequest::Decode(void* Out, DWORD Length, DWORD& Got) {
    Got = 0;
    for (;;) {
        std::size_t Avail = FBuf.size() - FBufPos;
        if (!FDecodeEnded && Avail > 0 && (FDecodeStarted || !FDeflate || Avail >= 2 || FDone)) {
            if (!FDecodeStarted) {
                int Bits = 47;  // gzip, or zlib from servers that label it gzip
                if (FDeflate) {
                    // "deflate" is meant to be zlib-wrapped; some servers send it raw.
                    unsigned B0 = FBuf[FBufPos], B1 = Avail > 1 ? FBuf[FBufPos + 1] : 0;
                    bool Zlib = (B0 & 0x0F) == 8 && ((B0 << 8) | B1) % 31 == 0;
                    Bits = Zlib ? 15 : -15;
                }
                FZ = std::make_unique<z_stream>();
                if (inflateInit2(FZ.get(), Bits) != Z_OK) {
                    FZ.reset();
                    return ERROR_NOT_ENOUGH_MEMORY;
                }
                FDecodeStarted = true;
            }
            FZ->next_in = FBuf.data() + FBufPos;
            FZ->avail_in = static_cast<uInt>(std::min<std::size_t>(Avail, UINT_MAX));
            FZ->next_out = static_cast<Bytef*>(Out);
            FZ->avail_out = Length;
            const std::int64_t Before = Tick();
            int Rc = inflate(FZ.get(), Z_NO_FLUSH);
            FMoments.DecodeTicks += std::max<std::int64_t>(1, Tick() - Before);
            std::size_t Used = std::min<std::size_t>(Avail, UINT_MAX) - FZ->avail_in;
            FBufPos += Used;
            Got = Length - FZ->avail_out;
            if (Rc == Z_STREAM_END) {
                FDecodeEnded = true;
                // Concatenated gzip members form one body.
                if (!FDeflate && FBuf.size() - FBufPos >= 2 && FBuf[FBufPos] == 0x1f &&
                    FBuf[FBufPos + 1] == 0x8b) {
                    inflateReset(FZ.get());
                    FDecodeEnded = false;
                }
            } else if (Rc != Z_OK && Rc != Z_BUF_ERROR) {
                FState = EState::Failed;
                return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
            }
            if (FBufPos == FBuf.size()) {
                FBuf.clear();
                FBufPos = 0;
            } else if (FBufPos > BufferedLimit / 2) {
                FBuf.erase(FBuf.begin(), FBuf.begin() + static_cast<std::ptrdiff_t>(FBufPos));
                FBufPos = 0;
            }
            if (Got > 0) return 0;
            if (Used > 0) continue;
        }
        if (FDecodeEnded) {
            // Anything after the end of the compressed data is not part of the body.
            FBuf.clear();
            FBufPos = 0;
        }
        if (FDone) {
            if (FResult != CURLE_OK) return MapFailure();
            if (!FDecodeStarted || FDecodeEnded) return 0;
            FState = EState::Failed;
            return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;  // compressed data cut short
        }
        std::size_t Before = FBuf.size() - FBufPos;
        if (FRecvPaused) {
            FRecvPaused = false;
            curl_easy_pause(FSlot->Easy, FSendPaused ? CURLPAUSE_SEND : CURLPAUSE_CONT);
        }
        DWORD Err = Drive([this, Before] { return FBuf.size() - FBufPos > Before; },
                          Timeouts.Receive, false);
        if (Err) return Err;
    }
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
    struct TDriving {
        std::atomic<bool>& Flag;
        ~TDriving() { Flag = false; }
    } Guard{FDriving};
    // Right after a round that left nothing to do, waiting comes first: a round before it
    // could only find nothing to do. curl's own timers still bound the wait.
    bool Wait = PollFirst && !Ready() && !FDone;
    for (;;) {
        if (FClosed) return ERROR_WINHTTP_OPERATION_CANCELLED;
        if (!Wait) {
            int Running = 0;
            tDriving = this;
            CURLMcode Mc = curl_multi_perform(FSlot->Multi, &Running);
            tDriving = nullptr;
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
            // A round that handed curl the whole request has put it on the wire.
            if (FMoments.SendPending && FSentToCurl >= FTotal) MarkSent();
            if (Ready() || FDone) return 0;
        }
        Wait = false;
        if (FClosed) return ERROR_WINHTTP_OPERATION_CANCELLED;
        int WaitMs = 1000;
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
        if (curl_multi_poll(FSlot->Multi, nullptr, 0, WaitMs, nullptr) != CURLM_OK)
            return ERROR_WINHTTP_INTERNAL_ERROR;
    }
}

DWORD TRequest::MapFailure() {
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
            return FRedirectSeen ? ERROR_WINHTTP_REDIRECT_FAILED : ERROR_WINHTTP_INVALID_URL;
        case CURLE_TOO_MANY_REDIRECTS:
        case CURLE_SEND_FAIL_REWIND:
            return ERROR_WINHTTP_REDIRECT_FAILED;
        case CURLE_UNSUPPORTED_PROTOCOL:
            // Either a refused redirect target (https to http) or a reply that is not HTTP.
            return FRedirectSeen ? ERROR_WINHTTP_REDIRECT_FAILED
                                 : ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
            return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        case CURLE_OUT_OF_MEMORY:
            return ERROR_NOT_ENOUGH_MEMORY;
        case CURLE_PEER_FAILED_VERIFICATION: {
            long Verify = 0;
            curl_easy_getinfo(FSlot->Easy, CURLINFO_SSL_VERIFYRESULT, &Verify);
            FSecureFlags = FVerifyFlags ? FVerifyFlags : VerifyResultFlags(Verify);
            if (FSecureFlags == 0)
                // The chain passed; curl's own host-name check refused the certificate.
                FSecureFlags = std::strstr(FSlot->ErrorText, "host name") ||
                                       std::strstr(FSlot->ErrorText, "subject name")
                                   ? WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID
                                   : WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT;
            return ERROR_WINHTTP_SECURE_FAILURE;
        }
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
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_USE_SSL_FAILED:
            FSecureFlags = WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR;
            return ERROR_WINHTTP_SECURE_FAILURE;
        default:
            return ERROR_WINHTTP_CONNECTION_ERROR;
    }
}

bool TRequest::WillFollow() const {
    if ((DisabledFeatures & WINHTTP_DISABLE_REDIRECTS) ||
        RedirectPolicy == WINHTTP_OPTION_REDIRECT_POLICY_NEVER || !IsRedirectCode(StatusCode))
        return false;
    for (const auto& L : ResponseLines)
        if (SameText(HeaderName(L), "Location") && !HeaderValue(L).empty()) return true;
    return false;
}

void TRequest::MarkSent() {
    FMoments.SendEnd = Tick();
    FMoments.SendPending = false;
}

void TRequest::HeadComplete() {
    FHeadLine = false;
    if (StatusCode >= 100 && StatusCode < 200) return;  // interim answers are skipped
    if (WillFollow()) {
        FRedirectSeen = true;
        // The next hop's phases are what curl adds to its sums from here on.
        curl_off_t Us[4] = {};
        curl_easy_getinfo(FSlot->Easy, CURLINFO_NAMELOOKUP_TIME_T, &Us[0]);
        curl_easy_getinfo(FSlot->Easy, CURLINFO_CONNECT_TIME_T, &Us[1]);
        curl_easy_getinfo(FSlot->Easy, CURLINFO_APPCONNECT_TIME_T, &Us[2]);
        curl_easy_getinfo(FSlot->Easy, CURLINFO_STARTTRANSFER_TIME_T, &Us[3]);
        FMoments.HopLookupUs = Us[0];
        FMoments.HopConnectUs = Us[1];
        FMoments.HopTlsUs = Us[2];
        FMoments.HopFirstByteUs = Us[3];
        return;
    }
    FFinalHead = true;
    FMoments.HeadEnd = Tick();
    if (!Decompression) return;
    for (const auto& L : ResponseLines) {
        if (!SameText(HeaderName(L), "Content-Encoding")) continue;
        std::string_view V = HeaderValue(L);
        if ((SameText(V, "gzip") || SameText(V, "x-gzip")) &&
            (Decompression & WINHTTP_DECOMPRESSION_FLAG_GZIP))
            FDecoding = true;
        else if (SameText(V, "deflate") && (Decompression & WINHTTP_DECOMPRESSION_FLAG_DEFLATE))
            FDecoding = FDeflate = true;
        break;
    }
    if (FDecoding) {
        // The caller gets the decoded body: the coding and the coded length no longer apply.
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
    if (!R->FHeadLine) {
        if (Line.substr(0, 5) != "HTTP/") return Len;  // trailers and the like
        // A new response head: status line "HTTP/1.1 200 OK". An answer means the request
        // went out, even when it arrived in the round that sent it.
        if (R->FMoments.SendPending) R->MarkSent();
        R->FHeadLine = true;
        R->StatusLine = std::string(Line);
        R->ResponseLines.clear();
        R->ResponseLines.reserve(16);
        std::size_t Sp = Line.find(' ');
        R->ResponseVersion = std::string(Line.substr(0, Sp));
        R->StatusCode = 0;
        R->StatusText.clear();
        if (Sp != std::string_view::npos) {
            std::string_view Rest = Line.substr(Sp + 1);
            std::size_t Sp2 = Rest.find(' ');
            for (char C : Rest.substr(0, Sp2))
                if (C >= '0' && C <= '9') R->StatusCode = R->StatusCode * 10 + (C - '0');
            if (Sp2 != std::string_view::npos) R->StatusText = std::string(Rest.substr(Sp2 + 1));
        }
        return Len;
    }
    if (Line.empty()) {
        R->HeadComplete();
    } else if ((Line[0] == ' ' || Line[0] == '\t') && !R->ResponseLines.empty()) {
        R->ResponseLines.back() += ' ';
        R->ResponseLines.back() += Trim(Line);
    } else {
        R->ResponseLines.emplace_back(Line);
    }
    return Len;
}

size_t TRequest::OnWrite(char* Ptr, size_t Size, size_t Count, void* User) {
    auto* R = static_cast<TRequest*>(User);
    std::size_t Len = Size * Count;
    R->Touch();
    R->FMoments.LastData = Tick();
    const std::uint8_t* P = reinterpret_cast<const std::uint8_t*>(Ptr);
    if (R->FUserBuf && R->FBufPos == R->FBuf.size()) {
        const std::size_t Room = R->FUserLen - R->FUserGot;
        if (Len <= Room) {
            std::memcpy(R->FUserBuf + R->FUserGot, P, Len);
            R->FUserGot += Len;
            if (Room - Len < static_cast<std::size_t>(ReceiveBufferSize)) {
                // The next piece might not fit: stop curl before it reads it, rather than
                // have it hold a copy for later.
                R->FRecvPaused = true;
                curl_easy_pause(R->FSlot->Easy,
                                CURLPAUSE_RECV | (R->FSendPaused ? CURLPAUSE_SEND : 0));
            }
            return Len;
        }
        if (R->FUserGot > 0) {
            // The waiting read has data: stop curl here instead of letting it read on (it
            // reads while the socket has data) into our buffer. It keeps this piece.
            R->FRecvPaused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        std::memcpy(R->FUserBuf, P, Room);
        R->FUserGot = Room;
        P += Room;
        Len -= Room;
    } else if (R->FBuf.size() - R->FBufPos >= BufferedLimit) {
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
    if (R->FSentToCurl >= R->FTotal) return 0;
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

// Watches OpenSSL's certificate checks without changing their outcome.
CURLcode TRequest::OnSslContext(CURL*, void* SslCtx, void*) {
    // Called for each new connection as its handshake begins.
    if (tDriving) tDriving->FMoments.TlsStart = Tick();
    auto* Ctx = static_cast<SSL_CTX*>(SslCtx);
    SSL_CTX_set_verify(Ctx, SSL_CTX_get_verify_mode(Ctx), &TRequest::OnVerify);
    return CURLE_OK;
}

int TRequest::OnVerify(int Ok, X509_STORE_CTX* StoreCtx) {
    if (!Ok && tDriving)
        tDriving->FVerifyFlags |= VerifyResultFlags(X509_STORE_CTX_get_error(StoreCtx));
    return Ok;
}

int TRequest::OnPrereq(void* User, char*, char*, int, int) {
    auto* R = static_cast<TRequest*>(User);
    R->FConnected = true;
    R->FMoments.SendStart = Tick();
    R->FMoments.SendPending = true;
    R->Touch();
    return CURL_PREREQFUNC_OK;
}

}  // namespace WinHttpImpl
