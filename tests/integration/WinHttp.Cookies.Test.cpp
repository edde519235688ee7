// libwinhttp's cookies against a server on 127.0.0.1 that sets what it is asked to and echoes
// the Cookie lines it receives: what a session keeps and where it sends it, redirects, the
// caller's own Cookie header beside the session's, and requests that turn cookies off.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Nimbra.WinHttp.Api.h"
#include "TestServer.h"
#include "WinHttpTestUtil.h"

namespace Nimbra {

using TestSupport::QueryEscape;
using TestSupport::ReadAll;
using TestSupport::THandle;
using TestSupport::TTestServer;
using TestSupport::U;

namespace {

/// Path (under /cookies/) whose answer sets the given Set-Cookie values.
std::string Setting(const std::string& Path, std::initializer_list<const char*> Cookies) {
    std::string Out = Path;
    char Sep = '?';
    for (const char* C : Cookies) {
        Out += Sep;
        Out += "set=" + QueryEscape(C);
        Sep = '&';
    }
    return Out;
}

struct TGet {
    std::string Host = "127.0.0.1";
    std::string Path;
    std::u16string Headers;  // given to WinHttpSendRequest
    std::u16string Added;    // given to WinHttpAddRequestHeaders first
    bool NoCookies = false;  // WINHTTP_DISABLE_COOKIES
};

/// The body of the answer (the Cookie lines the server saw), or "error N at stage".
std::string Fetch(HINTERNET Session, int Port, const TGet& G) {
    auto Failed = [](const char* Stage) {
        return "error " + std::to_string(GetLastError()) + " at " + Stage;
    };
    THandle Conn(WinHttpConnect(Session, U(G.Host).c_str(), static_cast<INTERNET_PORT>(Port), 0));
    if (!Conn) return Failed("connect");
    THandle Req(
        WinHttpOpenRequest(Conn.Get(), u"GET", U(G.Path).c_str(), nullptr, nullptr, nullptr, 0));
    if (!Req) return Failed("open");
    DWORD V = WINHTTP_DISABLE_COOKIES;
    if (G.NoCookies && !WinHttpSetOption(Req.Get(), WINHTTP_OPTION_DISABLE_FEATURE, &V, sizeof V))
        return Failed("option");
    if (!G.Added.empty() &&
        !WinHttpAddRequestHeaders(Req.Get(), G.Added.c_str(), static_cast<DWORD>(-1),
                                  WINHTTP_ADDREQ_FLAG_ADD))
        return Failed("add headers");
    if (!WinHttpSendRequest(Req.Get(), G.Headers.empty() ? nullptr : G.Headers.c_str(),
                            static_cast<DWORD>(G.Headers.size()), nullptr, 0, 0, 0))
        return Failed("send");
    if (!WinHttpReceiveResponse(Req.Get(), nullptr)) return Failed("receive");
    std::string Body;
    DWORD Err = 0;
    if (!ReadAll(Req.Get(), Body, Err)) return "error " + std::to_string(Err) + " at read";
    return Body;
}

class WinHttpCookies : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(LoadWinHttp()); }
    static THandle NewSession() {
        return THandle(
            WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
    }
    std::string Get(HINTERNET Session, const std::string& Path) {
        TGet G;
        G.Path = Path;
        return Fetch(Session, FServer.Port(), G);
    }
    std::string Get(HINTERNET Session, const TGet& G) { return Fetch(Session, FServer.Port(), G); }

    TTestServer FServer;
};

}  // namespace

