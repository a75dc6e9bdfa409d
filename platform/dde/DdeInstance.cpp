#include "platform/dde/DdeInstance.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/dde/DdeHandles.h"
#include "platform/dde/DdeWire.h"
#include "platform/log/Log.h"
#include "platform/sys/Syscalls.h"
#include "platform/ui/winuser.h"
#include "platform/win/folders.h"
#include "platform/win/thread.h"

namespace orvdde {

namespace {

const UINT kDdeMessage = WM_APP + 0x0DE;
const char kWindowClass[] = "OrvDdeInstanceWindow";
// How long DdeConnect waits for the server's thread to answer XTYP_CONNECT.
const auto kConnectWait = std::chrono::seconds(10);
const uint64_t kWakeKey = 0;
const uint64_t kListenerTag = uint64_t(1) << 62;

struct Instance;

using LinkKey = std::pair<uintptr_t, UINT>;  // item atom, format

struct Link {
  HSZ item;
  UINT format;
  UINT flags;  // XTYPF_NODATA, XTYPF_ACKREQ
};

// One socket, one conversation: the server's end or the client's.
struct Conn {
  uintptr_t id = 0;  // the HCONV
  bool server = false;
  DWORD instance = 0;

  // Guarded by `io`.
  std::mutex io;
  int fd = -1;
  std::string out;
  std::map<LinkKey, std::string> pendingAdvise;
  std::deque<LinkKey> adviseOrder;
  std::string in;  // the I/O thread's only

  // Server end: touched on the instance's thread only.
  HSZ service = nullptr;
  HSZ topic = nullptr;
  bool connected = false;
  bool ended = false;
  std::map<LinkKey, Link> links;

  // Client end, guarded by `io`.
  std::condition_variable replied;
  std::set<uint32_t> awaited;
  std::map<uint32_t, Frame> replies;
  uint32_t nextSeq = 1;
  bool dead = false;
  bool disconnectedHere = false;
};

struct Event {
  std::shared_ptr<Conn> conn;
  bool closed = false;
  Frame frame;
};

struct Service {
  HSZ hsz;
  int fd;
  std::string path;
  uint64_t key;
};

struct Instance {
  DWORD id = 0;
  PFNCALLBACK callback = nullptr;
  DWORD commands = 0;
  DWORD thread = 0;
  HWND window = nullptr;
  std::atomic<UINT> lastError{DMLERR_NO_ERROR};

  int poll = -1;
  int wake = -1;
  std::thread io;
  std::atomic<bool> stopping{false};

  // Listeners taken off the watch after an accept that failed for want of
  // descriptors or memory, and when they are watched again; the I/O
  // thread's only.
  std::set<uint64_t> resting;
  std::chrono::steady_clock::time_point restUntil;

  std::mutex lock;  // guards what follows
  std::map<std::string, Service> services;  // by folded name
  std::map<uintptr_t, std::shared_ptr<Conn>> conns;
  std::set<uintptr_t> wantWrite;
  std::deque<Event> events;
  bool notified = false;
  uint64_t nextListenerKey = 1;

  bool draining = false;  // the instance's thread only
  // The instance's thread only: the server conversations of each topic atom,
  // so that posting an advise finds a topic's links without walking every
  // conversation. An id may outlive its conversation here; users check.
  std::map<uintptr_t, std::set<uintptr_t>> serverConvsByTopic;

