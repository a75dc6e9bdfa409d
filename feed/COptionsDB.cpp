#include "feed/COptionsDB.h"

#include "feed/OptionTableImpl.h"
#include "server/COptions.h"
#include "server/CSendOptionMsgWorker.h"

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

const IID& COptionsDBTraits::Iid() { return IID_IOptionsEnt; }

bool COptionsDBTraits::Less(const OptionRecord& a, const OptionRecord& b) { return LessOptionRecord(a, b); }

int COptionsDBTraits::ProtocolVersion() { return CSettings::ProtocolVersion == 2 ? 2 : 0; }

COptionsDB::COptionsDB(const std::string& databasePath, bool direct)
    : COptionTable(databasePath, direct ? "options_direct" : "options", direct ? "symbol_indx_direct" : "symbol_indx",
                   direct) {}

COptionsDB::~COptionsDB() = default;
