// Small classes written with the runtime's templates the way the server's
// classes are: a main object on the generated IZmOrvEnt with error
// information and a connection point, and a cursor on IHVEnt.
#pragma once

#include <string>
#include <vector>

#include "BraskOrvEnt.h"
#include "platform/com/com.h"

// The history cursor: one record, read through properties and [out]s.
class ATL_NO_VTABLE CTestHV : public CComObjectRootEx<CComMultiThreadModel>,
                              public CComCoClass<CTestHV, &CLSID_HVEnt>,
                              public ISupportErrorInfo,
                              public IDispatchImpl<IHVEnt, &IID_IHVEnt, &LIBID_BraskOrvEnt> {
 public:
  DECLARE_NO_REGISTRY()
  BEGIN_COM_MAP(CTestHV)
  COM_INTERFACE_ENTRY(IHVEnt)
  COM_INTERFACE_ENTRY(IDispatch)
  COM_INTERFACE_ENTRY(ISupportErrorInfo)
  END_COM_MAP()

  STDMETHOD(InterfaceSupportsErrorInfo)(REFIID riid) override {
    return riid == IID_IHVEnt ? S_OK : S_FALSE;
  }
  STDMETHOD(get_Symbol)(BSTR* pVal) override {
    if (!pVal) return E_POINTER;
    *pVal = symbol.Copy();
    return S_OK;
  }
  STDMETHOD(get_Period)(SHORT* pVal) override {
    if (!pVal) return E_POINTER;
    *pVal = period;
    return S_OK;
  }
  STDMETHOD(get_HV)(FLOAT* pVal) override {
    if (!pVal) return E_POINTER;
    *pVal = hv;
    return S_OK;
  }
  STDMETHOD(Next)(VARIANT_BOOL* bVal) override {
    *bVal = VARIANT_FALSE;
    return S_OK;
  }
  STDMETHOD(Find)(BSTR, VARIANT_BOOL* bVal) override {
    *bVal = VARIANT_FALSE;
    return S_OK;
  }
  STDMETHOD(GetHVData)(BSTR* Symbol, SHORT* Period, FLOAT* HV) override {
    if (failData) {
      // A careless member that fails after handing out a string.
      *Symbol = SysAllocString(u"LEAK?");
      return E_FAIL;
    }
    *Symbol = symbol.Copy();
    *Period = period;
    *HV = hv;
    return S_OK;
  }

  CComBSTR symbol{u"IBM"};
  SHORT period = 30;
  FLOAT hv = 0.25f;
  bool failData = false;
};

// Counts live objects of the test classes so that lifetimes show.
inline int& LiveTestObjects() {
  static int count = 0;
  return count;
}

