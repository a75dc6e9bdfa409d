#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "server/CFutIVIndexes.h"
#include "tests/feed/LogCapture.h"
#include "server/CFutIVSurfaces.h"
#include "server/CFutOptions.h"
#include "server/CFutures.h"
#include "server/CHVEnt.h"
#include "server/CIVATM.h"
#include "server/CIVIndexes.h"
#include "server/CIVSurfaces.h"
#include "server/CInterestRate.h"
#include "server/CNstdOptions.h"
#include "server/COptions.h"
#include "server/CStocks.h"
#include "tests/server/CursorTestSupport.h"

namespace {

using orvtest::MakeCursor;
using orvtest::Str;
using orvtest::TakeText;
using orvtest::Text;
using orvtest::Value;

StockRecord Stock(const char* symbol, LONG volume = 0) {
  StockRecord r;
  r.Symbol = Str(symbol);
  r.Volume = volume;
  return r;
}

VARIANT_BOOL Next(IStocksEnt* c) {
  VARIANT_BOOL b = 7;
  EXPECT_EQ(c->Next(&b), S_OK);
  return b;
}

VARIANT_BOOL FindText(IStocksEnt* c, const char* symbol) {
  CComBSTR s(symbol);
  VARIANT_BOOL b = 7;
  EXPECT_EQ(c->Find(s, &b), S_OK);
  return b;
}

std::string Symbol(IStocksEnt* c) { return Text(c, &IStocksEnt::get_Symbol); }

// ---- Walking a set with Next and Find --------------------------------------

class StockWalk : public ::testing::Test {
 protected:
  CComPtr<IStocksEnt> three =
      MakeCursor<CStocks, IStocksEnt>({Stock("AAA", 1), Stock("BBB", 2), Stock("CCC", 3)});
};

TEST_F(StockWalk, NextMovesToEachRecordThenStopsOnTheLast) {
  EXPECT_EQ(Symbol(three), "AAA");
  EXPECT_EQ(Next(three), VARIANT_TRUE);
  EXPECT_EQ(Symbol(three), "BBB");
  EXPECT_EQ(Next(three), VARIANT_TRUE);
  EXPECT_EQ(Symbol(three), "CCC");
  EXPECT_EQ(Next(three), VARIANT_FALSE);
  EXPECT_EQ(Next(three), VARIANT_FALSE);
  EXPECT_EQ(Symbol(three), "CCC");
  EXPECT_EQ(Value(three.p, &IStocksEnt::get_Volume), 3);
}

TEST_F(StockWalk, OneRecordIsCurrentAtOnceAndStaysAfterNext) {
  CComPtr<IStocksEnt> one = MakeCursor<CStocks, IStocksEnt>({Stock("IBM", 5)});
  EXPECT_EQ(Symbol(one), "IBM");
  EXPECT_EQ(Next(one), VARIANT_FALSE);
  EXPECT_EQ(Symbol(one), "IBM");
  EXPECT_EQ(Value(one.p, &IStocksEnt::get_Volume), 5);
}

TEST_F(StockWalk, FindUpperCasesTheCallersStringAndPositionsThere) {
  CComBSTR s("bbb");
  VARIANT_BOOL found = 7;
  ASSERT_EQ(three->Find(s, &found), S_OK);
  EXPECT_EQ(found, VARIANT_TRUE);
  EXPECT_EQ(TakeText(s.Copy()), "BBB");
  EXPECT_EQ(Symbol(three), "BBB");
  EXPECT_EQ(Next(three), VARIANT_TRUE);
  EXPECT_EQ(Symbol(three), "CCC");
}

TEST_F(StockWalk, MissLeavesThePositionSoNextContinues) {
  EXPECT_EQ(Next(three), VARIANT_TRUE);
  EXPECT_EQ(FindText(three, "ZZZ"), VARIANT_FALSE);
  EXPECT_EQ(FindText(three, "BB"), VARIANT_FALSE);  // a prefix is no match
  EXPECT_EQ(Symbol(three), "BBB");
  EXPECT_EQ(Next(three), VARIANT_TRUE);
  EXPECT_EQ(Symbol(three), "CCC");
}

TEST_F(StockWalk, FindAfterTheEndSearchesFromTheFirstRecord) {
  for (int i = 0; i < 5; ++i) Next(three);
  EXPECT_EQ(FindText(three, "AAA"), VARIANT_TRUE);
  EXPECT_EQ(Symbol(three), "AAA");
  EXPECT_EQ(Next(three), VARIANT_TRUE);
  EXPECT_EQ(Symbol(three), "BBB");
}

TEST_F(StockWalk, FindTakesTheFirstOfEqualKeys) {
  CComPtr<IStocksEnt> twice = MakeCursor<CStocks, IStocksEnt>({Stock("A", 1), Stock("B", 2), Stock("B", 3)});
  EXPECT_EQ(FindText(twice, "B"), VARIANT_TRUE);
  EXPECT_EQ(Value(twice.p, &IStocksEnt::get_Volume), 2);
}

TEST_F(StockWalk, BadArgumentsAreRefusedAndChangeNothing) {
  Next(three);
  VARIANT_BOOL found = 7;
  EXPECT_EQ(three->Find(nullptr, &found), E_INVALIDARG);
  CComBSTR empty("");
  EXPECT_EQ(three->Find(empty, &found), E_INVALIDARG);
  EXPECT_EQ(found, 7);
  CComBSTR lower("ccc");
  EXPECT_EQ(three->Find(lower, nullptr), E_POINTER);
  EXPECT_EQ(TakeText(lower.Copy()), "ccc");
  EXPECT_EQ(three->Next(nullptr), E_POINTER);
  EXPECT_EQ(Symbol(three), "BBB");
}

TEST(StockCursor, EmptySetShowsTheDefaults) {
  CComPtr<IStocksEnt> c = MakeCursor<CStocks, IStocksEnt>({});
  EXPECT_EQ(Symbol(c), "");
  EXPECT_EQ(Text(c.p, &IStocksEnt::get_Currency), "");
  EXPECT_EQ(Text(c.p, &IStocksEnt::get_LastExchange), "*");
  EXPECT_EQ(Text(c.p, &IStocksEnt::get_BidExchange), "*");
  EXPECT_EQ(Text(c.p, &IStocksEnt::get_AskExchange), "*");
  EXPECT_EQ(Value(c.p, &IStocksEnt::get_StockType), enStock);
  EXPECT_EQ(Value(c.p, &IStocksEnt::get_LastPrice), 0.0f);
  EXPECT_EQ(Value(c.p, &IStocksEnt::get_Volume), 0);
  EXPECT_EQ(Value(c.p, &IStocksEnt::get_DivFreq), 0);
  EXPECT_EQ(Next(c), VARIANT_FALSE);
  EXPECT_EQ(FindText(c, "IBM"), VARIANT_FALSE);
  EXPECT_EQ(Symbol(c), "");
}

// ---- Each class read property by property and in one call -----------------

StockRecord FullStock() {
  StockRecord r;
  r.Symbol = Str("IBM");
  r.Currency = Str("USD");
  r.LastPrice = 1.5f;
  r.LastDate = 40000.25;
  r.LastExchange = Str("N");
  r.LastSize = 11;
  r.BidPrice = 2.5f;
  r.BidDate = 40001.5;
  r.BidExchange = Str("");
  r.BidSize = 12;
  r.AskPrice = 3.5f;
  r.AskDate = 40002.75;
  r.AskExchange = Str("Q");
  r.AskSize = 13;
  r.DivLastDate = 39990.0f;
  r.DivFreq = 4;
  r.DivAmount = 0.25f;
  r.Volume = 14;
  r.StockType[0] = 'S';
  r.PriceClose = 4.5f;
  r.PriceLow52wk = 5.5f;
  r.PriceHigh52wk = 6.5f;
  r.IVX1m = 7.5f;
  r.IVX1mYest = 8.5f;
  r.IVX1mLow52wk = 9.5f;
  r.IVX1mHigh52wk = 10.5f;
  r.HV1m = 11.5f;
  r.HV1mYest = 12.5f;
  r.HV1mLow52wk = 13.5f;
  r.HV1mHigh52wk = 14.5f;
  r.OptionVolumeCall = 15;
  r.OptionVolumePut = 16;
  r.OptionVolumeAvg = 17.5f;
  r.OutstandingShares = 18.5f;
  return r;
}

TEST(StockCursor, EveryPropertyAndTheAllFieldsCall) {
  CComPtr<IStocksEnt> c = MakeCursor<CStocks, IStocksEnt>({FullStock()});
  IStocksEnt* p = c;
  EXPECT_EQ(Text(p, &IStocksEnt::get_Symbol), "IBM");
  EXPECT_EQ(Text(p, &IStocksEnt::get_Currency), "USD");
  EXPECT_EQ(Value(p, &IStocksEnt::get_LastPrice), 1.5f);
  EXPECT_EQ(Value(p, &IStocksEnt::get_LastDate), 40000.25);
  EXPECT_EQ(Text(p, &IStocksEnt::get_LastExchange), "N");
  EXPECT_EQ(Value(p, &IStocksEnt::get_LastSize), 11);
  EXPECT_EQ(Value(p, &IStocksEnt::get_BidPrice), 2.5f);
  EXPECT_EQ(Value(p, &IStocksEnt::get_BidDate), 40001.5);
  EXPECT_EQ(Text(p, &IStocksEnt::get_BidExchange), "*");
  EXPECT_EQ(Value(p, &IStocksEnt::get_BidSize), 12);
  EXPECT_EQ(Value(p, &IStocksEnt::get_AskPrice), 3.5f);
  EXPECT_EQ(Value(p, &IStocksEnt::get_AskDate), 40002.75);
  EXPECT_EQ(Text(p, &IStocksEnt::get_AskExchange), "Q");
  EXPECT_EQ(Value(p, &IStocksEnt::get_AskSize), 13);
  EXPECT_EQ(Value(p, &IStocksEnt::get_Volume), 14);
  EXPECT_EQ(Value(p, &IStocksEnt::get_StockType), enStock);
  EXPECT_EQ(Value(p, &IStocksEnt::get_DivFreq), 4);
  EXPECT_EQ(Value(p, &IStocksEnt::get_DivAmount), 0.25f);
  EXPECT_EQ(Value(p, &IStocksEnt::get_DivYield), 0.0f);
  EXPECT_EQ(Value(p, &IStocksEnt::get_DivLastDate), 39990.0);
  EXPECT_EQ(Value(p, &IStocksEnt::get_PriceClose), 4.5f);
  EXPECT_EQ(Value(p, &IStocksEnt::get_PriceLow52wk), 5.5f);
  EXPECT_EQ(Value(p, &IStocksEnt::get_PriceHigh52wk), 6.5f);
  EXPECT_EQ(Value(p, &IStocksEnt::get_IVX1m), 7.5f);
  EXPECT_EQ(Value(p, &IStocksEnt::get_IVX1mYest), 8.5f);
  EXPECT_EQ(Value(p, &IStocksEnt::get_IVX1mLow52wk), 9.5f);
  EXPECT_EQ(Value(p, &IStocksEnt::get_IVX1mHigh52wk), 10.5f);
  EXPECT_EQ(Value(p, &IStocksEnt::get_HV1m), 11.5f);
  EXPECT_EQ(Value(p, &IStocksEnt::get_HV1mYest), 12.5f);
  EXPECT_EQ(Value(p, &IStocksEnt::get_HV1mLow52wk), 13.5f);
  EXPECT_EQ(Value(p, &IStocksEnt::get_HV1mHigh52wk), 14.5f);
  EXPECT_EQ(Value(p, &IStocksEnt::get_OptionVolumeCall), 15);
  EXPECT_EQ(Value(p, &IStocksEnt::get_OptionVolumePut), 16);
  EXPECT_EQ(Value(p, &IStocksEnt::get_OptionVolumeAvg), 17.5f);
  EXPECT_EQ(Value(p, &IStocksEnt::get_OutstandingShares), 18.5f);

  BSTR symbol, lastEx, bidEx, askEx, currency;
  float last, bid, ask, amount, yield;
  DATE lastDate, bidDate, askDate, divDate;
  LONG lastSize, bidSize, askSize, volume, freq;
  StockTypeEnum type;
  ASSERT_EQ(p->GetStockData(&symbol, &last, &lastEx, &lastDate, &lastSize, &bid, &bidEx, &bidDate, &bidSize,
                            &ask, &askEx, &askDate, &askSize, &volume, &type, &freq, &divDate, &amount,
                            &yield, &currency),
            S_OK);
  EXPECT_EQ(TakeText(symbol), "IBM");
  EXPECT_EQ(TakeText(lastEx), "N");
  EXPECT_EQ(TakeText(bidEx), "*");
  EXPECT_EQ(TakeText(askEx), "Q");
  EXPECT_EQ(TakeText(currency), "USD");
  EXPECT_EQ(last, 1.5f);
  EXPECT_EQ(lastDate, 40000.25);
  EXPECT_EQ(lastSize, 11);
  EXPECT_EQ(bid, 2.5f);
  EXPECT_EQ(bidDate, 40001.5);
  EXPECT_EQ(bidSize, 12);
  EXPECT_EQ(ask, 3.5f);
  EXPECT_EQ(askDate, 40002.75);
  EXPECT_EQ(askSize, 13);
  EXPECT_EQ(volume, 14);
  EXPECT_EQ(type, enStock);
  EXPECT_EQ(freq, 4);
  EXPECT_EQ(divDate, 39990.0);
  EXPECT_EQ(amount, 0.25f);
  EXPECT_EQ(yield, 0.0f);
}

TEST(StockCursor, DividendValueReadsAsYieldOrAmountByFrequency) {
  struct Case {
    SHORT freq;
    float amount;
    float yield;
  };
  for (const Case& c : {Case{0, 0.0f, 1.5f}, Case{4, 1.5f, 0.0f}, Case{-1, 1.5f, 0.0f}}) {
    StockRecord r = Stock("X");
    r.DivFreq = c.freq;
    r.DivAmount = 1.5f;
    CComPtr<IStocksEnt> cur = MakeCursor<CStocks, IStocksEnt>({r});
    EXPECT_EQ(Value(cur.p, &IStocksEnt::get_DivAmount), c.amount) << c.freq;
    EXPECT_EQ(Value(cur.p, &IStocksEnt::get_DivYield), c.yield) << c.freq;
    EXPECT_EQ(Value(cur.p, &IStocksEnt::get_DivFreq), c.freq);
  }
}

TEST(StockCursor, StockTypeIsStockOnlyForS) {
  for (char code : {'S', 'I', 's', '\0'}) {
    StockRecord r = Stock("X");
    r.StockType[0] = code;
    CComPtr<IStocksEnt> cur = MakeCursor<CStocks, IStocksEnt>({r});
    EXPECT_EQ(Value(cur.p, &IStocksEnt::get_StockType), code == 'S' ? enStock : enIndex) << int(code);
  }
}

TEST(StockCursor, AbsentStringsGoOutAsNullStrings) {
  StockRecord r;  // every string absent
  CComPtr<IStocksEnt> c = MakeCursor<CStocks, IStocksEnt>({r});
  EXPECT_EQ(Text(c.p, &IStocksEnt::get_Symbol), "<null>");
  EXPECT_EQ(Text(c.p, &IStocksEnt::get_Currency), "<null>");
  EXPECT_EQ(Text(c.p, &IStocksEnt::get_LastExchange), "*");
}

template <class R>
R FullOption() {
  R r;
  r.Symbol = Str("IBMAB");
  r.StockSymbol = Str("IBM");
  r.ExpirationDate = 40100.0;
  r.StrikePrice = 95.5f;
  r.OptionType[0] = 'P';
  r.OptionStyle[0] = 'E';
  r.BidPrice = 1.25f;
  r.BidDate = 40000.5;
  r.BidExchange = Str("C");
  r.BidSize = 21;
  r.AskPrice = 1.75f;
  r.AskDate = 40000.75;
  r.AskExchange = Str("");
  r.AskSize = 22;
  r.LastPrice = 1.5f;
  r.LastDate = 40000.25;
  r.LastExchange = Str("X");
  r.LastSize = 23;
  r.OpenInterest = 24;
  r.Volume = 25;
  r.IV = 0.31f;
  r.PreIV = 0.29f;
  r.Delta = 0.4f;
  r.Vega = 0.5f;
  r.Gamma = 0.6f;
  r.Theta = 0.7f;
  r.Rho = 0.8f;
  return r;
}

// The properties and the all-fields call of the three option cursors,
// which differ in the underlying's property and the record kind.
template <class I, class R>
void CheckOptionCursor(I* p, HRESULT (STDMETHODCALLTYPE I::*underlying)(BSTR*), const R& r) {
  EXPECT_EQ(Text(p, &I::get_Symbol), "IBMAB");
  EXPECT_EQ(Text(p, underlying), "IBM");
  EXPECT_EQ(Value(p, &I::get_ExpirationDate), 40100.0);
  EXPECT_EQ(Value(p, &I::get_StrikePrice), 95.5f);
  EXPECT_EQ(Value(p, &I::get_OptionType), enPut);
  EXPECT_EQ(Value(p, &I::get_OptionStyle), enEuropean);
  EXPECT_EQ(Value(p, &I::get_BidPrice), 1.25f);
  EXPECT_EQ(Value(p, &I::get_BidDate), 40000.5);
  EXPECT_EQ(Text(p, &I::get_BidExchange), "C");
  EXPECT_EQ(Value(p, &I::get_BidSize), 21);
  EXPECT_EQ(Value(p, &I::get_AskPrice), 1.75f);
  EXPECT_EQ(Value(p, &I::get_AskDate), 40000.75);
  EXPECT_EQ(Text(p, &I::get_AskExchange), "*");
  EXPECT_EQ(Value(p, &I::get_AskSize), 22);
  EXPECT_EQ(Value(p, &I::get_LastPrice), 1.5f);
  EXPECT_EQ(Value(p, &I::get_LastDate), 40000.25);
  EXPECT_EQ(Text(p, &I::get_LastExchange), "X");
  EXPECT_EQ(Value(p, &I::get_LastSize), 23);
  EXPECT_EQ(Value(p, &I::get_OpenInterest), 24);
  EXPECT_EQ(Value(p, &I::get_Volume), 25);
  EXPECT_EQ(Value(p, &I::get_IV), 0.31f);
  EXPECT_EQ(Value(p, &I::get_PreIV), 0.29f);
  EXPECT_EQ(Value(p, &I::get_Delta), 0.4f);
  EXPECT_EQ(Value(p, &I::get_Vega), 0.5f);
  EXPECT_EQ(Value(p, &I::get_Gamma), 0.6f);
  EXPECT_EQ(Value(p, &I::get_Theta), 0.7f);
  EXPECT_EQ(Value(p, &I::get_Rho), 0.8f);
  (void)r;
}

struct OptionFields {
  BSTR symbol = nullptr, under = nullptr, bidEx = nullptr, askEx = nullptr;
  OptionTypeEnum type{};
  OptionStyleEnum style{};
  float strike = 0, bid = 0, ask = 0, iv = 0, preIv = 0, delta = 0, vega = 0, gamma = 0, theta = 0, rho = 0;
  DATE expiry = 0, bidDate = 0, askDate = 0;
  LONG bidSize = 0, askSize = 0, volume = 0;

