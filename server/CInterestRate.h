// The interest-rate cursor: the rates of one currency by period.
#pragma once

#include "server/CursorSupport.h"

class CInterestRate : public CComObjectRootEx<CComMultiThreadModel>,
                     public CComCoClass<CInterestRate, &CLSID_InterestRateEnt>,
                     public ISupportErrorInfo,
                     public IDispatchImpl<IInterestRateEnt, &IID_IInterestRateEnt, &LIBID_BraskOrvEnt, 1, 0>,
                     public orvsrv::CCursorImpl<CInterestRate, InterestRateRecord> {
 public:
  CInterestRate();
  ~CInterestRate();

  DECLARE_REGISTRY_RESOURCEID(136)

  BEGIN_COM_MAP(CInterestRate)
    COM_INTERFACE_ENTRY(IInterestRateEnt)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
  END_COM_MAP()

  static const _bstr_t& Key(const InterestRateRecord& r) { return r.Currency; }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid);

  ORV_CURSOR_GET_STRING(Currency, m_cur.Currency)
  ORV_CURSOR_GET_VALUE(Period, LONG, m_cur.Period)
  ORV_CURSOR_GET_VALUE(Rate, float, m_cur.Rate)
  STDMETHODIMP Next(VARIANT_BOOL* bVal) { return NextImpl(bVal); }
  STDMETHODIMP Find(BSTR Symbol, VARIANT_BOOL* bVal) { return FindImpl(Symbol, bVal); }
  STDMETHODIMP GetInterestRateData(BSTR* Currency, LONG* Period, float* Rate);
};
