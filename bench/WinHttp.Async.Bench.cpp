// A thousand GETs in flight at once against an nginx started here on 127.0.0.1, in paired
// rounds (Bench.Pairs.h). One unit of work is 1,000 keep-alive GETs of a small file started
// together, the unit ending when the last has been read; the ratio is requests per second.
//  - Ours: one asynchronous libwinhttp session (WINHTTP_FLAG_ASYNC) and one connect handle;
//    the main thread opens and sends every request, and each goes on from inside its own
//    callbacks (receive, read to the end, close), as programs written against the mode do.
//  - Reference: one raw libcurl multi handle driving 1,000 reused easy handles on the main
//    thread, its connection cache large enough to keep every connection alive.
// Both keep up to 1,000 connections to the server alive between units. Besides the ratio:
// the threads the library adds to the process while a unit is in flight (from /proc/self/task)
// and the growth of the process's peak memory over one unit (VmHWM, rewound first). The CPU
// figure is the whole process's CPU time (every thread), nginx excluded.

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bench.Memory.h"
#include "Bench.Nginx.h"
#include "Bench.Pairs.h"
#include "Nimbra.WinHttp.Api.h"

namespace {

constexpr int InFlight = 1000;
constexpr std::int64_t SmallSize = 1024;

// The asynchronous mode's notifications this program takes, as Windows defines them.
constexpr DWORD HandleClosing = 0x00000800;
constexpr DWORD HeadersAvailable = 0x00020000;
constexpr DWORD ReadComplete = 0x00080000;
constexpr DWORD RequestError = 0x00200000;
constexpr DWORD SendRequestComplete = 0x00400000;
constexpr DWORD Wanted =
    HandleClosing | HeadersAvailable | ReadComplete | RequestError | SendRequestComplete;

double ProcessCpuSeconds() {
    timespec T{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &T);
    return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_nsec) / 1e9;
}

/// Threads of this process now.
int ProcessThreads() {
    int N = 0;
    for (const auto& Entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)Entry;
        ++N;
    }
    return N;
}

/// One asynchronous session and connect handle kept for the whole run; each Run sends
/// InFlight requests at once and returns when every one has been read and closed. Owns both
/// handles and the requests' state, which lives as long as the object, so a late callback
/// never finds it gone.
class TAsyncLibrary {
  public:
    explicit TAsyncLibrary(int Port)
        : FSession(Nimbra::WinHttpOpen(u"Bench", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr,
                                       WINHTTP_FLAG_ASYNC)),
          FConn(FSession ? Nimbra::WinHttpConnect(FSession, u"127.0.0.1",
                                                  static_cast<INTERNET_PORT>(Port), 0)
                         : nullptr),
          FRequests(InFlight) {
        if (!FConn) {
            const DWORD Error = GetLastError();
            if (FSession) Nimbra::WinHttpCloseHandle(FSession);
            throw std::runtime_error("libwinhttp: no asynchronous session or connection (error " +
                                     std::to_string(Error) + ")");
        }
        for (TRequest& R : FRequests) R.Owner = this;
    }
    ~TAsyncLibrary() {
        Nimbra::WinHttpCloseHandle(FConn);
        Nimbra::WinHttpCloseHandle(FSession);
    }
    TAsyncLibrary(const TAsyncLibrary&) = delete;
    TAsyncLibrary& operator=(const TAsyncLibrary&) = delete;

    /// One unit: every request sent, then waited for. While waiting, Probe (when given) runs
    /// every millisecond or so. Throws when a request failed or the unit took 60 s.
    void Run(const std::function<void()>& Probe = {}) {
        {
            const std::lock_guard<std::mutex> G(FLock);
            FPending = InFlight;
            FFailed = 0;
        }
        for (TRequest& R : FRequests) {
            R.Got = 0;
            R.Failed = false;
            R.Handle = Nimbra::WinHttpOpenRequest(FConn, u"GET", u"/small.txt", nullptr, nullptr,
                                                  nullptr, 0);
            if (!R.Handle) {
                Finish(false);
                continue;
            }
            if (Nimbra::WinHttpSetStatusCallback(R.Handle, &OnStatus, Wanted, 0) ==
                WINHTTP_INVALID_STATUS_CALLBACK) {
                Nimbra::WinHttpCloseHandle(R.Handle);
                Finish(false);
                continue;
            }
            if (!Nimbra::WinHttpSendRequest(R.Handle, nullptr, 0, nullptr, 0, 0,
                                            reinterpret_cast<DWORD_PTR>(&R))) {
                // No completion comes for a refused send; the close still ends the request
                // with HANDLE_CLOSING.
                R.Failed = true;
                Nimbra::WinHttpCloseHandle(R.Handle);
            }
        }
        std::unique_lock<std::mutex> L(FLock);
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (FPending > 0) {
            if (Probe) {
                L.unlock();
                Probe();
                L.lock();
                FDone.wait_for(L, std::chrono::milliseconds(1));
            } else {
                FDone.wait_until(L, Deadline);
            }
            if (std::chrono::steady_clock::now() > Deadline)
                throw std::runtime_error("libwinhttp: " + std::to_string(FPending) +
                                         " requests still in flight after 60 s");
        }
        if (FFailed)
            throw std::runtime_error("libwinhttp: " + std::to_string(FFailed) + " of " +
                                     std::to_string(InFlight) + " requests failed");
    }

