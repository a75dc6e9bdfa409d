#include "feed/SqlTemplates.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TempDir.h"
#include "feed/CSqliteDB.h"
#include "feed/CSqliteException.h"

namespace {

TEST(SqlTemplatesTest, TextsAreKeptExactlyAndSubstitutedWithoutALimit) {
  EXPECT_EQ(LoadSqlTemplateText(103), "DELETE FROM %s");
  EXPECT_EQ(LoadSqlTemplateText(127), "SELECT symbol, term, otm, type, vstrike,  iv, delta FROM %s ")
      << "double and trailing blanks stay";
  EXPECT_EQ(LoadSqlTemplateText(102).size(), 698u) << "longer than the 512 bytes most templates fit in";
  EXPECT_EQ(LoadSqlTemplate(135, "options", "stock_symbol"), "DELETE FROM options WHERE stock_symbol = ?");
  EXPECT_EQ(LoadSqlTemplate(103, "stocks"), "DELETE FROM stocks");

  const std::string longName(3000, 't');
  const std::string created = LoadSqlTemplate(102, longName);
  EXPECT_EQ(created.size(), 698u - 2 + longName.size());
  EXPECT_EQ(created.compare(0, 13 + longName.size(), "CREATE TABLE " + longName), 0);
  EXPECT_EQ(LoadSqlTemplate(103, "a%sb"), "DELETE FROM a%sb") << "a name is put in once, not read as a template";
}

TEST(SqlTemplatesTest, EveryResourceIdAndNoOther) {
  std::vector<UINT> ids;
  for (UINT id = 101; id <= 160; ++id) ids.push_back(id);
  for (UINT id : {240u, 241u, 242u, 243u, 244u, 245u, 246u, 247u, 249u, 250u, 251u, 252u}) ids.push_back(id);
  for (UINT id : ids) EXPECT_FALSE(LoadSqlTemplateText(id).empty()) << id;
  for (UINT id : {0u, 100u, 161u, 239u, 248u, 253u}) {
    try {
      LoadSqlTemplateText(id);
      ADD_FAILURE() << id << " has a template";
    } catch (const CSqliteException& e) {
      EXPECT_EQ(e.errorCode(), 1000) << id;
    }
  }
}

// Every template that a table object loads prepares against the table that
// its own CREATE TABLE template makes: a misspelt column fails here, not in
// a session.
TEST(SqlTemplatesTest, EveryTemplateInUsePreparesAgainstItsTable) {
  struct Table {
    const char* name;
    UINT create;
    std::vector<UINT> used;
  };
  const Table tables[] = {
      {"stocks", 102, {103, 104, 106, 128, 133}},
      {"options", 109, {101, 103, 107, 110, 111, 114, 119, 132}},
      {"nstdoptions", 240, {103, 241, 242, 246, 250, 251, 252}},
      {"ivindex", 116, {103, 117, 125, 126, 130, 134}},
      {"ivsurface", 120, {103, 121, 124, 127, 131, 134}},
      {"future_ivindex", 147, {103, 151, 154, 155, 158, 134}},
      {"future_ivsurface", 157, {103, 149, 152, 156, 159, 134}},
      {"futures", 136, {138, 140, 141, 160}},
      {"futureoptions", 142, {143, 144, 145, 146, 148}},
  };
  TempDir dir;
  CSqliteDB db;
  db.Open(dir.File("user").c_str());
  for (const Table& t : tables) {
    ASSERT_NO_THROW(db.RunCommand(LoadSqlTemplate(t.create, t.name).c_str())) << t.name;
    for (UINT id : t.used) {
      const std::string sql = LoadSqlTemplate(id, t.name);
      EXPECT_NO_THROW(db.Prepare(sql.c_str())) << id << ": " << sql;
    }
  }
  for (const char* column : {"symbol", "stock_symbol"}) {
    EXPECT_NO_THROW(db.Prepare(LoadSqlTemplate(135, "options", column).c_str())) << column;
  }
}

}  // namespace
