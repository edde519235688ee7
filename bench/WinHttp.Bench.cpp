// libwinhttp against raw libcurl, in one run, on an nginx started here on 127.0.0.1:
//  - sequential keep-alive GETs of a small file: through the library as the engine does it
//    (connect, open request, send, receive, read to the end, close) against one reused curl
//    easy handle;
//  - one 256 MiB body: through WinHttpReadData into a 512 KiB buffer against curl with a
//    512 KiB receive buffer; the process's peak memory growth is recorded for the library.
// Both sides send the same request bytes to the same nginx and URLs. Rounds of the two
// alternate so that drift hits both; the ratios (library / curl) printed at the end are the
// best round against the best round and the median of the per-round ratios.

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Nimbra.WinHttp.Api.h"

namespace Nimbra {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t SmallSize = 1024;
constexpr std::size_t LargeSize = std::size_t{256} << 20;
constexpr long CurlBuffer = 512 * 1024;
constexpr DWORD ReadBuffer = 512 * 1024;
constexpr int Rounds = 5;

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

/// nginx serving a temporary folder on 127.0.0.1, from construction to destruction.
class TNginx {
  public:
    TNginx() {
        char Tmpl[] = "/tmp/ostrel-bench-nginx-XXXXXX";
        if (!mkdtemp(Tmpl)) throw std::runtime_error("mkdtemp failed");
        FDir = Tmpl;
        fs::create_directories(FDir / "www");
        fs::create_directories(FDir / "tmp");
        std::ofstream(FDir / "www" / "small.txt") << std::string(SmallSize, 'x');
        {
            // Sparse: the page cache serves zeros, so disk speed does not enter the figures.
            int F = open((FDir / "www" / "large.bin").c_str(), O_CREAT | O_WRONLY, 0644);
            if (F < 0 || ftruncate(F, static_cast<off_t>(LargeSize)) != 0)
                throw std::runtime_error("large file");
            close(F);
        }
        for (int Attempt = 0; Attempt < 5 && FPid <= 0; ++Attempt) Start(FreePort());
        if (FPid <= 0)
            throw std::runtime_error("nginx did not start; see " + (FDir / "error.log").string());
    }
    ~TNginx() {
        if (FPid > 0) {
            kill(FPid, SIGTERM);
            waitpid(FPid, nullptr, 0);
        }
        std::error_code Ec;
        fs::remove_all(FDir, Ec);
    }
    int Port() const { return FPort; }

