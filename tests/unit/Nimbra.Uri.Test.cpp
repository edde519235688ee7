#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Nimbra.Uri.h"

using Nimbra::TUri;
using Strings = std::vector<std::string>;

namespace {

struct TUriCase {
    const char* Name;
    std::string Text;
    std::string Scheme, UserInfo, Host;
    int Port;
    std::string OriginalPath, Path, OriginalQuery, Query, OriginalFragment, Authority, Absolute;
};

}  // namespace

TEST(Uri, ParsesEveryPart) {
    const TUriCase Cases[] = {
        {"worked example", "HTTP://User@Host1:80/a%20b//c/?x=%41#f", "http", "User", "Host1", 80,
         "/a%20b//c/", "/a b//c/", "?x=%41", "?x=A", "#f", "User@Host1",
         "http://User@Host1/a%20b//c/?x=%41#f"},
        {"empty text", "", "", "", "", 80, "/", "/", "", "", "", "", "http:///"},
        {"bare path", "/a/b?c", "", "", "", 80, "/a/b", "/a/b", "?c", "?c", "", "",
         "http:///a/b?c"},
        {"other scheme keeps port 0", "ftp://h/x", "ftp", "", "h", 0, "/x", "/x", "", "", "", "h",
         "ftp://h/x"},
        {"https on port 80", "https://h:80/", "https", "", "h", 80, "/", "/", "", "", "", "h:80",
         "https://h:80/"},
        {"http on port 443", "http://h:443/", "http", "", "h", 443, "/", "/", "", "", "", "h:443",
         "http://h:443/"},
        {"https default port", "HTTPS://h/", "https", "", "h", 443, "/", "/", "", "", "", "h",
         "https://h/"},
        {"IPv6 with port", "http://[::1]:8080/p", "http", "", "[::1]", 8080, "/p", "/p", "", "", "",
         "[::1]:8080", "http://[::1]:8080/p"},
        {"IPv6 without port", "http://[::1]/p", "http", "", "[::1]", 80, "/p", "/p", "", "", "",
         "[::1]", "http://[::1]/p"},
        {"IPv6 with junk after the bracket", "http://[::1]x:9/", "http", "", "[::1]", 80, "/", "/",
         "", "", "", "[::1]", "http://[::1]/"},
        {"scheme with + is not a scheme", "svn+ssh://h/", "", "", "svn+ssh", 80, "//h/", "//h/", "",
         "", "", "svn+ssh", "http://svn+ssh//h/"},
        {"text starting with ://", "://h/x", "", "", "h", 80, "/x", "/x", "", "", "", "h",
         "http://h/x"},
        {"two @ signs", "http://a@b@c/", "http", "a", "b@c", 80, "/", "/", "", "", "", "a@b@c",
         "http://a@b@c/"},
        {"port with trailing letters", "http://h:8a/", "http", "", "h", 8, "/", "/", "", "", "",
         "h:8", "http://h:8/"},
        {"empty port", "http://h:/", "http", "", "h", 80, "/", "/", "", "", "", "h", "http://h/"},
        {"hexadecimal port", "http://h:0x1F/", "http", "", "h", 31, "/", "/", "", "", "", "h:31",
         "http://h:31/"},
        {"query right after host", "http://h?q", "http", "", "h", 80, "/", "/", "?q", "?q", "", "h",
         "http://h/?q"},
        {"fragment right after host", "http://h#f", "http", "", "h", 80, "/", "/", "", "", "#f",
         "h", "http://h/#f"},
        {"host and port without scheme", "host:8080/x", "", "", "host", 8080, "/x", "/x", "", "",
         "", "host:8080", "http://host:8080/x"},
        {"question mark inside the fragment", "http://h/p#a?b", "http", "", "h", 80, "/p", "/p", "",
         "", "#a?b", "h", "http://h/p#a?b"},
        {"plus stays in the query", "http://h/?a+b=%2B", "http", "", "h", 80, "/", "/", "?a+b=%2B",
         "?a+b=+", "", "h", "http://h/?a+b=%2B"},
        {"malformed escapes stay", "http://h/%zz%4?%", "http", "", "h", 80, "/%zz%4", "/%zz%4",
         "?%", "?%", "", "h", "http://h/%zz%4?%"},
        {"host keeps its case and escapes", "http://Ex%41mple.COM/", "http", "", "Ex%41mple.COM",
         80, "/", "/", "", "", "", "Ex%41mple.COM", "http://Ex%41mple.COM/"},
        {"local scheme", "local://server/api?id=5", "local", "", "server", 0, "/api", "/api",
         "?id=5", "?id=5", "", "server", "local://server/api?id=5"},
    };
    for (const TUriCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        const TUri U(C.Text);
        EXPECT_EQ(U.Scheme(), C.Scheme);
        EXPECT_EQ(U.UserInfo(), C.UserInfo);
        EXPECT_EQ(U.Host(), C.Host);
        EXPECT_EQ(U.Port(), C.Port);
        EXPECT_EQ(U.OriginalPath(), C.OriginalPath);
        EXPECT_EQ(U.Path(), C.Path);
        EXPECT_EQ(U.OriginalQuery(), C.OriginalQuery);
        EXPECT_EQ(U.Query(), C.Query);
        EXPECT_EQ(U.OriginalFragment(), C.OriginalFragment);
        EXPECT_EQ(U.Authority(), C.Authority);
        EXPECT_EQ(U.AbsoluteUri(), C.Absolute);
        EXPECT_EQ(U.AbsolutePath(), C.OriginalPath);
        EXPECT_EQ(U.OriginalUri(), C.Text);
    }
}

