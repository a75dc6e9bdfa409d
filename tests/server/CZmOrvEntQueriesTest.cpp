// The main object's query methods in process against orvsim: each kind of
// record handed out as a cursor, from a snapshot and from the table a
// subscription filled; the filters by strike, expiry, term, level and
// surface point; interest rates and historical volatility as numbers;
// at-the-money volatility with its refresh; and the frame's argument,
// connection and session errors for every query method.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <set>

#include <sqlite3.h>

#include "platform/com/atlbase.h"
#include "platform/com/comdef.h"
#include "feed/CDatabaseLock.h"
#include "server/CZmOrvEnt.h"
#include "tests/feed/LogCapture.h"
#include "tests/feed/SessionServiceSupport.h"
#include "tests/server/MainObjectEnvironment.h"
#include "tests/server/MainObjectTestSupport.h"
#include "platform/win/registry.h"

namespace orvtest {
namespace {

// The users these tests sign in as; the fifth futures root quotes in
// tenths, which no float holds exactly.
class QueryEnvironment : public MainObjectSimEnvironment {
 public:
  QueryEnvironment()
      : MainObjectSimEnvironment(SimOptions{{"--user", "q1:p", "--user", "q2:p", "--user", "q3:p", "--user", "q4:p",
                                             "--user", "q5:p", "--user", "q6:p", "--user", "q7:p", "--user", "q8:p",
                                             "--future-roots", "5"},
                                            false}) {}
};

CComPtr<IZmOrvEnt> SignedIn(const char* user, bool equities, bool futures) {
  CComPtr<IZmOrvEnt> object = NewObject();
  if (equities) { EXPECT_EQ(object->Connect(_bstr_t(user), _bstr_t("p")), S_OK) << TakeError(); }
  if (futures) { EXPECT_EQ(object->FutConnect(_bstr_t(user), _bstr_t("p")), S_OK) << TakeError(); }
  return object;
}

// Every record of a cursor, read through its properties into the record
// layout, from the current one on.
std::vector<OptionRecord> ReadOptions(IOptionsEnt* c) {
  std::vector<OptionRecord> out;
  VARIANT_BOOL more = VARIANT_TRUE;
  while (c != nullptr && more == VARIANT_TRUE) {
    OptionRecord r;
    BSTR s = nullptr;
    c->get_Symbol(&s);
    r.Symbol = _bstr_t(s, false);
    c->get_StockSymbol(&s);
    r.StockSymbol = _bstr_t(s, false);
    c->get_StrikePrice(&r.StrikePrice);
    c->get_ExpirationDate(&r.ExpirationDate);
    OptionTypeEnum type = enCall;
    c->get_OptionType(&type);
    r.OptionType[0] = type == enCall ? 'C' : 'P';
    c->Next(&more);
    out.push_back(r);
  }
  return out;
}

std::vector<OptionRecord> ReadFutOptions(IFutOptionsEnt* c) {
  std::vector<OptionRecord> out;
  VARIANT_BOOL more = VARIANT_TRUE;
  while (c != nullptr && more == VARIANT_TRUE) {
    OptionRecord r;
    BSTR s = nullptr;
    c->get_Symbol(&s);
    r.Symbol = _bstr_t(s, false);
    c->get_FuturesSymbol(&s);
    r.StockSymbol = _bstr_t(s, false);
    c->get_StrikePrice(&r.StrikePrice);
    c->get_ExpirationDate(&r.ExpirationDate);
    OptionTypeEnum type = enCall;
    c->get_OptionType(&type);
    r.OptionType[0] = type == enCall ? 'C' : 'P';
    c->Next(&more);
    out.push_back(r);
  }
  return out;
}

std::vector<NstdOptionRecord> ReadNstdOptions(INstdOptionsEnt* c) {
  std::vector<NstdOptionRecord> out;
  VARIANT_BOOL more = VARIANT_TRUE;
  while (c != nullptr && more == VARIANT_TRUE) {
    NstdOptionRecord r;
    BSTR s = nullptr;
    c->get_Symbol(&s);
    r.Symbol = _bstr_t(s, false);
    c->get_StockSymbol(&s);
    r.StockSymbol = _bstr_t(s, false);
    c->get_RootID(&r.RootID);
    c->get_StrikePrice(&r.StrikePrice);
    c->get_ExpirationDate(&r.ExpirationDate);
    OptionTypeEnum type = enCall;
    c->get_OptionType(&type);
    r.OptionType[0] = type == enCall ? 'C' : 'P';
    c->Next(&more);
    out.push_back(r);
  }
  return out;
}

// (symbol, term, otm, type) of the points of a spot or futures surface.
struct Point {
  std::string symbol;
  SHORT term;
  double otm;
  LONG type;
};

std::vector<Point> ReadSurface(IIVSurfacesEnt* c) {
  std::vector<Point> out;
  VARIANT_BOOL more = VARIANT_TRUE;
  while (c != nullptr && more == VARIANT_TRUE) {
    Point p{};
    BSTR s = nullptr;
    c->get_StockSymbol(&s);
    p.symbol = Text(_bstr_t(s, false));
    c->get_Term(&p.term);
    SHORT otm = 0;
    c->get_Otm(&otm);
    p.otm = otm;
    OptionTypeEnum type = enCall;
    c->get_Type(&type);
    p.type = type;
    c->Next(&more);
    out.push_back(p);
  }
  return out;
}

std::vector<Point> ReadFutSurface(IFutIVSurfacesEnt* c) {
  std::vector<Point> out;
  VARIANT_BOOL more = VARIANT_TRUE;
  while (c != nullptr && more == VARIANT_TRUE) {
    Point p{};
    BSTR s = nullptr;
    c->get_UnderlyingSymbol(&s);
    p.symbol = Text(_bstr_t(s, false));
    c->get_Term(&p.term);
    float otm = 0;
    c->get_Otm(&otm);
    p.otm = otm;
    OptionTypeEnum type = enCall;
    c->get_Type(&type);
    p.type = type;
    c->Next(&more);
    out.push_back(p);
  }
  return out;
}

template <class I>
std::vector<std::pair<std::string, SHORT>> ReadIndexes(I* c, HRESULT (I::*symbol)(BSTR*)) {
  std::vector<std::pair<std::string, SHORT>> out;
  VARIANT_BOOL more = VARIANT_TRUE;
  while (c != nullptr && more == VARIANT_TRUE) {
    BSTR s = nullptr;
    (c->*symbol)(&s);
    SHORT term = 0;
    c->get_Term(&term);
    out.emplace_back(Text(_bstr_t(s, false)), term);
    c->Next(&more);
  }
  return out;
}

// Symbols of a stocks or futures cursor, in cursor order.
template <class I>
std::vector<std::string> ReadSymbols(I* c) {
  std::vector<std::string> out;
  VARIANT_BOOL more = VARIANT_TRUE;
  while (c != nullptr && more == VARIANT_TRUE) {
    BSTR s = nullptr;
    c->get_Symbol(&s);
    out.push_back(Text(_bstr_t(s, false)));
    c->Next(&more);
  }
  return out;
}

template <class R>
std::set<std::string> SymbolSet(const std::vector<R>& records) {
  std::set<std::string> out;
  for (const R& r : records) out.insert(Text(r.Symbol));
  return out;
}

// Snapshot requests since the journal was started or skipped.
size_t Snapshots(Journal& journal) {
  return journal.Calls("GetMarketData").size() + journal.Calls("GetMarketDataAll").size();
}

class Queries : public ::testing::Test {
 protected:
  void SetUp() override {
    CSettings::UseCompression = 0;
    CSettings::ProtocolVersion = 0;
    Env()->Control()->ClearInjections();
    SetErrorInfo(0, nullptr);
  }
};

// ---- Errors of the frame, for every query method -------------------------------

struct QueryCall {
  const char* name;  // the name its log lines carry
  bool futures;
  bool takesSymbol;
  std::function<HRESULT(IZmOrvEnt*, BSTR)> call;
};

#define ORV_Q(expr, I)                 \
  [](IZmOrvEnt* o, BSTR s) {           \
    (void)s;                           \
    CComPtr<I> p;                      \
    return o->expr;                    \
  }

const std::vector<QueryCall>& AllQueries() {
  static const std::vector<QueryCall> calls = {
      {"GetStockBySymbol", false, true, ORV_Q(GetStockBySymbol(s, &p), IStocksEnt)},
      {"GetStocksAll", false, false, ORV_Q(GetStocksAll(&p), IStocksEnt)},
      {"GetStockBySymbol_Direct", false, true, ORV_Q(GetStockBySymbol_Direct(s, &p), IStocksEnt)},
      {"GetStocksAll_Direct", false, false, ORV_Q(GetStocksAll_Direct(&p), IStocksEnt)},
      {"GetOptionBySymbol", false, true, ORV_Q(GetOptionBySymbol(s, &p), IOptionsEnt)},
      {"GetOptionsByStock", false, true, ORV_Q(GetOptionsByStock(s, &p), IOptionsEnt)},
      {"GetOptionsAll", false, false, ORV_Q(GetOptionsAll(&p), IOptionsEnt)},
      {"GetOptionBySymbol_Direct", false, true, ORV_Q(GetOptionBySymbol_Direct(s, &p), IOptionsEnt)},
      {"GetOptionsByStock_Direct", false, true, ORV_Q(GetOptionsByStock_Direct(s, &p), IOptionsEnt)},
      {"GetOptionsAll_Direct", false, false, ORV_Q(GetOptionsAll_Direct(&p), IOptionsEnt)},
      {"GetOptionsByStrike", false, true, ORV_Q(GetOptionsByStrike(s, 50.0, &p), IOptionsEnt)},
      {"GetOptionsByExpiry", false, true, ORV_Q(GetOptionsByExpiry(s, 46000.0, &p), IOptionsEnt)},
      {"GetOptionsByStrike_Direct", false, true, ORV_Q(GetOptionsByStrike_Direct(s, 50.0, &p), IOptionsEnt)},
      {"GetOptionsByExpiry_Direct", false, true, ORV_Q(GetOptionsByExpiry_Direct(s, 46000.0, &p), IOptionsEnt)},
      {"GetNstdOptionBySymbol", false, true, ORV_Q(GetNstdOptionBySymbol(s, &p), INstdOptionsEnt)},
      {"GetNstdOptionsByStock", false, true, ORV_Q(GetNstdOptionsByStock(s, &p), INstdOptionsEnt)},
      {"GetNstdOptionsAll", false, false, ORV_Q(GetNstdOptionsAll(&p), INstdOptionsEnt)},
      {"GetNstdOptionsByStrike", false, true, ORV_Q(GetNstdOptionsByStrike(s, 50.0, &p), INstdOptionsEnt)},
      {"GetNstdOptionsByExpiry", false, true, ORV_Q(GetNstdOptionsByExpiry(s, 46000.0, &p), INstdOptionsEnt)},
      {"GetIVIndexesByStock", false, true, ORV_Q(GetIVIndexesByStock(s, &p), IIVIndexesEnt)},
      {"GetIVIndexesByTerm", false, true, ORV_Q(GetIVIndexesByTerm(s, 30, &p), IIVIndexesEnt)},
      {"GetIVIndexesAll", false, false, ORV_Q(GetIVIndexesAll(&p), IIVIndexesEnt)},
      {"GetIVSurfacesByStock", false, true, ORV_Q(GetIVSurfacesByStock(s, &p), IIVSurfacesEnt)},
      {"GetIVSurfacesByTerm", false, true, ORV_Q(GetIVSurfacesByTerm(s, 30, &p), IIVSurfacesEnt)},
      {"GetIVSurfacesByOTM", false, true, ORV_Q(GetIVSurfacesByOTM(s, 10, &p), IIVSurfacesEnt)},
      {"GetIVSurfacesAll", false, false, ORV_Q(GetIVSurfacesAll(&p), IIVSurfacesEnt)},
      {"GetIVSurfaceUnique", false, true, ORV_Q(GetIVSurfaceUnique(s, 30, 10, enCall, &p), IIVSurfacesEnt)},
      {"GetIRByCurrency", false, true, ORV_Q(GetIRByCurrency(s, &p), IInterestRateEnt)},
      {"GetHV", false, true, ORV_Q(GetHV(s, &p), IHVEnt)},
      {"GetATMByStock", false, true, ORV_Q(GetATMByStock(s, &p), IIVATMEnt)},
      {"GetIRByPeriod", false, true,
       [](IZmOrvEnt* o, BSTR s) {
         float rate = 0;
         return o->GetIRByPeriod(s, 30, &rate);
       }},
      {"GetHVByTerm", false, true,
       [](IZmOrvEnt* o, BSTR s) {
         float hv = 0;
         return o->GetHVByTerm(s, 30, &hv);
       }},
      {"GetFutureBySymbol", true, true, ORV_Q(GetFuturesBySymbol(s, &p), IFuturesEnt)},
      {"GetFutureByRootSymbol", true, true, ORV_Q(GetFuturesByRootSymbol(s, &p), IFuturesEnt)},
      {"GetFuturesAll", true, false, ORV_Q(GetFuturesAll(&p), IFuturesEnt)},
      {"GetFutureOptionBySymbol", true, true, ORV_Q(GetFutOptionBySymbol(s, &p), IFutOptionsEnt)},
      {"GetFutureOptionsByStock", true, true, ORV_Q(GetFutOptionsByFuturesSymbol(s, &p), IFutOptionsEnt)},
      {"GetFutureOptionsAll", true, false, ORV_Q(GetFutOptionsAll(&p), IFutOptionsEnt)},
      {"GetFutureOptionsByStrike", true, true, ORV_Q(GetFutOptionsByStrike(s, 1.0, &p), IFutOptionsEnt)},
      {"GetFutureOptionsByExpiry", true, true, ORV_Q(GetFutOptionsByExpiry(s, 46000.0, &p), IFutOptionsEnt)},
      {"GetFutIVIndexesByStock", true, true, ORV_Q(GetFutIVIndexesBySymbol(s, &p), IFutIVIndexesEnt)},
      {"GetFutIVIndexesByTerm", true, true, ORV_Q(GetFutIVIndexesByTerm(s, 30, &p), IFutIVIndexesEnt)},
      {"GetFutIVIndexesAll", true, false, ORV_Q(GetFutIVIndexesAll(&p), IFutIVIndexesEnt)},
      {"GetFutIVSurfacesByStock", true, true, ORV_Q(GetFutIVSurfacesBySymbol(s, &p), IFutIVSurfacesEnt)},
      {"GetFutIVSurfacesByTerm", true, true, ORV_Q(GetFutIVSurfacesByTerm(s, 30, &p), IFutIVSurfacesEnt)},
      {"GetFutIVSurfacesByOTM", true, true, ORV_Q(GetFutIVSurfacesByOTM(s, 5.0, &p), IFutIVSurfacesEnt)},
      {"GetFutIVSurfacesAll", true, false, ORV_Q(GetFutIVSurfacesAll(&p), IFutIVSurfacesEnt)},
      {"GetFutIVSurfaceUnique", true, true, ORV_Q(GetFutIVSurfaceUnique(s, 30, 5.0, enCall, &p), IFutIVSurfacesEnt)},
  };
  return calls;
}

#undef ORV_Q

TEST_F(Queries, EveryQueryNeedsTheSideItReadsAndAnswersNoConnectionOtherwise) {
  ASSERT_EQ(AllQueries().size(), 48u);
  // Each object is signed in on the other side only.
  CComPtr<IZmOrvEnt> equitiesOnly = SignedIn("q1", true, false);
  CComPtr<IZmOrvEnt> futuresOnly = SignedIn("q1", false, true);
  CComPtr<IZmOrvEnt> neither = NewObject();
  LogCapture log;
  for (const QueryCall& q : AllQueries()) {
    SCOPED_TRACE(q.name);
    IZmOrvEnt* wrongSide = q.futures ? equitiesOnly.p : futuresOnly.p;
    for (IZmOrvEnt* object : {wrongSide, neither.p}) {
      _bstr_t symbol("abc");
      log.Clear();
      EXPECT_EQ(q.call(object, symbol.GetBSTR()), E_FAIL);
      EXPECT_EQ(TakeError(), "No connection");
      EXPECT_TRUE(log.Contains(std::string("ERROR: Code = 80004005")));
      if (std::string(q.name) != "GetATMByStock") {
        EXPECT_TRUE(log.Contains(std::string("CZmOrvEnt::") + q.name + "() completed"));
      }
      if (q.takesSymbol) { EXPECT_EQ(Text(symbol), "ABC") << "upper-cased before the lock"; }
    }
  }
}

TEST_F(Queries, AnEmptyOrAbsentSymbolIsAnInvalidArgumentBeforeAnyCheck) {
  CComPtr<IZmOrvEnt> neither = NewObject();
  LogCapture log;
  for (const QueryCall& q : AllQueries()) {
    if (!q.takesSymbol) continue;
    SCOPED_TRACE(q.name);
    log.Clear();
    _bstr_t empty("");
    EXPECT_EQ(q.call(neither, empty.GetBSTR()), E_INVALIDARG);
    EXPECT_EQ(q.call(neither, nullptr), E_INVALIDARG);
    EXPECT_EQ(TakeError(), "<none>");
    EXPECT_FALSE(log.Contains("() completed"));
    if (std::string(q.name) != "GetATMByStock") {
      EXPECT_EQ(log.Count(std::string("CZmOrvEnt::") + q.name + "() started params: "), 2u);
    }
  }
}

TEST_F(Queries, ASignedInObjectWhoseSessionIsGoneAnswersUserDataHolderNotFound) {
  CComPtr<IZmOrvEnt> object = SignedIn("q2", true, true);
  auto& map = CZmOrvEnt::UserDataHolderMap();
  auto it = map.find(U16("q2"));
  ASSERT_NE(it, map.end());
  std::shared_ptr<CDataHolder> session = it->second;
  map.erase(it);
  for (const QueryCall& q : AllQueries()) {
    SCOPED_TRACE(q.name);
    _bstr_t symbol("X");
    EXPECT_EQ(q.call(object, symbol.GetBSTR()), E_FAIL);
    EXPECT_EQ(TakeError(), "User data holder not found");
  }
  map[U16("q2")] = session;
}

// ---- Plain queries ------------------------------------------------------------

TEST_F(Queries, StocksComeFromASnapshotAndThenFromTheTableASubscriptionFilled) {
  CComPtr<IZmOrvEnt> object = SignedIn("q3", true, false);
  CComPtr<IStocksEnt> all;
  ASSERT_EQ(object->GetStocksAll(&all), S_OK) << TakeError();
  const std::vector<std::string> symbols = ReadSymbols(all.p);
  ASSERT_EQ(symbols.size(), 5u);
  const std::string stock = symbols.at(0);

  // A lower-case symbol: the started line shows it as given, the records
  // are the upper-case symbol's, and the caller reads it back upper-cased.
  LogCapture log;
  Journal journal;
  std::u16string lowered = U16(stock);
  for (char16_t& c : lowered) c = static_cast<char16_t>(std::tolower(c));
  BSTR lower = SysAllocString(lowered.c_str());
  CComPtr<IStocksEnt> one;
  ASSERT_EQ(object->GetStockBySymbol(lower, &one), S_OK) << TakeError();
  EXPECT_EQ(ReadSymbols(one.p), std::vector<std::string>{stock});
  EXPECT_EQ(orvcom::Narrow(orvcom::BstrText(lower)), stock);
  SysFreeString(lower);
  std::string given = stock;
  for (char& c : given) c = static_cast<char>(std::tolower(c));
  EXPECT_TRUE(log.Contains("CZmOrvEnt::GetStockBySymbol() started params: Symbol = " + given));
  EXPECT_TRUE(log.Contains("CZmOrvEnt::GetStockBySymbol() completed"));
  EXPECT_GT(Snapshots(journal), 0u) << "nothing cached yet";

  _bstr_t sym(stock.c_str());
  ASSERT_EQ(object->Subscribe(sym.GetBSTR(), enEquity, enStockData), S_OK) << TakeError();
  // Once the first data is stored the table answers without a request.
  ASSERT_TRUE(Eventually([&] {
    journal.Skip();
    CComPtr<IStocksEnt> cached;
    return object->GetStockBySymbol(sym.GetBSTR(), &cached) == S_OK && ReadSymbols(cached.p).size() == 1 &&
           Snapshots(journal) == 0;
  }));

  // The direct twin reads the direct table, which holds nothing yet.
  journal.Skip();
  CComPtr<IStocksEnt> direct;
  ASSERT_EQ(object->GetStockBySymbol_Direct(sym.GetBSTR(), &direct), S_OK) << TakeError();
  EXPECT_EQ(ReadSymbols(direct.p), std::vector<std::string>{stock});
  EXPECT_GT(Snapshots(journal), 0u);
  CComPtr<IStocksEnt> directAll;
  ASSERT_EQ(object->GetStocksAll_Direct(&directAll), S_OK) << TakeError();
  EXPECT_EQ(ReadSymbols(directAll.p).size(), 5u);

  object->UnSubscribe(sym.GetBSTR(), enEquity, enStockData);
}

TEST_F(Queries, OptionsByStockAndInFullComeSortedAndByOwnSymbolOneOption) {
  CComPtr<IZmOrvEnt> object = SignedIn("q3", true, false);
  CComPtr<IStocksEnt> stocks;
  ASSERT_EQ(object->GetStocksAll(&stocks), S_OK);
  const std::string underlying = ReadSymbols(stocks.p).at(1);
  _bstr_t sym(underlying.c_str());

  for (bool direct : {false, true}) {
    SCOPED_TRACE(direct ? "direct" : "plain");
    CComPtr<IOptionsEnt> byStock;
    ASSERT_EQ(direct ? object->GetOptionsByStock_Direct(sym.GetBSTR(), &byStock)
                     : object->GetOptionsByStock(sym.GetBSTR(), &byStock),
              S_OK)
        << TakeError();
    const std::vector<OptionRecord> options = ReadOptions(byStock.p);
    ASSERT_GE(options.size(), 50u);
    for (const auto& o : options) EXPECT_EQ(Text(o.StockSymbol), underlying);
    EXPECT_TRUE(std::is_sorted(options.begin(), options.end(), LessOptionRecord));

    CComPtr<IOptionsEnt> all;
    ASSERT_EQ(direct ? object->GetOptionsAll_Direct(&all) : object->GetOptionsAll(&all), S_OK) << TakeError();
    const std::vector<OptionRecord> every = ReadOptions(all.p);
    EXPECT_EQ(every.size(), 5 * options.size());
    EXPECT_TRUE(std::is_sorted(every.begin(), every.end(), LessOptionRecord));

    _bstr_t own(static_cast<const OLECHAR*>(options[3].Symbol));
    CComPtr<IOptionsEnt> one;
    ASSERT_EQ(direct ? object->GetOptionBySymbol_Direct(own.GetBSTR(), &one)
                     : object->GetOptionBySymbol(own.GetBSTR(), &one),
              S_OK)
        << TakeError();
    const std::vector<OptionRecord> single = ReadOptions(one.p);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_EQ(Text(single[0].Symbol), Text(options[3].Symbol));
  }

  // An underlying the service does not know.
  _bstr_t unknown("NOSUCH");
  CComPtr<IOptionsEnt> none;
  EXPECT_EQ(object->GetOptionsByStock(unknown.GetBSTR(), &none), E_FAIL);
  EXPECT_EQ(TakeError(), "Not found");
  EXPECT_FALSE(none);
}

TEST_F(Queries, NonStandardOptionsByUnderlyingBySymbolAndInFull) {
  CComPtr<IZmOrvEnt> object = SignedIn("q3", true, false);
  CComPtr<INstdOptionsEnt> all;
  ASSERT_EQ(object->GetNstdOptionsAll(&all), S_OK) << TakeError();
  const std::vector<NstdOptionRecord> every = ReadNstdOptions(all.p);
  ASSERT_FALSE(every.empty());
  EXPECT_TRUE(std::is_sorted(every.begin(), every.end(), LessNstdOptionRecord));

  const std::string underlying = Text(every[0].StockSymbol);
  _bstr_t sym(underlying.c_str());
  CComPtr<INstdOptionsEnt> byStock, bySymbol;
  ASSERT_EQ(object->GetNstdOptionsByStock(sym.GetBSTR(), &byStock), S_OK) << TakeError();
  ASSERT_EQ(object->GetNstdOptionBySymbol(sym.GetBSTR(), &bySymbol), S_OK) << TakeError();
  const std::vector<NstdOptionRecord> sorted = ReadNstdOptions(byStock.p);
  const std::vector<NstdOptionRecord> asGiven = ReadNstdOptions(bySymbol.p);
  ASSERT_FALSE(sorted.empty());
  for (const auto& o : sorted) EXPECT_EQ(Text(o.StockSymbol), underlying);
  EXPECT_TRUE(std::is_sorted(sorted.begin(), sorted.end(), LessNstdOptionRecord));
  // By "symbol" means by underlying too: the same set.
  EXPECT_EQ(SymbolSet(asGiven), SymbolSet(sorted));
}

TEST_F(Queries, FuturesAndTheirOptions) {
  CComPtr<IZmOrvEnt> object = SignedIn("q4", false, true);
  CComPtr<IFuturesEnt> all;
  ASSERT_EQ(object->GetFuturesAll(&all), S_OK) << TakeError();
  const std::vector<std::string> futures = ReadSymbols(all.p);
  ASSERT_FALSE(futures.empty());
  const std::string future = futures.at(0);

  _bstr_t sym(future.c_str());
  CComPtr<IFuturesEnt> one;
  ASSERT_EQ(object->GetFuturesBySymbol(sym.GetBSTR(), &one), S_OK) << TakeError();
  EXPECT_EQ(ReadSymbols(one.p), std::vector<std::string>{future});

  // The root's futures, sorted by expiration.
  BSTR root = nullptr;
  one->get_RootSymbol(&root);
  _bstr_t rootSym(root, false);
  CComPtr<IFuturesEnt> byRoot;
  ASSERT_EQ(object->GetFuturesByRootSymbol(rootSym.GetBSTR(), &byRoot), S_OK) << TakeError();
  std::vector<DATE> expiries;
  VARIANT_BOOL more = VARIANT_TRUE;
  while (more == VARIANT_TRUE) {
    BSTR r = nullptr;
    byRoot->get_RootSymbol(&r);
    EXPECT_EQ(Text(_bstr_t(r, false)), Text(rootSym));
    DATE e = 0;
    byRoot->get_ExpirationDate(&e);
    expiries.push_back(e);
    byRoot->Next(&more);
  }
  EXPECT_EQ(expiries.size(), 4u);
  EXPECT_TRUE(std::is_sorted(expiries.begin(), expiries.end()));

  CComPtr<IFutOptionsEnt> options;
  ASSERT_EQ(object->GetFutOptionsByFuturesSymbol(sym.GetBSTR(), &options), S_OK) << TakeError();
  const std::vector<OptionRecord> ofFuture = ReadFutOptions(options.p);
  ASSERT_EQ(ofFuture.size(), 10u);
  for (const auto& o : ofFuture) EXPECT_EQ(Text(o.StockSymbol), future);
  EXPECT_TRUE(std::is_sorted(ofFuture.begin(), ofFuture.end(), LessOptionRecord));

  _bstr_t own(static_cast<const OLECHAR*>(ofFuture[1].Symbol));
  CComPtr<IFutOptionsEnt> single;
  ASSERT_EQ(object->GetFutOptionBySymbol(own.GetBSTR(), &single), S_OK) << TakeError();
  EXPECT_EQ(SymbolSet(ReadFutOptions(single.p)), std::set<std::string>{Text(ofFuture[1].Symbol)});

  LogCapture log;
  CComPtr<IFutOptionsEnt> every;
  ASSERT_EQ(object->GetFutOptionsAll(&every), S_OK) << TakeError();
  const std::vector<OptionRecord> allOptions = ReadFutOptions(every.p);
  EXPECT_EQ(allOptions.size(), futures.size() * 10);
  EXPECT_TRUE(std::is_sorted(allOptions.begin(), allOptions.end(), LessOptionRecord));
  EXPECT_TRUE(log.Contains("CZmOrvEnt::GetFutureOptionsAll() Getting market data"));
}

TEST_F(Queries, IVIndexesAndSurfacesOfBothSidesFromASnapshotAndFromTheTable) {
  CComPtr<IZmOrvEnt> object = SignedIn("q5", true, true);
  CComPtr<IStocksEnt> stocks;
  ASSERT_EQ(object->GetStocksAll(&stocks), S_OK);
  const std::string stock = ReadSymbols(stocks.p).at(2);
  _bstr_t sym(stock.c_str());

  CComPtr<IIVIndexesEnt> indexes;
  ASSERT_EQ(object->GetIVIndexesByStock(sym.GetBSTR(), &indexes), S_OK) << TakeError();
  auto ivx = ReadIndexes(indexes.p, &IIVIndexesEnt::get_StockSymbol);
  EXPECT_EQ(ivx.size(), 5u);
  for (const auto& p : ivx) EXPECT_EQ(p.first, stock);
  CComPtr<IIVIndexesEnt> allIndexes;
  ASSERT_EQ(object->GetIVIndexesAll(&allIndexes), S_OK) << TakeError();
  EXPECT_EQ(ReadIndexes(allIndexes.p, &IIVIndexesEnt::get_StockSymbol).size(), 25u);

  CComPtr<IIVSurfacesEnt> surface;
  ASSERT_EQ(object->GetIVSurfacesByStock(sym.GetBSTR(), &surface), S_OK) << TakeError();
  EXPECT_EQ(ReadSurface(surface.p).size(), 30u);
  CComPtr<IIVSurfacesEnt> allSurfaces;
  ASSERT_EQ(object->GetIVSurfacesAll(&allSurfaces), S_OK) << TakeError();
  EXPECT_EQ(ReadSurface(allSurfaces.p).size(), 150u);

  // Subscribed, the table answers without a request.
  Journal journal;
  ASSERT_EQ(object->Subscribe(sym.GetBSTR(), enEquity, enIVSurfaceData), S_OK) << TakeError();
  ASSERT_TRUE(Eventually([&] {
    journal.Skip();
    CComPtr<IIVSurfacesEnt> cached;
    return object->GetIVSurfacesByStock(sym.GetBSTR(), &cached) == S_OK && ReadSurface(cached.p).size() == 30u &&
           Snapshots(journal) == 0;
  }));
  object->UnSubscribe(sym.GetBSTR(), enEquity, enIVSurfaceData);

  CComPtr<IFuturesEnt> futures;
  ASSERT_EQ(object->GetFuturesAll(&futures), S_OK);
  BSTR root = nullptr;
  futures->get_RootSymbol(&root);
  _bstr_t rootSym(root, false);
  CComPtr<IFutIVIndexesEnt> futIndexes;
  ASSERT_EQ(object->GetFutIVIndexesBySymbol(rootSym.GetBSTR(), &futIndexes), S_OK) << TakeError();
  auto futIvx = ReadIndexes(futIndexes.p, &IFutIVIndexesEnt::get_UnderlyingSymbol);
  EXPECT_EQ(futIvx.size(), 5u);
  for (const auto& p : futIvx) EXPECT_EQ(p.first, Text(rootSym));
  CComPtr<IFutIVIndexesEnt> futAllIndexes;
  ASSERT_EQ(object->GetFutIVIndexesAll(&futAllIndexes), S_OK) << TakeError();
  EXPECT_GT(ReadIndexes(futAllIndexes.p, &IFutIVIndexesEnt::get_UnderlyingSymbol).size(), 5u);
  CComPtr<IFutIVSurfacesEnt> futSurface;
  ASSERT_EQ(object->GetFutIVSurfacesBySymbol(rootSym.GetBSTR(), &futSurface), S_OK) << TakeError();
  EXPECT_EQ(ReadFutSurface(futSurface.p).size(), 30u);
  CComPtr<IFutIVSurfacesEnt> futAllSurfaces;
  ASSERT_EQ(object->GetFutIVSurfacesAll(&futAllSurfaces), S_OK) << TakeError();
  EXPECT_GT(ReadFutSurface(futAllSurfaces.p).size(), 30u);
}

TEST_F(Queries, ANullOutPointerRunsTheQueryAndHandsOutNothing) {
  CComPtr<IZmOrvEnt> object = SignedIn("q3", true, false);
  CComPtr<IStocksEnt> stocks;
  ASSERT_EQ(object->GetStocksAll(&stocks), S_OK);
  _bstr_t sym(ReadSymbols(stocks.p).at(0).c_str());
  EXPECT_EQ(object->GetStockBySymbol(sym.GetBSTR(), nullptr), S_OK);
  EXPECT_EQ(object->GetOptionsByStock(sym.GetBSTR(), nullptr), S_OK);
  EXPECT_EQ(object->GetIVSurfacesByOTM(sym.GetBSTR(), 10, nullptr), S_OK);
  EXPECT_EQ(object->GetIRByPeriod(_bstr_t("USD").GetBSTR(), 30, nullptr), S_OK);
  EXPECT_EQ(object->GetHVByTerm(sym.GetBSTR(), 30, nullptr), S_OK);
  // "Not found" still fails.
  EXPECT_EQ(object->GetIVSurfacesByOTM(sym.GetBSTR(), 11, nullptr), E_FAIL);
  EXPECT_EQ(TakeError(), "Not found");
}

// ---- Filtered queries -------------------------------------------------------------

TEST_F(Queries, OptionsByStrikeAndByExpiryKeepExactlyTheMatchingOnesSorted) {
  CComPtr<IZmOrvEnt> object = SignedIn("q6", true, false);
  CComPtr<IStocksEnt> stocks;
  ASSERT_EQ(object->GetStocksAll(&stocks), S_OK);
  const std::string stock = ReadSymbols(stocks.p).at(0);
  _bstr_t sym(stock.c_str());
  CComPtr<IOptionsEnt> chain;
  ASSERT_EQ(object->GetOptionsByStock(sym.GetBSTR(), &chain), S_OK) << TakeError();
  const std::vector<OptionRecord> options = ReadOptions(chain.p);
  ASSERT_GE(options.size(), 50u);
  const OptionRecord& pick = options[options.size() / 2];
  const double strike = pick.StrikePrice;
  const DATE expiry = pick.ExpirationDate;
  auto count = [&](const std::function<bool(const OptionRecord&)>& keep) {
    return static_cast<size_t>(std::count_if(options.begin(), options.end(), keep));
  };
  const size_t atStrike = count([&](const OptionRecord& o) { return o.StrikePrice == pick.StrikePrice; });
  const size_t atExpiry = count([&](const OptionRecord& o) { return o.ExpirationDate == expiry; });
  ASSERT_GE(atStrike, 2u) << "a call and a put share every strike";

  struct Case {
    const char* what;
    bool byStrike;
    double value;
    size_t expected;  // 0: "Not found"
  };
  const Case cases[] = {
      {"the strike", true, strike, atStrike},
      {"a strike between two", true, strike + 0.5, 0},
      {"the next double above the strike", true, std::nextafter(strike, 1e9), 0},
      {"a NaN strike", true, std::nan(""), 0},
      {"the expiry", false, expiry, atExpiry},
      {"the expiry's day at noon", false, expiry + 0.5, 0},
      {"a NaN expiry", false, std::nan(""), 0},
  };
  for (bool direct : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (direct ? " direct" : ""));
      CComPtr<IOptionsEnt> found;
      HRESULT hr;
      if (c.byStrike) {
        hr = direct ? object->GetOptionsByStrike_Direct(sym.GetBSTR(), c.value, &found)
                    : object->GetOptionsByStrike(sym.GetBSTR(), c.value, &found);
      } else {
        hr = direct ? object->GetOptionsByExpiry_Direct(sym.GetBSTR(), c.value, &found)
                    : object->GetOptionsByExpiry(sym.GetBSTR(), c.value, &found);
      }
      if (c.expected == 0) {
        EXPECT_EQ(hr, E_FAIL);
        EXPECT_EQ(TakeError(), "Not found");
        EXPECT_FALSE(found);
        continue;
      }
      ASSERT_EQ(hr, S_OK) << TakeError();
      const std::vector<OptionRecord> kept = ReadOptions(found.p);
      EXPECT_EQ(kept.size(), c.expected);
      EXPECT_TRUE(std::is_sorted(kept.begin(), kept.end(), LessOptionRecord));
      for (const auto& o : kept) {
        EXPECT_EQ(Text(o.StockSymbol), stock);
        if (c.byStrike) { EXPECT_EQ(static_cast<double>(o.StrikePrice), c.value); }
        if (!c.byStrike) { EXPECT_EQ(o.ExpirationDate, c.value); }
      }
    }
  }
}

