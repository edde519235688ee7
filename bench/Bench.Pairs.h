#pragma once
// Bench.Pairs: what every benchmark program uses to compare our code with a reference on a
// shared, noisy machine, and to report each figure to the summary that `make bench` prints.
//
// Why pairs: a host pause or a neighbour's build lasts tens or hundreds of milliseconds. A
// long run of one side followed by a long run of the other puts a pause wholly on one side.
// Many short rounds, each running both sides back to back (which side goes first alternates),
// give one ratio per round taken under nearly the same load; the median of those ratios and
// its interquartile range say how far the figure can be trusted. The CPU time of the working
// thread is measured alongside, as it varies far less than elapsed time.
//
// Use in a benchmark program (link `bench_support`):
//
//     int main(int argc, char** argv) {
//         Bench::TOptions Opt = Bench::ParseOptions(argc, argv);   // --rounds N etc.
//         auto R = Bench::ComparePairs([&] { OurOneRequest(); },   // one unit of work each;
//                                      [&] { CurlOneRequest(); },  // throw to report a failure
//                                      Opt);
//         Bench::Record(Bench::RatioFigure("winhttp.small-gets",
//                                          "libwinhttp / raw libcurl, keep-alive 1 KiB GETs",
//                                          R, 0.9),                // target: at least 0.9x
//                       Opt);
//         // A figure that is not a ratio, lower is better, with its limit:
//         Bench::Record(Bench::LimitFigure("winhttp.large-peak-growth",
//                                          "libwinhttp peak memory growth, 256 MiB body", "MiB",
//                                          Bench::Quartiles(GrowthSamples), 32),
//                       Opt);
//         return 0;
//     }
//
// A comparison against raw libcurl fetches from Bench::TNginx (Bench.Nginx.h); a new program
// needs its `add_executable` in bench/CMakeLists.txt linking `bench_support`, and its name in
// the list of scripts/run-bench. bench/WinHttp.Bench.cpp is a complete example.
//
// Ratios are always "ours / reference" in throughput (work per second), so higher is better
// and 1.0 is parity. Each unit of work should do the same thing on both sides; where the
// work is tiny (a few hundred nanoseconds), let one call do a batch, and pass results to
// Bench::Keep so that the compiler cannot drop the work. The CPU figure counts the calling
// thread only: work on other threads (a server thread, nginx) is in elapsed time alone.
//
// Work whose one call lasts about half a round or more (a 256 MiB transfer) runs with
// LongWork(Opt): several whole calls a side in each round, so one slow call cannot decide a
// round's ratio.
//
// Other figures: TimeRounds gives seconds per call in rounds, e.g. µs per request as
// LimitFigure(Name, What, "us", TimeRounds(Work, Opt).Times(1e6), Limit); a ratio that must
// stay below a limit (time growth of a tenfold input, say) is a LimitFigure with unit "x";
// a ratio that must reach 20x is a RatioFigure with target 20.
//
// Command line (ParseOptions takes these out of argv, so other parsers never see them):
//   --rounds N          number of pairs (default 40)
//   --round-seconds S   length of one pair, both sides together (default 0.15)
//   --results FILE      where Record appends its JSON lines; default $OSTREL_BENCH_RESULTS
//
// Record prints a line on stdout and, when a results file is named, appends one JSON object
// per line: name, compared, unit, ratio (the median; for a non-ratio figure the figure
// itself, in unit), q1, q3, target (null when the figure is only informative), goal
// ("at least" or "below"), verdict, and for paired ratios cpu, cpu_q1, cpu_q3, best and
// rounds. scripts/run-bench points the file at the build folder, then turns it into the
// summary table and build/bench-summary.json.
//
// Verdict: "met" when q1..q3 lies wholly on the good side of the target (for "at least T":
// q1 >= T; for "below L": q3 < L), "not met" when wholly on the bad side (q3 < T; q1 >= L),
// "unclear" when it straddles, and "info" when there is no target.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Bench {

/// How many pairs to run and how long each lasts; from the command line or defaults.
struct TOptions {
    int Rounds = 40;
    double RoundSeconds = 0.15;
    std::string ResultsFile;  // empty: only print
    /// Fewest calls of each side in one round, whatever the round's length. Work whose one
    /// call lasts about half a round (a 256 MiB transfer) is otherwise one call against one,
    /// so that a single slow call decides a round and the quartiles spread wide; with several
    /// whole calls a side, the pauses even out within the round.
    long MinCalls = 1;
};

