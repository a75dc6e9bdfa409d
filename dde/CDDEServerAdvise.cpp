// Advise links: a link makes sure the instrument has a store entry, counts
// itself and queues the subscription; its end only lowers the count (the
// refresh pass drops what no link uses any more).
#include <cstring>

#include "dde/CDDEServer.h"
#include "dde/ItemCatalogue.h"

namespace {

DdeHandleValue HandleValue(HSZ hsz) {
  return static_cast<DdeHandleValue>(reinterpret_cast<uintptr_t>(hsz));
}

std::string QueryString(DWORD instance, HSZ hsz) {
  char text[300] = {};
  DdeQueryStringA(instance, hsz, text, sizeof text, CP_WINANSI);
  return text;
}

enum class ItemKind { kStock, kOption, kNstdOption, kFuture, kFutOption, kOther };

ItemKind Classify(const std::string& item) {
  if (FindStockItem(item)) return ItemKind::kStock;
  if (FindOptionItem(item)) return ItemKind::kOption;
  if (FindNstdOptionItem(item)) return ItemKind::kNstdOption;
  if (FindFutureItem(item)) return ItemKind::kFuture;
  if (FindFutOptionItem(item)) return ItemKind::kFutOption;
  return ItemKind::kOther;
}

}  // namespace

void CDDEServer::QueueRequest(const std::string& symbol, DataTypeEnum kind, SymbolTypeEnum type) {
  orvwin::CritSecLock queue(m_queueLock);
  const _bstr_t text(symbol.c_str());
  for (const SubscriptionRequest& queued : m_requestQueue) {
    if (queued.kind == kind && queued.symbol == text) return;
  }
  SubscriptionRequest request;
  request.symbol = text;
  request.kind = kind;
  request.symbolType = type;
  request.subscribe = 1;
  m_requestQueue.push_back(request);
}

void CDDEServer::PurgeQueuedRequests(const std::string& symbol, DataTypeEnum kind) {
  orvwin::CritSecLock queue(m_queueLock);
  const _bstr_t text(symbol.c_str());
  for (auto it = m_requestQueue.begin(); it != m_requestQueue.end(); ++it) {
    if (it->symbol == text && it->kind == kind && it->subscribe) {
      m_requestQueue.erase(it);
      return;
    }
  }
}

BOOL CDDEServer::OnAdviseStart(HSZ topicHandle, HSZ itemHandle) {
  const std::string topic = UpperCaseName(QueryString(m_ddeServerInstance, topicHandle));
  const std::string item = QueryString(m_ddeServerInstance, itemHandle);
  switch (Classify(item)) {
    case ItemKind::kStock: return AdviseStartStock(topic, topicHandle);
    case ItemKind::kOption: return AdviseStartOption(topic, topicHandle);
    case ItemKind::kNstdOption: return AdviseStartNstdOption(topic, topicHandle);
    case ItemKind::kFuture: return AdviseStartFuture(topic, topicHandle);
    case ItemKind::kFutOption: return AdviseStartFutOption(topic, topicHandle);
    case ItemKind::kOther: break;
  }
  const std::string upper = UpperCaseName(item);
  LONG type = 0;
  SHORT term = 0;
  SHORT otm = 0;
  LONG expiry = 0;
  if (ParseHvItemName(upper.c_str(), term)) return AdviseStartHv(topic, topicHandle, itemHandle, term);
  if (ParseIvxItemName(upper.c_str(), type, term))
    return AdviseStartIVIndex(topic, itemHandle, type, term);
  if (const char* selector = ParseIvsItemName(upper.c_str(), type, term, otm))
    return AdviseStartIVSurface(topic, itemHandle, type, term, otm, selector);
  if (ParseIvfxItemName(upper.c_str(), type, term))
    return AdviseStartFutIVIndex(topic, itemHandle, type, term);
  if (const char* selector = ParseIvfsItemName(upper.c_str(), type, term, otm))
    return AdviseStartFutIVSurface(topic, itemHandle, type, term, otm, selector);
  if (ParseAtmItemName(m_months, upper.c_str(), expiry))
    return AdviseStartAtm(topic, itemHandle, expiry);

  std::string root;
  if (SameItemName(topic, "InterestRate") && ParseTermTopic(upper.c_str(), root, term) &&
      g_DataHolder.interestRates.empty()) {
    try {
      IInterestRateEntPtr rates = s_server->GetIRByCurrency("USD");
      if (rates) {
        do {
          _bstr_t currency;
          LONG period = 0;
          FLOAT rate = 0;
          rates->GetInterestRateData(currency.GetAddress(), &period, &rate);
          g_DataHolder.interestRates[static_cast<SHORT>(period)] = rate;
        } while (rates->Next() == VARIANT_TRUE);
      }
    } catch (const _com_error&) {
      // The table keeps what arrived; the next link on an empty table asks again.
    }
  }
  return (SameItemName(item, "Login") || SameItemName(item, "Password")) &&
         !SameItemName(topic, "System");
}

