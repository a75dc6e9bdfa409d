#include <errno.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/dde/DdeHandles.h"
#include "platform/dde/DdeState.h"
#include "platform/log/Log.h"
#include "platform/sys/Syscalls.h"

// Moving the bytes of an instance's conversations: writes that never block
// (what a socket cannot take waits for the I/O thread), and the I/O thread
// that accepts, reads, cuts frames and hands them to the instance's thread.
namespace orvdde {

bool FlushLocked(Conn& c) {
  while (c.fd >= 0) {
    if (c.out.empty()) {
      if (c.adviseOrder.empty()) return false;
      LinkKey key = c.adviseOrder.front();
      c.adviseOrder.pop_front();
      auto it = c.pendingAdvise.find(key);
      if (it == c.pendingAdvise.end()) continue;
      c.out = std::move(it->second);
      c.pendingAdvise.erase(it);
    }
    ssize_t n = orvsys::Sys().send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.out.erase(0, size_t(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return true;
    } else {
      // The peer is gone, or the socket cannot take the rest of a frame
      // part of which may have gone: the next frame would be read as its
      // end. Shut, the reader sees the end and reports the peer lost.
      if (n < 0 && errno != EPIPE && errno != ECONNRESET)
        ORV_LOGF(orvlog::kWarn, "dde: write on conversation 0x%lx: %s; closing it", (unsigned long)c.id,
                 std::strerror(errno));
      ::shutdown(c.fd, SHUT_RDWR);
      c.out.clear();
      c.pendingAdvise.clear();
      c.adviseOrder.clear();
      return false;
    }
  }
  return false;
}

void Wake(Instance& inst) {
  uint64_t one = 1;
  ssize_t n = ::write(inst.wake, &one, sizeof one);
  (void)n;  // a full counter already wakes the thread
}

void Flush(Instance& inst, Conn& c) {
  bool left;
  {
    std::lock_guard<std::mutex> g(c.io);
    left = FlushLocked(c);
  }
  if (left) {
    std::lock_guard<std::mutex> g(inst.lock);
    inst.wantWrite.insert(c.id);
  }
  if (left) Wake(inst);
}

void Send(Instance& inst, Conn& c, const Frame& f) {
  {
    std::lock_guard<std::mutex> g(c.io);
    c.out += EncodeFrame(f);
  }
  Flush(inst, c);
}

void Watch(Instance& inst, int fd, uint64_t key, uint32_t events) {
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = key;
  if (::epoll_ctl(inst.poll, EPOLL_CTL_ADD, fd, &ev) != 0 && errno == EEXIST)
    ::epoll_ctl(inst.poll, EPOLL_CTL_MOD, fd, &ev);
}

void CloseConn(Instance& inst, Conn& c) {
  std::lock_guard<std::mutex> g(c.io);
  if (c.fd >= 0) {
    ::epoll_ctl(inst.poll, EPOLL_CTL_DEL, c.fd, nullptr);
    ::close(c.fd);
    c.fd = -1;
  }
  c.dead = true;
  c.replied.notify_all();
}

void Notify(Instance& inst, Event e) {
  bool post;
  {
    std::lock_guard<std::mutex> g(inst.lock);
    inst.events.push_back(std::move(e));
    post = !inst.notified;
    inst.notified = true;
  }
  if (post && !PostMessageA(inst.window, kDdeMessage, 0, 0)) {
    std::lock_guard<std::mutex> g(inst.lock);
    inst.notified = false;
  }
}

// ---- the I/O thread ----

namespace {


// How long a listener rests after an accept that could not take a
// descriptor: the connection stays in the backlog and keeps the socket
// readable, so watching it meanwhile would spin.
const auto kListenerRest = std::chrono::milliseconds(100);

// Under inst.lock: the service may be going on another thread, which takes
// it out of the table before it closes the socket.
void WatchListener(Instance& inst, uint64_t key, uint32_t events) {
  for (auto& [name, s] : inst.services)
    if (s.key == key) {
      epoll_event ev{};
      ev.events = events;
      ev.data.u64 = key;
      ::epoll_ctl(inst.poll, EPOLL_CTL_MOD, s.fd, &ev);
    }
}

void RestListener(Instance& inst, uint64_t key, HSZ service, int error) {
  ORV_LOGF(orvlog::kWarn, "dde: accept on service \"%s\": %s", Text(service).c_str(), std::strerror(error));
  {
    std::lock_guard<std::mutex> g(inst.lock);
    WatchListener(inst, key, 0);
  }
  if (inst.resting.empty()) inst.restUntil = std::chrono::steady_clock::now() + kListenerRest;
  inst.resting.insert(key);
}

// Watches the rested listeners again once their time is up; the wait of
// epoll that ends then, or -1 while none rests.
int WakeRestedListeners(Instance& inst) {
  if (inst.resting.empty()) return -1;
  const auto now = std::chrono::steady_clock::now();
  if (now < inst.restUntil) {
    return int(std::chrono::duration_cast<std::chrono::milliseconds>(inst.restUntil - now).count()) + 1;
  }
  {
    std::lock_guard<std::mutex> g(inst.lock);
    for (uint64_t key : inst.resting) WatchListener(inst, key, EPOLLIN);
  }
  inst.resting.clear();
  return -1;
}

// Out of descriptors (the system checks that before it looks for a
// waiting connection): the waiting connection, if any, is taken with the
// one held in reserve and closed, so that its client hears at once that it
// was refused, and the callback is told (at most once a second).
enum class Refusal { kRefused, kNoneWaiting, kCannot };

Refusal RefuseForWantOfDescriptors(Instance& inst, int listener, HSZ service, int error) {
  if (inst.spare < 0) return Refusal::kCannot;
  ::close(inst.spare);
  inst.spare = -1;
  const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  const int acceptError = errno;
  if (fd >= 0) ::close(fd);
  inst.spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return acceptError == EAGAIN || acceptError == EWOULDBLOCK ? Refusal::kNoneWaiting : Refusal::kCannot;
  const auto now = std::chrono::steady_clock::now();
  if (now - inst.refusalReported >= std::chrono::seconds(1)) {
    inst.refusalReported = now;
    ORV_LOGF(orvlog::kWarn, "dde: refused a conversation to service \"%s\": %s", Text(service).c_str(),
             std::strerror(error));
    Event e;
    e.error = DMLERR_LOW_MEMORY;
    Notify(inst, std::move(e));
  }
  return Refusal::kRefused;
}

void Accept(Instance& inst, int listener, uint64_t key, HSZ service) {
  for (;;) {
    int fd = orvsys::Sys().accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      if (error == EINTR || error == ECONNABORTED) continue;
      if (error == EMFILE || error == ENFILE) {
        const Refusal r = RefuseForWantOfDescriptors(inst, listener, service, error);
        if (r == Refusal::kRefused) continue;
        if (r == Refusal::kNoneWaiting) return;
      }
      if (error != EAGAIN && error != EWOULDBLOCK) RestListener(inst, key, service, error);
      return;
    }
    ucred peer{};
    socklen_t len = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 || peer.uid != ::getuid()) {
      ORV_LOGF(orvlog::kWarn, "dde: refused a connection to service \"%s\" from user %d", Text(service).c_str(),
                   int(peer.uid));
      ::close(fd);
      continue;
    }
    auto c = NewConn(inst.id, true, fd);
    c->service = service;
    {
      std::lock_guard<std::mutex> g(inst.lock);
      inst.conns[c->id] = c;
    }
    Watch(inst, fd, c->id, EPOLLIN | EPOLLRDHUP);
  }
}

bool Deliver(Instance& inst, const std::shared_ptr<Conn>& c, Frame&& f) {
  if (c->server) {
    if (f.type != kConnect && f.type != kTransaction) return false;
    Event e;
    e.conn = c;
    e.frame = std::move(f);
    Notify(inst, std::move(e));
    return true;
  }
  if (f.type == kAdviseData) {
    Event e;
    e.conn = c;
    e.frame = std::move(f);
    Notify(inst, std::move(e));
    return true;
  }
  if (f.type != kConnectReply && f.type != kResult) return false;
  std::lock_guard<std::mutex> g(c->io);
  // A reply that nobody waits for any more (its wait timed out) is dropped.
  if (c->awaited.count(f.seq)) {
    c->replies[f.seq] = std::move(f);
    c->replied.notify_all();
  }
  return true;
}

void Readable(Instance& inst, const std::shared_ptr<Conn>& c) {
  char buffer[65536];
  for (;;) {
    ssize_t n;
    {
      std::lock_guard<std::mutex> g(c->io);
      if (c->fd < 0) return;
      n = orvsys::Sys().recv(c->fd, buffer, sizeof buffer, MSG_DONTWAIT);
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      Dropped(inst, c);
      return;
    }
    c->in.append(buffer, size_t(n));
    size_t at = 0;
    for (;;) {
      Frame f;
      size_t used = 0;
      DecodeResult r = DecodeFrame(reinterpret_cast<const uint8_t*>(c->in.data()) + at,
                                   c->in.size() - at, &f, &used);
      if (r == DecodeResult::kNeedMore) break;
      if (r == DecodeResult::kMalformed || !Deliver(inst, c, std::move(f))) {
        ORV_LOGF(orvlog::kWarn, "dde: malformed frame on conversation 0x%lx; closing it",
                     (unsigned long)c->id);
        Dropped(inst, c);
        return;
      }
      at += used;
      if (at == c->in.size()) break;
    }
    c->in.erase(0, at);
  }
}

}  // namespace

