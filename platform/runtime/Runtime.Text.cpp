#include "Runtime.Text.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Runtime {

std::string AsciiLowerCase(std::string_view S) {
    std::string Result(S);
    for (char& C : Result)
        if (C >= 'A' && C <= 'Z') C = static_cast<char>(C + ('a' - 'A'));
    return Result;
}

std::string AsciiUpperCase(std::string_view S) {
    std::string Result(S);
    for (char& C : Result)
        if (C >= 'a' && C <= 'z') C = static_cast<char>(C - ('a' - 'A'));
    return Result;
}

namespace {

// Eight bytes below 0x80 with A-Z made a-z: a byte's high bit is set by adding 0x3F exactly
// when it is 'A' or above, and by adding 0x25 when it is above 'Z'; no sum carries into the
// next byte.
std::uint64_t LowerAscii8(std::uint64_t W) noexcept {
    const std::uint64_t Upper =
        (W + 0x3F3F3F3F3F3F3F3FULL) & ~(W + 0x2525252525252525ULL) & 0x8080808080808080ULL;
    return W | (Upper >> 2);
}

}  // namespace

bool SameTextAscii(std::string_view A, std::string_view B) noexcept {
    if (A.size() != B.size()) return false;
    std::size_t i = 0;
    for (; i + 8 <= A.size(); i += 8) {
        std::uint64_t X, Y;
        std::memcpy(&X, A.data() + i, 8);
        std::memcpy(&Y, B.data() + i, 8);
        if (X == Y) continue;
        if ((X | Y) & 0x8080808080808080ULL) break;  // bytes beyond ASCII: one at a time
        if (LowerAscii8(X) != LowerAscii8(Y)) return false;
    }
    for (; i < A.size(); ++i) {
        char X = A[i], Y = B[i];
        if (X >= 'A' && X <= 'Z') X = static_cast<char>(X + 32);
        if (Y >= 'A' && Y <= 'Z') Y = static_cast<char>(Y + 32);
        if (X != Y) return false;
    }
    return true;
}

char32_t NextCodePoint(std::string_view S, std::size_t& Pos) noexcept {
    const auto Byte = [&](std::size_t i) { return static_cast<std::uint8_t>(S[i]); };
    const std::uint8_t B0 = Byte(Pos);
    if (B0 < 0x80) {
        ++Pos;
        return B0;
    }
    int Length;
    char32_t C;
    std::uint8_t Lo = 0x80, Hi = 0xBF;  // allowed range of the second byte
    if (B0 >= 0xC2 && B0 <= 0xDF) {
        Length = 2;
        C = B0 & 0x1F;
    } else if (B0 >= 0xE0 && B0 <= 0xEF) {
        Length = 3;
        C = B0 & 0x0F;
        if (B0 == 0xE0) Lo = 0xA0;  // no overlong forms
        if (B0 == 0xED) Hi = 0x9F;  // no surrogates
    } else if (B0 >= 0xF0 && B0 <= 0xF4) {
        Length = 4;
        C = B0 & 0x07;
        if (B0 == 0xF0) Lo = 0x90;  // no overlong forms
        if (B0 == 0xF4) Hi = 0x8F;  // nothing above U+10FFFF
    } else {
        ++Pos;
        return ReplacementChar;
    }
    std::size_t i = Pos + 1;
    for (int k = 1; k < Length; ++k, ++i) {
        if (i >= S.size()) {
            Pos = i;
            return ReplacementChar;
        }
        const std::uint8_t B = Byte(i);
        const std::uint8_t Min = k == 1 ? Lo : 0x80, Max = k == 1 ? Hi : 0xBF;
        if (B < Min || B > Max) {
            Pos = i;
            return ReplacementChar;
        }
        C = (C << 6) | (B & 0x3F);
    }
    Pos = i;
    return C;
}

void AppendUtf8(std::string& Out, char32_t C) {
    if ((C >= 0xD800 && C <= 0xDFFF) || C > 0x10FFFF) C = ReplacementChar;
    if (C < 0x80) {
        Out += static_cast<char>(C);
    } else if (C < 0x800) {
        Out += static_cast<char>(0xC0 | (C >> 6));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    } else if (C < 0x10000) {
        Out += static_cast<char>(0xE0 | (C >> 12));
        Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    } else {
        Out += static_cast<char>(0xF0 | (C >> 18));
        Out += static_cast<char>(0x80 | ((C >> 12) & 0x3F));
        Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    }
}

