// Cookies. A session keeps none of its own yet: a caller's Cookie header is sent as given,
// and dropped on a redirect to another origin (WinHttp.Headers.cpp); Set-Cookie lines reach
// the caller through WinHttpQueryHeaders like any other.

#include "WinHttp.Handles.h"

namespace WinHttpImpl {}  // namespace WinHttpImpl
