// libwinhttp against servers on 127.0.0.1: the status notifications of the synchronous mode,
// the options that describe a request's connection and its server's certificate, and the
// certificate checks a caller may choose to ignore.

#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "Nimbra.WinHttp.Api.h"
#include "TestServer.h"
#include "WinHttpTestUtil.h"

// Inside the namespace the WinHTTP names are the bound functions, not the C declarations.
namespace Nimbra {

using TestSupport::A;
using TestSupport::QueryStatus;
using TestSupport::QueryText;
using TestSupport::ReadAll;
using TestSupport::StatusName;
using TestSupport::THandle;
using TestSupport::TTestServer;
using TestSupport::U;

namespace {

// ---------------------------------------------------------------------------------------
// Notifications as "call: NAME info" lines.

/// What a status callback saw, noted against the API call the test was making.
struct TRecorder {
    std::string Call;  // set by the test before each call
    std::vector<std::string> Lines;
    std::thread::id Thread = std::this_thread::get_id();
    int OtherThread = 0;
    // Run inside the callback for this status, when set.
    DWORD ActOn = 0;
    std::function<void(HINTERNET)> Act;
};

void WINAPI Record(HINTERNET H, DWORD_PTR Context, DWORD Status, LPVOID Info, DWORD Length) {
    auto* R = reinterpret_cast<TRecorder*>(Context);
    if (!R) return;
    if (std::this_thread::get_id() != R->Thread) ++R->OtherThread;
    std::string Line = R->Call + ": " + StatusName(Status);
    switch (Status) {
        case WINHTTP_CALLBACK_STATUS_RESOLVING_NAME:
        case WINHTTP_CALLBACK_STATUS_NAME_RESOLVED:
        case WINHTTP_CALLBACK_STATUS_CONNECTING_TO_SERVER:
        case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
        case WINHTTP_CALLBACK_STATUS_REDIRECT: {
            // A text, its length in characters with the NUL.
            auto* Text = static_cast<const char16_t*>(Info);
            const std::size_t N = Text ? std::char_traits<char16_t>::length(Text) : 0;
            EXPECT_EQ(Length, N + 1) << Line;
            Line += " " + A(std::u16string_view(Text ? Text : u"", N));
            break;
        }
        case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
        case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED: {
            EXPECT_EQ(Length, 4u) << Line;
            DWORD Bytes = 0;
            if (Info) std::memcpy(&Bytes, Info, sizeof Bytes);
            EXPECT_GT(Bytes, 10u) << Line;
            break;
        }
        case WINHTTP_CALLBACK_STATUS_INTERMEDIATE_RESPONSE: {
            DWORD Code = 0;
            if (Info && Length == 4) std::memcpy(&Code, Info, sizeof Code);
            Line += " " + std::to_string(Code);
            break;
        }
        case WINHTTP_CALLBACK_STATUS_HANDLE_CREATED:
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING: {
            HINTERNET About = nullptr;
            if (Info && Length == sizeof About) std::memcpy(&About, Info, sizeof About);
            EXPECT_EQ(About, H) << Line;
            break;
        }
        default:
            break;
    }
    R->Lines.push_back(Line);
    if (R->Act && Status == R->ActOn) R->Act(H);
}

std::string Joined(const std::vector<std::string>& Lines) {
    std::string Out;
    for (const auto& L : Lines) Out += L + "\n";
    return Out;
}

/// The connection's notifications for a new connection to 127.0.0.1.
std::vector<std::string> NewConnection(const std::string& Call) {
    return {Call + ": RESOLVING_NAME 127.0.0.1", Call + ": NAME_RESOLVED 127.0.0.1",
            Call + ": CONNECTING_TO_SERVER 127.0.0.1", Call + ": CONNECTED_TO_SERVER 127.0.0.1"};
}

class WinHttpNotifications : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(LoadWinHttp());
        FSession =
            THandle(WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
        ASSERT_TRUE(FSession);
        DWORD_PTR Ctx = reinterpret_cast<DWORD_PTR>(&FSeen);
        ASSERT_TRUE(
            WinHttpSetOption(FSession.Get(), WINHTTP_OPTION_CONTEXT_VALUE, &Ctx, sizeof Ctx));
    }
    void Listen(DWORD Flags) {
        ASSERT_NE(WinHttpSetStatusCallback(FSession.Get(), Record, Flags, 0),
                  WINHTTP_INVALID_STATUS_CALLBACK);
    }
    /// One GET through its own connect handle, each call noted; "" or the call that failed
    /// with its error.
    std::string Get(const std::string& Path, std::string* Body = nullptr) {
        auto Step = [&](const char* Call) { FSeen.Call = Call; };
        Step("connect");
        THandle Conn(WinHttpConnect(FSession.Get(), u"127.0.0.1",
                                    static_cast<INTERNET_PORT>(FServer.Port()), 0));
        Step("open");
        THandle Req(
            WinHttpOpenRequest(Conn.Get(), u"GET", U(Path).c_str(), nullptr, nullptr, nullptr, 0));
        std::string Failed;
        auto Fail = [&](const char* Call) {
            Failed = std::string(Call) + " " + std::to_string(GetLastError());
        };
        Step("send");
        // The request's context is what WinHttpSendRequest gives.
        if (!WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, 0,
                                reinterpret_cast<DWORD_PTR>(&FSeen)))
            Fail("send");
        Step("receive");
        if (Failed.empty() && !WinHttpReceiveResponse(Req.Get(), nullptr)) Fail("receive");
        Step("read");
        std::string Data;
        DWORD Err = 0;
        if (Failed.empty() && !ReadAll(Req.Get(), Data, Err))
            Failed = "read " + std::to_string(Err);
        if (Body) *Body = Data;
        Step("close request");
        Req.Reset();
        Step("close connect");
        Conn.Reset();
        return Failed;
    }