  bool Monitor() const { return (commands & APPCLASS_MASK) == APPCLASS_MONITOR; }
};

struct Registry {
  std::mutex lock;
  std::map<DWORD, std::shared_ptr<Instance>> instances;
  std::map<uintptr_t, std::shared_ptr<Conn>> convs;
  DWORD nextInstance = 1;
  uintptr_t nextConv = 0x100;
};

Registry& Reg() {
  static Registry* registry = new Registry;  // the I/O threads may outlive main's statics
  return *registry;
}

std::shared_ptr<Instance> Find(DWORD id) {
  std::lock_guard<std::mutex> g(Reg().lock);
  auto it = Reg().instances.find(id);
  return it == Reg().instances.end() ? nullptr : it->second;
}

std::shared_ptr<Conn> FindConv(HCONV hconv) {
  std::lock_guard<std::mutex> g(Reg().lock);
  auto it = Reg().convs.find(reinterpret_cast<uintptr_t>(hconv));
  return it == Reg().convs.end() ? nullptr : it->second;
}

std::shared_ptr<Conn> NewConn(DWORD instance, bool server, int fd) {
  auto c = std::make_shared<Conn>();
  c->server = server;
  c->instance = instance;
  c->fd = fd;
  std::lock_guard<std::mutex> g(Reg().lock);
  c->id = Reg().nextConv++;
  Reg().convs[c->id] = c;
  return c;
}

void ForgetConv(uintptr_t id) {
  std::lock_guard<std::mutex> g(Reg().lock);
  Reg().convs.erase(id);
}

std::string Text(HSZ hsz) {
  std::string s;
  AtomText(hsz, &s);
  return s;
}

HDDEDATA Call(Instance& inst, UINT type, UINT format, HCONV conv, HSZ hsz1, HSZ hsz2,
              HDDEDATA data, ULONG_PTR data1, ULONG_PTR data2) {
  try {
    return inst.callback(type, format, conv, hsz1, hsz2, data, data1, data2);
  } catch (...) {
    // An exception must not unwind through the message loop; the
    // transaction is refused as if the callback had answered 0.
    ORV_LOGF(orvlog::kError, "dde: the callback of instance %lu threw on transaction 0x%X",
                  (unsigned long)inst.id, type);
    return nullptr;
  }
}

// Writes what the connection has queued, replies first, then the newest
// advise of each link. Answers true when something is left for later.
// Call with c.io held.
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

// Closes the socket; the caller has taken the connection out of the table.
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

void Accept(Instance& inst, int listener, uint64_t key, HSZ service) {
  for (;;) {
    int fd = orvsys::Sys().accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      if (error == EINTR || error == ECONNABORTED) continue;
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

// ---- the instance's thread ----

void ReleaseLinks(Instance& inst, Conn& c, bool tell) {
  auto links = std::move(c.links);
  c.links.clear();
  for (auto& [key, link] : links) {
    if (tell) Call(inst, XTYP_ADVSTOP, link.format, HCONV(c.id), c.topic, link.item, nullptr, 0, 0);
    AtomRelease(inst.id, link.item);
  }
}

void EndServerConv(Instance& inst, Conn& c, bool tell) {
  if (c.ended) return;
  c.ended = true;
  if (c.connected) {
    // Links end before the conversation does, so a server that counts its
    // links never sees a conversation gone that still holds some.
    ReleaseLinks(inst, c, tell);
    if (tell && !(inst.commands & CBF_SKIP_DISCONNECTS))
      Call(inst, XTYP_DISCONNECT, 0, HCONV(c.id), nullptr, nullptr, nullptr, 0, 0);
  }
  if (c.topic) {
    auto byTopic = inst.serverConvsByTopic.find(reinterpret_cast<uintptr_t>(c.topic));
    if (byTopic != inst.serverConvsByTopic.end()) {
      byTopic->second.erase(c.id);
      if (byTopic->second.empty()) inst.serverConvsByTopic.erase(byTopic);
    }
    AtomRelease(inst.id, c.topic);
  }
  c.topic = nullptr;
  c.connected = false;
  ForgetConv(c.id);
}

void ServeConnect(Instance& inst, const std::shared_ptr<Conn>& c, const Frame& f) {
  Frame reply;
  reply.type = kConnectReply;
  reply.seq = f.seq;
  bool accept = !c->connected && !(inst.commands & CBF_FAIL_CONNECTIONS) && !f.name2.empty() &&
                Fold(f.name1) == Fold(Text(c->service));
  HSZ topic = nullptr;
  if (accept) {
    topic = AtomAdd(inst.id, f.name2);
    accept = Call(inst, XTYP_CONNECT, 0, nullptr, topic, c->service, nullptr, 0, 0) != nullptr;
  }
  if (accept) {
    c->topic = topic;
    c->connected = true;
    inst.serverConvsByTopic[reinterpret_cast<uintptr_t>(topic)].insert(c->id);
  } else if (topic) {
    AtomRelease(inst.id, topic);
  }
  reply.status = accept ? 1 : 0;
  Send(inst, *c, reply);
  if (accept && !(inst.commands & CBF_SKIP_CONNECT_CONFIRMS))
    Call(inst, XTYP_CONNECT_CONFIRM, 0, HCONV(c->id), c->topic, c->service, nullptr, 0, 0);
}

void ServeTransaction(Instance& inst, const std::shared_ptr<Conn>& c, const Frame& f) {
  Frame reply;
  reply.type = kResult;
  reply.seq = f.seq;
  reply.format = f.format;
  reply.name1 = f.name1;
  HCONV hconv = HCONV(c->id);
  HSZ item = f.name1.empty() ? nullptr : AtomAdd(inst.id, f.name1);
  auto takeData = [&](HDDEDATA h) {
    std::string bytes;
    UINT format = 0;
    bool appOwned = false;
    if (h && DataRead(h, &bytes, &format, &appOwned)) {
      reply.status = 1;
      reply.hasData = true;
      reply.data = std::move(bytes);
      if (!appOwned) DdeFreeDataHandle(h);
    }
  };
  switch (f.xtyp) {
    case XTYP_REQUEST:
      if (!(inst.commands & CBF_FAIL_REQUESTS) && item)
        takeData(Call(inst, XTYP_REQUEST, f.format, hconv, c->topic, item, nullptr, 0, 0));
      break;
    case XTYP_ADVSTART: {
      if ((inst.commands & CBF_FAIL_ADVISES) || !item) break;
      LinkKey key{reinterpret_cast<uintptr_t>(item), f.format};
      if (c->links.count(key)) {
        reply.status = 1;  // already linked: the link only changes its kind
        c->links[key].flags = f.flags;
        break;
      }
      if (Call(inst, XTYP_ADVSTART, f.format, hconv, c->topic, item, nullptr, 0, 0)) {
        AtomKeep(inst.id, item);
        c->links[key] = Link{item, f.format, f.flags & (XTYPF_NODATA | XTYPF_ACKREQ)};
        reply.status = 1;
      }
      break;
    }
    case XTYP_ADVSTOP: {
      if (!item) break;
      auto it = c->links.find(LinkKey{reinterpret_cast<uintptr_t>(item), f.format});
      if (it == c->links.end()) break;
      Link link = it->second;
      c->links.erase(it);
      {
        std::lock_guard<std::mutex> g(c->io);
        c->pendingAdvise.erase(LinkKey{reinterpret_cast<uintptr_t>(item), f.format});
      }
      Call(inst, XTYP_ADVSTOP, f.format, hconv, c->topic, link.item, nullptr, 0, 0);
      AtomRelease(inst.id, link.item);
      reply.status = 1;
      break;
    }
    case XTYP_POKE:
    case XTYP_EXECUTE: {
      bool refused = f.xtyp == XTYP_POKE ? (inst.commands & CBF_FAIL_POKES) || !item
                                         : (inst.commands & CBF_FAIL_EXECUTES) != 0;
      if (refused) break;
      HDDEDATA h = DataCreate(inst.id, f.data, item, f.format, false);
      HDDEDATA r = Call(inst, f.xtyp, f.xtyp == XTYP_POKE ? f.format : 0, hconv, c->topic, item,
                        h, 0, 0);
      DdeFreeDataHandle(h);
      reply.flags = UINT(reinterpret_cast<uintptr_t>(r)) & (DDE_FACK | DDE_FBUSY);
      reply.status = (reply.flags & DDE_FACK) ? 1 : 0;
      break;
    }
    default:
      break;
  }
  if (item) AtomRelease(inst.id, item);
  Send(inst, *c, reply);
}

void ServeAdviseData(Instance& inst, const std::shared_ptr<Conn>& c, const Frame& f) {
  HSZ item = AtomAdd(inst.id, f.name1);
  HDDEDATA h = f.hasData ? DataCreate(inst.id, f.data, item, f.format, false) : nullptr;
  HSZ topic = c->topic;
  Call(inst, XTYP_ADVDATA, f.format, HCONV(c->id), topic, item, h, 0, 0);
  if (h) DdeFreeDataHandle(h);
  AtomRelease(inst.id, item);
}

void Process(Instance& inst, Event& e) {
  Conn& c = *e.conn;
  if (c.server) {
    if (e.closed) {
      EndServerConv(inst, c, true);
    } else if (c.ended) {
      // The server ended it here; late frames find nobody.
    } else if (e.frame.type == kConnect) {
      ServeConnect(inst, e.conn, e.frame);
    } else if (!c.connected) {
      Dropped(inst, e.conn);  // a transaction before the conversation exists
    } else {
      ServeTransaction(inst, e.conn, e.frame);
    }
    return;
  }
  bool gone;
  {
    std::lock_guard<std::mutex> g(c.io);
    gone = c.disconnectedHere;
  }
  if (gone) return;
  if (e.closed) {
    {
      std::lock_guard<std::mutex> g(c.io);
      c.disconnectedHere = true;
    }
    if (!(inst.commands & CBF_SKIP_DISCONNECTS))
      Call(inst, XTYP_DISCONNECT, 0, HCONV(c.id), nullptr, nullptr, nullptr, 0, 0);
    // The handle stays known, dead, until DdeDisconnect or the end of the
    // instance, so that a late transaction hears why it failed.
    if (c.topic) AtomRelease(inst.id, c.topic);
    if (c.service) AtomRelease(inst.id, c.service);
    c.topic = c.service = nullptr;
  } else {
    ServeAdviseData(inst, e.conn, e.frame);
  }
}

void Drain(Instance& inst) {
  // A callback that runs a message loop of its own must not start a second
  // drain under the first: transactions of one conversation stay in order.
  if (inst.draining) return;
  inst.draining = true;
  for (;;) {
    Event e;
    {
      std::lock_guard<std::mutex> g(inst.lock);
      if (inst.events.empty()) {
        inst.notified = false;
        break;
      }
      e = std::move(inst.events.front());
      inst.events.pop_front();
    }
    Process(inst, e);
  }
  inst.draining = false;
}

LRESULT CALLBACK InstanceWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != kDdeMessage) return DefWindowProcA(hwnd, message, wParam, lParam);
  auto inst = Find(DWORD(GetWindowLongPtrA(hwnd, GWLP_USERDATA)));
  if (inst && inst->thread == GetCurrentThreadId()) Drain(*inst);
  return 0;
}

bool RegisterWindowClass() {
  static std::once_flag once;
  static bool registered = false;
  std::call_once(once, [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = InstanceWindowProc;
    wc.lpszClassName = kWindowClass;
    registered = RegisterClassA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  });
  return registered;
}

bool Fail(Instance& inst, UINT error) {
  inst.lastError = error;
  return false;
}

std::string Encoded(const std::string& folded) {
  std::string out;
  for (unsigned char ch : folded) {
    if (std::isalnum(ch) || ch == '-' || ch == '_' || ch == '.') {
      out.push_back(char(ch));
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", ch);
      out += hex;
    }
  }
  return out;
}

bool FillAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.data(), path.size());
  return true;
}

