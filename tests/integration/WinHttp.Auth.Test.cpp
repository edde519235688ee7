// libwinhttp's authentication against a server on 127.0.0.1 that challenges and checks Basic,
// Digest and NTLM credentials (tests/support/routes_auth.py), also as a proxy: the schemes a
// challenge offers, credentials from WinHttpSetCredentials and from the options, the caller's
// loop of send, 401, credentials, send again, and where credentials never go.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Nimbra.WinHttp.Api.h"
#include "TestServer.h"
#include "WinHttpTestUtil.h"

namespace Nimbra {

using TestSupport::A;
using TestSupport::QueryStatus;
using TestSupport::ReadAll;
using TestSupport::THandle;
using TestSupport::TTestServer;
using TestSupport::U;

namespace {

/// Sends the request and receives the answer: "status body", or "error N" for a failed step.
std::string Exchange(HINTERNET Req) {
    if (!WinHttpSendRequest(Req, nullptr, 0, nullptr, 0, 0, 0) ||
        !WinHttpReceiveResponse(Req, nullptr))
        return "error " + std::to_string(GetLastError());
    std::string Body;
    DWORD Err = 0;
    if (!ReadAll(Req, Body, Err)) return "error " + std::to_string(Err) + " reading";
    return std::to_string(QueryStatus(Req)) + " " + Body;
}

struct TSchemes {
    DWORD Supported = 0, First = 0, Target = 0;
    bool operator==(const TSchemes&) const = default;
};

std::ostream& operator<<(std::ostream& Out, const TSchemes& S) {
    return Out << "{supported " << S.Supported << ", first " << S.First << ", target " << S.Target
               << "}";
}

class WinHttpAuth : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(LoadWinHttp());
        FSession =
            THandle(WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
        ASSERT_TRUE(FSession);
        FConnect = THandle(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                          static_cast<INTERNET_PORT>(FServer.Port()), 0));
        ASSERT_TRUE(FConnect);
    }
    THandle Open(const std::string& Path, HINTERNET Connect = nullptr) {
        return THandle(WinHttpOpenRequest(Connect ? Connect : FConnect.Get(), u"GET",
                                          U(Path).c_str(), nullptr, nullptr, nullptr, 0));
    }
    /// The text of a credential option; "error N" when the query fails.
    static std::string Option(HINTERNET H, DWORD Which) {
        WCHAR Buf[64] = {u'x'};
        DWORD Len = sizeof Buf;
        if (!WinHttpQueryOption(H, Which, Buf, &Len))
            return "error " + std::to_string(GetLastError());
        return A(std::u16string_view(Buf, Len / sizeof(WCHAR)));
    }