TEST_F(Queries, NonStandardOptionsByStrikeAndByExpiry) {
  CComPtr<IZmOrvEnt> object = SignedIn("q6", true, false);
  CComPtr<INstdOptionsEnt> all;
  ASSERT_EQ(object->GetNstdOptionsAll(&all), S_OK) << TakeError();
  const std::vector<NstdOptionRecord> every = ReadNstdOptions(all.p);
  ASSERT_FALSE(every.empty());
  const std::string underlying = Text(every[0].StockSymbol);
  _bstr_t sym(underlying.c_str());
  std::vector<NstdOptionRecord> chain;
  for (const auto& o : every)
    if (Text(o.StockSymbol) == underlying) chain.push_back(o);
  const NstdOptionRecord pick = chain[chain.size() / 2];

  CComPtr<INstdOptionsEnt> byStrike;
  ASSERT_EQ(object->GetNstdOptionsByStrike(sym.GetBSTR(), pick.StrikePrice, &byStrike), S_OK) << TakeError();
  const std::vector<NstdOptionRecord> kept = ReadNstdOptions(byStrike.p);
  EXPECT_EQ(kept.size(), static_cast<size_t>(std::count_if(chain.begin(), chain.end(), [&](const auto& o) {
              return o.StrikePrice == pick.StrikePrice;
            })));
  EXPECT_TRUE(std::is_sorted(kept.begin(), kept.end(), LessNstdOptionRecord));
  for (const auto& o : kept) EXPECT_EQ(o.StrikePrice, pick.StrikePrice);

  CComPtr<INstdOptionsEnt> byExpiry;
  ASSERT_EQ(object->GetNstdOptionsByExpiry(sym.GetBSTR(), pick.ExpirationDate, &byExpiry), S_OK) << TakeError();
  const std::vector<NstdOptionRecord> sameDay = ReadNstdOptions(byExpiry.p);
  ASSERT_FALSE(sameDay.empty());
  for (const auto& o : sameDay) EXPECT_EQ(o.ExpirationDate, pick.ExpirationDate);
  EXPECT_TRUE(std::is_sorted(sameDay.begin(), sameDay.end(), LessNstdOptionRecord));

  CComPtr<INstdOptionsEnt> none;
  EXPECT_EQ(object->GetNstdOptionsByExpiry(sym.GetBSTR(), pick.ExpirationDate + 0.25, &none), E_FAIL);
  EXPECT_EQ(TakeError(), "Not found");
}

