#include <gtest/gtest.h>

#include <clocale>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Nimbra.Http.Headers.h"

using Nimbra::THttpHeaderInfo;
using Nimbra::THttpHeaders;
using TMap = std::map<std::string, std::string>;

namespace {

TMap Entries(const THttpHeaders& H) {
    TMap Result;
    for (const THttpHeaderInfo& Info : H.AllHeaders()) {
        EXPECT_TRUE(Result.emplace(Info.Name(), Info.Value()).second) << Info.Name();
    }
    return Result;
}

TMap Parse(std::string_view Block) {
    THttpHeaders H;
    H.SetRawWideHeaders(Block);
    return Entries(H);
}

}  // namespace

TEST(Headers, SetValueTrimsAndFoldsAsciiCase) {
    THttpHeaders H;
    H.SetValue("Content-Type", "  text/html\t");
    EXPECT_EQ(H.Get("CONTENT-TYPE"), "text/html");
    EXPECT_EQ(Entries(H), (TMap{{"content-type", "text/html"}}));
    H.SetValue("X", "\r\n\x01 v \x1F\x7F");  // DEL is not a blank
    EXPECT_EQ(H.Get("x"), "v \x1F\x7F");

    H.SetValue("", "ignored");
    EXPECT_EQ(H.Count(), 2u);
    H.SetValue("Empty", "");
    EXPECT_TRUE(H.Exists("empty"));
    EXPECT_EQ(H.Get("EMPTY"), "");

    H.SetValue("content-TYPE", "application/json");  // replaces, whatever the case
    EXPECT_EQ(H.Get("Content-Type"), "application/json");
    EXPECT_EQ(H.Count(), 3u);
}

TEST(Headers, NamesAreExactApartFromAsciiCase) {
    THttpHeaders H;
    H.SetValue("Name ", "with blank");
    EXPECT_FALSE(H.Exists("Name"));
    EXPECT_EQ(H.Get("name "), "with blank");
    // É and é are different headers: only A-Z is folded.
    H.SetValue("X-\xC3\x89", "upper");
    H.SetValue("X-\xC3\xA9", "lower");
    EXPECT_EQ(H.Get("x-\xC3\x89"), "upper");
    EXPECT_EQ(H.Get("x-\xC3\xA9"), "lower");
    EXPECT_EQ(H.Count(), 3u);

    // Short and long names alike, whatever case each call spells them in.
    for (const std::size_t Length : {1u, 47u, 48u, 49u, 300u}) {
        SCOPED_TRACE(Length);
        THttpHeaders L;
        const std::string Upper(Length, 'N'), Lower(Length, 'n');
        L.AddValue(Upper, "a");
        L.AddValue(Lower, "b");
        EXPECT_EQ(L.Count(), 1u);
        EXPECT_EQ(L.Get(Lower), "a,b");
        std::string Value;
        EXPECT_TRUE(L.GetIfExists(Upper, Value));
        EXPECT_EQ(Value, "a,b");
        EXPECT_FALSE(L.Exists(Lower + "n"));
        L.Remove(Upper);
        EXPECT_FALSE(L.Exists(Lower));
    }
}

TEST(Headers, AddGetIfExistsRemoveClear) {
    THttpHeaders H;
    H.AddValue("Accept", "text/html");
    H.AddValue("ACCEPT", " application/json ");
    // The comma joins the values as given; only the ends of the result are trimmed.
    EXPECT_EQ(H.Get("accept"), "text/html, application/json");
    H.AddValue("Trailing", "");
    H.AddValue("Trailing", "  ");
    EXPECT_EQ(H.Get("trailing"), ",");

    std::string Value = "untouched";
    EXPECT_FALSE(H.GetIfExists("missing", Value));
    EXPECT_EQ(Value, "untouched");
    EXPECT_TRUE(H.GetIfExists("Accept", Value));
    EXPECT_EQ(Value, "text/html, application/json");

    H.Remove("missing");
    EXPECT_EQ(H.Count(), 2u);
    H.Remove("ACCEPT");
    EXPECT_FALSE(H.Exists("accept"));
    H.Clear();
    EXPECT_EQ(H.Count(), 0u);
    EXPECT_EQ(H.RawWideHeaders(), "\r\n");
}

TEST(Headers, RawBlockRead) {
    THttpHeaders H;
    H.SetValue("Content-Type", "text/plain");
    H.SetValue("X-A", "1");
    const std::string Block = H.RawWideHeaders();
    // Order follows the table, so compare both possible orders.
    EXPECT_TRUE(Block == "content-type:text/plain\r\nx-a:1\r\n\r\n" ||
                Block == "x-a:1\r\ncontent-type:text/plain\r\n\r\n")
        << Block;
}

