#include "platform/sys/Syscalls.h"

#include <errno.h>
#include <unistd.h>

#include <atomic>

namespace orvsys {

namespace {

ssize_t RealRead(int fd, void* data, size_t size) { return ::read(fd, data, size); }

const Syscalls kReal{
    &::send, &::recv, &RealRead, &::poll, &::connect, &::accept4,
};

std::atomic<const Syscalls*> g_current{&kReal};

}  // namespace

const Syscalls& RealSyscalls() { return kReal; }

const Syscalls& Sys() { return *g_current.load(std::memory_order_acquire); }

int ConnectBlocking(int fd, const sockaddr* address, socklen_t size) {
  for (;;) {
    if (Sys().connect(fd, address, size) == 0) return 0;
    if (errno != EINTR) return -1;
    pollfd wait{fd, POLLOUT, 0};
    int ready;
    do {
      ready = Sys().poll(&wait, 1, -1);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return -1;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return -1;
    if (error != 0) {
      errno = error;
      return -1;
    }
    sockaddr_storage peer;
    socklen_t peerSize = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) == 0) return 0;
    if (errno != ENOTCONN) return -1;
  }
}

ScopedSyscalls::ScopedSyscalls(const Syscalls* table)
    : saved_(g_current.exchange(table ? table : &kReal, std::memory_order_acq_rel)) {}

ScopedSyscalls::~ScopedSyscalls() { g_current.store(saved_, std::memory_order_release); }

}  // namespace orvsys