  void Check() {
    EXPECT_EQ(TakeText(symbol), "IBMAB");
    EXPECT_EQ(TakeText(under), "IBM");
    EXPECT_EQ(TakeText(bidEx), "C");
    EXPECT_EQ(TakeText(askEx), "*");
    EXPECT_EQ(type, enPut);
    EXPECT_EQ(style, enEuropean);
    EXPECT_EQ(strike, 95.5f);
    EXPECT_EQ(expiry, 40100.0);
    EXPECT_EQ(bid, 1.25f);
    EXPECT_EQ(bidDate, 40000.5);
    EXPECT_EQ(bidSize, 21);
    EXPECT_EQ(ask, 1.75f);
    EXPECT_EQ(askDate, 40000.75);
    EXPECT_EQ(askSize, 22);
    EXPECT_EQ(iv, 0.31f);
    EXPECT_EQ(preIv, 0.29f);
    EXPECT_EQ(delta, 0.4f);
    EXPECT_EQ(vega, 0.5f);
    EXPECT_EQ(gamma, 0.6f);
    EXPECT_EQ(theta, 0.7f);
    EXPECT_EQ(rho, 0.8f);
    EXPECT_EQ(volume, 25);
  }
};

#define ORV_OPTION_FIELD_ARGS(f)                                                                          \
  &f.symbol, &f.under, &f.type, &f.style, &f.strike, &f.expiry, &f.bid, &f.bidEx, &f.bidDate, &f.bidSize, \
      &f.ask, &f.askEx, &f.askDate, &f.askSize, &f.iv, &f.preIv, &f.delta, &f.vega, &f.gamma, &f.theta,   \
      &f.rho, &f.volume

TEST(OptionCursors, EveryPropertyAndTheAllFieldsCall) {
  {
    CComPtr<IOptionsEnt> c = MakeCursor<COptions, IOptionsEnt>({FullOption<OptionRecord>()});
    CheckOptionCursor(c.p, &IOptionsEnt::get_StockSymbol, OptionRecord());
    OptionFields f;
    ASSERT_EQ(c->GetOptionData(ORV_OPTION_FIELD_ARGS(f)), S_OK);
    f.Check();
  }
  {
    CComPtr<IFutOptionsEnt> c = MakeCursor<CFutOptions, IFutOptionsEnt>({FullOption<OptionRecord>()});
    CheckOptionCursor(c.p, &IFutOptionsEnt::get_FuturesSymbol, OptionRecord());
    OptionFields f;
    ASSERT_EQ(c->GetOptionData(ORV_OPTION_FIELD_ARGS(f)), S_OK);
    f.Check();
  }
  {
    NstdOptionRecord r = FullOption<NstdOptionRecord>();
    r.RootID = 77;
    CComPtr<INstdOptionsEnt> c = MakeCursor<CNstdOptions, INstdOptionsEnt>({r});
    CheckOptionCursor(c.p, &INstdOptionsEnt::get_StockSymbol, r);
    EXPECT_EQ(Value(c.p, &INstdOptionsEnt::get_RootID), 77);
    OptionFields f;
    LONG root = 0;
    ASSERT_EQ(c->GetNstdOptionData(ORV_OPTION_FIELD_ARGS(f), &root), S_OK);
    f.Check();
    EXPECT_EQ(root, 77);
  }
}

TEST(OptionCursors, EmptySetShowsACallOfAmericanStyle) {
  CComPtr<IOptionsEnt> c = MakeCursor<COptions, IOptionsEnt>({});
  EXPECT_EQ(Text(c.p, &IOptionsEnt::get_Symbol), "");
  EXPECT_EQ(Text(c.p, &IOptionsEnt::get_StockSymbol), "<null>");
  EXPECT_EQ(Text(c.p, &IOptionsEnt::get_BidExchange), "*");
  EXPECT_EQ(Value(c.p, &IOptionsEnt::get_OptionType), enCall);
  EXPECT_EQ(Value(c.p, &IOptionsEnt::get_OptionStyle), enAmerican);
  EXPECT_EQ(Value(c.p, &IOptionsEnt::get_StrikePrice), 0.0f);
  VARIANT_BOOL b = 7;
  EXPECT_EQ(c->Next(&b), S_OK);
  EXPECT_EQ(b, VARIANT_FALSE);
  CComPtr<INstdOptionsEnt> n = MakeCursor<CNstdOptions, INstdOptionsEnt>({});
  EXPECT_EQ(Value(n.p, &INstdOptionsEnt::get_RootID), 0);
  EXPECT_EQ(Text(n.p, &INstdOptionsEnt::get_Symbol), "");
  CComPtr<IFutOptionsEnt> fo = MakeCursor<CFutOptions, IFutOptionsEnt>({});
  EXPECT_EQ(Text(fo.p, &IFutOptionsEnt::get_FuturesSymbol), "<null>");
}

TEST(OptionCursors, CodesMapToEnums) {
  struct Case {
    char type, style;
    OptionTypeEnum wantType;
    OptionStyleEnum wantStyle;
  };
  for (const Case& k : {Case{'C', 'A', enCall, enAmerican}, Case{'P', 'E', enPut, enEuropean},
                        Case{'c', 'a', enPut, enEuropean}, Case{'\0', '\0', enPut, enEuropean}}) {
    OptionRecord r;
    r.OptionType[0] = k.type;
    r.OptionStyle[0] = k.style;
    CComPtr<IOptionsEnt> c = MakeCursor<COptions, IOptionsEnt>({r});
    EXPECT_EQ(Value(c.p, &IOptionsEnt::get_OptionType), k.wantType) << int(k.type);
    EXPECT_EQ(Value(c.p, &IOptionsEnt::get_OptionStyle), k.wantStyle) << int(k.style);
  }
}

OptionRecord OptionOf(const char* symbol, const char* underlying) {
  OptionRecord r;
  r.Symbol = Str(symbol);
  r.StockSymbol = Str(underlying);
  return r;
}

TEST(OptionCursors, FindSearchesTheUnderlyingNotTheOptionSymbol) {
  CComPtr<IOptionsEnt> c = MakeCursor<COptions, IOptionsEnt>(
      {OptionOf("IBMA", "IBM"), OptionOf("IBMB", "IBM"), OptionOf("MSQA", "MSFT"), OptionOf("MSQB", "MSFT")});
  VARIANT_BOOL b = 7;
  CComBSTR own("IBMB");
  ASSERT_EQ(c->Find(own, &b), S_OK);
  EXPECT_EQ(b, VARIANT_FALSE);
  CComBSTR under("msft");
  ASSERT_EQ(c->Find(under, &b), S_OK);
  EXPECT_EQ(b, VARIANT_TRUE);
  EXPECT_EQ(Text(c.p, &IOptionsEnt::get_Symbol), "MSQA");
  EXPECT_EQ(c->Next(&b), S_OK);
  EXPECT_EQ(Text(c.p, &IOptionsEnt::get_Symbol), "MSQB");

  CComPtr<IFutOptionsEnt> f = MakeCursor<CFutOptions, IFutOptionsEnt>({OptionOf("ESZ9C", "ESZ9")});
  CComBSTR fut("esz9");
  ASSERT_EQ(f->Find(fut, &b), S_OK);
  EXPECT_EQ(b, VARIANT_TRUE);
  NstdOptionRecord nr;
  nr.Symbol = Str("XA");
  nr.StockSymbol = Str("X");
  CComPtr<INstdOptionsEnt> n = MakeCursor<CNstdOptions, INstdOptionsEnt>({nr});
  CComBSTR x("x");
  ASSERT_EQ(n->Find(x, &b), S_OK);
  EXPECT_EQ(b, VARIANT_TRUE);
}

FuturesRecord FullFuture() {
  FuturesRecord r;
  r.Symbol = Str("ESZ9");
  r.RootSymbol = Str("ES");
  r.ExpirationDate = 40200.0;
  r.LastPrice = 1.5f;
  r.LastDate = 40000.25;
  r.LastExchange = Str("");
  r.LastSize = 31;
  r.BidPrice = 2.5f;
  r.BidDate = 40000.5;
  r.BidExchange = Str("G");
  r.BidSize = 32;
  r.AskPrice = 3.5f;
  r.AskDate = 40000.75;
  r.AskExchange = Str("H");
  r.AskSize = 33;
  r.Volume = 34;
  r.Type[0] = 'F';
  return r;
}

TEST(FuturesCursor, EveryPropertyTheAllFieldsCallAndFindBySymbol) {
  FuturesRecord other = FullFuture();
  other.Symbol = Str("ESH0");
  CComPtr<IFuturesEnt> c = MakeCursor<CFutures, IFuturesEnt>({other, FullFuture()});
  IFuturesEnt* p = c;
  VARIANT_BOOL b = 7;
  CComBSTR root("es");
  ASSERT_EQ(p->Find(root, &b), S_OK);
  EXPECT_EQ(b, VARIANT_FALSE);  // the root symbol is no key
  CComBSTR sym("esz9");
  ASSERT_EQ(p->Find(sym, &b), S_OK);
  EXPECT_EQ(b, VARIANT_TRUE);
  EXPECT_EQ(Text(p, &IFuturesEnt::get_Symbol), "ESZ9");
  EXPECT_EQ(Text(p, &IFuturesEnt::get_RootSymbol), "ES");
  EXPECT_EQ(Value(p, &IFuturesEnt::get_ExpirationDate), 40200.0);
  EXPECT_EQ(Value(p, &IFuturesEnt::get_LastPrice), 1.5f);
  EXPECT_EQ(Text(p, &IFuturesEnt::get_LastExchange), "*");
  EXPECT_EQ(Value(p, &IFuturesEnt::get_LastDate), 40000.25);
  EXPECT_EQ(Value(p, &IFuturesEnt::get_LastSize), 31);
  EXPECT_EQ(Value(p, &IFuturesEnt::get_BidPrice), 2.5f);
  EXPECT_EQ(Text(p, &IFuturesEnt::get_BidExchange), "G");
  EXPECT_EQ(Value(p, &IFuturesEnt::get_BidDate), 40000.5);
  EXPECT_EQ(Value(p, &IFuturesEnt::get_BidSize), 32);
  EXPECT_EQ(Value(p, &IFuturesEnt::get_AskPrice), 3.5f);
  EXPECT_EQ(Text(p, &IFuturesEnt::get_AskExchange), "H");
  EXPECT_EQ(Value(p, &IFuturesEnt::get_AskDate), 40000.75);
  EXPECT_EQ(Value(p, &IFuturesEnt::get_AskSize), 33);
  EXPECT_EQ(Value(p, &IFuturesEnt::get_Volume), 34);

  BSTR symbol, rootSym, lastEx, bidEx, askEx;
  DATE expiry, lastDate, bidDate, askDate;
  float last, bid, ask;
  LONG lastSize, bidSize, askSize, volume;
  ASSERT_EQ(p->GetFuturesData(&symbol, &rootSym, &expiry, &last, &lastEx, &lastDate, &lastSize, &bid, &bidEx,
                              &bidDate, &bidSize, &ask, &askEx, &askDate, &askSize, &volume),
            S_OK);
  EXPECT_EQ(TakeText(symbol), "ESZ9");
  EXPECT_EQ(TakeText(rootSym), "ES");
  EXPECT_EQ(TakeText(lastEx), "*");
  EXPECT_EQ(TakeText(bidEx), "G");
  EXPECT_EQ(TakeText(askEx), "H");
  EXPECT_EQ(expiry, 40200.0);
  EXPECT_EQ(last, 1.5f);
  EXPECT_EQ(lastDate, 40000.25);
  EXPECT_EQ(lastSize, 31);
  EXPECT_EQ(bid, 2.5f);
  EXPECT_EQ(bidDate, 40000.5);
  EXPECT_EQ(bidSize, 32);
  EXPECT_EQ(ask, 3.5f);
  EXPECT_EQ(askDate, 40000.75);
  EXPECT_EQ(askSize, 33);
  EXPECT_EQ(volume, 34);

  CComPtr<IFuturesEnt> empty = MakeCursor<CFutures, IFuturesEnt>({});
  EXPECT_EQ(Text(empty.p, &IFuturesEnt::get_Symbol), "");
  EXPECT_EQ(Text(empty.p, &IFuturesEnt::get_RootSymbol), "");
  EXPECT_EQ(Text(empty.p, &IFuturesEnt::get_BidExchange), "*");
}

IVIndexRecord Ivx(const char* symbol, SHORT term) {
  IVIndexRecord r;
  r.Symbol = Str(symbol);
  r.Term = term;
  r.IVIndexCall = term * 0.5f;
  r.IVIndexPut = term * 0.25f;
  return r;
}

template <class T, class I>
void CheckIvIndexCursor(HRESULT (STDMETHODCALLTYPE I::*symbol)(BSTR*)) {
  CComPtr<I> c = MakeCursor<T, I>({Ivx("IBM", 30), Ivx("IBM", 60), Ivx("MSFT", 90)});
  EXPECT_EQ(Text(c.p, symbol), "IBM");
  VARIANT_BOOL b = 7;
  CComBSTR s("msft");
  ASSERT_EQ(c->Find(s, &b), S_OK);
  EXPECT_EQ(b, VARIANT_TRUE);
  EXPECT_EQ(Text(c.p, symbol), "MSFT");
  EXPECT_EQ(Value(c.p, &I::get_Term), 90);
  EXPECT_EQ(Value(c.p, &I::get_IVIndexCall), 45.0f);
  EXPECT_EQ(Value(c.p, &I::get_IVIndexPut), 22.5f);
  BSTR sym = nullptr;
  SHORT term = 0;
  float call = 0, put = 0;
  ASSERT_EQ(c->GetIVIndexData(&sym, &term, &call, &put), S_OK);
  EXPECT_EQ(TakeText(sym), "MSFT");
  EXPECT_EQ(term, 90);
  EXPECT_EQ(call, 45.0f);
  EXPECT_EQ(put, 22.5f);
  CComPtr<I> empty = MakeCursor<T, I>({});
  EXPECT_EQ(Text(empty.p, symbol), "");
  EXPECT_EQ(Value(empty.p, &I::get_Term), 0);
}

TEST(IVIndexCursors, EveryPropertyTheAllFieldsCallAndFind) {
  CheckIvIndexCursor<CIVIndexes, IIVIndexesEnt>(&IIVIndexesEnt::get_StockSymbol);
  CheckIvIndexCursor<CFutIVIndexes, IFutIVIndexesEnt>(&IFutIVIndexesEnt::get_UnderlyingSymbol);
}

IVSurfaceRecord Ivs(const char* symbol, float otm) {
  IVSurfaceRecord r;
  r.Symbol = Str(symbol);
  r.Term = 30;
  r.VirtualStrike = 100.5f;
  r.Otm = otm;
  r.Type = 1;
  r.IV = 0.3f;
  r.Delta = 0.45f;
  return r;
}

TEST(IVSurfaceCursors, EveryPropertyTheAllFieldsCallAndFind) {
  CComPtr<IIVSurfacesEnt> s = MakeCursor<CIVSurfaces, IIVSurfacesEnt>({Ivs("AAA", 1), Ivs("IBM", 12.7f)});
  CComPtr<IFutIVSurfacesEnt> f =
      MakeCursor<CFutIVSurfaces, IFutIVSurfacesEnt>({Ivs("AAA", 1), Ivs("ESZ9", 12.7f)});
  VARIANT_BOOL b = 7;
  CComBSTR ibm("ibm"), es("esz9");
  ASSERT_EQ(s->Find(ibm, &b), S_OK);
  EXPECT_EQ(b, VARIANT_TRUE);
  ASSERT_EQ(f->Find(es, &b), S_OK);
  EXPECT_EQ(b, VARIANT_TRUE);

  EXPECT_EQ(Text(s.p, &IIVSurfacesEnt::get_StockSymbol), "IBM");
  EXPECT_EQ(Value(s.p, &IIVSurfacesEnt::get_Term), 30);
  EXPECT_EQ(Value(s.p, &IIVSurfacesEnt::get_VirtualStrike), 100.5f);
  EXPECT_EQ(Value(s.p, &IIVSurfacesEnt::get_Otm), 12);
  EXPECT_EQ(Value(s.p, &IIVSurfacesEnt::get_IV), 0.3f);
  EXPECT_EQ(Value(s.p, &IIVSurfacesEnt::get_Delta), 0.45f);
  EXPECT_EQ(Value(s.p, &IIVSurfacesEnt::get_Type), enPut);
  EXPECT_EQ(Text(f.p, &IFutIVSurfacesEnt::get_UnderlyingSymbol), "ESZ9");
  EXPECT_EQ(Value(f.p, &IFutIVSurfacesEnt::get_Otm), 12.7f);

  BSTR sym = nullptr;
  SHORT term = 0, otm = 0;
  float strike = 0, iv = 0, delta = 0, fotm = 0;
  OptionTypeEnum type = enCall;
  ASSERT_EQ(s->GetIVSurfaceData(&sym, &term, &strike, &otm, &iv, &delta, &type), S_OK);
  EXPECT_EQ(TakeText(sym), "IBM");
  EXPECT_EQ(term, 30);
  EXPECT_EQ(strike, 100.5f);
  EXPECT_EQ(otm, 12);
  EXPECT_EQ(iv, 0.3f);
  EXPECT_EQ(delta, 0.45f);
  EXPECT_EQ(type, enPut);
  ASSERT_EQ(f->GetIVSurfaceData(&sym, &term, &strike, &fotm, &iv, &delta, &type), S_OK);
  EXPECT_EQ(TakeText(sym), "ESZ9");
  EXPECT_EQ(fotm, 12.7f);
}

TEST(IVSurfaceCursors, SpotLevelTruncatesTowardZeroAndStaysInRange) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float level;
    SHORT want;
  };
  for (const Case& c : {Case{12.7f, 12}, Case{-12.7f, -12}, Case{0.9f, 0}, Case{32767.0f, 32767},
                        Case{1e6f, 32767}, Case{-1e6f, -32768}, Case{nan, 0}}) {
    CComPtr<IIVSurfacesEnt> s = MakeCursor<CIVSurfaces, IIVSurfacesEnt>({Ivs("X", c.level)});
    EXPECT_EQ(Value(s.p, &IIVSurfacesEnt::get_Otm), c.want) << c.level;
  }
}

