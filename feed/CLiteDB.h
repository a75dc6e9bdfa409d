// The base of every cache table object: the subscription record (which
// client holds which symbol key), the deletes of a symbol's rows, the wait
// for the database and the object's pool of event threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "feed/CDatabaseLock.h"
#include "feed/CacheHealth.h"
#include "feed/CEventClient.h"
#include "feed/CSqliteDB.h"
#include "feed/CSqliteException.h"
#include "feed/CSqliteTransaction.h"
#include "feed/CSymbolKey.h"
#include "feed/TableErrorLog.h"
#include "feed/CZmThreadPool.h"
#include "platform/log/Log.h"
#include "platform/win/windows.h"

class CLiteDB {
 public:
  typedef std::set<CEventClientPtr, LessEventClient> ClientSet;
  typedef std::set<CSymbolKey> KeySet;

  // Starts the event pool's five threads at once.
  explicit CLiteDB(const std::string& databasePath);
  CLiteDB(const CLiteDB&) = delete;
  CLiteDB& operator=(const CLiteDB&) = delete;
  virtual ~CLiteDB();

  // Makes the table exist and be empty. Implementations hold the database
  // lock around their access like every other one: a session's pull thread
  // of the other service may be writing the same file meanwhile.
  virtual bool Initialize() = 0;
  virtual void DeleteSymbol(const std::u16string& symbol, BYTE keyFlag) = 0;
  virtual void DeleteSymbols(const std::vector<std::u16string>& symbols, BYTE keyFlag) = 0;
  // Applies one block whose header the caller has read: data is its field-id
  // list, end the end of the octets received. Returns the position just past
  // the block, or null when the rest of the message cannot be read.
  virtual const uint8_t* UpdateData(const uint8_t* data, const uint8_t* end, uint8_t type, uint32_t blocksAmount,
                                    uint8_t fieldsAmount, bool flag) = 0;

  virtual bool Subscribe(const CEventClientPtr& client, const CSymbolKey& key);
  virtual void UnSubscribe(const CEventClientPtr& client, const CSymbolKey& key);
  virtual bool IsSubscribed(const CSymbolKey& key);
  virtual bool IsSubscribedBy(const CEventClientPtr& client, const CSymbolKey& key);
  virtual void RemoveClient(const CEventClientPtr& client);
  virtual bool HasNoSubscribers(const CSymbolKey& key);
  // Appends the client's keys in key order; the list is not cleared first.
  virtual void GetClientSubscriptions(const CEventClientPtr& client, std::vector<CSymbolKey>& keys);
  // Appends every key that some client holds, in key order.
  void GetSubscribedKeys(std::vector<CSymbolKey>& keys);
  // Returns as soon as no database access of any table is in progress.
  virtual bool WaitDatabase();

  // Sends the key's current rows to this one client (a late subscriber).
  virtual void SendCurrentData(const CEventClientPtr& client, const CSymbolKey& key) = 0;

  const std::string& DatabasePath() const { return m_path; }

  // Visits the clients of a key under the subscription lock. The caller may
  // hold the database lock (it comes first in the lock order), and must not
  // take it inside f.
  template <class F>
  void ForEachSubscriber(const CSymbolKey& key, F&& f) {
    orvwin::CritSecLock lock(m_csSubscriptions);
    auto it = m_subscribers.find(key);
    if (it == m_subscribers.end()) return;
    for (const CEventClientPtr& c : it->second) f(c);
  }

  // The same for the key of each of symbols with flag, under one hold of
  // the subscription lock: f(i, clients) for each symbols[i] that somebody
  // holds.
  template <class F>
  void ForEachSubscriberSet(const std::vector<std::string>& symbols, BYTE flag, F&& f) {
    orvwin::CritSecLock lock(m_csSubscriptions);
    if (m_subscribers.empty()) return;
    for (size_t i = 0; i < symbols.size(); ++i) {
      const auto it = m_subscribers.find(CSymbolKey(orvcom::Widen(symbols[i]), flag));
      if (it != m_subscribers.end() && !it->second.empty()) f(i, it->second);
    }
  }

  // Adds a copy of the record to the list of every client of the set, in
  // address order; a client's first record reserves room for 150 records
  // per changed symbol.
  template <class Record>
  static void AppendForSubscribers(const Record& record, const ClientSet& clients,
                                   std::map<CEventClientPtr, std::vector<Record>, LessEventClient>& lists,
                                   size_t changedCount) {
    for (const CEventClientPtr& client : clients) {
      std::vector<Record>& list = lists[client];
      if (list.empty()) {
        const size_t size = 150 * changedCount;
        ORV_LOG(orvlog::kDebug, "Set user vector size = " << size);
        list.reserve(size);
      }
      list.push_back(record);
    }
  }

  // The clients of a key, copied under the subscription lock.
  ClientSet SubscribersOf(const CSymbolKey& key);
  // The symbols of the keys held with the given flag, narrowed, copied
  // under the subscription lock: one look-up per block instead of one per
  // row, when most rows have nobody holding them on their own.
  std::vector<std::string> SubscribedSymbols(BYTE flag);
  // The chains held by a client, whose rows a delete by an option's own key
  // must leave: none unless the key is an option's in an option table.
  std::unordered_set<std::string> ChainsHeld(const std::string& table, BYTE keyFlag);
  // The options held on their own whose rows a delete by `keyFlag` must
  // leave: none unless the key is an underlying's in an option table.
  std::unordered_set<std::string> HeldOnTheirOwn(const std::string& table, BYTE keyFlag);