void CloseService(Service& s) {
  ::close(s.fd);
  // Only our own socket file is removed: another server may have taken the
  // name over since.
  struct stat st {};
  if (::stat(s.path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(s.path.c_str());
}

bool RegisterService(Instance& inst, HSZ hsz) {
  std::string name = Text(hsz);
  if (name.empty()) return Fail(inst, DMLERR_INVALIDPARAMETER);
  std::string folded = Fold(name);
  {
    std::lock_guard<std::mutex> g(inst.lock);
    if (inst.services.count(folded)) return true;
  }
  std::string path = ServiceSocketPath(name);
  sockaddr_un address;
  if (!FillAddress(path, &address)) {
    ORV_LOGF(orvlog::kError, "dde: no socket for service \"%s\"", name.c_str());
    return Fail(inst, DMLERR_SYS_ERROR);
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail(inst, DMLERR_SYS_ERROR);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EADDRINUSE) {
      ::close(fd);
      return Fail(inst, DMLERR_SYS_ERROR);
    }
    // A live server keeps its name; a socket file left by one that died is
    // taken over.
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool live = probe >= 0 &&
                orvsys::Sys().connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (probe >= 0) ::close(probe);
    if (live) {
      ::close(fd);
      ORV_LOGF(orvlog::kError, "dde: service \"%s\" is already served by another program",
               name.c_str());
      return Fail(inst, DMLERR_DLL_USAGE);
    }
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      return Fail(inst, DMLERR_SYS_ERROR);
    }
  }
  if (::listen(fd, 64) != 0) {
    ::close(fd);
    ::unlink(path.c_str());
    return Fail(inst, DMLERR_SYS_ERROR);
  }
  AtomKeep(inst.id, hsz);
  uint64_t key;
  {
    std::lock_guard<std::mutex> g(inst.lock);
    key = kListenerTag | inst.nextListenerKey++;
    inst.services[folded] = Service{hsz, fd, path, key};
  }
  Watch(inst, fd, key, EPOLLIN);
  ORV_LOGF(orvlog::kInfo, "dde: service \"%s\" listens on %s", name.c_str(), path.c_str());
  return true;
}

