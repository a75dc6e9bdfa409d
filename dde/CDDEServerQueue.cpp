// The subscription queue, its worker thread and the over-limit thread.
// Remote calls that subscribe or fetch snapshots take long, so the DDE side
// only queues requests and the worker carries them out one at a time.
#include <map>
#include <new>
#include <utility>
#include <vector>

#include "dde/CDDEServer.h"
#include "dde/CDDEServerFields.h"
#include "platform/ui/shellapi.h"

namespace zmdde {

using namespace ddeserver;

bool CDDEServer::Enqueue(const SubscriptionRequest& request) {
  return m_subscriptions.Enqueue(request);
}

bool CDDEServer::StartWorker() {
  if (m_workerThread) return true;
  if (!m_subscriptions.WakeUp() || !m_stopEvent) return false;
  m_workerThread = CreateThread(nullptr, 0, &CDDEServer::WorkerThread, this, 0, nullptr);
  return m_workerThread != nullptr;
}

DWORD CDDEServer::WorkerThread(LPVOID parameter) {
  CDDEServer* server = static_cast<CDDEServer*>(parameter);
  if (!server) return static_cast<DWORD>(-1);
  const HANDLE events[] = {server->m_subscriptions.WakeUp(), server->m_stopEvent};
  for (;;) {
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) return 0;
    for (;;) {
      if (server->m_quitting) return 0;
      SubscriptionRequest request;
      if (!server->m_subscriptions.Pop(request)) break;
      // The routines handle the server's errors themselves; what is left
      // (memory running out) loses this request, never the worker.
      try {
        server->ProcessRequest(request);
      } catch (const _com_error&) {
      } catch (const std::bad_alloc&) {
      }
    }
  }
}

void CDDEServer::ProcessRequest(const SubscriptionRequest& request) {
  switch (request.kind) {
    case enStockData: SubscribeStock(request); break;
    case enOptionData: SubscribeOptions(request); break;
    case enIVIndexData: SubscribeIVIndexes(request); break;
    case enIVSurfaceData: SubscribeIVSurfaces(request); break;
    case enIVATMData: SubscribeATM(request); break;
    case enFutureData: SubscribeFuture(request); break;
    case enFutureOptionData: SubscribeFutOptions(request); break;
    case enFutIVIndexData: SubscribeFutIVIndexes(request); break;
    case enFutIVSurfaceData: SubscribeFutIVSurfaces(request); break;
    case enNstdOptionData: SubscribeNstdOptions(request); break;
    default: break;  // the direct kinds are not served through DDE
  }
}

bool CDDEServer::IsOverLimitThreadRunning() {
  std::lock_guard<std::mutex> lock(m_overLimitLock);
  return m_overLimitThread && WaitForSingleObject(m_overLimitThread, 0) == WAIT_TIMEOUT;
}

namespace {

template <class Group>
LONG CountActive(Group& group) {
  StoreGuard lock(group.lock);
  LONG count = 0;
  for (const auto* entry : group.entries) {
    if (entry->stockSymbol.length() > 0 && entry->group && !entry->individual) ++count;
  }
  return count;
}

}  // namespace

LONG CDDEServer::CountActiveOptionSubscriptions() { return CountActive(g_DataHolder.option); }
LONG CDDEServer::CountActiveNstdOptionSubscriptions() {
  return CountActive(g_DataHolder.nstdOption);
}
LONG CDDEServer::CountActiveFutOptionSubscriptions() {
  return CountActive(g_DataHolder.futOption);
}

void CDDEServer::StartOverLimitThread() {
  std::lock_guard<std::mutex> lock(m_overLimitLock);
  if (m_overLimitThread && WaitForSingleObject(m_overLimitThread, 0) == WAIT_TIMEOUT) return;
  if (m_overLimitThread) {
    CloseHandle(m_overLimitThread);  // ended: closing joins it
    m_overLimitThread = nullptr;
  }
  m_overLimitEnding = false;
  m_overLimitThread = CreateThread(nullptr, 0, &CDDEServer::OverLimitThread, this, 0, nullptr);
}

