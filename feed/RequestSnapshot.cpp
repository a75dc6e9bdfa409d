#include "feed/RequestSnapshot.h"

#include <vector>

#include "Idl/OrvPayload.h"
#include "feed/MessageFormat.h"
#include "feed/ReplyLimit.h"
#include "platform/log/Log.h"

SnapshotRequest SnapshotRequestFor(SnapshotKind kind, const CSymbolKey& key, bool direct) {
  // Option members send 2 for one option; the future members the other way
  // round: 1 for one future, 2 for a root.
  const CORBA::Short option = key.Flag() ? 2 : 1;
  const CORBA::Short future = key.Flag() ? 1 : 2;
  switch (kind) {
    case SnapshotKind::kEquityBase: return {T_EQUITY_BASE, 1};
    case SnapshotKind::kEquityQuote: return {direct ? T_DIRECT_EQUITY_QUOTE : T_EQUITY_QUOTE, 1};
    case SnapshotKind::kOptionBase: return {T_OPTION_BASE, option};
    case SnapshotKind::kOptionQuote: return {direct ? T_DIRECT_OPTION_QUOTE : T_OPTION_QUOTE, option};
    case SnapshotKind::kOptionAD: return {T_OPTION_AD, option};
    case SnapshotKind::kNstdOptionBase: return {T_NSTDOPTION_BASE, option};
    case SnapshotKind::kNstdOptionQuote: return {T_NSTDOPTION_QUOTE, option};
    case SnapshotKind::kNstdOptionAD: return {T_NSTDOPTION_AD, option};
    case SnapshotKind::kFutureBase: return {T_FUTURE_BASE, future};
    case SnapshotKind::kFutureQuote: return {T_FUTURE_QUOTE, future};
    case SnapshotKind::kFutureOptionBase: return {T_FUTURE_OPTION_BASE, option};
    case SnapshotKind::kFutureOptionQuote: return {T_FUTURE_OPTION, option};
  }
  return {};
}

CORBA::Any* RequestSnapshot(uint8_t dataType, CORBA::Short symbolType, const CSymbolKey& key,
                            Orv::ZmDataManager_ptr service) {
  if (CORBA::is_nil(service)) {
    ORV_LOG(orvlog::kError, "ERROR: snapshot of type " << int(dataType) << " requested without a service");
    return nullptr;
  }
  const FieldIdList list = FieldListFor(dataType);
  const CORBA::Any fields = orvidl::FieldListAny(std::vector<std::uint8_t>(list.ids, list.ids + list.count));
  try {
    if (key.Empty()) return service->GetMarketDataAll(dataType, fields);
    const std::string symbol = key.Narrow();
    return service->GetMarketData(orvidl::SafeStr(symbol.c_str()), symbolType, dataType, fields);
  } catch (const CORBA::SystemException& e) {
    NoteRefusedReply(e, "snapshot");
    throw;
  }
}

CORBA::Any* RequestSnapshot(SnapshotKind kind, const CSymbolKey& key, Orv::ZmDataManager_ptr service, bool direct) {
  const SnapshotRequest r = SnapshotRequestFor(kind, key, direct);
  return RequestSnapshot(r.dataType, r.symbolType, key, service);
}