    // The recorder outlives the session, whose closing it is told of.
    TRecorder FSeen;
    TTestServer FServer;
    THandle FSession;
};

}  // namespace

TEST_F(WinHttpNotifications, ProgressInWindowsOrderFromTheCallThatMadeIt) {
    Listen(WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS);
    const std::vector<std::string> Open = {"connect: HANDLE_CREATED", "open: HANDLE_CREATED"};
    const std::vector<std::string> Close = {"close request: HANDLE_CLOSING",
                                            "close connect: HANDLE_CLOSING"};
    const std::vector<std::string> Received = {"receive: RECEIVING_RESPONSE",
                                               "receive: RESPONSE_RECEIVED"};
    auto Concat = [](std::initializer_list<std::vector<std::string>> Parts) {
        std::vector<std::string> Out;
        for (const auto& P : Parts) Out.insert(Out.end(), P.begin(), P.end());
        return Out;
    };
    const std::vector<std::string> Sending = {"send: SENDING_REQUEST", "send: REQUEST_SENT"};
    struct {
        const char* Name;
        std::string Path;
        std::vector<std::string> Expected;
    } Cases[] = {
        {"first request: a new connection", "/status/200",
         Concat({Open, NewConnection("send"), Sending, Received, Close})},
        {"next request: the connection reused", "/status/200",
         Concat({Open, Sending, Received, Close})},
        {"redirect on the same connection", "/faults/chain/1",
         Concat({Open,
                 Sending,
                 Received,
                 {"receive: REDIRECT http://127.0.0.1:" + std::to_string(FServer.Port()) +
                      "/faults/chain/0",
                  "receive: SENDING_REQUEST", "receive: REQUEST_SENT"},
                 Received,
                 Close})},
        {"interim answers", "/faults/interim",
         Concat({Open,
                 Sending,
                 Received,
                 {"receive: INTERMEDIATE_RESPONSE 100"},
                 Received,
                 {"receive: INTERMEDIATE_RESPONSE 102"},
                 Received,
                 Close})},
        {"the server closes the connection", "/faults/close-delimited",
         Concat({Open,
                 Sending,
                 Received,
                 {"read: CLOSING_CONNECTION", "read: CONNECTION_CLOSED"},
                 Close})},
        {"after a closed connection a new one", "/status/200",
         Concat({Open, NewConnection("send"), Sending, Received, Close})},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        FSeen.Lines.clear();
        EXPECT_EQ(Get(C.Path), "");
        // The body follows the head at once: the server's close may come while the head is
        // taken in (receive) or at the read that reaches the end.
        for (auto& L : FSeen.Lines)
            if (L == "receive: CLOSING_CONNECTION" || L == "receive: CONNECTION_CLOSED")
                L.replace(0, std::strlen("receive"), "read");
        EXPECT_EQ(Joined(FSeen.Lines), Joined(C.Expected));
    }
    EXPECT_EQ(FSeen.OtherThread, 0) << "every notification on the calling thread";
}

