#include "dde/RequestRenderer.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "dde/ItemCatalogue.h"

using namespace zmdde;

namespace {

const DdeHandleValue kStockTopic = 101;
const DdeHandleValue kFutureTopic = 102;
const DdeHandleValue kOptionTopic = 103;
const DdeHandleValue kNstdTopic = 104;
const DdeHandleValue kFutOptionTopic = 105;
const DdeHandleValue kUnknownTopic = 199;

class RequestRendererTest : public ::testing::Test {
 protected:
  RequestRendererTest() : months_(MakeMonthTable()), renderer_(store_, months_) {
    credentials_.user = "trader";
    credentials_.password = "s3cret";
  }

  std::optional<std::string> Request(DdeHandleValue topicHandle, const std::string& topic,
                                     const std::string& item) const {
    return renderer_.Render(topicHandle, topic, item, credentials_);
  }

  StockEntry& AddStock(const char* symbol, DdeHandleValue topic) {
    auto* entry = new StockEntry(symbol, 0, 0);
    entry->snapshot = 1;
    store_.stock.entries.push_back(entry);
    store_.stock.bySymbol[symbol] = entry;
    store_.stock.byTopic[topic] = entry;
    return *entry;
  }

  FutureEntry& AddFuture(const char* symbol, DdeHandleValue topic) {
    auto* entry = new FutureEntry(symbol, 0, 0);
    entry->snapshot = 1;
    store_.futures.entries.push_back(entry);
    store_.futures.bySymbol[symbol] = entry;
    store_.futures.byTopic[topic] = entry;
    return *entry;
  }

  template <class Entry>
  Entry& AddOption(OptionGroup<Entry>& group, Entry* entry, DdeHandleValue topic) {
    entry->snapshot = 1;
    group.entries.push_back(entry);
    group.bySymbol[entry->symbol] = entry;
    group.byTopic[topic] = entry;
    return *entry;
  }

  template <class Entry>
  static void FillOption(Entry& e) {
    e.stockSymbol = "MSFT";
    e.strikePrice = 25.5f;
    e.expirationDate = 40558.0;  // 15 January 2011
    e.optionType = 0;
    e.iv = 0.3125f;
    e.bidPrice = 1.25f;
    e.askPrice = 1.5f;
    e.delta = 0.5f;
    e.vega = 0.125f;
    e.gamma = 0.0625f;
    e.theta = -0.25f;
    e.rho = 0.03125f;
    e.volume = 1200;
    e.bidDate = 40543.25;
    e.askDate = 40543.75;
    e.bidExchange = "C";
    e.askExchange = "X";
    e.bidSize = 10;
    e.askSize = 20;
    e.preIV = 0.375f;
    e.openInterest = 5000;
    e.lastPrice = 1.375f;
    e.lastDate = 40543.5;
    e.lastExchange = "P";
    e.lastSize = 3;
  }

