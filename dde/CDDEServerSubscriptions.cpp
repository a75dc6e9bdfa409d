// The subscription routines: carry one queued request to the server and,
// on subscribing, store a first snapshot so that DDE clients see values
// before the first change event. They run on the worker thread.
#include <cstdio>
#include <map>
#include <vector>

#include "dde/CDDEServer.h"
#include "dde/CDDEServerFields.h"
#include "platform/ui/shellapi.h"
#include "platform/win/oledate.h"

namespace zmdde {

using namespace ddeserver;

namespace {

std::string Format(const char* format, const std::string& value) {
  const int size = std::snprintf(nullptr, 0, format, value.c_str());
  if (size <= 0) return std::string();
  std::string out(static_cast<size_t>(size) + 1, '\0');
  std::snprintf(&out[0], out.size(), format, value.c_str());
  out.resize(static_cast<size_t>(size));
  return out;
}

// The server's subscription limit is recognised by its text.
bool IsLimitError(const _com_error& e) { return Narrow(e.Description()).find("limit") != std::string::npos; }

_bstr_t ServerSymbol(const SubscriptionRequest& request) {
  return _bstr_t(TopicToSymbol(Narrow(request.symbol)).c_str());
}

// The whole OLE date of the first day of the date's month.
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

void CDDEServer::PauseWorker(DWORD milliseconds) {
  if (m_pause) {
    m_pause(milliseconds);
  } else if (m_quitEvent) {
    WaitForSingleObject(m_quitEvent, milliseconds);
  }
}

void CDDEServer::Unsubscribe(const SubscriptionRequest& request, const char* format,
                             SymbolTypeEnum symbolType) {
  IZmOrvEntPtr server = ServerObject();
  try {
    Balloon(Format(format, Narrow(request.symbol)).c_str(), "Unsubscribe", NIIF_INFO);
    server->UnSubscribe(ServerSymbol(request), symbolType, request.kind);
    ClearBalloon();
  } catch (const _com_error&) {
  }
}

void CDDEServer::SubscriptionRefused(const SubscriptionKey& key, const SubscriptionRequest& retry,
                                     const _com_error* error, bool held) {
  const bool first = m_subscriptions.Refused(key, retry, held);
  ClearBalloon();
  // Shown once: the refresh pass tries again every round.
  if (first && error && IsLimitError(*error))
    Balloon(Narrow(error->Description()).c_str(), "Subscribe", NIIF_ERROR);
  else if (first && error)
    ShowNotFound(retry, *error);
}

void CDDEServer::SubscribeStock(const SubscriptionRequest& request) {
  if (!request.subscribe) {
    Unsubscribe(request, "Unsubscribe from stock %s", enEquity);
    return;
  }
  orvwin::CritSecLock events(m_eventLock);
  IZmOrvEntPtr server = ServerObject();
  const SubscriptionKey key(enStockData, request.symbol);
  const _bstr_t symbol = ServerSymbol(request);
  bool subscribed = false;
  try {
    // Shown on the first try: a refused one is tried again every refresh.
    if (!m_subscriptions.Retrying(key))
      Balloon(Format("Subscribing to stock %s", Narrow(request.symbol)).c_str(), "Subscribe",
              NIIF_INFO);
    server->Subscribe(symbol, enEquity, enStockData);
    subscribed = true;
    IStocksEntPtr stock = server->GetStockBySymbol(symbol);
    ClearBalloon();

    std::map<SHORT, FLOAT> hvByTerm;
    try {
      IHVEntPtr hv = server->GetHV(symbol);
      if (hv) {
        do {
          const FLOAT value = hv->GetHV();
          hvByTerm.emplace(hv->GetPeriod(), value);
        } while (hv->Next() == VARIANT_TRUE);
      }
    } catch (const _com_error&) {
      // Historical volatility is optional: keep what was gathered.
    }

    StockFields fields;
    fields.Read(stock);
    // Read before the group lock is taken, so that a failing read leaves
    // the entry as it was rather than half written.
    const FLOAT priceClose = stock->GetPriceClose();
    const FLOAT priceHigh52wk = stock->GetPriceHigh52wk();
    const FLOAT priceLow52wk = stock->GetPriceLow52wk();
    const FLOAT ivx1m = stock->GetIVX1m();
    const FLOAT ivx1mYest = stock->GetIVX1mYest();
    const FLOAT ivx1mHigh52wk = stock->GetIVX1mHigh52wk();
    const FLOAT ivx1mLow52wk = stock->GetIVX1mLow52wk();
    const FLOAT hv1m = stock->GetHV1m();
    const FLOAT hv1mYest = stock->GetHV1mYest();
    const FLOAT hv1mHigh52wk = stock->GetHV1mHigh52wk();
    const FLOAT hv1mLow52wk = stock->GetHV1mLow52wk();
    const LONG optionVolumeCall = stock->GetOptionVolumeCall();
    const LONG optionVolumePut = stock->GetOptionVolumePut();
    const FLOAT optionVolumeAvg = stock->GetOptionVolumeAvg();
    const FLOAT outstandingShares = stock->GetOutstandingShares();

    m_subscriptions.Accepted(key);
    StoreGuard lock(g_DataHolder.stock.lock);
    auto it = g_DataHolder.stock.bySymbol.find(_bstr_t(SymbolToTopic(Narrow(fields.symbol)).c_str()));
    if (it == g_DataHolder.stock.bySymbol.end()) return;  // no client wants it any more
    StockEntry& e = *it->second;
    e.snapshot = 1;
    g_DataHolder.stock.changed.Mark(&e);
    fields.CopyTo(e);
    for (const auto& [term, value] : hvByTerm) e.hvByTerm[term].hv = value;
    e.priceClose = priceClose;
    e.priceHigh52wk = priceHigh52wk;
    e.priceLow52wk = priceLow52wk;
    e.ivx1m = ivx1m;
    e.ivx1mYest = ivx1mYest;
    e.ivx1mHigh52wk = ivx1mHigh52wk;
    e.ivx1mLow52wk = ivx1mLow52wk;
    e.hv1m = hv1m;
    e.hv1mYest = hv1mYest;
    e.hv1mHigh52wk = hv1mHigh52wk;
    e.hv1mLow52wk = hv1mLow52wk;
    e.optionVolumeCall = optionVolumeCall;
    e.optionVolumePut = optionVolumePut;
    e.optionVolumeAvg = optionVolumeAvg;
    e.outstandingShares = outstandingShares;
  } catch (const _com_error& e) {
    SubscriptionRefused(key, request, &e, subscribed);
  }
}

void CDDEServer::SubscribeFuture(const SubscriptionRequest& request) {
  if (!request.subscribe) {
    Unsubscribe(request, "Unsubscribe from future %s", enFuture);
    return;
  }
  orvwin::CritSecLock events(m_eventLock);
  IZmOrvEntPtr server = ServerObject();
  const SubscriptionKey key(enFutureData, request.symbol);
  const _bstr_t symbol = ServerSymbol(request);
  bool subscribed = false;
  try {
    // Shown on the first try: a refused one is tried again every refresh.
    if (!m_subscriptions.Retrying(key))
      Balloon(Format("Subscribing to future %s", Narrow(request.symbol)).c_str(), "Subscribe",
              NIIF_INFO);
    IFuturesEntPtr future = server->GetFuturesBySymbol(symbol);
    server->Subscribe(symbol, enFuture, enFutureData);
    subscribed = true;
    ClearBalloon();
    FuturesFields fields;
    fields.Read(future);
    m_subscriptions.Accepted(key);
    StoreGuard lock(g_DataHolder.futures.lock);
    auto it =
        g_DataHolder.futures.bySymbol.find(_bstr_t(SymbolToTopic(Narrow(fields.symbol)).c_str()));
    if (it == g_DataHolder.futures.bySymbol.end()) return;
    it->second->snapshot = 1;
    g_DataHolder.futures.changed.Mark(it->second);
    fields.CopyTo(*it->second);
  } catch (const _com_error& e) {
    SubscriptionRefused(key, request, &e, subscribed);
  }
}

namespace {

template <class Cursor>
void StoreIVIndexes(Cursor& cursor, IVIndexGroup& group, const _bstr_t& topic) {
  if (!cursor) return;
  do {
    IVIndexFields fields;
    fields.Read(cursor);
    StoreGuard lock(group.lock);
    const IVIndexKey key(topic, fields.term);
    auto it = group.byKey.find(key);
    IVIndexEntry* entry = nullptr;
    if (it == group.byKey.end()) {
      entry = new IVIndexEntry(topic, fields.term, fields.callIV, fields.putIV);
      group.entries.push_back(entry);
      group.byKey.emplace(key, entry);
      group.bySymbolAll.emplace(topic, entry);
    } else {
      entry = it->second;
      entry->callIV = fields.callIV;
      entry->putIV = fields.putIV;
    }
    entry->snapshot = 1;
    group.changed.Mark(entry);
  } while (cursor->Next() == VARIANT_TRUE);
}

template <class Cursor>
void StoreIVSurfaces(Cursor& cursor, IVSurfaceGroup& group, const _bstr_t& topic) {
  if (!cursor) return;
  do {
    IVSurfaceFields fields;
    fields.Read(cursor);
    StoreGuard lock(group.lock);
    auto it = group.byKey.find(IVSurfaceKey(topic, fields.term, fields.otm, fields.type));
    if (it == group.byKey.end()) continue;  // only points a client asked for
    fields.CopyTo(*it->second);
    it->second->snapshot = 1;
    group.changed.Mark(it->second);
  } while (cursor->Next() == VARIANT_TRUE);
}

}  // namespace

// The IV kinds subscribe first and take their snapshot right after, both
// under the event lock: a snapshot stored before a subscription the server
// then refused would stand in the cells as if it were live, while changes
// that arrive meanwhile wait for the lock and land on top of the snapshot.
template <class Cursor, class Store>
void CDDEServer::SubscribeThenSnapshot(const SubscriptionRequest& request,
                                       _com_ptr_t<Cursor> (*get)(IZmOrvEntPtr&, const _bstr_t&),
                                       Store&& store) {
  const SubscriptionKey key(request.kind, request.symbol);
  bool subscribed = false;
  orvwin::CritSecLock events(m_eventLock);
  IZmOrvEntPtr server = ServerObject();
  try {
    server->Subscribe(ServerSymbol(request), enEquity, request.kind);
    subscribed = true;
    _com_ptr_t<Cursor> cursor = get(server, ServerSymbol(request));
    store(cursor);
    m_subscriptions.Accepted(key);
  } catch (const _com_error& e) {
    SubscriptionRefused(key, request, &e, subscribed);
  }
}

void CDDEServer::SubscribeIVIndexes(const SubscriptionRequest& request) {
  if (!request.subscribe) {
    Unsubscribe(request, "Unsubscribe from ivindexes %s", enEquity);
    return;
  }
  SubscribeThenSnapshot<IIVIndexesEnt>(
      request,
      [](IZmOrvEntPtr& s, const _bstr_t& symbol) { return s->GetIVIndexesByStock(symbol); },
      [&](IIVIndexesEntPtr& cursor) { StoreIVIndexes(cursor, g_DataHolder.ivIndex, request.symbol); });
}

void CDDEServer::SubscribeFutIVIndexes(const SubscriptionRequest& request) {
  if (!request.subscribe) {
    Unsubscribe(request, "Unsubscribe from future ivindexes %s", enEquity);
    return;
  }
  SubscribeThenSnapshot<IFutIVIndexesEnt>(
      request,
      [](IZmOrvEntPtr& s, const _bstr_t& symbol) { return s->GetFutIVIndexesBySymbol(symbol); },
      [&](IFutIVIndexesEntPtr& cursor) {
        StoreIVIndexes(cursor, g_DataHolder.futIvIndex, request.symbol);
      });
}

void CDDEServer::SubscribeIVSurfaces(const SubscriptionRequest& request) {
  if (!request.subscribe) {
    Unsubscribe(request, "Unsubscribe from ivsurfaces %s", enEquity);
    return;
  }
  SubscribeThenSnapshot<IIVSurfacesEnt>(
      request,
      [](IZmOrvEntPtr& s, const _bstr_t& symbol) { return s->GetIVSurfacesByStock(symbol); },
      [&](IIVSurfacesEntPtr& cursor) {
        StoreIVSurfaces(cursor, g_DataHolder.ivSurface, request.symbol);
      });
}

void CDDEServer::SubscribeFutIVSurfaces(const SubscriptionRequest& request) {
  if (!request.subscribe) {
    Unsubscribe(request, "Unsubscribe from future ivsurface %s", enEquity);
    return;
  }
  SubscribeThenSnapshot<IFutIVSurfacesEnt>(
      request,
      [](IZmOrvEntPtr& s, const _bstr_t& symbol) { return s->GetFutIVSurfacesBySymbol(symbol); },
      [&](IFutIVSurfacesEntPtr& cursor) {
        StoreIVSurfaces(cursor, g_DataHolder.futIvSurface, request.symbol);
      });
}

void CDDEServer::SubscribeATM(const SubscriptionRequest& request) {
  if (!request.subscribe) {
    Unsubscribe(request, "Unsubscribe from IVATM %s", enEquity);
    return;
  }
  orvwin::CritSecLock events(m_eventLock);
  IZmOrvEntPtr server = ServerObject();
  const SubscriptionKey key(enIVATMData, request.symbol);
  const _bstr_t symbol = ServerSymbol(request);
  bool subscribed = false;
  try {
    IIVATMEntPtr cursor = server->GetATMByStock(symbol);
    // Shown on the first try: a refused one is tried again every refresh.
    if (!m_subscriptions.Retrying(key))
      Balloon(Format("Subscribing to ATM %s", Narrow(request.symbol)).c_str(), "Subscribe",
              NIIF_INFO);
    server->Subscribe(symbol, enEquity, enIVATMData);
    subscribed = true;
    ClearBalloon();
    m_subscriptions.Accepted(key);
    if (!cursor) return;
    AtmGroup& group = g_DataHolder.atm;
    do {
      _bstr_t stockSymbol;
      DATE expiry = 0;
      FLOAT iv = 0;
      cursor->GetIVATMData(stockSymbol.GetAddress(), &expiry, &iv);
      const AtmKey key(request.symbol, ExpiryMonthKey(expiry));
      StoreGuard lock(group.lock);
      auto it = group.byKey.find(key);
      AtmEntry* entry = nullptr;
      if (it == group.byKey.end()) {
        entry = new AtmEntry(key.symbol, key.expiry, iv);
        group.entries.push_back(entry);
        group.byKey.emplace(key, entry);
        group.bySymbolAll.emplace(key.symbol, entry);
      } else {
        entry = it->second;
        entry->iv = iv;
      }
      entry->snapshot = 1;
      group.changed.Mark(entry);
    } while (cursor->Next() == VARIANT_TRUE);
  } catch (const _com_error& e) {
    SubscriptionRefused(key, request, &e, subscribed);
  }
}

}  // namespace zmdde
