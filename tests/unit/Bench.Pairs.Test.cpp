#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bench.Pairs.h"

namespace {

using Bench::TFigure;
using Bench::TGoal;
using Bench::TQuartiles;

TFigure Figure(TGoal Goal, double Q1, double Median, double Q3, std::optional<double> Target) {
    TFigure F;
    F.Name = "n";
    F.Compared = "c";
    F.Unit = "x";
    F.Value = {Median, Q1, Q3};
    F.Target = Target;
    F.Goal = Goal;
    return F;
}

// Runs ParseOptions over a command line given as words; the program name comes first.
struct TParsed {
    Bench::TOptions Opt;
    std::vector<std::string> Left;
};

TParsed Parse(std::vector<std::string> Words, Bench::TOptions Defaults = {}) {
    Words.insert(Words.begin(), "bench");
    std::vector<char*> Argv;
    for (std::string& W : Words) Argv.push_back(W.data());
    Argv.push_back(nullptr);
    int Argc = static_cast<int>(Words.size());
    TParsed P;
    P.Opt = Bench::ParseOptions(Argc, Argv.data(), Defaults);
    for (int I = 1; I < Argc; ++I) P.Left.emplace_back(Argv[static_cast<std::size_t>(I)]);
    EXPECT_EQ(Argv[static_cast<std::size_t>(Argc)], nullptr);
    return P;
}

}  // namespace

TEST(BenchPairs, QuartilesInterpolateBetweenSamples) {
    struct TCase {
        const char* Name;
        std::vector<double> Samples;
        TQuartiles Expected;
    };
    const TCase Cases[] = {
        {"one sample", {2.5}, {2.5, 2.5, 2.5}},
        {"two samples", {1, 3}, {2, 1.5, 2.5}},
        {"odd count, unsorted", {5, 1, 4, 2, 3}, {3, 2, 4}},
        {"even count", {1, 2, 3, 4}, {2.5, 1.75, 3.25}},
        {"an outlier moves neither quartile far", {1, 1, 1, 1, 100}, {1, 1, 1}},
        {"ties", {2, 2, 8, 8}, {5, 2, 8}},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        const TQuartiles Q = Bench::Quartiles(C.Samples);
        EXPECT_DOUBLE_EQ(Q.Median, C.Expected.Median);
        EXPECT_DOUBLE_EQ(Q.Q1, C.Expected.Q1);
        EXPECT_DOUBLE_EQ(Q.Q3, C.Expected.Q3);
    }
    EXPECT_THROW(Bench::Quartiles({}), std::invalid_argument);
}

TEST(BenchPairs, VerdictFollowsTheSpreadAgainstTheTarget) {
    struct TCase {
        const char* Name;
        TGoal Goal;
        double Q1, Median, Q3;
        std::optional<double> Target;
        const char* Expected;
    };
    const TCase Cases[] = {
        {"spread above a minimum", TGoal::AtLeast, 0.91, 0.95, 0.99, 0.9, "met"},
        {"q1 exactly at a minimum", TGoal::AtLeast, 0.9, 0.95, 0.99, 0.9, "met"},
        {"spread below a minimum", TGoal::AtLeast, 0.7, 0.8, 0.89, 0.9, "not met"},
        {"spread straddles a minimum", TGoal::AtLeast, 0.85, 0.95, 1.1, 0.9, "unclear"},
        {"median above but q1 below", TGoal::AtLeast, 0.89, 2.0, 3.0, 0.9, "unclear"},
        {"spread below a limit", TGoal::Below, 10, 12, 14, 32, "met"},
        {"q3 exactly at a limit", TGoal::Below, 10, 20, 32, 32, "unclear"},
        {"q1 exactly at a limit", TGoal::Below, 32, 40, 50, 32, "not met"},
        {"spread above a limit", TGoal::Below, 40, 45, 50, 32, "not met"},
        {"spread straddles a limit", TGoal::Below, 30, 31, 33, 32, "unclear"},
        {"no target", TGoal::AtLeast, 0.1, 0.2, 0.3, std::nullopt, "info"},
        {"no limit", TGoal::Below, 10, 20, 30, std::nullopt, "info"},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(Bench::Verdict(Figure(C.Goal, C.Q1, C.Median, C.Q3, C.Target)), C.Expected);
    }
}