// Each row: requests in one new session, and the Cookie lines each one must carry.
TEST_F(WinHttpCookies, SessionSendsWhatItsResponsesSetWhereTheyMatch) {
    struct TStep {
        std::string Path;
        std::string Sent;
    };
    const struct {
        const char* Name;
        std::vector<TStep> Steps;
    } Rows[] = {
        {"kept and sent back",
         {{Setting("/cookies/set", {"a=1"}), ""},
          {"/cookies/other", "Cookie: a=1\n"},
          {"/cookies/other", "Cookie: a=1\n"}}},
        {"several from one answer, in the order set",
         {{Setting("/cookies/set", {"a=1", "b=2"}), ""},
          {Setting("/cookies/set", {"c=3"}), "Cookie: a=1; b=2\n"},
          {"/cookies/x", "Cookie: a=1; b=2; c=3\n"}}},
        {"set again: the new value in the old place",
         {{Setting("/cookies/set", {"a=1", "b=2"}), ""},
          {Setting("/cookies/set", {"a=3"}), "Cookie: a=1; b=2\n"},
          {"/cookies/x", "Cookie: a=3; b=2\n"}}},
        {"Max-Age 0 removes it",
         {{Setting("/cookies/set", {"a=1", "b=2"}), ""},
          {Setting("/cookies/set", {"a=gone; Max-Age=0"}), "Cookie: a=1; b=2\n"},
          {"/cookies/x", "Cookie: b=2\n"}}},
        {"an Expires date in the past removes it",
         {{Setting("/cookies/set", {"a=1"}), ""},
          {Setting("/cookies/set", {"a=1; Expires=Thu, 01 Jan 1970 00:00:01 GMT"}),
           "Cookie: a=1\n"},
          {"/cookies/x", ""}}},
        {"Expires dates ahead, in the forms servers write",
         {{Setting("/cookies/set", {"a=1; Expires=Fri, 01 Jan 2100 00:00:00 GMT",
                                    "b=2; expires=Friday, 01-Jan-2100 00:00:00 GMT",
                                    "c=3; Expires=Fri Jan  1 00:00:00 2100"}),
           ""},
          {"/cookies/x", "Cookie: a=1; b=2; c=3\n"}}},
        {"Path limits it to that path and below",
         {{Setting("/cookies/set", {"p=1; Path=/cookies/in"}), ""},
          {"/cookies/out", ""},
          {"/cookies/inside", ""},
          {"/cookies/in", "Cookie: p=1\n"},
          {"/cookies/in/deeper?q=1", "Cookie: p=1\n"}}},
        {"without Path: the folder it came from",
         {{Setting("/cookies/dir/page", {"d=1"}), ""},
          {"/cookies/dir/other", "Cookie: d=1\n"},
          {"/cookies/other", ""}}},
        {"longer paths first",
         {{Setting("/cookies/set", {"a=1; Path=/", "b=2; Path=/cookies/deep"}), ""},
          {"/cookies/deep/x", "Cookie: b=2; a=1\n"}}},
        {"Secure ones never over http",
         {{Setting("/cookies/set", {"s=1; Secure", "t=2"}), ""}, {"/cookies/x", "Cookie: t=2\n"}}},
        {"a domain the host is not in is refused",
         {{Setting("/cookies/set", {"d=1; Domain=example.com", "e=2; Domain=com", "f=3"}), ""},
          {"/cookies/x", "Cookie: f=3\n"}}},
        {"malformed ones are ignored",
         {{Setting("/cookies/set", {"novalue", "=nameless", "g=1"}), ""},
          {"/cookies/x", "Cookie: g=1\n"}}},
    };
    for (const auto& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        THandle Session = NewSession();
        ASSERT_TRUE(Session);
        for (std::size_t I = 0; I < Row.Steps.size(); ++I) {
            SCOPED_TRACE("step " + std::to_string(I) + " " + Row.Steps[I].Path);
            EXPECT_EQ(Get(Session.Get(), Row.Steps[I].Path), Row.Steps[I].Sent);
        }
    }
}

TEST_F(WinHttpCookies, EachSessionKeepsItsOwn) {
    THandle First = NewSession(), Second = NewSession();
    ASSERT_EQ(Get(First.Get(), Setting("/cookies/set", {"a=1"})), "");
    EXPECT_EQ(Get(Second.Get(), "/cookies/x"), "");
    EXPECT_EQ(Get(First.Get(), "/cookies/x"), "Cookie: a=1\n");
}

// A cookie is the host's, whatever the port, and no other host's: "localhost" is another host
// than "127.0.0.1" though both reach the same server.
TEST_F(WinHttpCookies, CookiesGoOnlyToTheHostThatSetThem) {
    THandle Session = NewSession();
    TGet AtLocalhost;
    AtLocalhost.Host = "localhost";
    AtLocalhost.Path = Setting("/cookies/set", {"l=1"});
    ASSERT_EQ(Get(Session.Get(), AtLocalhost), "");
    ASSERT_EQ(Get(Session.Get(), Setting("/cookies/set", {"n=1"})), "");
    EXPECT_EQ(Get(Session.Get(), "/cookies/x"), "Cookie: n=1\n");
    AtLocalhost.Path = "/cookies/x";
    EXPECT_EQ(Get(Session.Get(), AtLocalhost), "Cookie: l=1\n");

    // Another server on another port of the same host gets them.
    TTestServer Other;
    TGet AtOther;
    AtOther.Path = "/cookies/x";
    EXPECT_EQ(Fetch(Session.Get(), Other.Port(), AtOther), "Cookie: n=1\n");
}

