#include "feed/CLiteDB.h"

#include <unordered_set>

#include "feed/CDatabaseLock.h"
#include "feed/CSqliteDB.h"
#include "feed/CSqliteException.h"
#include "feed/CSqliteTransaction.h"
#include "feed/SqlTemplates.h"

namespace {

constexpr int kEventThreads = 5;
constexpr DWORD kShutdownWaitMs = 500;

// The key column of a delete: the option tables delete an underlying's
// options unless the key names one option.
const char* DeleteColumn(const std::string& table, BYTE keyFlag) {
  if (table == "options" || table == "nstdoptions" || table == "options_direct") {
    return keyFlag ? "symbol" : "stock_symbol";
  }
  // A futures key with its flag set names a root.
  if (table == "futures") return keyFlag ? "root_symbol" : "symbol";
  return "symbol";
}

// Deletes an underlying's option rows but those of the options a client
// holds on their own (`held`, narrowed symbols). Quotes update rows and
// never insert them: a held option whose row went with its chain would
// stay as it was, while its own subscription lived on.
void DeleteUnderlyingKeeping(CSqliteDB& db, const std::string& table, const std::string& underlying,
                             const std::unordered_set<std::string>& held) {
  CSqliteStatement select = db.Prepare(LoadSqlTemplate(table == "nstdoptions" ? 242 : 111, table).c_str());
  select.BindText(1, underlying.c_str());
  std::vector<std::string> going;
  {
    CSqliteQuery query = select.RunQuery();
    for (; !query.AtEnd(); query.Next())
      if (!held.count(query.TextAt(0))) going.emplace_back(query.TextAt(0));
  }
  select.Release();
  CSqliteStatement remove = db.Prepare(LoadSqlTemplate(135, table, DeleteColumn(table, 1)).c_str());
  for (const std::string& symbol : going) {
    remove.BindText(1, symbol.c_str());
    remove.RunCommand();
    remove.Reset();
  }
  remove.Release();
}

// The column naming an option's underlying, where a table has one.
const char* UnderlyingColumn(const std::string& table) {
  if (table == "options" || table == "nstdoptions" || table == "options_direct") return "stock_symbol";
  if (table == "futureoptions") return "future_symbol";
  return nullptr;
}

// True when the option's row is still fed by its underlying's chain, which
// a client holds (`chains`, narrowed symbols): quotes update rows and never
// insert them, so a row deleted with the option's own key would leave its
// chain's clients on a value that never moves again.
bool KeptByItsChain(CSqliteDB& db, const std::string& table, const std::string& option,
                    const std::unordered_set<std::string>& chains) {
  const char* column = UnderlyingColumn(table);
  if (!column || chains.empty()) return false;
  const std::string sql = std::string("SELECT ") + column + " FROM " + table + " WHERE symbol = ?";
  CSqliteStatement select = db.Prepare(sql.c_str());
  select.BindText(1, option.c_str());
  bool kept = false;
  {
    CSqliteQuery query = select.RunQuery();
    if (!query.AtEnd()) kept = chains.count(query.TextAt(0)) != 0;
  }
  select.Release();
  return kept;
}

// The deletes' error lines, which name the class their own way.
template <class Body>
void GuardedDelete(Body&& body) {
  try {
    body();
  } catch (const CSqliteException& e) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    ORV_LOG(orvlog::kError,
            "SQLite error in CLiteDB::_DeleteSymbolFromDB(): " << e.errorMessage() << "Code " << e.errorCode());
  } catch (...) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    ORV_LOG(orvlog::kError, "Unexpected error CLiteDB::_DeleteSymbolFromDB");
  }
}

}  // namespace

CLiteDB::CLiteDB(const std::string& databasePath) : m_path(databasePath) {
  InitializeCriticalSection(&m_csSubscriptions);
  if (!m_pool.Initialize(nullptr, kEventThreads)) {
    ORV_LOG(orvlog::kError, "ERROR: CLiteDB::CLiteDB() cannot start the event threads");
  }
}

CLiteDB::~CLiteDB() {
  ORV_LOG(orvlog::kDebug, "Waiting thread pull (send events) shutdown");
  // Tasks only fire events: what has not run by then is dropped unrun.
  for (CWorkerInterface* task : m_pool.Shutdown(kShutdownWaitMs)) delete task;
  ORV_LOG(orvlog::kTrace, "CLiteDB::~CLiteDB() started user: " << m_path);
  DeleteCriticalSection(&m_csSubscriptions);
}

bool CLiteDB::RowExists(CSqliteStatement& select, const char* key) {
  select.BindText(1, key);
  bool exists = false;
  {
    CSqliteQuery query = select.RunQuery();
    exists = !query.AtEnd();
  }
  select.Reset();
  return exists;
}

