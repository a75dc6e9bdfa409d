// A connection to one SQLite database file.
//
// The cache files are deleted at every session start and nothing in them has
// to survive a crash, so connections run without syncing and keep their
// journal in memory. Under the database lock a connection per file is kept
// open and lent out again, which saves the open and schema load of every
// access; outside the lock, or while the kept one is lent, Open makes a
// connection of its own as before. A kept connection also keeps the
// statements prepared on it, reset between uses, so that the same text is
// parsed once per connection rather than once per access.
#pragma once

#include <memory>
#include <string>

#include "feed/CSqliteStatement.h"

class CSqliteStatementCache;
struct sqlite3;

class CSqliteDB {
 public:
  CSqliteDB();
  CSqliteDB(const CSqliteDB&) = delete;
  CSqliteDB& operator=(const CSqliteDB&) = delete;
  virtual ~CSqliteDB();

  void Open(const char* path);
  void Close();
  bool IsOpen() const { return m_db != nullptr; }
  // Whether a transaction is open: SQLite ends one of its own accord on some
  // errors, an I/O error of a commit among them.
  bool InTransaction() const;

  // Runs the text; the number of changed rows. Result rows are discarded.
  int RunCommand(const char* sql);
  CSqliteStatement Prepare(const char* sql);
  int ScalarInt(const char* sql);
  bool HasTable(const char* table);
  void SetBusyWait(int milliseconds);
  // SQLite's text of the connection's last failure ("" when not open),
  // that of a failed Prepare first: its exception is thrown without it.
  std::string LastErrorText() const;

  // The speed settings above (kept connections, no sync, memory journal);
  // on by default. Off gives a plain connection per access.
  static void SetSpeedAllowances(bool on);
  static bool SpeedAllowances();
  // Closes every kept connection that is not lent out.
  static void CloseKeptConnections();

 private:
  void CheckDB() const;
  // RunCommand through the statement cache; false when the text is not one
  // statement that can be kept (sqlite3_exec then runs it).
  bool RunCachedCommand(const char* sql, int* changes);

  sqlite3* m_db = nullptr;
  bool m_borrowed = false;
  std::string m_path;
  // The kept connection's statements while it is borrowed; null otherwise.
  std::shared_ptr<CSqliteStatementCache> m_cache;
  int m_busyTimeoutMs = 5000;
  // What a failed Prepare was told: a rollback on the way out replaces
  // the connection's own text.
  std::string m_lastError;
};
