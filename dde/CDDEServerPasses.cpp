// The two timer passes: advise posting turns changed entries into DDE
// traffic, batched to one round every 5000 ms; the refresh pass drops what
// no advise link uses any more.
#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "dde/CDDEServer.h"
#include "dde/CDDEServerFields.h"
#include "win/oledate.h"

using namespace ddeserver;

namespace {

const char* const kStockItems[] = {
    "Price", "StckPrice", "StckVolume", "DivDate", "DivAmount", "DivFreq", "DivYield",
    "StckLastTime", "StckLastExch", "StckLastSize", "StckBid", "StckAsk", "StckBidTime",
    "StckAskTime", "StckBidExch", "StckAskExch", "StckBidSize", "StckAskSize", "StckPriceClose",
    "StckPriceLow52wk", "StckPriceHigh52wk", "Ivx1m", "Ivx1mYest", "Ivx1mLow52wk",
    "Ivx1mHigh52wk", "Hv1m", "Hv1mYest", "Hv1mLow52wk", "Hv1mHigh52wk", "StckOptnVolumeCall",
    "StckOptnVolumePut", "StckOptnVolumeAvg", "OutstandingShares"};
const char* const kOptionItems[] = {
    "StockSymbol", "Strike", "ExpDate", "Type", "OptnVolume", "Rho", "Theta", "Gamma", "Vega",
    "Delta", "GrkRho", "GrkTheta", "GrkGamma", "GrkVega", "GrkDelta", "Ask", "Bid", "IV",
    "OptnBidTime", "OptnAskTime", "OptnBidExch", "OptnAskExch", "OptnBidSize", "OptnAskSize",
    "PreIv", "OpenInterest", "OptnLastPrice", "OptnLastTime", "OptnLastExch", "OptnLastSize"};
const char* const kNstdOptionItems[] = {
    "StockSymbol", "Strike", "ExpDate", "Type", "OptnVolume", "RootId", "Rho", "Theta", "Gamma",
    "Vega", "Delta", "GrkRho", "GrkTheta", "GrkGamma", "GrkVega", "GrkDelta", "Ask", "Bid", "IV",
    "OptnBidTime", "OptnAskTime", "OptnBidExch", "OptnAskExch", "OptnBidSize", "OptnAskSize",
    "PreIv", "OpenInterest", "OptnLastPrice", "OptnLastTime", "OptnLastExch", "OptnLastSize"};
const char* const kFutureItems[] = {
    "FutPrice", "FutVolume", "FutLastTime", "FutLastExch", "FutLastSize", "FutBid", "FutAsk",
    "FutBidTime", "FutAskTime", "FutBidExch", "FutAskExch", "FutBidSize", "FutAskSize"};
const char* const kFutOptionItems[] = {
    "FutureSymbol", "FutOptStrike", "FutOptExpDate", "FutOptType", "FutOptOptnVolume", "FutOptRho",
    "FutOptTheta", "FutOptGamma", "FutOptVega", "FutOptDelta", "FutOptGrkRho", "FutOptGrkTheta",
    "FutOptGrkGamma", "FutOptGrkVega", "FutOptGrkDelta", "FutOptAsk", "FutOptBid", "FutOptIV",
    "FutOptnBidTime", "FutOptnAskTime", "FutOptnBidExch", "FutOptnAskExch", "FutOptnBidSize",
    "FutOptnAskSize", "FutOptnPreIv", "FutOpenInterest", "FutOptnLastPrice", "FutOptnLastTime",
    "FutOptnLastExch", "FutOptnLastSize"};

HSZ AsHsz(DdeHandleValue value) { return reinterpret_cast<HSZ>(static_cast<uintptr_t>(value)); }

LONG ExpiryMonthKey(DATE expiry) {
  SYSTEMTIME st = {};
  if (!VariantTimeToSystemTime(expiry, &st)) return 0;
  SYSTEMTIME first = {};
  first.wYear = st.wYear;
  first.wMonth = st.wMonth;
  first.wDay = 1;
  DOUBLE date = 0;
  if (!SystemTimeToVariantTime(&first, &date)) return 0;
  return static_cast<LONG>(date);
}

}  // namespace

