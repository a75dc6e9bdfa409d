// The non-standard option cursor: the option cursor's fields and its root
// identifier. It answers its own interface only, never the option one.
#pragma once

#include "server/OptionCursorSupport.h"

class CNstdOptions : public CComObjectRootEx<CComMultiThreadModel>,
                     public CComCoClass<CNstdOptions, &CLSID_NstdOptionsEnt>,
                     public ISupportErrorInfo,
                     public IDispatchImpl<INstdOptionsEnt, &IID_INstdOptionsEnt, &LIBID_BraskOrvEnt, 1, 0>,
                     public orvsrv::CCursorImpl<CNstdOptions, NstdOptionRecord> {
 public:
  CNstdOptions();
  ~CNstdOptions();

  DECLARE_REGISTRY_RESOURCEID(248)

  BEGIN_COM_MAP(CNstdOptions)
  COM_INTERFACE_ENTRY(INstdOptionsEnt)
  COM_INTERFACE_ENTRY(IDispatch)
  COM_INTERFACE_ENTRY(ISupportErrorInfo)
  END_COM_MAP()

  static const _bstr_t& Key(const NstdOptionRecord& r) { return r.StockSymbol; }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid);

  ORV_OPTION_CURSOR_GETTERS()
  ORV_CURSOR_GET_STRING(StockSymbol, m_cur.StockSymbol)
  ORV_CURSOR_GET_VALUE(RootID, LONG, m_cur.RootID)
  STDMETHODIMP GetNstdOptionData(BSTR* Symbol, BSTR* StockSymbol, OptionTypeEnum* OptionType,
                                 OptionStyleEnum* OptionStyle, float* StrikePrice, DATE* ExpirationDate,
                                 float* BidPrice, BSTR* BidExchange, DATE* BidDate, LONG* BidSize,
                                 float* AskPrice, BSTR* AskExchange, DATE* AskDate, LONG* AskSize, float* IV,
                                 float* PreIV, float* Delta, float* Vega, float* Gamma, float* Theta,
                                 float* Rho, LONG* Volume, LONG* RootID);
};
