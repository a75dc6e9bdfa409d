// Advise links: a link makes sure the instrument has a store entry and
// counts itself on the subscription it needs; the subscription queue
// subscribes and unsubscribes as the counts come and go, and the refresh
// pass drops the entries no link uses any more.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "dde/CDDEServer.h"
#include "dde/ItemCatalogue.h"
#include "dde/RequestRenderer.h"

namespace zmdde {

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

// The last trade's and open interest's items of the option kinds.
bool IsTradeItem(CDDEServer::LinkRoute route, const std::string& item) {
  if (route != CDDEServer::LinkRoute::kOption && route != CDDEServer::LinkRoute::kNstdOption &&
      route != CDDEServer::LinkRoute::kFutOption)
    return false;
  const std::string upper = UpperCaseName(item);
  return upper.find("LAST") != std::string::npos || upper.find("OPENINTEREST") != std::string::npos;
}

template <class Group>
void AddTradeLinks(Group& group, const std::string& topic, LONG delta) {
  StoreGuard lock(group.lock);
  auto it = group.bySymbol.find(_bstr_t(topic.c_str()));
  if (it == group.bySymbol.end()) return;
  it->second->tradeLinks = std::max<LONG>(0, it->second->tradeLinks + delta);
}

}  // namespace

void CDDEServer::CountTradeLink(LinkRoute route, const std::string& topic, LONG delta) {
  switch (route) {
    case LinkRoute::kOption: AddTradeLinks(g_DataHolder.option, topic, delta); break;
    case LinkRoute::kNstdOption: AddTradeLinks(g_DataHolder.nstdOption, topic, delta); break;
    case LinkRoute::kFutOption: AddTradeLinks(g_DataHolder.futOption, topic, delta); break;
    default: break;
  }
}

void CDDEServer::PurgeQueuedRequests(const std::string& symbol, DataTypeEnum kind) {
  m_subscriptions.TakeBack(SubscriptionKey(kind, symbol.c_str()));
}

void CDDEServer::NoteTopicHandle(const std::string& topic, HSZ topicHandle) {
  const DWORD instance = m_ddeServerInstance;
  CRequestRenderer::NoteTopic(g_DataHolder, m_topicLock, topic, HandleValue(topicHandle),
                              [instance](DdeHandleValue handle) {
                                DdeKeepStringHandle(instance,
                                                    reinterpret_cast<HSZ>(uintptr_t(handle)));
                              });
}

// A link's start decides what it counts on; its stop undoes exactly that,
// however its names would be read by then: an item that two grammars
// accept, or a topic whose kind became known in between, would otherwise
// start one kind and stop another, and a count would stay for good.
BOOL CDDEServer::OnAdviseStart(HSZ topicHandle, HSZ itemHandle) {
  const std::string topic = UpperCaseName(QueryString(m_ddeServerInstance, topicHandle));
  const std::string item = QueryString(m_ddeServerInstance, itemHandle);
  // Changes and posts find the link's entry by its topic, also when no
  // request ever named it.
  NoteTopicHandle(topic, topicHandle);
  LinkRoute route = LinkRoute::kNone;
  const BOOL started = StartLink(topic, topicHandle, item, itemHandle, route);
  if (started && route != LinkRoute::kNone) {
    const bool trade = IsTradeItem(route, item);
    if (trade) CountTradeLink(route, topic, 1);
    m_linkRoutes[{HandleValue(topicHandle), HandleValue(itemHandle)}].push_back({route, trade});
  }
  return started;
}