TEST(InterestRateCursor, EveryPropertyTheAllFieldsCallAndFindByCurrency) {
  InterestRateRecord usd{Str("USD"), 30, 0.05f};
  InterestRateRecord eur{Str("EUR"), 90, 0.03f};
  CComPtr<IInterestRateEnt> c = MakeCursor<CInterestRate, IInterestRateEnt>({usd, eur});
  EXPECT_EQ(Text(c.p, &IInterestRateEnt::get_Currency), "USD");
  VARIANT_BOOL b = 7;
  CComBSTR s("eur");
  ASSERT_EQ(c->Find(s, &b), S_OK);
  EXPECT_EQ(b, VARIANT_TRUE);
  EXPECT_EQ(Value(c.p, &IInterestRateEnt::get_Period), 90);
  EXPECT_EQ(Value(c.p, &IInterestRateEnt::get_Rate), 0.03f);
  BSTR cur = nullptr;
  LONG period = 0;
  float rate = 0;
  ASSERT_EQ(c->GetInterestRateData(&cur, &period, &rate), S_OK);
  EXPECT_EQ(TakeText(cur), "EUR");
  EXPECT_EQ(period, 90);
  EXPECT_EQ(rate, 0.03f);
  CComPtr<IInterestRateEnt> empty = MakeCursor<CInterestRate, IInterestRateEnt>({});
  EXPECT_EQ(Text(empty.p, &IInterestRateEnt::get_Currency), "");
}