    TTestServer FServer;
    THandle FSession, FConnect;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// WinHttpQueryAuthSchemes

TEST_F(WinHttpAuth, QueryAuthSchemesReadsTheChallenges) {
    const DWORD Basic = WINHTTP_AUTH_SCHEME_BASIC, Ntlm = WINHTTP_AUTH_SCHEME_NTLM,
                Digest = WINHTTP_AUTH_SCHEME_DIGEST, Negotiate = WINHTTP_AUTH_SCHEME_NEGOTIATE,
                Passport = WINHTTP_AUTH_SCHEME_PASSPORT;
    const struct {
        const char* Name;
        std::string Query;  // the route's h= values and options
        TSchemes Expected;
    } Rows[] = {
        {"Basic alone", "h=Basic%20realm%3D%22x%22", {Basic, Basic, WINHTTP_AUTH_TARGET_SERVER}},
        {"one line each, the first listed first",
         "h=Negotiate&h=NTLM&h=Basic%20realm%3D%22x%22",
         {Negotiate | Ntlm | Basic, Negotiate, WINHTTP_AUTH_TARGET_SERVER}},
        {"several in one line, parameters between them",
         "h=Basic%20realm%3D%22a%2Cb%22%2C%20Digest%20realm%3D%22y%22%2C%20nonce%3D%22n%22",
         {Basic | Digest, Basic, WINHTTP_AUTH_TARGET_SERVER}},
        {"names in any case, tokens after them",
         "h=digest%20realm%3D%22y%22&h=ntlm%20TlRMTVNTUAAB%3D%3D",
         {Digest | Ntlm, Digest, WINHTTP_AUTH_TARGET_SERVER}},
        {"schemes WinHTTP does not know are passed over",
         "h=Bearer&h=Passport1.4&h=Basic",
         {Passport | Basic, Passport, WINHTTP_AUTH_TARGET_SERVER}},
        {"a proxy's challenge",
         "proxy=1&h=Basic%20realm%3D%22p%22&h=NTLM",
         {Basic | Ntlm, Basic, WINHTTP_AUTH_TARGET_PROXY}},
    };
    for (const auto& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        THandle Req = Open("/auth/offer?" + Row.Query);
        ASSERT_EQ(Exchange(Req.Get()).substr(0, 4),
                  Row.Expected.Target == WINHTTP_AUTH_TARGET_PROXY ? "407 " : "401 ");
        TSchemes Got;
        ASSERT_TRUE(WinHttpQueryAuthSchemes(Req.Get(), &Got.Supported, &Got.First, &Got.Target))
            << GetLastError();
        EXPECT_EQ(Got, Row.Expected);
    }
}

TEST_F(WinHttpAuth, QueryAuthSchemesRefusesWrongHandlesArgumentsAndStates) {
    THandle Unsent = Open("/auth/basic");
    THandle Answered = Open("/auth/offer?status=200");
    ASSERT_EQ(Exchange(Answered.Get()), "200 challenge\n");
    THandle Unknown = Open("/auth/offer?h=Bearer");
    ASSERT_EQ(Exchange(Unknown.Get()), "401 challenge\n");
    THandle Challenged = Open("/auth/basic");
    ASSERT_EQ(Exchange(Challenged.Get()), "401 denied\n");
    THandle Closed = Open("/auth/basic");
    HINTERNET Stale = Closed.Get();
    Closed.Reset();
    DWORD S = 0xDEAD, F = 0xDEAD, T = 0xDEAD;
    const struct {
        const char* Name;
        HINTERNET Handle;
        DWORD *Supported, *First, *Target;
        DWORD Error;
    } Rows[] = {
        {"no handle", nullptr, &S, &F, &T, ERROR_INVALID_HANDLE},
        {"a closed handle", Stale, &S, &F, &T, ERROR_INVALID_HANDLE},
        {"a session", FSession.Get(), &S, &F, &T, ERROR_WINHTTP_INCORRECT_HANDLE_TYPE},
        {"a connection", FConnect.Get(), &S, &F, &T, ERROR_WINHTTP_INCORRECT_HANDLE_TYPE},
        {"no place for the schemes", Challenged.Get(), nullptr, &F, &T, ERROR_INVALID_PARAMETER},
        {"no place for the first", Challenged.Get(), &S, nullptr, &T, ERROR_INVALID_PARAMETER},
        {"no place for the target", Challenged.Get(), &S, &F, nullptr, ERROR_INVALID_PARAMETER},
        {"before any answer", Unsent.Get(), &S, &F, &T, ERROR_INVALID_OPERATION},
        {"an answer without a challenge", Answered.Get(), &S, &F, &T, ERROR_INVALID_OPERATION},
        {"only schemes WinHTTP does not know", Unknown.Get(), &S, &F, &T, ERROR_INVALID_OPERATION},
    };
    for (const auto& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        SetLastError(0);
        EXPECT_FALSE(WinHttpQueryAuthSchemes(Row.Handle, Row.Supported, Row.First, Row.Target));
        EXPECT_EQ(GetLastError(), Row.Error);
        EXPECT_EQ(S, 0xDEADu);  // nothing written on failure
        EXPECT_EQ(F, 0xDEADu);
        EXPECT_EQ(T, 0xDEADu);
    }
}

// ---------------------------------------------------------------------------------------
// WinHttpSetCredentials and the credential options

TEST_F(WinHttpAuth, SetCredentialsRefusesWrongHandlesAndArguments) {
    THandle Req = Open("/auth/basic");
    const DWORD Server = WINHTTP_AUTH_TARGET_SERVER, Proxy = WINHTTP_AUTH_TARGET_PROXY;
    const struct {
        const char* Name;
        HINTERNET Handle;
        DWORD Target, Scheme;
        const char16_t *User, *Password;
        DWORD Error;  // 0: accepted
    } Rows[] = {
        {"no handle", nullptr, Server, WINHTTP_AUTH_SCHEME_BASIC, u"u", u"p", ERROR_INVALID_HANDLE},
        {"a session", FSession.Get(), Server, WINHTTP_AUTH_SCHEME_BASIC, u"u", u"p",
         ERROR_WINHTTP_INCORRECT_HANDLE_TYPE},
        {"a connection", FConnect.Get(), Server, WINHTTP_AUTH_SCHEME_BASIC, u"u", u"p",
         ERROR_WINHTTP_INCORRECT_HANDLE_TYPE},
        {"an unknown target", Req.Get(), 2, WINHTTP_AUTH_SCHEME_BASIC, u"u", u"p",
         ERROR_INVALID_PARAMETER},
        {"no scheme", Req.Get(), Server, 0, u"u", u"p", ERROR_INVALID_PARAMETER},
        {"an unknown scheme", Req.Get(), Server, 0x20, u"u", u"p", ERROR_INVALID_PARAMETER},
        {"two schemes at once", Req.Get(), Server,
         WINHTTP_AUTH_SCHEME_BASIC | WINHTTP_AUTH_SCHEME_DIGEST, u"u", u"p",
         ERROR_INVALID_PARAMETER},
        {"Basic without a user", Req.Get(), Server, WINHTTP_AUTH_SCHEME_BASIC, nullptr, u"p",
         ERROR_INVALID_PARAMETER},
        {"Basic for a server without a password", Req.Get(), Server, WINHTTP_AUTH_SCHEME_BASIC,
         u"u", nullptr, ERROR_INVALID_PARAMETER},
        {"Digest without a user", Req.Get(), Server, WINHTTP_AUTH_SCHEME_DIGEST, nullptr, u"p",
         ERROR_INVALID_PARAMETER},
        {"Basic for a proxy without a password", Req.Get(), Proxy, WINHTTP_AUTH_SCHEME_BASIC, u"u",
         nullptr, 0},
        {"NTLM with the logged-on user's", Req.Get(), Server, WINHTTP_AUTH_SCHEME_NTLM, nullptr,
         nullptr, 0},
        {"Basic for a server", Req.Get(), Server, WINHTTP_AUTH_SCHEME_BASIC, u"u", u"p", 0},
    };
    for (const auto& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        SetLastError(0);
        const BOOL Ok = WinHttpSetCredentials(Row.Handle, Row.Target, Row.Scheme, Row.User,
                                              Row.Password, nullptr);
        EXPECT_EQ(Ok, Row.Error == 0);
        if (Row.Error) {
            EXPECT_EQ(GetLastError(), Row.Error);
        }
    }
}

// The options and WinHttpSetCredentials are two ways to the same credentials of the request.
TEST_F(WinHttpAuth, CredentialOptionsHoldWhatWasSet) {
    THandle Req = Open("/auth/basic");
    for (DWORD O : {WINHTTP_OPTION_USERNAME, WINHTTP_OPTION_PASSWORD, WINHTTP_OPTION_PROXY_USERNAME,
                    WINHTTP_OPTION_PROXY_PASSWORD}) {
        SCOPED_TRACE(O);
        EXPECT_EQ(Option(Req.Get(), O), "");
        DWORD Len = 0;
        EXPECT_FALSE(WinHttpQueryOption(Req.Get(), O, nullptr, &Len));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(Len, sizeof(WCHAR));
        WCHAR Name[] = u"someone";
        EXPECT_FALSE(WinHttpSetOption(FSession.Get(), O, Name, 7));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE));
        EXPECT_EQ(Option(FSession.Get(), O),
                  "error " + std::to_string(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE));
    }
    ASSERT_TRUE(WinHttpSetCredentials(Req.Get(), WINHTTP_AUTH_TARGET_PROXY,
                                      WINHTTP_AUTH_SCHEME_BASIC, u"proxyuser", nullptr, nullptr));
    EXPECT_EQ(Option(Req.Get(), WINHTTP_OPTION_PROXY_USERNAME), "proxyuser");
    EXPECT_EQ(Option(Req.Get(), WINHTTP_OPTION_PROXY_PASSWORD), "");
    EXPECT_EQ(Option(Req.Get(), WINHTTP_OPTION_USERNAME), "");
    ASSERT_TRUE(WinHttpSetCredentials(Req.Get(), WINHTTP_AUTH_TARGET_SERVER,
                                      WINHTTP_AUTH_SCHEME_BASIC, u"user", u"secret", nullptr));
    EXPECT_EQ(Option(Req.Get(), WINHTTP_OPTION_USERNAME), "user");
    EXPECT_EQ(Option(Req.Get(), WINHTTP_OPTION_PASSWORD), "secret");
    // Lengths count characters, and a NUL within ends the text.
    WCHAR Text[] = u"other\0tail";
    ASSERT_TRUE(WinHttpSetOption(Req.Get(), WINHTTP_OPTION_USERNAME, Text, 10));
    EXPECT_EQ(Option(Req.Get(), WINHTTP_OPTION_USERNAME), "other");
    ASSERT_TRUE(WinHttpSetOption(Req.Get(), WINHTTP_OPTION_PASSWORD, Text, 3));
    EXPECT_EQ(Option(Req.Get(), WINHTTP_OPTION_PASSWORD), "oth");
}

