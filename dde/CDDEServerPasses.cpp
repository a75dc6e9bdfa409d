// The two timer passes: advise posting turns changed entries into DDE
// traffic, batched to one round every 5000 ms; the refresh pass drops what
// no advise link uses any more.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "dde/CDDEServer.h"
#include "dde/CDDEServerFields.h"
#include "platform/win/oledate.h"

namespace zmdde {

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
DdeHandleValue HandleOf(HSZ hsz) {
  return static_cast<DdeHandleValue>(reinterpret_cast<uintptr_t>(hsz));
}

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

void CDDEServer::NoteLinkStart(HSZ topic, HSZ item) {
  orvwin::CritSecLock lock(m_topicLock);
  ++m_links[HandleOf(topic)][HandleOf(item)];
}

void CDDEServer::NoteLinkStop(HSZ topic, HSZ item) {
  orvwin::CritSecLock lock(m_topicLock);
  auto links = m_links.find(HandleOf(topic));
  if (links == m_links.end()) return;
  auto count = links->second.find(HandleOf(item));
  if (count == links->second.end()) return;
  if (--count->second <= 0) links->second.erase(count);
  if (links->second.empty()) m_links.erase(links);
}

namespace {

// Walks the entries the group queued as changed, not the whole group, so a
// pass costs what changed; `post` lists an entry's items in posting order,
// and those with links are due. An entry whose topic has no link is done
// with all the same: a link that starts later gets its first value from its
// own start.
template <class Group, class Post>
void TakeDue(Group& group, CDDEServer& server,
             const std::map<DdeHandleValue, std::map<DdeHandleValue, int>>& links,
             CRITICAL_SECTION& topicLock, std::vector<CDDEServer::DueAdvise>& due, Post&& post) {
  StoreGuard lock(group.lock);
  size_t topics = 0;
  {
    orvwin::CritSecLock topicsLock(topicLock);
    topics = g_DataHolder.topicOfSymbol.size();
  }
  for (auto* entry : group.changed.Take(topics)) {
    if (!entry->changed) continue;
    const DdeHandleValue topic = server.FindTopicHandle(Narrow(entry->symbol));
    if (!topic) {
      group.changed.Park(entry);  // stays changed until a request names the topic
      continue;
    }
    entry->changed = 0;
    orvwin::CritSecLock linksLock(topicLock);
    auto linked = links.find(topic);
    if (linked == links.end()) continue;
    post(*entry, [&](DdeHandleValue item) {
      if (item && linked->second.count(item)) due.push_back({AsHsz(topic), AsHsz(item)});
    });
  }
}

}  // namespace

std::vector<CDDEServer::DueAdvise> CDDEServer::TakeDueAdvises() {
  std::vector<DueAdvise> due;
  auto named = [this](const char* const* names, size_t count, auto&& add) {
    // A name without a handle would notify every link of the topic.
    for (size_t i = 0; i < count; ++i) add(HandleOf(ItemHandle(names[i])));
  };
  auto take = [&](auto& group, auto&& post) {
    TakeDue(group, *this, m_links, m_topicLock, due, post);
  };
  take(g_DataHolder.stock, [&](StockEntry& e, auto&& add) {
    named(kStockItems, std::size(kStockItems), add);
    for (const auto& node : e.hvByTerm)
      for (DdeHandleValue item : node.second.item) add(item);
  });
  take(g_DataHolder.option, [&](OptionEntry&, auto&& add) {
    named(kOptionItems, std::size(kOptionItems), add);
  });
  take(g_DataHolder.nstdOption, [&](NstdOptionEntry&, auto&& add) {
    named(kNstdOptionItems, std::size(kNstdOptionItems), add);
  });
  take(g_DataHolder.futures, [&](FutureEntry&, auto&& add) {
    named(kFutureItems, std::size(kFutureItems), add);
  });
  take(g_DataHolder.futOption, [&](OptionEntry&, auto&& add) {
    named(kFutOptionItems, std::size(kFutOptionItems), add);
  });
  auto surface = [](IVSurfaceEntry& e, auto&& add) {
    for (const ItemHandles* slot : {&e.ivItem, &e.deltaItem, &e.virtualStrikeItem})
      for (DdeHandleValue item : *slot) add(item);
  };
  auto index = [](IVIndexEntry& e, auto&& add) {
    for (const ItemHandles* slot : {&e.callItem, &e.putItem})
      for (DdeHandleValue item : *slot) add(item);
  };
  take(g_DataHolder.ivSurface, surface);
  take(g_DataHolder.ivIndex, index);
  take(g_DataHolder.futIvSurface, surface);
  take(g_DataHolder.futIvIndex, index);
  return due;
}

namespace {

// With ORV_DDE_PASS_TIMES naming a file, every posting pass appends a line
// to it: its duration, what it posted and how many topics it polled. Off
// unless asked for; the benchmarks of many links read it.
class PassTimes {
 public:
  PassTimes() {
    const char* path = std::getenv("ORV_DDE_PASS_TIMES");
    if (path && *path) file_ = std::fopen(path, "a");
  }
  ~PassTimes() {
    if (file_) std::fclose(file_);
  }
  PassTimes(const PassTimes&) = delete;
  PassTimes& operator=(const PassTimes&) = delete;