  // Every access of a table goes through these, so that it takes the lock,
  // sets up its connection and reports its failure one way everywhere.
  //
  // Runs body() and writes the table's error lines for what escapes it, as
  // className::operation() (an unexpected error with tail after the name),
  // the debug line naming the caller's place; false then.
  template <class Body>
  static bool Guarded(const char* className, const char* operation, Body&& body, const char* tail = "",
                      const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    try {
      body();
      return true;
    } catch (const CSqliteException& e) {
      tablelog::SqliteError(className, operation, e, file, line);
    } catch (...) {
      tablelog::UnexpectedError(className, operation, file, line, tail);
    }
    return false;
  }
  // body(db) under the database lock, on a connection to the file at path
  // with "PRAGMA read_uncommitted" run. Exceptions pass to the caller.
  template <class Body>
  static void OnConnection(const std::string& path, Body&& body) {
    CDatabaseLockGuard lock;
    CSqliteDB db;
    try {
      db.Open(path.c_str());
      db.RunCommand("PRAGMA read_uncommitted");
      body(db);
    } catch (const CSqliteException& e) {
      // Every later access would fail the same way: the session is told.
      cachehealth::Note(path, e, db.LastErrorText());
      throw;
    }
  }
  // The same inside one transaction, committed when body returns and rolled
  // back when anything in it throws, so that a block that fails halfway
  // leaves the table as it was. Exceptions pass to the caller.
  template <class Body>
  static void InTransaction(const std::string& path, Body&& body) {
    OnConnection(path, [&](CSqliteDB& db) {
      db.RunCommand("begin transaction;");
      CSqliteTransaction transaction(db);
      body(db);
      transaction.Commit();
    });
  }
  // A guarded InTransaction on this table's file: the writers' one way.
  template <class Body>
  bool WriteTransaction(const char* className, const char* operation, Body&& body,
                        const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    return Guarded(className, operation, [&] { InTransaction(m_path, body); }, "", file, line);
  }
  // Whether select, whose one parameter is a key, finds a row for it; the
  // statement is reset for the next key.
  static bool RowExists(CSqliteStatement& select, const char* key);
  // A guarded OnConnection on this table's file.
  template <class Body>
  bool ReadAccess(const char* className, const char* operation, Body&& body, const char* file = __builtin_FILE(),
                  int line = __builtin_LINE()) {
    return Guarded(className, operation, [&] { OnConnection(m_path, body); }, "", file, line);
  }

 protected:
  // What every Initialize does: empties the table, or creates it from the
  // template createId, then runs index (when not empty); with the trace and
  // error lines of className.
  bool InitializeTable(const char* className, const std::string& table, UINT createId,
                       const std::string& index = std::string(), const char* file = __builtin_FILE(),
                       int line = __builtin_LINE());
  void _DeleteSymbolFromDB(const std::string& table, const std::u16string& symbol, BYTE keyFlag);
  void _DeleteSymbolFromDB(const std::string& table, const std::vector<std::u16string>& symbols, BYTE keyFlag);

  // Posts an event task; true when the pool took it (it then owns the task),
  // false when it refused (the task stays the caller's).
  bool QueueRequest(CWorkerInterface* task) { return m_pool.QueueRequest(task); }
  // The same, replaceable (tests run the tasks at once).
  virtual bool _QueueTask(CWorkerInterface* task) { return QueueRequest(task); }
  // Posts the task through _QueueTask and owns it until the pool takes it: a
  // refused one (or one whose posting throws) is deleted, and with it goes
  // the event it carried; a refusal is logged.
  void PostTask(std::unique_ptr<CWorkerInterface> task);
  // The error line of a refused task, written for the first refusal only: a
  // pool refuses because it never started or is stopping, and either way
  // every later event would add the same line.
  void LogRefusedTask();

 private:
  void RemoveSubscription(const CEventClientPtr& client, const CSymbolKey& key) ORV_REQUIRES(m_csSubscriptions);
  bool IsSubscribedByLocked(const CEventClientPtr& client, const CSymbolKey& key) const
      ORV_REQUIRES(m_csSubscriptions);

  const std::string m_path;
  CEventPool m_pool;
  std::atomic<bool> m_refusalLogged{false};
  // One lock over the three maps, so that a check and the insert it decides
  // on happen as one step.
  CRITICAL_SECTION m_csSubscriptions;
  std::map<CSymbolKey, ClientSet> m_subscribers ORV_GUARDED_BY(m_csSubscriptions);
  std::map<CEventClientPtr, KeySet, LessEventClient> m_keysByClient ORV_GUARDED_BY(m_csSubscriptions);
  std::map<CSymbolKey, int> m_presentKeys ORV_GUARDED_BY(m_csSubscriptions);
};

// A cache table's declarations of the interface above, whose comments state
// the contract; each table's header says only where it answers its own way.
#define ORV_CACHE_TABLE_OVERRIDES                                                                       \
  bool Initialize() override;                                                                           \
  void DeleteSymbol(const std::u16string& symbol, BYTE keyFlag) override;                               \
  void DeleteSymbols(const std::vector<std::u16string>& symbols, BYTE keyFlag) override;                \
  const uint8_t* UpdateData(const uint8_t* data, const uint8_t* end, uint8_t type, uint32_t blocksAmount, \
                            uint8_t fieldsAmount, bool flag) override;                                  \
  void SendCurrentData(const CEventClientPtr& client, const CSymbolKey& key) override;
