// The change events of the server: copy the announced records into the
// store entries that DDE clients use and mark them changed. Handlers never
// create entries.
#include <algorithm>

#include "dde/CDDEServer.h"
#include "dde/CDDEServerFields.h"

namespace zmdde {

using namespace ddeserver;

HRESULT CDDEServer::Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                           VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) {
  ++m_eventsInProgress;
  HRESULT hr = S_OK;
  if (!m_closing) {
    hr = IDispEventSimpleImpl::Invoke(dispid, riid, lcid, flags, params, result, excepInfo,
                                      argErr);
  }
  --m_eventsInProgress;
  return hr;
}

template <class Cursor, class Fn>
HRESULT CDDEServer::WalkEvent(IDispatch* dispatch, Fn&& perRecord) {
  orvwin::CritSecLock events(m_eventLock);
  // An event that waited for the lock while the object was being torn down
  // has nothing left to update.
  if (m_closing) return S_OK;
  if (!dispatch) return E_POINTER;
  Cursor* raw = nullptr;
  const HRESULT hr = dispatch->QueryInterface(__uuidof(Cursor), reinterpret_cast<void**>(&raw));
  if (FAILED(hr)) return hr;
  _com_ptr_t<Cursor> cursor(raw, false);
  try {
    do {
      perRecord(cursor);
    } while (cursor->Next() == VARIANT_TRUE);
  } catch (const _com_error& e) {
    // The walk stops at a failing cursor; what was stored stays.
    return e.Error();
  }
  return S_OK;
}

namespace {

template <class Group, class Fields>
void UpdateBySymbol(Group& group, const std::string& topic, const Fields& fields) {
  StoreGuard lock(group.lock);
  auto it = group.bySymbol.find(_bstr_t(topic.c_str()));
  if (it == group.bySymbol.end()) return;
  fields.CopyTo(*it->second);
  group.changed.Mark(it->second);
}

template <class Group>
bool TradeLinked(Group& group, const std::string& topic) {
  StoreGuard lock(group.lock);
  auto it = group.bySymbol.find(_bstr_t(topic.c_str()));
  return it != group.bySymbol.end() && it->second->tradeLinks > 0;
}

// The last trade is read, outside the group's lock, only for an option
// linked on it: each of its fields is one more call back to the server for
// every record, which a burst of thousands of records cannot afford.
template <class Group, class Cursor>
void UpdateOption(Group& group, const std::string& topic, const OptionFields& fields, Cursor& cursor) {
  OptionTradeFields trade;
  const bool withTrade = TradeLinked(group, topic);
  if (withTrade) trade.Read(cursor);
  StoreGuard lock(group.lock);
  auto it = group.bySymbol.find(_bstr_t(topic.c_str()));
  if (it == group.bySymbol.end()) return;
  fields.CopyChangeTo(*it->second);
  fields.CopyRootTo(*it->second);
  if (withTrade) trade.CopyTo(*it->second);
  group.changed.Mark(it->second);
}

void UpdateIVIndex(IVIndexGroup& group, const std::string& topic, const IVIndexFields& fields) {
  StoreGuard lock(group.lock);
  auto it = group.byKey.find(IVIndexKey(_bstr_t(topic.c_str()), fields.term));
  if (it == group.byKey.end()) return;
  it->second->callIV = fields.callIV;
  it->second->putIV = fields.putIV;
  group.changed.Mark(it->second);
}

void UpdateIVSurface(IVSurfaceGroup& group, const std::string& topic,
                     const IVSurfaceFields& fields) {
  StoreGuard lock(group.lock);
  auto it = group.byKey.find(
      IVSurfaceKey(_bstr_t(topic.c_str()), fields.term, fields.otm, fields.type));
  if (it == group.byKey.end()) return;
  fields.CopyTo(*it->second);
  group.changed.Mark(it->second);
}

}  // namespace

HRESULT CDDEServer::OnStocksChange(IDispatch* dispatch) {
  return WalkEvent<IStocksEnt>(dispatch, [this](IStocksEntPtr& cursor) {
    StockFields fields;
    fields.Read(cursor);
    const std::string topic = SymbolToTopic(Narrow(fields.symbol));
    if (!FindTopicHandle(topic)) return;
    {
      orvwin::CritSecLock poll(m_atmPollLock);
      if (std::find(m_atmPollList.begin(), m_atmPollList.end(), topic) == m_atmPollList.end())
        m_atmPollList.push_back(topic);
    }
    UpdateBySymbol(g_DataHolder.stock, topic, fields);
  });
}

