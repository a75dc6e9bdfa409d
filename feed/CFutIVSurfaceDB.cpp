#include "feed/CFutIVSurfaceDB.h"

#include "feed/MessageFormat.h"

namespace {

// Templates: create, insert, update, rows of a symbol, all rows.
const IVTableNames kNames = {
    "future_ivsurface", "CFutIVSurfaceDB", "CFutIVSurfaceDB", "CIVSurface", "CFutIVSurfaceDB::_ParseIvsMessage",
    T_FUTURE_IVSURFACE,
    157, 149, 156, 159, 152};

}  // namespace

CFutIVSurfaceDB::CFutIVSurfaceDB(const std::string& databasePath)
    : CIVTableDB<IVSurfaceRecord>(databasePath, kNames) {}

void CFutIVSurfaceDB::_SendEvent(const CEventClientPtr& client, const Records& records) {
  _PostEvent(client, records, &CTableEventMaker::FutIVSurfaces);
}
