#include "feed/CFutIVIndexDB.h"

#include "feed/MessageFormat.h"

namespace {

// Templates: create, insert, update, rows of a symbol, all rows.
const IVTableNames kNames = {
    "future_ivindex", "CFutIVIndexDB", "CFutIVIndexesDB", "CIVIndex", nullptr, T_FUTURE_IVINDEX,
    147, 154, 155, 158, 151};

}  // namespace

CFutIVIndexDB::CFutIVIndexDB(const std::string& databasePath)
    : CIVTableDB<IVIndexRecord>(databasePath, kNames) {}

void CFutIVIndexDB::_SendEvent(const CEventClientPtr& client, const Records& records) {
  _PostEvent(client, records, &CTableEventMaker::FutIVIndexes);
}
