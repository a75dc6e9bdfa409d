#include "feed/CDataHolder.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>

#include "OrvPayload.h"
#include "feed/CSqliteException.h"
#include "feed/CFutureOptionsDB.h"
#include "feed/CFuturesDB.h"
#include "feed/CFutIVIndexDB.h"
#include "feed/CFutIVSurfaceDB.h"
#include "feed/CHVDB.h"
#include "feed/CIVIndexDB.h"
#include "feed/CIVSurfaceDB.h"
#include "feed/CInterestRateDB.h"
#include "feed/CNstdOptionsDB.h"
#include "feed/COptionsDB.h"
#include "feed/CStocksDB.h"
#include "feed/MessageFormat.h"
#include "feed/RequestSnapshot.h"
#include "feed/ServerStatus.h"
#include "feed/UserFileName.h"
#include "platform/log/Log.h"

int KindOfMessageType(int type) {
  switch (type) {
    case T_EQUITY_BASE:
    case T_EQUITY_QUOTE: return enStockData;
    case T_OPTION_BASE:
    case T_OPTION_QUOTE:
    case T_OPTION_AD: return enOptionData;
    case T_IVINDEX: return enIVIndexData;
    case T_IVSURFACE: return enIVSurfaceData;
    case T_DIRECT_EQUITY_QUOTE: return enStockData_Direct;
    case T_DIRECT_OPTION_QUOTE: return enOptionData_Direct;
    case T_FUTURE_BASE:
    case T_FUTURE_QUOTE: return enFutureData;
    case T_FUTURE_OPTION_BASE:
    case T_FUTURE_OPTION: return enFutureOptionData;
    case T_FUTURE_IVINDEX: return enFutIVIndexData;
    case T_FUTURE_IVSURFACE: return enFutIVSurfaceData;
    case T_NSTDOPTION_BASE:
    case T_NSTDOPTION_QUOTE:
    case T_NSTDOPTION_AD: return enNstdOptionData;
    default: return -1;
  }
}

namespace {

// The text of the exception in flight, for the caller of a set-up that
// failed other than in the database; empty when it has none.
std::string CurrentFailureText() {
  try {
    throw;
  } catch (const _com_error& e) {
    const _bstr_t d = e.Description();
    const char* text = static_cast<const char*>(d);
    return text != nullptr && *text ? text : e.ErrorMessage();
  } catch (const CORBA::Exception& e) {
    return orvidl::DescribeException(e).Text();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return std::string();
  }
}

std::string DatabasePathFor(const std::u16string& userName) {
  const std::string file = UserFileName(userName);
  if (file.empty()) RaiseAutomationError("Invalid user name");
  return orvwin::UserDataFolder() + file;
}

}  // namespace

CDataHolder::CDataHolder(const std::u16string& userName, Orv::ZmDataManager_ptr dataServer,
                         Orv::ZmDataManager_ptr futuresServer)
    : m_userName(userName), m_path(DatabasePathFor(userName)), m_stop(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
  InitializeCriticalSection(&m_csTables);
  InitializeCriticalSection(&m_csSubscriptions);
  InitializeCriticalSection(&m_csServers);
  m_equitySide.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  m_futuresSide.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  SetDataServer(dataServer);
  SetFuturesServer(futuresServer);
  // No cache file yet is the first start of the user, not a failure.
  if (std::remove(m_path.c_str()) != 0 && errno != ENOENT) {
    ORV_LOG(orvlog::kError, "Can't delete file " << m_path << ": " << std::strerror(errno));
  }
}

