#include "Nimbra.Http.Headers.h"

#include <charconv>

#include "Runtime.Text.h"

namespace Nimbra {

namespace {

// Blanks here are space and every control character below it (tab, CR, LF ...).
std::string_view TrimBlanks(std::string_view S) {
    while (!S.empty() && static_cast<unsigned char>(S.front()) <= ' ') S.remove_prefix(1);
    while (!S.empty() && static_cast<unsigned char>(S.back()) <= ' ') S.remove_suffix(1);
    return S;
}

}  // namespace

THttpHeaderInfo::THttpHeaderInfo(std::string AName, std::string AValue)
    : FName(std::move(AName)), FValue(std::move(AValue)) {
    if (!Runtime::SameInLocaleCodeSet(FName)) FAnsiName = Runtime::Utf8ToLocaleCodeSet(FName);
    if (!Runtime::SameInLocaleCodeSet(FValue)) FAnsiValue = Runtime::Utf8ToLocaleCodeSet(FValue);
}

void THttpHeaders::SetValue(std::string_view HeaderName, std::string_view HeaderValue) {
    if (HeaderName.empty()) return;
    std::string Key = Runtime::AsciiLowerCase(HeaderName);
    THttpHeaderInfo Info(Key, std::string(TrimBlanks(HeaderValue)));
    FHeaders.insert_or_assign(std::move(Key), std::move(Info));
}

void THttpHeaders::AddValue(std::string_view HeaderName, std::string_view HeaderValue) {
    if (HeaderName.empty()) return;
    std::string Key = Runtime::AsciiLowerCase(HeaderName);
    const auto It = FHeaders.find(Key);
    if (It == FHeaders.end()) {
        THttpHeaderInfo Info(Key, std::string(TrimBlanks(HeaderValue)));
        FHeaders.emplace(std::move(Key), std::move(Info));
        return;
    }
    std::string Combined = It->second.Value();
    Combined += ',';
    Combined += HeaderValue;
    It->second = THttpHeaderInfo(std::move(Key), std::string(TrimBlanks(Combined)));
}

std::string THttpHeaders::Get(std::string_view HeaderName) const {
    std::string Value;
    GetIfExists(HeaderName, Value);
    return Value;
}

bool THttpHeaders::Exists(std::string_view HeaderName) const {
    return FHeaders.contains(Runtime::AsciiLowerCase(HeaderName));
}

bool THttpHeaders::GetIfExists(std::string_view HeaderName, std::string& HeaderValue) const {
    const auto It = FHeaders.find(Runtime::AsciiLowerCase(HeaderName));
    if (It == FHeaders.end()) return false;
    HeaderValue = It->second.Value();
    return true;
}

void THttpHeaders::Remove(std::string_view HeaderName) {
    FHeaders.erase(Runtime::AsciiLowerCase(HeaderName));
}

std::string THttpHeaders::RawWideHeaders() const {
    std::string Result;
    for (const THttpHeaderInfo& Info : AllHeaders()) {
        Result += Info.Name();
        Result += ':';
        Result += Info.Value();
        Result += "\r\n";
    }
    Result += "\r\n";
    return Result;
}

void THttpHeaders::SetRawWideHeaders(std::string_view Text) {
    Clear();
    std::string LastName;
    bool HaveLastName = false;
    while (true) {
        // A line ends at CR LF only; a lone CR or LF belongs to the line.
        const std::size_t End = Text.find("\r\n");
        const std::string_view Line = Text.substr(0, End);
        Text.remove_prefix(End == std::string_view::npos ? Text.size() : End + 2);
        if (Line.empty()) break;

        if (Line.front() == ' ' || Line.front() == '\t') {
            std::string_view Continued = Line;
            while (!Continued.empty() && (Continued.front() == ' ' || Continued.front() == '\t'))
                Continued.remove_prefix(1);
            if (HaveLastName && !Continued.empty()) {
                std::string Value = Get(LastName);
                Value += ' ';
                Value += Continued;
                SetValue(LastName, Value);
            }
        } else if (const std::size_t Colon = Line.find(':'); Colon == std::string_view::npos) {
            HaveLastName = false;
        } else {
            LastName = Line.substr(0, Colon);
            HaveLastName = true;
            if (!LastName.empty()) AddValue(LastName, TrimBlanks(Line.substr(Colon + 1)));
        }
        if (End == std::string_view::npos) break;
    }
}

std::int64_t ContentLengthOf(const THttpHeaders& Headers) {
    std::string Text;
    if (!Headers.GetIfExists("content-length", Text)) return -1;
    std::int64_t Value = -1;
    const char* End = Text.data() + Text.size();
    const auto [Ptr, Ec] = std::from_chars(Text.data(), End, Value);
    if (Ec != std::errc() || Ptr != End || Value < 0) return -1;
    return Value;
}

}  // namespace Nimbra
