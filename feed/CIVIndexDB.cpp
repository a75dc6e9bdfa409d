#include "feed/CIVIndexDB.h"

#include "feed/MessageFormat.h"

namespace {

// Templates: create, insert, update, rows of a symbol, all rows.
const IVTableNames kNames = {
    "ivindex", "CIVIndexDB", "CIVIndexesDB", "CIVIndex", nullptr, T_IVINDEX,
    116, 125, 130, 117, 126};

}  // namespace

CIVIndexDB::CIVIndexDB(const std::string& databasePath)
    : CIVTableDB<IVIndexRecord>(databasePath, kNames) {}

void CIVIndexDB::_SendEvent(const CEventClientPtr& client, const Records& records) {
  _PostEvent(client, records, &CTableEventMaker::IVIndexes);
}
