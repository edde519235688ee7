// The test server for Windows programs: testserver_launcher.py, started on the Linux side by
// scripts/run-windows-tests, starts testserver.py for each server a test asks for, with the
// test's loopback connection as the server's stdin and stdout.

#include "TestServer.h"

// In this order: Winsock before windows.h, and windows.h before what builds on it.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <ws2tcpip.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace TestSupport {

namespace {

// Generous: a loaded CI machine may take a while to start Python.
constexpr DWORD StartTimeoutMs = 30000;

void StartWinsock() {
    static const bool Started = [] {
        WSADATA Data;
        return WSAStartup(MAKEWORD(2, 2), &Data) == 0;
    }();
    if (!Started) throw std::runtime_error("WSAStartup failed");
}

SOCKET LoopbackSocket(sockaddr_in& Address) {
    StartWinsock();
    const SOCKET S = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (S == INVALID_SOCKET) throw std::runtime_error("socket failed");
    Address = {};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return S;
}

int LauncherPort() {
    const char* Value = std::getenv("OSTREL_TEST_SERVER_LAUNCHER");
    const int Port = Value ? std::atoi(Value) : 0;
    if (Port <= 0 || Port > 65535)
        throw std::runtime_error(
            "OSTREL_TEST_SERVER_LAUNCHER names no port: run Windows tests through "
            "scripts/run-windows-tests");
    return Port;
}

void SendAll(SOCKET S, const std::string& Data) {
    std::size_t Sent = 0;
    while (Sent < Data.size()) {
        const int N = send(S, Data.data() + Sent, static_cast<int>(Data.size() - Sent), 0);
        if (N <= 0) throw std::runtime_error("could not reach the test server launcher");
        Sent += static_cast<std::size_t>(N);
    }
}

std::string ReadFirstLine(SOCKET S) {
    std::string Line;
    for (;;) {
        char C;
        const int N = recv(S, &C, 1, 0);
        if (N < 0 && WSAGetLastError() == WSAETIMEDOUT)
            throw std::runtime_error("test server did not report its port in time");
        if (N <= 0) throw std::runtime_error("test server ended before reporting its port");
        if (C == '\n') return Line;
        Line += C;
    }
}

}  // namespace

std::string TTestServer::SupportDir() {
    return OSTREL_TEST_SUPPORT_DIR;
}

TTestServer::TTestServer(std::vector<std::string> ExtraArgs) {
    FTls = std::find(ExtraArgs.begin(), ExtraArgs.end(), "--tls") != ExtraArgs.end();

    sockaddr_in Address;
    const SOCKET S = LoopbackSocket(Address);
    FConnection = S;
    try {
        Address.sin_port = htons(static_cast<u_short>(LauncherPort()));
        if (connect(S, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0)
            throw std::runtime_error("could not reach the test server launcher");
        std::string Request;
        for (const auto& A : ExtraArgs) {
            if (A.find('\n') != std::string::npos)
                throw std::runtime_error("test server argument with a line break");
            Request += A + "\n";
        }
        SendAll(S, Request + "\n");
        const DWORD Timeout = StartTimeoutMs;
        setsockopt(S, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&Timeout),
                   sizeof Timeout);
        const std::string Line = ReadFirstLine(S);
        if (Line.rfind("PORT ", 0) != 0) throw std::runtime_error("test server said: " + Line);
        FPort = std::stoi(Line.substr(5));
    } catch (...) {
        Stop();
        throw;
    }
}

TTestServer::~TTestServer() {
    Stop();
}

void TTestServer::Stop() noexcept {
    const SOCKET S = static_cast<SOCKET>(FConnection);
    if (S == INVALID_SOCKET) return;
    // End of input tells the server to end; its end of output says it has, as waiting for a
    // child does on Linux. The wait is bounded so a stuck server cannot hang the test.
    shutdown(S, SD_SEND);
    const DWORD Timeout = StartTimeoutMs;
    setsockopt(S, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&Timeout), sizeof Timeout);
    char Buf[256];
    while (recv(S, Buf, sizeof Buf, 0) > 0) {
    }
    closesocket(S);
    FConnection = static_cast<std::uintptr_t>(INVALID_SOCKET);
}

std::string TTestServer::Url(std::string_view Path) const {
    return std::string(FTls ? "https://" : "http://") + Host() + ":" + std::to_string(FPort) +
           std::string(Path);
}

TRefusingPort::TRefusingPort() {
    sockaddr_in Address;
    const SOCKET S = LoopbackSocket(Address);
    int Length = sizeof Address;
    if (bind(S, reinterpret_cast<sockaddr*>(&Address), Length) != 0 ||
        getsockname(S, reinterpret_cast<sockaddr*>(&Address), &Length) != 0) {
        closesocket(S);
        throw std::runtime_error("bind failed");
    }
    FSocket = S;
    FPort = ntohs(Address.sin_port);
}

TRefusingPort::~TRefusingPort() {
    closesocket(static_cast<SOCKET>(FSocket));
}

