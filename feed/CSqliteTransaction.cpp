#include "feed/CSqliteTransaction.h"

#include "feed/CSqliteDB.h"
#include "feed/CSqliteException.h"
#include "platform/log/Log.h"

void CSqliteTransaction::Commit() {
  if (m_commit) return;
  m_db.RunCommand("commit transaction;");
  m_commit = true;
}

CSqliteTransaction::~CSqliteTransaction() {
  // A commit that failed on an I/O error has had its transaction rolled back
  // by SQLite already; a rollback now would only add a false error line.
  if (m_commit || !m_db.InTransaction()) return;
  try {
    m_db.RunCommand("rollback transaction;");
  } catch (const CSqliteException& e) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    ORV_LOG(orvlog::kError, "SQLite error in CSqliteTransaction::~CSqliteTransaction(): " << e.errorMessage()
                                                                                           << "Code " << e.errorCode());
  }
}
