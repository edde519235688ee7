// HTTP dates: WinHttpTimeFromSystemTime, WinHttpTimeToSystemTime and the parsing of date
// headers.

#include "WinHttp.Dates.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "WinHttp.Api.h"
#include "WinHttp.Text.h"

namespace WinHttpImpl {

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

// Dates are read as WinHTTP reads them: leniently. The text is taken as runs of letters and
// runs of digits, anything between them a separator, case ignored; so besides the three HTTP
// forms ("Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
// "Sun Nov  6 08:49:37 1994") a form like " mon 28 jul 2008 10 05 52" is a date.
bool ParseHttpDate(std::string_view S, SYSTEMTIME& Out) {
    struct TToken {
        bool Number;
        std::string_view Text;
        int Value;
    };
    std::vector<TToken> Tokens;
    auto IsAlpha = [](char C) { return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z'); };
    auto IsDigit = [](char C) { return C >= '0' && C <= '9'; };
    for (std::size_t I = 0; I < S.size() && Tokens.size() < 16;) {
        const char C = S[I];
        if (!IsAlpha(C) && !IsDigit(C)) {
            ++I;
            continue;
        }
        const bool Number = IsDigit(C);
        std::size_t J = I;
        int Value = 0;
        while (J < S.size() && (Number ? IsDigit(S[J]) : IsAlpha(S[J]))) {
            if (Number && Value < 100000) Value = Value * 10 + (S[J] - '0');
            ++J;
        }
        Tokens.push_back(TToken{Number, S.substr(I, J - I), Value});
        I = J;
    }
    auto MonthOf = [](std::string_view T) {
        if (T.size() < 3) return 0;
        for (int I = 0; I < 12; ++I)
            if (SameText(T.substr(0, 3), MonthNames[I])) return I + 1;
        return 0;
    };
    auto IsDayName = [](std::string_view T) {
        if (T.size() < 3) return false;
        for (const char* D : DayNames)
            if (SameText(T.substr(0, 3), D)) return true;
        return false;
    };
    std::size_t P = 0;
    if (P < Tokens.size() && !Tokens[P].Number) {
        if (!IsDayName(Tokens[P].Text) && !MonthOf(Tokens[P].Text)) return false;
        if (IsDayName(Tokens[P].Text)) ++P;
    }
    auto Num = [&](int& V) {
        if (P >= Tokens.size() || !Tokens[P].Number) return false;
        V = Tokens[P++].Value;
        return true;
    };
    auto Month = [&](int& M) {
        if (P >= Tokens.size() || Tokens[P].Number) return false;
        M = MonthOf(Tokens[P++].Text);
        return M != 0;
    };
    int D = 0, M = 0, Y = 0, H = 0, Mi = 0, Se = 0;
    if (P < Tokens.size() && Tokens[P].Number) {
        // day month year hour minute second
        if (!Num(D) || !Month(M) || !Num(Y) || !Num(H) || !Num(Mi) || !Num(Se)) return false;
        if (Y < 100) Y += Y < 70 ? 2000 : 1900;
    } else {
        // asctime: month day hour minute second year
        if (!Month(M) || !Num(D) || !Num(H) || !Num(Mi) || !Num(Se) || !Num(Y)) return false;
    }
    if (Y < 1601 || Y > 9999 || D < 1 || D > DaysInMonth(Y, M) || H > 23 || Mi > 59 || Se > 60)
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

}  // namespace WinHttpImpl

using namespace WinHttpImpl;

extern "C" {

WINHTTPAPI BOOL WINAPI WinHttpTimeFromSystemTime(const SYSTEMTIME* pst, LPWSTR pwszTime) {
    return Guard(
        [&]() -> BOOL {
            std::string Text;
            if (!pst || !pwszTime || !FormatHttpDate(*pst, Text))
                return Fail(ERROR_INVALID_PARAMETER);
            std::u16string W = ToUtf16(Text);
            std::memcpy(pwszTime, W.c_str(), (W.size() + 1) * sizeof(WCHAR));
            return Succeed();
        },
        FALSE);
}

WINHTTPAPI BOOL WINAPI WinHttpTimeToSystemTime(LPCWSTR pwszTime, SYSTEMTIME* pst) {
    return Guard(
        [&]() -> BOOL {
            if (!pwszTime || !pst) return Fail(ERROR_INVALID_PARAMETER);
            SYSTEMTIME T{};
            if (!ParseHttpDate(ToUtf8(pwszTime), T)) return Fail(ERROR_INVALID_PARAMETER);
            *pst = T;
            return Succeed();
        },
        FALSE);
}

}  // extern "C"