TSilentPeer::TSilentPeer() {
    sockaddr_in Address;
    const SOCKET S = LoopbackSocket(Address);
    int Length = sizeof Address;
    if (bind(S, reinterpret_cast<sockaddr*>(&Address), Length) != 0 ||
        getsockname(S, reinterpret_cast<sockaddr*>(&Address), &Length) != 0 || listen(S, 8) != 0) {
        closesocket(S);
        throw std::runtime_error("listen failed");
    }
    FListener = S;
    FPort = ntohs(Address.sin_port);
    FThread = std::thread([this] { Serve(); });
}

TSilentPeer::~TSilentPeer() {
    {
        std::lock_guard<std::mutex> Lock(FLock);
        FStopping = true;
    }
    FThread.join();
    closesocket(static_cast<SOCKET>(FListener));
}

std::string TSilentPeer::Url(std::string_view Path) const {
    return "http://127.0.0.1:" + std::to_string(FPort) + std::string(Path);
}

bool TSilentPeer::WaitForRequest(int Count) {
    std::unique_lock<std::mutex> Lock(FLock);
    return FArrived.wait_for(Lock, std::chrono::seconds(30), [&] { return FRequests >= Count; });
}

void TSilentPeer::Serve() {
    // Winsock has no pipe to wake a wait with, so the loop looks at the stop flag between
    // short waits.
    struct TPeer {
        SOCKET Fd;
        std::string Head;
    };
    std::vector<TPeer> Peers;
    const SOCKET Listener = static_cast<SOCKET>(FListener);
    for (;;) {
        {
            std::lock_guard<std::mutex> Lock(FLock);
            if (FStopping) break;
        }
        // Peers that closed are dropped before the next wait.
        Peers.erase(std::remove_if(Peers.begin(), Peers.end(),
                                   [](const TPeer& P) { return P.Fd == INVALID_SOCKET; }),
                    Peers.end());
        std::vector<WSAPOLLFD> Fds{{Listener, POLLRDNORM, 0}};
        for (const TPeer& P : Peers) Fds.push_back({P.Fd, POLLRDNORM, 0});
        if (WSAPoll(Fds.data(), static_cast<ULONG>(Fds.size()), 50) < 0) break;
        if (Fds[0].revents & POLLRDNORM) {
            const SOCKET Fd = accept(Listener, nullptr, nullptr);
            if (Fd != INVALID_SOCKET) Peers.push_back({Fd, {}});
        }
        for (std::size_t I = 1; I < Fds.size(); ++I) {
            if (!Fds[I].revents) continue;
            TPeer& P = Peers[I - 1];
            char Buf[4096];
            const int N = recv(P.Fd, Buf, sizeof Buf, 0);
            if (N <= 0) {
                closesocket(P.Fd);
                P.Fd = INVALID_SOCKET;
                continue;
            }
            const bool Before = P.Head.find("\r\n\r\n") != std::string::npos;
            P.Head.append(Buf, static_cast<std::size_t>(N));
            if (!Before && P.Head.find("\r\n\r\n") != std::string::npos) {
                std::lock_guard<std::mutex> Lock(FLock);
                ++FRequests;
                FArrived.notify_all();
            }
        }
    }
    for (const TPeer& P : Peers)
        if (P.Fd != INVALID_SOCKET) closesocket(P.Fd);
}

const std::string& TestCertDir() {
    static const std::string Dir = [] {
        const char* Value = std::getenv("OSTREL_TEST_CERT_DIR");
        if (!Value || !*Value)
            throw std::runtime_error(
                "OSTREL_TEST_CERT_DIR names no folder: run Windows tests through "
                "scripts/run-windows-tests");
        return std::string(Value);
    }();
    return Dir;
}

void TrustTestCa() {
    std::ifstream File(TestCertDir() + "/ca.pem", std::ios::binary);
    std::stringstream Pem;
    Pem << File.rdbuf();
    const std::string Text = Pem.str();
    DWORD Size = 0;
    if (Text.empty() ||
        !CryptStringToBinaryA(Text.data(), static_cast<DWORD>(Text.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &Size, nullptr, nullptr))
        throw std::runtime_error("cannot read the test CA");
    std::string Der(Size, '\0');
    CryptStringToBinaryA(Text.data(), static_cast<DWORD>(Text.size()), CRYPT_STRING_BASE64HEADER,
                         reinterpret_cast<BYTE*>(Der.data()), &Size, nullptr, nullptr);
    const HCERTSTORE Root = CertOpenSystemStoreW(0, L"ROOT");
    if (!Root) throw std::runtime_error("cannot open the root store");
    const BOOL Added = CertAddEncodedCertificateToStore(Root, X509_ASN_ENCODING,
                                                        reinterpret_cast<const BYTE*>(Der.data()),
                                                        Size, CERT_STORE_ADD_USE_EXISTING, nullptr);
    CertCloseStore(Root, 0);
    if (!Added) throw std::runtime_error("cannot add the test CA to the root store");
}

}  // namespace TestSupport
