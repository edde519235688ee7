// The exported WinHTTP functions: argument checks, the handle table and the last error;
// the transfers themselves live in WinHttp.Handles.cpp.

#include "winhttp.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "WinHttp.Handles.h"
#include "WinHttp.Text.h"

using namespace WinHttpImpl;

namespace {

// Handles are numbers, never pointers, so a stale or forged handle is an error (6)
// and not a use after free.
std::mutex GTableLock;
std::unordered_map<std::uintptr_t, std::shared_ptr<TObject>> GTable;
std::uintptr_t GNextHandle = 0x1000;

HINTERNET Register(const std::shared_ptr<TObject>& Obj) {
    std::lock_guard<std::mutex> G(GTableLock);
    GNextHandle += 4;
    auto H = reinterpret_cast<HINTERNET>(GNextHandle);
    Obj->Handle = H;
    GTable.emplace(GNextHandle, Obj);
    return H;
}

std::shared_ptr<TObject> Lookup(HINTERNET H) {
    std::lock_guard<std::mutex> G(GTableLock);
    auto It = GTable.find(reinterpret_cast<std::uintptr_t>(H));
    return It == GTable.end() ? nullptr : It->second;
}

std::shared_ptr<TObject> Unregister(HINTERNET H) {
    std::lock_guard<std::mutex> G(GTableLock);
    auto It = GTable.find(reinterpret_cast<std::uintptr_t>(H));
    if (It == GTable.end()) return nullptr;
    auto Obj = std::move(It->second);
    GTable.erase(It);
    return Obj;
}

BOOL Fail(DWORD Code) {
    SetLastError(Code);
    return FALSE;
}

// A new handle for the object; the call that made it succeeded.
HINTERNET Opened(const std::shared_ptr<TObject>& Obj) {
    HINTERNET H = Register(Obj);
    SetLastError(ERROR_SUCCESS);
    return H;
}

BOOL Succeed() {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

template <typename T>
std::shared_ptr<T> LookupAs(HINTERNET H, DWORD Kind, DWORD& Err) {
    auto Obj = Lookup(H);
    if (!Obj) {
        Err = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (Obj->Kind != Kind) {
        Err = ERROR_WINHTTP_INCORRECT_HANDLE_TYPE;
        return nullptr;
    }
    return std::static_pointer_cast<T>(Obj);
}

// The object as its own class when it is of that kind of handle, else null.
template <typename T>
T* KindOf(TObject& Obj, DWORD Kind) {
    return Obj.Kind == Kind ? static_cast<T*>(&Obj) : nullptr;
}

// Runs an API body, turning exceptions into the last error: the C API never throws.
template <typename F>
auto Guard(F Body, decltype(Body()) OnError) noexcept -> decltype(Body()) {
    try {
        return Body();
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        SetLastError(ERROR_WINHTTP_INTERNAL_ERROR);
    }
    return OnError;
}

bool IsTokenChar(char C) {
    return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') ||
           (C != 0 && std::strchr("!#$%&'*+-.^_`|~", C));
}

bool IsToken(std::string_view S) {
    if (S.empty()) return false;
    for (char C : S)
        if (!IsTokenChar(C)) return false;
    return true;
}

// Header text may not carry control characters (tab aside): they could split the message.
bool IsFieldText(std::string_view S) {
    for (char C : S) {
        unsigned char U = static_cast<unsigned char>(C);
        if ((U < 0x20 && U != '\t') || U == 0x7F) return false;
    }
    return true;
}

// Splits a header block (lines ending in CR LF, LF or CR) into checked "Name: value" lines.
bool ParseHeaderBlock(LPCWSTR Headers, DWORD Length, std::vector<std::string>& Out) {
    if (!Headers) return true;
    std::size_t N = Length == static_cast<DWORD>(-1) ? WLen(Headers) : Length;
    std::string Text = ToUtf8(std::u16string_view(Headers, N));
    std::size_t I = 0;
    while (I < Text.size()) {
        std::size_t J = Text.find_first_of("\r\n", I);
        if (J == std::string::npos) J = Text.size();
        std::string_view Line(Text.data() + I, J - I);
        I = J + 1;
        if (Line.empty()) continue;
        std::size_t Colon = Line.find(':');
        if (Colon == std::string_view::npos || !IsToken(Line.substr(0, Colon)) ||
            !IsFieldText(Line.substr(Colon + 1)))
            return false;
        Out.emplace_back(Line);
    }
    return true;
}

// Copies a UTF-16 text into a caller buffer with WinHTTP's size protocol: the probe and a
// short buffer fail with 122 and the byte size including the NUL; success gives the byte
// length without it.
BOOL CopyText(const std::u16string& Text, LPVOID Buffer, LPDWORD Length) {
    DWORD Need = static_cast<DWORD>((Text.size() + 1) * sizeof(WCHAR));
    if (!Buffer || *Length < Need) {
        *Length = Need;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(Buffer, Text.data(), Text.size() * sizeof(WCHAR));
    static_cast<WCHAR*>(Buffer)[Text.size()] = 0;
    *Length = static_cast<DWORD>(Text.size() * sizeof(WCHAR));
    return Succeed();
}

template <typename T>
BOOL CopyValue(const T& Value, LPVOID Buffer, LPDWORD Length) {
    if (!Buffer || *Length < sizeof(T)) {
        *Length = sizeof(T);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(Buffer, &Value, sizeof(T));
    *Length = sizeof(T);
    return Succeed();
}

// Header names of the query levels; null for levels that are not a single header.
const char* LevelName(DWORD Level) {
    static const char* const Names[WINHTTP_QUERY_MAX + 1] = {"Mime-Version",
                                                             "Content-Type",
                                                             "Content-Transfer-Encoding",
                                                             "Content-ID",
                                                             "Content-Description",
                                                             "Content-Length",
                                                             "Content-Language",
                                                             "Allow",
                                                             "Public",
                                                             "Date",
                                                             "Expires",
                                                             "Last-Modified",
                                                             "Message-ID",
                                                             "URI",
                                                             "Derived-From",
                                                             "Cost",
                                                             "Link",
                                                             "Pragma",
                                                             nullptr,
                                                             nullptr,
                                                             nullptr,
                                                             nullptr,
                                                             nullptr,
                                                             "Connection",
                                                             "Accept",
                                                             "Accept-Charset",
                                                             "Accept-Encoding",
                                                             "Accept-Language",
                                                             "Authorization",
                                                             "Content-Encoding",
                                                             "Forwarded",
                                                             "From",
                                                             "If-Modified-Since",
                                                             "Location",
                                                             "Orig-URI",
                                                             "Referer",
                                                             "Retry-After",
                                                             "Server",
                                                             "Title",
                                                             "User-Agent",
                                                             "WWW-Authenticate",
                                                             "Proxy-Authenticate",
                                                             "Accept-Ranges",
                                                             "Set-Cookie",
                                                             "Cookie",
                                                             nullptr,
                                                             "Refresh",
                                                             "Content-Disposition",
                                                             "Age",
                                                             "Cache-Control",
                                                             "Content-Base",
                                                             "Content-Location",
                                                             "Content-MD5",
                                                             "Content-Range",
                                                             "ETag",
                                                             "Host",
                                                             "If-Match",
                                                             "If-None-Match",
                                                             "If-Range",
                                                             "If-Unmodified-Since",
                                                             "Max-Forwards",
                                                             "Proxy-Authorization",
                                                             "Range",
                                                             "Transfer-Encoding",
                                                             "Upgrade",
                                                             "Vary",
                                                             "Via",
                                                             "Warning",
                                                             "Expect",
                                                             "Proxy-Connection",
                                                             "Unless-Modified-Since",
                                                             nullptr,
                                                             nullptr,
                                                             nullptr,
                                                             nullptr,
                                                             "Proxy-Support",
                                                             "Authentication-Info",
                                                             "Passport-Urls",
                                                             "Passport-Config"};
    return Level <= WINHTTP_QUERY_MAX ? Names[Level] : nullptr;
}

bool ParseDword(std::string_view S, std::uint64_t Max, std::uint64_t& Out) {
    S = Trim(S);
    if (S.empty()) return false;
    Out = 0;
    for (char C : S) {
        if (C < '0' || C > '9') return false;
        Out = Out * 10 + static_cast<std::uint64_t>(C - '0');
        if (Out > Max) return false;
    }
    return true;
}

std::once_flag GCurlInit;

std::string EnvText(const char* Name) {
    const char* V = std::getenv(Name);
    return V ? V : "";
}

}  // namespace

extern "C" {

WINHTTPAPI BOOL WINAPI WinHttpCheckPlatform(void) {
    return TRUE;
}

WINHTTPAPI HINTERNET WINAPI WinHttpOpen(LPCWSTR pszAgentW, DWORD dwAccessType, LPCWSTR pszProxyW,
                                        LPCWSTR pszProxyBypassW, DWORD dwFlags) {
    return Guard(
        [&]() -> HINTERNET {
            if (dwFlags & WINHTTP_FLAG_ASYNC) {
                SetLastError(ERROR_CALL_NOT_IMPLEMENTED);  // synchronous mode only
                return nullptr;
            }
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
            // The trust store comes from the environment the way curl's own tool reads it;
            // otherwise libcurl's built-in default applies. Verification itself is never off.
            S->CaFile = EnvText("CURL_CA_BUNDLE");
            if (S->CaFile.empty()) {
                S->CaFile = EnvText("SSL_CERT_FILE");
                S->CaPath = EnvText("SSL_CERT_DIR");
            }
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
            C->InheritNotifications(*S);
            return Opened(C);
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
            }
            R->InheritNotifications(*C);
            return Opened(R);
        },
        nullptr);
}

WINHTTPAPI BOOL WINAPI WinHttpSetTimeouts(HINTERNET hInternet, int nResolveTimeout,
                                          int nConnectTimeout, int nSendTimeout,
                                          int nReceiveTimeout) {
    return Guard(
        [&]() -> BOOL {
            auto Obj = Lookup(hInternet);
            if (!Obj) return Fail(ERROR_INVALID_HANDLE);
            if (Obj->Kind == WINHTTP_HANDLE_TYPE_CONNECT)
                return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
            int Values[] = {nResolveTimeout, nConnectTimeout, nSendTimeout, nReceiveTimeout};
            for (int& V : Values) {
                if (V < -1) return Fail(ERROR_INVALID_PARAMETER);
                if (V == -1) V = 0;  // both mean no limit
            }
            TTimeouts T{Values[0], Values[1], Values[2], Values[3]};
            std::lock_guard<std::recursive_mutex> G(Obj->Lock);
            if (Obj->Kind == WINHTTP_HANDLE_TYPE_SESSION)
                static_cast<TSession&>(*Obj).Timeouts = T;
            else
                static_cast<TRequest&>(*Obj).Timeouts = T;
            return Succeed();
        },
        FALSE);
}

WINHTTPAPI WINHTTP_STATUS_CALLBACK WINAPI
WinHttpSetStatusCallback(HINTERNET hInternet, WINHTTP_STATUS_CALLBACK lpfnInternetCallback,
                         DWORD dwNotificationFlags, DWORD_PTR dwReserved) {
    (void)dwReserved;
    return Guard(
        [&]() -> WINHTTP_STATUS_CALLBACK {
            auto Obj = Lookup(hInternet);
            if (!Obj) {
                SetLastError(ERROR_INVALID_HANDLE);
                return WINHTTP_INVALID_STATUS_CALLBACK;
            }
            std::lock_guard<std::recursive_mutex> G(Obj->Lock);
            WINHTTP_STATUS_CALLBACK Old = Obj->Callback;
            Obj->Callback = lpfnInternetCallback;
            Obj->NotifyFlags = lpfnInternetCallback ? dwNotificationFlags : 0;
            SetLastError(ERROR_SUCCESS);
            return Old;
        },
        WINHTTP_INVALID_STATUS_CALLBACK);
}

WINHTTPAPI BOOL WINAPI WinHttpSetOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                                        DWORD dwBufferLength) {
    return Guard(
        [&]() -> BOOL {
            auto Obj = Lookup(hInternet);
            if (!Obj) return Fail(ERROR_INVALID_HANDLE);
            std::lock_guard<std::recursive_mutex> G(Obj->Lock);
            auto* Session = KindOf<TSession>(*Obj, WINHTTP_HANDLE_TYPE_SESSION);
            auto* Request = KindOf<TRequest>(*Obj, WINHTTP_HANDLE_TYPE_REQUEST);
            auto Dword = [&](DWORD& Out) {
                if (!lpBuffer || dwBufferLength != sizeof(DWORD)) return false;
                std::memcpy(&Out, lpBuffer, sizeof(DWORD));
                return true;
            };
            DWORD V = 0;
            switch (dwOption) {
                case WINHTTP_OPTION_CONTEXT_VALUE:
                    if (!lpBuffer || dwBufferLength != sizeof(DWORD_PTR))
                        return Fail(ERROR_INVALID_PARAMETER);
                    std::memcpy(&Obj->Context, lpBuffer, sizeof(DWORD_PTR));
                    return Succeed();
                case WINHTTP_OPTION_RESOLVE_TIMEOUT:
                case WINHTTP_OPTION_CONNECT_TIMEOUT:
                case WINHTTP_OPTION_SEND_TIMEOUT:
                case WINHTTP_OPTION_RECEIVE_TIMEOUT:
                case WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT: {
                    if (!Session && !Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if (!Dword(V)) return Fail(ERROR_INVALID_PARAMETER);
                    int Ms = V == 0xFFFFFFFFu ? 0 : static_cast<int>(std::min<DWORD>(V, INT32_MAX));
                    TTimeouts& T = Session ? Session->Timeouts : Request->Timeouts;
                    if (dwOption == WINHTTP_OPTION_RESOLVE_TIMEOUT)
                        T.Resolve = Ms;
                    else if (dwOption == WINHTTP_OPTION_CONNECT_TIMEOUT)
                        T.Connect = Ms;
                    else if (dwOption == WINHTTP_OPTION_SEND_TIMEOUT)
                        T.Send = Ms;
                    else
                        T.Receive = Ms;
                    return Succeed();
                }
                case WINHTTP_OPTION_DISABLE_FEATURE:
                    if (!Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if (!Dword(V) || (V & ~0xFu)) return Fail(ERROR_INVALID_PARAMETER);
                    Request->DisabledFeatures |= V;
                    return Succeed();
                case WINHTTP_OPTION_DECOMPRESSION:
                    if (!Session && !Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if (!Dword(V) || (V & ~WINHTTP_DECOMPRESSION_FLAG_ALL))
                        return Fail(ERROR_INVALID_PARAMETER);
                    (Session ? Session->Decompression : Request->Decompression) = V;
                    return Succeed();
                case WINHTTP_OPTION_REDIRECT_POLICY:
                    if (!Session && !Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if (!Dword(V) || V > WINHTTP_OPTION_REDIRECT_POLICY_ALWAYS)
                        return Fail(ERROR_INVALID_PARAMETER);
                    (Session ? Session->RedirectPolicy : Request->RedirectPolicy) = V;
                    return Succeed();
                case WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS:
                    if (!Session && !Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if (!Dword(V)) return Fail(ERROR_INVALID_PARAMETER);
                    (Session ? Session->MaxRedirects : Request->MaxRedirects) = V;
                    return Succeed();
                case WINHTTP_OPTION_USER_AGENT:
                    if (!Session) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if (!lpBuffer) return Fail(ERROR_INVALID_PARAMETER);
                    {
                        // A refused agent leaves the one set before.
                        std::string Agent = ToUtf8(
                            std::u16string_view(static_cast<LPCWSTR>(lpBuffer), dwBufferLength));
                        if (!IsFieldText(Agent)) return Fail(ERROR_INVALID_PARAMETER);
                        Session->Agent = std::move(Agent);
                    }
                    return Succeed();
                case WINHTTP_OPTION_HANDLE_TYPE:
                case WINHTTP_OPTION_PARENT_HANDLE:
                case WINHTTP_OPTION_URL:
                    return Fail(ERROR_WINHTTP_OPTION_NOT_SETTABLE);
                default:
                    return Fail(ERROR_WINHTTP_INVALID_OPTION);
            }
        },
        FALSE);
}

WINHTTPAPI BOOL WINAPI WinHttpQueryOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                                          LPDWORD lpdwBufferLength) {
    return Guard(
        [&]() -> BOOL {
            auto Obj = Lookup(hInternet);
            if (!Obj) return Fail(ERROR_INVALID_HANDLE);
            if (!lpdwBufferLength) return Fail(ERROR_INVALID_PARAMETER);
            std::lock_guard<std::recursive_mutex> G(Obj->Lock);
            auto* Session = KindOf<TSession>(*Obj, WINHTTP_HANDLE_TYPE_SESSION);
            auto* Request = KindOf<TRequest>(*Obj, WINHTTP_HANDLE_TYPE_REQUEST);
            switch (dwOption) {
                case WINHTTP_OPTION_CONTEXT_VALUE:
                    return CopyValue(Obj->Context, lpBuffer, lpdwBufferLength);
                case WINHTTP_OPTION_HANDLE_TYPE:
                    return CopyValue(Obj->Kind, lpBuffer, lpdwBufferLength);
                case WINHTTP_OPTION_PARENT_HANDLE: {
                    HINTERNET P = Obj->Parent ? Obj->Parent->Handle : nullptr;
                    return CopyValue(P, lpBuffer, lpdwBufferLength);
                }
                case WINHTTP_OPTION_RESOLVE_TIMEOUT:
                case WINHTTP_OPTION_CONNECT_TIMEOUT:
                case WINHTTP_OPTION_SEND_TIMEOUT:
                case WINHTTP_OPTION_RECEIVE_TIMEOUT:
                case WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT: {
                    if (!Session && !Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    const TTimeouts& T = Session ? Session->Timeouts : Request->Timeouts;
                    DWORD V =
                        static_cast<DWORD>(dwOption == WINHTTP_OPTION_RESOLVE_TIMEOUT   ? T.Resolve
                                           : dwOption == WINHTTP_OPTION_CONNECT_TIMEOUT ? T.Connect
                                           : dwOption == WINHTTP_OPTION_SEND_TIMEOUT    ? T.Send
                                                                                     : T.Receive);
                    return CopyValue(V, lpBuffer, lpdwBufferLength);
                }
                case WINHTTP_OPTION_DECOMPRESSION:
                    if (!Session && !Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    return CopyValue(Session ? Session->Decompression : Request->Decompression,
                                     lpBuffer, lpdwBufferLength);
                case WINHTTP_OPTION_REDIRECT_POLICY:
                    if (!Session && !Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    return CopyValue(Session ? Session->RedirectPolicy : Request->RedirectPolicy,
                                     lpBuffer, lpdwBufferLength);
                case WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS:
                    if (!Session && !Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    return CopyValue(Session ? Session->MaxRedirects : Request->MaxRedirects,
                                     lpBuffer, lpdwBufferLength);
                case WINHTTP_OPTION_USER_AGENT:
                    if (!Session) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    return CopyText(Utf8ToUtf16(Session->Agent), lpBuffer, lpdwBufferLength);
                case WINHTTP_OPTION_URL:
                    if (!Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    return CopyText(Utf8ToUtf16(Request->Url()), lpBuffer, lpdwBufferLength);
                case WINHTTP_OPTION_REQUEST_TIMES: {
                    if (!Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    WINHTTP_REQUEST_TIMES Times{};
                    Times.cTimes = WinHttpRequestTimeLast;
                    Request->RequestTimes(Times.rgullTimes, Times.cTimes);
                    return CopyValue(Times, lpBuffer, lpdwBufferLength);
                }
                default:
                    return Fail(ERROR_WINHTTP_INVALID_OPTION);
            }
        },
        FALSE);
}

WINHTTPAPI BOOL WINAPI WinHttpAddRequestHeaders(HINTERNET hRequest, LPCWSTR lpszHeaders,
                                                DWORD dwHeadersLength, DWORD dwModifiers) {
    return Guard(
        [&]() -> BOOL {
            DWORD Err = 0;
            auto R = LookupAs<TRequest>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST, Err);
            if (!R) return Fail(Err);
            std::vector<std::string> Lines;
            if (!lpszHeaders || !ParseHeaderBlock(lpszHeaders, dwHeadersLength, Lines) ||
                Lines.empty())
                return Fail(ERROR_INVALID_PARAMETER);
            std::lock_guard<std::recursive_mutex> G(R->Lock);
            // The lines go in all together or, when one is refused, none of them.
            std::vector<std::string> Added = R->AddedHeaders;
            auto NameOf = [](const std::string& L) {
                return std::string(Trim(std::string_view(L).substr(0, L.find(':'))));
            };
            auto ValueOf = [](const std::string& L) {
                return std::string(Trim(std::string_view(L).substr(L.find(':') + 1)));
            };
            for (const auto& L : Lines) {
                std::string Name = NameOf(L);
                auto It = std::find_if(Added.begin(), Added.end(), [&](const std::string& H) {
                    return SameText(NameOf(H), Name);
                });
                const bool Exists = It != Added.end();
                if (dwModifiers & WINHTTP_ADDREQ_FLAG_REPLACE) {
                    if (Exists) Added.erase(It);
                    if (!ValueOf(L).empty()) Added.push_back(Name + ": " + ValueOf(L));
                } else if (dwModifiers & WINHTTP_ADDREQ_FLAG_ADD_IF_NEW) {
                    if (Exists) return Fail(ERROR_WINHTTP_HEADER_ALREADY_EXISTS);
                    Added.push_back(L);
                } else if (Exists &&
                           (dwModifiers & (WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA |
                                           WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON))) {
                    *It +=
                        (dwModifiers & WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON) ? "; " : ", ";
                    *It += ValueOf(L);
                } else {
                    Added.push_back(L);
                }
            }
            R->AddedHeaders = std::move(Added);
            return Succeed();
        },
        FALSE);
}

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
            if (!ParseHeaderBlock(lpszHeaders, dwHeadersLength, Lines) ||
                (dwOptionalLength && !lpOptional))
                return Fail(ERROR_INVALID_PARAMETER);
            std::lock_guard<std::recursive_mutex> G(R->Lock);
            R->Context = dwContext;
            Err = R->Send(Lines, lpOptional, dwOptionalLength, dwTotalLength);
            if (Err == ERROR_WINHTTP_SECURE_FAILURE && R->Callback &&
                R->Callback != WINHTTP_INVALID_STATUS_CALLBACK &&
                (R->NotifyFlags & WINHTTP_CALLBACK_FLAG_SECURE_FAILURE)) {
                DWORD Flags = R->SecureFlags();
                R->Callback(hRequest, R->Context, WINHTTP_CALLBACK_STATUS_SECURE_FAILURE, &Flags,
                            sizeof Flags);
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
            if (lpdwNumberOfBytesAvailable) *lpdwNumberOfBytesAvailable = 0;
            DWORD Err = 0;
            auto R = LookupAs<TRequest>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST, Err);
            if (!R) return Fail(Err);
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

WINHTTPAPI BOOL WINAPI WinHttpQueryHeaders(HINTERNET hRequest, DWORD dwInfoLevel, LPCWSTR pwszName,
                                           LPVOID lpBuffer, LPDWORD lpdwBufferLength,
                                           LPDWORD lpdwIndex) {
    return Guard(
        [&]() -> BOOL {
            DWORD Err = 0;
            auto R = LookupAs<TRequest>(hRequest, WINHTTP_HANDLE_TYPE_REQUEST, Err);
            if (!R) return Fail(Err);
            if (!lpdwBufferLength) return Fail(ERROR_INVALID_PARAMETER);
            const DWORD Level = dwInfoLevel & 0xFFFF;
            const DWORD Mods = dwInfoLevel & ~0xFFFFu;
            const bool FromRequest = (Mods & WINHTTP_QUERY_FLAG_REQUEST_HEADERS) != 0;
            if ((Level > WINHTTP_QUERY_MAX && Level != WINHTTP_QUERY_CUSTOM) ||
                (Level == WINHTTP_QUERY_CUSTOM && WLen(pwszName) == 0))
                return Fail(ERROR_INVALID_PARAMETER);
            std::lock_guard<std::recursive_mutex> G(R->Lock);
            if (FromRequest ? !R->Sent() : !R->HeadReady())
                return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
            const DWORD Index = lpdwIndex ? *lpdwIndex : 0;
            const std::vector<std::string>& Lines =
                FromRequest ? R->RequestLines : R->ResponseLines;

            std::string Value;
            bool Found = false;
            auto Whole = [&](std::string V) {  // levels with a single value
                if (Index == 0) {
                    Value = std::move(V);
                    Found = true;
                }
            };
            switch (Level) {
                case WINHTTP_QUERY_STATUS_CODE:
                    if (!FromRequest) Whole(std::to_string(R->StatusCode));
                    break;
                case WINHTTP_QUERY_STATUS_TEXT:
                    if (!FromRequest) Whole(R->StatusText);
                    break;
                case WINHTTP_QUERY_VERSION:
                    Whole(FromRequest ? R->HttpVersion : R->ResponseVersion);
                    break;
                case WINHTTP_QUERY_REQUEST_METHOD:
                    Whole(R->Verb);
                    break;
                case WINHTTP_QUERY_RAW_HEADERS:
                case WINHTTP_QUERY_RAW_HEADERS_CRLF: {
                    // RAW_HEADERS separates lines with NULs, RAW_HEADERS_CRLF with CR LF.
                    const std::string Sep =
                        Level == WINHTTP_QUERY_RAW_HEADERS ? std::string(1, '\0') : "\r\n";
                    std::string Text = FromRequest ? R->Verb + " " + R->Path + " " + R->HttpVersion
                                                   : R->StatusLine;
                    Text += Sep;
                    for (const auto& L : Lines) {
                        Text += L;
                        Text += Sep;
                    }
                    Text += Sep;
                    Whole(std::move(Text));
                    break;
                }
                default: {
                    std::string Name = Level == WINHTTP_QUERY_CUSTOM
                                           ? ToUtf8(pwszName)
                                           : (LevelName(Level) ? LevelName(Level) : "");
                    if (Name.empty()) break;
                    DWORD Seen = 0;
                    for (const auto& L : Lines) {
                        std::size_t Colon = L.find(':');
                        if (Colon == std::string::npos ||
                            !SameText(Trim(std::string_view(L).substr(0, Colon)), Name))
                            continue;
                        if (Seen++ == Index) {
                            Value = std::string(Trim(std::string_view(L).substr(Colon + 1)));
                            Found = true;
                            break;
                        }
                    }
                }
            }
            if (!Found) return Fail(ERROR_WINHTTP_HEADER_NOT_FOUND);

            BOOL Ok;
            if (Mods & WINHTTP_QUERY_FLAG_NUMBER) {
                std::uint64_t N = 0;
                if (!ParseDword(Value, UINT32_MAX, N))
                    return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
                Ok = CopyValue(static_cast<DWORD>(N), lpBuffer, lpdwBufferLength);
            } else if (Mods & WINHTTP_QUERY_FLAG_NUMBER64) {
                std::uint64_t N = 0;
                if (!ParseDword(Value, UINT64_MAX / 10, N))
                    return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
                Ok = CopyValue(N, lpBuffer, lpdwBufferLength);
            } else if (Mods & WINHTTP_QUERY_FLAG_SYSTEMTIME) {
                SYSTEMTIME T{};
                if (!ParseHttpDate(Value, T)) return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
                Ok = CopyValue(T, lpBuffer, lpdwBufferLength);
            } else {
                Ok = CopyText(WireToUtf16(Value), lpBuffer, lpdwBufferLength);
            }
            if (Ok && lpdwIndex) *lpdwIndex = Index + 1;
            return Ok;
        },
        FALSE);
}

WINHTTPAPI BOOL WINAPI WinHttpTimeFromSystemTime(const SYSTEMTIME* pst, LPWSTR pwszTime) {
    return Guard(
        [&]() -> BOOL {
            std::string Text;
            if (!pst || !pwszTime || !FormatHttpDate(*pst, Text))
                return Fail(ERROR_INVALID_PARAMETER);
            std::u16string W = Utf8ToUtf16(Text);
            std::memcpy(pwszTime, W.c_str(), (W.size() + 1) * sizeof(WCHAR));
            return Succeed();
        },
        FALSE);
}

WINHTTPAPI BOOL WINAPI WinHttpTimeToSystemTime(LPCWSTR pwszTime, SYSTEMTIME* pst) {
    return Guard(
        [&]() -> BOOL {
            if (!pwszTime || !pst) return Fail(ERROR_INVALID_PARAMETER);
            SYSTEMTIME T{};
            if (!ParseHttpDate(ToUtf8(pwszTime), T)) return Fail(ERROR_INVALID_PARAMETER);
            *pst = T;
            return Succeed();
        },
        FALSE);
}

WINHTTPAPI BOOL WINAPI WinHttpCrackUrl(LPCWSTR pwszUrl, DWORD dwUrlLength, DWORD dwFlags,
                                       LPURL_COMPONENTS lpUrlComponents) {
    (void)dwFlags;  // decoding and escaping while cracking are not offered
    return Guard(
        [&]() -> BOOL {
            if (!pwszUrl || !lpUrlComponents ||
                lpUrlComponents->dwStructSize != sizeof(URL_COMPONENTS))
                return Fail(ERROR_INVALID_PARAMETER);
            const std::u16string_view Url(pwszUrl, dwUrlLength ? dwUrlLength : WLen(pwszUrl));
            std::size_t SchemeEnd = Url.find(u"://");
            if (SchemeEnd == std::u16string_view::npos)
                return Fail(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
            std::u16string_view Scheme = Url.substr(0, SchemeEnd);
            INTERNET_SCHEME N;
            if (SameText(ToUtf8(Scheme), "http"))
                N = INTERNET_SCHEME_HTTP;
            else if (SameText(ToUtf8(Scheme), "https"))
                N = INTERNET_SCHEME_HTTPS;
            else
                return Fail(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
            std::size_t AuthStart = SchemeEnd + 3;
            std::size_t AuthEnd = Url.find_first_of(u"/?#", AuthStart);
            if (AuthEnd == std::u16string_view::npos) AuthEnd = Url.size();
            std::u16string_view Auth = Url.substr(AuthStart, AuthEnd - AuthStart);
            std::u16string_view User, Pass, Host, PortText;
            std::size_t At = Auth.rfind(u'@');
            if (At != std::u16string_view::npos) {
                std::u16string_view UserInfo = Auth.substr(0, At);
                std::size_t Colon = UserInfo.find(u':');
                User = UserInfo.substr(0, Colon);
                if (Colon != std::u16string_view::npos) Pass = UserInfo.substr(Colon + 1);
                Auth = Auth.substr(At + 1);
            }
            if (!Auth.empty() && Auth[0] == u'[') {
                std::size_t Close = Auth.find(u']');
                if (Close == std::u16string_view::npos) return Fail(ERROR_WINHTTP_INVALID_URL);
                Host = Auth.substr(0, Close + 1);
                if (Close + 1 < Auth.size()) {
                    if (Auth[Close + 1] != u':') return Fail(ERROR_WINHTTP_INVALID_URL);
                    PortText = Auth.substr(Close + 2);
                }
            } else {
                std::size_t Colon = Auth.find(u':');
                Host = Auth.substr(0, Colon);
                if (Colon != std::u16string_view::npos) PortText = Auth.substr(Colon + 1);
            }
            if (Host.empty()) return Fail(ERROR_WINHTTP_INVALID_URL);
            INTERNET_PORT Port = N == INTERNET_SCHEME_HTTPS ? 443 : 80;
            if (!PortText.empty()) {
                std::uint64_t P = 0;
                if (!ParseDword(ToUtf8(PortText), 65535, P)) return Fail(ERROR_WINHTTP_INVALID_URL);
                Port = static_cast<INTERNET_PORT>(P);
            }
            std::u16string_view Rest = Url.substr(AuthEnd);
            std::size_t Extra = Rest.find_first_of(u"?#");
            std::u16string_view Path = Rest.substr(0, Extra);
            std::u16string_view ExtraInfo =
                Extra == std::u16string_view::npos ? std::u16string_view() : Rest.substr(Extra);

            URL_COMPONENTS& Uc = *lpUrlComponents;
            // Each part: a null pointer with a non-zero length asks for a pointer into the URL,
            // a buffer asks for a copy.
            auto Part = [&](LPWSTR& Ptr, DWORD& Len, std::u16string_view V) -> bool {
                if (Ptr) {
                    if (Len <= V.size()) {
                        Len = static_cast<DWORD>(V.size() + 1);
                        return false;
                    }
                    std::memcpy(Ptr, V.data(), V.size() * sizeof(WCHAR));
                    Ptr[V.size()] = 0;
                    Len = static_cast<DWORD>(V.size());
                } else if (Len) {
                    Ptr = const_cast<LPWSTR>(V.data());
                    Len = static_cast<DWORD>(V.size());
                }
                return true;
            };
            bool Ok = Part(Uc.lpszScheme, Uc.dwSchemeLength, Scheme);
            Ok = Part(Uc.lpszHostName, Uc.dwHostNameLength, Host) && Ok;
            Ok = Part(Uc.lpszUserName, Uc.dwUserNameLength, User) && Ok;
            Ok = Part(Uc.lpszPassword, Uc.dwPasswordLength, Pass) && Ok;
            Ok = Part(Uc.lpszUrlPath, Uc.dwUrlPathLength, Path) && Ok;
            Ok = Part(Uc.lpszExtraInfo, Uc.dwExtraInfoLength, ExtraInfo) && Ok;
            Uc.nScheme = N;
            Uc.nPort = Port;
            return Ok ? Succeed() : Fail(ERROR_INSUFFICIENT_BUFFER);
        },
        FALSE);
}

WINHTTPAPI BOOL WINAPI WinHttpCreateUrl(LPURL_COMPONENTS lpUrlComponents, DWORD dwFlags,
                                        LPWSTR pwszUrl, LPDWORD pdwUrlLength) {
    (void)dwFlags;
    return Guard(
        [&]() -> BOOL {
            if (!lpUrlComponents || !pdwUrlLength ||
                lpUrlComponents->dwStructSize != sizeof(URL_COMPONENTS))
                return Fail(ERROR_INVALID_PARAMETER);
            const URL_COMPONENTS& Uc = *lpUrlComponents;
            auto Text = [](LPCWSTR P, DWORD Len) {
                return P ? std::u16string(P, Len ? Len : WLen(P)) : std::u16string();
            };
            std::u16string Scheme = Text(Uc.lpszScheme, Uc.dwSchemeLength);
            if (Scheme.empty()) {
                if (Uc.nScheme == INTERNET_SCHEME_HTTP)
                    Scheme = u"http";
                else if (Uc.nScheme == INTERNET_SCHEME_HTTPS)
                    Scheme = u"https";
                else
                    return Fail(ERROR_INVALID_PARAMETER);
            }
            std::u16string Host = Text(Uc.lpszHostName, Uc.dwHostNameLength);
            if (Host.empty()) return Fail(ERROR_INVALID_PARAMETER);
            std::u16string Url = Scheme + u"://";
            std::u16string User = Text(Uc.lpszUserName, Uc.dwUserNameLength);
            std::u16string Pass = Text(Uc.lpszPassword, Uc.dwPasswordLength);
            if (!User.empty()) {
                Url += User;
                if (!Pass.empty()) Url += u":" + Pass;
                Url += u"@";
            }
            Url += Host;
            const bool Https = SameText(ToUtf8(Scheme), "https");
            if (Uc.nPort && Uc.nPort != (Https ? 443 : 80))
                Url += Utf8ToUtf16(":" + std::to_string(Uc.nPort));
            std::u16string Path = Text(Uc.lpszUrlPath, Uc.dwUrlPathLength);
            if (!Path.empty() && Path[0] != u'/') Url += u"/";
            Url += Path;
            Url += Text(Uc.lpszExtraInfo, Uc.dwExtraInfoLength);
            if (!pwszUrl || *pdwUrlLength <= Url.size()) {
                *pdwUrlLength = static_cast<DWORD>(Url.size() + 1);
                return Fail(ERROR_INSUFFICIENT_BUFFER);
            }
            std::memcpy(pwszUrl, Url.c_str(), (Url.size() + 1) * sizeof(WCHAR));
            *pdwUrlLength = static_cast<DWORD>(Url.size());
            return Succeed();
        },
        FALSE);
}

// Functions outside what this layer offers: present so that a whole-table binding finds
// them, and failing with "not implemented".
WINHTTPAPI BOOL WINAPI WinHttpGetDefaultProxyConfiguration(WINHTTP_PROXY_INFO*) {
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
WINHTTPAPI BOOL WINAPI WinHttpSetDefaultProxyConfiguration(WINHTTP_PROXY_INFO*) {
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
WINHTTPAPI BOOL WINAPI WinHttpSetCredentials(HINTERNET, DWORD, DWORD, LPCWSTR, LPCWSTR, LPVOID) {
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
#ifndef WINHTTP_OMIT_QUERYAUTHSCHEMES  // the test build that lacks one export leaves this out
WINHTTPAPI BOOL WINAPI WinHttpQueryAuthSchemes(HINTERNET, LPDWORD, LPDWORD, LPDWORD) {
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
#endif
WINHTTPAPI BOOL WINAPI WinHttpDetectAutoProxyConfigUrl(DWORD, LPWSTR*) {
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
WINHTTPAPI BOOL WINAPI WinHttpGetProxyForUrl(HINTERNET, LPCWSTR, WINHTTP_AUTOPROXY_OPTIONS*,
                                             WINHTTP_PROXY_INFO*) {
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
WINHTTPAPI BOOL WINAPI
WinHttpGetIEProxyConfigForCurrentUser(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG*) {
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

}  // extern "C"
