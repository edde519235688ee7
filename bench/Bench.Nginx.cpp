#include "Bench.Nginx.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace Bench {

namespace fs = std::filesystem;

namespace {

int FreePort() {
    int S = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(S, reinterpret_cast<sockaddr*>(&A), sizeof A);
    socklen_t L = sizeof A;
    getsockname(S, reinterpret_cast<sockaddr*>(&A), &L);
    close(S);
    return ntohs(A.sin_port);
}

bool Accepts(int Port) {
    int S = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    A.sin_port = htons(static_cast<std::uint16_t>(Port));
    bool Ok = connect(S, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0;
    close(S);
    return Ok;
}

}  // namespace

TNginx::TNginx(const std::vector<TServedFile>& Files, TNginxOptions Options) : FOptions(Options) {
    if (FOptions.Http2 && !FOptions.Tls)
        throw std::invalid_argument("nginx: HTTP/2 is served on TLS only");
    char Tmpl[] = "/tmp/ostrel-bench-nginx-XXXXXX";
    if (!mkdtemp(Tmpl)) throw std::runtime_error("mkdtemp failed");
    FDir = Tmpl;
    try {
        fs::create_directories(FDir / "www");
        fs::create_directories(FDir / "tmp");
        for (const TServedFile& F : Files) {
            const fs::path P = FDir / "www" / F.Name;
            if (F.SparseSize == 0) {
                std::ofstream(P, std::ios::binary) << F.Content;
                continue;
            }
            const int Fd = open(P.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            const bool Ok = Fd >= 0 && ftruncate(Fd, static_cast<off_t>(F.SparseSize)) == 0;
            if (Fd >= 0) close(Fd);
            if (!Ok) throw std::runtime_error("cannot make " + P.string());
        }
        if (FOptions.Tls) {
            // EC P-256: made in a few milliseconds; valid for the address the clients use.
            const std::string D = FDir.string();
            const std::string Cmd =
                "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
                "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout '" +
                D + "/server.key' -out '" + D + "/server.pem' >/dev/null 2>&1";
            if (std::system(Cmd.c_str()) != 0)
                throw std::runtime_error("openssl could not make the server's certificate");
        }
        for (int Attempt = 0; Attempt < 5 && FPid <= 0; ++Attempt) Start(FreePort());
        if (FPid <= 0)
            throw std::runtime_error("nginx did not start; see " + (FDir / "error.log").string());
    } catch (...) {
        // The error log stays for reading; the served files go.
        std::error_code Ec;
        fs::remove_all(FDir / "www", Ec);
        throw;
    }
}

TNginx::~TNginx() {
    if (FPid > 0) {
        kill(FPid, SIGTERM);
        waitpid(FPid, nullptr, 0);
    }
    std::error_code Ec;
    fs::remove_all(FDir, Ec);
}

std::string TNginx::Url(const std::string& File) const {
    return (FOptions.Tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(FPort) +
           "/" + File;
}

std::string TNginx::CaFile() const {
    return FOptions.Tls ? (FDir / "server.pem").string() : std::string();
}

void TNginx::Start(int Port) {
    const std::string D = FDir.string();
    std::ofstream Conf(FDir / "nginx.conf");
    Conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
         << "error_log " << D << "/error.log;\npid " << D << "/nginx.pid;\n"
         << (FOptions.Connections > 64
                 ? "worker_rlimit_nofile " + std::to_string(FOptions.Connections * 2 + 64) + ";\n"
                 : std::string())
         << "events { worker_connections " << FOptions.Connections << "; }\n"
         << "http {\n  access_log off;\n  sendfile on;\n  tcp_nodelay on;\n"
         << "  keepalive_requests 10000000;\n  keepalive_timeout 120s;\n"
         << "  client_body_temp_path " << D << "/tmp;\n  proxy_temp_path " << D << "/tmp;\n"
         << "  fastcgi_temp_path " << D << "/tmp;\n  uwsgi_temp_path " << D << "/tmp;\n"
         << "  scgi_temp_path " << D << "/tmp;\n"
         << "  server {\n    listen 127.0.0.1:" << Port << (FOptions.Tls ? " ssl" : "")
         << (FOptions.Http2 ? " http2" : "") << ";\n    root " << D << "/www;\n";
    if (FOptions.Tls)
        Conf << "    ssl_certificate " << D << "/server.pem;\n    ssl_certificate_key " << D
             << "/server.key;\n";
    Conf << "  }\n}\n";
    Conf.close();
    pid_t Pid = fork();
    if (Pid == 0) {
        int Null = open("/dev/null", O_RDWR);
        dup2(Null, 0);
        dup2(Null, 1);
        dup2(Null, 2);
        execl("/usr/sbin/nginx", "nginx", "-p", D.c_str(), "-c", (D + "/nginx.conf").c_str(), "-e",
              (D + "/error.log").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (Pid < 0) return;
    for (int I = 0; I < 200; ++I) {
        if (Accepts(Port)) {
            FPid = Pid;
            FPort = Port;
            return;
        }
        if (waitpid(Pid, nullptr, WNOHANG) == Pid) return;  // e.g. the port was taken
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(Pid, SIGKILL);
    waitpid(Pid, nullptr, 0);
}

}  // namespace Bench
