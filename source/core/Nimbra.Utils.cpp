#include "Nimbra.Utils.h"

#include <charconv>
#include <cmath>

#include "Nimbra.Http.Headers.h"
#include "Runtime.Exception.h"
#include "Runtime.Format.h"
#include "Runtime.Text.h"
#include "Tarn.Utils.h"

namespace Nimbra {

std::string TNimbraUtils::GetStatusReason(int StatusCode) {
    switch (StatusCode) {
        case 100:
            return "Continue";
        case 101:
            return "Switching Protocols";
        case 102:
            return "Processing";
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 202:
            return "Accepted";
        case 203:
            return "Non-Authoritative Information";
        case 204:
            return "No Content";
        case 205:
            return "Reset Content";
        case 206:
            return "Partial Content";
        case 207:
            return "Multi-Status";
        case 208:
            return "Already Reported";
        case 300:
            return "Multiple Choices";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 304:
            return "Not Modified";
        case 305:
            return "Use Proxy";
        case 306:
            return "Switch Proxy";
        case 307:
            return "Temporary Redirect";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 402:
            return "Payment Required";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 406:
            return "Not Acceptable";
        case 407:
            return "Proxy Authentication Required";
        case 408:
            return "Request Timeout";
        case 409:
            return "Conflict";
        case 410:
            return "Gone";
        case 411:
            return "Length Required";
        case 412:
            return "Precondition Failed";
        case 413:
            return "Request Entity Too Large";
        case 414:
            return "Request-URI Too Long";
        case 415:
            return "Unsupported Media Type";
        case 416:
            return "Request Range Not Satisfiable";
        case 417:
            return "Expectation Failed";
        case 422:
            return "Unprocessable Entity";
        case 423:
            return "Locked";
        case 424:
            return "Failed Dependency";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        case 505:
            return "Http Version Not Supported";
        case 506:
            return "Variant Also Negotiates";
        case 507:
            return "Insufficient Storage";
        default:
            return {};
    }
}

namespace {

// Every piece between separators, empty ones included; an empty text gives no piece.
std::vector<std::string_view> Split(std::string_view S, char Sep) {
    std::vector<std::string_view> Pieces;
    if (S.empty()) return Pieces;
    while (true) {
        const std::size_t At = S.find(Sep);
        Pieces.push_back(S.substr(0, At));
        if (At == std::string_view::npos) break;
        S.remove_prefix(At + 1);
    }
    return Pieces;
}

// One element of an Accept or Accept-Encoding header.
struct TAcceptItem {
    std::string_view TypeName;
    std::string_view SubType;
    double Q = 1;
};

// How well one candidate matches a list of accept items.
struct TMatchWeight {
    int Value = -1;
    double Q = 0;
    std::string_view TypeName;
};

// A q-value: a decimal number with "." whatever the locale; false when the text is not one.
bool TryReadQ(std::string_view S, double& Q) {
    S = TrimBlanks(S);
    if (!S.empty() && S.front() == '+') S.remove_prefix(1);
    if (S.empty() || S.front() == '+') return false;
    for (const char C : S)
        if (!((C >= '0' && C <= '9') || C == '.' || C == '-' || C == '+' || C == 'e' || C == 'E'))
            return false;
    double V;
    const auto [End, Ec] = std::from_chars(S.data(), S.data() + S.size(), V);
    if (Ec != std::errc() || End != S.data() + S.size() || !std::isfinite(V)) return false;
    Q = V;
    return true;
}

// Range and parameters are trimmed, so "text/html; q=0.5" and "text/html ;q=0.5" carry their
// q-value as HTTP allows blanks around ";".
TAcceptItem ParseAcceptItem(std::string_view Item) {
    TAcceptItem Result;
    const std::vector<std::string_view> Parts = Split(TrimBlanks(Item), ';');
    for (std::size_t i = 1; i < Parts.size(); ++i) {
        const std::size_t Eq = Parts[i].find('=');
        if (Eq == std::string_view::npos) continue;
        if (TrimBlanks(Parts[i].substr(0, Eq)) != "q") continue;
        double Q;
        if (TryReadQ(Parts[i].substr(Eq + 1), Q) && Q >= 0 && Q <= 1)
            Result.Q = Q;
        else
            Result.Q = 1;
    }
    std::string_view Range = Parts.empty() ? std::string_view("*/*") : TrimBlanks(Parts[0]);
    if (Range == "*") Range = "*/*";
    if (const std::size_t Slash = Range.find('/'); Slash != std::string_view::npos) {
        Result.TypeName = Range.substr(0, Slash);
        Result.SubType = Range.substr(Slash + 1);
    } else {
        Result.TypeName = Range;
        Result.SubType = "*";
    }
    return Result;
}

std::vector<TAcceptItem> ParseAccept(std::string_view Accept) {
    std::vector<TAcceptItem> Items;
    for (const std::string_view Item : Split(Accept, ',')) Items.push_back(ParseAcceptItem(Item));
    return Items;
}

TMatchWeight MatchWeight(const std::vector<TAcceptItem>& Items, std::string_view Candidate) {
    const TAcceptItem C = ParseAcceptItem(Candidate);
    TMatchWeight Result;
    for (const TAcceptItem& Item : Items) {
        const bool SameType = Runtime::SameTextAscii(Item.TypeName, C.TypeName);
        const bool SameSub = Runtime::SameTextAscii(Item.SubType, C.SubType);
        if (!SameType && Item.TypeName != "*" && C.TypeName != "*") continue;
        if (!SameSub && Item.SubType != "*" && C.SubType != "*") continue;
        const int Weight = (SameType ? 100 : 0) + (SameSub ? 10 : 0);
        if (Weight > Result.Value) {
            Result.Value = Weight;
            Result.Q = Item.Q;
        }
    }
    return Result;
}

// Specificity ranks before the q-value; among equals the earlier candidate stays.
template <typename Range>
TMatchWeight BestCandidate(const std::vector<TAcceptItem>& Items, const Range& Values) {
    TMatchWeight Best;
    for (const auto& Value : Values) {
        TMatchWeight W = MatchWeight(Items, Value);
        if (W.Value == -1) continue;
        if (W.Value > Best.Value || (W.Value == Best.Value && W.Q > Best.Q) || Best.Q == 0) {
            Best = W;
            Best.TypeName = Value;
        }
    }
    return Best;
}

template <typename Range>
std::string AcceptsTypeIn(std::string_view Accept, const Range& Values) {
    if (std::empty(Values)) return {};
    if (Accept.empty()) return std::string(*std::begin(Values));
    const TMatchWeight Best = BestCandidate(ParseAccept(Accept), Values);
    return Best.Q > 0 ? std::string(Best.TypeName) : std::string();
}

template <typename Range>
std::string AcceptsEncodingIn(std::string_view Accept, const Range& Values) {
    if (std::empty(Values)) return {};
    const std::vector<TAcceptItem> Items = ParseAccept(Accept);
    bool NamesIdentity = false;
    for (const TAcceptItem& Item : Items)
        NamesIdentity = NamesIdentity || Runtime::SameTextAscii(Item.TypeName, "identity");
    const TMatchWeight Best = BestCandidate(Items, Values);
    if (Best.Q > 0) return std::string(Best.TypeName);
    // Identity stays acceptable unless the client refused it by name.
    if (!NamesIdentity && !Runtime::SameTextAscii(Best.TypeName, "identity"))
        for (const auto& Value : Values)
            if (Runtime::SameTextAscii(Value, "identity")) return std::string(Value);
    return {};
}

template <typename Range>
std::string EncodeSegments(const Range& Segments) {
    std::string Result;
    for (const auto& Segment : Segments) {
        if (!Result.empty()) Result += '/';
        Result += Tarn::PercentEncode(Segment);
    }
    return Result;
}

}  // namespace

// ---- Records ----

std::string THeaderParamsInfo::ParamValue(std::string_view Name) const {
    std::string Result;
    TryParamValue(Name, Result);
    return Result;
}

bool THeaderParamsInfo::TryParamValue(std::string_view AName, std::string& AValue) const {
    for (const TNameValuePair& Param : Params)
        if (Runtime::SameTextAscii(Param.Name, AName)) {
            AValue = Param.Value;
            return true;
        }
    return false;
}

TQueryString::TQueryString(std::string_view Query, bool IgnoreCase, bool DecodePlus)
    : FParams(TNimbraUtils::GetQueryParams(Query, DecodePlus)), FIgnoreCase(IgnoreCase) {}

const TNameValuePair* TQueryString::Find(std::string_view Name) const {
    for (const TNameValuePair& Param : FParams)
        if (FIgnoreCase ? Runtime::SameTextAscii(Param.Name, Name) : Param.Name == Name)
            return &Param;
    return nullptr;
}

std::string TQueryString::GetValue(std::string_view Name) const {
    const TNameValuePair* Param = Find(Name);
    return Param ? Param->Value : std::string();
}

bool TQueryString::Contains(std::string_view Name) const {
    return Find(Name) != nullptr;
}

// ---- Percent coding and queries ----

std::string TNimbraUtils::PercentEncode(std::string_view S) {
    return Tarn::PercentEncode(S);
}

std::string TNimbraUtils::PercentEncode(const std::vector<std::string>& Segments) {
    return EncodeSegments(Segments);
}

std::string TNimbraUtils::PercentEncode(std::initializer_list<std::string_view> Segments) {
    return EncodeSegments(Segments);
}

std::string TNimbraUtils::PercentDecode(std::string_view S) {
    return Tarn::PercentDecode(S);
}

std::vector<TNameValuePair> TNimbraUtils::GetQueryParams(std::string_view Query, bool DecodePlus) {
    if (!Query.empty() && Query.front() == '?') Query.remove_prefix(1);
    const auto Decode = [DecodePlus](std::string_view S) {
        if (!DecodePlus || S.find('+') == std::string_view::npos) return Tarn::PercentDecode(S);
        std::string Text;
        Text.reserve(S.size() + 8);
        for (const char C : S) {
            if (C == '+')
                Text += "%20";
            else
                Text += C;
        }
        return Tarn::PercentDecode(Text);
    };
    std::vector<TNameValuePair> Result;
    for (const std::string_view Piece : Split(Query, '&')) {
        const std::size_t Eq = Piece.find('=');
        if (Eq == std::string_view::npos)
            Result.emplace_back(std::string(), Decode(Piece));
        else
            Result.emplace_back(Decode(Piece.substr(0, Eq)), Decode(Piece.substr(Eq + 1)));
    }
    return Result;
}

TQueryString TNimbraUtils::GetQueryString(std::string_view Query, bool DecodePlus) {
    return TQueryString(Query, false, DecodePlus);
}

// ---- Header values ----

void TNimbraUtils::ParseHeader(std::string_view Header, std::string& Name, std::string& Value) {
    const std::size_t Colon = Header.find(':');
    if (Colon == std::string_view::npos || Colon == 0) {
        Name.clear();
        Value = Header;
        return;
    }
    Name = TrimBlanks(Header.substr(0, Colon));
    Value = Header.substr(Colon + 1);
}

THeaderParamsInfo TNimbraUtils::ParseContentType(std::string_view Value) {
    THeaderParamsInfo Result;
    const std::size_t Semi = Value.find(';');
    Result.Value = TrimBlanks(Value.substr(0, Semi));
    if (Semi == std::string_view::npos) return Result;
    for (const std::string_view Piece : Split(Value.substr(Semi + 1), ';')) {
        const std::size_t Eq = Piece.find('=');
        if (Eq == std::string_view::npos || Eq == 0) continue;
        std::string_view ParamValue = TrimBlanks(Piece.substr(Eq + 1));
        // Quotes go, without unescaping; "" is an empty value.
        if (ParamValue.size() >= 2 && ParamValue.front() == '"' && ParamValue.back() == '"')
            ParamValue = ParamValue.substr(1, ParamValue.size() - 2);
        Result.Params.emplace_back(Runtime::AsciiLowerCase(TrimBlanks(Piece.substr(0, Eq))),
                                   std::string(ParamValue));
    }
    return Result;
}

THeaderParamsInfo TNimbraUtils::ParseContentDisposition(std::string_view Value) {
    return ParseContentType(Value);
}

void TNimbraUtils::GetNameAndAnnotation(std::string_view AText, std::string& AName,
                                        std::string& AAnnotation) {
    const std::size_t At = AText.find('@');
    if (At == std::string_view::npos) {
        AName = AText;
        AAnnotation.clear();
    } else {
        AName = AText.substr(0, At);
        AAnnotation = AText.substr(At + 1);
    }
}

// ---- Negotiation ----

bool TNimbraUtils::AcceptsType(std::string_view Accept, std::string_view Value) {
    return !AcceptsType(Accept, {Value}).empty();
}

std::string TNimbraUtils::AcceptsType(std::string_view Accept,
                                      const std::vector<std::string>& Values) {
    return AcceptsTypeIn(Accept, Values);
}

std::string TNimbraUtils::AcceptsType(std::string_view Accept,
                                      std::initializer_list<std::string_view> Values) {
    return AcceptsTypeIn(Accept, Values);
}

bool TNimbraUtils::AcceptsEncoding(std::string_view Accept, std::string_view Value) {
    return AcceptsType(Accept, Value);
}

std::string TNimbraUtils::AcceptsEncoding(std::string_view Accept,
                                          const std::vector<std::string>& Values) {
    return AcceptsEncodingIn(Accept, Values);
}

std::string TNimbraUtils::AcceptsEncoding(std::string_view Accept,
                                          std::initializer_list<std::string_view> Values) {
    return AcceptsEncodingIn(Accept, Values);
}

// ---- Base64, URLs, dates ----

std::string TNimbraUtils::BasicAuthHeaderValue(std::string_view UserName,
                                               std::string_view Password) {
    std::string Credentials(UserName);
    Credentials += ':';
    Credentials += Password;
    return "Basic " + Tarn::EncodeBase64(Credentials);
}

std::string TNimbraUtils::EncodeBase64(std::span<const std::uint8_t> Input) {
    return Tarn::EncodeBase64(Input);
}

Runtime::TBytes TNimbraUtils::DecodeBase64(std::string_view Input) {
    return Tarn::DecodeBase64(Input);
}

std::string TNimbraUtils::CombineUrlFast(std::string_view AbsoluteUrl,
                                         std::string_view RelativeUrl) {
    return Tarn::CombineUrlFast(AbsoluteUrl, RelativeUrl);
}

std::string TNimbraUtils::DateToISO(TDate Value) {
    return Tarn::DateToISO(Value);
}
std::string TNimbraUtils::TimeToISO(TTime Value) {
    return Tarn::TimeToISO(Value);
}
std::string TNimbraUtils::DateTimeToISO(TDateTime Value, bool FullNotation) {
    return Tarn::DateTimeToISO(Value, FullNotation);
}
TDate TNimbraUtils::ISOToDate(std::string_view Value) {
    return Tarn::ISOToDate(Value);
}
TTime TNimbraUtils::ISOToTime(std::string_view Value) {
    return Tarn::ISOToTime(Value);
}
TDateTime TNimbraUtils::ISOToDateTime(std::string_view Value) {
    return Tarn::ISOToDateTime(Value);
}
bool TNimbraUtils::TryISOToDate(std::string_view Value, TDate& DateTime) {
    return Tarn::TryISOToDate(Value, DateTime);
}
bool TNimbraUtils::TryISOToTime(std::string_view Value, TTime& DateTime) {
    return Tarn::TryISOToTime(Value, DateTime);
}
bool TNimbraUtils::TryISOToDateTime(std::string_view Value, TDateTime& DateTime) {
    return Tarn::TryISOToDateTime(Value, DateTime);
}
std::string TNimbraUtils::DateTimeToDayTimeDuration(TTime Value) {
    return Tarn::DateTimeToDayTimeDuration(Value);
}
bool TNimbraUtils::TryDayTimeDurationToDateTime(std::string_view Value, TTime& Time) {
    return Tarn::TryDayTimeDurationToDateTime(Value, Time);
}

std::int64_t TNimbraUtils::LocalDateTimeToUnix(TDateTime Value) {
    // nearbyint rounds half to even in the default rounding mode.
    const double Seconds = std::nearbyint((Value - Runtime::UnixDateDelta) * 86400.0);
    if (!(Seconds >= -9.2e18 && Seconds <= 9.2e18))
        throw Runtime::EConvertError(
            Runtime::Format("Value %g is out of the range of Unix time", Value));
    return static_cast<std::int64_t>(Seconds);
}

std::string TNimbraUtils::DateTimeToJson(TDateTime Value) {
    std::int64_t MSecs;
    if (__builtin_mul_overflow(LocalDateTimeToUnix(Value), std::int64_t{1000}, &MSecs))
        throw Runtime::EConvertError(
            Runtime::Format("Value %g is out of the range of Unix time", Value));
    return Runtime::Format("\\/Date(%lld)\\/", static_cast<long long>(MSecs));
}

bool TNimbraUtils::TryStringToGuid(std::string_view Value, Runtime::TGUID& Guid) {
    return Tarn::TryStringToGuid(Value, Guid);
}

}  // namespace Nimbra