  private:
    struct TRequest {
        TAsyncLibrary* Owner = nullptr;
        HINTERNET Handle = nullptr;
        std::int64_t Got = 0;
        bool Failed = false;
        char Buffer[4096];
    };

    void Finish(bool Ok) {
        const std::lock_guard<std::mutex> G(FLock);
        if (!Ok) ++FFailed;
        if (--FPending == 0) FDone.notify_all();
    }

    static void WINAPI OnStatus(HINTERNET, DWORD_PTR Context, DWORD Status, LPVOID, DWORD Length) {
        auto* R = reinterpret_cast<TRequest*>(Context);
        if (!R) return;
        bool Close = false;
        switch (Status) {
            case SendRequestComplete:
                if (!Nimbra::WinHttpReceiveResponse(R->Handle, nullptr)) R->Failed = Close = true;
                break;
            case ReadComplete:
                R->Got += Length;
                if (Length == 0) {
                    Close = true;
                    break;
                }
                [[fallthrough]];
            case HeadersAvailable:
                if (!Nimbra::WinHttpReadData(R->Handle, R->Buffer, sizeof R->Buffer, nullptr))
                    R->Failed = Close = true;
                break;
            case RequestError:
                R->Failed = Close = true;
                break;
            case HandleClosing:
                R->Owner->Finish(!R->Failed && R->Got == SmallSize);
                return;
            default:
                break;
        }
        if (Close) Nimbra::WinHttpCloseHandle(R->Handle);
    }

    HINTERNET FSession;
    HINTERNET FConn;
    std::vector<TRequest> FRequests;
    std::mutex FLock;
    std::condition_variable FDone;
    int FPending = 0;
    int FFailed = 0;
};

