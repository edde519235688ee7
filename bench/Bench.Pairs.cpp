#include "Bench.Pairs.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace Bench {

namespace {

double ParseNumber(const std::string& Option, const std::string& Text) {
    char* End = nullptr;
    errno = 0;
    const double V = std::strtod(Text.c_str(), &End);
    if (Text.empty() || End != Text.c_str() + Text.size() || errno != 0 || !std::isfinite(V))
        throw std::invalid_argument(Option + " wants a number, not \"" + Text + "\"");
    return V;
}

// Elapsed and CPU seconds of Count calls of Work.
struct TSpan {
    double Wall, Cpu;
};

TSpan Run(const TWork& Work, long Count, const TClocks& Clocks) {
    const double C0 = Clocks.Cpu();
    const double T0 = Clocks.Wall();
    for (long I = 0; I < Count; ++I) Work();
    const double Wall = Clocks.Wall() - T0;
    return {Wall, Clocks.Cpu() - C0};
}

// Calls per side so that one side fills about Seconds. A first call, not timed, warms caches,
// pools and connections: a cold first call that lasts long (a first connection, a pool filled,
// memory faulted in) would otherwise give that side too few calls a round, against many of the
// other's. Grows the trial until it lasts long enough for the clock to be exact.
long CallsFor(const TWork& Work, double Seconds, const TClocks& Clocks) {
    constexpr double Enough = 0.02;
    Work();
    long N = 1;
    for (;;) {
        const double T = Run(Work, N, Clocks).Wall;
        if (T >= Enough || T >= Seconds || N >= (1L << 40)) {
            return std::max(1L, std::lround(Seconds / (T / static_cast<double>(N))));
        }
        const double Grow = T > 0 ? std::clamp(1.5 * Enough / T, 2.0, 100.0) : 100.0;
        N = static_cast<long>(static_cast<double>(N) * Grow);
    }
}

void CheckOptions(const TOptions& Opt) {
    if (Opt.Rounds < 1) throw std::invalid_argument("--rounds must be at least 1");
    if (!(Opt.RoundSeconds > 0)) throw std::invalid_argument("--round-seconds must be positive");
    if (Opt.MinCalls < 1) throw std::invalid_argument("at least one call a side in a round");
}

std::string JsonString(const std::string& S) {
    std::string Out = "\"";
    for (const char C : S) {
        switch (C) {
            case '"':
                Out += "\\\"";
                break;
            case '\\':
                Out += "\\\\";
                break;
            case '\n':
                Out += "\\n";
                break;
            case '\r':
                Out += "\\r";
                break;
            case '\t':
                Out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(C) < 0x20) {
                    char Buf[8];
                    std::snprintf(Buf, sizeof Buf, "\\u%04x", static_cast<unsigned>(C));
                    Out += Buf;
                } else {
                    Out += C;
                }
        }
    }
    return Out + "\"";
}

std::string JsonNumber(double V) {
    if (!std::isfinite(V)) return "null";
    char Buf[32];
    std::snprintf(Buf, sizeof Buf, "%.6g", V);
    return Buf;
}

std::string Fixed(double V) {
    char Buf[32];
    std::snprintf(Buf, sizeof Buf, std::fabs(V) >= 100 ? "%.0f" : "%.3g", V);
    return Buf;
}

}  // namespace

TOptions ParseOptions(int& Argc, char** Argv, TOptions Defaults) {
    TOptions Opt = std::move(Defaults);
    if (Opt.ResultsFile.empty())
        if (const char* Env = std::getenv("OSTREL_BENCH_RESULTS")) Opt.ResultsFile = Env;
    int Out = 1;
    for (int I = 1; I < Argc; ++I) {
        const std::string Arg = Argv[I];
        std::string Name = Arg, Value;
        bool HasValue = false;
        if (const auto Eq = Arg.find('='); Arg.rfind("--", 0) == 0 && Eq != std::string::npos) {
            Name = Arg.substr(0, Eq);
            Value = Arg.substr(Eq + 1);
            HasValue = true;
        }
        if (Name != "--rounds" && Name != "--round-seconds" && Name != "--results") {
            Argv[Out++] = Argv[I];
            continue;
        }
        if (!HasValue) {
            if (I + 1 >= Argc) throw std::invalid_argument(Name + " wants a value");
            Value = Argv[++I];
        }
        if (Name == "--rounds") {
            const double N = ParseNumber(Name, Value);
            if (N < 1 || N != std::floor(N) || N > 1e6)
                throw std::invalid_argument("--rounds wants a whole number from 1, not \"" + Value +
                                            "\"");
            Opt.Rounds = static_cast<int>(N);
        } else if (Name == "--round-seconds") {
            const double S = ParseNumber(Name, Value);
            if (!(S > 0) || S > 3600)
                throw std::invalid_argument("--round-seconds wants a positive number, not \"" +
                                            Value + "\"");
            Opt.RoundSeconds = S;
        } else {
            if (Value.empty()) throw std::invalid_argument("--results wants a file name");
            Opt.ResultsFile = Value;
        }
    }
    Argc = Out;
    Argv[Out] = nullptr;
    return Opt;
}

