#include "server/CStocks.h"

#include "platform/log/Log.h"

CStocks::CStocks() {
  m_cur.Symbol = _bstr_t("");
  m_cur.Currency = _bstr_t("");
  m_cur.StockType[0] = 'S';
  const LONG count = CountCreated();
  ORV_LOG(orvlog::kTrace,
          "CStocks object created 0x" << orvsrv::PtrText(this) << ". Total active objects " << count);
}

CStocks::~CStocks() {
  const LONG count = CountDeleted();
  ORV_LOG(orvlog::kTrace,
          "CStocks object deleted " << orvsrv::PtrText(this) << ". Total active objects " << count);
}

STDMETHODIMP CStocks::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID_IStocksEnt) ? S_OK : S_FALSE;
}

STDMETHODIMP CStocks::GetStockData(BSTR* Symbol, float* LastPrice, BSTR* LastExchange, DATE* LastDate,
                                   LONG* LastSize, float* BidPrice, BSTR* BidExchange, DATE* BidDate,
                                   LONG* BidSize, float* AskPrice, BSTR* AskExchange, DATE* AskDate,
                                   LONG* AskSize, LONG* Volume, StockTypeEnum* Type, LONG* DivFreq,
                                   DATE* DivLastDate, float* DivAmount, float* DivYield, BSTR* Currency) {
  if (!orvsrv::AllNonNull(Symbol, LastPrice, LastExchange, LastDate, LastSize, BidPrice, BidExchange, BidDate,
                          BidSize, AskPrice, AskExchange, AskDate, AskSize, Volume, Type, DivFreq,
                          DivLastDate, DivAmount, DivYield, Currency))
    return E_POINTER;
  CursorLock lock(this);
  orvsrv::OutStrings strings;
  strings.Add(m_cur.Symbol, Symbol);
  strings.AddExchange(m_cur.LastExchange, LastExchange);
  strings.AddExchange(m_cur.BidExchange, BidExchange);
  strings.AddExchange(m_cur.AskExchange, AskExchange);
  strings.Add(m_cur.Currency, Currency);
  const HRESULT hr = strings.Commit();
  if (FAILED(hr)) return hr;
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
  *Type = orvsrv::StockTypeOf(m_cur.StockType[0]);
  *DivFreq = m_cur.DivFreq;
  *DivLastDate = m_cur.DivLastDate;
  *DivAmount = DivAmountOf(m_cur);
  *DivYield = DivYieldOf(m_cur);
  return S_OK;
}
