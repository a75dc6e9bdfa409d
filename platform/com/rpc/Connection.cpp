#include "platform/com/rpc/Connection.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <vector>

#include "platform/com/rpc/CallLimits.h"
#include "platform/com/rpc/CallPool.h"
#include "platform/com/rpc/ProxyManager.h"
#include "platform/com/rpc/ReadWatch.h"
#include "platform/com/rpc/Stub.h"
#include "platform/log/Log.h"
#include "platform/sys/Syscalls.h"

namespace orvrpc {

namespace {

enum RefTag : uint8_t { kRefNull = 0, kRefSenders = 1, kRefReceivers = 2 };

// The request a call thread is serving, if any: the releases it makes on
// that connection meanwhile are tied to the call.
struct Serving {
  Connection* connection = nullptr;
  uint32_t callId = 0;
};
thread_local Serving t_serving;

// The bound that CallTimeoutScope puts on this thread's calls; zero: none.
thread_local std::chrono::milliseconds t_callTimeout{0};

// How long a call thread that read a request goes on reading a quiet
// socket before handing it back to the watch.
constexpr int kLingerMs = 50;

CallPool& Pool() {
  // Never destroyed: call threads may still be finishing when static
  // destructors run.
  static CallPool* pool = new CallPool(
      "object transport", [] { CoInitializeEx(nullptr, COINIT_MULTITHREADED); },
      [] { CoUninitialize(); });
  return *pool;
}

std::string IidKey(const IID& iid) { return std::string(reinterpret_cast<const char*>(&iid), sizeof iid); }


// A reference from the peer may make a proxy; booked at a generous guess
// of what one costs.
constexpr size_t kReferenceMemory = 512;

}  // namespace




// ---- life -------------------------------------------------------------------

Connection::Connection(UniqueFd fd, IUnknown* root, std::string name)
    : name_(std::move(name)), fd_(std::move(fd)), root_(root) {
  if (root_) root_->AddRef();
}

Connection::~Connection() {
  ReleaseExports();
  DropServerLocks();
  if (root_) root_->Release();
}

std::shared_ptr<Connection> Connection::Start(UniqueFd fd, IUnknown* root, std::string name) {
  std::shared_ptr<Connection> c(new Connection(std::move(fd), root, std::move(name)));
  // The watch keeps the connection alive until it has cleaned up after the
  // peer.
  c->watchId_ = ReadWatch::Instance().Add(c->fd_.Get(), [c] { c->OnReadable(); });
  if (!c->watchId_) {
    // Unwatched, a call thread reads it for its whole life instead.
    c->reading_ = true;
    if (!Pool().Post([c] { c->ReadLoop(); })) c->Shutdown("stopping");
  }
  ORV_LOG(orvlog::kDebug, "transport connection " << c->name_ << " open");
  return c;
}

void Connection::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!closed_ && fd_.Valid()) ::shutdown(fd_.Get(), SHUT_RDWR);
}

bool Connection::IsClosed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return closed_;
}

bool Connection::WaitClosed(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [this] { return finished_; });
}

size_t Connection::ExportCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return exports_.size();
}

size_t Connection::ImportCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return imports_.size();
}

bool Connection::TakeReading() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_ || reading_) return false;
    reading_ = true;
  }
  ReadWatch::Instance().Disarm(watchId_, fd_.Get());
  return true;
}

void Connection::GiveUpReading() {
  // Free first, armed after: armed first, a byte coming in between would
  // find the reading held and be left unread.
  {
    std::lock_guard<std::mutex> lock(mu_);
    reading_ = false;
    if (closed_) return;
  }
  ReadWatch::Instance().Arm(watchId_, fd_.Get());
}

void Connection::OnReadable() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_ || reading_) return;
    reading_ = true;
  }
  auto self = shared_from_this();
  if (!Pool().Post([self] { self->ReadLoop(); })) Shutdown("stopping");
}

