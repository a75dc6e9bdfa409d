// A prepared statement. Move-only: exactly one object finalises it.
#pragma once

#include "feed/CSqliteQuery.h"

struct sqlite3;
struct sqlite3_stmt;

class CSqliteStatement {
 public:
  CSqliteStatement() = default;
  CSqliteStatement(sqlite3* db, sqlite3_stmt* stmt);
  CSqliteStatement(CSqliteStatement&& other) noexcept;
  CSqliteStatement& operator=(CSqliteStatement&& other) noexcept;
  CSqliteStatement(const CSqliteStatement&) = delete;
  CSqliteStatement& operator=(const CSqliteStatement&) = delete;
  virtual ~CSqliteStatement();

  // 1-based parameters. A null text binds NULL; SQLite copies the text.
  void BindText(int param, const char* value);
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
};
