// The WinHTTP binding and error reporting, and the parts of libwinhttp that need no server
// (arguments, handles, escaping, dates, URLs). The platform layer under the binding has its
// own tests (Os.Test.cpp).

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <thread>
#include <vector>

#include "Nimbra.WinHttp.Api.h"
#include "Os.Error.h"
#include "WinHttpTestUtil.h"

// Inside the namespace the WinHTTP names are the bound functions, not the C declarations.
namespace Nimbra {
using TestSupport::A;
using TestSupport::THandle;
using TestSupport::U;

namespace {

const std::string Prefix = "Could not perform WinHttp operation.\r\nError: ";

std::string CheckMessage(DWORD Code, const std::string& Info) {
    SetLastError(Code);
    try {
        WinHttpCheck(false, Info);
    } catch (const EWinHttpClientException& E) {
        EXPECT_STREQ(E.ClassName(), "EWinHttpClientException");
        return E.Message();
    }
    ADD_FAILURE() << "WinHttpCheck(false) did not raise";
    return {};
}

class WinHttpLibrary : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(LoadWinHttp());
        FSession =
            THandle(WinHttpOpen(u"Test/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
        ASSERT_TRUE(FSession);
        FConnect = THandle(WinHttpConnect(FSession.Get(), u"example.test", 0, 0));
        ASSERT_TRUE(FConnect);
    }
    THandle OpenRequest(const char16_t* Name, DWORD Flags = 0, const char16_t* Verb = u"GET") {
        return THandle(
            WinHttpOpenRequest(FConnect.Get(), Verb, Name, nullptr, nullptr, nullptr, Flags));
    }
    std::string UrlOf(HINTERNET Req) {
        char16_t Buf[512];
        DWORD Len = sizeof Buf;
        if (!WinHttpQueryOption(Req, WINHTTP_OPTION_URL, Buf, &Len))
            return "error " + std::to_string(GetLastError());
        return A(std::u16string_view(Buf, Len / 2));
    }
    THandle FSession, FConnect;
};

}  // namespace

TEST(WinHttpCheck, SuccessRaisesNothingWhateverTheLastError) {
    SetLastError(12002);
    EXPECT_NO_THROW(WinHttpCheck(true, "ignored"));
    SetLastError(0);
    EXPECT_NO_THROW(WinHttpCheck(true));
}

TEST(WinHttpCheck, MessagesCarryCodeTextAndInfo) {
    struct {
        const char* Name;
        DWORD Code;
        std::string Info;
        std::string Expected;
    } Cases[] = {
        {"table text", 12002, "", Prefix + "(12002) The request has timed out"},
        {"unknown WinHTTP code ends after the blank", 12044, "", Prefix + "(12044) "},
        {"system text without period", 5, "", Prefix + "(5) Access is denied"},
        {"info on its own line", 87, "Session open failed.",
         Prefix + "(87) The parameter is incorrect\r\nSession open failed."},
        {"certificate text", 12175, "Expired certificate. (00000020)",
         Prefix + "(12175) Error in Server SSL Certificate\r\nExpired certificate. (00000020)"},
        {"unknown system code", 999999, "", Prefix + "(999999) "},
        {"top of the WinHTTP range uses the table", 12186, "", Prefix + "(12186) "},
        {"above the range uses the system", 12187, "", Prefix + "(12187) "},
        {"not implemented", 120, "",
         Prefix + "(120) This function is not supported on this system"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(CheckMessage(C.Code, C.Info), C.Expected);
    }
}

TEST(WinHttpCheck, ErrorTextTable) {
    EXPECT_EQ(WinHttpErrorText(12002), "The request has timed out");
    EXPECT_EQ(WinHttpErrorText(12005), "The URL is not valid");
    EXPECT_EQ(WinHttpErrorText(12007), "The server name cannot be resolved");
    EXPECT_EQ(WinHttpErrorText(12029), "Could not connect to server");
    EXPECT_EQ(WinHttpErrorText(12030),
              "The connection with the server has been reset or terminated, or an incompatible "
              "SSL protocol was encountered");
    EXPECT_EQ(WinHttpErrorText(12150), "The requested header cannot be located");
    EXPECT_EQ(WinHttpErrorText(12152), "The server response cannot be parsed");
    EXPECT_EQ(WinHttpErrorText(12175), "Error in Server SSL Certificate");
    EXPECT_EQ(WinHttpErrorText(12044), "");
    EXPECT_EQ(WinHttpErrorText(5), "");
}

TEST(WinHttpBinding, BindsTheWholeTableOnce) {
    ASSERT_TRUE(LoadWinHttp());
    EXPECT_TRUE(WinHttpOpen.Bound());
    EXPECT_TRUE(WinHttpGetIEProxyConfigForCurrentUser.Bound());
    EXPECT_TRUE(WinHttpQueryAuthSchemes.Bound());
    EXPECT_NE(GetWinHttpProc("WinHttpReadData"), nullptr);
    EXPECT_TRUE(WinHttpCheckPlatform());
    // A later binding looks nothing up again: a pointer replaced here survives it.
    static int Calls = 0;
    WinHttpCheckPlatform.Bind(reinterpret_cast<void*>(+[]() -> BOOL {
        ++Calls;
        return FALSE;
    }));
    EXPECT_TRUE(LoadWinHttp());
    EXPECT_FALSE(WinHttpCheckPlatform());
    EXPECT_EQ(Calls, 1);
    WinHttpCheckPlatform.Bind(GetWinHttpProc("WinHttpCheckPlatform"));
    EXPECT_TRUE(WinHttpCheckPlatform());
    try {
        GetWinHttpProc("WinHttpNoSuchFunction");
        ADD_FAILURE() << "no assertion failure";
    } catch (const Runtime::EAssertionFailed& E) {
        EXPECT_EQ(std::string(E.what()).rfind(
                      "winhttp.dll - Could not find method: WinHttpNoSuchFunction", 0),
                  0u)
            << E.what();
    }
}

TEST_F(WinHttpLibrary, ObjectNamesAreEscapedAsWinHttpDoes) {
    struct {
        const char* Name;
        const char16_t* Object;
        DWORD Flags;
        std::string Path;
    } Cases[] = {
        {"fragment travels escaped", u"/p?q#f", 0, "/p?q%23f"},
        {"leading slash added", u"p", 0, "/p"},
        {"empty", u"", 0, "/"},
        {"null", nullptr, 0, "/"},
        {"space", u"/a b?c d", 0, "/a%20b?c%20d"},
        {"non-ASCII as UTF-8", u"/\u00fc\u20ac", 0, "/%C3%BC%E2%82%AC"},
        {"percent kept", u"/%41%zz", 0, "/%41%zz"},
        {"percent escaped on request", u"/%41", WINHTTP_FLAG_ESCAPE_PERCENT, "/%2541"},
        {"unsafe characters", u"/\"<>[\\]^`{|}", 0, "/%22%3C%3E%5B%5C%5D%5E%60%7B%7C%7D"},
        {"safe characters", u"/a-._~!$&'()*+,;=:@/", 0, "/a-._~!$&'()*+,;=:@/"},
        {"controls and DEL", u"/a\r\nb\t\x7f", 0, "/a%0D%0Ab%09%7F"},
        {"escaping disabled keeps characters but never breaks the line", u"/a\r\nb c<#",
         WINHTTP_FLAG_ESCAPE_DISABLE, "/ab%20c<%23"},
        {"query left alone when asked", u"/a<?b<", WINHTTP_FLAG_ESCAPE_DISABLE_QUERY, "/a%3C?b<"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        THandle Req = OpenRequest(C.Object, C.Flags);
        ASSERT_TRUE(Req);
        EXPECT_EQ(UrlOf(Req.Get()), "http://example.test" + C.Path);
    }
}

TEST_F(WinHttpLibrary, BadArgumentsAndHandles) {
    // Access types: 2 does not exist; a named proxy needs a name.
    EXPECT_EQ(WinHttpOpen(u"x", 2, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(WinHttpOpen(u"x", WINHTTP_ACCESS_TYPE_NAMED_PROXY, u"", u"", 0), nullptr);
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(WinHttpOpen(u"agent\r\nX-Injected: 1", 0, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), 87u);
    THandle Auto(WinHttpOpen(u"x", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, nullptr, nullptr, 0));
    EXPECT_TRUE(Auto);

    EXPECT_EQ(WinHttpConnect(FSession.Get(), nullptr, 80, 0), nullptr);
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(WinHttpConnect(FSession.Get(), u"bad host/x", 80, 0), nullptr);
    EXPECT_EQ(GetLastError(), 12005u);
    EXPECT_EQ(WinHttpConnect(FConnect.Get(), u"h", 80, 0), nullptr);
    EXPECT_EQ(GetLastError(), 12018u);
    EXPECT_EQ(WinHttpOpenRequest(FConnect.Get(), u"GE T", u"/", nullptr, nullptr, nullptr, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), 87u);

    THandle Req = OpenRequest(u"/");
    ASSERT_TRUE(Req);
    // Time-outs: 0 and -1 mean no limit, other negatives are refused, connections have none.
    EXPECT_TRUE(WinHttpSetTimeouts(Req.Get(), 0, -1, 1, 2));
    EXPECT_FALSE(WinHttpSetTimeouts(Req.Get(), 0, 0, -2, 0));
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_FALSE(WinHttpSetTimeouts(FConnect.Get(), 1, 1, 1, 1));
    EXPECT_EQ(GetLastError(), 12018u);

    DWORD V = WINHTTP_DISABLE_REDIRECTS;
    EXPECT_TRUE(WinHttpSetOption(Req.Get(), WINHTTP_OPTION_DISABLE_FEATURE, &V, sizeof V));
    EXPECT_FALSE(WinHttpSetOption(FSession.Get(), WINHTTP_OPTION_DISABLE_FEATURE, &V, sizeof V));
    EXPECT_EQ(GetLastError(), 12018u);
    EXPECT_FALSE(WinHttpSetOption(Req.Get(), 9999, &V, sizeof V));
    EXPECT_EQ(GetLastError(), 12009u);
    V = 3;
    EXPECT_TRUE(WinHttpSetOption(Req.Get(), WINHTTP_OPTION_DECOMPRESSION, &V, sizeof V));
    V = 4;
    EXPECT_FALSE(WinHttpSetOption(Req.Get(), WINHTTP_OPTION_DECOMPRESSION, &V, sizeof V));
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_FALSE(WinHttpSetOption(Req.Get(), WINHTTP_OPTION_DECOMPRESSION, &V, 2));
    EXPECT_EQ(GetLastError(), 122u);

    // Steps out of order.
    char Buf[16];
    DWORD N = 99, Len = sizeof Buf;
    EXPECT_FALSE(WinHttpReceiveResponse(Req.Get(), nullptr));
    EXPECT_EQ(GetLastError(), 12019u);
    EXPECT_FALSE(WinHttpReadData(Req.Get(), Buf, sizeof Buf, &N));
    EXPECT_EQ(GetLastError(), 12019u);
    EXPECT_EQ(N, 0u);
    EXPECT_FALSE(WinHttpWriteData(Req.Get(), Buf, 1, &N));
    EXPECT_EQ(GetLastError(), 12019u);
    EXPECT_FALSE(
        WinHttpQueryHeaders(Req.Get(), WINHTTP_QUERY_STATUS_CODE, nullptr, Buf, &Len, nullptr));
    EXPECT_EQ(GetLastError(), 12019u);

    // A header line without a colon could not be sent as a header; nothing is sent.
    EXPECT_FALSE(
        WinHttpSendRequest(Req.Get(), u"NoColon\r\n", static_cast<DWORD>(-1), nullptr, 0, 0, 0));
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_FALSE(WinHttpSendRequest(Req.Get(), u"Bad Name: x\r\n", static_cast<DWORD>(-1), nullptr,
                                    0, 0, 0));
    EXPECT_EQ(GetLastError(), 87u);

    // Closed and forged handles.
    HINTERNET Raw = Req.Release();
    EXPECT_TRUE(WinHttpCloseHandle(Raw));
    EXPECT_FALSE(WinHttpCloseHandle(Raw));
    EXPECT_EQ(GetLastError(), 6u);
    EXPECT_FALSE(WinHttpReadData(Raw, Buf, sizeof Buf, &N));
    EXPECT_EQ(GetLastError(), 6u);
    EXPECT_FALSE(WinHttpCloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), 6u);
    EXPECT_EQ(WinHttpSetStatusCallback(Raw, nullptr, 0, 0), WINHTTP_INVALID_STATUS_CALLBACK);
#ifndef _WIN32
    // This library never gives a closed handle's value to a later handle, even one that takes
    // its place: the closed one stays unknown and cannot reach the new request (Windows makes
    // no such promise). Values near a real handle are unknown too.
    for (int I = 0; I < 3; ++I) {
        THandle Later = OpenRequest(u"/later");
        ASSERT_TRUE(Later);
        EXPECT_NE(Later.Get(), Raw);
        EXPECT_FALSE(WinHttpCloseHandle(Raw));
        EXPECT_EQ(GetLastError(), 6u);
        for (std::uintptr_t Near :
             {std::uintptr_t{1}, std::uintptr_t{2}, std::uintptr_t{4} << 32}) {
            EXPECT_FALSE(WinHttpCloseHandle(
                reinterpret_cast<HINTERNET>(reinterpret_cast<std::uintptr_t>(Later.Get()) + Near)));
            EXPECT_EQ(GetLastError(), 6u);
        }
        EXPECT_EQ(UrlOf(Later.Get()), "http://example.test/later");
    }
#endif
}

TEST_F(WinHttpLibrary, OptionsAreInheritedAndQueried) {
    ASSERT_TRUE(WinHttpSetTimeouts(FSession.Get(), 11, 22, 33, 44));
    THandle Req = OpenRequest(u"/");
    DWORD V = 0, Len = sizeof V;
    ASSERT_TRUE(WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, &V, &Len));
    EXPECT_EQ(V, 44u);
    Len = sizeof V;
    ASSERT_TRUE(WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_CONNECT_TIMEOUT, &V, &Len));
    EXPECT_EQ(V, 22u);
    Len = 2;
    EXPECT_FALSE(WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_HANDLE_TYPE, &V, &Len));
    EXPECT_EQ(GetLastError(), 122u);
    EXPECT_EQ(Len, 4u);
    ASSERT_TRUE(WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_HANDLE_TYPE, &V, &Len));
    EXPECT_EQ(V, static_cast<DWORD>(WINHTTP_HANDLE_TYPE_REQUEST));
    HINTERNET Parent = nullptr;
    Len = sizeof Parent;
    ASSERT_TRUE(WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_PARENT_HANDLE, &Parent, &Len));
    EXPECT_EQ(Parent, FConnect.Get());
    DWORD_PTR Ctx = 0x1234;
    ASSERT_TRUE(WinHttpSetOption(Req.Get(), WINHTTP_OPTION_CONTEXT_VALUE, &Ctx, sizeof Ctx));
    Ctx = 0;
    Len = sizeof Ctx;
    ASSERT_TRUE(WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_CONTEXT_VALUE, &Ctx, &Len));
    EXPECT_EQ(Ctx, 0x1234u);
    Len = 0;
    EXPECT_FALSE(WinHttpQueryOption(FSession.Get(), WINHTTP_OPTION_USER_AGENT, nullptr, &Len));
    EXPECT_EQ(GetLastError(), 122u);
    EXPECT_EQ(Len, (std::char_traits<char16_t>::length(u"Test/1.0") + 1) * 2);
}