// ---------------------------------------------------------------------------------------
// Authenticated exchanges

// What callers written for Windows do: send, get 401, ask for the schemes, set credentials
// for the first one, send again on the same handle.
TEST_F(WinHttpAuth, CallersLoopAuthenticatesWithEachScheme) {
    const struct {
        const char* Name;
        std::string Path;
        DWORD Scheme;
        const char16_t* Password;
        std::string Answer;
    } Rows[] = {
        {"Basic", "/auth/basic?user=ann&pass=s3cret", WINHTTP_AUTH_SCHEME_BASIC, u"s3cret",
         "200 basic user ann\n"},
        {"Basic, wrong password", "/auth/basic?user=ann&pass=s3cret", WINHTTP_AUTH_SCHEME_BASIC,
         u"wrong", "401 denied\n"},
        {"Digest", "/auth/digest?user=ann&pass=s3cret", WINHTTP_AUTH_SCHEME_DIGEST, u"s3cret",
         "200 digest user ann\n"},
        {"Digest, wrong password", "/auth/digest?user=ann&pass=s3cret", WINHTTP_AUTH_SCHEME_DIGEST,
         u"wrong", "401 denied\n"},
        {"NTLM", "/auth/ntlm", WINHTTP_AUTH_SCHEME_NTLM, u"s3cret", "200 ntlm user ann\n"},
    };
    for (const auto& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        THandle Req = Open(Row.Path);
        ASSERT_EQ(Exchange(Req.Get()).substr(0, 4), "401 ");
        TSchemes Got;
        ASSERT_TRUE(WinHttpQueryAuthSchemes(Req.Get(), &Got.Supported, &Got.First, &Got.Target));
        EXPECT_EQ(Got, (TSchemes{Row.Scheme, Row.Scheme, WINHTTP_AUTH_TARGET_SERVER}));
        ASSERT_TRUE(
            WinHttpSetCredentials(Req.Get(), Got.Target, Got.First, u"ann", Row.Password, nullptr));
        EXPECT_EQ(Exchange(Req.Get()), Row.Answer);
        // The answer the caller gets is the one it reads the challenge of.
        if (Row.Answer[0] == '4') {
            EXPECT_TRUE(
                WinHttpQueryAuthSchemes(Req.Get(), &Got.Supported, &Got.First, &Got.Target));
        }
    }
}