// Cached options stored in the reverse of their order (the table answers in
// the order it stored them), with strikes such as 12.1 that no float holds.
TEST_F(Queries, CachedOptionsComeOutSortedAndMatchOnlyTheirStoredFloatStrike) {
  CComPtr<IZmOrvEnt> object = SignedIn("q6", true, false);
  CDataHolder* session = CZmOrvEnt::UserDataHolderMap().at(U16("q6")).get();
  const DATE firstExpiry = 47000.0;
  std::vector<OptionRecord> stored;
  std::vector<double> decimals;
  for (int e = 4; e >= 0; --e)
    for (int k = 4; k >= 0; --k)
      for (char type : {'P', 'C'}) {
        OptionRecord r;
        char symbol[32];
        std::snprintf(symbol, sizeof symbol, "ZQ%d%c%d", e, type, k);
        r.Symbol = symbol;
        r.StockSymbol = "ZQ";
        r.ExpirationDate = firstExpiry + 30 * e;
        r.StrikePrice = static_cast<float>(12.1 + k);
        r.OptionType[0] = type;
        stored.push_back(r);
        decimals.push_back(12.1 + k);
      }
  ASSERT_GE(stored.size(), 50u) << "fewer cached rows make the table ask the service";
  {
    CDatabaseLockGuard lock;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(session->DatabasePath().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "INSERT INTO options (symbol, stock_symbol, expiration_date, strike, type, style,"
                                 " bid) VALUES (?, 'ZQ', ?, ?, ?, 'A', 1.5)",
                                 -1, &st, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db);
    for (size_t i = 0; i < stored.size(); ++i) {
      const OptionRecord& r = stored[i];
      sqlite3_bind_text(st, 1, Text(r.Symbol).c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_double(st, 2, r.ExpirationDate);
      sqlite3_bind_double(st, 3, decimals[i]);
      sqlite3_bind_text(st, 4, std::string(1, r.OptionType[0]).c_str(), -1, SQLITE_TRANSIENT);
      ASSERT_EQ(sqlite3_step(st), SQLITE_DONE) << sqlite3_errmsg(db);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
  }
  _bstr_t sym("zq");
  Journal journal;

  CComPtr<IOptionsEnt> chain;
  ASSERT_EQ(object->GetOptionsByStock(sym.GetBSTR(), &chain), S_OK) << TakeError();
  const std::vector<OptionRecord> all = ReadOptions(chain.p);
  ASSERT_EQ(all.size(), stored.size());
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end(), LessOptionRecord));
  EXPECT_EQ(Text(all.front().Symbol), "ZQ0C0");

  const float strike = static_cast<float>(12.1 + 2);
  CComPtr<IOptionsEnt> byDecimal;
  EXPECT_EQ(object->GetOptionsByStrike(sym.GetBSTR(), 14.1, &byDecimal), E_FAIL);
  EXPECT_EQ(TakeError(), "Not found");
  CComPtr<IOptionsEnt> byFloat;
  ASSERT_EQ(object->GetOptionsByStrike(sym.GetBSTR(), strike, &byFloat), S_OK) << TakeError();
  const std::vector<OptionRecord> atStrike = ReadOptions(byFloat.p);
  ASSERT_EQ(atStrike.size(), 10u) << "a call and a put of each expiry";
  EXPECT_TRUE(std::is_sorted(atStrike.begin(), atStrike.end(), LessOptionRecord));
  EXPECT_EQ(Text(atStrike.front().Symbol), "ZQ0C2");
  for (const auto& o : atStrike) EXPECT_EQ(o.StrikePrice, strike);

  CComPtr<IOptionsEnt> byExpiry;
  ASSERT_EQ(object->GetOptionsByExpiry(sym.GetBSTR(), firstExpiry + 60, &byExpiry), S_OK) << TakeError();
  const std::vector<OptionRecord> sameDay = ReadOptions(byExpiry.p);
  ASSERT_EQ(sameDay.size(), 10u);
  EXPECT_TRUE(std::is_sorted(sameDay.begin(), sameDay.end(), LessOptionRecord));
  EXPECT_EQ(Text(sameDay.front().Symbol), "ZQ2C0");
  EXPECT_EQ(Snapshots(journal), 0u) << "the cached rows answered";
}