TEST(Uri, Segments) {
    struct Case {
        const char* Text;
        Strings Segments, Original;
    };
    const Case Cases[] = {
        {"/a//b/", {"a", "b"}, {"/", "a/", "/", "b/"}},
        {"/a%20b/c", {"a b", "c"}, {"/", "a%20b/", "c"}},
        {"http://h", {}, {"/"}},
        {"http://h/", {}, {"/"}},
        {"HTTP://User@Host1:80/a%20b//c/?x=%41#f", {"a b", "c"}, {"/", "a%20b/", "/", "c/"}},
        // An encoded slash belongs to its segment.
        {"/a%2Fb/c", {"a/b", "c"}, {"/", "a%2Fb/", "c"}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Text);
        const TUri U(C.Text);
        EXPECT_EQ(U.Segments(), C.Segments);
        EXPECT_EQ(U.OriginalSegments(), C.Original);
    }
}

TEST(Uri, SchemeLettersAreUnicodeLetters) {
    // Letters of any script make a scheme; digits of any script, marks and symbols end it.
    struct Case {
        const char* Name;
        std::string Text;
        std::string Scheme;
        bool HasScheme;
    };
    const Case Cases[] = {
        {"ASCII", "http://h/", "http", true},
        {"Latin letter with accent", "h\xC3\xA9llo://h/", "h\xC3\xA9llo", true},
        {"Greek", "\xCE\xB1\xCE\xB2://h/", "\xCE\xB1\xCE\xB2", true},
        {"CJK ideograph", "\xE4\xB8\xAD://h/", "\xE4\xB8\xAD", true},
        {"upper-case non-ASCII not folded", "\xC3\x89://h/", "\xC3\x89", true},
        {"digit ends the run", "h2://h/", "", false},
        {"Arabic-Indic digit ends the run", "h\xD9\xA1://h/", "", false},
        {"symbol ends the run", "h\xE2\x82\xAC://h/", "", false},
        {"invalid UTF-8 ends the run", "h\xFF://h/", "", false},
        {"empty scheme", "://h/", "", false},
        {"no slashes", "mailto:a@b", "", false},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(TUri(C.Text).Scheme(), C.Scheme);
        EXPECT_EQ(TUri::HasScheme(C.Text), C.HasScheme);
    }
    // Only ASCII letters are lower-cased.
    EXPECT_EQ(TUri("HT\xC3\x89P://h/").Scheme(), "ht\xC3\x89p");
}

