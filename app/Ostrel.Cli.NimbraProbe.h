#pragma once
// One GET through Nimbra's client, as the window's second button sends it, described in the
// terms of Ostrel.Cli.Probe; its phase times are the ones WinHTTP recorded.

#include <string>

#include "Ostrel.Cli.Probe.h"

namespace Nimbra {
class THttpClient;
}

namespace Ostrel::Cli {

/// Sends one GET through the client with the given time-out (milliseconds, for name
/// resolution, connect, send and receive alike) and reads the whole body.
TProbe ProbeNimbra(Nimbra::THttpClient& Client, const std::string& Url, int TimeoutMs);

}  // namespace Ostrel::Cli
