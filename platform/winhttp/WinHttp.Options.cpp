// WinHttpSetOption, WinHttpQueryOption and WinHttpSetTimeouts.

#include <algorithm>
#include <cstring>
#include <mutex>

#include "WinHttp.Api.h"
#include "WinHttp.Handles.h"
#include "WinHttp.Headers.h"
#include "WinHttp.Text.h"

using namespace WinHttpImpl;

extern "C" {

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
                        std::string Agent = FromUtf16(
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
                    return CopyText(ToUtf16(Session->Agent), lpBuffer, lpdwBufferLength);
                case WINHTTP_OPTION_URL:
                    if (!Request) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
                    return CopyText(ToUtf16(Request->Url()), lpBuffer, lpdwBufferLength);
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

}  // extern "C"
