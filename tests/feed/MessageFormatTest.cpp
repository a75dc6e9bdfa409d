#include "feed/MessageFormat.h"

#include <gtest/gtest.h>

#include <vector>

#include "LogCapture.h"
#include "MessageBuilder.h"
#include "RecordingSink.h"

namespace {

const uint8_t* End(const MessageBuilder& m) { return m.data() + m.size(); }

// --- Header -----------------------------------------------------------------

TEST(BlockHeaderTest, GoldenBytesDecodeEveryHeaderField) {
  const uint8_t bytes[] = {0x03,                    // type
                           0x01,                    // is_delayed
                           0x01,                    // is_last
                           0x34, 0x12,              // block_size
                           0x02, 0x00, 0x00, 0x80,  // blocks_amount
                           0x00, 0x00, 0xC0, 0x3F,  // float 1.5
                           0x0E,                    // fields_amount
                           0xAA};
  BlockHeader h;
  ASSERT_TRUE(ParseBlockHeader(bytes, bytes + sizeof bytes, &h));
  EXPECT_EQ(h.type, 3);
  EXPECT_EQ(h.is_delayed, 1);
  EXPECT_EQ(h.is_last, 1);
  EXPECT_EQ(h.block_size, 0x1234);
  EXPECT_EQ(h.blocks_amount, 0x80000002u);
  EXPECT_FLOAT_EQ(h.reserved, 1.5f);
  EXPECT_EQ(h.fields_amount, 14);

  LogCapture log;
  uint8_t type = 0, fields = 0;
  uint32_t blocks = 0;
  EXPECT_EQ(ReadBlockHeader(bytes, sizeof bytes, &type, &blocks, &fields), bytes + 14);
  EXPECT_EQ(type, 3);
  EXPECT_EQ(blocks, 0x80000002u);
  EXPECT_EQ(fields, 14);
  EXPECT_TRUE(log.Contains("Message header: type: 3 is_delayed: 1 is_last: 1 block_size: 4660 blocks_amount: "
                           "-2147483646 fields_amount: 14"));
}

TEST(BlockHeaderTest, NullOrShortDataReadsNothing) {
  const uint8_t bytes[14] = {7, 0, 1};
  uint8_t type = 99, fields = 99;
  uint32_t blocks = 99;
  EXPECT_EQ(ReadBlockHeader(nullptr, 14, &type, &blocks, &fields), nullptr);
  EXPECT_EQ(ReadBlockHeader(bytes, 13, &type, &blocks, &fields), nullptr);
  EXPECT_EQ(type, 99);
  EXPECT_EQ(blocks, 99u);
  EXPECT_EQ(fields, 99);
  BlockHeader h;
  EXPECT_FALSE(ParseBlockHeader(bytes, bytes + 13, &h));
  EXPECT_TRUE(ParseBlockHeader(bytes, bytes + 14, &h));
}

// --- Field widths and encodings ----------------------------------------------

struct WidthCase {
  uint8_t type;
  int protocol;
  uint8_t id;
  FieldEncoding encoding;
  uint8_t width;
};

TEST(FieldSpecTest, WidthsAndEncodingsPerMessageType) {
  using E = FieldEncoding;
  const WidthCase cases[] = {
      {T_OPTION_BASE, 0, F_OPTION_SYMBOL, E::kText, 12},
      {T_OPTION_BASE, 2, F_OPTION_SYMBOL, E::kText, 64},
      {T_OPTION_BASE, 2, F_SYMBOL, E::kText, 12},
      {T_OPTION_BASE, 0, F_EXPIRATION_DATE, E::kFloat, 4},
      {T_NSTDOPTION_BASE, 0, F_EXPIRATION_DATE, E::kFloat, 4},
      {T_FUTURE_BASE, 0, F_EXPIRATION_DATE, E::kDouble, 8},
      {T_FUTURE_OPTION_BASE, 0, F_EXPIRATION_DATE, E::kDouble, 8},
      {T_IVSURFACE, 0, F_OTM, E::kInt32, 4},
      {T_FUTURE_IVSURFACE, 0, F_OTM, E::kFloat, 4},
      {T_IVSURFACE, 0, F_IVS_RESERVED, E::kSkip, 4},
      {T_IVINDEX, 0, F_IVX_RESERVED, E::kSkip, 4},
      {T_OPTION_QUOTE, 0, F_SYMBOL, E::kSkip, 12},
      {T_NSTDOPTION_QUOTE, 2, F_SYMBOL, E::kSkip, 12},
      {T_EQUITY_QUOTE, 0, F_BID, E::kFloat, 4},
      {T_EQUITY_QUOTE, 0, F_BID_DATE, E::kDouble, 8},
      {T_EQUITY_QUOTE, 0, F_BID_EXCHANGE, E::kText, 4},
      {T_EQUITY_QUOTE, 0, F_BID_SIZE, E::kInt32, 4},
      {T_EQUITY_QUOTE, 0, F_VOLUME, E::kInt32, 4},
      {T_EQUITY_BASE, 0, F_DIV_FREQUENCY, E::kInt16, 2},
      {T_EQUITY_BASE, 0, F_STOCK_TYPE, E::kChar, 1},
      {T_EQUITY_BASE, 0, F_CURRENCY, E::kText, 5},
      {T_EQUITY_BASE, 0, F_SOD_VOLUME_CALL, E::kInt32, 4},
      {T_EQUITY_BASE, 0, F_SOD_OPT_VOLUME_AVG, E::kFloat, 4},
      {T_EQUITY_BASE, 0, F_SOD_OUTSTANDING_SHARES, E::kFloat, 4},
      {T_IVINDEX, 0, F_TERM, E::kInt16, 2},
      {T_INTEREST_RATE, 0, F_RATE_PERIOD, E::kInt32, 4},
      {T_INTEREST_RATE, 0, F_CURRENCY, E::kText, 5},
      {T_HV, 0, F_HV_VALUE, E::kFloat, 4},
      {T_FUTURE_QUOTE, 0, F_FUTURE_SYMBOL, E::kText, 64},
      {T_FUTURE_QUOTE, 0, F_ROOT_SYMBOL, E::kText, 12},
      {T_FUTURE_OPTION, 0, F_FUTURE_OPTION_SYMBOL, E::kText, 64},
      {T_NSTDOPTION_AD, 0, F_ROOT_ID, E::kInt32, 4},
      {T_OPTION_AD, 0, F_PRE_IV, E::kFloat, 4},
      {T_FUTURE_OPTION_BASE, 0, F_OPTION_STYLE, E::kChar, 1},
      // Ids a reader does not know.
      {T_OPTION_QUOTE, 0, F_TERM, E::kUnknown, 0},
      {T_OPTION_QUOTE, 0, F_OPTION_TYPE, E::kUnknown, 0},
      {T_OPTION_AD, 0, F_ROOT_ID, E::kUnknown, 0},
      {T_FUTURE_OPTION, 0, F_CURRENCY, E::kUnknown, 0},
      {T_FUTURE_OPTION, 0, F_OPTION_SYMBOL, E::kUnknown, 0},
      {T_EQUITY_QUOTE, 0, F_STOCK_TYPE, E::kUnknown, 0},
      {T_EQUITY_BASE, 0, F_BID, E::kUnknown, 0},
  };
  for (const WidthCase& c : cases) {
    const BlockReaderDef* def = ReaderFor(c.type, c.protocol);
    ASSERT_NE(def, nullptr) << int(c.type);
    EXPECT_EQ(def->Spec(c.id).encoding, c.encoding) << "type " << int(c.type) << " id " << int(c.id);
    EXPECT_EQ(def->Spec(c.id).width, c.width) << "type " << int(c.type) << " id " << int(c.id);
  }
}

TEST(FieldSpecTest, IdsThatNameNoFieldAreUnknownEverywhere) {
  const int unknown[] = {0, 24, 25, 33, 34, 45, 46, 64, 73, 76, 83, 85, 86, 88, 200, 255};
  for (int type = 0; type < 256; ++type) {
    for (int pv : {0, 2}) {
      const BlockReaderDef* def = ReaderFor(static_cast<uint8_t>(type), pv);
      if (def == nullptr) continue;
      for (int id : unknown) EXPECT_FALSE(def->Spec(static_cast<uint8_t>(id)).Known()) << type << "/" << id;
    }
  }
  for (int type : {0, 12, 17, 18, 19, 22, 26, 255}) EXPECT_EQ(ReaderFor(static_cast<uint8_t>(type), 0), nullptr);
}

TEST(FieldValueTest, GoldenBytesOfEveryEncoding) {
  const uint8_t f32[] = {0x00, 0x00, 0xC0, 0xBF};                          // -1.5f
  const uint8_t f64[] = {0x00, 0x00, 0x00, 0x00, 0x08, 0x88, 0xE3, 0x40};  // 40000.25
  const uint8_t i16[] = {0xFE, 0xFF};
  const uint8_t i32[] = {0x78, 0x56, 0x34, 0x92};
  const uint8_t full[] = {'N', 'Y', 'S', 'E'};
  const uint8_t padded[] = {'A', 'B', 0, 'X'};
  const uint8_t high[] = {0xE9, 'x', 0, 0};
  auto value = [](const uint8_t* raw, FieldEncoding e, uint8_t w) {
    FieldValue v;
    v.format = {e, w};
    v.raw = raw;
    return v;
  };
  EXPECT_FLOAT_EQ(value(f32, FieldEncoding::kFloat, 4).AsFloat(), -1.5f);
  EXPECT_DOUBLE_EQ(value(f32, FieldEncoding::kFloat, 4).AsDouble(), -1.5);
  EXPECT_DOUBLE_EQ(value(f64, FieldEncoding::kDouble, 8).AsDouble(), 40000.25);
  EXPECT_EQ(value(i16, FieldEncoding::kInt16, 2).AsInt(), -2);
  EXPECT_EQ(value(i32, FieldEncoding::kInt32, 4).AsInt(), static_cast<int32_t>(0x92345678u));
  EXPECT_EQ(value(full, FieldEncoding::kChar, 1).AsChar(), 'N');
  EXPECT_EQ(value(full, FieldEncoding::kText, 4).AsText(), "NYSE") << "a text of its full width keeps it all";
  EXPECT_EQ(value(padded, FieldEncoding::kText, 4).AsText(), "AB");
  EXPECT_EQ(value(high, FieldEncoding::kText, 4).AsUtf16(), std::u16string(u"\u00e9x")) << "one byte, one unit";
}

TEST(FieldListTest, ListsSentPerType) {
  struct Case {
    uint8_t type;
    std::vector<uint8_t> ids;
  };
  const Case cases[] = {
      {T_EQUITY_BASE, {2, 20, 21, 22, 23, 19, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 63}},
      {T_OPTION_BASE, {1, 2, 40, 44, 5, 39, 47}},
      {T_EQUITY_QUOTE, {2, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18}},
      {T_DIRECT_EQUITY_QUOTE, {2, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18}},
      {T_OPTION_QUOTE, {1, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18}},
      {T_DIRECT_OPTION_QUOTE, {1, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18}},
      {T_OPTION_AD, {1, 2, 26, 35, 27, 29, 28, 30, 31}},
      {T_IVINDEX, {2, 3, 37, 38}},
      {T_FUTURE_IVINDEX, {2, 3, 37, 38}},
      {T_IVSURFACE, {2, 3, 4, 5, 32, 26, 27}},
      {T_FUTURE_IVSURFACE, {2, 3, 4, 5, 32, 26, 27}},
      {T_INTEREST_RATE, {23, 42, 41}},
      {T_HV, {2, 3, 62}},
      {T_FUTURE_BASE, {75, 74, 40}},
      {T_FUTURE_QUOTE, {75, 74, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18}},
      {T_FUTURE_OPTION_BASE, {84, 75, 40, 44, 5, 39, 47}},
      {T_FUTURE_OPTION, {84, 75, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18, 26, 35, 27, 29, 28, 30, 31}},
      {T_NSTDOPTION_BASE, {1, 2, 40, 44, 5, 39, 47, 87}},
      {T_NSTDOPTION_QUOTE, {1, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18, 87}},
      {T_NSTDOPTION_AD, {1, 2, 26, 35, 27, 29, 28, 30, 31, 87}},
      {12, {}},
      {0, {}},
  };
  for (const Case& c : cases) {
    const FieldIdList l = FieldListFor(c.type);
    EXPECT_EQ(std::vector<uint8_t>(l.ids, l.ids + l.count), c.ids) << int(c.type);
  }
  // Every id we ask for is one its reader knows.
  for (const Case& c : cases) {
    const BlockReaderDef* def = ReaderFor(c.type, 0);
    for (uint8_t id : c.ids) EXPECT_TRUE(def->Spec(id).Known()) << int(c.type) << "/" << int(id);
  }
}

// --- Reading blocks ------------------------------------------------------------

const BlockReaderDef& Reader(uint8_t type, int pv = 0) { return *ReaderFor(type, pv); }

// Reads the body that follows the 14-byte header the builder wrote first.
const uint8_t* ReadBody(const MessageBuilder& m, RecordingSink* sink, BlockStatus* st, int pv = 0) {
  BlockHeader h;
  EXPECT_TRUE(ParseBlockHeader(m.data(), End(m), &h));
  return ReadBlock(Reader(h.type, pv), m.data() + kBlockHeaderSize, End(m), h.blocks_amount, h.fields_amount, sink, st);
}

TEST(ReadBlockTest, KeyedQuoteBlockMergesRecordsOfOneSymbolInKeyOrder) {
  MessageBuilder m;
  m.Block(T_EQUITY_QUOTE, 3, {F_SYMBOL, F_BID, F_BID_EXCHANGE, F_BID_SIZE, F_BID_DATE});
  m.Text("MSFT", 12).Float(1.5f).Text("NYSE", 4).I32(10).Double(40000.5);
  m.Text("AAPL", 12).Float(2.25f).Text("Q", 4).I32(-3).Double(1.0);
  m.Text("MSFT", 12).Float(1.75f).Text("B", 4).I32(11).Double(40001.0);
  RecordingSink sink;
  BlockStatus st;
  EXPECT_EQ(ReadBody(m, &sink, &st), End(m));
  EXPECT_EQ(st, BlockStatus::kRead);
  ASSERT_EQ(sink.records.size(), 3u);
  EXPECT_EQ(sink.reserved, 3u);
  EXPECT_EQ(sink.records[0].key, "MSFT");
  // The key is handed over once, as the record's key, not again as a field.
  EXPECT_EQ(sink.records[0].fields.size(), 4u);
  const auto merged = sink.Merged();
  ASSERT_EQ(merged.size(), 2u);
  EXPECT_EQ(merged.begin()->first, "AAPL");
  const auto& msft = merged.at("MSFT");
  EXPECT_EQ(msft.at(F_BID), "1.75");
  EXPECT_EQ(msft.at(F_BID_EXCHANGE), "B");
  EXPECT_EQ(msft.at(F_BID_SIZE), "11");
  EXPECT_EQ(msft.at(F_BID_DATE), "40001.000000");
  EXPECT_EQ(merged.at("AAPL").at(F_BID_SIZE), "-3");
}

TEST(ReadBlockTest, OptionSymbolWidthFollowsTheProtocolVersion) {
  for (int pv : {0, 2}) {
    const size_t w = pv == 2 ? 64 : 12;
    MessageBuilder m;
    m.Block(T_OPTION_BASE, 1, {F_OPTION_SYMBOL, F_SYMBOL, F_EXPIRATION_DATE, F_STRIKE, F_OPTION_TYPE, F_OPTION_STYLE,
                               F_OPEN_INTEREST});
    m.Text(std::string(w, 'O'), w).Text("MSFT", 12).Float(45000.0f).Float(25.5f).U8('C').U8('A').I32(7);
    RecordingSink sink;
    BlockStatus st;
    EXPECT_EQ(ReadBody(m, &sink, &st, pv), End(m)) << pv;
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0].key, std::string(w, 'O'));
    EXPECT_EQ(sink.records[0].Get(F_SYMBOL), "MSFT");
    EXPECT_EQ(sink.records[0].Get(F_EXPIRATION_DATE), "45000");
    EXPECT_EQ(sink.records[0].Get(F_OPTION_TYPE), "C");
    EXPECT_EQ(sink.records[0].Get(F_OPEN_INTEREST), "7");
  }
}