bool UnregisterService(Instance& inst, HSZ hsz) {
  std::vector<Service> gone;
  {
    std::lock_guard<std::mutex> g(inst.lock);
    for (auto it = inst.services.begin(); it != inst.services.end();) {
      if (!hsz || DdeCmpStringHandles(it->second.hsz, hsz) == 0) {
        gone.push_back(it->second);
        it = inst.services.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (hsz && gone.empty()) return Fail(inst, DMLERR_INVALIDPARAMETER);
  for (Service& s : gone) {
    ::epoll_ctl(inst.poll, EPOLL_CTL_DEL, s.fd, nullptr);
    CloseService(s);
    AtomRelease(inst.id, s.hsz);
  }
  return true;
}

HDDEDATA Yes() { return reinterpret_cast<HDDEDATA>(uintptr_t(1)); }

UINT TimeoutError(UINT type) {
  switch (type) {
    case XTYP_REQUEST:
      return DMLERR_DATAACKTIMEOUT;
    case XTYP_ADVSTART:
      return DMLERR_ADVACKTIMEOUT;
    case XTYP_ADVSTOP:
      return DMLERR_UNADVACKTIMEOUT;
    case XTYP_POKE:
      return DMLERR_POKEACKTIMEOUT;
    default:
      return DMLERR_EXECACKTIMEOUT;
  }
}

// Sends a client frame and waits for its answer. False when the wait ran
// out or the conversation ended first.
bool Exchange(Instance& inst, Conn& c, Frame f, std::chrono::milliseconds wait, Frame* reply) {
  uint32_t seq;
  {
    std::lock_guard<std::mutex> g(c.io);
    if (c.dead) return false;
    seq = c.nextSeq++;
    c.awaited.insert(seq);
  }
  f.seq = seq;
  Send(inst, c, f);
  std::unique_lock<std::mutex> g(c.io);
  bool got = c.replied.wait_for(g, wait, [&] { return c.replies.count(seq) || c.dead; });
  c.awaited.erase(seq);
  auto it = c.replies.find(seq);
  if (!got || it == c.replies.end()) return false;
  *reply = std::move(it->second);
  c.replies.erase(it);
  return true;
}

}  // namespace

bool InstanceExists(DWORD instance) { return Find(instance) != nullptr; }

void SetInstanceError(DWORD instance, UINT error) {
  if (auto inst = Find(instance)) inst->lastError = error;
}

std::string ServiceSocketPath(const std::string& service) {
  std::string folder = orvwin::RuntimeFolder();
  if (folder.empty()) return "";
  std::string path = folder + "dde-" + Encoded(Fold(service)) + ".sock";
  sockaddr_un address;
  return FillAddress(path, &address) ? path : "";
}

}  // namespace orvdde

using namespace orvdde;

UINT DdeInitializeA(LPDWORD instance, PFNCALLBACK callback, DWORD commands, DWORD reserved) {
  if (!instance || !callback || reserved != 0) return DMLERR_INVALIDPARAMETER;
  if (*instance != 0) return DMLERR_INVALIDPARAMETER;
  if (!RegisterWindowClass()) return DMLERR_SYS_ERROR;
  auto inst = std::make_shared<Instance>();
  inst->callback = callback;
  inst->commands = commands;
  inst->thread = GetCurrentThreadId();
  inst->poll = ::epoll_create1(EPOLL_CLOEXEC);
  inst->wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  inst->window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                 nullptr);
  if (inst->poll < 0 || inst->wake < 0 || !inst->window) {
    if (inst->poll >= 0) ::close(inst->poll);
    if (inst->wake >= 0) ::close(inst->wake);
    if (inst->window) DestroyWindow(inst->window);
    return DMLERR_SYS_ERROR;
  }
  {
    std::lock_guard<std::mutex> g(Reg().lock);
    inst->id = Reg().nextInstance++;
    Reg().instances[inst->id] = inst;
  }
  SetWindowLongPtrA(inst->window, GWLP_USERDATA, LONG_PTR(inst->id));
  Watch(*inst, inst->wake, kWakeKey, EPOLLIN);
  inst->io = std::thread(IoThread, inst.get());
  *instance = inst->id;
  return DMLERR_NO_ERROR;
}

