#pragma once
// The terminal mode's command line: which URLs, through which stacks, with what time-out,
// printed how.

#include <string>
#include <vector>

#include "Runtime.Exception.h"

namespace Ostrel::Cli {

/// A command line the program cannot run; the message says what is wrong with it.
RUNTIME_DECLARE_EXCEPTION(EUsageError, Runtime::Exception);

/// Exit codes of ostrel-cli. Each URL gets one of 0, 1, 3, 4 (the first that applies from 3
/// down: 3, then 4, then 1, else 0); the run exits with the highest.
enum TExitCode : int {
    ExitAll200 = 0,    // every request through every chosen stack answered 200
    ExitNot200 = 1,    // answered, and alike, but not with 200
    ExitUsage = 2,     // bad command line; nothing was sent
    ExitDisagree = 3,  // both stacks were asked and their outcomes differ
    ExitNoAnswer = 4,  // a stack got no answer (and the other failed alike or was not asked)
};

/// What one run does, parsed from the command line.
struct TOptions {
    std::vector<std::string> Urls;  // in the order given
    bool Json = false;              // one JSON document instead of text
    bool Help = false;              // print the help and send nothing
    int TimeoutMs = DefaultTimeoutMs;
    bool UseQt = true;  // --stack limits the run to one of the two
    bool UseNimbra = true;
    bool Http2 = false;  // --http2: Nimbra offers HTTP/2 on https too (Qt always does)

    /// Both stacks' own default: 60 s.
    static constexpr int DefaultTimeoutMs = 60000;
};

/// Parses the arguments after the program name. Raises EUsageError for an unknown option,
/// a missing or bad value, or no URL (unless --help is given).
TOptions ParseOptions(const std::vector<std::string>& Args);

/// The text --help prints: usage, every option, the output and the exit codes.
std::string HelpText();

}  // namespace Ostrel::Cli
