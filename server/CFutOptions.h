// The futures option cursor: option records whose underlying is a future,
// shown as FuturesSymbol.
#pragma once

#include "server/OptionCursorSupport.h"

class CFutOptions : public CComObjectRootEx<CComMultiThreadModel>,
                    public CComCoClass<CFutOptions, &CLSID_FutOptionsEnt>,
                    public ISupportErrorInfo,
                    public IDispatchImpl<IFutOptionsEnt, &IID_IFutOptionsEnt, &LIBID_BraskOrvEnt, 1, 0>,
                    public orvsrv::CCursorImpl<CFutOptions, OptionRecord> {
 public:
  CFutOptions();
  ~CFutOptions();

  // The futures coclasses have no registry script.
  DECLARE_NO_REGISTRY()

  BEGIN_COM_MAP(CFutOptions)
  COM_INTERFACE_ENTRY(IFutOptionsEnt)
  COM_INTERFACE_ENTRY(IDispatch)
  COM_INTERFACE_ENTRY(ISupportErrorInfo)
  END_COM_MAP()

  static const _bstr_t& Key(const OptionRecord& r) { return r.StockSymbol; }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid);

  ORV_OPTION_CURSOR_GETTERS()
  ORV_CURSOR_GET_STRING(FuturesSymbol, m_cur.StockSymbol)
  STDMETHODIMP GetOptionData(BSTR* Symbol, BSTR* FutureSymbol, OptionTypeEnum* OptionType,
                             OptionStyleEnum* OptionStyle, float* StrikePrice, DATE* ExpirationDate,
                             float* BidPrice, BSTR* BidExchange, DATE* BidDate, LONG* BidSize,
                             float* AskPrice, BSTR* AskExchange, DATE* AskDate, LONG* AskSize, float* IV,
                             float* PreIV, float* Delta, float* Vega, float* Gamma, float* Theta, float* Rho,
                             LONG* Volume);
};
