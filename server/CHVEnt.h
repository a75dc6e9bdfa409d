// The historical volatility cursor of one symbol, by period.
#pragma once

#include "server/CursorSupport.h"

class CHVEnt : public CComObjectRootEx<CComMultiThreadModel>,
              public CComCoClass<CHVEnt, &CLSID_HVEnt>,
              public ISupportErrorInfo,
              public IDispatchImpl<IHVEnt, &IID_IHVEnt, &LIBID_BraskOrvEnt, 1, 0>,
              public orvsrv::CCursorImpl<CHVEnt, HVRecord> {
 public:
  CHVEnt();
  ~CHVEnt();

  DECLARE_REGISTRY_RESOURCEID(137)

  BEGIN_COM_MAP(CHVEnt)
    COM_INTERFACE_ENTRY(IHVEnt)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
  END_COM_MAP()

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid);

  ORV_CURSOR_GET_STRING(Symbol, m_cur.Symbol)
  ORV_CURSOR_GET_VALUE(Period, SHORT, m_cur.Period)
  ORV_CURSOR_GET_VALUE(HV, float, m_cur.HV)
  STDMETHODIMP Next(VARIANT_BOOL* bVal) { return NextImpl(bVal); }
  // Historical volatilities are walked, never searched: Find answers a
  // miss for every symbol.
  STDMETHODIMP Find(BSTR Symbol, VARIANT_BOOL* bVal);
  STDMETHODIMP GetHVData(BSTR* Symbol, SHORT* Period, float* HV);
};
