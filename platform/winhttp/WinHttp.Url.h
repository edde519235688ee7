#pragma once
// URLs: the object name of a request as it goes on the request line.

#include <string>
#include <string_view>

#include "winhttp.h"

namespace WinHttpImpl {

/// The object name as it goes on the request line: UTF-8, escaped as WinHTTP does for the
/// given WinHttpOpenRequest flags, with a leading "/".
std::string EscapeObjectName(std::u16string_view Name, DWORD Flags);

/// The object name as it can stand in a URL for curl: the characters that the modes with
/// escaping turned off leave raw (control characters, DEL, "#") %-escaped.
std::string UrlPath(std::string_view Path);

}  // namespace WinHttpImpl