TEST_F(WinHttpNotifications, OnlyWhatTheFlagsAskFor) {
    struct {
        const char* Name;
        DWORD Flags;
        std::vector<std::string> Expected;
    } Cases[] = {
        {"sending",
         WINHTTP_CALLBACK_FLAG_SEND_REQUEST,
         {"send: SENDING_REQUEST", "send: REQUEST_SENT"}},
        {"connecting and receiving",
         WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER | WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE,
         {"send: CONNECTING_TO_SERVER 127.0.0.1", "send: CONNECTED_TO_SERVER 127.0.0.1",
          "receive: RECEIVING_RESPONSE", "receive: RESPONSE_RECEIVED"}},
        {"secure failures only", WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, {}},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        // A session of its own each time, so that each makes a new connection.
        FSession =
            THandle(WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
        DWORD_PTR Ctx = reinterpret_cast<DWORD_PTR>(&FSeen);
        WinHttpSetOption(FSession.Get(), WINHTTP_OPTION_CONTEXT_VALUE, &Ctx, sizeof Ctx);
        Listen(C.Flags);
        FSeen.Lines.clear();
        EXPECT_EQ(Get("/status/200"), "");
        EXPECT_EQ(Joined(FSeen.Lines), Joined(C.Expected));
    }
}

TEST_F(WinHttpNotifications, CallbacksMayCallBackIntoTheApi) {
    Listen(WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS);
    struct {
        const char* Name;
        DWORD On;
        std::string Path;
        std::function<void(HINTERNET)> Act;
        std::string Outcome;
    } Cases[] = {
        {"close the request as it is sent", WINHTTP_CALLBACK_STATUS_SENDING_REQUEST, "/status/200",
         [](HINTERNET H) { EXPECT_TRUE(WinHttpCloseHandle(H)); }, "send 12017"},
        {"close the request on a redirect", WINHTTP_CALLBACK_STATUS_REDIRECT, "/faults/chain/1",
         [](HINTERNET H) { EXPECT_TRUE(WinHttpCloseHandle(H)); }, "receive 12017"},
        {"query the URL on a redirect", WINHTTP_CALLBACK_STATUS_REDIRECT, "/faults/chain/1",
         [](HINTERNET H) {
             char16_t Buf[256];
             DWORD Len = sizeof Buf;
             EXPECT_TRUE(WinHttpQueryOption(H, WINHTTP_OPTION_URL, Buf, &Len));
             EXPECT_NE(A(std::u16string_view(Buf, Len / 2)).find("/faults/chain/0"),
                       std::string::npos);
         },
         ""},
        {"a second call on the same request is refused", WINHTTP_CALLBACK_STATUS_REQUEST_SENT,
         "/status/200",
         [](HINTERNET H) {
             EXPECT_FALSE(WinHttpReceiveResponse(H, nullptr));
             EXPECT_EQ(GetLastError(), 12019u);
         },
         ""},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        FSeen.ActOn = C.On;
        FSeen.Act = C.Act;
        EXPECT_EQ(Get(C.Path), C.Outcome);
        FSeen.Act = nullptr;
    }
    // The session still works.
    std::string Body;
    EXPECT_EQ(Get("/faults/chain/0", &Body), "");
    EXPECT_EQ(Body, "chain end GET 0\n");
}

// ---------------------------------------------------------------------------------------
// What a request tells about its connection and its answer.

TEST(WinHttpRequestInfo, ConnectionInfoAndRawHeaders) {
    ASSERT_TRUE(LoadWinHttp());
    TTestServer Server;
    THandle Session(WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
    THandle Conn(
        WinHttpConnect(Session.Get(), u"127.0.0.1", static_cast<INTERNET_PORT>(Server.Port()), 0));
    THandle Req(
        WinHttpOpenRequest(Conn.Get(), u"GET", u"/faults/headers", nullptr, nullptr, nullptr, 0));
    ASSERT_TRUE(WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, 0, 0));
    ASSERT_TRUE(WinHttpReceiveResponse(Req.Get(), nullptr));

    WINHTTP_CONNECTION_INFO Info{};
    DWORD Len = 4;
    EXPECT_FALSE(WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_CONNECTION_INFO, &Info, &Len));
    EXPECT_EQ(GetLastError(), 122u);
    EXPECT_EQ(Len, sizeof Info);
    ASSERT_TRUE(WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_CONNECTION_INFO, &Info, &Len));
    EXPECT_EQ(Info.cbSize, sizeof Info);
    auto Describe = [](const SOCKADDR_STORAGE& S) {
        if (S.ss_family != AF_INET) return std::string("family ") + std::to_string(S.ss_family);
        const auto& V4 = reinterpret_cast<const sockaddr_in&>(S);
        char Ip[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &V4.sin_addr, Ip, sizeof Ip);
        return std::string(Ip) + ":" + std::to_string(ntohs(V4.sin_port));
    };
    EXPECT_EQ(Describe(Info.RemoteAddress), "127.0.0.1:" + std::to_string(Server.Port()));
    const std::string Local = Describe(Info.LocalAddress);
    EXPECT_EQ(Local.rfind("127.0.0.1:", 0), 0u) << Local;
    EXPECT_NE(Local, "127.0.0.1:0");

    // RAW_HEADERS: NUL-separated lines; the length counts the NUL after the last line, the
    // probe one more for the terminator.
    DWORD Need = 0;
    EXPECT_FALSE(WinHttpQueryHeaders(Req.Get(), WINHTTP_QUERY_RAW_HEADERS, nullptr, nullptr, &Need,
                                     nullptr));
    EXPECT_EQ(GetLastError(), 122u);
    std::u16string Buf(Need / 2, u'x');
    Len = Need;
    ASSERT_TRUE(WinHttpQueryHeaders(Req.Get(), WINHTTP_QUERY_RAW_HEADERS, nullptr, Buf.data(), &Len,
                                    nullptr));
    EXPECT_EQ(Len, Need - 2);
    const std::string Raw = A(std::u16string_view(Buf.data(), Len / 2));
    EXPECT_EQ(Raw.rfind("HTTP/1.1 200 OK", 0), 0u);
    ASSERT_GE(Raw.size(), 2u);
    EXPECT_EQ(Raw.back(), '\0');
    EXPECT_NE(Raw[Raw.size() - 2], '\0') << "one NUL after the last line";
    EXPECT_EQ(Buf[Len / 2], u'\0') << "and the terminator after it";
}

