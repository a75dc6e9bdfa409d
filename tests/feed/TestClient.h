// A subscribing client as the session's tables see it: the main object's
// event side, recording the stock events it is sent. Include it in one
// source of a test program: it defines the main object's event hook.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "com/com.h"
#include "feed/CEventClient.h"
#include "server/CZmOrvEventSource.h"

class CZmOrvEnt : public CZmOrvEventSource {
 public:
  struct Row {
    std::string symbol;
    float last = 0;
  };
  struct Event {
    bool direct = false;
    std::vector<Row> rows;
  };

  CZmOrvEnt() : m_handle(CEventClient::Create(this)) {}
  ~CZmOrvEnt() { m_handle->Detach(); }

  const CEventClientPtr& Handle() const { return m_handle; }

  HRESULT Fire_OnStocksChange(IStocksEnt* p) override { return Record(p, false); }
  HRESULT Fire_OnDirectStocksChange(IStocksEnt* p) override { return Record(p, true); }
  HRESULT Fire_OnOptionsChange(IOptionsEnt*) override { return S_OK; }
  HRESULT Fire_OnIVIndexChange(IIVIndexesEnt*) override { return S_OK; }
  HRESULT Fire_OnIVSurfaceChange(IIVSurfacesEnt*) override { return S_OK; }
  HRESULT Fire_OnDirectOptionsChange(IOptionsEnt*) override { return S_OK; }
  HRESULT Fire_OnFuturesChange(IFuturesEnt*) override { return S_OK; }
  HRESULT Fire_OnFutOptionsChange(IFutOptionsEnt*) override { return S_OK; }
  HRESULT Fire_OnFutIVIndexChange(IFutIVIndexesEnt*) override { return S_OK; }
  HRESULT Fire_OnFutIVSurfaceChange(IFutIVSurfacesEnt*) override { return S_OK; }
  HRESULT Fire_OnNstdOptionsChange(INstdOptionsEnt*) override { return S_OK; }

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
      BSTR s = nullptr;
      cursor->get_Symbol(&s);
      if (s != nullptr) {
        row.symbol = orvcom::Narrow(s, SysStringLen(s));
        SysFreeString(s);
      }
      cursor->get_LastPrice(&row.last);
      e.rows.push_back(row);
      cursor->Next(&more);
    }
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

CZmOrvEventSource* ZmOrvEventSourceOf(CZmOrvEnt* client) { return client; }
