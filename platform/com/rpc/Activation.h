// Local-server activation over the transport: a class object registered
// for CLSCTX_LOCAL_SERVER listens on its socket in the per-user folder, and
// a client's CoCreateInstance connects there, starting the registered
// LocalServer32 program first when nobody listens.
#pragma once

#include <chrono>
#include <functional>

#include "platform/com/types.h"

namespace orvrpc {

// Installs the transport as the runtime's local-server hook (once; later
// calls do nothing). The generated proxy code of every type library calls
// it, so any program that uses a contract has the transport.
bool InstallTransport();

// The peer-death notice: called, on a transport thread, when this
// process's connection to the local server of a class closes (the server
// ended, was killed, or dropped it). Every proxy of that server is dead from
// then on; a new CoCreateInstance reaches (or starts) a new server. One
// handler per process; null removes it.
void SetServerGoneHandler(std::function<void(const CLSID& clsid)> handler);

// How long a client waits for a server it started (or one that is
// starting or stopping) to listen, and for a listening one to take it on.
std::chrono::milliseconds LaunchTimeout();

}  // namespace orvrpc