TEST(WinHttpRequestInfo, TheResponseHeadHasATimeoutOfItsOwn) {
    ASSERT_TRUE(LoadWinHttp());
    TTestServer Server;
    THandle Session(WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
    THandle Conn(
        WinHttpConnect(Session.Get(), u"127.0.0.1", static_cast<INTERNET_PORT>(Server.Port()), 0));
    struct {
        const char* Name;
        const char16_t* Path;
        DWORD HeadMs;
        std::string Outcome;
    } Cases[] = {
        {"a head later than its time-out", u"/faults/stall-head?ms=3000", 400, "receive 12002"},
        {"no limit for the head", u"/faults/stall-head?ms=600", 0xFFFFFFFFu, ""},
        {"the body is not bound by it", u"/faults/stall-body?ms=800", 400, ""},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        THandle Req(WinHttpOpenRequest(Conn.Get(), u"GET", C.Path, nullptr, nullptr, nullptr, 0));
        ASSERT_TRUE(WinHttpSetTimeouts(Req.Get(), 0, 10000, 10000, 10000));
        DWORD V = C.HeadMs;
        ASSERT_TRUE(
            WinHttpSetOption(Req.Get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &V, sizeof V));
        const auto Start = std::chrono::steady_clock::now();
        std::string Outcome;
        std::string Body;
        DWORD Err = 0;
        if (!WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, 0, 0))
            Outcome = "send " + std::to_string(GetLastError());
        else if (!WinHttpReceiveResponse(Req.Get(), nullptr))
            Outcome = "receive " + std::to_string(GetLastError());
        else if (!ReadAll(Req.Get(), Body, Err))
            Outcome = "read " + std::to_string(Err);
        EXPECT_EQ(Outcome, C.Outcome);
        if (!C.Outcome.empty()) {
            EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(2500))
                << "the head's time-out, not the receive time-out";
        }
    }
}

// ---------------------------------------------------------------------------------------
// TLS: certificate information, checks the caller ignores, protocol versions.

