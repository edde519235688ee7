#include "WinHttp.Text.h"

#include <cstring>

#include "Runtime.Text.h"

namespace WinHttpImpl {

std::size_t WLen(LPCWSTR S) noexcept {
    std::size_t N = 0;
    if (S)
        while (S[N]) ++N;
    return N;
}

std::u16string WireToUtf16(std::string_view S) {
    // Header bytes that are not UTF-8 are taken as Latin-1, one character each.
    if (!Runtime::IsValidUtf8(S)) {
        std::u16string Latin1;
        Latin1.reserve(S.size());
        for (const char B : S) Latin1 += static_cast<char16_t>(static_cast<unsigned char>(B));
        return Latin1;
    }
    return ToUtf16(S);
}

bool SameText(std::string_view A, std::string_view B) noexcept {
    if (A.size() != B.size()) return false;
    for (std::size_t I = 0; I < A.size(); ++I) {
        char X = A[I], Y = B[I];
        if (X >= 'A' && X <= 'Z') X = static_cast<char>(X - 'A' + 'a');
        if (Y >= 'A' && Y <= 'Z') Y = static_cast<char>(Y - 'A' + 'a');
        if (X != Y) return false;
    }
    return true;
}

std::string_view Trim(std::string_view S) noexcept {
    while (!S.empty() && (S.front() == ' ' || S.front() == '\t')) S.remove_prefix(1);
    while (!S.empty() && (S.back() == ' ' || S.back() == '\t')) S.remove_suffix(1);
    return S;
}

}  // namespace WinHttpImpl
