// The local test server that integration and GUI tests rely on, spoken to over raw sockets.

#ifdef _WIN32
#include <winsock2.h>
#include <process.h>
#endif

#include "TestServer.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

namespace {

using TestSupport::TTestServer;

#ifdef _WIN32
// The test server fixture has started Winsock before any connection is made here.
using TSocket = SOCKET;
constexpr int MSG_NOSIGNAL = 0;
void CloseSocket(SOCKET S) {
    closesocket(S);
}
int ProcessId() {
    return _getpid();
}
#else
using TSocket = int;
void CloseSocket(int S) {
    close(S);
}
int ProcessId() {
    return getpid();
}
#endif

struct TAnswer {
    int Status = 0;
    std::map<std::string, std::string> Headers;  // names in lower case
    std::string Body;
};

// One TCP connection; answers are framed by Content-Length, which the server always sends
// when there is a body.
class TConnection {
  public:
    explicit TConnection(int Port) {
#ifdef _WIN32
        FSocket = socket(AF_INET, SOCK_STREAM, 0);
#else
        FSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_port = htons(static_cast<uint16_t>(Port));
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        FConnected = connect(FSocket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0;
    }
    ~TConnection() { CloseSocket(FSocket); }
    bool Connected() const { return FConnected; }

    TAnswer Get(const std::string& Target, const std::string& ExtraHeaders = "") {
        const std::string Request =
            "GET " + Target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + ExtraHeaders + "\r\n";
        if (send(FSocket, Request.data(), static_cast<int>(Request.size()), MSG_NOSIGNAL) !=
            static_cast<int>(Request.size()))
            throw std::runtime_error("send failed");
        size_t HeadEnd;
        while ((HeadEnd = FBuffer.find("\r\n\r\n")) == std::string::npos) Fill();
        TAnswer Answer;
        const std::string Head = FBuffer.substr(0, HeadEnd);
        FBuffer.erase(0, HeadEnd + 4);
        Answer.Status = std::atoi(Head.substr(Head.find(' ') + 1, 3).c_str());
        size_t Line = Head.find("\r\n");
        while (Line != std::string::npos) {
            const size_t Next = Head.find("\r\n", Line + 2);
            const std::string Field = Head.substr(Line + 2, Next - Line - 2);
            const size_t Colon = Field.find(':');
            std::string Name = Field.substr(0, Colon);
            for (char& C : Name) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
            Answer.Headers[Name] = Field.substr(Field.find_first_not_of(' ', Colon + 1));
            Line = Next;
        }
        const auto Length = Answer.Headers.find("content-length");
        const size_t Size = Length == Answer.Headers.end() ? 0 : std::stoul(Length->second);
        while (FBuffer.size() < Size) Fill();
        Answer.Body = FBuffer.substr(0, Size);
        FBuffer.erase(0, Size);
        return Answer;
    }

  private:
    void Fill() {
        char Chunk[65536];
        const auto N = recv(FSocket, Chunk, sizeof Chunk, 0);
        if (N <= 0) throw std::runtime_error("connection closed");
        FBuffer.append(Chunk, static_cast<size_t>(N));
    }

    TSocket FSocket;
    bool FConnected = false;
    std::string FBuffer;
};

TEST(TestServerTest, ServesEveryRouteOnOneKeptAliveConnection) {
    TTestServer Server;
    EXPECT_EQ(Server.Url("/x"), "http://127.0.0.1:" + std::to_string(Server.Port()) + "/x");
    TConnection Connection(Server.Port());
    ASSERT_TRUE(Connection.Connected());

    struct TCase {
        const char* Target;
        int Status;
        const char* Body;
    };
    const TCase Cases[] = {
        {"/status/201", 201, "status 201\n"},
        {"/status/204", 204, ""},
        {"/status/599", 599, "status 599\n"},
        {"/delay/1", 200, "delayed 1\n"},
        {"/redirect-no-location/302", 302, "redirect 302 without location\n"},
        {"/nowhere", 404, "no route for /nowhere\n"},
        {"/status/abc", 400, "bad status code\n"},
        {"/status/1000", 400, "bad status code\n"},
        {"/bytes/-1", 400, "bad size\n"},
        {"/redirect?code=200&to=/", 400, "redirect needs to= and a 3xx code=\n"},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Target);
        const TAnswer Answer = Connection.Get(C.Target);
        EXPECT_EQ(Answer.Status, C.Status);
        EXPECT_EQ(Answer.Body, C.Body);
    }
}

TEST(TestServerTest, BytesFollowTheDocumentedPattern) {
    TTestServer Server;
    TConnection Connection(Server.Port());
    for (int Size : {0, 1, 251, 252, 65536 + 7, 300000}) {
        SCOPED_TRACE(Size);
        const TAnswer Answer = Connection.Get("/bytes/" + std::to_string(Size));
        EXPECT_EQ(Answer.Status, 200);
        ASSERT_EQ(Answer.Body.size(), static_cast<size_t>(Size));
        for (int I = 0; I < Size; ++I) {
            if (static_cast<unsigned char>(Answer.Body[I]) != I % 251) {
                ADD_FAILURE() << "byte " << I;
                break;
            }
        }
    }
}

TEST(TestServerTest, RedirectAndEcho) {
    TTestServer Server;
    TConnection Connection(Server.Port());

    TAnswer Redirect = Connection.Get("/redirect?to=%2Fstatus%2F200%3Fa%3Db&code=307");
    EXPECT_EQ(Redirect.Status, 307);
    EXPECT_EQ(Redirect.Headers["location"], "/status/200?a=b");
    EXPECT_EQ(Connection.Get("/redirect?to=/x").Status, 302);
    EXPECT_EQ(Connection.Get("/redirect-no-location/301").Headers.count("location"), 0u);

    const TAnswer Echo = Connection.Get("/echo/path?q=1", "X-Probe: one two\r\n");
    EXPECT_EQ(Echo.Status, 200);
    EXPECT_EQ(Echo.Body.rfind("GET /echo/path?q=1 HTTP/1.1\n", 0), 0u) << Echo.Body;
    EXPECT_NE(Echo.Body.find("\nX-Probe: one two\n"), std::string::npos) << Echo.Body;
}

// Other areas add routes through routes_*.py modules; this one comes from a folder of its own.
TEST(TestServerTest, LoadsRouteModules) {
    const auto Folder =
        std::filesystem::temp_directory_path() / ("ostrel-routes-" + std::to_string(ProcessId()));
    std::filesystem::create_directories(Folder);
    std::ofstream(Folder / "routes_probe.py") << "def probe(req, rest, query):\n"
                                                 "    req.respond(299, ('%s|%s|%d' % (rest, "
                                                 "query.get('k'), req.server.connection_count))"
                                                 ".encode())\n"
                                                 "ROUTES = {'/probe': probe}\n";
    {
        TTestServer Server({"--routes-dir", Folder.string()});
        TConnection Connection(Server.Port());
        const TAnswer Answer = Connection.Get("/probe/tail?k=v");
        EXPECT_EQ(Answer.Status, 299);
        EXPECT_EQ(Answer.Body, "/tail|v|1");
        EXPECT_EQ(Connection.Get("/status/200").Status, 200);  // built-ins stay
    }
    std::filesystem::remove_all(Folder);
}

TEST(TestServerTest, StopsWithTheFixture) {
    int Port;
    {
        TTestServer Server;
        Port = Server.Port();
        EXPECT_TRUE(TConnection(Port).Connected());
    }
    EXPECT_FALSE(TConnection(Port).Connected());
}

TEST(TestServerTest, BadArgumentsAreReportedNotHung) {
    EXPECT_THROW(TTestServer({"--tls", "/nonexistent/cert.pem", "/nonexistent/key.pem"}),
                 std::runtime_error);
}

}  // namespace