// Credentials set before the first send: Basic goes with it; the others after the challenge,
// answered within the same call. The options alone serve any scheme the server offers. The rows
// run one after another on the session's pooled transfers: what one request negotiated (Basic
// for the options) must not carry over to the next.
TEST_F(WinHttpAuth, CredentialsBeforeTheFirstSend) {
    const struct {
        const char* Name;
        std::string Path;
        DWORD Scheme;  // 0: through the options
        std::string Answer;
    } Rows[] = {
        {"Basic", "/auth/basic?user=ann&pass=pw", WINHTTP_AUTH_SCHEME_BASIC,
         "200 basic user ann\n"},
        {"Digest", "/auth/digest?user=ann&pass=pw", WINHTTP_AUTH_SCHEME_DIGEST,
         "200 digest user ann\n"},
        {"NTLM", "/auth/ntlm", WINHTTP_AUTH_SCHEME_NTLM, "200 ntlm user ann\n"},
        {"options, Basic offered", "/auth/basic?user=ann&pass=pw", 0, "200 basic user ann\n"},
        {"options, Digest offered", "/auth/digest?user=ann&pass=pw", 0, "200 digest user ann\n"},
        {"Basic set, Digest wanted", "/auth/digest?user=ann&pass=pw", WINHTTP_AUTH_SCHEME_BASIC,
         "401 denied\n"},
    };
    for (const auto& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        THandle Req = Open(Row.Path);
        if (Row.Scheme) {
            ASSERT_TRUE(WinHttpSetCredentials(Req.Get(), WINHTTP_AUTH_TARGET_SERVER, Row.Scheme,
                                              u"ann", u"pw", nullptr));
        } else {
            WCHAR User[] = u"ann", Password[] = u"pw";
            ASSERT_TRUE(WinHttpSetOption(Req.Get(), WINHTTP_OPTION_USERNAME, User, 3));
            ASSERT_TRUE(WinHttpSetOption(Req.Get(), WINHTTP_OPTION_PASSWORD, Password, 2));
        }
        EXPECT_EQ(Exchange(Req.Get()), Row.Answer);
    }
}