BOOL CDDEServer::OnAdviseStop(HSZ topicHandle, HSZ itemHandle) {
  const std::string topic = UpperCaseName(QueryString(m_ddeServerInstance, topicHandle));
  const std::string item = QueryString(m_ddeServerInstance, itemHandle);
  switch (Classify(item)) {
    case ItemKind::kStock: return AdviseStopStock(topic);
    case ItemKind::kOption: return AdviseStopOption(topic);
    case ItemKind::kNstdOption: return AdviseStopNstdOption(topic);
    case ItemKind::kFuture: return AdviseStopFuture(topic);
    case ItemKind::kFutOption: return AdviseStopFutOption(topic);
    case ItemKind::kOther: break;
  }
  const std::string upper = UpperCaseName(item);
  LONG type = 0;
  SHORT term = 0;
  SHORT otm = 0;
  LONG expiry = 0;
  if (ParseHvItemName(upper.c_str(), term)) return AdviseStopHv(topic);
  if (ParseIvxItemName(upper.c_str(), type, term)) return AdviseStopIVIndex(topic);
  if (ParseAtmItemName(m_months, upper.c_str(), expiry)) return AdviseStopAtm(topic);
  if (ParseIvsItemName(upper.c_str(), type, term, otm)) return AdviseStopIVSurface(topic);
  if (ParseIvfxItemName(upper.c_str(), type, term)) return AdviseStopFutIVIndex(topic);
  if (ParseIvfsItemName(upper.c_str(), type, term, otm)) return AdviseStopFutIVSurface(topic);
  return TRUE;
}

// ---- starts ------------------------------------------------------------------------

namespace {

template <class Group, class Entry>
bool StartSymbolLink(Group& group, const std::string& topic, HSZ topicHandle, Entry*& created) {
  const bool known = group.byTopic.count(HandleValue(topicHandle)) != 0;
  ++GetOrInsertCount(group.adviseCount, topic.c_str());
  if (known) return false;
  created = new Entry(topic.c_str(), 0.0f, 0);
  group.entries.push_back(created);
  group.bySymbol.emplace(created->symbol, created);
  group.byTopic.emplace(HandleValue(topicHandle), created);
  return true;
}

}  // namespace

BOOL CDDEServer::AdviseStartStock(const std::string& topic, HSZ topicHandle) {
  StoreGuard lock(g_DataHolder.stock.lock);
  StockEntry* created = nullptr;
  if (StartSymbolLink(g_DataHolder.stock, topic, topicHandle, created))
    QueueRequest(topic, enStockData, enEquity);
  return TRUE;
}

