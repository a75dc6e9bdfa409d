// A subscribing client as the session's tables see it: the main object's
// event side, recording the events it is sent (with each row's symbol; the
// last price of stocks). Include it in one
// source of a test program: it defines the main object's event hook.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/com.h"
#include "feed/CEventClient.h"
#include "server/contract/CZmOrvEventSource.h"

class CZmOrvEnt : public CZmOrvEventSource {
 public:
  struct Row {
    std::string symbol;
    float last = 0;
  };
  struct Event {
    // "stocks", "options", "ivindex", "ivsurface", "futures", "futoptions",
    // "futivindex", "futivsurface" or "nstdoptions".
    std::string type = "stocks";
    bool direct = false;
    std::vector<Row> rows;
  };

  CZmOrvEnt() : m_handle(CEventClient::Create(this)) {}
  ~CZmOrvEnt() { m_handle->Detach(); }

  const CEventClientPtr& Handle() const { return m_handle; }

  HRESULT Fire_OnStocksChange(IStocksEnt* p) override { return Record(p, false); }
  HRESULT Fire_OnDirectStocksChange(IStocksEnt* p) override { return Record(p, true); }
  HRESULT Fire_OnOptionsChange(IOptionsEnt* p) override { return Rows(p, "options", false, &IOptionsEnt::get_Symbol); }
  HRESULT Fire_OnIVIndexChange(IIVIndexesEnt* p) override {
    return Rows(p, "ivindex", false, &IIVIndexesEnt::get_StockSymbol);
  }
  HRESULT Fire_OnIVSurfaceChange(IIVSurfacesEnt* p) override {
    return Rows(p, "ivsurface", false, &IIVSurfacesEnt::get_StockSymbol);
  }
  HRESULT Fire_OnDirectOptionsChange(IOptionsEnt* p) override {
    return Rows(p, "options", true, &IOptionsEnt::get_Symbol);
  }
  HRESULT Fire_OnFuturesChange(IFuturesEnt* p) override { return Rows(p, "futures", false, &IFuturesEnt::get_Symbol); }
  HRESULT Fire_OnFutOptionsChange(IFutOptionsEnt* p) override {
    return Rows(p, "futoptions", false, &IFutOptionsEnt::get_Symbol);
  }
  HRESULT Fire_OnFutIVIndexChange(IFutIVIndexesEnt* p) override {
    return Rows(p, "futivindex", false, &IFutIVIndexesEnt::get_UnderlyingSymbol);
  }
  HRESULT Fire_OnFutIVSurfaceChange(IFutIVSurfacesEnt* p) override {
    return Rows(p, "futivsurface", false, &IFutIVSurfacesEnt::get_UnderlyingSymbol);
  }
  HRESULT Fire_OnNstdOptionsChange(INstdOptionsEnt* p) override {
    return Rows(p, "nstdoptions", false, &INstdOptionsEnt::get_Symbol);
  }

  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }
  // Waits (bounded) until pred holds for the events so far.
  bool WaitFor(const std::function<bool(const std::vector<Event>&)>& pred, int ms = 10000) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return pred(m_events); });
  }
  // Called on the pool thread for each event, after it is kept.
  std::function<void(const Event&)> onEvent;

 private:
  HRESULT Record(IStocksEnt* cursor, bool direct) {
    Event e;
    e.direct = direct;
    VARIANT_BOOL more = VARIANT_TRUE;
    while (cursor != nullptr && more == VARIANT_TRUE) {
      Row row;
      row.symbol = Text(cursor, &IStocksEnt::get_Symbol);
      cursor->get_LastPrice(&row.last);
      e.rows.push_back(row);
      cursor->Next(&more);
    }
    return Keep(e);
  }

  template <class Cursor>
  static std::string Text(Cursor* cursor, HRESULT (STDMETHODCALLTYPE Cursor::*get)(BSTR*)) {
    BSTR s = nullptr;
    (cursor->*get)(&s);
    if (s == nullptr) return "";
    std::string out = orvcom::Narrow(s, SysStringLen(s));
    SysFreeString(s);
    return out;
  }

  // An empty cursor is an event without rows: a late subscriber's answer
  // when nothing is cached.
  template <class Cursor>
  HRESULT Rows(Cursor* cursor, const char* type, bool direct, HRESULT (STDMETHODCALLTYPE Cursor::*symbol)(BSTR*)) {
    Event e;
    e.type = type;
    e.direct = direct;
    VARIANT_BOOL more = VARIANT_TRUE;
    while (cursor != nullptr && more == VARIANT_TRUE) {
      Row row;
      row.symbol = Text(cursor, symbol);
      if (!row.symbol.empty()) e.rows.push_back(row);
      cursor->Next(&more);
    }
    return Keep(e);
  }

  HRESULT Keep(const Event& e) {
    if (onEvent) onEvent(e);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_events.push_back(e);
    }
    m_cv.notify_all();
    return S_OK;
  }

  CEventClientPtr m_handle;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<Event> m_events;
};
