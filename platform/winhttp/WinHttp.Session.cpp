// Handles: the session, the connection and the request, how they are opened and closed; the
// session's curl share and its pool of transfer slots.

#include <curl/curl.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>

#include "WinHttp.Api.h"
#include "WinHttp.Handles.h"
#include "WinHttp.Headers.h"
#include "WinHttp.Text.h"
#include "WinHttp.Url.h"

namespace WinHttpImpl {

namespace {

// Idle transfer slots a session keeps for later requests. An asynchronous session's serve
// requests by the hundred at once and hold no descriptors (their connections live in the
// hub): it keeps as many as it is built to have in flight, so that a steady load does not make
// and free an easy handle, with its receive buffer, for every request.
constexpr std::size_t SlotPoolLimit = 16;
constexpr std::size_t AsyncSlotPoolLimit = 1024;

std::once_flag GCurlInit;

std::string EnvText(const char* Name) {
    const char* V = std::getenv(Name);
    return V ? V : "";
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Slots and sessions

TSlot::TSlot(bool WithMulti)
    : Multi(WithMulti ? curl_multi_init() : nullptr), Easy(curl_easy_init()) {
    if ((WithMulti && !Multi) || !Easy) throw std::bad_alloc();
}

TSlot::~TSlot() {
    if (NotedCertificate) X509_free(NotedCertificate);
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
    // Not CURL_LOCK_DATA_CONNECT: connections stay with the slot that made them (see the
    // header), since libcurl's connection cache is not safe across concurrent threads.
    curl_share_setopt(Share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(Share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
}

TSession::~TSession() {
    FLoop.reset();  // no request is left: the thread has nothing to deliver
    FPool.clear();  // every easy handle leaves the share before it goes
    FHub.reset();   // its connections close; no request is left in it
    curl_share_cleanup(Share);
}

THub::THub() : Multi(curl_multi_init()) {
    if (!Multi) throw std::bad_alloc();
    curl_multi_setopt(Multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
}

THub::~THub() {
    curl_multi_cleanup(Multi);
}

void THubHold::Acquire() {
    if (!FHub) return;
    FLock = std::unique_lock<std::mutex>(FHub->Lock);
    Settle();
}

void THubHold::Settle() {
    while (FHub->Polling) {
        ++FHub->Waiters;
        curl_multi_wakeup(FHub->Multi);
        FHub->Turn.wait(FLock);
        --FHub->Waiters;
    }
}

void THubHold::Release() {
    if (!FLock.owns_lock()) return;
    FLock.unlock();
    FHub->Turn.notify_all();
}

void TSession::StartAsync() {
    // Idle connections are kept for as many requests as the session is built to have in flight:
    // curl's own limit follows the transfers in the hub at the moment, and would close most of
    // them each time a burst of requests winds down.
    curl_multi_setopt(Hub().Multi, CURLMOPT_MAXCONNECTS, static_cast<long>(AsyncSlotPoolLimit));
    FLoop = std::make_unique<TAsyncLoop>(Hub());
}

THub& TSession::Hub() {
    std::lock_guard<std::mutex> G(FPoolLock);
    if (!FHub) FHub = std::make_unique<THub>();
    return *FHub;
}

void TSession::LockShare(CURL*, curl_lock_data Data, curl_lock_access, void* User) {
    static_cast<TSession*>(User)->FShareLocks[Data].lock();
}

void TSession::UnlockShare(CURL*, curl_lock_data Data, void* User) {
    static_cast<TSession*>(User)->FShareLocks[Data].unlock();
}

std::unique_ptr<TSlot> TSession::AcquireSlot(bool Http2) {
    {
        std::lock_guard<std::mutex> G(FPoolLock);
        for (auto It = FPool.rbegin(); It != FPool.rend(); ++It) {
            if ((*It)->Http2 != Http2) continue;
            auto S = std::move(*It);
            FPool.erase(std::next(It).base());
            return S;
        }
    }
    // What stays the same for every request of the session is set once per easy handle; the
    // handle is never reset, so its buffers and curl's per-handle state are reused.
    {
        // The trust store comes from the environment the way curl's own tool reads it;
        // otherwise libcurl's built-in default applies. Verification itself is never off.
        std::lock_guard<std::mutex> G(FPoolLock);
        if (!TrustRead) {
            CaFile = EnvText("CURL_CA_BUNDLE");
            if (CaFile.empty()) {
                CaFile = EnvText("SSL_CERT_FILE");
                CaPath = EnvText("SSL_CERT_DIR");
            }
            TrustRead = true;
        }
    }
    auto Slot = std::make_unique<TSlot>(!Async());
    Slot->Http2 = Http2;
    CURL* E = Slot->Easy;
    curl_easy_setopt(E, CURLOPT_SHARE, Share);
    curl_easy_setopt(E, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(E, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(E, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(E, CURLOPT_BUFFERSIZE, Async() ? AsyncReceiveBufferSize : ReceiveBufferSize);
    curl_easy_setopt(E, CURLOPT_WRITEFUNCTION, &TRequest::OnWrite);
    curl_easy_setopt(E, CURLOPT_HEADERFUNCTION, &TRequest::OnHeader);
    curl_easy_setopt(E, CURLOPT_PREREQFUNCTION, &TRequest::OnPrereq);
    curl_easy_setopt(E, CURLOPT_READFUNCTION, &TRequest::OnRead);
    curl_easy_setopt(E, CURLOPT_SEEKFUNCTION, &TRequest::OnSeek);
    // Connections opened and closed, for the status notifications (the list they go to is
    // set with each send).
    curl_easy_setopt(E, CURLOPT_OPENSOCKETFUNCTION, &TRequest::OnOpenSocket);
    curl_easy_setopt(E, CURLOPT_CLOSESOCKETFUNCTION, &TRequest::OnCloseSocket);
    curl_easy_setopt(E, CURLOPT_HTTP_CONTENT_DECODING, 0L);  // decoded here, as read
    curl_easy_setopt(E, CURLOPT_FOLLOWLOCATION, 0L);         // redirects are followed here
    curl_easy_setopt(E, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    // The request's header list goes to servers, the proxy list to proxies only.
    curl_easy_setopt(E, CURLOPT_HEADEROPT, CURLHEADER_SEPARATE);
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
    if (FPool.size() < (Async() ? AsyncSlotPoolLimit : SlotPoolLimit))
        FPool.push_back(std::move(Slot));
}

}  // namespace WinHttpImpl

using namespace WinHttpImpl;

extern "C" {

WINHTTPAPI BOOL WINAPI WinHttpCheckPlatform(void) {
    return TRUE;
}

WINHTTPAPI HINTERNET WINAPI WinHttpOpen(LPCWSTR pszAgentW, DWORD dwAccessType, LPCWSTR pszProxyW,
                                        LPCWSTR pszProxyBypassW, DWORD dwFlags) {
    return Guard(
        [&]() -> HINTERNET {
            if (dwAccessType != WINHTTP_ACCESS_TYPE_DEFAULT_PROXY &&
                dwAccessType != WINHTTP_ACCESS_TYPE_NO_PROXY &&
                dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY &&
                dwAccessType != WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            if (dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && WLen(pszProxyW) == 0) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            std::string Agent = ToUtf8(pszAgentW);
            if (!IsFieldText(Agent)) {
                SetLastError(ERROR_INVALID_PARAMETER);  // it becomes a header line
                return nullptr;
            }
            std::call_once(GCurlInit, [] { curl_global_init(CURL_GLOBAL_ALL); });
            auto S = std::make_shared<TSession>();
            S->Agent = std::move(Agent);
            S->AccessType = dwAccessType;
            if (dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
                S->ProxyList = ToUtf8(pszProxyW);
                S->ProxyBypass = ToUtf8(pszProxyBypassW);
            }
            if (dwFlags & WINHTTP_FLAG_ASYNC) S->StartAsync();
            return Opened(S);
        },
        nullptr);
}

WINHTTPAPI BOOL WINAPI WinHttpCloseHandle(HINTERNET hInternet) {
    return Guard(
        [&]() -> BOOL {
            auto Obj = Unregister(hInternet);
            if (!Obj) return Fail(ERROR_INVALID_HANDLE);
            Obj->Close();
            if (auto* R = KindOf<TRequest>(*Obj, WINHTTP_HANDLE_TYPE_REQUEST); R && R->Async()) {
                // After the completion of what was pending, and on the session's thread when
                // anything of the request is still to be delivered.
                R->CloseAsync(std::static_pointer_cast<TRequest>(Obj));
                return Succeed();
            }
            Obj->Notify(WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING, &hInternet, sizeof hInternet);
            return Succeed();
        },
        FALSE);
}

WINHTTPAPI HINTERNET WINAPI WinHttpConnect(HINTERNET hSession, LPCWSTR pswzServerName,
                                           INTERNET_PORT nServerPort, DWORD dwReserved) {
    return Guard(
        [&]() -> HINTERNET {
            DWORD Err = 0;
            auto S = LookupAs<TSession>(hSession, WINHTTP_HANDLE_TYPE_SESSION, Err);
            if (!S) {
                SetLastError(Err);
                return nullptr;
            }
            std::string Host = ToUtf8(pswzServerName);
            if (Host.empty() || dwReserved != 0) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            if (Host.size() > 2 && Host.front() == '[' && Host.back() == ']')
                Host = Host.substr(1, Host.size() - 2);
            for (char C : Host) {
                unsigned char U = static_cast<unsigned char>(C);
                if (U <= ' ' || U == 0x7F || std::strchr("/?#@[]\\\"<>^`{|}", C)) {
                    SetLastError(ERROR_WINHTTP_INVALID_URL);
                    return nullptr;
                }
            }
            auto C = std::make_shared<TConnect>();
            C->Parent = S;
            C->Host = std::move(Host);
            C->Port = nServerPort;
            {
                std::lock_guard<std::recursive_mutex> G(S->Lock);
                C->Timeouts = S->Timeouts;
            }
            C->InheritNotifications(*S);
            HINTERNET H = Opened(C);
            C->Notify(WINHTTP_CALLBACK_STATUS_HANDLE_CREATED, &H, sizeof H);
            SetLastError(ERROR_SUCCESS);
            return H;
        },
        nullptr);
}

WINHTTPAPI HINTERNET WINAPI WinHttpOpenRequest(HINTERNET hConnect, LPCWSTR pwszVerb,
                                               LPCWSTR pwszObjectName, LPCWSTR pwszVersion,
                                               LPCWSTR pwszReferrer, LPCWSTR* ppwszAcceptTypes,
                                               DWORD dwFlags) {
    return Guard(
        [&]() -> HINTERNET {
            DWORD Err = 0;
            auto C = LookupAs<TConnect>(hConnect, WINHTTP_HANDLE_TYPE_CONNECT, Err);
            if (!C) {
                SetLastError(Err);
                return nullptr;
            }
            std::string Verb = ToUtf8(pwszVerb);
            if (Verb.empty()) Verb = "GET";
            std::string Version = ToUtf8(pwszVersion);
            if (Version.empty()) Version = "HTTP/1.1";
            std::string Referrer = ToUtf8(pwszReferrer);
            std::string Accept;
            for (LPCWSTR* P = ppwszAcceptTypes; P && *P; ++P) {
                if (!Accept.empty()) Accept += ", ";
                Accept += ToUtf8(*P);
            }
            if (!IsToken(Verb) || (Version != "HTTP/1.1" && Version != "HTTP/1.0") ||
                !IsFieldText(Referrer) || !IsFieldText(Accept)) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            TSession& S = C->Session();
            auto R = std::make_shared<TRequest>(C);
            R->Verb = std::move(Verb);
            R->HttpVersion = std::move(Version);
            R->Referrer = std::move(Referrer);
            R->AcceptTypes = std::move(Accept);
            R->Path = EscapeObjectName(
                pwszObjectName ? std::u16string_view(pwszObjectName, WLen(pwszObjectName))
                               : std::u16string_view(),
                dwFlags);
            R->Secure = (dwFlags & WINHTTP_FLAG_SECURE) != 0;
            {
                std::lock_guard<std::recursive_mutex> G(S.Lock);  // another thread may set them
                R->Timeouts = S.Timeouts;
                R->Decompression = S.Decompression;
                R->RedirectPolicy = S.RedirectPolicy;
                R->MaxRedirects = S.MaxRedirects;
                R->ConnectRetries = S.ConnectRetries;
                R->HttpProtocols = S.HttpProtocols;
                R->ProtocolRequired = S.ProtocolRequired;
            }
            if (S.Async()) R->MakeAsync(S.Hub());
            R->InheritNotifications(*C);
            HINTERNET H = Opened(R);
            R->Notify(WINHTTP_CALLBACK_STATUS_HANDLE_CREATED, &H, sizeof H);
            SetLastError(ERROR_SUCCESS);
            return H;
        },
        nullptr);
}

}  // extern "C"
