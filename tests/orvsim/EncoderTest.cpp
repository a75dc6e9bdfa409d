// The block encoder and the ZIP writer against bytes worked out by hand and
// against an independent reader.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "BlockWriter.h"
#include "MessageTypes.h"
#include "TestCodec.h"
#include "ZipWriter.h"

namespace {

using orvsim::AppendBlock;
using orvsim::FieldValue;
using Bytes = std::vector<uint8_t>;

Bytes FloatBytes(float f) {
  uint8_t b[4];
  std::memcpy(b, &f, 4);
  return Bytes(b, b + 4);
}
Bytes DoubleBytes(double d) {
  uint8_t b[8];
  std::memcpy(b, &d, 8);
  return Bytes(b, b + 8);
}

// One record of one field, returning the record bytes (after header and ids).
Bytes OneField(int type, uint8_t id, FieldValue value, int protocol = 0) {
  Bytes out;
  AppendBlock(out, type, {id}, protocol, 1,
              [&](size_t, uint8_t, FieldValue& v) { v = value; }, true);
  return Bytes(out.begin() + 15, out.end());
}

TEST(BlockEncoder, WritesHeaderIdsAndRecordLittleEndian) {
  Bytes out;
  AppendBlock(out, orvsim::T_IVINDEX, {2, 3, 37, 38}, 0, 1,
              [](size_t, uint8_t id, FieldValue& v) {
                if (id == 2) v.text = "ABC";
                if (id == 3) v.num = 30;
                if (id == 37) v.num = 0.25;
                if (id == 38) v.num = 0.5;
              },
              true);
  const Bytes expected = {
      6, 0, 1,                 // type, is_delayed, is_last
      22, 0,                   // block_size: one record of 12 + 2 + 4 + 4 bytes
      1, 0, 0, 0,              // blocks_amount
      0, 0, 0, 0,              // float, unused
      4,                       // fields_amount
      2, 3, 37, 38,            // ids
      'A', 'B', 'C', 0, 0, 0, 0, 0, 0, 0, 0, 0,
      30, 0,
      0, 0, 0x80, 0x3E,        // 0.25f
      0, 0, 0, 0x3F};          // 0.5f
  EXPECT_EQ(out, expected);
}

TEST(BlockEncoder, FieldWidthsDependOnTypeAndProtocol) {
  FieldValue sym;
  sym.text = "AB";
  FieldValue ten;
  ten.num = 10;
  FieldValue date;
  date.num = 45000.5;
  struct Case {
    const char* what;
    int type;
    uint8_t id;
    FieldValue v;
    int protocol;
    Bytes expected;
  };
  Bytes sym12(12, 0), sym64(64, 0);
  sym12[0] = sym64[0] = 'A';
  sym12[1] = sym64[1] = 'B';
  const Case cases[] = {
      {"option symbol, protocol 0", orvsim::T_OPTION_BASE, 1, sym, 0, sym12},
      {"option symbol, protocol 2", orvsim::T_OPTION_BASE, 1, sym, 2, sym64},
      {"nstd quote symbol, protocol 2", orvsim::T_NSTDOPTION_QUOTE, 1, sym, 2, sym64},
      {"underlying stays 12 under protocol 2", orvsim::T_OPTION_BASE, 2, sym, 2, sym12},
      {"otm is an integer in IV surfaces", orvsim::T_IVSURFACE, 4, ten, 0, {10, 0, 0, 0}},
      {"otm is a float in futures IV surfaces", orvsim::T_FUTURE_IVSURFACE, 4, ten, 0,
       FloatBytes(10.0f)},
      {"expiry is a float in option base", orvsim::T_OPTION_BASE, 40, date, 0,
       FloatBytes(45000.5f)},
      {"expiry is a double in future base", orvsim::T_FUTURE_BASE, 40, date, 0,
       DoubleBytes(45000.5)},
      {"expiry is a double in future option base", orvsim::T_FUTURE_OPTION_BASE, 40, date, 0,
       DoubleBytes(45000.5)},
      {"quote date is a double", orvsim::T_EQUITY_QUOTE, 7, date, 0, DoubleBytes(45000.5)},
      {"dividend frequency is 16 bits", orvsim::T_EQUITY_BASE, 21, ten, 0, {10, 0}},
      {"term is 16 bits", orvsim::T_HV, 3, ten, 0, {10, 0}},
      {"rate period is 32 bits", orvsim::T_INTEREST_RATE, 42, ten, 0, {10, 0, 0, 0}},
      {"root id is 32 bits", orvsim::T_NSTDOPTION_AD, 87, ten, 0, {10, 0, 0, 0}},
      {"future symbol is 64 bytes", orvsim::T_FUTURE_QUOTE, 75, sym, 0, sym64},
      {"future root is 12 bytes", orvsim::T_FUTURE_QUOTE, 74, sym, 0, sym12},
      {"future option symbol is 64 bytes", orvsim::T_FUTURE_OPTION, 84, sym, 0, sym64},
  };
  for (const Case& c : cases)
    EXPECT_EQ(OneField(c.type, c.id, c.v, c.protocol), c.expected) << c.what;
}

TEST(BlockEncoder, TextIsPaddedCutOrKeptWhole) {
  struct Case {
    std::string text;
    Bytes expected;
  } cases[] = {
      {"", {0, 0, 0, 0}},
      {"ISE", {'I', 'S', 'E', 0}},
      {"CBOE", {'C', 'B', 'O', 'E'}},     // exactly the width: no terminator
      {"NYSEX", {'N', 'Y', 'S', 'E'}},    // longer: cut at the width
  };
  for (const auto& c : cases) {
    FieldValue v;
    v.text = c.text;
    EXPECT_EQ(OneField(orvsim::T_EQUITY_QUOTE, 8, v), c.expected) << c.text;
  }
}

TEST(BlockEncoder, IntegersOutOfRangeAreClampedNotWrapped) {
  FieldValue v;
  v.num = -5;
  EXPECT_EQ(OneField(orvsim::T_HV, 3, v), (Bytes{0xFB, 0xFF}));
  v.num = 1e9;
  EXPECT_EQ(OneField(orvsim::T_HV, 3, v), (Bytes{0xFF, 0x7F}));
  v.num = -1e12;
  EXPECT_EQ(OneField(orvsim::T_EQUITY_QUOTE, 9, v), (Bytes{0, 0, 0, 0x80}));
}

TEST(BlockEncoder, EmptyBlockIsHeaderAndIdsOnly) {
  Bytes out;
  AppendBlock(out, orvsim::T_EQUITY_QUOTE, {2, 6}, 0, 0,
              [](size_t, uint8_t, FieldValue&) { FAIL() << "no record to fill"; }, false);
  EXPECT_EQ(out, (Bytes{3, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 6}));
}

TEST(BlockEncoder, RefusesFieldsTheTypeDoesNotCarry) {
  EXPECT_EQ(orvsim::RecordWidth(orvsim::T_EQUITY_QUOTE, {2, 44}, 0), -1);
  EXPECT_EQ(orvsim::RecordWidth(orvsim::T_OPTION_BASE, {1, 2}, 2), 76);
  EXPECT_EQ(orvsim::RecordWidth(99, {2}, 0), -1);
  Bytes out;
  EXPECT_THROW(AppendBlock(out, orvsim::T_EQUITY_QUOTE, {2, 44}, 0, 1,
                           [](size_t, uint8_t, FieldValue&) {}, true),
               std::invalid_argument);
}

TEST(BlockEncoder, DefaultFieldListsAreEncodable) {
  for (const auto& t : orvsim::AllTypes())
    EXPECT_GT(orvsim::RecordWidth(t.code, t.defaultFields, 0), 0) << t.name;
}

TEST(ZipWriter, OneDeflatedEntryWithSizesInTheLocalHeader) {
  Bytes big;
  for (int i = 0; i < 200000; ++i) big.push_back(static_cast<uint8_t>((i * 7919) % 251 ^ (i / 97)));
  const Bytes inputs[] = {{}, {'h', 'e', 'l', 'l', 'o'}, big};
  for (const Bytes& in : inputs) {
    const Bytes z = orvsim::ZipSingleEntry(in.data(), in.size());
    orvtest::ZipEntry e;
    ASSERT_NO_THROW(e = orvtest::ReadZip(z)) << in.size() << " bytes";
    EXPECT_EQ(e.method, 8) << "deflated";
    EXPECT_EQ(e.flags & 0x8, 0) << "no data descriptor";
    EXPECT_EQ(e.size, in.size());
    EXPECT_EQ(e.data, in);
    EXPECT_FALSE(e.name.empty());
  }
}

}  // namespace