BOOL DdeUninitialize(DWORD instance) {
  std::shared_ptr<Instance> inst = Find(instance);
  if (!inst) return FALSE;
  inst->stopping = true;
  Wake(*inst);
  if (inst->io.joinable()) inst->io.join();
  UnregisterService(*inst, nullptr);
  std::map<uintptr_t, std::shared_ptr<Conn>> conns;
  {
    std::lock_guard<std::mutex> g(inst->lock);
    conns.swap(inst->conns);
    inst->events.clear();
  }
  for (auto& [id, c] : conns) {
    CloseConn(*inst, *c);
    if (c->server && inst->thread == GetCurrentThreadId()) EndServerConv(*inst, *c, false);
    ForgetConv(id);
  }
  {
    std::lock_guard<std::mutex> g(Reg().lock);
    Reg().instances.erase(instance);
    for (auto it = Reg().convs.begin(); it != Reg().convs.end();) {
      if (it->second->instance == instance)
        it = Reg().convs.erase(it);
      else
        ++it;
    }
  }
  DestroyWindow(inst->window);
  ::close(inst->poll);
  ::close(inst->wake);
  AtomReleaseAll(instance);
  DataFreeAll(instance);
  return TRUE;
}

UINT DdeGetLastError(DWORD instance) {
  auto inst = Find(instance);
  if (!inst) return DMLERR_INVALIDPARAMETER;
  return inst->lastError.exchange(DMLERR_NO_ERROR);
}