void Connection::Deliver(const FrameHeader& h, std::string body) {
  if (h.kind == FrameKind::kReply) {
    std::shared_ptr<Pending> waiting;
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = pending_.find(h.callId);
      if (it != pending_.end() && !it->second->done) {
        waiting = it->second;
        waiting->reply.body = std::move(body);
        waiting->done = true;
      }
    }
    // Woken with the lock free, the caller does not block on it again.
    if (waiting) waiting->cv.notify_one();
  } else if (h.kind == FrameKind::kRelease) {
    if (OweRelease(h.callId, body)) return;
    {
      std::lock_guard<std::mutex> lock(mu_);
      releases_.push_back(std::move(body));
    }
    StartReleases();
  }
}

bool Connection::OweRelease(uint32_t callId, std::string& body) {
  if (callId == 0) return false;
  std::shared_ptr<Pending> call;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = pending_.find(callId);
    // A call that gave up waiting has no reply left to hold back.
    if (it == pending_.end() || it->second->done) return false;
    call = it->second;
    call->releases.push_back(std::move(body));
    body.clear();
    if (call->releasing) return true;
    call->releasing = true;
  }
  // Never on the reading thread nor on the caller: the release may call the
  // peer, and the peer's nested calls must find a reader and a call thread.
  auto self = shared_from_this();
  if (!Pool().Post([self, call] { self->RunCallReleases(call); })) {
    // The pool is stopping: nobody will run them, so they hold nothing.
    {
      std::lock_guard<std::mutex> lock(mu_);
      call->releases.clear();
      call->releasing = false;
    }
    call->cv.notify_one();
  }
  return true;
}

bool Connection::ClaimReleases() {
  std::lock_guard<std::mutex> lock(mu_);
  if (releases_.empty() || releasesRunning_) return false;
  releasesRunning_ = true;
  return true;
}

void Connection::StartReleases() {
  // Releasing may run a FinalRelease that calls the peer, whose reply
  // the reading thread must stay free to read.
  std::lock_guard<std::mutex> lock(mu_);
  if (releases_.empty() || releasesRunning_) return;
  releasesRunning_ = true;
  auto self = shared_from_this();
  Pool().Post([self] { self->RunReleases(); });
}

void Connection::ReadLoop() {
  auto self = shared_from_this();
  // Having served the peer, this thread waits a while for the peer's next
  // request; having only handed replies over, it leaves the socket to the
  // watch at once, so that this side's callers read their own replies.
  int linger = 0;
  for (;;) {
    FrameHeader h;
    std::string body;
    FrameDecoder::Status st;
    while ((st = decoder_.Next(&h, &body)) == FrameDecoder::Status::kFrame) {
      if (h.kind == FrameKind::kRelease) {
        // Releases that come together run together, on this thread once
        // nothing else is read (below), or on a call thread of their own
        // when something else comes first. Those tied to a call of ours
        // run apart.
        if (OweRelease(h.callId, body)) continue;
        std::lock_guard<std::mutex> lock(mu_);
        releases_.push_back(std::move(body));
        body.clear();
        continue;
      }
      if (h.kind != FrameKind::kRequest) {
        StartReleases();
        if (h.kind == FrameKind::kReply) linger = 0;
        Deliver(h, std::move(body));
        body.clear();
        continue;
      }
      // An unwatched socket must never be left unread.
      if (decoder_.Buffered() > 0 || !watchId_) {
        StartReleases();
        // More has come already: another call thread goes on with it.
        if (!Pool().Post([self] { self->ReadLoop(); })) {
          Shutdown("stopping");
          return;
        }
        OnRequest(h.callId, std::move(body));
        return;
      }
      // Run here, with the socket watched meanwhile: a request that waits
      // (on the peer or on anything else) never keeps the peer's next
      // message unread. The reading is taken back before the reply goes,
      // so that the peer's next request cannot beat this thread to the
      // socket, and this thread reads it without a hop. Releases that came
      // with the request go to a call thread: one whose FinalRelease waits
      // for a call of ours in flight would otherwise hold up the peer's
      // nested call that this call's reply depends on.
      StartReleases();
      GiveUpReading();
      Writer w;
      bool reply = RunRequest(h.callId, std::move(body), w);
      bool reading = TakeReading();
      if (reply) SendReply(h.callId, w);
      if (!reading) return;
      linger = kLingerMs;
      body.clear();
    }
    if (st == FrameDecoder::Status::kError) {
      std::string why = "malformed frame: " + decoder_.Error();
      ORV_LOG(orvlog::kWarn, "transport connection " << name_ << ": " << why << "; closing it");
      Shutdown(why);
      return;
    }
    if (!watchId_) {
      StartReleases();
    } else if (ClaimReleases()) {
      // Like a request: run here while the socket is watched, since a
      // FinalRelease may call the peer.
      GiveUpReading();
      RunReleases();
      if (!TakeReading()) return;
      linger = kLingerMs;
      continue;
    }
    pollfd pfd{fd_.Get(), POLLIN, 0};
    int ready = orvsys::Sys().poll(&pfd, 1, watchId_ ? linger : -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0 && watchId_) {
      GiveUpReading();
      return;
    }
    size_t room = 0;
    char* to = decoder_.Space(&room);
    ssize_t n = orvsys::Sys().read(fd_.Get(), to, room);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Shutdown(n < 0 ? std::string("read: ") + std::strerror(errno) : "peer closed the connection");
      return;
    }
    bytesReceived_ += uint64_t(n);
    decoder_.Commit(size_t(n));
  }
}