void CLiteDB::PostTask(std::unique_ptr<CWorkerInterface> task) {
  if (_QueueTask(task.get())) {
    task.release();
  } else {
    LogRefusedTask();
  }
}

void CLiteDB::LogRefusedTask() {
  if (!m_refusalLogged.exchange(true)) ORV_LOG(orvlog::kError, "ERROR : ThreadPool.QueueRequest failed.");
}

bool CLiteDB::IsSubscribedByLocked(const CEventClientPtr& client, const CSymbolKey& key) const {
  auto it = m_keysByClient.find(client);
  return it != m_keysByClient.end() && it->second.count(key) != 0;
}

bool CLiteDB::Subscribe(const CEventClientPtr& client, const CSymbolKey& key) {
  ORV_LOG(orvlog::kTrace, "CLiteDB::Subscribe() started bsSymbol: " << orvlog::Printable(key.Narrow()));
  if (!client) return false;
  bool already = false;
  {
    orvwin::CritSecLock lock(m_csSubscriptions);
    if (IsSubscribedByLocked(client, key)) return true;
    already = m_presentKeys.count(key) != 0;
    if (!already) m_presentKeys[key] = 1;
    m_keysByClient[client].insert(key);
    m_subscribers[key].insert(client);
  }
  // Outside the subscription lock: this reads the table under the database
  // lock, which comes first in the lock order. The lock is held until the
  // event has taken its place in the client's order, as the writers hold
  // it until theirs have: a quote written between the read and that place
  // would reach the client first, and the older rows after it.
  if (already) {
    CDatabaseLockGuard database;
    SendCurrentData(client, key);
  }
  return true;
}

void CLiteDB::UnSubscribe(const CEventClientPtr& client, const CSymbolKey& key) {
  orvwin::CritSecLock lock(m_csSubscriptions);
  if (!client || !IsSubscribedByLocked(client, key)) return;
  ORV_LOG(orvlog::kTrace, "CLiteDB::UnSubscribe() removing from container?");
  RemoveSubscription(client, key);
  ORV_LOG(orvlog::kTrace, "CLiteDB::UnSubscribe() completed: " << orvlog::Printable(key.Narrow()));
}

void CLiteDB::RemoveSubscription(const CEventClientPtr& client, const CSymbolKey& key) {
  auto byClient = m_keysByClient.find(client);
  if (byClient != m_keysByClient.end()) {
    byClient->second.erase(key);
    // A client that holds nothing is forgotten: every released client
    // would otherwise stay here, and its handle with it, for the session's
    // whole life.
    if (byClient->second.empty()) m_keysByClient.erase(byClient);
  }
  auto subs = m_subscribers.find(key);
  if (subs == m_subscribers.end()) return;
  subs->second.erase(client);
  if (subs->second.empty()) {
    auto present = m_presentKeys.find(key);
    if (present != m_presentKeys.end() && --present->second < 1) m_presentKeys.erase(present);
    m_subscribers.erase(subs);
  }
}

void CLiteDB::RemoveClient(const CEventClientPtr& client) {
  if (!client) return;
  orvwin::CritSecLock lock(m_csSubscriptions);
  auto it = m_keysByClient.find(client);
  if (it == m_keysByClient.end()) return;
  const KeySet keys = it->second;
  for (const CSymbolKey& key : keys) RemoveSubscription(client, key);
}

bool CLiteDB::IsSubscribed(const CSymbolKey& key) {
  orvwin::CritSecLock lock(m_csSubscriptions);
  return m_presentKeys.count(key) != 0;
}

bool CLiteDB::IsSubscribedBy(const CEventClientPtr& client, const CSymbolKey& key) {
  if (!client) return false;
  orvwin::CritSecLock lock(m_csSubscriptions);
  return IsSubscribedByLocked(client, key);
}

bool CLiteDB::HasNoSubscribers(const CSymbolKey& key) {
  orvwin::CritSecLock lock(m_csSubscriptions);
  auto it = m_subscribers.find(key);
  return it == m_subscribers.end() || it->second.empty();
}

void CLiteDB::GetClientSubscriptions(const CEventClientPtr& client, std::vector<CSymbolKey>& keys) {
  if (!client) return;
  orvwin::CritSecLock lock(m_csSubscriptions);
  auto it = m_keysByClient.find(client);
  if (it == m_keysByClient.end()) return;
  keys.reserve(keys.size() + it->second.size());
  keys.insert(keys.end(), it->second.begin(), it->second.end());
}

void CLiteDB::GetSubscribedKeys(std::vector<CSymbolKey>& keys) {
  orvwin::CritSecLock lock(m_csSubscriptions);
  for (const auto& entry : m_subscribers)
    if (!entry.second.empty()) keys.push_back(entry.first);
}

