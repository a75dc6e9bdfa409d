// The session's subscriptions: the per-client bookkeeping in the tables and
// the calls that subscribe the services when the first client takes a key
// and unsubscribe them when the last one leaves; and the field registration.
#include <algorithm>
#include <chrono>
#include <map>

#include "OrvPayload.h"
#include "feed/CDataHolder.h"
#include "feed/CFutureOptionsDB.h"
#include "feed/CFuturesDB.h"
#include "feed/COptionsDB.h"
#include "feed/CSettings.h"
#include "feed/CStocksDB.h"
#include "feed/MessageFormat.h"
#include "feed/RequestSnapshot.h"
#include "feed/ServerStatus.h"
#include "platform/log/Log.h"

namespace {

// The bound of a symbol group at the services.
constexpr size_t kGroupLimit = orvidl::kMaxGroupSymbols;

// The server symbol type beside one symbol.
CORBA::Short SymbolTypeOf(int kind, int symbolType) {
  if (kind == enFutureData) return symbolType == enOption ? 1 : 2;
  return (symbolType == enEquity || symbolType == enFuture) ? 1 : 2;
}

// The server symbol type beside a group.
CORBA::Short GroupSymbolTypeOf(int kind, int symbolType) {
  if (kind == enFutureData) return symbolType == enOption ? 1 : 2;
  return symbolType == enEquity ? 1 : 2;
}

// What a held key's subscription is taken for when nothing else is known.
int DefaultGroupSymbolType(int kind, BYTE flag) {
  return flag != 0 ? enOption : (kind == enFutureData ? enFuture : enEquity);
}

// The symbol type that makes a group call send the server symbol type (and
// fetch the snapshot) that a single subscription with symbolType sent.
int GroupTypeOfSingle(int kind, int symbolType) {
  if (kind == enFutureData) return symbolType;
  return SymbolTypeOf(kind, symbolType) == 1 ? enEquity : symbolType;
}

// The types subscribed for a kind; empty for a kind that the services do
// not serve this way.
std::vector<int> SubscribeTypes(int kind) {
  switch (kind) {
    case enStockData: return {T_EQUITY_BASE, T_EQUITY_QUOTE};
    case enOptionData: return {T_OPTION_BASE, T_OPTION_QUOTE, T_OPTION_AD};
    case enIVIndexData: return {T_IVINDEX};
    case enIVSurfaceData: return {T_IVSURFACE};
    case enStockData_Direct: return {T_DIRECT_EQUITY_QUOTE};
    case enOptionData_Direct: return {T_DIRECT_OPTION_QUOTE};
    case enFutureData: return {T_FUTURE_QUOTE};
    case enFutureOptionData: return {T_FUTURE_OPTION};
    case enFutIVIndexData: return {T_FUTURE_IVINDEX};
    case enFutIVSurfaceData: return {T_FUTURE_IVSURFACE};
    case enNstdOptionData: return {T_NSTDOPTION_BASE, T_NSTDOPTION_QUOTE, T_NSTDOPTION_AD};
    default: return {};
  }
}

// The types unsubscribed for a kind, also those a group subscription sends.
std::vector<int> UnSubscribeTypes(int kind) {
  switch (kind) {
    case enStockData: return {T_EQUITY_BASE, T_EQUITY_QUOTE};
    case enOptionData: return {T_OPTION_BASE, T_OPTION_QUOTE, T_OPTION_AD};
    case enIVIndexData: return {T_IVINDEX};
    case enIVSurfaceData: return {T_IVSURFACE};
    case enStockData_Direct: return {T_EQUITY_BASE, T_DIRECT_EQUITY_QUOTE};
    case enOptionData_Direct: return {T_OPTION_BASE, T_DIRECT_OPTION_QUOTE, T_OPTION_AD};
    case enFutureData: return {T_FUTURE_BASE, T_FUTURE_QUOTE};
    case enFutureOptionData: return {T_FUTURE_OPTION_BASE, T_FUTURE_OPTION};
    case enFutIVIndexData: return {T_FUTURE_IVINDEX};
    case enFutIVSurfaceData: return {T_FUTURE_IVSURFACE};
    case enNstdOptionData: return {T_NSTDOPTION_BASE, T_NSTDOPTION_QUOTE, T_NSTDOPTION_AD};
    default: return {};
  }
}

std::vector<int> RegisterTypes(int kind) {
  switch (kind) {
    case enStockData_Direct: return {T_EQUITY_BASE, T_DIRECT_EQUITY_QUOTE};
    case enOptionData_Direct: return {T_OPTION_BASE, T_DIRECT_OPTION_QUOTE, T_OPTION_AD};
    default: return UnSubscribeTypes(kind);
  }
}

// The field list sent for a type: the direct quote types and the futures
// IV types send the lists of the types they mirror.
uint8_t FieldListType(int type) {
  switch (type) {
    case T_DIRECT_EQUITY_QUOTE: return T_EQUITY_QUOTE;
    case T_DIRECT_OPTION_QUOTE: return T_OPTION_QUOTE;
    case T_FUTURE_IVINDEX: return T_IVINDEX;
    case T_FUTURE_IVSURFACE: return T_IVSURFACE;
    default: return static_cast<uint8_t>(type);
  }
}

using orvcom::Narrow;

// The base data of the kinds whose subscribed types carry none, fetched
// once and stored in the kind's table.
void StoreBaseSnapshot(CLiteDB* table, Orv::ZmDataManager_ptr server, const std::u16string& symbol, int kind,
                       int symbolType) {
  const CORBA::Short serverType = SymbolTypeOf(kind, symbolType);
  if (kind == enStockData_Direct) {
    CORBA::Any_var reply = RequestSnapshot(SnapshotKind::kEquityBase, CSymbolKey(symbol, 0), server);
    if (CStocksDB* stocks = dynamic_cast<CStocksDB*>(table)) stocks->ApplyBaseReply(reply.operator->());
  } else if (kind == enOptionData_Direct) {
    CORBA::Any_var reply = RequestSnapshot(SnapshotKind::kOptionBase, CSymbolKey(symbol, 0), server);
    if (COptionsDB* options = dynamic_cast<COptionsDB*>(table)) options->ApplyBaseReply(reply.operator->());
  } else if (kind == enFutureData) {
    CORBA::Any_var reply =
        RequestSnapshot(SnapshotKind::kFutureBase, CSymbolKey(symbol, symbolType == enOption), server);
    if (CFuturesDB* futures = dynamic_cast<CFuturesDB*>(table)) futures->ApplyBaseReply(reply.operator->());
  } else if (kind == enFutureOptionData) {
    CORBA::Any_var reply =
        RequestSnapshot(SnapshotKind::kFutureOptionBase, CSymbolKey(symbol, serverType == 2), server);
    if (CFutureOptionsDB* options = dynamic_cast<CFutureOptionsDB*>(table)) {
      options->ApplyBaseReply(reply.operator->());
    }
  }
}

// One byte to one code unit, as the symbols of the automation side are.
using orvcom::Widen;

// Runs each step, keeps the first failure and goes on; raises it at the
// end. Unsubscribing must not stop half-way: the rows and the remaining
// types would stay behind for a key that no client holds.
class FirstError {
 public:
  template <class F>
  void Run(F&& f) {
    try {
      f();
    } catch (const CORBA::SystemException& e) {
      // A service found gone answers none of the steps after this one:
      // each would only wait out the call time-out again.
      if (CDataHolder::IsServiceLost(e)) throw;
      if (!m_first) m_first = std::current_exception();
    } catch (...) {
      if (!m_first) m_first = std::current_exception();
    }
  }
  void Raise() {
    if (m_first) std::rethrow_exception(m_first);
  }

