// The state of a DDEML instance and of its conversations, shared by the
// three parts that work on it: the I/O thread that moves the bytes
// (DdeIo.cpp), the protocol served on the instance's own thread
// (DdeProtocol.cpp), and the DDEML entry points with the registry of
// instances and conversations (DdeInstance.cpp).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/dde/DdeWire.h"
#include "platform/dde/ddeml.h"
#include "platform/ui/winuser.h"

namespace orvdde {

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
  // Without a conversation: an XTYP_ERROR for the instance's callback.
  UINT error = 0;
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
  // A descriptor held in reserve, so that a connection that finds none
  // left can still be taken and closed at once instead of waiting in the
  // backlog until its client gives up; the I/O thread's only. When the
  // callback last heard of such a refusal.
  int spare = -1;
  std::chrono::steady_clock::time_point refusalReported;

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

// ---- the registry and the callback (DdeInstance.cpp) ----

Registry& Reg();
std::shared_ptr<Instance> Find(DWORD id);
std::shared_ptr<Conn> FindConv(HCONV hconv);
std::shared_ptr<Conn> NewConn(DWORD instance, bool server, int fd);
void ForgetConv(uintptr_t id);
std::string Text(HSZ hsz);
HDDEDATA Call(Instance& inst, UINT type, UINT format, HCONV conv, HSZ hsz1, HSZ hsz2,
              HDDEDATA data, ULONG_PTR data1, ULONG_PTR data2);

// ---- moving bytes (DdeIo.cpp) ----

// Writes what the connection has queued, replies first, then the newest
// advise of each link. Answers true when something is left for later.
// Call with c.io held.
bool FlushLocked(Conn& c);
void Wake(Instance& inst);
void Flush(Instance& inst, Conn& c);
void Send(Instance& inst, Conn& c, const Frame& f);
void Watch(Instance& inst, int fd, uint64_t key, uint32_t events);
// Closes the socket; the caller has taken the connection out of the table.
void CloseConn(Instance& inst, Conn& c);
void Notify(Instance& inst, Event e);
void Dropped(Instance& inst, const std::shared_ptr<Conn>& c);
void IoThread(Instance* inst);

// ---- the protocol (DdeProtocol.cpp) ----

void EndServerConv(Instance& inst, Conn& c, bool tell);
bool RegisterWindowClass();
UINT TimeoutError(UINT type);
// Sends a client frame and waits for its answer. False when the wait ran
// out or the conversation ended first.
bool Exchange(Instance& inst, Conn& c, Frame f, std::chrono::milliseconds wait, Frame* reply);

}  // namespace orvdde