TEST_F(WinHttpLibrary, RefusedOptionsChangeNothing) {
    THandle Req = OpenRequest(u"/");
    ASSERT_TRUE(Req);
    const std::u16string BadAgent = u"Bad\r\nX-Injected: 1";
    const DWORD Four = 4, Three = 3;
    const DWORD_PTR Context = 0x55;
    const DWORD NotAnIgnoreFlag = SECURITY_FLAG_SECURE;
    struct {
        const char* Name;
        HINTERNET Handle;
        DWORD Option;
        const void* Value;
        DWORD Length;
        DWORD Error;
    } Cases[] = {
        {"agent with a line break", FSession.Get(), WINHTTP_OPTION_USER_AGENT, BadAgent.data(),
         static_cast<DWORD>(BadAgent.size()), 87},
        {"redirect policy unknown", FSession.Get(), WINHTTP_OPTION_REDIRECT_POLICY, &Three,
         sizeof Three, 87},
        {"time-out of the wrong size", Req.Get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, &Four, 2, 122},
        {"time-out without a buffer", Req.Get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, nullptr, 4, 87},
        {"context of the wrong size", Req.Get(), WINHTTP_OPTION_CONTEXT_VALUE, &Context, 4, 122},
        {"security flags beyond the ignore flags", Req.Get(), WINHTTP_OPTION_SECURITY_FLAGS,
         &NotAnIgnoreFlag, 4, 87},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        auto Query = [&] {
            char Buf[256] = {};
            DWORD Len = sizeof Buf;
            EXPECT_TRUE(WinHttpQueryOption(C.Handle, C.Option, Buf, &Len)) << GetLastError();
            return std::string(Buf, Len);
        };
        const std::string Before = Query();
        EXPECT_FALSE(WinHttpSetOption(C.Handle, C.Option, const_cast<void*>(C.Value), C.Length));
        EXPECT_EQ(GetLastError(), C.Error);
        EXPECT_EQ(Query(), Before);
    }
}

