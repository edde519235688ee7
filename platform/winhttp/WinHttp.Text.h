#pragma once
// Text helpers of libwinhttp: UTF-16 at the API boundary, UTF-8 inside.

#include <string>
#include <string_view>

#include "winhttp.h"

namespace WinHttpImpl {

/// Length of a NUL-terminated UTF-16 text.
std::size_t WLen(LPCWSTR S) noexcept;
/// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string ToUtf8(std::u16string_view S);
inline std::string ToUtf8(LPCWSTR S) {
    return S ? ToUtf8(std::u16string_view(S, WLen(S))) : "";
}
/// Bytes received from the network to UTF-16: UTF-8 when valid, otherwise Latin-1.
std::u16string WireToUtf16(std::string_view S);
/// UTF-8 to UTF-16 (invalid sequences become U+FFFD).
std::u16string Utf8ToUtf16(std::string_view S);

/// ASCII case-insensitive comparison.
bool SameText(std::string_view A, std::string_view B) noexcept;
/// Without leading and trailing blanks and tabs.
std::string_view Trim(std::string_view S) noexcept;

}  // namespace WinHttpImpl
