#include "Ostrel.Cli.Run.h"

#include <ostream>

#include "Nimbra.Http.Client.h"
#include "Ostrel.Cli.NimbraProbe.h"
#include "Ostrel.Cli.Options.h"
#include "Ostrel.Cli.Probe.h"
#include "Ostrel.Cli.Report.h"
#include "Ostrel.HttpClient.h"

namespace Ostrel::Cli {

int Run(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err) {
    TOptions Options;
    try {
        Options = ParseOptions(Args);
    } catch (const EUsageError& E) {
        Err << "ostrel-cli: " << E.Message() << "\nTry 'ostrel-cli --help'.\n";
        return ExitUsage;
    }
    if (Options.Help) {
        Out << HelpText();
        return ExitAll200;
    }

    // One client per stack for the whole run, made before anything is timed.
    THTTPClient QtClient;
    std::unique_ptr<Nimbra::THttpClient> NimbraClient;
    if (Options.UseNimbra) NimbraClient = std::make_unique<Nimbra::THttpClient>();

    std::vector<TUrlReport> Reports;
    for (const std::string& Url : Options.Urls) {
        std::vector<TProbe> Probes;
        if (Options.UseQt) Probes.push_back(ProbeQt(QtClient, Url, Options.TimeoutMs));
        if (Options.UseNimbra) Probes.push_back(ProbeNimbra(*NimbraClient, Url, Options.TimeoutMs));
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
