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
#include "platform/log/Log.h"
#include "platform/sys/Syscalls.h"

namespace orvrpc {

namespace {

// Nesting of VARIANT arrays within VARIANT arrays; the contract never goes
// past one level, a hostile peer could go on until the stack ends.
constexpr int kMaxVariantDepth = 8;

enum RefTag : uint8_t { kRefNull = 0, kRefSenders = 1, kRefReceivers = 2 };

// The request a call thread is serving, if any: the releases it makes on
// that connection meanwhile are tied to the call.
struct Serving {
  const void* connection = nullptr;
  uint32_t callId = 0;
};
thread_local Serving t_serving;

// The bound that CallTimeoutScope puts on this thread's calls; zero: none.
thread_local std::chrono::milliseconds t_callTimeout{0};

constexpr size_t kReadBufSize = 65536;
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

// Clears a set of VARIANTs however the code leaves (a decode error included).
struct VariantVector {
  std::vector<VARIANT> v;
  explicit VariantVector(size_t n) : v(n) {
    for (auto& x : v) VariantInit(&x);
  }
  ~VariantVector() {
    for (auto& x : v) VariantClear(&x);
  }
};

bool IsInterfaceVt(VARTYPE vt) { return vt == VT_DISPATCH || vt == VT_UNKNOWN; }

const IID& DefaultIid(const orvcom::ParamInfo& p) {
  if (p.iid) return *p.iid;
  return p.vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch;
}

// The fewest bytes an array element takes on the wire, so that a count
// the body cannot hold is refused before the array is allocated.
size_t ElementWireSize(VARTYPE vt) {
  switch (vt) {
    case VT_UI1: case VT_UNKNOWN: case VT_DISPATCH: return 1;
    case VT_I2: case VT_BOOL: case VT_VARIANT: return 2;
    case VT_I4: case VT_R4: case VT_ERROR: case VT_BSTR: return 4;
    case VT_R8: case VT_DATE: return 8;
    default: return 0;
  }
}

// What an array element takes in memory, for the decoded-size bound.
size_t ElementMemorySize(VARTYPE vt) {
  switch (vt) {
    case VT_UI1: return 1;
    case VT_I2: case VT_BOOL: return 2;
    case VT_I4: case VT_R4: case VT_ERROR: return 4;
    case VT_R8: case VT_DATE: return 8;
    case VT_VARIANT: return sizeof(VARIANT);
    default: return sizeof(void*);
  }
}

// A reference from the peer may make a proxy; booked at a generous guess
// of what one costs.
constexpr size_t kReferenceMemory = 512;

}  // namespace

void WriteGuid(Writer& w, const GUID& g) { w.Bytes(&g, sizeof g); }

GUID ReadGuid(Reader& r) {
  GUID g;
  std::memcpy(&g, r.Take(sizeof g), sizeof g);
  return g;
}

namespace {
void WriteBstr(Writer& w, BSTR b) { w.Str16(b, b ? SysStringLen(b) : 0, b == nullptr); }

BSTR ReadBstr(Reader& r) {
  std::u16string s;
  if (!r.Str16(&s)) return nullptr;
  r.Charge(sizeof(uint32_t) + (uint64_t(s.size()) + 1) * sizeof(char16_t));
  BSTR b = SysAllocStringLen(s.data(), UINT(s.size()));
  if (!b) throw DecodeError("out of memory for a string");
  return b;
}
}  // namespace

void WriteErrorInfo(Writer& w) {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) {
    w.U8(0);
    return;
  }
  GUID g = GUID_NULL;
  BSTR source = nullptr, description = nullptr, helpFile = nullptr;
  DWORD context = 0;
  info->GetGUID(&g);
  info->GetSource(&source);
  info->GetDescription(&description);
  info->GetHelpFile(&helpFile);
  info->GetHelpContext(&context);
  info->Release();
  w.U8(1);
  WriteGuid(w, g);
  WriteBstr(w, source);
  WriteBstr(w, description);
  WriteBstr(w, helpFile);
  w.U32(context);
  SysFreeString(source);
  SysFreeString(description);
  SysFreeString(helpFile);
}

