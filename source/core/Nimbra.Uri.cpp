#include "Nimbra.Uri.h"

#include <algorithm>
#include <array>

#include "Runtime.Text.h"
#include "Tarn.Utils.h"

namespace Nimbra {

namespace {

// Length in bytes of the scheme when S starts with letters followed by "://", else npos.
std::size_t SchemeLength(std::string_view S) {
    std::size_t Pos = 0;
    while (Pos < S.size()) {
        const char C = S[Pos];
        if ((C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z')) {
            ++Pos;
            continue;
        }
        if (static_cast<unsigned char>(C) < 0x80) break;
        std::size_t Next = Pos;
        if (!Runtime::IsUnicodeLetter(Runtime::NextCodePoint(S, Next))) break;
        Pos = Next;
    }
    if (S.substr(Pos, 3) == "://") return Pos;
    return std::string_view::npos;
}

// Character classes for the single passes of the parser.
enum : std::uint8_t { EndsAuthority = 1, EndsPath = 2, EndsQuery = 4, NeedsDecoding = 8 };
constexpr std::array<std::uint8_t, 256> MakeClasses() {
    std::array<std::uint8_t, 256> T{};
    T['/'] = EndsAuthority;
    T['?'] = EndsAuthority | EndsPath;
    T['#'] = EndsAuthority | EndsPath | EndsQuery;
    T['%'] = NeedsDecoding;
    for (int C = 0x80; C < 0x100; ++C) T[C] = NeedsDecoding;
    return T;
}
constexpr auto Classes = MakeClasses();

std::uint8_t ClassOf(char C) noexcept {
    return Classes[static_cast<unsigned char>(C)];
}

// Length of the prefix of S before the first character of class Stop; Escapes collects whether
// that prefix holds anything percent decoding would change.
std::size_t Scan(std::string_view S, std::uint8_t Stop, bool& Escapes) noexcept {
    std::uint8_t Seen = 0;
    std::size_t i = 0;
    for (; i < S.size(); ++i) {
        const std::uint8_t K = ClassOf(S[i]);
        if (K & Stop) break;
        Seen |= K;
    }
    Escapes = (Seen & NeedsDecoding) != 0;
    return i;
}

void SplitHost(std::string_view S, std::string_view& Host, std::string_view& Port) noexcept {
    Port = {};
    if (const std::size_t Close = S.find(']'); Close != std::string_view::npos) {
        Host = S.substr(0, Close + 1);
        if (Close + 1 < S.size() && S[Close + 1] == ':') Port = S.substr(Close + 2);
    } else if (const std::size_t Colon = S.find(':'); Colon != std::string_view::npos) {
        Host = S.substr(0, Colon);
        Port = S.substr(Colon + 1);
    } else {
        Host = S;
    }
}

// The runtime's lenient integer reader: leading blanks, a sign, "$"/"x"/"0x" for
// hexadecimal; stops at the first character that is not part of the number. Overflow wraps
// (no range check), computed unsigned so it stays defined.
std::int32_t LenientInt(std::string_view S) {
    std::size_t i = 0;
    while (i < S.size() && S[i] == ' ') ++i;
    bool Negative = false;
    if (i < S.size() && (S[i] == '+' || S[i] == '-')) Negative = S[i++] == '-';
    unsigned Base = 10;
    if (i < S.size() && S[i] == '$') {
        Base = 16;
        ++i;
    } else if (i < S.size() && (S[i] == 'x' || S[i] == 'X')) {
        Base = 16;
        ++i;
    } else if (i + 1 < S.size() && S[i] == '0' && (S[i + 1] == 'x' || S[i + 1] == 'X')) {
        Base = 16;
        i += 2;
    }
    std::uint32_t Value = 0;
    for (; i < S.size(); ++i) {
        const char C = S[i];
        unsigned Digit;
        if (C >= '0' && C <= '9')
            Digit = static_cast<unsigned>(C - '0');
        else if (Base == 16 && C >= 'a' && C <= 'f')
            Digit = static_cast<unsigned>(C - 'a' + 10);
        else if (Base == 16 && C >= 'A' && C <= 'F')
            Digit = static_cast<unsigned>(C - 'A' + 10);
        else
            break;
        Value = Value * Base + Digit;
    }
    if (Negative) Value = 0u - Value;
    return static_cast<std::int32_t>(Value);
}

}  // namespace

TUri::TUri(std::string AUri) : FUri(std::move(AUri)) {
    std::string_view S = FUri;

    std::string_view Scheme;
    if (const std::size_t Len = SchemeLength(S); Len != std::string_view::npos) {
        Scheme = S.substr(0, Len);
        S.remove_prefix(Len + 3);
    }

    bool Escapes;
    std::string_view Authority = S.substr(0, Scan(S, EndsAuthority, Escapes));
    S.remove_prefix(Authority.size());

    if (const std::size_t At = Authority.find('@'); At != std::string_view::npos) {
        FUserInfo.assign(Authority.data(), At);
        Authority.remove_prefix(At + 1);
    }
    std::string_view Host, PortText;
    SplitHost(Authority, Host, PortText);
    FHost.assign(Host.data(), Host.size());
    FPort = LenientInt(PortText);

    // Decoded fields stay empty when decoding would not change the text (see Decoded()).
    bool PathEscapes = false;
    if (!S.empty() && S.front() == '/') {
        const std::size_t End = Scan(S, EndsPath, PathEscapes);
        FOriginalPath.assign(S.data(), End);
        S.remove_prefix(End);
        if (PathEscapes) FPath = Tarn::PercentDecode(FOriginalPath);
    } else {
        FOriginalPath = "/";
    }
    if (!S.empty() && S.front() == '?') {
        const std::size_t End = Scan(S, EndsQuery, Escapes);
        FOriginalQuery.assign(S.data(), End);
        S.remove_prefix(End);
        if (Escapes) FQuery = Tarn::PercentDecode(FOriginalQuery);
    }
    if (!S.empty()) {
        FOriginalFragment.assign(S.data(), S.size());
        Scan(S, 0, Escapes);
        if (Escapes) FFragment = Tarn::PercentDecode(FOriginalFragment);
    }

    // Segments: the pieces between slashes after the leading one, empty ones skipped.
    const std::string_view Path = FOriginalPath;
    std::size_t Start = Path.front() == '/' ? 1 : 0;
    if (Path.size() > 1) FSegments.reserve(4);
    for (std::size_t i = Start; i <= Path.size(); ++i) {
        if (i < Path.size() && Path[i] != '/') continue;
        if (i > Start) {
            const std::string_view Piece = Path.substr(Start, i - Start);
            if (PathEscapes)
                FSegments.push_back(Tarn::PercentDecode(Piece));
            else
                FSegments.emplace_back(Piece);
        }
        Start = i + 1;
    }

    if (FPort == 0) {
        if (Scheme.empty() || Runtime::SameTextAscii(Scheme, "http"))
            FPort = 80;
        else if (Runtime::SameTextAscii(Scheme, "https"))
            FPort = 443;
    }

    FScheme.reserve(Scheme.size());
    for (const char C : Scheme)
        FScheme += C >= 'A' && C <= 'Z' ? static_cast<char>(C + ('a' - 'A')) : C;
}

std::vector<std::string> TUri::OriginalSegments() const {
    std::string Text = FOriginalPath;
    if (Text.empty() || Text.front() != '/') Text.insert(0, "/");
    std::vector<std::string> Result;
    std::string_view Rest = Text;
    while (!Rest.empty()) {
        const std::size_t Slash = Rest.find('/');
        const std::size_t Len = Slash == std::string_view::npos ? Rest.size() : Slash + 1;
        Result.emplace_back(Rest.substr(0, Len));
        Rest.remove_prefix(Len);
    }
    return Result;
}

bool TUri::IsDefaultPort() const {
    if (FPort == 0) return true;
    if (FPort == 80 && (FScheme == "http" || FScheme.empty())) return true;
    return FPort == 443 && FScheme == "https";
}

std::string TUri::Authority() const {
    std::string Result = FUserInfo.empty() ? FHost : FUserInfo + "@" + FHost;
    if (!IsDefaultPort()) Result += ":" + std::to_string(FPort);
    return Result;
}

std::string TUri::AbsoluteUri() const {
    return (FScheme.empty() ? std::string("http") : FScheme) + "://" + Authority() + FOriginalPath +
           FOriginalQuery + FOriginalFragment;
}

bool TUri::HasScheme(std::string_view S) {
    const std::size_t Len = SchemeLength(S);
    return Len != std::string_view::npos && Len > 0;
}

void TUri::ParseHost(std::string_view S, std::string& Host, std::string& Port) {
    std::string_view H, P;
    SplitHost(S, H, P);
    Host = H;
    Port = P;
}

void TUri::ParseHost(std::string_view S, std::string& Host, std::int32_t& Port) {
    std::string_view H, P;
    SplitHost(S, H, P);
    Host = H;
    Port = LenientInt(P);
}

std::string TUri::PercentEncode(std::string_view S) {
    return Tarn::PercentEncode(S);
}
std::string TUri::PercentDecode(std::string_view S) {
    return Tarn::PercentDecode(S);
}

}  // namespace Nimbra
