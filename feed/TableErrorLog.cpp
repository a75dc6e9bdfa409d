#include "feed/TableErrorLog.h"

#include <iomanip>
#include <sstream>

#include "platform/com/comdef.h"
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

void SendEventError(const char* className, const _com_error& e) {
  // Kept in a local: the description's characters live as long as it does.
  const _bstr_t descriptionText = e.Description();
  const char* description = static_cast<const char*>(descriptionText);
  std::ostringstream code;
  code << std::hex << std::setw(8) << std::setfill('0') << static_cast<unsigned long>(static_cast<ULONG>(e.Error()));
  ORV_LOG(orvlog::kError, className << "::_SendEvent() ERROR: Code = " << code.str() << "\n\tCode meaning = "
                                    << e.ErrorMessage() << "\n\tDescription = "
                                    << (description != nullptr ? description : ""));
}

}  // namespace tablelog