namespace {

// Length of the leading run of ASCII, eight bytes at a time: names,
// paths and header blocks are nearly always ASCII throughout.
std::size_t AsciiPrefix(std::string_view S) noexcept {
    std::size_t I = 0;
#if defined(__SSE2__)
    for (; I + 16 <= S.size(); I += 16) {
        const __m128i Bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(S.data() + I));
        if (_mm_movemask_epi8(Bytes)) break;
    }
#endif
    for (; I + 8 <= S.size(); I += 8) {
        std::uint64_t Word;
        std::memcpy(&Word, S.data() + I, 8);
        if (Word & 0x8080808080808080ULL) break;
    }
    while (I < S.size() && static_cast<unsigned char>(S[I]) < 0x80) ++I;
    return I;
}

// ASCII is widened four characters at a time: eight bytes 0x00..0x7F spread to 16 bits each.
void WidenAscii(const char* From, char16_t* To, std::size_t Count) noexcept {
    std::size_t I = 0;
#if defined(__SSE2__)
    // Sixteen at a time: each byte interleaved with a zero byte is its UTF-16 unit.
    const __m128i Zero = _mm_setzero_si128();
    for (; I + 16 <= Count; I += 16) {
        const __m128i Bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(From + I));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(To + I), _mm_unpacklo_epi8(Bytes, Zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(To + I + 8), _mm_unpackhi_epi8(Bytes, Zero));
    }
#endif
    for (; I + 4 <= Count; I += 4) {
        std::uint32_t Four;
        std::memcpy(&Four, From + I, 4);
        std::uint64_t W = Four;
        W = (W | (W << 16)) & 0x0000FFFF0000FFFFULL;
        W = (W | (W << 8)) & 0x00FF00FF00FF00FFULL;
        if constexpr (std::endian::native == std::endian::big)
            for (int K = 0; K < 4; ++K) To[I + K] = static_cast<unsigned char>(From[I + K]);
        else
            std::memcpy(To + I, &W, 8);
    }
    for (; I < Count; ++I) To[I] = static_cast<unsigned char>(From[I]);
}

// The reverse: four UTF-16 units below 0x80 packed into four bytes.
void NarrowAscii(const char16_t* From, char* To, std::size_t Count) noexcept {
    std::size_t I = 0;
    for (; I + 4 <= Count; I += 4) {
        std::uint64_t W;
        std::memcpy(&W, From + I, 8);
        W = (W | (W >> 8)) & 0x0000FFFF0000FFFFULL;
        W = (W | (W >> 16)) & 0x00000000FFFFFFFFULL;
        const auto Four = static_cast<std::uint32_t>(W);
        if constexpr (std::endian::native == std::endian::big)
            for (int K = 0; K < 4; ++K) To[I + K] = static_cast<char>(From[I + K]);
        else
            std::memcpy(To + I, &Four, 4);
    }
    for (; I < Count; ++I) To[I] = static_cast<char>(From[I]);
}

}  // namespace

std::u16string ToUtf16(std::string_view S) {
    const std::size_t Ascii = AsciiPrefix(S);
    std::u16string Out(Ascii, u'\0');
    WidenAscii(S.data(), Out.data(), Ascii);
    if (Ascii == S.size()) return Out;
    Out.reserve(S.size());
    for (std::size_t Pos = Ascii; Pos < S.size();) {
        char32_t C = NextCodePoint(S, Pos);
        if (C >= 0x10000) {
            C -= 0x10000;
            Out += static_cast<char16_t>(0xD800 + (C >> 10));
            Out += static_cast<char16_t>(0xDC00 + (C & 0x3FF));
        } else {
            Out += static_cast<char16_t>(C);
        }
    }
    return Out;
}

std::string FromUtf16(std::u16string_view S) {
    // The ASCII start, all of nearly every text, is checked and narrowed in one pass.
    std::string Out(S.size(), '\0');
    std::size_t Ascii = 0;
#if defined(__SSE2__)
    // Sixteen units at a time: none has a bit above 0x7F set, then each packs into its byte.
    const __m128i High = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i Zero = _mm_setzero_si128();
    for (; Ascii + 16 <= S.size(); Ascii += 16) {
        const auto* From = reinterpret_cast<const __m128i*>(S.data() + Ascii);
        const __m128i A = _mm_loadu_si128(From), B = _mm_loadu_si128(From + 1);
        const __m128i Beyond = _mm_and_si128(_mm_or_si128(A, B), High);
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(Beyond, Zero)) != 0xFFFF) break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Out.data() + Ascii), _mm_packus_epi16(A, B));
    }
