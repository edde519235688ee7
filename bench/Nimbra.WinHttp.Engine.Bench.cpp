// The WinHTTP engine against raw libcurl on an nginx started here on 127.0.0.1, in many short
// alternating pairs (Bench.Pairs.h):
//  - sequential keep-alive GETs of a small file through one TWinHttpEngine (create the
//    request, send, read the body to its end, free the response) against one reused curl
//    easy handle;
//  - one 256 MiB body read through ContentAsStream into a 512 KiB buffer against curl writing
//    it into a 512 KiB buffer, in rounds of several whole transfers a side; the process's
//    peak memory growth over each engine transfer is recorded.
// Both sides send the same request headers (the engine's user agent, and the Accept-Encoding
// WinHTTP adds when it is asked to decompress) to the same nginx and URLs.

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bench.Curl.h"
#include "Bench.Memory.h"
#include "Bench.Nginx.h"
#include "Bench.Pairs.h"
#include "Nimbra.WinHttp.Engine.h"

namespace {

constexpr std::size_t SmallSize = 1024;
constexpr std::size_t LargeSize = std::size_t{256} << 20;
constexpr std::size_t BufferSize = 512 * 1024;

/// The engine's request headers on the curl side: its user agent, and the Accept-Encoding
/// WinHTTP adds when it is asked to decompress.
Bench::TCurlOptions EngineHeaders() {
    Bench::TCurlOptions O;
    O.UserAgent = "Orvo Http/1.0";
    O.AcceptEncoding = "gzip, deflate";
    return O;
}

/// One GET through the engine, as a caller makes it: a new request, Send, the body read to
/// its end, the response freed.
void EngineSmallGet(Nimbra::TWinHttpEngine& Engine, const std::string& Url) {
    auto Request = Engine.CreateRequest();
    Request->SetUri(Url);
    Request->SetMethod("GET");
    auto Response = Engine.Send(*Request);
    if (Response->ContentAsBytes().size() != SmallSize)
        throw std::runtime_error("engine: transfer of " + Url + " failed");
}

/// The large body through ContentAsStream into one 512 KiB buffer.
void EngineLargeGet(Nimbra::TWinHttpEngine& Engine, const std::string& Url,
                    std::vector<char>& Buffer) {
    auto Request = Engine.CreateRequest();
    Request->SetUri(Url);
    Request->SetMethod("GET");
    auto Response = Engine.Send(*Request);
    Runtime::TStream& Body = Response->ContentAsStream();
    std::size_t Total = 0;
    for (;;) {
        const std::int64_t N = Body.Read(Buffer.data(), static_cast<std::int64_t>(Buffer.size()));
        if (N <= 0) break;
        Total += static_cast<std::size_t>(N);
    }
    if (Response->StatusCode() != 200 || Total != LargeSize)
        throw std::runtime_error("engine: transfer of " + Url + " failed");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Bench::TOptions Opt = Bench::ParseOptions(argc, argv);
        if (argc > 1) throw std::invalid_argument(std::string("unknown argument ") + argv[1]);
        curl_global_init(CURL_GLOBAL_ALL);
        const Bench::TNginx Nginx({{"small.txt", std::string(SmallSize, 'x')},
                                   Bench::TServedFile::Sparse("large.bin", LargeSize)});
        Nimbra::TWinHttpEngine Engine;

        {
            const std::string Url = Nginx.Url("small.txt");
            Bench::TCurlGet Curl(Url, SmallSize, EngineHeaders());
            const auto R =
                Bench::ComparePairs([&] { EngineSmallGet(Engine, Url); }, [&] { Curl(); }, Opt);
            Bench::Record(Bench::RatioFigure("engine.small-gets",
                                             "TWinHttpEngine / raw libcurl, keep-alive GETs "
                                             "of 1 KiB, request to freed response",
                                             R, 0.95),
                          Opt);
        }

        {
            const std::string Url = Nginx.Url("large.bin");
            std::vector<char> Buffer(BufferSize);
            // The largest growth of the process's peak memory over any one engine transfer:
            // the high-water mark is rewound to the current size before each.
            double PeakGrowthMiB = 0;
            int Transfers = 0;
            const Bench::TWork Measured = [&] {
                const Bench::TPeakGrowth Peak;
                EngineLargeGet(Engine, Url, Buffer);
                PeakGrowthMiB = std::max(PeakGrowthMiB, Peak.MiB());
                ++Transfers;
            };
            Bench::TCurlOptions Copy = EngineHeaders();
            Copy.BufferSize = static_cast<long>(BufferSize);
            Copy.Sink = Bench::TCurlSink::Copy;
            Copy.CopyBufferSize = BufferSize;
            Bench::TCurlGet Curl(Url, LargeSize, Copy);
            // Several whole transfers a side in each round (Bench::LongWork).
            const auto R = Bench::ComparePairs(
                Measured, [&] { Curl(); }, Bench::LongWork(Opt));
            Bench::Record(Bench::RatioFigure("engine.large-body",
                                             "TWinHttpEngine ContentAsStream / raw libcurl, "
                                             "256 MiB into a 512 KiB buffer",
                                             R, 0.9),
                          Opt);
            Bench::Record(
                Bench::LimitFigure("engine.large-peak-growth",
                                   "TWinHttpEngine peak memory growth, largest over " +
                                       std::to_string(Transfers) + " transfers of 256 MiB",
                                   "MiB", {PeakGrowthMiB, PeakGrowthMiB, PeakGrowthMiB}, 32),
                Opt);
        }
        curl_global_cleanup();
        return 0;
    } catch (const std::exception& E) {
        std::fprintf(stderr, "bench_winhttp_engine: %s\n", E.what());
        return 1;
    }
}