// A futures option strike such as 1.1 has no exact float: the double the
// caller writes finds nothing, the widened stored value finds it.
TEST_F(Queries, FuturesOptionsByStrikeMatchOnlyTheWidenedStoredStrike) {
  CComPtr<IZmOrvEnt> object = SignedIn("q7", false, true);
  CComPtr<IFutOptionsEnt> all;
  ASSERT_EQ(object->GetFutOptionsAll(&all), S_OK) << TakeError();
  const std::vector<OptionRecord> every = ReadFutOptions(all.p);
  const OptionRecord* inexact = nullptr;
  double decimal = 0;
  for (const auto& o : every) {
    decimal = std::round(static_cast<double>(o.StrikePrice) * 1000.0) / 1000.0;
    if (decimal != static_cast<double>(o.StrikePrice)) {
      inexact = &o;
      break;
    }
  }
  ASSERT_NE(inexact, nullptr) << "no futures option strike without an exact float";
  _bstr_t future(static_cast<const OLECHAR*>(inexact->StockSymbol));

  CComPtr<IFutOptionsEnt> byDecimal;
  EXPECT_EQ(object->GetFutOptionsByStrike(future.GetBSTR(), decimal, &byDecimal), E_FAIL);
  EXPECT_EQ(TakeError(), "Not found");

  CComPtr<IFutOptionsEnt> byStored;
  ASSERT_EQ(object->GetFutOptionsByStrike(future.GetBSTR(), inexact->StrikePrice, &byStored), S_OK)
      << TakeError();
  const std::vector<OptionRecord> kept = ReadFutOptions(byStored.p);
  ASSERT_EQ(kept.size(), 2u) << "the call and the put";
  EXPECT_TRUE(std::is_sorted(kept.begin(), kept.end(), LessOptionRecord));
  for (const auto& o : kept) EXPECT_EQ(Text(o.StockSymbol), Text(future));

  CComPtr<IFutOptionsEnt> byExpiry;
  ASSERT_EQ(object->GetFutOptionsByExpiry(future.GetBSTR(), inexact->ExpirationDate, &byExpiry), S_OK)
      << TakeError();
  const std::vector<OptionRecord> sameDay = ReadFutOptions(byExpiry.p);
  EXPECT_EQ(sameDay.size(), 10u);
  EXPECT_TRUE(std::is_sorted(sameDay.begin(), sameDay.end(), LessOptionRecord));
}

