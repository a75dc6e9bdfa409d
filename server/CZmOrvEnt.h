// The main object: one per client of the automation server. Signing in
// binds it to the user's session, shared by every object signed in under
// the same user name; its methods subscribe and query through that
// session, and the session's tables send change events back through the
// object's connection point.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/com.h"
#include "feed/CDataHolder.h"
#include "feed/CEventClient.h"
#include "server/AtmSubscriptions.h"
#include "server/contract/BraskOrvEntTypes.h"
#include "server/CProxy_IZmOrvEventsEnt.h"
#include "platform/win/windows.h"

class CZmOrvEnt : public CComObjectRootEx<CComMultiThreadModel>,
                  public CComCoClass<CZmOrvEnt, &CLSID_ZmOrvEnt>,
                  public ISupportErrorInfo,
                  public IConnectionPointContainerImpl<CZmOrvEnt>,
                  public IDispatchImpl<IZmOrvEnt, &IID_IZmOrvEnt, &LIBID_BraskOrvEnt, 1, 0>,
                  public CProxy_IZmOrvEventsEnt<CZmOrvEnt> {
 public:
  // User name to session, ordered as COM strings compare. A method in
  // flight holds its session too, so that the module's stop, which drops
  // the map without waiting for the calls, never deletes one in use.
  typedef std::map<std::u16string, std::shared_ptr<CDataHolder>> DataHolderMap;

  CZmOrvEnt();
  ~CZmOrvEnt();

  DECLARE_REGISTRY_RESOURCEID(101)
  DECLARE_NOT_AGGREGATABLE(CZmOrvEnt)
  DECLARE_PROTECT_FINAL_CONSTRUCT()

  BEGIN_COM_MAP(CZmOrvEnt)
    COM_INTERFACE_ENTRY(IZmOrvEnt)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
    COM_INTERFACE_ENTRY(IConnectionPointContainer)
  END_COM_MAP()

  BEGIN_CONNECTION_POINT_MAP(CZmOrvEnt)
    CONNECTION_POINT_ENTRY(DIID__IZmOrvEventsEnt)
  END_CONNECTION_POINT_MAP()

  HRESULT FinalConstruct();
  void FinalRelease();

  // The module's start (true) and end (false) hook: the start makes the
  // stop event and the empty session map; the end sets the stop event and
  // deletes every session. The program's tray icon hangs on
  // SetObjectMainHooks.
  static void ObjectMain(bool starting);
  // Run by ObjectMain before its own work on start, and before deleting
  // the sessions on stop; null by default.
  static void SetObjectMainHooks(void (*onStart)(), void (*onStop)());

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid);

  // Sign-in, attachment and subscriptions.
  STDMETHODIMP Connect(BSTR UserName, BSTR Password);
  STDMETHODIMP Disconnect();
  STDMETHODIMP Attach(DataTypeEnum Type);
  STDMETHODIMP Detach(DataTypeEnum Type);
  STDMETHODIMP Subscribe(BSTR Symbol, SymbolTypeEnum SymbType, DataTypeEnum Type);
  STDMETHODIMP UnSubscribe(BSTR Symbol, SymbolTypeEnum SymbType, DataTypeEnum Type);
  STDMETHODIMP SubscribeAll(DataTypeEnum Type);
  STDMETHODIMP UnSubscribeAll(DataTypeEnum Type);
  STDMETHODIMP IsSymbolSubscribed(BSTR Symbol, SymbolTypeEnum SymbType, DataTypeEnum Type, VARIANT_BOOL* bVal);
  STDMETHODIMP SubscribeGroup(VARIANT symbolArray, SymbolTypeEnum SymbType, DataTypeEnum Type);
  STDMETHODIMP UnSubscribeGroup(VARIANT symbolArray, SymbolTypeEnum SymbType, DataTypeEnum Type);
  STDMETHODIMP FutConnect(BSTR UserName, BSTR Password);

  // Queries (CZmOrvEntQueries.cpp).
  STDMETHODIMP GetStockBySymbol(BSTR Symbol, IStocksEnt** pData);
  STDMETHODIMP GetStocksAll(IStocksEnt** pStocks);
  STDMETHODIMP GetOptionBySymbol(BSTR Symbol, IOptionsEnt** pData);
  STDMETHODIMP GetOptionsByStock(BSTR Symbol, IOptionsEnt** pOptions);
  STDMETHODIMP GetOptionsByStrike(BSTR StockSymbol, DOUBLE StrikePrice, IOptionsEnt** pOptions);
  STDMETHODIMP GetOptionsByExpiry(BSTR StockSymbol, DATE ExpirationDate, IOptionsEnt** pOptions);
  STDMETHODIMP GetOptionsAll(IOptionsEnt** pOptions);
  STDMETHODIMP GetIVIndexesByStock(BSTR StockSymbol, IIVIndexesEnt** pIVIndexes);
  STDMETHODIMP GetIVIndexesByTerm(BSTR StockSymbol, SHORT Term, IIVIndexesEnt** pIVIndexData);
  STDMETHODIMP GetIVIndexesAll(IIVIndexesEnt** pIVIndexes);
  STDMETHODIMP GetIVSurfacesByStock(BSTR StockSymbol, IIVSurfacesEnt** pIVSurfaces);
  STDMETHODIMP GetIVSurfacesByTerm(BSTR StockSymbol, SHORT Term, IIVSurfacesEnt** pIVSurfaces);
  STDMETHODIMP GetIVSurfacesByOTM(BSTR StockSymbol, SHORT Otm, IIVSurfacesEnt** pIVSurfaces);
  STDMETHODIMP GetIVSurfacesAll(IIVSurfacesEnt** pIVSurface);
  STDMETHODIMP GetIVSurfaceUnique(BSTR StockSymbol, SHORT Term, SHORT Otm, OptionTypeEnum Type, IIVSurfacesEnt** pIVSurfaceData);
  STDMETHODIMP GetIRByPeriod(BSTR Currency, LONG Period, FLOAT* Rate);
  STDMETHODIMP GetIRByCurrency(BSTR Currency, IInterestRateEnt** pInterestRate);
  STDMETHODIMP GetHV(BSTR Symbol, IHVEnt** pHV);
  STDMETHODIMP GetHVByTerm(BSTR Symbol, SHORT Term, FLOAT* HV);
  STDMETHODIMP GetATMByStock(BSTR StockSymbol, IIVATMEnt** pIVATMData);
  STDMETHODIMP GetStockBySymbol_Direct(BSTR Symbol, IStocksEnt** pData);
  STDMETHODIMP GetStocksAll_Direct(IStocksEnt** pStocks);
  STDMETHODIMP GetOptionBySymbol_Direct(BSTR Symbol, IOptionsEnt** pData);
  STDMETHODIMP GetOptionsByStock_Direct(BSTR Symbol, IOptionsEnt** pOptions);
  STDMETHODIMP GetOptionsByStrike_Direct(BSTR StockSymbol, DOUBLE StrikePrice, IOptionsEnt** pOptions);
  STDMETHODIMP GetOptionsByExpiry_Direct(BSTR StockSymbol, DATE ExpirationDate, IOptionsEnt** pOptions);
  STDMETHODIMP GetOptionsAll_Direct(IOptionsEnt** pOptions);
  STDMETHODIMP GetFutOptionBySymbol(BSTR Symbol, IFutOptionsEnt** pData);
  STDMETHODIMP GetFutOptionsByFuturesSymbol(BSTR Symbol, IFutOptionsEnt** pOptions);
  STDMETHODIMP GetFutOptionsByStrike(BSTR StockSymbol, DOUBLE StrikePrice, IFutOptionsEnt** pOptions);
  STDMETHODIMP GetFutOptionsByExpiry(BSTR StockSymbol, DATE ExpirationDate, IFutOptionsEnt** pOptions);
  STDMETHODIMP GetFutOptionsAll(IFutOptionsEnt** pOptions);
  STDMETHODIMP GetFuturesBySymbol(BSTR Symbol, IFuturesEnt** pData);
  STDMETHODIMP GetFuturesByRootSymbol(BSTR Symbol, IFuturesEnt** pFutures);
  STDMETHODIMP GetFuturesAll(IFuturesEnt** pFutures);
  STDMETHODIMP GetFutIVIndexesBySymbol(BSTR Symbol, IFutIVIndexesEnt** pIVIndexes);
  STDMETHODIMP GetFutIVIndexesByTerm(BSTR Symbol, SHORT Term, IFutIVIndexesEnt** pIVIndexData);
  STDMETHODIMP GetFutIVIndexesAll(IFutIVIndexesEnt** pIVIndexes);
  STDMETHODIMP GetFutIVSurfacesBySymbol(BSTR Symbol, IFutIVSurfacesEnt** pIVSurfaces);
  STDMETHODIMP GetFutIVSurfacesByTerm(BSTR StockSymbol, SHORT Term, IFutIVSurfacesEnt** pIVSurfaces);
  STDMETHODIMP GetFutIVSurfacesByOTM(BSTR StockSymbol, DOUBLE Otm, IFutIVSurfacesEnt** pIVSurfaces);
  STDMETHODIMP GetFutIVSurfacesAll(IFutIVSurfacesEnt** pIVSurface);
  STDMETHODIMP GetFutIVSurfaceUnique(BSTR StockSymbol, SHORT Term, DOUBLE Otm, OptionTypeEnum Type, IFutIVSurfacesEnt** pIVSurfaceData);
  STDMETHODIMP GetNstdOptionBySymbol(BSTR Symbol, INstdOptionsEnt** pData);
  STDMETHODIMP GetNstdOptionsByStock(BSTR Symbol, INstdOptionsEnt** pOptions);
  STDMETHODIMP GetNstdOptionsByStrike(BSTR StockSymbol, DOUBLE StrikePrice, INstdOptionsEnt** pOptions);
  STDMETHODIMP GetNstdOptionsByExpiry(BSTR StockSymbol, DATE ExpirationDate, INstdOptionsEnt** pOptions);
  STDMETHODIMP GetNstdOptionsAll(INstdOptionsEnt** pOptions);

  // ---- For the methods' own work --------------------------------------------

  // How a method runs in the common frame (see CallInFrame).
  enum FrameFlags : unsigned {
    kTakesSymbol = 1,         // an empty or null symbol is E_INVALIDARG
    kFuturesSide = 2,         // needs FutConnect rather than Connect
    kCommFailureClause = 4,   // COMM_FAILURE gets its own error text
    kNoCompletedLine = 8,     // the method logs no "() completed" line
  };

  // Runs work on the caller's session inside the frame every method
  // shares: the symbol check (before the lock) and its upper-casing in
  // place, the API lock, the connection check of the side, the session
  // lookup, and the handlers that turn every exception into an HRESULT
  // with error information; logs "CZmOrvEnt::<name>() completed" unless
  // told not to. The method logs its own started line before the call.
  // work answers the method's result on success.
  HRESULT CallInFrame(const char* name, BSTR symbol, unsigned flags,
                      const std::function<HRESULT(CDataHolder& session)>& work);

  // Sets text as the thread's error description and throws E_FAIL with it;
  // the frame's handlers report it.
  [[noreturn]] static void RaiseError(const std::string& text);

  // The object's identity in the session's subscriptions and the target of
  // its events.
  const CEventClientPtr& Client() const { return m_client; }

  // Closes the transport connection of every advised sink: the client is
  // then released as a dead one.
  void DisconnectSinks();

  // The process-wide lock around every method but Disconnect.
  static CRITICAL_SECTION& ApiLock();
  // The sessions; each access of the map is under the map's own lock,
  // which the release path and the module's stop share.
  static DataHolderMap& UserDataHolderMap();
  static LONG ActiveObjectCount();

 private:
  HRESULT SignIn(const char* name, BSTR UserName, BSTR Password, bool futures);
  // Only inside a catch block: rethrows the exception in flight to match it.
  // A null file leaves out the "Exception: " location line.
  HRESULT HandleCurrentException(const char* name, const char* file, int line, bool commFailureClause);
  static void _InitializeCORBA();
  // Lets the object's keys go in every session it joined, whatever its
  // later sign-ins did.
  static void _UnsubcribeThread(CZmOrvEnt* object);
  static void ReleaseFromSession(CDataHolder& session, const CEventClientPtr& client, const std::vector<int>& kinds);
  HRESULT SubscribeGroupImpl(const char* name, const VARIANT& symbolArray, SymbolTypeEnum SymbType,
                             DataTypeEnum Type, bool subscribe);

  CEventClientPtr m_client;
  // Every session the object signed in on, under any user name and on
  // either side: it may hold keys in each. Not owned, so that the module's
  // stop still ends them; used under the API lock, and by the release.
  std::vector<std::weak_ptr<CDataHolder>> m_sessions;
  // What this object holds for ATM beside its own stock and chain keys;
  // used under the API lock.
  orvsrv::CAtmSubscriptions m_atm;
  BSTR m_bstrUserName;
  BSTR m_bstrPassword;
  BYTE m_bConnected;
  BYTE m_bFutConnected;
};
