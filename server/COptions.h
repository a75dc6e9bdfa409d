// The option cursor: options in the order they were produced (sorted sets
// by underlying, expiration, strike and type); Find positions on the first
// option of an underlying.
#pragma once

#include "server/OptionCursorSupport.h"

class COptions : public CComObjectRootEx<CComMultiThreadModel>,
                 public CComCoClass<COptions, &CLSID_OptionsEnt>,
                 public ISupportErrorInfo,
                 public IDispatchImpl<IOptionsEnt, &IID_IOptionsEnt, &LIBID_BraskOrvEnt, 1, 0>,
                 public orvsrv::CCursorImpl<COptions, OptionRecord> {
 public:
  COptions();
  ~COptions();

  DECLARE_REGISTRY_RESOURCEID(104)

  BEGIN_COM_MAP(COptions)
  COM_INTERFACE_ENTRY(IOptionsEnt)
  COM_INTERFACE_ENTRY(IDispatch)
  COM_INTERFACE_ENTRY(ISupportErrorInfo)
  END_COM_MAP()

  static const _bstr_t& Key(const OptionRecord& r) { return r.StockSymbol; }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid);

  ORV_OPTION_CURSOR_GETTERS()
  ORV_CURSOR_GET_STRING(StockSymbol, m_cur.StockSymbol)
  STDMETHODIMP GetOptionData(BSTR* Symbol, BSTR* StockSymbol, OptionTypeEnum* OptionType,
                             OptionStyleEnum* OptionStyle, float* StrikePrice, DATE* ExpirationDate,
                             float* BidPrice, BSTR* BidExchange, DATE* BidDate, LONG* BidSize,
                             float* AskPrice, BSTR* AskExchange, DATE* AskDate, LONG* AskSize, float* IV,
                             float* PreIV, float* Delta, float* Vega, float* Gamma, float* Theta, float* Rho,
                             LONG* Volume);
};
