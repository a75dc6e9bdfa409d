// The session without a service: its file, its table map, the walk of the
// messages it receives, and its end.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "platform/com/comdef.h"
#include "feed/CDatabaseLock.h"
#include "feed/CDataHolder.h"
#include "feed/CSettings.h"
#include "feed/CFutureOptionsDB.h"
#include "feed/CFuturesDB.h"
#include "feed/CFutIVIndexDB.h"
#include "feed/CFutIVSurfaceDB.h"
#include "feed/CIVIndexDB.h"
#include "feed/CIVSurfaceDB.h"
#include "feed/CNstdOptionsDB.h"
#include "feed/COptionsDB.h"
#include "feed/CStocksDB.h"
#include "feed/ServerStatus.h"
#include "feed/UserFileName.h"
#include "tests/feed/LogCapture.h"
#include "tests/feed/MessageBuilder.h"
#include "tests/feed/TempDir.h"
#include "tests/feed/TestClient.h"

namespace {

// The reverse of the escaping, to show that no two user names share a file.
bool Unescape(const std::string& file, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < file.size();) {
    if (file[i] != '%') {
      *out += static_cast<char16_t>(static_cast<unsigned char>(file[i++]));
      continue;
    }
    const bool wide = i + 1 < file.size() && file[i + 1] == 'u';
    const size_t digits = wide ? 4 : 2, at = i + (wide ? 2 : 1);
    if (at + digits > file.size()) return false;
    *out += static_cast<char16_t>(std::stoul(file.substr(at, digits), nullptr, 16));
    i = at + digits;
  }
  return true;
}

TEST(UserFileName, EscapesWhatCouldLeaveTheFolderOrHideTheFile) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"alice", "alice.db"},
      {u"a.b-c_d@corp", "a.b-c_d@corp.db"},
      {u"../etc/passwd", "%2E.%2Fetc%2Fpasswd.db"},
      {u".hidden", "%2Ehidden.db"},
      {u"..", "%2E..db"},
      {u"a/b\\c", "a%2Fb%5Cc.db"},
      {u"50%", "50%25.db"},
      {u"a~b", "a%7Eb.db"},
      {u"two words", "two%20words.db"},
      {u"M\u00fcller", "M%FCller.db"},
      {u"\u4e2d", "%u4E2D.db"},
      // The program's own files, and the journal of another user's database.
      {u"orv.ini", "orv.ini.db"},
      {u"ORVE.log", "ORVE.log.db"},
      {u"ORVE.log.1", "ORVE.log.1.db"},
      {u"alice.db-journal", "alice.db-journal.db"},
      {u"", ""},
  };
  for (const auto& c : cases) {
    const std::string file = UserFileName(c.first);
    EXPECT_EQ(file, c.second);
    EXPECT_EQ(file.find('/'), std::string::npos);
    if (file.empty()) continue;
    std::u16string back;
    ASSERT_TRUE(Unescape(file.substr(0, file.size() - 3), &back)) << file;
    EXPECT_TRUE(back == c.first) << file;
  }
  EXPECT_NE(UserFileName(u"a%2Fb"), UserFileName(u"a/b"));
}

TEST(UserFileName, ALongNameFitsAFileNameAndStaysItsOwn) {
  const std::u16string plain(300, u'x');
  std::u16string other = plain;
  other.back() = u'y';
  const std::u16string wide(300, u'\u4e2d');
  for (const std::u16string& name : {plain, other, wide}) {
    const std::string file = UserFileName(name);
    EXPECT_LE(file.size() + std::string("-journal").size(), 255u) << file;
    EXPECT_EQ(file.substr(file.size() - 3), ".db");
    EXPECT_NE(file.find('~'), std::string::npos) << file;
    // The kept start is whole escapes only.
    std::u16string start;
    EXPECT_TRUE(Unescape(file.substr(0, file.find('~')), &start)) << file;
    EXPECT_EQ(name.compare(0, start.size(), start), 0) << file;
  }
  EXPECT_NE(UserFileName(plain), UserFileName(other));
  EXPECT_EQ(UserFileName(plain), UserFileName(plain));
  // Just short enough keeps its plain name.
  EXPECT_EQ(UserFileName(std::u16string(200, u'x')), std::string(200, 'x') + ".db");
}