TEST(HVCursor, WalksButNeverFinds) {
  CComPtr<IHVEnt> c =
      MakeCursor<CHVEnt, IHVEnt>({HVRecord{Str("IBM"), 10, 0.2f}, HVRecord{Str("IBM"), 20, 0.25f}});
  EXPECT_EQ(Text(c.p, &IHVEnt::get_Symbol), "IBM");
  EXPECT_EQ(Value(c.p, &IHVEnt::get_Period), 10);
  VARIANT_BOOL b = 7;
  ASSERT_EQ(c->Next(&b), S_OK);
  EXPECT_EQ(b, VARIANT_TRUE);
  EXPECT_EQ(Value(c.p, &IHVEnt::get_Period), 20);
  EXPECT_EQ(Value(c.p, &IHVEnt::get_HV), 0.25f);
  for (const char* s : {"IBM", "ibm", ""}) {
    CComBSTR sym(s);
    b = 7;
    ASSERT_EQ(c->Find(sym, &b), S_OK) << s;
    EXPECT_EQ(b, VARIANT_FALSE) << s;
  }
  b = 7;
  ASSERT_EQ(c->Find(nullptr, &b), S_OK);
  EXPECT_EQ(b, VARIANT_FALSE);
  EXPECT_EQ(Value(c.p, &IHVEnt::get_Period), 20);
  BSTR sym = nullptr;
  SHORT period = 0;
  float hv = 0;
  ASSERT_EQ(c->GetHVData(&sym, &period, &hv), S_OK);
  EXPECT_EQ(TakeText(sym), "IBM");
  EXPECT_EQ(period, 20);
  EXPECT_EQ(hv, 0.25f);
  CComPtr<IHVEnt> empty = MakeCursor<CHVEnt, IHVEnt>({});
  EXPECT_EQ(Text(empty.p, &IHVEnt::get_Symbol), "<null>");
}

