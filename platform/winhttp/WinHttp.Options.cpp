// WinHttpSetOption, WinHttpQueryOption and WinHttpSetTimeouts.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "WinHttp.Api.h"
#include "WinHttp.Auth.h"
#include "WinHttp.Handles.h"
#include "WinHttp.Headers.h"
#include "WinHttp.Text.h"

namespace WinHttpImpl {

std::string DisplayUrl(const std::string& Url) {
    const std::size_t Sep = Url.find("://");
    if (Sep == std::string::npos) return Url;
    const std::string Scheme = Url.substr(0, Sep);
    const char* Default = SameText(Scheme, "http")    ? ":80"
                          : SameText(Scheme, "https") ? ":443"
                                                      : "";
    if (!*Default) return Url;
    std::size_t End = Url.find_first_of("/?#", Sep + 3);
    if (End == std::string::npos) End = Url.size();
    const std::size_t N = std::strlen(Default);
    if (End - (Sep + 3) > N && Url.compare(End - N, N, Default) == 0)
        return Url.substr(0, End - N) + Url.substr(End);
    return Url;
}

namespace {

// WINHTTP_OPTION_WORKER_THREAD_COUNT: set on no handle. There are no worker threads in the
// synchronous mode; the value is kept for the caller to read back.
std::atomic<DWORD> GWorkerThreads{0};

// WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL: HTTP/3 is taken as a preference and never used.
constexpr DWORD HttpProtocolFlags = WINHTTP_PROTOCOL_FLAG_HTTP2 | WINHTTP_PROTOCOL_FLAG_HTTP3;

constexpr DWORD SecureProtocolFlags =
    WINHTTP_FLAG_SECURE_PROTOCOL_SSL2 | WINHTTP_FLAG_SECURE_PROTOCOL_SSL3 |
    WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
    WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;

/// The time-outs of a session, connection or request; null for none.
TTimeouts* TimeoutsOf(TObject& Obj) {
    switch (Obj.Kind) {
        case WINHTTP_HANDLE_TYPE_SESSION:
            return &static_cast<TSession&>(Obj).Timeouts;
        case WINHTTP_HANDLE_TYPE_CONNECT:
            return &static_cast<TConnect&>(Obj).Timeouts;
        case WINHTTP_HANDLE_TYPE_REQUEST:
            return &static_cast<TRequest&>(Obj).Timeouts;
        default:
            return nullptr;
    }
}

DWORD& TimeoutField(TTimeouts& T, DWORD Option) {
    switch (Option) {
        case WINHTTP_OPTION_RESOLVE_TIMEOUT:
            return T.Resolve;
        case WINHTTP_OPTION_CONNECT_TIMEOUT:
            return T.Connect;
        case WINHTTP_OPTION_SEND_TIMEOUT:
            return T.Send;
        case WINHTTP_OPTION_RECEIVE_TIMEOUT:
            return T.Receive;
        default:
            return T.ReceiveResponse;
    }
}

bool FillAddress(const std::string& Ip, int Port, SOCKADDR_STORAGE& Out) {
    std::memset(&Out, 0, sizeof Out);
    auto* V4 = reinterpret_cast<sockaddr_in*>(&Out);
    if (inet_pton(AF_INET, Ip.c_str(), &V4->sin_addr) == 1) {
        V4->sin_family = AF_INET;
        V4->sin_port = htons(static_cast<std::uint16_t>(Port));
        return true;
    }
    auto* V6 = reinterpret_cast<sockaddr_in6*>(&Out);
    if (inet_pton(AF_INET6, Ip.c_str(), &V6->sin6_addr) == 1) {
        V6->sin6_family = AF_INET6;
        V6->sin6_port = htons(static_cast<std::uint16_t>(Port));
        return true;
    }
    return false;
}

}  // namespace

}  // namespace WinHttpImpl

using namespace WinHttpImpl;