void CDDEServer::PostAdvises() {
  if (!m_connected) return;
  const DWORD instance = m_ddeServerInstance;
  auto postNamed = [&](HSZ topic, const char* const* names, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      // A name without a handle would notify every link of the topic.
      if (HSZ item = ItemHandle(names[i])) DdePostAdvise(instance, topic, item);
    }
  };
  auto postHandle = [&](HSZ topic, DdeHandleValue item) {
    if (item) DdePostAdvise(instance, topic, AsHsz(item));
  };
  // Walks a group's changed entries that have a topic handle.
  auto walk = [&](auto& group, auto&& post) {
    StoreGuard lock(group.lock);
    for (auto* entry : group.entries) {
      if (!entry->changed) continue;
      const DdeHandleValue topic = FindTopicHandle(Narrow(entry->symbol));
      if (!topic) continue;  // stays changed until a request names the topic
      post(*entry, AsHsz(topic));
      entry->changed = 0;
    }
  };
  walk(g_DataHolder.stock, [&](StockEntry& e, HSZ topic) {
    postNamed(topic, kStockItems, std::size(kStockItems));
    for (const auto& node : e.hvByTerm) postHandle(topic, node.second.item);
  });
  walk(g_DataHolder.option, [&](OptionEntry&, HSZ topic) {
    postNamed(topic, kOptionItems, std::size(kOptionItems));
  });
  walk(g_DataHolder.nstdOption, [&](NstdOptionEntry&, HSZ topic) {
    postNamed(topic, kNstdOptionItems, std::size(kNstdOptionItems));
  });
  walk(g_DataHolder.futures, [&](FutureEntry&, HSZ topic) {
    postNamed(topic, kFutureItems, std::size(kFutureItems));
  });
  walk(g_DataHolder.futOption, [&](OptionEntry&, HSZ topic) {
    postNamed(topic, kFutOptionItems, std::size(kFutOptionItems));
  });
  auto postSurface = [&](IVSurfaceEntry& e, HSZ topic) {
    postHandle(topic, e.ivItem);
    postHandle(topic, e.deltaItem);
    postHandle(topic, e.virtualStrikeItem);
  };
  auto postIndex = [&](IVIndexEntry& e, HSZ topic) {
    postHandle(topic, e.callItem);
    postHandle(topic, e.putItem);
  };
  walk(g_DataHolder.ivSurface, postSurface);
  walk(g_DataHolder.ivIndex, postIndex);
  walk(g_DataHolder.futIvSurface, postSurface);
  walk(g_DataHolder.futIvIndex, postIndex);

  std::vector<std::string> topics;
  {
    orvwin::CritSecLock poll(m_atmPollLock);
    topics.swap(m_atmPollList);
  }
  for (const std::string& topic : topics) PollAtm(topic);

  walk(g_DataHolder.atm, [&](AtmEntry& e, HSZ topic) { postHandle(topic, e.item); });
}

void CDDEServer::PollAtm(const std::string& topic) {
  // Only a stock with ATM links is asked. For any other the server would
  // find no chain in its cache, fetch the whole chain from the service again
  // on every pass and report the failure; and the entries it would make
  // here have no link to post to nor any refresh pass to drop them.
  {
    AtmGroup& group = g_DataHolder.atm;
    StoreGuard lock(group.lock);
    const auto count = group.adviseCount.find(_bstr_t(topic.c_str()));
    if (count == group.adviseCount.end() || count->second <= 0) return;
  }
  orvwin::CritSecLock events(m_eventLock);
  try {
    IIVATMEntPtr cursor = s_server->GetATMByStock(_bstr_t(TopicToSymbol(topic).c_str()));
    if (!cursor) return;
    AtmGroup& group = g_DataHolder.atm;
    const _bstr_t symbol(topic.c_str());
    do {
      _bstr_t stockSymbol;
      DATE expiry = 0;
      FLOAT iv = 0;
      cursor->GetIVATMData(stockSymbol.GetAddress(), &expiry, &iv);
      const AtmKey key(symbol, ExpiryMonthKey(expiry));
      StoreGuard lock(group.lock);
      auto it = group.byKey.find(key);
      AtmEntry* entry = nullptr;
      if (it == group.byKey.end()) {
        entry = new AtmEntry(symbol, key.expiry, iv);
        group.entries.push_back(entry);
        group.byKey.emplace(key, entry);
        group.bySymbolAll.emplace(symbol, entry);
      } else {
        entry = it->second;
        entry->iv = iv;
      }
      entry->snapshot = 1;
      entry->changed = 1;
    } while (cursor->Next() == VARIANT_TRUE);
  } catch (const _com_error&) {
    // This topic waits for the next pass; the others are polled.
  }
}

// ---- refresh ---------------------------------------------------------------------