TEST(ReadBlockTest, ExpirationIsFourBytesInOptionBaseAndEightInFutureBase) {
  MessageBuilder fut;
  fut.Block(T_FUTURE_BASE, 1, {F_FUTURE_SYMBOL, F_ROOT_SYMBOL, F_EXPIRATION_DATE});
  fut.Text(std::string(64, 'F'), 64).Text("ES", 12).Double(45123.75);
  RecordingSink sink;
  BlockStatus st;
  EXPECT_EQ(ReadBody(fut, &sink, &st), End(fut));
  ASSERT_EQ(sink.records.size(), 1u);
  EXPECT_EQ(sink.records[0].key, std::string(64, 'F')) << "a 64-character symbol keeps every character";
  EXPECT_EQ(sink.records[0].Get(F_EXPIRATION_DATE), "45123.750000");
  EXPECT_EQ(sink.records[0].Get(F_ROOT_SYMBOL), "ES");
}

TEST(ReadBlockTest, OtmIsAnIntegerInEquitySurfacesAndAFloatInFutureSurfaces) {
  for (uint8_t type : {T_IVSURFACE, T_FUTURE_IVSURFACE}) {
    MessageBuilder m;
    m.Block(type, 2, {F_SYMBOL, F_TERM, F_OTM, F_OPTION_TYPE, F_IVS_RESERVED, F_IV});
    for (int i = 0; i < 2; ++i) {
      m.Text("SPX", 12).I16(30);
      if (type == T_IVSURFACE) m.I32(-5); else m.Float(-5.5f);
      m.U8('P').U32(0xDEADBEEF).Float(0.25f);
    }
    RecordingSink sink;
    BlockStatus st;
    EXPECT_EQ(ReadBody(m, &sink, &st), End(m));
    ASSERT_EQ(sink.records.size(), 2u);
    EXPECT_FALSE(sink.records[0].keyed);
    EXPECT_EQ(sink.records[1].Get(F_SYMBOL), "SPX");
    EXPECT_EQ(sink.records[1].Get(F_OTM), type == T_IVSURFACE ? "-5" : "-5.5");
    EXPECT_EQ(sink.records[1].Get(F_IV), "0.25");
    EXPECT_EQ(sink.records[1].fields.size(), 5u) << "the skipped field hands nothing over";
  }
}