extern "C" {

WINHTTPAPI BOOL WINAPI WinHttpSetTimeouts(HINTERNET hInternet, int nResolveTimeout,
                                          int nConnectTimeout, int nSendTimeout,
                                          int nReceiveTimeout) {
    return Guard(
        [&]() -> BOOL {
            // The values are checked before the handle, whatever its kind.
            const int Values[] = {nResolveTimeout, nConnectTimeout, nSendTimeout, nReceiveTimeout};
            for (int V : Values)
                if (V < -1) return Fail(ERROR_INVALID_PARAMETER);
            auto Obj = Lookup(hInternet);
            if (!Obj) return Fail(ERROR_INVALID_HANDLE);
            if (Obj->Kind == WINHTTP_HANDLE_TYPE_CONNECT)
                return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
            std::lock_guard<std::recursive_mutex> G(Obj->Lock);
            TTimeouts* T = TimeoutsOf(*Obj);
            if (!T) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
            // -1 is kept as the DWORD it is (0xFFFFFFFF): both it and 0 mean no limit.
            T->Resolve = static_cast<DWORD>(nResolveTimeout);
            T->Connect = static_cast<DWORD>(nConnectTimeout);
            T->Send = static_cast<DWORD>(nSendTimeout);
            T->Receive = static_cast<DWORD>(nReceiveTimeout);
            return Succeed();
        },
        FALSE);
}

WINHTTPAPI BOOL WINAPI WinHttpSetOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                                        DWORD dwBufferLength) {
    return Guard(
        [&]() -> BOOL {
            // A DWORD value: a buffer of another size is 122, a missing one 87.
            auto Dword = [&](DWORD& Out) -> DWORD {
                if (dwBufferLength != sizeof(DWORD)) return ERROR_INSUFFICIENT_BUFFER;
                if (!lpBuffer) return ERROR_INVALID_PARAMETER;
                std::memcpy(&Out, lpBuffer, sizeof(DWORD));
                return 0;
            };
            DWORD V = 0;
            DWORD Err = 0;
            if (dwOption == WINHTTP_OPTION_WORKER_THREAD_COUNT) {
                // Set for the whole process, on no handle.
                if (hInternet) {
                    if (!Lookup(hInternet)) return Fail(ERROR_INVALID_HANDLE);
                    return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                }
                if ((Err = Dword(V))) return Fail(Err);
                GWorkerThreads = V;
                return Succeed();
            }
            auto Obj = Lookup(hInternet);
            if (!Obj) return Fail(ERROR_INVALID_HANDLE);
            std::lock_guard<std::recursive_mutex> G(Obj->Lock);
            auto* Session = KindOf<TSession>(*Obj, WINHTTP_HANDLE_TYPE_SESSION);
            auto* Request = KindOf<TRequest>(*Obj, WINHTTP_HANDLE_TYPE_REQUEST);
            switch (dwOption) {
                case WINHTTP_OPTION_CONTEXT_VALUE: {
                    if (dwBufferLength != sizeof(DWORD_PTR)) return Fail(ERROR_INSUFFICIENT_BUFFER);
                    if (!lpBuffer) return Fail(ERROR_INVALID_PARAMETER);
                    DWORD_PTR Context = 0;
                    std::memcpy(&Context, lpBuffer, sizeof(DWORD_PTR));
                    Obj->SetContext(Context);
                    return Succeed();
                }
                case WINHTTP_OPTION_RESOLVE_TIMEOUT:
                case WINHTTP_OPTION_CONNECT_TIMEOUT:
                case WINHTTP_OPTION_SEND_TIMEOUT:
                case WINHTTP_OPTION_RECEIVE_TIMEOUT:
                case WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT: {
                    TTimeouts* T = TimeoutsOf(*Obj);
                    if (!T) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if ((Err = Dword(V))) return Fail(Err);
                    TimeoutField(*T, dwOption) = V;
                    return Succeed();
                }
                case WINHTTP_OPTION_CONNECT_RETRIES:
                    if (!Session && !Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if ((Err = Dword(V))) return Fail(Err);
                    (Session ? Session->ConnectRetries : Request->ConnectRetries) = V;
                    return Succeed();
                case WINHTTP_OPTION_DISABLE_FEATURE:
                    if (!Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if ((Err = Dword(V))) return Fail(Err);
                    if (!V || (V & ~0xFu)) return Fail(ERROR_INVALID_PARAMETER);
                    Request->DisabledFeatures |= V;
                    return Succeed();
                case WINHTTP_OPTION_ENABLE_FEATURE:
                    // Revocation checks belong to a request; reverting impersonation, which
                    // has no meaning on this system, to a session.
                    if ((Err = Dword(V))) return Fail(Err);
                    if (V == WINHTTP_ENABLE_SSL_REVOCATION) {
                        if (!Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                        Request->CheckRevocation = true;
                        return Succeed();
                    }
                    if (V == WINHTTP_ENABLE_SSL_REVERT_IMPERSONATION) {
                        if (!Session) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                        return Succeed();
                    }
                    return Fail(ERROR_INVALID_PARAMETER);
                case WINHTTP_OPTION_SECURITY_FLAGS:
                    // Only the caller ever turns a certificate check off, and only these.
                    if (!Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if ((Err = Dword(V))) return Fail(Err);
                    if (V & ~static_cast<DWORD>(SECURITY_FLAG_IGNORE_ALL_CERT_ERRORS))
                        return Fail(ERROR_INVALID_PARAMETER);
                    Request->IgnoredCertErrors = V;
                    return Succeed();
                case WINHTTP_OPTION_SECURE_PROTOCOLS:
                    if (!Session) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if ((Err = Dword(V))) return Fail(Err);
                    if (V & ~SecureProtocolFlags) return Fail(ERROR_INVALID_PARAMETER);
                    Session->SecureProtocols = V;
                    return Succeed();
                case WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL:
                    if (!Session && !Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if ((Err = Dword(V))) return Fail(Err);
                    if (V & ~HttpProtocolFlags) return Fail(ERROR_INVALID_PARAMETER);
                    (Session ? Session->HttpProtocols : Request->HttpProtocols) = V;
                    return Succeed();
                case WINHTTP_OPTION_HTTP_PROTOCOL_REQUIRED:
                    if (!Session && !Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if ((Err = Dword(V))) return Fail(Err);
                    (Session ? Session->ProtocolRequired : Request->ProtocolRequired) = V != 0;
                    return Succeed();
                case WINHTTP_OPTION_DECOMPRESSION:
                    if (!Session && !Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if ((Err = Dword(V))) return Fail(Err);
                    if (V & ~WINHTTP_DECOMPRESSION_FLAG_ALL) return Fail(ERROR_INVALID_PARAMETER);
                    (Session ? Session->Decompression : Request->Decompression) = V;
                    return Succeed();
                case WINHTTP_OPTION_REDIRECT_POLICY:
                    if (!Session && !Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if ((Err = Dword(V))) return Fail(Err);
                    if (V > WINHTTP_OPTION_REDIRECT_POLICY_ALWAYS)
                        return Fail(ERROR_INVALID_PARAMETER);
                    (Session ? Session->RedirectPolicy : Request->RedirectPolicy) = V;
                    return Succeed();
                case WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS:
                    if (!Session && !Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if ((Err = Dword(V))) return Fail(Err);
                    (Session ? Session->MaxRedirects : Request->MaxRedirects) = V;
                    return Succeed();
                case WINHTTP_OPTION_USER_AGENT:
                    if (!Session) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if (!lpBuffer) return Fail(ERROR_INVALID_PARAMETER);
                    {
                        // A refused agent leaves the one set before.
                        std::string Agent = FromUtf16(
                            std::u16string_view(static_cast<LPCWSTR>(lpBuffer), dwBufferLength));
                        if (!IsFieldText(Agent)) return Fail(ERROR_INVALID_PARAMETER);
                        Session->Agent = std::move(Agent);
                    }
                    return Succeed();
                case WINHTTP_OPTION_USERNAME:
                case WINHTTP_OPTION_PASSWORD:
                case WINHTTP_OPTION_PROXY_USERNAME:
                case WINHTTP_OPTION_PROXY_PASSWORD:
                    return SetCredentialOption(*Obj, dwOption, lpBuffer, dwBufferLength);
                case WINHTTP_OPTION_HANDLE_TYPE:
                case WINHTTP_OPTION_PARENT_HANDLE:
                case WINHTTP_OPTION_URL:
                case WINHTTP_OPTION_CONNECTION_INFO:
                case WINHTTP_OPTION_SECURITY_CERTIFICATE_STRUCT:
                case WINHTTP_OPTION_SECURITY_KEY_BITNESS:
                case WINHTTP_OPTION_SERVER_CERT_CONTEXT:
                case WINHTTP_OPTION_REQUEST_TIMES:
                case WINHTTP_OPTION_HTTP_PROTOCOL_USED:
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
            if (dwOption == 0) return Fail(ERROR_INVALID_PARAMETER);
            if (dwOption == WINHTTP_OPTION_WORKER_THREAD_COUNT && !hInternet) {
                if (!lpdwBufferLength) return Fail(ERROR_INVALID_PARAMETER);
                return CopyValue(GWorkerThreads.load(), lpBuffer, lpdwBufferLength);
            }
            auto Obj = Lookup(hInternet);
            if (!Obj) return Fail(ERROR_INVALID_HANDLE);
            if (!lpdwBufferLength) return Fail(ERROR_INVALID_PARAMETER);
            std::lock_guard<std::recursive_mutex> G(Obj->Lock);
            auto* Session = KindOf<TSession>(*Obj, WINHTTP_HANDLE_TYPE_SESSION);
            auto* Request = KindOf<TRequest>(*Obj, WINHTTP_HANDLE_TYPE_REQUEST);
            switch (dwOption) {
                case WINHTTP_OPTION_CONTEXT_VALUE:
                    return CopyValue(Obj->GetContext(), lpBuffer, lpdwBufferLength);
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
                    TTimeouts* T = TimeoutsOf(*Obj);
                    if (!T) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    return CopyValue(TimeoutField(*T, dwOption), lpBuffer, lpdwBufferLength);
                }
                case WINHTTP_OPTION_CONNECT_RETRIES:
                    if (!Session && !Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    return CopyValue(Session ? Session->ConnectRetries : Request->ConnectRetries,
                                     lpBuffer, lpdwBufferLength);
                case WINHTTP_OPTION_WORKER_THREAD_COUNT:
                    return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                case WINHTTP_OPTION_DECOMPRESSION:
                case WINHTTP_OPTION_DISABLE_FEATURE:
                case WINHTTP_OPTION_ENABLE_FEATURE:
                case WINHTTP_OPTION_SECURE_PROTOCOLS:
                case WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL:
                case WINHTTP_OPTION_HTTP_PROTOCOL_REQUIRED:
                    // Set only.
                    return Fail(ERROR_INVALID_PARAMETER);
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
                    return CopyText(ToUtf16(Session->Agent), lpBuffer, lpdwBufferLength);
                case WINHTTP_OPTION_USERNAME:
                case WINHTTP_OPTION_PASSWORD:
                case WINHTTP_OPTION_PROXY_USERNAME:
                case WINHTTP_OPTION_PROXY_PASSWORD:
                    return QueryCredentialOption(*Obj, dwOption, lpBuffer, lpdwBufferLength);
                case WINHTTP_OPTION_URL:
                    if (!Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    return CopyText(ToUtf16(DisplayUrl(Request->Url())), lpBuffer,
                                    lpdwBufferLength);
                case WINHTTP_OPTION_REQUEST_TIMES: {
                    if (!Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    WINHTTP_REQUEST_TIMES Times{};
                    Times.cTimes = WinHttpRequestTimeLast;
                    Request->RequestTimes(Times.rgullTimes, Times.cTimes);
                    return CopyValue(Times, lpBuffer, lpdwBufferLength);
                }
                case WINHTTP_OPTION_HTTP_PROTOCOL_USED:
                    if (!Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    return CopyValue(Request->ProtocolUsed(), lpBuffer, lpdwBufferLength);
                case WINHTTP_OPTION_CONNECTION_INFO: {
                    if (!Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if (!Request->Peer.Known) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
                    WINHTTP_CONNECTION_INFO Info{};
                    Info.cbSize = sizeof Info;
                    if (!FillAddress(Request->Peer.LocalIp, Request->Peer.LocalPort,
                                     Info.LocalAddress) ||
                        !FillAddress(Request->Peer.RemoteIp, Request->Peer.RemotePort,
                                     Info.RemoteAddress))
                        return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
                    return CopyValue(Info, lpBuffer, lpdwBufferLength);
                }
                case WINHTTP_OPTION_SECURITY_FLAGS:
                    if (!Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    return CopyValue(Request->IgnoredCertErrors | SecurityStrengthFlags(*Request),
                                     lpBuffer, lpdwBufferLength);
                case WINHTTP_OPTION_SECURITY_KEY_BITNESS:
                    if (!Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    if (Request->ServerCertificate.empty())
                        return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
                    return CopyValue(static_cast<DWORD>(Request->CipherBits), lpBuffer,
                                     lpdwBufferLength);
                case WINHTTP_OPTION_SECURITY_CERTIFICATE_STRUCT:
                    if (!Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    return QueryCertificateInfo(*Request, lpBuffer, lpdwBufferLength);
                case WINHTTP_OPTION_SERVER_CERT_CONTEXT:
                    if (!Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    return QueryCertificateContext(*Request, lpBuffer, lpdwBufferLength);
                default:
                    return Fail(ERROR_WINHTTP_INVALID_OPTION);
            }
        },
        FALSE);
}

}  // extern "C"
