#include "WinHttp.Text.h"

#include <cstdio>
#include <cstring>
#include <ctime>

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
    std::u16string Out;
    Out.reserve(S.size());
    for (std::size_t Pos = 0; Pos < S.size();) AppendUtf16(Out, Runtime::NextCodePoint(S, Pos));
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

std::string EscapeObjectName(std::u16string_view Name, DWORD Flags) {
    std::string Raw = ToUtf8(Name);
    const bool EscapeDisable = (Flags & WINHTTP_FLAG_ESCAPE_DISABLE) != 0;
    const bool EscapeDisableQuery = (Flags & WINHTTP_FLAG_ESCAPE_DISABLE_QUERY) != 0;
    const bool EscapePercent = (Flags & WINHTTP_FLAG_ESCAPE_PERCENT) != 0;
    static const char Hex[] = "0123456789ABCDEF";
    // Written through a pointer into room for the worst case (every byte escaped).
    std::string Out(Raw.size() * 3 + 1, '\0');
    char* O = Out.data();
    if (Raw.empty() || Raw[0] != '/') *O++ = '/';
    bool InQuery = false;
    for (char Ch : Raw) {
        unsigned char C = static_cast<unsigned char>(Ch);
        if (C == '?') InQuery = true;
        const bool Minimal = EscapeDisable || (InQuery && EscapeDisableQuery);
        bool Escape;
        if (C == '\r' || C == '\n') {
            if (Minimal) continue;  // the "escaping disabled" modes drop line breaks
            Escape = true;
        } else if (C < 0x20 || C == 0x7F || C >= 0x80 || C == ' ' || C == '#') {
            // Never sent raw: they would end or split the request line, or cut the target.
            Escape = true;
        } else if (Minimal) {
            Escape = false;
        } else if (C == '%') {
            Escape = EscapePercent;
        } else {
            switch (C) {
                case '"':
                case '<':
                case '>':
                case '[':
                case '\\':
                case ']':
                case '^':
                case '{':
                case '|':
                case '}':
                case '`':
                    Escape = true;
                    break;
                default:
                    Escape = false;
            }
        }
        if (Escape) {
            *O++ = '%';
            *O++ = Hex[C >> 4];
            *O++ = Hex[C & 0x0F];
        } else {
            *O++ = static_cast<char>(C);
        }
    }
    Out.resize(static_cast<std::size_t>(O - Out.data()));
    return Out;
}

static const char* const DayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static const char* const MonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

static int DaysInMonth(int Y, int M) {
    static const int D[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool Leap = (Y % 4 == 0 && Y % 100 != 0) || Y % 400 == 0;
    return M == 2 && Leap ? 29 : D[M - 1];
}

// Day of the week (0 = Sunday) by Sakamoto's method.
static int DayOfWeek(int Y, int M, int D) {
    static const int T[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (M < 3) Y -= 1;
    return (Y + Y / 4 - Y / 100 + Y / 400 + T[M - 1] + D) % 7;
}

bool FormatHttpDate(const SYSTEMTIME& T, std::string& Out) {
    if (T.wMonth < 1 || T.wMonth > 12 || T.wDay < 1 || T.wDay > DaysInMonth(T.wYear, T.wMonth) ||
        T.wHour > 23 || T.wMinute > 59 || T.wSecond > 59 || T.wYear < 1601 || T.wYear > 9999)
        return false;
    char Buf[64];
    std::snprintf(Buf, sizeof Buf, "%s, %02u %s %04u %02u:%02u:%02u GMT",
                  DayNames[DayOfWeek(T.wYear, T.wMonth, T.wDay)], unsigned(T.wDay),
                  MonthNames[T.wMonth - 1], unsigned(T.wYear), unsigned(T.wHour),
                  unsigned(T.wMinute), unsigned(T.wSecond));
    Out = Buf;
    return true;
}

bool ParseHttpDate(std::string_view S, SYSTEMTIME& Out) {
    std::string Text(Trim(S));
    char Mon[4] = {};
    int D = 0, Y = 0, H = 0, Mi = 0, Se = 0;
    int Consumed = 0;
    const char* P = Text.c_str();
    if (const char* Comma = std::strchr(P, ',')) {
        const char* Rest = Comma + 1;
        // RFC 1123 "06 Nov 1994 08:49:37 GMT" or RFC 850 "06-Nov-94 08:49:37 GMT".
        if (std::sscanf(Rest, " %2d %3s %4d %2d:%2d:%2d%n", &D, Mon, &Y, &H, &Mi, &Se, &Consumed) !=
                6 &&
            std::sscanf(Rest, " %2d-%3s-%4d %2d:%2d:%2d%n", &D, Mon, &Y, &H, &Mi, &Se, &Consumed) !=
                6)
            return false;
        if (Y < 100) Y += Y < 70 ? 2000 : 1900;
    } else {
        // asctime: "Sun Nov  6 08:49:37 1994"
        char Wd[4] = {};
        if (std::sscanf(P, "%3s %3s %2d %2d:%2d:%2d %4d%n", Wd, Mon, &D, &H, &Mi, &Se, &Y,
                        &Consumed) != 7)
            return false;
    }
    int M = 0;
    for (int I = 0; I < 12; ++I)
        if (SameText(Mon, MonthNames[I])) M = I + 1;
    if (M == 0 || Y < 1601 || Y > 9999 || D < 1 || D > DaysInMonth(Y, M) || H > 23 || Mi > 59 ||
        Se > 60)
        return false;
    Out = SYSTEMTIME{};
    Out.wYear = static_cast<WORD>(Y);
    Out.wMonth = static_cast<WORD>(M);
    Out.wDay = static_cast<WORD>(D);
    Out.wHour = static_cast<WORD>(H);
    Out.wMinute = static_cast<WORD>(Mi);
    Out.wSecond = static_cast<WORD>(Se > 59 ? 59 : Se);
    Out.wDayOfWeek = static_cast<WORD>(DayOfWeek(Y, M, D));
    return true;
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
