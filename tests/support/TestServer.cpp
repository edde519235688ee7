#include "TestServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace TestSupport {

namespace {

// Generous: a loaded CI machine may take a while to start Python.
constexpr int StartTimeoutMs = 30000;

std::string ReadFirstLine(int Fd) {
    std::string Line;
    for (;;) {
        pollfd P{Fd, POLLIN, 0};
        const int Ready = poll(&P, 1, StartTimeoutMs);
        if (Ready < 0 && errno == EINTR) continue;
        if (Ready <= 0) throw std::runtime_error("it did not report its port in time");
        char C;
        const ssize_t N = read(Fd, &C, 1);
        if (N < 0 && errno == EINTR) continue;
        if (N <= 0) throw std::runtime_error("it ended before reporting its port");
        if (C == '\n') return Line;
        Line += C;
    }
}

}  // namespace

TPortReportingProcess::TPortReportingProcess(const std::string& Name,
                                             std::vector<std::string> Args) {
    int In[2], Out[2];
    if (pipe2(In, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (pipe2(Out, O_CLOEXEC) != 0) {
        close(In[0]);
        close(In[1]);
        throw std::runtime_error("pipe failed");
    }

    std::vector<char*> Argv;
    for (auto& A : Args) Argv.push_back(A.data());
    Argv.push_back(nullptr);

    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, In[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&Actions, Out[1], STDOUT_FILENO);
    const int Rc = posix_spawnp(&FPid, Argv[0], &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    close(In[0]);
    close(Out[1]);
    FStdin = In[1];
    FStdout = Out[0];
    if (Rc != 0) {
        FPid = -1;
        Stop();
        throw std::runtime_error("could not start " + Args[0]);
    }

    try {
        const std::string Line = ReadFirstLine(FStdout);
        if (Line.rfind("PORT ", 0) != 0) throw std::runtime_error("it said: " + Line);
        FPort = std::stoi(Line.substr(5));
    } catch (const std::exception& E) {
        Stop();
        throw std::runtime_error(Name + " did not start: " + E.what());
    }
}

TPortReportingProcess::~TPortReportingProcess() {
    Stop();
}

void TPortReportingProcess::Stop() noexcept {
    if (FStdin >= 0) close(FStdin);
    if (FPid > 0) {
        kill(FPid, SIGTERM);
        while (waitpid(FPid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (FStdout >= 0) close(FStdout);
    FStdin = FStdout = -1;
    FPid = -1;
}

std::string TTestServer::SupportDir() {
    return OSTREL_TEST_SUPPORT_DIR;
}

TTestServer::TTestServer(std::vector<std::string> ExtraArgs) {
    FTls = std::find(ExtraArgs.begin(), ExtraArgs.end(), "--tls") != ExtraArgs.end();
    std::vector<std::string> Args = {OSTREL_PYTHON3, "-u", SupportDir() + "/testserver.py"};
    Args.insert(Args.end(), ExtraArgs.begin(), ExtraArgs.end());
    FProcess = std::make_unique<TPortReportingProcess>("the test server", std::move(Args));
    FPort = FProcess->Port();
}

TTestServer::~TTestServer() = default;

std::string TTestServer::Url(std::string_view Path) const {
    return std::string(FTls ? "https://" : "http://") + Host() + ":" + std::to_string(FPort) +
           std::string(Path);
}

TRefusingPort::TRefusingPort() {
    FSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FSocket < 0) throw std::runtime_error("socket failed");
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Length = sizeof Address;
    if (bind(FSocket, reinterpret_cast<sockaddr*>(&Address), Length) != 0 ||
        getsockname(FSocket, reinterpret_cast<sockaddr*>(&Address), &Length) != 0) {
        close(FSocket);
        throw std::runtime_error("bind failed");
    }
    FPort = ntohs(Address.sin_port);
}

TRefusingPort::~TRefusingPort() {
    close(FSocket);
}

TSilentPeer::TSilentPeer() {
    FListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FListener < 0) throw std::runtime_error("socket failed");
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Length = sizeof Address;
    if (bind(FListener, reinterpret_cast<sockaddr*>(&Address), Length) != 0 ||
        getsockname(FListener, reinterpret_cast<sockaddr*>(&Address), &Length) != 0 ||
        listen(FListener, 8) != 0 || pipe2(FWake, O_CLOEXEC) != 0) {
        close(FListener);
        throw std::runtime_error("listen failed");
    }
    FPort = ntohs(Address.sin_port);
    FThread = std::thread([this] { Serve(); });
}

TSilentPeer::~TSilentPeer() {
    const char C = 'x';
    if (write(FWake[1], &C, 1) != 1) std::abort();
    FThread.join();
    close(FWake[0]);
    close(FWake[1]);
    close(FListener);
}

std::string TSilentPeer::Url(std::string_view Path) const {
    return "http://127.0.0.1:" + std::to_string(FPort) + std::string(Path);
}

bool TSilentPeer::WaitForRequest(int Count) {
    std::unique_lock<std::mutex> Lock(FLock);
    return FArrived.wait_for(Lock, std::chrono::seconds(30), [&] { return FRequests >= Count; });
}

void TSilentPeer::Serve() {
    struct TPeer {
        int Fd;
        std::string Head;
    };
    std::vector<TPeer> Peers;
    for (;;) {
        std::vector<pollfd> Fds{{FWake[0], POLLIN, 0}, {FListener, POLLIN, 0}};
        for (const TPeer& P : Peers) Fds.push_back({P.Fd, POLLIN, 0});
        if (poll(Fds.data(), Fds.size(), -1) < 0 && errno != EINTR) break;
        if (Fds[0].revents) break;
        if (Fds[1].revents & POLLIN) {
            const int Fd = accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
            if (Fd >= 0) Peers.push_back({Fd, {}});
        }
        for (std::size_t I = 2; I < Fds.size(); ++I) {
            if (!Fds[I].revents) continue;
            TPeer& P = Peers[I - 2];
            char Buf[4096];
            const ssize_t N = read(P.Fd, Buf, sizeof Buf);
            if (N <= 0) {
                close(P.Fd);
                P.Fd = -1;  // poll skips it from now on
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
        if (P.Fd >= 0) close(P.Fd);
}

const std::string& TestCertDir() {
    static const std::string Dir = [] {
        const std::string D =
            (std::filesystem::temp_directory_path() / ("ostrel-certs-" + std::to_string(getpid())))
                .string();
        const std::string Cmd =
            TTestServer::SupportDir() + "/make-test-certs '" + D + "' >/dev/null 2>&1";
        if (std::system(Cmd.c_str()) != 0)
            throw std::runtime_error("certificate generation failed: " + Cmd);
        return D;
    }();
    return Dir;
}

void TrustTestCa() {
    // libwinhttp is libcurl underneath, which takes a trust store from the environment.
    setenv("CURL_CA_BUNDLE", (TestCertDir() + "/ca.pem").c_str(), 1);
}

}  // namespace TestSupport