  bool On() const { return file_ != nullptr; }
  void Note(std::chrono::steady_clock::duration took, size_t posts, size_t polled) {
    const double seconds = std::chrono::duration<double>(took).count();
    std::fprintf(file_, "pass %.6f s, %zu posts, %zu ATM topics\n", seconds, posts, polled);
    std::fflush(file_);
  }

 private:
  FILE* file_ = nullptr;
};

PassTimes& ThePassTimes() {
  static PassTimes times;
  return times;
}

}  // namespace

void CDDEServer::PostAdvises() {
  if (!m_connected) return;
  const auto started = std::chrono::steady_clock::now();
  const DWORD instance = m_ddeServerInstance;
  // No group lock is held while DDEML renders the values: the requests it
  // makes take the group lock of their own, and the event handlers are not
  // kept waiting for a whole round of posts.
  const std::vector<DueAdvise> due = TakeDueAdvises();
  for (const DueAdvise& d : due) DdePostAdvise(instance, d.topic, d.item);

  std::vector<std::string> topics;
  {
    orvwin::CritSecLock poll(m_atmPollLock);
    topics.swap(m_atmPollList);
  }
  for (const std::string& topic : topics) PollAtm(topic);

  std::vector<DueAdvise> atm;
  TakeDue(g_DataHolder.atm, *this, m_links, m_topicLock, atm,
          [](AtmEntry& e, auto&& add) {
            for (DdeHandleValue item : e.item) add(item);
          });
  for (const DueAdvise& d : atm) DdePostAdvise(instance, d.topic, d.item);
  if (ThePassTimes().On())
    ThePassTimes().Note(std::chrono::steady_clock::now() - started, due.size() + atm.size(),
                        topics.size());
}

void CDDEServer::PollAtm(const std::string& topic) {
  // Only a stock with ATM links is asked. For any other the server would
  // find no chain in its cache, fetch the whole chain from the service again
  // on every pass and report the failure; and the entries it would make
  // here have no link to post to nor any refresh pass to drop them.
  if (m_subscriptions.Count(SubscriptionKey(enIVATMData, _bstr_t(topic.c_str()))) <= 0) return;
  orvwin::CritSecLock events(m_eventLock);
  try {
    IIVATMEntPtr cursor = ServerObject()->GetATMByStock(_bstr_t(TopicToSymbol(topic).c_str()));
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
      group.changed.Mark(entry);
    } while (cursor->Next() == VARIANT_TRUE);
  } catch (const _com_error&) {
    // This topic waits for the next pass; the others are polled.
  }
}

// ---- refresh ---------------------------------------------------------------------

