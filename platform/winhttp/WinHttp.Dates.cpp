// HTTP dates: WinHttpTimeFromSystemTime, WinHttpTimeToSystemTime and the parsing of date
// headers.

#include "WinHttp.Dates.h"

#include <cstdio>
#include <cstring>

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