/// One raw libcurl multi handle and InFlight easy handles, all driven by the calling thread;
/// each Run adds them all, drives the multi handle until every transfer is done and removes
/// them again. The same request bytes as the library's: its user agent, no Accept line.
class TCurlMulti {
  public:
    explicit TCurlMulti(const std::string& Url)
        : FMulti(curl_multi_init()),
          FHeaders(curl_slist_append(nullptr, "Accept:")),
          FEasies(InFlight, nullptr),
          FGot(InFlight, 0) {
        if (!FMulti || !FHeaders) throw std::runtime_error("curl: no multi handle");
        // Keeps every connection when the easy handles are removed between units (its own
        // default shrinks as they go).
        curl_multi_setopt(FMulti, CURLMOPT_MAXCONNECTS, static_cast<long>(2 * InFlight));
        for (int I = 0; I < InFlight; ++I) {
            CURL* E = curl_easy_init();
            if (!E) throw std::runtime_error("curl: no easy handle");
            FEasies[static_cast<std::size_t>(I)] = E;
            curl_easy_setopt(E, CURLOPT_URL, Url.c_str());
            curl_easy_setopt(E, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(E, CURLOPT_USERAGENT, "Bench");
            curl_easy_setopt(E, CURLOPT_HTTPHEADER, FHeaders);
            curl_easy_setopt(E, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
            curl_easy_setopt(E, CURLOPT_WRITEFUNCTION, &Count);
            curl_easy_setopt(E, CURLOPT_WRITEDATA, &FGot[static_cast<std::size_t>(I)]);
            curl_easy_setopt(E, CURLOPT_PRIVATE, &FGot[static_cast<std::size_t>(I)]);
        }
    }
    ~TCurlMulti() {
        for (CURL* E : FEasies) {
            if (!E) continue;
            curl_multi_remove_handle(FMulti, E);
            curl_easy_cleanup(E);
        }
        curl_multi_cleanup(FMulti);
        curl_slist_free_all(FHeaders);
    }
    TCurlMulti(const TCurlMulti&) = delete;
    TCurlMulti& operator=(const TCurlMulti&) = delete;

    void Run() {
        std::fill(FGot.begin(), FGot.end(), 0);
        for (CURL* E : FEasies) curl_multi_add_handle(FMulti, E);
        int Failed = 0, Done = 0;
        for (int Running = 1; Running > 0 || Done < InFlight;) {
            curl_multi_perform(FMulti, &Running);
            int Left = 0;
            while (CURLMsg* M = curl_multi_info_read(FMulti, &Left)) {
                if (M->msg != CURLMSG_DONE) continue;
                long Code = 0;
                std::int64_t* Got = nullptr;
                curl_easy_getinfo(M->easy_handle, CURLINFO_RESPONSE_CODE, &Code);
                curl_easy_getinfo(M->easy_handle, CURLINFO_PRIVATE, &Got);
                if (M->data.result != CURLE_OK || Code != 200 || !Got || *Got != SmallSize)
                    ++Failed;
                CURL* E = M->easy_handle;
                curl_multi_remove_handle(FMulti, E);
                ++Done;
            }
            if (Running > 0) curl_multi_poll(FMulti, nullptr, 0, 1000, nullptr);
        }
        if (Failed)
            throw std::runtime_error("curl: " + std::to_string(Failed) + " transfers failed");
    }

  private:
    static std::size_t Count(char*, std::size_t Size, std::size_t N, void* User) {
        *static_cast<std::int64_t*>(User) += static_cast<std::int64_t>(Size * N);
        return Size * N;
    }

    CURLM* FMulti;
    curl_slist* FHeaders;
    std::vector<CURL*> FEasies;
    std::vector<std::int64_t> FGot;
};

}  // namespace

int main(int argc, char** argv) {
    try {
        // Units of a thousand requests last tens of milliseconds: rounds a little longer than
        // the default, with at least two units a side.
        Bench::TOptions Defaults;
        Defaults.RoundSeconds = 0.4;
        Defaults.MinCalls = 2;
        const Bench::TOptions Opt = Bench::ParseOptions(argc, argv, Defaults);
        if (argc > 1) throw std::invalid_argument(std::string("unknown argument ") + argv[1]);
        if (!Nimbra::LoadWinHttp()) throw std::runtime_error("libwinhttp could not be loaded");
        curl_global_init(CURL_GLOBAL_ALL);
        {
            // Room for both sides' connections at once, and more.
            const Bench::TNginx Nginx({{"small.txt", std::string(SmallSize, 'x')}},
                                      {.Connections = 4 * InFlight});
            const int ThreadsBefore = ProcessThreads();
            TAsyncLibrary Library(Nginx.Port());
            TCurlMulti Curl(Nginx.Url("small.txt"));

            // Outside the paired rounds: the library's threads while a unit is in flight, and
            // the growth of peak memory over a unit, over a few units.
            auto PeakGrowthMiB = [](const std::function<void()>& Unit) {
                const Bench::TPeakGrowth Peak;
                Unit();
                return Peak.MiB();
            };
            std::vector<double> Threads, Growth, CurlGrowth;
            for (int I = 0; I < 5; ++I) {
                int Most = 0;
                Growth.push_back(PeakGrowthMiB(
                    [&] { Library.Run([&] { Most = std::max(Most, ProcessThreads()); }); }));
                Threads.push_back(static_cast<double>(Most - ThreadsBefore));
                CurlGrowth.push_back(PeakGrowthMiB([&] { Curl.Run(); }));
            }

            // The library works on its own thread: the CPU figure counts the whole process.
            Bench::TClocks Clocks;
            Clocks.Cpu = &ProcessCpuSeconds;
            const auto R =
                Bench::ComparePairs([&] { Library.Run(); }, [&] { Curl.Run(); }, Opt, Clocks);
            const std::string What =
                std::to_string(InFlight) + " keep-alive GETs of 1 KiB in flight";
            Bench::Record(Bench::RatioFigure("winhttp.async-in-flight",
                                             "libwinhttp, one asynchronous session / raw libcurl, "
                                             "one multi handle: " +
                                                 What,
                                             R, 0.9),
                          Opt);
            Bench::Record(
                Bench::LimitFigure("winhttp.async-threads",
                                   "threads libwinhttp adds while " + What + " (at most 4)",
                                   "threads", Bench::Quartiles(Threads), 5),
                Opt);
            Bench::Record(Bench::LimitFigure("winhttp.async-peak-growth",
                                             "libwinhttp peak memory growth over a unit of " + What,
                                             "MiB", Bench::Quartiles(Growth), std::nullopt),
                          Opt);
            Bench::Record(Bench::LimitFigure("curl.multi-peak-growth",
                                             "raw libcurl multi handle peak memory growth over a "
                                             "unit of " +
                                                 What,
                                             "MiB", Bench::Quartiles(CurlGrowth), std::nullopt),
                          Opt);
        }
        curl_global_cleanup();
        return 0;
    } catch (const std::exception& E) {
        std::fprintf(stderr, "bench_winhttp_async: %s\n", E.what());
        return 1;
    }
}