TOptions LongWork(TOptions Opt, long MinCalls) {
    Opt.MinCalls = std::max(Opt.MinCalls, MinCalls);
    Opt.Rounds = std::max(std::min(Opt.Rounds, 10), Opt.Rounds / 2);
    return Opt;
}

TQuartiles Quartiles(std::vector<double> Samples) {
    if (Samples.empty()) throw std::invalid_argument("quartiles of no samples");
    std::sort(Samples.begin(), Samples.end());
    const auto At = [&](double P) {
        const double Pos = P * static_cast<double>(Samples.size() - 1);
        const auto Lo = static_cast<std::size_t>(std::floor(Pos));
        const std::size_t Hi = std::min(Lo + 1, Samples.size() - 1);
        return Samples[Lo] + (Samples[Hi] - Samples[Lo]) * (Pos - static_cast<double>(Lo));
    };
    return {At(0.5), At(0.25), At(0.75)};
}

double ThreadCpuSeconds() {
    timespec T{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
    return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_nsec) / 1e9;
}

TClocks::TClocks()
    : Wall([] {
          return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
              .count();
      }) {}

TPairResult ComparePairs(const TWork& Ours, const TWork& Reference, const TOptions& Opt,
                         const TClocks& Clocks) {
    CheckOptions(Opt);
    const double Half = Opt.RoundSeconds / 2;
    const long NOurs = std::max(Opt.MinCalls, CallsFor(Ours, Half, Clocks));
    const long NRef = std::max(Opt.MinCalls, CallsFor(Reference, Half, Clocks));
    std::vector<double> Wall, Cpu, OursRate, RefRate;
    double BestOurs = 0, BestRef = 0;
    for (int Round = 0; Round < Opt.Rounds; ++Round) {
        TSpan A{}, B{};
        if (Round % 2 == 0) {
            A = Run(Ours, NOurs, Clocks);
            B = Run(Reference, NRef, Clocks);
        } else {
            B = Run(Reference, NRef, Clocks);
            A = Run(Ours, NOurs, Clocks);
        }
        const double OursPerSec = static_cast<double>(NOurs) / A.Wall;
        const double RefPerSec = static_cast<double>(NRef) / B.Wall;
        Wall.push_back(OursPerSec / RefPerSec);
        // CPU clocks tick coarsely for very short spans; a zero would make an infinite ratio.
        if (A.Cpu > 0 && B.Cpu > 0)
            Cpu.push_back((static_cast<double>(NOurs) / A.Cpu) /
                          (static_cast<double>(NRef) / B.Cpu));
        OursRate.push_back(OursPerSec);
        RefRate.push_back(RefPerSec);
        BestOurs = std::max(BestOurs, OursPerSec);
        BestRef = std::max(BestRef, RefPerSec);
    }
    TPairResult R;
    R.Ratios = Wall;
    R.Wall = Quartiles(Wall);
    R.Cpu = Cpu.empty() ? TQuartiles{NAN, NAN, NAN} : Quartiles(Cpu);
    R.Best = BestOurs / BestRef;
    R.OursPerSecond = Quartiles(OursRate).Median;
    R.ReferencePerSecond = Quartiles(RefRate).Median;
    R.Rounds = Opt.Rounds;
    return R;
}

TQuartiles TimeRounds(const TWork& Work, const TOptions& Opt, const TClocks& Clocks) {
    CheckOptions(Opt);
    const long N = std::max(Opt.MinCalls, CallsFor(Work, Opt.RoundSeconds, Clocks));
    std::vector<double> PerCall;
    for (int Round = 0; Round < Opt.Rounds; ++Round)
        PerCall.push_back(Run(Work, N, Clocks).Wall / static_cast<double>(N));
    return Quartiles(std::move(PerCall));
}

