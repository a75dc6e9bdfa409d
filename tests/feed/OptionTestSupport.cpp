#include "OptionTestSupport.h"

#include "tests/server/CursorTestSupport.h"

using orvtest::Text;
using orvtest::Value;

namespace {

// Walks a cursor; it has no count, so an empty one shows a record with no
// symbol, which no stored row has.
template <class I>
std::vector<OptionEventRow> ReadCursor(I* cursor, HRESULT (STDMETHODCALLTYPE I::*underlying)(BSTR*)) {
  std::vector<OptionEventRow> rows;
  for (VARIANT_BOOL more = VARIANT_TRUE; more == VARIANT_TRUE;) {
    OptionEventRow r;
    r.symbol = Text(cursor, &I::get_Symbol);
    if (r.symbol == "<null>" || r.symbol.empty()) break;
    r.underlying = Text(cursor, underlying);
    r.bid = Value(cursor, &I::get_BidPrice);
    r.iv = Value(cursor, &I::get_IV);
    r.preIv = Value(cursor, &I::get_PreIV);
    r.gamma = Value(cursor, &I::get_Gamma);
    r.vega = Value(cursor, &I::get_Vega);
    rows.push_back(r);
    cursor->Next(&more);
  }
  return rows;
}

}  // namespace

HRESULT CZmOrvEnt::Fire_OnOptionsChange(IOptionsEnt* p) {
  Keep({OptionEvent::kOption, ReadCursor(p, &IOptionsEnt::get_StockSymbol)});
  return S_OK;
}

HRESULT CZmOrvEnt::Fire_OnDirectOptionsChange(IOptionsEnt* p) {
  Keep({OptionEvent::kDirectOption, ReadCursor(p, &IOptionsEnt::get_StockSymbol)});
  return S_OK;
}

HRESULT CZmOrvEnt::Fire_OnNstdOptionsChange(INstdOptionsEnt* p) {
  OptionEvent e{OptionEvent::kNstdOption, {}};
  // The root id is read in the same walk, record by record.
  for (VARIANT_BOOL more = VARIANT_TRUE; more == VARIANT_TRUE;) {
    OptionEventRow r;
    r.symbol = Text(p, &INstdOptionsEnt::get_Symbol);
    if (r.symbol == "<null>" || r.symbol.empty()) break;
    r.underlying = Text(p, &INstdOptionsEnt::get_StockSymbol);
    r.bid = Value(p, &INstdOptionsEnt::get_BidPrice);
    r.iv = Value(p, &INstdOptionsEnt::get_IV);
    r.rootId = Value(p, &INstdOptionsEnt::get_RootID);
    e.rows.push_back(r);
    p->Next(&more);
  }
  Keep(e);
  return S_OK;
}

HRESULT CZmOrvEnt::Fire_OnFutOptionsChange(IFutOptionsEnt* p) {
  Keep({OptionEvent::kFutureOption, ReadCursor(p, &IFutOptionsEnt::get_FuturesSymbol)});
  return S_OK;
}

TestClients::~TestClients() {
  for (auto& h : m_handles) h->Detach();
}

TestClients::Client TestClients::New() {
  m_clients.push_back(std::make_unique<CZmOrvEnt>());
  m_handles.push_back(CEventClient::Create(m_clients.back().get()));
  return {m_clients.back().get(), m_handles.back()};
}

const std::vector<uint8_t> kOptionBaseIds = {1, 2, 40, 44, 5, 39, 47};
const std::vector<uint8_t> kOptionQuoteIds = {1, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18};
const std::vector<uint8_t> kOptionADIds = {1, 2, 26, 35, 27, 29, 28, 30, 31};
const std::vector<uint8_t> kNstdBaseIds = {1, 2, 40, 44, 5, 39, 47, 87};
const std::vector<uint8_t> kNstdQuoteIds = {1, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18, 87};
const std::vector<uint8_t> kNstdADIds = {1, 2, 26, 35, 27, 29, 28, 30, 31, 87};
const std::vector<uint8_t> kFutOptionBaseIds = {84, 75, 40, 44, 5, 39, 47};
const std::vector<uint8_t> kFutOptionQuoteIds = {84, 75, 6,  8,  7,  9,  10, 12, 11, 13, 14,
                                                 16, 15, 17, 18, 26, 35, 27, 29, 28, 30, 31};

