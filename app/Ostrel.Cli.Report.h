#pragma once
// What the terminal mode prints: per URL each stack's outcome, its phases as numbers and as
// a waterfall on a scale shared by both stacks, and a verdict on whether the stacks agree;
// as text for people or as one JSON document for scripts.

#include <string>
#include <vector>

#include "Ostrel.Cli.Options.h"
#include "Ostrel.Cli.Probe.h"

namespace Ostrel::Cli {

/// Whether the stacks agree about a URL, and why not when they do not.
struct TVerdict {
    bool Compared = false;  // both stacks were asked
    bool Agree = true;
    std::string Text;  // one sentence
    /// Set when both answered over different protocols: says which spoke what (and, for the
    /// same status, that the answers agree all the same); empty otherwise.
    std::string Note;
};

/// Everything found out about one URL.
struct TUrlReport {
    std::string Url;
    std::vector<TProbe> Probes;  // in the order the stacks were asked: qt, then nimbra
    TVerdict Verdict;
    int ExitCode = ExitAll200;
};

/// Text from the network or the command line, safe to print on a terminal: line breaks
/// become " / " and every other control character (C0, DEL, C1, also a lone byte 0x80-0x9F
/// that is not part of a UTF-8 character) becomes "?".
std::string Printable(const std::string& S);

/// Compares the outcomes of the two stacks for one URL, given in either order.
TVerdict Compare(const TProbe& A, const TProbe& B);

/// The report of one URL: its probes, their verdict and the URL's exit code.
TUrlReport MakeReport(const std::string& Url, std::vector<TProbe> Probes);

/// The exit code of a run: the highest of its URLs'.
int RunExitCode(const std::vector<TUrlReport>& Reports);

/// One line of Width characters showing the phases of the probe on a scale of ScaleMs.
std::string Waterfall(const TProbe& Probe, double ScaleMs, int Width);

/// The text of one URL: a line with the URL, a block per stack, the verdict, a blank line.
std::string FormatUrlText(const TUrlReport& Report);
/// The lines after the last URL that explain the numbers and the waterfall's letters.
std::string TextLegend();
/// The text output of a run: every URL's text, then the legend.
std::string FormatText(const std::vector<TUrlReport>& Reports);

/// The JSON document of a run (shape documented in the README).
std::string FormatJson(const std::vector<TUrlReport>& Reports, const TOptions& Options);

}  // namespace Ostrel::Cli
