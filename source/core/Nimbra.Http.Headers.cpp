#include "Nimbra.Http.Headers.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <span>

#include "Runtime.Text.h"

namespace Nimbra {

std::string_view TrimBlanks(std::string_view S) noexcept {
    while (!S.empty() && static_cast<unsigned char>(S.front()) <= ' ') S.remove_prefix(1);
    while (!S.empty() && static_cast<unsigned char>(S.back()) <= ' ') S.remove_suffix(1);
    return S;
}

namespace {

// A header name in lower case, for looking it up: on the stack when it is as short as names
// nearly always are.
class TLowerName {
  public:
    explicit TLowerName(std::string_view Name) {
        if (Name.size() <= sizeof FShort) {
            for (std::size_t I = 0; I < Name.size(); ++I) {
                const char C = Name[I];
                FShort[I] = C >= 'A' && C <= 'Z' ? static_cast<char>(C + ('a' - 'A')) : C;
            }
            FView = std::string_view(FShort, Name.size());
        } else {
            FLong = Runtime::AsciiLowerCase(Name);
            FView = FLong;
        }
    }
    TLowerName(const TLowerName&) = delete;
    TLowerName& operator=(const TLowerName&) = delete;
    std::string_view View() const noexcept { return FView; }

  private:
    char FShort[48];
    std::string FLong;
    std::string_view FView;
};

}  // namespace

THttpHeaderInfo::THttpHeaderInfo(std::string AName, std::string AValue)
    : FName(std::move(AName)), FValue(std::move(AValue)) {
    if (!Runtime::SameInLocaleCodeSet(FName)) FAnsiName = Runtime::Utf8ToLocaleCodeSet(FName);
    if (!Runtime::SameInLocaleCodeSet(FValue)) FAnsiValue = Runtime::Utf8ToLocaleCodeSet(FValue);
}

namespace {

// Makes Value the trimmed text of Value, Separator and Text, as THttpHeaderInfo keeps a
// repeated or continued header's value; costs the length of Text, not of Value.
void JoinTrimmed(std::string& Value, char Separator, std::string_view Text) {
    if (Value.empty()) {
        std::string Joined(1, Separator);
        Joined += Text;
        Value = TrimBlanks(Joined);
        return;
    }
    // A stored value is trimmed and here not empty, so it starts and ends with a non-blank:
    // trimming the joined text can only cut blanks off the end of the added part.
    const std::size_t OldSize = Value.size();
    Value += Separator;
    Value += Text;
    while (Value.size() > OldSize && static_cast<unsigned char>(Value.back()) <= ' ')
        Value.pop_back();
}

}  // namespace

void THttpHeaderInfo::AppendToValue(char Separator, std::string_view Text) {
    if (FValue.empty()) {
        JoinTrimmed(FValue, Separator, Text);
        FAnsiValue.clear();
        if (!Runtime::SameInLocaleCodeSet(FValue))
            FAnsiValue = Runtime::Utf8ToLocaleCodeSet(FValue);
        return;
    }
    const std::size_t OldSize = FValue.size();
    JoinTrimmed(FValue, Separator, Text);
    const std::string_view Added = std::string_view(FValue).substr(OldSize);
    if (Added.empty()) return;
    // The added part starts with the ASCII separator, so no character spans the joint and
    // the locale copy of the whole is the copy of the old value followed by that of the
    // added part.
    if (FAnsiValue.empty()) {
        if (Runtime::SameInLocaleCodeSet(Added)) return;
        FAnsiValue.assign(FValue, 0, OldSize);
    }
    FAnsiValue += Runtime::Utf8ToLocaleCodeSet(Added);
}

void THttpHeaders::SetValue(std::string_view HeaderName, std::string_view HeaderValue) {
    if (HeaderName.empty()) return;
    std::string Key = Runtime::AsciiLowerCase(HeaderName);
    THttpHeaderInfo Info(Key, std::string(TrimBlanks(HeaderValue)));
    FHeaders.insert_or_assign(std::move(Key), std::move(Info));
}

void THttpHeaders::AddValue(std::string_view HeaderName, std::string_view HeaderValue) {
    if (HeaderName.empty()) return;
    Add(HeaderName, HeaderValue);
}

THttpHeaderInfo& THttpHeaders::Add(std::string_view HeaderName, std::string_view HeaderValue) {
    const TLowerName Key(HeaderName);
    const std::string Name(Key.View());
    // One look-up: a new entry is made in place, an existing one gets the value appended.
    const auto [It, Inserted] =
        FHeaders.try_emplace(Name, Name, std::string(TrimBlanks(HeaderValue)));
    // Appended in place: a header repeated many times must not copy its value each time.
    if (!Inserted) It->second.AppendToValue(',', HeaderValue);
    return It->second;
}

std::string THttpHeaders::Get(std::string_view HeaderName) const {
    std::string Value;
    GetIfExists(HeaderName, Value);
    return Value;
}

bool THttpHeaders::Exists(std::string_view HeaderName) const {
    return FHeaders.contains(TLowerName(HeaderName).View());
}

bool THttpHeaders::GetIfExists(std::string_view HeaderName, std::string& HeaderValue) const {
    const auto It = FHeaders.find(TLowerName(HeaderName).View());
    if (It == FHeaders.end()) return false;
    HeaderValue = It->second.Value();
    return true;
}

void THttpHeaders::Remove(std::string_view HeaderName) {
    if (const auto It = FHeaders.find(TLowerName(HeaderName).View()); It != FHeaders.end())
        FHeaders.erase(It);
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

namespace {

// Calls OnLine(line) for each line of a header block up to its first empty line. A line ends
// at CR LF only; a lone CR or LF belongs to the line.
template <typename TLine>
void ForEachHeaderLine(std::string_view Text, TLine&& OnLine) {
    while (!Text.empty()) {
        std::size_t End = Text.find('\r');
        while (End != std::string_view::npos && (End + 1 == Text.size() || Text[End + 1] != '\n'))
            End = Text.find('\r', End + 1);
        const std::string_view Line = Text.substr(0, End);
        Text.remove_prefix(End == std::string_view::npos ? Text.size() : End + 2);
        if (Line.empty()) break;
        OnLine(Line);
    }
}

bool IsContinuation(std::string_view Line) noexcept {
    return Line.front() == ' ' || Line.front() == '\t';
}

// The text a continuation line adds: the line without its leading blanks; empty when it adds
// nothing.
std::string_view ContinuedText(std::string_view Line) noexcept {
    while (!Line.empty() && (Line.front() == ' ' || Line.front() == '\t')) Line.remove_prefix(1);
    return Line;
}

// Reads a header block line by line, as SetRawWideHeaders takes it: OnHeader(Name, value as
// written) for a "name:value" line, OnContinued(text) for a line that starts with a blank and
// so extends the header before it (the text without its leading blanks, never empty), and
// OnOther() for a line without a colon or with an empty name, which names no header and ends
// what a continuation could extend. The block ends at its first empty line.
template <typename THeader, typename TContinued, typename TOther>
void ReadHeaderLines(std::string_view Text, THeader&& OnHeader, TContinued&& OnContinued,
                     TOther&& OnOther) {
    ForEachHeaderLine(Text, [&](std::string_view Line) {
        if (IsContinuation(Line)) {
            if (const std::string_view Continued = ContinuedText(Line); !Continued.empty())
                OnContinued(Continued);
        } else if (const std::size_t Colon = Line.find(':');
                   Colon == std::string_view::npos || Colon == 0) {
            OnOther();
        } else {
            OnHeader(Line.substr(0, Colon), Line.substr(Colon + 1));
        }
    });
}

}  // namespace

void THttpHeaders::SetRawWideHeaders(std::string_view Text) {
    Clear();
    // The entry a continuation line extends. Entries stay where they are while others are
    // added.
    THttpHeaderInfo* Last = nullptr;
    ReadHeaderLines(
        Text,
        [&](std::string_view Name, std::string_view Value) {
            Last = &Add(Name, TrimBlanks(Value));
        },
        [&](std::string_view Continued) {
            if (Last) Last->AppendToValue(' ', Continued);
        },
        [&] { Last = nullptr; });
}

bool THttpHeaders::FindInRawWideHeaders(std::string_view Text, std::string_view HeaderName,
                                        std::string& HeaderValue) {
    std::optional<std::string> Found;
    FindInRawWideHeaders(Text, std::span<const std::string_view>(&HeaderName, 1),
                         std::span<std::optional<std::string>>(&Found, 1));
    if (!Found) return false;
    HeaderValue = std::move(*Found);
    return true;
}

void THttpHeaders::FindInRawWideHeaders(std::string_view Text,
                                        std::span<const std::string_view> HeaderNames,
                                        std::span<std::optional<std::string>> HeaderValues) {
    for (std::optional<std::string>& Value : HeaderValues) Value.reset();
    // A header's name is all of its line before the first colon, and never empty: a line
    // names the header asked for exactly when it is no continuation, starts with the name and
    // has a colon right after it, and the name is not empty and holds no colon itself. So no
    // line needs a search for its colon.
    const std::size_t Count = std::min(HeaderNames.size(), HeaderValues.size());
    // The header the line before named, if asked for: a continuation extends it.
    std::optional<std::string>* Last = nullptr;
    ForEachHeaderLine(Text, [&](std::string_view Line) {
        if (IsContinuation(Line)) {
            if (Last == nullptr) return;
            // Built as SetRawWideHeaders builds the entry, so the two always agree.
            if (const std::string_view Continued = ContinuedText(Line); !Continued.empty())
                JoinTrimmed(**Last, ' ', Continued);
            return;
        }
        Last = nullptr;
        for (std::size_t I = 0; I < Count; ++I) {
            const std::string_view Name = HeaderNames[I];
            const std::size_t Size = Name.size();
            if (Size == 0 || Line.size() <= Size || Line[Size] != ':' ||
                !Runtime::SameTextAscii(Line.substr(0, Size), Name) ||
                Name.find(':') != std::string_view::npos)
                continue;
            Last = &HeaderValues[I];
            const std::string_view Value = TrimBlanks(Line.substr(Size + 1));
            if (*Last)
                JoinTrimmed(**Last, ',', Value);
            else
                Last->emplace(Value);
            break;
        }
    });
}

std::int64_t ParseContentLength(std::string_view Text) noexcept {
    Text = TrimBlanks(Text);
    // No sign: a length is digits only, so "-0" or "+5" state nothing either.
    if (Text.empty() || Text.front() < '0' || Text.front() > '9') return -1;
    std::int64_t Value = -1;
    const char* End = Text.data() + Text.size();
    const auto [Ptr, Ec] = std::from_chars(Text.data(), End, Value);
    if (Ec != std::errc() || Ptr != End) return -1;
    return Value;
}

std::int64_t ContentLengthOf(const THttpHeaders& Headers) {
    std::string Text;
    if (!Headers.GetIfExists("content-length", Text)) return -1;
    return ParseContentLength(Text);
}

std::int64_t ContentBufferSize(std::int64_t Length, std::int64_t Received) noexcept {
    return std::min(Length, std::max(TrustedContentLength, 2 * Received));
}

}  // namespace Nimbra