BOOL CDDEServer::StartLink(const std::string& topic, HSZ topicHandle, const std::string& item, HSZ itemHandle,
                           LinkRoute& route) {
  switch (Classify(item)) {
    case ItemKind::kStock: route = LinkRoute::kStock; return AdviseStartStock(topic, topicHandle);
    case ItemKind::kOption:
      // An option field on the topic of a known non-standard option is that
      // option's: an empty option entry would hide it.
      if (IsNstdOption(topic)) {
        route = LinkRoute::kNstdOption;
        return AdviseStartNstdOption(topic, topicHandle);
      }
      route = LinkRoute::kOption;
      return AdviseStartOption(topic, topicHandle);
    case ItemKind::kNstdOption: route = LinkRoute::kNstdOption; return AdviseStartNstdOption(topic, topicHandle);
    case ItemKind::kFuture: route = LinkRoute::kFuture; return AdviseStartFuture(topic, topicHandle);
    case ItemKind::kFutOption: route = LinkRoute::kFutOption; return AdviseStartFutOption(topic, topicHandle);
    case ItemKind::kOther: break;
  }
  const std::string upper = UpperCaseName(item);
  LONG type = 0;
  SHORT term = 0;
  SHORT otm = 0;
  LONG expiry = 0;
  if (ParseHvItemName(upper.c_str(), term)) {
    route = LinkRoute::kHv;
    return AdviseStartHv(topic, topicHandle, itemHandle, term);
  }
  if (ParseIvxItemName(upper.c_str(), type, term)) {
    route = LinkRoute::kIVIndex;
    return AdviseStartIVIndex(topic, itemHandle, type, term);
  }
  if (const char* selector = ParseIvsItemName(upper.c_str(), type, term, otm)) {
    route = LinkRoute::kIVSurface;
    return AdviseStartIVSurface(topic, itemHandle, type, term, otm, selector);
  }
  if (ParseIvfxItemName(upper.c_str(), type, term)) {
    route = LinkRoute::kFutIVIndex;
    return AdviseStartFutIVIndex(topic, itemHandle, type, term);
  }
  if (const char* selector = ParseIvfsItemName(upper.c_str(), type, term, otm)) {
    route = LinkRoute::kFutIVSurface;
    return AdviseStartFutIVSurface(topic, itemHandle, type, term, otm, selector);
  }
  if (ParseAtmItemName(m_months, upper.c_str(), expiry)) {
    route = LinkRoute::kAtm;
    return AdviseStartAtm(topic, itemHandle, expiry);
  }

  std::string root;
  if (SameItemName(topic, "InterestRate") && ParseTermTopic(upper.c_str(), root, term) &&
      g_DataHolder.interestRates.empty()) {
    try {
      IInterestRateEntPtr rates = ServerObject()->GetIRByCurrency("USD");
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
  auto routes = m_linkRoutes.find({HandleValue(topicHandle), HandleValue(itemHandle)});
  // A link that never counted on anything has nothing to take back.
  if (routes == m_linkRoutes.end()) return TRUE;
  const OpenLink link = routes->second.back();
  const LinkRoute route = link.route;
  routes->second.pop_back();
  if (routes->second.empty()) m_linkRoutes.erase(routes);
  const std::string topic = UpperCaseName(QueryString(m_ddeServerInstance, topicHandle));
  if (link.trade) CountTradeLink(route, topic, -1);
  switch (route) {
    case LinkRoute::kStock: return AdviseStopStock(topic);
    case LinkRoute::kOption: return AdviseStopOption(topic);
    case LinkRoute::kNstdOption: return AdviseStopNstdOption(topic);
    case LinkRoute::kFuture: return AdviseStopFuture(topic);
    case LinkRoute::kFutOption: return AdviseStopFutOption(topic);
    case LinkRoute::kHv: return AdviseStopHv(topic);
    case LinkRoute::kIVIndex: return AdviseStopIVIndex(topic);
    case LinkRoute::kIVSurface: return AdviseStopIVSurface(topic);
    case LinkRoute::kFutIVIndex: return AdviseStopFutIVIndex(topic);
    case LinkRoute::kFutIVSurface: return AdviseStopFutIVSurface(topic);
    case LinkRoute::kAtm: return AdviseStopAtm(topic);
    case LinkRoute::kNone: break;
  }
  return TRUE;
}

bool CDDEServer::IsNstdOption(const std::string& topic) {
  StoreGuard lock(g_DataHolder.nstdOption.lock);
  return g_DataHolder.nstdOption.bySymbol.count(_bstr_t(topic.c_str())) != 0;
}

// ---- starts ------------------------------------------------------------------------

namespace {

SubscriptionRequest Subscribe(const _bstr_t& symbol, DataTypeEnum kind, SymbolTypeEnum type) {
  SubscriptionRequest request;
  request.symbol = symbol;
  request.kind = kind;
  request.symbolType = type;
  request.subscribe = 1;
  return request;
}

// A new link's first value is the latest the entry holds: the next posting
// pass sends it. An entry still without values waits for its snapshot.
template <class Group, class Entry>
bool NeedsValues(Group& group, Entry& entry) {
  if (!entry.snapshot) return true;
  group.changed.Mark(&entry);
  return false;
}

// The entry is found by this handle from now on. Unkept, the handle would
// die with the topic's last conversation and the next one would get a new
// number and miss the entry.
template <class Group, class Entry>
void IndexTopic(Group& group, DWORD instance, HSZ topicHandle, Entry* entry) {
  if (group.byTopic.count(HandleValue(topicHandle))) return;
  DdeKeepStringHandle(instance, topicHandle);
  group.byTopic.emplace(HandleValue(topicHandle), entry);
}

}  // namespace

template <class Group>
BOOL CDDEServer::AdviseStartSymbol(Group& group, const std::string& topic, HSZ topicHandle,
                                   DataTypeEnum kind, SymbolTypeEnum type) {
  using Entry = std::remove_pointer_t<typename decltype(group.entries)::value_type>;
  StoreGuard lock(group.lock);
  const _bstr_t symbol(topic.c_str());
  Entry* entry = nullptr;
  auto it = group.bySymbol.find(symbol);
  if (it == group.bySymbol.end()) {
    entry = new Entry(symbol, 0.0f, 0);
    group.entries.push_back(entry);
    group.bySymbol.emplace(entry->symbol, entry);
  } else {
    entry = it->second;
  }
  IndexTopic(group, m_ddeServerInstance, topicHandle, entry);
  m_subscriptions.Open(SubscriptionKey(kind, symbol), Subscribe(symbol, kind, type),
                       NeedsValues(group, *entry));
  return TRUE;
}

BOOL CDDEServer::AdviseStartStock(const std::string& topic, HSZ topicHandle) {
  return AdviseStartSymbol(g_DataHolder.stock, topic, topicHandle, enStockData, enEquity);
}

BOOL CDDEServer::AdviseStartFuture(const std::string& topic, HSZ topicHandle) {
  return AdviseStartSymbol(g_DataHolder.futures, topic, topicHandle, enFutureData, enFuture);
}

namespace {

OptionEntry* NewEmpty(OptionEntry*, const std::string& topic) {
  return new OptionEntry(topic.c_str(), _bstr_t(), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
}
NstdOptionEntry* NewEmpty(NstdOptionEntry*, const std::string& topic) {
  return new NstdOptionEntry(topic.c_str(), _bstr_t(), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
}

}  // namespace

// An option's link counts on its underlying's chain once the chain's
// snapshot made the underlying known, on the option itself until then; the
// chain subscription carries the option either way.
template <class Entry>
BOOL CDDEServer::AdviseStartOptionKind(OptionGroup<Entry>& group, const std::string& topic,
                                       HSZ topicHandle, DataTypeEnum kind,
                                       SymbolTypeEnum knownType, SymbolTypeEnum unknownType) {
  StoreGuard lock(group.lock);
  const _bstr_t symbol(topic.c_str());
  Entry* entry = nullptr;
  auto it = group.bySymbol.find(symbol);
  if (it == group.bySymbol.end()) {
    entry = NewEmpty(static_cast<Entry*>(nullptr), topic);
    group.entries.push_back(entry);
    group.bySymbol.emplace(symbol, entry);
  } else {
    entry = it->second;
  }
  entry->individual = 1;
  ++entry->links;
  IndexTopic(group, m_ddeServerInstance, topicHandle, entry);
  const bool needsValues = NeedsValues(group, *entry);
  auto under = group.underlyingOf.find(symbol);
  if (under == group.underlyingOf.end()) {
    m_subscriptions.Open(SubscriptionKey(kind, symbol), Subscribe(symbol, kind, unknownType),
                         needsValues);
    return TRUE;
  }
  if (entry->stockSymbol.length() == 0) entry->stockSymbol = under->second;
  const SubscriptionKey chain(kind, under->second);
  const SubscriptionKey single(kind, symbol, true);
  if (entry->single) {
    m_subscriptions.Open(single, Subscribe(symbol, kind, knownType), needsValues);
  } else if (!entry->group && m_subscriptions.Count(chain) > 0) {
    // The chain's links remain but the chain itself was traded for single
    // options: this one is subscribed on its own, for as long as links
    // remain on it.
    entry->single = 1;
    m_subscriptions.Adopt(single, Subscribe(symbol, kind, knownType), entry->links);
  }
  m_subscriptions.Open(chain, Subscribe(symbol, kind, unknownType), needsValues);
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
  it->second->hvByTerm[term].item.Add(HandleValue(item));
  return TRUE;
}

namespace {

// Only a link the service accepts is counted: a refused one never gets a
// stop that would take its count back.
IVIndexEntry* StartIVIndexLink(IVIndexGroup& group, const _bstr_t& symbol, DWORD instance,
                               HSZ item, LONG type, SHORT term) {
  if (type != 0 && type != 1) return nullptr;
  const IVIndexKey key(symbol, term);
  auto it = group.byKey.find(key);
  IVIndexEntry* entry = nullptr;
  if (it == group.byKey.end()) {
    entry = new IVIndexEntry(symbol, term, 0, 0);
    group.entries.push_back(entry);
    group.byKey.emplace(key, entry);
    group.bySymbolAll.emplace(symbol, entry);
  } else {
    entry = it->second;
  }
  DdeKeepStringHandle(instance, item);
  (type == 0 ? entry->callItem : entry->putItem).Add(HandleValue(item));
  return entry;
}

IVSurfaceEntry* StartIVSurfaceLink(IVSurfaceGroup& group, const _bstr_t& symbol, DWORD instance,
                                   HSZ item, LONG type, SHORT term, SHORT otm,
                                   const char* selector) {
  const char* text = selector ? selector : "";
  ItemHandles IVSurfaceEntry::*slot = nullptr;
  if (std::strstr(text, "VSTRIKE")) {
    slot = &IVSurfaceEntry::virtualStrikeItem;
  } else if (std::strstr(text, "IV")) {
    slot = &IVSurfaceEntry::ivItem;
  } else if (std::strstr(text, "DELTA")) {
    slot = &IVSurfaceEntry::deltaItem;
  } else {
    return nullptr;
  }
  const IVSurfaceKey key(symbol, term, otm, type);
  auto it = group.byKey.find(key);
  IVSurfaceEntry* entry = nullptr;
  if (it == group.byKey.end()) {
    entry = new IVSurfaceEntry(symbol, term, 0, otm, type, 0, 0);
    group.entries.push_back(entry);
    group.byKey.emplace(key, entry);
  } else {
    entry = it->second;
  }
  DdeKeepStringHandle(instance, item);
  (entry->*slot).Add(HandleValue(item));
  return entry;
}

}  // namespace

BOOL CDDEServer::AdviseStartIVIndex(const std::string& topic, HSZ item, LONG type, SHORT term) {
  StoreGuard lock(g_DataHolder.ivIndex.lock);
  const _bstr_t symbol(topic.c_str());
  IVIndexEntry* entry =
      StartIVIndexLink(g_DataHolder.ivIndex, symbol, m_ddeServerInstance, item, type, term);
  if (!entry) return FALSE;
  m_subscriptions.Open(SubscriptionKey(enIVIndexData, symbol),
                       Subscribe(symbol, enIVIndexData, enEquity), NeedsValues(g_DataHolder.ivIndex, *entry));
  return TRUE;
}

BOOL CDDEServer::AdviseStartFutIVIndex(const std::string& topic, HSZ item, LONG type, SHORT term) {
  StoreGuard lock(g_DataHolder.futIvIndex.lock);
  const _bstr_t symbol(topic.c_str());
  IVIndexEntry* entry =
      StartIVIndexLink(g_DataHolder.futIvIndex, symbol, m_ddeServerInstance, item, type, term);
  if (!entry) return FALSE;
  m_subscriptions.Open(SubscriptionKey(enFutIVIndexData, symbol),
                       Subscribe(symbol, enFutIVIndexData, enEquity), NeedsValues(g_DataHolder.futIvIndex, *entry));
  return TRUE;
}

BOOL CDDEServer::AdviseStartIVSurface(const std::string& topic, HSZ item, LONG type, SHORT term,
                                      SHORT otm, const char* selector) {
  StoreGuard lock(g_DataHolder.ivSurface.lock);
  const _bstr_t symbol(topic.c_str());
  IVSurfaceEntry* entry = StartIVSurfaceLink(g_DataHolder.ivSurface, symbol, m_ddeServerInstance,
                                             item, type, term, otm, selector);
  if (!entry) return FALSE;
  m_subscriptions.Open(SubscriptionKey(enIVSurfaceData, symbol),
                       Subscribe(symbol, enIVSurfaceData, enEquity), NeedsValues(g_DataHolder.ivSurface, *entry));
  return TRUE;
}

BOOL CDDEServer::AdviseStartFutIVSurface(const std::string& topic, HSZ item, LONG type,
                                         SHORT term, SHORT otm, const char* selector) {
  StoreGuard lock(g_DataHolder.futIvSurface.lock);
  const _bstr_t symbol(topic.c_str());
  IVSurfaceEntry* entry = StartIVSurfaceLink(g_DataHolder.futIvSurface, symbol,
                                             m_ddeServerInstance, item, type, term, otm, selector);
  if (!entry) return FALSE;
  m_subscriptions.Open(SubscriptionKey(enFutIVSurfaceData, symbol),
                       Subscribe(symbol, enFutIVSurfaceData, enEquity), NeedsValues(g_DataHolder.futIvSurface, *entry));
  return TRUE;
}

BOOL CDDEServer::AdviseStartAtm(const std::string& topic, HSZ item, LONG expiry) {
  AtmGroup& group = g_DataHolder.atm;
  StoreGuard lock(group.lock);
  const _bstr_t symbol(topic.c_str());
  const AtmKey key(symbol, expiry);
  auto it = group.byKey.find(key);
  AtmEntry* entry = nullptr;
  if (it == group.byKey.end()) {
    entry = new AtmEntry(symbol, expiry, 0.0f);
    group.entries.push_back(entry);
    group.byKey.emplace(key, entry);
    // Every entry of the symbol is listed, so that the refresh pass that
    // drops the symbol finds them all.
    group.bySymbolAll.emplace(symbol, entry);
  } else {
    entry = it->second;
  }
  DdeKeepStringHandle(m_ddeServerInstance, item);
  entry->item.Add(HandleValue(item));
  m_subscriptions.Open(SubscriptionKey(enIVATMData, symbol),
                       Subscribe(symbol, enIVATMData, enEquity), NeedsValues(group, *entry));
  return TRUE;
}

// ---- stops -------------------------------------------------------------------------

BOOL CDDEServer::AdviseStopStock(const std::string& topic) {
  m_subscriptions.Close(SubscriptionKey(enStockData, topic.c_str()));
  return TRUE;
}

BOOL CDDEServer::AdviseStopFuture(const std::string& topic) {
  m_subscriptions.Close(SubscriptionKey(enFutureData, topic.c_str()));
  return TRUE;
}

BOOL CDDEServer::AdviseStopAtm(const std::string& topic) {
  m_subscriptions.Close(SubscriptionKey(enIVATMData, topic.c_str()));
  return TRUE;
}

BOOL CDDEServer::AdviseStopIVIndex(const std::string& topic) {
  m_subscriptions.Close(SubscriptionKey(enIVIndexData, topic.c_str()));
  return TRUE;
}

BOOL CDDEServer::AdviseStopFutIVIndex(const std::string& topic) {
  m_subscriptions.Close(SubscriptionKey(enFutIVIndexData, topic.c_str()));
  return TRUE;
}

BOOL CDDEServer::AdviseStopIVSurface(const std::string& topic) {
  m_subscriptions.Close(SubscriptionKey(enIVSurfaceData, topic.c_str()));
  return TRUE;
}

BOOL CDDEServer::AdviseStopFutIVSurface(const std::string& topic) {
  m_subscriptions.Close(SubscriptionKey(enFutIVSurfaceData, topic.c_str()));
  return TRUE;
}

// Under the group lock: the chain's snapshot makes the underlying known and
// moves the option's links to the chain in one stretch of it.
template <class Group>
BOOL CDDEServer::AdviseStopOptionKind(Group& group, const std::string& topic, DataTypeEnum kind) {
  StoreGuard lock(group.lock);
  const _bstr_t symbol(topic.c_str());
  auto it = group.bySymbol.find(symbol);
  if (it != group.bySymbol.end()) {
    auto* entry = it->second;
    if (entry->links > 0) --entry->links;
    if (entry->single) {
      m_subscriptions.Close(SubscriptionKey(kind, symbol, true));
      if (entry->links == 0) entry->single = 0;
    }
  }
  auto under = group.underlyingOf.find(symbol);
  m_subscriptions.Close(
      SubscriptionKey(kind, under != group.underlyingOf.end() ? under->second : symbol));
  return TRUE;
}

BOOL CDDEServer::AdviseStopOption(const std::string& topic) {
  return AdviseStopOptionKind(g_DataHolder.option, topic, enOptionData);
}
BOOL CDDEServer::AdviseStopNstdOption(const std::string& topic) {
  return AdviseStopOptionKind(g_DataHolder.nstdOption, topic, enNstdOptionData);
}
BOOL CDDEServer::AdviseStopFutOption(const std::string& topic) {
  return AdviseStopOptionKind(g_DataHolder.futOption, topic, enFutureOptionData);
}
BOOL CDDEServer::AdviseStopHv(const std::string& topic) { return AdviseStopStock(topic); }

}  // namespace zmdde
