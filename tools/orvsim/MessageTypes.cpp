#include "MessageTypes.h"

#include <algorithm>

namespace orvsim {

namespace {

constexpr FieldSpec Text(uint8_t id, uint8_t w) { return {id, Enc::kText, w}; }
constexpr FieldSpec Flt(uint8_t id) { return {id, Enc::kFloat, 4}; }
constexpr FieldSpec Dbl(uint8_t id) { return {id, Enc::kDouble, 8}; }
constexpr FieldSpec I16(uint8_t id) { return {id, Enc::kInt16, 2}; }
constexpr FieldSpec I32(uint8_t id) { return {id, Enc::kInt32, 4}; }
constexpr FieldSpec Chr(uint8_t id) { return {id, Enc::kChar, 1}; }

// The bid, ask and last group shared by every quote type.
const std::vector<FieldSpec>& QuoteFields() {
  static const std::vector<FieldSpec> q = {
      Flt(6), Dbl(7), Text(8, 4), I32(9), Flt(10), Dbl(11), Text(12, 4), I32(13),
      Flt(14), Dbl(15), Text(16, 4), I32(17), I32(18)};
  return q;
}

const std::vector<FieldSpec>& AnalyticsFields() {
  static const std::vector<FieldSpec> a = {Flt(26), Flt(35), Flt(27), Flt(29),
                                           Flt(28), Flt(30), Flt(31)};
  return a;
}

std::vector<FieldSpec> Join(std::initializer_list<std::vector<FieldSpec>> parts) {
  std::vector<FieldSpec> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Option symbol width: 12 bytes, 64 under protocol version 2. Marked with
// width 0 here and resolved in FindField.
constexpr FieldSpec OptKey() { return {1, Enc::kText, 0}; }

// Every field a type may carry, whatever order a manager registers them in.
const std::vector<FieldSpec>* Layout(int type) {
  static const std::vector<FieldSpec> equityBase = {
      Text(2, 12), Flt(20), I16(21), Flt(22), Text(23, 5), Chr(19), Flt(48), Flt(49),
      Flt(50), Flt(51), Flt(52), Flt(53), Flt(54), Flt(55), Flt(56), Flt(57), Flt(58),
      I32(59), I32(60), Flt(61), Flt(63)};
  static const std::vector<FieldSpec> optionBase = {
      OptKey(), Text(2, 12), Flt(40), Flt(44), Chr(5), Chr(39), I32(47)};
  static const std::vector<FieldSpec> equityQuote = Join({{Text(2, 12)}, QuoteFields()});
  static const std::vector<FieldSpec> optionQuote =
      Join({{OptKey(), Text(2, 12)}, QuoteFields()});
  static const std::vector<FieldSpec> optionAd = Join({{OptKey(), Text(2, 12)}, AnalyticsFields()});
  static const std::vector<FieldSpec> ivIndex = {Text(2, 12), I16(3), Flt(37), Flt(38)};
  static const std::vector<FieldSpec> ivSurface = {Text(2, 12), I16(3), I32(4), Chr(5),
                                                   Flt(32), Flt(26), Flt(27)};
  static const std::vector<FieldSpec> futIvSurface = {Text(2, 12), I16(3), Flt(4), Chr(5),
                                                      Flt(32), Flt(26), Flt(27)};
  static const std::vector<FieldSpec> rate = {Text(23, 5), I32(42), Flt(41)};
  static const std::vector<FieldSpec> hv = {Text(2, 12), I16(3), Flt(62)};
  static const std::vector<FieldSpec> futureBase = {Text(75, 64), Text(74, 12), Dbl(40)};
  static const std::vector<FieldSpec> futureQuote =
      Join({{Text(75, 64), Text(74, 12)}, QuoteFields()});
  static const std::vector<FieldSpec> futOptBase = {Text(84, 64), Text(75, 64), Dbl(40),
                                                    Flt(44), Chr(5), Chr(39), I32(47)};
  static const std::vector<FieldSpec> futOpt =
      Join({{Text(84, 64), Text(75, 64)}, QuoteFields(), AnalyticsFields()});
  static const std::vector<FieldSpec> nstdBase = Join({optionBase, {I32(87)}});
  static const std::vector<FieldSpec> nstdQuote = Join({optionQuote, {I32(87)}});
  static const std::vector<FieldSpec> nstdAd = Join({optionAd, {I32(87)}});
  switch (type) {
    case T_EQUITY_BASE: return &equityBase;
    case T_OPTION_BASE: return &optionBase;
    case T_EQUITY_QUOTE: case T_DIRECT_EQUITY_QUOTE: return &equityQuote;
    case T_OPTION_QUOTE: case T_DIRECT_OPTION_QUOTE: return &optionQuote;
    case T_OPTION_AD: return &optionAd;
    case T_IVINDEX: case T_FUTURE_IVINDEX: return &ivIndex;
    case T_IVSURFACE: return &ivSurface;
    case T_FUTURE_IVSURFACE: return &futIvSurface;
    case T_INTEREST_RATE: return &rate;
    case T_HV: return &hv;
    case T_FUTURE_BASE: return &futureBase;
    case T_FUTURE_QUOTE: return &futureQuote;
    case T_FUTURE_OPTION_BASE: return &futOptBase;
    case T_FUTURE_OPTION: return &futOpt;
    case T_NSTDOPTION_BASE: return &nstdBase;
    case T_NSTDOPTION_QUOTE: return &nstdQuote;
    case T_NSTDOPTION_AD: return &nstdAd;
    default: return nullptr;
  }
}

}  // namespace

const char* StatusName(int status) {
  switch (status) {
    case S_OK: return "S_OK";
    case S_ERR_FAILED: return "S_ERR_FAILED";
    case S_ERR_ALREADY_CONNECTED: return "S_ERR_ALREADY_CONNECTED";
    case S_ERR_NOT_AUTHORIZED: return "S_ERR_NOT_AUTHORIZED";
    case S_ERR_NOT_CONNECTED: return "S_ERR_NOT_CONNECTED";
    case S_ERR_NOT_FOUND: return "S_ERR_NOT_FOUND";
    case S_ERR_NOT_SUBSCRIBED: return "S_ERR_NOT_SUBSCRIBED";
    case S_ERR_INVALID_FIELD: return "S_ERR_INVALID_FIELD";
    case S_ERR_FIELD_ALREADY_REGISTERED: return "S_ERR_FIELD_ALREADY_REGISTERED";
    case S_ERR_REGISTER_CALLBACK: return "S_ERR_REGISTER_CALLBACK";
    case S_ERR_CALLBACK_ALREADY_REGISTERED: return "S_ERR_CALLBACK_ALREADY_REGISTERED";
    case S_ERR_CALLBACK_NOT_REGISTERED: return "S_ERR_CALLBACK_NOT_REGISTERED";
    case S_ERR_INVALID_TYPE: return "S_ERR_INVALID_TYPE";
    case S_ERR_SUBSCRIPTION_LIMIT: return "S_ERR_SUBSCRIPTION_LIMIT";
    default: return "unknown status";
  }
}

const std::vector<TypeInfo>& AllTypes() {
  using R = RowClass;
  const Side E = Side::kEquities, F = Side::kFutures;
  static const std::vector<TypeInfo> types = {
      {T_EQUITY_BASE, "T_EQUITY_BASE", E, R::kStock, true, false,
       {2, 20, 21, 22, 23, 19, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 63}},
      {T_OPTION_BASE, "T_OPTION_BASE", E, R::kOption, true, false, {1, 2, 40, 44, 5, 39, 47}},
      {T_EQUITY_QUOTE, "T_EQUITY_QUOTE", E, R::kStock, true, true,
       {2, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18}},
      {T_OPTION_QUOTE, "T_OPTION_QUOTE", E, R::kOption, true, true,
       {1, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18}},
      {T_OPTION_AD, "T_OPTION_AD", E, R::kOption, true, true, {1, 2, 26, 35, 27, 29, 28, 30, 31}},
      {T_IVINDEX, "T_IVINDEX", E, R::kIvIndex, true, true, {2, 3, 37, 38}},
      {T_IVSURFACE, "T_IVSURFACE", E, R::kIvSurface, true, true, {2, 3, 4, 5, 32, 26, 27}},
      {T_INTEREST_RATE, "T_INTEREST_RATE", E, R::kRate, false, false, {23, 42, 41}},
      {T_HV, "T_HV", E, R::kHv, false, false, {2, 3, 62}},
      {T_DIRECT_EQUITY_QUOTE, "T_DIRECT_EQUITY_QUOTE", E, R::kStock, true, true,
       {2, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18}},
      {T_DIRECT_OPTION_QUOTE, "T_DIRECT_OPTION_QUOTE", E, R::kOption, true, true,
       {1, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18}},
      {T_FUTURE_BASE, "T_FUTURE_BASE", F, R::kFuture, true, false, {75, 74, 40}},
      {T_FUTURE_QUOTE, "T_FUTURE_QUOTE", F, R::kFuture, true, true,
       {75, 74, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18}},
      {T_FUTURE_OPTION_BASE, "T_FUTURE_OPTION_BASE", F, R::kFutureOption, true, false,
       {84, 75, 40, 44, 5, 39, 47}},
      {T_FUTURE_OPTION, "T_FUTURE_OPTION", F, R::kFutureOption, true, true,
       {84, 75, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18, 26, 35, 27, 29, 28, 30, 31}},
      {T_FUTURE_IVINDEX, "T_FUTURE_IVINDEX", F, R::kFutIvIndex, true, true, {2, 3, 37, 38}},
      {T_FUTURE_IVSURFACE, "T_FUTURE_IVSURFACE", F, R::kFutIvSurface, true, true,
       {2, 3, 4, 5, 32, 26, 27}},
      {T_NSTDOPTION_BASE, "T_NSTDOPTION_BASE", E, R::kNstdOption, true, false,
       {1, 2, 40, 44, 5, 39, 47, 87}},
      {T_NSTDOPTION_QUOTE, "T_NSTDOPTION_QUOTE", E, R::kNstdOption, true, true,
       {1, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18, 87}},
      {T_NSTDOPTION_AD, "T_NSTDOPTION_AD", E, R::kNstdOption, true, true,
       {1, 2, 26, 35, 27, 29, 28, 30, 31, 87}},
  };
  return types;
}

const TypeInfo* FindType(int code) {
  for (const auto& t : AllTypes())
    if (t.code == code) return &t;
  return nullptr;
}

bool FindField(int type, int id, int protocolVersion, FieldSpec* out) {
  const auto* layout = Layout(type);
  if (!layout) return false;
  auto it = std::find_if(layout->begin(), layout->end(),
                         [id](const FieldSpec& f) { return f.id == id; });
  if (it == layout->end()) return false;
  *out = *it;
  if (out->id == 1 && out->enc == Enc::kText && out->width == 0)
    out->width = protocolVersion == 2 ? 64 : 12;
  return true;
}

int FieldWidth(const FieldSpec& f) {
  switch (f.enc) {
    case Enc::kText: return f.width;
    case Enc::kFloat: return 4;
    case Enc::kDouble: return 8;
    case Enc::kInt16: return 2;
    case Enc::kInt32: return 4;
    case Enc::kChar: return 1;
  }
  return 0;
}

}  // namespace orvsim