TEST(ServerStatus, MessagesCarryTheCodeTextAndContext) {
  EXPECT_EQ(ServerStatusMessage(13, "Can't subscribe (type: T_EQUITY_BASE) to symbol IBM"),
            "Error: Subscription limit exceeded (S_ERR_SUBSCRIPTION_LIMIT) code 13. "
            "Can't subscribe (type: T_EQUITY_BASE) to symbol IBM");
  EXPECT_EQ(ServerStatusMessage(0, "x"), "Error No error code 0. x");
  EXPECT_EQ(ServerStatusMessage(-3, "x"), "Unknown Error: code -3. x");
  EXPECT_EQ(ServerStatusMessage(14, "x"), "Unknown Error: code 14. x");
  // A context far beyond any fixed buffer is kept whole.
  const std::string longSymbol(5000, 'S');
  EXPECT_EQ(ServerStatusMessage(1, longSymbol).size(), std::string("Error: Operation failed (S_ERR_FAILED) code 1. ").size() + 5000);
}

std::string ErrorText(const _com_error& e) {
  const _bstr_t description = e.Description();
  const char* d = static_cast<const char*>(description);
  return d != nullptr ? d : "";
}

class Session : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("USERPROFILE", m_dir.path().c_str(), 1);
    CSettings::SetDefaults();
  }

  // (symbol, last) of every row of a table.
  std::map<std::string, double> Rows(const std::string& path, const char* table = "stocks") {
    std::map<std::string, double> rows;
    // Under the database lock, as every reader in the program: a pull thread
    // may be writing the file.
    CDatabaseLockGuard lock;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    const std::string sql = std::string("SELECT symbol, last FROM ") + table;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
      while (sqlite3_step(st) == SQLITE_ROW) {
        rows[reinterpret_cast<const char*>(sqlite3_column_text(st, 0))] = sqlite3_column_double(st, 1);
      }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
  }

  static MessageBuilder& Base(MessageBuilder& m, const char* symbol, uint8_t isLast) {
    return m.Block(T_EQUITY_BASE, 1, {F_SYMBOL, F_CURRENCY}, isLast).Text(symbol, 12).Text("USD", 5);
  }
  static MessageBuilder& Quote(MessageBuilder& m, const char* symbol, float last, uint8_t isLast) {
    return m.Block(T_EQUITY_QUOTE, 1, {F_SYMBOL, F_LAST}, isLast).Text(symbol, 12).Float(last);
  }
  static MessageBuilder& FutureQuote(MessageBuilder& m, uint8_t unknownId, uint8_t isLast) {
    m.Block(T_FUTURE_QUOTE, 1, {F_FUTURE_SYMBOL, unknownId}, isLast).Text("ESZ6", 64);
    return m.Float(1.0f);
  }

  // An IV index point for each side, then a stock quote behind them.
  static MessageBuilder IVMessage() {
    MessageBuilder m;
    m.Block(T_IVINDEX, 1, {F_SYMBOL, F_TERM, F_IVX_CALL, F_IVX_PUT}, 0)
        .Text("IBM", 12).I16(30).Float(0.25f).Float(0.26f);
    m.Block(T_FUTURE_IVINDEX, 1, {F_SYMBOL, F_TERM, F_IVX_CALL, F_IVX_PUT}, 0)
        .Text("ES", 12).I16(30).Float(0.15f).Float(0.16f);
    Quote(m, "IBM", 5.0f, 1);
    return m;
  }

  TempDir m_dir;
};