// Credentials belong to the request they were set on: another one, even to the same URL and
// on the same connection, goes without.
TEST_F(WinHttpAuth, CredentialsServeOneRequest) {
    THandle First = Open("/auth/basic");
    ASSERT_TRUE(WinHttpSetCredentials(First.Get(), WINHTTP_AUTH_TARGET_SERVER,
                                      WINHTTP_AUTH_SCHEME_BASIC, u"user", u"pass", nullptr));
    EXPECT_EQ(Exchange(First.Get()), "200 basic user user\n");
    EXPECT_EQ(Exchange(First.Get()), "200 basic user user\n");  // sent again: still its own
    THandle Second = Open("/auth/basic");
    EXPECT_EQ(Exchange(Second.Get()), "401 denied\n");
    THandle Digest = Open("/auth/digest");
    ASSERT_TRUE(WinHttpSetCredentials(Digest.Get(), WINHTTP_AUTH_TARGET_SERVER,
                                      WINHTTP_AUTH_SCHEME_DIGEST, u"user", u"pass", nullptr));
    EXPECT_EQ(Exchange(Digest.Get()), "200 digest user user\n");
    THandle Plain = Open("/echo");
    const std::string Echo = Exchange(Plain.Get());
    EXPECT_EQ(Echo.find("Authorization"), std::string::npos) << Echo;
}

