// Option subscriptions: an option is served by subscribing its underlying's
// whole chain, whose snapshot fills the store; single options are
// subscribed one by one only when the client asked for a known option.
#include <algorithm>
#include <string>
#include <vector>

#include "dde/CDDEServer.h"
#include "dde/CDDEServerFields.h"
#include "platform/ui/shellapi.h"

namespace zmdde {

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


}  // namespace

template <class Entry, class Cursor>
void CDDEServer::SubscribeOptionChain(const SubscriptionRequest& request,
                                      OptionGroup<Entry>& group, SymbolTypeEnum singleType,
                                      SymbolTypeEnum groupType, const char* subscribeText,
                                      const char* unsubscribeText, bool slashedSymbols,
                                      BYTE& overLimitMark, LONG (CDDEServer::*countActive)(),
                                      _com_ptr_t<Cursor> (*getOne)(IZmOrvEntPtr&, const _bstr_t&),
                                      _com_ptr_t<Cursor> (*getChain)(IZmOrvEntPtr&, const _bstr_t&)) {
  if (request.symbolType == singleType) {
    SubscribeSingleOption(request, unsubscribeText);
    return;
  }
  if (!request.subscribe) {
    Unsubscribe(request, unsubscribeText, groupType);
    // The chain is no longer sent: a link that comes back before the
    // refresh pass drops the entries must subscribe it again.
    StoreGuard lock(group.lock);
    for (Entry* entry : group.entries)
      if (entry->stockSymbol == request.symbol) entry->group = 0;
    return;
  }
  {
    // The chain is live already: another option of it was linked first.
    StoreGuard lock(group.lock);
    auto it = group.bySymbol.find(request.symbol);
    if (it != group.bySymbol.end() && it->second->group) return;
  }
  // Parked before its chain is read: a snapshot taken now would stand in
  // the cells as if live until the request came back, and be taken again
  // then.
  if (m_subscriptions.Defer(request, [this] { return OverLimitBlocks(); })) return;
  const unsigned signIn = m_signIns;
  IZmOrvEntPtr server = ServerObject();

  const _bstr_t symbol(TopicToSymbol(Narrow(request.symbol)).c_str());
  _bstr_t underlying;
  // Symbols rather than entry pointers: the refresh pass may delete entries
  // once the event lock is left.
  std::vector<_bstr_t> stored;
  {
    orvwin::CritSecLock events(m_eventLock);
    try {
      _com_ptr_t<Cursor> one = getOne(server, symbol);
      OptionFields self;
      self.Read(one);
      underlying = self.underlying;
      if (underlying.length() == 0) return;

      _com_ptr_t<Cursor> chain = getChain(server, underlying);
      if (chain) {
        do {
          OptionFields f;
          f.Read(chain);
          OptionTradeFields trade;
          trade.Read(chain);
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
          trade.CopyTo(*entry);
          entry->snapshot = 1;
          group.changed.Mark(entry);
          stored.push_back(key);
          group.underlyingOf.emplace(key, f.underlying);
          // Links made before the underlying was known count for its chain
          // from now on, in the same stretch that makes the underlying known
          // to the links' stops.
          if (entry->individual)
            m_subscriptions.Transfer(SubscriptionKey(request.kind, key),
                                     SubscriptionKey(request.kind, f.underlying));
        } while (chain->Next() == VARIANT_TRUE);
      }
    } catch (const _com_error& e) {
      // Tried again by the refresh pass, on the key its links count on: the
      // chain's once an earlier snapshot made the underlying known (a request
      // queued again for a new server), else the option's own. Refused on a
      // key without links, it would never be tried again.
      if (underlying.length() == 0) {
        StoreGuard lock(group.lock);
        auto under = group.underlyingOf.find(request.symbol);
        underlying = under != group.underlyingOf.end() ? under->second : request.symbol;
      }
      const bool first = m_subscriptions.Refused(SubscriptionKey(request.kind, underlying), request);
      if (IsLimitError(e) && !overLimitMark && first) {
        overLimitMark = 1;
        ClearBalloon();
        Balloon(Narrow(e.Description()).c_str(), "Subscribe", NIIF_ERROR);
        PauseWorker(kLimitPauseMs);
      } else if (first) {
        ShowNotFound(request, e);
      }
      return;
    }
  }

  const SubscriptionKey chainKey(request.kind, underlying);
  // Every link on the chain went while its snapshot was taken: nothing to
  // subscribe, and the refresh pass drops the entries.
  if (m_subscriptions.Count(chainKey) == 0) return;

  if (m_subscriptions.Defer(request, [this] { return OverLimitBlocks(); })) return;

  // The chain is the underlying's: that is what the server is asked for,
  // and what the refresh pass and the over-limit thread later unsubscribe.
  const std::string underlyingText = Narrow(underlying);
  try {
    const std::string text = std::string(subscribeText) + underlyingText;
    if (!m_subscriptions.Retrying(chainKey)) Balloon(text.c_str(), "Subscribe", NIIF_INFO);
    server->Subscribe(_bstr_t(TopicToSymbol(underlyingText).c_str()), groupType, request.kind);
    ClearBalloon();
  } catch (const _com_error& e) {
    const bool first = m_subscriptions.Refused(chainKey, request);
    if (!IsLimitError(e)) return;
    if ((this->*countActive)() != 0 && !overLimitMark) {
      StartOverLimitThread();
      PauseWorker(kOverLimitStartPauseMs);
    } else {
      ClearBalloon();
      if (first) Balloon(Narrow(e.Description()).c_str(), "Subscribe", NIIF_ERROR);
      PauseWorker(kLimitPauseMs);
    }
    return;
  } catch (...) {
    m_subscriptions.Refused(chainKey, request);
    return;
  }

  {
    // Subscribed on a server that a sign-in replaced meanwhile: the new one
    // does not carry the chain, and the sign-in queued it again; marked live
    // here, that request would find it live and never ask.
    StoreGuard lock(group.lock);
    if (signIn != m_signIns) return;
    for (const _bstr_t& key : stored) {
      auto it = group.bySymbol.find(key);
      if (it != group.bySymbol.end()) it->second->group = 1;
    }
  }
  m_subscriptions.Accepted(chainKey);
  overLimitMark = 0;
  if ((this->*countActive)() > kOverLimitThreshold) StartOverLimitThread();
}

