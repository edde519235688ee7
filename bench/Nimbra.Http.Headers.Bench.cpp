// How the cost of a header block grows with its length, for the shapes a hostile peer would
// send: one name repeated, the same with non-ASCII letters (converted for the locale copy),
// folded continuation lines, AddValue on one name, and distinct names for comparison. Each
// round parses one block of 100,000 lines and a hundred of 1,000 lines back to back (the
// harness's pairs); linear work keeps the cost per line flat, so the growth of that cost
// must stay within a small factor. Then the heap peak of loading the body of a server
// request that states 1 GiB and sends almost nothing.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bench.Pairs.h"
#include "Nimbra.Http.Headers.h"
#include "Nimbra.HttpServer.Request.h"

// ---- heap accounting ----------------------------------------------------------------------
// Every allocation of the program goes through these, so the peak of live heap bytes over a
// stretch of code is known exactly (as the allocator rounds it).

namespace {
std::atomic<std::int64_t> LiveBytes{0};
std::atomic<std::int64_t> PeakBytes{0};

void* Allocate(std::size_t Size) {
    void* P = std::malloc(Size == 0 ? 1 : Size);
    if (!P) throw std::bad_alloc();
    const std::int64_t Now = LiveBytes += static_cast<std::int64_t>(malloc_usable_size(P));
    std::int64_t Peak = PeakBytes.load();
    while (Now > Peak && !PeakBytes.compare_exchange_weak(Peak, Now)) {
    }
    return P;
}

void Release(void* P) noexcept {
    if (!P) return;
    LiveBytes -= static_cast<std::int64_t>(malloc_usable_size(P));
    std::free(P);
}
}  // namespace

void* operator new(std::size_t Size) {
    return Allocate(Size);
}
void* operator new[](std::size_t Size) {
    return Allocate(Size);
}
void operator delete(void* P) noexcept {
    Release(P);
}
void operator delete[](void* P) noexcept {
    Release(P);
}
void operator delete(void* P, std::size_t) noexcept {
    Release(P);
}
void operator delete[](void* P, std::size_t) noexcept {
    Release(P);
}

namespace {

using Nimbra::THttpHeaders;

// ---- growth of the cost per line ----------------------------------------------------------

constexpr double GrowthLimit = 3.0;  // per-line cost at 100,000 lines over that at 1,000
constexpr int FewLines = 1000;
constexpr int ManyLines = 100000;

struct TShape {
    const char* Key;
    const char* Name;
    bool Limited;  // distinct names only show what a growing hash table costs
    // Prepares the input for a number of lines and returns the work to time.
    std::function<std::function<void()>(int Lines)> Make;
};

std::function<void()> ParseBlock(std::string Block) {
    return [Block = std::move(Block)] {
        THttpHeaders H;
        H.SetRawWideHeaders(Block);
        benchmark::DoNotOptimize(H.Count());
    };
}

std::string Repeat(int Lines, const std::string& First, const std::string& Line) {
    std::string Block = First;
    for (int i = 0; i < Lines; ++i) Block += Line;
    return Block + "\r\n";
}

const std::vector<TShape>& Shapes() {
    static const std::vector<TShape> List = {
        {"repeated", "one name repeated", true,
         [](int N) { return ParseBlock(Repeat(N, "", "X-Dup: vvvvvvvvvvv\r\n")); }},
        {"repeated-non-ascii", "one name repeated, non-ASCII letters, C locale", true,
         [](int N) { return ParseBlock(Repeat(N, "", "X-Dup: vv\xC3\xA9vvv\xC3\xB6vvv\r\n")); }},
        {"folded", "folded continuation lines", true,
         [](int N) {
             return ParseBlock(Repeat(N - 1, "X-Folded: first\r\n", " vvvvvvvvvvv\r\n"));
         }},
        {"add-value", "AddValue on one name", true,
         [](int N) -> std::function<void()> {
             return [N] {
                 THttpHeaders H;
                 for (int i = 0; i < N; ++i) H.AddValue("X-Dup", "vvvvvvvvvvv");
                 benchmark::DoNotOptimize(H.Count());
             };
         }},
        {"distinct", "distinct names", false,
         [](int N) {
             std::string Block;
             for (int i = 0; i < N; ++i)
                 Block += "X-Name-" + std::to_string(i) + ": vvvvvvvvvvv\r\n";
             return ParseBlock(Block + "\r\n");
         }},
    };
    return List;
}

// ---- memory of a body that states more than it sends --------------------------------------

constexpr std::int64_t StatedLength = std::int64_t{1} << 30;
// The length trusted up front, plus 1 MiB.
constexpr double MemoryLimitMiB = static_cast<double>(Nimbra::TrustedContentLength >> 20) + 1;

class TShortStream : public Nimbra::THttpRequestStream {
  public:
    explicit TShortStream(std::int64_t Bytes) : FLeft(Bytes) {}

