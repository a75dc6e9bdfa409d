// What a caller that must not wait for ever on a peer can ask of the
// transport: a bound on each call it makes, and the end of a peer that it
// gave up on.
#pragma once

#include <chrono>
#include <memory>

#include "platform/com/com.h"

namespace orvrpc {

class Connection;

// While the scope lives, each call the calling thread makes through the
// transport gives up after `timeout`: the connection is then closed, as a
// dead peer's would be, and the call fails with RPC_E_TIMEOUT. Scopes nest;
// zero means no bound.
class CallTimeoutScope {
 public:
  explicit CallTimeoutScope(std::chrono::milliseconds timeout);
  ~CallTimeoutScope();
  CallTimeoutScope(const CallTimeoutScope&) = delete;
  CallTimeoutScope& operator=(const CallTimeoutScope&) = delete;

 private:
  std::chrono::milliseconds saved_;
};

// While the scope lives, the peer whose request this thread serves waits
// on this process (for a lock of the server's, say), not the other way
// round: the bounds of this process's calls to that peer stop counting
// meanwhile, so that a peer whose handler called back in and waits for us
// is not taken for one that stopped answering. Nothing on a thread that
// serves no request.
class PeerWaitScope {
 public:
  PeerWaitScope();
  ~PeerWaitScope();
  PeerWaitScope(const PeerWaitScope&) = delete;
  PeerWaitScope& operator=(const PeerWaitScope&) = delete;

 private:
  std::shared_ptr<Connection> connection_;
};

// Closes the connection that `object` is a proxy on; the peer's references
// are then released as if it had died. False for an object of this process.
bool DisconnectPeerOf(IUnknown* object);

}  // namespace orvrpc
