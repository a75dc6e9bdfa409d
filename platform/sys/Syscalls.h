// The system calls through which the object transport and the DDE layer
// move their bytes, as a table that a test can replace: a socket write cut
// short, interrupted or failed half way happens rarely on a machine at
// rest, and the code that must survive it is reached no other way.
//
// Only the calls whose results those layers must handle go through it
// (sending, receiving, waiting, connecting, accepting); closing, binding,
// epoll and the wake-up pipes call the system directly.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace orvsys {

struct Syscalls {
  ssize_t (*send)(int fd, const void* data, size_t size, int flags);
  ssize_t (*recv)(int fd, void* data, size_t size, int flags);
  ssize_t (*read)(int fd, void* data, size_t size);
  int (*poll)(pollfd* fds, nfds_t count, int timeoutMs);
  int (*connect)(int fd, const sockaddr* address, socklen_t size);
  int (*accept4)(int fd, sockaddr* address, socklen_t* size, int flags);
};

// The system's own calls.
const Syscalls& RealSyscalls();

// Connects a blocking socket through the table in use, 0 or -1 with errno
// set. A connect that a signal interrupts may go on in the background,
// where connecting again fails (EALREADY, EISCONN): its end is waited for
// and its outcome read instead. One that did not go on, as a Unix socket's
// interrupted connect leaves it, is made again.
int ConnectBlocking(int fd, const sockaddr* address, socklen_t size);

// The table in use.
const Syscalls& Sys();

// Puts `table` in use until the scope ends, then the one it replaced. The
// table must outlive every call that may still be running through it;
// threads that call meanwhile see either table, each call whole.
class ScopedSyscalls {
 public:
  explicit ScopedSyscalls(const Syscalls* table);
  ~ScopedSyscalls();
  ScopedSyscalls(const ScopedSyscalls&) = delete;
  ScopedSyscalls& operator=(const ScopedSyscalls&) = delete;

 private:
  const Syscalls* saved_;
};

}  // namespace orvsys