TEST(BenchPairs, OptionsAreTakenOutOfTheCommandLine) {
    struct TCase {
        const char* Name;
        std::vector<std::string> Words;
        int Rounds;
        double RoundSeconds;
        std::string Results;
        std::vector<std::string> Left;
    };
    const TCase Cases[] = {
        {"nothing given keeps the defaults", {}, 40, 0.15, "", {}},
        {"separate values",
         {"--rounds", "7", "--round-seconds", "0.1", "--results", "r.jsonl"},
         7,
         0.1,
         "r.jsonl",
         {}},
        {"values after =", {"--rounds=12", "--round-seconds=0.2", "--results=x"}, 12, 0.2, "x", {}},
        {"other arguments stay in order",
         {"--benchmark_filter=A", "--rounds", "3", "-v", "--roundsx=1"},
         3,
         0.15,
         "",
         {"--benchmark_filter=A", "-v", "--roundsx=1"}},
        {"the last of a repeated option wins", {"--rounds=2", "--rounds=9"}, 9, 0.15, "", {}},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        const TParsed P = Parse(C.Words);
        EXPECT_EQ(P.Opt.Rounds, C.Rounds);
        EXPECT_DOUBLE_EQ(P.Opt.RoundSeconds, C.RoundSeconds);
        EXPECT_EQ(P.Opt.ResultsFile, C.Results);
        EXPECT_EQ(P.Left, C.Left);
    }
}

TEST(BenchPairs, BadOptionValuesAreRefusedWithTheOptionNamed) {
    struct TCase {
        const char* Name;
        std::vector<std::string> Words;
        const char* Option;
    };
    const TCase Cases[] = {
        {"no value", {"--rounds"}, "--rounds"},
        {"not a number", {"--rounds", "many"}, "--rounds"},
        {"trailing letters", {"--rounds=30x"}, "--rounds"},
        {"zero rounds", {"--rounds=0"}, "--rounds"},
        {"fractional rounds", {"--rounds=2.5"}, "--rounds"},
        {"negative seconds", {"--round-seconds=-1"}, "--round-seconds"},
        {"zero seconds", {"--round-seconds", "0"}, "--round-seconds"},
        {"empty results", {"--results="}, "--results"},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        try {
            Parse(C.Words);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& E) {
            EXPECT_NE(std::string(E.what()).find(C.Option), std::string::npos) << E.what();
        }
    }
}

TEST(BenchPairs, ResultsFileDefaultsToTheEnvironment) {
    ::setenv("OSTREL_BENCH_RESULTS", "/tmp/from-env.jsonl", 1);
    EXPECT_EQ(Parse({}).Opt.ResultsFile, "/tmp/from-env.jsonl");
    EXPECT_EQ(Parse({"--results", "given.jsonl"}).Opt.ResultsFile, "given.jsonl");
    ::unsetenv("OSTREL_BENCH_RESULTS");
    EXPECT_EQ(Parse({}).Opt.ResultsFile, "");
}

// Sums of fake clock readings are exact but for rounding.
constexpr double Exact = 1e-9;

// A clock that moves only when the work says so: each side's call costs a set amount of
// elapsed and CPU time, so calibration and every ratio are exact.
struct TFakeTime {
    double Wall = 0, Cpu = 0;
    Bench::TClocks Clocks() {
        Bench::TClocks C;
        C.Wall = [this] { return Wall; };
        C.Cpu = [this] { return Cpu; };
        return C;
    }
    Bench::TWork Side(double WallCost, double CpuCost, std::string* Log = nullptr, char Mark = 0) {
        return [=, this] {
            Wall += WallCost;
            Cpu += CpuCost;
            if (Log) *Log += Mark;
        };
    }
};

// Which side runs first alternates from pair to pair, and each side's calls in a round run
// back to back: the log of calls shows both.
TEST(BenchPairs, PairsAlternateWhichSideGoesFirst) {
    TFakeTime Time;
    std::string Log;
    Bench::TOptions Opt;
    Opt.Rounds = 5;
    Opt.RoundSeconds = 0.2;
    // 0.1 s per call: calibration takes a warm-up call and a timed one of each and settles
    // on one per round.
    const Bench::TPairResult R = Bench::ComparePairs(
        Time.Side(0.1, 0.1, &Log, 'o'), Time.Side(0.1, 0.1, &Log, 'r'), Opt, Time.Clocks());
    EXPECT_EQ(Log,
              "oo"
              "rr"
              "or"
              "ro"
              "or"
              "ro"
              "or");
    EXPECT_EQ(R.Rounds, 5);
    ASSERT_EQ(R.Ratios.size(), 5u);
    for (const double X : R.Ratios) EXPECT_NEAR(X, 1.0, Exact);
}

