// Pins the bytes of every message type for a fixed seed and date, so that a
// change of the encoding (or of the model) is seen and reviewed. A record of
// each kind is also pinned in full where it is short enough to check by eye.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "BlockWriter.h"
#include "MarketModel.h"
#include "MessageTypes.h"

namespace {

using namespace orvsim;

uint64_t Fnv1a(const std::vector<uint8_t>& b) {
  uint64_t h = 1469598103934665603ull;
  for (uint8_t c : b) h = (h ^ c) * 1099511628211ull;
  return h;
}

std::vector<uint8_t> Snapshot(const MarketModel& m, int type, int protocol) {
  std::vector<RowRef> rows;
  m.Select(type, "", 1, rows);
  std::vector<uint8_t> out;
  AppendBlock(out, type, FindType(type)->defaultFields, protocol, rows.size(),
              [&](size_t r, uint8_t id, FieldValue& v) { m.Field(type, rows[r], id, v); }, true);
  return out;
}

MarketModel Fixed() {
  ModelOptions o;
  o.seed = 20240506;
  o.stocks = 3;
  o.futureRoots = 2;
  o.startDate = OleFromCivil(2024, 5, 6) + 0.4;
  MarketModel m(o);
  m.Step();
  m.Step();
  return m;
}

struct Golden {
  int type;
  int protocol;
  size_t size;
  uint64_t hash;
};

const Golden kGolden[] = {
#include "golden_blocks.inc"
};

TEST(Golden, EveryMessageTypeEncodesAsPinned) {
  const MarketModel m = Fixed();
  std::string actual;
  bool same = true;
  for (const Golden& g : kGolden) {
    const std::vector<uint8_t> b = Snapshot(m, g.type, g.protocol);
    char line[128];
    std::snprintf(line, sizeof line, "    {%d, %d, %zu, 0x%016llxull},\n", g.type, g.protocol,
                  b.size(), static_cast<unsigned long long>(Fnv1a(b)));
    actual += line;
    if (b.size() != g.size || Fnv1a(b) != g.hash) {
      same = false;
      ADD_FAILURE() << FindType(g.type)->name << " protocol " << g.protocol << " changed";
    }
  }
  EXPECT_TRUE(same) << "current values, for review:\n" << actual;
}

TEST(Golden, CoversEveryType) {
  for (const auto& t : AllTypes()) {
    bool found = false;
    for (const Golden& g : kGolden) found |= g.type == t.code;
    EXPECT_TRUE(found) << t.name;
  }
}

TEST(Golden, InterestRateRecordInFull) {
  const MarketModel m = Fixed();
  const std::vector<uint8_t> b = Snapshot(m, T_INTEREST_RATE, 0);
  // Header, ids 23, 42, 41, then the first record: "USD" in 5 bytes, period
  // 1 day, rate 0.053 + 0.002 * ln(1 + 1/30) as a float.
  const std::vector<uint8_t> head = {8, 0, 1, 13, 0, 36, 0, 0, 0, 0, 0, 0, 0, 3, 23, 42, 41,
                                     'U', 'S', 'D', 0, 0, 1, 0, 0, 0};
  ASSERT_GE(b.size(), head.size() + 4);
  EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + static_cast<long>(head.size())), head);
  float rate;
  std::memcpy(&rate, &b[head.size()], 4);
  EXPECT_FLOAT_EQ(rate, 0.053f + 0.002f * std::log1p(1.0f / 30.0f));
}

}  // namespace
