#pragma once
// One GET through Nimbra's client, as the window's second button sends it, described in the
// terms of Ostrel.Cli.Probe; its phase times are the ones WinHTTP recorded.

#include <string>

#include "Ostrel.Cli.Probe.h"

namespace Ostrel::Cli {

/// Sends one GET through a client of its own with the given time-out (milliseconds, for name
/// resolution, connect, send and receive alike) and reads the whole body. With AllowHttp2 the
/// WinHTTP engine offers HTTP/2 on https; without it, HTTP/1.1 only, as the window's button.
/// A client that cannot be made is a failure of the probe like any other.
TProbe ProbeNimbra(const std::string& Url, int TimeoutMs, bool AllowHttp2 = false);

}  // namespace Ostrel::Cli
