#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Nimbra.Utils.h"
#include "Runtime.Exception.h"

using Nimbra::TNameValuePair;
using Nimbra::TNimbraUtils;
using Pairs = std::vector<TNameValuePair>;

namespace Nimbra {
// Readable failure output for pairs.
void PrintTo(const TNameValuePair& P, std::ostream* Os) {
    *Os << P.Name << "=" << P.Value;
}
}  // namespace Nimbra

TEST(Utils, StatusReasons) {
    const std::pair<int, const char*> Known[] = {{100, "Continue"},
                                                 {200, "OK"},
                                                 {203, "Non-Authoritative Information"},
                                                 {208, "Already Reported"},
                                                 {306, "Switch Proxy"},
                                                 {307, "Temporary Redirect"},
                                                 {404, "Not Found"},
                                                 {414, "Request-URI Too Long"},
                                                 {416, "Request Range Not Satisfiable"},
                                                 {424, "Failed Dependency"},
                                                 {500, "Internal Server Error"},
                                                 {505, "Http Version Not Supported"},
                                                 {507, "Insufficient Storage"}};
    for (const auto& [Code, Reason] : Known) EXPECT_EQ(TNimbraUtils::GetStatusReason(Code), Reason);
    int Count = 0;
    for (int Code = -1000; Code < 1000; ++Code)
        Count += !TNimbraUtils::GetStatusReason(Code).empty();
    EXPECT_EQ(Count, 49);
    for (const int Code : {0, 308, 418, 421, 425, 508, 599, -200})
        EXPECT_EQ(TNimbraUtils::GetStatusReason(Code), "") << Code;
}

TEST(Utils, PercentEncodeSegments) {
    EXPECT_EQ(TNimbraUtils::PercentEncode({"a b", "", "c/d"}), "a%20b//c%2Fd");
    EXPECT_EQ(TNimbraUtils::PercentEncode({"", "x"}), "x");
    EXPECT_EQ(TNimbraUtils::PercentEncode({"", "", "x", ""}), "x/");
    EXPECT_EQ(TNimbraUtils::PercentEncode(std::vector<std::string>{}), "");
    EXPECT_EQ(TNimbraUtils::PercentEncode(std::vector<std::string>{"\xC3\xA9", "b"}), "%C3%A9/b");
    EXPECT_EQ(TNimbraUtils::PercentEncode("a/b"), "a%2Fb");
    EXPECT_EQ(TNimbraUtils::PercentDecode("a%2Fb+"), "a/b+");
}

