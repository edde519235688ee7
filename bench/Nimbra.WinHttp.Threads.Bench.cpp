// Many threads at once against an nginx started here on 127.0.0.1, in paired rounds
// (Bench.Pairs.h). One unit of work is every one of 8 threads sending a batch of keep-alive
// GETs of a small file, the unit ending when the last thread is done; the ratio is aggregate
// requests per second. The reference is 8 threads each driving its own raw libcurl easy
// handle. Ours is
//  - libwinhttp with one session and one connect handle shared by all threads, each thread
//    opening, sending, reading and closing its own requests on them;
//  - one TWinHttpEngine per thread, sharing nothing (request to freed response).
// The CPU figure is the whole process's CPU time (every thread), nginx excluded.

#include <curl/curl.h>

#include <cstdio>
#include <ctime>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Bench.Curl.h"
#include "Bench.Nginx.h"
#include "Bench.Pairs.h"
#include "Nimbra.WinHttp.Api.h"
#include "Nimbra.WinHttp.Engine.h"

namespace {

constexpr int Threads = 8;
// Requests each thread sends in one unit: long enough that starting the threads costs
// little beside them.
constexpr int Batch = 25;
constexpr std::int64_t SmallSize = 1024;

double ProcessCpuSeconds() {
    timespec T{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &T);
    return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_nsec) / 1e9;
}

/// One unit: Threads threads each calling Get(its index) Batch times. The first error of any
/// thread is raised once all have ended.
void RunGang(const std::function<void(int)>& Get) {
    std::exception_ptr Error;
    std::mutex Lock;
    std::vector<std::thread> Gang;
    Gang.reserve(Threads);
    for (int T = 0; T < Threads; ++T)
        Gang.emplace_back([&, T] {
            try {
                for (int I = 0; I < Batch; ++I) Get(T);
            } catch (...) {
                const std::lock_guard<std::mutex> G(Lock);
                if (!Error) Error = std::current_exception();
            }
        });
    for (std::thread& Th : Gang) Th.join();
    if (Error) std::rethrow_exception(Error);
}

/// One session and one connect handle for every thread; each GET opens its own request on
/// them, as the engine does. Owns both handles.
class TSharedLibrary {
  public:
    explicit TSharedLibrary(int Port)
        : FSession(
              Nimbra::WinHttpOpen(u"Bench", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0)),
          FConn(FSession ? Nimbra::WinHttpConnect(FSession, u"127.0.0.1",
                                                  static_cast<INTERNET_PORT>(Port), 0)
                         : nullptr) {
        if (!FConn) {
            if (FSession) Nimbra::WinHttpCloseHandle(FSession);
            throw std::runtime_error("libwinhttp: no session or connection");
        }
    }
    ~TSharedLibrary() {
        Nimbra::WinHttpCloseHandle(FConn);
        Nimbra::WinHttpCloseHandle(FSession);
    }
    TSharedLibrary(const TSharedLibrary&) = delete;
    TSharedLibrary& operator=(const TSharedLibrary&) = delete;

    /// One GET of /small.txt; safe from any thread.
    void Get() const {
        using Nimbra::WinHttpCloseHandle, Nimbra::WinHttpOpenRequest, Nimbra::WinHttpReadData,
            Nimbra::WinHttpReceiveResponse, Nimbra::WinHttpSendRequest;
        char Buf[8192];
        std::int64_t Got = 0;
        HINTERNET Req =
            WinHttpOpenRequest(FConn, u"GET", u"/small.txt", nullptr, nullptr, nullptr, 0);
        bool Ok = Req && WinHttpSendRequest(Req, u"\r\n", 2, nullptr, 0, 0, 0) &&
                  WinHttpReceiveResponse(Req, nullptr);
        for (DWORD N = 1; Ok && N > 0;) {
            Ok = WinHttpReadData(Req, Buf, sizeof Buf, &N);
            Got += N;
        }
        if (Req) WinHttpCloseHandle(Req);
        if (!Ok || Got != SmallSize) throw std::runtime_error("libwinhttp: transfer failed");
    }

  private:
    HINTERNET FSession;
    HINTERNET FConn;
};

void EngineGet(Nimbra::TWinHttpEngine& Engine, const std::string& Url) {
    auto Request = Engine.CreateRequest();
    Request->SetUri(Url);
    Request->SetMethod("GET");
    auto Response = Engine.Send(*Request);
    if (Response->StatusCode() != 200 ||
        static_cast<std::int64_t>(Response->ContentAsBytes().size()) != SmallSize)
        throw std::runtime_error("engine: transfer of " + Url + " failed");
}

/// One curl easy handle per thread, each keeping its own connection.
std::vector<std::unique_ptr<Bench::TCurlGet>> CurlPerThread(const std::string& Url,
                                                            const Bench::TCurlOptions& Options) {
    std::vector<std::unique_ptr<Bench::TCurlGet>> Handles;
    for (int T = 0; T < Threads; ++T)
        Handles.push_back(std::make_unique<Bench::TCurlGet>(Url, SmallSize, Options));
    return Handles;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Bench::TOptions Opt = Bench::ParseOptions(argc, argv);
        if (argc > 1) throw std::invalid_argument(std::string("unknown argument ") + argv[1]);
        if (!Nimbra::LoadWinHttp()) throw std::runtime_error("libwinhttp could not be loaded");
        curl_global_init(CURL_GLOBAL_ALL);
        const Bench::TNginx Nginx({{"small.txt", std::string(SmallSize, 'x')}});
        const std::string Url = Nginx.Url("small.txt");
        Bench::TClocks Clocks;
        Clocks.Cpu = &ProcessCpuSeconds;
        const std::string Compared = std::to_string(Threads) + " threads, keep-alive GETs of 1 KiB";

        {
            TSharedLibrary Library(Nginx.Port());
            // The very request the library sends: its user agent, no Accept line.
            const auto Curl = CurlPerThread(Url, {});
            const auto R =
                Bench::ComparePairs([&] { RunGang([&](int) { Library.Get(); }); },
                                    [&] { RunGang([&](int T) { (*Curl[T])(); }); }, Opt, Clocks);
            Bench::Record(Bench::RatioFigure("winhttp.threads-shared-session",
                                             "libwinhttp, one session and connect handle for "
                                             "all / raw libcurl, an easy handle each: " +
                                                 Compared,
                                             R, 0.9),
                          Opt);
        }
        {
            std::vector<std::unique_ptr<Nimbra::TWinHttpEngine>> Engines;
            for (int T = 0; T < Threads; ++T)
                Engines.push_back(std::make_unique<Nimbra::TWinHttpEngine>());
            // The engine's request headers: its user agent, and the Accept-Encoding WinHTTP
            // adds when it is asked to decompress.
            Bench::TCurlOptions Headers;
            Headers.UserAgent = "Orvo Http/1.0";
            Headers.AcceptEncoding = "gzip, deflate";
            const auto Curl = CurlPerThread(Url, Headers);
            const auto R =
                Bench::ComparePairs([&] { RunGang([&](int T) { EngineGet(*Engines[T], Url); }); },
                                    [&] { RunGang([&](int T) { (*Curl[T])(); }); }, Opt, Clocks);
            Bench::Record(Bench::RatioFigure("engine.threads",
                                             "a TWinHttpEngine each / raw libcurl, an easy "
                                             "handle each: " +
                                                 Compared,
                                             R, 0.85),
                          Opt);
        }
        curl_global_cleanup();
        return 0;
    } catch (const std::exception& E) {
        std::fprintf(stderr, "bench_threads: %s\n", E.what());
        return 1;
    }
}
