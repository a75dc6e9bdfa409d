// A prepared statement. Move-only: exactly one object finalises it, or,
// for a statement lent by a kept connection's cache, gives it back.
#pragma once

#include <memory>

#include "feed/CSqliteQuery.h"

class CSqliteStatementCache;
struct sqlite3;
struct sqlite3_stmt;

class CSqliteStatement {
 public:
  CSqliteStatement() = default;
  // With a cache, Release resets the statement, clears its bindings and
  // gives it back there instead of finalising it.
  CSqliteStatement(sqlite3* db, sqlite3_stmt* stmt, std::shared_ptr<CSqliteStatementCache> cache = nullptr);
  CSqliteStatement(CSqliteStatement&& other) noexcept;
  CSqliteStatement& operator=(CSqliteStatement&& other) noexcept;
  CSqliteStatement(const CSqliteStatement&) = delete;
  CSqliteStatement& operator=(const CSqliteStatement&) = delete;
  virtual ~CSqliteStatement();

  // 1-based parameters. A null text binds NULL; SQLite copies the text.
  void BindText(int param, const char* value);
  // As BindText, but SQLite keeps the pointer instead of a copy: the text
  // must stay unchanged until the parameter is bound again or the statement
  // is released.
  void BindTextNoCopy(int param, const char* value);
  void BindInt(int param, int value);
  void BindDouble(int param, double value);

  // One step of a statement that returns no rows; the number of changed rows.
  int RunCommand();
  // The first step of a select; the query borrows this statement.
  CSqliteQuery RunQuery();
  void Reset();
  void Release();

 private:
  void CheckDB() const;
  void CheckStatement() const;

  sqlite3* m_db = nullptr;
  sqlite3_stmt* m_stmt = nullptr;
  std::shared_ptr<CSqliteStatementCache> m_cache;
};