void Connection::ReadReply(const Pending& call) {
  auto self = shared_from_this();
  for (;;) {
    FrameHeader h;
    std::string body;
    FrameDecoder::Status st;
    while ((st = decoder_.Next(&h, &body)) == FrameDecoder::Status::kFrame) {
      if (h.kind == FrameKind::kRequest) {
        // This thread waits for its own reply; an unrelated call never
        // runs on it.
        uint32_t callId = h.callId;
        if (!Pool().Post([self, callId, b = std::move(body)]() mutable { self->OnRequest(callId, std::move(b)); })) {
          Shutdown("stopping");
          return;
        }
      } else {
        Deliver(h, std::move(body));
      }
      body.clear();
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (call.done) break;
    }
    if (st == FrameDecoder::Status::kError) break;
    size_t room = 0;
    char* to = decoder_.Space(&room);
    ssize_t n = orvsys::Sys().read(fd_.Get(), to, room);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytesReceived_ += uint64_t(n);
    decoder_.Commit(size_t(n));
  }
  bool done;
  {
    std::lock_guard<std::mutex> lock(mu_);
    done = call.done;
  }
  if (done) {
    GiveUpReading();
    return;
  }
  // The connection ends (or broke): a call thread closes it and releases
  // what the peer held, not a caller that may hold locks of its own.
  if (!Pool().Post([self] { self->ReadLoop(); })) Shutdown("stopping");
}

void Connection::Shutdown(const std::string& why) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return;
    closed_ = true;
    ::shutdown(fd_.Get(), SHUT_RDWR);
    for (auto& p : pending_) p.second->cv.notify_one();
  }
  if (watchId_) ReadWatch::Instance().Remove(watchId_, fd_.Get());
  ORV_LOG(orvlog::kInfo, "transport connection " << name_ << " closed (" << why
                                                   << "); releasing what the peer held");
  ReleaseExports();
  DropServerLocks();
  IUnknown* root = nullptr;
  std::function<void()> notice;
  {
    std::lock_guard<std::mutex> lock(mu_);
    std::swap(root, root_);
    finished_ = true;
    notice.swap(onClosed_);
    cv_.notify_all();
  }
  if (root) root->Release();
  if (notice) notice();
}

void Connection::OnClosed(std::function<void()> notice) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!finished_) {
      onClosed_ = std::move(notice);
      return;
    }
  }
  if (notice) notice();
}

void Connection::DropServerLocks() {
  // Locks the peer took and did not give back go with it, as its
  // references do.
  std::map<IClassFactory*, uint32_t> locks;
  {
    std::lock_guard<std::mutex> lock(mu_);
    locks.swap(serverLocks_);
  }
  for (auto& l : locks) {
    for (uint32_t i = 0; i < l.second; ++i) l.first->LockServer(FALSE);
    l.first->Release();
  }
}

void Connection::ReleaseExports() {
  std::map<uint64_t, Export> gone;
  {
    std::lock_guard<std::mutex> lock(mu_);
    gone.swap(exports_);
    exportsByIdentity_.clear();
  }
  for (auto& e : gone) {
    for (auto& i : e.second.interfaces) i.second->Release();
    e.second.identity->Release();
  }
}

