// Status callbacks. In the synchronous mode offered here the secure-failure notification is
// the one delivered (from WinHttpSendRequest, WinHttp.Transfer.cpp).

#include <mutex>

#include "WinHttp.Api.h"
#include "WinHttp.Handles.h"

using namespace WinHttpImpl;

extern "C" {

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

}  // extern "C"