HRESULT CDDEServer::OnFuturesChange(IDispatch* dispatch) {
  return WalkEvent<IFuturesEnt>(dispatch, [this](IFuturesEntPtr& cursor) {
    FuturesFields fields;
    fields.Read(cursor);
    const std::string topic = SymbolToTopic(Narrow(fields.symbol));
    if (!FindTopicHandle(topic)) return;
    UpdateBySymbol(g_DataHolder.futures, topic, fields);
  });
}

HRESULT CDDEServer::OnOptionsChange(IDispatch* dispatch) {
  return WalkEvent<IOptionsEnt>(dispatch, [this](IOptionsEntPtr& cursor) {
    OptionFields fields;
    fields.Read(cursor);
    const std::string topic = Narrow(fields.symbol);  // option symbols are topics as they stand
    if (!FindTopicHandle(topic)) return;
    UpdateOption(g_DataHolder.option, topic, fields, cursor);
  });
}

HRESULT CDDEServer::OnNstdOptionsChange(IDispatch* dispatch) {
  return WalkEvent<INstdOptionsEnt>(dispatch, [this](INstdOptionsEntPtr& cursor) {
    OptionFields fields;
    fields.Read(cursor);
    const std::string topic = Narrow(fields.symbol);
    if (!FindTopicHandle(topic)) return;
    UpdateOption(g_DataHolder.nstdOption, topic, fields, cursor);
  });
}

HRESULT CDDEServer::OnFutOptionsChange(IDispatch* dispatch) {
  return WalkEvent<IFutOptionsEnt>(dispatch, [this](IFutOptionsEntPtr& cursor) {
    OptionFields fields;
    fields.Read(cursor);
    const std::string topic = SymbolToTopic(Narrow(fields.symbol));
    if (!FindTopicHandle(topic)) return;
    UpdateOption(g_DataHolder.futOption, topic, fields, cursor);
  });
}

HRESULT CDDEServer::OnIVIndexChange(IDispatch* dispatch) {
  return WalkEvent<IIVIndexesEnt>(dispatch, [this](IIVIndexesEntPtr& cursor) {
    IVIndexFields fields;
    fields.Read(cursor);
    const std::string topic = SymbolToTopic(Narrow(fields.symbol));
    if (!FindTopicHandle(topic)) return;
    UpdateIVIndex(g_DataHolder.ivIndex, topic, fields);
  });
}

HRESULT CDDEServer::OnFutIVIndexChange(IDispatch* dispatch) {
  return WalkEvent<IFutIVIndexesEnt>(dispatch, [this](IFutIVIndexesEntPtr& cursor) {
    IVIndexFields fields;
    fields.Read(cursor);
    const std::string topic = SymbolToTopic(Narrow(fields.symbol));
    if (!FindTopicHandle(topic)) return;
    UpdateIVIndex(g_DataHolder.futIvIndex, topic, fields);
  });
}

HRESULT CDDEServer::OnIVSurfaceChange(IDispatch* dispatch) {
  return WalkEvent<IIVSurfacesEnt>(dispatch, [this](IIVSurfacesEntPtr& cursor) {
    IVSurfaceFields fields;
    fields.Read(cursor);
    const std::string topic = SymbolToTopic(Narrow(fields.symbol));
    if (!FindTopicHandle(topic)) return;
    UpdateIVSurface(g_DataHolder.ivSurface, topic, fields);
  });
}

HRESULT CDDEServer::OnFutIVSurfaceChange(IDispatch* dispatch) {
  return WalkEvent<IFutIVSurfacesEnt>(dispatch, [this](IFutIVSurfacesEntPtr& cursor) {
    IVSurfaceFields fields;
    fields.Read(cursor);
    const std::string topic = SymbolToTopic(Narrow(fields.symbol));
    if (!FindTopicHandle(topic)) return;
    UpdateIVSurface(g_DataHolder.futIvSurface, topic, fields);
  });
}

HRESULT CDDEServer::OnError(LONG, BSTR) { return S_OK; }

// ATM values are polled, not pushed.
HRESULT CDDEServer::OnATMChange(IDispatch*) { return S_OK; }

}  // namespace zmdde
