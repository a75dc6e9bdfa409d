// Starting a local server: the lock files that keep to one running copy of
// a class's server, starting its program, and the bounded wait for its
// socket.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/rpc/Socket.h"

namespace orvrpc {

// An exclusive flock on a file in the socket folder. The kernel drops it
// when the process dies, so a crashed holder never leaves it stuck.
class FileLock {
 public:
  FileLock() = default;
  FileLock(FileLock&&) = default;
  FileLock& operator=(FileLock&&) = default;
  ~FileLock() { Unlock(); }

  // Waits up to `timeout` for the lock; false on timeout or error.
  bool Lock(const std::string& path, std::chrono::milliseconds timeout);
  bool TryLock(const std::string& path);
  void Unlock();
  bool Held() const { return fd_.Valid(); }

  // Whether some open file description holds the lock (this process's own
  // FileLock objects count).
  static bool IsHeld(const std::string& path);

 private:
  UniqueFd fd_;
};

// Taken by a client while it starts a server and waits for its socket.
std::string LaunchLockPath(const std::string& folder, const std::string& clsidText);
// Held by a server process from the registration of its class object for
// local-server use until the process ends: while it is held a copy is
// starting, serving or stopping, and no second copy may be started.
std::string InstanceLockPath(const std::string& folder, const std::string& clsidText);

// A program started for activation. The child is reaped by a thread of its
// own, so it never lingers as a zombie, and Exited() tells a waiting client
// that it gave up before listening.
class ChildProcess {
 public:
  // Starts `program` with `args` (argv[1]...), stdin from /dev/null.
  static std::shared_ptr<ChildProcess> Start(const std::string& program,
                                             const std::vector<std::string>& args,
                                             std::string* why);
  pid_t Pid() const { return pid_; }
  bool Exited() const;
  int Status() const;

  struct State;

 private:
  pid_t pid_ = -1;
  std::shared_ptr<State> state_;
};

// The program path out of a LocalServer32 value: a quoted path, or the
// whole value (a path may hold spaces), with a trailing switch dropped when
// the whole value is not a file.
std::string ProgramFromCommand(const std::string& command);

// Tries to connect to `path` until `deadline`; stops early (invalid fd)
// when `child` has exited.
UniqueFd WaitForSocket(const std::string& path, std::chrono::steady_clock::time_point deadline,
                       const ChildProcess* child);

}  // namespace orvrpc