 private:
  std::exception_ptr m_first;
};

}  // namespace

void CDataHolder::LogServerError(int expected, int status, const std::string& context, bool writeToLog) {
  if (status == expected) return;
  const std::string message = ServerStatusMessage(status, context);
  if (writeToLog) ORV_LOG(orvlog::kError, message);
  RaiseAutomationError(message);
}

template <class F>
bool CDataHolder::_RemoteCall(bool futures, F&& call) {
  if (_Side(futures).lost) return false;
  try {
    call();
    return true;
  } catch (const CORBA::SystemException& e) {
    if (!IsServiceLost(e)) throw;
    const orvidl::CorbaExceptionInfo info = orvidl::DescribeException(e);
    ORV_LOG(orvlog::kError, "ERROR: Caught a CORBA::SystemException : " << info.name << " CODE " << info.repoId
                                                                         << "; left to the rebuild of the session");
    NoteServiceLost(futures);
    return false;
  }
}

void CDataHolder::Subscribe(const CEventClientPtr& client, const std::u16string& symbol, int kind, int symbolType) {
  orvwin::CritSecLock lock(m_csSubscriptions);
  CLiteDB* table = GetStorage(kind);
  const CSymbolKey key(symbol, symbolType == enOption);
  if (table->IsSubscribed(key)) {
    table->Subscribe(client, key);
    return;
  }
  // Recorded before the service is asked: the service sends a key's first
  // data at once, and a pull thread that stored it before the client was
  // recorded would send it to nobody. A refusal takes the record back.
  table->Subscribe(client, key);
  _NoteKeySubscribed(kind, key, GroupTypeOfSingle(kind, symbolType));
  try {
    // While the service is lost the record is enough: the rebuild
    // subscribes every key that a client holds.
    _RemoteCall(IsFuturesKind(kind), [&] { _Subscribe(symbol, kind, symbolType); });
  } catch (...) {
    table->UnSubscribe(client, key);
    if (table->HasNoSubscribers(key)) _ForgetKey(kind, key);
    throw;
  }
}

