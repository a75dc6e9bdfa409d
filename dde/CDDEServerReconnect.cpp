// A new server after the old one was lost: the bridge signs in again on
// its own and asks for everything its DDE links still show.
#include "dde/CDDEServer.h"

namespace {

template <class Fn>
void ForLinked(const AdviseCountMap& counts, Fn&& fn) {
  for (const auto& [symbol, links] : counts)
    if (links > 0) fn(std::string(static_cast<const char*>(symbol) ? static_cast<const char*>(symbol) : ""));
}

}  // namespace

void CDDEServer::ForgetLostServer() {
  // The sink's cookie and the main object belong to the server that is
  // gone; a worker may still be in a call on it, so it is kept aside.
  {
    orvwin::CritSecLock events(m_eventLock);
    if (IZmOrvEnt* lost = s_server.Detach()) m_lostServers.push_back(lost);
  }
  m_dwEventCookie = kNotAdvised;
  m_connected = 0;
}

bool CDDEServer::Reconnect() {
  if (m_connected && !s_live) ForgetLostServer();
  try {
    SignIn(_bstr_t(m_user.c_str()), _bstr_t(m_password.c_str()), false);
  } catch (const _com_error&) {
    return false;
  }
  QueueLinkedEntries();
  if (m_workEvent) SetEvent(m_workEvent);
  return true;
}

void CDDEServer::QueueLinkedEntries() {
  struct Simple {
    const AdviseCountMap* counts;
    StoreLock* lock;
    DataTypeEnum kind;
    SymbolTypeEnum type;
  };
  const Simple simple[] = {
      {&g_DataHolder.stock.adviseCount, &g_DataHolder.stock.lock, enStockData, enEquity},
      {&g_DataHolder.futures.adviseCount, &g_DataHolder.futures.lock, enFutureData, enFuture},
      {&g_DataHolder.ivIndex.adviseCount, &g_DataHolder.ivIndex.lock, enIVIndexData, enEquity},
      {&g_DataHolder.futIvIndex.adviseCount, &g_DataHolder.futIvIndex.lock, enFutIVIndexData, enEquity},
      {&g_DataHolder.ivSurface.adviseCount, &g_DataHolder.ivSurface.lock, enIVSurfaceData, enEquity},
      {&g_DataHolder.futIvSurface.adviseCount, &g_DataHolder.futIvSurface.lock, enFutIVSurfaceData, enEquity},
      {&g_DataHolder.atm.adviseCount, &g_DataHolder.atm.lock, enIVATMData, enEquity},
  };
  for (const Simple& g : simple) {
    StoreGuard lock(*g.lock);
    ForLinked(*g.counts, [&](const std::string& topic) { QueueRequest(topic, g.kind, g.type); });
  }
  // Option links are asked for as their link asked first: by underlying
  // where that is known, else by the option's own symbol.
  auto options = [&](auto& group, DataTypeEnum kind, SymbolTypeEnum unknownType) {
    StoreGuard lock(group.lock);
    ForLinked(group.adviseCountByUnderlying, [&](const std::string& s) { QueueRequest(s, kind, unknownType); });
    ForLinked(group.adviseCountByOption, [&](const std::string& s) { QueueRequest(s, kind, unknownType); });
  };
  options(g_DataHolder.option, enOptionData, enEquity);
  options(g_DataHolder.nstdOption, enNstdOptionData, enEquity);
  options(g_DataHolder.futOption, enFutureOptionData, enFuture);
}