TEST(ReadBlockTest, FutureQuoteWithTheSymbolFifteenthReadsTheKeyInPlace) {
  MessageBuilder m;
  m.Block(T_FUTURE_QUOTE, 1, {F_ROOT_SYMBOL, F_BID, F_BID_EXCHANGE, F_BID_DATE, F_BID_SIZE, F_ASK, F_ASK_EXCHANGE,
                              F_ASK_DATE, F_ASK_SIZE, F_LAST, F_LAST_EXCHANGE, F_LAST_DATE, F_LAST_SIZE, F_VOLUME,
                              F_FUTURE_SYMBOL});
  m.Text("ES", 12);
  for (int i = 0; i < 3; ++i) m.Float(1.0f + i).Text("X", 4).Double(2.0).I32(3);
  m.I32(99).Text("ESZ6", 64);
  RecordingSink sink;
  BlockStatus st;
  EXPECT_EQ(ReadBody(m, &sink, &st), End(m));
  ASSERT_EQ(sink.records.size(), 1u);
  EXPECT_EQ(sink.records[0].key, "ESZ6");
  EXPECT_EQ(sink.records[0].Get(F_ROOT_SYMBOL), "ES");
  EXPECT_EQ(sink.records[0].Get(F_VOLUME), "99");
  EXPECT_EQ(sink.records[0].Get(F_FUTURE_SYMBOL), "ESZ6");
}