void CDataHolder::UnSubscribe(const CEventClientPtr& client, const std::u16string& symbol, int kind,
                              int symbolType) {
  orvwin::CritSecLock lock(m_csSubscriptions);
  CLiteDB* table = GetStorage(kind);
  const CSymbolKey key(symbol, symbolType == enOption);
  table->UnSubscribe(client, key);
  if (!table->HasNoSubscribers(key)) return;
  _ForgetKey(kind, key);
  FirstError errors;
  // A lost service has forgotten the key already; the rebuild won't ask
  // for it again.
  errors.Run([&] { _RemoteCall(IsFuturesKind(kind), [&] { _UnSubscribe(symbol, kind, symbolType); }); });
  table->DeleteSymbol(key.Symbol(), key.Flag());
  errors.Raise();
}

void CDataHolder::SubscribeAll(const CEventClientPtr& client, int kind) {
  orvwin::CritSecLock lock(m_csSubscriptions);
  std::vector<std::u16string> symbols;
  if (IsFuturesKind(kind)) {
    std::vector<FutureRecord> futures;
    GetFutures(std::u16string(), futures);
    for (const FutureRecord& r : futures) {
      const OLECHAR* s = static_cast<const OLECHAR*>(r.Symbol);
      symbols.emplace_back(s != nullptr ? s : u"");
    }
  } else {
    std::vector<StockRecord> stocks;
    GetStocks(std::u16string(), stocks, false);
    for (const StockRecord& r : stocks) {
      const OLECHAR* s = static_cast<const OLECHAR*>(r.Symbol);
      symbols.emplace_back(s != nullptr ? s : u"");
    }
  }
  if (symbols.empty()) return;
  CLiteDB* table = GetStorage(kind);
  table->RemoveClient(client);
  for (const std::u16string& symbol : symbols) table->Subscribe(client, CSymbolKey(symbol, 0));
  _RemoteCall(IsFuturesKind(kind), [&] { _Subscribe(std::u16string(), kind, IsFuturesKind(kind) ? enFuture : enEquity); });
}

void CDataHolder::UnSubscribeAll(const CEventClientPtr& client, int kind) {
  orvwin::CritSecLock lock(m_csSubscriptions);
  CLiteDB* table = FindStorage(kind);
  if (table == nullptr) return;
  std::vector<CSymbolKey> keys;
  table->GetClientSubscriptions(client, keys);
  table->RemoveClient(client);
  // Underlyings first, then instruments; each under the symbol type that
  // gives the server symbol type the keys were subscribed with.
  std::map<std::pair<BYTE, int>, std::vector<std::u16string>> lists;
  for (const CSymbolKey& key : keys) {
    table->UnSubscribe(client, key);
    if (!table->HasNoSubscribers(key)) continue;
    lists[std::make_pair(key.Flag(), _GroupSymbolType(kind, key))].push_back(key.Symbol());
    _ForgetKey(kind, key);
  }
  FirstError errors;
  for (const auto& list : lists) {
    table->DeleteSymbols(list.second, list.first.first);
    errors.Run([&] {
      _RemoteCall(IsFuturesKind(kind), [&] { _UnSubscribeList(list.second, kind, list.first.second); });
    });
  }
  errors.Raise();
}