TEST(Uri, DefaultPortRules) {
    struct Case {
        const char* Text;
        bool Default;
    };
    const Case Cases[] = {
        {"http://h/", true},      {"http://h:80/", true},   {"/p", true},
        {"https://h/", true},     {"https://h:80/", false}, {"http://h:443/", false},
        {"ftp://h/", true},       {"ftp://h:21/", false},   {"http://h:0/", true},
        {"local://h:80/", false}, {"http://h:8080/", false}};
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Text);
        EXPECT_EQ(TUri(C.Text).IsDefaultPort(), C.Default);
    }
}

TEST(Uri, ParseHost) {
    struct Case {
        const char* Text;
        std::string Host, PortText;
        int Port;
    };
    const Case Cases[] = {
        {"h:8080", "h", "8080", 8080},
        {"h", "h", "", 0},
        {"", "", "", 0},
        {"[::1]:443", "[::1]", "443", 443},
        {"[::1]", "[::1]", "", 0},
        {"[::1]443", "[::1]", "", 0},
        {"h: 42", "h", " 42", 42},
        {"h:-1", "h", "-1", -1},
        {"h:$ff", "h", "$ff", 255},
        {"h:x10", "h", "x10", 16},
        {"h:1:2", "h", "1:2", 1},
        {"h:abc", "h", "abc", 0},
        {"h:4294967297", "h", "4294967297", 1},  // no range check: the value wraps
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Text);
        std::string Host = "old", PortText = "old";
        TUri::ParseHost(C.Text, Host, PortText);
        EXPECT_EQ(Host, C.Host);
        EXPECT_EQ(PortText, C.PortText);
        std::int32_t Port = -99;
        TUri::ParseHost(C.Text, Host, Port);
        EXPECT_EQ(Port, C.Port);
    }
}

TEST(Uri, NonAsciiTextSurvivesDecoding) {
    const TUri U("http://h/caf\xC3\xA9/%E2%82%AC?q=\xC3\xA9#%FF");
    EXPECT_EQ(U.Path(), "/caf\xC3\xA9/\xE2\x82\xAC");
    EXPECT_EQ(U.Segments(), (Strings{"caf\xC3\xA9", "\xE2\x82\xAC"}));
    EXPECT_EQ(U.Query(), "?q=\xC3\xA9");
    EXPECT_EQ(U.Fragment(), "#\xEF\xBF\xBD");
}

TEST(Uri, CloneIsAnIndependentEqualValue) {
    const TUri A("https://u@h:8443/a/b?c#d");
    TUri B = A.Clone();
    EXPECT_EQ(B.AbsoluteUri(), A.AbsoluteUri());
    EXPECT_EQ(B.Segments(), A.Segments());
    B = TUri("/other");
    EXPECT_EQ(A.Host(), "h");
    // Decoded parts of a copy stay right once the source is gone or replaced.
    TUri Source("http://h/a%20b?q#f");
    TUri Copy(Source);
    const TUri Plain = [] { return TUri("http://h/plain?q#f"); }();
    Source = TUri("http://x/other");
    EXPECT_EQ(Copy.Path(), "/a b");
    EXPECT_EQ(Copy.Query(), "?q");
    EXPECT_EQ(Plain.Path(), "/plain");
    EXPECT_EQ(Plain.Fragment(), "#f");

    // The interface answers as the properties do.
    const Nimbra::IUri& I = A;
    EXPECT_EQ(I.GetAbsoluteUri(), "https://u@h:8443/a/b?c#d");
    EXPECT_EQ(I.GetScheme(), "https");
    EXPECT_EQ(I.GetHost(), "h");
    EXPECT_EQ(I.GetAuthority(), "u@h:8443");
    EXPECT_EQ(I.GetAbsolutePath(), "/a/b");
    EXPECT_EQ(I.GetOriginalQuery(), "?c");
    EXPECT_EQ(I.GetOriginalFragment(), "#d");
    EXPECT_EQ(I.GetPort(), 8443);
    EXPECT_FALSE(I.IsDefaultPort());
}

TEST(Uri, PercentCodingForwards) {
    EXPECT_EQ(TUri::PercentEncode("a b"), "a%20b");
    EXPECT_EQ(TUri::PercentDecode("a%20b+"), "a b+");
}
