#pragma once
// HTTP dates.

#include <string>
#include <string_view>

#include "winhttp.h"

namespace WinHttpImpl {

/// "Sun, 06 Nov 1994 08:49:37 GMT"; false for an invalid time.
bool FormatHttpDate(const SYSTEMTIME& T, std::string& Out);
/// Parses the three HTTP date forms (RFC 1123, RFC 850, asctime); false when not a date.
bool ParseHttpDate(std::string_view S, SYSTEMTIME& Out);

}  // namespace WinHttpImpl
