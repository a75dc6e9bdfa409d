// The session of one signed-in user name: the two services' data managers,
// one table object per kind of data over the user's database file, the two
// pull threads that feed the tables, and the subscriptions forwarded to the
// services on behalf of the user's clients.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "feed/CEventClient.h"
#include "feed/CLiteDB.h"
#include "feed/CSymbolKey.h"
#include "feed/MessageFormat.h"
#include "feed/PasswordHash.h"
#include "feed/RequestSnapshot.h"
#include "server/contract/BraskOrvEntTypes.h"
#include "server/contract/Records.h"
#include "platform/win/windows.h"
#include "zmdataservice410.hh"

class CStocksDB;

// DataTypeEnum and SymbolTypeEnum are the type library's: the kinds of
// data key the table map; enIVATMData has no table, being computed.

// The kind whose table takes blocks of a message type; -1 for a type that
// no table takes (among them the interest-rate and volatility types, which
// only synchronous requests use).
int KindOfMessageType(int type);

// The kinds that the futures service serves.
inline bool IsFuturesKind(int kind) { return kind >= enFutureData && kind <= enFutIVSurfaceData; }

class CDataHolder {
 public:
  // An empty user name is refused with an automation error: it has no
  // database file of its own. The user's database file is deleted, so that
  // no session sees rows of an earlier run.
  CDataHolder(const std::u16string& userName, Orv::ZmDataManager_ptr dataServer,
              Orv::ZmDataManager_ptr futuresServer);
  CDataHolder(const CDataHolder&) = delete;
  CDataHolder& operator=(const CDataHolder&) = delete;
  // Asks both pull threads to stop, waits up to 1000 ms for each (logging
  // the ones that have not ended by then), joins them, then deletes the
  // tables in ascending kind.
  virtual ~CDataHolder();

  // The reference is duplicated in place of the session's own; nil leaves
  // the session without that service.
  void SetDataServer(Orv::ZmDataManager_ptr server);
  void SetFuturesServer(Orv::ZmDataManager_ptr server);
  // Not duplicated: the caller must not release them. A manager replaced
  // by a rebuild stays referenced until the session ends, so a pointer
  // read here stays valid.
  Orv::ZmDataManager_ptr GetDataServer() const { return _Server(false); }
  Orv::ZmDataManager_ptr GetFuturesServer() const { return _Server(true); }
  // Forgets a side's manager, so that the next sign-in of the side sets it
  // up again.
  void DropServer(bool futures);

  // The password that a side's service accepted, kept as a salted digest:
  // a later sign-in onto the session with another password is refused
  // without asking the service.
  void SetSignInPassword(bool futures, const std::string& password);
  bool IsSignInPassword(bool futures, const std::string& password) const;

  // Create the tables of the equities (futures) side that are not there
  // yet, start that side's pull thread once, and register its fields.
  // False on a failure, whose text SetUpError then holds.
  bool Initialize();
  bool FutsInitialize();
  const std::string& SetUpError() const { return m_setUpError; }

  // How a side signs in again once its service is lost: resolve the root,
  // then a data manager signed in on it with the credentials, compression
  // mode and protocol version of the side's first sign-in. Both raise on
  // failure.
  struct Reconnector {
    std::function<Orv::ZmDataService_ptr()> resolve;
    std::function<Orv::ZmDataManager_ptr(Orv::ZmDataService_ptr)> signIn;
  };
  void SetReconnector(bool futures, Reconnector reconnector);