TEST_F(Session, StartsOnAnEmptyFileNamedAfterTheUser) {
  const std::string folder = orvwin::UserDataFolder();
  {
    std::ofstream old(folder + "%2Eold%2Fuser.db");
    old << "rows of an earlier run";
  }
  LogCapture log;
  {
    // No cache file yet: nothing to delete, nothing to report.
    CDataHolder first(u"fresh", nullptr, nullptr);
    EXPECT_EQ(first.DatabasePath(), folder + "fresh.db");
    EXPECT_FALSE(log.Contains("Can't delete file"));
  }
  {
    // One that stays is reported with the reason.
    std::filesystem::create_directories(folder + "stuck.db/inside");
    CDataHolder stuck(u"stuck", nullptr, nullptr);
    EXPECT_TRUE(log.Contains("Can't delete file " + folder + "stuck.db: "));
    std::filesystem::remove_all(folder + "stuck.db");
  }
  log.Clear();
  CDataHolder session(u".old/user", nullptr, nullptr);
  EXPECT_EQ(session.DatabasePath(), folder + "%2Eold%2Fuser.db");
  EXPECT_FALSE(log.Contains("Can't delete file"));
  EXPECT_FALSE(std::ifstream(session.DatabasePath()).good());
}

TEST_F(Session, AUserNamedAfterTheProgramsFilesLeavesThemAlone) {
  const std::string folder = orvwin::UserDataFolder();
  const char* const own[] = {"orv.ini", "ORVE.log", "ORVE.log.1"};
  for (const char* name : own) std::ofstream(folder + name) << "kept";
  const std::u16string names[] = {u"orv.ini", u"ORVE.log", u"ORVE.log.1", u"..", u".", std::u16string(300, u'z')};
  for (const std::u16string& name : names) {
    CDataHolder session(name, nullptr, nullptr);
    SCOPED_TRACE(session.DatabasePath());
    EXPECT_EQ(session.DatabasePath().rfind(folder, 0), 0u);
    // The database can be made where the name says.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(session.DatabasePath().c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "CREATE TABLE t (a INTEGER)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  for (const char* name : own) {
    std::ifstream in(folder + name);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "kept") << name;
  }
}

TEST_F(Session, RefusesAnEmptyUserName) {
  try {
    CDataHolder session(u"", nullptr, nullptr);
    FAIL() << "an empty user name was taken";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(ErrorText(e), "Invalid user name");
  }
}

TEST_F(Session, TableMapHoldsEachKindOnce) {
  CDataHolder session(u"maps", nullptr, nullptr);
  ASSERT_TRUE(session.Initialize());
  CLiteDB* stocks = session.GetStorage(enStockData);
  ASSERT_NE(dynamic_cast<CStocksDB*>(stocks), nullptr);
  EXPECT_FALSE(dynamic_cast<CStocksDB*>(stocks)->IsDirect());
  EXPECT_TRUE(dynamic_cast<CStocksDB*>(session.GetStorage(enStockData_Direct))->IsDirect());
  EXPECT_NE(dynamic_cast<COptionsDB*>(session.GetStorage(enOptionData)), nullptr);
  EXPECT_NE(dynamic_cast<COptionsDB*>(session.GetStorage(enOptionData_Direct)), nullptr);
  EXPECT_NE(dynamic_cast<CNstdOptionsDB*>(session.GetStorage(enNstdOptionData)), nullptr);
  EXPECT_NE(dynamic_cast<CIVIndexDB*>(session.GetStorage(enIVIndexData)), nullptr);
  EXPECT_NE(dynamic_cast<CIVSurfaceDB*>(session.GetStorage(enIVSurfaceData)), nullptr);

  for (int kind : {int(enIVATMData), int(enFutureData), 12, -1}) {
    EXPECT_EQ(session.FindStorage(kind), nullptr) << kind;
    EXPECT_FALSE(session.IsSymbolSubscribed(CEventClientPtr(), u"IBM", kind, enEquity)) << kind;
    try {
      session.GetStorage(kind);
      ADD_FAILURE() << kind;
    } catch (const _com_error& e) {
      EXPECT_EQ(ErrorText(e), "Unknown message type " + std::to_string(kind) + ".");
    }
  }

  // A second sign-in of the side keeps the tables and what they hold.
  MessageBuilder m;
  Base(m, "IBM", 1);
  session._UpdateLocalStorage(m.data(), m.size(), false);
  ASSERT_TRUE(session.Initialize());
  EXPECT_EQ(session.GetStorage(enStockData), stocks);
  EXPECT_EQ(Rows(session.DatabasePath()).count("IBM"), 1u);

  // The futures side brings its own kinds.
  ASSERT_TRUE(session.FutsInitialize());
  EXPECT_NE(dynamic_cast<CFuturesDB*>(session.GetStorage(enFutureData)), nullptr);
  EXPECT_NE(dynamic_cast<CFutureOptionsDB*>(session.GetStorage(enFutureOptionData)), nullptr);
  EXPECT_NE(dynamic_cast<CFutIVIndexDB*>(session.GetStorage(enFutIVIndexData)), nullptr);
  EXPECT_NE(dynamic_cast<CFutIVSurfaceDB*>(session.GetStorage(enFutIVSurfaceData)), nullptr);
}

