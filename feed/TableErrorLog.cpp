#include "feed/TableErrorLog.h"

#include "platform/log/Log.h"

namespace tablelog {

void SqliteError(const char* className, const char* operation, const CSqliteException& e, const char* file, int line) {
  ORV_LOG(orvlog::kDebug, "Exception: " << file << ":" << line);
  ORV_LOG(orvlog::kError,
          "SQLite error in " << className << "::" << operation << "(): " << e.errorMessage() << "Code " << e.errorCode());
}

void UnexpectedError(const char* className, const char* operation, const char* file, int line, const char* tail) {
  ORV_LOG(orvlog::kDebug, "Exception: " << file << ":" << line);
  ORV_LOG(orvlog::kError, "Unexpected error in " << className << "::" << operation << "()" << tail);
}

}  // namespace tablelog
