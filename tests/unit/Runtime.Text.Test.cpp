#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <utility>

#include "Runtime.Text.h"

using namespace Runtime;

TEST(Text, AsciiCaseFoldsOnlyAsciiLetters) {
    EXPECT_EQ(AsciiLowerCase("Content-TYPE \xC3\x89"), "content-type \xC3\x89");
    EXPECT_EQ(AsciiUpperCase("get \xC3\xA9"), "GET \xC3\xA9");
    EXPECT_TRUE(SameTextAscii("Content-Type", "cONTENT-tYPE"));
    EXPECT_FALSE(SameTextAscii("\xC3\x89", "\xC3\xA9"));  // É and é differ
    EXPECT_FALSE(SameTextAscii("a", "ab"));
    EXPECT_FALSE(SameTextAscii("@", "`"));  // neighbours of the letter ranges
}

TEST(Text, SameTextAsciiComparesEveryPositionOfLongTexts) {
    // Long texts are compared several bytes at a time: every byte below 0x80 (the letters'
    // neighbours included), and a byte beyond ASCII, at each position of a text longer than
    // one such step, against the same text with one letter's case changed at any position.
    std::string Base;
    for (int C = 1; C < 0x80; ++C) Base += static_cast<char>(C);
    Base += "\xC3\x89tail";
    for (std::size_t At = 0; At < Base.size(); ++At) {
        SCOPED_TRACE(At);
        std::string Other = Base;
        const char C = Other[At];
        if (C >= 'a' && C <= 'z') Other[At] = static_cast<char>(C - 'a' + 'A');
        if (C >= 'A' && C <= 'Z') Other[At] = static_cast<char>(C - 'A' + 'a');
        EXPECT_TRUE(SameTextAscii(Base, Other));
        // Any other change at that position is a difference.
        Other[At] = static_cast<char>(C >= 'A' && C <= 'Z'   ? C + ('a' - 'A') + 1
                                      : C >= 'a' && C <= 'z' ? C - ('a' - 'A') + 1
                                                             : C ^ 0x20);
        EXPECT_FALSE(SameTextAscii(Base, Other));
        EXPECT_FALSE(SameTextAscii(Other, Base));
    }
}