HDDEDATA DdeNameService(DWORD instance, HSZ service, HSZ reserved, UINT command) {
  auto inst = Find(instance);
  if (!inst) return nullptr;
  if (reserved || inst->Monitor() || (inst->commands & APPCMD_CLIENTONLY)) {
    Fail(*inst, DMLERR_DLL_USAGE);
    return nullptr;
  }
  bool ok;
  if (command & DNS_REGISTER)
    ok = service ? RegisterService(*inst, service) : Fail(*inst, DMLERR_INVALIDPARAMETER);
  else if (command & DNS_UNREGISTER)
    ok = UnregisterService(*inst, service);
  else
    ok = (command & (DNS_FILTERON | DNS_FILTEROFF)) != 0;  // every name is served as asked
  return ok ? Yes() : nullptr;
}

HCONV DdeConnect(DWORD instance, HSZ service, HSZ topic, PCONVCONTEXT) {
  auto inst = Find(instance);
  if (!inst) return nullptr;
  std::string serviceName = Text(service), topicName = Text(topic);
  if (inst->Monitor()) {
    Fail(*inst, DMLERR_DLL_USAGE);
    return nullptr;
  }
  if (serviceName.empty() || topicName.empty()) {
    // Without a service name every server would be asked; not offered.
    Fail(*inst, DMLERR_NO_CONV_ESTABLISHED);
    return nullptr;
  }
  sockaddr_un address;
  int fd = -1;
  if (FillAddress(ServiceSocketPath(serviceName), &address))
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || orvsys::Sys().connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) ::close(fd);
    Fail(*inst, DMLERR_NO_CONV_ESTABLISHED);
    return nullptr;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  auto c = NewConn(inst->id, false, fd);
  {
    std::lock_guard<std::mutex> g(inst->lock);
    inst->conns[c->id] = c;
  }
  Watch(*inst, fd, c->id, EPOLLIN | EPOLLRDHUP);
  Frame f;
  f.type = kConnect;
  f.name1 = serviceName;
  f.name2 = topicName;
  Frame reply;
  bool ok = Exchange(*inst, *c, f, kConnectWait, &reply) && reply.status == 1;
  if (!ok) {
    {
      std::lock_guard<std::mutex> g(inst->lock);
      inst->conns.erase(c->id);
    }
    CloseConn(*inst, *c);
    ForgetConv(c->id);
    Fail(*inst, DMLERR_NO_CONV_ESTABLISHED);
    return nullptr;
  }
  c->service = AtomAdd(inst->id, serviceName);
  c->topic = AtomAdd(inst->id, topicName);
  return HCONV(c->id);
}

