// A session's recovery from a lost service: a new data manager, signed in
// as the side's first sign-in was, with the fields registered again and
// every key its clients hold subscribed again, tried with a growing pause
// until the service answers or the session ends.
#include <omniORB4/CORBA.h>

#include <algorithm>
#include <atomic>
#include <map>

#include "OrvPayload.h"
#include "platform/com/comdef.h"
#include "feed/CDataHolder.h"
#include "feed/SessionSides.h"
#include "feed/ServerStatus.h"
#include "platform/log/Log.h"

namespace {

std::atomic<DWORD> g_firstPauseMs{1000};
std::atomic<DWORD> g_maxPauseMs{30000};

const char* SideName(bool futures) { return futures ? "futures" : "equities"; }

// The kinds whose fields the side's sign-in registers.
std::vector<int> RegisteredKindsOf(bool futures) {
  if (futures) return {enFutureData, enFutureOptionData, enFutIVIndexData, enFutIVSurfaceData};
  return {enStockData, enOptionData, enNstdOptionData, enIVIndexData, enIVSurfaceData};
}

}  // namespace

void CDataHolder::SetRebuildPauses(DWORD firstMs, DWORD maxMs) {
  g_firstPauseMs = firstMs;
  g_maxPauseMs = std::max(firstMs, maxMs);
}

bool CDataHolder::IsServiceLost(const CORBA::SystemException& e) {
  // The manager is unknown to the service (it restarted), or the service
  // cannot be reached, dropped the connection or let a call run out of
  // time: a service that answers no call is as good as gone, and every
  // later call would wait out the time-out again.
  return CORBA::OBJECT_NOT_EXIST::_downcast(&e) != nullptr || CORBA::TRANSIENT::_downcast(&e) != nullptr ||
         CORBA::COMM_FAILURE::_downcast(&e) != nullptr || CORBA::TIMEOUT::_downcast(&e) != nullptr;
}

void CDataHolder::SetReconnector(bool futures, Reconnector reconnector) {
  std::lock_guard<std::mutex> lock(m_rebuildMutex);
  _Side(futures).reconnector = std::move(reconnector);
}

void CDataHolder::NoteServiceLost(bool futures) {
  if (CORBA::is_nil(_Server(futures))) return;  // a side never signed in has nothing to rebuild
  if (!_Side(futures).lost.exchange(true)) {
    ORV_LOG(orvlog::kWarn, "The " << SideName(futures) << " service of user " << orvcom::Narrow(m_userName)
                                  << " is lost; the session will be rebuilt");
  }
}

bool CDataHolder::IsRebuilding(bool futures) const {
  return (futures ? m_futuresSide : m_equitySide).lost.load();
}

void CDataHolder::RebuildNow(bool futures) {
  if (!IsRebuilding(futures)) return;
  _TryRebuild(futures);
  // The side's pull thread may be in its pause between tries, up to the
  // longest: it pulls from the new manager at once.
  if (!IsRebuilding(futures)) SetEvent(_Side(futures).wake);
}

bool CDataHolder::_RebuildLoop(bool futures) {
  DWORD pause = g_firstPauseMs;
  while (!_StopRequested()) {
    try {
      _TryRebuild(futures);
      if (!IsRebuilding(futures)) return true;
    } catch (...) {
      ORV_LOG(orvlog::kError, "Rebuild of the " << SideName(futures) << " service of user "
                                                 << orvcom::Narrow(m_userName) << " failed: " << orvsession::FailureInFlight()
                                                 << "; next try in " << pause << " ms");
    }
    if (_WaitForStop(futures, pause)) return false;
    pause = std::min<DWORD>(pause > g_maxPauseMs / 2 ? g_maxPauseMs.load() : pause * 2, g_maxPauseMs);
  }
  return false;
}

void CDataHolder::_TryRebuild(bool futures) {
  std::lock_guard<std::mutex> rebuild(m_rebuildMutex);
  Side& side = _Side(futures);
  if (!side.lost) return;  // done meanwhile by the other thread
  const std::string user = orvcom::Narrow(m_userName);
  const std::string prefix = std::string("Rebuild of the ") + SideName(futures) + " service of user " + user + ": ";
  if (!side.reconnector.resolve || !side.reconnector.signIn) RaiseAutomationError("no sign-in to repeat");

  Orv::ZmDataManager_var manager;
  // A connection left over from before a restart of the service fails the
  // first call made on it, and is closed by that failure: one more go on a
  // new connection tells whether the service is really away.
  // The session's end is seen between the steps, each of which the ORB
  // bounds by ServerTimeout: its destructor waits for this thread.
  auto stopped = [&] {
    if (!_StopRequested()) return false;
    ORV_LOG(orvlog::kInfo, prefix << "given up, the session ends");
    return true;
  };
  for (int go = 0; go < 2 && CORBA::is_nil(manager); ++go) {
    try {
      if (stopped()) return;
      ORV_LOG(orvlog::kInfo, prefix << "resolving the service");
      Orv::ZmDataService_var root = side.reconnector.resolve();
      if (CORBA::is_nil(root)) RaiseAutomationError("the service could not be resolved");
      if (stopped()) return;
      ORV_LOG(orvlog::kInfo, prefix << "signing in");
      manager = side.reconnector.signIn(root.in());
      if (CORBA::is_nil(manager)) RaiseAutomationError("the service gave no data manager");
    } catch (const CORBA::COMM_FAILURE&) {
      if (go == 1) throw;
    }
  }

  if (stopped()) return;
  // Under the subscription lock: a client's subscription made meanwhile is
  // either among the keys below or made on the new manager.
  orvwin::CritSecLock subscriptions(m_csSubscriptions);
  _SetServer(futures, manager.in());
  ORV_LOG(orvlog::kInfo, prefix << "registering fields");
  for (int kind : RegisteredKindsOf(futures)) _RegisterServerFileds(kind);

  for (int kind : orvsession::KindsOfSide(futures)) {
    CLiteDB* table = FindStorage(kind);
    if (table == nullptr) continue;
    std::vector<CSymbolKey> keys;
    table->GetSubscribedKeys(keys);
    // Grouped by the symbol type that each key's own subscription took.
    std::map<std::pair<BYTE, int>, std::vector<std::string>> byType;
    for (const CSymbolKey& key : keys) byType[std::make_pair(key.Flag(), _GroupSymbolType(kind, key))].push_back(key.Narrow());
    for (const auto& entry : byType) {
      const int symbolType = entry.first.second;
      const std::vector<std::string>& symbols = entry.second;
      for (size_t start = 0; start < symbols.size(); start += orvidl::kMaxGroupSymbols) {
        const size_t end = std::min(symbols.size(), start + orvidl::kMaxGroupSymbols);
        const std::vector<std::string> group(symbols.begin() + static_cast<std::ptrdiff_t>(start),
                                             symbols.begin() + static_cast<std::ptrdiff_t>(end));
        if (stopped()) return;
        ORV_LOG(orvlog::kInfo, prefix << "subscribing " << group.size() << " keys of kind " << kind);
        try {
          _SubscribeGroup(group, kind, symbolType);
        } catch (const _com_error&) {
          // Refused by a service that answers (its text is logged): the
          // other keys are still wanted, and asking again would not help.
        }
      }
    }
  }
  side.lost = false;
  ORV_LOG(orvlog::kWarn, "The " << SideName(futures) << " service of user " << user << " is back; session rebuilt");
}