size_t IVRows(const std::string& path, const char* table) {
  CDatabaseLockGuard lock;
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* st = nullptr;
  size_t n = 0;
  if (sqlite3_prepare_v2(db, (std::string("SELECT count(*) FROM ") + table).c_str(), -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW) {
    n = static_cast<size_t>(sqlite3_column_int(st, 0));
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return n;
}

TEST_F(Session, WalkHandsIVBlocksToTheTableOfTheirSide) {
  CDataHolder session(u"ivwalk", nullptr, nullptr);
  ASSERT_TRUE(session.Initialize());
  MessageBuilder base;
  Base(base, "IBM", 1);
  session._UpdateLocalStorage(base.data(), base.size(), false);

  // Before the futures sign-in the futures point is stepped over.
  const MessageBuilder m = IVMessage();
  session._UpdateLocalStorage(m.data(), m.size(), false);
  EXPECT_EQ(IVRows(session.DatabasePath(), "ivindex"), 1u);
  EXPECT_EQ(Rows(session.DatabasePath())["IBM"], 5.0) << "the walk stopped at the futures block";

  ASSERT_TRUE(session.FutsInitialize());
  session._UpdateLocalStorage(m.data(), m.size(), false);
  EXPECT_EQ(IVRows(session.DatabasePath(), "ivindex"), 1u);
  EXPECT_EQ(IVRows(session.DatabasePath(), "future_ivindex"), 1u);
}

TEST_F(Session, GettersWithoutAServerLeaveTheListEmpty) {
  CDataHolder session(u"nil", nullptr, nullptr);
  ASSERT_TRUE(session.Initialize());
  LogCapture log;
  std::vector<StockRecord> records;
  session.GetStocks(u"", records, false);
  EXPECT_TRUE(records.empty());
  EXPECT_FALSE(log.Contains("MEMORY USAGE STATISTIC"));
  EXPECT_FALSE(session.UpdateEquityBase(u"IBM"));
}

TEST_F(Session, MemoryFiguresAre64Bit) {
  CDataHolder session(u"memory", nullptr, nullptr);
  LogCapture log;
  session.DumpMemoryStatus();
  ASSERT_EQ(log.Count("ORVE MEMORY USAGE STATISTIC:"), 1u);
  for (const std::string& line : log.Lines()) {
    if (line.find("Total virtual memory: ") == std::string::npos) continue;
    // This process's address space is far past what 32 bits of KiB hold.
    const long long kb = std::stoll(line.substr(line.find("Total virtual memory: ") + 22));
    EXPECT_GT(kb, 0);
  }
}

TEST_F(Session, WalkAppliesBlocksInOrderAndStepsOverKindsWithoutTable) {
  CDataHolder session(u"walk", nullptr, nullptr);
  ASSERT_TRUE(session.Initialize());
  LogCapture log;
  MessageBuilder m;
  Base(m, "IBM", 0);
  FutureQuote(m, F_LAST, 0);  // no futures table: stepped over
  Quote(m, "IBM", 101.5f, 1);
  session._UpdateLocalStorage(m.data(), m.size(), false);
  EXPECT_EQ(Rows(session.DatabasePath()), (std::map<std::string, double>{{"IBM", 101.5}}));
  EXPECT_FALSE(log.Contains("ERROR"));

  // A first block with is_last set: the rest is not read.
  MessageBuilder one;
  Quote(one, "IBM", 1.0f, 1);
  Quote(one, "IBM", 2.0f, 1);
  session._UpdateLocalStorage(one.data(), one.size(), false);
  EXPECT_EQ(Rows(session.DatabasePath())["IBM"], 1.0);
}

TEST_F(Session, WalkEndsWhereABlockCannotBeSteppedOver) {
  struct Case {
    const char* name;
    std::function<void(MessageBuilder&)> first;
    const char* line;
  };
  const Case cases[] = {
      {"kind without table, unknown field", [](MessageBuilder& m) { FutureQuote(m, 200, 0); },
       "ERROR: CDataHolder::_UpdateLocalStorage cannot step over a block of type 14"},
      {"type without kind", [](MessageBuilder& m) { m.Block(99, 1, {F_SYMBOL}, 0).Text("X", 12); },
       "ERROR: CDataHolder::_UpdateLocalStorage unknown type 99"},
      {"records beyond the message", [](MessageBuilder& m) { m.Block(T_FUTURE_QUOTE, 1000000, {F_FUTURE_SYMBOL}, 0); },
       "cannot step over a block of type 14"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CDataHolder session(u"badwalk", nullptr, nullptr);
    ASSERT_TRUE(session.Initialize());
    MessageBuilder base;
    Base(base, "IBM", 0);
    Quote(base, "IBM", 7.0f, 1);
    session._UpdateLocalStorage(base.data(), base.size(), false);

    LogCapture log;
    MessageBuilder m;
    c.first(m);
    Quote(m, "IBM", 8.0f, 1);
    session._UpdateLocalStorage(m.data(), m.size(), false);
    EXPECT_TRUE(log.Contains(c.line));
    EXPECT_EQ(Rows(session.DatabasePath())["IBM"], 7.0) << "a block after the break was applied";
  }
}

TEST_F(Session, WalkIsBoundedByTheMessageLength) {
  CDataHolder session(u"bounded", nullptr, nullptr);
  ASSERT_TRUE(session.Initialize());
  MessageBuilder m;
  Base(m, "IBM", 0);
  Quote(m, "IBM", 3.0f, 0);  // no block says it is the last
  for (size_t cut = 0; cut <= m.size(); ++cut) {
    std::vector<uint8_t> part(m.bytes.begin(), m.bytes.begin() + static_cast<std::ptrdiff_t>(cut));
    session._UpdateLocalStorage(part.data(), part.size(), false);
  }
  EXPECT_EQ(Rows(session.DatabasePath())["IBM"], 3.0);
}

TEST_F(Session, EndsItsPullThreadsPromptly) {
  auto session = std::make_unique<CDataHolder>(u"quick", nullptr, nullptr);
  ASSERT_TRUE(session->Initialize());
  ASSERT_TRUE(session->FutsInitialize());
  LogCapture log;
  const auto start = std::chrono::steady_clock::now();
  session.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_FALSE(log.Contains("Pull thread terminated"));
  EXPECT_TRUE(log.Contains("_PullThread completed user: quick"));
  EXPECT_TRUE(log.Contains("_FutPullThread completed user: quick"));
}

}  // namespace
