#include "feed/CIVSurfaceDB.h"

#include "feed/MessageFormat.h"

namespace {

// Templates: create, insert, update, rows of a symbol, all rows.
const IVTableNames kNames = {
    "ivsurface", "CIVSurfaceDB", "CIVSurfaceDB", "CIVSurface", "CIVSurfaceDB::_ParseIvsMessage", T_IVSURFACE,
    120, 124, 131, 121, 127};

}  // namespace

CIVSurfaceDB::CIVSurfaceDB(const std::string& databasePath)
    : CIVTableDB<IVSurfaceRecord>(databasePath, kNames) {}

void CIVSurfaceDB::_SendEvent(const CEventClientPtr& client, const Records& records) {
  _PostEvent(client, records, &CTableEventMaker::IVSurfaces);
}
