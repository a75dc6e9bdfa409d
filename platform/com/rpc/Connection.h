// One transport connection between two processes (or two runtimes of one
// process over a socket pair): the objects this side exported to the peer,
// the proxies it holds for the peer's objects, and the calls in flight in
// both directions.
//
// Requests that arrive are run by the process's pool of call threads, so a
// thread waiting for its own reply never blocks a call the peer makes in
// the meantime (the peer's event handler calling back into our cursor).
// One thread at a time holds the reading of the socket, and thread hops are
// what a round trip costs most, so the reading goes where it saves them: a
// caller with no reader ahead of it reads its own reply (handing requests
// that come meanwhile to call threads), and a call thread that reads a
// request runs it itself, leaving the socket to the process's ReadWatch
// while it does, so that a request that blocks holds up nothing.
//
// The bodies of the frames are in Messages.h, the values in them in
// Values.h; serving a request is the Stub's. An interface pointer travels
// as u8 tag (0 null, 1 an object of the sender, 2 the receiver's own object
// coming back) | u64 object id | IID of the interface it is passed as, and
// is written and read here, through the tables.
//
// Errors, on either side:
// - bad input from the peer (a frame, body, value or reference that does
//   not decode) closes the connection, logged; the peer's references go
//   with it, as on its death;
// - a value that cannot be sent (an argument or result of a type the wire
//   does not carry) fails that call with DISP_E_BADVARTYPE, and the
//   connection goes on;
// - anything else that escapes a served object is a server fault: the call
//   is answered RPC_E_SERVERFAULT, logged, and the connection goes on;
// - a frame that cannot be written whole ends the connection as the
//   peer's death does, logged: the rest of the stream could only be
//   misread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/com/com.h"
#include "platform/com/rpc/Messages.h"
#include "platform/com/rpc/Socket.h"
#include "platform/com/rpc/Values.h"
#include "platform/com/rpc/Wire.h"

namespace orvrpc {

class ProxyManager;
class Stub;

// A call on a connection whose peer is gone.
constexpr HRESULT kServerUnavailable = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // Takes over a connected socket. `root` (may be null) is what the peer
  // gets for kGetRoot: the class object for a server's connections.
  static std::shared_ptr<Connection> Start(UniqueFd fd, IUnknown* root, std::string name);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The peer's root object, asked for as `iid`; bounded by `timeout`, since
  // a server whose class objects are suspended leaves a new connection
  // waiting unanswered.
  HRESULT GetRoot(REFIID iid, void** ppv,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds::max());

  // Sends a request and waits for its reply. Fails with kServerUnavailable
  // when the connection is already closed and with RPC_E_DISCONNECTED when
  // it closes before the reply comes. A failing reply sets its error
  // information on the calling thread unless `carryErrorInfo` is false
  // (QueryInterface leaves it alone). Without a reply by `deadline` (when
  // one is given) the connection is closed and the call fails with
  // RPC_E_TIMEOUT.
  HRESULT Call(Writer& request, Reply* reply, bool carryErrorInfo = true,
               const std::chrono::steady_clock::time_point* deadline = nullptr);
  // One-way: gives `count` references of the peer's object back.
  void SendRelease(uint64_t objectId, uint32_t count);

  // Interface pointers in a body. Writing one exports the object (one
  // reference more for the peer); reading one gives an AddRef'd pointer of
  // the interface it was written as (a proxy, or our own object coming
  // back). Read throws DecodeError on a reference that cannot be resolved.
  void WriteInterface(Writer& w, IUnknown* p, REFIID iid);
  IUnknown* ReadInterface(Reader& r, IID* iid = nullptr);
  // A reference read as an IDispatch: one written as an interface that is
  // no IDispatch is refused (DecodeError), never handed on as one.
  IDispatch* ReadDispatch(Reader& r);
  // VARIANTs: every type the contract and the dispatch side use, with
  // BSTR null apart from empty and one-dimensional SAFEARRAYs with their
  // lower bound. A VT_BYREF is written as the value it points at.
  void WriteVariant(Writer& w, const VARIANT& v);
  // Into a VariantInit'd `v`; on DecodeError `v` holds nothing.
  void ReadVariant(Reader& r, VARIANT* v, int depth = 0);

  // Called once, on the thread that closes the connection, after what the
  // peer held has been released; at once when it is closed already.
  void OnClosed(std::function<void()> notice);

  // Closes the socket; the reader thread then releases what the peer held.
  void Close();
  bool IsClosed() const;
  // Waits (bounded) until the reader thread has finished its clean-up.
  bool WaitClosed(std::chrono::milliseconds timeout);

  // The peer waits on us (PeerWaitScope); scopes of several threads nest.
  void BeginPeerWait();
  void EndPeerWait();