TEST_F(Queries, SurfacesAndIndexesByTermLevelAndPoint) {
  CComPtr<IZmOrvEnt> object = SignedIn("q5", true, true);
  CComPtr<IStocksEnt> stocks;
  ASSERT_EQ(object->GetStocksAll(&stocks), S_OK);
  const std::string stock = ReadSymbols(stocks.p).at(3);
  _bstr_t sym(stock.c_str());
  CComPtr<IFuturesEnt> futures;
  ASSERT_EQ(object->GetFuturesAll(&futures), S_OK);
  BSTR rootText = nullptr;
  futures->get_RootSymbol(&rootText);
  _bstr_t root(rootText, false);

  // The service's spot surface: terms 30, 90, 180; levels -20 to 20 by 10;
  // a call and a put at each. The futures surface has half those levels.
  struct Case {
    const char* what;
    std::function<HRESULT(std::vector<Point>&)> run;
    size_t expected;  // 0: "Not found"
    std::function<bool(const Point&)> each;
  };
  const std::vector<Case> cases = {
      {"spot by term 90",
       [&](std::vector<Point>& out) {
         CComPtr<IIVSurfacesEnt> c;
         const HRESULT hr = object->GetIVSurfacesByTerm(sym.GetBSTR(), 90, &c);
         out = ReadSurface(c.p);
         return hr;
       },
       10, [](const Point& p) { return p.term == 90; }},
      {"spot by term 60, which no point has",
       [&](std::vector<Point>& out) {
         CComPtr<IIVSurfacesEnt> c;
         const HRESULT hr = object->GetIVSurfacesByTerm(sym.GetBSTR(), 60, &c);
         out = ReadSurface(c.p);
         return hr;
       },
       0, nullptr},
      {"spot by level 10",
       [&](std::vector<Point>& out) {
         CComPtr<IIVSurfacesEnt> c;
         const HRESULT hr = object->GetIVSurfacesByOTM(sym.GetBSTR(), 10, &c);
         out = ReadSurface(c.p);
         return hr;
       },
       6, [](const Point& p) { return p.otm == 10.0; }},
      {"spot by level -20",
       [&](std::vector<Point>& out) {
         CComPtr<IIVSurfacesEnt> c;
         const HRESULT hr = object->GetIVSurfacesByOTM(sym.GetBSTR(), -20, &c);
         out = ReadSurface(c.p);
         return hr;
       },
       6, [](const Point& p) { return p.otm == -20.0; }},
      {"spot point (180, -10, put)",
       [&](std::vector<Point>& out) {
         CComPtr<IIVSurfacesEnt> c;
         const HRESULT hr = object->GetIVSurfaceUnique(sym.GetBSTR(), 180, -10, enPut, &c);
         out = ReadSurface(c.p);
         return hr;
       },
       1, [](const Point& p) { return p.term == 180 && p.otm == -10.0 && p.type == enPut; }},
      {"spot point of a term the surface lacks",
       [&](std::vector<Point>& out) {
         CComPtr<IIVSurfacesEnt> c;
         const HRESULT hr = object->GetIVSurfaceUnique(sym.GetBSTR(), 60, -10, enPut, &c);
         out = ReadSurface(c.p);
         return hr;
       },
       0, nullptr},
      {"futures by term 30",
       [&](std::vector<Point>& out) {
         CComPtr<IFutIVSurfacesEnt> c;
         const HRESULT hr = object->GetFutIVSurfacesByTerm(root.GetBSTR(), 30, &c);
         out = ReadFutSurface(c.p);
         return hr;
       },
       10, [](const Point& p) { return p.term == 30; }},
      {"futures by level 5.0",
       [&](std::vector<Point>& out) {
         CComPtr<IFutIVSurfacesEnt> c;
         const HRESULT hr = object->GetFutIVSurfacesByOTM(root.GetBSTR(), 5.0, &c);
         out = ReadFutSurface(c.p);
         return hr;
       },
       6, [](const Point& p) { return p.otm == 5.0; }},
      {"futures by level 5.5",
       [&](std::vector<Point>& out) {
         CComPtr<IFutIVSurfacesEnt> c;
         const HRESULT hr = object->GetFutIVSurfacesByOTM(root.GetBSTR(), 5.5, &c);
         out = ReadFutSurface(c.p);
         return hr;
       },
       0, nullptr},
      {"futures by a NaN level",
       [&](std::vector<Point>& out) {
         CComPtr<IFutIVSurfacesEnt> c;
         const HRESULT hr = object->GetFutIVSurfacesByOTM(root.GetBSTR(), std::nan(""), &c);
         out = ReadFutSurface(c.p);
         return hr;
       },
       0, nullptr},
      {"futures point (90, -5.0, call)",
       [&](std::vector<Point>& out) {
         CComPtr<IFutIVSurfacesEnt> c;
         const HRESULT hr = object->GetFutIVSurfaceUnique(root.GetBSTR(), 90, -5.0, enCall, &c);
         out = ReadFutSurface(c.p);
         return hr;
       },
       1, [](const Point& p) { return p.term == 90 && p.otm == -5.0 && p.type == enCall; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Point> points;
    const HRESULT hr = c.run(points);
    if (c.expected == 0) {
      EXPECT_EQ(hr, E_FAIL);
      EXPECT_EQ(TakeError(), "Not found");
      EXPECT_TRUE(points.empty());
      continue;
    }
    ASSERT_EQ(hr, S_OK) << TakeError();
    EXPECT_EQ(points.size(), c.expected);
    for (const Point& p : points) EXPECT_TRUE(c.each(p)) << p.term << " " << p.otm << " " << p.type;
  }

  // Indexes by term.
  CComPtr<IIVIndexesEnt> ivx;
  ASSERT_EQ(object->GetIVIndexesByTerm(sym.GetBSTR(), 180, &ivx), S_OK) << TakeError();
  EXPECT_EQ(ReadIndexes(ivx.p, &IIVIndexesEnt::get_StockSymbol),
            (std::vector<std::pair<std::string, SHORT>>{{stock, 180}}));
  CComPtr<IIVIndexesEnt> noIvx;
  EXPECT_EQ(object->GetIVIndexesByTerm(sym.GetBSTR(), 45, &noIvx), E_FAIL);
  EXPECT_EQ(TakeError(), "Not found");
  CComPtr<IFutIVIndexesEnt> futIvx;
  ASSERT_EQ(object->GetFutIVIndexesByTerm(root.GetBSTR(), 60, &futIvx), S_OK) << TakeError();
  EXPECT_EQ(ReadIndexes(futIvx.p, &IFutIVIndexesEnt::get_UnderlyingSymbol),
            (std::vector<std::pair<std::string, SHORT>>{{Text(root), 60}}));
}

// Levels between whole numbers: the futures query (a double level) finds
// them, the spot query (a 16-bit level) finds only the whole one.
TEST_F(Queries, AFractionalLevelIsFoundOnlyByTheFuturesQuery) {
  CComPtr<IZmOrvEnt> object = SignedIn("q7", true, true);
  CDataHolder* session = CZmOrvEnt::UserDataHolderMap().at(U16("q7")).get();
  {
    CDatabaseLockGuard lock;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(session->DatabasePath().c_str(), &db), SQLITE_OK);
    for (const char* table : {"ivsurface", "future_ivsurface"}) {
      const std::string sql = std::string("INSERT INTO ") + table +
                              " (symbol, term, otm, type, vstrike, iv, delta) VALUES"
                              " ('ZZ', 30, 10.5, 'C', 1, 0.2, 0.4), ('ZZ', 30, 10.5, 'P', 1, 0.2, -0.6),"
                              " ('ZZ', 30, 10, 'C', 1, 0.2, 0.4), ('ZZ', 90, 10.5, 'C', 1, 0.2, 0.4)";
      ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    }
    sqlite3_close(db);
  }
  _bstr_t sym("zz");

  CComPtr<IFutIVSurfacesEnt> fractional;
  ASSERT_EQ(object->GetFutIVSurfacesByOTM(sym.GetBSTR(), 10.5, &fractional), S_OK) << TakeError();
  const std::vector<Point> half = ReadFutSurface(fractional.p);
  EXPECT_EQ(half.size(), 3u);
  for (const Point& p : half) EXPECT_EQ(p.otm, 10.5);
  CComPtr<IFutIVSurfacesEnt> point;
  ASSERT_EQ(object->GetFutIVSurfaceUnique(sym.GetBSTR(), 30, 10.5, enPut, &point), S_OK) << TakeError();
  const std::vector<Point> one = ReadFutSurface(point.p);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].type, enPut);

  CComPtr<IIVSurfacesEnt> whole;
  ASSERT_EQ(object->GetIVSurfacesByOTM(sym.GetBSTR(), 10, &whole), S_OK) << TakeError();
  const std::vector<Point> ten = ReadSurface(whole.p);
  ASSERT_EQ(ten.size(), 1u);
  EXPECT_EQ(ten[0].term, 30);
  EXPECT_EQ(ten[0].type, enCall);
  CComPtr<IIVSurfacesEnt> unique;
  ASSERT_EQ(object->GetIVSurfaceUnique(sym.GetBSTR(), 30, 10, enCall, &unique), S_OK) << TakeError();
  EXPECT_EQ(ReadSurface(unique.p).size(), 1u);
  CComPtr<IIVSurfacesEnt> truncated;
  EXPECT_EQ(object->GetIVSurfaceUnique(sym.GetBSTR(), 30, 10, enPut, &truncated), E_FAIL)
      << "10.5 is not 10";
  EXPECT_EQ(TakeError(), "Not found");
}