  private:
    void Start(int Port) {
        const std::string D = FDir.string();
        std::ofstream(FDir / "nginx.conf")
            << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
            << "error_log " << D << "/error.log;\npid " << D << "/nginx.pid;\n"
            << "events { worker_connections 64; }\n"
            << "http {\n  access_log off;\n  sendfile on;\n  tcp_nodelay on;\n"
            << "  keepalive_requests 10000000;\n  keepalive_timeout 120s;\n"
            << "  client_body_temp_path " << D << "/tmp;\n  proxy_temp_path " << D << "/tmp;\n"
            << "  fastcgi_temp_path " << D << "/tmp;\n  uwsgi_temp_path " << D << "/tmp;\n"
            << "  scgi_temp_path " << D << "/tmp;\n"
            << "  server {\n    listen 127.0.0.1:" << Port << ";\n    root " << D
            << "/www;\n  }\n}\n";
        pid_t Pid = fork();
        if (Pid == 0) {
            int Null = open("/dev/null", O_RDWR);
            dup2(Null, 0);
            dup2(Null, 1);
            dup2(Null, 2);
            execl("/usr/sbin/nginx", "nginx", "-p", D.c_str(), "-c", (D + "/nginx.conf").c_str(),
                  "-e", (D + "/error.log").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
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

    fs::path FDir;
    pid_t FPid = -1;
    int FPort = 0;
};

TNginx* GNginx = nullptr;
int GRound = 0;                                          // the round now running
std::map<std::string, double> GBest;                     // best rate per measurement
std::map<std::string, std::map<int, double>> GPerRound;  // best rate of each round
double GPeakGrowthMiB = 0;

void Record(const std::string& Name, double Rate) {
    double& B = GBest[Name];
    if (Rate > B) B = Rate;
    double& R = GPerRound[Name][GRound];
    if (Rate > R) R = Rate;
}

// Median over the rounds of A / B within one round: the two ran next to each other in time,
// so load from elsewhere on the machine hits both sides of each ratio alike.
double PairedMedian(const std::string& A, const std::string& B) {
    std::vector<double> R;
    for (const auto& [Round, X] : GPerRound[A]) {
        auto Y = GPerRound[B].find(Round);
        if (Y != GPerRound[B].end()) R.push_back(X / Y->second);
    }
    if (R.empty()) return 0;
    std::sort(R.begin(), R.end());
    return R.size() % 2 ? R[R.size() / 2] : (R[R.size() / 2 - 1] + R[R.size() / 2]) / 2;
}

std::string UrlOf(const char* File) {
    return "http://127.0.0.1:" + std::to_string(GNginx->Port()) + "/" + File;
}

long StatusKiB(const char* Field) {
    std::ifstream In("/proc/self/status");
    std::string Line;
    while (std::getline(In, Line))
        if (Line.rfind(Field, 0) == 0) return std::atol(Line.c_str() + std::strlen(Field));
    return 0;
}

std::size_t CountBytes(char*, std::size_t Size, std::size_t N, void* User) {
    *static_cast<std::size_t*>(User) += Size * N;
    return Size * N;
}

using TClock = std::chrono::steady_clock;

// CPU time of this thread: on a shared machine it varies far less than elapsed time.
double ThreadCpu() {
    timespec T{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
    return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_nsec) / 1e9;
}

// The raw curl side sends the very request the library sends (its user agent, no Accept
// line), so that both pay for the same header bytes and the ratio shows the layer alone.
class TSameRequest {
  public:
    TSameRequest() : FHeaders(curl_slist_append(nullptr, "Accept:")) {}
    ~TSameRequest() { curl_slist_free_all(FHeaders); }
    TSameRequest(const TSameRequest&) = delete;
    TSameRequest& operator=(const TSameRequest&) = delete;
    void Apply(CURL* E) const {
        curl_easy_setopt(E, CURLOPT_USERAGENT, "Bench");
        curl_easy_setopt(E, CURLOPT_HTTPHEADER, FHeaders);
    }

  private:
    curl_slist* FHeaders;
};

void CurlSmallGets(benchmark::State& State) {
    CURL* E = curl_easy_init();
    std::size_t Got = 0;
    const std::string U = UrlOf("small.txt");
    curl_easy_setopt(E, CURLOPT_URL, U.c_str());
    curl_easy_setopt(E, CURLOPT_WRITEFUNCTION, &CountBytes);
    curl_easy_setopt(E, CURLOPT_WRITEDATA, &Got);
    curl_easy_setopt(E, CURLOPT_NOSIGNAL, 1L);
    TSameRequest Same;
    Same.Apply(E);
    auto T0 = TClock::now();
    double C0 = ThreadCpu();
    for (auto _ : State)
        if (curl_easy_perform(E) != CURLE_OK) State.SkipWithError("curl request failed");
    double Secs = std::chrono::duration<double>(TClock::now() - T0).count();
    double Cpu = ThreadCpu() - C0;
    curl_easy_cleanup(E);
    if (Got != SmallSize * State.iterations()) State.SkipWithError("wrong byte count");
    State.SetItemsProcessed(State.iterations());
    // The single-iteration probe runs Google Benchmark makes first are too short to count.
    if (State.iterations() >= 1000) {
        Record("small curl", static_cast<double>(State.iterations()) / Secs);
        Record("cpu small curl", static_cast<double>(State.iterations()) / Cpu);
    }
}

// One request as the engine makes it; false when any step fails.
bool LibraryGet(HINTERNET Session, const char16_t* Path, std::vector<char>& Buf, std::size_t& Got) {
    HINTERNET Conn =
        WinHttpConnect(Session, u"127.0.0.1", static_cast<INTERNET_PORT>(GNginx->Port()), 0);
    if (!Conn) return false;
    HINTERNET Req = WinHttpOpenRequest(Conn, u"GET", Path, nullptr, nullptr, nullptr, 0);
    bool Ok = Req && WinHttpSendRequest(Req, u"\r\n", 2, nullptr, 0, 0, 0) &&
              WinHttpReceiveResponse(Req, nullptr);
    for (DWORD N = 1; Ok && N > 0;) {
        Ok = WinHttpReadData(Req, Buf.data(), static_cast<DWORD>(Buf.size()), &N);
        Got += N;
    }
    if (Req) WinHttpCloseHandle(Req);
    WinHttpCloseHandle(Conn);
    return Ok;
}

void LibrarySmallGets(benchmark::State& State) {
    HINTERNET Session = WinHttpOpen(u"Bench", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    std::vector<char> Buf(8192);
    std::size_t Got = 0;
    auto T0 = TClock::now();
    double C0 = ThreadCpu();
    for (auto _ : State)
        if (!LibraryGet(Session, u"/small.txt", Buf, Got))
            State.SkipWithError("library request failed");
    double Secs = std::chrono::duration<double>(TClock::now() - T0).count();
    double Cpu = ThreadCpu() - C0;
    WinHttpCloseHandle(Session);
    if (Got != SmallSize * State.iterations()) State.SkipWithError("wrong byte count");
    State.SetItemsProcessed(State.iterations());
    if (State.iterations() >= 1000) {
        Record("small library", static_cast<double>(State.iterations()) / Secs);
        Record("cpu small library", static_cast<double>(State.iterations()) / Cpu);
    }
}

void CurlLarge(benchmark::State& State) {
    CURL* E = curl_easy_init();
    const std::string U = UrlOf("large.bin");
    std::size_t Got = 0;
    curl_easy_setopt(E, CURLOPT_URL, U.c_str());
    curl_easy_setopt(E, CURLOPT_BUFFERSIZE, CurlBuffer);
    curl_easy_setopt(E, CURLOPT_WRITEFUNCTION, &CountBytes);
    curl_easy_setopt(E, CURLOPT_WRITEDATA, &Got);
    curl_easy_setopt(E, CURLOPT_NOSIGNAL, 1L);
    TSameRequest Same;
    Same.Apply(E);
    for (auto _ : State) {
        Got = 0;
        auto T0 = TClock::now();
        double C0 = ThreadCpu();
        if (curl_easy_perform(E) != CURLE_OK || Got != LargeSize)
            State.SkipWithError("curl transfer failed");
        Record("large curl", LargeSize / std::chrono::duration<double>(TClock::now() - T0).count());
        Record("cpu large curl", LargeSize / (ThreadCpu() - C0));
    }
    curl_easy_cleanup(E);
    State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations() * LargeSize));
}

// For reading the figures: curl again, its callback copying every byte into a 512 KiB
// application buffer, the one copy a pull interface such as WinHttpReadData cannot avoid.
struct TCopySink {
    std::vector<char> Buf = std::vector<char>(ReadBuffer);
    std::size_t Fill = 0, Total = 0;
};

std::size_t CopyBytes(char* Ptr, std::size_t Size, std::size_t N, void* User) {
    auto* S = static_cast<TCopySink*>(User);
    std::size_t Len = Size * N;
    for (std::size_t Done = 0; Done < Len;) {
        if (S->Fill == S->Buf.size()) S->Fill = 0;
        std::size_t K = std::min(Len - Done, S->Buf.size() - S->Fill);
        std::memcpy(S->Buf.data() + S->Fill, Ptr + Done, K);
        S->Fill += K;
        Done += K;
    }
    S->Total += Len;
    return Len;
}

void CurlLargeCopy(benchmark::State& State) {
    CURL* E = curl_easy_init();
    const std::string U = UrlOf("large.bin");
    TCopySink Sink;
    curl_easy_setopt(E, CURLOPT_URL, U.c_str());
    curl_easy_setopt(E, CURLOPT_BUFFERSIZE, CurlBuffer);
    curl_easy_setopt(E, CURLOPT_WRITEFUNCTION, &CopyBytes);
    curl_easy_setopt(E, CURLOPT_WRITEDATA, &Sink);
    curl_easy_setopt(E, CURLOPT_NOSIGNAL, 1L);
    TSameRequest Same;
    Same.Apply(E);
    for (auto _ : State) {
        Sink.Total = 0;
        auto T0 = TClock::now();
        double C0 = ThreadCpu();
        if (curl_easy_perform(E) != CURLE_OK || Sink.Total != LargeSize)
            State.SkipWithError("curl transfer failed");
        Record("large curl+copy",
               LargeSize / std::chrono::duration<double>(TClock::now() - T0).count());
        Record("cpu large curl+copy", LargeSize / (ThreadCpu() - C0));
    }
    curl_easy_cleanup(E);
    State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations() * LargeSize));
}

void LibraryLarge(benchmark::State& State) {
    HINTERNET Session = WinHttpOpen(u"Bench", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    std::vector<char> Buf(ReadBuffer);
    for (auto _ : State) {
        // Peak memory from here on: rewind the high-water mark to the current size.
        std::ofstream("/proc/self/clear_refs") << "5";
        long Before = StatusKiB("VmRSS:");
        std::size_t Got = 0;
        auto T0 = TClock::now();
        double C0 = ThreadCpu();
        if (!LibraryGet(Session, u"/large.bin", Buf, Got) || Got != LargeSize)
            State.SkipWithError("library transfer failed");
        Record("large library",
               LargeSize / std::chrono::duration<double>(TClock::now() - T0).count());
        Record("cpu large library", LargeSize / (ThreadCpu() - C0));
        double Growth = static_cast<double>(StatusKiB("VmHWM:") - Before) / 1024.0;
        if (Growth > GPeakGrowthMiB) GPeakGrowthMiB = Growth;
    }
    WinHttpCloseHandle(Session);
    State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations() * LargeSize));
    State.counters["peak_growth_MiB"] = GPeakGrowthMiB;
}

}  // namespace
}  // namespace Nimbra