void ReadErrorInfo(Reader& r) {
  if (r.U8() == 0) {
    SetErrorInfo(0, nullptr);
    return;
  }
  GUID g = ReadGuid(r);
  std::u16string source, description, helpFile;
  bool hasSource = r.Str16(&source);
  bool hasDescription = r.Str16(&description);
  bool hasHelp = r.Str16(&helpFile);
  DWORD context = r.U32();
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create))) return;
  create->SetGUID(g);
  if (hasSource) create->SetSource(&source[0]);
  if (hasDescription) create->SetDescription(&description[0]);
  if (hasHelp) create->SetHelpFile(&helpFile[0]);
  create->SetHelpContext(context);
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
    SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
}

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
  if (!readBuf_) readBuf_.reset(new char[kReadBufSize]);
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
    ssize_t n = orvsys::Sys().read(fd_.Get(), readBuf_.get(), kReadBufSize);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Shutdown(n < 0 ? std::string("read: ") + std::strerror(errno) : "peer closed the connection");
      return;
    }
    bytesReceived_ += uint64_t(n);
    decoder_.Feed(readBuf_.get(), size_t(n));
  }
}

void Connection::ReadReply(const Pending& call) {
  auto self = shared_from_this();
  if (!readBuf_) readBuf_.reset(new char[kReadBufSize]);
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
    ssize_t n = orvsys::Sys().read(fd_.Get(), readBuf_.get(), kReadBufSize);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytesReceived_ += uint64_t(n);
    decoder_.Feed(readBuf_.get(), size_t(n));
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
  if (sent) {
    auto ready = [&] { return p.done || closed_; };
    if (deadline)
      timedOut = !p.cv.wait_until(lock, *deadline, ready);
    else
      p.cv.wait(lock, ready);
  }
  if (p.done) {
    auto ran = [&] { return (p.releases.empty() && !p.releasing) || closed_; };
    if (deadline)
      p.cv.wait_until(lock, *deadline, ran);
    else
      p.cv.wait(lock, ran);
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
    // hr | payload length | payload | error information when hr failed
    Reader r(reply->body);
    reply->hr = r.I32();
    reply->length = r.U32();
    reply->offset = 8;
    r.Take(reply->length);
    if (FAILED(reply->hr)) {
      if (carryErrorInfo) {
        ReadErrorInfo(r);
      } else {
        r.Take(r.Remaining());
      }
    }
    r.ExpectEnd();
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
  w.U64(objectId);
  w.U32(count);
  SendFrame(w.Finish(FrameKind::kRelease, t_serving.connection == this ? t_serving.callId : 0));
}

HRESULT Connection::GetRoot(REFIID iid, void** ppv, std::chrono::milliseconds timeout) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  Writer w;
  w.U8(uint8_t(Op::kGetRoot));
  w.U64(0);
  WriteGuid(w, iid);
  Reply reply;
  bool bounded = timeout != std::chrono::milliseconds::max();
  auto deadline = bounded ? std::chrono::steady_clock::now() + timeout : std::chrono::steady_clock::time_point();
  HRESULT hr = Call(w, &reply, true, bounded ? &deadline : nullptr);
  if (FAILED(hr)) return hr;
  if (FAILED(reply.hr)) return reply.hr;
  try {
    Reader r = reply.Payload();
    *ppv = ReadInterfaceAs(this, r, iid);
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
    Reader r(body);
    id = r.U64();
    count = r.U32();
    r.ExpectEnd();
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

void Connection::WriteVariant(Writer& w, const VARIANT& in) {
  const VARIANT* v = &in;
  while (v->vt == (VT_BYREF | VT_VARIANT)) {
    if (!v->pvarVal) throw std::invalid_argument("null VARIANT reference");
    v = v->pvarVal;
  }
  VARTYPE vt = v->vt;
  bool byref = (vt & VT_BYREF) != 0;
  VARTYPE base = VARTYPE(vt & ~VT_BYREF);
  if (byref && !v->byref) throw std::invalid_argument("null reference");
  w.U16(base);
  if (base & VT_ARRAY) {
    SAFEARRAY* sa = byref ? *v->pparray : v->parray;
    VARTYPE elem = VARTYPE(base & VT_TYPEMASK);
    if (!sa) {
      w.U8(0);
      return;
    }
    VARTYPE actual = VT_EMPTY;
    if (SafeArrayGetDim(sa) != 1 || FAILED(SafeArrayGetVartype(sa, &actual)) || actual != elem)
      throw std::invalid_argument("array that cannot be sent");
    LONG lb = 0, ub = -1;
    SafeArrayGetLBound(sa, 1, &lb);
    SafeArrayGetUBound(sa, 1, &ub);
    uint32_t count = uint32_t(int64_t(ub) - int64_t(lb) + 1);
    w.U8(1);
    w.I32(lb);
    w.U32(count);
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(sa, &data))) throw std::invalid_argument("array locked");
    struct Unaccess {
      SAFEARRAY* sa;
      ~Unaccess() { SafeArrayUnaccessData(sa); }
    } unaccess{sa};
    for (uint32_t i = 0; i < count; ++i) {
      switch (elem) {
        case VT_UI1: w.U8(static_cast<BYTE*>(data)[i]); break;
        case VT_I2: w.I16(static_cast<SHORT*>(data)[i]); break;
        case VT_BOOL: w.I16(static_cast<VARIANT_BOOL*>(data)[i]); break;
        case VT_I4: w.I32(static_cast<LONG*>(data)[i]); break;
        case VT_ERROR: w.I32(static_cast<SCODE*>(data)[i]); break;
        case VT_R4: w.F32(static_cast<FLOAT*>(data)[i]); break;
        case VT_R8: w.F64(static_cast<DOUBLE*>(data)[i]); break;
        case VT_DATE: w.F64(static_cast<DATE*>(data)[i]); break;
        case VT_BSTR: WriteBstr(w, static_cast<BSTR*>(data)[i]); break;
        case VT_VARIANT: WriteVariant(w, static_cast<VARIANT*>(data)[i]); break;
        case VT_UNKNOWN: WriteInterface(w, static_cast<IUnknown**>(data)[i], IID_IUnknown); break;
        case VT_DISPATCH: WriteInterface(w, static_cast<IDispatch**>(data)[i], IID_IDispatch); break;
        default: throw std::invalid_argument("array of a type that cannot be sent");
      }
    }
    return;
  }
  switch (base) {
    case VT_EMPTY: case VT_NULL: return;
    case VT_UI1: w.U8(byref ? *v->pbVal : v->bVal); return;
    case VT_I2: w.I16(byref ? *v->piVal : v->iVal); return;
    case VT_BOOL: w.I16(byref ? *v->pboolVal : v->boolVal); return;
    case VT_I4: w.I32(byref ? *v->plVal : v->lVal); return;
    case VT_ERROR: w.I32(byref ? *v->pscode : v->scode); return;
    case VT_R4: w.F32(byref ? *v->pfltVal : v->fltVal); return;
    case VT_R8: w.F64(byref ? *v->pdblVal : v->dblVal); return;
    case VT_DATE: w.F64(byref ? *v->pdate : v->date); return;
    case VT_BSTR: WriteBstr(w, byref ? *v->pbstrVal : v->bstrVal); return;
    case VT_UNKNOWN: WriteInterface(w, byref ? *v->ppunkVal : v->punkVal, IID_IUnknown); return;
    case VT_DISPATCH: WriteInterface(w, byref ? *v->ppdispVal : v->pdispVal, IID_IDispatch); return;
    default: throw std::invalid_argument("VARIANT of a type that cannot be sent");
  }
}