CLiteDB::ClientSet CLiteDB::SubscribersOf(const CSymbolKey& key) {
  orvwin::CritSecLock lock(m_csSubscriptions);
  auto it = m_subscribers.find(key);
  return it != m_subscribers.end() ? it->second : ClientSet();
}

std::unordered_set<std::string> CLiteDB::ChainsHeld(const std::string& table, BYTE keyFlag) {
  // Only an option's own key can delete a row its chain still feeds.
  if (!keyFlag || !UnderlyingColumn(table)) return {};
  const std::vector<std::string> held = SubscribedSymbols(0);
  return std::unordered_set<std::string>(held.begin(), held.end());
}

std::unordered_set<std::string> CLiteDB::HeldOnTheirOwn(const std::string& table, BYTE keyFlag) {
  // Only an underlying's key deletes the rows of other keys.
  if (keyFlag || std::string(DeleteColumn(table, keyFlag)) != "stock_symbol") return {};
  const std::vector<std::string> held = SubscribedSymbols(1);
  return std::unordered_set<std::string>(held.begin(), held.end());
}

std::vector<std::string> CLiteDB::SubscribedSymbols(BYTE flag) {
  std::vector<std::string> out;
  orvwin::CritSecLock lock(m_csSubscriptions);
  for (const auto& entry : m_subscribers)
    if (entry.first.Flag() == (flag ? 1 : 0) && !entry.second.empty()) out.push_back(entry.first.Narrow());
  return out;
}

bool CLiteDB::WaitDatabase() {
  CDatabaseLockGuard lock;
  return true;
}

bool CLiteDB::InitializeTable(const char* className, const std::string& table, UINT createId,
                              const std::string& index, const char* file, int line) {
  ORV_LOG(orvlog::kTrace, className << "::Initialize() started user: " << m_path);
  const bool ok = Guarded(
      className, "Initialize",
      [&] {
        const std::string create = LoadSqlTemplate(createId, table);
        const std::string empty = LoadSqlTemplate(103, table);
        OnConnection(m_path, [&](CSqliteDB& db) {
          db.RunCommand(db.HasTable(table.c_str()) ? empty.c_str() : create.c_str());
          if (!index.empty()) db.RunCommand(index.c_str());
        });
      },
      ".", file, line);
  ORV_LOG(orvlog::kTrace, className << "::Initialize() completed: " << m_path);
  return ok;
}

void CLiteDB::_DeleteSymbolFromDB(const std::string& table, const std::u16string& symbol, BYTE keyFlag) {
  GuardedDelete([&] {
    const bool all = symbol.empty();
    const std::string sql = all ? LoadSqlTemplate(103, table) : LoadSqlTemplate(135, table, DeleteColumn(table, keyFlag));
    const std::string narrow = orvcom::Narrow(symbol);
    const std::unordered_set<std::string> held = HeldOnTheirOwn(table, keyFlag);
    if (!all && !held.empty()) {
      InTransaction(m_path, [&](CSqliteDB& db) { DeleteUnderlyingKeeping(db, table, narrow, held); });
      return;
    }
    const std::unordered_set<std::string> chains = all ? std::unordered_set<std::string>() : ChainsHeld(table, keyFlag);
    OnConnection(m_path, [&](CSqliteDB& db) {
      if (KeptByItsChain(db, table, narrow, chains)) return;
      CSqliteStatement stmt = db.Prepare(sql.c_str());
      if (!all) stmt.BindText(1, narrow.c_str());
      stmt.RunCommand();
      stmt.Release();
    });
  });
}

void CLiteDB::_DeleteSymbolFromDB(const std::string& table, const std::vector<std::u16string>& symbols,
                                  BYTE keyFlag) {
  GuardedDelete([&] {
    const std::string sql = LoadSqlTemplate(135, table, DeleteColumn(table, keyFlag));
    const std::unordered_set<std::string> held = HeldOnTheirOwn(table, keyFlag);
    const std::unordered_set<std::string> chains = ChainsHeld(table, keyFlag);
    InTransaction(m_path, [&](CSqliteDB& db) {
      if (!held.empty()) {
        for (const std::u16string& symbol : symbols) DeleteUnderlyingKeeping(db, table, orvcom::Narrow(symbol), held);
        return;
      }
      CSqliteStatement stmt = db.Prepare(sql.c_str());
      for (const std::u16string& symbol : symbols) {
        if (KeptByItsChain(db, table, orvcom::Narrow(symbol), chains)) continue;
        stmt.BindText(1, orvcom::Narrow(symbol).c_str());
        stmt.RunCommand();
        stmt.Reset();
      }
      stmt.Release();
    });
  });
}