// ---- Interest rates, historical and at-the-money volatility ---------------------

TEST_F(Queries, InterestRatesByCurrencyAndByPeriod) {
  CComPtr<IZmOrvEnt> object = SignedIn("q8", true, false);
  _bstr_t usd("usd");
  CComPtr<IInterestRateEnt> rates;
  ASSERT_EQ(object->GetIRByCurrency(usd.GetBSTR(), &rates), S_OK) << TakeError();
  EXPECT_EQ(Text(usd), "USD");
  std::vector<std::pair<LONG, float>> curve;
  VARIANT_BOOL more = VARIANT_TRUE;
  while (more == VARIANT_TRUE) {
    BSTR c = nullptr;
    rates->get_Currency(&c);
    EXPECT_EQ(Text(_bstr_t(c, false)), "USD");
    LONG period = 0;
    float rate = 0;
    rates->get_Period(&period);
    rates->get_Rate(&rate);
    curve.emplace_back(period, rate);
    rates->Next(&more);
  }
  ASSERT_EQ(curve.size(), 6u);

  for (const auto& point : curve) {
    SCOPED_TRACE(point.first);
    float rate = -1;
    ASSERT_EQ(object->GetIRByPeriod(usd.GetBSTR(), point.first, &rate), S_OK) << TakeError();
    EXPECT_EQ(rate, point.second);
  }
  // The service's 30-day dollar rate, to the float.
  float month = 0;
  ASSERT_EQ(object->GetIRByPeriod(usd.GetBSTR(), 30, &month), S_OK);
  EXPECT_EQ(month, static_cast<float>(0.053 + 0.002 * std::log1p(1.0)));

  float untouched = 42.0f;
  EXPECT_EQ(object->GetIRByPeriod(usd.GetBSTR(), 2, &untouched), E_FAIL);
  EXPECT_EQ(TakeError(), "Not found");
  EXPECT_EQ(untouched, 42.0f);
  _bstr_t unknown("XXX");
  EXPECT_EQ(object->GetIRByPeriod(unknown.GetBSTR(), 30, &untouched), E_FAIL);
  EXPECT_EQ(TakeError(), "Not found");
  EXPECT_EQ(untouched, 42.0f);
  CComPtr<IInterestRateEnt> none;
  EXPECT_EQ(object->GetIRByCurrency(unknown.GetBSTR(), &none), E_FAIL);
  EXPECT_EQ(TakeError(), "Not found");
}