CDataHolder::~CDataHolder() {
  ORV_LOG(orvlog::kTrace, "CDataHolder::~CDataHolder() started");
  SetEvent(m_stop);
  _StopPullThread(m_pull, "Pull thread");
  _StopPullThread(m_futPull, "Fut Pull thread");
  // Nothing reads the map any more: both threads have been joined.
  for (auto& entry : m_tables) entry.second.reset();
  m_retiredTables.clear();
  ORV_LOG(orvlog::kTrace, "CDataHolder::~CDataHolder() completed");
  m_tables.clear();
  m_futuresServer = Orv::ZmDataManager::_nil();
  m_dataServer = Orv::ZmDataManager::_nil();
  m_retiredServers.clear();
  CloseHandle(m_stop);
  CloseHandle(m_equitySide.wake);
  CloseHandle(m_futuresSide.wake);
  DeleteCriticalSection(&m_csServers);
  DeleteCriticalSection(&m_csSubscriptions);
  DeleteCriticalSection(&m_csTables);
}

void CDataHolder::SetDataServer(Orv::ZmDataManager_ptr server) {
  _SetServer(false, server);
}

void CDataHolder::SetFuturesServer(Orv::ZmDataManager_ptr server) { _SetServer(true, server); }

void CDataHolder::SetSignInPassword(bool futures, const std::string& password) {
  (futures ? m_futPassword : m_password).Set(password);
}

bool CDataHolder::IsSignInPassword(bool futures, const std::string& password) const {
  return (futures ? m_futPassword : m_password).Matches(password);
}

void CDataHolder::DropServer(bool futures) { _SetServer(futures, Orv::ZmDataManager::_nil()); }

void CDataHolder::_SetServer(bool futures, Orv::ZmDataManager_ptr server) {
  orvwin::CritSecLock lock(m_csServers);
  Orv::ZmDataManager_var& slot = futures ? m_futuresServer : m_dataServer;
  if (slot.in() == server) return;
  // Kept, not released: a call thread may be using the old pointer. It is
  // signed off at the service, which would otherwise keep it and every key
  // it subscribed (they count against the user's limit) while the service
  // lives, as after a connection failure of a service that stayed up.
  if (!CORBA::is_nil(slot)) {
    m_toSignOff[futures ? 1 : 0].push_back(Orv::ZmDataManager::_duplicate(slot.in()));
    m_retiredServers.push_back(slot._retn());
  }
  slot = Orv::ZmDataManager::_duplicate(server);
  ++_Side(futures).generation;
}

void CDataHolder::_SignOffReplaced(bool futures) {
  std::vector<Orv::ZmDataManager_var> managers;
  {
    orvwin::CritSecLock lock(m_csServers);
    managers.swap(m_toSignOff[futures ? 1 : 0]);
  }
  for (Orv::ZmDataManager_var& manager : managers) {
    try {
      const CORBA::Short status = manager->Disconnect();
      ORV_LOG(orvlog::kInfo, "A replaced " << (futures ? "futures" : "equities") << " data manager of user "
                                           << orvcom::Narrow(m_userName) << " signed off (status " << status << ")");
    } catch (const CORBA::Exception& e) {
      // Gone with its service, or out of reach: nothing is kept for it then.
      ORV_LOG(orvlog::kDebug, "A replaced data manager of user " << orvcom::Narrow(m_userName)
                                                                 << " could not be signed off: "
                                                                 << orvidl::DescribeException(e).Text());
    }
  }
}

Orv::ZmDataManager_ptr CDataHolder::_Server(bool futures) const {
  orvwin::CritSecLock lock(m_csServers);
  return futures ? m_futuresServer.in() : m_dataServer.in();
}

unsigned long CDataHolder::_Generation(bool futures) const {
  orvwin::CritSecLock lock(m_csServers);
  return futures ? m_futuresSide.generation : m_equitySide.generation;
}

Orv::ZmDataManager_ptr CDataHolder::_ServerOfKind(int kind) const { return _Server(IsFuturesKind(kind)); }

CLiteDB* CDataHolder::_AddStorage(int kind, std::unique_ptr<CLiteDB> table) {
  orvwin::CritSecLock lock(m_csTables);
  auto it = m_tables.find(kind);
  if (it != m_tables.end()) return it->second.get();
  CLiteDB* raw = table.get();
  m_tables.emplace(kind, std::move(table));
  return raw;
}

