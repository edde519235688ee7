#pragma once
// The credential options (WINHTTP_OPTION_USERNAME, PASSWORD, PROXY_USERNAME, PROXY_PASSWORD),
// for WinHttpSetOption and WinHttpQueryOption.

#include "WinHttp.Handles.h"

namespace WinHttpImpl {

/// Sets one of the four options on Obj: a text of Length characters (up to a NUL within it).
BOOL SetCredentialOption(TObject& Obj, DWORD Option, LPVOID Buffer, DWORD Length);
/// Copies one of the four options of Obj out with WinHTTP's size protocol.
BOOL QueryCredentialOption(TObject& Obj, DWORD Option, LPVOID Buffer, LPDWORD Length);

}  // namespace WinHttpImpl
