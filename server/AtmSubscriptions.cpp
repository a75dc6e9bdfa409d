#include "server/AtmSubscriptions.h"

#include "server/contract/BraskOrvEntTypes.h"

namespace orvsrv {

void CAtmSubscriptions::Subscribed(int kind, const Key& key) {
  if (kind == enStockData || kind == enOptionData) m_own.insert({kind, key});
}

bool CAtmSubscriptions::UnSubscribed(int kind, const Key& key) {
  if (kind != enStockData && kind != enOptionData) return true;
  m_own.erase({kind, key});
  return m_atm.count(key) == 0;
}

void CAtmSubscriptions::UnSubscribedAll(int kind) {
  for (auto it = m_own.begin(); it != m_own.end();) it = it->first == kind ? m_own.erase(it) : std::next(it);
}

void CAtmSubscriptions::AtmSubscribed(const Key& key) { m_atm.insert(key); }

std::vector<int> CAtmSubscriptions::AtmUnSubscribed(const Key& key) {
  m_atm.erase(key);
  std::vector<int> kinds;
  for (int kind : {enOptionData, enStockData})
    if (!m_own.count({kind, key})) kinds.push_back(kind);
  return kinds;
}

}  // namespace orvsrv