void CDataHolder::ReleaseClient(const CEventClientPtr& client, const std::vector<int>& kinds) {
  struct Left {
    int kind;
    BYTE flag;
    int symbolType;  // the one that gives the server symbol type the keys were subscribed with
    std::vector<std::u16string> symbols;
  };
  std::vector<Left> left;
  {
    orvwin::CritSecLock lock(m_csSubscriptions);
    for (int kind : kinds) {
      CLiteDB* table = FindStorage(kind);
      if (table == nullptr) continue;
      std::vector<CSymbolKey> keys;
      table->GetClientSubscriptions(client, keys);
      if (keys.empty()) continue;
      table->RemoveClient(client);
      std::map<std::pair<BYTE, int>, std::vector<std::u16string>> lists;
      for (const CSymbolKey& key : keys) {
        if (!table->HasNoSubscribers(key)) continue;
        lists[std::make_pair(key.Flag(), _GroupSymbolType(kind, key))].push_back(key.Symbol());
        _ForgetKey(kind, key);
      }
      for (auto& list : lists) {
        table->DeleteSymbols(list.second, list.first.first);
        left.push_back({kind, list.first.first, list.first.second, std::move(list.second)});
      }
    }
  }
  if (left.empty()) return;

  // The service is told without the subscription lock: the other clients
  // of the user, and through the API lock every other user, would wait for
  // a stalled service with it. One call time-out in all: a call that runs
  // out of time marks the side lost, and what is left once the time is up
  // goes with the side's manager to the rebuild, which replaces it and
  // signs it off with everything it held.
  const std::string user = Narrow(m_userName);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(CSettings::ServerTimeout);
  for (const Left& l : left) {
    const bool futures = IsFuturesKind(l.kind);
    if (_Side(futures).lost) continue;
    if (std::chrono::steady_clock::now() >= deadline) {
      ORV_LOG(orvlog::kWarn, "The release of a client of user " << user << " ran out of time; the service's keys of kind "
                                                                << l.kind << " are left to the rebuild");
      NoteServiceLost(futures);
      continue;
    }
    try {
      _RemoteCall(futures, [&] {
        std::vector<std::string> narrow;
        for (const std::u16string& s : l.symbols) narrow.push_back(Narrow(s));
        _UnSubscribeGroup(narrow, l.kind, l.symbolType, true);
      });
    } catch (...) {
      // A refusal was logged with its status; the other kinds still go.
    }
  }

  // A key that another client took while the service was being told may
  // have been subscribed there before this release's unsubscription came:
  // it is asked for again. Rare, and only while the service answers.
  orvwin::CritSecLock lock(m_csSubscriptions);
  for (const Left& l : left) {
    CLiteDB* table = FindStorage(l.kind);
    std::map<int, std::vector<std::string>> again;
    for (const std::u16string& s : l.symbols) {
      const CSymbolKey key(s, l.flag);
      if (table->IsSubscribed(key)) again[_GroupSymbolType(l.kind, key)].push_back(Narrow(s));
    }
    for (const auto& group : again) {
      try {
        _RemoteCall(IsFuturesKind(l.kind), [&] { _SubscribeGroup(group.second, l.kind, group.first); });
      } catch (...) {
        // Logged with its status; the rebuild or the next client asks again.
      }
    }
  }
}

int CDataHolder::_GroupSymbolType(int kind, const CSymbolKey& key) const {
  const auto it = m_groupTypes.find(std::make_pair(kind, key));
  return it != m_groupTypes.end() ? it->second : DefaultGroupSymbolType(kind, key.Flag());
}

void CDataHolder::_NoteKeySubscribed(int kind, const CSymbolKey& key, int groupSymbolType) {
  if (groupSymbolType == DefaultGroupSymbolType(kind, key.Flag())) return;
  m_groupTypes.emplace(std::make_pair(kind, key), groupSymbolType);
}

void CDataHolder::_ForgetKey(int kind, const CSymbolKey& key) { m_groupTypes.erase(std::make_pair(kind, key)); }

