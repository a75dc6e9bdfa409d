// orvsim's encoder and the feed's readers were written apart from each other
// on purpose. Here the feed reads what orvsim writes, for every message type
// and both symbol widths, and every value must come back as the model holds
// it: a width, an encoding or a field list that one side got wrong fails here
// even when each side agrees with itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BlockWriter.h"
#include "MarketModel.h"
#include "MessageTypes.h"
#include "ZipWriter.h"
#include "feed/DecompressMessage.h"
#include "feed/MessageFormat.h"

namespace {

orvsim::MarketModel FixedMarket() {
  orvsim::ModelOptions o;
  o.seed = 77;
  o.stocks = 4;
  o.futureRoots = 2;
  o.startDate = orvsim::OleFromCivil(2025, 3, 3) + 0.45;
  orvsim::MarketModel m(o);
  m.Step();
  return m;
}

struct Record {
  bool keyed = false;
  ::FieldValue key;
  std::vector<::FieldValue> fields;
};

class Collect : public IBlockSink {
 public:
  std::vector<Record> records;
  void BeginRecord(const ::FieldValue* key) override {
    records.emplace_back();
    if (key) {
      records.back().keyed = true;
      records.back().key = *key;
    }
  }
  void Field(const ::FieldValue& v) override { records.back().fields.push_back(v); }
  void EndRecord() override {}
};

// Compares one value the feed read with the value the model gave the encoder.
void ExpectSame(const ::FieldValue& got, const orvsim::FieldValue& want, const std::string& where) {
  switch (got.format.encoding) {
    case FieldEncoding::kText: {
      const std::string expected(want.text.substr(0, got.format.width));
      EXPECT_EQ(std::string(got.AsText()), expected) << where;
      break;
    }
    case FieldEncoding::kFloat: EXPECT_EQ(got.AsFloat(), static_cast<float>(want.num)) << where; break;
    case FieldEncoding::kDouble: EXPECT_EQ(got.AsDouble(), want.num) << where; break;
    case FieldEncoding::kInt16:
    case FieldEncoding::kInt32: EXPECT_EQ(got.AsInt(), static_cast<int32_t>(want.num)) << where; break;
    case FieldEncoding::kChar: EXPECT_EQ(got.AsChar(), want.ch) << where; break;
    default: ADD_FAILURE() << where << ": the feed does not read this field"; break;
  }
}

TEST(FeedAgreement, BothSidesSendTheSameFieldLists) {
  for (const auto& t : orvsim::AllTypes()) {
    const FieldIdList client = FieldListFor(static_cast<uint8_t>(t.code));
    EXPECT_EQ(std::vector<uint8_t>(client.ids, client.ids + client.count), t.defaultFields) << t.name;
  }
}

TEST(FeedAgreement, TheFeedReadsEveryTypeAsTheModelHoldsIt) {
  const orvsim::MarketModel m = FixedMarket();
  for (int protocol : {0, 2}) {
    for (const auto& t : orvsim::AllTypes()) {
      const std::string what = std::string(t.name) + " protocol " + std::to_string(protocol);
      std::vector<orvsim::RowRef> rows;
      ASSERT_TRUE(m.Select(t.code, "", 1, rows)) << what;
      ASSERT_FALSE(rows.empty()) << what;
      const std::vector<uint8_t>& ids = t.defaultFields;
      std::vector<uint8_t> msg;
      orvsim::AppendBlock(msg, t.code, ids, protocol, rows.size(),
                          [&](size_t r, uint8_t id, orvsim::FieldValue& v) { m.Field(t.code, rows[r], id, v); },
                          true);

      BlockHeader h;
      ASSERT_TRUE(ParseBlockHeader(msg.data(), msg.data() + msg.size(), &h)) << what;
      EXPECT_EQ(h.type, t.code) << what;
      EXPECT_EQ(h.is_last, 1) << what;
      EXPECT_EQ(h.blocks_amount, rows.size()) << what;
      const BlockReaderDef* def = ReaderFor(h.type, protocol);
      ASSERT_NE(def, nullptr) << what;
      Collect sink;
      BlockStatus status;
      const uint8_t* end = msg.data() + msg.size();
      const uint8_t* next =
          ReadBlock(*def, msg.data() + kBlockHeaderSize, end, h.blocks_amount, h.fields_amount, &sink, &status);
      ASSERT_EQ(status, BlockStatus::kRead) << what;
      EXPECT_EQ(next, end) << what << ": the two sides disagree on the record width";
      ASSERT_EQ(sink.records.size(), rows.size()) << what;

      for (size_t r = 0; r < rows.size(); ++r) {
        const Record& rec = sink.records[r];
        // Keyed readers take the key from the first field and hand over the rest.
        size_t first = 0;
        if (rec.keyed) {
          orvsim::FieldValue want;
          m.Field(t.code, rows[r], ids[0], want);
          ExpectSame(rec.key, want, what + " key");
          first = 1;
        }
        ASSERT_EQ(rec.fields.size(), ids.size() - first) << what;
        for (size_t i = first; i < ids.size(); ++i) {
          orvsim::FieldValue want;
          m.Field(t.code, rows[r], ids[i], want);
          ExpectSame(rec.fields[i - first], want, what + " field " + std::to_string(ids[i]));
        }
      }
    }
  }
}

TEST(FeedAgreement, APullMessageWalksToItsLastBlockAndUnzips) {
  const orvsim::MarketModel m = FixedMarket();
  const std::string underlying = m.stocks()[0].symbol;
  std::vector<uint8_t> msg;
  const int types[] = {orvsim::T_OPTION_BASE, orvsim::T_OPTION_QUOTE, orvsim::T_OPTION_AD};
  for (int type : types) {
    std::vector<orvsim::RowRef> rows;
    m.Select(type, underlying, 1, rows);
    orvsim::AppendBlock(msg, type, orvsim::FindType(type)->defaultFields, 0, rows.size(),
                        [&](size_t r, uint8_t id, orvsim::FieldValue& v) { m.Field(type, rows[r], id, v); },
                        type == orvsim::T_OPTION_AD);
  }
  // A compressed reply: the feed's unzip must give back the message byte for byte.
  const std::vector<uint8_t> zipped = orvsim::ZipSingleEntry(msg.data(), msg.size());
  const CMessageBuffer unzipped = DecompressMessage(zipped.data(), zipped.size());
  ASSERT_EQ(unzipped.size(), msg.size());
  EXPECT_EQ(std::vector<uint8_t>(unzipped.data(), unzipped.data() + unzipped.size()), msg);

  std::vector<uint8_t> seen;
  size_t records = 0;
  const bool complete = WalkMessage(unzipped.data(), unzipped.size(),
                                    [&](const BlockHeader& h, const uint8_t* body, const uint8_t* end) {
                                      seen.push_back(h.type);
                                      Collect sink;
                                      const uint8_t* next = ReadBlock(*ReaderFor(h.type, 0), body, end,
                                                                      h.blocks_amount, h.fields_amount, &sink);
                                      records += sink.records.size();
                                      return next;
                                    });
  EXPECT_TRUE(complete);
  EXPECT_EQ(seen, (std::vector<uint8_t>{2, 4, 5}));
  EXPECT_EQ(records, 3 * m.stocks()[0].options.size());
}

}  // namespace
