#include "feed/COptionsDB.h"

#include "feed/CDatabaseLock.h"
#include "feed/CSqliteDB.h"
#include "feed/CSqliteException.h"
#include "feed/OptionTableImpl.h"
#include "feed/TableErrorLog.h"

template class COptionTable<COptionsDBTraits>;

OptionBlockStep COptionsDBTraits::StepFor(uint8_t type) {
  switch (type) {
    case T_OPTION_BASE: return {OptionBlockStep::kBase, false};
    case T_OPTION_QUOTE: return {OptionBlockStep::kQuote, false};
    case T_OPTION_AD: return {OptionBlockStep::kAnalytics, true};
    // Quote records carry no underlying to re-read by, so the pull path has
    // no events for the direct table: its clients read rows through the
    // getters and the late-subscriber send.
    case T_DIRECT_OPTION_QUOTE: return {OptionBlockStep::kQuote, false};
    default: return {};
  }
}

std::vector<OptionSnapshot> COptionsDBTraits::Snapshots(bool direct) {
  std::vector<OptionSnapshot> out = {{SnapshotKind::kOptionBase, nullptr},
                                     {SnapshotKind::kOptionQuote, "Option quote request completed"}};
  if (!direct) out.push_back({SnapshotKind::kOptionAD, nullptr});
  return out;
}

CTableEventMaker::Task COptionsDBTraits::Event(const CEventClientPtr& client, std::vector<Record> records, bool direct) {
  return TableEventMaker().Options(client, std::move(records), direct);
}

bool COptionsDBTraits::Less(const OptionRecord& a, const OptionRecord& b) { return LessOptionRecord(a, b); }

int COptionsDBTraits::ProtocolVersion() { return CSettings::ProtocolVersion == 2 ? 2 : 0; }

COptionsDB::COptionsDB(const std::string& databasePath, bool direct)
    : COptionTable(databasePath, direct ? "options_direct" : "options", direct ? "symbol_indx_direct" : "symbol_indx",
                   direct) {}

COptionsDB::~COptionsDB() = default;

bool COptionsDB::Initialize() {
  if (!COptionTable::Initialize()) return false;
  // Without it the ATM pairing of calls with puts and its nearest-strike
  // look-ups grow with the square of a chain, all under the database lock.
  // Both tables get one, each with a name of its own in the shared file.
  const std::string name = IsDirect() ? "expstrike_indx_direct" : "expstrike_indx";
  const std::string index =
      "CREATE INDEX IF NOT EXISTS " + name + " ON " + TableName() + " (stock_symbol, expiration_date, strike)";
  try {
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(DatabasePath().c_str());
    db.RunCommand(index.c_str());
  } catch (const CSqliteException& e) {
    tablelog::SqliteError(COptionsDBTraits::kClass, "Initialize", e, __FILE__, __LINE__);
    return false;
  } catch (...) {
    tablelog::UnexpectedError(COptionsDBTraits::kClass, "Initialize", __FILE__, __LINE__, ".");
    return false;
  }
  return true;
}