void CDataHolder::SubscribeGroup(const CEventClientPtr& client, const std::vector<std::string>& symbols, int kind,
                                 int symbolType) {
  orvwin::CritSecLock lock(m_csSubscriptions);
  CLiteDB* table = GetStorage(kind);
  // Refused before the bookkeeping: clients recorded for symbols that the
  // service was never asked for would wait for data that does not come.
  if (symbols.size() > kGroupLimit) throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
  const BYTE flag = symbolType == enOption;
  // As for one symbol: recorded before the service is asked, and a refusal
  // takes back what this call recorded (keys the client held already stay).
  std::vector<CSymbolKey> added;
  for (const std::string& s : symbols) {
    const CSymbolKey key(Widen(s), flag);
    if (table->IsSubscribedBy(client, key)) continue;
    if (!table->IsSubscribed(key)) _NoteKeySubscribed(kind, key, symbolType);
    table->Subscribe(client, key);
    added.push_back(key);
  }
  try {
    _RemoteCall(IsFuturesKind(kind), [&] { _SubscribeGroup(symbols, kind, symbolType); });
  } catch (...) {
    for (const CSymbolKey& key : added) {
      table->UnSubscribe(client, key);
      if (table->HasNoSubscribers(key)) _ForgetKey(kind, key);
    }
    throw;
  }
}

bool CDataHolder::_SharedTypeStillHeld(int kind, int type, const CSymbolKey& key) {
  int ordinary = -1;
  if (kind == enStockData_Direct && type == T_EQUITY_BASE) ordinary = enStockData;
  if (kind == enOptionData_Direct && (type == T_OPTION_BASE || type == T_OPTION_AD)) ordinary = enOptionData;
  if (ordinary < 0) return false;
  CLiteDB* table = FindStorage(ordinary);
  return table != nullptr && table->IsSubscribed(key);
}

void CDataHolder::_Subscribe(const std::u16string& symbol, int kind, int symbolType) {
  const std::vector<int> types = SubscribeTypes(kind);
  if (types.empty()) {
    ORV_LOG(orvlog::kError, "ERROR: CDataHolder::_Subscribe unknown type " << kind);
    return;
  }
  Orv::ZmDataManager_ptr server = _ServerOfKind(kind);
  if (CORBA::is_nil(server)) return;
  const std::string narrow = Narrow(symbol);

  // The direct and futures kinds store a base-data snapshot first: their
  // quote types carry no base data.
  const CORBA::Short serverType = SymbolTypeOf(kind, symbolType);
  StoreBaseSnapshot(FindStorage(kind), server, symbol, kind, symbolType);

  const CSymbolKey key(symbol, symbolType == enOption);
  std::vector<int> taken;
  for (int type : types) {
    CORBA::Short status;
    std::string context;
    if (symbol.empty()) {
      status = server->SubscribeAll(static_cast<CORBA::Short>(type));
      context = "Can't subscribe all (type: " + MessageTypeName(type) + ")";
    } else {
      status = server->Subscribe(orvidl::SafeStr(narrow.c_str()), serverType, static_cast<CORBA::Short>(type));
      context = "Can't subscribe (type: " + MessageTypeName(type) + ") to symbol " + orvlog::Printable(narrow);
    }
    if (status != 0) {
      // Refused part way (over the user's limit, say): the types the
      // service took would stay there for a key nobody holds, counting
      // against that limit, as the refused key is forgotten here.
      try {
        for (int held : taken) {
          if (_SharedTypeStillHeld(kind, held, key)) continue;
          if (symbol.empty())
            server->UnSubscribeAll(static_cast<CORBA::Short>(held));
          else
            server->UnSubscribe(orvidl::SafeStr(narrow.c_str()), serverType, static_cast<CORBA::Short>(held));
        }
      } catch (const CORBA::SystemException&) {
        // A service that went away meanwhile has let go of them itself.
      }
    }
    LogServerError(0, status, context, true);
    taken.push_back(type);
  }
}

