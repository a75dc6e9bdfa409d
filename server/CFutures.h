// The futures cursor. The record's type code is only a sort key and is not
// shown.
#pragma once

#include "server/CursorSupport.h"

class CFutures : public CComObjectRootEx<CComMultiThreadModel>,
                public CComCoClass<CFutures, &CLSID_FuturesEnt>,
                public ISupportErrorInfo,
                public IDispatchImpl<IFuturesEnt, &IID_IFuturesEnt, &LIBID_BraskOrvEnt, 1, 0>,
                public orvsrv::CCursorImpl<CFutures, FuturesRecord> {
 public:
  CFutures();
  ~CFutures();

  // The futures coclasses have no registry script.
  DECLARE_NO_REGISTRY()

  BEGIN_COM_MAP(CFutures)
    COM_INTERFACE_ENTRY(IFuturesEnt)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
  END_COM_MAP()

  static const _bstr_t& Key(const FuturesRecord& r) { return r.Symbol; }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid);

  ORV_CURSOR_GET_STRING(Symbol, m_cur.Symbol)
  ORV_CURSOR_GET_STRING(RootSymbol, m_cur.RootSymbol)
  ORV_CURSOR_GET_VALUE(ExpirationDate, DATE, m_cur.ExpirationDate)
  ORV_CURSOR_GET_VALUE(LastPrice, float, m_cur.LastPrice)
  ORV_CURSOR_GET_EXCHANGE(LastExchange, m_cur.LastExchange)
  ORV_CURSOR_GET_VALUE(LastDate, DATE, m_cur.LastDate)
  ORV_CURSOR_GET_VALUE(LastSize, LONG, m_cur.LastSize)
  ORV_CURSOR_GET_VALUE(BidPrice, float, m_cur.BidPrice)
  ORV_CURSOR_GET_EXCHANGE(BidExchange, m_cur.BidExchange)
  ORV_CURSOR_GET_VALUE(BidDate, DATE, m_cur.BidDate)
  ORV_CURSOR_GET_VALUE(BidSize, LONG, m_cur.BidSize)
  ORV_CURSOR_GET_VALUE(AskPrice, float, m_cur.AskPrice)
  ORV_CURSOR_GET_EXCHANGE(AskExchange, m_cur.AskExchange)
  ORV_CURSOR_GET_VALUE(AskDate, DATE, m_cur.AskDate)
  ORV_CURSOR_GET_VALUE(AskSize, LONG, m_cur.AskSize)
  ORV_CURSOR_GET_VALUE(Volume, LONG, m_cur.Volume)
  STDMETHODIMP Next(VARIANT_BOOL* bVal) { return NextImpl(bVal); }
  STDMETHODIMP Find(BSTR Symbol, VARIANT_BOOL* bVal) { return FindImpl(Symbol, bVal); }
  STDMETHODIMP GetFuturesData(BSTR* Symbol, BSTR* RootSymbol, DATE* ExpirationDate, float* LastPrice,
                              BSTR* LastExchange, DATE* LastDate, LONG* LastSize, float* BidPrice,
                              BSTR* BidExchange, DATE* BidDate, LONG* BidSize, float* AskPrice,
                              BSTR* AskExchange, DATE* AskDate, LONG* AskSize, LONG* Volume);
};
