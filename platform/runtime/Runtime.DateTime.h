#pragma once
// The runtime's date/time values: day counts since 1899-12-30 as doubles, the whole part the
// day and the fraction the time of day. A negative value counts days backwards while its
// fraction still runs forwards from midnight (-1.25 is 1899-12-29 06:00).

#include <cstdint>

namespace Runtime {

using TDateTime = double;
using TDate = double;
using TTime = double;

inline constexpr std::int64_t MSecsPerDay = 86'400'000;
/// Day count of 1970-01-01, the Unix epoch.
inline constexpr TDateTime UnixDateDelta = 25569.0;
/// Day counts of 0001-01-01 and 9999-12-31, the range a date can have.
inline constexpr TDateTime MinDateTime = -693593.0;
inline constexpr TDateTime MaxDateTime = 2958465.0;

bool IsLeapYear(int Year) noexcept;
/// Days in a month of a year; 0 when the month is not 1 to 12.
int DaysInMonth(int Year, int Month) noexcept;

/// False (Date untouched) unless the date exists and the year is 1 to 9999.
bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Date) noexcept;
/// Raises EConvertError "Invalid argument to date encode" for a date that does not exist.
TDateTime EncodeDate(int Year, int Month, int Day);
/// False (Time untouched) unless hour < 24, minute and second < 60, millisecond < 1000.
bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Time) noexcept;
/// Raises EConvertError "Invalid argument to time encode" for out-of-range parts.
TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec);
/// A date plus a time of day, also for dates before 1899-12-30.
TDateTime ComposeDateTime(TDate Date, TTime Time) noexcept;

/// Year, month and day of a value rounded to the millisecond; all 0 when the value is not a
/// date of years 1 to 9999 (or not a finite number).
void DecodeDate(TDateTime Value, int& Year, int& Month, int& Day) noexcept;
/// Time of day of a value rounded to the millisecond; all 0 for a value DecodeDate rejects.
void DecodeTime(TDateTime Value, int& Hour, int& Min, int& Sec, int& MSec) noexcept;

/// The whole-day part (towards zero) and the time of day (never negative).
TDate DateOf(TDateTime Value) noexcept;
TTime TimeOf(TDateTime Value) noexcept;

/// The current local date and time.
TDateTime Now();

}  // namespace Runtime