void CDataHolder::_UnSubscribe(const std::u16string& symbol, int kind, int symbolType) {
  // The futures service holds only the types a futures key was subscribed
  // with: its base data came as a snapshot, for one symbol as for a group.
  const std::vector<int> types = IsFuturesKind(kind) ? SubscribeTypes(kind) : UnSubscribeTypes(kind);
  if (types.empty()) {
    ORV_LOG(orvlog::kError, "ERROR: CDataHolder::_UnSubscribe unknown type " << kind);
    return;
  }
  Orv::ZmDataManager_ptr server = _ServerOfKind(kind);
  if (CORBA::is_nil(server)) return;
  const std::string narrow = Narrow(symbol);
  const CSymbolKey key(symbol, symbolType == enOption);
  const CORBA::Short serverType = SymbolTypeOf(kind, symbolType);
  FirstError errors;
  for (int type : types) {
    if (_SharedTypeStillHeld(kind, type, key)) continue;
    errors.Run([&] {
      CORBA::Short status;
      std::string context;
      if (symbol.empty()) {
        status = server->UnSubscribeAll(static_cast<CORBA::Short>(type));
        context = "Can't unsubscribe all (type: " + MessageTypeName(type) + ")";
      } else {
        status = server->UnSubscribe(orvidl::SafeStr(narrow.c_str()), serverType, static_cast<CORBA::Short>(type));
        context = "Can't unsubscribe (type: " + MessageTypeName(type) + ") to symbol " + orvlog::Printable(narrow);
      }
      LogServerError(0, status, context, true);
    });
  }
  errors.Raise();
}

void CDataHolder::_SubscribeGroup(const std::vector<std::string>& symbols, int kind, int symbolType) {
  if (symbols.empty()) return;
  const std::vector<int> types = UnSubscribeTypes(kind);
  if (types.empty()) {
    ORV_LOG(orvlog::kError, "ERROR: CDataHolder::_SubscribeGroup unknown type " << kind);
    return;
  }
  // Built before any call, so that a list over the bound sends nothing.
  const CORBA::Any group = orvidl::SymbolGroupAny(symbols);
  Orv::ZmDataManager_ptr server = _ServerOfKind(kind);
  if (CORBA::is_nil(server)) return;
  const CORBA::Short serverType = GroupSymbolTypeOf(kind, symbolType);
  // A futures group takes its base data as snapshots and subscribes the
  // quote type alone, as one symbol does: the group unsubscription sends
  // the quote type alone, and a base type left subscribed would count
  // against the user's limit with no client holding it.
  std::vector<int> sent = types;
  if (kind == enFutureData || kind == enFutureOptionData) {
    for (const std::string& s : symbols) StoreBaseSnapshot(FindStorage(kind), server, Widen(s), kind, symbolType);
    sent = SubscribeTypes(kind);
  }
  // The direct tables take base rows only from a snapshot: the base type
  // of a group feeds the ordinary table of the side, and direct quotes
  // only update rows that are there. Without it a direct key taken in a
  // group, or held while the service was lost and subscribed again by the
  // rebuild, would never show data.
  if (kind == enStockData_Direct || kind == enOptionData_Direct) {
    for (const std::string& s : symbols) StoreBaseSnapshot(FindStorage(kind), server, Widen(s), kind, symbolType);
  }
  for (int type : sent) {
    const CORBA::Short status = server->SubscribeGroup(group, serverType, static_cast<CORBA::Short>(type));
    LogServerError(0, status, "SubscribeGroup (type: " + MessageTypeName(type) + ") completed with error", true);
  }
}

