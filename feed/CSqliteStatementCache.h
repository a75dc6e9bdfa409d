// The prepared statements of one kept connection, by SQL text, so that an
// access that prepares the same text as an earlier one gets the earlier
// statement back instead of parsing the text again. A statement is lent to
// one CSqliteStatement at a time and comes back reset and with its bindings
// cleared.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3_stmt;

class CSqliteStatementCache {
 public:
  CSqliteStatementCache() = default;
  CSqliteStatementCache(const CSqliteStatementCache&) = delete;
  CSqliteStatementCache& operator=(const CSqliteStatementCache&) = delete;
  ~CSqliteStatementCache();

  // An idle statement of this text, now lent to the caller; null when there
  // is none.
  sqlite3_stmt* Take(std::string_view sql);
  // Takes back a statement of this cache's connection that has been reset.
  // Finalises it instead once the cache is closed or full.
  void GiveBack(sqlite3_stmt* stmt);
  // Finalises every idle statement; statements given back later are
  // finalised at once. Runs before the connection closes.
  void Close();

 private:
  // Far above what the tables of one file prepare; only a bound.
  static constexpr size_t kMaxStatements = 64;

  std::mutex m_mutex;
  bool m_closed = false;
  size_t m_count = 0;
  std::map<std::string, std::vector<sqlite3_stmt*>, std::less<>> m_idle;
};