namespace {

const std::string& CertDir() {
    static const std::string Dir = [] {
        std::string D = (std::filesystem::temp_directory_path() /
                         ("ostrel-opt-certs-" + std::to_string(getpid())))
                            .string();
        std::string Cmd =
            TTestServer::SupportDir() + "/make-test-certs '" + D + "' >/dev/null 2>&1";
        if (std::system(Cmd.c_str()) != 0)
            ADD_FAILURE() << "certificate generation failed: " << Cmd;
        return D;
    }();
    return Dir;
}

std::vector<std::string> TlsArgs(const std::string& Name) {
    return {"--tls", CertDir() + "/" + Name + ".pem", CertDir() + "/" + Name + ".key"};
}

/// The DER bytes of a PEM certificate file.
std::string DerOf(const std::string& PemFile) {
    std::ifstream In(PemFile);
    std::string Line, B64;
    bool Inside = false;
    while (std::getline(In, Line)) {
        if (Line.find("BEGIN CERTIFICATE") != std::string::npos)
            Inside = true;
        else if (Line.find("END CERTIFICATE") != std::string::npos)
            break;
        else if (Inside)
            B64 += Line;
    }
    std::string Out;
    int Bits = 0, Acc = 0;
    for (char C : B64) {
        const char* Table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const char* P = std::strchr(Table, C);
        if (!P || C == '\0') continue;
        Acc = (Acc << 6) | static_cast<int>(P - Table);
        Bits += 6;
        if (Bits >= 8) {
            Bits -= 8;
            Out += static_cast<char>((Acc >> Bits) & 0xFF);
        }
    }
    return Out;
}

/// A function of libwinhttp outside the binding's table.
template <typename F>
F Export(const char* Name) {
    void* Lib = dlopen(OSTREL_BIN_DIR "/libwinhttp.so", RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(Lib, nullptr);
    F Fn = Lib ? reinterpret_cast<F>(dlsym(Lib, Name)) : nullptr;
    if (Lib) dlclose(Lib);
    EXPECT_NE(Fn, nullptr) << Name;
    return Fn;
}

class WinHttpTlsOptions : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { setenv("CURL_CA_BUNDLE", (CertDir() + "/ca.pem").c_str(), 1); }
    void SetUp() override {
        ASSERT_TRUE(LoadWinHttp());
        FSession = NewSession();
        ASSERT_TRUE(FSession);
    }
    static THandle NewSession() {
        return THandle(
            WinHttpOpen(u"Ostrel Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
    }
    /// GET /status/200 over TLS with the given ignore flags; "" or the call that failed.
    static std::string Get(HINTERNET Session, int Port, DWORD Ignore, THandle* Keep = nullptr,
                           THandle* KeepConn = nullptr) {
        THandle Conn(WinHttpConnect(Session, u"127.0.0.1", static_cast<INTERNET_PORT>(Port), 0));
        THandle Req(WinHttpOpenRequest(Conn.Get(), u"GET", u"/status/200", nullptr, nullptr,
                                       nullptr, WINHTTP_FLAG_SECURE));
        std::string Failed;
        if (Ignore &&
            !WinHttpSetOption(Req.Get(), WINHTTP_OPTION_SECURITY_FLAGS, &Ignore, sizeof Ignore))
            Failed = "option " + std::to_string(GetLastError());
        else if (!WinHttpSendRequest(Req.Get(), nullptr, 0, nullptr, 0, 0, 0))
            Failed = "send " + std::to_string(GetLastError());
        else if (!WinHttpReceiveResponse(Req.Get(), nullptr))
            Failed = "receive " + std::to_string(GetLastError());
        else if (QueryStatus(Req.Get()) != 200)
            Failed = "status " + std::to_string(QueryStatus(Req.Get()));
        if (Keep) *Keep = std::move(Req);
        if (KeepConn) *KeepConn = std::move(Conn);
        return Failed;
    }
    THandle FSession;
};

}  // namespace

TEST_F(WinHttpTlsOptions, ServerCertificateAndStrength) {
    TTestServer Server(TlsArgs("good"));
    THandle Req, Conn;
    ASSERT_EQ(Get(FSession.Get(), Server.Port(), 0, &Req, &Conn), "");

    DWORD Flags = 0, Len = sizeof Flags;
    ASSERT_TRUE(WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_SECURITY_FLAGS, &Flags, &Len));
    EXPECT_EQ(Flags, static_cast<DWORD>(SECURITY_FLAG_SECURE | SECURITY_FLAG_STRENGTH_STRONG));
    DWORD Bits = 0;
    ASSERT_TRUE(WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_SECURITY_KEY_BITNESS, &Bits, &Len));
    EXPECT_GE(Bits, 128u);

