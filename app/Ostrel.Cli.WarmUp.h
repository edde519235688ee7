#pragma once
// The one-time costs of each stack (loading its libraries and TLS backend, the resolver's
// first lookup, the first session and connection) paid before anything is timed, so that the
// first URL's phases are as honest as every later one's.

namespace Ostrel::Cli {

/// Sends throwaway GETs through each chosen stack to a server of its own on 127.0.0.1, over
/// plain HTTP and over TLS (whose handshake that server refuses at once). Their outcome does
/// not matter and nothing of them is kept; returns when they are over.
void WarmUp(bool UseQt, bool UseNimbra);

}  // namespace Ostrel::Cli
