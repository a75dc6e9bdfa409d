#include "feed/CFutureOptionsDB.h"

#include "feed/OptionTableImpl.h"

template class COptionTable<CFutureOptionsDBTraits>;

OptionBlockStep CFutureOptionsDBTraits::StepFor(uint8_t type) {
  switch (type) {
    case T_FUTURE_OPTION_BASE: return {OptionBlockStep::kBase, false};
    case T_FUTURE_OPTION: return {OptionBlockStep::kQuote, true};
    default: return {};
  }
}

std::vector<OptionSnapshot> CFutureOptionsDBTraits::Snapshots(bool) {
  return {{SnapshotKind::kFutureOptionBase, nullptr},
          {SnapshotKind::kFutureOptionQuote, "Future option quote request completed"}};
}

CTableEventMaker::Task CFutureOptionsDBTraits::Event(const CEventClientPtr& client, std::vector<Record> records, bool direct) {
  return TableEventMaker().FutOptions(client, std::move(records), direct);
}

bool CFutureOptionsDBTraits::Less(const OptionRecord& a, const OptionRecord& b) { return LessOptionRecord(a, b); }

CFutureOptionsDB::CFutureOptionsDB(const std::string& databasePath, bool direct)
    : COptionTable(databasePath, "futureoptions", "fut_symbol_indx", direct) {}

CFutureOptionsDB::~CFutureOptionsDB() = default;
