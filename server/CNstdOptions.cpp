#include "server/CNstdOptions.h"

#include "platform/log/Log.h"

CNstdOptions::CNstdOptions() {
  orvsrv::SetOptionDefaults(m_cur);
  const LONG count = CountCreated();
  ORV_LOG(orvlog::kTrace,
          "CNstdOptions object created " << orvsrv::PtrText(this) << ". Total active objects " << count);
}

CNstdOptions::~CNstdOptions() {
  const LONG count = CountDeleted();
  ORV_LOG(orvlog::kTrace,
          "CNstdOptions object deleted " << orvsrv::PtrText(this) << ". Total active objects " << count);
}

STDMETHODIMP CNstdOptions::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID_INstdOptionsEnt) ? S_OK : S_FALSE;
}

STDMETHODIMP CNstdOptions::GetNstdOptionData(BSTR* Symbol, BSTR* StockSymbol, OptionTypeEnum* OptionType,
                                             OptionStyleEnum* OptionStyle, float* StrikePrice,
                                             DATE* ExpirationDate, float* BidPrice, BSTR* BidExchange,
                                             DATE* BidDate, LONG* BidSize, float* AskPrice, BSTR* AskExchange,
                                             DATE* AskDate, LONG* AskSize, float* IV, float* PreIV,
                                             float* Delta, float* Vega, float* Gamma, float* Theta,
                                             float* Rho, LONG* Volume, LONG* RootID) {
  if (RootID == nullptr) return E_POINTER;
  CursorLock lock(this);
  const HRESULT hr =
      orvsrv::GetOptionFields(m_cur, Symbol, StockSymbol, OptionType, OptionStyle, StrikePrice,
                              ExpirationDate, BidPrice, BidExchange, BidDate, BidSize, AskPrice, AskExchange,
                              AskDate, AskSize, IV, PreIV, Delta, Vega, Gamma, Theta, Rho, Volume);
  if (SUCCEEDED(hr)) *RootID = m_cur.RootID;
  return hr;
}
