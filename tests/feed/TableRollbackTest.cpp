// What a table does when SQLite fails a write in the middle of a block: the
// block's transaction rolls back, so that a read sees the table as it was
// before the block, the failure is logged as the table logs its errors, and
// the next block applies in full.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FaultVfs.h"
#include "LogCapture.h"
#include "MessageBuilder.h"
#include "OptionTestSupport.h"
#include "TempDir.h"
#include "feed/CIVIndexDB.h"
#include "feed/COptionsDB.h"
#include "feed/CSqliteDB.h"
#include "feed/CStocksDB.h"
#include "feed/MessageFormat.h"

namespace {

// Enough rows that a block's commit writes many pages: a failure can then
// land with part of the block already in the file.
constexpr int kRows = 400;

std::string Symbol(int i) { return "S" + std::to_string(1000 + i); }

MessageBuilder StockBase() {
  MessageBuilder m;
  m.Block(T_EQUITY_BASE, kRows, {2, 48});
  for (int i = 0; i < kRows; ++i) m.Text(Symbol(i), 12).Float(10.0f + i);
  return m;
}

MessageBuilder StockQuotes(float bid) {
  MessageBuilder m;
  m.Block(T_EQUITY_QUOTE, kRows, {2, 6, 8, 7, 9, 18});
  for (int i = 0; i < kRows; ++i) m.Text(Symbol(i), 12).Float(bid + i).Text("NYSE", 4).Double(40000.5).I32(100).I32(7);
  return m;
}

MessageBuilder IndexPoints(float call) {
  MessageBuilder m;
  m.Block(T_IVINDEX, kRows, {2, 3, 37, 38});
  for (int i = 0; i < kRows; ++i) m.Text(Symbol(i / 4), 12).I16(static_cast<int16_t>(30 * (i % 4 + 1))).Float(call).Float(call + 1);
  return m;
}

// Every row of the table as text, in row order, through a connection of its
// own: what any reader of the file would see.
std::vector<std::string> Dump(const std::string& path, const std::string& table) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    const std::string sql = "SELECT * FROM " + table + " ORDER BY rowid";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        std::string row;
        for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
          const unsigned char* text = sqlite3_column_text(stmt, c);
          row += (text != nullptr ? reinterpret_cast<const char*>(text) : "NULL") + std::string("|");
        }
        rows.push_back(row);
      }
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return rows;
}

// One table of each shape: what makes it, the message that fills it, and
// the block that the fault lands in.
struct Shape {
  const char* name;
  const char* table;
  std::function<std::unique_ptr<CLiteDB>(const std::string& path)> make;
  std::function<std::vector<MessageBuilder>()> start;
  std::function<MessageBuilder()> change;
  const char* errorLine;
};

const Shape kShapes[] = {
    {"stocks", "stocks", [](const std::string& p) { return std::make_unique<CStocksDB>(p, false); },
     [] { return std::vector<MessageBuilder>{StockBase(), StockQuotes(1)}; },
     [] { return StockQuotes(2); }, "SQLite error in CStocksDB::_UpdateStockQuote(): SQLITE_IOERR"},
    {"options", "options", [](const std::string& p) { return std::make_unique<COptionsDB>(p, false); },
     [] {
       const std::vector<TestOption> chain = OptionChain("AAA", kRows, 1.0f);
       return std::vector<MessageBuilder>{OptionBlock(T_OPTION_BASE, kOptionBaseIds, chain),
                                          OptionBlock(T_OPTION_QUOTE, kOptionQuoteIds, chain)};
     },
     [] { return OptionBlock(T_OPTION_QUOTE, kOptionQuoteIds, OptionChain("AAA", kRows, 2.0f)); },
     "SQLite error in COptionsDB::_UpdateOptionQuote(): SQLITE_IOERR"},
    {"ivindex", "ivindex", [](const std::string& p) { return std::make_unique<CIVIndexDB>(p); },
     [] { return std::vector<MessageBuilder>{IndexPoints(0.25f)}; }, [] { return IndexPoints(0.5f); },
     "SQLite error in CIVIndexDB::_UpdateDB(): SQLITE_IOERR"},
};

