#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "feed/CDatabaseLock.h"
#include "feed/CSqliteDB.h"
#include "feed/CSqliteException.h"
#include "feed/CSqliteTransaction.h"
#include "TempDir.h"

namespace {

// Runs f and returns the exception it throws (code -1 when none).
template <class F>
CSqliteException Thrown(F f) {
  try {
    f();
  } catch (const CSqliteException& e) {
    return e;
  }
  return CSqliteException(-1, "nothing thrown");
}

TEST(CSqliteExceptionTest, MessageIsNameCodeAndDetail) {
  struct Case {
    int code;
    const char* name;
  };
  const Case cases[] = {{0, "SQLITE_OK"},        {1, "SQLITE_ERROR"},     {5, "SQLITE_BUSY"},
                        {14, "SQLITE_CANTOPEN"}, {19, "SQLITE_CONSTRAINT"}, {25, "SQLITE_RANGE"},
                        {100, "SQLITE_ROW"},     {101, "SQLITE_DONE"},    {1000, "CPPSQLITE_ERROR"},
                        {26, "UNKNOWN_ERROR"},   {-1, "UNKNOWN_ERROR"},   {99, "UNKNOWN_ERROR"}};
  for (const Case& c : cases) {
    CSqliteException e(c.code, "detail");
    EXPECT_EQ(e.errorCode(), c.code);
    EXPECT_EQ(std::string(e.errorMessage()), std::string(c.name) + "[" + std::to_string(c.code) + "]: detail");
  }
  CSqliteException noDetail(1000, nullptr);
  EXPECT_STREQ(noDetail.errorMessage(), "CPPSQLITE_ERROR[1000]: ");
  CSqliteException copy = noDetail;
  EXPECT_STREQ(copy.errorMessage(), noDetail.errorMessage());
  EXPECT_NE(copy.errorMessage(), noDetail.errorMessage()) << "a copy owns its own text";
  copy = CSqliteException(5, "x");
  EXPECT_STREQ(copy.errorMessage(), "SQLITE_BUSY[5]: x");
}

class SqliteFixture : public ::testing::Test {
 protected:
  void SetUp() override { path = dir.File("user"); }
  void Exec(const char* sql) {
    CSqliteDB db;
    db.Open(path.c_str());
    db.RunCommand(sql);
  }
  int Count(const char* table) {
    CSqliteDB db;
    db.Open(path.c_str());
    return db.ScalarInt((std::string("select count(*) from ") + table).c_str());
  }
  TempDir dir;
  std::string path;
};

TEST_F(SqliteFixture, OpenOfAMissingFolderThrowsCantOpenAndALaterOpenWorks) {
  const std::string missing = dir.File("no/such/folder/user");
  for (bool underLock : {false, true}) {
    CSqliteException e = Thrown([&] {
      if (underLock) {
        CDatabaseLockGuard lock;
        CSqliteDB db;
        db.Open(missing.c_str());
      } else {
        CSqliteDB db;
        db.Open(missing.c_str());
      }
    });
    EXPECT_EQ(e.errorCode(), 14);
    const std::string msg = e.errorMessage();
    EXPECT_EQ(msg.rfind("SQLITE_CANTOPEN[14]: ", 0), 0u) << msg;
    EXPECT_GT(msg.size(), std::string("SQLITE_CANTOPEN[14]: ").size()) << "SQLite's own text follows";
  }
  std::filesystem::create_directories(dir.File("no/such/folder"));
  CDatabaseLockGuard lock;
  CSqliteDB db;
  EXPECT_NO_THROW(db.Open(missing.c_str()));
}

TEST_F(SqliteFixture, OwnChecksUseCode1000) {
  CSqliteDB closed;
  struct Case {
    std::function<void()> f;
    const char* message;
  };
  CSqliteStatement none;
  CSqliteQuery noQuery;
  const Case cases[] = {
      {[&] { closed.RunCommand("select 1"); }, "CPPSQLITE_ERROR[1000]: Database not open"},
      {[&] { closed.Prepare("select 1"); }, "CPPSQLITE_ERROR[1000]: Database not open"},
      {[&] { none.BindInt(1, 1); }, "CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer"},
      {[&] { noQuery.AtEnd(); }, "CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer"},
      {[&] { noQuery.Next(); }, "CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer"},
  };
  for (const Case& c : cases) {
    CSqliteException e = Thrown(c.f);
    EXPECT_EQ(e.errorCode(), 1000);
    EXPECT_STREQ(e.errorMessage(), c.message);
  }
}

TEST_F(SqliteFixture, ScalarIntHasTableAndSyntaxErrors) {
  Exec("create table empty_one (a INTEGER)");
  CSqliteDB db;
  db.Open(path.c_str());
  EXPECT_TRUE(db.HasTable("empty_one")) << "an empty table exists all the same";
  EXPECT_FALSE(db.HasTable("other"));
  EXPECT_FALSE(db.HasTable("x' or '1'='1")) << "the name is data, not SQL";
  EXPECT_EQ(db.ScalarInt("select 42"), 42);
  CSqliteException noRow = Thrown([&] { db.ScalarInt("select a from empty_one"); });
  EXPECT_EQ(noRow.errorCode(), 1000);
  EXPECT_STREQ(noRow.errorMessage(), "CPPSQLITE_ERROR[1000]: Invalid scalar query");
  CSqliteException syntax = Thrown([&] { db.Prepare("selec nothing"); });
  EXPECT_EQ(syntax.errorCode(), 1);
  EXPECT_STREQ(syntax.errorMessage(), "SQLITE_ERROR[1]: ");
  CSqliteException exec = Thrown([&] { db.RunCommand("insert into missing values (1)"); });
  EXPECT_EQ(exec.errorCode(), 1);
  EXPECT_NE(std::string(exec.errorMessage()).find("no such table: missing"), std::string::npos);
}

TEST_F(SqliteFixture, NullColumnsReadAsTheSuppliedValueAndIndexesAreChecked) {
  Exec("create table t (i INTEGER, f FLOAT, s TEXT)");
  Exec("insert into t values (NULL, NULL, NULL)");
  Exec("insert into t values (7, 40000.123456, 'NYSE')");
  CSqliteDB db;
  db.Open(path.c_str());
  CSqliteStatement stmt = db.Prepare("select i, f, s from t order by rowid");
  CSqliteQuery q = stmt.RunQuery();
  ASSERT_FALSE(q.AtEnd());
  EXPECT_EQ(q.IntAt(0, -5), -5);
  EXPECT_FLOAT_EQ(q.FloatAt(1, 2.5f), 2.5f);
  EXPECT_DOUBLE_EQ(q.DoubleAt(1, 3.5), 3.5);
  EXPECT_STREQ(q.TextAt(2, "*"), "*");
  for (int bad : {3, -1}) {
    CSqliteException e = Thrown([&] { q.IntAt(bad); });
    EXPECT_STREQ(e.errorMessage(), "CPPSQLITE_ERROR[1000]: Invalid field index requested");
  }
  EXPECT_EQ(q.FieldIndex("s"), 2);
  EXPECT_STREQ(Thrown([&] { q.FieldIndex("zz"); }).errorMessage(),
               "CPPSQLITE_ERROR[1000]: Invalid field name requested");
  q.Next();
  ASSERT_FALSE(q.AtEnd());
  EXPECT_EQ(q.IntAt(0), 7);
  EXPECT_EQ(q.FloatAt(1), 40000.123456f) << "the float accessor narrows";
  EXPECT_DOUBLE_EQ(q.DoubleAt(1), 40000.123456);
  EXPECT_STREQ(q.TextAt(2), "NYSE");
  q.Next();
  EXPECT_TRUE(q.AtEnd());
}

TEST_F(SqliteFixture, BindErrorsCarrySqliteCodeAndOwnText) {
  Exec("create table t (a)");
  CSqliteDB db;
  db.Open(path.c_str());
  CSqliteStatement stmt = db.Prepare("insert into t values (?)");
  struct Case {
    std::function<void()> f;
    const char* message;
  };
  const Case cases[] = {
      {[&] { stmt.BindText(2, "x"); }, "SQLITE_RANGE[25]: Error binding string param"},
      {[&] { stmt.BindInt(0, 1); }, "SQLITE_RANGE[25]: Error binding int param"},
      {[&] { stmt.BindDouble(9, 1.0); }, "SQLITE_RANGE[25]: Error binding double param"},
  };
  for (const Case& c : cases) EXPECT_STREQ(Thrown(c.f).errorMessage(), c.message);
  stmt.BindText(1, nullptr);
  EXPECT_EQ(stmt.RunCommand(), 1);
  EXPECT_EQ(db.ScalarInt("select count(*) from t where a is null"), 1) << "a null text binds NULL";
}

TEST_F(SqliteFixture, StepErrorOfABorrowingQueryResetsAndLeavesFinalisingToTheStatement) {
  Exec("create table t (x INTEGER)");
  Exec("insert into t values (1)");
  Exec("insert into t values (2)");
  CSqliteDB db;
  db.Open(path.c_str());
  // The second row overflows: the error comes from a later step.
  CSqliteStatement stmt =
      db.Prepare("select case when x = 2 then abs(-9223372036854775807 - (x - 1)) else x end from t");
  for (int round = 0; round < 2; ++round) {
    CSqliteQuery q = stmt.RunQuery();
    ASSERT_FALSE(q.AtEnd());
    EXPECT_EQ(q.IntAt(0), 1);
    CSqliteException e = Thrown([&] { q.Next(); });
    EXPECT_EQ(e.errorCode(), 1);
    EXPECT_NE(std::string(e.errorMessage()).find("integer overflow"), std::string::npos) << e.errorMessage();
    EXPECT_EQ(Thrown([&] { q.AtEnd(); }).errorCode(), 1000) << "the query has let the statement go";
    // The statement is still alive and runs again: it was reset, not freed.
  }
  stmt.Release();
  EXPECT_EQ(Thrown([&] { stmt.RunQuery(); }).errorCode(), 1000);
}

TEST_F(SqliteFixture, StatementsAreMoveOnly) {
  Exec("create table t (a)");
  CSqliteDB db;
  db.Open(path.c_str());
  CSqliteStatement a = db.Prepare("insert into t values (1)");
  CSqliteStatement b = std::move(a);
  EXPECT_STREQ(Thrown([&] { a.RunCommand(); }).errorMessage(), "CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer");
  EXPECT_EQ(b.RunCommand(), 1);
  a = db.Prepare("insert into t values (2)");
  EXPECT_EQ(a.RunCommand(), 1);
  b = std::move(a);  // the old statement of b is finalised here
  EXPECT_EQ(b.RunCommand(), 1);
  static_assert(!std::is_copy_constructible<CSqliteStatement>::value, "");
  static_assert(!std::is_copy_constructible<CSqliteQuery>::value, "");
}

TEST_F(SqliteFixture, AFailureInTheMiddleOfABatchRollsTheWholeBatchBack) {
  Exec("create table t (k TEXT primary key)");
  Exec("insert into t values ('A')");
  for (bool underLock : {false, true}) {
    try {
      std::unique_ptr<CDatabaseLockGuard> lock(underLock ? new CDatabaseLockGuard : nullptr);
      CSqliteDB db;
      db.Open(path.c_str());
      db.RunCommand("PRAGMA read_uncommitted");
      db.RunCommand("begin transaction;");
      CSqliteTransaction tr(db);
      CSqliteStatement ins = db.Prepare("insert into t values (?)");
      for (const char* k : {"B", "C", "A", "D"}) {
        ins.BindText(1, k);
        ins.RunCommand();
        ins.Reset();
      }
      tr.Commit();
      FAIL() << "the duplicate key must fail";
    } catch (const CSqliteException& e) {
      EXPECT_EQ(e.errorCode(), 19);
    }
    EXPECT_EQ(Count("t"), 1);
  }
}

TEST_F(SqliteFixture, CommittedBatchIsVisibleToOtherConnections) {
  Exec("create table t (k TEXT)");
  {
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(path.c_str());
    db.RunCommand("begin transaction;");
    CSqliteTransaction tr(db);
    db.RunCommand("insert into t values ('x')");
    tr.Commit();
    EXPECT_TRUE(tr.Committed());
  }
  CSqliteDB::CloseKeptConnections();
  EXPECT_EQ(Count("t"), 1);
}

TEST_F(SqliteFixture, AReaderIsNotLockedOutByAnotherConnectionsOpenWriteTransaction) {
  Exec("create table t (k TEXT)");
  Exec("insert into t values ('old')");
  CSqliteDB writer;
  writer.Open(path.c_str());
  writer.RunCommand("begin transaction;");
  CSqliteTransaction tr(writer);
  writer.RunCommand("insert into t values ('new')");
  // The reader sees the committed state at once instead of failing with a
  // locked table.
  CSqliteDB reader;
  reader.Open(path.c_str());
  reader.RunCommand("PRAGMA read_uncommitted");
  EXPECT_EQ(reader.ScalarInt("select count(*) from t"), 1);
}

TEST_F(SqliteFixture, KeptConnectionFollowsTheFileWhenItIsDeleted) {
  {
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(path.c_str());
    db.RunCommand("create table t (k TEXT)");
    db.RunCommand("insert into t values ('x')");
  }
  ASSERT_TRUE(std::filesystem::remove(path));
  CDatabaseLockGuard lock;
  CSqliteDB db;
  db.Open(path.c_str());
  EXPECT_FALSE(db.HasTable("t")) << "a new file, as a fresh connection would see it";
  db.RunCommand("create table t (k TEXT)");
  // A second connection while the kept one is lent works beside it.
  CSqliteDB nested;
  nested.Open(path.c_str());
  EXPECT_TRUE(nested.HasTable("t"));
}

TEST_F(SqliteFixture, LentConnectionComesBackWithoutAnOpenTransaction) {
  Exec("create table t (k TEXT)");
  {
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(path.c_str());
    db.RunCommand("begin transaction;");
    db.RunCommand("insert into t values ('x')");
    // Closed without commit or rollback.
  }
  CDatabaseLockGuard lock;
  CSqliteDB db;
  db.Open(path.c_str());
  EXPECT_EQ(db.ScalarInt("select count(*) from t"), 0);
  EXPECT_NO_THROW(db.RunCommand("begin transaction;"));
  db.RunCommand("rollback transaction;");
}

// Under the lock the statements of a kept connection are reused from one
// access to the next; nothing of an earlier use may show in a later one.
TEST_F(SqliteFixture, AReusedStatementStartsWithoutTheBindingsOfItsLastUse) {
  Exec("create table t (k TEXT, v TEXT)");
  std::string value = "first";
  for (int use = 0; use < 2; ++use) {
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(path.c_str());
    CSqliteStatement ins = db.Prepare("insert into t values (?, ?)");
    ins.BindText(1, use == 0 ? "a" : "b");
    // The second use binds only the key: its value must be NULL, not the
    // first use's text (nor what is left of it).
    if (use == 0) ins.BindTextNoCopy(2, value.c_str());
    ins.RunCommand();
    ins.Release();
    value.assign(64, 'x');
  }
  CDatabaseLockGuard lock;
  CSqliteDB db;
  db.Open(path.c_str());
  CSqliteStatement sel = db.Prepare("select k, v from t order by k");
  CSqliteQuery q = sel.RunQuery();
  ASSERT_FALSE(q.AtEnd());
  EXPECT_STREQ(q.TextAt(1), "first");
  q.Next();
  ASSERT_FALSE(q.AtEnd());
  EXPECT_STREQ(q.TextAt(1, "null"), "null");
}

TEST_F(SqliteFixture, CommandsGiveTheSameResultsAndErrorsWithAndWithoutTheLock) {
  for (bool underLock : {false, true}) {
    SCOPED_TRACE(underLock ? "under the lock" : "without the lock");
    std::filesystem::remove(path);
    std::unique_ptr<CDatabaseLockGuard> lock(underLock ? new CDatabaseLockGuard : nullptr);
    CSqliteDB db;
    db.Open(path.c_str());
    db.RunCommand("create table t (k TEXT primary key)");
    // Twice, so that the second run under the lock takes what the first kept.
    for (int run = 0; run < 2; ++run) {
      db.RunCommand("PRAGMA read_uncommitted");
      EXPECT_EQ(db.RunCommand("delete from t"), run == 0 ? 0 : 2);
      EXPECT_EQ(db.RunCommand("insert into t values ('a'); insert into t values ('b')"), 1)
          << "every statement of the text runs; the count is the last one's";
      CSqliteException missing = Thrown([&] { db.RunCommand("insert into missing values (1)"); });
      EXPECT_EQ(missing.errorCode(), 1);
      EXPECT_STREQ(missing.errorMessage(), "SQLITE_ERROR[1]: no such table: missing");
      CSqliteException duplicate = Thrown([&] { db.RunCommand("insert into t values ('a')"); });
      EXPECT_EQ(duplicate.errorCode(), 19);
      EXPECT_EQ(db.ScalarInt("select count(*) from t"), 2);
    }
  }
}

TEST_F(SqliteFixture, AStatementThatOutlivesItsConnectionIsStillReleasedSafely) {
  Exec("create table t (k TEXT primary key)");
  std::optional<CSqliteStatement> late;
  {
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(path.c_str());
    late.emplace(db.Prepare("insert into t values (?)"));
    late->BindText(1, "a");
    late->RunCommand();
  }
  CSqliteDB::CloseKeptConnections();
  EXPECT_NO_THROW(late.reset());
  // A failed statement is not lent out again in its failed state.
  for (int use = 0; use < 2; ++use) {
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(path.c_str());
    CSqliteStatement ins = db.Prepare("insert into t values (?)");
    ins.BindText(1, "a");
    EXPECT_EQ(Thrown([&] { ins.RunCommand(); }).errorCode(), 19);
    ins.BindText(1, use == 0 ? "b" : "c");
    EXPECT_EQ(ins.RunCommand(), 1);
  }
  EXPECT_EQ(Count("t"), 3);
}

}  // namespace
