#pragma once
// Text helpers shared by every layer: the system's text is UTF-8 in std::string, and case
// folding touches the ASCII letters A-Z/a-z only.

#include <cstdint>
#include <string>
#include <string_view>

namespace Runtime {

inline constexpr char32_t ReplacementChar = U'\uFFFD';

/// The value of a hexadecimal digit (0-9, a-f, A-F); -1 for any other character.
constexpr int HexValue(char C) noexcept {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
}

/// A-Z become a-z; every other byte stays.
std::string AsciiLowerCase(std::string_view S);
/// a-z become A-Z; every other byte stays.
std::string AsciiUpperCase(std::string_view S);
/// Equal when only the case of ASCII letters differs.
bool SameTextAscii(std::string_view A, std::string_view B) noexcept;

/// Decodes the code point starting at S[Pos] and advances Pos past it. An invalid or
/// truncated sequence yields U+FFFD and advances by the longest valid prefix (at least one
/// byte), as the Unicode standard recommends.
char32_t NextCodePoint(std::string_view S, std::size_t& Pos) noexcept;
/// Appends the UTF-8 form of a code point (surrogates and out-of-range values as U+FFFD).
void AppendUtf8(std::string& Out, char32_t C);
/// UTF-8 to UTF-16, as the text goes to UTF-16 interfaces; invalid sequences become U+FFFD.
std::u16string ToUtf16(std::string_view S);
/// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string FromUtf16(std::u16string_view S);
/// The same text with every invalid UTF-8 sequence replaced by U+FFFD.
std::string ToValidUtf8(std::string_view S);
/// Whether the text is well-formed UTF-8.
bool IsValidUtf8(std::string_view S) noexcept;
/// Whether every byte is below 0x80.
bool IsAscii(std::string_view S) noexcept;
/// Whether a code point is a letter in Unicode's sense (ICU on Linux, the system's character
/// classes on Windows); false for U+FFFD.
bool IsUnicodeLetter(char32_t C) noexcept;

}  // namespace Runtime

namespace Runtime {
/// The text in the code set of the process locale (LC_CTYPE; on Windows the code page of the C
/// runtime's locale, the ANSI code page once the program selects the user's locale);
/// characters that code set cannot represent become "?". Under a UTF-8 locale the bytes are
/// unchanged.
std::string Utf8ToLocaleCodeSet(std::string_view S);
/// Whether Utf8ToLocaleCodeSet would return the text unchanged (ASCII text, or valid UTF-8
/// under a UTF-8 locale), so callers can skip the copy.
bool SameInLocaleCodeSet(std::string_view S) noexcept;
}  // namespace Runtime