TEST(Utils, QueryParams) {
    struct Case {
        const char* Name;
        const char* Query;
        bool DecodePlus;
        Pairs Expected;
    };
    const Case Cases[] = {
        {"plus decoded", "?a=1&b&c=x+y", true, {{"a", "1"}, {"", "b"}, {"c", "x y"}}},
        {"plus kept", "?a=1&b&c=x+y", false, {{"a", "1"}, {"", "b"}, {"c", "x+y"}}},
        {"empty query", "", true, {}},
        {"question mark alone", "?", true, {}},
        {"empty middle piece", "a&&b", false, {{"", "a"}, {"", ""}, {"", "b"}}},
        {"trailing ampersand", "a=1&", false, {{"a", "1"}, {"", ""}}},
        {"value keeps later equals signs", "a=b=c", false, {{"a", "b=c"}}},
        {"name and value decoded separately", "n%3Dx=%26%3D", false, {{"n=x", "&="}}},
        {"encoded plus stays a plus", "a=%2B+", true, {{"a", "+ "}}},
        {"duplicates kept in order", "a=1&a=2", false, {{"a", "1"}, {"a", "2"}}},
        {"non-ASCII and bad bytes",
         "k=caf\xC3\xA9&b=%FF",
         false,
         {{"k", "caf\xC3\xA9"}, {"b", "\xEF\xBF\xBD"}}},
        {"only the first question mark dropped", "??a=1", false, {{"?a", "1"}}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(TNimbraUtils::GetQueryParams(C.Query, C.DecodePlus), C.Expected);
    }
}

TEST(Utils, QueryString) {
    // DecodePlus means DecodePlus, and names compare exactly.
    const Nimbra::TQueryString Q = TNimbraUtils::GetQueryString("?Name=x+y&name=2&e=", true);
    EXPECT_EQ(Q.ParamCount(), 3);
    EXPECT_EQ(Q.GetValue("Name"), "x y");
    EXPECT_EQ(Q.GetValue("name"), "2");
    EXPECT_EQ(Q.GetValue("NAME"), "");
    EXPECT_FALSE(Q.Contains("NAME"));
    EXPECT_TRUE(Q.Contains("e"));
    EXPECT_EQ(TNimbraUtils::GetQueryString("a=x+y", false).GetValue("a"), "x+y");

    const Nimbra::TQueryString IgnoringCase("?Name=1&name=2", true, false);
    EXPECT_EQ(IgnoringCase.GetValue("NAME"), "1");
    EXPECT_TRUE(IgnoringCase.Contains("nAmE"));
    EXPECT_FALSE(IgnoringCase.Contains("nam"));
}

TEST(Utils, ParseHeader) {
    struct Case {
        const char* Text;
        std::string Name, Value;
    };
    const Case Cases[] = {
        {"Content-Type: text/html", "Content-Type", " text/html"},
        {"  X-A \t: v ", "X-A", " v "},
        {"A:b:c", "A", "b:c"},
        {":starts with colon", "", ":starts with colon"},
        {"no colon", "", "no colon"},
        {"", "", ""},
        {"A:", "A", ""},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Text);
        std::string Name = "old", Value = "old";
        TNimbraUtils::ParseHeader(C.Text, Name, Value);
        EXPECT_EQ(Name, C.Name);
        EXPECT_EQ(Value, C.Value);
    }
}

TEST(Utils, HeaderParams) {
    struct Case {
        const char* Text;
        std::string Value;
        Pairs Params;
    };
    const Case Cases[] = {
        {"text/html; charset=\"utf-8\"; x", "text/html", {{"charset", "utf-8"}}},
        {"  text/plain  ", "text/plain", {}},
        {"attachment; FileName = \"a b.txt\" ; size=10",
         "attachment",
         {{"filename", "a b.txt"}, {"size", "10"}}},
        // The split comes first: a ";" inside quotes is not protected.
        {"attachment; filename=\"a;b.txt\"", "attachment", {{"filename", "\"a"}}},
        // "=" first in a piece skips it; a blank before it makes a parameter with no name.
        {"a;=skipped; =x; b=; c=\"\"; d=\"", "a", {{"", "x"}, {"b", ""}, {"c", ""}, {"d", "\""}}},
        {"; q=1", "", {{"q", "1"}}},
        {"x; y=\"in\\\"side\"", "x", {{"y", "in\\\"side"}}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Text);
        const Nimbra::THeaderParamsInfo Info = TNimbraUtils::ParseContentType(C.Text);
        EXPECT_EQ(Info.Value, C.Value);
        EXPECT_EQ(Info.Params, C.Params);
        EXPECT_EQ(TNimbraUtils::ParseContentDisposition(C.Text).Params, C.Params);
    }

    const auto Info = TNimbraUtils::ParseContentType("text/html; Charset=utf-8; charset=latin1");
    EXPECT_EQ(Info.ParamValue("CHARSET"), "utf-8");
    EXPECT_EQ(Info.ParamValue("missing"), "");
    std::string V = "untouched";
    EXPECT_FALSE(Info.TryParamValue("boundary", V));
    EXPECT_EQ(V, "untouched");
    EXPECT_TRUE(Info.TryParamValue("charset", V));
    EXPECT_EQ(V, "utf-8");
}

TEST(Utils, NameAndAnnotation) {
    std::string Name, Annotation;
    TNimbraUtils::GetNameAndAnnotation("user@host@x", Name, Annotation);
    EXPECT_EQ(Name, "user");
    EXPECT_EQ(Annotation, "host@x");
    TNimbraUtils::GetNameAndAnnotation("plain", Name, Annotation);
    EXPECT_EQ(Name, "plain");
    EXPECT_EQ(Annotation, "");
}