CLiteDB* CDataHolder::FindStorage(int kind) {
  orvwin::CritSecLock lock(m_csTables);
  auto it = m_tables.find(kind);
  return it != m_tables.end() ? it->second.get() : nullptr;
}

CLiteDB* CDataHolder::GetStorage(int kind) {
  CLiteDB* table = FindStorage(kind);
  if (table == nullptr) {
    char text[64];
    std::snprintf(text, sizeof text, "Unknown message type %d.", kind);
    RaiseAutomationError(text);
  }
  return table;
}

template <class Make>
void CDataHolder::_CreateTables(const std::vector<std::pair<int, Make>>& tables) {
  // Kinds already present (a second sign-in of the side) are kept as they
  // are, rows and subscribers included.
  std::map<int, CLiteDB*> made;
  for (const auto& t : tables) {
    if (FindStorage(t.first) != nullptr) continue;
    made[t.first] = _AddStorage(t.first, t.second());
  }
  // Made in the order given, prepared in ascending kind.
  int failed = -1;
  for (const auto& entry : made) {
    if (!entry.second->Initialize() && failed < 0) failed = entry.first;
  }
  for (const auto& entry : made) entry.second->WaitDatabase();
  if (failed < 0) return;
  // None of this call's tables stays in the map: the next sign-in of the
  // side makes them again rather than use one without its database table.
  // They are kept aside, not deleted, as a pull thread may hold one.
  {
    orvwin::CritSecLock lock(m_csTables);
    for (const auto& entry : made) {
      CLiteDB* table = entry.second;
      for (auto it = m_tables.begin(); it != m_tables.end(); ++it) {
        if (it->second.get() == table) {
          m_retiredTables.push_back(std::move(it->second));
          m_tables.erase(it);
          break;
        }
      }
    }
  }
  throw std::runtime_error("the table of kind " + std::to_string(failed) + " could not be set up in " + m_path);
}

bool CDataHolder::Initialize() {
  try {
    typedef std::function<std::unique_ptr<CLiteDB>()> Make;
    const std::string& path = m_path;
    _CreateTables(std::vector<std::pair<int, Make>>{
        {enStockData, [&] { return std::unique_ptr<CLiteDB>(new CStocksDB(path, false)); }},
        {enStockData_Direct, [&] { return std::unique_ptr<CLiteDB>(new CStocksDB(path, true)); }},
        {enOptionData, [&] { return std::unique_ptr<CLiteDB>(new COptionsDB(path, false)); }},
        {enOptionData_Direct, [&] { return std::unique_ptr<CLiteDB>(new COptionsDB(path, true)); }},
        {enIVIndexData, [&] { return std::unique_ptr<CLiteDB>(new CIVIndexDB(path)); }},
        {enIVSurfaceData, [&] { return std::unique_ptr<CLiteDB>(new CIVSurfaceDB(path)); }},
        {enNstdOptionData, [&] { return std::unique_ptr<CLiteDB>(new CNstdOptionsDB(path)); }},
    });

    _StartPullThread(false);

    ORV_LOG(orvlog::kDebug, "Registering server fields.");
    for (int kind : {enStockData, enOptionData, enNstdOptionData, enIVIndexData, enIVSurfaceData}) {
      _RegisterServerFileds(kind);
    }
    m_setUpError.clear();
    return true;
  } catch (const CSqliteException& e) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    m_setUpError = "CDataHolder::Initialize() SQLite error : " + std::string(e.errorMessage()) + " Code " +
                   std::to_string(e.errorCode());
  } catch (...) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    ORV_LOG(orvlog::kError, "ERROR DESCR : CDataHolder::Initialize() Unexpected error");
    const std::string detail = CurrentFailureText();
    m_setUpError = "CDataHolder::Initialize() Unexpected error" + (detail.empty() ? "" : ": " + detail);
    return false;
  }
  ORV_LOG(orvlog::kError, "ERROR DESCR : " << m_setUpError);
  return false;
}