  // Whether an exception says that a service or its data manager is gone
  // (the service restarted, or it cannot be reached): the side must then
  // be rebuilt on a new manager.
  static bool IsServiceLost(const CORBA::SystemException& e);
  // Marks the side lost; its pull thread rebuilds it: a new manager, the
  // fields registered, every key that a client holds subscribed again,
  // tried again after a growing pause until the service answers or the
  // session ends. Rows already cached stay until fresh ones replace them.
  void NoteServiceLost(bool futures);
  bool IsRebuilding(bool futures) const;
  // One try of the rebuild of a lost side now, on the caller's thread (a
  // client's sign-in joins the rebuild this way rather than skip it); the
  // try's failure is raised. Nothing to do for a side that is not lost.
  void RebuildNow(bool futures);
  // The pause after the first failed try, doubled after each further one
  // up to maxMs. 1000 and 30000 unless changed (tests shorten them).
  static void SetRebuildPauses(DWORD firstMs, DWORD maxMs);

  // The table of a kind; an absent kind raises "Unknown message type %d.".
  CLiteDB* GetStorage(int kind);
  // The same, null for an absent kind.
  CLiteDB* FindStorage(int kind);

  // Getters: local rows first, else a snapshot of the service. Nothing
  // (and no memory statistics) while the data server is nil.
  // symbolType is the client's: enOption reads by option symbol (by future
  // for the futures), any other value by underlying (by root).
  void GetStocks(const std::u16string& symbol, std::vector<StockRecord>& records, bool direct);
  void GetOptions(const std::u16string& symbol, int symbolType, std::vector<OptionRecord>& records, bool direct);
  void GetNstdOptions(const std::u16string& symbol, int symbolType, std::vector<NstdOptionRecord>& records);
  void GetIVIndexes(const std::u16string& symbol, std::vector<IVIndexRecord>& records);
  void GetIVSurfaces(const std::u16string& symbol, std::vector<IVSurfaceRecord>& records);
  void GetFutures(const std::u16string& symbol, std::vector<FutureRecord>& records);
  void GetFuturesByRoot(const std::u16string& symbol, int symbolType, std::vector<FutureRecord>& records);
  void GetFutOptions(const std::u16string& symbol, int symbolType, std::vector<OptionRecord>& records);
  void GetFutIVIndexes(const std::u16string& symbol, std::vector<IVIndexRecord>& records);
  void GetFutIVSurfaces(const std::u16string& symbol, std::vector<IVSurfaceRecord>& records);
  // Never stored: always a request to the data server.
  void GetInterestRates(const std::u16string& currency, std::vector<InterestRateRecord>& records);
  void GetHV(const std::u16string& symbol, std::vector<HVRecord>& records);
  // At-the-money volatility per expiration, worked out from the cached
  // stock and option rows of the side (direct or not).
  void GetATM(const std::u16string& symbol, std::vector<IVATMRecord>& records, bool direct);

  bool IsSymbolSubscribed(const CEventClientPtr& client, const std::u16string& symbol, int kind, int symbolType);

  // Synchronous refreshes of one stock from the data server into the stock
  // table; false without a data server. A session with a data server but no
  // stock table raises "Unknown message type 0." as GetStorage does.
  bool UpdateEquityBase(const std::u16string& symbol);
  bool UpdateEquityQuote(const std::u16string& symbol);
  // The same for the options of the key (symbol, flag) into the option
  // table (kind 1).
  bool UpdateOptionBase(const std::u16string& symbol, bool flag);
  bool UpdateOptionQuote(const std::u16string& symbol, bool flag);
  bool UpdateOptionAD(const std::u16string& symbol, bool flag);

  void DumpMemoryStatus();

  // Subscriptions. Each runs under the session's subscription lock, so that
  // a client's release racing another client's subscribe cannot leave a
  // recorded client that the service no longer feeds.
  void Subscribe(const CEventClientPtr& client, const std::u16string& symbol, int kind, int symbolType);
  void UnSubscribe(const CEventClientPtr& client, const std::u16string& symbol, int kind, int symbolType);
  void SubscribeAll(const CEventClientPtr& client, int kind);
  void UnSubscribeAll(const CEventClientPtr& client, int kind);
  // A released client: every key it holds in the kinds goes from the
  // tables at once; the service is told after, without the subscription
  // lock, in groups and within one ServerTimeout in all (what is left then
  // goes to the rebuild of the side). Failures are logged, not raised.
  void ReleaseClient(const CEventClientPtr& client, const std::vector<int>& kinds);
  // Refuses more than 1000 symbols (CORBA::BAD_PARAM) before any
  // bookkeeping.
  void SubscribeGroup(const CEventClientPtr& client, const std::vector<std::string>& symbols, int kind,
                      int symbolType);