#endif
    for (; Ascii + 4 <= S.size(); Ascii += 4) {
        std::uint64_t W;
        std::memcpy(&W, S.data() + Ascii, 8);
        if (W & 0xFF80FF80FF80FF80ULL) break;
        NarrowAscii(S.data() + Ascii, Out.data() + Ascii, 4);
    }
    while (Ascii < S.size() && S[Ascii] < 0x80) {
        Out[Ascii] = static_cast<char>(S[Ascii]);
        ++Ascii;
    }
    if (Ascii == S.size()) return Out;
    Out.resize(Ascii);
    Out.reserve(S.size() + (S.size() - Ascii) * 2);
    for (std::size_t I = Ascii; I < S.size(); ++I) {
        char32_t C = S[I];
        if (C >= 0xD800 && C <= 0xDBFF && I + 1 < S.size() && S[I + 1] >= 0xDC00 &&
            S[I + 1] <= 0xDFFF) {
            C = 0x10000 + ((C - 0xD800) << 10) + (S[I + 1] - 0xDC00);
            ++I;
        } else if (C >= 0xD800 && C <= 0xDFFF) {
            C = ReplacementChar;
        }
        AppendUtf8(Out, C);
    }
    return Out;
}

bool IsAscii(std::string_view S) noexcept {
    return AsciiPrefix(S) == S.size();
}

bool IsValidUtf8(std::string_view S) noexcept {
    for (std::size_t Pos = AsciiPrefix(S); Pos < S.size();) {
        if (static_cast<unsigned char>(S[Pos]) < 0x80) {
            ++Pos;
            continue;
        }
        const std::size_t Start = Pos;
        // A decoded U+FFFD is fine only when the text spelt it out in full.
        if (NextCodePoint(S, Pos) == ReplacementChar && S.substr(Start, 3) != "\xEF\xBF\xBD")
            return false;
    }
    return true;
}

std::string ToValidUtf8(std::string_view S) {
    // Fast path: most text is already valid.
    if (IsValidUtf8(S)) return std::string(S);
    std::string Result;
    Result.reserve(S.size() + 8);
    std::size_t Pos = 0;
    while (Pos < S.size()) AppendUtf8(Result, NextCodePoint(S, Pos));
    return Result;
}

}  // namespace Runtime

#ifdef _WIN32
#include <windows.h>

#include <clocale>
#else
#include <iconv.h>
#include <langinfo.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#endif

namespace Runtime {

#ifdef _WIN32

namespace {

// The code page of the C runtime's LC_CTYPE locale: 0 in the "C" locale, whose code set is
// ASCII, the ANSI code page after setlocale(LC_CTYPE, ""), CP_UTF8 under a ".UTF-8" locale.
unsigned LocaleCodePage() noexcept {
    return ___lc_codepage_func();
}

std::wstring Utf16(std::string_view S) {
    std::wstring W;
    W.reserve(S.size());
    std::size_t Pos = 0;
    while (Pos < S.size()) {
        const char32_t C = NextCodePoint(S, Pos);
        if (C < 0x10000) {
            W += static_cast<wchar_t>(C);
        } else {
            W += static_cast<wchar_t>(0xD800 + ((C - 0x10000) >> 10));
            W += static_cast<wchar_t>(0xDC00 + ((C - 0x10000) & 0x3FF));
        }
    }
    return W;
}

}  // namespace

bool SameInLocaleCodeSet(std::string_view S) noexcept {
    return IsAscii(S) || (LocaleCodePage() == CP_UTF8 && IsValidUtf8(S));
}

std::string Utf8ToLocaleCodeSet(std::string_view S) {
    const unsigned CodePage = LocaleCodePage();
    if (IsAscii(S) || CodePage == CP_UTF8) return ToValidUtf8(S);
    if (CodePage == 0) {
        // ASCII: one "?" for every character beyond it.
        std::string Result;
        std::size_t Pos = 0;
        while (Pos < S.size()) {
            const char32_t C = NextCodePoint(S, Pos);
            Result += C < 0x80 ? static_cast<char>(C) : '?';
        }
        return Result;
    }
    // The system's own conversion, with "?" for what the code page lacks and no "best fit"
    // look-alikes: a character either converts exactly or shows as replaced.
    const std::wstring W = Utf16(S);
    const int Size = static_cast<int>(W.size());
    const int N = WideCharToMultiByte(CodePage, WC_NO_BEST_FIT_CHARS, W.data(), Size, nullptr, 0,
                                      "?", nullptr);
    if (N <= 0) return std::string(S.size(), '?');
    std::string Result(static_cast<std::size_t>(N), '\0');
    WideCharToMultiByte(CodePage, WC_NO_BEST_FIT_CHARS, W.data(), Size, Result.data(), N, "?",
                        nullptr);
    return Result;
}

bool IsUnicodeLetter(char32_t C) noexcept {
    if (C < 0x80) return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z');
    if (C == ReplacementChar || (C >= 0xD800 && C <= 0xDFFF) || C > 0x10FFFF) return false;
    // The system's character classes; a character beyond the BMP is asked as its surrogate
    // pair and classed by its first unit's answer.
    wchar_t Units[2];
    int Count = 1;
    if (C < 0x10000) {
        Units[0] = static_cast<wchar_t>(C);
    } else {
        Units[0] = static_cast<wchar_t>(0xD800 + ((C - 0x10000) >> 10));
        Units[1] = static_cast<wchar_t>(0xDC00 + ((C - 0x10000) & 0x3FF));
        Count = 2;
    }
    WORD Types[2] = {0, 0};
    if (!GetStringTypeW(CT_CTYPE1, Units, Count, Types)) return false;
    return (Types[0] & C1_ALPHA) != 0;
}

#else

bool IsUnicodeLetter(char32_t C) noexcept {
    if (C < 0x80) return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z');
    return C != ReplacementChar && u_isalpha(static_cast<UChar32>(C));
}

bool SameInLocaleCodeSet(std::string_view S) noexcept {
    return IsAscii(S) || (std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0 && IsValidUtf8(S));
}

namespace {

// The calling thread's converter from UTF-8 to the locale's code set, opened on first use
// and again only when the code set changes: opening one costs far more than converting a
// header value.
class TLocaleConverter {
  public:
    TLocaleConverter() = default;
    TLocaleConverter(const TLocaleConverter&) = delete;
    TLocaleConverter& operator=(const TLocaleConverter&) = delete;
    ~TLocaleConverter() { Close(); }