BOOL DdeDisconnect(HCONV conversation) {
  auto c = FindConv(conversation);
  if (!c) return FALSE;
  auto inst = Find(c->instance);
  if (!inst) return FALSE;
  {
    std::lock_guard<std::mutex> g(inst->lock);
    inst->conns.erase(c->id);
  }
  CloseConn(*inst, *c);
  if (c->server) {
    // The caller ended it: no notifications of its own making.
    if (inst->thread == GetCurrentThreadId()) EndServerConv(*inst, *c, false);
  } else {
    std::lock_guard<std::mutex> g(c->io);
    c->disconnectedHere = true;
  }
  if (!c->server) {
    if (c->topic) AtomRelease(inst->id, c->topic);
    if (c->service) AtomRelease(inst->id, c->service);
  }
  ForgetConv(c->id);
  return TRUE;
}

HDDEDATA DdeClientTransaction(LPBYTE data, DWORD size, HCONV conversation, HSZ item, UINT format,
                              UINT type, DWORD timeout, LPDWORD result) {
  if (result) *result = 0;
  auto c = FindConv(conversation);
  if (!c || c->server) return nullptr;
  auto inst = Find(c->instance);
  if (!inst) return nullptr;
  UINT flags = type & (XTYPF_NODATA | XTYPF_ACKREQ);
  UINT base = type & ~UINT(XTYPF_NODATA | XTYPF_ACKREQ);
  bool needsItem = base != XTYP_EXECUTE;
  if (timeout == 0 || timeout == TIMEOUT_ASYNC ||
      (base != XTYP_REQUEST && base != XTYP_ADVSTART && base != XTYP_ADVSTOP &&
       base != XTYP_POKE && base != XTYP_EXECUTE) ||
      (flags && base != XTYP_ADVSTART) || (needsItem && !item)) {
    Fail(*inst, DMLERR_INVALIDPARAMETER);
    return nullptr;
  }
  Frame f;
  f.type = kTransaction;
  f.xtyp = base;
  f.format = format;
  f.flags = flags;
  if (needsItem) f.name1 = Text(item);
  if (needsItem && f.name1.empty()) {
    Fail(*inst, DMLERR_INVALIDPARAMETER);
    return nullptr;
  }
  if (base == XTYP_POKE || base == XTYP_EXECUTE) {
    f.hasData = true;
    if (size == DWORD(-1)) {
      // The data comes as a handle, which the transaction takes over.
      HDDEDATA h = reinterpret_cast<HDDEDATA>(data);
      bool appOwned = false;
      if (!DataRead(h, &f.data, nullptr, &appOwned)) {
        Fail(*inst, DMLERR_INVALIDPARAMETER);
        return nullptr;
      }
      if (!appOwned) DdeFreeDataHandle(h);
    } else if (data && size) {
      f.data.assign(reinterpret_cast<const char*>(data), size);
    }
    if (f.data.size() > kMaxPayload / 2) {
      Fail(*inst, DMLERR_MEMORY_ERROR);
      return nullptr;
    }
  }
  Frame reply;
  if (!Exchange(*inst, *c, f, std::chrono::milliseconds(timeout), &reply)) {
    bool dead;
    {
      std::lock_guard<std::mutex> g(c->io);
      dead = c->dead;
    }
    Fail(*inst, dead ? DMLERR_NO_CONV_ESTABLISHED : TimeoutError(base));
    return nullptr;
  }
  if (result) *result = reply.flags;
  if (reply.status != 1) {
    Fail(*inst, DMLERR_NOTPROCESSED);
    return nullptr;
  }
  if (base == XTYP_REQUEST)
    return DataCreate(inst->id, reply.data, item, reply.format, false);
  return Yes();
}