  // Writes one synchronous reply into the tables (unpacked first when
  // compression is on).
  void ApplyServerData(const CORBA::Any* reply);
  // Walks one unpacked message of length octets.
  void _UpdateLocalStorage(const uint8_t* message, size_t length, bool flag);

  const std::u16string& UserName() const { return m_userName; }
  const std::string& DatabasePath() const { return m_path; }

 private:
  typedef std::map<int, std::unique_ptr<CLiteDB>> TableMap;

  struct PullThread {
    std::thread thread;
    HANDLE ended = nullptr;  // set by the thread as it leaves
    bool started = false;
  };

  // Enters a table under the map lock unless its kind is already present;
  // returns the table that the map holds for the kind.
  CLiteDB* _AddStorage(int kind, std::unique_ptr<CLiteDB> table);
  // Makes, initialises and waits for the (kind, maker) tables, given in
  // ascending kind, whose kind is not present yet.
  template <class Make>
  void _CreateTables(const std::vector<std::pair<int, Make>>& tables);
  // Requests one snapshot from the data server and writes it into the
  // tables, as a pull would; false without a data server or without a table
  // of class Table as kind.
  template <class Table>
  bool _Refresh(const char* name, int kind, SnapshotKind snapshot, const CSymbolKey& key);
  // Runs a getter's table operation when the kind's server is set and its
  // table is of class Table; ends with the memory statistics.
  template <class Table, class Read>
  void _Get(int kind, Read&& read);
  Orv::ZmDataManager_ptr _ServerOfKind(int kind) const;

  struct Side {
    Reconnector reconnector;
    std::atomic<bool> lost{false};
    // Bumped at each change of the side's manager, under m_csServers: the
    // pull thread takes a new reference of its own when it moves.
    unsigned long generation = 0;
    // Set when another thread finished the side's rebuild: the pull thread
    // leaves its pause between tries at once.
    HANDLE wake = nullptr;
  };
  Side& _Side(bool futures) { return futures ? m_futuresSide : m_equitySide; }
  Orv::ZmDataManager_ptr _Server(bool futures) const;
  unsigned long _Generation(bool futures) const;
  void _SetServer(bool futures, Orv::ZmDataManager_ptr server);
  // Sends Disconnect to the side's replaced managers; on the side's pull
  // thread, outside every lock. Failures are only logged.
  void _SignOffReplaced(bool futures);

  // Retries the rebuild of a lost side with the growing pause; false when a
  // stop was asked for first.
  bool _RebuildLoop(bool futures);
  // One try; raises its failure.
  void _TryRebuild(bool futures);
  // Runs one remote call of a side, unless the side is lost; a call that
  // finds the service gone marks the side lost. True when the call ran;
  // false when it was left to the rebuild, which subscribes every key the
  // tables hold.
  template <class F>
  bool _RemoteCall(bool futures, F&& call);

  // Run by each pull thread between its pulls: a cache file that the
  // tables found unusable is replaced by a fresh one (the cache starts
  // empty at every session start anyway), and each side then fetches the
  // current data of every key its clients hold into it.
  void _RenewCacheIfBroken(bool futures);
  void _FetchHeldData(bool futures);
  void _FetchCurrentData(CLiteDB* table, int kind, const CSymbolKey& key, Orv::ZmDataManager_ptr server);

