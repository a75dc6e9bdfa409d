// The rows of one step sequence of a prepared statement, read by column
// index. A query made from a statement only borrows the statement; a query
// that owns its statement (ScalarInt) finalises it.
#pragma once

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_value;

class CSqliteQuery {
 public:
  CSqliteQuery() = default;
  CSqliteQuery(sqlite3* db, sqlite3_stmt* stmt, bool atEnd, bool ownsStatement);
  CSqliteQuery(CSqliteQuery&& other) noexcept;
  CSqliteQuery& operator=(CSqliteQuery&& other) noexcept;
  CSqliteQuery(const CSqliteQuery&) = delete;
  CSqliteQuery& operator=(const CSqliteQuery&) = delete;
  virtual ~CSqliteQuery();

  bool AtEnd() const;
  void Next();

  int NumFields() const;
  int FieldIndex(const char* name) const;
  const char* FieldName(int column) const;
  int FieldDataType(int column) const;

  int IntAt(int column, int nullValue = 0) const;
  float FloatAt(int column, float nullValue = 0.0f) const;
  double DoubleAt(int column, double nullValue = 0.0) const;
  // Valid until the next step.
  const char* TextAt(int column, const char* nullValue = "") const;

  // For readers of many rows of a known width: one check that the row has
  // the columns, then reads that look nothing up again. A NULL reads as 0,
  // or as "" for text, as the defaults of the accessors above.
  void RequireColumns(int count) const;
  int RowInt(int column) const;
  float RowFloat(int column) const;
  // Dates and times: a float would move them in steps of minutes.
  double RowDouble(int column) const;
  const char* RowText(int column) const;

  void Release();

 private:
  void CheckStatement() const;
  void CheckColumn(int column) const;
  sqlite3_value* ValueAt(int column) const;

  sqlite3* m_db = nullptr;
  sqlite3_stmt* m_stmt = nullptr;
  bool m_atEnd = true;
  int m_columns = 0;
  bool m_owns = false;
};