TEST(Headers, RawBlockWrite) {
    struct Case {
        const char* Name;
        std::string Block;
        TMap Expected;
    };
    const Case Cases[] = {
        {"status line, repeated header, text after the empty line",
         "HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\nset-cookie: b=2\r\n\r\nX-After: no\r\n",
         {{"set-cookie", "a=1,b=2"}}},
        {"continuation with a tab",
         "X-Long: first\r\n\tsecond part\r\n",
         {{"x-long", "first second part"}}},
        {"continuation with blanks, twice", "A: 1\r\n   2\r\n \t3\r\n", {{"a", "1 2 3"}}},
        {"continuation after a line without colon is dropped",
         "HTTP/1.1 200 OK\r\n continued\r\nB: 2\r\n",
         {{"b", "2"}}},
        {"continuation at the very start is dropped", " lost\r\nB: 2\r\n", {{"b", "2"}}},
        {"blank-only continuation changes nothing", "A: 1\r\n \t \r\n", {{"a", "1"}}},
        {"blank before the colon belongs to the name", "Name :v\r\n", {{"name ", "v"}}},
        {"empty name is skipped, its continuation too", ": v\r\n more\r\nC: 3\r\n", {{"c", "3"}}},
        {"empty value", "Empty:\r\n", {{"empty", ""}}},
        {"value keeps inner colons", "Date: 10:30:00\r\n", {{"date", "10:30:00"}}},
        {"lone CR and LF are not line breaks",
         "A: x\ny\rz\r\nB: 2",
         {{"a", "x\ny\rz"}, {"b", "2"}}},
        {"last line without CR LF", "A: 1\r\nB: 2", {{"a", "1"}, {"b", "2"}}},
        {"empty text", "", {}},
        {"only an empty line", "\r\nA: 1\r\n", {}},
        {"merged header then continuation", "A: 1\r\nA: 2\r\n 3\r\n", {{"a", "1,2 3"}}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(Parse(C.Block), C.Expected);
        // One header read from the block without the collection gives the collection's value,
        // whatever the case of the name asked for.
        for (const auto& [Name, Value] : C.Expected) {
            std::string Upper = Name;
            for (char& Ch : Upper)
                if (Ch >= 'a' && Ch <= 'z') Ch = static_cast<char>(Ch - 'a' + 'A');
            std::string Found;
            EXPECT_TRUE(THttpHeaders::FindInRawWideHeaders(C.Block, Upper, Found)) << Name;
            EXPECT_EQ(Found, Value) << Name;
        }
        for (const char* Absent : {"x-after", "x-absent", ""}) {
            std::string Untouched = "untouched";
            EXPECT_FALSE(THttpHeaders::FindInRawWideHeaders(C.Block, Absent, Untouched)) << Absent;
            EXPECT_EQ(Untouched, "untouched");
        }
        // All of them in one pass, among names the block lacks (one that only a line's start
        // spells, one with a colon), with values left from before.
        std::vector<std::string_view> Names = {"x-absent", "A:", "X"};
        for (const auto& Entry : C.Expected) Names.push_back(Entry.first);
        std::vector<std::optional<std::string>> Values(Names.size(), "stale");
        THttpHeaders::FindInRawWideHeaders(C.Block, Names, Values);
        for (std::size_t I = 0; I < Names.size(); ++I) {
            const auto It = C.Expected.find(std::string(Names[I]));
            if (It == C.Expected.end())
                EXPECT_EQ(Values[I], std::nullopt) << Names[I];
            else
                EXPECT_EQ(Values[I], It->second) << Names[I];
        }
    }
}

TEST(Headers, RawBlockWriteReplacesEarlierEntries) {
    THttpHeaders H;
    H.SetValue("Old", "1");
    H.SetRawWideHeaders("New: 2\r\n");
    EXPECT_EQ(Entries(H), (TMap{{"new", "2"}}));
}

TEST(Headers, TypicalResponseBlockSplitAtEveryOffset) {
    // A block cut anywhere parses into a part of the full result: the same names, each value
    // a beginning of the full one (values only grow as lines are read).
    const std::string Block =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 42\r\n"
        "Set-Cookie: a=1\r\nSet-Cookie: b=2\r\nX-Folded: one\r\n two\r\n\r\n";
    const TMap Full = Parse(Block);
    EXPECT_EQ(Full, (TMap{{"content-type", "text/html; charset=utf-8"},
                          {"content-length", "42"},
                          {"set-cookie", "a=1,b=2"},
                          {"x-folded", "one two"}}));
    for (std::size_t Cut = 0; Cut <= Block.size(); ++Cut) {
        SCOPED_TRACE(Cut);
        for (const auto& [Name, Value] : Parse(Block.substr(0, Cut))) {
            const auto It = Full.find(Name);
            ASSERT_NE(It, Full.end()) << Name;
            EXPECT_EQ(It->second.substr(0, Value.size()), Value) << Name;
        }
    }
}

TEST(Headers, RoundTripThroughTheBlock) {
    THttpHeaders H;
    H.SetValue("A", "1");
    H.SetValue("B", "x: y");
    H.SetValue("C", "");
    H.SetValue("D\xC3\x89", "caf\xC3\xA9");
    THttpHeaders Again;
    Again.SetRawWideHeaders(H.RawWideHeaders());
    EXPECT_EQ(Entries(Again), Entries(H));
}

TEST(Headers, AnsiCopiesFollowTheLocaleCodeSet) {
    ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);  // ASCII
    const THttpHeaderInfo Info("x-\xC3\xA9", "caf\xC3\xA9 \xE2\x82\xAC ok");
    EXPECT_EQ(Info.Value(), "caf\xC3\xA9 \xE2\x82\xAC ok");
    EXPECT_EQ(Info.AnsiName(), "x-?");
    EXPECT_EQ(Info.AnsiValue(), "caf? ? ok");
    if (std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr) {
        const THttpHeaderInfo Utf8("n", "caf\xC3\xA9");
        EXPECT_EQ(Utf8.AnsiValue(), "caf\xC3\xA9");
        std::setlocale(LC_CTYPE, "C");
    }
}

