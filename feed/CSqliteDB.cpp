#include "feed/CSqliteDB.h"

#include <sys/stat.h>

#include <atomic>
#include <map>
#include <mutex>

#include <sqlite3.h>

#include "feed/CDatabaseLock.h"
#include "feed/CSqliteException.h"
#include "feed/CSqliteStatementCache.h"
#include "platform/log/Log.h"

namespace {

std::atomic<bool> g_speed{true};

// SQLite counts every allocation it makes under a process-wide mutex, for
// statistics nothing here reads; the library this links is also built
// without per-connection lookaside, so each statement run makes several
// such allocations. The setting only takes before SQLite initialises,
// hence at start-up; later it is refused and changes nothing.
[[maybe_unused]] const int g_noMemoryStatistics = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);

struct KeptConnection {
  sqlite3* db = nullptr;
  std::shared_ptr<CSqliteStatementCache> statements;
  bool lent = false;
  dev_t dev = 0;
  ino_t ino = 0;
};

// A statement that somehow outlives its access goes back to a closed cache
// and is finalised there; close_v2 lets the connection go once it has.
void CloseKept(KeptConnection& k) {
  if (k.statements) k.statements->Close();
  k.statements.reset();
  sqlite3_close_v2(k.db);
  k.db = nullptr;
}

// Only touched under the database lock; the mutex keeps CloseKeptConnections
// safe from any thread as well.
std::mutex g_keptMutex;
std::map<std::string, KeptConnection>& Kept() {
  static auto* kept = new std::map<std::string, KeptConnection>();
  return *kept;
}

bool FileIdentity(const std::string& path, dev_t* dev, ino_t* ino) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  *dev = st.st_dev;
  *ino = st.st_ino;
  return true;
}

void ApplySpeedPragmas(sqlite3* db) {
  sqlite3_exec(db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "PRAGMA journal_mode=MEMORY", nullptr, nullptr, nullptr);
}

// Opens a fresh connection or throws; a failed open still closes the handle
// that SQLite hands back. Read-write and created when missing, as
// sqlite3_open would; extraFlags adds to that.
sqlite3* OpenFresh(const char* path, int extraFlags = 0) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | extraFlags, nullptr);
  if (rc != SQLITE_OK) {
    CSqliteException e(rc, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    throw e;
  }
  return db;
}

}  // namespace

CSqliteDB::CSqliteDB() = default;

CSqliteDB::~CSqliteDB() { Close(); }

void CSqliteDB::SetSpeedAllowances(bool on) {
  g_speed = on;
  if (!on) CloseKeptConnections();
}

bool CSqliteDB::SpeedAllowances() { return g_speed; }

void CSqliteDB::CloseKeptConnections() {
  std::lock_guard<std::mutex> lock(g_keptMutex);
  auto& kept = Kept();
  for (auto it = kept.begin(); it != kept.end();) {
    if (!it->second.lent) {
      CloseKept(it->second);
      it = kept.erase(it);
    } else {
      ++it;
    }
  }
}

void CSqliteDB::Open(const char* path) {
  Close();
  const std::string p = path != nullptr ? path : "";
  if (g_speed && CDatabaseLock::HeldByThisThread()) {
    std::lock_guard<std::mutex> lock(g_keptMutex);
    KeptConnection& k = Kept()[p];
    if (!k.lent) {
      // A file deleted or replaced since the connection was kept must not be
      // written through the old handle: open it anew, as a fresh connection
      // would.
      dev_t dev = 0;
      ino_t ino = 0;
      const bool exists = FileIdentity(p, &dev, &ino);
      if (k.db != nullptr && (!exists || dev != k.dev || ino != k.ino)) CloseKept(k);
      if (k.db == nullptr) {
        try {
          // Kept connections are only ever used under the database lock, one
          // thread at a time, so SQLite's own per-connection mutex (taken by
          // every step, bind and column read) buys nothing.
          k.db = OpenFresh(p.c_str(), SQLITE_OPEN_NOMUTEX);
        } catch (...) {
          Kept().erase(p);
          throw;
        }
        ApplySpeedPragmas(k.db);
        sqlite3_busy_timeout(k.db, m_busyTimeoutMs);
        k.statements = std::make_shared<CSqliteStatementCache>();
        FileIdentity(p, &k.dev, &k.ino);
      }
      k.lent = true;
      m_db = k.db;
      m_borrowed = true;
      m_cache = k.statements;
      m_path = p;
      SetBusyWait(m_busyTimeoutMs);
      return;
    }
  }
  m_db = OpenFresh(p.c_str());
  m_borrowed = false;
  m_path = p;
  if (g_speed) ApplySpeedPragmas(m_db);
  SetBusyWait(m_busyTimeoutMs);
}

