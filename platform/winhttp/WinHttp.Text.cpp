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

}  // namespace WinHttpImpl
