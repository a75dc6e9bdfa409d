// The counted handle on a subscribing client (the automation object).
//
// Table objects and queued event tasks hold the handle, never the object:
// when the client goes away it detaches, and a task that runs later finds it
// gone and fires nothing.
#pragma once

#include <functional>
#include <memory>

#include "win/windows.h"

class CZmOrvEnt;

class CEventClient {
 public:
  static std::shared_ptr<CEventClient> Create(CZmOrvEnt* client);
  explicit CEventClient(CZmOrvEnt* client);
  CEventClient(const CEventClient&) = delete;
  CEventClient& operator=(const CEventClient&) = delete;
  ~CEventClient();

  // The client's address: its identity in the subscription maps, compared
  // by value and never called through. Stays after Detach.
  const void* Key() const { return m_key; }

  // Runs f(client) while the client is attached, holding the handle's lock
  // so that Detach waits for it. False (f not run) once detached.
  template <class F>
  bool WithClient(F&& f) {
    orvwin::CritSecLock lock(m_cs);
    if (m_client == nullptr) return false;
    f(m_client);
    return true;
  }

  // Called by the client as it goes away; returns once no WithClient call
  // is running on another thread.
  void Detach();
  bool IsAttached();

 private:
  CRITICAL_SECTION m_cs;
  CZmOrvEnt* m_client;
  const void* const m_key;
};

typedef std::shared_ptr<CEventClient> CEventClientPtr;

// Clients in address order.
struct LessEventClient {
  bool operator()(const CEventClientPtr& a, const CEventClientPtr& b) const {
    return std::less<const void*>()(a ? a->Key() : nullptr, b ? b->Key() : nullptr);
  }
};