TEST_F(WinHttpLibrary, OptionCallsFailWithWindowsCodes) {
    THandle Req = OpenRequest(u"/");
    DWORD V = 1;
    DWORD Buf[4] = {};
    struct {
        const char* Name;
        std::function<BOOL()> Call;
        DWORD Error;
    } Cases[] = {
        {"set: a DWORD in 8 bytes",
         [&] { return WinHttpSetOption(Req.Get(), WINHTTP_OPTION_CONNECT_RETRIES, Buf, 8); }, 122},
        {"set: a query-only option",
         [&] {
             return WinHttpSetOption(Req.Get(), WINHTTP_OPTION_CONNECTION_INFO, Buf, sizeof Buf);
         },
         12011},
        {"set: the worker threads on a handle",
         [&] {
             return WinHttpSetOption(FSession.Get(), WINHTTP_OPTION_WORKER_THREAD_COUNT, &V,
                                     sizeof V);
         },
         12018},
        {"query: option 0",
         [&] {
             DWORD Len = sizeof Buf;
             return WinHttpQueryOption(Req.Get(), 0, Buf, &Len);
         },
         87},
        {"query: decompression is set only",
         [&] {
             DWORD Len = sizeof Buf;
             return WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_DECOMPRESSION, Buf, &Len);
         },
         87},
        {"query: disabled features are set only",
         [&] {
             DWORD Len = sizeof Buf;
             return WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_DISABLE_FEATURE, Buf, &Len);
         },
         87},
        {"query: connection before sending",
         [&] {
             DWORD Len = sizeof Buf;
             return WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_CONNECTION_INFO, Buf, &Len);
         },
         12019},
        {"query: certificate before sending",
         [&] {
             DWORD Len = sizeof Buf;
             return WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_SERVER_CERT_CONTEXT, Buf, &Len);
         },
         12019},
        {"time-outs below -1 on a session",
         [&] { return WinHttpSetTimeouts(FSession.Get(), -2, 0, 0, 0); }, 87},
        {"time-outs below -1 on a connection",
         [&] { return WinHttpSetTimeouts(FConnect.Get(), 0, -5, 0, 0); }, 87},
        {"time-outs below -1 on a request",
         [&] { return WinHttpSetTimeouts(Req.Get(), 0, 0, 0, INT32_MIN); }, 87},
        {"data available on a request not sent",
         [&] {
             Buf[0] = 77;
             BOOL Ok = WinHttpQueryDataAvailable(Req.Get(), Buf);
             EXPECT_EQ(Buf[0], 77u) << "a failed call leaves the count";
             return Ok;
         },
         12019},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        SetLastError(0);
        EXPECT_FALSE(C.Call());
        EXPECT_EQ(GetLastError(), C.Error);
    }
}

TEST_F(WinHttpLibrary, TimeoutsKeepTheWholeRangeOnEveryHandle) {
    auto Query = [](HINTERNET H, DWORD Option) -> std::string {
        DWORD V = 0, Len = sizeof V;
        if (!WinHttpQueryOption(H, Option, &V, &Len))
            return "error " + std::to_string(GetLastError());
        return std::to_string(V);
    };
    // Defaults, the response head's own time-out among them.
    THandle Req = OpenRequest(u"/");
    EXPECT_EQ(Query(Req.Get(), WINHTTP_OPTION_RESOLVE_TIMEOUT), "0");
    EXPECT_EQ(Query(Req.Get(), WINHTTP_OPTION_CONNECT_TIMEOUT), "60000");
    EXPECT_EQ(Query(Req.Get(), WINHTTP_OPTION_RECEIVE_TIMEOUT), "30000");
    EXPECT_EQ(Query(Req.Get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT), "90000");

    struct {
        const char* Name;
        HINTERNET Handle;
        DWORD Option;
        DWORD Value;
    } Cases[] = {
        {"above INT_MAX on a request", Req.Get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, 0x90000000u},
        {"all ones on a session", FSession.Get(), WINHTTP_OPTION_SEND_TIMEOUT, 0xFFFFFFFFu},
        {"on a connection", FConnect.Get(), WINHTTP_OPTION_CONNECT_TIMEOUT, 1234},
        {"response head on a request", Req.Get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, 4321},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        DWORD V = C.Value;
        ASSERT_TRUE(WinHttpSetOption(C.Handle, C.Option, &V, sizeof V)) << GetLastError();
        EXPECT_EQ(Query(C.Handle, C.Option), std::to_string(C.Value));
    }
    EXPECT_EQ(Query(Req.Get(), WINHTTP_OPTION_RECEIVE_TIMEOUT), std::to_string(0x90000000u))
        << "the response head's time-out is a setting of its own";

    // WinHttpSetTimeouts keeps -1 as the DWORD it is; a connection starts with its session's.
    ASSERT_TRUE(WinHttpSetTimeouts(FSession.Get(), -1, 0, 7, 8));
    THandle Conn(WinHttpConnect(FSession.Get(), u"example.test", 0, 0));
    EXPECT_EQ(Query(Conn.Get(), WINHTTP_OPTION_RESOLVE_TIMEOUT), "4294967295");
    EXPECT_EQ(Query(Conn.Get(), WINHTTP_OPTION_SEND_TIMEOUT), "7");
    EXPECT_EQ(Query(FConnect.Get(), WINHTTP_OPTION_SEND_TIMEOUT), "30000");
}

