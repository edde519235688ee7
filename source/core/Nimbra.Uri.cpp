#include "Nimbra.Uri.h"

#include <unicode/uchar.h>

#include "Runtime.Text.h"
#include "Tarn.Utils.h"

namespace Nimbra {

namespace {

bool IsLetter(char32_t C) {
    if (C < 0x80) return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z');
    return C != Runtime::ReplacementChar && u_isalpha(static_cast<UChar32>(C));
}

// Length in bytes of the scheme when S starts with letters followed by "://", else npos.
std::size_t SchemeLength(std::string_view S) {
    std::size_t Pos = 0;
    while (Pos < S.size()) {
        std::size_t Next = Pos;
        if (!IsLetter(Runtime::NextCodePoint(S, Next))) break;
        Pos = Next;
    }
    if (S.substr(Pos, 3) == "://") return Pos;
    return std::string_view::npos;
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
        if (C >= '0' && C <= '9') Digit = static_cast<unsigned>(C - '0');
        else if (Base == 16 && C >= 'a' && C <= 'f') Digit = static_cast<unsigned>(C - 'a' + 10);
        else if (Base == 16 && C >= 'A' && C <= 'F') Digit = static_cast<unsigned>(C - 'A' + 10);
        else break;
        Value = Value * Base + Digit;
    }
    if (Negative) Value = 0u - Value;
    return static_cast<std::int32_t>(Value);
}

}  // namespace

TUri::TUri(std::string AUri) {
    std::string_view S = AUri;

    std::string Scheme;
    if (const std::size_t Len = SchemeLength(S); Len != std::string_view::npos) {
        Scheme = S.substr(0, Len);
        S.remove_prefix(Len + 3);
    }

    const std::size_t AuthorityEnd = S.find_first_of("/?#");
    std::string_view Authority = S.substr(0, AuthorityEnd);
    S.remove_prefix(Authority.size());

    if (const std::size_t At = Authority.find('@'); At != std::string_view::npos) {
        FUserInfo = Authority.substr(0, At);
        Authority.remove_prefix(At + 1);
    }
    ParseHost(Authority, FHost, FPort);

    if (!S.empty() && S.front() == '/') {
        const std::size_t End = S.find_first_of("?#");
        FOriginalPath = S.substr(0, End);
        S.remove_prefix(FOriginalPath.size());
    } else {
        FOriginalPath = "/";
    }
    if (!S.empty() && S.front() == '?') {
        FOriginalQuery = S.substr(0, S.find('#'));
        S.remove_prefix(FOriginalQuery.size());
    }
    FOriginalFragment = S;

    std::string_view Rest = FOriginalPath;
    if (!Rest.empty() && Rest.front() == '/') Rest.remove_prefix(1);
    while (!Rest.empty()) {
        const std::size_t Slash = Rest.find('/');
        const std::string_view Piece = Rest.substr(0, Slash);
        if (!Piece.empty()) FSegments.push_back(Tarn::PercentDecode(Piece));
        Rest.remove_prefix(Slash == std::string_view::npos ? Rest.size() : Slash + 1);
    }

    if (FPort == 0) {
        if (Scheme.empty() || Runtime::SameTextAscii(Scheme, "http")) FPort = 80;
        else if (Runtime::SameTextAscii(Scheme, "https")) FPort = 443;
    }

    FScheme = Runtime::AsciiLowerCase(Scheme);
    FPath = Tarn::PercentDecode(FOriginalPath);
    FQuery = Tarn::PercentDecode(FOriginalQuery);
    FFragment = Tarn::PercentDecode(FOriginalFragment);
    FUri = std::move(AUri);
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
    return (FScheme.empty() ? std::string("http") : FScheme) + "://" + Authority() +
           FOriginalPath + FOriginalQuery + FOriginalFragment;
}

bool TUri::HasScheme(std::string_view S) {
    const std::size_t Len = SchemeLength(S);
    return Len != std::string_view::npos && Len > 0;
}

void TUri::ParseHost(std::string_view S, std::string& Host, std::string& Port) {
    Host.clear();
    Port.clear();
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

void TUri::ParseHost(std::string_view S, std::string& Host, std::int32_t& Port) {
    std::string PortText;
    ParseHost(S, Host, PortText);
    Port = LenientInt(PortText);
}

std::string TUri::PercentEncode(std::string_view S) { return Tarn::PercentEncode(S); }
std::string TUri::PercentDecode(std::string_view S) { return Tarn::PercentDecode(S); }

}  // namespace Nimbra
