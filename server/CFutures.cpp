#include "server/CFutures.h"

#include "platform/log/Log.h"

CFutures::CFutures() {
  m_cur.Symbol = _bstr_t("");
  m_cur.RootSymbol = _bstr_t("");
  const LONG count = CountCreated();
  ORV_LOG(orvlog::kTrace,
          "CFutures object created 0x" << orvsrv::PtrText(this) << ". Total active objects " << count);
}

CFutures::~CFutures() {
  const LONG count = CountDeleted();
  ORV_LOG(orvlog::kTrace,
          "CFutures object deleted " << orvsrv::PtrText(this) << ". Total active objects " << count);
}

STDMETHODIMP CFutures::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID_IFuturesEnt) ? S_OK : S_FALSE;
}

STDMETHODIMP CFutures::GetFuturesData(BSTR* Symbol, BSTR* RootSymbol, DATE* ExpirationDate, float* LastPrice,
                                      BSTR* LastExchange, DATE* LastDate, LONG* LastSize, float* BidPrice,
                                      BSTR* BidExchange, DATE* BidDate, LONG* BidSize, float* AskPrice,
                                      BSTR* AskExchange, DATE* AskDate, LONG* AskSize, LONG* Volume) {
  if (!orvsrv::AllNonNull(Symbol, RootSymbol, ExpirationDate, LastPrice, LastExchange, LastDate, LastSize,
                          BidPrice, BidExchange, BidDate, BidSize, AskPrice, AskExchange, AskDate, AskSize,
                          Volume))
    return E_POINTER;
  CursorLock lock(this);
  orvsrv::OutStrings strings;
  strings.Add(m_cur.Symbol, Symbol);
  strings.Add(m_cur.RootSymbol, RootSymbol);
  strings.AddExchange(m_cur.LastExchange, LastExchange);
  strings.AddExchange(m_cur.BidExchange, BidExchange);
  strings.AddExchange(m_cur.AskExchange, AskExchange);
  const HRESULT hr = strings.Commit();
  if (FAILED(hr)) return hr;
  *ExpirationDate = m_cur.ExpirationDate;
  *LastPrice = m_cur.LastPrice;
  *LastDate = m_cur.LastDate;
  *LastSize = m_cur.LastSize;
  *BidPrice = m_cur.BidPrice;
  *BidDate = m_cur.BidDate;
  *BidSize = m_cur.BidSize;
  *AskPrice = m_cur.AskPrice;
  *AskDate = m_cur.AskDate;
  *AskSize = m_cur.AskSize;
  *Volume = m_cur.Volume;
  return S_OK;
}