void Connection::ReadVariant(Reader& r, VARIANT* v, int depth) {
  if (depth > kMaxVariantDepth) throw DecodeError("VARIANT arrays nested too deep");
  VARTYPE vt = r.U16();
  if (vt & VT_BYREF) throw DecodeError("reference in a VARIANT value");
  if (vt & VT_ARRAY) {
    VARTYPE elem = VARTYPE(vt & VT_TYPEMASK);
    size_t minSize = ElementWireSize(elem);
    if ((vt & ~(VT_ARRAY | VT_TYPEMASK)) != 0 || minSize == 0) throw DecodeError("bad array type");
    if (r.U8() == 0) {
      v->vt = vt;
      v->parray = nullptr;
      return;
    }
    LONG lb = r.I32();
    uint32_t count = r.Count(minSize);
    if (count && int64_t(lb) + int64_t(count) - 1 > INT32_MAX) throw DecodeError("array bounds overflow");
    r.Charge(uint64_t(count) * ElementMemorySize(elem));
    SAFEARRAY* sa = SafeArrayCreateVector(elem, lb, count);
    if (!sa) throw DecodeError("cannot make an array of that shape");
    void* data = nullptr;
    SafeArrayAccessData(sa, &data);
    try {
      for (uint32_t i = 0; i < count; ++i) {
        switch (elem) {
          case VT_UI1: static_cast<BYTE*>(data)[i] = r.U8(); break;
          case VT_I2: static_cast<SHORT*>(data)[i] = r.I16(); break;
          case VT_BOOL: static_cast<VARIANT_BOOL*>(data)[i] = r.I16(); break;
          case VT_I4: static_cast<LONG*>(data)[i] = r.I32(); break;
          case VT_ERROR: static_cast<SCODE*>(data)[i] = r.I32(); break;
          case VT_R4: static_cast<FLOAT*>(data)[i] = r.F32(); break;
          case VT_R8: static_cast<DOUBLE*>(data)[i] = r.F64(); break;
          case VT_DATE: static_cast<DATE*>(data)[i] = r.F64(); break;
          case VT_BSTR: static_cast<BSTR*>(data)[i] = ReadBstr(r); break;
          case VT_VARIANT: ReadVariant(r, &static_cast<VARIANT*>(data)[i], depth + 1); break;
          case VT_UNKNOWN: static_cast<IUnknown**>(data)[i] = ReadInterface(r); break;
          case VT_DISPATCH: static_cast<IDispatch**>(data)[i] = ReadDispatch(r); break;
          default: throw DecodeError("bad array type");
        }
      }
    } catch (...) {
      SafeArrayUnaccessData(sa);
      SafeArrayDestroy(sa);
      throw;
    }
    SafeArrayUnaccessData(sa);
    v->vt = vt;
    v->parray = sa;
    return;
  }
  switch (vt) {
    case VT_EMPTY: case VT_NULL: break;
    case VT_UI1: v->bVal = r.U8(); break;
    case VT_I2: v->iVal = r.I16(); break;
    case VT_BOOL: v->boolVal = r.I16(); break;
    case VT_I4: v->lVal = r.I32(); break;
    case VT_ERROR: v->scode = r.I32(); break;
    case VT_R4: v->fltVal = r.F32(); break;
    case VT_R8: v->dblVal = r.F64(); break;
    case VT_DATE: v->date = r.F64(); break;
    case VT_BSTR: v->bstrVal = ReadBstr(r); break;
    case VT_UNKNOWN: v->punkVal = ReadInterface(r); break;
    case VT_DISPATCH: v->pdispVal = ReadDispatch(r); break;
    default: throw DecodeError("VARIANT of unknown type " + std::to_string(vt));
  }
  v->vt = vt;
}

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
    ServingScope(const void* connection, uint32_t id) : saved(t_serving) { t_serving = {connection, id}; }
    ~ServingScope() { t_serving = saved; }
  } serving(this, callId);
  w.I32(0);
  w.U32(0);
  HRESULT hr;
  try {
    Reader r(body);
    Op op = Op(r.U8());
    uint64_t objectId = r.U64();
    IID iid = ReadGuid(r);
    hr = Dispatch(op, objectId, iid, r, w);
  } catch (const DecodeError& e) {
    ORV_LOG(orvlog::kWarn, "transport connection " << name_ << ": malformed request: " << e.what()
                                                     << "; closing it");
    Close();
    return false;
  } catch (const std::exception& e) {
    // The object's fault, not the peer's: the caller gets an answer and the
    // server serves on.
    ORV_LOG(orvlog::kError, "transport connection " << name_ << ": a served object threw: " << e.what());
    w.Truncate(8);
    SetErrorInfo(0, nullptr);
    hr = RPC_E_SERVERFAULT;
  } catch (...) {
    ORV_LOG(orvlog::kError, "transport connection " << name_ << ": a served object threw");
    w.Truncate(8);
    SetErrorInfo(0, nullptr);
    hr = RPC_E_SERVERFAULT;
  }
  w.PatchU32(0, uint32_t(hr));
  w.PatchU32(4, uint32_t(w.BodySize() - 8));
  if (FAILED(hr)) WriteErrorInfo(w);
  return true;
}

