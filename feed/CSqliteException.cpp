#include "feed/CSqliteException.h"

#include <sqlite3.h>

namespace {

const char* const kNames[] = {
    "SQLITE_OK",       "SQLITE_ERROR",    "SQLITE_INTERNAL", "SQLITE_PERM",     "SQLITE_ABORT",
    "SQLITE_BUSY",     "SQLITE_LOCKED",   "SQLITE_NOMEM",    "SQLITE_READONLY", "SQLITE_INTERRUPT",
    "SQLITE_IOERR",    "SQLITE_CORRUPT",  "SQLITE_NOTFOUND", "SQLITE_FULL",     "SQLITE_CANTOPEN",
    "SQLITE_PROTOCOL", "SQLITE_EMPTY",    "SQLITE_SCHEMA",   "SQLITE_TOOBIG",   "SQLITE_CONSTRAINT",
    "SQLITE_MISMATCH", "SQLITE_MISUSE",   "SQLITE_NOLFS",    "SQLITE_AUTH",     "SQLITE_FORMAT",
    "SQLITE_RANGE",
};

}  // namespace

const char* CSqliteException::errorCodeAsString(int errorCode) {
  if (errorCode >= 0 && errorCode < static_cast<int>(sizeof kNames / sizeof kNames[0])) return kNames[errorCode];
  switch (errorCode) {
    case 100: return "SQLITE_ROW";
    case 101: return "SQLITE_DONE";
    case CPPSQLITE_ERROR: return "CPPSQLITE_ERROR";
    default: return "UNKNOWN_ERROR";
  }
}

CSqliteException::CSqliteException(int errorCode, const char* detail, bool freeDetail)
    : m_code(errorCode),
      m_message(sqlite3_mprintf("%s[%d]: %s", errorCodeAsString(errorCode), errorCode,
                                detail != nullptr ? detail : "")) {
  if (freeDetail && detail != nullptr) sqlite3_free(const_cast<char*>(detail));
}

CSqliteException::CSqliteException(const CSqliteException& other)
    : std::exception(other), m_code(other.m_code), m_message(sqlite3_mprintf("%s", other.errorMessage())) {}

CSqliteException& CSqliteException::operator=(const CSqliteException& other) {
  if (this != &other) {
    char* copy = sqlite3_mprintf("%s", other.errorMessage());
    sqlite3_free(m_message);
    m_message = copy;
    m_code = other.m_code;
  }
  return *this;
}

CSqliteException::~CSqliteException() { sqlite3_free(m_message); }