  CDataHolder store_;
  MonthTable months_;
  CRequestRenderer renderer_;
  DdeCredentials credentials_;
};

struct ItemCase {
  const char* item;
  const char* text;
};

TEST_F(RequestRendererTest, EveryStockItemWithItsFormat) {
  StockEntry& e = AddStock("MSFT", kStockTopic);
  e.lastPrice = 12.34f;
  e.volume = 123456;
  e.divLastDate = 40400.0f;
  e.divAmount = 0.16f;
  e.divFreq = 4;
  e.divYield = 2.5f;
  e.lastDate = 40543.5;  // noon on 31 December 2010
  e.lastExchange = "Q";
  e.lastSize = 100;
  e.bidPrice = 12.3f;
  e.askPrice = 12.35f;
  e.bidDate = 40543.25;
  e.askDate = 40543.75;
  e.bidExchange = "N";
  e.askExchange = "A";
  e.bidSize = 7;
  e.askSize = -8;
  e.priceClose = 12.0f;
  e.priceLow52wk = 9.5f;
  e.priceHigh52wk = 15.25f;
  e.ivx1m = 0.25f;
  e.ivx1mYest = 0.5f;
  e.ivx1mLow52wk = 0.125f;
  e.ivx1mHigh52wk = 0.75f;
  e.hv1m = 0.2f;
  e.hv1mYest = 0.21f;
  e.hv1mLow52wk = 0.1f;
  e.hv1mHigh52wk = 0.4f;
  e.optionVolumeCall = 3000;
  e.optionVolumePut = 2000;
  e.optionVolumeAvg = 2500.5f;
  e.outstandingShares = 8500000.0f;

  const ItemCase cases[] = {
      {"Price", "12.3400"},
      {"StckPrice", "12.3400"},
      {"StckVolume", "123456"},
      {"DivDate", "40400.000000"},
      {"DivAmount", "0.160000"},
      {"DivFreq", "4"},
      {"DivYield", "2.500000"},
      {"StckLastTime", "40543.500000"},
      {"StckLastExch", "Q"},
      {"StckLastSize", "100"},
      {"StckBid", "12.3000"},
      {"StckAsk", "12.3500"},
      {"StckBidTime", "40543.250000"},
      {"StckAskTime", "40543.750000"},
      {"StckBidExch", "N"},
      {"StckAskExch", "A"},
      {"StckBidSize", "7"},
      {"StckAskSize", "-8"},
      {"StckPriceClose", "12.0000"},
      {"StckPriceLow52wk", "9.5000"},
      {"StckPriceHigh52wk", "15.2500"},
      {"Ivx1m", "0.2500"},
      {"Ivx1mYest", "0.5000"},
      {"Ivx1mLow52wk", "0.1250"},
      {"Ivx1mHigh52wk", "0.7500"},
      {"Hv1m", "0.2000"},
      {"Hv1mYest", "0.2100"},
      {"Hv1mLow52wk", "0.1000"},
      {"Hv1mHigh52wk", "0.4000"},
      {"StckOptnVolumeCall", "3000"},
      {"StckOptnVolumePut", "2000"},
      {"StckOptnVolumeAvg", "2500.5000"},
      {"OutstandingShares", "8500000.0000"},
  };
  for (const ItemCase& c : cases) {
    SCOPED_TRACE(c.item);
    EXPECT_EQ(std::optional<std::string>(c.text), Request(kStockTopic, "MSFT", c.item));
  }
  EXPECT_EQ(33u, sizeof cases / sizeof cases[0]);
}

TEST_F(RequestRendererTest, EveryFuturesItemWithItsFormat) {
  FutureEntry& e = AddFuture("/ESH1", kFutureTopic);
  e.lastPrice = 1250.25f;
  e.volume = 99;
  e.lastDate = 40543.5;
  e.lastExchange = "CME";
  e.lastSize = 2;
  e.bidPrice = 1250.0f;
  e.askPrice = 1250.5f;
  e.bidDate = 40543.25;
  e.askDate = 40543.75;
  e.bidExchange = "CBT";
  e.askExchange = "CME";
  e.bidSize = 30;
  e.askSize = 40;

  const ItemCase cases[] = {
      {"FutPrice", "1250.2500"},   {"FutVolume", "99"},        {"FutLastTime", "40543.500000"},
      {"FutLastExch", "CME"},      {"FutLastSize", "2"},       {"FutBid", "1250.0000"},
      {"FutAsk", "1250.5000"},     {"FutBidTime", "40543.250000"},
      {"FutAskTime", "40543.750000"}, {"FutBidExch", "CBT"},  {"FutAskExch", "CME"},
      {"FutBidSize", "30"},        {"FutAskSize", "40"},
  };
  for (const ItemCase& c : cases) {
    SCOPED_TRACE(c.item);
    EXPECT_EQ(std::optional<std::string>(c.text), Request(kFutureTopic, "\\ESH1", c.item));
  }
  // The stock name of the price is no futures item, and the close price
  // has a handle but no value behind it.
  EXPECT_EQ(std::nullopt, Request(kFutureTopic, "\\ESH1", "Price"));
  EXPECT_EQ(std::nullopt, Request(kFutureTopic, "\\ESH1", "FutPriceClose"));
}

// The option and future option tables answer the same fields in the same
// formats under their own names.
const ItemCase kOptionCases[] = {
    {"StockSymbol", "MSFT"},       {"Strike", "25.5000"},          {"ExpDate", "40558.000000"},
    {"Type", "Call"},              {"IV", "0.3125"},               {"Bid", "1.2500"},
    {"Ask", "1.5000"},             {"Delta", "0.5000"},            {"GrkDelta", "0.5000"},
    {"Vega", "0.1250"},            {"GrkVega", "0.1250"},          {"Gamma", "0.0625"},
    {"GrkGamma", "0.0625"},        {"Theta", "-0.2500"},           {"GrkTheta", "-0.2500"},
    {"Rho", "0.0312"},             {"GrkRho", "0.0312"},           {"OptnVolume", "1200"},
    {"OptnBidTime", "40543.250000"}, {"OptnAskTime", "40543.750000"}, {"OptnBidExch", "C"},
    {"OptnAskExch", "X"},          {"OptnBidSize", "10"},          {"OptnAskSize", "20"},
    {"PreIv", "0.3750"},           {"OpenInterest", "5000"},       {"OptnLastPrice", "1.3750"},
    {"OptnLastTime", "40543.500000"}, {"OptnLastExch", "P"},        {"OptnLastSize", "3"},
};

const ItemCase kFutOptionCases[] = {
    {"FutureSymbol", "MSFT"},          {"FutOptStrike", "25.5000"},
    {"FutOptExpDate", "40558.000000"}, {"FutOptType", "Call"},
    {"FutOptIV", "0.3125"},            {"FutOptBid", "1.2500"},
    {"FutOptAsk", "1.5000"},           {"FutOptDelta", "0.5000"},
    {"FutOptGrkDelta", "0.5000"},      {"FutOptVega", "0.1250"},
    {"FutOptGrkVega", "0.1250"},       {"FutOptGamma", "0.0625"},
    {"FutOptGrkGamma", "0.0625"},      {"FutOptTheta", "-0.2500"},
    {"FutOptGrkTheta", "-0.2500"},     {"FutOptRho", "0.0312"},
    {"FutOptGrkRho", "0.0312"},        {"FutOptOptnVolume", "1200"},
    {"FutOptnBidTime", "40543.250000"}, {"FutOptnAskTime", "40543.750000"},
    {"FutOptnBidExch", "C"},           {"FutOptnAskExch", "X"},
    {"FutOptnBidSize", "10"},          {"FutOptnAskSize", "20"},
    {"FutOptnPreIv", "0.3750"},        {"FutOpenInterest", "5000"},
    {"FutOptnLastPrice", "1.3750"},    {"FutOptnLastTime", "40543.500000"},
    {"FutOptnLastExch", "P"},          {"FutOptnLastSize", "3"},
};

TEST_F(RequestRendererTest, EveryOptionItemWithItsFormat) {
  OptionEntry& e = AddOption(store_.option, new OptionEntry("MSQ AE", "", 0, 0, 0, 0, 0, 0, 0, 0,
                                                            0, 0, 0, 0),
                             kOptionTopic);
  FillOption(e);
  for (const ItemCase& c : kOptionCases) {
    SCOPED_TRACE(c.item);
    EXPECT_EQ(std::optional<std::string>(c.text), Request(kOptionTopic, "MSQ AE", c.item));
  }
  EXPECT_EQ(std::nullopt, Request(kOptionTopic, "MSQ AE", "RootId"));
  EXPECT_EQ(std::nullopt, Request(kOptionTopic, "MSQ AE", "FutOptStrike"));
}

TEST_F(RequestRendererTest, NonStandardOptionAnswersTheOptionItemsAndRootId) {
  NstdOptionEntry& e = AddOption(
      store_.nstdOption,
      new NstdOptionEntry("MSQ1 AE", "", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 77), kNstdTopic);
  FillOption(e);
  for (const ItemCase& c : kOptionCases) {
    SCOPED_TRACE(c.item);
    EXPECT_EQ(std::optional<std::string>(c.text), Request(kNstdTopic, "MSQ1 AE", c.item));
  }
  EXPECT_EQ(std::optional<std::string>("77"), Request(kNstdTopic, "MSQ1 AE", "RootId"));

  // An option entry that an option field made for the same topic, still
  // without values, does not hide the non-standard option's; one with
  // values of its own answers itself.
  OptionEntry& empty = AddOption(store_.option, new OptionEntry("MSQ1 AE", "", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0),
                                 kNstdTopic);
  empty.snapshot = 0;
  for (const ItemCase& c : kOptionCases) {
    SCOPED_TRACE(c.item);
    EXPECT_EQ(std::optional<std::string>(c.text), Request(kNstdTopic, "MSQ1 AE", c.item));
  }
  empty.snapshot = 1;
  EXPECT_EQ(std::optional<std::string>("0.0000"), Request(kNstdTopic, "MSQ1 AE", "Bid"));
}

TEST_F(RequestRendererTest, EveryFutureOptionItemWithItsFormat) {
  OptionEntry& e = AddOption(store_.futOption, new OptionEntry("ESH1 C1250", "", 0, 0, 0, 0, 0, 0,
                                                               0, 0, 0, 0, 0, 0),
                             kFutOptionTopic);
  FillOption(e);
  for (const ItemCase& c : kFutOptionCases) {
    SCOPED_TRACE(c.item);
    EXPECT_EQ(std::optional<std::string>(c.text), Request(kFutOptionTopic, "ESH1 C1250", c.item));
  }
  EXPECT_EQ(std::nullopt, Request(kFutOptionTopic, "ESH1 C1250", "Strike"));
}

TEST_F(RequestRendererTest, OptionTypeIsCallOnlyForZero) {
  OptionEntry& e = AddOption(store_.option, new OptionEntry("O", "", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                            0, 0),
                             kOptionTopic);
  for (LONG type : {1, 2, -1}) {
    e.optionType = type;
    EXPECT_EQ(std::optional<std::string>("Put"), Request(kOptionTopic, "O", "Type"));
  }
  e.optionType = 0;
  EXPECT_EQ(std::optional<std::string>("Call"), Request(kOptionTopic, "O", "Type"));
}

TEST_F(RequestRendererTest, ItemNamesMatchInAnyLetterCase) {
  AddStock("MSFT", kStockTopic).lastPrice = 12.34f;
  EXPECT_EQ(std::optional<std::string>("12.3400"), Request(kStockTopic, "msft", "stckprice"));
  EXPECT_EQ(std::optional<std::string>("12.3400"), Request(kStockTopic, "MSFT", "PRICE"));
  EXPECT_EQ(std::optional<std::string>("trader"), Request(kStockTopic, "MSFT", "LOGIN"));
}

TEST_F(RequestRendererTest, NoSnapshotYetMeansNoData) {
  AddStock("MSFT", kStockTopic).snapshot = 0;
  EXPECT_EQ(std::nullopt, Request(kStockTopic, "MSFT", "Price"));
  // An option entry without values ends the request without data, unless
  // the topic's non-standard option has values of its own.
  OptionEntry& option = AddOption(
      store_.option, new OptionEntry("O", "", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), kOptionTopic);
  option.snapshot = 0;
  EXPECT_EQ(std::nullopt, Request(kOptionTopic, "O", "Strike"));
  NstdOptionEntry& nstd = AddOption(
      store_.nstdOption, new NstdOptionEntry("O", "", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1),
      kOptionTopic);
  nstd.strikePrice = 10;
  nstd.snapshot = 0;
  EXPECT_EQ(std::nullopt, Request(kOptionTopic, "O", "Strike"));
  nstd.snapshot = 1;
  EXPECT_EQ(std::optional<std::string>("10.0000"), Request(kOptionTopic, "O", "Strike"));
}

TEST_F(RequestRendererTest, UnknownTopicsAndItemsGetNoData) {
  AddStock("MSFT", kStockTopic);
  EXPECT_EQ(std::nullopt, Request(kUnknownTopic, "NOPE", "Price"));
  EXPECT_EQ(std::nullopt, Request(kStockTopic, "MSFT", "NoSuchItem"));
  EXPECT_EQ(std::nullopt, Request(kStockTopic, "MSFT", ""));
  EXPECT_EQ(std::nullopt, Request(kStockTopic, "MSFT", "Pric"));
  // Login and Password are answered on any topic, System and unknown ones
  // included, since nothing before them claims them.
  EXPECT_EQ(std::optional<std::string>("trader"), Request(kUnknownTopic, "NOPE", "Login"));
  EXPECT_EQ(std::optional<std::string>("s3cret"), Request(kUnknownTopic, "System", "Password"));
}

TEST_F(RequestRendererTest, OverlongNamesAndValuesGetNoData) {
  StockEntry& e = AddStock("MSFT", kStockTopic);
  e.lastPrice = 3.0e38f;  // "%.4f" of it is far longer than a value may be
  EXPECT_EQ(std::nullopt, Request(kStockTopic, "MSFT", "Price"));
  e.lastExchange = std::string(39, 'E').c_str();
  EXPECT_EQ(std::optional<std::string>(std::string(39, 'E')),
            Request(kStockTopic, "MSFT", "StckLastExch"));
  e.lastExchange = std::string(40, 'E').c_str();
  EXPECT_EQ(std::nullopt, Request(kStockTopic, "MSFT", "StckLastExch"));

  const std::string longName = "HV_T30" + std::string(300, 'X');
  EXPECT_EQ(std::nullopt, Request(kStockTopic, "MSFT", longName));
  EXPECT_EQ(std::nullopt, Request(kStockTopic, std::string(300, 'M'), "Login"));
  credentials_.user = std::string(64, 'u');
  EXPECT_EQ(std::nullopt, Request(kStockTopic, "MSFT", "Login"));
}

TEST_F(RequestRendererTest, HistoricalVolatilityByTerm) {
  StockEntry& e = AddStock("MSFT", kStockTopic);
  e.hvByTerm[30] = HvEntry{0.2125f, 0};
  EXPECT_EQ(std::optional<std::string>("0.2125"), Request(kStockTopic, "msft", "hv_t30"));
  // A term the entry lacks, a symbol without a stock entry and an entry
  // without a snapshot all end the request without data.
  EXPECT_EQ(std::nullopt, Request(kStockTopic, "MSFT", "HV_T60"));
  EXPECT_EQ(std::nullopt, Request(kStockTopic, "IBM", "HV_T30"));
  e.snapshot = 0;
  EXPECT_EQ(std::nullopt, Request(kStockTopic, "MSFT", "HV_T30"));
}

TEST_F(RequestRendererTest, HistoricalVolatilityFormWinsOverEveryOther) {
  AddStock("MSFT", kStockTopic);
  auto* atm = new AtmEntry("MSFT", 40452, 0.25f);  // October 2010
  atm->snapshot = 1;
  store_.atm.entries.push_back(atm);
  store_.atm.byKey.emplace(AtmKey("MSFT", 40452), atm);
  EXPECT_EQ(std::optional<std::string>("25.0000"), Request(kStockTopic, "MSFT", "ATM_Y10_OCT"));
  // With "HV" in it the same item reads as a volatility of term 0 (the T
  // of "OCT"), which the stock lacks: no data, and the ATM form is never
  // tried.
  EXPECT_EQ(std::nullopt, Request(kStockTopic, "MSFT", "HVATM_Y10_OCT"));
}

class ParametrisedTest : public RequestRendererTest {
 protected:
  IVIndexEntry& AddIndex(IVIndexGroup& group, const char* symbol, SHORT term, float call,
                         float put) {
    auto* entry = new IVIndexEntry(symbol, term, call, put);
    entry->snapshot = 1;
    group.entries.push_back(entry);
    group.byKey.emplace(IVIndexKey(symbol, term), entry);
    return *entry;
  }
  IVSurfaceEntry& AddSurface(IVSurfaceGroup& group, const char* symbol, SHORT term, SHORT otm,
                             LONG type) {
    auto* entry = new IVSurfaceEntry(symbol, term, 101.25f, otm, type, 0.3f, 0.45f);
    entry->snapshot = 1;
    group.entries.push_back(entry);
    group.byKey.emplace(IVSurfaceKey(symbol, term, otm, type), entry);
    return *entry;
  }
};

TEST_F(ParametrisedTest, IvIndexCallAndPut) {
  IVIndexEntry& e = AddIndex(store_.ivIndex, "MSFT", 30, 0.25f, 0.275f);
  EXPECT_EQ(std::optional<std::string>("0.2500"), Request(0, "msft", "IVXCALL_T30"));
  EXPECT_EQ(std::optional<std::string>("0.2750"), Request(0, "MSFT", "ivxput_t30"));
  EXPECT_EQ(std::nullopt, Request(0, "MSFT", "IVXCALL_T60"));
  e.snapshot = 0;
  EXPECT_EQ(std::nullopt, Request(0, "MSFT", "IVXCALL_T30"));
}

TEST_F(ParametrisedTest, IvSurfaceSelectors) {
  AddSurface(store_.ivSurface, "MSFT", 30, -5, kItemPut);
  const ItemCase cases[] = {
      {"IVSPUT_T30O-5VSTRIKE", "101.2500"},
      {"IVSPUT_T30O-5IV", "0.3000"},
      {"IVSPUT_T30O-5DELTA", "0.4500"},
      // VSTRIKE is looked for before IV, IV before DELTA.
      {"IVSPUT_T30O-5DELTA_IV", "0.3000"},
      {"IVSPUT_T30O-5IV_VSTRIKE", "101.2500"},
  };
  for (const ItemCase& c : cases) {
    SCOPED_TRACE(c.item);
    EXPECT_EQ(std::optional<std::string>(c.text), Request(0, "MSFT", c.item));
  }
  EXPECT_EQ(std::nullopt, Request(0, "MSFT", "IVSPUT_T30O-5GAMMA"));
  EXPECT_EQ(std::nullopt, Request(0, "MSFT", "IVSCALL_T30O-5IV"));  // another type
  EXPECT_EQ(std::nullopt, Request(0, "MSFT", "IVSPUT_T30O5IV"));    // another level
}

TEST_F(ParametrisedTest, FuturesIndexesAndSurfacesHaveTheirOwnGroups) {
  AddIndex(store_.futIvIndex, "\\ESH1", 30, 0.125f, 0.1875f);
  AddSurface(store_.futIvSurface, "\\ESH1", 60, 2, kItemCall);
  EXPECT_EQ(std::optional<std::string>("0.1875"), Request(0, "\\esh1", "IVFXPUT_T30"));
  EXPECT_EQ(std::optional<std::string>("0.4500"), Request(0, "\\ESH1", "IVFSCALL_T60O2DELTA"));
  // The equity groups do not hold them.
  EXPECT_EQ(std::nullopt, Request(0, "\\ESH1", "IVXPUT_T30"));
  EXPECT_EQ(std::nullopt, Request(0, "\\ESH1", "IVSCALL_T60O2DELTA"));
}

TEST_F(ParametrisedTest, InterestRateOfUsdPeriods) {
  store_.interestRates[30] = 0.0525f;
  EXPECT_EQ(std::optional<std::string>("0.052500"), Request(0, "InterestRate", "USD_T30"));
  EXPECT_EQ(std::optional<std::string>("0.052500"), Request(0, "INTERESTRATE", "usd_t30"));
  EXPECT_EQ(std::nullopt, Request(0, "InterestRate", "EUR_T30"));
  EXPECT_EQ(std::nullopt, Request(0, "InterestRate", "USD_T90"));
  // Only on its own topic.
  EXPECT_EQ(std::nullopt, Request(0, "MSFT", "USD_T30"));
  // A period the table lacks goes on to the ATM form, whose missing entry
  // answers a blank.
  EXPECT_EQ(std::optional<std::string>(" "), Request(0, "InterestRate", "USD_T90_ATMY10_JAN"));
}

TEST_F(ParametrisedTest, AtmAsPercentOrBlank) {
  auto* atm = new AtmEntry("MSFT", 40179, 0.3125f);
  atm->snapshot = 1;
  store_.atm.entries.push_back(atm);
  store_.atm.byKey.emplace(AtmKey("MSFT", 40179), atm);
  EXPECT_EQ(std::optional<std::string>("31.2500"), Request(0, "msft", "atm_y10_jan"));
  EXPECT_EQ(std::optional<std::string>("31.2500"), Request(0, "MSFT", "ATM_Y2010_JAN"));
  EXPECT_EQ(std::optional<std::string>(" "), Request(0, "MSFT", "ATM_Y10_FEB"));
  EXPECT_EQ(std::optional<std::string>(" "), Request(0, "IBM", "ATM_Y10_JAN"));
  atm->snapshot = 0;
  EXPECT_EQ(std::optional<std::string>(" "), Request(0, "MSFT", "ATM_Y10_JAN"));
  EXPECT_EQ(std::nullopt, Request(0, "MSFT", "ATM_Y10_JANUARY"));
}

TEST_F(ParametrisedTest, MissingIndexEntryFallsThroughToTheNextForm) {
  // "IVXCALL_IVSCALL_T30O5IV" reads as an IV index item and as an IV
  // surface item; without an index entry the surface answers.
  AddSurface(store_.ivSurface, "MSFT", 30, 5, kItemCall);
  EXPECT_EQ(std::optional<std::string>("0.3000"), Request(0, "MSFT", "IVXCALL_IVSCALL_T30O5IV"));
  // With an index entry the index answers first.
  AddIndex(store_.ivIndex, "MSFT", 30, 0.5f, 0.75f);
  EXPECT_EQ(std::optional<std::string>("0.5000"), Request(0, "MSFT", "IVXCALL_IVSCALL_T30O5IV"));
}

TEST_F(RequestRendererTest, FieldItemsComeBeforeParametrisedForms) {
  // "Hv1m" contains "HV" but is a stock field first.
  AddStock("MSFT", kStockTopic).hv1m = 0.33f;
  EXPECT_EQ(std::optional<std::string>("0.3300"), Request(kStockTopic, "MSFT", "Hv1m"));
}

TEST(RequestTopics, OneEntryPerTopicWhateverItsCase) {
  CDataHolder store;
  CRITICAL_SECTION topicLock;
  InitializeCriticalSection(&topicLock);
  std::vector<DdeHandleValue> kept;
  auto keep = [&](DdeHandleValue handle) { kept.push_back(handle); };

  EXPECT_TRUE(CRequestRenderer::NoteTopic(store, topicLock, UpperCaseName("msft"), 7, keep));
  EXPECT_FALSE(CRequestRenderer::NoteTopic(store, topicLock, UpperCaseName("MSFT"), 8, keep));
  EXPECT_TRUE(CRequestRenderer::NoteTopic(store, topicLock, "IBM", 9, keep));
  EXPECT_EQ(2u, store.topicOfSymbol.size());
  EXPECT_EQ(7u, store.topicOfSymbol.at("MSFT"));
  EXPECT_EQ((std::vector<DdeHandleValue>{7, 9}), kept);
  DeleteCriticalSection(&topicLock);
}

TEST(ItemCatalogue, TheServiceTableHoldsEveryNameOnce) {
  const std::vector<const char*>& names = DdeItemTableNames();
  std::set<std::string> folded;
  for (const char* name : names) folded.insert(UpperCaseName(name));
  EXPECT_EQ(112u, names.size());
  EXPECT_EQ(names.size(), folded.size());
  EXPECT_STREQ("Price", names.front());
  EXPECT_STREQ("InterestRate", names.back());
  for (const char* name : {"FutPriceClose", "RootId", "Login", "Password", "System",
                           "FutOptnLastSize"}) {
    EXPECT_EQ(1u, folded.count(UpperCaseName(name))) << name;
  }
}

}  // namespace
