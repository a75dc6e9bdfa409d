// What the three option cursors (options, non-standard options, futures
// options) share: their getters and the fields of their all-fields method.
// Callers hold the object's lock around GetOptionFields.
#pragma once

#include "server/CursorSupport.h"

namespace orvsrv {

template <class R>
HRESULT GetOptionFields(const R& cur, BSTR* Symbol, BSTR* Underlying, OptionTypeEnum* OptionType,
                        OptionStyleEnum* OptionStyle, float* StrikePrice, DATE* ExpirationDate,
                        float* BidPrice, BSTR* BidExchange, DATE* BidDate, LONG* BidSize, float* AskPrice,
                        BSTR* AskExchange, DATE* AskDate, LONG* AskSize, float* IV, float* PreIV,
                        float* Delta, float* Vega, float* Gamma, float* Theta, float* Rho, LONG* Volume) {
  if (!AllNonNull(Symbol, Underlying, OptionType, OptionStyle, StrikePrice, ExpirationDate, BidPrice,
                  BidExchange, BidDate, BidSize, AskPrice, AskExchange, AskDate, AskSize, IV, PreIV, Delta,
                  Vega, Gamma, Theta, Rho, Volume))
    return E_POINTER;
  OutStrings strings;
  strings.Add(cur.Symbol, Symbol);
  strings.Add(cur.StockSymbol, Underlying);
  strings.AddExchange(cur.BidExchange, BidExchange);
  strings.AddExchange(cur.AskExchange, AskExchange);
  const HRESULT hr = strings.Commit();
  if (FAILED(hr)) return hr;
  *OptionType = OptionTypeOf(cur.OptionType[0]);
  *OptionStyle = OptionStyleOf(cur.OptionStyle[0]);
  *StrikePrice = cur.StrikePrice;
  *ExpirationDate = cur.ExpirationDate;
  *BidPrice = cur.BidPrice;
  *BidDate = cur.BidDate;
  *BidSize = cur.BidSize;
  *AskPrice = cur.AskPrice;
  *AskDate = cur.AskDate;
  *AskSize = cur.AskSize;
  *IV = cur.IV;
  *PreIV = cur.PreIV;
  *Delta = cur.Delta;
  *Vega = cur.Vega;
  *Gamma = cur.Gamma;
  *Theta = cur.Theta;
  *Rho = cur.Rho;
  *Volume = cur.Volume;
  return S_OK;
}

// A new option cursor shows an empty symbol, an absent underlying, a call
// and American style.
template <class R>
void SetOptionDefaults(R& cur) {
  cur.Symbol = _bstr_t("");
  cur.OptionType[0] = 'C';
  cur.OptionStyle[0] = 'A';
}

}  // namespace orvsrv

// The getters every option cursor has, the underlying's aside.
#define ORV_OPTION_CURSOR_GETTERS()                                                          \
  ORV_CURSOR_GET_STRING(Symbol, m_cur.Symbol)                                                \
  ORV_CURSOR_GET_VALUE(StrikePrice, float, m_cur.StrikePrice)                                \
  ORV_CURSOR_GET_VALUE(ExpirationDate, DATE, m_cur.ExpirationDate)                           \
  ORV_CURSOR_GET_VALUE(OptionType, OptionTypeEnum, orvsrv::OptionTypeOf(m_cur.OptionType[0]))    \
  ORV_CURSOR_GET_VALUE(OptionStyle, OptionStyleEnum, orvsrv::OptionStyleOf(m_cur.OptionStyle[0])) \
  ORV_CURSOR_GET_VALUE(BidPrice, float, m_cur.BidPrice)                                      \
  ORV_CURSOR_GET_EXCHANGE(BidExchange, m_cur.BidExchange)                                    \
  ORV_CURSOR_GET_VALUE(BidDate, DATE, m_cur.BidDate)                                         \
  ORV_CURSOR_GET_VALUE(BidSize, LONG, m_cur.BidSize)                                         \
  ORV_CURSOR_GET_VALUE(AskPrice, float, m_cur.AskPrice)                                      \
  ORV_CURSOR_GET_EXCHANGE(AskExchange, m_cur.AskExchange)                                    \
  ORV_CURSOR_GET_VALUE(AskDate, DATE, m_cur.AskDate)                                         \
  ORV_CURSOR_GET_VALUE(AskSize, LONG, m_cur.AskSize)                                         \
  ORV_CURSOR_GET_VALUE(PreIV, float, m_cur.PreIV)                                            \
  ORV_CURSOR_GET_VALUE(IV, float, m_cur.IV)                                                  \
  ORV_CURSOR_GET_VALUE(Delta, float, m_cur.Delta)                                            \
  ORV_CURSOR_GET_VALUE(Gamma, float, m_cur.Gamma)                                            \
  ORV_CURSOR_GET_VALUE(Vega, float, m_cur.Vega)                                              \
  ORV_CURSOR_GET_VALUE(Theta, float, m_cur.Theta)                                            \
  ORV_CURSOR_GET_VALUE(Rho, float, m_cur.Rho)                                                \
  ORV_CURSOR_GET_VALUE(Volume, LONG, m_cur.Volume)                                           \
  ORV_CURSOR_GET_VALUE(OpenInterest, LONG, m_cur.OpenInterest)                               \
  ORV_CURSOR_GET_VALUE(LastPrice, float, m_cur.LastPrice)                                    \
  ORV_CURSOR_GET_EXCHANGE(LastExchange, m_cur.LastExchange)                                  \
  ORV_CURSOR_GET_VALUE(LastDate, DATE, m_cur.LastDate)                                       \
  ORV_CURSOR_GET_VALUE(LastSize, LONG, m_cur.LastSize)                                       \
  STDMETHODIMP Next(VARIANT_BOOL* bVal) { return NextImpl(bVal); }                           \
  STDMETHODIMP Find(BSTR Symbol, VARIANT_BOOL* bVal) { return FindImpl(Symbol, bVal); }