namespace {

// The lines "<Prefix><Piece(i)>" CR LF for i = 0 .. Count-1.
std::string Lines(int Count, const std::string& Prefix, std::string (*Piece)(int)) {
    std::string Result;
    for (int i = 0; i < Count; ++i) Result += Prefix + Piece(i) + "\r\n";
    return Result;
}

// Piece(0) .. Piece(Count-1) joined by Separator.
std::string Joined(int Count, char Separator, std::string (*Piece)(int)) {
    std::string Result;
    for (int i = 0; i < Count; ++i) {
        if (i > 0) Result += Separator;
        Result += Piece(i);
    }
    return Result;
}

}  // namespace

TEST(Headers, ManyRepeatedAndFoldedLinesJoinExactly) {
    // Long enough that a value rebuilt on every line would show, short enough for a sanitizer
    // build; the locale copy is checked against a conversion of the whole value at once.
    constexpr int N = 20000;
    struct Case {
        const char* Name;
        const char* Locale;
        std::string Block;
        std::string Value;
        std::string AnsiValue;
    };
    using std::to_string;
    const auto Plain = [](int i) { return "v" + to_string(i); };
    const auto Accented = [](int i) { return "caf\xC3\xA9 " + to_string(i); };
    const auto AccentedAnsi = [](int i) { return "caf? " + to_string(i); };
    const auto OneEuro = [](int i) {
        return i == N / 2 ? std::string("\xE2\x82\xAC") : "v" + to_string(i);
    };
    const auto OneEuroAnsi = [](int i) {
        return i == N / 2 ? std::string("?") : "v" + to_string(i);
    };
    const auto Part = [](int i) { return (i % 2 ? "\tpart" : " part") + to_string(i); };
    const auto PartText = [](int i) { return "part" + to_string(i); };
    const auto Letter = [](int i) { return (i % 2 ? " \xC3\xA9" : "\t\xC3\xA9") + to_string(i); };
    const auto LetterText = [](int i) { return "\xC3\xA9" + to_string(i); };
    const auto LetterAnsi = [](int i) { return "?" + to_string(i); };
    const Case Cases[] = {
        {"one name repeated", "C", Lines(N, "X-Dup: ", Plain), Joined(N, ',', Plain),
         Joined(N, ',', Plain)},
        {"repeated with non-ASCII letters", "C", Lines(N, "x-dup:", Accented),
         Joined(N, ',', Accented), Joined(N, ',', AccentedAnsi)},
        {"repeated with non-ASCII letters, UTF-8 locale", "C.UTF-8", Lines(N, "X-DUP: ", Accented),
         Joined(N, ',', Accented), Joined(N, ',', Accented)},
        {"ASCII values with one non-ASCII in the middle", "C", Lines(N, "X-Dup: ", OneEuro),
         Joined(N, ',', OneEuro), Joined(N, ',', OneEuroAnsi)},
        {"folded continuation lines", "C", "X-Dup: first\r\n" + Lines(N, "", Part),
         "first " + Joined(N, ' ', PartText), "first " + Joined(N, ' ', PartText)},
        {"folded non-ASCII continuation lines after an empty value", "C",
         "X-Dup:\r\n" + Lines(N, "", Letter), Joined(N, ' ', LetterText),
         Joined(N, ' ', LetterAnsi)},
        {"a broken character does not join across the comma", "C",
         "X-Dup: a\xC3\r\nX-Dup: \xA9z\r\n", "a\xC3,\xA9z", "a?,?z"},
        {"a broken character does not join across the fold", "C", "X-Dup: a\xC3\r\n \xA9z\r\n",
         "a\xC3 \xA9z", "a? ?z"},
        {"broken characters under a UTF-8 locale", "C.UTF-8", "X-Dup: a\xC3\r\n \xA9z\r\n",
         "a\xC3 \xA9z", "a\xEF\xBF\xBD \xEF\xBF\xBDz"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        if (std::setlocale(LC_CTYPE, C.Locale) == nullptr) continue;  // not on this system
        THttpHeaders H;
        H.SetRawWideHeaders(C.Block);
        ASSERT_EQ(H.Count(), 1u);
        const THttpHeaderInfo& Info = *H.AllHeaders().begin();
        EXPECT_EQ(Info.Name(), "x-dup");
        EXPECT_EQ(Info.Value(), C.Value);
        EXPECT_EQ(Info.AnsiValue(), C.AnsiValue);
        EXPECT_EQ(Info.AnsiValue(), THttpHeaderInfo("x-dup", C.Value).AnsiValue());
    }
    std::setlocale(LC_CTYPE, "C");
}

TEST(Headers, ManyAddValueCallsJoinExactly) {
    // Each call's leading blanks stay after its comma; its trailing blanks go, and so does a
    // value of blanks only, leaving its comma.
    ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
    constexpr int N = 20000;
    THttpHeaders H;
    std::string Value, Ansi;
    for (int i = 0; i < N; ++i) {
        const std::string Text = std::to_string(i);
        switch (i % 3) {
            case 0:
                H.AddValue("X-Dup", "  v" + Text + "\t ");
                Value += (i ? ",  v" : "v") + Text;
                Ansi += (i ? ",  v" : "v") + Text;
                break;
            case 1:
                H.AddValue("x-DUP", "\xC3\xA9" + Text);
                Value += ",\xC3\xA9" + Text;
                Ansi += ",?" + Text;
                break;
            default:
                H.AddValue("X-Dup", " \r\n");
                Value += ',';
                Ansi += ',';
        }
    }
    ASSERT_EQ(H.Count(), 1u);
    const THttpHeaderInfo& Info = *H.AllHeaders().begin();
    EXPECT_EQ(Info.Value(), Value);
    EXPECT_EQ(Info.AnsiValue(), Ansi);
}

TEST(Headers, ContentLengthTextIsDigitsOrNoLength) {
    // One reading for every side that meets the header: the WinHTTP response, the server
    // request and the server response.
    struct {
        const char* Name;
        const char* Text;
        std::int64_t Length;
    } Cases[] = {
        {"zero", "0", 0},
        {"a length", "10", 10},
        {"blanks around it", " \t42 ", 42},
        {"beyond 32 bits", "9007199254740993", 9007199254740993LL},
        {"the largest 64-bit value", "9223372036854775807", INT64_MAX},
        {"one past it", "9223372036854775808", -1},
        {"empty: states nothing, not an empty body", "", -1},
        {"blanks only", "  ", -1},
        {"not a number", "abc", -1},
        {"digits then text", "12x", -1},
        {"a negative length", "-5", -1},
        {"minus zero", "-0", -1},
        {"a plus sign", "+5", -1},
        {"two lengths", "10, 10", -1},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(Nimbra::ParseContentLength(C.Text), C.Length);
        THttpHeaders H;
        H.SetValue("Content-Length", C.Text);
        EXPECT_EQ(Nimbra::ContentLengthOf(H), C.Length);
    }
    EXPECT_EQ(Nimbra::ContentLengthOf(THttpHeaders()), -1) << "no header";
}