namespace {

template <class Entry>
void EraseFromVector(std::vector<Entry*>& entries, Entry* entry) {
  entries.erase(std::remove(entries.begin(), entries.end(), entry), entries.end());
}

// Every byTopic node that points at one of the entries; a node left behind
// would point at freed memory.
template <class Map, class Entry>
void EraseTopicNodes(Map& byTopic, const std::set<Entry*>& gone) {
  for (auto it = byTopic.begin(); it != byTopic.end();) {
    if (gone.count(it->second)) {
      it = byTopic.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace

void CDDEServer::RefreshAll() {
  auto unsubscribe = [&](const _bstr_t& symbol, DataTypeEnum kind, SymbolTypeEnum type) {
    SubscriptionRequest request;
    request.symbol = symbol;
    request.kind = kind;
    request.symbolType = type;
    request.subscribe = 0;
    orvwin::CritSecLock queue(m_queueLock);
    for (const SubscriptionRequest& queued : m_requestQueue)
      if (queued.kind == kind && queued.symbol == symbol) return;
    m_requestQueue.push_back(request);
  };

  // Stocks and futures: an entry goes only once its topic has a handle.
  auto symbolPass = [&](auto& group, DataTypeEnum kind, SymbolTypeEnum type) {
    StoreGuard lock(group.lock);
    for (auto count = group.adviseCount.begin(); count != group.adviseCount.end();) {
      if (count->second != 0) {
        ++count;
        continue;
      }
      unsubscribe(count->first, kind, type);
      const DdeHandleValue topic = FindTopicHandle(Narrow(count->first));
      if (!topic) {
        ++count;
        continue;
      }
      auto found = group.bySymbol.find(count->first);
      if (found != group.bySymbol.end()) {
        auto* entry = found->second;
        EraseFromVector(group.entries, entry);
        group.bySymbol.erase(found);
        using Entry = std::remove_pointer_t<decltype(entry)>;
        EraseTopicNodes(group.byTopic, std::set<Entry*>{entry});
        delete entry;
      }
      group.byTopic.erase(topic);
      count = group.adviseCount.erase(count);
    }
  };

  auto optionPass = [&](auto& group, DataTypeEnum kind, SymbolTypeEnum type) {
    StoreGuard lock(group.lock);
    using Entry = std::remove_pointer_t<typename std::decay_t<decltype(group.entries)>::value_type>;
    for (auto count = group.adviseCountByUnderlying.begin();
         count != group.adviseCountByUnderlying.end();) {
      if (count->second != 0) {
        ++count;
        continue;
      }
      unsubscribe(count->first, kind, type);
      std::set<Entry*> gone;
      for (Entry* entry : group.entries)
        if (entry->stockSymbol == count->first) gone.insert(entry);
      group.entries.erase(std::remove_if(group.entries.begin(), group.entries.end(),
                                         [&](Entry* e) { return gone.count(e) != 0; }),
                          group.entries.end());
      EraseTopicNodes(group.byTopic, gone);
      for (Entry* entry : gone) {
        group.bySymbol.erase(entry->symbol);
        group.underlyingOf.erase(entry->symbol);
        delete entry;
      }
      count = group.adviseCountByUnderlying.erase(count);
    }
  };

  auto indexPass = [&](auto& group, DataTypeEnum kind, SymbolTypeEnum type) {
    StoreGuard lock(group.lock);
    for (auto count = group.adviseCount.begin(); count != group.adviseCount.end();) {
      if (count->second != 0) {
        ++count;
        continue;
      }
      unsubscribe(count->first, kind, type);
      auto range = group.bySymbolAll.equal_range(count->first);
      for (auto it = range.first; it != range.second; ++it) {
        auto* entry = it->second;
        EraseFromVector(group.entries, entry);
        for (auto key = group.byKey.begin(); key != group.byKey.end();) {
          key = key->second == entry ? group.byKey.erase(key) : std::next(key);
        }
        delete entry;
      }
      group.bySymbolAll.erase(range.first, range.second);
      count = group.adviseCount.erase(count);
    }
  };

  auto surfacePass = [&](IVSurfaceGroup& group, DataTypeEnum kind, SymbolTypeEnum type) {
    StoreGuard lock(group.lock);
    for (auto count = group.adviseCount.begin(); count != group.adviseCount.end();) {
      if (count->second != 0) {
        ++count;
        continue;
      }
      unsubscribe(count->first, kind, type);
      for (auto key = group.byKey.begin(); key != group.byKey.end();) {
        key = key->first.symbol == count->first ? group.byKey.erase(key) : std::next(key);
      }
      std::vector<IVSurfaceEntry*> kept;
      for (IVSurfaceEntry* entry : group.entries) {
        if (entry->symbol == count->first) {
          delete entry;
        } else {
          kept.push_back(entry);
        }
      }
      group.entries.swap(kept);
      count = group.adviseCount.erase(count);
    }
  };

  symbolPass(g_DataHolder.stock, enStockData, enEquity);
  optionPass(g_DataHolder.option, enOptionData, enEquity);
  optionPass(g_DataHolder.nstdOption, enNstdOptionData, enEquity);
  indexPass(g_DataHolder.ivIndex, enIVIndexData, enEquity);
  surfacePass(g_DataHolder.ivSurface, enIVSurfaceData, enEquity);
  symbolPass(g_DataHolder.futures, enFutureData, enFuture);
  optionPass(g_DataHolder.futOption, enFutureOptionData, enFuture);
  indexPass(g_DataHolder.futIvIndex, enFutIVIndexData, enFuture);
  surfacePass(g_DataHolder.futIvSurface, enFutIVSurfaceData, enFuture);
  indexPass(g_DataHolder.atm, enIVATMData, enEquity);

  // Twice: the second move finds requests deferred during the first.
  RequeueDeferredRequests();
  RequeueDeferredRequests();

  orvwin::CritSecLock queue(m_queueLock);
  if (!m_requestQueue.empty() && m_workEvent) SetEvent(m_workEvent);
}
