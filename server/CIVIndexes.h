// The IV index cursor of stocks: one point per underlying and term.
#pragma once

#include "server/CursorSupport.h"

class CIVIndexes : public CComObjectRootEx<CComMultiThreadModel>,
                  public CComCoClass<CIVIndexes, &CLSID_IVIndexesEnt>,
                  public ISupportErrorInfo,
                  public IDispatchImpl<IIVIndexesEnt, &IID_IIVIndexesEnt, &LIBID_BraskOrvEnt, 1, 0>,
                  public orvsrv::CCursorImpl<CIVIndexes, IVIndexRecord> {
 public:
  CIVIndexes();
  ~CIVIndexes();

  DECLARE_REGISTRY_RESOURCEID(108)

  BEGIN_COM_MAP(CIVIndexes)
    COM_INTERFACE_ENTRY(IIVIndexesEnt)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
  END_COM_MAP()

  static const _bstr_t& Key(const IVIndexRecord& r) { return r.Symbol; }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid);

  ORV_CURSOR_GET_STRING(StockSymbol, m_cur.Symbol)
  ORV_CURSOR_GET_VALUE(Term, SHORT, m_cur.Term)
  ORV_CURSOR_GET_VALUE(IVIndexCall, float, m_cur.IVIndexCall)
  ORV_CURSOR_GET_VALUE(IVIndexPut, float, m_cur.IVIndexPut)
  STDMETHODIMP Next(VARIANT_BOOL* bVal) { return NextImpl(bVal); }
  STDMETHODIMP Find(BSTR Symbol, VARIANT_BOOL* bVal) { return FindImpl(Symbol, bVal); }
  STDMETHODIMP GetIVIndexData(BSTR* StockSymbol, SHORT* Term, float* IVIndexCall, float* IVIndexPut);
};
