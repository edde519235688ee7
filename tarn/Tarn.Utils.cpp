#include "Tarn.Utils.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>

#include "Runtime.Format.h"
#include "Runtime.Text.h"

namespace Tarn {

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

bool IsUnreserved(unsigned char C) {
    if ((C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9')) return true;
    switch (C) {
        case '!':
        case '\'':
        case '(':
        case ')':
        case '*':
        case '-':
        case '.':
        case '_':
        case '~':
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string PercentEncode(std::string_view S) {
    std::string Result;
    Result.reserve(S.size() * 3);
    for (const char Ch : S) {
        const auto C = static_cast<unsigned char>(Ch);
        if (IsUnreserved(C)) {
            Result += Ch;
        } else {
            Result += '%';
            Result += HexDigits[C >> 4];
            Result += HexDigits[C & 0x0F];
        }
    }
    return Result;
}

std::string PercentDecode(std::string_view S) {
    // Most texts have nothing to decode; they only need checking.
    const std::size_t First = S.find('%');
    if (First == std::string_view::npos)
        return Runtime::IsAscii(S) ? std::string(S) : Runtime::ToValidUtf8(S);

    // Decoding only shrinks the text, so write into a buffer of the input's size.
    std::string Bytes(S.size(), '\0');
    char* Out = Bytes.data();
    unsigned char High = 0;  // any byte >= 0x80 needs a UTF-8 check
    for (std::size_t i = 0; i < S.size(); ++i) {
        char C = S[i];
        if (C == '%' && i + 2 < S.size()) {
            const int Hi = Runtime::HexValue(S[i + 1]), Lo = Runtime::HexValue(S[i + 2]);
            if (Hi >= 0 && Lo >= 0) {
                C = static_cast<char>((Hi << 4) | Lo);
                i += 2;
            }
        }
        High |= static_cast<unsigned char>(C);
        *Out++ = C;
    }
    Bytes.resize(static_cast<std::size_t>(Out - Bytes.data()));
    if (High < 0x80 || Runtime::IsValidUtf8(Bytes)) return Bytes;
    return Runtime::ToValidUtf8(Bytes);
}

// ---- Base64 ----

namespace {

constexpr char Base64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of a Base64 character: 0-63, Base64Pad for "=", -1 for anything else.
constexpr int Base64Pad = 64;
constexpr std::array<signed char, 256> MakeBase64Values() {
    std::array<signed char, 256> Values{};
    for (auto& V : Values) V = -1;
    for (int i = 0; i < 64; ++i)
        Values[static_cast<unsigned char>(Base64Alphabet[i])] = static_cast<signed char>(i);
    Values['='] = Base64Pad;
    return Values;
}
constexpr auto Base64Values = MakeBase64Values();

[[noreturn]] void BadBase64(std::string_view Input, std::size_t Pos) {
    const auto C = static_cast<unsigned char>(Input[Pos]);
    const std::string What =
        C >= ' ' && C < 0x7F ? Runtime::Format("'%c'", C) : Runtime::Format("byte 0x%02X", C);
    throw Runtime::EConvertError(Runtime::Format(
        "Invalid Base64 text: %s at position %zu is not allowed there", What, Pos + 1));
}

}  // namespace

std::string EncodeBase64(std::span<const std::uint8_t> Input) {
    std::string Result;
    Result.reserve((Input.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= Input.size(); i += 3) {
        const std::uint32_t V = (Input[i] << 16) | (Input[i + 1] << 8) | Input[i + 2];
        Result += Base64Alphabet[(V >> 18) & 63];
        Result += Base64Alphabet[(V >> 12) & 63];
        Result += Base64Alphabet[(V >> 6) & 63];
        Result += Base64Alphabet[V & 63];
    }
    if (const std::size_t Rest = Input.size() - i; Rest > 0) {
        std::uint32_t V = Input[i] << 16;
        if (Rest == 2) V |= Input[i + 1] << 8;
        Result += Base64Alphabet[(V >> 18) & 63];
        Result += Base64Alphabet[(V >> 12) & 63];
        Result += Rest == 2 ? Base64Alphabet[(V >> 6) & 63] : '=';
        Result += '=';
    }
    return Result;
}

std::string EncodeBase64(std::string_view Input) {
    return EncodeBase64(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(Input.data()), Input.size()));
}

Runtime::TBytes DecodeBase64(std::string_view Input) {
    Runtime::TBytes Result;
    Result.reserve(Input.size() / 4 * 3 + 2);
    // Every character must belong to the alphabet, the leftover one too.
    for (std::size_t i = 0; i < Input.size(); ++i)
        if (Base64Values[static_cast<unsigned char>(Input[i])] < 0) BadBase64(Input, i);

    const std::size_t Groups = (Input.size() + 2) / 4;
    for (std::size_t g = 0; g < Groups; ++g) {
        const std::size_t Start = g * 4;
        const std::size_t Len = std::min<std::size_t>(4, Input.size() - Start);
        int Values[4];
        std::size_t Data = 0;  // characters of the group that carry data
        for (std::size_t k = 0; k < Len; ++k) {
            const int V = Base64Values[static_cast<unsigned char>(Input[Start + k])];
            if (V == Base64Pad) {
                if (k < 2) BadBase64(Input, Start + k);
                break;
            }
            Values[k] = V;
            ++Data;
        }
        if (Data >= 2)
            Result.push_back(static_cast<std::uint8_t>((Values[0] << 2) | (Values[1] >> 4)));
        if (Data >= 3)
            Result.push_back(static_cast<std::uint8_t>(((Values[1] & 15) << 4) | (Values[2] >> 2)));
        if (Data >= 4)
            Result.push_back(static_cast<std::uint8_t>(((Values[2] & 3) << 6) | Values[3]));
    }
    return Result;
}

std::string CombineUrlFast(std::string_view AbsoluteUrl, std::string_view RelativeUrl) {
    std::string Result(AbsoluteUrl);
    if (!Result.empty() && Result.back() != '/') Result += '/';
    Result += RelativeUrl;
    return Result;
}

// ---- ISO 8601 ----

std::string DateToISO(TDate Value) {
    int Y, M, D;
    Runtime::DecodeDate(Value, Y, M, D);
    return Runtime::Format("%.4d-%.2d-%.2d", Y, M, D);
}

std::string TimeToISO(TTime Value) {
    int H, M, S, MS;
    Runtime::DecodeTime(Value, H, M, S, MS);
    if (S == 0 && MS == 0) return Runtime::Format("%.2d:%.2d", H, M);
    if (MS == 0) return Runtime::Format("%.2d:%.2d:%.2d", H, M, S);
    return Runtime::Format("%.2d:%.2d:%.2d.%.3d", H, M, S, MS);
}

std::string DateTimeToISO(TDateTime Value, bool FullNotation) {
    if (!FullNotation) {
        if (Value == std::trunc(Value)) return DateToISO(Value);
        if (std::trunc(Value) == 0) return TimeToISO(Value);
    }
    return DateToISO(Value) + "T" + TimeToISO(Value);
}

namespace {

// A small cursor over ISO text; only "0"-"9" are digits.
struct TIsoReader {
    std::string_view S;
    std::size_t Pos = 0;

    bool AtEnd() const { return Pos >= S.size(); }
    bool Take(char C) {
        if (AtEnd() || S[Pos] != C) return false;
        ++Pos;
        return true;
    }
    bool IsDigit() const { return !AtEnd() && S[Pos] >= '0' && S[Pos] <= '9'; }
    bool Digits(int Count, int& Value) {
        Value = 0;
        for (int i = 0; i < Count; ++i) {
            if (!IsDigit()) return false;
            Value = Value * 10 + (S[Pos++] - '0');
        }
        return true;
    }
};

bool ParseIsoDate(std::string_view Text, TDateTime& Value) {
    if (Text.empty()) {
        Value = 0;
        return true;
    }
    TIsoReader R{Text};
    int Y, M, D;
    if (!R.Digits(4, Y)) return false;
    const bool Hyphens = R.Take('-');
    if (!R.Digits(2, M)) return false;
    if (Hyphens && !R.Take('-')) return false;
    if (!R.Digits(2, D) || !R.AtEnd()) return false;
    return Runtime::TryEncodeDate(Y, M, D, Value);
}

bool ParseIsoTime(std::string_view Text, TDateTime& Value) {
    if (Text.empty()) {
        Value = 0;
        return true;
    }
    TIsoReader R{Text};
    int H, M, S = 0, MS = 0;
    if (!R.Digits(2, H)) return false;
    const bool Colons = R.Take(':');
    if (!R.Digits(2, M)) return false;
    if (!R.AtEnd()) {
        if (Colons && !R.Take(':')) return false;
        if (!R.Digits(2, S)) return false;
    }
    if (!R.AtEnd()) {
        if (!R.Take('.') || !R.IsDigit()) return false;
        for (int Weight = 100; R.IsDigit(); ++R.Pos) {
            MS += (R.S[R.Pos] - '0') * Weight;
            Weight /= 10;
        }
    }
    // Anything left (a zone designator such as "Z" or "+01:00" among it) is not ours.
    if (!R.AtEnd()) return false;
    return Runtime::TryEncodeTime(H, M, S, MS, Value);
}

}  // namespace

bool TryISOToDateTime(std::string_view Text, TDateTime& Value) {
    TDateTime Date, Time;
    if (const std::size_t T = Text.find('T'); T != std::string_view::npos) {
        if (!ParseIsoDate(Text.substr(0, T), Date) || !ParseIsoTime(Text.substr(T + 1), Time))
            return false;
        Value = Runtime::ComposeDateTime(Date, Time);
        return true;
    }
    if (ParseIsoDate(Text, Date)) {
        Value = Date;
        return true;
    }
    if (ParseIsoTime(Text, Time)) {
        Value = Time;
        return true;
    }
    return false;
}

bool TryISOToDate(std::string_view Text, TDate& Value) {
    return TryISOToDateTime(Text, Value);
}

bool TryISOToTime(std::string_view Text, TTime& Value) {
    TDateTime Parsed;
    if (!TryISOToDateTime(Text, Parsed)) return false;
    Value = Runtime::TimeOf(Parsed);
    return true;
}

namespace {
[[noreturn]] void BadIso(std::string_view Text) {
    throw Runtime::EConvertError(
        Runtime::Format("Value %s is not a valid datetime", std::string(Text)));
}
}  // namespace

TDateTime ISOToDateTime(std::string_view Text) {
    TDateTime Value;
    if (!TryISOToDateTime(Text, Value)) BadIso(Text);
    return Value;
}

TDate ISOToDate(std::string_view Text) {
    TDate Value;
    if (!TryISOToDate(Text, Value)) BadIso(Text);
    return Value;
}

TTime ISOToTime(std::string_view Text) {
    TTime Value;
    if (!TryISOToTime(Text, Value)) BadIso(Text);
    return Value;
}

// ---- Day-time durations ----

std::string DateTimeToDayTimeDuration(TTime Value) {
    // Whole days are counted in full (no 16-bit wrap); values no duration can have are refused.
    if (!(std::fabs(Value) < 1e15))
        throw Runtime::EConvertError(Runtime::Format("Value %g is not a valid duration", Value));
    const auto Days = static_cast<long long>(std::trunc(Value));
    int H, M, S, MS;
    Runtime::DecodeTime(Value - static_cast<double>(Days), H, M, S, MS);
    std::string Result = "P";
    if (Days != 0) Result += Runtime::Format("%lldD", Days);
    if (H != 0) Result += Runtime::Format("%dH", H);
    if (M != 0) Result += Runtime::Format("%dM", M);
    if (S != 0) Result += Runtime::Format("%dS", S);
    if (Result.size() == 1) Result += "0D";
    return Result;
}

bool TryDayTimeDurationToDateTime(std::string_view Text, TTime& Value) {
    if (Text.empty() || Text.front() != 'P') return false;
    // Digit runs saturate, so an absurd count stays absurd instead of wrapping.
    constexpr long long Cap = 1'000'000'000'000'000LL;
    long long Days = 0, Hours = 0, Mins = 0, Secs = 0;
    bool Any = false;
    std::size_t Pos = 1;
    while (Pos < Text.size()) {
        std::size_t End = Pos;
        long long N = 0;
        while (End < Text.size() && Text[End] >= '0' && Text[End] <= '9') {
            N = std::min(Cap, N * 10 + (Text[End] - '0'));
            ++End;
        }
        if (End == Pos || End >= Text.size()) break;
        long long* Target = nullptr;
        switch (Text[End]) {
            case 'D':
                Target = &Days;
                break;
            case 'H':
                Target = &Hours;
                break;
            case 'M':
                Target = &Mins;
                break;
            case 'S':
                Target = &Secs;
                break;
            default:
                break;
        }
        if (!Target) break;
        *Target = N;
        Any = true;
        Pos = End + 1;
    }
    if (!Any) return false;
    const auto Narrow = [](long long V) {
        return static_cast<int>(std::min<long long>(V, INT_MAX));
    };
    Value = static_cast<double>(Days) +
            Runtime::EncodeTime(Narrow(Hours), Narrow(Mins), Narrow(Secs), 0);
    return true;
}

// ---- GUID ----

bool TryStringToGuid(std::string_view Text, Runtime::TGUID& Guid) {
    std::string Braced;
    Braced.reserve(Text.size() + 2);
    Braced += '{';
    Braced += Text;
    Braced += '}';
    return Runtime::TryStringToGUID(Braced, Guid);
}

}  // namespace Tarn