void CDDEServer::SubscribeSingleOption(const SubscriptionRequest& request,
                                       const char* unsubscribeText) {
  if (!request.subscribe) {
    Unsubscribe(request, unsubscribeText, request.symbolType);
    return;
  }
  const SubscriptionKey key = SubscriptionKey::Of(request);
  try {
    ServerObject()->Subscribe(_bstr_t(TopicToSymbol(Narrow(request.symbol)).c_str()),
                              request.symbolType, request.kind);
    m_subscriptions.Accepted(key);
  } catch (const _com_error& e) {
    SubscriptionRefused(key, request, &e, false);
  }
}

void CDDEServer::SubscribeOptions(const SubscriptionRequest& request) {
  SubscribeOptionChain<OptionEntry, IOptionsEnt>(
      request, g_DataHolder.option, enOption, enEquity, "Subscribing to options ",
      "Unsubscribe from options %s", false, m_optionOverLimit,
      &CDDEServer::CountActiveOptionSubscriptions,
      [](IZmOrvEntPtr& server, const _bstr_t& s) { return server->GetOptionBySymbol(s); },
      [](IZmOrvEntPtr& server, const _bstr_t& s) { return server->GetOptionsByStock(s); });
}

void CDDEServer::SubscribeNstdOptions(const SubscriptionRequest& request) {
  SubscribeOptionChain<NstdOptionEntry, INstdOptionsEnt>(
      request, g_DataHolder.nstdOption, enNstdOption, enEquity, "Subscribing to Nstdoptions ",
      "Unsubscribe from Nstdoptions %s", false, m_nstdOptionOverLimit,
      &CDDEServer::CountActiveNstdOptionSubscriptions,
      [](IZmOrvEntPtr& server, const _bstr_t& s) {
        // The server's lookup by symbol takes an underlying and hands out its
        // options: the option itself is found among all of them.
        INstdOptionsEntPtr all = server->GetNstdOptionsAll();
        while (all && all->GetSymbol() != s) {
          if (all->Next() != VARIANT_TRUE) _com_issue_error(E_INVALIDARG);
        }
        return all;
      },
      [](IZmOrvEntPtr& server, const _bstr_t& s) { return server->GetNstdOptionsByStock(s); });
}

void CDDEServer::SubscribeFutOptions(const SubscriptionRequest& request) {
  SubscribeOptionChain<OptionEntry, IFutOptionsEnt>(
      request, g_DataHolder.futOption, enOption, enFuture, "Subscribing to future options ",
      "Unsubscribe from future options %s", true, m_futOptionOverLimit,
      &CDDEServer::CountActiveFutOptionSubscriptions,
      [](IZmOrvEntPtr& server, const _bstr_t& s) { return server->GetFutOptionBySymbol(s); },
      [](IZmOrvEntPtr& server, const _bstr_t& s) {
        return server->GetFutOptionsByFuturesSymbol(s);
      });
}

}  // namespace zmdde
