// The scoped transaction of one write: made right after "begin transaction;"
// has run; rolls back when it ends uncommitted, so an exception anywhere in a
// batch leaves the table as it was.
#pragma once

class CSqliteDB;

class CSqliteTransaction {
 public:
  explicit CSqliteTransaction(CSqliteDB& db) : m_db(db) {}
  CSqliteTransaction(const CSqliteTransaction&) = delete;
  CSqliteTransaction& operator=(const CSqliteTransaction&) = delete;
  ~CSqliteTransaction();

  // Runs "commit transaction;" now, so that a failing commit reaches the
  // caller as an exception instead of being lost in a destructor.
  void Commit();
  bool Committed() const { return m_commit; }

 private:
  CSqliteDB& m_db;
  bool m_commit = false;
};
