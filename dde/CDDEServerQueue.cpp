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
  // A chain is let go only once every option of it that has links is
  // carried on its own: a service at its subscription limit refuses the
  // single options, and a chain let go first would leave their links on
  // their last values while they looked live. A chain whose options cannot
  // all be carried stays as it was.
  struct Trade {
    _bstr_t underlying;
    std::vector<_bstr_t> singles;  // options with links, to carry on their own
    std::vector<_bstr_t> cleared;  // options whose group flag was cleared here
  };
  std::vector<Trade> trades;
  auto single = [](const _bstr_t& option) {
    SubscriptionRequest one;
    one.symbol = option;
    one.kind = enOptionData;
    one.symbolType = enOption;
    return one;
  };
  {
    OptionGroup<OptionEntry>& group = g_DataHolder.option;
    StoreGuard lock(group.lock);
    std::map<_bstr_t, std::vector<OptionEntry*>> byUnderlying;
    for (OptionEntry* entry : group.entries) {
      if (entry->stockSymbol.length() > 0) byUnderlying[entry->stockSymbol].push_back(entry);
    }
    for (auto& [underlying, entries] : byUnderlying) {
      Trade trade;
      trade.underlying = underlying;
      std::vector<OptionEntry*> keep;
      for (OptionEntry* entry : entries) {
        if (entry->individual && entry->group) {
          keep.push_back(entry);
        } else if (entry->group && !entry->individual) {
          entry->group = 0;
          trade.cleared.push_back(entry->symbol);
        }
      }
      if (trade.cleared.empty()) continue;
      // Only options with links open are carried on their own, and their
      // links count on them from now on, so that the last one lets go.
      for (OptionEntry* entry : keep) {
        entry->group = 0;
        trade.cleared.push_back(entry->symbol);
        if (entry->links == 0 || entry->single) continue;
        entry->single = 1;
        const SubscriptionRequest one = single(entry->symbol);
        subscriptions.Adopt(SubscriptionKey::Of(one), one, entry->links, false);
        trade.singles.push_back(entry->symbol);
      }
      trades.push_back(std::move(trade));
    }
  }

  IZmOrvEntPtr orve = ServerObject();
  for (const Trade& trade : trades) {
    std::vector<_bstr_t> taken;
    bool allTaken = true;
    for (const _bstr_t& option : trade.singles) {
      const SubscriptionRequest one = single(option);
      const SubscriptionKey key = SubscriptionKey::Of(one);
      if (server->m_quitting) {
        allTaken = false;
        break;
      }
      const std::string text = "Subscribing to option " + Narrow(option);
      server->Balloon(text.c_str(), "Subscribe", NIIF_INFO);
      try {
        orve->Subscribe(_bstr_t(TopicToSymbol(Narrow(option)).c_str()), enOption, enOptionData);
        server->ClearBalloon();
        limitReported = 0;
        subscriptions.Accepted(key);
        taken.push_back(option);
      } catch (const _com_error& e) {
        allTaken = false;
        const std::string description = Narrow(e.Description());
        if (description.find("limit") != std::string::npos && limitReported == 0) {
          server->ClearBalloon();
          server->Balloon(description.c_str(), "Subscribe", NIIF_ERROR);
          limitReported = 1;
        }
        break;
      }
    }
    if (allTaken) {
      try {
        orve->UnSubscribe(_bstr_t(TopicToSymbol(Narrow(trade.underlying)).c_str()), enEquity,
                          enOptionData);
        subscriptions.Released(SubscriptionKey(enOptionData, trade.underlying));
      } catch (const _com_error&) {
      }
      continue;
    }
    // The chain stays: its options are sent by it again, and the singles
    // taken for it go, their links counting on the chain alone as before.
    for (const _bstr_t& option : taken) {
      try {
        orve->UnSubscribe(_bstr_t(TopicToSymbol(Narrow(option)).c_str()), enOption, enOptionData);
      } catch (const _com_error&) {
      }
    }
    {
      OptionGroup<OptionEntry>& group = g_DataHolder.option;
      StoreGuard lock(group.lock);
      for (const _bstr_t& option : trade.cleared) {
        auto it = group.bySymbol.find(option);
        if (it != group.bySymbol.end() && it->second->stockSymbol == trade.underlying) it->second->group = 1;
      }
      for (const _bstr_t& option : trade.singles) {
        const SubscriptionRequest one = single(option);
        subscriptions.Adopt(SubscriptionKey::Of(one), one, 0, false);
        subscriptions.Released(SubscriptionKey::Of(one));
        auto it = group.bySymbol.find(option);
        if (it != group.bySymbol.end()) it->second->single = 0;
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
