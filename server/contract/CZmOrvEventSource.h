// The event side of a main object as the event tasks see it: one fire
// operation per event that the server raises. OnError and OnATMChange are
// never raised, so they have none.
//
// Tasks hold their client through the feed's counted handle, which holds
// this view of it; the main object's CProxy_IZmOrvEventsEnt<CZmOrvEnt> base
// implements it.
//
// A task fires with a reference of its own on the main object and no lock
// held across the sinks' calls; the fire takes the object's lock slot by
// slot. The main object detaches its handle in its final release, before
// its members go, and never while it holds its own lock.
#pragma once

#include "server/contract/BraskOrvEntTypes.h"

class CZmOrvEventSource {
 public:
  virtual HRESULT Fire_OnStocksChange(IStocksEnt* pData) = 0;
  virtual HRESULT Fire_OnOptionsChange(IOptionsEnt* pData) = 0;
  virtual HRESULT Fire_OnIVIndexChange(IIVIndexesEnt* pData) = 0;
  virtual HRESULT Fire_OnIVSurfaceChange(IIVSurfacesEnt* pData) = 0;
  virtual HRESULT Fire_OnDirectStocksChange(IStocksEnt* pData) = 0;
  virtual HRESULT Fire_OnDirectOptionsChange(IOptionsEnt* pData) = 0;
  virtual HRESULT Fire_OnFuturesChange(IFuturesEnt* pData) = 0;
  virtual HRESULT Fire_OnFutOptionsChange(IFutOptionsEnt* pData) = 0;
  virtual HRESULT Fire_OnFutIVIndexChange(IFutIVIndexesEnt* pData) = 0;
  virtual HRESULT Fire_OnFutIVSurfaceChange(IFutIVSurfacesEnt* pData) = 0;
  virtual HRESULT Fire_OnNstdOptionsChange(INstdOptionsEnt* pData) = 0;

 protected:
  ~CZmOrvEventSource() = default;
};

// The event identifiers of _IZmOrvEventsEnt.
namespace orvsrv {
enum ZmOrvEventId : DISPID {
  kOnStocksChange = 1,
  kOnOptionsChange = 2,
  kOnIVIndexChange = 3,
  kOnIVSurfaceChange = 4,
  kOnError = 5,
  kOnATMChange = 6,
  kOnDirectStocksChange = 7,
  kOnDirectOptionsChange = 8,
  kOnFuturesChange = 9,
  kOnFutOptionsChange = 10,
  kOnFutIVIndexChange = 11,
  kOnFutIVSurfaceChange = 12,
  kOnNstdOptionsChange = 13,
};
}  // namespace orvsrv