// Every hop's answer is a response of the session: what a redirect sets goes with the next hop
// where it matches, and never to a host it does not match.
TEST_F(WinHttpCookies, RedirectHopsSetAndSendCookies) {
    const std::string Localhost = "http://localhost:" + std::to_string(FServer.Port());
    const struct {
        const char* Name;
        std::string Path;
        std::string Sent;   // what the last hop received
        std::string Later;  // what a later request to 127.0.0.1 carries
    } Rows[] = {
        {"a cookie set on the redirect goes with the next hop",
         Setting("/cookies/r", {"r=1"}) + "&to=" + QueryEscape("/cookies/next"), "Cookie: r=1\n",
         "Cookie: r=1\n"},
        {"one for a path the next hop is not under stays behind",
         Setting("/cookies/r", {"r=1; Path=/cookies/r"}) + "&to=" + QueryEscape("/cookies/next"),
         "", ""},
        {"nothing goes to another host",
         Setting("/cookies/r", {"r=1"}) + "&to=" + QueryEscape(Localhost + "/cookies/next"), "",
         "Cookie: r=1\n"},
        {"what the other host sets stays with it",
         "/cookies/r?to=" + QueryEscape(Localhost + Setting("/cookies/r", {"o=1"}) +
                                        "&to=" + QueryEscape(Localhost + "/cookies/next")),
         "Cookie: o=1\n", ""},
    };
    for (const auto& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        THandle Session = NewSession();
        EXPECT_EQ(Get(Session.Get(), Row.Path), Row.Sent);
        EXPECT_EQ(Get(Session.Get(), "/cookies/x"), Row.Later);
    }
}

TEST_F(WinHttpCookies, DisabledOnARequestNoneSentAndNoneKept) {
    THandle Session = NewSession();
    ASSERT_EQ(Get(Session.Get(), Setting("/cookies/set", {"a=1"})), "");
    TGet Off;
    Off.NoCookies = true;
    Off.Path = Setting("/cookies/set", {"b=2"});
    EXPECT_EQ(Get(Session.Get(), Off), "");
    // Through a redirect as well.
    Off.Path = Setting("/cookies/r", {"c=3"}) + "&to=" + QueryEscape("/cookies/next");
    EXPECT_EQ(Get(Session.Get(), Off), "");
    EXPECT_EQ(Get(Session.Get(), "/cookies/x"), "Cookie: a=1\n");
}

// The caller's own Cookie header goes out as written, the session's cookies after it in the same
// header.
TEST_F(WinHttpCookies, CallersCookieHeaderComesFirst) {
    const struct {
        const char* Name;
        std::u16string Headers, Added;
        bool NoCookies;
        bool Stored;
        std::string Sent;
    } Rows[] = {
        {"with the send", u"Cookie: mine=1; also=2\r\n", u"", false, true,
         "Cookie: mine=1; also=2; a=1\n"},
        {"added before the send", u"", u"Cookie: mine=1", false, true, "Cookie: mine=1; a=1\n"},
        {"cookies turned off", u"Cookie: mine=1", u"", true, true, "Cookie: mine=1\n"},
        {"none stored", u"Cookie: mine=1", u"", false, false, "Cookie: mine=1\n"},
    };
    for (const auto& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        THandle Session = NewSession();
        if (Row.Stored) {
            ASSERT_EQ(Get(Session.Get(), Setting("/cookies/set", {"a=1"})), "");
        }
        TGet G;
        G.Path = "/cookies/x";
        G.Headers = Row.Headers;
        G.Added = Row.Added;
        G.NoCookies = Row.NoCookies;
        EXPECT_EQ(Get(Session.Get(), G), Row.Sent);
    }
}

// A request sent again on its handle carries the session's cookies as they are then, once.
TEST_F(WinHttpCookies, SendingAgainOnTheHandleTakesTheCookiesAnew) {
    THandle Session = NewSession();
    THandle Conn(
        WinHttpConnect(Session.Get(), u"127.0.0.1", static_cast<INTERNET_PORT>(FServer.Port()), 0));
    THandle Req(WinHttpOpenRequest(Conn.Get(), u"GET", U(Setting("/cookies/set", {"a=1"})).c_str(),
                                   nullptr, nullptr, nullptr, 0));
    for (const char* Expected : {"", "Cookie: a=1\n", "Cookie: a=1\n"}) {
        ASSERT_TRUE(WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, 0, 0));
        ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr));
        std::string Body;
        DWORD Err = 0;
        ASSERT_TRUE(ReadAll(Req.Get(), Body, Err));
        EXPECT_EQ(Body, Expected);
    }
}

}  // namespace Nimbra
