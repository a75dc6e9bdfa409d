// The at-the-money volatility cursor of one underlying, by expiration.
#pragma once

#include "server/CursorSupport.h"

class CIVATM : public CComObjectRootEx<CComMultiThreadModel>,
              public CComCoClass<CIVATM, &CLSID_IVATMEnt>,
              public ISupportErrorInfo,
              public IDispatchImpl<IIVATMEnt, &IID_IIVATMEnt, &LIBID_BraskOrvEnt, 1, 0>,
              public orvsrv::CCursorImpl<CIVATM, IVATMRecord> {
 public:
  CIVATM();
  ~CIVATM();

  DECLARE_REGISTRY_RESOURCEID(138)

  BEGIN_COM_MAP(CIVATM)
    COM_INTERFACE_ENTRY(IIVATMEnt)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
  END_COM_MAP()

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid);

  ORV_CURSOR_GET_STRING(StockSymbol, m_cur.Symbol)
  ORV_CURSOR_GET_VALUE(ExpirationDate, DATE, static_cast<DATE>(m_cur.Expiration))
  ORV_CURSOR_GET_VALUE(IV, float, m_cur.IV)
  STDMETHODIMP Next(VARIANT_BOOL* bVal) { return NextImpl(bVal); }
  // At-the-money volatilities are walked, never searched: Find answers a
  // miss for every symbol.
  STDMETHODIMP Find(BSTR Symbol, VARIANT_BOOL* bVal);
  STDMETHODIMP GetIVATMData(BSTR* StockSymbol, DATE* ExpirationDate, float* IV);
};