BOOL CDDEServer::AdviseStartFuture(const std::string& topic, HSZ topicHandle) {
  StoreGuard lock(g_DataHolder.futures.lock);
  FutureEntry* created = nullptr;
  if (StartSymbolLink(g_DataHolder.futures, topic, topicHandle, created))
    QueueRequest(topic, enFutureData, enFuture);
  return TRUE;
}

namespace {

OptionEntry* NewEmpty(OptionEntry*, const std::string& topic) {
  return new OptionEntry(topic.c_str(), _bstr_t(), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
}
NstdOptionEntry* NewEmpty(NstdOptionEntry*, const std::string& topic) {
  return new NstdOptionEntry(topic.c_str(), _bstr_t(), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
}

}  // namespace

template <class Entry>
BOOL CDDEServer::AdviseStartOptionKind(OptionGroup<Entry>& group, const std::string& topic,
                                       HSZ topicHandle, DataTypeEnum kind,
                                       SymbolTypeEnum knownType, SymbolTypeEnum unknownType) {
  StoreGuard lock(group.lock);
  const _bstr_t symbol(topic.c_str());
  const bool topicKnown = group.byTopic.count(HandleValue(topicHandle)) != 0;
  auto it = group.bySymbol.find(symbol);
  if (it != group.bySymbol.end()) {
    Entry* entry = it->second;
    entry->individual = 1;
    if (!entry->group) QueueRequest(topic, kind, knownType);
    if (!topicKnown) {
      DdeKeepStringHandle(m_ddeServerInstance, topicHandle);
      group.byTopic.emplace(HandleValue(topicHandle), entry);
    }
    auto under = group.underlyingOf.find(symbol);
    if (under != group.underlyingOf.end()) {
      ++GetOrInsertCount(group.adviseCountByUnderlying, under->second);
      if (entry->stockSymbol.length() == 0) entry->stockSymbol = under->second;
    } else {
      ++GetOrInsertCount(group.adviseCountByOption, symbol);
    }
    return TRUE;
  }
  QueueRequest(topic, kind, unknownType);
  Entry* entry = NewEmpty(static_cast<Entry*>(nullptr), topic);
  entry->individual = 1;
  group.entries.push_back(entry);
  group.bySymbol.emplace(symbol, entry);
  group.byTopic.emplace(HandleValue(topicHandle), entry);
  return TRUE;
}

BOOL CDDEServer::AdviseStartOption(const std::string& topic, HSZ topicHandle) {
  return AdviseStartOptionKind(g_DataHolder.option, topic, topicHandle, enOptionData, enOption,
                               enEquity);
}

BOOL CDDEServer::AdviseStartNstdOption(const std::string& topic, HSZ topicHandle) {
  return AdviseStartOptionKind(g_DataHolder.nstdOption, topic, topicHandle, enNstdOptionData,
                               enNstdOption, enEquity);
}

BOOL CDDEServer::AdviseStartFutOption(const std::string& topic, HSZ topicHandle) {
  return AdviseStartOptionKind(g_DataHolder.futOption, topic, topicHandle, enFutureOptionData,
                               enOption, enFuture);
}

BOOL CDDEServer::AdviseStartHv(const std::string& topic, HSZ topicHandle, HSZ item, SHORT term) {
  AdviseStartStock(topic, topicHandle);
  StoreGuard lock(g_DataHolder.stock.lock);
  auto it = g_DataHolder.stock.byTopic.find(HandleValue(topicHandle));
  if (it == g_DataHolder.stock.byTopic.end()) return TRUE;
  DdeKeepStringHandle(m_ddeServerInstance, item);
  it->second->hvByTerm[term].item = HandleValue(item);
  return TRUE;
}

namespace {

BOOL StartIVIndexLink(IVIndexGroup& group, const std::string& topic, DWORD instance, HSZ item,
                      LONG type, SHORT term, bool& queue) {
  const _bstr_t symbol(topic.c_str());
  ++GetOrInsertCount(group.adviseCount, symbol);
  const IVIndexKey key(symbol, term);
  auto it = group.byKey.find(key);
  IVIndexEntry* entry = nullptr;
  if (it == group.byKey.end()) {
    queue = true;
    entry = new IVIndexEntry(symbol, term, 0, 0);
    group.entries.push_back(entry);
    group.byKey.emplace(key, entry);
    group.bySymbolAll.emplace(symbol, entry);
  } else {
    entry = it->second;
  }
  if (type != 0 && type != 1) return FALSE;
  DdeKeepStringHandle(instance, item);
  (type == 0 ? entry->callItem : entry->putItem) = HandleValue(item);
  return TRUE;
}

BOOL StartIVSurfaceLink(IVSurfaceGroup& group, const std::string& topic, DWORD instance, HSZ item,
                        LONG type, SHORT term, SHORT otm, const char* selector, bool& queue) {
  const _bstr_t symbol(topic.c_str());
  ++GetOrInsertCount(group.adviseCount, symbol);
  const IVSurfaceKey key(symbol, term, otm, type);
  auto it = group.byKey.find(key);
  IVSurfaceEntry* entry = nullptr;
  if (it == group.byKey.end()) {
    queue = true;
    entry = new IVSurfaceEntry(symbol, term, 0, otm, type, 0, 0);
    group.entries.push_back(entry);
    group.byKey.emplace(key, entry);
  } else {
    entry = it->second;
  }
  DdeKeepStringHandle(instance, item);
  const char* text = selector ? selector : "";
  if (std::strstr(text, "VSTRIKE")) {
    entry->virtualStrikeItem = HandleValue(item);
  } else if (std::strstr(text, "IV")) {
    entry->ivItem = HandleValue(item);
  } else if (std::strstr(text, "DELTA")) {
    entry->deltaItem = HandleValue(item);
  } else {
    return FALSE;
  }
  return TRUE;
}

}  // namespace

BOOL CDDEServer::AdviseStartIVIndex(const std::string& topic, HSZ item, LONG type, SHORT term) {
  StoreGuard lock(g_DataHolder.ivIndex.lock);
  bool queue = false;
  const BOOL result =
      StartIVIndexLink(g_DataHolder.ivIndex, topic, m_ddeServerInstance, item, type, term, queue);
  if (queue) QueueRequest(topic, enIVIndexData, enEquity);
  return result;
}

BOOL CDDEServer::AdviseStartFutIVIndex(const std::string& topic, HSZ item, LONG type, SHORT term) {
  StoreGuard lock(g_DataHolder.futIvIndex.lock);
  bool queue = false;
  const BOOL result = StartIVIndexLink(g_DataHolder.futIvIndex, topic, m_ddeServerInstance, item,
                                       type, term, queue);
  if (queue) QueueRequest(topic, enFutIVIndexData, enEquity);
  return result;
}

BOOL CDDEServer::AdviseStartIVSurface(const std::string& topic, HSZ item, LONG type, SHORT term,
                                      SHORT otm, const char* selector) {
  StoreGuard lock(g_DataHolder.ivSurface.lock);
  bool queue = false;
  const BOOL result = StartIVSurfaceLink(g_DataHolder.ivSurface, topic, m_ddeServerInstance, item,
                                         type, term, otm, selector, queue);
  if (queue) QueueRequest(topic, enIVSurfaceData, enEquity);
  return result;
}

BOOL CDDEServer::AdviseStartFutIVSurface(const std::string& topic, HSZ item, LONG type,
                                         SHORT term, SHORT otm, const char* selector) {
  StoreGuard lock(g_DataHolder.futIvSurface.lock);
  bool queue = false;
  const BOOL result = StartIVSurfaceLink(g_DataHolder.futIvSurface, topic, m_ddeServerInstance,
                                         item, type, term, otm, selector, queue);
  if (queue) QueueRequest(topic, enFutIVSurfaceData, enEquity);
  return result;
}

BOOL CDDEServer::AdviseStartAtm(const std::string& topic, HSZ item, LONG expiry) {
  AtmGroup& group = g_DataHolder.atm;
  StoreGuard lock(group.lock);
  const _bstr_t symbol(topic.c_str());
  ++GetOrInsertCount(group.adviseCount, symbol);
  const AtmKey key(symbol, expiry);
  auto it = group.byKey.find(key);
  AtmEntry* entry = nullptr;
  if (it == group.byKey.end()) {
    const bool firstOfSymbol = group.bySymbolAll.count(symbol) == 0;
    entry = new AtmEntry(symbol, expiry, 0.0f);
    group.entries.push_back(entry);
    group.byKey.emplace(key, entry);
    if (firstOfSymbol) QueueRequest(topic, enIVATMData, enEquity);
    // Every entry of the symbol is listed, so that the refresh pass that
    // drops the symbol finds them all.
    group.bySymbolAll.emplace(symbol, entry);
  } else {
    entry = it->second;
  }
  DdeKeepStringHandle(m_ddeServerInstance, item);
  entry->item = HandleValue(item);
  return TRUE;
}

// ---- stops -------------------------------------------------------------------------

BOOL CDDEServer::AdviseStopStock(const std::string& topic) {
  StoreGuard lock(g_DataHolder.stock.lock);
  --GetOrInsertCount(g_DataHolder.stock.adviseCount, topic.c_str());
  PurgeQueuedRequests(topic, enStockData);
  return TRUE;
}

BOOL CDDEServer::AdviseStopFuture(const std::string& topic) {
  StoreGuard lock(g_DataHolder.futures.lock);
  --GetOrInsertCount(g_DataHolder.futures.adviseCount, topic.c_str());
  PurgeQueuedRequests(topic, enFutureData);
  return TRUE;
}

BOOL CDDEServer::AdviseStopAtm(const std::string& topic) {
  StoreGuard lock(g_DataHolder.atm.lock);
  --GetOrInsertCount(g_DataHolder.atm.adviseCount, topic.c_str());
  PurgeQueuedRequests(topic, enIVATMData);
  return TRUE;
}

namespace {

template <class Group>
BOOL StopCounted(Group& group, const std::string& topic) {
  StoreGuard lock(group.lock);
  --GetOrInsertCount(group.adviseCount, topic.c_str());
  return TRUE;
}

template <class Group>
BOOL StopOption(Group& group, const std::string& topic) {
  StoreGuard lock(group.lock);
  auto under = group.underlyingOf.find(topic.c_str());
  if (under != group.underlyingOf.end()) --GetOrInsertCount(group.adviseCountByUnderlying, under->second);
  return TRUE;
}

}  // namespace

BOOL CDDEServer::AdviseStopIVIndex(const std::string& topic) {
  return StopCounted(g_DataHolder.ivIndex, topic);
}
BOOL CDDEServer::AdviseStopFutIVIndex(const std::string& topic) {
  return StopCounted(g_DataHolder.futIvIndex, topic);
}
BOOL CDDEServer::AdviseStopIVSurface(const std::string& topic) {
  return StopCounted(g_DataHolder.ivSurface, topic);
}
BOOL CDDEServer::AdviseStopFutIVSurface(const std::string& topic) {
  return StopCounted(g_DataHolder.futIvSurface, topic);
}
BOOL CDDEServer::AdviseStopOption(const std::string& topic) {
  return StopOption(g_DataHolder.option, topic);
}
BOOL CDDEServer::AdviseStopNstdOption(const std::string& topic) {
  return StopOption(g_DataHolder.nstdOption, topic);
}
BOOL CDDEServer::AdviseStopFutOption(const std::string& topic) {
  return StopOption(g_DataHolder.futOption, topic);
}
BOOL CDDEServer::AdviseStopHv(const std::string& topic) { return AdviseStopStock(topic); }