TEST(Utils, AcceptsType) {
    struct Case {
        const char* Name;
        const char* Accept;
        std::vector<std::string> Values;
        std::string Chosen;
    };
    const Case Cases[] = {
        {"q-values", "text/html;q=0.5, */*;q=0.1", {"application/json", "text/html"}, "text/html"},
        {"q=0 refuses", "application/json;q=0", {"application/json"}, ""},
        {"blank before the q parameter", "text/html; q=0, */*", {"text/html"}, ""},
        {"blank before the semicolon", "text/html ;q=0, */*", {"text/html"}, ""},
        {"no candidates", "*/*", {}, ""},
        {"empty Accept takes the first", "", {"b/b", "a/a"}, "b/b"},
        {"specific beats a higher q on a wildcard",
         "text/*;q=1, text/plain;q=0.2",
         {"text/html", "text/plain"},
         "text/plain"},
        {"equal specificity, higher q wins", "a/x;q=0.3, b/y;q=0.9", {"a/x", "b/y"}, "b/y"},
        {"equal everything, the first stays", "a/x, b/y", {"a/x", "b/y"}, "a/x"},
        {"case of types ignored", "TEXT/HTML", {"text/html"}, "text/html"},
        {"star alone is */*", "*", {"image/png"}, "image/png"},
        {"candidate without subtype", "text/html", {"text"}, "text"},
        {"no match", "image/png", {"text/html"}, ""},
        {"bad q-value counts as 1", "text/html;q=abc", {"text/html"}, "text/html"},
        {"q above 1 counts as 1", "text/html;q=2", {"text/html"}, "text/html"},
        {"negative q counts as 1", "text/html;q=-0.5", {"text/html"}, "text/html"},
        {"Q in capitals is not q", "text/html;Q=0", {"text/html"}, "text/html"},
        {"exponent form",
         "text/html;q=1e-1, text/plain;q=0.05",
         {"text/plain", "text/html"},
         "text/html"},
        {"candidate text kept unchanged", "*/*", {" Text/HTML "}, " Text/HTML "},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(TNimbraUtils::AcceptsType(C.Accept, C.Values), C.Chosen);
    }
    EXPECT_TRUE(TNimbraUtils::AcceptsType("text/*", "text/csv"));
    EXPECT_FALSE(TNimbraUtils::AcceptsType("text/*", "image/png"));
    EXPECT_EQ(TNimbraUtils::AcceptsType("text/*;q=0.5, image/png", {"image/png", "text/csv"}),
              "image/png");
}

TEST(Utils, AcceptsEncoding) {
    struct Case {
        const char* Name;
        const char* Accept;
        std::vector<std::string> Values;
        std::string Chosen;
    };
    const Case Cases[] = {
        {"identity when nothing else fits", "gzip", {"deflate", "identity"}, "identity"},
        {"identity refused by name", "gzip, identity;q=0", {"deflate", "identity"}, ""},
        {"match", "gzip, deflate", {"deflate", "gzip"}, "deflate"},
        {"higher q", "gzip;q=0.5, deflate;q=0.8", {"gzip", "deflate"}, "deflate"},
        {"empty Accept gives identity", "", {"gzip", "IDENTITY"}, "IDENTITY"},
        {"empty Accept without identity", "", {"gzip"}, ""},
        {"refused by q=0, identity offered", "gzip;q=0", {"gzip", "identity"}, "identity"},
        {"wildcard", "*", {"br"}, "br"},
        {"no values", "gzip", {}, ""},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(TNimbraUtils::AcceptsEncoding(C.Accept, C.Values), C.Chosen);
    }
    EXPECT_TRUE(TNimbraUtils::AcceptsEncoding("gzip, deflate", "gzip"));
    EXPECT_FALSE(TNimbraUtils::AcceptsEncoding("gzip", "br"));
    EXPECT_EQ(TNimbraUtils::AcceptsEncoding("gzip", {"br", "identity"}), "identity");
}

