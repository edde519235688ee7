#include "Http2Server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace TestSupport {

namespace fs = std::filesystem;

namespace {

constexpr const char* NginxPath = "/usr/sbin/nginx";

int LoopbackSocket() {
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

sockaddr_in Loopback(int Port) {
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    A.sin_port = htons(static_cast<std::uint16_t>(Port));
    return A;
}

// A port free a moment ago; nginx may still lose it to another process, which Start retries.
int FreePort() {
    const int S = LoopbackSocket();
    sockaddr_in A = Loopback(0);
    socklen_t L = sizeof A;
    int Port = 0;
    if (S >= 0 && bind(S, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0 &&
        getsockname(S, reinterpret_cast<sockaddr*>(&A), &L) == 0)
        Port = ntohs(A.sin_port);
    if (S >= 0) close(S);
    return Port;
}

int Connect(int Port) {
    const int S = LoopbackSocket();
    if (S < 0) return -1;
    sockaddr_in A = Loopback(Port);
    if (connect(S, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) {
        close(S);
        return -1;
    }
    return S;
}

std::string ReadFile(const fs::path& P) {
    std::ifstream In(P);
    std::stringstream S;
    S << In.rdbuf();
    return S.str();
}

}  // namespace

THttp2Server::THttp2Server(std::vector<std::string> BackendArgs)
    : FBackend(std::make_unique<TTestServer>(std::move(BackendArgs))) {
    char Tmpl[] = "/tmp/ostrel-h2-nginx-XXXXXX";
    if (!mkdtemp(Tmpl)) throw std::runtime_error("mkdtemp failed");
    FDir = Tmpl;
    fs::create_directories(FDir / "tmp");
    for (int Attempt = 0; Attempt < 5 && FPid <= 0; ++Attempt) {
        FProbes = 0;
        Start(FreePort());
    }
    if (FPid <= 0) {
        const std::string Log = ReadFile(FDir / "error.log");
        std::error_code Ec;
        fs::remove_all(FDir, Ec);
        throw std::runtime_error("nginx did not start: " + Log);
    }
}

THttp2Server::~THttp2Server() {
    if (FPid > 0) {
        kill(FPid, SIGTERM);
        while (waitpid(FPid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    std::error_code Ec;
    fs::remove_all(FDir, Ec);
}

std::string THttp2Server::Url(std::string_view Path) const {
    return "https://127.0.0.1:" + std::to_string(FPort) + std::string(Path);
}

bool THttp2Server::Start(int Port) {
    const int StatusPort = FreePort();
    if (Port == 0 || StatusPort == 0 || Port == StatusPort) return false;
    const std::string D = FDir.string();
    const std::string Certs = TestCertDir();
    // Answers pass through as the test server gives them (no buffering either way, so slow
    // and endless bodies stay so); nginx turns them into HTTP/2 streams, dropping the
    // connection-specific headers HTTP/2 has no place for.
    std::ofstream(FDir / "nginx.conf")
        << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
        << "error_log " << D << "/error.log;\npid " << D << "/nginx.pid;\n"
        << "events { worker_connections 1024; }\n"
        << "http {\n  access_log off;\n  tcp_nodelay on;\n"
        << "  keepalive_requests 100000;\n  keepalive_timeout 120s;\n"
        << "  client_body_temp_path " << D << "/tmp;\n  proxy_temp_path " << D << "/tmp;\n"
        << "  fastcgi_temp_path " << D << "/tmp;\n  uwsgi_temp_path " << D << "/tmp;\n"
        << "  scgi_temp_path " << D << "/tmp;\n"
        << "  server {\n    listen 127.0.0.1:" << Port << " ssl http2;\n"
        << "    ssl_certificate " << Certs << "/good.pem;\n"
        << "    ssl_certificate_key " << Certs << "/good.key;\n"
        << "    client_max_body_size 0;\n"
        << "    location / {\n"
        << "      proxy_pass http://127.0.0.1:" << FBackend->Port() << ";\n"
        << "      proxy_http_version 1.1;\n      proxy_set_header Connection \"\";\n"
        << "      proxy_set_header Host $http_host;\n"
        << "      proxy_buffering off;\n      proxy_request_buffering off;\n"
        << "      proxy_read_timeout 300s;\n    }\n  }\n"
        << "  server {\n    listen 127.0.0.1:" << StatusPort << ";\n"
        << "    location / { stub_status; }\n  }\n}\n";
    const std::string Conf = D + "/nginx.conf", Log = D + "/error.log";
    const pid_t Pid = fork();
    if (Pid == 0) {
        // nginx goes when the test program does, even one that crashed.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int Null = open("/dev/null", O_RDWR);
        dup2(Null, 0);
        dup2(Null, 1);
        dup2(Null, 2);
        execl(NginxPath, "nginx", "-p", D.c_str(), "-c", Conf.c_str(), "-e", Log.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    if (Pid < 0) return false;
    for (int I = 0; I < 500; ++I) {
        const int S = Connect(StatusPort);
        const int T = S >= 0 ? Connect(Port) : -1;
        FProbes += (S >= 0) + (T >= 0);
        if (S >= 0) close(S);
        if (T >= 0) {
            close(T);
            FPid = Pid;
            FPort = Port;
            FStatusPort = StatusPort;
            return true;
        }
        if (waitpid(Pid, nullptr, WNOHANG) == Pid) return false;  // e.g. a port was taken
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(Pid, SIGKILL);
    waitpid(Pid, nullptr, 0);
    return false;
}

long THttp2Server::Accepted() const {
    // The status page counts every connection nginx accepted: the ones made to see whether
    // it was up, and each reading of the page, this one included.
    const int S = Connect(FStatusPort);
    if (S < 0) return -1;
    const std::string Ask = "GET / HTTP/1.0\r\nHost: status\r\n\r\n";
    if (write(S, Ask.data(), Ask.size()) != static_cast<ssize_t>(Ask.size())) {
        close(S);
        return -1;
    }
    std::string Page;
    char Buf[1024];
    for (ssize_t N; (N = read(S, Buf, sizeof Buf)) > 0;)
        Page.append(Buf, static_cast<std::size_t>(N));
    close(S);
    // "... server accepts handled requests\n 12 12 40 \n..."
    const std::size_t At = Page.find("requests\n");
    if (At == std::string::npos) return -1;
    const long Accepts = std::strtol(Page.c_str() + At + 9, nullptr, 10);
    ++FReadings;
    return Accepts - FProbes - FReadings;
}

bool TH2Peer::Available() {
    return *OSTREL_H2_PYTHON != 0;
}

TH2Peer::TH2Peer() {
    if (!Available())
        throw std::runtime_error("no Python with the h2 package (Debian: python3-h2)");
    const std::string Certs = TestCertDir();
    FProcess = std::make_unique<TPortReportingProcess>(
        "h2peer.py",
        std::vector<std::string>{OSTREL_H2_PYTHON, "-u", TTestServer::SupportDir() + "/h2peer.py",
                                 "--tls", Certs + "/good.pem", Certs + "/good.key"});
}

TH2Peer::~TH2Peer() = default;

int TH2Peer::Port() const {
    return FProcess->Port();
}

}  // namespace TestSupport
