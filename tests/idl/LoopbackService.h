// A market-data service double in a child process, reached over loopback.
// Calls on a servant in the test's own process would be short-cut by the ORB
// without marshalling, which hides exactly what the wire tests look at.
#pragma once

#include <sys/types.h>

class LoopbackService {
 public:
  // Forks the service before the caller starts its own ORB; it listens on a
  // free port of 127.0.0.1 under the corbaloc key "ZmDataService".
  void Start();
  // Tells the service to shut down and reaps it.
  void Stop();
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int control_ = -1;  // write end; the child shuts down at end of file
  int port_ = 0;
};