void CSqliteDB::Close() {
  m_lastError.clear();
  if (m_db == nullptr) return;
  m_cache.reset();
  if (m_borrowed) {
    // A lent connection goes back as a fresh one would have been closed: no
    // transaction left open.
    if (sqlite3_get_autocommit(m_db) == 0) sqlite3_exec(m_db, "rollback transaction;", nullptr, nullptr, nullptr);
    std::lock_guard<std::mutex> lock(g_keptMutex);
    auto it = Kept().find(m_path);
    if (it != Kept().end() && it->second.db == m_db) {
      it->second.lent = false;
    } else {
      sqlite3_close_v2(m_db);
    }
  } else {
    sqlite3_close(m_db);
  }
  m_db = nullptr;
  m_borrowed = false;
}

void CSqliteDB::CheckDB() const {
  if (m_db == nullptr) throw CSqliteException(CPPSQLITE_ERROR, "Database not open");
}

bool CSqliteDB::RunCachedCommand(const char* sql, int* changes) {
  sqlite3_stmt* stmt = m_cache->Take(sql);
  if (stmt == nullptr) {
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(m_db, sql, -1, &stmt, &tail) != SQLITE_OK || stmt == nullptr) {
      // Let sqlite3_exec fail on it (or run nothing) as it always has.
      sqlite3_finalize(stmt);
      return false;
    }
    while (tail != nullptr && (*tail == ' ' || *tail == '\t' || *tail == '\n' || *tail == '\r')) ++tail;
    if (tail != nullptr && *tail != '\0') {
      // More than one statement: sqlite3_exec runs them all.
      sqlite3_finalize(stmt);
      return false;
    }
  }
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) {
    const int code = sqlite3_reset(stmt);
    const CSqliteException e(code != SQLITE_OK ? code : rc, sqlite3_errmsg(m_db));
    sqlite3_finalize(stmt);
    throw e;
  }
  *changes = sqlite3_changes(m_db);
  sqlite3_reset(stmt);
  m_cache->GiveBack(stmt);
  return true;
}

int CSqliteDB::RunCommand(const char* sql) {
  CheckDB();
  int changes = 0;
  if (m_cache && sql != nullptr && RunCachedCommand(sql, &changes)) return changes;
  char* error = nullptr;
  const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &error);
  if (rc != SQLITE_OK) throw CSqliteException(rc, error, true);
  return sqlite3_changes(m_db);
}

CSqliteStatement CSqliteDB::Prepare(const char* sql) {
  CheckDB();
  if (m_cache && sql != nullptr) {
    if (sqlite3_stmt* cached = m_cache->Take(sql)) return CSqliteStatement(m_db, cached, m_cache);
  }
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    m_lastError = sqlite3_errmsg(m_db);
    sqlite3_finalize(stmt);
    throw CSqliteException(rc, nullptr);
  }
  return CSqliteStatement(m_db, stmt, m_cache);
}

std::string CSqliteDB::LastErrorText() const {
  if (!m_lastError.empty() || m_db == nullptr) return m_lastError;
  const char* text = sqlite3_errmsg(m_db);
  return text != nullptr ? text : "";
}

int CSqliteDB::ScalarInt(const char* sql) {
  CheckDB();
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    m_lastError = sqlite3_errmsg(m_db);
    sqlite3_finalize(stmt);
    throw CSqliteException(rc, nullptr);
  }
  rc = sqlite3_step(stmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    const int code = sqlite3_finalize(stmt);
    throw CSqliteException(code, sqlite3_errmsg(m_db));
  }
  CSqliteQuery query(m_db, stmt, rc == SQLITE_DONE, true);
  if (query.AtEnd() || query.NumFields() < 1) throw CSqliteException(CPPSQLITE_ERROR, "Invalid scalar query");
  return std::atoi(query.TextAt(0));
}

bool CSqliteDB::InTransaction() const { return m_db != nullptr && sqlite3_get_autocommit(m_db) == 0; }

bool CSqliteDB::HasTable(const char* table) {
  // The name is bound, never pasted into the text.
  CSqliteStatement stmt = Prepare("select count(*) from sqlite_master where type='table' and name=?");
  stmt.BindText(1, table);
  CSqliteQuery query = stmt.RunQuery();
  if (query.AtEnd()) throw CSqliteException(CPPSQLITE_ERROR, "Invalid scalar query");
  return query.IntAt(0) > 0;
}

void CSqliteDB::SetBusyWait(int milliseconds) {
  m_busyTimeoutMs = milliseconds;
  if (m_db != nullptr) sqlite3_busy_timeout(m_db, milliseconds);
}