TEST_F(WinHttpLibrary, FeatureAndSecurityOptions) {
    THandle Req = OpenRequest(u"/", WINHTTP_FLAG_SECURE);
    struct {
        const char* Name;
        HINTERNET Handle;
        DWORD Option;
        DWORD Value;
        DWORD Error;  // 0: accepted
    } Cases[] = {
        {"connect retries on a session", FSession.Get(), WINHTTP_OPTION_CONNECT_RETRIES, 3, 0},
        {"connect retries on a request", Req.Get(), WINHTTP_OPTION_CONNECT_RETRIES, 9, 0},
        {"revocation checks on a request", Req.Get(), WINHTTP_OPTION_ENABLE_FEATURE,
         WINHTTP_ENABLE_SSL_REVOCATION, 0},
        {"revocation checks on a session", FSession.Get(), WINHTTP_OPTION_ENABLE_FEATURE,
         WINHTTP_ENABLE_SSL_REVOCATION, 12018},
        {"impersonation on a session", FSession.Get(), WINHTTP_OPTION_ENABLE_FEATURE,
         WINHTTP_ENABLE_SSL_REVERT_IMPERSONATION, 0},
        {"impersonation on a request", Req.Get(), WINHTTP_OPTION_ENABLE_FEATURE,
         WINHTTP_ENABLE_SSL_REVERT_IMPERSONATION, 12018},
        {"unknown feature", Req.Get(), WINHTTP_OPTION_ENABLE_FEATURE, 4, 87},
        {"every feature disabled", Req.Get(), WINHTTP_OPTION_DISABLE_FEATURE, 0xF, 0},
        {"unknown feature disabled", Req.Get(), WINHTTP_OPTION_DISABLE_FEATURE, 0x10, 87},
        {"ignore flags", Req.Get(), WINHTTP_OPTION_SECURITY_FLAGS,
         SECURITY_FLAG_IGNORE_ALL_CERT_ERRORS, 0},
        {"security flags on a session", FSession.Get(), WINHTTP_OPTION_SECURITY_FLAGS,
         SECURITY_FLAG_IGNORE_UNKNOWN_CA, 12018},
        {"TLS 1.2 and 1.3", FSession.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS,
         WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3, 0},
        {"protocols unknown", FSession.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS, 0x4, 87},
        {"protocols on a request", Req.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS,
         WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2, 12018},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        DWORD V = C.Value;
        SetLastError(0);
        EXPECT_EQ(WinHttpSetOption(C.Handle, C.Option, &V, sizeof V), C.Error == 0);
        EXPECT_EQ(GetLastError(), C.Error);
    }
    DWORD V = 0, Len = sizeof V;
    ASSERT_TRUE(WinHttpQueryOption(FSession.Get(), WINHTTP_OPTION_CONNECT_RETRIES, &V, &Len));
    EXPECT_EQ(V, 3u);
    THandle Later = OpenRequest(u"/");
    ASSERT_TRUE(WinHttpQueryOption(Later.Get(), WINHTTP_OPTION_CONNECT_RETRIES, &V, &Len));
    EXPECT_EQ(V, 3u) << "a request starts with its session's";
    // Nothing sent yet: only what the caller chose, no strength.
    ASSERT_TRUE(WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_SECURITY_FLAGS, &V, &Len));
    EXPECT_EQ(V, static_cast<DWORD>(SECURITY_FLAG_IGNORE_ALL_CERT_ERRORS));
    ASSERT_TRUE(WinHttpQueryOption(Later.Get(), WINHTTP_OPTION_SECURITY_FLAGS, &V, &Len));
    EXPECT_EQ(V, 0u) << "no check is ignored by default";

    // The worker thread count belongs to no handle.
    V = 6;
    ASSERT_TRUE(WinHttpSetOption(nullptr, WINHTTP_OPTION_WORKER_THREAD_COUNT, &V, sizeof V));
    V = 0;
    ASSERT_TRUE(WinHttpQueryOption(nullptr, WINHTTP_OPTION_WORKER_THREAD_COUNT, &V, &Len));
    EXPECT_EQ(V, 6u);
}