// Where the fault lands: the first, second, middle or last call of its kind
// that the block makes, with the connections' speed settings (journal in
// memory, no sync) or without them (a journal file, synced).
enum class Which { kFirst, kSecond, kMiddle, kLast };

struct Fault {
  const char* name;
  bool speed;
  faultvfs::Call call;
  Which which;
};

const Fault kFaults[] = {
    {"first write, memory journal", true, faultvfs::Call::kWrite, Which::kFirst},
    {"second write, memory journal", true, faultvfs::Call::kWrite, Which::kSecond},
    {"middle write, memory journal", true, faultvfs::Call::kWrite, Which::kMiddle},
    {"last write, memory journal", true, faultvfs::Call::kWrite, Which::kLast},
    {"first write, journal file", false, faultvfs::Call::kWrite, Which::kFirst},
    {"middle write, journal file", false, faultvfs::Call::kWrite, Which::kMiddle},
    {"last write, journal file", false, faultvfs::Call::kWrite, Which::kLast},
    {"first sync, journal file", false, faultvfs::Call::kSync, Which::kFirst},
    {"last sync, journal file", false, faultvfs::Call::kSync, Which::kLast},
};

int Nth(Which which, int calls) {
  switch (which) {
    case Which::kFirst: return 1;
    case Which::kSecond: return 2;
    case Which::kMiddle: return calls / 2 + 1;
    case Which::kLast: return calls;
  }
  return 1;
}

class TableRollbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    faultvfs::Install();
    m_speed = CSqliteDB::SpeedAllowances();
  }
  void TearDown() override {
    faultvfs::Disarm();
    CSqliteDB::SetSpeedAllowances(m_speed);
    CSqliteDB::CloseKeptConnections();
  }

 private:
  bool m_speed = true;
};

TEST_F(TableRollbackTest, ABlockFailingHalfwayLeavesTheTableAsItWasAndTheNextBlockAppliesInFull) {
  for (const Shape& shape : kShapes) {
    for (const Fault& fault : kFaults) {
      SCOPED_TRACE(std::string(shape.name) + ": " + fault.name);
      CSqliteDB::SetSpeedAllowances(fault.speed);

      // What the table holds after both messages when nothing fails.
      TempDir referenceDir;
      const std::string reference = referenceDir.File("reference.db");
      {
        const std::unique_ptr<CLiteDB> table = shape.make(reference);
        ASSERT_TRUE(table->Initialize());
        for (const MessageBuilder& m : shape.start()) ASSERT_TRUE(Apply(*table, m));
        // Counted, never failed: how many such calls the block makes.
        faultvfs::Arm(fault.call, 0);
        ASSERT_TRUE(Apply(*table, shape.change()));
        faultvfs::Disarm();
      }
      const int calls = faultvfs::Counted();
      // The fault must be able to fall between two calls of the block.
      ASSERT_GE(calls, fault.which == Which::kFirst || fault.which == Which::kLast ? 1 : 3);
      const std::vector<std::string> expected = Dump(reference, shape.table);

      TempDir dir;
      const std::string path = dir.File("cache.db");
      const std::unique_ptr<CLiteDB> table = shape.make(path);
      ASSERT_TRUE(table->Initialize());
      for (const MessageBuilder& m : shape.start()) ASSERT_TRUE(Apply(*table, m));
      const std::vector<std::string> before = Dump(path, shape.table);
      ASSERT_EQ(before.size(), expected.size());
      ASSERT_NE(before, expected);

      LogCapture log;
      faultvfs::Arm(fault.call, Nth(fault.which, calls));
      // The block is read whole; only its write fails.
      EXPECT_TRUE(Apply(*table, shape.change()));
      faultvfs::Disarm();
      ASSERT_TRUE(faultvfs::Failed()) << "the block made " << faultvfs::Counted() << " such calls";
      EXPECT_EQ(Dump(path, shape.table), before);
      EXPECT_TRUE(log.Contains(shape.errorLine));
      // One failure, one error line: nothing after it reports a failure of
      // its own (the rollback of a commit that SQLite had undone already).
      EXPECT_EQ(log.Count("error"), 1u);

      ASSERT_TRUE(Apply(*table, shape.change()));
      EXPECT_EQ(Dump(path, shape.table), expected);
    }
  }
}

}  // namespace
