#include "Runtime.DateTime.h"

#include <cmath>
#include <ctime>

#include "Runtime.Exception.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace Runtime {

namespace {

// Day count relative to 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t Y, unsigned M, unsigned D) noexcept {
    Y -= M <= 2;
    const std::int64_t Era = (Y >= 0 ? Y : Y - 399) / 400;
    const auto Yoe = static_cast<unsigned>(Y - Era * 400);
    const unsigned Doy = (153 * (M > 2 ? M - 3 : M + 9) + 2) / 5 + D - 1;
    const unsigned Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
    return Era * 146097 + static_cast<std::int64_t>(Doe) - 719468;
}

void CivilFromDays(std::int64_t Z, std::int64_t& Y, unsigned& M, unsigned& D) noexcept {
    Z += 719468;
    const std::int64_t Era = (Z >= 0 ? Z : Z - 146096) / 146097;
    const auto Doe = static_cast<unsigned>(Z - Era * 146097);
    const unsigned Yoe = (Doe - Doe / 1460 + Doe / 36524 - Doe / 146096) / 365;
    const unsigned Doy = Doe - (365 * Yoe + Yoe / 4 - Yoe / 100);
    const unsigned Mp = (5 * Doy + 2) / 153;
    D = Doy - (153 * Mp + 2) / 5 + 1;
    M = Mp < 10 ? Mp + 3 : Mp - 9;
    Y = static_cast<std::int64_t>(Yoe) + Era * 400 + (M <= 2);
}

// Splits a value into whole days and milliseconds of the day, rounding the whole value to
// the millisecond first so 23:59:59.9999 carries into the next day. False outside the
// range of dates (and for NaN or infinities), which keeps every conversion defined.
bool ToTimeStamp(TDateTime Value, std::int64_t& Days, std::int64_t& MSecs) noexcept {
    if (!(Value >= MinDateTime - 1 && Value < MaxDateTime + 2)) return false;
    const auto Total = static_cast<std::int64_t>(std::llround(Value * MSecsPerDay));
    Days = Total / MSecsPerDay;
    MSecs = (Total < 0 ? -Total : Total) % MSecsPerDay;
    return true;
}

}  // namespace

bool IsLeapYear(int Year) noexcept {
    return Year % 4 == 0 && (Year % 100 != 0 || Year % 400 == 0);
}

int DaysInMonth(int Year, int Month) noexcept {
    static constexpr int Days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (Month < 1 || Month > 12) return 0;
    return Month == 2 && IsLeapYear(Year) ? 29 : Days[Month - 1];
}

bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Date) noexcept {
    if (Year < 1 || Year > 9999 || Day < 1 || Day > DaysInMonth(Year, Month)) return false;
    Date = static_cast<TDateTime>(
        DaysFromCivil(Year, static_cast<unsigned>(Month), static_cast<unsigned>(Day)) +
        static_cast<std::int64_t>(UnixDateDelta));
    return true;
}

TDateTime EncodeDate(int Year, int Month, int Day) {
    TDateTime Result;
    if (!TryEncodeDate(Year, Month, Day, Result))
        throw EConvertError("Invalid argument to date encode");
    return Result;
}

bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Time) noexcept {
    if (Hour < 0 || Hour >= 24 || Min < 0 || Min >= 60 || Sec < 0 || Sec >= 60 || MSec < 0 ||
        MSec >= 1000)
        return false;
    const std::int64_t Total = ((Hour * 60LL + Min) * 60 + Sec) * 1000 + MSec;
    Time = static_cast<TDateTime>(Total) / static_cast<TDateTime>(MSecsPerDay);
    return true;
}

TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec) {
    TDateTime Result;
    if (!TryEncodeTime(Hour, Min, Sec, MSec, Result))
        throw EConvertError("Invalid argument to time encode");
    return Result;
}

TDateTime ComposeDateTime(TDate Date, TTime Time) noexcept {
    return Date < 0 ? Date - Time : Date + Time;
}

void DecodeDate(TDateTime Value, int& Year, int& Month, int& Day) noexcept {
    Year = Month = Day = 0;
    std::int64_t Days, MSecs;
    if (!ToTimeStamp(Value, Days, MSecs)) return;
    std::int64_t Y;
    unsigned M, D;
    CivilFromDays(Days - static_cast<std::int64_t>(UnixDateDelta), Y, M, D);
    if (Y < 1 || Y > 9999) return;
    Year = static_cast<int>(Y);
    Month = static_cast<int>(M);
    Day = static_cast<int>(D);
}

void DecodeTime(TDateTime Value, int& Hour, int& Min, int& Sec, int& MSec) noexcept {
    Hour = Min = Sec = MSec = 0;
    std::int64_t Days, MSecs;
    if (!ToTimeStamp(Value, Days, MSecs)) return;
    MSec = static_cast<int>(MSecs % 1000);
    Sec = static_cast<int>(MSecs / 1000 % 60);
    Min = static_cast<int>(MSecs / 60'000 % 60);
    Hour = static_cast<int>(MSecs / 3'600'000);
}

TDate DateOf(TDateTime Value) noexcept {
    return std::trunc(Value);
}

TTime TimeOf(TDateTime Value) noexcept {
    return std::fabs(Value - std::trunc(Value));
}

#ifdef _WIN32

TDateTime Now() {
    SYSTEMTIME Local{};
    GetLocalTime(&Local);
    TDateTime Date = 0, Time = 0;
    TryEncodeDate(Local.wYear, Local.wMonth, Local.wDay, Date);
    TryEncodeTime(Local.wHour, Local.wMinute, Local.wSecond, Local.wMilliseconds, Time);
    return ComposeDateTime(Date, Time);
}

#else

TDateTime Now() {
    timespec Ts{};
    clock_gettime(CLOCK_REALTIME, &Ts);
    std::tm Local{};
    localtime_r(&Ts.tv_sec, &Local);
    TDateTime Date = 0, Time = 0;
    TryEncodeDate(Local.tm_year + 1900, Local.tm_mon + 1, Local.tm_mday, Date);
    TryEncodeTime(Local.tm_hour, Local.tm_min, Local.tm_sec < 60 ? Local.tm_sec : 59,
                  static_cast<int>(Ts.tv_nsec / 1'000'000), Time);
    return ComposeDateTime(Date, Time);
}

#endif

}  // namespace Runtime
