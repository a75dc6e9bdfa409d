#include "feed/CSqliteQuery.h"

#include <cstring>
#include <utility>

#include <sqlite3.h>

#include "feed/CSqliteException.h"
#include "platform/log/Log.h"

CSqliteQuery::CSqliteQuery(sqlite3* db, sqlite3_stmt* stmt, bool atEnd, bool ownsStatement)
    : m_db(db), m_stmt(stmt), m_atEnd(atEnd), m_columns(stmt != nullptr ? sqlite3_column_count(stmt) : 0),
      m_owns(ownsStatement) {}

CSqliteQuery::CSqliteQuery(CSqliteQuery&& other) noexcept
    : m_db(other.m_db), m_stmt(std::exchange(other.m_stmt, nullptr)), m_atEnd(other.m_atEnd),
      m_columns(other.m_columns), m_owns(other.m_owns) {}

CSqliteQuery& CSqliteQuery::operator=(CSqliteQuery&& other) noexcept {
  if (this != &other) {
    try {
      Release();
    } catch (const CSqliteException&) {
      ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    }
    m_db = other.m_db;
    m_stmt = std::exchange(other.m_stmt, nullptr);
    m_atEnd = other.m_atEnd;
    m_columns = other.m_columns;
    m_owns = other.m_owns;
  }
  return *this;
}

CSqliteQuery::~CSqliteQuery() {
  try {
    Release();
  } catch (...) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
  }
}

void CSqliteQuery::CheckStatement() const {
  if (m_stmt == nullptr) throw CSqliteException(CPPSQLITE_ERROR, "Null Virtual Machine pointer");
}

void CSqliteQuery::CheckColumn(int column) const {
  CheckStatement();
  if (column < 0 || column > m_columns - 1) throw CSqliteException(CPPSQLITE_ERROR, "Invalid field index requested");
}

bool CSqliteQuery::AtEnd() const {
  CheckStatement();
  return m_atEnd;
}

void CSqliteQuery::Next() {
  CheckStatement();
  const int rc = sqlite3_step(m_stmt);
  if (rc == SQLITE_DONE) {
    m_atEnd = true;
  } else if (rc != SQLITE_ROW) {
    // A borrowed statement stays its owner's to finalise: finalising it here
    // as well would free it twice.
    sqlite3_stmt* stmt = std::exchange(m_stmt, nullptr);
    const int code = m_owns ? sqlite3_finalize(stmt) : sqlite3_reset(stmt);
    throw CSqliteException(code, sqlite3_errmsg(m_db));
  }
}

int CSqliteQuery::NumFields() const {
  CheckStatement();
  return m_columns;
}

int CSqliteQuery::FieldIndex(const char* name) const {
  CheckStatement();
  if (name != nullptr) {
    for (int i = 0; i < m_columns; ++i) {
      const char* n = sqlite3_column_name(m_stmt, i);
      if (n != nullptr && std::strcmp(n, name) == 0) return i;
    }
  }
  throw CSqliteException(CPPSQLITE_ERROR, "Invalid field name requested");
}

const char* CSqliteQuery::FieldName(int column) const {
  CheckColumn(column);
  return sqlite3_column_name(m_stmt, column);
}

int CSqliteQuery::FieldDataType(int column) const {
  CheckColumn(column);
  return sqlite3_column_type(m_stmt, column);
}

// Each accessor looks its column up once: asking for the type and then for
// the value would find the column, and take the connection's mutex, twice.
sqlite3_value* CSqliteQuery::ValueAt(int column) const {
  CheckColumn(column);
  return sqlite3_column_value(m_stmt, column);
}

int CSqliteQuery::IntAt(int column, int nullValue) const {
  sqlite3_value* v = ValueAt(column);
  return sqlite3_value_type(v) == SQLITE_NULL ? nullValue : sqlite3_value_int(v);
}

float CSqliteQuery::FloatAt(int column, float nullValue) const {
  sqlite3_value* v = ValueAt(column);
  return sqlite3_value_type(v) == SQLITE_NULL ? nullValue : static_cast<float>(sqlite3_value_double(v));
}

double CSqliteQuery::DoubleAt(int column, double nullValue) const {
  sqlite3_value* v = ValueAt(column);
  return sqlite3_value_type(v) == SQLITE_NULL ? nullValue : sqlite3_value_double(v);
}

const char* CSqliteQuery::TextAt(int column, const char* nullValue) const {
  sqlite3_value* v = ValueAt(column);
  if (sqlite3_value_type(v) == SQLITE_NULL) return nullValue;
  return reinterpret_cast<const char*>(sqlite3_value_text(v));
}

void CSqliteQuery::RequireColumns(int count) const {
  CheckStatement();
  if (count > m_columns) throw CSqliteException(CPPSQLITE_ERROR, "Invalid field index requested");
}

int CSqliteQuery::RowInt(int column) const { return sqlite3_column_int(m_stmt, column); }

float CSqliteQuery::RowFloat(int column) const { return static_cast<float>(sqlite3_column_double(m_stmt, column)); }
double CSqliteQuery::RowDouble(int column) const { return sqlite3_column_double(m_stmt, column); }

const char* CSqliteQuery::RowText(int column) const {
  const unsigned char* text = sqlite3_column_text(m_stmt, column);
  return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

void CSqliteQuery::Release() {
  if (m_stmt == nullptr) return;
  sqlite3_stmt* stmt = std::exchange(m_stmt, nullptr);
  if (m_owns) {
    const int rc = sqlite3_finalize(stmt);
    if (rc != SQLITE_OK) throw CSqliteException(rc, sqlite3_errmsg(m_db));
  }
}
