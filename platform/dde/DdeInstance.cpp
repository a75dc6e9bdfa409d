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
#include "platform/dde/DdeState.h"
#include "platform/dde/DdeWire.h"
#include "platform/log/Log.h"
#include "platform/sys/Syscalls.h"
#include "platform/ui/winuser.h"
#include "platform/win/folders.h"
#include "platform/win/thread.h"

namespace orvdde {

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

namespace {

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
                orvsys::ConnectBlocking(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
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
  inst->spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  inst->window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                 nullptr);
  if (inst->poll < 0 || inst->wake < 0 || !inst->window) {
    if (inst->poll >= 0) ::close(inst->poll);
    if (inst->wake >= 0) ::close(inst->wake);
    if (inst->spare >= 0) ::close(inst->spare);
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
  if (inst->spare >= 0) ::close(inst->spare);
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
  if (fd < 0 || orvsys::ConnectBlocking(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
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
