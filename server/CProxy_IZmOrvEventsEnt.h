// The connection point of the main object for _IZmOrvEventsEnt and its fire
// operations. The main object inherits it and names the point in its map:
//   class CZmOrvEnt : ..., public IConnectionPointContainerImpl<CZmOrvEnt>,
//                     public CProxy_IZmOrvEventsEnt<CZmOrvEnt> {
//     BEGIN_CONNECTION_POINT_MAP(CZmOrvEnt)
//     CONNECTION_POINT_ENTRY(DIID__IZmOrvEventsEnt)
//     END_CONNECTION_POINT_MAP()
//   };
// T supplies Lock() and Unlock(), the object's lock, which also guards the
// sink list while Advise and Unadvise change it.
#pragma once

#include "platform/com/com.h"
#include "platform/log/Log.h"
#include "server/contract/CZmOrvEventSource.h"
#include "server/CursorSupport.h"

template <class T>
class CProxy_IZmOrvEventsEnt : public IConnectionPointImpl<T, &DIID__IZmOrvEventsEnt>,
                               public CZmOrvEventSource {
 public:
  HRESULT Fire_OnStocksChange(IStocksEnt* pData) override {
    return FireCursor(orvsrv::kOnStocksChange, pData, true);
  }
  HRESULT Fire_OnOptionsChange(IOptionsEnt* pData) override {
    return FireCursor(orvsrv::kOnOptionsChange, pData, false);
  }
  HRESULT Fire_OnIVIndexChange(IIVIndexesEnt* pData) override {
    return FireCursor(orvsrv::kOnIVIndexChange, pData, false);
  }
  HRESULT Fire_OnIVSurfaceChange(IIVSurfacesEnt* pData) override {
    return FireCursor(orvsrv::kOnIVSurfaceChange, pData, false);
  }
  HRESULT Fire_OnDirectStocksChange(IStocksEnt* pData) override {
    return FireCursor(orvsrv::kOnDirectStocksChange, pData, true);
  }
  HRESULT Fire_OnDirectOptionsChange(IOptionsEnt* pData) override {
    return FireCursor(orvsrv::kOnDirectOptionsChange, pData, false);
  }
  HRESULT Fire_OnFuturesChange(IFuturesEnt* pData) override {
    return FireCursor(orvsrv::kOnFuturesChange, pData, true);
  }
  HRESULT Fire_OnFutOptionsChange(IFutOptionsEnt* pData) override {
    return FireCursor(orvsrv::kOnFutOptionsChange, pData, false);
  }
  HRESULT Fire_OnFutIVIndexChange(IFutIVIndexesEnt* pData) override {
    return FireCursor(orvsrv::kOnFutIVIndexChange, pData, false);
  }
  HRESULT Fire_OnFutIVSurfaceChange(IFutIVSurfacesEnt* pData) override {
    return FireCursor(orvsrv::kOnFutIVSurfaceChange, pData, false);
  }
  HRESULT Fire_OnNstdOptionsChange(INstdOptionsEnt* pData) override {
    return FireCursor(orvsrv::kOnNstdOptionsChange, pData, false);
  }

 private:
  // Releases an interface when the scope ends, also when a sink throws.
  struct Releaser {
    IUnknown* p;
    ~Releaser() {
      if (p != nullptr) p->Release();
    }
  };
  struct VariantHolder {
    VARIANT v;
    VariantHolder() { VariantInit(&v); }
    ~VariantHolder() { VariantClear(&v); }
  };

  // Calls every advised sink once with the cursor as the one argument. The
  // number of slots is read once: a sink advised meanwhile beyond it misses
  // this event. Each slot is read under the object's lock and the sink is
  // called without it, so a slow or re-entrant client never blocks Advise,
  // Unadvise or the other events. A failed call is the client's business;
  // the remaining sinks are still called.
  HRESULT FireCursor(DISPID id, IDispatch* cursor, bool logCalls) {
    T* owner = static_cast<T*>(this);
    VariantHolder result;
    VariantHolder arg;
    // Read under the lock too: Advise may be growing the list meanwhile.
    owner->Lock();
    const int slots = this->m_vec.GetSize();
    owner->Unlock();
    for (int i = 0; i < slots; ++i) {
      IUnknown* sink = nullptr;
      owner->Lock();
      if (i < this->m_vec.GetSize()) {
        sink = this->m_vec.GetAt(i);
        if (sink != nullptr) sink->AddRef();
      }
      owner->Unlock();
      if (sink == nullptr) continue;
      Releaser sinkRef{sink};

      IDispatch* disp = nullptr;
      if (FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp))) || disp == nullptr)
        continue;
      Releaser dispRef{disp};

      VariantClear(&result.v);
      const HRESULT hr = VariantClear(&arg.v);
      if (FAILED(hr)) throw _com_error(hr);
      arg.v.vt = VT_DISPATCH;
      arg.v.pdispVal = cursor;
      if (cursor != nullptr) cursor->AddRef();

      DISPPARAMS params = {&arg.v, nullptr, 1, 0};
      if (logCalls) ORV_LOG(orvlog::kTrace, "IDispatch to " << static_cast<const void*>(disp));
      disp->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result.v, nullptr, nullptr);
      if (logCalls) ORV_LOG(orvlog::kTrace, "IDispatch from " << static_cast<const void*>(disp));
    }
    return S_OK;
  }
};
