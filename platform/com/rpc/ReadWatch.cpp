#include "platform/com/rpc/ReadWatch.h"

#include <errno.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <thread>

#include "platform/log/Log.h"

namespace orvrpc {

namespace {
constexpr uint32_t kArmed = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
// Hang-ups are reported even without EPOLLIN; one-shot keeps a disarmed
// socket from reporting them more than once.
constexpr uint32_t kDisarmed = EPOLLONESHOT;
}  // namespace

ReadWatch& ReadWatch::Instance() {
  static ReadWatch* watch = new ReadWatch();
  return *watch;
}

ReadWatch::ReadWatch() {
  epfd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epfd_ < 0) throw std::runtime_error(std::string("epoll_create1: ") + std::strerror(errno));
  std::thread([this] { Run(); }).detach();
}

uint64_t ReadWatch::Add(int fd, Handler onReadable) {
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(mu_);
    id = nextId_++;
    handlers_[id] = std::move(onReadable);
  }
  epoll_event ev{};
  ev.events = kArmed;
  ev.data.u64 = id;
  if (::epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
    ORV_LOG(orvlog::kWarn, "transport: cannot watch socket " << fd << ": " << std::strerror(errno));
    std::lock_guard<std::mutex> lock(mu_);
    handlers_.erase(id);
    return 0;
  }
  return id;
}

void ReadWatch::Arm(uint64_t id, int fd) {
  epoll_event ev{};
  ev.events = kArmed;
  ev.data.u64 = id;
  ::epoll_ctl(epfd_, EPOLL_CTL_MOD, fd, &ev);  // ENOENT: removed meanwhile
}

void ReadWatch::Disarm(uint64_t id, int fd) {
  epoll_event ev{};
  ev.events = kDisarmed;
  ev.data.u64 = id;
  ::epoll_ctl(epfd_, EPOLL_CTL_MOD, fd, &ev);
}

void ReadWatch::Remove(uint64_t id, int fd) {
  ::epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
  Handler gone;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = handlers_.find(id);
    if (it == handlers_.end()) return;
    gone = std::move(it->second);
    handlers_.erase(it);
  }
  // `gone` may hold the last reference of the connection: let it go
  // outside the lock.
}

void ReadWatch::Run() {
  epoll_event events[64];
  for (;;) {
    int n = ::epoll_wait(epfd_, events, 64, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      ORV_LOG(orvlog::kError, "transport: epoll_wait: " << std::strerror(errno));
      return;
    }
    for (int i = 0; i < n; ++i) {
      // epoll_event is packed: copy the id out before taking a reference.
      uint64_t id = events[i].data.u64;
      Handler h;
      {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = handlers_.find(id);
        if (it == handlers_.end()) continue;
        h = it->second;
      }
      h();
    }
  }
}

}  // namespace orvrpc