TEST_F(Queries, HistoricalVolatilityAsACursorAndByTerm) {
  CComPtr<IZmOrvEnt> object = SignedIn("q8", true, false);
  CComPtr<IStocksEnt> stocks;
  ASSERT_EQ(object->GetStocksAll(&stocks), S_OK);
  const std::string stock = ReadSymbols(stocks.p).at(4);
  _bstr_t sym(stock.c_str());
  CComPtr<IHVEnt> hv;
  ASSERT_EQ(object->GetHV(sym.GetBSTR(), &hv), S_OK) << TakeError();
  std::vector<std::pair<SHORT, float>> terms;
  VARIANT_BOOL more = VARIANT_TRUE;
  while (more == VARIANT_TRUE) {
    BSTR s = nullptr;
    hv->get_Symbol(&s);
    EXPECT_EQ(Text(_bstr_t(s, false)), stock);
    SHORT period = 0;
    float value = 0;
    hv->get_Period(&period);
    hv->get_HV(&value);
    terms.emplace_back(period, value);
    hv->Next(&more);
  }
  ASSERT_EQ(terms.size(), 8u);
  for (const auto& t : terms) {
    SCOPED_TRACE(t.first);
    float value = -1;
    ASSERT_EQ(object->GetHVByTerm(sym.GetBSTR(), t.first, &value), S_OK) << TakeError();
    EXPECT_EQ(value, t.second);
    EXPECT_GT(value, 0.0f);
  }
  float untouched = 7.0f;
  EXPECT_EQ(object->GetHVByTerm(sym.GetBSTR(), 11, &untouched), E_FAIL);
  EXPECT_EQ(TakeError(), "Not found");
  EXPECT_EQ(untouched, 7.0f);
}