// ---- calls out ---------------------------------------------------------------

CallTimeoutScope::CallTimeoutScope(std::chrono::milliseconds timeout) : saved_(t_callTimeout) {
  t_callTimeout = timeout;
}

CallTimeoutScope::~CallTimeoutScope() { t_callTimeout = saved_; }

PeerWaitScope::PeerWaitScope() {
  if (t_serving.connection == nullptr) return;
  connection_ = t_serving.connection->weak_from_this().lock();
  if (connection_) connection_->BeginPeerWait();
}

PeerWaitScope::~PeerWaitScope() {
  if (connection_) connection_->EndPeerWait();
}

void Connection::BeginPeerWait() {
  std::lock_guard<std::mutex> lock(mu_);
  if (peerWaits_++ == 0) peerWaitSince_ = std::chrono::steady_clock::now();
}

void Connection::EndPeerWait() {
  std::lock_guard<std::mutex> lock(mu_);
  if (--peerWaits_ == 0) peerWaited_ += std::chrono::steady_clock::now() - peerWaitSince_;
}

std::chrono::steady_clock::duration Connection::PeerWaitedLocked(std::chrono::steady_clock::time_point now) const {
  return peerWaited_ + (peerWaits_ > 0 ? now - peerWaitSince_ : std::chrono::steady_clock::duration(0));
}

HRESULT Connection::Call(Writer& request, Reply* reply, bool carryErrorInfo,
                         const std::chrono::steady_clock::time_point* deadline) {
  std::chrono::steady_clock::time_point scoped;
  if (!deadline && t_callTimeout.count() > 0) {
    scoped = std::chrono::steady_clock::now() + t_callTimeout;
    deadline = &scoped;
  }
  auto call = std::make_shared<Pending>();
  Pending& p = *call;
  uint32_t id;
  // With no reader ahead of it, the caller reads its reply itself: one
  // thread hop less each way. Taken before the request goes, so that the
  // reply never wakes the watch. A bounded call leaves the reading to a
  // call thread, since its wait may give up.
  bool readOwn = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return kServerUnavailable;
    id = nextCallId_++;
    if (id == 0) id = nextCallId_++;
    pending_[id] = call;
    if (!deadline && !reading_ && watchId_) readOwn = reading_ = true;
  }
  if (readOwn) ReadWatch::Instance().Disarm(watchId_, fd_.Get());
  std::string& frame = request.Finish(FrameKind::kRequest, id);
  bool sent = SendFrame(frame);
  if (readOwn) {
    if (sent)
      ReadReply(p);
    else
      GiveUpReading();
  }
  std::unique_lock<std::mutex> lock(mu_);
  bool timedOut = false;
  // The time the peer spends waiting on us meanwhile moves the deadline.
  std::chrono::steady_clock::time_point until;
  std::chrono::steady_clock::duration waitedBefore{0};
  if (deadline) {
    until = *deadline;
    waitedBefore = PeerWaitedLocked(std::chrono::steady_clock::now());
  }
  auto moved = [&] {
    const auto now = std::chrono::steady_clock::now();
    until = *deadline + (PeerWaitedLocked(now) - waitedBefore);
    // A wait in progress keeps the call alive until it ends.
    if (peerWaits_ > 0 && until <= now) until = now + std::chrono::milliseconds(1);
    return until > now;
  };
  if (sent) {
    auto ready = [&] { return p.done || closed_; };
    if (deadline) {
      while (!p.cv.wait_until(lock, until, ready)) {
        if (!moved()) {
          timedOut = true;
          break;
        }
      }
    } else {
      p.cv.wait(lock, ready);
    }
  }
  if (p.done) {
    auto ran = [&] { return (p.releases.empty() && !p.releasing) || closed_; };
    if (deadline) {
      while (!p.cv.wait_until(lock, until, ran) && moved()) {
      }
    } else {
      p.cv.wait(lock, ran);
    }
  }
  pending_.erase(id);
  if (timedOut) {
    lock.unlock();
    ORV_LOG(orvlog::kWarn, "transport connection " << name_ << ": no answer in time; closing it");
    Close();
    return RPC_E_TIMEOUT;
  }
  if (!p.done) return RPC_E_DISCONNECTED;
  lock.unlock();
  *reply = std::move(p.reply);
  try {
    msg::ReadReply(reply, carryErrorInfo);
  } catch (const DecodeError& e) {
    ORV_LOG(orvlog::kWarn, "transport connection " << name_ << ": bad reply: " << e.what() << "; closing it");
    Close();
    return RPC_E_DISCONNECTED;
  }
  return S_OK;
}