namespace {
struct Releaser {
  IUnknown* p;
  ~Releaser() {
    if (p) p->Release();
  }
};
}  // namespace

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

HRESULT Connection::Dispatch(Op op, uint64_t objectId, const IID& iid, Reader& r, Writer& w) {
  HRESULT hr = S_OK;
  if (op == Op::kGetRoot) {
    IUnknown* root;
    {
      std::lock_guard<std::mutex> lock(mu_);
      root = root_;
      if (root) root->AddRef();
    }
    Releaser hold{root};
    if (!root) return E_NOINTERFACE;
    IUnknown* p = nullptr;
    hr = root->QueryInterface(iid, reinterpret_cast<void**>(&p));
    if (FAILED(hr)) return hr;
    Releaser holdP{p};
    WriteInterface(w, p, iid);
    return S_OK;
  }

  IUnknown* target = ExportedInterface(objectId, op == Op::kQueryInterface ? IID_IUnknown : iid, &hr);
  if (!target) return hr;
  Releaser holdTarget{target};

  switch (op) {
    case Op::kQueryInterface: {
      IUnknown* p = nullptr;
      hr = target->QueryInterface(iid, reinterpret_cast<void**>(&p));
      if (FAILED(hr)) return hr;
      Releaser holdP{p};
      WriteInterface(w, p, iid);
      return S_OK;
    }

    case Op::kCall: {
      unsigned index = r.U16();
      const orvcom::InterfaceInfo* info = orvcom::FindInterfaceInfo(iid);
      if (!info || info->dispinterface || index >= info->memberCount || !info->members[index].invoke)
        return E_NOTIMPL;
      const orvcom::MemberInfo& m = info->members[index];
      unsigned n = 0;
      for (unsigned k = 0; k < m.paramCount; ++k)
        if (!(m.params[k].flags & orvcom::kParamRetval)) ++n;
      VariantVector args(n), outs(m.paramCount);
      for (unsigned k = 0; k < m.paramCount; ++k) {
        const orvcom::ParamInfo& p = m.params[k];
        if (p.flags & orvcom::kParamRetval) continue;
        VARIANT& slot = args.v[n - 1 - k];  // last parameter first
        if (p.flags & orvcom::kParamOut) {
          slot.vt = VT_BYREF | VT_VARIANT;
          slot.pvarVal = &outs.v[k];
        } else {
          ReadVariant(r, &slot);
        }
      }
      r.ExpectEnd();
      DISPID put = DISPID_PROPERTYPUT;
      bool isPut = m.kind == orvcom::MemberKind::kPropPut;
      DISPPARAMS dp{n ? args.v.data() : nullptr, isPut ? &put : nullptr, n, isPut ? 1u : 0u};
      VariantVector result(1);
      UINT argErr = 0;
      hr = m.invoke(target, &dp, &result.v[0], &argErr);
      if (FAILED(hr)) return hr;
      // Byref slots point into `outs`; forget them before the vector clears.
      try {
        for (unsigned k = 0; k < m.paramCount; ++k) {
          const orvcom::ParamInfo& p = m.params[k];
          if (!(p.flags & orvcom::kParamOut)) continue;
          VARIANT& v = (p.flags & orvcom::kParamRetval) ? result.v[0] : outs.v[k];
          if (IsInterfaceVt(p.vt)) {
            w.U16(p.vt);
            WriteInterface(w, IsInterfaceVt(v.vt) ? v.punkVal : nullptr, DefaultIid(p));
          } else {
            WriteVariant(w, v);
          }
        }
      } catch (const std::invalid_argument& e) {
        ORV_LOG(orvlog::kWarn, "transport: result of " << info->name << "." << m.name
                                                       << " cannot be sent: " << e.what());
        w.Truncate(8);
        return DISP_E_BADVARTYPE;
      }
      return hr;
    }

    case Op::kInvoke: {
      DISPID dispid = r.I32();
      IID riid = ReadGuid(r);
      LCID lcid = r.U32();
      WORD flags = r.U16();
      uint32_t n = r.Count(3);
      r.Charge(uint64_t(n) * (2 * sizeof(VARIANT) + 1));
      VariantVector args(n), held(n);
      std::vector<uint8_t> byref(n);
      for (uint32_t i = 0; i < n; ++i) {
        byref[i] = r.U8();
        VARTYPE refVt = byref[i] ? r.U16() : VARTYPE(VT_EMPTY);
        if (!byref[i]) {
          ReadVariant(r, &args.v[i]);
          continue;
        }
        ReadVariant(r, &held.v[i]);
        if (refVt == (VT_BYREF | VT_VARIANT)) {
          args.v[i].vt = refVt;
          args.v[i].pvarVal = &held.v[i];
        } else if (refVt == (VT_BYREF | held.v[i].vt)) {
          args.v[i].vt = refVt;
          args.v[i].byref = &held.v[i].lVal;  // every member of the union starts here
        } else {
          throw DecodeError("reference argument of the wrong type");
        }
      }
      uint32_t named = r.Count(4);
      r.Charge(uint64_t(named) * sizeof(DISPID));
      std::vector<DISPID> names(named);
      for (auto& d : names) d = r.I32();
      bool wantResult = r.U8() != 0;
      bool wantExcep = r.U8() != 0;
      r.ExpectEnd();
      DISPPARAMS dp{n ? args.v.data() : nullptr, named ? names.data() : nullptr, n, named};
      VariantVector result(1);
      EXCEPINFO ei;
      std::memset(&ei, 0, sizeof ei);
      UINT argErr = 0;
      hr = static_cast<IDispatch*>(target)->Invoke(dispid, riid, lcid, flags, &dp,
                                                   wantResult ? &result.v[0] : nullptr,
                                                   wantExcep ? &ei : nullptr, &argErr);
      if (ei.pfnDeferredFillIn) ei.pfnDeferredFillIn(&ei);
      bool hasExcep = wantExcep && hr == DISP_E_EXCEPTION;
      w.U8(hasExcep);
      if (hasExcep) {
        w.U16(ei.wCode);
        WriteBstr(w, ei.bstrSource);
        WriteBstr(w, ei.bstrDescription);
        WriteBstr(w, ei.bstrHelpFile);
        w.U32(ei.dwHelpContext);
        w.I32(ei.scode);
      }
      SysFreeString(ei.bstrSource);
      SysFreeString(ei.bstrDescription);
      SysFreeString(ei.bstrHelpFile);
      w.U32(argErr);
      if (SUCCEEDED(hr)) {
        size_t mark = w.BodySize();
        try {
          w.U8(wantResult);
          if (wantResult) WriteVariant(w, result.v[0]);
          for (uint32_t i = 0; i < n; ++i)
            if (byref[i]) WriteVariant(w, held.v[i]);
        } catch (const std::invalid_argument& e) {
          ORV_LOG(orvlog::kWarn, "transport: result of DISPID " << dispid << " cannot be sent: " << e.what());
          w.Truncate(mark);
          return DISP_E_BADVARTYPE;
        }
      }
      return hr;
    }

    case Op::kGetIDsOfNames: {
      IID riid = ReadGuid(r);
      LCID lcid = r.U32();
      uint32_t count = r.Count(4);
      r.Charge(uint64_t(count) * (sizeof(std::u16string) + sizeof(LPOLESTR) + sizeof(DISPID)));
      std::vector<std::u16string> names(count);
      std::vector<LPOLESTR> ptrs(count);
      for (uint32_t i = 0; i < count; ++i) {
        if (!r.Str16(&names[i])) throw DecodeError("null name");
        names[i].push_back(0);
        ptrs[i] = &names[i][0];
        names[i].pop_back();
      }
      r.ExpectEnd();
      std::vector<DISPID> ids(count, DISPID_UNKNOWN);
      hr = static_cast<IDispatch*>(target)->GetIDsOfNames(riid, count ? ptrs.data() : nullptr, count,
                                                          lcid, count ? ids.data() : nullptr);
      w.U32(count);
      for (DISPID d : ids) w.I32(d);
      return hr;
    }

    case Op::kGetTypeInfoCount: {
      UINT count = 0;
      hr = static_cast<IDispatch*>(target)->GetTypeInfoCount(&count);
      w.U32(count);
      return hr;
    }

    case Op::kCreateInstance: {
      IID riid = ReadGuid(r);
      r.ExpectEnd();
      IUnknown* p = nullptr;
      hr = static_cast<IClassFactory*>(target)->CreateInstance(nullptr, riid, reinterpret_cast<void**>(&p));
      if (FAILED(hr)) return hr;
      Releaser holdP{p};
      WriteInterface(w, p, riid);
      return hr;
    }

    case Op::kLockServer: {
      BOOL lock = r.U8();
      r.ExpectEnd();
      return ServeLockServer(static_cast<IClassFactory*>(target), lock);
    }

    case Op::kFindConnectionPoint: {
      IID riid = ReadGuid(r);
      r.ExpectEnd();
      IConnectionPoint* cp = nullptr;
      hr = static_cast<IConnectionPointContainer*>(target)->FindConnectionPoint(riid, &cp);
      if (FAILED(hr)) return hr;
      Releaser holdCp{cp};
      WriteInterface(w, cp, IID_IConnectionPoint);
      return hr;
    }

    case Op::kGetConnectionInterface: {
      IID out = GUID_NULL;
      hr = static_cast<IConnectionPoint*>(target)->GetConnectionInterface(&out);
      WriteGuid(w, out);
      return hr;
    }

    case Op::kAdvise: {
      IUnknown* sink = ReadInterface(r);
      Releaser holdSink{sink};
      r.ExpectEnd();
      DWORD cookie = 0;
      hr = static_cast<IConnectionPoint*>(target)->Advise(sink, &cookie);
      w.U32(cookie);
      return hr;
    }

    case Op::kSupportsErrorInfo: {
      IID riid = ReadGuid(r);
      r.ExpectEnd();
      return static_cast<ISupportErrorInfo*>(target)->InterfaceSupportsErrorInfo(riid);
    }

    case Op::kUnadvise: {
      DWORD cookie = r.U32();
      r.ExpectEnd();
      return static_cast<IConnectionPoint*>(target)->Unadvise(cookie);
    }

    default:
      throw DecodeError("unknown operation " + std::to_string(int(op)));
  }
}

}  // namespace orvrpc
