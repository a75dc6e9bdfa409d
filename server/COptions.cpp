#include "server/COptions.h"

#include "platform/log/Log.h"

COptions::COptions() {
  orvsrv::SetOptionDefaults(m_cur);
  const LONG count = CountCreated();
  ORV_LOG(orvlog::kTrace,
          "COptions object created " << orvsrv::PtrText(this) << ". Total active objects " << count);
}

COptions::~COptions() {
  const LONG count = CountDeleted();
  ORV_LOG(orvlog::kTrace,
          "COptions object deleted " << orvsrv::PtrText(this) << ". Total active objects " << count);
}

STDMETHODIMP COptions::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID_IOptionsEnt) ? S_OK : S_FALSE;
}

STDMETHODIMP COptions::GetOptionData(BSTR* Symbol, BSTR* StockSymbol, OptionTypeEnum* OptionType,
                                     OptionStyleEnum* OptionStyle, float* StrikePrice, DATE* ExpirationDate,
                                     float* BidPrice, BSTR* BidExchange, DATE* BidDate, LONG* BidSize,
                                     float* AskPrice, BSTR* AskExchange, DATE* AskDate, LONG* AskSize,
                                     float* IV, float* PreIV, float* Delta, float* Vega, float* Gamma,
                                     float* Theta, float* Rho, LONG* Volume) {
  CursorLock lock(this);
  const HRESULT hr =
      orvsrv::GetOptionFields(m_cur, Symbol, StockSymbol, OptionType, OptionStyle, StrikePrice,
                              ExpirationDate, BidPrice, BidExchange, BidDate, BidSize, AskPrice, AskExchange,
                              AskDate, AskSize, IV, PreIV, Delta, Vega, Gamma, Theta, Rho, Volume);
  return hr;
}