BOOL DdePostAdvise(DWORD instance, HSZ topic, HSZ item) {
  auto inst = Find(instance);
  if (!inst) return FALSE;
  if (!topic || inst->thread != GetCurrentThreadId()) return Fail(*inst, DMLERR_INVALIDPARAMETER);
  struct Due {
    std::shared_ptr<Conn> conn;
    Link link;
  };
  std::vector<Due> due;
  {
    auto byTopic = inst->serverConvsByTopic.find(reinterpret_cast<uintptr_t>(topic));
    if (byTopic == inst->serverConvsByTopic.end()) return TRUE;
    std::lock_guard<std::mutex> g(inst->lock);
    // In conversation order, and within one in link order, as a walk over
    // every conversation would find them.
    for (auto id = byTopic->second.begin(); id != byTopic->second.end();) {
      auto found = inst->conns.find(*id);
      if (found == inst->conns.end()) {
        id = byTopic->second.erase(id);
        continue;
      }
      const std::shared_ptr<Conn>& c = found->second;
      ++id;
      if (!c->server || !c->connected || c->ended || DdeCmpStringHandles(c->topic, topic) != 0)
        continue;
      if (!item) {
        for (auto& [key, link] : c->links) due.push_back(Due{c, link});
        continue;
      }
      const uintptr_t wanted = reinterpret_cast<uintptr_t>(item);
      for (auto it = c->links.lower_bound(LinkKey{wanted, 0}); it != c->links.end() && it->first.first == wanted;
           ++it)
        due.push_back(Due{c, it->second});
    }
    if (byTopic->second.empty()) inst->serverConvsByTopic.erase(byTopic);
  }
  ULONG_PTR left = due.size();
  for (Due& d : due) {
    --left;
    Conn& c = *d.conn;
    if (c.ended || !c.links.count(LinkKey{reinterpret_cast<uintptr_t>(d.link.item), d.link.format}))
      continue;  // ended by a callback of this very pass
    Frame f;
    f.type = kAdviseData;
    f.format = d.link.format;
    f.name1 = Text(d.link.item);
    if (!(d.link.flags & XTYPF_NODATA)) {
      HDDEDATA h = Call(*inst, XTYP_ADVREQ, d.link.format, HCONV(c.id), c.topic, d.link.item,
                        nullptr, left, 0);
      std::string bytes;
      bool appOwned = false;
      if (!h || !DataRead(h, &bytes, nullptr, &appOwned)) continue;  // no data: nothing sent
      if (!appOwned) DdeFreeDataHandle(h);
      f.hasData = true;
      f.data = std::move(bytes);
    }
    LinkKey key{reinterpret_cast<uintptr_t>(d.link.item), d.link.format};
    {
      std::lock_guard<std::mutex> g(c.io);
      if (c.fd < 0) continue;
      if (!c.pendingAdvise.count(key)) c.adviseOrder.push_back(key);
      c.pendingAdvise[key] = EncodeFrame(f);
    }
    Flush(*inst, c);
  }
  return TRUE;
}