TEST(ReadBlockTest, KeyedBlockBreakingItsKeyRuleIsSteppedOverWhenAllIdsAreKnown) {
  MessageBuilder m;
  m.Block(T_EQUITY_QUOTE, 2, {F_BID, F_SYMBOL}, 0);
  m.Float(1.0f).Text("MSFT", 12).Float(2.0f).Text("IBM", 12);
  const size_t firstEnd = m.size();
  RecordingSink sink;
  BlockStatus st;
  EXPECT_EQ(ReadBody(m, &sink, &st), m.data() + firstEnd);
  EXPECT_EQ(st, BlockStatus::kSkipped);
  EXPECT_TRUE(sink.records.empty());
}

TEST(ReadBlockTest, UnknownIdEndsTheMessageWithItsLineAndHandsNothingOver) {
  LogCapture log;
  MessageBuilder m;
  m.Block(T_EQUITY_QUOTE, 1, {F_SYMBOL, F_BID, 99});
  m.Text("MSFT", 12).Float(1.0f).U32(0);
  RecordingSink sink;
  BlockStatus st;
  EXPECT_EQ(ReadBody(m, &sink, &st), nullptr);
  EXPECT_EQ(st, BlockStatus::kUnknownField);
  EXPECT_TRUE(sink.records.empty());
  EXPECT_TRUE(log.Contains("Unknown field CStocksDB::_ParseStockQuote() 99"));

  // The same when the unknown id stands first in a block that breaks its rule.
  log.Clear();
  MessageBuilder k;
  k.Block(T_EQUITY_BASE, 1, {3, F_SYMBOL});
  k.U16(0).Text("A", 12);
  EXPECT_EQ(ReadBody(k, &sink, &st), nullptr);
  EXPECT_EQ(st, BlockStatus::kUnknownField);
  EXPECT_TRUE(log.Contains("Unknown field CStocksDB::_ParseStockBase() 3"));
}