void Connection::SendRelease(uint64_t objectId, uint32_t count) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return;
  }
  Writer w;
  msg::WriteRelease(w, objectId, count);
  SendFrame(w.Finish(FrameKind::kRelease, t_serving.connection == this ? t_serving.callId : 0));
}

HRESULT Connection::GetRoot(REFIID iid, void** ppv, std::chrono::milliseconds timeout) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  Writer w;
  msg::QueryInterface::WriteRequest(w, Op::kGetRoot, 0, iid);
  Reply reply;
  bool bounded = timeout != std::chrono::milliseconds::max();
  auto deadline = bounded ? std::chrono::steady_clock::now() + timeout : std::chrono::steady_clock::time_point();
  HRESULT hr = Call(w, &reply, true, bounded ? &deadline : nullptr);
  if (FAILED(hr)) return hr;
  if (FAILED(reply.hr)) return reply.hr;
  try {
    Reader r = reply.Payload();
    *ppv = msg::QueryInterface::ReadReply(r, *this, iid);
    return *ppv ? S_OK : E_NOINTERFACE;
  } catch (const DecodeError& e) {
    ORV_LOG(orvlog::kWarn, "transport connection " << name_ << ": bad reply: " << e.what());
    Close();
    return RPC_E_DISCONNECTED;
  }
}

// ---- references ----------------------------------------------------------------

void Connection::WriteInterface(Writer& w, IUnknown* p, REFIID iid) {
  if (!p) {
    w.U8(kRefNull);
    return;
  }
  IUnknown* identity = nullptr;
  if (FAILED(p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity))) || !identity)
    throw std::invalid_argument("object without IUnknown");
  // Our proxy of the peer's own object goes back as the peer's reference.
  if (auto* pm = dynamic_cast<ProxyManager*>(identity)) {
    if (pm->Conn() == this) {
      w.U8(kRefReceivers);
      w.U64(pm->ObjectId());
      WriteGuid(w, iid);
      identity->Release();
      return;
    }
  }
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) {
      // A call still running when the peer went: its reply goes nowhere,
      // and a reference kept now would outlive the clean-up that already
      // released the peer's others.
      identity->Release();
      w.U8(kRefNull);
      return;
    }
    auto it = exportsByIdentity_.find(identity);
    if (it != exportsByIdentity_.end()) {
      id = it->second;
      ++exports_[id].refs;
      identity->Release();  // the table holds one already
    } else {
      id = nextExportId_++;
      Export& e = exports_[id];
      e.identity = identity;
      e.refs = 1;
      exportsByIdentity_[identity] = id;
    }
  }
  w.U8(kRefSenders);
  w.U64(id);
  WriteGuid(w, iid);
}

IUnknown* Connection::ReadInterface(Reader& r, IID* iidOut) {
  uint8_t tag = r.U8();
  if (iidOut) *iidOut = GUID_NULL;
  if (tag == kRefNull) return nullptr;
  if (tag != kRefSenders && tag != kRefReceivers) throw DecodeError("bad interface reference");
  r.Charge(kReferenceMemory);
  uint64_t id = r.U64();
  IID iid = ReadGuid(r);
  if (iidOut) *iidOut = iid;
  if (tag == kRefReceivers) {
    HRESULT hr;
    IUnknown* p = ExportedInterface(id, iid, &hr);
    if (!p) throw DecodeError("reference to an object that was not handed out");
    return p;
  }
  ProxyManager* pm = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = imports_.find(id);
    if (it != imports_.end() && it->second->TryAddRef()) {
      pm = it->second;
    } else {
      // None, or one whose last reference is going: a new one takes over
      // the object, the old one gives back only what it counted.
      pm = new ProxyManager(shared_from_this(), id);
      imports_[id] = pm;
    }
    pm->AddRemoteRef();
  }
  IUnknown* p = pm->InterfaceFor(iid);
  pm->Release();
  if (!p)
    ORV_LOG(orvlog::kWarn, "transport connection " << name_ << ": no proxy for interface "
                                                   << orvcom::GuidToString(iid));
  return p;
}

