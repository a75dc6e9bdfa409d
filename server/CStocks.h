// The stock cursor: a private copy of a set of stock records with one of
// them current.
#pragma once

#include "server/CursorSupport.h"

class CStocks : public CComObjectRootEx<CComMultiThreadModel>,
                public CComCoClass<CStocks, &CLSID_StocksEnt>,
                public ISupportErrorInfo,
                public IDispatchImpl<IStocksEnt, &IID_IStocksEnt, &LIBID_BraskOrvEnt, 1, 0>,
                public orvsrv::CCursorImpl<CStocks, StockRecord> {
 public:
  CStocks();
  ~CStocks();

  DECLARE_REGISTRY_RESOURCEID(102)

  BEGIN_COM_MAP(CStocks)
    COM_INTERFACE_ENTRY(IStocksEnt)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
  END_COM_MAP()

  static const _bstr_t& Key(const StockRecord& r) { return r.Symbol; }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid);

  ORV_CURSOR_GET_STRING(Symbol, m_cur.Symbol)
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
  ORV_CURSOR_GET_VALUE(StockType, StockTypeEnum, orvsrv::StockTypeOf(m_cur.StockType[0]))
  ORV_CURSOR_GET_VALUE(DivFreq, LONG, m_cur.DivFreq)
  ORV_CURSOR_GET_VALUE(DivYield, float, DivYieldOf(m_cur))
  ORV_CURSOR_GET_VALUE(DivLastDate, DATE, m_cur.DivLastDate)
  ORV_CURSOR_GET_VALUE(DivAmount, float, DivAmountOf(m_cur))
  ORV_CURSOR_GET_STRING(Currency, m_cur.Currency)
  STDMETHODIMP Next(VARIANT_BOOL* bVal) { return NextImpl(bVal); }
  STDMETHODIMP Find(BSTR Symbol, VARIANT_BOOL* bVal) { return FindImpl(Symbol, bVal); }
  STDMETHODIMP GetStockData(BSTR* Symbol, float* LastPrice, BSTR* LastExchange, DATE* LastDate,
                            LONG* LastSize, float* BidPrice, BSTR* BidExchange, DATE* BidDate,
                            LONG* BidSize, float* AskPrice, BSTR* AskExchange, DATE* AskDate,
                            LONG* AskSize, LONG* Volume, StockTypeEnum* Type, LONG* DivFreq,
                            DATE* DivLastDate, float* DivAmount, float* DivYield, BSTR* Currency);
  ORV_CURSOR_GET_VALUE(PriceClose, float, m_cur.PriceClose)
  ORV_CURSOR_GET_VALUE(PriceHigh52wk, float, m_cur.PriceHigh52wk)
  ORV_CURSOR_GET_VALUE(PriceLow52wk, float, m_cur.PriceLow52wk)
  ORV_CURSOR_GET_VALUE(IVX1m, float, m_cur.IVX1m)
  ORV_CURSOR_GET_VALUE(IVX1mYest, float, m_cur.IVX1mYest)
  ORV_CURSOR_GET_VALUE(IVX1mHigh52wk, float, m_cur.IVX1mHigh52wk)
  ORV_CURSOR_GET_VALUE(IVX1mLow52wk, float, m_cur.IVX1mLow52wk)
  ORV_CURSOR_GET_VALUE(HV1m, float, m_cur.HV1m)
  ORV_CURSOR_GET_VALUE(HV1mYest, float, m_cur.HV1mYest)
  ORV_CURSOR_GET_VALUE(HV1mHigh52wk, float, m_cur.HV1mHigh52wk)
  ORV_CURSOR_GET_VALUE(HV1mLow52wk, float, m_cur.HV1mLow52wk)
  ORV_CURSOR_GET_VALUE(OptionVolumeCall, LONG, m_cur.OptionVolumeCall)
  ORV_CURSOR_GET_VALUE(OptionVolumePut, LONG, m_cur.OptionVolumePut)
  ORV_CURSOR_GET_VALUE(OptionVolumeAvg, float, m_cur.OptionVolumeAvg)
  ORV_CURSOR_GET_VALUE(OutstandingShares, float, m_cur.OutstandingShares)

 private:
  // One dividend value: an amount when the stock pays with a frequency, a
  // yield when its frequency is 0; the other of the two reads 0.
  static float DivAmountOf(const StockRecord& r) { return r.DivFreq != 0 ? r.DivAmount : 0.0f; }
  static float DivYieldOf(const StockRecord& r) { return r.DivFreq == 0 ? r.DivAmount : 0.0f; }
};