void Dropped(Instance& inst, const std::shared_ptr<Conn>& c) {
  {
    std::lock_guard<std::mutex> g(inst.lock);
    inst.conns.erase(c->id);
    inst.wantWrite.erase(c->id);
  }
  CloseConn(inst, *c);
  Event e;
  e.conn = c;
  e.closed = true;
  Notify(inst, std::move(e));
}

void IoThread(Instance* inst) {
  epoll_event events[32];
  while (!inst->stopping.load()) {
    int n = ::epoll_wait(inst->poll, events, 32, WakeRestedListeners(*inst));
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      uint64_t key = events[i].data.u64;
      if (key == kWakeKey) {
        uint64_t count;
        while (::read(inst->wake, &count, sizeof count) > 0) {
        }
        std::vector<std::shared_ptr<Conn>> writers;
        {
          std::lock_guard<std::mutex> g(inst->lock);
          for (uintptr_t id : inst->wantWrite) {
            auto it = inst->conns.find(id);
            if (it != inst->conns.end()) writers.push_back(it->second);
          }
          inst->wantWrite.clear();
        }
        for (auto& c : writers) {
          std::lock_guard<std::mutex> g(c->io);
          if (c->fd >= 0) Watch(*inst, c->fd, c->id, EPOLLIN | EPOLLRDHUP | EPOLLOUT);
        }
        continue;
      }
      if (key & kListenerTag) {
        int fd = -1;
        HSZ service = nullptr;
        {
          std::lock_guard<std::mutex> g(inst->lock);
          for (auto& [name, s] : inst->services)
            if (s.key == key) {
              fd = s.fd;
              service = s.hsz;
            }
        }
        if (fd >= 0) Accept(*inst, fd, key, service);
        continue;
      }
      std::shared_ptr<Conn> c;
      {
        std::lock_guard<std::mutex> g(inst->lock);
        auto it = inst->conns.find(uintptr_t(key));
        if (it != inst->conns.end()) c = it->second;
      }
      if (!c) continue;
      if (events[i].events & EPOLLOUT) {
        std::lock_guard<std::mutex> g(c->io);
        if (!FlushLocked(*c) && c->fd >= 0) Watch(*inst, c->fd, c->id, EPOLLIN | EPOLLRDHUP);
      }
      if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLRDHUP | EPOLLERR)) Readable(*inst, c);
    }
  }
}


}  // namespace orvdde