void CDataHolder::_UnSubscribeGroup(const std::vector<std::string>& symbols, int kind, int symbolType,
                                    bool futuresInGroups) {
  if (symbols.empty()) return;
  const CORBA::Short serverType = GroupSymbolTypeOf(kind, symbolType);
  FirstError errors;
  if (IsFuturesKind(kind)) {
    // The quote type alone, as the futures keys were subscribed with it.
    const int type = SubscribeTypes(kind).front();
    Orv::ZmDataManager_ptr server = _ServerOfKind(kind);
    if (CORBA::is_nil(server)) return;
    std::vector<std::string> single;
    if (!futuresInGroups) single = symbols;
    // A release asks for groups first: one call rather than a call a key.
    // A service that has no group call for the type takes them one at a
    // time.
    for (size_t start = 0; futuresInGroups && start < symbols.size(); start += kGroupLimit) {
      const size_t end = std::min(symbols.size(), start + kGroupLimit);
      const std::vector<std::string> chunk(symbols.begin() + static_cast<std::ptrdiff_t>(start),
                                           symbols.begin() + static_cast<std::ptrdiff_t>(end));
      const CORBA::Short status =
          server->UnSubscribeGroup(orvidl::SymbolGroupAny(chunk), serverType, static_cast<CORBA::Short>(type));
      if (status == 0) continue;
      ORV_LOG(orvlog::kWarn, "UnSubscribeGroup (type: " << MessageTypeName(type) << ") completed with status "
                                                        << status << "; one symbol at a time instead");
      single.insert(single.end(), chunk.begin(), chunk.end());
    }
    for (const std::string& s : single) {
      errors.Run([&] {
        const CORBA::Short status =
            server->UnSubscribe(orvidl::SafeStr(s.c_str()), serverType, static_cast<CORBA::Short>(type));
        LogServerError(0, status, "UnSubscribeGroup (type: " + MessageTypeName(type) + ") completed with error",
                       true);
      });
    }
    errors.Raise();
    return;
  }
  const std::vector<int> types = UnSubscribeTypes(kind);
  if (types.empty()) {
    ORV_LOG(orvlog::kError, "ERROR: CDataHolder::_UnSubscribeGroup unknown type " << kind);
    return;
  }
  Orv::ZmDataManager_ptr server = _ServerOfKind(kind);
  if (CORBA::is_nil(server)) return;
  const BYTE flag = symbolType == enOption;
  // At most a group's bound per call: a client holding more symbols than
  // that must still be unsubscribed from all of them.
  for (size_t start = 0; start < symbols.size(); start += kGroupLimit) {
    const size_t end = std::min(symbols.size(), start + kGroupLimit);
    const std::vector<std::string> chunk(symbols.begin() + static_cast<std::ptrdiff_t>(start),
                                         symbols.begin() + static_cast<std::ptrdiff_t>(end));
    for (int type : types) {
      std::vector<std::string> sent;
      for (const std::string& s : chunk) {
        if (!_SharedTypeStillHeld(kind, type, CSymbolKey(Widen(s), flag))) sent.push_back(s);
      }
      if (sent.empty()) continue;
      errors.Run([&] {
        const CORBA::Any group = orvidl::SymbolGroupAny(sent);
        const CORBA::Short status = server->UnSubscribeGroup(group, serverType, static_cast<CORBA::Short>(type));
        LogServerError(0, status, "UnSubscribeGroup (type: " + MessageTypeName(type) + ") completed with error",
                       true);
      });
    }
  }
  errors.Raise();
}

void CDataHolder::_UnSubscribeList(const std::vector<std::u16string>& symbols, int kind, int symbolType) {
  std::vector<std::string> narrow;
  narrow.reserve(symbols.size());
  for (const std::u16string& s : symbols) narrow.push_back(Narrow(s));
  _UnSubscribeGroup(narrow, kind, symbolType);
}

void CDataHolder::_RegisterServerFileds(int kind) {
  if (kind == enIVATMData || kind < 0 || kind > enNstdOptionData) {
    ORV_LOG(orvlog::kError, "ERROR: CDataHolder::_RegisterServerFileds unknown type " << kind);
    return;
  }
  Orv::ZmDataManager_ptr server = _ServerOfKind(kind);
  if (CORBA::is_nil(server)) return;
  for (int type : RegisterTypes(kind)) {
    const FieldIdList list = FieldListFor(FieldListType(type));
    const std::vector<uint8_t> ids(list.ids, list.ids + list.count);
    const CORBA::Short status = server->RegisterFields(static_cast<CORBA::Short>(type), orvidl::FieldListAny(ids));
    if (status != 0) {
      ORV_LOG(orvlog::kWarn,
              "RegisterFields (type: " << MessageTypeName(type) << ") completed with status " << status);
    }
  }
}

void CDataHolder::_FetchCurrentData(CLiteDB* table, int kind, const CSymbolKey& key, Orv::ZmDataManager_ptr server) {
  // The symbol type that a client's single subscription of such a key sent.
  const int symbolType = key.Flag() ? enOption : (kind == enFutureData ? enFuture : enEquity);
  StoreBaseSnapshot(table, server, key.Symbol(), kind, symbolType);
  // In the order of the subscribed types: base rows before the quotes that
  // update them.
  for (int type : SubscribeTypes(kind)) {
    CORBA::Any_var reply = RequestSnapshot(static_cast<uint8_t>(type), SymbolTypeOf(kind, symbolType), key, server);
    if (reply.operator->() != nullptr) ApplyServerData(reply.operator->());
  }
}