  protected:
    std::int64_t GetContentLength() override { return StatedLength; }
    std::int64_t ReadContent(void* Buffer, std::int64_t Count) override {
        const std::int64_t N = std::min(Count, std::min<std::int64_t>(FLeft, 65536));
        std::fill_n(static_cast<char*>(Buffer), N, 'b');
        FLeft -= N;
        return N;
    }

  private:
    std::int64_t FLeft;
};

// Heap peak above the level before, while Content() loads a body of Sent bytes.
std::int64_t ContentPeak(std::int64_t Sent, std::size_t& Loaded) {
    Nimbra::THttpServerRequest R;
    R.Headers().SetValue("Content-Length", std::to_string(StatedLength));
    R.SetContentStream(std::make_unique<TShortStream>(Sent));
    const std::int64_t Before = LiveBytes.load();
    PeakBytes = Before;
    Loaded = R.Content().size();
    return PeakBytes.load() - Before;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Bench::TOptions Opt = Bench::ParseOptions(argc, argv);
        if (argc > 1) throw std::invalid_argument(std::string("unknown argument ") + argv[1]);
        std::setlocale(LC_CTYPE, "C");

        // Timed by the working thread's CPU time only: the work is all on this thread, and
        // elapsed time on a shared machine mostly measures the neighbours.
        Bench::TClocks CpuClocks;
        CpuClocks.Wall = &Bench::ThreadCpuSeconds;
        for (const TShape& Shape : Shapes()) {
            const std::function<void()> Many = Shape.Make(ManyLines);
            const std::function<void()> Few = Shape.Make(FewLines);
            // The same number of lines on both sides: one long block against many short ones.
            const auto R = Bench::ComparePairs(
                Many,
                [&] {
                    for (int i = 0; i < ManyLines / FewLines; ++i) Few();
                },
                Opt, CpuClocks);
            std::vector<double> Growth;
            for (const double Ratio : R.Ratios) Growth.push_back(1 / Ratio);
            const std::string Key = std::string("headers.") + Shape.Key;
            Bench::Record(
                Bench::LimitFigure(
                    Key + ".growth",
                    std::string(Shape.Name) + ": cost per line at 100,000 lines / at 1,000", "x",
                    Bench::Quartiles(Growth),
                    Shape.Limited ? std::optional(GrowthLimit) : std::nullopt),
                Opt);
            const auto NsPerLine = [](double BlocksPerSecond) {
                const double Ns = 1e9 / (BlocksPerSecond * ManyLines);
                return Bench::TQuartiles{Ns, Ns, Ns};
            };
            Bench::Record(Bench::LimitFigure(Key + ".ns-per-line-1k",
                                             std::string(Shape.Name) + ", 1,000 lines", "ns",
                                             NsPerLine(R.ReferencePerSecond), std::nullopt),
                          Opt);
            Bench::Record(Bench::LimitFigure(Key + ".ns-per-line-100k",
                                             std::string(Shape.Name) + ", 100,000 lines", "ns",
                                             NsPerLine(R.OursPerSecond), std::nullopt),
                          Opt);
        }

        const std::pair<const char*, std::int64_t> SentCases[] = {{"4-bytes", 4},
                                                                  {"16mib", 16 << 20}};
        for (const auto& [SentKey, Sent] : SentCases) {
            std::size_t Loaded = 0;
            const double PeakMiB = static_cast<double>(ContentPeak(Sent, Loaded)) / (1 << 20);
            if (Loaded != static_cast<std::size_t>(Sent))
                throw std::runtime_error("the server request loaded " + std::to_string(Loaded) +
                                         " bytes of " + std::to_string(Sent));
            Bench::Record(
                Bench::LimitFigure(std::string("headers.stated-1gib-") + SentKey + "-sent-peak",
                                   "server request body stated as 1 GiB, " + std::to_string(Sent) +
                                       " bytes sent: heap peak",
                                   "MiB", {PeakMiB, PeakMiB, PeakMiB}, MemoryLimitMiB),
                Opt);
        }
        return 0;
    } catch (const std::exception& E) {
        std::fprintf(stderr, "bench_headers: %s\n", E.what());
        return 1;
    }
}