TEST(ReadBlockTest, RecordCountsBeyondTheBytesReceivedReadNothing) {
  LogCapture log;
  struct Case {
    uint32_t blocks;
    size_t recordsPresent;
  };
  for (const Case c : {Case{2, 1}, Case{0xFFFFFFFFu, 1}, Case{0x40000000u, 0}}) {
    MessageBuilder m;
    m.Block(T_IVINDEX, c.blocks, {F_SYMBOL, F_TERM, F_IVX_CALL, F_IVX_PUT});
    for (size_t i = 0; i < c.recordsPresent; ++i) m.Text("SPX", 12).I16(30).Float(0.2f).Float(0.3f);
    RecordingSink sink;
    BlockStatus st;
    EXPECT_EQ(ReadBody(m, &sink, &st), nullptr) << c.blocks;
    EXPECT_EQ(st, BlockStatus::kTruncated);
    EXPECT_TRUE(sink.records.empty());
    EXPECT_EQ(sink.reserved, 0u) << "no count from the wire sizes anything";
  }
  // A field list cut short.
  MessageBuilder m;
  m.Header(T_IVINDEX, 0, 4).U8(F_SYMBOL);
  BlockStatus st;
  EXPECT_EQ(ReadBody(m, nullptr, &st), nullptr);
  EXPECT_EQ(st, BlockStatus::kTruncated);
}