TEST(Text, NextCodePointDecodesAndReplaces) {
    struct Case {
        const char* Name;
        std::string In;
        std::u32string Out;
    };
    const Case Cases[] = {
        {"ASCII", "ab", U"ab"},
        {"two, three and four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
         U"\u00E9\u20AC\U0001F600"},
        {"lone continuation", "\x80", U"\uFFFD"},
        {"truncated at the end", "a\xE2\x82", U"a\uFFFD"},
        {"truncated before ASCII", "\xE2\x82z", U"\uFFFDz"},
        {"overlong", "\xC0\xAF", U"\uFFFD\uFFFD"},
        {"overlong three bytes", "\xE0\x80\xAF", U"\uFFFD\uFFFD\uFFFD"},
        {"surrogate", "\xED\xA0\x80", U"\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", U"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"last code point", "\xF4\x8F\xBF\xBF", U"\U0010FFFF"},
        {"F5 and above", "\xF5\xFF", U"\uFFFD\uFFFD"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::u32string Got;
        for (std::size_t Pos = 0; Pos < C.In.size();) Got += NextCodePoint(C.In, Pos);
        EXPECT_EQ(Got, C.Out);
    }
}

TEST(Text, AsciiAndValidityChecksSeeEveryByte) {
    // A high byte at each position of a text longer than two machine words.
    for (std::size_t At = 0; At < 20; ++At) {
        SCOPED_TRACE(At);
        std::string S(20, 'a');
        EXPECT_TRUE(IsAscii(S));
        S[At] = '\xC3';
        EXPECT_FALSE(IsAscii(S));
        EXPECT_FALSE(IsValidUtf8(S));  // a lead byte followed by "a"
        S.insert(At + 1, 1, '\xA9');
        EXPECT_TRUE(IsValidUtf8(S));
    }
}

TEST(Text, Utf16ConversionBothWays) {
    struct Case {
        const char* Name;
        std::string Utf8;
        std::u16string Utf16;
    } const Cases[] = {
        {"empty", "", u""},
        {"ASCII", "GET /a?b=1", u"GET /a?b=1"},
        {"two-byte after ASCII", "caf\xC3\xA9", u"caf\u00E9"},
        {"three-byte", "\xE2\x82\xAC", u"\u20AC"},
        {"outside the BMP as a surrogate pair", "x\xF0\x9F\x98\x80y", u"x\U0001F600y"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(ToUtf16(C.Utf8), C.Utf16);
        EXPECT_EQ(FromUtf16(C.Utf16), C.Utf8);
    }
    // A character beyond ASCII at each position of a text longer than two of the blocks that
    // are checked at a time: U+00E9, U+0100 whose low byte alone looks like ASCII, and U+0080,
    // the first beyond it.
    for (const auto& [Utf8Char, Utf16Char] :
         {std::pair<const char*, char16_t>{"\xC3\xA9", u'\u00E9'},
          {"\xC4\x80", u'\u0100'},
          {"\xC2\x80", u'\u0080'}}) {
        for (std::size_t At = 0; At < 40; ++At) {
            SCOPED_TRACE(std::to_string(At) + " " + Utf8Char);
            std::string Utf8(40, 'a');
            Utf8.replace(At, 1, Utf8Char);
            std::u16string Utf16(40, u'a');
            Utf16[At] = Utf16Char;
            EXPECT_EQ(ToUtf16(Utf8), Utf16);
            EXPECT_EQ(FromUtf16(Utf16), Utf8);
        }
    }
    // What cannot be converted becomes U+FFFD, one for each bad sequence or lone surrogate.
    EXPECT_EQ(ToUtf16("a\xC3(\xFF"), u"a\uFFFD(\uFFFD");
    EXPECT_EQ(FromUtf16(std::u16string(u"a") + char16_t(0xD800) + u"b" + char16_t(0xDC00)),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
}

TEST(Text, ToValidUtf8) {
    EXPECT_EQ(ToValidUtf8("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(ToValidUtf8("\xEF\xBF\xBD"), "\xEF\xBF\xBD");  // a real U+FFFD stays
    EXPECT_EQ(ToValidUtf8("a\xFF"
                          "b"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(ToValidUtf8(""), "");
}

TEST(Text, LocaleCodeSetReplacesWhatItCannotRepresent) {
    // The tests run in the "C" locale, whose code set is ASCII.
    ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
    EXPECT_EQ(Utf8ToLocaleCodeSet("text/html"), "text/html");
    EXPECT_EQ(Utf8ToLocaleCodeSet("caf\xC3\xA9 \xE2\x82\xAC"), "caf? ?");
    if (std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr) {
        EXPECT_EQ(Utf8ToLocaleCodeSet("caf\xC3\xA9"), "caf\xC3\xA9");
        std::setlocale(LC_CTYPE, "C");
    }
}

TEST(Text, LocaleCodeSetConversionOfWholeTexts) {
    // Under the ASCII code set every character beyond ASCII, and every broken sequence, is
    // one "?"; what follows it converts as usual.
    ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
    std::string Long, LongExpected;
    for (int i = 0; i < 5000; ++i) {
        Long += "ab\xC3\xA9\xF0\x9F\x98\x80";
        LongExpected += "ab??";
    }
    struct Case {
        const char* Name;
        std::string In;
        std::string Out;
    };
    const Case Cases[] = {
        {"two, three and four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80x", "???x"},
        {"unrepresentable first and last", "\xC3\xA9 mid \xC3\xA9", "? mid ?"},
        {"broken sequences",
         "a\xFF"
         "b\xE2\x82"
         "c\x80",
         "a?b?c?"},
        {"truncated at the end", "ok\xE2\x82", "ok?"},
        {"a real U+FFFD", "\xEF\xBF\xBD", "?"},
        {"long text", Long, LongExpected},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(Utf8ToLocaleCodeSet(C.In), C.Out);
    }
    // The conversion follows the code set of the moment, also after one was used.
    if (std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr) {
        EXPECT_EQ(Utf8ToLocaleCodeSet("x\xC3\xA9\xFF"), "x\xC3\xA9\xEF\xBF\xBD");
        ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
        EXPECT_EQ(Utf8ToLocaleCodeSet("x\xC3\xA9"), "x?");
    }
}