TEST(IVATMCursor, ExpirationReadsAsADateAndFindAlwaysMisses) {
  CComPtr<IIVATMEnt> c = MakeCursor<CIVATM, IIVATMEnt>({IVATMRecord{Str("IBM"), 40000, 0.33f}});
  EXPECT_EQ(Text(c.p, &IIVATMEnt::get_StockSymbol), "IBM");
  EXPECT_EQ(Value(c.p, &IIVATMEnt::get_ExpirationDate), 40000.0);
  EXPECT_EQ(Value(c.p, &IIVATMEnt::get_IV), 0.33f);
  for (const char* s : {"IBM", ""}) {
    CComBSTR sym(s);
    VARIANT_BOOL b = 7;
    ASSERT_EQ(c->Find(sym, &b), S_OK) << s;
    EXPECT_EQ(b, VARIANT_FALSE) << s;
  }
  CComBSTR sym("IBM");
  EXPECT_EQ(c->Find(sym, nullptr), E_POINTER);
  BSTR s = nullptr;
  DATE expiry = 0;
  float iv = 0;
  ASSERT_EQ(c->GetIVATMData(&s, &expiry, &iv), S_OK);
  EXPECT_EQ(TakeText(s), "IBM");
  EXPECT_EQ(expiry, 40000.0);
  EXPECT_EQ(iv, 0.33f);
  CComPtr<IIVATMEnt> empty = MakeCursor<CIVATM, IIVATMEnt>({});
  EXPECT_EQ(Text(empty.p, &IIVATMEnt::get_StockSymbol), "<null>");
}

// ---- Null out-pointers -----------------------------------------------------