TEST(ReadBlockTest, EmptyBlocksConsumeOnlyTheirIdList) {
  {
    MessageBuilder m;
    m.Block(T_EQUITY_QUOTE, 0, {F_SYMBOL, F_BID});
    RecordingSink sink;
    BlockStatus st;
    EXPECT_EQ(ReadBody(m, &sink, &st), End(m));
    EXPECT_EQ(st, BlockStatus::kRead);
    EXPECT_TRUE(sink.records.empty());
  }
  // Records but no field list: nothing to read, for keyed and unkeyed alike.
  for (uint8_t type : {T_EQUITY_QUOTE, T_OPTION_QUOTE, T_IVINDEX}) {
    MessageBuilder m;
    m.Header(type, 1000, 0).U32(0x01020304);
    RecordingSink sink;
    BlockStatus st;
    EXPECT_EQ(ReadBody(m, &sink, &st), m.data() + kBlockHeaderSize) << int(type);
    EXPECT_EQ(st, BlockStatus::kSkipped);
    EXPECT_TRUE(sink.records.empty());
  }
}

TEST(ReadBlockTest, NullDataAndNullSink) {
  BlockStatus st;
  EXPECT_EQ(ReadBlock(Reader(T_EQUITY_QUOTE), nullptr, nullptr, 1, 1, nullptr, &st), nullptr);
  EXPECT_EQ(st, BlockStatus::kNoData);
  MessageBuilder m;
  m.Block(T_EQUITY_QUOTE, 1, {F_SYMBOL, F_ASK});
  m.Text("X", 12).Float(3.0f);
  EXPECT_EQ(ReadBody(m, nullptr, &st), End(m)) << "a null sink steps over the block";
}