bool CDataHolder::FutsInitialize() {
  try {
    typedef std::function<std::unique_ptr<CLiteDB>()> Make;
    const std::string& path = m_path;
    _CreateTables(std::vector<std::pair<int, Make>>{
        {enFutureData, [&] { return std::unique_ptr<CLiteDB>(new CFuturesDB(path)); }},
        {enFutureOptionData, [&] { return std::unique_ptr<CLiteDB>(new CFutureOptionsDB(path)); }},
        {enFutIVIndexData, [&] { return std::unique_ptr<CLiteDB>(new CFutIVIndexDB(path)); }},
        {enFutIVSurfaceData, [&] { return std::unique_ptr<CLiteDB>(new CFutIVSurfaceDB(path)); }},
    });

    _StartPullThread(true);

    ORV_LOG(orvlog::kDebug, "Registering server fields.");
    for (int kind : {enFutureData, enFutureOptionData, enFutIVIndexData, enFutIVSurfaceData}) {
      _RegisterServerFileds(kind);
    }
    m_setUpError.clear();
    return true;
  } catch (const CSqliteException& e) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    m_setUpError = "CDataHolder::FutsInitialize() SQLite error : " + std::string(e.errorMessage()) + " Code " +
                   std::to_string(e.errorCode());
  } catch (...) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    ORV_LOG(orvlog::kError, "ERROR DESCR : CDataHolder::FutsInitialize() Unexpected error");
    const std::string detail = CurrentFailureText();
    m_setUpError = "CDataHolder::FutsInitialize() Unexpected error" + (detail.empty() ? "" : ": " + detail);
    return false;
  }
  ORV_LOG(orvlog::kError, "ERROR DESCR : " << m_setUpError);
  return false;
}

template <class Table, class Read>
void CDataHolder::_Get(int kind, Read&& read) {
  Orv::ZmDataManager_ptr server = _ServerOfKind(kind);
  if (CORBA::is_nil(server)) return;
  if (Table* table = dynamic_cast<Table*>(GetStorage(kind))) read(*table, server);
  DumpMemoryStatus();
}

namespace {

_bstr_t Bstr(const std::u16string& s) { return s.empty() ? _bstr_t() : _bstr_t(s.c_str()); }

}  // namespace

void CDataHolder::GetStocks(const std::u16string& symbol, std::vector<StockRecord>& records, bool direct) {
  _Get<CStocksDB>(direct ? enStockData_Direct : enStockData, [&](CStocksDB& table, Orv::ZmDataManager_ptr server) {
    table.GetMarketData(CSymbolKey(symbol, 0), server, records);
  });
}

void CDataHolder::GetOptions(const std::u16string& symbol, int symbolType, std::vector<OptionRecord>& records,
                             bool direct) {
  _Get<COptionsDB>(direct ? enOptionData_Direct : enOptionData,
                   [&](COptionsDB& table, Orv::ZmDataManager_ptr server) {
                     table.GetMarketData(CSymbolKey(symbol, symbolType == enOption), server, records);
                   });
}

void CDataHolder::GetNstdOptions(const std::u16string& symbol, int symbolType,
                                 std::vector<NstdOptionRecord>& records) {
  _Get<CNstdOptionsDB>(enNstdOptionData, [&](CNstdOptionsDB& table, Orv::ZmDataManager_ptr server) {
    table.GetMarketData(CSymbolKey(symbol, symbolType == enOption), server, records);
  });
}

void CDataHolder::GetIVIndexes(const std::u16string& symbol, std::vector<IVIndexRecord>& records) {
  _Get<CIVIndexDB>(enIVIndexData, [&](CIVIndexDB& table, Orv::ZmDataManager_ptr server) {
    table.GetMarketData(symbol, server, records);
  });
}

void CDataHolder::GetIVSurfaces(const std::u16string& symbol, std::vector<IVSurfaceRecord>& records) {
  _Get<CIVSurfaceDB>(enIVSurfaceData, [&](CIVSurfaceDB& table, Orv::ZmDataManager_ptr server) {
    table.GetMarketData(symbol, server, records);
  });
}