// Work longer than half a round still runs MinCalls whole calls a side per round, so that
// one slow call cannot decide a round; LongWork asks for that with half the rounds.
TEST(BenchPairs, LongWorkRunsSeveralWholeCallsASide) {
    TFakeTime Time;
    std::string Log;
    const Bench::TOptions Opt = Bench::LongWork(Bench::TOptions{6, 0.2, "", 1}, 3);
    EXPECT_EQ(Opt.MinCalls, 3);
    EXPECT_EQ(Opt.Rounds, 6);  // never fewer than 10 unless asked for fewer
    Bench::TOptions Short = Opt;
    Short.Rounds = 2;
    const Bench::TPairResult R = Bench::ComparePairs(
        Time.Side(0.5, 0.5, &Log, 'o'), Time.Side(0.25, 0.25, &Log, 'r'), Short, Time.Clocks());
    EXPECT_EQ(Log,
              "oo"
              "rr"
              "ooorrr"
              "rrrooo");
    EXPECT_NEAR(R.Wall.Median, 0.5, 0.5 * Exact);
    EXPECT_EQ(Bench::LongWork(Bench::TOptions{}).Rounds, 20);
    EXPECT_EQ(Bench::LongWork(Bench::TOptions{}).MinCalls, 4);
    EXPECT_THROW(Bench::ComparePairs([] {}, [] {}, Bench::TOptions{3, 0.1, "", 0}),
                 std::invalid_argument);
}

// Ours costing four times the reference's elapsed time and twice its CPU time gives 0.25
// and 0.5: ratios are ours over reference in throughput, normalised by the calls each side
// made (the calibration gives the cheaper side more calls per round).
TEST(BenchPairs, RatiosAreOursOverReferenceInThroughput) {
    TFakeTime Time;
    Bench::TOptions Opt;
    Opt.Rounds = 9;
    const Bench::TPairResult R =
        Bench::ComparePairs(Time.Side(0.004, 0.002), Time.Side(0.001, 0.001), Opt, Time.Clocks());
    EXPECT_NEAR(R.Wall.Median, 0.25, 0.25 * Exact);
    EXPECT_NEAR(R.Wall.Q1, 0.25, 0.25 * Exact);
    EXPECT_NEAR(R.Wall.Q3, 0.25, 0.25 * Exact);
    EXPECT_NEAR(R.Cpu.Median, 0.5, 0.5 * Exact);
    EXPECT_NEAR(R.Best, 0.25, 0.25 * Exact);
    EXPECT_NEAR(R.OursPerSecond, 250, 250 * Exact);
    EXPECT_NEAR(R.ReferencePerSecond, 1000, 1000 * Exact);
}

// A pause of the host inside one round spoils that pair only: the median and quartiles keep
// the true ratio, and only the one ratio of that round shows the pause.
TEST(BenchPairs, APauseSpoilsOnePairOnly) {
    TFakeTime Time;
    Bench::TOptions Opt;
    Opt.Rounds = 9;
    Opt.RoundSeconds = 0.2;
    int Calls = 0;
    const Bench::TWork Ours = [&] {
        Time.Wall += 0.1;
        Time.Cpu += 0.1;
        if (++Calls == 6) Time.Wall += 1.0;  // calibration made calls 1 and 2; this is round 4
    };
    const Bench::TPairResult R = Bench::ComparePairs(Ours, Time.Side(0.1, 0.1), Opt, Time.Clocks());
    EXPECT_NEAR(R.Wall.Median, 1.0, 1.0 * Exact);
    EXPECT_NEAR(R.Wall.Q1, 1.0, 1.0 * Exact);
    EXPECT_NEAR(R.Wall.Q3, 1.0, 1.0 * Exact);
    EXPECT_NEAR(R.Cpu.Median, 1.0, 1.0 * Exact);
    ASSERT_EQ(R.Ratios.size(), 9u);
    EXPECT_NEAR(R.Ratios[3], 0.1 / 1.1, Exact);
    EXPECT_NEAR(R.Ratios[4], 1.0, 1.0 * Exact);
}

// A first call that is slow because it is cold (a first connection, memory faulted in) does
// not set how many calls a side makes a round: the calibration times warm calls only, so both
// sides fill their half of the round.
TEST(BenchPairs, AColdFirstCallDoesNotSetTheCallsPerRound) {
    TFakeTime Time;
    std::string Log;
    Bench::TOptions Opt;
    Opt.Rounds = 3;
    Opt.RoundSeconds = 0.2;
    bool Cold = true;
    const Bench::TWork Ours = [&] {
        Time.Wall += Cold ? 1.0 : 0.01;
        Time.Cpu += 0.01;
        Cold = false;
        Log += 'o';
    };
    const Bench::TPairResult R =
        Bench::ComparePairs(Ours, Time.Side(0.01, 0.01, &Log, 'r'), Opt, Time.Clocks());
    // The last round, ours first: ten calls of each side.
    ASSERT_GE(Log.size(), 20u);
    EXPECT_EQ(Log.substr(Log.size() - 20), std::string(10, 'o') + std::string(10, 'r')) << Log;
    for (const double X : R.Ratios) EXPECT_NEAR(X, 1.0, Exact);
}

