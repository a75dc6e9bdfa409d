// The one exception of the SQLite access layer: a result code and a message
// formatted as "<code name>[<code>]: <detail>".
#pragma once

#include <exception>

// Errors found by the access layer itself rather than by SQLite.
constexpr int CPPSQLITE_ERROR = 1000;

class CSqliteException : public std::exception {
 public:
  // detail may be null (an empty detail). When freeDetail is set the detail
  // was allocated by SQLite and is released here after formatting.
  CSqliteException(int errorCode, const char* detail, bool freeDetail = false);
  CSqliteException(const CSqliteException& other);
  CSqliteException& operator=(const CSqliteException& other);
  virtual ~CSqliteException();

  int errorCode() const { return m_code; }
  const char* errorMessage() const { return m_message != nullptr ? m_message : ""; }
  const char* what() const noexcept override { return errorMessage(); }

  // "SQLITE_OK" ... "SQLITE_DONE", "CPPSQLITE_ERROR" or "UNKNOWN_ERROR".
  static const char* errorCodeAsString(int errorCode);

 private:
  int m_code;
  char* m_message;
};
