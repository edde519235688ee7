#include "Ostrel.Cli.Run.h"

#include <ostream>

#include "Ostrel.Cli.NimbraProbe.h"
#include "Ostrel.Cli.Options.h"
#include "Ostrel.Cli.Probe.h"
#include "Ostrel.Cli.Report.h"
#include "Ostrel.Cli.WarmUp.h"
#include "Ostrel.HttpClient.h"

namespace Ostrel::Cli {

int Run(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err) {
    TOptions Options;
    try {
        Options = ParseOptions(Args);
    } catch (const EUsageError& E) {
        // The message quotes the command line, which may hold anything.
        Err << "ostrel-cli: " << Printable(E.Message()) << "\nTry 'ostrel-cli --help'.\n";
        return ExitUsage;
    }
    if (Options.Help) {
        Out << HelpText();
        return ExitAll200;
    }

    // Start-up costs belong to no URL: each stack pays them here, before anything is timed.
    WarmUp(Options.UseQt, Options.UseNimbra);

    std::vector<TUrlReport> Reports;
    for (const std::string& Url : Options.Urls) {
        // Fresh clients for each URL, as each click of the window makes its own: nothing
        // (cookies, connections, a session) carries over from one URL to the next. They are
        // made before anything is timed.
        std::vector<TProbe> Probes;
        if (Options.UseQt) {
            THTTPClient QtClient;
            Probes.push_back(ProbeQt(QtClient, Url, Options.TimeoutMs));
        }
        if (Options.UseNimbra) Probes.push_back(ProbeNimbra(Url, Options.TimeoutMs, Options.Http2));
        Reports.push_back(MakeReport(Url, std::move(Probes)));
        // Text goes out URL by URL, so a slow one does not hold back those before it.
        if (!Options.Json) Out << FormatUrlText(Reports.back()) << std::flush;
    }
    if (Options.Json)
        Out << FormatJson(Reports, Options);
    else
        Out << TextLegend();
    return RunExitCode(Reports);
}

}  // namespace Ostrel::Cli
