// Option subscriptions: an option is served by subscribing its underlying's
// whole chain, whose snapshot fills the store; single options are
// subscribed one by one only when the client asked for a known option.
#include <algorithm>
#include <string>
#include <vector>

#include "dde/CDDEServer.h"
#include "dde/CDDEServerFields.h"
#include "ui/shellapi.h"

using namespace ddeserver;

namespace {

// After a subscription-limit error the worker holds back, so that the
// following requests do not hammer a server that refuses them.
constexpr DWORD kLimitPauseMs = 5000;
constexpr DWORD kOverLimitStartPauseMs = 2000;

bool IsLimitError(const _com_error& e) {
  return Narrow(e.Description()).find("limit") != std::string::npos;
}

OptionEntry* NewEntry(OptionEntry*, const OptionFields& f) {
  return new OptionEntry(f.symbol, f.underlying, f.optionType, f.strikePrice, f.expirationDate,
                         f.iv, f.bidPrice, f.askPrice, f.delta, f.vega, f.gamma, f.theta, f.rho,
                         f.volume);
}

NstdOptionEntry* NewEntry(NstdOptionEntry*, const OptionFields& f) {
  return new NstdOptionEntry(f.symbol, f.underlying, f.optionType, f.strikePrice,
                             f.expirationDate, f.iv, f.bidPrice, f.askPrice, f.delta, f.vega,
                             f.gamma, f.theta, f.rho, f.volume, f.rootId);
}

bool SameRequest(const SubscriptionRequest& a, const SubscriptionRequest& b) {
  return a.symbol == b.symbol && a.kind == b.kind && a.symbolType == b.symbolType &&
         a.subscribe == b.subscribe;
}

}  // namespace

template <class Entry, class Cursor>
void CDDEServer::SubscribeOptionChain(const SubscriptionRequest& request,
                                      OptionGroup<Entry>& group, SymbolTypeEnum singleType,
                                      SymbolTypeEnum groupType, const char* subscribeText,
                                      const char* unsubscribeText, bool slashedSymbols,
                                      BYTE& overLimitMark, LONG (CDDEServer::*countActive)(),
                                      _com_ptr_t<Cursor> (*getOne)(const _bstr_t&),
                                      _com_ptr_t<Cursor> (*getChain)(const _bstr_t&)) {
  if (!request.subscribe) {
    Unsubscribe(request, unsubscribeText, groupType);
    return;
  }
  {
    StoreGuard lock(group.lock);
    auto it = group.bySymbol.find(request.symbol);
    if (it != group.bySymbol.end() && it->second->snapshot) return;  // already covered
  }

  const _bstr_t symbol(TopicToSymbol(Narrow(request.symbol)).c_str());
  _bstr_t underlying;
  // Symbols rather than entry pointers: the refresh pass may delete entries
  // once the event lock is left.
  std::vector<_bstr_t> stored;
  {
    orvwin::CritSecLock events(m_eventLock);
    try {
      if (request.symbolType == singleType) {
        s_server->Subscribe(symbol, singleType, request.kind);
        return;
      }
      _com_ptr_t<Cursor> one = getOne(symbol);
      OptionFields self;
      self.Read(one);
      underlying = self.underlying;
      if (underlying.length() == 0) return;

      _com_ptr_t<Cursor> chain = getChain(underlying);
      if (chain) {
        do {
          OptionFields f;
          f.Read(chain);
          const LONG openInterest = chain->GetOpenInterest();
          const FLOAT lastPrice = chain->GetLastPrice();
          const _bstr_t lastExchange = chain->GetLastExchange();
          const LONG lastSize = chain->GetLastSize();
          const DATE lastDate = chain->GetLastDate();
          const _bstr_t key =
              slashedSymbols ? _bstr_t(SymbolToTopic(Narrow(f.symbol)).c_str()) : f.symbol;

          StoreGuard lock(group.lock);
          Entry* entry = nullptr;
          auto it = group.bySymbol.find(key);
          if (it == group.bySymbol.end()) {
            entry = NewEntry(static_cast<Entry*>(nullptr), f);
            entry->symbol = key;
            group.entries.push_back(entry);
            group.bySymbol.emplace(key, entry);
          } else {
            entry = it->second;
            entry->stockSymbol = f.underlying;
            entry->optionType = f.optionType;
            entry->strikePrice = f.strikePrice;
            entry->expirationDate = f.expirationDate;
            entry->iv = f.iv;
            entry->bidPrice = f.bidPrice;
            entry->askPrice = f.askPrice;
            entry->delta = f.delta;
            entry->vega = f.vega;
            entry->gamma = f.gamma;
            entry->theta = f.theta;
            entry->rho = f.rho;
            entry->volume = f.volume;
          }
          f.CopyRootTo(*entry);
          entry->bidSize = f.bidSize;
          entry->bidExchange = f.bidExchange;
          entry->bidDate = f.bidDate;
          entry->askSize = f.askSize;
          entry->askExchange = f.askExchange;
          entry->askDate = f.askDate;
          entry->optionStyle = f.optionStyle;
          entry->preIV = f.preIV;
          entry->openInterest = openInterest;
          entry->lastPrice = lastPrice;
          entry->lastExchange = lastExchange;
          entry->lastSize = lastSize;
          entry->lastDate = lastDate;
          entry->snapshot = 1;
          entry->changed = 1;
          stored.push_back(key);
          group.underlyingOf.emplace(key, f.underlying);
        } while (chain->Next() == VARIANT_TRUE);
      }
    } catch (const _com_error& e) {
      if (IsLimitError(e) && !overLimitMark) {
        overLimitMark = 1;
        ClearBalloon();
        Balloon(Narrow(e.Description()).c_str(), "Subscribe", NIIF_ERROR);
        PauseWorker(kLimitPauseMs);
      }
      return;
    }
  }

  {
    // Links made before the underlying was known now count for it.
    StoreGuard lock(group.lock);
    for (auto node = group.adviseCountByOption.begin(); node != group.adviseCountByOption.end();) {
      auto under = group.underlyingOf.find(node->first);
      auto entry = group.bySymbol.find(node->first);
      if (under == group.underlyingOf.end() || entry == group.bySymbol.end()) {
        ++node;
        continue;
      }
      entry->second->stockSymbol = under->second;
      GetOrInsertCount(group.adviseCountByUnderlying, under->second) += node->second + 1;
      node = group.adviseCountByOption.erase(node);
    }
  }

  if (IsOverLimitThreadRunning()) {
    orvwin::CritSecLock deferral(m_deferralLock);
    const bool parked = std::any_of(m_deferredRequests.begin(), m_deferredRequests.end(),
                                    [&](const SubscriptionRequest& r) { return SameRequest(r, request); });
    if (!parked) m_deferredRequests.push_back(request);
    return;
  }

  // The chain is the underlying's: that is what the server is asked for,
  // and what the refresh pass and the over-limit thread later unsubscribe.
  const std::string underlyingText = Narrow(underlying);
  try {
    const std::string text = std::string(subscribeText) + underlyingText;
    Balloon(text.c_str(), "Subscribe", NIIF_INFO);
    s_server->Subscribe(_bstr_t(TopicToSymbol(underlyingText).c_str()), groupType, request.kind);
    ClearBalloon();
  } catch (const _com_error& e) {
    if (!IsLimitError(e)) return;
    if ((this->*countActive)() != 0 && !overLimitMark) {
      StartOverLimitThread();
      PauseWorker(kOverLimitStartPauseMs);
    } else {
      ClearBalloon();
      Balloon(Narrow(e.Description()).c_str(), "Subscribe", NIIF_ERROR);
      PauseWorker(kLimitPauseMs);
    }
    return;
  } catch (...) {
    return;
  }

  {
    StoreGuard lock(group.lock);
    for (const _bstr_t& key : stored) {
      auto it = group.bySymbol.find(key);
      if (it != group.bySymbol.end()) it->second->group = 1;
    }
  }
  overLimitMark = 0;
  if ((this->*countActive)() > kOverLimitThreshold) StartOverLimitThread();
}