std::string Verdict(const TFigure& F) {
    if (!F.Target) return "info";
    const double T = *F.Target;
    if (F.Goal == TGoal::AtLeast) {
        if (F.Value.Q1 >= T) return "met";
        if (F.Value.Q3 < T) return "not met";
    } else {
        if (F.Value.Q3 < T) return "met";
        if (F.Value.Q1 >= T) return "not met";
    }
    return "unclear";
}

TFigure RatioFigure(std::string Name, std::string Compared, const TPairResult& R,
                    std::optional<double> Target) {
    TFigure F;
    F.Name = std::move(Name);
    F.Compared = std::move(Compared);
    F.Unit = "x";
    F.Value = R.Wall;
    F.Target = Target;
    F.Goal = TGoal::AtLeast;
    F.Cpu = R.Cpu;
    F.Best = R.Best;
    F.Rounds = R.Rounds;
    return F;
}

TFigure LimitFigure(std::string Name, std::string Compared, std::string Unit, TQuartiles Value,
                    std::optional<double> Limit) {
    TFigure F;
    F.Name = std::move(Name);
    F.Compared = std::move(Compared);
    F.Unit = std::move(Unit);
    F.Value = Value;
    F.Target = Limit;
    F.Goal = TGoal::Below;
    return F;
}

std::string ToJson(const TFigure& F) {
    std::string J = "{\"name\":" + JsonString(F.Name) + ",\"compared\":" + JsonString(F.Compared) +
                    ",\"unit\":" + JsonString(F.Unit) + ",\"ratio\":" + JsonNumber(F.Value.Median) +
                    ",\"q1\":" + JsonNumber(F.Value.Q1) + ",\"q3\":" + JsonNumber(F.Value.Q3) +
                    ",\"target\":" + (F.Target ? JsonNumber(*F.Target) : "null") +
                    ",\"goal\":" + JsonString(F.Goal == TGoal::AtLeast ? "at least" : "below") +
                    ",\"verdict\":" + JsonString(Verdict(F));
    if (F.Cpu)
        J += ",\"cpu\":" + JsonNumber(F.Cpu->Median) + ",\"cpu_q1\":" + JsonNumber(F.Cpu->Q1) +
             ",\"cpu_q3\":" + JsonNumber(F.Cpu->Q3);
    if (F.Best) J += ",\"best\":" + JsonNumber(*F.Best);
    if (F.Rounds > 0) J += ",\"rounds\":" + std::to_string(F.Rounds);
    return J + "}";
}

void Record(const TFigure& F, const TOptions& Opt) {
    const std::string U = F.Unit == "x" ? "x" : " " + F.Unit;
    std::string Line = F.Name + ": " + F.Compared + ": " + Fixed(F.Value.Median) + U + " [" +
                       Fixed(F.Value.Q1) + ".." + Fixed(F.Value.Q3) + "]";
    if (F.Cpu && std::isfinite(F.Cpu->Median))
        Line += ", CPU " + Fixed(F.Cpu->Median) + "x [" + Fixed(F.Cpu->Q1) + ".." +
                Fixed(F.Cpu->Q3) + "]";
    if (F.Best) Line += ", best/best " + Fixed(*F.Best) + "x";
    if (F.Target)
        Line += std::string(", target ") + (F.Goal == TGoal::AtLeast ? ">= " : "< ") +
                Fixed(*F.Target) + U + ": " + Verdict(F);
    std::printf("%s\n", Line.c_str());
    std::fflush(stdout);
    if (Opt.ResultsFile.empty()) return;
    // One write of a whole line to a file opened for appending: lines of programs run one
    // after another never interleave.
    const std::string J = ToJson(F) + "\n";
    const int Fd = open(Opt.ResultsFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (Fd < 0 || write(Fd, J.data(), J.size()) != static_cast<ssize_t>(J.size())) {
        const std::string Why = std::strerror(errno);
        if (Fd >= 0) close(Fd);
        throw std::runtime_error("cannot append to " + Opt.ResultsFile + ": " + Why);
    }
    close(Fd);
}

}  // namespace Bench