TEST(CursorPointers, GettersAnswerEPointerForANullPointer) {
  CComPtr<IStocksEnt> s = MakeCursor<CStocks, IStocksEnt>({FullStock()});
  EXPECT_EQ(s->get_Symbol(nullptr), E_POINTER);
  EXPECT_EQ(s->get_LastExchange(nullptr), E_POINTER);
  EXPECT_EQ(s->get_LastPrice(nullptr), E_POINTER);
  EXPECT_EQ(s->get_StockType(nullptr), E_POINTER);
  EXPECT_EQ(s->get_DivYield(nullptr), E_POINTER);
  CComPtr<IOptionsEnt> o = MakeCursor<COptions, IOptionsEnt>({});
  EXPECT_EQ(o->get_StockSymbol(nullptr), E_POINTER);
  EXPECT_EQ(o->get_OptionType(nullptr), E_POINTER);
  CComPtr<INstdOptionsEnt> n = MakeCursor<CNstdOptions, INstdOptionsEnt>({});
  EXPECT_EQ(n->get_RootID(nullptr), E_POINTER);
  CComPtr<IFutOptionsEnt> fo = MakeCursor<CFutOptions, IFutOptionsEnt>({});
  EXPECT_EQ(fo->get_FuturesSymbol(nullptr), E_POINTER);
  CComPtr<IFuturesEnt> f = MakeCursor<CFutures, IFuturesEnt>({});
  EXPECT_EQ(f->get_RootSymbol(nullptr), E_POINTER);
  CComPtr<IIVIndexesEnt> ix = MakeCursor<CIVIndexes, IIVIndexesEnt>({});
  EXPECT_EQ(ix->get_Term(nullptr), E_POINTER);
  CComPtr<IFutIVIndexesEnt> fix = MakeCursor<CFutIVIndexes, IFutIVIndexesEnt>({});
  EXPECT_EQ(fix->get_UnderlyingSymbol(nullptr), E_POINTER);
  CComPtr<IIVSurfacesEnt> sf = MakeCursor<CIVSurfaces, IIVSurfacesEnt>({});
  EXPECT_EQ(sf->get_Otm(nullptr), E_POINTER);
  CComPtr<IFutIVSurfacesEnt> fsf = MakeCursor<CFutIVSurfaces, IFutIVSurfacesEnt>({});
  EXPECT_EQ(fsf->get_Otm(nullptr), E_POINTER);
  CComPtr<IInterestRateEnt> ir = MakeCursor<CInterestRate, IInterestRateEnt>({});
  EXPECT_EQ(ir->get_Rate(nullptr), E_POINTER);
  CComPtr<IHVEnt> hv = MakeCursor<CHVEnt, IHVEnt>({});
  EXPECT_EQ(hv->get_HV(nullptr), E_POINTER);
  CComPtr<IIVATMEnt> atm = MakeCursor<CIVATM, IIVATMEnt>({});
  EXPECT_EQ(atm->get_ExpirationDate(nullptr), E_POINTER);
}

TEST(CursorPointers, AllFieldsCallsWriteNothingWhenAPointerIsNull) {
  CComPtr<IIVATMEnt> atm = MakeCursor<CIVATM, IIVATMEnt>({IVATMRecord{Str("IBM"), 40000, 0.33f}});
  BSTR sym = nullptr;
  DATE expiry = -1;
  EXPECT_EQ(atm->GetIVATMData(&sym, &expiry, nullptr), E_POINTER);
  EXPECT_EQ(sym, nullptr);
  EXPECT_EQ(expiry, -1);

  CComPtr<IStocksEnt> s = MakeCursor<CStocks, IStocksEnt>({FullStock()});
  BSTR a = nullptr, b = nullptr, c = nullptr, d = nullptr;
  float f1 = -1, f2, f3, f4, f5;
  DATE d1, d2, d3, d4;
  LONG l1, l2, l3, l4, l5;
  StockTypeEnum t;
  EXPECT_EQ(s->GetStockData(&a, &f1, &b, &d1, &l1, &f2, &c, &d2, &l2, &f3, &d, &d3, &l3, &l4, &t, &l5, &d4,
                            &f4, &f5, nullptr),
            E_POINTER);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(f1, -1);

  CComPtr<INstdOptionsEnt> n = MakeCursor<CNstdOptions, INstdOptionsEnt>({FullOption<NstdOptionRecord>()});
  OptionFields o;
  EXPECT_EQ(n->GetNstdOptionData(ORV_OPTION_FIELD_ARGS(o), nullptr), E_POINTER);
  EXPECT_EQ(o.symbol, nullptr);
  EXPECT_EQ(o.volume, 0);
}

// ---- Interfaces and error information ----------------------------------------

struct ClassCase {
  const char* name;
  std::function<CComPtr<IUnknown>()> make;
  const IID* own;
};

template <class T, class I>
ClassCase Case(const char* name) {
  return {name, [] { return CComPtr<IUnknown>(MakeCursor<T, I>({}).p); }, &__uuidof(I)};
}

std::vector<ClassCase> AllClasses() {
  return {Case<CStocks, IStocksEnt>("CStocks"),
          Case<COptions, IOptionsEnt>("COptions"),
          Case<CNstdOptions, INstdOptionsEnt>("CNstdOptions"),
          Case<CFutOptions, IFutOptionsEnt>("CFutOptions"),
          Case<CFutures, IFuturesEnt>("CFutures"),
          Case<CIVIndexes, IIVIndexesEnt>("CIVIndexes"),
          Case<CIVSurfaces, IIVSurfacesEnt>("CIVSurfaces"),
          Case<CFutIVIndexes, IFutIVIndexesEnt>("CFutIVIndexes"),
          Case<CFutIVSurfaces, IFutIVSurfacesEnt>("CFutIVSurfaces"),
          Case<CInterestRate, IInterestRateEnt>("CInterestRate"),
          Case<CHVEnt, IHVEnt>("CHVEnt"),
          Case<CIVATM, IIVATMEnt>("CIVATM")};
}

TEST(CursorInterfaces, EachAnswersItsOwnInterfaceDispatchAndErrorInfoOnly) {
  const std::vector<ClassCase> classes = AllClasses();
  for (const ClassCase& k : classes) {
    CComPtr<IUnknown> object = k.make();
    for (const IID* iid : {k.own, &IID_IDispatch, &IID_ISupportErrorInfo, &IID_IUnknown}) {
      IUnknown* p = nullptr;
      EXPECT_EQ(object->QueryInterface(*iid, reinterpret_cast<void**>(&p)), S_OK) << k.name;
      if (p) p->Release();
    }
    for (const ClassCase& other : classes) {
      if (other.own == k.own) continue;
      IUnknown* p = reinterpret_cast<IUnknown*>(1);
      EXPECT_EQ(object->QueryInterface(*other.own, reinterpret_cast<void**>(&p)), E_NOINTERFACE)
          << k.name << " answered " << other.name << "'s interface";
      EXPECT_EQ(p, nullptr);
    }
    IUnknown* p = nullptr;
    EXPECT_EQ(object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&p)),
              E_NOINTERFACE);
  }
}

TEST(CursorInterfaces, ErrorInfoIsClaimedForTheOwnInterfaceOnly) {
  const std::vector<ClassCase> classes = AllClasses();
  for (const ClassCase& k : classes) {
    CComPtr<IUnknown> object = k.make();
    CComPtr<ISupportErrorInfo> info = orvtest::Query<ISupportErrorInfo>(object);
    ASSERT_TRUE(info) << k.name;
    EXPECT_EQ(info->InterfaceSupportsErrorInfo(*k.own), S_OK) << k.name;
    EXPECT_EQ(info->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE) << k.name;
    EXPECT_EQ(info->InterfaceSupportsErrorInfo(IID_ISupportErrorInfo), S_FALSE) << k.name;
    for (const ClassCase& other : classes) {
      if (other.own != k.own) {
        EXPECT_EQ(info->InterfaceSupportsErrorInfo(*other.own), S_FALSE) << k.name;
      }
    }
  }
}

