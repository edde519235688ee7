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

std::string ToUtf8(std::u16string_view S) {
    // Names, verbs and paths are nearly always ASCII: one pass, no per-character appends.
    std::size_t Ascii = 0;
    while (Ascii < S.size() && S[Ascii] < 0x80) ++Ascii;
    std::string Out(Ascii, '\0');
    for (std::size_t I = 0; I < Ascii; ++I) Out[I] = static_cast<char>(S[I]);
    if (Ascii == S.size()) return Out;
    Out.reserve(S.size() + (S.size() - Ascii) * 2);
    for (std::size_t I = Ascii; I < S.size(); ++I) {
        char32_t C = S[I];
        if (C >= 0xD800 && C <= 0xDBFF && I + 1 < S.size() && S[I + 1] >= 0xDC00 &&
            S[I + 1] <= 0xDFFF) {
            C = 0x10000 + ((C - 0xD800) << 10) + (S[I + 1] - 0xDC00);
            ++I;
        } else if (C >= 0xD800 && C <= 0xDFFF) {
            C = 0xFFFD;
        }
        Runtime::AppendUtf8(Out, C);
    }
    return Out;
}

static void AppendUtf16(std::u16string& Out, char32_t C) {
    if (C >= 0x10000) {
        C -= 0x10000;
        Out += static_cast<char16_t>(0xD800 + (C >> 10));
        Out += static_cast<char16_t>(0xDC00 + (C & 0x3FF));
    } else {
        Out += static_cast<char16_t>(C);
    }
}

std::u16string Utf8ToUtf16(std::string_view S) {
    // Header blocks, names and paths are nearly always ASCII: that part is widened in one pass.
    std::size_t Ascii = 0;
    while (Ascii < S.size() && static_cast<unsigned char>(S[Ascii]) < 0x80) ++Ascii;
    std::u16string Out(Ascii, u'\0');
    for (std::size_t I = 0; I < Ascii; ++I) Out[I] = static_cast<char16_t>(S[I]);
    if (Ascii == S.size()) return Out;
    Out.reserve(S.size());
    for (std::size_t Pos = Ascii; Pos < S.size();) AppendUtf16(Out, Runtime::NextCodePoint(S, Pos));
    return Out;
}

std::u16string WireToUtf16(std::string_view S) {
    // Header bytes that are not UTF-8 are taken as Latin-1, one character each.
    if (!Runtime::IsValidUtf8(S)) {
        std::u16string Latin1;
        Latin1.reserve(S.size());
        for (const char B : S) Latin1 += static_cast<char16_t>(static_cast<unsigned char>(B));
        return Latin1;
    }
    return Utf8ToUtf16(S);
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
