#pragma once
// Text helpers of libwinhttp: UTF-16 at the API boundary, UTF-8 inside.

#include <string>
#include <string_view>

#include "Runtime.Text.h"
#include "winhttp.h"

namespace WinHttpImpl {

/// Length of a NUL-terminated UTF-16 text.
std::size_t WLen(LPCWSTR S) noexcept;
using Runtime::FromUtf16;
using Runtime::ToUtf16;
/// A NUL-terminated UTF-16 text (null: empty) to UTF-8.
inline std::string ToUtf8(LPCWSTR S) {
    return S ? FromUtf16(std::u16string_view(S, WLen(S))) : "";
}
/// Bytes received from the network to UTF-16: UTF-8 when valid, otherwise Latin-1.
std::u16string WireToUtf16(std::string_view S);
/// ASCII case-insensitive comparison. Header names are compared many times a request, mostly
/// against names of another length: those cost one comparison here.
inline bool SameText(std::string_view A, std::string_view B) noexcept {
    return A.size() == B.size() && Runtime::SameTextAscii(A, B);
}
/// Without leading and trailing blanks and tabs.
inline std::string_view Trim(std::string_view S) noexcept {
    while (!S.empty() && (S.front() == ' ' || S.front() == '\t')) S.remove_prefix(1);
    while (!S.empty() && (S.back() == ' ' || S.back() == '\t')) S.remove_suffix(1);
    return S;
}

}  // namespace WinHttpImpl
