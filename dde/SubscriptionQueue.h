// The bridge's subscriptions at the server, kept in step with the DDE links
// that need them.
//
// Every link counts on a key (a kind of data and a symbol: an option's link
// counts on its underlying's chain once that is known, on the option itself
// until then). A key's first link queues its subscription and its last one
// queues the unsubscription; a request still queued the other way for the
// same key is taken back instead, so that the queue never holds two
// requests of one key and the server ends up holding exactly the keys that
// have links. Whether the server holds a key is learnt from the worker's
// outcomes: a refused subscription is not held, is tried again by the
// refresh pass while links remain, and its refusal is reported once.
//
// One lock guards the counts and the queue; the deferred list has its own.
// Callers may hold a store group lock when they call in (group lock first,
// then these), never the other way round.
#pragma once

#include <functional>
#include <list>
#include <map>
#include <vector>

#include "platform/com/comdef.h"
#include "server/contract/BraskOrvEntTypes.h"
#include "platform/win/sync.h"

namespace zmdde {

// One queued subscription request.
struct SubscriptionRequest {
  _bstr_t symbol;  // upper-case topic text, backslashes still in place
  DataTypeEnum kind = enStockData;
  SymbolTypeEnum symbolType = enEquity;
  BYTE subscribe = 1;  // 1 subscribe, 0 unsubscribe
};

// What links count on and what the server subscribes. An option the
// server carries on its own rather than with its underlying's chain is a
// key of its own (`single`), beside the key its links count on until the
// underlying is known.
struct SubscriptionKey {
  SubscriptionKey(DataTypeEnum kind, const _bstr_t& symbol, bool single = false)
      : kind(kind), symbol(symbol), single(single) {}
  // The key a queued request is for.
  static SubscriptionKey Of(const SubscriptionRequest& request);
  bool operator<(const SubscriptionKey& other) const;
  bool operator==(const SubscriptionKey& other) const;

  DataTypeEnum kind;
  _bstr_t symbol;
  bool single = false;
};

class SubscriptionQueue {
 public:
  SubscriptionQueue();
  ~SubscriptionQueue();
  SubscriptionQueue(const SubscriptionQueue&) = delete;
  SubscriptionQueue& operator=(const SubscriptionQueue&) = delete;

  // Makes the worker's wake-up event; false when it cannot be made. Until
  // then requests are queued but wake nobody.
  bool MakeWakeUp();
  void CloseWakeUp();
  HANDLE WakeUp() const { return m_workEvent; }
  void Wake();

  // ---- links ----
  // Counts a link on the key and returns the new count. The key's first link
  // makes sure the server will hold it: a queued unsubscription is taken
  // back, else `subscribe` is queued. A link whose entry still waits for its
  // first values (`needsValues`) queues `subscribe` in any case, since only
  // a subscription fetches them.
  LONG Open(const SubscriptionKey& key, const SubscriptionRequest& subscribe, bool needsValues);
  // Counts a link off and returns the new count. After the last one a queued
  // subscription is taken back, or the unsubscription queued when the
  // server holds the key. A key without links stays at 0.
  LONG Close(const SubscriptionKey& key);
  LONG Count(const SubscriptionKey& key) const;
  // The key takes over `links` links that count on another key as well (an
  // option the server carries on its own once its chain was let go): its
  // count becomes that, and unless the server holds it or it is queued
  // already, `subscribe` is queued when `queue` is set.
  void Adopt(const SubscriptionKey& key, const SubscriptionRequest& subscribe, LONG links,
             bool queue = true);
  // True while the key's last subscription stands refused: a retry.
  bool Retrying(const SubscriptionKey& key) const;
  // The links counted on `from` count on `to` from now on (an option whose
  // underlying has become known); a request of `from` still queued or
  // refused goes with them.
  void Transfer(const SubscriptionKey& from, const SubscriptionKey& to);

  // ---- the worker's side ----
  // Takes the head request; false when the queue is empty or held.
  bool Pop(SubscriptionRequest& request);
  // The server now holds the key. When its last link went meanwhile, its
  // unsubscription is queued at once.
  void Accepted(const SubscriptionKey& key);
  // The key was unsubscribed outside the queue (the over-limit thread lets
  // chains go): it is not held any more, and an unsubscription still
  // queued for it is taken back.
  void Released(const SubscriptionKey& key);
  // The subscription of the key failed: refused by the server, or taken
  // while its first values could not be fetched (`held`). While links
  // remain, `retry` is queued again by the next refresh. True for the first
  // failure since the key last succeeded, the one to report.
  bool Refused(const SubscriptionKey& key, const SubscriptionRequest& retry, bool held = false);

  // ---- the refresh pass ----
  // Queues the unsubscription of every key the server holds without a link
  // and the retry of every refused key that still has links; forgets keys
  // with neither. Returns how many requests it queued.
  size_t Refresh();

  // ---- a new server ----
  // The server was replaced by one that holds nothing: every key with links
  // queues its subscription again (the request its first link queued), and
  // keys without links are forgotten with their queued requests. Returns how
  // many subscriptions it queued.
  size_t ServerReplaced();

  // ---- plain queueing ----
  // Appends unless a request of the same key and direction is queued; one
  // of the other direction is taken back first. Wakes the worker. True when
  // appended.
  bool Enqueue(const SubscriptionRequest& request);
  // Takes back the queued subscription of the key; true when there was one.
  bool TakeBack(const SubscriptionKey& key);
  // Parks an option request while `blocked` holds (checked under the
  // deferral lock), once. True when parked.
  bool Defer(const SubscriptionRequest& request, const std::function<bool()>& blocked);
  // Moves the parked requests back to the queue unless `blocked` holds;
  // returns how many moved.
  size_t RequeueDeferred(const std::function<bool()>& blocked);

  // While held the worker finds the queue empty (the requests stay).
  void Hold(bool hold);

  // Copies taken under the locks.
  std::vector<SubscriptionRequest> Queued() const;
  std::vector<SubscriptionRequest> Deferred() const;

 private:
  struct Link {
    LONG count = 0;
    SymbolTypeEnum type = enEquity;  // of its unsubscription
    bool held = false;      // the server holds the key, as far as the outcomes told
    bool refused = false;   // its last subscription was refused
    bool reported = false;  // the refusal has been reported
    bool inFlight = false;  // the worker is carrying its subscription out now
    SubscriptionRequest retry;
  };
  struct Entry {
    SubscriptionKey key;
    SubscriptionRequest request;
  };

  std::list<Entry>::iterator FindQueued(const SubscriptionKey& key);
  void Append(const SubscriptionKey& key, const SubscriptionRequest& request);
  void AppendUnsubscribe(const SubscriptionKey& key);

  mutable CRITICAL_SECTION m_lock;
  std::list<Entry> m_queue;
  std::map<SubscriptionKey, Link> m_links;
  bool m_hold = false;
  mutable CRITICAL_SECTION m_deferralLock;
  std::list<SubscriptionRequest> m_deferred;
  HANDLE m_workEvent = nullptr;
};

}  // namespace zmdde
