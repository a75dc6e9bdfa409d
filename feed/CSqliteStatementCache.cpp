#include "feed/CSqliteStatementCache.h"

#include <sqlite3.h>

CSqliteStatementCache::~CSqliteStatementCache() { Close(); }

sqlite3_stmt* CSqliteStatementCache::Take(std::string_view sql) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_idle.find(sql);
  if (it == m_idle.end() || it->second.empty()) return nullptr;
  sqlite3_stmt* stmt = it->second.back();
  it->second.pop_back();
  --m_count;
  return stmt;
}

void CSqliteStatementCache::GiveBack(sqlite3_stmt* stmt) {
  if (stmt == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const char* sql = sqlite3_sql(stmt);
    if (!m_closed && m_count < kMaxStatements && sql != nullptr) {
      auto it = m_idle.find(std::string_view(sql));
      if (it == m_idle.end()) it = m_idle.emplace(sql, std::vector<sqlite3_stmt*>()).first;
      it->second.push_back(stmt);
      ++m_count;
      return;
    }
  }
  sqlite3_finalize(stmt);
}

void CSqliteStatementCache::Close() {
  std::map<std::string, std::vector<sqlite3_stmt*>, std::less<>> idle;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    m_count = 0;
    idle.swap(m_idle);
  }
  for (auto& entry : idle)
    for (sqlite3_stmt* stmt : entry.second) sqlite3_finalize(stmt);
}
