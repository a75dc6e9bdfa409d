#include "dde/NameGrammar.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace zmdde;

namespace {

struct TermCase {
  const char* text;
  bool ok;
  SHORT term;
};

TEST(HvItemName, ReadsTheTermAfterTheFirstUnderscore) {
  const TermCase cases[] = {
      {"HV_T30", true, 30},
      {"MYHV_X_T30", true, 30},
      {"HV_T", true, 0},          // no digits: term 0, still a match
      {"HV_T-7", true, -7},
      {"HV_T 12", true, 12},      // blanks before the number are skipped
      {"HV_T70000", true, 4464},  // a term keeps its low 16 bits
      {"HV_T99999999999999999999", true, -1},  // saturates, then narrows
      {"HVT30", false, 0},        // no underscore
      {"HV_30", false, 0},        // no T after the underscore
      {"T_HV30", false, 0},       // the T before the underscore does not count
      {"H_VT30", false, 0},       // no "HV"
      {"", false, 0},
  };
  for (const TermCase& c : cases) {
    SCOPED_TRACE(c.text);
    SHORT term = 1234;
    const char* rest = ParseHvItemName(c.text, term);
    ASSERT_EQ(c.ok, rest != nullptr);
    if (c.ok) {
      EXPECT_EQ(c.term, term);
      EXPECT_EQ('T', rest[-1]);
    }
  }
}

TEST(HvItemName, LowerCaseMatchesOnceTheCallerUpperCasesIt) {
  SHORT term = 0;
  EXPECT_EQ(nullptr, ParseHvItemName("hv_t30", term));
  ASSERT_NE(nullptr, ParseHvItemName(UpperCaseName("hv_t30").c_str(), term));
  EXPECT_EQ(30, term);
}

struct IndexCase {
  const char* text;
  bool ok;
  LONG type;
  SHORT term;
};

TEST(IvIndexItemName, TypeAndTerm) {
  const IndexCase cases[] = {
      {"IVXCALL_T30", true, kItemCall, 30},
      {"IVXPUT_T91", true, kItemPut, 91},
      {"IVXPUTCALL_T30", true, kItemCall, 30},  // CALL wins over PUT
      {"CALL_IVX_T30", true, kItemCall, 30},    // keywords count anywhere
      {"IVX_CALL_T", true, kItemCall, 0},
      // The first T after the underscore may be that of "PUT": no digits
      // follow it, so the term is 0.
      {"IVX_PUT_T30", true, kItemPut, 0},
      {"IVX_T30", false, 0, 0},       // neither CALL nor PUT
      {"IVXCALLT30", false, 0, 0},    // no underscore
      {"IVXCALL_30", false, 0, 0},    // no T after it
      {"IVCALL_T30", false, 0, 0},    // no keyword
      {"IVFXCALL_T30", false, 0, 0},  // the futures keyword is another form
  };
  for (const IndexCase& c : cases) {
    SCOPED_TRACE(c.text);
    LONG type = -1;
    SHORT term = -1;
    ASSERT_EQ(c.ok, ParseIvxItemName(c.text, type, term) != nullptr);
    if (c.ok) {
      EXPECT_EQ(c.type, type);
      EXPECT_EQ(c.term, term);
    }
  }
}

TEST(IvIndexItemName, FuturesFormUsesItsOwnKeyword) {
  LONG type = -1;
  SHORT term = -1;
  ASSERT_NE(nullptr, ParseIvfxItemName("IVFXPUT_T60", type, term));
  EXPECT_EQ(kItemPut, type);
  EXPECT_EQ(60, term);
  EXPECT_EQ(nullptr, ParseIvfxItemName("IVXPUT_T60", type, term));
  EXPECT_EQ(nullptr, ParseIvfxItemName("IVFX_T60", type, term));
}

struct SurfaceCase {
  const char* text;
  bool ok;
  LONG type;
  SHORT term;
  SHORT level;
  const char* rest;
};

TEST(IvSurfaceItemName, TypeTermLevelAndRest) {
  const SurfaceCase cases[] = {
      {"IVSCALL_T30O5IV", true, kItemCall, 30, 5, "5IV"},
      {"IVSPUT_T60O-10DELTA", true, kItemPut, 60, -10, "-10DELTA"},
      {"IVSCALL_T30_XO5VSTRIKE", true, kItemCall, 30, 5, "5VSTRIKE"},
      // The term is read from the first T after the first underscore and
      // the level from the first O after that T.
      {"IVSCALL_A_T30_T40O5O6IV", true, kItemCall, 30, 5, "5O6IV"},
      {"IVSCALL_T30O", true, kItemCall, 30, 0, ""},
      {"IVSCALL_T30", false, 0, 0, 0, nullptr},  // no O after the T
      {"IVSO_CALL_T30", false, 0, 0, 0, nullptr},  // an O before the T does not count
      {"IVS_T30O5IV", false, 0, 0, 0, nullptr},  // neither CALL nor PUT
  };
  for (const SurfaceCase& c : cases) {
    SCOPED_TRACE(c.text);
    LONG type = -1;
    SHORT term = -1;
    SHORT level = -1;
    const char* rest = ParseIvsItemName(c.text, type, term, level);
    ASSERT_EQ(c.ok, rest != nullptr);
    if (c.ok) {
      EXPECT_EQ(c.type, type);
      EXPECT_EQ(c.term, term);
      EXPECT_EQ(c.level, level);
      EXPECT_STREQ(c.rest, rest);
    }
  }
}

TEST(IvSurfaceItemName, FuturesFormUsesItsOwnKeyword) {
  LONG type = -1;
  SHORT term = -1;
  SHORT level = -1;
  const char* rest = ParseIvfsItemName("IVFSCALL_T91O2DELTA", type, term, level);
  ASSERT_NE(nullptr, rest);
  EXPECT_EQ(kItemCall, type);
  EXPECT_EQ(91, term);
  EXPECT_EQ(2, level);
  EXPECT_STREQ("2DELTA", rest);
  EXPECT_EQ(nullptr, ParseIvfsItemName("IVSCALL_T91O2DELTA", type, term, level));
}

TEST(TermTopicItemName, RootAndPeriod) {
  std::string root;
  SHORT term = -1;
  const char* rest = ParseTermTopic("USD_T90", root, term);
  ASSERT_NE(nullptr, rest);
  EXPECT_EQ("USD", root);
  EXPECT_EQ(90, term);
  EXPECT_STREQ("90", rest);

  ASSERT_NE(nullptr, ParseTermTopic("EUR_XT7", root, term));
  EXPECT_EQ("EUR", root);
  EXPECT_EQ(7, term);

  // A failure without an underscore leaves the root alone; one without a
  // T after it has set the root already.
  root = "KEEP";
  EXPECT_EQ(nullptr, ParseTermTopic("USDT90", root, term));
  EXPECT_EQ("KEEP", root);
  EXPECT_EQ(nullptr, ParseTermTopic("GBP_90", root, term));
  EXPECT_EQ("GBP", root);
}

TEST(TermTopicItemName, LongRootIsCut) {
  std::string text(400, 'A');
  text += "_T5";
  std::string root;
  SHORT term = 0;
  ASSERT_NE(nullptr, ParseTermTopic(text.c_str(), root, term));
  EXPECT_EQ(std::string(254, 'A'), root);
  EXPECT_EQ(5, term);
}

struct AtmCase {
  const char* text;
  bool ok;
  LONG date;
};

TEST(AtmItemName, FirstOfTheMonthAsWholeOleDate) {
  const MonthTable months = MakeMonthTable();
  const AtmCase cases[] = {
      {"ATM_Y10_JAN", true, 40179},   // 1 January 2010
      {"ATM_Y2010_JAN", true, 40179},
      {"ATM_Y11_DEC", true, 40878},   // 1 December 2011
      {"XATMX_Y9_FEB", true, 39845},  // 1 February 2009
      {"ATM_Y-5_JAN", true, 34700},   // below 100 gets 2000: 1995
      {"ATM_Y10_JANUARY", false, 0},  // full month name
      {"ATM_Y10_JAN_", false, 0},     // text after the abbreviation
      {"ATM_Y10_jan", false, 0},
      {"ATM_Y10JAN", false, 0},       // no second underscore
      {"ATM_10_JAN", false, 0},       // no Y
      {"ATMY10_JAN", false, 0},       // the Y before the first underscore
      {"AT_Y10_JAN", false, 0},       // no ATM
      {"ATM_Y10000_JAN", false, 0},   // no such date
      {"ATM_Y-1950_JAN", false, 0},   // year 50
  };
  for (const AtmCase& c : cases) {
    SCOPED_TRACE(c.text);
    LONG date = -1;
    const char* rest = ParseAtmItemName(months, c.text, date);
    ASSERT_EQ(c.ok, rest != nullptr);
    if (c.ok) {
      EXPECT_EQ(c.date, date);
      EXPECT_EQ(3u, std::strlen(rest));
    }
  }
}

TEST(AtmItemName, MonthTableHoldsTheTwelveAbbreviations) {
  const MonthTable months = MakeMonthTable();
  ASSERT_EQ(12u, months.size());
  EXPECT_EQ(1, months.at("JAN"));
  EXPECT_EQ(6, months.at("JUN"));
  EXPECT_EQ(12, months.at("DEC"));
}

TEST(TopicSymbolTranslation, BackslashesAndSlashesBothWays) {
  EXPECT_EQ("A/B/C", TopicToSymbol("A\\B\\C"));
  EXPECT_EQ("A\\B\\C", SymbolToTopic("A/B/C"));
  EXPECT_EQ("A\\B\\C", SymbolToTopic(TopicToSymbol("A\\B\\C")));
  EXPECT_EQ("MSFT", TopicToSymbol("MSFT"));
  EXPECT_EQ("MSFT", SymbolToTopic("MSFT"));
  EXPECT_EQ("", TopicToSymbol(""));
  EXPECT_EQ("/ES", TopicToSymbol("\\ES"));
}

TEST(UpperCaseName, OnlyLettersChange) {
  EXPECT_EQ("IVXCALL_T30", UpperCaseName("ivxCall_t30"));
  EXPECT_EQ("BRK\\B 1.5", UpperCaseName("brk\\b 1.5"));
}

}  // namespace