void CDDEServer::SubscribeOptions(const SubscriptionRequest& request) {
  SubscribeOptionChain<OptionEntry, IOptionsEnt>(
      request, g_DataHolder.option, enOption, enEquity, "Subscribing to options ",
      "Unsubscribe from options %s", false, m_optionOverLimit,
      &CDDEServer::CountActiveOptionSubscriptions,
      [](const _bstr_t& s) { return s_server->GetOptionBySymbol(s); },
      [](const _bstr_t& s) { return s_server->GetOptionsByStock(s); });
}

void CDDEServer::SubscribeNstdOptions(const SubscriptionRequest& request) {
  SubscribeOptionChain<NstdOptionEntry, INstdOptionsEnt>(
      request, g_DataHolder.nstdOption, enNstdOption, enEquity, "Subscribing to Nstdoptions ",
      "Unsubscribe from Nstdoptions %s", false, m_nstdOptionOverLimit,
      &CDDEServer::CountActiveNstdOptionSubscriptions,
      [](const _bstr_t& s) { return s_server->GetNstdOptionBySymbol(s); },
      [](const _bstr_t& s) { return s_server->GetNstdOptionsByStock(s); });
}

void CDDEServer::SubscribeFutOptions(const SubscriptionRequest& request) {
  SubscribeOptionChain<OptionEntry, IFutOptionsEnt>(
      request, g_DataHolder.futOption, enOption, enFuture, "Subscribing to future options ",
      "Unsubscribe from future options %s", true, m_futOptionOverLimit,
      &CDDEServer::CountActiveFutOptionSubscriptions,
      [](const _bstr_t& s) { return s_server->GetFutOptionBySymbol(s); },
      [](const _bstr_t& s) { return s_server->GetFutOptionsByFuturesSymbol(s); });
}