bool CDDEServer::OverLimitBlocks() { return !m_overLimitEnding && IsOverLimitThreadRunning(); }

DWORD CDDEServer::OverLimitThread(LPVOID parameter) {
  CDDEServer* server = static_cast<CDDEServer*>(parameter);
  if (!server) return static_cast<DWORD>(-1);

  SubscriptionQueue& subscriptions = server->m_subscriptions;
  std::vector<_bstr_t> unsubscribe;
  std::vector<_bstr_t> subscribeOne;
  {
    OptionGroup<OptionEntry>& group = g_DataHolder.option;
    StoreGuard lock(group.lock);
    std::map<_bstr_t, std::vector<OptionEntry*>> byUnderlying;
    for (OptionEntry* entry : group.entries) {
      if (entry->stockSymbol.length() > 0) byUnderlying[entry->stockSymbol].push_back(entry);
    }
    for (auto& [underlying, entries] : byUnderlying) {
      bool marked = false;
      std::vector<OptionEntry*> keep;
      for (OptionEntry* entry : entries) {
        if (entry->individual && entry->group) {
          keep.push_back(entry);
        } else if (entry->group && !entry->individual) {
          entry->group = 0;
          marked = true;
        }
      }
      if (!marked) continue;
      unsubscribe.push_back(underlying);
      // Only options with links open are carried on their own, and their
      // links count on them from now on, so that the last one lets go.
      for (OptionEntry* entry : keep) {
        entry->group = 0;
        if (entry->links == 0 || entry->single) continue;
        entry->single = 1;
        SubscriptionRequest one;
        one.symbol = entry->symbol;
        one.kind = enOptionData;
        one.symbolType = enOption;
        subscriptions.Adopt(SubscriptionKey::Of(one), one, entry->links, false);
        subscribeOne.push_back(entry->symbol);
      }
    }
  }

  IZmOrvEntPtr orve = ServerObject();
  for (const _bstr_t& underlying : unsubscribe) {
    if (server->m_quitting) {
      server->EndOverLimit();
      return 0;
    }
    try {
      orve->UnSubscribe(_bstr_t(TopicToSymbol(Narrow(underlying)).c_str()), enEquity,
                            enOptionData);
      subscriptions.Released(SubscriptionKey(enOptionData, underlying));
    } catch (const _com_error&) {
    }
  }

  for (const _bstr_t& option : subscribeOne) {
    SubscriptionRequest one;
    one.symbol = option;
    one.kind = enOptionData;
    one.symbolType = enOption;
    const SubscriptionKey key = SubscriptionKey::Of(one);
    // Quitting or refused, the option waits for the refresh pass.
    if (server->m_quitting) {
      subscriptions.Refused(key, one);
      continue;
    }
    const std::string text = "Subscribing to option " + Narrow(option);
    server->Balloon(text.c_str(), "Subscribe", NIIF_INFO);
    try {
      orve->Subscribe(_bstr_t(TopicToSymbol(Narrow(option)).c_str()), enOption, enOptionData);
      server->ClearBalloon();
      limitReported = 0;
      subscriptions.Accepted(key);
    } catch (const _com_error& e) {
      subscriptions.Refused(key, one);
      const std::string description = Narrow(e.Description());
      if (description.find("limit") != std::string::npos && limitReported == 0) {
        server->ClearBalloon();
        server->Balloon(description.c_str(), "Subscribe", NIIF_ERROR);
        limitReported = 1;
      }
    }
  }
  server->EndOverLimit();
  return 0;
}

void CDDEServer::EndOverLimit() {
  // The requests parked meanwhile go back to the queue now, not at the next
  // refresh pass: their links would wait up to 25.5 s for no reason. One
  // parked from here on is not parked at all.
  m_overLimitEnding = true;
  m_subscriptions.RequeueDeferred([] { return false; });
}

void CDDEServer::RequeueDeferredRequests() {
  m_subscriptions.RequeueDeferred([this] { return OverLimitBlocks(); });
}

}  // namespace zmdde
