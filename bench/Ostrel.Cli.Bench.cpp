// ostrel-cli's own cost: for a local 200, the tool's time per URL against the time its two
// requests took as it measured them (Qt's client and Nimbra's, one after the other), in the
// same process and through the same code the program runs. The difference is the tool: its
// parsing, comparing, formatting and printing.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bench.Nginx.h"
#include "Bench.Pairs.h"
#include "Ostrel.Cli.Run.h"

extern char** environ;

namespace {

// Sum of the stacks' own times in a JSON report.
double RequestsMs(const std::string& Json) {
    const QJsonDocument Doc = QJsonDocument::fromJson(QByteArray::fromStdString(Json));
    double Requests = 0;
    for (const QJsonValue& U : Doc.object()["urls"].toArray())
        for (const QJsonValue& R : U.toObject()["results"].toArray())
            Requests += R.toObject()["wall_ms"].toDouble();
    return Requests;
}

// One run over UrlsPerRun copies of the URL: the tool's milliseconds per URL beyond what
// its requests took.
double OverheadPerUrlMs(const std::vector<std::string>& Args, int UrlsPerRun) {
    std::ostringstream Out, Err;
    const auto Start = std::chrono::steady_clock::now();
    const int Code = Ostrel::Cli::Run(Args, Out, Err);
    const double Elapsed =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
    if (Code != 0) throw std::runtime_error("ostrel-cli exited " + std::to_string(Code));
    return (Elapsed - RequestsMs(Out.str())) / UrlsPerRun;
}

// The program itself, started for one URL as a user starts it: the milliseconds beyond its
// requests are the start of a process, Qt's core application and the libraries.
double ProcessOverheadMs(const std::string& Program, const std::string& Url) {
    int Out[2];
    if (pipe(Out) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> Args = {Program, "--json", Url};
    std::vector<char*> Argv;
    for (auto& A : Args) Argv.push_back(A.data());
    Argv.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&Actions, Out[0]);
    const auto Start = std::chrono::steady_clock::now();
    pid_t Pid = -1;
    const int Rc = posix_spawn(&Pid, Program.c_str(), &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    close(Out[1]);
    std::string Json;
    char Buf[4096];
    ssize_t N;
    while (Rc == 0 && ((N = read(Out[0], Buf, sizeof Buf)) > 0 || (N < 0 && errno == EINTR)))
        if (N > 0) Json.append(Buf, static_cast<std::size_t>(N));
    close(Out[0]);
    int Status = 0;
    while (Rc == 0 && waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
    }
    const double Elapsed =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
    if (Rc != 0 || !WIFEXITED(Status) || WEXITSTATUS(Status) != 0)
        throw std::runtime_error("could not run " + Program);
    return Elapsed - RequestsMs(Json);
}

}  // namespace

int main(int argc, char** argv) {
    Bench::TOptions Opt = Bench::ParseOptions(argc, argv, {20, 0.15, {}});
    int QtArgc = 1;
    char* QtArgv[] = {argv[0], nullptr};
    QCoreApplication Application(QtArgc, QtArgv);
    Bench::TNginx Nginx({{"ok.txt", std::string(1024, 'x')}});

    constexpr int UrlsPerRun = 10;
    std::vector<std::string> Args = {"--json"};
    for (int I = 0; I < UrlsPerRun; ++I) Args.push_back(Nginx.Url("ok.txt"));
    OverheadPerUrlMs(Args, UrlsPerRun);  // warm: first connections, first allocations

    std::vector<double> Samples;
    for (int Round = 0; Round < Opt.Rounds; ++Round)
        Samples.push_back(OverheadPerUrlMs(Args, UrlsPerRun));
    Bench::Record(Bench::LimitFigure("cli.overhead-per-url",
                                     "ostrel-cli time per URL beyond its two requests' own "
                                     "times, local 200, JSON output",
                                     "ms", Bench::Quartiles(Samples), 10),
                  Opt);

    const std::string Program =
        (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "ostrel-cli").string();
    std::vector<double> Starts;
    for (int Round = 0; Round < Opt.Rounds; ++Round)
        Starts.push_back(ProcessOverheadMs(Program, Nginx.Url("ok.txt")));
    Bench::Record(Bench::LimitFigure("cli.process-overhead",
                                     "one ostrel-cli run for one local 200, beyond its two "
                                     "requests: process start, Qt's core application, libraries",
                                     "ms", Bench::Quartiles(Starts), std::nullopt),
                  Opt);
    return 0;
}
