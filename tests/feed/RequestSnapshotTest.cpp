#include "feed/RequestSnapshot.h"

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "feed/MessageFormat.h"

namespace {

TEST(RequestSnapshotTest, DataTypeAndSymbolTypeOfEveryMember) {
  struct Case {
    SnapshotKind kind;
    bool direct;
    uint8_t type;
    CORBA::Short forGroup;   // key flag 0
    CORBA::Short forOne;     // key flag 1
  };
  using K = SnapshotKind;
  const Case cases[] = {
      {K::kEquityBase, false, T_EQUITY_BASE, 1, 1},
      {K::kEquityQuote, false, T_EQUITY_QUOTE, 1, 1},
      {K::kEquityQuote, true, T_DIRECT_EQUITY_QUOTE, 1, 1},
      {K::kOptionBase, false, T_OPTION_BASE, 1, 2},
      {K::kOptionQuote, false, T_OPTION_QUOTE, 1, 2},
      {K::kOptionQuote, true, T_DIRECT_OPTION_QUOTE, 1, 2},
      {K::kOptionAD, false, T_OPTION_AD, 1, 2},
      {K::kNstdOptionBase, false, T_NSTDOPTION_BASE, 1, 2},
      {K::kNstdOptionQuote, false, T_NSTDOPTION_QUOTE, 1, 2},
      {K::kNstdOptionAD, false, T_NSTDOPTION_AD, 1, 2},
      // The future members the other way round.
      {K::kFutureBase, false, T_FUTURE_BASE, 2, 1},
      {K::kFutureQuote, false, T_FUTURE_QUOTE, 2, 1},
      {K::kFutureOptionBase, false, T_FUTURE_OPTION_BASE, 1, 2},
      {K::kFutureOptionQuote, false, T_FUTURE_OPTION, 1, 2},
  };
  for (const Case& c : cases) {
    const SnapshotRequest group = SnapshotRequestFor(c.kind, CSymbolKey(u"X", 0), c.direct);
    const SnapshotRequest one = SnapshotRequestFor(c.kind, CSymbolKey(u"X", 1), c.direct);
    EXPECT_EQ(group.dataType, c.type) << int(c.kind);
    EXPECT_EQ(one.dataType, c.type) << int(c.kind);
    EXPECT_EQ(group.symbolType, c.forGroup) << int(c.kind);
    EXPECT_EQ(one.symbolType, c.forOne) << int(c.kind);
    EXPECT_GT(FieldListFor(c.type).count, 0u);
  }
}

TEST(RequestSnapshotTest, NilServiceGivesNoReplyAndALine) {
  LogCapture log(orvlog::kError);
  EXPECT_EQ(RequestSnapshot(SnapshotKind::kEquityBase, CSymbolKey(u"MSFT", 0), Orv::ZmDataManager::_nil()), nullptr);
  EXPECT_TRUE(log.Contains("requested without a service"));
}

}  // namespace
