// A session's recovery from a cache file changed under it: deleted,
// replaced or truncated, every later write would fail and no event would
// go out again for the user while queries still answer from snapshots.
#include <omniORB4/CORBA.h>

#include <cstdio>

#include "OrvPayload.h"

#include "platform/com/comdef.h"
#include "feed/CDataHolder.h"
#include "feed/CacheHealth.h"
#include "feed/SessionSides.h"
#include "platform/log/Log.h"

void CDataHolder::_RenewCacheIfBroken(bool futures) {
  {
    std::lock_guard<std::mutex> lock(m_cacheMutex);
    std::string what;
    if (cachehealth::Take(m_path, &what)) {
      const std::string user = orvlog::Printable(orvcom::Narrow(m_userName));
      // Once for a broken file; a renewal that fails itself is not logged
      // again every cycle.
      if (!m_cacheRenewalFailed) {
        ORV_LOG(orvlog::kError, "ERROR: The cache file " << m_path << " of user " << user
                                                          << " was changed under the program and can no longer be used ("
                                                          << what << "); a fresh one is opened");
      }
      std::vector<CLiteDB*> tables;
      {
        orvwin::CritSecLock lock(m_csTables);
        for (auto& entry : m_tables) tables.push_back(entry.second.get());
      }
      bool made = true;
      {
        // No other access between the removal and the new tables.
        CDatabaseLockGuard database;
        CSqliteDB::CloseKeptConnections();
        std::remove(m_path.c_str());
        for (CLiteDB* table : tables) made = table->Initialize() && made;
      }
      // Failures met after the first one were failures of the old file.
      cachehealth::Take(m_path, nullptr);
      if (made && m_cacheRenewalFailed) {
        ORV_LOG(orvlog::kWarn, "The cache file " << m_path << " of user " << user << " is usable again");
      } else if (!made && !m_cacheRenewalFailed) {
        ORV_LOG(orvlog::kError, "ERROR: A fresh cache file " << m_path << " of user " << user
                                                             << " could not be made; tried again while it fails");
      }
      m_cacheRenewalFailed = !made;
      ++m_cacheGeneration;
    }
    unsigned long& fetched = m_cacheFetched[futures ? 1 : 0];
    if (fetched == m_cacheGeneration || m_cacheRenewalFailed) return;
    fetched = m_cacheGeneration;
  }
  _FetchHeldData(futures);
}

void CDataHolder::_FetchHeldData(bool futures) {
  Orv::ZmDataManager_var server = Orv::ZmDataManager::_duplicate(_Server(futures));
  if (CORBA::is_nil(server)) return;
  size_t keys = 0, failed = 0;
  std::string firstFailure;
  for (int kind : orvsession::KindsOfSide(futures)) {
    CLiteDB* table = FindStorage(kind);
    if (table == nullptr) continue;
    std::vector<CSymbolKey> held;
    table->GetSubscribedKeys(held);
    for (const CSymbolKey& key : held) {
      if (_StopRequested()) return;
      ++keys;
      try {
        _FetchCurrentData(table, kind, key, server.in());
      } catch (...) {
        if (failed++ == 0) firstFailure = orvsession::FailureInFlight();
      }
    }
  }
  ORV_LOG(orvlog::kInfo, "The current data of " << keys << " held keys of user " << orvcom::Narrow(m_userName)
                                                << " was fetched into the fresh cache");
  if (failed != 0) {
    ORV_LOG(orvlog::kError, "ERROR: " << failed << " of them could not be fetched: " << firstFailure
                                      << "; they are filled by their next updates");
  }
}