TEST_F(Queries, ATMRefreshesAStockWithNothingCachedAndNotOneThatHasValues) {
  CComPtr<IZmOrvEnt> object = SignedIn("q8", true, false);
  CComPtr<IStocksEnt> stocks;
  ASSERT_EQ(object->GetStocksAll(&stocks), S_OK);
  const std::string stock = ReadSymbols(stocks.p).at(1);
  _bstr_t sym(stock.c_str());

  LogCapture log;
  Journal journal;
  CComPtr<IIVATMEnt> atm;
  ASSERT_EQ(object->GetATMByStock(sym.GetBSTR(), &atm), S_OK) << TakeError();
  std::vector<std::string> types;
  for (const std::string& c : journal.Calls("GetMarketData")) {
    const size_t at = c.find("data_type=");
    types.push_back(c.substr(at, c.find(' ', at) - at));
  }
  EXPECT_EQ(types, (std::vector<std::string>{"data_type=1", "data_type=3", "data_type=2", "data_type=4",
                                             "data_type=5"}));
  size_t expiries = 0;
  VARIANT_BOOL more = VARIANT_TRUE;
  while (more == VARIANT_TRUE) {
    BSTR s = nullptr;
    atm->get_StockSymbol(&s);
    EXPECT_EQ(Text(_bstr_t(s, false)), stock);
    float iv = 0;
    atm->get_IV(&iv);
    EXPECT_GT(iv, 0.0f);
    ++expiries;
    atm->Next(&more);
  }
  EXPECT_GT(expiries, 0u);
  EXPECT_EQ(log.Count("ATM: " + stock + " "), expiries);
  EXPECT_FALSE(log.Contains("ATM: " + stock + "  ")) << "each line carries its expiry as a date";
  EXPECT_FALSE(log.Contains("GetATMByStock() started"));
  EXPECT_FALSE(log.Contains("GetATMByStock() completed"));

  // Now cached: answered without a request.
  journal.Skip();
  CComPtr<IIVATMEnt> again;
  ASSERT_EQ(object->GetATMByStock(sym.GetBSTR(), &again), S_OK) << TakeError();
  EXPECT_EQ(Snapshots(journal), 0u);

  // A stock the service does not know: the refresh finds nothing either.
  _bstr_t unknown("NOSUCH");
  CComPtr<IIVATMEnt> none;
  EXPECT_EQ(object->GetATMByStock(unknown.GetBSTR(), &none), E_FAIL);
  EXPECT_EQ(TakeError(), "Not found");
  EXPECT_FALSE(none);
}

}  // namespace
}  // namespace orvtest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  orvtest::Env() = new orvtest::QueryEnvironment();
  ::testing::AddGlobalTestEnvironment(orvtest::Env());
  return RUN_ALL_TESTS();
}