TEST_F(WinHttpLibrary, UrlOptionLeavesOutTheDefaultPort) {
    struct {
        const char* Name;
        INTERNET_PORT Port;
        DWORD Flags;
        std::string Url;
    } Cases[] = {
        {"http, no port given", 0, 0, "http://example.test/x"},
        {"http on 80", 80, 0, "http://example.test/x"},
        {"https, no port given", 0, WINHTTP_FLAG_SECURE, "https://example.test/x"},
        {"https on 443", 443, WINHTTP_FLAG_SECURE, "https://example.test/x"},
        {"http on 443", 443, 0, "http://example.test:443/x"},
        {"https on 80", 80, WINHTTP_FLAG_SECURE, "https://example.test:80/x"},
        {"another port", 8080, 0, "http://example.test:8080/x"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        THandle Conn(WinHttpConnect(FSession.Get(), u"example.test", C.Port, 0));
        THandle Req(
            WinHttpOpenRequest(Conn.Get(), u"GET", u"/x", nullptr, nullptr, nullptr, C.Flags));
        EXPECT_EQ(UrlOf(Req.Get()), C.Url);
    }
}

TEST_F(WinHttpLibrary, RequestMethodIsKnownBeforeSending) {
    for (const char16_t* Verb : {u"GET", u"PROPFIND"}) {
        SCOPED_TRACE(A(Verb));
        THandle Req = OpenRequest(u"/", 0, Verb);
        char16_t Buf[32];
        DWORD Len = sizeof Buf;
        ASSERT_TRUE(WinHttpQueryHeaders(Req.Get(), WINHTTP_QUERY_REQUEST_METHOD, nullptr, Buf, &Len,
                                        nullptr))
            << GetLastError();
        EXPECT_EQ(A(std::u16string_view(Buf, Len / 2)), A(Verb));
    }
}

namespace {
struct THandleEvents {
    std::vector<std::pair<DWORD, HINTERNET>> Calls;
};
void WINAPI RecordHandleEvent(HINTERNET H, DWORD_PTR Context, DWORD Status, LPVOID Info,
                              DWORD Length) {
    auto* Seen = reinterpret_cast<THandleEvents*>(Context);
    HINTERNET About = nullptr;
    if (Info && Length == sizeof(HINTERNET)) std::memcpy(&About, Info, sizeof About);
    EXPECT_EQ(About, H) << "status " << Status;
    Seen->Calls.emplace_back(Status, H);
}
}  // namespace

TEST_F(WinHttpLibrary, HandlesAnnounceTheirCreationAndClosing) {
    THandleEvents Seen;
    DWORD_PTR Ctx = reinterpret_cast<DWORD_PTR>(&Seen);
    ASSERT_TRUE(WinHttpSetOption(FSession.Get(), WINHTTP_OPTION_CONTEXT_VALUE, &Ctx, sizeof Ctx));
    ASSERT_EQ(WinHttpSetStatusCallback(FSession.Get(), RecordHandleEvent,
                                       WINHTTP_CALLBACK_FLAG_HANDLES, 0),
              nullptr);
    HINTERNET Conn = WinHttpConnect(FSession.Get(), u"example.test", 0, 0);
    HINTERNET Req = WinHttpOpenRequest(Conn, u"GET", u"/", nullptr, nullptr, nullptr, 0);
    ASSERT_TRUE(Req);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(WinHttpCloseHandle(Req));
    EXPECT_TRUE(WinHttpCloseHandle(Conn));
    const std::vector<std::pair<DWORD, HINTERNET>> Expected = {
        {WINHTTP_CALLBACK_STATUS_HANDLE_CREATED, Conn},
        {WINHTTP_CALLBACK_STATUS_HANDLE_CREATED, Req},
        {WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING, Req},
        {WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING, Conn},
    };
    EXPECT_EQ(Seen.Calls, Expected);

    // A mask without them: none.
    Seen.Calls.clear();
    WinHttpSetStatusCallback(FSession.Get(), RecordHandleEvent,
                             WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
    THandle Quiet(WinHttpConnect(FSession.Get(), u"example.test", 0, 0));
    Quiet = THandle();
    EXPECT_TRUE(Seen.Calls.empty());
}

TEST_F(WinHttpLibrary, RequestsNotYetSentHoldNoDescriptors) {
    auto OpenDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    const auto Before = OpenDescriptors();
    std::vector<THandle> Requests;
    for (int I = 0; I < 1000; ++I) {
        Requests.push_back(OpenRequest(u"/"));
        ASSERT_TRUE(Requests.back()) << "request " << I << ": " << GetLastError();
    }
    EXPECT_LE(OpenDescriptors() - Before, 4);
}

namespace {
void WINAPI StatusA(HINTERNET, DWORD_PTR, DWORD, LPVOID, DWORD) {}
void WINAPI StatusB(HINTERNET, DWORD_PTR, DWORD, LPVOID, DWORD) {}
}  // namespace

TEST_F(WinHttpLibrary, NewHandlesCopyNotificationsWhileTheParentChanges) {
    // Other threads switch the parents' callbacks to and fro while handles are made from them:
    // each new handle starts with one of the callbacks its parent really had. (Under
    // ThreadSanitizer this also checks that the copy is made under the parent's lock.)
    ASSERT_NE(WinHttpSetStatusCallback(FSession.Get(), StatusA,
                                       WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0),
              WINHTTP_INVALID_STATUS_CALLBACK);
    ASSERT_NE(WinHttpSetStatusCallback(FConnect.Get(), StatusA,
                                       WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0),
              WINHTTP_INVALID_STATUS_CALLBACK);
    std::atomic<bool> Stop{false};
    std::atomic<int> Running{0};
    std::vector<std::thread> Setters;
    for (HINTERNET Parent : {FSession.Get(), FConnect.Get()}) {
        Setters.emplace_back([&Stop, &Running, Parent] {
            ++Running;
            for (int I = 0; !Stop; ++I)
                WinHttpSetStatusCallback(Parent, I % 2 ? StatusA : StatusB,
                                         I % 2 ? WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS
                                               : WINHTTP_CALLBACK_FLAG_SECURE_FAILURE,
                                         0);
        });
    }
    while (Running < 2) std::this_thread::yield();
    int Wrong = 0;
    for (int I = 0; I < 5000; ++I) {
        THandle Conn(WinHttpConnect(FSession.Get(), u"example.test", 0, 0));
        THandle Req = OpenRequest(u"/");
        for (HINTERNET H : {Conn.Get(), Req.Get()}) {
            WINHTTP_STATUS_CALLBACK Had = WinHttpSetStatusCallback(H, nullptr, 0, 0);
            if (Had != StatusA && Had != StatusB) ++Wrong;
        }
    }
    Stop = true;
    for (auto& T : Setters) T.join();
    EXPECT_EQ(Wrong, 0);
}

TEST(WinHttpFunctions, NotImplementedOnesSay120) {
    ASSERT_TRUE(LoadWinHttp());
    WINHTTP_PROXY_INFO Info{};
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG Ie{};
    LPWSTR Url = nullptr;
    struct {
        const char* Name;
        BOOL Result;
    } Calls[] = {
        {"GetDefaultProxyConfiguration", WinHttpGetDefaultProxyConfiguration(&Info)},
        {"SetDefaultProxyConfiguration", WinHttpSetDefaultProxyConfiguration(&Info)},
        {"DetectAutoProxyConfigUrl", WinHttpDetectAutoProxyConfigUrl(0, &Url)},
        {"GetProxyForUrl", WinHttpGetProxyForUrl(nullptr, u"http://x/", nullptr, &Info)},
        {"GetIEProxyConfigForCurrentUser", WinHttpGetIEProxyConfigForCurrentUser(&Ie)},
    };
    for (const auto& C : Calls) {
        SCOPED_TRACE(C.Name);
        EXPECT_FALSE(C.Result);
    }
    EXPECT_EQ(GetLastError(), 120u);
}

TEST(WinHttpFunctions, HttpDates) {
    ASSERT_TRUE(LoadWinHttp());
    SYSTEMTIME T{1994, 11, 0, 6, 8, 49, 37, 0};
    WCHAR Buf[WINHTTP_TIME_FORMAT_BUFSIZE / sizeof(WCHAR)];
    ASSERT_TRUE(WinHttpTimeFromSystemTime(&T, Buf));
    EXPECT_EQ(A(Buf), "Sun, 06 Nov 1994 08:49:37 GMT");
    for (const char16_t* Text : {u"Sun, 06 Nov 1994 08:49:37 GMT",
                                 u"Sunday, 06-Nov-94 08:49:37 GMT", u"Sun Nov  6 08:49:37 1994"}) {
        SCOPED_TRACE(A(Text));
        SYSTEMTIME P{};
        ASSERT_TRUE(WinHttpTimeToSystemTime(Text, &P));
        EXPECT_EQ(P.wYear, 1994);
        EXPECT_EQ(P.wMonth, 11);
        EXPECT_EQ(P.wDay, 6);
        EXPECT_EQ(P.wDayOfWeek, 0);
        EXPECT_EQ(P.wHour, 8);
        EXPECT_EQ(P.wMinute, 49);
        EXPECT_EQ(P.wSecond, 37);
    }
    // Read leniently, as Windows reads them: case, separators and the day name do not matter.
    for (const char16_t* Text :
         {u" mon 28 jul 2008 10 05 52", u"Mon, 28 Jul 2008 10:05:52 GMT\n", u"28 JUL 2008 10:05:52",
          u"Monday, 28-Jul-08 10:05:52 GMT", u"Mon Jul 28 10:05:52 2008"}) {
        SCOPED_TRACE(A(Text));
        SYSTEMTIME P{};
        ASSERT_TRUE(WinHttpTimeToSystemTime(Text, &P));
        const SYSTEMTIME Want{2008, 7, 1, 28, 10, 5, 52, 0};
        EXPECT_EQ(std::memcmp(&P, &Want, sizeof P), 0)
            << P.wYear << "-" << P.wMonth << "-" << P.wDay << " " << P.wDayOfWeek << " " << P.wHour
            << ":" << P.wMinute << ":" << P.wSecond;
    }
    SYSTEMTIME P{};
    for (const char16_t* Text : {u"yesterday", u"", u"Mon, 32 Jul 2008 10:05:52", u"Mon 28 2008"}) {
        SCOPED_TRACE(A(Text));
        EXPECT_FALSE(WinHttpTimeToSystemTime(Text, &P));
        EXPECT_EQ(GetLastError(), 87u);
    }
    SYSTEMTIME Bad{2023, 2, 0, 29, 0, 0, 0, 0};
    EXPECT_FALSE(WinHttpTimeFromSystemTime(&Bad, Buf));
    EXPECT_EQ(GetLastError(), 87u);
}

namespace {

// What WinHttpCrackUrl gave: each part as text, "(null)" for a null pointer.
struct TCracked {
    DWORD Error = 0;
    std::string Scheme, Host, User, Password, Path, Extra;
    INTERNET_SCHEME NScheme = 0;
    INTERNET_PORT Port = 0;
};

TCracked Refused(DWORD Error) {
    TCracked C;
    C.Error = Error;
    return C;
}

std::string PartText(LPWSTR P, DWORD L) {
    return P ? A(std::u16string_view(P, L)) : "(null)";
}

// Cracks with pointers into the URL for every part; the extra information is asked for
// separately only when WithExtra.
TCracked CrackPointers(const char16_t* Url, DWORD Flags = 0, bool WithExtra = true,
                       DWORD UrlLength = 0) {
    URL_COMPONENTS Uc{};
    Uc.dwStructSize = sizeof Uc;
    Uc.dwSchemeLength = Uc.dwHostNameLength = Uc.dwUserNameLength = Uc.dwPasswordLength =
        Uc.dwUrlPathLength = static_cast<DWORD>(-1);
    Uc.dwExtraInfoLength = WithExtra ? static_cast<DWORD>(-1) : 0;
    TCracked C;
    if (!WinHttpCrackUrl(Url, UrlLength, Flags, &Uc)) {
        C.Error = GetLastError();
        return C;
    }
    C.Scheme = PartText(Uc.lpszScheme, Uc.dwSchemeLength);
    C.Host = PartText(Uc.lpszHostName, Uc.dwHostNameLength);
    C.User = PartText(Uc.lpszUserName, Uc.dwUserNameLength);
    C.Password = PartText(Uc.lpszPassword, Uc.dwPasswordLength);
    C.Path = PartText(Uc.lpszUrlPath, Uc.dwUrlPathLength);
    C.Extra = PartText(Uc.lpszExtraInfo, Uc.dwExtraInfoLength);
    C.NScheme = Uc.nScheme;
    C.Port = Uc.nPort;
    return C;
}

}  // namespace

TEST(WinHttpFunctions, CrackUrlParts) {
    ASSERT_TRUE(LoadWinHttp());
    struct {
        const char* Name;
        const char16_t* Url;
        bool WithExtra;
        TCracked Want;
    } Cases[] = {
        {"every part",
         u"https://user:pw@host.example:8443/a/b?x=1#f",
         true,
         {0, "https", "host.example", "user", "pw", "/a/b", "?x=1#f", INTERNET_SCHEME_HTTPS, 8443}},
        {"the query stays with the path when extra information is not asked for",
         u"http://h/a/b?x=1#f",
         false,
         {0, "http", "h", "(null)", "(null)", "/a/b?x=1#f", "(null)", INTERNET_SCHEME_HTTP, 80}},
        {"no query: empty extra information",
         u"http://h/a",
         true,
         {0, "http", "h", "(null)", "(null)", "/a", "", INTERNET_SCHEME_HTTP, 80}},
        {"no path",
         u"http://h",
         true,
         {0, "http", "h", "(null)", "(null)", "", "", INTERNET_SCHEME_HTTP, 80}},
        {"a lone question mark",
         u"http://h/p?",
         true,
         {0, "http", "h", "(null)", "(null)", "/p", "?", INTERNET_SCHEME_HTTP, 80}},
        {"query without a path",
         u"HTTPS://h?q",
         true,
         {0, "HTTPS", "h", "(null)", "(null)", "", "?q", INTERNET_SCHEME_HTTPS, 443}},
        {"IPv6 literal",
         u"http://[::1]:8080/x",
         true,
         {0, "http", "[::1]", "(null)", "(null)", "/x", "", INTERNET_SCHEME_HTTP, 8080}},
        {"empty password",
         u"http://u:@h/",
         true,
         {0, "http", "h", "u", "", "/", "", INTERNET_SCHEME_HTTP, 80}},
        {"malformed scheme", u"HTTP:host", true, Refused(12005)},
        {"no scheme", u"://h/", true, Refused(12005)},
        {"not a URL", u"host/path", true, Refused(12005)},
        {"another scheme", u"ftp://x/", true, Refused(12006)},
        {"port out of range", u"http://h:99999/", true, Refused(12005)},
        {"no host", u"http:///x", true, Refused(12005)},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        const TCracked Got = CrackPointers(C.Url, 0, C.WithExtra);
        EXPECT_EQ(Got.Error, C.Want.Error);
        if (C.Want.Error) continue;
        EXPECT_EQ(Got.Scheme, C.Want.Scheme);
        EXPECT_EQ(Got.Host, C.Want.Host);
        EXPECT_EQ(Got.User, C.Want.User);
        EXPECT_EQ(Got.Password, C.Want.Password);
        EXPECT_EQ(Got.Path, C.Want.Path);
        EXPECT_EQ(Got.Extra, C.Want.Extra);
        EXPECT_EQ(Got.NScheme, C.Want.NScheme);
        EXPECT_EQ(Got.Port, C.Want.Port);
    }

    // Pointers aim into the URL; empty extra information at its very end.
    const char16_t* Url = u"http://h/a";
    URL_COMPONENTS Uc{};
    Uc.dwStructSize = sizeof Uc;
    Uc.dwUrlPathLength = Uc.dwExtraInfoLength = 1;
    ASSERT_TRUE(WinHttpCrackUrl(Url, 0, 0, &Uc));
    EXPECT_EQ(Uc.lpszUrlPath, Url + 8);
    EXPECT_EQ(Uc.lpszExtraInfo, Url + 10);
    EXPECT_EQ(Uc.lpszExtraInfo[0], u'\0');
    EXPECT_EQ(Uc.lpszHostName, nullptr) << "a part not asked for is left alone";

    // A length cuts the URL; user name and password are refused on request.
    EXPECT_EQ(CrackPointers(u"http://abc/def", 0, true, 10).Host, "abc");
    EXPECT_EQ(CrackPointers(u"http://abc/def", 0, true, 10).Path, "");
    EXPECT_EQ(CrackPointers(u"http://u:p@h/", ICU_REJECT_USERPWD).Error, 12005u);
    EXPECT_EQ(CrackPointers(u"http://u@h/", ICU_REJECT_USERPWD).Error, 12005u);
    EXPECT_EQ(CrackPointers(u"http://h/", ICU_REJECT_USERPWD).Error, 0u);
    // Decoding and escaping need the caller's buffers.
    EXPECT_EQ(CrackPointers(u"http://h/a%20b", ICU_DECODE).Error, 87u);
    EXPECT_EQ(CrackPointers(u"http://h/a b", ICU_ESCAPE).Error, 87u);
}

TEST(WinHttpFunctions, CrackUrlIntoBuffers) {
    ASSERT_TRUE(LoadWinHttp());
    struct {
        const char* Name;
        const char16_t* Url;
        DWORD Flags;
        std::string User, Path, Extra;
    } Cases[] = {
        {"as written", u"http://a%40b@h/a%20b?c%3Dd#e f", 0, "a%40b", "/a%20b", "?c%3Dd#e f"},
        {"decoded", u"http://a%40b@h/a%20b?c%3Dd", ICU_DECODE, "a@b", "/a b", "?c=d"},
        {"a stray percent stays", u"http://h/100%/%zz", ICU_DECODE, "", "/100%/%zz", ""},
        {"escaped", u"http://h/a b<\u00e9>?c d#e", ICU_ESCAPE, "", "/a%20b%3C%C3%A9%3E",
         "?c%20d#e"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        WCHAR User[64], Path[64], Extra[64];
        URL_COMPONENTS Uc{};
        Uc.dwStructSize = sizeof Uc;
        Uc.lpszUserName = User;
        Uc.dwUserNameLength = 64;
        Uc.lpszUrlPath = Path;
        Uc.dwUrlPathLength = 64;
        Uc.lpszExtraInfo = Extra;
        Uc.dwExtraInfoLength = 64;
        ASSERT_TRUE(WinHttpCrackUrl(C.Url, 0, C.Flags, &Uc)) << GetLastError();
        EXPECT_EQ(A(std::u16string_view(User, Uc.dwUserNameLength)), C.User);
        EXPECT_EQ(A(std::u16string_view(Path, Uc.dwUrlPathLength)), C.Path);
        EXPECT_EQ(A(std::u16string_view(Extra, Uc.dwExtraInfoLength)), C.Extra);
        EXPECT_EQ(Path[Uc.dwUrlPathLength], u'\0');
    }

    // A buffer too small for its part refuses the call with 87, and nothing is written: not
    // the part that would have fitted, nor any length.
    const char16_t* Url = u"https://user:pw@host.example:8443/a/b?x=1#f";
    WCHAR Small[4] = {u'-', u'-', u'-', u'-'};
    WCHAR Big[64] = {u'-'};
    URL_COMPONENTS Copy{};
    Copy.dwStructSize = sizeof Copy;
    Copy.lpszUrlPath = Big;
    Copy.dwUrlPathLength = 64;
    Copy.lpszHostName = Small;
    Copy.dwHostNameLength = 4;
    EXPECT_FALSE(WinHttpCrackUrl(Url, 0, 0, &Copy));
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(Copy.dwHostNameLength, 4u);
    EXPECT_EQ(Copy.dwUrlPathLength, 64u);
    EXPECT_EQ(Small[0], u'-');
    EXPECT_EQ(Big[0], u'-');
    EXPECT_EQ(Copy.nPort, 0);
    // Room for the text but not its NUL is too small; one more is enough.
    Copy.lpszUrlPath = nullptr;
    Copy.dwUrlPathLength = 0;
    WCHAR Host[13];
    Copy.lpszHostName = Host;
    Copy.dwHostNameLength = 12;
    EXPECT_FALSE(WinHttpCrackUrl(Url, 0, 0, &Copy));
    EXPECT_EQ(GetLastError(), 87u);
    Copy.dwHostNameLength = 13;
    ASSERT_TRUE(WinHttpCrackUrl(Url, 0, 0, &Copy));
    EXPECT_EQ(Copy.dwHostNameLength, 12u);
    EXPECT_EQ(A(Host), "host.example");
}

TEST(WinHttpFunctions, CreateUrl) {
    ASSERT_TRUE(LoadWinHttp());
    struct TParts {
        const char16_t* Scheme = nullptr;
        INTERNET_SCHEME NScheme = 0;
        const char16_t* Host = nullptr;
        INTERNET_PORT Port = 0;
        const char16_t* User = nullptr;
        const char16_t* Password = nullptr;
        const char16_t* Path = nullptr;
        const char16_t* Extra = nullptr;
    };
    struct {
        const char* Name;
        TParts Parts;
        DWORD Flags;
        std::string Url;  // empty: refused with 87
    } Cases[] = {
        {"every part",
         {u"https", 0, u"host.example", 8443, u"user", u"pw", u"/a/b", u"?x=1#f"},
         0,
         "https://user:pw@host.example:8443/a/b?x=1#f"},
        {"no scheme, none named: http",
         {nullptr, 0, u"h", 0, nullptr, nullptr, u"/p"},
         0,
         "http://h/p"},
        {"scheme by number",
         {nullptr, INTERNET_SCHEME_HTTPS, u"h", 0, nullptr, nullptr, u"/p"},
         0,
         "https://h/p"},
        {"the scheme's default port left out",
         {u"https", 0, u"h", 443, nullptr, nullptr, u"/"},
         0,
         "https://h/"},
        {"another port kept", {u"http", 0, u"h", 443, nullptr, nullptr, u"/"}, 0, "http://h:443/"},
        {"ftp's default port left out",
         {u"ftp", 0, u"h", 21, nullptr, nullptr, u"/f"},
         0,
         "ftp://h/f"},
        {"an empty password keeps its colon",
         {u"http", 0, u"h", 0, u"u", u"", u"/"},
         0,
         "http://u:@h/"},
        {"a user without a password", {u"http", 0, u"h", 0, u"u", nullptr, u"/"}, 0, "http://u@h/"},
        {"a password without a user", {u"http", 0, u"h", 0, nullptr, u"pw", u"/"}, 0, ""},
        {"path without its slash", {u"http", 0, u"h", 0, nullptr, nullptr, u"p"}, 0, "http://h/p"},
        {"escaped on request",
         {u"http", 0, u"h", 0, nullptr, nullptr, u"/a b", u"?c d"},
         ICU_ESCAPE,
         "http://h/a%20b?c%20d"},
        {"as given otherwise",
         {u"http", 0, u"h", 0, nullptr, nullptr, u"/a b", u"?c d"},
         0,
         "http://h/a b?c d"},
        {"unknown scheme number", {nullptr, 99, u"h", 0, nullptr, nullptr, u"/"}, 0, ""},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        URL_COMPONENTS Uc{};
        Uc.dwStructSize = sizeof Uc;
        Uc.lpszScheme = const_cast<LPWSTR>(C.Parts.Scheme);
        Uc.nScheme = C.Parts.NScheme;
        Uc.lpszHostName = const_cast<LPWSTR>(C.Parts.Host);
        Uc.nPort = C.Parts.Port;
        Uc.lpszUserName = const_cast<LPWSTR>(C.Parts.User);
        Uc.lpszPassword = const_cast<LPWSTR>(C.Parts.Password);
        Uc.lpszUrlPath = const_cast<LPWSTR>(C.Parts.Path);
        Uc.lpszExtraInfo = const_cast<LPWSTR>(C.Parts.Extra);
        WCHAR Out[128];
        DWORD Len = 128;
        const BOOL Ok = WinHttpCreateUrl(&Uc, C.Flags, Out, &Len);
        if (C.Url.empty()) {
            EXPECT_FALSE(Ok);
            EXPECT_EQ(GetLastError(), 87u);
            continue;
        }
        ASSERT_TRUE(Ok) << GetLastError();
        EXPECT_EQ(A(std::u16string_view(Out, Len)), C.Url);
        EXPECT_EQ(Out[Len], u'\0');
    }

    // The size protocol: a probe learns the length with the NUL; the text alone does not fit;
    // no buffer behind a length that would do is a bad argument.
    URL_COMPONENTS Uc{};
    Uc.dwStructSize = sizeof Uc;
    Uc.lpszHostName = const_cast<LPWSTR>(u"h");
    Uc.lpszUrlPath = const_cast<LPWSTR>(u"/p");
    DWORD Len = 0;
    EXPECT_FALSE(WinHttpCreateUrl(&Uc, 0, nullptr, &Len));
    EXPECT_EQ(GetLastError(), 122u);
    EXPECT_EQ(Len, 11u);  // "http://h/p" and its NUL
    EXPECT_FALSE(WinHttpCreateUrl(&Uc, 0, nullptr, &Len));
    EXPECT_EQ(GetLastError(), 87u);
    std::u16string Out(16, u'\0');
    Len = 10;
    EXPECT_FALSE(WinHttpCreateUrl(&Uc, 0, Out.data(), &Len));
    EXPECT_EQ(GetLastError(), 122u);
    EXPECT_EQ(Len, 11u);
    ASSERT_TRUE(WinHttpCreateUrl(&Uc, 0, Out.data(), &Len));
    EXPECT_EQ(Len, 10u);
    EXPECT_EQ(A(Out.c_str()), "http://h/p");
}

TEST_F(WinHttpLibrary, RequestHeadersAddedAndQueriedBeforeSending) {
    THandle Req = OpenRequest(u"/x");
    ASSERT_TRUE(Req);
    // Every "Warning" line of the request, in order, through indexed queries.
    auto Warnings = [&] {
        std::vector<std::string> Out;
        for (DWORD Index = 0;;) {
            WCHAR Buf[256];
            DWORD Len = sizeof Buf;
            const DWORD Asked = Index;
            if (!WinHttpQueryHeaders(Req.Get(),
                                     WINHTTP_QUERY_CUSTOM | WINHTTP_QUERY_FLAG_REQUEST_HEADERS,
                                     u"Warning", Buf, &Len, &Index)) {
                EXPECT_EQ(GetLastError(), 12150u);
                break;
            }
            EXPECT_EQ(Index, Asked + 1) << "the index moves on to the next line";
            Out.push_back(A(std::u16string_view(Buf, Len / sizeof(WCHAR))));
        }
        return Out;
    };
    using TList = std::vector<std::string>;
    struct {
        const char* Name;
        const char16_t* Headers;
        DWORD Modifiers;
        DWORD Error;  // 0: added
        TList After;
    } Steps[] = {
        {"add", u"Warning: test1", WINHTTP_ADDREQ_FLAG_ADD, 0, {"test1"}},
        {"add again: a second line",
         u"Warning:test2",
         WINHTTP_ADDREQ_FLAG_ADD,
         0,
         {"test1", "test2"}},
        {"add if new, but it is not",
         u"Warning: test3",
         WINHTTP_ADDREQ_FLAG_ADD_IF_NEW,
         12155,
         {"test1", "test2"}},
        {"coalesce into the first",
         u"Warning: test4",
         WINHTTP_ADDREQ_FLAG_COALESCE,
         0,
         {"test1, test4", "test2"}},
        {"coalesce with a comma",
         u"Warning: test5",
         WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA,
         0,
         {"test1, test4, test5", "test2"}},
        {"coalesce with a semicolon",
         u"Warning: test6",
         WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON,
         0,
         {"test1, test4, test5; test6", "test2"}},
        {"replace: the first goes, the new one comes last",
         u"Warning: test7",
         WINHTTP_ADDREQ_FLAG_REPLACE | WINHTTP_ADDREQ_FLAG_ADD,
         0,
         {"test2", "test7"}},
        {"replace with nothing removes", u"Warning:", WINHTTP_ADDREQ_FLAG_REPLACE, 0, {"test7"}},
        {"no modifier adds", u"Warning: test8", 0, 0, {"test7", "test8"}},
        {"replace what is not there",
         u"X-Missing: 1",
         WINHTTP_ADDREQ_FLAG_REPLACE,
         12150,
         {"test7", "test8"}},
        {"replace or add what is not there",
         u"X-Missing: 1",
         WINHTTP_ADDREQ_FLAG_REPLACE | WINHTTP_ADDREQ_FLAG_ADD,
         0,
         {"test7", "test8"}},
        {"coalesce what is not there adds",
         u"X-Fresh: a",
         WINHTTP_ADDREQ_FLAG_COALESCE,
         0,
         {"test7", "test8"}},
        {"a block of several lines",
         u"X-A: 1\r\nWarning: test9\r\nX-B: 2\r\n",
         WINHTTP_ADDREQ_FLAG_ADD_IF_NEW | WINHTTP_ADDREQ_FLAG_ADD,
         12155,
         {"test7", "test8"}},
        {"a block of new lines",
         u"X-A: 1\r\nX-B: 2\r\n",
         WINHTTP_ADDREQ_FLAG_ADD_IF_NEW,
         0,
         {"test7", "test8"}},
        {"a line without a colon",
         u"Warning test10",
         WINHTTP_ADDREQ_FLAG_ADD,
         87,
         {"test7", "test8"}},
        {"a line without a name", u": test10", WINHTTP_ADDREQ_FLAG_ADD, 87, {"test7", "test8"}},
    };
    for (const auto& S : Steps) {
        SCOPED_TRACE(S.Name);
        const BOOL Ok =
            WinHttpAddRequestHeaders(Req.Get(), S.Headers, static_cast<DWORD>(-1), S.Modifiers);
        EXPECT_EQ(Ok, S.Error == 0);
        if (S.Error) {
            EXPECT_EQ(GetLastError(), S.Error);
        }
        EXPECT_EQ(Warnings(), S.After);
    }
    EXPECT_FALSE(WinHttpAddRequestHeaders(Req.Get(), u"X-C: 3", 0, WINHTTP_ADDREQ_FLAG_ADD));
    EXPECT_EQ(GetLastError(), 87u) << "a length of 0";
    EXPECT_FALSE(WinHttpAddRequestHeaders(Req.Get(), u"X-C: 3", 3, WINHTTP_ADDREQ_FLAG_ADD));
    EXPECT_EQ(GetLastError(), 87u) << "a length that cuts the line before its colon";

    // The whole request as it stands, before it was sent.
    WCHAR Buf[512];
    DWORD Len = sizeof Buf;
    ASSERT_TRUE(WinHttpQueryHeaders(
        Req.Get(), WINHTTP_QUERY_RAW_HEADERS_CRLF | WINHTTP_QUERY_FLAG_REQUEST_HEADERS, nullptr,
        Buf, &Len, nullptr))
        << GetLastError();
    EXPECT_EQ(A(std::u16string_view(Buf, Len / sizeof(WCHAR))),
              "GET /x HTTP/1.1\r\nWarning: test7\r\nWarning: test8\r\nX-Missing: 1\r\n"
              "X-Fresh: a\r\nX-A: 1\r\nX-B: 2\r\n\r\n");
    // Response headers are not there before a response.
    Len = sizeof Buf;
    EXPECT_FALSE(
        WinHttpQueryHeaders(Req.Get(), WINHTTP_QUERY_CUSTOM, u"Warning", Buf, &Len, nullptr));
    EXPECT_EQ(GetLastError(), 12019u);
}

}  // namespace Nimbra
