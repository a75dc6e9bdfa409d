// The synchronous snapshot requests that the table objects send a service:
// one member per kind of data asked for, each with its data type, the symbol
// type sent with a symbol, and the field-id list of that type.
#pragma once

#include <cstdint>

#include "feed/CSymbolKey.h"
#include "zmdataservice410.hh"

enum class SnapshotKind {
  kEquityBase,
  kEquityQuote,
  kOptionBase,
  kOptionQuote,
  kOptionAD,
  kNstdOptionBase,
  kNstdOptionQuote,
  kNstdOptionAD,
  kFutureBase,
  kFutureQuote,
  kFutureOptionBase,
  kFutureOptionQuote,
};

struct SnapshotRequest {
  uint8_t dataType = 0;
  CORBA::Short symbolType = 1;
};

// What a member sends for a key; direct picks the direct quote types of the
// direct stock and option tables.
SnapshotRequest SnapshotRequestFor(SnapshotKind kind, const CSymbolKey& key, bool direct = false);

// Sends GetMarketData (symbol, symbol type, data type, the type's field
// list), or GetMarketDataAll when the key's symbol is empty. Returns the
// reply, which the caller owns and deletes, or null when the service gave
// none or the reference is nil. CORBA exceptions pass to the caller.
CORBA::Any* RequestSnapshot(SnapshotKind kind, const CSymbolKey& key, Orv::ZmDataManager_ptr service,
                            bool direct = false);

// The same with the data type and symbol type given, for the tables that
// build their request inline.
CORBA::Any* RequestSnapshot(uint8_t dataType, CORBA::Short symbolType, const CSymbolKey& key,
                            Orv::ZmDataManager_ptr service);
