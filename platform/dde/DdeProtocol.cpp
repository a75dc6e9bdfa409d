#include <chrono>
#include <mutex>

#include "platform/dde/DdeHandles.h"
#include "platform/dde/DdeState.h"
#include "platform/log/Log.h"
#include "platform/win/thread.h"

// The DDE protocol on the instance's thread: every frame the I/O thread
// hands over is served here, from the message loop of the thread that
// called DdeInitialize, as the callback expects; and the client's side of
// an exchange, a frame sent and its answer awaited.
namespace orvdde {

namespace {

void ReleaseLinks(Instance& inst, Conn& c, bool tell) {
  auto links = std::move(c.links);
  c.links.clear();
  for (auto& [key, link] : links) {
    if (tell) Call(inst, XTYP_ADVSTOP, link.format, HCONV(c.id), c.topic, link.item, nullptr, 0, 0);
    AtomRelease(inst.id, link.item);
  }
}

}  // namespace

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

namespace {

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
  if (!e.conn) {
    // A critical error of the instance: the code in the low word of data1.
    Call(inst, XTYP_ERROR, 0, nullptr, nullptr, nullptr, nullptr, ULONG_PTR(e.error), 0);
    return;
  }
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

}  // namespace

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

}  // namespace orvdde