TEST(BenchPairs, TimeRoundsGivesSecondsPerCall) {
    TFakeTime Time;
    Bench::TOptions Opt;
    Opt.Rounds = 4;
    const TQuartiles Q = Bench::TimeRounds(Time.Side(0.002, 0.002), Opt, Time.Clocks());
    EXPECT_NEAR(Q.Median, 0.002, 0.002 * Exact);
    EXPECT_NEAR(Q.Q1, 0.002, 0.002 * Exact);
    EXPECT_NEAR(Q.Q3, 0.002, 0.002 * Exact);
}

TEST(BenchPairs, FailureOfOneSidePropagates) {
    Bench::TOptions Opt;
    Opt.Rounds = 3;
    Opt.RoundSeconds = 0.01;
    int Calls = 0;
    const Bench::TWork Fails = [&] {
        if (++Calls == 3) throw std::runtime_error("transfer failed");
    };
    EXPECT_THROW(Bench::ComparePairs([] {}, Fails, Opt), std::runtime_error);
    EXPECT_THROW(Bench::ComparePairs([] {}, [] {}, Bench::TOptions{0, 0.1, ""}),
                 std::invalid_argument);
}

TEST(BenchPairs, RecordAppendsOneJsonLinePerFigure) {
    const std::filesystem::path File =
        std::filesystem::temp_directory_path() /
        ("bench-pairs-test-" + std::to_string(::getpid()) + ".jsonl");
    std::filesystem::remove(File);
    Bench::TOptions Opt;
    Opt.ResultsFile = File.string();

    Bench::TPairResult R;
    R.Wall = {0.95, 0.91, 0.99};
    R.Cpu = {1.02, 1.0, 1.05};
    R.Best = 0.97;
    R.Rounds = 40;
    Bench::Record(Bench::RatioFigure("a.ratio", "ours / \"ref\"\n", R, 0.9), Opt);
    Bench::Record(Bench::LimitFigure("a.growth", "peak growth", "MiB", {40, 35, 45}, 32), Opt);
    Bench::Record(Bench::LimitFigure("a.info", "per request", "us", {3, 2, 4}, std::nullopt), Opt);

    std::ifstream In(File);
    std::vector<std::string> Lines;
    for (std::string L; std::getline(In, L);) Lines.push_back(L);
    std::filesystem::remove(File);
    const std::vector<std::string> Expected = {
        R"({"name":"a.ratio","compared":"ours / \"ref\"\n","unit":"x","ratio":0.95,"q1":0.91,)"
        R"("q3":0.99,"target":0.9,"goal":"at least","verdict":"met","cpu":1.02,"cpu_q1":1,)"
        R"("cpu_q3":1.05,"best":0.97,"rounds":40})",
        R"({"name":"a.growth","compared":"peak growth","unit":"MiB","ratio":40,"q1":35,"q3":45,)"
        R"("target":32,"goal":"below","verdict":"not met"})",
        R"({"name":"a.info","compared":"per request","unit":"us","ratio":3,"q1":2,"q3":4,)"
        R"("target":null,"goal":"below","verdict":"info"})",
    };
    EXPECT_EQ(Lines, Expected);

    Opt.ResultsFile = "/nonexistent-folder/results.jsonl";
    EXPECT_THROW(Bench::Record(Bench::RatioFigure("b", "c", R, 1.0), Opt), std::runtime_error);
}

namespace {

// Runs a shell command; its standard output and exit status.
struct TRun {
    std::string Out;
    int Status;
};

TRun Shell(const std::string& Command) {
    TRun R{{}, -1};
    FILE* P = ::popen(Command.c_str(), "r");
    if (!P) return R;
    char Buf[4096];
    for (std::size_t N; (N = std::fread(Buf, 1, sizeof Buf, P)) > 0;) R.Out.append(Buf, N);
    const int W = ::pclose(P);
    R.Status = WIFEXITED(W) ? WEXITSTATUS(W) : -1;
    return R;
}

const std::string Scripts = std::string(OSTREL_TEST_SUPPORT_DIR) + "/../../scripts";

}  // namespace