// Every class over an empty set, reached the way out-of-process clients
// reach it (through IDispatch): its first string, an exchange where it has
// one, a Next that finds nothing more and a Find that misses.
TEST(CursorDispatch, EveryClassOverAnEmptySetShowsItsDefaults) {
  struct Case {
    const char* name;
    std::function<CComPtr<IDispatch>()> make;
    DISPID next;
    DISPID find;
    const char* first;     // DISPID 1
    DISPID exchange;       // 0: none
  };
  auto dispatch = [](auto cursor) { return orvtest::Query<IDispatch>(cursor); };
  const std::vector<Case> cases = {
      {"CStocks", [&] { return dispatch(MakeCursor<CStocks, IStocksEnt>({})); }, 21, 22, "", 3},
      {"COptions", [&] { return dispatch(MakeCursor<COptions, IOptionsEnt>({})); }, 23, 24, "", 8},
      {"CNstdOptions", [&] { return dispatch(MakeCursor<CNstdOptions, INstdOptionsEnt>({})); }, 23, 24, "", 12},
      {"CFutOptions", [&] { return dispatch(MakeCursor<CFutOptions, IFutOptionsEnt>({})); }, 23, 24, "", 28},
      {"CFutures", [&] { return dispatch(MakeCursor<CFutures, IFuturesEnt>({})); }, 17, 18, "", 5},
      {"CIVIndexes", [&] { return dispatch(MakeCursor<CIVIndexes, IIVIndexesEnt>({})); }, 5, 6, "", 0},
      {"CIVSurfaces", [&] { return dispatch(MakeCursor<CIVSurfaces, IIVSurfacesEnt>({})); }, 8, 9, "", 0},
      {"CFutIVIndexes", [&] { return dispatch(MakeCursor<CFutIVIndexes, IFutIVIndexesEnt>({})); }, 5, 6, "", 0},
      {"CFutIVSurfaces", [&] { return dispatch(MakeCursor<CFutIVSurfaces, IFutIVSurfacesEnt>({})); }, 8, 9, "", 0},
      {"CInterestRate", [&] { return dispatch(MakeCursor<CInterestRate, IInterestRateEnt>({})); }, 4, 5, "", 0},
      {"CHVEnt", [&] { return dispatch(MakeCursor<CHVEnt, IHVEnt>({})); }, 4, 5, "<null>", 0},
      {"CIVATM", [&] { return dispatch(MakeCursor<CIVATM, IIVATMEnt>({})); }, 4, 5, "<null>", 0},
  };
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CComPtr<IDispatch> d = c.make();
    ASSERT_TRUE(d);
    CComVariant first;
    ASSERT_EQ(d->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &first, nullptr, nullptr),
              S_OK);
    ASSERT_EQ(first.vt, VT_BSTR);
    EXPECT_EQ(first.bstrVal ? orvcom::Narrow(first.bstrVal) : std::string("<null>"), c.first);
    if (c.exchange) {
      CComVariant exchange;
      ASSERT_EQ(d->Invoke(c.exchange, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &exchange,
                          nullptr, nullptr),
                S_OK);
      ASSERT_EQ(exchange.vt, VT_BSTR);
      EXPECT_EQ(orvcom::Narrow(exchange.bstrVal), "*");
    }
    for (DISPID id : {c.next, c.find}) {
      CComVariant symbol(u"x");
      DISPPARAMS args = {&symbol, nullptr, id == c.find ? 1u : 0u, 0};
      CComVariant answer;
      ASSERT_EQ(d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &args, &answer, nullptr, nullptr),
                S_OK)
          << id;
      ASSERT_EQ(answer.vt, VT_BOOL) << id;
      EXPECT_EQ(answer.boolVal, VARIANT_FALSE) << id;
    }
  }
}

// Every class over two records, through IDispatch: Next moves to the
// second and then stays there, Find goes back to the first by the class's
// key (historical and at-the-money volatilities are never searched).
TEST(CursorDispatch, EveryClassWalksAndFindsByItsKey) {
  struct Case {
    const char* name;
    std::function<CComPtr<IDispatch>()> make;  // keys "AAA" then "BBB"
    DISPID key;
    DISPID next;
    DISPID find;
    bool searchable;
  };
  auto dispatch = [](auto cursor) { return orvtest::Query<IDispatch>(cursor); };
  const std::vector<Case> cases = {
      {"CStocks", [&] {
         std::vector<StockRecord> r(2);
         r[0].Symbol = Str("AAA"), r[1].Symbol = Str("BBB");
         return dispatch(MakeCursor<CStocks, IStocksEnt>(r));
       }, 1, 21, 22, true},
      {"COptions", [&] {
         std::vector<OptionRecord> r(2);
         r[0].StockSymbol = Str("AAA"), r[1].StockSymbol = Str("BBB");
         return dispatch(MakeCursor<COptions, IOptionsEnt>(r));
       }, 2, 23, 24, true},
      {"CNstdOptions", [&] {
         std::vector<NstdOptionRecord> r(2);
         r[0].StockSymbol = Str("AAA"), r[1].StockSymbol = Str("BBB");
         return dispatch(MakeCursor<CNstdOptions, INstdOptionsEnt>(r));
       }, 2, 23, 24, true},
      {"CFutOptions", [&] {
         std::vector<OptionRecord> r(2);
         r[0].StockSymbol = Str("AAA"), r[1].StockSymbol = Str("BBB");
         return dispatch(MakeCursor<CFutOptions, IFutOptionsEnt>(r));
       }, 2, 23, 24, true},
      {"CFutures", [&] {
         std::vector<FuturesRecord> r(2);
         r[0].Symbol = Str("AAA"), r[1].Symbol = Str("BBB");
         return dispatch(MakeCursor<CFutures, IFuturesEnt>(r));
       }, 1, 17, 18, true},
      {"CIVIndexes", [&] {
         std::vector<IVIndexRecord> r(2);
         r[0].Symbol = Str("AAA"), r[1].Symbol = Str("BBB");
         return dispatch(MakeCursor<CIVIndexes, IIVIndexesEnt>(r));
       }, 1, 5, 6, true},
      {"CIVSurfaces", [&] {
         std::vector<IVSurfaceRecord> r(2);
         r[0].Symbol = Str("AAA"), r[1].Symbol = Str("BBB");
         return dispatch(MakeCursor<CIVSurfaces, IIVSurfacesEnt>(r));
       }, 1, 8, 9, true},
      {"CFutIVIndexes", [&] {
         std::vector<IVIndexRecord> r(2);
         r[0].Symbol = Str("AAA"), r[1].Symbol = Str("BBB");
         return dispatch(MakeCursor<CFutIVIndexes, IFutIVIndexesEnt>(r));
       }, 1, 5, 6, true},
      {"CFutIVSurfaces", [&] {
         std::vector<IVSurfaceRecord> r(2);
         r[0].Symbol = Str("AAA"), r[1].Symbol = Str("BBB");
         return dispatch(MakeCursor<CFutIVSurfaces, IFutIVSurfacesEnt>(r));
       }, 1, 8, 9, true},
      {"CInterestRate", [&] {
         std::vector<InterestRateRecord> r(2);
         r[0].Currency = Str("AAA"), r[1].Currency = Str("BBB");
         return dispatch(MakeCursor<CInterestRate, IInterestRateEnt>(r));
       }, 1, 4, 5, true},
      {"CHVEnt", [&] {
         std::vector<HVRecord> r(2);
         r[0].Symbol = Str("AAA"), r[1].Symbol = Str("BBB");
         return dispatch(MakeCursor<CHVEnt, IHVEnt>(r));
       }, 1, 4, 5, false},
      {"CIVATM", [&] {
         std::vector<IVATMRecord> r(2);
         r[0].Symbol = Str("AAA"), r[1].Symbol = Str("BBB");
         return dispatch(MakeCursor<CIVATM, IIVATMEnt>(r));
       }, 1, 4, 5, false},
  };
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CComPtr<IDispatch> d = c.make();
    ASSERT_TRUE(d);
    auto key = [&] {
      CComVariant v;
      EXPECT_EQ(d->Invoke(c.key, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &v, nullptr, nullptr),
                S_OK);
      return v.vt == VT_BSTR && v.bstrVal ? orvcom::Narrow(v.bstrVal) : std::string("?");
    };
    auto call = [&](DISPID id, const OLECHAR* symbol) {
      CComVariant arg(symbol ? symbol : u"");
      DISPPARAMS args = {&arg, nullptr, symbol ? 1u : 0u, 0};
      CComVariant answer;
      EXPECT_EQ(d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &args, &answer, nullptr, nullptr),
                S_OK);
      return answer.vt == VT_BOOL ? answer.boolVal : VARIANT_BOOL(7);
    };
    EXPECT_EQ(key(), "AAA");
    EXPECT_EQ(call(c.next, nullptr), VARIANT_TRUE);
    EXPECT_EQ(key(), "BBB");
    EXPECT_EQ(call(c.next, nullptr), VARIANT_FALSE);
    EXPECT_EQ(key(), "BBB");
    EXPECT_EQ(call(c.find, u"aaa"), c.searchable ? VARIANT_TRUE : VARIANT_FALSE);
    EXPECT_EQ(key(), c.searchable ? "AAA" : "BBB");
  }
}

TEST(CursorLifetime, ObjectsAreCountedUntilTheLastReferenceGoes) {
  const LONG before = COptions::ActiveObjectCount();
  {
    CComPtr<IOptionsEnt> a = MakeCursor<COptions, IOptionsEnt>({OptionOf("A", "B")});
    CComPtr<IOptionsEnt> b = a;
    EXPECT_EQ(COptions::ActiveObjectCount(), before + 1);
    a.Release();
    EXPECT_EQ(COptions::ActiveObjectCount(), before + 1);
  }
  EXPECT_EQ(COptions::ActiveObjectCount(), before);
}

TEST(CursorLifetime, RecordsShareTheirStringsWithTheProducersVector) {
  std::vector<StockRecord> produced = {Stock("IBM")};
  CComPtr<IStocksEnt> c = MakeCursor<CStocks, IStocksEnt>(produced);
  produced.clear();  // the producer's vector goes; the cursor keeps the text
  EXPECT_EQ(Symbol(c), "IBM");
}

// ---- Through automation ----------------------------------------------------------