    WINHTTP_CERTIFICATE_INFO Info{};
    Len = 0;
    EXPECT_FALSE(
        WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_SECURITY_CERTIFICATE_STRUCT, nullptr, &Len));
    EXPECT_EQ(GetLastError(), 122u);
    EXPECT_EQ(Len, sizeof Info);
    ASSERT_TRUE(
        WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_SECURITY_CERTIFICATE_STRUCT, &Info, &Len));
    ASSERT_NE(Info.lpszSubjectInfo, nullptr);
    ASSERT_NE(Info.lpszIssuerInfo, nullptr);
    EXPECT_EQ(A(Info.lpszSubjectInfo), "127.0.0.1");
    EXPECT_EQ(A(Info.lpszIssuerInfo), "Ostrel Test CA");
    EXPECT_EQ(Info.lpszProtocolName, nullptr);
    EXPECT_EQ(Info.dwKeySize, Bits);
    auto Seconds = [](FILETIME F) {
        const std::uint64_t T =
            (static_cast<std::uint64_t>(F.dwHighDateTime) << 32) | F.dwLowDateTime;
        return static_cast<std::int64_t>(T / 10000000ull) - 11644473600ll;
    };
    const std::int64_t Now = static_cast<std::int64_t>(std::time(nullptr));
    // A certificate is valid from the second it starts; the test CA may have made it this one.
    EXPECT_LE(Seconds(Info.ftStart), Now);
    EXPECT_GT(Seconds(Info.ftExpiry), Now);
    auto Free = Export<HLOCAL(WINAPI*)(HLOCAL)>("LocalFree");
    if (Free) {
        Free(Info.lpszSubjectInfo);
        Free(Info.lpszIssuerInfo);
    }

    PCCERT_CONTEXT Cert = nullptr;
    Len = sizeof Cert;
    ASSERT_TRUE(WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_SERVER_CERT_CONTEXT, &Cert, &Len));
    ASSERT_NE(Cert, nullptr);
    EXPECT_EQ(Cert->dwCertEncodingType,
              static_cast<DWORD>(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(Cert->pbCertEncoded), Cert->cbCertEncoded),
              DerOf(CertDir() + "/good.pem"));
    auto FreeCert = Export<BOOL(WINAPI*)(PCCERT_CONTEXT)>("CertFreeCertificateContext");
    if (FreeCert) {
        EXPECT_TRUE(FreeCert(Cert));
    }

    // Plain HTTP: nothing secure, no certificate.
    TTestServer Plain;
    THandle PConn(
        WinHttpConnect(FSession.Get(), u"127.0.0.1", static_cast<INTERNET_PORT>(Plain.Port()), 0));
    THandle PReq(
        WinHttpOpenRequest(PConn.Get(), u"GET", u"/status/200", nullptr, nullptr, nullptr, 0));
    ASSERT_TRUE(WinHttpSendRequest(PReq.Get(), nullptr, 0, nullptr, 0, 0, 0));
    ASSERT_TRUE(WinHttpReceiveResponse(PReq.Get(), nullptr));
    Len = sizeof Flags;
    ASSERT_TRUE(WinHttpQueryOption(PReq.Get(), WINHTTP_OPTION_SECURITY_FLAGS, &Flags, &Len));
    EXPECT_EQ(Flags, 0u);
    Len = sizeof Cert;
    EXPECT_FALSE(WinHttpQueryOption(PReq.Get(), WINHTTP_OPTION_SERVER_CERT_CONTEXT, &Cert, &Len));
    EXPECT_EQ(GetLastError(), 12019u);
}

