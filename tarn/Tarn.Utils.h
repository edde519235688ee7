#pragma once
// Tarn.Utils: text routines of the base library shared by client and server code.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "Runtime.DateTime.h"
#include "Runtime.Guid.h"
#include "Runtime.Stream.h"

namespace Tarn {

using Runtime::TDate;
using Runtime::TDateTime;
using Runtime::TTime;

/// Percent-encoded form of a text: its UTF-8 bytes, with every byte other than an ASCII
/// letter, digit or one of !'()*-._~ written as "%XX" (upper-case hexadecimal).
std::string PercentEncode(std::string_view S);

/// The text a percent-encoded form denotes: "%XX" triplets become bytes, everything else
/// (a malformed "%", "+", any other byte) is copied as it is; byte sequences that are not
/// valid UTF-8 after decoding become U+FFFD.
std::string PercentDecode(std::string_view S);

/// Standard Base64 (A-Z a-z 0-9 + /), padded with "=" to a multiple of four, no line breaks.
std::string EncodeBase64(std::span<const std::uint8_t> Input);
std::string EncodeBase64(std::string_view Input);
/// Decodes Base64, padded or not: within each group of four a "=" in the third or fourth
/// place ends the group's data, and one character left over at the end is ignored. Raises
/// EConvertError for any character outside the alphabet (blanks and line breaks included)
/// and for "=" in the first or second place of a group.
Runtime::TBytes DecodeBase64(std::string_view Input);

/// AbsoluteUrl, a "/" unless it is empty or already ends with one, then RelativeUrl as it is.
std::string CombineUrlFast(std::string_view AbsoluteUrl, std::string_view RelativeUrl);

/// "YYYY-MM-DD" of the value's date.
std::string DateToISO(TDate Value);
/// "hh:mm", "hh:mm:ss" or "hh:mm:ss.zzz", as short as the value's time of day allows.
std::string TimeToISO(TTime Value);
/// Date "T" time; without FullNotation a value with no time gives the date alone and a
/// value with no date (day 0) the time alone. Local time, never a zone designator.
std::string DateTimeToISO(TDateTime Value, bool FullNotation = true);

/// Reads "YYYY-MM-DD" / "YYYYMMDD", "hh:mm[:ss[.f...]]" / "hhmm[ss[.f...]]", or a date and
/// a time joined by "T". Only "0"-"9" count as digits; a zone designator is rejected; an
/// empty text gives 0. False (Value untouched) for anything else.
bool TryISOToDateTime(std::string_view Text, TDateTime& Value);
/// The same parse as TryISOToDateTime.
bool TryISOToDate(std::string_view Text, TDate& Value);
/// The same parse, keeping only the time of day.
bool TryISOToTime(std::string_view Text, TTime& Value);
/// As the Try forms, raising EConvertError "Value %s is not a valid datetime" on bad text.
TDateTime ISOToDateTime(std::string_view Text);
TDate ISOToDate(std::string_view Text);
TTime ISOToTime(std::string_view Text);

/// "P" with the days, hours, minutes and seconds that are not 0 ("P1D12H"); "P0D" for none.
/// Milliseconds are dropped.
std::string DateTimeToDayTimeDuration(TTime Value);
/// Reads "P" followed by components "<digits>D|H|M|S" up to the first text that is not one
/// (a later letter replaces an earlier one). False when the "P" or every component is
/// missing. Hours of 24 or more, or minutes or seconds of 60 or more, raise EConvertError.
bool TryDayTimeDurationToDateTime(std::string_view Text, TTime& Value);

/// Reads the text of a GUID given without braces; false (Guid untouched) otherwise.
bool TryStringToGuid(std::string_view Text, Runtime::TGUID& Guid);

}  // namespace Tarn
