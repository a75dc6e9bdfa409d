#include "platform/sys/Syscalls.h"

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

ScopedSyscalls::ScopedSyscalls(const Syscalls* table)
    : saved_(g_current.exchange(table ? table : &kReal, std::memory_order_acq_rel)) {}

ScopedSyscalls::~ScopedSyscalls() { g_current.store(saved_, std::memory_order_release); }

}  // namespace orvsys