// A redirect to another origin leaves the credentials behind; one within the origin keeps them.
TEST_F(WinHttpAuth, CredentialsStayWithTheirOrigin) {
    const std::string Port = std::to_string(FServer.Port());
    const struct {
        const char* Name;
        std::string Target;
        DWORD Scheme;
        std::string Answer;
    } Rows[] = {
        {"same origin, Basic", "/auth/basic", WINHTTP_AUTH_SCHEME_BASIC, "200 basic user user\n"},
        {"same origin, Digest", "/auth/digest", WINHTTP_AUTH_SCHEME_DIGEST,
         "200 digest user user\n"},
        {"another host, Basic", "http://localhost:" + Port + "/auth/basic",
         WINHTTP_AUTH_SCHEME_BASIC, "401 denied\n"},
        {"another host, Digest", "http://localhost:" + Port + "/auth/digest",
         WINHTTP_AUTH_SCHEME_DIGEST, "401 denied\n"},
    };
    for (const auto& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        std::string Escaped;
        for (char C : Row.Target) {
            if (C == ':' || C == '/') {
                char Hex[4];
                std::snprintf(Hex, sizeof Hex, "%%%02X", static_cast<unsigned char>(C));
                Escaped += Hex;
            } else {
                Escaped += C;
            }
        }
        THandle Req = Open("/redirect?to=" + Escaped);
        ASSERT_TRUE(WinHttpSetCredentials(Req.Get(), WINHTTP_AUTH_TARGET_SERVER, Row.Scheme,
                                          u"user", u"pass", nullptr));
        EXPECT_EQ(Exchange(Req.Get()), Row.Answer);
    }
}

// The test server as a named proxy: it answers 407 until the proxy credentials come, which
// go to the proxy and to no server.
TEST_F(WinHttpAuth, ProxyCredentials) {
    const std::string Proxy = "127.0.0.1:" + std::to_string(FServer.Port());
    THandle Session(
        WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NAMED_PROXY, U(Proxy).c_str(), nullptr, 0));
    ASSERT_TRUE(Session);
    THandle Connect(WinHttpConnect(Session.Get(), u"origin.invalid", 8080, 0));
    THandle Req = Open("/auth/proxy-basic?user=pu&pass=pp", Connect.Get());
    ASSERT_EQ(Exchange(Req.Get()), "407 proxy denied\n");
    TSchemes Got;
    ASSERT_TRUE(WinHttpQueryAuthSchemes(Req.Get(), &Got.Supported, &Got.First, &Got.Target));
    EXPECT_EQ(Got, (TSchemes{WINHTTP_AUTH_SCHEME_BASIC, WINHTTP_AUTH_SCHEME_BASIC,
                             WINHTTP_AUTH_TARGET_PROXY}));
    ASSERT_TRUE(WinHttpSetCredentials(Req.Get(), Got.Target, Got.First, u"pu", u"pp", nullptr));
    EXPECT_EQ(Exchange(Req.Get()), "200 proxy user pu\n");

    // Through the options, and never to a server reached directly.
    THandle ViaOptions = Open("/auth/proxy-basic?user=pu&pass=pp", Connect.Get());
    WCHAR User[] = u"pu", Password[] = u"pp";
    ASSERT_TRUE(WinHttpSetOption(ViaOptions.Get(), WINHTTP_OPTION_PROXY_USERNAME, User, 2));
    ASSERT_TRUE(WinHttpSetOption(ViaOptions.Get(), WINHTTP_OPTION_PROXY_PASSWORD, Password, 2));
    EXPECT_EQ(Exchange(ViaOptions.Get()), "200 proxy user pu\n");
    THandle Direct = Open("/echo");
    ASSERT_TRUE(WinHttpSetCredentials(Direct.Get(), WINHTTP_AUTH_TARGET_PROXY,
                                      WINHTTP_AUTH_SCHEME_BASIC, u"pu", u"pp", nullptr));
    const std::string Echo = Exchange(Direct.Get());
    EXPECT_EQ(Echo.substr(0, 4), "200 ");
    EXPECT_EQ(Echo.find("Authorization"), std::string::npos) << Echo;
}

}  // namespace Nimbra