IDispatch* Connection::ReadDispatch(Reader& r) {
  IID iid;
  IUnknown* p = ReadInterface(r, &iid);
  if (!p) return nullptr;
  // Every interface of a type library derives from IDispatch; the standard
  // ones that travel (IUnknown, IClassFactory, the connection points) do not.
  if (iid == IID_IDispatch || orvcom::FindInterfaceInfo(iid)) return static_cast<IDispatch*>(p);
  p->Release();
  throw DecodeError("VT_DISPATCH value that is no IDispatch");
}

void Connection::ProxyGone(ProxyManager* manager, uint64_t objectId, uint32_t remoteRefs) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = imports_.find(objectId);
    if (it != imports_.end() && it->second == manager) imports_.erase(it);
  }
  if (remoteRefs) SendRelease(objectId, remoteRefs);
}

IUnknown* Connection::ExportedInterface(uint64_t objectId, const IID& iid, HRESULT* hr) {
  IUnknown* identity = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = exports_.find(objectId);
    if (it == exports_.end()) {
      *hr = RPC_E_DISCONNECTED;
      return nullptr;
    }
    auto i = it->second.interfaces.find(IidKey(iid));
    if (i != it->second.interfaces.end()) {
      i->second->AddRef();
      *hr = S_OK;
      return i->second;
    }
    identity = it->second.identity;
    identity->AddRef();
  }
  IUnknown* p = nullptr;
  *hr = identity->QueryInterface(iid, reinterpret_cast<void**>(&p));
  identity->Release();
  if (FAILED(*hr) || !p) {
    if (SUCCEEDED(*hr)) *hr = E_NOINTERFACE;
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(mu_);
  auto it = exports_.find(objectId);
  if (it != exports_.end() && it->second.interfaces.emplace(IidKey(iid), p).second) p->AddRef();
  return p;
}

void Connection::RunReleases() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!releases_.empty()) {
    std::string body = std::move(releases_.front());
    releases_.pop_front();
    lock.unlock();
    OnRelease(body);
    lock.lock();
  }
  releasesRunning_ = false;
}

void Connection::RunCallReleases(const std::shared_ptr<Pending>& call) {
  std::unique_lock<std::mutex> lock(mu_);
  while (!call->releases.empty()) {
    std::string body = std::move(call->releases.front());
    call->releases.pop_front();
    lock.unlock();
    OnRelease(body);
    lock.lock();
  }
  call->releasing = false;
  lock.unlock();
  // The caller waits on its call's own condition.
  call->cv.notify_one();
}

void Connection::OnRelease(const std::string& body) {
  uint64_t id;
  uint32_t count;
  try {
    msg::ReadRelease(body, &id, &count);
  } catch (const DecodeError& e) {
    ORV_LOG(orvlog::kWarn, "transport connection " << name_ << ": bad release: " << e.what() << "; closing it");
    Close();
    return;
  }
  Export gone;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = exports_.find(id);
    if (it == exports_.end()) return;
    it->second.refs -= std::min<uint64_t>(count, it->second.refs);
    if (it->second.refs > 0) return;
    gone = std::move(it->second);
    exportsByIdentity_.erase(gone.identity);
    exports_.erase(it);
  }
  for (auto& i : gone.interfaces) i.second->Release();
  gone.identity->Release();
}

// ---- values --------------------------------------------------------------------

void Connection::WriteVariant(Writer& w, const VARIANT& v) { orvrpc::WriteVariant(w, *this, v); }

void Connection::ReadVariant(Reader& r, VARIANT* v, int depth) { orvrpc::ReadVariant(r, *this, v, depth); }

// ---- calls in ------------------------------------------------------------------

