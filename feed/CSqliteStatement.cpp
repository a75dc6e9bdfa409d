#include "feed/CSqliteStatement.h"

#include <utility>

#include <sqlite3.h>

#include "feed/CSqliteException.h"
#include "feed/CSqliteStatementCache.h"
#include "platform/log/Log.h"

CSqliteStatement::CSqliteStatement(sqlite3* db, sqlite3_stmt* stmt, std::shared_ptr<CSqliteStatementCache> cache)
    : m_db(db), m_stmt(stmt), m_cache(std::move(cache)) {}

CSqliteStatement::CSqliteStatement(CSqliteStatement&& other) noexcept
    : m_db(other.m_db), m_stmt(std::exchange(other.m_stmt, nullptr)), m_cache(std::move(other.m_cache)) {}

CSqliteStatement& CSqliteStatement::operator=(CSqliteStatement&& other) noexcept {
  if (this != &other) {
    try {
      Release();
    } catch (const CSqliteException&) {
      ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    }
    m_db = other.m_db;
    m_stmt = std::exchange(other.m_stmt, nullptr);
    m_cache = std::move(other.m_cache);
  }
  return *this;
}

CSqliteStatement::~CSqliteStatement() {
  try {
    Release();
  } catch (...) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
  }
}

void CSqliteStatement::CheckDB() const {
  if (m_db == nullptr) throw CSqliteException(CPPSQLITE_ERROR, "Database not open");
}

void CSqliteStatement::CheckStatement() const {
  if (m_stmt == nullptr) throw CSqliteException(CPPSQLITE_ERROR, "Null Virtual Machine pointer");
}

void CSqliteStatement::BindText(int param, const char* value) {
  CheckStatement();
  const int rc = sqlite3_bind_text(m_stmt, param, value, -1, SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) throw CSqliteException(rc, "Error binding string param");
}

void CSqliteStatement::BindTextNoCopy(int param, const char* value) {
  CheckStatement();
  const int rc = sqlite3_bind_text(m_stmt, param, value, -1, SQLITE_STATIC);
  if (rc != SQLITE_OK) throw CSqliteException(rc, "Error binding string param");
}

void CSqliteStatement::BindInt(int param, int value) {
  CheckStatement();
  const int rc = sqlite3_bind_int(m_stmt, param, value);
  if (rc != SQLITE_OK) throw CSqliteException(rc, "Error binding int param");
}

void CSqliteStatement::BindDouble(int param, double value) {
  CheckStatement();
  const int rc = sqlite3_bind_double(m_stmt, param, value);
  if (rc != SQLITE_OK) throw CSqliteException(rc, "Error binding double param");
}

int CSqliteStatement::RunCommand() {
  CheckDB();
  CheckStatement();
  const int rc = sqlite3_step(m_stmt);
  if (rc == SQLITE_DONE) {
    const int changes = sqlite3_changes(m_db);
    const int reset = sqlite3_reset(m_stmt);
    if (reset != SQLITE_OK) throw CSqliteException(reset, sqlite3_errmsg(m_db));
    return changes;
  }
  const int reset = sqlite3_reset(m_stmt);
  throw CSqliteException(reset != SQLITE_OK ? reset : rc, sqlite3_errmsg(m_db));
}

CSqliteQuery CSqliteStatement::RunQuery() {
  CheckDB();
  CheckStatement();
  const int rc = sqlite3_step(m_stmt);
  if (rc == SQLITE_DONE) return CSqliteQuery(m_db, m_stmt, true, false);
  if (rc == SQLITE_ROW) return CSqliteQuery(m_db, m_stmt, false, false);
  const int reset = sqlite3_reset(m_stmt);
  throw CSqliteException(reset != SQLITE_OK ? reset : rc, sqlite3_errmsg(m_db));
}

void CSqliteStatement::Reset() {
  if (m_stmt == nullptr) return;
  const int rc = sqlite3_reset(m_stmt);
  if (rc != SQLITE_OK) throw CSqliteException(rc, sqlite3_errmsg(m_db));
}

void CSqliteStatement::Release() {
  if (m_stmt == nullptr) return;
  sqlite3_stmt* stmt = std::exchange(m_stmt, nullptr);
  if (std::shared_ptr<CSqliteStatementCache> cache = std::move(m_cache)) {
    // The reset reports what a finalise would: the failure of the last step.
    const int rc = sqlite3_reset(stmt);
    if (rc == SQLITE_OK) {
      // No binding may outlive this use: a later one would otherwise find
      // the texts of this one, or pointers to texts already gone.
      sqlite3_clear_bindings(stmt);
      cache->GiveBack(stmt);
      return;
    }
    sqlite3_finalize(stmt);
    throw CSqliteException(rc, sqlite3_errmsg(m_db));
  }
  const int rc = sqlite3_finalize(stmt);
  if (rc != SQLITE_OK) throw CSqliteException(rc, sqlite3_errmsg(m_db));
}