void CDataHolder::GetFutures(const std::u16string& symbol, std::vector<FutureRecord>& records) {
  _Get<CFuturesDB>(enFutureData, [&](CFuturesDB& table, Orv::ZmDataManager_ptr server) {
    table.GetMarketData(CSymbolKey(symbol, 0), server, records);
  });
}

void CDataHolder::GetFuturesByRoot(const std::u16string& symbol, int symbolType, std::vector<FutureRecord>& records) {
  _Get<CFuturesDB>(enFutureData, [&](CFuturesDB& table, Orv::ZmDataManager_ptr server) {
    table.GetMarketData(CSymbolKey(symbol, symbolType == enOption), server, records);
  });
}

void CDataHolder::GetFutOptions(const std::u16string& symbol, int symbolType, std::vector<OptionRecord>& records) {
  _Get<CFutureOptionsDB>(enFutureOptionData, [&](CFutureOptionsDB& table, Orv::ZmDataManager_ptr server) {
    table.GetMarketData(CSymbolKey(symbol, symbolType == enOption), server, records);
  });
}

void CDataHolder::GetFutIVIndexes(const std::u16string& symbol, std::vector<IVIndexRecord>& records) {
  _Get<CFutIVIndexDB>(enFutIVIndexData, [&](CFutIVIndexDB& table, Orv::ZmDataManager_ptr server) {
    table.GetMarketData(symbol, server, records);
  });
}

void CDataHolder::GetFutIVSurfaces(const std::u16string& symbol, std::vector<IVSurfaceRecord>& records) {
  _Get<CFutIVSurfaceDB>(enFutIVSurfaceData, [&](CFutIVSurfaceDB& table, Orv::ZmDataManager_ptr server) {
    table.GetMarketData(symbol, server, records);
  });
}

void CDataHolder::GetInterestRates(const std::u16string& currency, std::vector<InterestRateRecord>& records) {
  Orv::ZmDataManager_ptr server = _Server(false);
  if (CORBA::is_nil(server)) return;
  CInterestRateDB().GetMarketData(Bstr(currency), server, records);
  DumpMemoryStatus();
}

void CDataHolder::GetHV(const std::u16string& symbol, std::vector<HVRecord>& records) {
  Orv::ZmDataManager_ptr server = _Server(false);
  if (CORBA::is_nil(server)) return;
  CHVDB().GetMarketData(Bstr(symbol), server, records);
  DumpMemoryStatus();
}

void CDataHolder::GetATM(const std::u16string& symbol, std::vector<IVATMRecord>& records, bool direct) {
  _Get<CStocksDB>(direct ? enStockData_Direct : enStockData, [&](CStocksDB& table, Orv::ZmDataManager_ptr server) {
    table.GetATM(Bstr(symbol), server, records);
  });
}

bool CDataHolder::IsSymbolSubscribed(const CEventClientPtr& client, const std::u16string& symbol, int kind,
                                     int symbolType) {
  CLiteDB* table = FindStorage(kind);
  if (table == nullptr) return false;
  return table->IsSubscribedBy(client, CSymbolKey(symbol, symbolType == enOption));
}

namespace {

template <class F>
bool RunUpdate(const char* name, F&& f) {
  try {
    return f();
  } catch (const CORBA::SystemException& e) {
    const orvidl::CorbaExceptionInfo info = orvidl::DescribeException(e);
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    ORV_LOGF(orvlog::kError, "ERROR: Caught a CORBA::SystemException : %s CODE %s in CDataHolder::%s()",
             info.name.c_str(), info.repoId.c_str(), name);
  } catch (const CORBA::Exception& e) {
    const orvidl::CorbaExceptionInfo info = orvidl::DescribeException(e);
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    ORV_LOGF(orvlog::kError, "ERROR: Caught CORBA::Exception : %s CODE %s in CDataHolder::%s()",
             info.name.c_str(), info.repoId.c_str(), name);
  }
  return false;
}

}  // namespace

