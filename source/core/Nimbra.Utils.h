#pragma once
// Nimbra.Utils: protocol helpers shared by client and server code.

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Runtime.DateTime.h"
#include "Runtime.Guid.h"
#include "Runtime.Stream.h"

namespace Nimbra {

using Runtime::TDate;
using Runtime::TDateTime;
using Runtime::TTime;

/// A name and its value, as found in a query string or a header's parameters.
struct TNameValuePair {
    std::string Name;
    std::string Value;

    TNameValuePair() = default;
    TNameValuePair(std::string AName, std::string AValue)
        : Name(std::move(AName)), Value(std::move(AValue)) {}

    friend bool operator==(const TNameValuePair&, const TNameValuePair&) = default;
};

/// A header value split into its main value and its ";"-separated parameters.
struct THeaderParamsInfo {
    std::string Value;
    std::vector<TNameValuePair> Params;

    /// Value of the first parameter with that name (ASCII case ignored), else empty.
    std::string ParamValue(std::string_view Name) const;
    /// The same lookup; true (and Value set) when found.
    bool TryParamValue(std::string_view AName, std::string& AValue) const;
};

/// The parameters of a query string with lookup by name, exact or ignoring ASCII case.
class TQueryString {
  public:
    TQueryString() = default;
    TQueryString(std::string_view Query, bool IgnoreCase, bool DecodePlus);

    int ParamCount() const noexcept { return static_cast<int>(FParams.size()); }
    const std::vector<TNameValuePair>& Params() const noexcept { return FParams; }
    /// Value of the first parameter with that name, else empty.
    std::string GetValue(std::string_view Name) const;
    bool Contains(std::string_view Name) const;

  private:
    const TNameValuePair* Find(std::string_view Name) const;

    std::vector<TNameValuePair> FParams;
    bool FIgnoreCase = false;
};

/// Class-only protocol helpers: reason phrases, query strings, header parameters,
/// content negotiation, Basic auth, Base64 and ISO 8601 texts.
/// Percent coding, Base64, the ISO 8601 and GUID texts and URL joining live in the base
/// library (Tarn.Utils) and are only forwarded here, so that a program built on the
/// framework finds every protocol helper in this one class; the framework's own code calls
/// Tarn.Utils directly.
class TNimbraUtils {
  public:
    TNimbraUtils() = delete;

    /// Reason phrase of a status code; empty for codes the table does not know.
    static std::string GetStatusReason(int StatusCode);

    static std::string PercentEncode(std::string_view S);
    /// Each segment encoded, joined with "/" (no "/" before the first non-empty text).
    static std::string PercentEncode(const std::vector<std::string>& Segments);
    static std::string PercentEncode(std::initializer_list<std::string_view> Segments);
    static std::string PercentDecode(std::string_view S);

    /// One pair per "&"-separated piece of the query (a leading "?" dropped), in order; a
    /// piece without "=" has an empty name. With DecodePlus a "+" decodes as a blank.
    static std::vector<TNameValuePair> GetQueryParams(std::string_view Query, bool DecodePlus);
    /// The query's parameters, looked up by exact name.
    static TQueryString GetQueryString(std::string_view Query, bool DecodePlus);

    /// Splits "Name: Value" at the first colon (not the first character): the name trimmed,
    /// the value as it is. Otherwise the name is empty and the value the whole text.
    static void ParseHeader(std::string_view Header, std::string& Name, std::string& Value);
    /// "value; name=param; ..." with names lower-cased and quotes removed from values.
    static THeaderParamsInfo ParseContentType(std::string_view Value);
    static THeaderParamsInfo ParseContentDisposition(std::string_view Value);
    /// Splits at the first "@"; without one the annotation is empty.
    static void GetNameAndAnnotation(std::string_view AText, std::string& AName,
                                     std::string& AAnnotation);

    /// Whether an Accept header admits the media type with a q-value above 0.
    static bool AcceptsType(std::string_view Accept, std::string_view Value);
    /// The candidate an Accept header prefers (most specific match first, then q-value), or
    /// empty when none is acceptable; an empty Accept takes the first candidate.
    static std::string AcceptsType(std::string_view Accept, const std::vector<std::string>& Values);
    static std::string AcceptsType(std::string_view Accept,
                                   std::initializer_list<std::string_view> Values);
    static bool AcceptsEncoding(std::string_view Accept, std::string_view Value);
    /// As AcceptsType, except that "identity" is chosen when nothing else is acceptable and
    /// the Accept-Encoding text does not mention it.
    static std::string AcceptsEncoding(std::string_view Accept,
                                       const std::vector<std::string>& Values);
    static std::string AcceptsEncoding(std::string_view Accept,
                                       std::initializer_list<std::string_view> Values);

    /// "Basic " and the Base64 of the UTF-8 text "user:password".
    static std::string BasicAuthHeaderValue(std::string_view UserName, std::string_view Password);
    static std::string EncodeBase64(std::span<const std::uint8_t> Input);
    /// Raises EConvertError for text outside the Base64 alphabet.
    static Runtime::TBytes DecodeBase64(std::string_view Input);
    static std::string CombineUrlFast(std::string_view AbsoluteUrl, std::string_view RelativeUrl);

    static std::string DateToISO(TDate Value);
    static std::string TimeToISO(TTime Value);
    static std::string DateTimeToISO(TDateTime Value, bool FullNotation = true);
    /// Raise EConvertError "Value %s is not a valid datetime" on bad text.
    static TDate ISOToDate(std::string_view Value);
    static TTime ISOToTime(std::string_view Value);
    static TDateTime ISOToDateTime(std::string_view Value);
    static bool TryISOToDate(std::string_view Value, TDate& DateTime);
    static bool TryISOToTime(std::string_view Value, TTime& DateTime);
    static bool TryISOToDateTime(std::string_view Value, TDateTime& DateTime);
    static std::string DateTimeToDayTimeDuration(TTime Value);
    static bool TryDayTimeDurationToDateTime(std::string_view Value, TTime& Time);

    /// "\/Date(<milliseconds since 1970>)\/", the value taken as it is (no zone conversion).
    static std::string DateTimeToJson(TDateTime Value);
    /// Seconds since 1970-01-01 00:00, rounded half to even; the value is not converted to
    /// UTC. Raises EConvertError when the result does not fit 64 bits.
    static std::int64_t LocalDateTimeToUnix(TDateTime Value);
    /// Reads a GUID written without braces; false (Guid untouched) otherwise.
    static bool TryStringToGuid(std::string_view Value, Runtime::TGUID& Guid);
};

}  // namespace Nimbra
