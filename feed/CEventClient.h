// The counted handle on a subscribing client: the event side of the
// automation object (CZmOrvEventSource), which the tasks fire on.
//
// Table objects and queued event tasks hold the handle, never the object:
// the handle is the client's identity in the subscription maps (an object's
// address may come back for the next object once it is freed; the handle
// lives as long as anyone names the client by it). When the client goes
// away it detaches, and events that come later find it gone and fire
// nothing.
//
// The handle also orders the client's events: each task takes a ticket when
// it is made, and the events run in ticket order, one at a time, on
// whichever pool thread finds the next one ready; a thread that finds the
// client busy leaves its event queued and goes on with other clients'. So a
// slow client holds one thread at most, and never sees an older value
// after a newer one.
//
// What waits is bounded by the memory it holds, not by a count: a client
// that subscribes thousands of keys gets an event per key at once, faster
// than any client takes them, and is no dead peer for that. An event that
// carries again, as they stand later, the very rows a waiting one carries
// takes that one's place (the waiting one goes, the later one keeps its own
// ticket), so a key's value that nobody has seen yet is not queued twice
// and the order of what stays is still the order of the table's writes.
// A dead peer is one whose sink does not answer within EventTimeout, which
// the call into the sink finds out.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform/win/windows.h"

class CZmOrvEventSource;

class CEventClient {
 public:
  // How the handle keeps its client alive while an event is being fired
  // without holding a lock across the client's handlers: hold takes a
  // reference when the client still has one (false when it is going),
  // release gives it back (and may be the client's last). cutOff ends the
  // client as a dead peer (see Deliver). All may be null: Detach then
  // waits for an event in progress instead.
  struct KeepAlive {
    bool (*hold)(CZmOrvEventSource*);
    void (*release)(CZmOrvEventSource*);
    void (*cutOff)(CZmOrvEventSource*);
  };

  // What the queue knows of an event. bytes: the memory it holds while it
  // waits (its cursor's records). replaces: when not empty, the event holds
  // the whole current rows of a fixed set of rows named so (kind and
  // symbols); a later event of the same name makes a waiting one needless.
  struct EventInfo {
    size_t bytes = 0;
    std::string replaces;
  };
  // Counted for every waiting entry on top of its own bytes: the queue's
  // node and the job.
  static constexpr size_t kEntryBytes = 160;
  // The memory of waiting events past which a client is cut off: far more
  // than the current rows of every key a client may hold, which is what
  // waits once its events have replaced each other.
  static constexpr size_t kMaxQueuedBytes = size_t(256) << 20;

  // How the queue stood and stands, for logs and measurements.
  struct QueueStats {
    size_t events = 0, bytes = 0;          // waiting now
    size_t peakEvents = 0, peakBytes = 0;  // the most at once
    uint64_t replaced = 0;                 // events dropped for a later one
  };

  // key names the client in the logs; null: the client's address.
  static std::shared_ptr<CEventClient> Create(CZmOrvEventSource* client, KeepAlive keepAlive = KeepAlive(),
                                              const void* key = nullptr);
  CEventClient(CZmOrvEventSource* client, KeepAlive keepAlive, const void* key);
  CEventClient(const CEventClient&) = delete;
  CEventClient& operator=(const CEventClient&) = delete;
  ~CEventClient();

  // The client's name in the logs (its address unless Create was given
  // another); never called through. Stays after Detach.
  const void* Key() const { return m_key; }

  // Runs f(client) while the client is attached, with the client kept alive
  // but no lock of the handle held, so that f may call the client's
  // handlers and they may let the client go. False (f not run) once
  // detached or going.
  template <class F>
  bool WithClient(F&& f) {
    CZmOrvEventSource* client = BeginUse();
    if (client == nullptr) return false;
    struct End {
      CEventClient* self;
      CZmOrvEventSource* client;
      ~End() { self->EndUse(client); }
    } end{this, client};
    f(client);
    return true;
  }

  // The producer's side: the place of the next event in the client's order.
  uint64_t TakeTicket();
  // The pool's side: the event of `ticket` is ready (an empty job: it will
  // never come). Runs every event that is next in order on this thread
  // unless another thread is running them already. An event waiting under
  // the same name as this one goes if it is the older of the two, else this
  // one does. Past the bound of memory waiting, the client is cut off and
  // its events dropped.
  void Deliver(uint64_t ticket, std::function<void()> job, EventInfo info);
  void Deliver(uint64_t ticket, std::function<void()> job);
  // Events waiting for their turn.
  size_t QueuedEvents();
  QueueStats Stats();
  // The bound of memory waiting (kMaxQueuedBytes unless set; tests).
  void SetMaxQueuedBytes(size_t bytes);

  // Called by the client as it goes away; drops its queued events. Returns
  // once no WithClient call runs on another thread (with a KeepAlive none
  // can: each holds a reference of the client).
  void Detach();
  bool IsAttached();

 private:
  CZmOrvEventSource* BeginUse();
  void EndUse(CZmOrvEventSource* client);
  void CutOff();

  std::mutex m_mutex;
  std::condition_variable m_idle;
  CZmOrvEventSource* m_client;
  const void* const m_key;
  const KeepAlive m_keepAlive;
  int m_inUse = 0;
  std::thread::id m_user;  // the thread of the last WithClient in progress
  struct Waiting {
    std::function<void()> job;
    size_t bytes;
    std::string name;  // its place in m_named; empty: none
  };
  typedef std::map<uint64_t, Waiting> Queue;
  // Takes the entry out of the counts and the names, leaving it in the queue.
  void Forget(Queue::iterator it);

  uint64_t m_nextTicket = 1;
  uint64_t m_nextToRun = 1;
  Queue m_ready;
  // The ticket of the waiting event of each name.
  std::unordered_map<std::string, uint64_t> m_named;
  size_t m_maxBytes = kMaxQueuedBytes;
  QueueStats m_stats;
  bool m_delivering = false;
  bool m_cutOff = false;
};

typedef std::shared_ptr<CEventClient> CEventClientPtr;

// Clients in the order of their handles.
struct LessEventClient {
  bool operator()(const CEventClientPtr& a, const CEventClientPtr& b) const {
    return std::less<const CEventClient*>()(a.get(), b.get());
  }
};

// A task's place in its client's order: taken when the task is made, and
// given up when it is destroyed without having delivered, so that the
// client's later events do not wait for it.
class CEventTicket {
 public:
  explicit CEventTicket(CEventClientPtr client)
      : m_client(std::move(client)), m_ticket(m_client ? m_client->TakeTicket() : 0) {}
  ~CEventTicket() {
    if (m_client && !m_used) m_client->Deliver(m_ticket, nullptr);
  }
  CEventTicket(const CEventTicket&) = delete;
  CEventTicket& operator=(const CEventTicket&) = delete;

  // What the queue is to know of the event; set by its maker.
  void Describe(CEventClient::EventInfo info) { m_info = std::move(info); }
  // Hands the event over, once.
  void Deliver(std::function<void()> job) {
    if (!m_client || m_used) return;
    m_used = true;
    m_client->Deliver(m_ticket, std::move(job), std::move(m_info));
  }
  const CEventClientPtr& Client() const { return m_client; }

 private:
  CEventClientPtr m_client;
  uint64_t m_ticket;
  CEventClient::EventInfo m_info;
  bool m_used = false;
};