int main(int argc, char** argv) {
    using namespace Nimbra;
    if (!LoadWinHttp()) {
        std::fprintf(stderr, "libwinhttp could not be loaded\n");
        return 1;
    }
    curl_global_init(CURL_GLOBAL_ALL);
    TNginx Nginx;
    GNginx = &Nginx;
    for (int R = 1; R <= Rounds; ++R) {
        std::string N = "/round" + std::to_string(R);
        benchmark::RegisterBenchmark(("SmallGet/curl" + N).c_str(),
                                     [R](benchmark::State& S) {
                                         GRound = R;
                                         CurlSmallGets(S);
                                     })
            ->MinTime(0.5)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("SmallGet/library" + N).c_str(),
                                     [R](benchmark::State& S) {
                                         GRound = R;
                                         LibrarySmallGets(S);
                                     })
            ->MinTime(0.5)
            ->UseRealTime();
    }
    for (int R = 1; R <= Rounds; ++R) {
        std::string N = "/round" + std::to_string(R);
        benchmark::RegisterBenchmark(("Large256MiB/curl" + N).c_str(),
                                     [R](benchmark::State& S) {
                                         GRound = R;
                                         CurlLarge(S);
                                     })
            ->Iterations(2)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("Large256MiB/library" + N).c_str(),
                                     [R](benchmark::State& S) {
                                         GRound = R;
                                         LibraryLarge(S);
                                     })
            ->Iterations(2)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("Large256MiB/curl+copy" + N).c_str(),
                                     [R](benchmark::State& S) {
                                         GRound = R;
                                         CurlLargeCopy(S);
                                     })
            ->Iterations(2)
            ->UseRealTime();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    auto Ratio = [](const char* A, const char* B) { return GBest[A] / GBest[B]; };
    std::printf(
        "\nRatios are library / curl: best round against best round, and (in brackets) the "
        "median of the per-round ratios over %d rounds.\n",
        Rounds);
    std::printf(
        "small GETs  curl %.0f req/s, library %.0f req/s, ratio %.3f [median %.3f] (target >= "
        "0.9)\n",
        GBest["small curl"], GBest["small library"], Ratio("small library", "small curl"),
        PairedMedian("small library", "small curl"));
    std::printf(
        "256 MiB     curl %.0f MiB/s, library %.0f MiB/s, ratio %.3f [median %.3f] (target >= "
        "0.9)\n",
        GBest["large curl"] / 1048576.0, GBest["large library"] / 1048576.0,
        Ratio("large library", "large curl"), PairedMedian("large library", "large curl"));
    std::printf(
        "256 MiB     for reference: curl copying into a 512 KiB buffer %.0f MiB/s; library / that "
        "%.3f [median %.3f]\n",
        GBest["large curl+copy"] / 1048576.0, Ratio("large library", "large curl+copy"),
        PairedMedian("large library", "large curl+copy"));
    std::printf(
        "CPU time of the requesting thread (steadier on a shared machine): small GETs ratio %.3f "
        "[median %.3f], 256 MiB ratio %.3f [median %.3f] (curl+copy %.3f [median %.3f])\n",
        Ratio("cpu small library", "cpu small curl"),
        PairedMedian("cpu small library", "cpu small curl"),
        Ratio("cpu large library", "cpu large curl"),
        PairedMedian("cpu large library", "cpu large curl"),
        Ratio("cpu large library", "cpu large curl+copy"),
        PairedMedian("cpu large library", "cpu large curl+copy"));
    std::printf("256 MiB     library peak memory growth %.1f MiB (target < 32)\n", GPeakGrowthMiB);
    curl_global_cleanup();
    return 0;
}