// What the programs record reaches the summary: every figure once (the last line of a name
// recorded twice), in recording order, with its verdict; a failed program is named and
// fails the run, as does a line that is not a figure.
TEST(BenchSummary, TabulatesRecordedFiguresAndNamesFailures) {
    const std::filesystem::path Dir = std::filesystem::temp_directory_path() /
                                      ("bench-summary-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
    const std::string Results = (Dir / "results.jsonl").string();
    const std::string Summary = (Dir / "summary.json").string();
    Bench::TOptions Opt;
    Opt.ResultsFile = Results;
    Bench::TPairResult R;
    R.Wall = {0.8, 0.7, 0.85};
    R.Cpu = {0.9, 0.85, 0.95};
    R.Rounds = 40;
    Bench::Record(Bench::RatioFigure("x.small", "ours / curl", R, 0.9), Opt);
    Bench::Record(Bench::LimitFigure("x.growth", "peak growth", "MiB", {3, 3, 3}, 32), Opt);
    R.Wall = {1.0, 0.88, 1.1};
    Bench::Record(Bench::RatioFigure("x.small", "ours / curl", R, 0.9), Opt);
    Bench::Record(Bench::LimitFigure("x.info", "per request", "us", {5, 4, 6}, std::nullopt), Opt);
    // The summary as "name:verdict" words, read back with Python's own JSON reader.
    const std::string ReadBack =
        "python3 -c 'import json,sys; print(\" \".join(r[\"name\"] + \":\" + r[\"verdict\"] "
        "for r in json.load(open(sys.argv[1]))))' " +
        Summary;

    struct TCase {
        const char* Name;
        std::string Extra;  // arguments after the two files
        std::string AppendLine;
        int Status;
        std::vector<std::string> InOutput;
    };
    const TCase Cases[] = {
        {"all programs ran", "", "", 0, {"x.small", "unclear", "x.growth", "< 32 MiB", "met"}},
        {"a program failed", "--failed bench_gone", "", 1, {"FAILED: bench_gone"}},
        {"a program was not built",
         "--missing bench_x --failed bench_y",
         "",
         1,
         {"MISSING: bench_x", "FAILED: bench_y"}},
        {"a line that is not a figure", "", "{\"verdict\": \"met\"}\n", 1, {"x.info"}},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        if (!C.AppendLine.empty()) std::ofstream(Results, std::ios::app) << C.AppendLine;
        const TRun Run = Shell(Scripts + "/bench-summary " + Results + " " + Summary + " " +
                               C.Extra + " 2>/dev/null");
        EXPECT_EQ(Run.Status, C.Status) << Run.Out;
        for (const std::string& Text : C.InOutput)
            EXPECT_NE(Run.Out.find(Text), std::string::npos) << Text << " in\n" << Run.Out;
        EXPECT_EQ(Shell(ReadBack).Out, "x.small:unclear x.growth:met x.info:info\n");
    }
    std::filesystem::remove_all(Dir);
}

// A missed target fails the run, so a script can tell; an unclear verdict does not (the case
// above), and every figure is still tabulated.
TEST(BenchSummary, FailsWhenATargetIsNotMet) {
    const std::filesystem::path Dir = std::filesystem::temp_directory_path() /
                                      ("bench-summary-notmet-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
    const std::string Results = (Dir / "results.jsonl").string();
    const std::string Summary = (Dir / "summary.json").string();
    Bench::TOptions Opt;
    Opt.ResultsFile = Results;
    Bench::TPairResult R;
    R.Wall = {0.7, 0.65, 0.75};
    R.Rounds = 40;
    Bench::Record(Bench::RatioFigure("x.slow", "ours / curl", R, 0.9), Opt);
    Bench::Record(Bench::LimitFigure("x.growth", "peak growth", "MiB", {40, 38, 41}, 32), Opt);
    R.Wall = {1.0, 0.95, 1.05};
    Bench::Record(Bench::RatioFigure("x.fast", "ours / curl", R, 0.9), Opt);
    const TRun Run = Shell(Scripts + "/bench-summary " + Results + " " + Summary + " 2>/dev/null");
    EXPECT_EQ(Run.Status, 1) << Run.Out;
    for (const char* Text : {"NOT MET: x.slow", "NOT MET: x.growth", "x.fast", "1 met, 2 not met"})
        EXPECT_NE(Run.Out.find(Text), std::string::npos) << Text << " in\n" << Run.Out;
    EXPECT_EQ(Run.Out.find("NOT MET: x.fast"), std::string::npos) << Run.Out;
    std::filesystem::remove_all(Dir);
}
