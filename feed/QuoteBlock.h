// What the stock and futures tables share in reading and writing quotes: the
// quote fields of a block (bid, ask and last with their dates, sizes and
// exchanges, and the volume), the map of one call's records by symbol, and
// the parameters of the quote update, in the order of both tables' update
// templates. A block record has the numbers in record and the exchange texts
// beside it (strings, or optional strings that stay NULL until set).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>

#include "feed/CSqliteStatement.h"
#include "feed/MessageFormat.h"

namespace quoteblock {

// One quote field into the block record; false for a field that is not one.
template <class Block>
bool ApplyQuoteField(Block& b, const FieldValue& v) {
  auto& r = b.record;
  switch (v.id) {
    case F_BID: r.BidPrice = v.AsFloat(); break;
    case F_BID_DATE: r.BidDate = v.AsDouble(); break;
    case F_BID_EXCHANGE: b.bidExchange = v.AsText(); break;
    case F_BID_SIZE: r.BidSize = v.AsInt(); break;
    case F_ASK: r.AskPrice = v.AsFloat(); break;
    case F_ASK_DATE: r.AskDate = v.AsDouble(); break;
    case F_ASK_EXCHANGE: b.askExchange = v.AsText(); break;
    case F_ASK_SIZE: r.AskSize = v.AsInt(); break;
    case F_LAST: r.LastPrice = v.AsFloat(); break;
    case F_LAST_DATE: r.LastDate = v.AsDouble(); break;
    case F_LAST_EXCHANGE: b.lastExchange = v.AsText(); break;
    case F_LAST_SIZE: r.LastSize = v.AsInt(); break;
    case F_VOLUME: r.Volume = v.AsInt(); break;
    default: return false;
  }
  return true;
}

// Fills a map of block records by symbol: a record of a symbol not yet in
// the map starts all zero with only its symbol; apply takes each field.
template <class Block, class Apply>
class BlockMapSink : public IBlockSink {
 public:
  BlockMapSink(std::map<std::string, Block>& map, Apply apply) : m_map(map), m_apply(std::move(apply)) {}

  void BeginRecord(const FieldValue* key) override {
    // One search: where the symbol is, or where it goes.
    std::string symbol(key->AsText());
    auto it = m_map.lower_bound(symbol);
    if (it == m_map.end() || it->first != symbol) {
      it = m_map.emplace_hint(it, std::move(symbol), Block());
      it->second.symbol = it->first;
    }
    m_record = &it->second;
  }
  void Field(const FieldValue& v) override { m_apply(*m_record, v); }
  void EndRecord() override {}

 private:
  std::map<std::string, Block>& m_map;
  Apply m_apply;
  Block* m_record = nullptr;
};

// An exchange as bound: NULL where no block set an optional one.
inline const char* Bindable(const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; }
inline const char* Bindable(const std::string& text) { return text.c_str(); }

// The quote update's first 13 parameters: the numbers of r and the three
// exchange texts (null binds NULL). The texts are bound without a copy:
// they must stay until the statement is bound again or released.
template <class Numbers>
void BindQuoteColumns(CSqliteStatement& update, const Numbers& r, const char* bidExchange, const char* askExchange,
                      const char* lastExchange) {
  update.BindDouble(1, r.BidPrice);
  update.BindDouble(2, r.AskPrice);
  update.BindDouble(3, r.LastPrice);
  update.BindInt(4, r.BidSize);
  update.BindInt(5, r.AskSize);
  update.BindInt(6, r.LastSize);
  update.BindDouble(7, r.BidDate);
  update.BindDouble(8, r.AskDate);
  update.BindDouble(9, r.LastDate);
  update.BindTextNoCopy(10, bidExchange);
  update.BindTextNoCopy(11, askExchange);
  update.BindTextNoCopy(12, lastExchange);
  update.BindInt(13, r.Volume);
}

// The quote update's parameters, the symbol last; the texts live in the map
// until the statement is released.
template <class Block>
void BindQuote(CSqliteStatement& update, const Block& b) {
  BindQuoteColumns(update, b.record, Bindable(b.bidExchange), Bindable(b.askExchange), Bindable(b.lastExchange));
  update.BindTextNoCopy(14, b.symbol.c_str());
}

// The quote columns as the stock and futures selects list them from first
// on: last, its date and exchange, bid and ask the same, then the last, bid
// and ask sizes and the volume; dates come back with single precision.
// exchange(text) makes an exchange's string. The caller has checked that
// the row has the columns (CSqliteQuery::RequireColumns).
template <class Record, class Exchange>
void ReadQuoteColumns(const CSqliteQuery& q, int first, Record& r, Exchange&& exchange) {
  r.LastPrice = q.RowFloat(first);
  r.LastDate = q.RowDouble(first + 1);
  r.LastExchange = exchange(q.RowText(first + 2));
  r.BidPrice = q.RowFloat(first + 3);
  r.BidDate = q.RowDouble(first + 4);
  r.BidExchange = exchange(q.RowText(first + 5));
  r.AskPrice = q.RowFloat(first + 6);
  r.AskDate = q.RowDouble(first + 7);
  r.AskExchange = exchange(q.RowText(first + 8));
  r.LastSize = q.RowInt(first + 9);
  r.BidSize = q.RowInt(first + 10);
  r.AskSize = q.RowInt(first + 11);
  r.Volume = q.RowInt(first + 12);
}

}  // namespace quoteblock