template <class Table>
bool CDataHolder::_Refresh(const char* name, int kind, SnapshotKind snapshot, const CSymbolKey& key) {
  return RunUpdate(name, [&] {
    Orv::ZmDataManager_ptr server = _Server(false);
    if (CORBA::is_nil(server)) return false;
    // A signed-in session without the kind's table is told so, as every
    // other operation on that kind is.
    if (dynamic_cast<Table*>(GetStorage(kind)) == nullptr) return false;
    std::unique_ptr<CORBA::Any> reply(RequestSnapshot(snapshot, key, server));
    ApplyServerData(reply.get());
    return true;
  });
}

bool CDataHolder::UpdateEquityBase(const std::u16string& symbol) {
  return _Refresh<CStocksDB>("UpdateEquityBase", enStockData, SnapshotKind::kEquityBase, CSymbolKey(symbol, 0));
}

bool CDataHolder::UpdateEquityQuote(const std::u16string& symbol) {
  return _Refresh<CStocksDB>("UpdateEquityQuote", enStockData, SnapshotKind::kEquityQuote, CSymbolKey(symbol, 0));
}

bool CDataHolder::UpdateOptionBase(const std::u16string& symbol, bool flag) {
  return _Refresh<COptionsDB>("UpdateOptionBase", enOptionData, SnapshotKind::kOptionBase, CSymbolKey(symbol, flag));
}

bool CDataHolder::UpdateOptionQuote(const std::u16string& symbol, bool flag) {
  return _Refresh<COptionsDB>("UpdateOptionQuote", enOptionData, SnapshotKind::kOptionQuote,
                              CSymbolKey(symbol, flag));
}

bool CDataHolder::UpdateOptionAD(const std::u16string& symbol, bool flag) {
  return _Refresh<COptionsDB>("UpdateOptionAD", enOptionData, SnapshotKind::kOptionAD, CSymbolKey(symbol, flag));
}

void CDataHolder::DumpMemoryStatus() {
  try {
    if (!orvlog::IsEnabled(orvlog::kInfo)) return;
    PROCESS_MEMORY_COUNTERS pmc;
    std::memset(&pmc, 0, sizeof pmc);
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
    MEMORYSTATUSEX ms;
    std::memset(&ms, 0, sizeof ms);
    ms.dwLength = sizeof ms;
    GlobalMemoryStatusEx(&ms);
    // 64-bit figures: a 32-bit KiB count turns negative past 2 TiB of
    // address space, which a 64-bit process has.
    auto kb = [](uint64_t bytes) { return static_cast<int64_t>(bytes >> 10); };
    char text[8192];
    std::snprintf(text, sizeof text,
                  "\nORVE MEMORY USAGE STATISTIC:\n"
                  "\tMemory usage: %" PRId64 " KB\tVM %" PRId64 " KB\n"
                  "TOTAL MEMORY USAGE STATISTIC:\n"
                  "\tTotal physical memory: %" PRId64 " KB\n"
                  "\tFree physical memory: %" PRId64 " KB\n"
                  "\tPaging file: %" PRId64 " KB\n"
                  "\tFor paging free: %" PRId64 " KB\n"
                  "\tTotal virtual memory: %" PRId64 " KB\n"
                  "\tFree virtual memory: %" PRId64 " KB\n",
                  kb(pmc.WorkingSetSize), kb(pmc.PagefileUsage), kb(ms.ullTotalPhys), kb(ms.ullAvailPhys),
                  kb(ms.ullTotalPageFile), kb(ms.ullAvailPageFile), kb(ms.ullTotalVirtual), kb(ms.ullAvailVirtual));
    ORV_LOG(orvlog::kInfo, text);
  } catch (...) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    ORV_LOG(orvlog::kError, "Unexpected error in CDataHolder::DumpMemoryStatus()");
  }
}
