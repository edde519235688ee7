// How the cost of a header block grows with its length, for the shapes a hostile peer would
// send: one name repeated, the same with non-ASCII letters (converted for the locale copy),
// folded continuation lines, AddValue on one name, and distinct names for comparison. Each
// shape is timed at 1,000, 10,000 and 100,000 lines; linear work keeps the cost per line
// flat, so the growth of that cost from 1,000 to 100,000 lines must stay within a small
// factor. Then the heap peak of loading the body of a server request that states 1 GiB and
// sends almost nothing.
//
// Prints one table and exits with 1 when a figure is over its limit.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <new>
#include <string>
#include <vector>

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
const int LineCounts[] = {1000, 10000, 100000};

double ThreadCpuSeconds() {
    timespec T{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
    return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_nsec) * 1e-9;
}

struct TShape {
    const char* Name;
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
        {"one name repeated",
         [](int N) { return ParseBlock(Repeat(N, "", "X-Dup: vvvvvvvvvvv\r\n")); }},
        {"repeated, non-ASCII, C locale",
         [](int N) { return ParseBlock(Repeat(N, "", "X-Dup: vv\xC3\xA9vvv\xC3\xB6vvv\r\n")); }},
        {"folded continuation lines",
         [](int N) {
             return ParseBlock(Repeat(N - 1, "X-Folded: first\r\n", " vvvvvvvvvvv\r\n"));
         }},
        {"AddValue on one name",
         [](int N) -> std::function<void()> {
             return [N] {
                 THttpHeaders H;
                 for (int i = 0; i < N; ++i) H.AddValue("X-Dup", "vvvvvvvvvvv");
                 benchmark::DoNotOptimize(H.Count());
             };
         }},
        {"distinct names",
         [](int N) {
             std::string Block;
             for (int i = 0; i < N; ++i)
                 Block += "X-Name-" + std::to_string(i) + ": vvvvvvvvvvv\r\n";
             return ParseBlock(Block + "\r\n");
         }},
    };
    return List;
}

// Median CPU time of one run, from enough runs to cover at least 300,000 lines.
double MedianSeconds(const std::function<void()>& Work, int Lines) {
    const int Runs = std::max(5, 300000 / Lines);
    std::vector<double> Times;
    Work();  // warm-up
    for (int r = 0; r < Runs; ++r) {
        const double Start = ThreadCpuSeconds();
        Work();
        Times.push_back(ThreadCpuSeconds() - Start);
    }
    std::nth_element(Times.begin(), Times.begin() + Runs / 2, Times.end());
    return Times[static_cast<std::size_t>(Runs / 2)];
}

// ---- memory of a body that states more than it sends --------------------------------------

constexpr std::int64_t StatedLength = std::int64_t{1} << 30;
constexpr std::int64_t MemoryLimit = Nimbra::TrustedContentLength + (std::int64_t{1} << 20);

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

int main() {
    std::setlocale(LC_CTYPE, "C");
    bool Within = true;

    std::printf("%-32s %14s %14s %14s %8s\n", "shape: ns per line at", "1,000 lines",
                "10,000 lines", "100,000 lines", "growth");
    for (const TShape& Shape : Shapes()) {
        std::vector<double> PerLine;
        for (const int Lines : LineCounts)
            PerLine.push_back(MedianSeconds(Shape.Make(Lines), Lines) / Lines * 1e9);
        const double Growth = PerLine.back() / PerLine.front();
        Within = Within && Growth <= GrowthLimit;
        std::printf("%-32s %14.1f %14.1f %14.1f %7.2fx%s\n", Shape.Name, PerLine[0], PerLine[1],
                    PerLine[2], Growth, Growth <= GrowthLimit ? "" : "  OVER LIMIT");
    }
    std::printf("limit: growth of the cost per line from 1,000 to 100,000 lines <= %.1fx\n\n",
                GrowthLimit);

    const std::int64_t SentCases[] = {0, 4, 16 << 20};
    for (const std::int64_t Sent : SentCases) {
        std::size_t Loaded = 0;
        const std::int64_t Peak = ContentPeak(Sent, Loaded);
        Within = Within && Peak <= MemoryLimit;
        std::printf(
            "body stated as 1 GiB, %9lld bytes sent: %zu bytes loaded, heap peak %.1f "
            "MiB%s\n",
            static_cast<long long>(Sent), Loaded, static_cast<double>(Peak) / (1 << 20),
            Peak <= MemoryLimit ? "" : "  OVER LIMIT");
    }
    std::printf("limit: heap peak <= %.0f MiB (the length trusted up front, plus 1 MiB)\n",
                static_cast<double>(MemoryLimit) / (1 << 20));
    return Within ? 0 : 1;
}