class ATL_NO_VTABLE CTestOrv
    : public CComObjectRootEx<CComMultiThreadModel>,
      public CComCoClass<CTestOrv, &CLSID_ZmOrvEnt>,
      public ISupportErrorInfo,
      public IConnectionPointContainerImpl<CTestOrv>,
      public IConnectionPointImpl<CTestOrv, &DIID__IZmOrvEventsEnt>,
      public IDispatchImpl<IZmOrvEnt, &IID_IZmOrvEnt, &LIBID_BraskOrvEnt> {
 public:
  CTestOrv() { ++LiveTestObjects(); }
  ~CTestOrv() { --LiveTestObjects(); }

  DECLARE_REGISTRY_RESOURCEID(101)
  BEGIN_COM_MAP(CTestOrv)
  COM_INTERFACE_ENTRY(IZmOrvEnt)
  COM_INTERFACE_ENTRY(IDispatch)
  COM_INTERFACE_ENTRY(ISupportErrorInfo)
  COM_INTERFACE_ENTRY(IConnectionPointContainer)
  END_COM_MAP()
  BEGIN_CONNECTION_POINT_MAP(CTestOrv)
  CONNECTION_POINT_ENTRY(DIID__IZmOrvEventsEnt)
  END_CONNECTION_POINT_MAP()

  static void ObjectMain(bool starting) { (starting ? starts() : stops())++; }
  static int& starts() {
    static int n = 0;
    return n;
  }
  static int& stops() {
    static int n = 0;
    return n;
  }

  HRESULT FinalConstruct() { return failConstruct() ? E_OUTOFMEMORY : S_OK; }
  void FinalRelease() { ++finalReleases(); }
  static bool& failConstruct() {
    static bool fail = false;
    return fail;
  }
  static int& finalReleases() {
    static int n = 0;
    return n;
  }

  STDMETHOD(InterfaceSupportsErrorInfo)(REFIID riid) override {
    return riid == IID_IZmOrvEnt ? S_OK : S_FALSE;
  }

  STDMETHOD(Connect)(BSTR UserName, BSTR Password) override {
    calls.push_back("Connect " + orvcom::Narrow(UserName));
    if (orvcom::Narrow(Password) != "secret")
      return Error("Invalid user id or password", GUID_NULL, E_FAIL);
    return S_OK;
  }
  STDMETHOD(GetStockBySymbol)(BSTR Symbol, IStocksEnt** pData) override {
    // Upper-cases the caller's own string, as the main object does.
    for (UINT i = 0, n = SysStringLen(Symbol); i < n; ++i)
      if (Symbol[i] >= 'a' && Symbol[i] <= 'z') Symbol[i] = char16_t(Symbol[i] - 32);
    calls.push_back("GetStockBySymbol " + orvcom::Narrow(Symbol));
    *pData = nullptr;
    return S_OK;
  }
  STDMETHOD(GetFuturesByRootSymbol)(BSTR Symbol, IFuturesEnt** pFutures) override {
    calls.push_back("GetFuturesByRootSymbol " + orvcom::Narrow(Symbol));
    *pFutures = nullptr;
    return S_OK;
  }
  STDMETHOD(GetFuturesAll)(IFuturesEnt** pFutures) override {
    calls.push_back("GetFuturesAll");
    *pFutures = nullptr;
    return S_OK;
  }
  STDMETHOD(GetIVSurfaceUnique)(BSTR StockSymbol, SHORT Term, SHORT Otm, OptionTypeEnum Type,
                                IIVSurfacesEnt** pIVSurfaceData) override {
    calls.push_back("GetIVSurfaceUnique " + orvcom::Narrow(StockSymbol) + " " +
                    std::to_string(Term) + " " + std::to_string(Otm) + " " +
                    std::to_string(int(Type)));
    *pIVSurfaceData = nullptr;
    return S_OK;
  }
  STDMETHOD(SubscribeGroup)(VARIANT symbolArray, SymbolTypeEnum, DataTypeEnum) override {
    if (symbolArray.vt != (VT_ARRAY | VT_BSTR)) return DISP_E_TYPEMISMATCH;
    LONG lb = 0, ub = -1;
    SafeArrayGetLBound(symbolArray.parray, 1, &lb);
    SafeArrayGetUBound(symbolArray.parray, 1, &ub);
    std::string line = "SubscribeGroup";
    for (LONG i = lb; i <= ub; ++i) {
      BSTR s = nullptr;
      SafeArrayGetElement(symbolArray.parray, &i, &s);
      line += " " + (s ? orvcom::Narrow(s) : std::string("(null)"));
      SysFreeString(s);
    }
    calls.push_back(line);
    return S_OK;
  }
  STDMETHOD(IsSymbolSubscribed)(BSTR Symbol, SymbolTypeEnum, DataTypeEnum,
                                VARIANT_BOOL* bVal) override {
    *bVal = orvcom::Narrow(Symbol) == "IBM" ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  STDMETHOD(GetHV)(BSTR Symbol, IHVEnt** pHV) override {
    CComObject<CTestHV>* hv = nullptr;
    HRESULT hr = CComObject<CTestHV>::CreateInstance(&hv);
    if (FAILED(hr)) return hr;
    hv->symbol = Symbol;
    return hv->QueryInterface(IID_IHVEnt, reinterpret_cast<void**>(pHV));
  }

  STDMETHOD(Disconnect)() override { return E_NOTIMPL; }
  STDMETHOD(Attach)(DataTypeEnum) override { return E_NOTIMPL; }
  STDMETHOD(Detach)(DataTypeEnum) override { return E_NOTIMPL; }
  STDMETHOD(GetStocksAll)(IStocksEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetOptionBySymbol)(BSTR, IOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetOptionsByStock)(BSTR, IOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetOptionsByStrike)(BSTR, DOUBLE, IOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetOptionsByExpiry)(BSTR, DATE, IOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetOptionsAll)(IOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetIVIndexesByStock)(BSTR, IIVIndexesEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetIVIndexesByTerm)(BSTR, SHORT, IIVIndexesEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetIVIndexesAll)(IIVIndexesEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetIVSurfacesByStock)(BSTR, IIVSurfacesEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetIVSurfacesByTerm)(BSTR, SHORT, IIVSurfacesEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetIVSurfacesByOTM)(BSTR, SHORT, IIVSurfacesEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetIVSurfacesAll)(IIVSurfacesEnt**) override { return E_NOTIMPL; }
  STDMETHOD(Subscribe)(BSTR, SymbolTypeEnum, DataTypeEnum) override { return E_NOTIMPL; }
  STDMETHOD(UnSubscribe)(BSTR, SymbolTypeEnum, DataTypeEnum) override { return E_NOTIMPL; }
  STDMETHOD(SubscribeAll)(DataTypeEnum) override { return E_NOTIMPL; }
  STDMETHOD(UnSubscribeAll)(DataTypeEnum) override { return E_NOTIMPL; }
  STDMETHOD(GetIRByPeriod)(BSTR, LONG, FLOAT*) override { return E_NOTIMPL; }
  STDMETHOD(GetIRByCurrency)(BSTR, IInterestRateEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetHVByTerm)(BSTR, SHORT, FLOAT*) override { return E_NOTIMPL; }
  STDMETHOD(UnSubscribeGroup)(VARIANT, SymbolTypeEnum, DataTypeEnum) override { return E_NOTIMPL; }
  STDMETHOD(GetATMByStock)(BSTR, IIVATMEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetStockBySymbol_Direct)(BSTR, IStocksEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetStocksAll_Direct)(IStocksEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetOptionBySymbol_Direct)(BSTR, IOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetOptionsByStock_Direct)(BSTR, IOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetOptionsByStrike_Direct)(BSTR, DOUBLE, IOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetOptionsByExpiry_Direct)(BSTR, DATE, IOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetOptionsAll_Direct)(IOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetFutOptionBySymbol)(BSTR, IFutOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetFutOptionsByFuturesSymbol)(BSTR, IFutOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetFutOptionsByStrike)(BSTR, DOUBLE, IFutOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetFutOptionsByExpiry)(BSTR, DATE, IFutOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetFutOptionsAll)(IFutOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetFuturesBySymbol)(BSTR, IFuturesEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetFutIVIndexesBySymbol)(BSTR, IFutIVIndexesEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetFutIVIndexesByTerm)(BSTR, SHORT, IFutIVIndexesEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetFutIVIndexesAll)(IFutIVIndexesEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetFutIVSurfacesBySymbol)(BSTR, IFutIVSurfacesEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetFutIVSurfacesByTerm)(BSTR, SHORT, IFutIVSurfacesEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetFutIVSurfacesByOTM)(BSTR, DOUBLE, IFutIVSurfacesEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetFutIVSurfacesAll)(IFutIVSurfacesEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetFutIVSurfaceUnique)(BSTR, SHORT, DOUBLE, OptionTypeEnum, IFutIVSurfacesEnt**) override { return E_NOTIMPL; }
  STDMETHOD(FutConnect)(BSTR, BSTR) override { return E_NOTIMPL; }
  STDMETHOD(GetNstdOptionBySymbol)(BSTR, INstdOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetNstdOptionsByStock)(BSTR, INstdOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetNstdOptionsByStrike)(BSTR, DOUBLE, INstdOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetNstdOptionsByExpiry)(BSTR, DATE, INstdOptionsEnt**) override { return E_NOTIMPL; }
  STDMETHOD(GetNstdOptionsAll)(INstdOptionsEnt**) override { return E_NOTIMPL; }

  std::vector<std::string> calls;
};
