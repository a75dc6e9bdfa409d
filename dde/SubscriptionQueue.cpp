#include "dde/SubscriptionQueue.h"

#include <algorithm>

namespace zmdde {

SubscriptionKey SubscriptionKey::Of(const SubscriptionRequest& request) {
  const bool optionKind = request.kind == enOptionData || request.kind == enNstdOptionData ||
                          request.kind == enFutureOptionData;
  // A chain goes under its underlying's type; an option alone under its own.
  const bool single = optionKind && (request.symbolType == enOption || request.symbolType == enNstdOption);
  return SubscriptionKey(request.kind, request.symbol, single);
}

bool SubscriptionKey::operator<(const SubscriptionKey& other) const {
  if (kind != other.kind) return kind < other.kind;
  if (single != other.single) return single < other.single;
  return symbol < other.symbol;
}

bool SubscriptionKey::operator==(const SubscriptionKey& other) const {
  return kind == other.kind && single == other.single && symbol == other.symbol;
}

SubscriptionQueue::SubscriptionQueue() {
  InitializeCriticalSection(&m_lock);
  InitializeCriticalSection(&m_deferralLock);
}

SubscriptionQueue::~SubscriptionQueue() {
  CloseWakeUp();
  DeleteCriticalSection(&m_deferralLock);
  DeleteCriticalSection(&m_lock);
}

bool SubscriptionQueue::MakeWakeUp() {
  if (!m_workEvent) m_workEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  return m_workEvent != nullptr;
}

void SubscriptionQueue::CloseWakeUp() {
  orvwin::CritSecLock lock(m_lock);
  if (m_workEvent) CloseHandle(m_workEvent);
  m_workEvent = nullptr;
}

void SubscriptionQueue::Wake() {
  orvwin::CritSecLock lock(m_lock);
  if (m_workEvent && !m_queue.empty() && !m_hold) SetEvent(m_workEvent);
}

std::list<SubscriptionQueue::Entry>::iterator SubscriptionQueue::FindQueued(
    const SubscriptionKey& key) {
  return std::find_if(m_queue.begin(), m_queue.end(),
                      [&](const Entry& queued) { return queued.key == key; });
}

void SubscriptionQueue::Append(const SubscriptionKey& key, const SubscriptionRequest& request) {
  m_queue.push_back(Entry{key, request});
  if (m_workEvent && !m_hold) SetEvent(m_workEvent);
}

void SubscriptionQueue::AppendUnsubscribe(const SubscriptionKey& key) {
  SubscriptionRequest request;
  request.symbol = key.symbol;
  request.kind = key.kind;
  auto link = m_links.find(key);
  if (link != m_links.end()) {
    request.symbolType = link->second.type;
  } else if (key.single) {
    // An option carried alone is let go as it was taken, not as a chain.
    request.symbolType = key.kind == enNstdOptionData ? enNstdOption : enOption;
  }
  request.subscribe = 0;
  Append(key, request);
}

// ---- links ---------------------------------------------------------------------

LONG SubscriptionQueue::Open(const SubscriptionKey& key, const SubscriptionRequest& subscribe,
                             bool needsValues) {
  orvwin::CritSecLock lock(m_lock);
  Link& link = m_links[key];
  if (link.count == 0) {
    link.type = subscribe.symbolType;
    if (!link.refused) link.retry = subscribe;
  }
  ++link.count;
  if (link.count > 1 && !needsValues) return link.count;
  auto queued = FindQueued(key);
  if (queued != m_queue.end() && !queued->request.subscribe) {
    m_queue.erase(queued);
    queued = m_queue.end();
  }
  const bool covered = queued != m_queue.end() || (link.held && !needsValues);
  if (!covered) Append(key, subscribe);
  return link.count;
}

LONG SubscriptionQueue::Close(const SubscriptionKey& key) {
  orvwin::CritSecLock lock(m_lock);
  auto it = m_links.find(key);
  if (it == m_links.end() || it->second.count <= 0) return 0;
  Link& link = it->second;
  if (--link.count > 0) return link.count;
  link.refused = false;
  link.reported = false;
  auto queued = FindQueued(key);
  if (queued != m_queue.end() && queued->request.subscribe) {
    m_queue.erase(queued);
    queued = m_queue.end();
  }
  if (queued == m_queue.end() && link.held) AppendUnsubscribe(key);
  return 0;
}

void SubscriptionQueue::Adopt(const SubscriptionKey& key, const SubscriptionRequest& subscribe,
                              LONG links, bool queue) {
  orvwin::CritSecLock lock(m_lock);
  Link& link = m_links[key];
  link.count = links;
  link.type = subscribe.symbolType;
  if (links <= 0) return;
  // What a new server is asked for, as for a key opened link by link.
  if (!link.refused) link.retry = subscribe;
  auto queued = FindQueued(key);
  if (queued != m_queue.end() && !queued->request.subscribe) {
    m_queue.erase(queued);
    queued = m_queue.end();
  }
  if (queue && queued == m_queue.end() && !link.held) Append(key, subscribe);
}

bool SubscriptionQueue::Retrying(const SubscriptionKey& key) const {
  orvwin::CritSecLock lock(m_lock);
  auto it = m_links.find(key);
  return it != m_links.end() && it->second.reported;
}

LONG SubscriptionQueue::Count(const SubscriptionKey& key) const {
  orvwin::CritSecLock lock(m_lock);
  auto it = m_links.find(key);
  return it == m_links.end() ? 0 : it->second.count;
}

void SubscriptionQueue::Transfer(const SubscriptionKey& from, const SubscriptionKey& to) {
  if (from == to) return;
  orvwin::CritSecLock lock(m_lock);
  auto source = m_links.find(from);
  if (source == m_links.end()) return;
  const Link moved = source->second;
  m_links.erase(source);

  auto created = m_links.emplace(to, Link{});
  Link& target = created.first->second;
  if (created.second) target.type = moved.type;
  // What a new server, or the refresh pass, asks for on the chain's behalf:
  // the request the moved links were opened with names an option of it,
  // which is how a chain is subscribed. A chain made here has none other.
  if (target.retry.symbol.length() == 0 && moved.retry.symbol.length() > 0) target.retry = moved.retry;
  const bool wasUnlinked = target.count == 0;
  target.count += moved.count;

  auto queuedTo = FindQueued(to);
  if (target.count > 0 && wasUnlinked && queuedTo != m_queue.end() &&
      !queuedTo->request.subscribe) {
    m_queue.erase(queuedTo);  // the links are back before the unsubscription ran
    queuedTo = m_queue.end();
  }
  auto queuedFrom = FindQueued(from);
  if (queuedFrom != m_queue.end()) {
    if (queuedTo == m_queue.end() && target.count > 0) {
      queuedFrom->key = to;
    } else {
      m_queue.erase(queuedFrom);
    }
  }
  if (moved.refused && target.count > 0 && !target.refused) {
    target.refused = true;
    target.reported = moved.reported;
    target.retry = moved.retry;
  }
}

// ---- the worker's side -------------------------------------------------------------

bool SubscriptionQueue::Pop(SubscriptionRequest& request) {
  orvwin::CritSecLock lock(m_lock);
  if (m_hold || m_queue.empty()) return false;
  Entry& head = m_queue.front();
  auto link = m_links.find(head.key);
  if (link != m_links.end()) {
    if (head.request.subscribe) {
      // Its outcome is still to come: the key's record must outlive its
      // links until then, or the outcome would find a record made anew.
      link->second.inFlight = true;
    } else {
      // Gone from the server's view as soon as it is asked: a link opening
      // now must subscribe again.
      link->second.held = false;
    }
  }
  request = std::move(head.request);
  m_queue.pop_front();
  return true;
}

void SubscriptionQueue::Accepted(const SubscriptionKey& key) {
  orvwin::CritSecLock lock(m_lock);
  Link& link = m_links[key];
  link.held = true;
  link.refused = false;
  link.reported = false;
  link.inFlight = false;
  if (link.count == 0 && FindQueued(key) == m_queue.end()) AppendUnsubscribe(key);
}

void SubscriptionQueue::Released(const SubscriptionKey& key) {
  orvwin::CritSecLock lock(m_lock);
  auto link = m_links.find(key);
  if (link == m_links.end()) return;
  link->second.held = false;
  auto queued = FindQueued(key);
  if (queued != m_queue.end() && !queued->request.subscribe) m_queue.erase(queued);
}

bool SubscriptionQueue::Refused(const SubscriptionKey& key, const SubscriptionRequest& retry,
                                bool held) {
  orvwin::CritSecLock lock(m_lock);
  Link& link = m_links[key];
  link.held = held;
  link.inFlight = false;
  if (held) {
    if (link.count == 0 && FindQueued(key) == m_queue.end()) AppendUnsubscribe(key);
  } else {
    auto queued = FindQueued(key);
    // Nothing to take back at the server.
    if (queued != m_queue.end() && !queued->request.subscribe) m_queue.erase(queued);
  }
  const bool first = !link.reported;
  link.reported = true;
  link.refused = link.count > 0;
  link.retry = retry;
  return first;
}

// ---- the refresh pass ----------------------------------------------------------

size_t SubscriptionQueue::ServerReplaced() {
  orvwin::CritSecLock lock(m_lock);
  size_t queued = 0;
  for (auto it = m_links.begin(); it != m_links.end();) {
    Link& link = it->second;
    auto pending = FindQueued(it->first);
    if (pending != m_queue.end() && (link.count == 0 || !pending->request.subscribe)) {
      m_queue.erase(pending);
      pending = m_queue.end();
    }
    if (link.count == 0) {
      it = m_links.erase(it);
      continue;
    }
    link.held = false;
    link.refused = false;
    link.reported = false;
    if (pending == m_queue.end()) {
      Append(it->first, link.retry);
      ++queued;
    }
    ++it;
  }
  return queued;
}

size_t SubscriptionQueue::Refresh() {
  orvwin::CritSecLock lock(m_lock);
  size_t queued = 0;
  for (auto it = m_links.begin(); it != m_links.end();) {
    Link& link = it->second;
    const bool pending = FindQueued(it->first) != m_queue.end();
    if (link.count == 0) {
      if (pending) {
        ++it;
      } else if (link.held) {
        AppendUnsubscribe(it->first);
        ++queued;
        ++it;
      } else if (link.inFlight) {
        ++it;  // its outcome decides
      } else {
        it = m_links.erase(it);
      }
      continue;
    }
    if (link.refused && !pending) {
      Append(it->first, link.retry);
      ++queued;
    }
    ++it;
  }
  return queued;
}

// ---- plain queueing --------------------------------------------------------------

bool SubscriptionQueue::Enqueue(const SubscriptionRequest& request) {
  orvwin::CritSecLock lock(m_lock);
  const SubscriptionKey key = SubscriptionKey::Of(request);
  auto queued = FindQueued(key);
  if (queued != m_queue.end()) {
    if ((queued->request.subscribe != 0) == (request.subscribe != 0)) return false;
    m_queue.erase(queued);
  }
  Append(key, request);
  return true;
}

bool SubscriptionQueue::TakeBack(const SubscriptionKey& key) {
  orvwin::CritSecLock lock(m_lock);
  auto queued = FindQueued(key);
  if (queued == m_queue.end() || !queued->request.subscribe) return false;
  m_queue.erase(queued);
  return true;
}

bool SubscriptionQueue::Defer(const SubscriptionRequest& request,
                              const std::function<bool()>& blocked) {
  orvwin::CritSecLock lock(m_deferralLock);
  if (!blocked()) return false;
  const bool parked =
      std::any_of(m_deferred.begin(), m_deferred.end(), [&](const SubscriptionRequest& r) {
        return r.symbol == request.symbol && r.kind == request.kind &&
               r.symbolType == request.symbolType && r.subscribe == request.subscribe;
      });
  if (!parked) m_deferred.push_back(request);
  return true;
}

size_t SubscriptionQueue::RequeueDeferred(const std::function<bool()>& blocked) {
  orvwin::CritSecLock deferral(m_deferralLock);
  if (m_deferred.empty() || blocked()) return 0;
  orvwin::CritSecLock lock(m_lock);
  const size_t moved = m_deferred.size();
  for (const SubscriptionRequest& request : m_deferred) {
    const SubscriptionKey key = SubscriptionKey::Of(request);
    if (FindQueued(key) == m_queue.end()) Append(key, request);
  }
  m_deferred.clear();
  return moved;
}

void SubscriptionQueue::Hold(bool hold) {
  orvwin::CritSecLock lock(m_lock);
  m_hold = hold;
  if (!hold && m_workEvent && !m_queue.empty()) SetEvent(m_workEvent);
}

std::vector<SubscriptionRequest> SubscriptionQueue::Queued() const {
  orvwin::CritSecLock lock(m_lock);
  std::vector<SubscriptionRequest> out;
  for (const Entry& queued : m_queue) out.push_back(queued.request);
  return out;
}

std::vector<SubscriptionRequest> SubscriptionQueue::Deferred() const {
  orvwin::CritSecLock lock(m_deferralLock);
  return std::vector<SubscriptionRequest>(m_deferred.begin(), m_deferred.end());
}

}  // namespace zmdde