TEST_F(WinHttpTlsOptions, EachRequestShowsTheCertificateOfItsOwnConnection) {
    // One thread going back and forth between two servers, each connection kept alive and
    // used twice: every request shows its own server's certificate, never the last one seen.
    TTestServer Good(TlsArgs("good"));
    TTestServer Other(TlsArgs("wronghost"));
    const std::string GoodDer = DerOf(CertDir() + "/good.pem");
    const std::string OtherDer = DerOf(CertDir() + "/wronghost.pem");
    ASSERT_NE(GoodDer, OtherDer);
    auto FreeCert = Export<BOOL(WINAPI*)(PCCERT_CONTEXT)>("CertFreeCertificateContext");
    const struct {
        const TTestServer* Server;
        const std::string* Der;
    } Steps[] = {{&Good, &GoodDer}, {&Other, &OtherDer}, {&Other, &OtherDer},
                 {&Good, &GoodDer}, {&Good, &GoodDer},   {&Other, &OtherDer}};
    int Step = 0;
    for (const auto& S : Steps) {
        SCOPED_TRACE(Step++);
        THandle Req, Conn;
        ASSERT_EQ(Get(FSession.Get(), S.Server->Port(), SECURITY_FLAG_IGNORE_CERT_CN_INVALID, &Req,
                      &Conn),
                  "");
        PCCERT_CONTEXT Cert = nullptr;
        DWORD Len = sizeof Cert;
        ASSERT_TRUE(WinHttpQueryOption(Req.Get(), WINHTTP_OPTION_SERVER_CERT_CONTEXT, &Cert, &Len));
        ASSERT_NE(Cert, nullptr);
        EXPECT_EQ(
            std::string(reinterpret_cast<const char*>(Cert->pbCertEncoded), Cert->cbCertEncoded),
            *S.Der);
        if (FreeCert) {
            EXPECT_TRUE(FreeCert(Cert));
        }
    }
}

TEST_F(WinHttpTlsOptions, IgnoredChecksAreTheCallersChoiceAndOnlyThose) {
    struct {
        const char* Cert;
        DWORD Ignore;
        std::string Outcome;
    } Cases[] = {
        {"self", 0, "send 12175"},
        {"self", SECURITY_FLAG_IGNORE_UNKNOWN_CA, ""},
        {"self", SECURITY_FLAG_IGNORE_CERT_DATE_INVALID, "send 12175"},
        {"expired", SECURITY_FLAG_IGNORE_CERT_DATE_INVALID, ""},
        {"expired", SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID,
         "send 12175"},
        {"wronghost", SECURITY_FLAG_IGNORE_CERT_CN_INVALID, ""},
        {"wronghost", SECURITY_FLAG_IGNORE_UNKNOWN_CA, "send 12175"},
        {"clientonly", SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE, ""},
        {"badsig", SECURITY_FLAG_IGNORE_ALL_CERT_ERRORS, "send 12175"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(std::string(C.Cert) + " ignoring " + std::to_string(C.Ignore));
        TTestServer Server(TlsArgs(C.Cert));
        THandle Session = NewSession();
        EXPECT_EQ(Get(Session.Get(), Server.Port(), C.Ignore), C.Outcome);
        // A later request that ignores nothing gets no connection or TLS session the lenient
        // one made: the certificate is checked again and refused.
        EXPECT_EQ(Get(Session.Get(), Server.Port(), 0), "send 12175");
    }
}

TEST_F(WinHttpTlsOptions, SecureProtocolsLimitTheVersions) {
    TTestServer Server(TlsArgs("good"));
    struct {
        const char* Name;
        DWORD Protocols;
        std::string Outcome;
    } Cases[] = {
        {"TLS 1.2 and 1.3",
         WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3, ""},
        {"TLS 1.3 only", WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3, ""},
        {"TLS 1.2 only", WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2, ""},
        {"TLS 1.1 only: below what the server takes", WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1,
         "send 12175"},
        {"SSL 3 only: nothing usable", WINHTTP_FLAG_SECURE_PROTOCOL_SSL3, "send 12175"},
        {"TLS 1.0 and 1.3 but not between",
         WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3, ""},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        THandle Session = NewSession();
        DWORD V = C.Protocols;
        ASSERT_TRUE(WinHttpSetOption(Session.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &V, sizeof V));
        EXPECT_EQ(Get(Session.Get(), Server.Port(), 0), C.Outcome);
    }
    // One session: a connection made under one rule is not used under a stricter one.
    THandle Session = NewSession();
    ASSERT_EQ(Get(Session.Get(), Server.Port(), 0), "");
    DWORD V = WINHTTP_FLAG_SECURE_PROTOCOL_SSL3;
    ASSERT_TRUE(WinHttpSetOption(Session.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &V, sizeof V));
    EXPECT_EQ(Get(Session.Get(), Server.Port(), 0), "send 12175");
}

}  // namespace Nimbra