    /// The descriptor for CodeSet in its initial shift state; (iconv_t)-1 when the system
    /// cannot convert to it.
    iconv_t For(const char* CodeSet) {
        if (!FOpened || FCodeSet != CodeSet) {
            Close();
            FCodeSet = CodeSet;
            FCd = iconv_open(CodeSet, "UTF-8");
            FOpened = true;
        }
        if (FCd != Invalid()) iconv(FCd, nullptr, nullptr, nullptr, nullptr);
        return FCd;
    }

    static iconv_t Invalid() noexcept { return reinterpret_cast<iconv_t>(-1); }

  private:
    void Close() noexcept {
        if (FCd != Invalid()) iconv_close(FCd);
        FCd = Invalid();
    }

    std::string FCodeSet;
    iconv_t FCd = Invalid();
    bool FOpened = false;
};

thread_local TLocaleConverter GLocaleConverter;

}  // namespace

std::string Utf8ToLocaleCodeSet(std::string_view S) {
    const char* CodeSet = nl_langinfo(CODESET);
    // ASCII text reads the same in every code set the system runs with.
    if (IsAscii(S) || std::strcmp(CodeSet, "UTF-8") == 0) return ToValidUtf8(S);

    // Invalid sequences become U+FFFD first, so the converter only ever sees whole
    // characters and fails only on those the code set cannot represent.
    std::string Text = ToValidUtf8(S);
    const iconv_t Cd = GLocaleConverter.For(CodeSet);
    std::string Result;
    if (Cd == TLocaleConverter::Invalid()) {
        // No converter for this code set: every character is unrepresentable.
        for (std::size_t Pos = 0; Pos < Text.size(); NextCodePoint(Text, Pos)) Result += '?';
        return Result;
    }

    Result.resize(Text.size() + 16);
    std::size_t Done = 0;
    std::size_t Pos = 0;
    // The converter may decode well ahead of what it has written, and after a character it
    // cannot represent it works its way back to it: fed in pieces of whole characters, a
    // text full of such characters costs each of them a piece at most, not the rest of the
    // text.
    constexpr std::size_t PieceSize = 256;
    for (;;) {
        // Empty input asks for the final flush: a pending character and the return to the
        // initial shift state.
        const bool Flush = Pos == Text.size();
        std::size_t Piece = std::min(Text.size() - Pos, PieceSize);
        while (Pos + Piece < Text.size() &&
               (static_cast<unsigned char>(Text[Pos + Piece]) & 0xC0) == 0x80)
            --Piece;
        char* In = Text.data() + Pos;
        std::size_t InLeft = Piece;
        char* Out = Result.data() + Done;
        std::size_t OutLeft = Result.size() - Done;
        const std::size_t Converted = Flush ? iconv(Cd, nullptr, nullptr, &Out, &OutLeft)
                                            : iconv(Cd, &In, &InLeft, &Out, &OutLeft);
        const int Error = errno;
        Done = static_cast<std::size_t>(Out - Result.data());
        Pos = static_cast<std::size_t>(In - Text.data());
        if (Converted != static_cast<std::size_t>(-1)) {
            if (Flush) break;
            continue;
        }
        if (Error == E2BIG) {
            Result.resize(Result.size() * 2);
            continue;
        }
        if (Flush) break;  // only a full output buffer can stop the flush
        // The character at Pos has no form in this code set: one "?" stands for it, and
        // conversion goes on after it from the initial shift state.
        iconv(Cd, nullptr, nullptr, nullptr, nullptr);
        if (Done == Result.size()) Result.resize(Result.size() * 2);
        Result[Done++] = '?';
        NextCodePoint(Text, Pos);
    }
    Result.resize(Done);
    return Result;
}

#endif

}  // namespace Runtime
