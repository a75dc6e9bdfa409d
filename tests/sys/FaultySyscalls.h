// Sockets that misbehave as they may on a loaded or failing machine, for
// the transports' tests: the system-call table of platform/sys replaced by
// calls that cut writes and reads short, interrupt them, report a
// nonblocking socket full, break a frame in the middle, or interrupt a
// connect.
//
// Both transports' frame headers start with four bytes of magic, a version
// byte and the frame's kind, which is how a break finds the frame it is
// meant for.
#pragma once

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/sys/Syscalls.h"

namespace faulty {

struct State {
  std::atomic<bool> chop{false};
  std::atomic<unsigned> sends{0}, reads{0}, polls{0};
  std::atomic<unsigned> interrupted{0}, shortened{0}, full{0};

  // The frame to break: its magic and kind, and the error for the write
  // that would have finished it.
  std::atomic<bool> armed{false};
  char magic[4] = {};
  std::atomic<uint8_t> kind{0};
  std::atomic<int> error{EIO};
  std::atomic<int> brokenFd{-1};
  std::atomic<unsigned> broken{0};

  // Connects still to be interrupted, whether the connection goes on
  // before the interruption is reported, and the connects made.
  std::atomic<unsigned> connectsToInterrupt{0};
  std::atomic<bool> connectGoesOn{false};
  std::atomic<unsigned> connects{0};
};

inline State& Now() {
  static State s;
  return s;
}

inline ssize_t Send(int fd, const void* data, size_t size, int flags) {
  State& s = Now();
  if (s.armed && size >= 6 && std::memcmp(data, s.magic, 4) == 0 &&
      static_cast<const uint8_t*>(data)[5] == s.kind) {
    s.armed = false;
    s.brokenFd = fd;
    return ::send(fd, data, 6, flags);  // the header only half out
  }
  if (fd == s.brokenFd) {
    s.brokenFd = -1;
    ++s.broken;
    errno = s.error;
    return -1;
  }
  if (s.chop) {
    unsigned n = s.sends++;
    if (n % 2 == 0) {
      ++s.interrupted;
      errno = EINTR;
      return -1;
    }
    // A blocking socket never reports itself full.
    if ((flags & MSG_DONTWAIT) && n % 3 == 0) {
      ++s.full;
      errno = EAGAIN;
      return -1;
    }
    if (size > 1) ++s.shortened;
    size = std::min<size_t>(size, 1 + n % 7);
  }
  return ::send(fd, data, size, flags);
}

// While chopping: false for a read to be interrupted, else `size` cut to a
// few bytes.
inline bool ChopRead(size_t* size) {
  State& s = Now();
  if (!s.chop) return true;
  unsigned n = s.reads++;
  if (n % 2 == 0) {
    ++s.interrupted;
    errno = EINTR;
    return false;
  }
  *size = std::min<size_t>(*size, 1 + n % 5);
  return true;
}

inline ssize_t Recv(int fd, void* data, size_t size, int flags) {
  return ChopRead(&size) ? ::recv(fd, data, size, flags) : -1;
}

inline ssize_t Read(int fd, void* data, size_t size) { return ChopRead(&size) ? ::read(fd, data, size) : -1; }

inline int Poll(pollfd* fds, nfds_t count, int timeoutMs) {
  State& s = Now();
  if (s.chop && s.polls++ % 3 == 0) {
    ++s.interrupted;
    errno = EINTR;
    return -1;
  }
  return ::poll(fds, count, timeoutMs);
}

inline int Connect(int fd, const sockaddr* address, socklen_t size) {
  State& s = Now();
  ++s.connects;
  unsigned left = s.connectsToInterrupt;
  while (left > 0 && !s.connectsToInterrupt.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 0) return ::connect(fd, address, size);
  if (s.connectGoesOn && ::connect(fd, address, size) != 0) return -1;
  ++s.interrupted;
  errno = EINTR;
  return -1;
}

inline const orvsys::Syscalls& Table() {
  static const orvsys::Syscalls table{&Send, &Recv, &Read, &Poll, &Connect, orvsys::RealSyscalls().accept4};
  return table;
}

// Every send, receive and read of the scope cut short, every other one
// interrupted first, and every third send on a nonblocking socket told the
// socket is full.
class Chopped {
 public:
  Chopped() : use_(&Table()) { Now().chop = true; }
  ~Chopped() { Now().chop = false; }

 private:
  orvsys::ScopedSyscalls use_;
};

// The first frame of `kind` sent in the scope goes out as its first six
// bytes, and the write of its rest fails with `error`.
class BrokenFrame {
 public:
  BrokenFrame(const char magic[4], uint8_t kind, int error) : use_(&Table()) {
    State& s = Now();
    std::memcpy(s.magic, magic, 4);
    s.kind = kind;
    s.error = error;
    s.broken = 0;
    s.brokenFd = -1;
    s.armed = true;
  }
  ~BrokenFrame() {
    Now().armed = false;
    Now().brokenFd = -1;
  }
  // Whether the break has happened.
  bool Happened() const { return Now().broken > 0; }

 private:
  orvsys::ScopedSyscalls use_;
};

// The ways a connect may be interrupted, and the connects a caller that
// handles each soundly makes: none more where the connection went on (a
// second one would be refused as already under way), one more where
// nothing was under way.
struct InterruptedConnectCase {
  const char* name;
  bool goesOn;
  unsigned connects;
};
inline constexpr InterruptedConnectCase kInterruptedConnects[] = {
    {"the connection went on", true, 1},
    {"nothing was under way", false, 2},
};

// The first connect of the scope interrupted by a signal: after the
// connection went on in the background, as a blocking connect's may, or
// before anything happened, as a Unix socket's is left.
class InterruptedConnect {
 public:
  explicit InterruptedConnect(bool goesOn) : use_(&Table()) {
    State& s = Now();
    s.connects = 0;
    s.connectGoesOn = goesOn;
    s.connectsToInterrupt = 1;
  }
  ~InterruptedConnect() { Now().connectsToInterrupt = 0; }
  // The connects made in the scope, the interrupted one included.
  unsigned Connects() const { return Now().connects; }

 private:
  orvsys::ScopedSyscalls use_;
};

}  // namespace faulty
