#include "dde/ItemCatalogue.h"

#include <strings.h>

#include <cstdio>

namespace zmdde {

namespace {

// Prices, greeks and volatilities.
std::string Price(double value) {
  char text[400];
  std::snprintf(text, sizeof text, "%.4f", value);
  return text;
}

// Dates and times as OLE dates, and the dividend figures.
std::string Plain(double value) {
  char text[400];
  std::snprintf(text, sizeof text, "%f", value);
  return text;
}

std::string Integer(long value) {
  char text[32];
  std::snprintf(text, sizeof text, "%ld", value);
  return text;
}

using orvcom::Narrow;

std::string OptionTypeText(LONG type) { return type == 0 ? "Call" : "Put"; }

template <class Entry>
using Items = std::vector<FieldItem<Entry>>;

const Items<StockEntry>& StockItems() {
  static const Items<StockEntry> items = {
      {"Price", [](const StockEntry& e) { return Price(e.lastPrice); }},
      {"StckPrice", [](const StockEntry& e) { return Price(e.lastPrice); }},
      {"StckVolume", [](const StockEntry& e) { return Integer(e.volume); }},
      {"DivDate", [](const StockEntry& e) { return Plain(e.divLastDate); }},
      {"DivAmount", [](const StockEntry& e) { return Plain(e.divAmount); }},
      {"DivFreq", [](const StockEntry& e) { return Integer(e.divFreq); }},
      {"DivYield", [](const StockEntry& e) { return Plain(e.divYield); }},
      {"StckLastTime", [](const StockEntry& e) { return Plain(e.lastDate); }},
      {"StckLastExch", [](const StockEntry& e) { return Narrow(e.lastExchange); }},
      {"StckLastSize", [](const StockEntry& e) { return Integer(e.lastSize); }},
      {"StckBid", [](const StockEntry& e) { return Price(e.bidPrice); }},
      {"StckAsk", [](const StockEntry& e) { return Price(e.askPrice); }},
      {"StckBidTime", [](const StockEntry& e) { return Plain(e.bidDate); }},
      {"StckAskTime", [](const StockEntry& e) { return Plain(e.askDate); }},
      {"StckBidExch", [](const StockEntry& e) { return Narrow(e.bidExchange); }},
      {"StckAskExch", [](const StockEntry& e) { return Narrow(e.askExchange); }},
      {"StckBidSize", [](const StockEntry& e) { return Integer(e.bidSize); }},
      {"StckAskSize", [](const StockEntry& e) { return Integer(e.askSize); }},
      {"StckPriceClose", [](const StockEntry& e) { return Price(e.priceClose); }},
      {"StckPriceLow52wk", [](const StockEntry& e) { return Price(e.priceLow52wk); }},
      {"StckPriceHigh52wk", [](const StockEntry& e) { return Price(e.priceHigh52wk); }},
      {"Ivx1m", [](const StockEntry& e) { return Price(e.ivx1m); }},
      {"Ivx1mYest", [](const StockEntry& e) { return Price(e.ivx1mYest); }},
      {"Ivx1mLow52wk", [](const StockEntry& e) { return Price(e.ivx1mLow52wk); }},
      {"Ivx1mHigh52wk", [](const StockEntry& e) { return Price(e.ivx1mHigh52wk); }},
      {"Hv1m", [](const StockEntry& e) { return Price(e.hv1m); }},
      {"Hv1mYest", [](const StockEntry& e) { return Price(e.hv1mYest); }},
      {"Hv1mLow52wk", [](const StockEntry& e) { return Price(e.hv1mLow52wk); }},
      {"Hv1mHigh52wk", [](const StockEntry& e) { return Price(e.hv1mHigh52wk); }},
      {"StckOptnVolumeCall", [](const StockEntry& e) { return Integer(e.optionVolumeCall); }},
      {"StckOptnVolumePut", [](const StockEntry& e) { return Integer(e.optionVolumePut); }},
      {"StckOptnVolumeAvg", [](const StockEntry& e) { return Price(e.optionVolumeAvg); }},
      {"OutstandingShares", [](const StockEntry& e) { return Price(e.outstandingShares); }},
  };
  return items;
}

const Items<FutureEntry>& FutureItems() {
  static const Items<FutureEntry> items = {
      {"FutPrice", [](const FutureEntry& e) { return Price(e.lastPrice); }},
      {"FutVolume", [](const FutureEntry& e) { return Integer(e.volume); }},
      {"FutLastTime", [](const FutureEntry& e) { return Plain(e.lastDate); }},
      {"FutLastExch", [](const FutureEntry& e) { return Narrow(e.lastExchange); }},
      {"FutLastSize", [](const FutureEntry& e) { return Integer(e.lastSize); }},
      {"FutBid", [](const FutureEntry& e) { return Price(e.bidPrice); }},
      {"FutAsk", [](const FutureEntry& e) { return Price(e.askPrice); }},
      {"FutBidTime", [](const FutureEntry& e) { return Plain(e.bidDate); }},
      {"FutAskTime", [](const FutureEntry& e) { return Plain(e.askDate); }},
      {"FutBidExch", [](const FutureEntry& e) { return Narrow(e.bidExchange); }},
      {"FutAskExch", [](const FutureEntry& e) { return Narrow(e.askExchange); }},
      {"FutBidSize", [](const FutureEntry& e) { return Integer(e.bidSize); }},
      {"FutAskSize", [](const FutureEntry& e) { return Integer(e.askSize); }},
  };
  return items;
}

// Standard, non-standard and futures options hold the same fields under
// the same member names; only the item names of futures options differ.
template <class Entry>
Items<Entry> OptionFieldItems(const char* const names[]) {
  return {
      {names[0], [](const Entry& e) { return Narrow(e.stockSymbol); }},
      {names[1], [](const Entry& e) { return Price(e.strikePrice); }},
      {names[2], [](const Entry& e) { return Plain(e.expirationDate); }},
      {names[3], [](const Entry& e) { return OptionTypeText(e.optionType); }},
      {names[4], [](const Entry& e) { return Price(e.iv); }},
      {names[5], [](const Entry& e) { return Price(e.bidPrice); }},
      {names[6], [](const Entry& e) { return Price(e.askPrice); }},
      {names[7], [](const Entry& e) { return Price(e.delta); }},
      {names[8], [](const Entry& e) { return Price(e.delta); }},
      {names[9], [](const Entry& e) { return Price(e.vega); }},
      {names[10], [](const Entry& e) { return Price(e.vega); }},
      {names[11], [](const Entry& e) { return Price(e.gamma); }},
      {names[12], [](const Entry& e) { return Price(e.gamma); }},
      {names[13], [](const Entry& e) { return Price(e.theta); }},
      {names[14], [](const Entry& e) { return Price(e.theta); }},
      {names[15], [](const Entry& e) { return Price(e.rho); }},
      {names[16], [](const Entry& e) { return Price(e.rho); }},
      {names[17], [](const Entry& e) { return Integer(e.volume); }},
      {names[18], [](const Entry& e) { return Plain(e.bidDate); }},
      {names[19], [](const Entry& e) { return Plain(e.askDate); }},
      {names[20], [](const Entry& e) { return Narrow(e.bidExchange); }},
      {names[21], [](const Entry& e) { return Narrow(e.askExchange); }},
      {names[22], [](const Entry& e) { return Integer(e.bidSize); }},
      {names[23], [](const Entry& e) { return Integer(e.askSize); }},
      {names[24], [](const Entry& e) { return Price(e.preIV); }},
      {names[25], [](const Entry& e) { return Integer(e.openInterest); }},
      {names[26], [](const Entry& e) { return Price(e.lastPrice); }},
      {names[27], [](const Entry& e) { return Plain(e.lastDate); }},
      {names[28], [](const Entry& e) { return Narrow(e.lastExchange); }},
      {names[29], [](const Entry& e) { return Integer(e.lastSize); }},
  };
}

const char* const kOptionNames[] = {
    "StockSymbol", "Strike",      "ExpDate",     "Type",         "IV",
    "Bid",         "Ask",         "Delta",       "GrkDelta",     "Vega",
    "GrkVega",     "Gamma",       "GrkGamma",    "Theta",        "GrkTheta",
    "Rho",         "GrkRho",      "OptnVolume",  "OptnBidTime",  "OptnAskTime",
    "OptnBidExch", "OptnAskExch", "OptnBidSize", "OptnAskSize",  "PreIv",
    "OpenInterest", "OptnLastPrice", "OptnLastTime", "OptnLastExch", "OptnLastSize",
};

const char* const kFutOptionNames[] = {
    "FutureSymbol",     "FutOptStrike",     "FutOptExpDate",   "FutOptType",
    "FutOptIV",         "FutOptBid",        "FutOptAsk",       "FutOptDelta",
    "FutOptGrkDelta",   "FutOptVega",       "FutOptGrkVega",   "FutOptGamma",
    "FutOptGrkGamma",   "FutOptTheta",      "FutOptGrkTheta",  "FutOptRho",
    "FutOptGrkRho",     "FutOptOptnVolume", "FutOptnBidTime",  "FutOptnAskTime",
    "FutOptnBidExch",   "FutOptnAskExch",   "FutOptnBidSize",  "FutOptnAskSize",
    "FutOptnPreIv",     "FutOpenInterest",  "FutOptnLastPrice", "FutOptnLastTime",
    "FutOptnLastExch",  "FutOptnLastSize",
};

const Items<OptionEntry>& OptionItems() {
  static const Items<OptionEntry> items = OptionFieldItems<OptionEntry>(kOptionNames);
  return items;
}

const Items<NstdOptionEntry>& NstdOptionItems() {
  static const Items<NstdOptionEntry> items = [] {
    Items<NstdOptionEntry> all = OptionFieldItems<NstdOptionEntry>(kOptionNames);
    all.push_back({"RootId", [](const NstdOptionEntry& e) { return Integer(e.rootId); }});
    return all;
  }();
  return items;
}

const Items<OptionEntry>& FutOptionItems() {
  static const Items<OptionEntry> items = OptionFieldItems<OptionEntry>(kFutOptionNames);
  return items;
}

template <class Entry>
const FieldItem<Entry>* Find(const Items<Entry>& items, const std::string& name) {
  for (const FieldItem<Entry>& item : items) {
    if (SameItemName(name, item.name)) return &item;
  }
  return nullptr;
}

template <class Entry>
void AppendNames(std::vector<const char*>& names, const Items<Entry>& items) {
  for (const FieldItem<Entry>& item : items) names.push_back(item.name);
}

}  // namespace

bool SameItemName(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

const FieldItem<StockEntry>* FindStockItem(const std::string& name) {
  return Find(StockItems(), name);
}
const FieldItem<FutureEntry>* FindFutureItem(const std::string& name) {
  return Find(FutureItems(), name);
}
const FieldItem<OptionEntry>* FindOptionItem(const std::string& name) {
  return Find(OptionItems(), name);
}
const FieldItem<NstdOptionEntry>* FindNstdOptionItem(const std::string& name) {
  return Find(NstdOptionItems(), name);
}
const FieldItem<OptionEntry>* FindFutOptionItem(const std::string& name) {
  return Find(FutOptionItems(), name);
}

const std::vector<const char*>& DdeItemTableNames() {
  static const std::vector<const char*> names = [] {
    std::vector<const char*> all;
    AppendNames(all, StockItems());
    AppendNames(all, FutureItems());
    all.push_back("FutPriceClose");
    AppendNames(all, NstdOptionItems());
    AppendNames(all, FutOptionItems());
    for (const char* name : {"Login", "Password", "System", "InterestRate"}) all.push_back(name);
    return all;
  }();
  return names;
}

}  // namespace zmdde
