#include <gtest/gtest.h>

#include <clocale>
#include <map>
#include <string>

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