// --- Walking a message -------------------------------------------------------

TEST(WalkMessageTest, StopsAfterTheLastBlockAndNeverReadsBeyondTheMessage) {
  MessageBuilder m;
  m.Block(T_EQUITY_QUOTE, 1, {F_SYMBOL, F_BID}, 0).Text("A", 12).Float(1.0f);
  m.Block(T_IVINDEX, 1, {F_SYMBOL, F_TERM}, 1).Text("B", 12).I16(7);
  const size_t lastEnd = m.size();
  m.Block(T_EQUITY_QUOTE, 1, {F_SYMBOL, F_BID}, 1).Text("C", 12).Float(1.0f);  // after the last: never read
  std::vector<uint8_t> seen;
  RecordingSink sink;
  auto handler = [&](const BlockHeader& h, const uint8_t* body, const uint8_t* end) {
    seen.push_back(h.type);
    return ReadBlock(Reader(h.type), body, end, h.blocks_amount, h.fields_amount, &sink);
  };
  EXPECT_TRUE(WalkMessage(m.data(), m.size(), handler));
  EXPECT_EQ(seen, (std::vector<uint8_t>{T_EQUITY_QUOTE, T_IVINDEX}));
  ASSERT_EQ(sink.records.size(), 2u);
  EXPECT_EQ(sink.records[1].Get(F_SYMBOL), "B");

  // The same octets cut at the end of the last block still read whole; cut
  // anywhere before, the walk ends without reading past the cut.
  LogCapture log;
  for (size_t cut = 0; cut <= lastEnd; ++cut) {
    std::vector<uint8_t> part(m.bytes.begin(), m.bytes.begin() + static_cast<long>(cut));
    seen.clear();
    const bool complete = WalkMessage(part.data(), part.size(), handler);
    EXPECT_EQ(complete, cut == lastEnd) << cut;
  }
}

TEST(WalkMessageTest, MessageWithoutLastBlockEndsAtItsEndAndIsLogged) {
  LogCapture log;
  MessageBuilder m;
  m.Block(T_EQUITY_QUOTE, 0, {F_SYMBOL}, 0);
  int blocks = 0;
  EXPECT_FALSE(WalkMessage(m.data(), m.size(), [&](const BlockHeader& h, const uint8_t* body, const uint8_t* end) {
    ++blocks;
    return ReadBlock(Reader(h.type), body, end, h.blocks_amount, h.fields_amount, nullptr);
  }));
  EXPECT_EQ(blocks, 1);
  EXPECT_TRUE(log.Contains("without its last block"));
  EXPECT_FALSE(WalkMessage(nullptr, 10, [](const BlockHeader&, const uint8_t*, const uint8_t* e) { return e; }));
}

TEST(WalkMessageTest, HandlerReturningNullOrAPointerOutsideTheMessageEndsTheWalk) {
  MessageBuilder m;
  m.Block(T_EQUITY_QUOTE, 0, {F_SYMBOL}, 0);
  m.Block(T_EQUITY_QUOTE, 0, {F_SYMBOL}, 1);
  int calls = 0;
  EXPECT_FALSE(WalkMessage(m.data(), m.size(), [&](const BlockHeader&, const uint8_t*, const uint8_t*) {
    ++calls;
    return static_cast<const uint8_t*>(nullptr);
  }));
  EXPECT_EQ(calls, 1);
  calls = 0;
  EXPECT_FALSE(WalkMessage(m.data(), m.size(), [&](const BlockHeader&, const uint8_t*, const uint8_t* end) {
    ++calls;
    return end + 1;
  }));
  EXPECT_EQ(calls, 1);
}

}  // namespace