namespace {

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

// The group's entries that no link counts on: countedKey(entry) names the
// key their links are counted under.
template <class Group, class CountedKey>
auto Unlinked(Group& group, SubscriptionQueue& subscriptions, DataTypeEnum kind, CountedKey&& countedKey) {
  using Entry = std::remove_pointer_t<typename std::decay_t<decltype(group.entries)>::value_type>;
  std::set<Entry*> gone;
  for (Entry* entry : group.entries)
    if (subscriptions.Count(SubscriptionKey(kind, countedKey(*entry))) == 0) gone.insert(entry);
  return gone;
}

// Takes the entries out of the group's list and its changed queue; the
// caller erases them from the group's indexes before it deletes them.
template <class Group, class Entry>
void Unlist(Group& group, const std::set<Entry*>& gone) {
  group.changed.Forget(gone);
  group.entries.erase(
      std::remove_if(group.entries.begin(), group.entries.end(), [&](Entry* e) { return gone.count(e) != 0; }),
      group.entries.end());
}

}  // namespace

void CDDEServer::RefreshAll() {
  SubscriptionQueue& subscriptions = m_subscriptions;
  // Entries no link counts on go, whoever made them (a link, a snapshot or
  // the ATM poll); their unsubscription was queued when the last link went.
  auto bySymbol = [](const auto& entry) -> const _bstr_t& { return entry.symbol; };
  auto symbolPass = [&](auto& group, DataTypeEnum kind) {
    StoreGuard lock(group.lock);
    const auto gone = Unlinked(group, subscriptions, kind, bySymbol);
    if (gone.empty()) return;
    Unlist(group, gone);
    EraseTopicNodes(group.byTopic, gone);
    for (auto* entry : gone) {
      group.bySymbol.erase(entry->symbol);
      delete entry;
    }
  };

  // An option counts on its underlying's chain once that is known.
  auto optionPass = [&](auto& group, DataTypeEnum kind) {
    StoreGuard lock(group.lock);
    const auto gone = Unlinked(group, subscriptions, kind, [&](const auto& entry) -> const _bstr_t& {
      auto under = group.underlyingOf.find(entry.symbol);
      return under != group.underlyingOf.end() ? under->second
             : entry.stockSymbol.length() > 0  ? entry.stockSymbol
                                               : entry.symbol;
    });
    if (gone.empty()) return;
    Unlist(group, gone);
    EraseTopicNodes(group.byTopic, gone);
    for (auto* entry : gone) {
      group.bySymbol.erase(entry->symbol);
      group.underlyingOf.erase(entry->symbol);
      delete entry;
    }
  };

  auto keyedPass = [&](auto& group, DataTypeEnum kind, auto&& eraseIndexes) {
    StoreGuard lock(group.lock);
    const auto gone = Unlinked(group, subscriptions, kind, bySymbol);
    if (gone.empty()) return;
    Unlist(group, gone);
    for (auto key = group.byKey.begin(); key != group.byKey.end();)
      key = gone.count(key->second) ? group.byKey.erase(key) : std::next(key);
    eraseIndexes(group, gone);
    for (auto* entry : gone) delete entry;
  };
  auto bySymbolAll = [](auto& group, const auto& gone) {
    for (auto it = group.bySymbolAll.begin(); it != group.bySymbolAll.end();)
      it = gone.count(it->second) ? group.bySymbolAll.erase(it) : std::next(it);
  };
  auto noMore = [](auto&, const auto&) {};

  symbolPass(g_DataHolder.stock, enStockData);
  optionPass(g_DataHolder.option, enOptionData);
  optionPass(g_DataHolder.nstdOption, enNstdOptionData);
  keyedPass(g_DataHolder.ivIndex, enIVIndexData, bySymbolAll);
  keyedPass(g_DataHolder.ivSurface, enIVSurfaceData, noMore);
  symbolPass(g_DataHolder.futures, enFutureData);
  optionPass(g_DataHolder.futOption, enFutureOptionData);
  keyedPass(g_DataHolder.futIvIndex, enFutIVIndexData, bySymbolAll);
  keyedPass(g_DataHolder.futIvSurface, enFutIVSurfaceData, noMore);
  keyedPass(g_DataHolder.atm, enIVATMData, bySymbolAll);

  // What the server still holds without a link goes; refused subscriptions
  // that links wait for are tried again.
  subscriptions.Refresh();

  // Twice: the second move finds requests deferred during the first.
  RequeueDeferredRequests();
  RequeueDeferredRequests();

  subscriptions.Wake();
}

}  // namespace zmdde