/// Opt for work whose one call lasts most of half a round: MinCalls whole calls of each side
/// a round, and half the rounds (at least 10), so that the run stays about as short.
TOptions LongWork(TOptions Opt, long MinCalls = 4);

/// Takes --rounds, --round-seconds and --results (as "--x V" or "--x=V") out of argv and
/// returns them over Defaults; ResultsFile falls back to $OSTREL_BENCH_RESULTS. A bad value
/// throws std::invalid_argument with a message naming the option.
TOptions ParseOptions(int& Argc, char** Argv, TOptions Defaults = {});

/// Median and quartiles of a set of samples (linear interpolation between order statistics).
struct TQuartiles {
    double Median = 0, Q1 = 0, Q3 = 0;
    /// All three multiplied by K, e.g. 1e6 for seconds into microseconds.
    TQuartiles Times(double K) const { return {Median * K, Q1 * K, Q3 * K}; }
};
/// Throws std::invalid_argument for an empty set.
TQuartiles Quartiles(std::vector<double> Samples);

/// Outcome of ComparePairs. Ratios are ours / reference in throughput.
struct TPairResult {
    TQuartiles Wall;           // per-pair ratios of elapsed time
    TQuartiles Cpu;            // per-pair ratios of the working thread's CPU time
    double Best = 0;           // fastest round of ours against fastest of the reference
    double OursPerSecond = 0;  // units per second, median over the rounds
    double ReferencePerSecond = 0;
    int Rounds = 0;
    std::vector<double> Ratios;  // the per-pair elapsed-time ratios, in round order
};

using TWork = std::function<void()>;

/// CPU time of the calling thread in seconds.
double ThreadCpuSeconds();

/// Makes the compiler take Value as read, so that work whose result nobody uses is not
/// optimised away.
template <typename T>
inline void Keep(const T& Value) {
    asm volatile("" : : "g"(&Value) : "memory");
}

/// The clocks a measurement reads, in seconds: the steady clock and the calling thread's CPU
/// time unless a test supplies its own.
struct TClocks {
    std::function<double()> Wall;
    std::function<double()> Cpu = &ThreadCpuSeconds;
    TClocks();
};

/// Runs Ours and Reference alternately: after a short calibration each side gets a fixed
/// number of calls per round filling about half a round (at least Opt.MinCalls), and the
/// side that runs first alternates from round to round. Exceptions from either side
/// propagate.
TPairResult ComparePairs(const TWork& Ours, const TWork& Reference, const TOptions& Opt,
                         const TClocks& Clocks = {});

/// Seconds per call of Work over Opt.Rounds rounds of about Opt.RoundSeconds each, for
/// figures that are not ratios (µs per request and the like).
TQuartiles TimeRounds(const TWork& Work, const TOptions& Opt, const TClocks& Clocks = {});

enum class TGoal { AtLeast, Below };

/// One line of the summary.
struct TFigure {
    std::string Name;      // stable key, e.g. "winhttp.small-gets"
    std::string Compared;  // what is compared or measured, for people
    std::string Unit;      // "x" for ratios; "MiB", "us" and so on otherwise
    TQuartiles Value;
    std::optional<double> Target;  // none: shown for information only
    TGoal Goal = TGoal::AtLeast;
    std::optional<TQuartiles> Cpu;  // paired ratios only
    std::optional<double> Best;     // paired ratios only
    int Rounds = 0;
};

/// "met", "not met", "unclear" or "info", by the rule at the top of this file.
std::string Verdict(const TFigure& F);

/// A paired ratio with a target it must reach (none: informative only).
TFigure RatioFigure(std::string Name, std::string Compared, const TPairResult& R,
                    std::optional<double> Target);
/// A figure that must stay below Limit (none: informative only), e.g. peak memory growth.
TFigure LimitFigure(std::string Name, std::string Compared, std::string Unit, TQuartiles Value,
                    std::optional<double> Limit);

/// The figure as one JSON object on one line.
std::string ToJson(const TFigure& F);

/// Prints the figure and appends its JSON line to Opt.ResultsFile when one is named.
/// Throws std::runtime_error when the file cannot be written.
void Record(const TFigure& F, const TOptions& Opt);

}  // namespace Bench
