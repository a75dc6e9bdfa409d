// Watches the transport sockets that no thread is reading at the moment.
// A connection is read by whichever thread holds its reading: a caller
// waiting for its own reply, or a call thread. When none does, the socket
// is armed here, and the first byte that comes starts a call thread on it.
// Arming is one-shot, so a socket whose reader is busy elsewhere never
// wakes this thread twice.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace orvrpc {

class ReadWatch {
 public:
  using Handler = std::function<void()>;

  // The one watcher of the process; never destroyed, since connections may
  // still be watched when static destructors run.
  static ReadWatch& Instance();

  // Watches `fd` (armed at once) until Remove; `onReadable` runs on the
  // watching thread and must not block. Returns 0 when the socket cannot be
  // watched.
  uint64_t Add(int fd, Handler onReadable);
  void Arm(uint64_t id, int fd);
  void Disarm(uint64_t id, int fd);
  // Drops the handler (and what it holds) before the socket closes.
  void Remove(uint64_t id, int fd);

 private:
  ReadWatch();
  void Run();
  int epfd_ = -1;
  std::mutex mu_;
  uint64_t nextId_ = 1;
  std::map<uint64_t, Handler> handlers_;
};

}  // namespace orvrpc