namespace {

void AppendField(MessageBuilder& m, uint8_t id, const TestOption& o, OptionFamily family) {
  const bool future = family == OptionFamily::kFuture;
  const size_t keyWidth = family == OptionFamily::kEquity ? 12 : 64;
  switch (id) {
    case 1: m.Text(o.symbol, keyWidth); break;
    case 84: m.Text(o.symbol, 64); break;
    case 2: m.Text(o.underlying, 12); break;
    case 75: m.Text(o.underlying, 64); break;
    case 40: future ? m.Double(o.expiration) : m.Float(static_cast<float>(o.expiration)); break;
    case 44: m.Float(o.strike); break;
    case 5: m.U8(static_cast<uint8_t>(o.type)); break;
    case 39: m.U8('A'); break;
    case 47: m.I32(1000); break;
    case 6: m.Float(o.bid); break;
    case 10: m.Float(o.bid + 1); break;
    case 14: m.Float(o.bid + 0.5f); break;
    case 7: case 11: case 15: m.Double(46367.204396); break;
    case 8: case 12: case 16: m.Text("CBOE", 4); break;
    case 9: m.I32(10); break;
    case 13: m.I32(20); break;
    case 17: m.I32(30); break;
    case 18: m.I32(500); break;
    case 26: m.Float(o.iv); break;
    case 35: m.Float(o.iv + 0.01f); break;
    case 27: m.Float(o.iv / 2); break;
    case 29: m.Float(o.iv / 10); break;
    case 28: m.Float(o.iv * 2); break;
    case 30: m.Float(-o.iv); break;
    case 31: m.Float(o.iv / 100); break;
    case 87: m.I32(o.rootId); break;
    default: break;
  }
}

}  // namespace

void AppendOptionBlock(MessageBuilder& m, uint8_t type, const std::vector<uint8_t>& ids,
                       const std::vector<TestOption>& options, OptionFamily family, uint8_t isLast) {
  m.Header(type, static_cast<uint32_t>(options.size()), static_cast<uint8_t>(ids.size()), isLast);
  for (uint8_t id : ids) m.U8(id);
  for (const TestOption& o : options)
    for (uint8_t id : ids) AppendField(m, id, o, family);
}

MessageBuilder OptionBlock(uint8_t type, const std::vector<uint8_t>& ids, const std::vector<TestOption>& options,
                           OptionFamily family) {
  MessageBuilder m;
  AppendOptionBlock(m, type, ids, options, family);
  return m;
}

std::vector<TestOption> OptionChain(const std::string& underlying, int count, float bid, float iv) {
  std::vector<TestOption> out;
  for (int i = 0; i < count; ++i) {
    TestOption o;
    o.symbol = underlying + std::to_string(i);
    o.underlying = underlying;
    o.strike = 100.0f + 5.0f * static_cast<float>(i / 2);
    o.type = i % 2 == 0 ? 'C' : 'P';
    o.bid = bid;
    o.iv = iv;
    out.push_back(o);
  }
  return out;
}

std::vector<std::string> SymbolsOf(const std::vector<OptionEventRow>& rows) {
  std::vector<std::string> out;
  for (const OptionEventRow& r : rows) out.push_back(r.symbol);
  return out;
}

std::vector<std::string> SymbolsOf(const std::vector<TestOption>& options) {
  std::vector<std::string> out;
  for (const TestOption& o : options) out.push_back(o.symbol);
  return out;
}