// Clients reach cursors by DISPID, out of process; the dual interface's
// dispatch side must land on the same members.
TEST(CursorDispatch, PropertiesNextAndFindByDispid) {
  CComPtr<IStocksEnt> c = MakeCursor<CStocks, IStocksEnt>({Stock("AAA", 1), Stock("BBB", 2)});
  IDispatch* d = c;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  CComVariant v;
  ASSERT_EQ(d->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &v, nullptr, nullptr), S_OK);
  ASSERT_EQ(v.vt, VT_BSTR);
  EXPECT_EQ(orvcom::Narrow(v.bstrVal), "AAA");

  CComVariant found;
  CComVariant arg(u"bbb");
  DISPPARAMS one = {&arg, nullptr, 1, 0};
  ASSERT_EQ(d->Invoke(22, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &one, &found, nullptr, nullptr), S_OK);
  ASSERT_EQ(found.vt, VT_BOOL);
  EXPECT_EQ(found.boolVal, VARIANT_TRUE);
  CComVariant volume;
  ASSERT_EQ(d->Invoke(14, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &volume, nullptr, nullptr),
            S_OK);
  ASSERT_EQ(volume.vt, VT_I4);
  EXPECT_EQ(volume.lVal, 2);

  CComVariant more;
  ASSERT_EQ(d->Invoke(21, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &more, nullptr, nullptr), S_OK);
  ASSERT_EQ(more.vt, VT_BOOL);
  EXPECT_EQ(more.boolVal, VARIANT_FALSE);

  OLECHAR name[] = u"OutstandingShares";
  LPOLESTR names[] = {name};
  DISPID id = 0;
  ASSERT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
  EXPECT_EQ(id, 38);
}

// ---- Registration --------------------------------------------------------------

// The module's object map registers the cursor classes through their own
// scripts; a class bound to the wrong script would register another
// class's identifier under its ProgID.
TEST(CursorRegistration, EachClassRegistersItsOwnIdentifier) {
  // Per process: other builds of this test may run at the same time.
  const std::string path = ::testing::TempDir() + "cursor_registration." + std::to_string(getpid()) + ".reg";
  std::remove(path.c_str());
  ASSERT_EQ(setenv("ORV_REGISTRY", path.c_str(), 1), 0);
  struct Entry {
    HRESULT (*update)(BOOL);
    const char* progId;
    const CLSID* clsid;
  };
  const Entry entries[] = {
      {&CStocks::UpdateRegistry, "ORVE.StocksEnt", &CLSID_StocksEnt},
      {&COptions::UpdateRegistry, "ORVE.OptionsEnt", &CLSID_OptionsEnt},
      {&CNstdOptions::UpdateRegistry, "ORVE.NstdOptionsEnt", &CLSID_NstdOptionsEnt},
      {&CIVIndexes::UpdateRegistry, "ORVE.IVIndexesEnt", &CLSID_IVIndexesEnt},
      {&CIVSurfaces::UpdateRegistry, "ORVE.IVSurfacesEnt", &CLSID_IVSurfacesEnt},
      {&CInterestRate::UpdateRegistry, "ORVE.IInterestRateEnt", &CLSID_InterestRateEnt},
      {&CHVEnt::UpdateRegistry, "OrvEnterprise.HVEnt", &CLSID_HVEnt},
      {&CIVATM::UpdateRegistry, "OrvEnterprise.IVATMEnt", &CLSID_IVATMEnt},
  };
  for (const Entry& e : entries) {
    ASSERT_EQ(e.update(TRUE), S_OK) << e.progId;
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, (std::string(e.progId) + "\\CLSID").c_str(), 0, KEY_READ, &key),
              ERROR_SUCCESS)
        << e.progId;
    char text[64] = {};
    DWORD size = sizeof text;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(text), &size),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(std::string(text), orvcom::GuidToString(*e.clsid)) << e.progId;
    EXPECT_EQ(e.update(FALSE), S_OK) << e.progId;
  }
  // The futures classes have no script and register nothing.
  for (HRESULT (*update)(BOOL) : {&CFutures::UpdateRegistry, &CFutOptions::UpdateRegistry,
                                  &CFutIVIndexes::UpdateRegistry, &CFutIVSurfaces::UpdateRegistry}) {
    EXPECT_EQ(update(TRUE), S_OK);
  }
  unsetenv("ORV_REGISTRY");
  std::remove(path.c_str());
}

// ---- One cursor from several threads -----------------------------------------

TEST(CursorThreads, ReadsDuringAWalkSeeWholeRecords) {
  std::vector<StockRecord> records;
  for (int i = 0; i < 200; ++i) {
    StockRecord r = Stock(("S" + std::to_string(i)).c_str(), i);
    r.Currency = Str(("C" + std::to_string(i)).c_str());
    records.push_back(r);
  }
  CComPtr<IStocksEnt> c = MakeCursor<CStocks, IStocksEnt>(records);
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      BSTR symbol, lastEx, bidEx, askEx, currency;
      float f[5];
      DATE d[4];
      LONG l[5];
      StockTypeEnum t;
      if (c->GetStockData(&symbol, &f[0], &lastEx, &d[0], &l[0], &f[1], &bidEx, &d[1], &l[1], &f[2], &askEx,
                          &d[2], &l[2], &l[3], &t, &l[4], &d[3], &f[3], &f[4], &currency) != S_OK) {
        ++torn;
        continue;
      }
      const std::string s = TakeText(symbol), cur = TakeText(currency);
      if (s.substr(1) != cur.substr(1) || s != "S" + std::to_string(l[3])) ++torn;
      TakeText(lastEx);
      TakeText(bidEx);
      TakeText(askEx);
      Text(c.p, &IStocksEnt::get_Symbol);
    }
  });
  for (int round = 0; round < 20; ++round) {
    VARIANT_BOOL b = VARIANT_TRUE;
    while (b == VARIANT_TRUE) c->Next(&b);
    CComBSTR first("s0");
    c->Find(first, &b);
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
}

// Each property reads the current record under the cursor's lock: while
// another thread moves the cursor, every value read is a value of some
// record, never one half-replaced or freed.
TEST(CursorThreads, PropertyReadsDuringAWalkSeeWholeValues) {
  std::vector<StockRecord> records;
  const std::string padding(40, 'x');
  for (int i = 0; i < 200; ++i) {
    StockRecord r = Stock(("S" + std::to_string(i) + padding).c_str(), 1000 + i);
    r.Currency = Str(("C" + std::to_string(i) + padding).c_str());
    r.LastPrice = static_cast<float>(i);
    records.push_back(r);
  }
  CComPtr<IStocksEnt> c = MakeCursor<CStocks, IStocksEnt>(records);
  auto wholeText = [&](const std::string& text, char head) {
    if (text.empty() || text == "<null>") return true;  // the walk's end
    if (text[0] != head || text.size() <= padding.size() + 1) return false;
    const std::string number = text.substr(1, text.size() - 1 - padding.size());
    return text.compare(text.size() - padding.size(), padding.size(), padding) == 0 && !number.empty() &&
           number.find_first_not_of("0123456789") == std::string::npos && std::stoi(number) < 200;
  };
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!done || reads == 0) {
      if (!wholeText(Text(c.p, &IStocksEnt::get_Symbol), 'S')) ++torn;
      if (!wholeText(Text(c.p, &IStocksEnt::get_Currency), 'C')) ++torn;
      LONG volume = 0;
      float last = -1;
      if (c->get_Volume(&volume) != S_OK || (volume != 0 && (volume < 1000 || volume >= 1200))) ++torn;
      if (c->get_LastPrice(&last) != S_OK || last < 0 || last >= 200) ++torn;
      ++reads;
    }
  });
  for (int round = 0; round < 20; ++round) {
    VARIANT_BOOL b = VARIANT_TRUE;
    while (b == VARIANT_TRUE) c->Next(&b);
    CComBSTR first(("s0" + padding).c_str());
    c->Find(first, &b);
  }
  done = true;
  reader.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(torn, 0);
}

}  // namespace

namespace {

// A busy start makes cursors by the thousand: their lines would crowd the
// rest out of the log at the level it has when the settings name none.
TEST(CursorLog, CreationAndDeletionAreTraceLines) {
  const int kDefaultLevel = 2;  // the settings' default, handed to the log as it is
  for (int level : {kDefaultLevel, int(orvlog::kDebug), int(orvlog::kTrace)}) {
    LogCapture log(level);
    orvtest::MakeCursor<CStocks, IStocksEnt>({}).Release();
    orvtest::MakeCursor<COptions, IOptionsEnt>({}).Release();
    const bool shown = level == orvlog::kTrace;
    EXPECT_EQ(log.Contains("CStocks object created"), shown) << level;
    EXPECT_EQ(log.Contains("CStocks object deleted"), shown) << level;
    EXPECT_EQ(log.Contains("COptions object created"), shown) << level;
  }
}

}  // namespace
