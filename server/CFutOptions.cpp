#include "server/CFutOptions.h"

#include "platform/log/Log.h"

CFutOptions::CFutOptions() {
  orvsrv::SetOptionDefaults(m_cur);
  const LONG count = CountCreated();
  ORV_LOG(orvlog::kTrace,
          "CFutureOptions object created " << orvsrv::PtrText(this) << ". Total active objects " << count);
}

CFutOptions::~CFutOptions() {
  const LONG count = CountDeleted();
  ORV_LOG(orvlog::kTrace,
          "CFutureOptions object deleted " << orvsrv::PtrText(this) << ". Total active objects " << count);
}

STDMETHODIMP CFutOptions::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID_IFutOptionsEnt) ? S_OK : S_FALSE;
}

STDMETHODIMP CFutOptions::GetOptionData(BSTR* Symbol, BSTR* FutureSymbol, OptionTypeEnum* OptionType,
                                        OptionStyleEnum* OptionStyle, float* StrikePrice,
                                        DATE* ExpirationDate, float* BidPrice, BSTR* BidExchange,
                                        DATE* BidDate, LONG* BidSize, float* AskPrice, BSTR* AskExchange,
                                        DATE* AskDate, LONG* AskSize, float* IV, float* PreIV, float* Delta,
                                        float* Vega, float* Gamma, float* Theta, float* Rho, LONG* Volume) {
  CursorLock lock(this);
  const HRESULT hr =
      orvsrv::GetOptionFields(m_cur, Symbol, FutureSymbol, OptionType, OptionStyle, StrikePrice,
                              ExpirationDate, BidPrice, BidExchange, BidDate, BidSize, AskPrice, AskExchange,
                              AskDate, AskSize, IV, PreIV, Delta, Vega, Gamma, Theta, Rho, Volume);
  return hr;
}