TEST(Utils, BasicAuthAndBase64) {
    EXPECT_EQ(TNimbraUtils::BasicAuthHeaderValue("Aladdin", "open sesame"),
              "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    EXPECT_EQ(TNimbraUtils::BasicAuthHeaderValue("\xC3\xA9", ""), "Basic w6k6");
    EXPECT_EQ(TNimbraUtils::BasicAuthHeaderValue("", ""), "Basic Og==");
    const Runtime::TBytes Bytes{0, 1, 254, 255};
    EXPECT_EQ(TNimbraUtils::EncodeBase64(Bytes), "AAH+/w==");
    EXPECT_EQ(TNimbraUtils::DecodeBase64("AAH+/w=="), Bytes);
    EXPECT_THROW((void)TNimbraUtils::DecodeBase64("AAH+/w==\n"), Runtime::EConvertError);
    EXPECT_EQ(TNimbraUtils::CombineUrlFast("http://h/a", "b"), "http://h/a/b");
    EXPECT_EQ(TNimbraUtils::CombineUrlFast("", "b"), "b");
}

TEST(Utils, DateTexts) {
    const double Value = 45418 + (10 * 60 + 30) / 1440.0;  // 2024-05-06 10:30
    EXPECT_EQ(TNimbraUtils::DateTimeToISO(Value), "2024-05-06T10:30");
    EXPECT_EQ(TNimbraUtils::DateTimeToISO(45418, false), "2024-05-06");
    EXPECT_EQ(TNimbraUtils::DateToISO(Value), "2024-05-06");
    EXPECT_EQ(TNimbraUtils::TimeToISO(Value), "10:30");
    EXPECT_NEAR(TNimbraUtils::ISOToDateTime("2024-05-06T10:30"), Value, 1e-9);
    try {
        (void)TNimbraUtils::ISOToDateTime("2024-05-06T10:30:00Z");
        ADD_FAILURE() << "no exception";
    } catch (const Runtime::EConvertError& E) {
        EXPECT_STREQ(E.what(), "Value 2024-05-06T10:30:00Z is not a valid datetime");
    }
    double V = 0;
    EXPECT_TRUE(TNimbraUtils::TryDayTimeDurationToDateTime("P1D12H", V));
    EXPECT_EQ(V, 1.5);
    EXPECT_FALSE(TNimbraUtils::TryDayTimeDurationToDateTime("PT1H", V));
    EXPECT_EQ(TNimbraUtils::DateTimeToDayTimeDuration(1.5), "P1D12H");
}

TEST(Utils, UnixAndJsonTimes) {
    EXPECT_EQ(TNimbraUtils::LocalDateTimeToUnix(25569), 0);
    EXPECT_EQ(TNimbraUtils::LocalDateTimeToUnix(25570.5), 129600);
    EXPECT_EQ(TNimbraUtils::LocalDateTimeToUnix(0), -2209161600LL);
    EXPECT_EQ(TNimbraUtils::LocalDateTimeToUnix(25569 + 0.6 / 86400), 1);
    EXPECT_EQ(TNimbraUtils::LocalDateTimeToUnix(25569 - 0.6 / 86400), -1);
    EXPECT_EQ(TNimbraUtils::LocalDateTimeToUnix(25569 + 0.4 / 86400), 0);
    EXPECT_EQ(TNimbraUtils::DateTimeToJson(25570), "\\/Date(86400000)\\/");
    EXPECT_EQ(TNimbraUtils::DateTimeToJson(0), "\\/Date(-2209161600000)\\/");
    EXPECT_THROW((void)TNimbraUtils::LocalDateTimeToUnix(1e300), Runtime::EConvertError);
    EXPECT_THROW((void)TNimbraUtils::DateTimeToJson(1e15), Runtime::EConvertError);
}

TEST(Utils, Guid) {
    Runtime::TGUID G;
    EXPECT_TRUE(TNimbraUtils::TryStringToGuid("00000000-0000-0000-C000-000000000046", G));
    EXPECT_EQ(Runtime::GUIDToString(G), "{00000000-0000-0000-C000-000000000046}");
    EXPECT_FALSE(TNimbraUtils::TryStringToGuid("{00000000-0000-0000-C000-000000000046}", G));
}