  void _StartPullThread(bool futures);
  void _StopPullThread(PullThread& t, const char* name);
  void _PullLoop(bool futures);
  enum class PullResult { kReply, kStop, kLost };
  // One polled pull; it is given up when a stop is asked for or the side
  // is marked lost while it waits.
  PullResult _Pull(bool futures, Orv::ZmDataManager_ptr server, CORBA::Any_var& reply);
  // Steps over a block that no table takes; null ends the message.
  const uint8_t* _SkipBlock(const BlockHeader& header, const uint8_t* body, const uint8_t* end);
  // Waits up to ms for a stop, or less when the side's pull thread is
  // woken; true when a stop was asked for.
  bool _WaitForStop(bool futures, DWORD ms);
  bool _StopRequested();

  void _Subscribe(const std::u16string& symbol, int kind, int symbolType);
  void _UnSubscribe(const std::u16string& symbol, int kind, int symbolType);
  void _SubscribeGroup(const std::vector<std::string>& symbols, int kind, int symbolType);
  // futuresInGroups: the futures kinds in group calls too (a release).
  void _UnSubscribeGroup(const std::vector<std::string>& symbols, int kind, int symbolType,
                         bool futuresInGroups = false);
  // The symbol type for a group call that subscribes a held key again:
  // the one that gives the server symbol type its first subscription sent.
  int _GroupSymbolType(int kind, const CSymbolKey& key) const;
  // Under the subscription lock: what a key's first subscription sent, and
  // its end once no client holds the key.
  void _NoteKeySubscribed(int kind, const CSymbolKey& key, int groupSymbolType);
  void _ForgetKey(int kind, const CSymbolKey& key);
  void _UnSubscribeList(const std::vector<std::u16string>& symbols, int kind, int symbolType);
  void _RegisterServerFileds(int kind);
  void LogServerError(int expected, int status, const std::string& context, bool writeToLog);
  // A direct kind leaves out the types it shares with the ordinary table of
  // its side while that table still holds the key.
  bool _SharedTypeStillHeld(int kind, int type, const CSymbolKey& key);

  const std::u16string m_userName;
  std::string m_path;
  // Guards the two managers and the sides' generations: a rebuild swaps a
  // manager while the call threads read it.
  mutable CRITICAL_SECTION m_csServers;
  Orv::ZmDataManager_var m_dataServer;
  Orv::ZmDataManager_var m_futuresServer;
  PasswordHash m_password;
  PasswordHash m_futPassword;
  std::vector<Orv::ZmDataManager_var> m_retiredServers;
  // Replaced managers of each side not yet signed off at their service:
  // the service keeps a manager, with all it subscribed, until then.
  std::vector<Orv::ZmDataManager_var> m_toSignOff[2];
  Side m_equitySide;
  Side m_futuresSide;
  // One try of a rebuild at a time: the pull thread's and a sign-in's.
  std::mutex m_rebuildMutex;
  std::string m_setUpError;
  // The renewals of the cache file, and the last one each side has fetched
  // its keys' data for.
  std::mutex m_cacheMutex;
  unsigned long m_cacheGeneration = 0;
  unsigned long m_cacheFetched[2] = {0, 0};
  bool m_cacheRenewalFailed = false;

  // The futures sign-in enters tables while the equities pull thread looks
  // kinds up; tables are only ever added until the destructor.
  CRITICAL_SECTION m_csTables;
  TableMap m_tables;
  // Tables of a set-up that failed, out of the map until the session ends.
  std::vector<std::unique_ptr<CLiteDB>> m_retiredTables;
  // Held through each public subscription operation, after the API lock
  // and before the database lock.
  CRITICAL_SECTION m_csSubscriptions;
  // (kind, key) to the symbol type that subscribes the key again in a
  // group, for keys whose first subscription sent another server symbol
  // type than their flag alone says (an enNstdOption underlying, say).
  std::map<std::pair<int, CSymbolKey>, int> m_groupTypes;

  // The session's own stop, set by the destructor: the process-wide stop
  // event is set only when the program ends.
  HANDLE m_stop;
  PullThread m_pull;
  PullThread m_futPull;
};
