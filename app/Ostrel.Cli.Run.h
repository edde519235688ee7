#pragma once
// The terminal mode as a whole: parses the command line, sends each URL through the chosen
// stacks, prints the report and gives the exit code. ostrel-cli's main is only this call, so
// the tests drive exactly what the program runs.

#include <iosfwd>
#include <string>
#include <vector>

namespace Ostrel::Cli {

/// Runs the terminal mode with the arguments after the program name. The report (or the
/// help) goes to Out, a usage error to Err. Needs a QCoreApplication (no display).
int Run(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err);

}  // namespace Ostrel::Cli
