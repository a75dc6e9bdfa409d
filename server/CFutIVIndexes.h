// The IV index cursor of futures: one point per underlying and term.
#pragma once

#include "server/CursorSupport.h"

class CFutIVIndexes : public CComObjectRootEx<CComMultiThreadModel>,
                     public CComCoClass<CFutIVIndexes, &CLSID_FutIVIndexesEnt>,
                     public ISupportErrorInfo,
                     public IDispatchImpl<IFutIVIndexesEnt, &IID_IFutIVIndexesEnt, &LIBID_BraskOrvEnt, 1, 0>,
                     public orvsrv::CCursorImpl<CFutIVIndexes, IVIndexRecord> {
 public:
  CFutIVIndexes();
  ~CFutIVIndexes();

  // The futures coclasses have no registry script.
  DECLARE_NO_REGISTRY()

  BEGIN_COM_MAP(CFutIVIndexes)
    COM_INTERFACE_ENTRY(IFutIVIndexesEnt)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
  END_COM_MAP()

  static const _bstr_t& Key(const IVIndexRecord& r) { return r.Symbol; }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid);

  ORV_CURSOR_GET_STRING(UnderlyingSymbol, m_cur.Symbol)
  ORV_CURSOR_GET_VALUE(Term, SHORT, m_cur.Term)
  ORV_CURSOR_GET_VALUE(IVIndexCall, float, m_cur.IVIndexCall)
  ORV_CURSOR_GET_VALUE(IVIndexPut, float, m_cur.IVIndexPut)
  STDMETHODIMP Next(VARIANT_BOOL* bVal) { return NextImpl(bVal); }
  STDMETHODIMP Find(BSTR Symbol, VARIANT_BOOL* bVal) { return FindImpl(Symbol, bVal); }
  STDMETHODIMP GetIVIndexData(BSTR* StockSymbol, SHORT* Term, float* IVIndexCall, float* IVIndexPut);
};
