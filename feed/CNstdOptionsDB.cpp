#include "feed/CNstdOptionsDB.h"

#include "feed/OptionTableImpl.h"

template class COptionTable<CNstdOptionsDBTraits>;

OptionBlockStep CNstdOptionsDBTraits::StepFor(uint8_t type) {
  switch (type) {
    case T_NSTDOPTION_BASE: return {OptionBlockStep::kBase, false};
    case T_NSTDOPTION_QUOTE: return {OptionBlockStep::kQuote, false};
    case T_NSTDOPTION_AD: return {OptionBlockStep::kAnalytics, true};
    default: return {};
  }
}

std::vector<OptionSnapshot> CNstdOptionsDBTraits::Snapshots(bool) {
  return {{SnapshotKind::kNstdOptionBase, nullptr},
          {SnapshotKind::kNstdOptionQuote, "NstdOption quote request completed"},
          {SnapshotKind::kNstdOptionAD, nullptr}};
}

CTableEventMaker::Task CNstdOptionsDBTraits::Event(const CEventClientPtr& client, std::vector<Record> records, bool direct) {
  return TableEventMaker().NstdOptions(client, std::move(records), direct);
}

bool CNstdOptionsDBTraits::Less(const NstdOptionRecord& a, const NstdOptionRecord& b) {
  return LessNstdOptionRecord(a, b);
}

int CNstdOptionsDBTraits::ProtocolVersion() { return CSettings::ProtocolVersion == 2 ? 2 : 0; }

// The index name differs from the equity option table's: both tables live
// in one file, where an index name can be used once.
CNstdOptionsDB::CNstdOptionsDB(const std::string& databasePath, bool direct)
    : COptionTable(databasePath, "nstdoptions", "nstd_symbol_indx", direct) {}

CNstdOptionsDB::~CNstdOptionsDB() = default;
