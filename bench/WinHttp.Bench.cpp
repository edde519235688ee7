// libwinhttp against raw libcurl on an nginx started here on 127.0.0.1, in many short
// alternating pairs (Bench.Pairs.h):
//  - sequential keep-alive GETs of a small file: through the library as the engine does it
//    (connect, open request, send, receive, read to the end, close) against one reused curl
//    easy handle;
//  - one 256 MiB body: through WinHttpReadData into a 512 KiB buffer against curl (with a
//    512 KiB receive buffer) copying into a 512 KiB buffer, and against curl only counting
//    the bytes; rounds of several whole transfers a side. The process's peak memory growth
//    over each library transfer is recorded.
// Both sides send the same request bytes to the same nginx and URLs.

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
#include "Bench.WinHttp.h"
#include "Nimbra.WinHttp.Api.h"

namespace Nimbra {
namespace {

constexpr std::size_t SmallSize = 1024;
constexpr std::size_t LargeSize = std::size_t{256} << 20;
constexpr long CurlBuffer = 512 * 1024;
constexpr DWORD ReadBuffer = 512 * 1024;

}  // namespace
}  // namespace Nimbra

int main(int argc, char** argv) {
    using namespace Nimbra;
    try {
        const Bench::TOptions Opt = Bench::ParseOptions(argc, argv);
        if (argc > 1) throw std::invalid_argument(std::string("unknown argument ") + argv[1]);
        if (!LoadWinHttp()) throw std::runtime_error("libwinhttp could not be loaded");
        curl_global_init(CURL_GLOBAL_ALL);
        const Bench::TNginx Nginx({{"small.txt", std::string(SmallSize, 'x')},
                                   Bench::TServedFile::Sparse("large.bin", LargeSize)});
        const int Port = Nginx.Port();

        {
            Bench::TLibraryGet Library(Port, u"/small.txt", SmallSize);
            // The very request the library sends: its user agent, no Accept line.
            Bench::TCurlGet Curl(Nginx.Url("small.txt"), SmallSize);
            const auto R = Bench::ComparePairs([&] { Library(); }, [&] { Curl(); }, Opt);
            Bench::Record(
                Bench::RatioFigure("winhttp.small-gets",
                                   "libwinhttp / raw libcurl, keep-alive GETs of 1 KiB", R, 0.9),
                Opt);
        }

        {
            Bench::TLibraryOptions Large;
            Large.BufferSize = ReadBuffer;
            Bench::TLibraryGet Library(Port, u"/large.bin", LargeSize, Large);
            // The largest growth of the process's peak memory over any one transfer through
            // the library: the high-water mark is rewound to the current size before each.
            double PeakGrowthMiB = 0;
            int Transfers = 0;
            const Bench::TWork Measured = [&] {
                const Bench::TPeakGrowth Peak;
                Library();
                PeakGrowthMiB = std::max(PeakGrowthMiB, Peak.MiB());
                ++Transfers;
            };
            // Whole transfers, several a side in each round: one 256 MiB transfer fills
            // half a round, and single ones vary too much to decide a ratio.
            const Bench::TOptions Long = Bench::LongWork(Opt);
            // The fair reference: curl copying every byte into a 512 KiB buffer, the one
            // copy a pull interface such as WinHttpReadData cannot avoid.
            Bench::TCurlOptions Copy;
            Copy.BufferSize = CurlBuffer;
            Copy.Sink = Bench::TCurlSink::Copy;
            Copy.CopyBufferSize = ReadBuffer;
            Bench::TCurlGet CurlCopy(Nginx.Url("large.bin"), LargeSize, Copy);
            const auto C = Bench::ComparePairs(
                Measured, [&] { CurlCopy(); }, Long);
            Bench::Record(Bench::RatioFigure("winhttp.large-body",
                                             "libwinhttp / libcurl copying into a 512 KiB "
                                             "buffer, 256 MiB body read in 512 KiB pieces",
                                             C, 0.95),
                          Opt);
            // For reading the figures: against curl that only counts the bytes.
            Bench::TCurlOptions Count;
            Count.BufferSize = CurlBuffer;
            Bench::TCurlGet Curl(Nginx.Url("large.bin"), LargeSize, Count);
            const auto R = Bench::ComparePairs(
                Measured, [&] { Curl(); }, Long);
            Bench::Record(Bench::RatioFigure("winhttp.large-body-vs-count",
                                             "libwinhttp / raw libcurl counting the bytes, "
                                             "256 MiB body",
                                             R, std::nullopt),
                          Opt);
            Bench::Record(
                Bench::LimitFigure("winhttp.large-peak-growth",
                                   "libwinhttp peak memory growth, largest over " +
                                       std::to_string(Transfers) + " transfers of 256 MiB",
                                   "MiB", {PeakGrowthMiB, PeakGrowthMiB, PeakGrowthMiB}, 32),
                Opt);
        }
        curl_global_cleanup();
        return 0;
    } catch (const std::exception& E) {
        std::fprintf(stderr, "bench_winhttp: %s\n", E.what());
        return 1;
    }
}
