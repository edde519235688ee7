// Authentication. Not offered yet: the functions are present so that a whole-table binding
// finds them, and fail with "not implemented". A caller's own Authorization header is sent as
// given, and dropped on a redirect to another origin (WinHttp.Headers.cpp).

#include "WinHttp.Api.h"

using namespace WinHttpImpl;

extern "C" {

WINHTTPAPI BOOL WINAPI WinHttpSetCredentials(HINTERNET, DWORD, DWORD, LPCWSTR, LPCWSTR, LPVOID) {
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
#ifndef WINHTTP_OMIT_QUERYAUTHSCHEMES  // the test build that lacks one export leaves this out
WINHTTPAPI BOOL WINAPI WinHttpQueryAuthSchemes(HINTERNET, LPDWORD, LPDWORD, LPDWORD) {
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
#endif

}  // extern "C"
