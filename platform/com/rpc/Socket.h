// Unix-socket plumbing of the object transport: the per-user folder the
// sockets live in, listening, connecting and the same-user check on peers.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace orvrpc {

// Owns a file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.Release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) Reset(o.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// "$XDG_RUNTIME_DIR/orv/", else "/tmp/orv-<uid>/": created mode 0700 and
// refused unless it is a folder of this user that nobody else can enter,
// since whoever can write there could put a socket of theirs in the place
// of a server's. Ends in '/'. Empty on failure, with the reason in `why`.
std::string SocketFolder(std::string* why = nullptr);

// The socket path for a class object, named after its CLSID text.
std::string ClassSocketPath(const std::string& folder, const std::string& clsidText);

// Whether the process at the other end of a connected Unix socket runs as
// this process's user.
bool PeerIsSameUser(int fd, std::string* why, pid_t* peerPid = nullptr);

// A connected pair (both ends close-on-exec).
bool MakeSocketPair(UniqueFd* a, UniqueFd* b);

// Connects to a listening socket; on failure returns an invalid fd and
// leaves errno set (ENOENT, ECONNREFUSED when nobody listens).
UniqueFd ConnectUnix(const std::string& path);

// Writes all of `size` bytes (no SIGPIPE: a dead peer is an error return).
bool SendAll(int fd, const void* data, size_t size);

// A listening socket with its own accept thread. Accepted connections from
// another user are closed on the spot and logged; the rest go to the
// callback. Paused, it stops accepting (the kernel keeps new connections
// waiting; those already handed over go on).
class Listener {
 public:
  using AcceptFn = std::function<void(UniqueFd)>;

  Listener() = default;
  ~Listener() { Close(); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds the path and starts the accept thread. A leftover socket file
  // that nobody listens on is replaced; one that somebody does listen on
  // is an error (EADDRINUSE), never taken over.
  bool Open(const std::string& path, AcceptFn onAccept, std::string* why);
  void Pause();
  void Resume();
  // Stops the thread, closes the socket and removes its file.
  void Close();
  bool IsOpen() const { return fd_.Valid(); }
  const std::string& Path() const { return path_; }

 private:
  void Run();
  std::string path_;
  UniqueFd fd_;
  UniqueFd wakeRead_, wakeWrite_;
  AcceptFn onAccept_;
  std::thread thread_;
  std::mutex mu_;
  std::atomic<bool> paused_{false};
  std::atomic<bool> stop_{false};
};

}  // namespace orvrpc
