// ostrel-cli: each URL through both HTTP stacks, timed phase by phase, with a verdict. Qt's
// core application only: it needs no display and loads no GUI library.

#include <QCoreApplication>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "Ostrel.Cli.Options.h"
#include "Ostrel.Cli.Report.h"
#include "Ostrel.Cli.Run.h"

int main(int argc, char** argv) {
    // Qt sees only the program name: every argument is ours.
    int QtArgc = 1;
    char* QtArgv[] = {argv[0], nullptr};
    QCoreApplication Application(QtArgc, QtArgv);
    const std::vector<std::string> Args(argv + 1, argv + argc);
    try {
        return Ostrel::Cli::Run(Args, std::cout, std::cerr);
    } catch (const std::exception& E) {
        // Each stack's failures are part of the report; anything else (memory running out)
        // ends the run with a line instead of an abort.
        std::cerr << "ostrel-cli: " << Ostrel::Cli::Printable(E.what()) << "\n";
        return Ostrel::Cli::ExitNoAnswer;
    }
}