void Connection::SendReply(uint32_t callId, Writer& w) {
  SendFrame(w.Finish(FrameKind::kReply, callId));
}

bool Connection::SendFrame(const std::string& frame) {
  std::lock_guard<std::mutex> lock(sendMu_);
  if (SendAll(fd_.Get(), frame.data(), frame.size())) {
    bytesSent_ += frame.size();
    return true;
  }
  // Part of the frame may have gone: whatever followed it would be read
  // as the rest of it, so nothing more may go out, and the connection
  // ends as on the peer's death. Shut while the sending is still held, so
  // that no frame of another thread slips in behind the half one.
  int error = errno;
  ::shutdown(fd_.Get(), SHUT_RDWR);
  ORV_LOG(orvlog::kWarn, "transport connection " << name_ << ": write: " << std::strerror(error)
                                                   << "; closing it");
  return false;
}

void Connection::OnRequest(uint32_t callId, std::string body) {
  Writer w;
  if (RunRequest(callId, std::move(body), w)) SendReply(callId, w);
}

bool Connection::RunRequest(uint32_t callId, std::string body, Writer& w) {
  // A pooled thread may carry an earlier call's error object.
  SetErrorInfo(0, nullptr);
  struct ServingScope {
    Serving saved;
    ServingScope(Connection* connection, uint32_t id) : saved(t_serving) { t_serving = {connection, id}; }
    ~ServingScope() { t_serving = saved; }
  } serving(this, callId);
  msg::BeginReply(w);
  HRESULT hr;
  // The body's buffer is kept for the next large message once served.
  struct GiveBack {
    std::string& body;
    ~GiveBack() { GiveBodyBuffer(std::move(body)); }
  } giveBack{body};
  try {
    Reader r(body);
    msg::RequestHead head = msg::ReadRequestHead(r);
    hr = Stub(*this).Serve(head, r, w);
  } catch (const DecodeError& e) {
    ORV_LOG(orvlog::kWarn, "transport connection " << name_ << ": malformed request: " << e.what()
                                                     << "; closing it");
    Close();
    return false;
  } catch (const std::exception& e) {
    // The object's fault, not the peer's: the caller gets an answer and the
    // server serves on.
    ORV_LOG(orvlog::kError, "transport connection " << name_ << ": a served object threw: " << e.what());
    w.Truncate(msg::kReplyHeadSize);
    SetErrorInfo(0, nullptr);
    hr = RPC_E_SERVERFAULT;
  } catch (...) {
    ORV_LOG(orvlog::kError, "transport connection " << name_ << ": a served object threw");
    w.Truncate(msg::kReplyHeadSize);
    SetErrorInfo(0, nullptr);
    hr = RPC_E_SERVERFAULT;
  }
  msg::FinishReply(w, hr);
  return true;
}

HRESULT Connection::ServeLockServer(IClassFactory* factory, BOOL lock) {
  if (!lock) {
    // The peer gives back only what it took: an unbalanced unlock would end
    // the server under other clients.
    bool owned = false, last = false;
    {
      std::lock_guard<std::mutex> g(mu_);
      auto it = serverLocks_.find(factory);
      if (it != serverLocks_.end()) {
        owned = true;
        if (--it->second == 0) {
          serverLocks_.erase(it);
          last = true;
        }
      }
    }
    if (!owned) {
      ORV_LOG(orvlog::kWarn, "transport connection " << name_ << ": unlock of the server without a lock refused");
      return E_UNEXPECTED;
    }
    HRESULT hr = factory->LockServer(FALSE);
    if (last) factory->Release();
    return hr;
  }
  HRESULT hr = factory->LockServer(TRUE);
  if (FAILED(hr)) return hr;
  bool kept = false;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (!closed_) {
      uint32_t& n = serverLocks_[factory];
      if (n++ == 0) factory->AddRef();
      kept = true;
    }
  }
  // A peer already gone cannot give it back; its clean-up has run.
  if (!kept) factory->LockServer(FALSE);
  return hr;
}

IUnknown* Connection::Root() {
  std::lock_guard<std::mutex> lock(mu_);
  if (root_) root_->AddRef();
  return root_;
}

}  // namespace orvrpc