  const std::string& Name() const { return name_; }
  size_t ExportCount() const;
  size_t ImportCount() const;
  // Bytes of whole frames written and bytes read, for logs and measurements.
  uint64_t BytesSent() const { return bytesSent_.load(); }
  uint64_t BytesReceived() const { return bytesReceived_.load(); }

  // The proxy manager ending: drops it from the table (if it is still the
  // one for its object) and sends its references back.
  void ProxyGone(ProxyManager* manager, uint64_t objectId, uint32_t remoteRefs);

 private:
  struct Pending {
    bool done = false;
    Reply reply;
    std::condition_variable cv;  // one per call: a reply wakes only its caller
    // Releases the callee gave back while it served this call: they came
    // ahead of the reply, run in the order they came, and the reply waits
    // for them.
    std::deque<std::string> releases;
    bool releasing = false;
  };
  struct Export {
    IUnknown* identity = nullptr;
    uint64_t refs = 0;
    std::map<std::string, IUnknown*> interfaces;  // by IID bytes, each AddRef'd
  };

  Connection(UniqueFd fd, IUnknown* root, std::string name);
  // Run by the thread that holds the reading.
  void ReadLoop();
  void ReadReply(const Pending& call);
  void Deliver(const FrameHeader& h, std::string body);
  // Taking the reading fails when another thread holds it or the
  // connection is closed; giving it up arms the watch of the socket.
  bool TakeReading();
  void GiveUpReading();
  void OnReadable();
  void OnRequest(uint32_t callId, std::string body);
  // False when the request was malformed and the connection is closing.
  bool RunRequest(uint32_t callId, std::string body, Writer& w);
  void OnRelease(const std::string& body);
  // Takes a release the peer made while serving one of our calls still
  // waiting for its reply; false (leaving `body`) when it is tied to none.
  bool OweRelease(uint32_t callId, std::string& body);
  void RunCallReleases(const std::shared_ptr<Pending>& call);
  void RunReleases();
  // Hands queued releases to a call thread unless one runs them already.
  void StartReleases();
  // True when the caller is to run the queued releases itself.
  bool ClaimReleases();
  void Shutdown(const std::string& why);
  void SendReply(uint32_t callId, Writer& w);
  // Writes one whole frame; false when it could not, the connection then
  // shut.
  bool SendFrame(const std::string& frame);
  // What the stub needs of the tables: the root, AddRef'd (or null).
  friend class Stub;
  IUnknown* Root();
  // LockServer as the peer asks it: counted for this connection, so that
  // the peer cannot unlock more than it locked and its locks end with it.
  HRESULT ServeLockServer(IClassFactory* factory, BOOL lock);
  // An AddRef'd pointer of `iid` on an exported object, or null.
  IUnknown* ExportedInterface(uint64_t objectId, const IID& iid, HRESULT* hr);
  void ReleaseExports();
  void DropServerLocks();
  // How long, in all, the peer has waited on us up to `now`. Under mu_.
  std::chrono::steady_clock::duration PeerWaitedLocked(std::chrono::steady_clock::time_point now) const;

  std::string name_;
  UniqueFd fd_;
  IUnknown* root_;
  // The thread that holds the reading owns these.
  FrameDecoder decoder_;
  uint64_t watchId_ = 0;

  std::mutex sendMu_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool closed_ = false;
  bool finished_ = false;  // the reader has cleaned up
  std::function<void()> onClosed_;
  bool reading_ = false;  // a thread holds the reading
  uint32_t nextCallId_ = 1;
  std::map<uint32_t, std::shared_ptr<Pending>> pending_;
  uint64_t nextExportId_ = 1;
  std::map<uint64_t, Export> exports_;
  std::map<IUnknown*, uint64_t> exportsByIdentity_;
  std::map<uint64_t, ProxyManager*> imports_;
  std::map<IClassFactory*, uint32_t> serverLocks_;  // the peer's LockServer(TRUE)s, AddRef'd
  // Releases run one after the other, in the order they came. Those the
  // peer made while serving one of our calls carry that call's id and run
  // apart, and its reply is handed over only once they ran, so a caller
  // that unadvised a sink may free it when the call returns. Other releases
  // hold no reply back: one whose FinalRelease waits for a call of ours in
  // flight must not keep that call's reply.
  std::deque<std::string> releases_;
  bool releasesRunning_ = false;
  std::atomic<uint64_t> bytesSent_{0}, bytesReceived_{0};
  // Under mu_: the scopes open now, since when one was, and the time of
  // those that closed.
  int peerWaits_ = 0;
  std::chrono::steady_clock::time_point peerWaitSince_;
  std::chrono::steady_clock::duration peerWaited_{0};
};

}  // namespace orvrpc
