// The session of one signed-in user name: the two services' data managers,
// one table object per kind of data over the user's database file, the two
// pull threads that feed the tables, and the subscriptions forwarded to the
// services on behalf of the user's clients.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
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
#include "server/BraskOrvEntTypes.h"
#include "server/Records.h"
#include "win/windows.h"
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

  // The reference is duplicated in place of the session's own, which is
  // released; nil leaves the session without that service.
  void SetDataServer(Orv::ZmDataManager_ptr server);
  void SetFuturesServer(Orv::ZmDataManager_ptr server);
  // Not duplicated: the caller must not release them.
  Orv::ZmDataManager_ptr GetDataServer() const { return m_dataServer.in(); }
  Orv::ZmDataManager_ptr GetFuturesServer() const { return m_futuresServer.in(); }

  // The password that a side's service accepted, kept as a salted digest:
  // a later sign-in onto the session with another password is refused
  // without asking the service.
  void SetSignInPassword(bool futures, const std::string& password);
  bool IsSignInPassword(bool futures, const std::string& password) const;

  // Create the tables of the equities (futures) side that are not there
  // yet, start that side's pull thread once, and register its fields.
  bool Initialize();
  bool FutsInitialize();

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

  void _StartPullThread(bool futures);
  void _StopPullThread(PullThread& t, const char* text);
  void _PullLoop(bool futures, Orv::ZmDataManager_var server);
  // One polled pull; false when a stop was asked for while it waited.
  bool _Pull(Orv::ZmDataManager_ptr server, CORBA::Any_var& reply);
  // Steps over a block that no table takes; null ends the message.
  const uint8_t* _SkipBlock(const BlockHeader& header, const uint8_t* body, const uint8_t* end);
  // Waits up to ms for a stop; true when one was asked for.
  bool _WaitForStop(DWORD ms);
  bool _StopRequested();

  void _Subscribe(const std::u16string& symbol, int kind, int symbolType);
  void _UnSubscribe(const std::u16string& symbol, int kind, int symbolType);
  void _SubscribeGroup(const std::vector<std::string>& symbols, int kind, int symbolType);
  void _UnSubscribeGroup(const std::vector<std::string>& symbols, int kind, int symbolType);
  void _UnSubscribeList(const std::vector<std::u16string>& symbols, int kind, int symbolType);
  void _RegisterServerFileds(int kind);
  void LogServerError(int expected, int status, const std::string& context, bool writeToLog);
  // A direct kind leaves out the types it shares with the ordinary table of
  // its side while that table still holds the key.
  bool _SharedTypeStillHeld(int kind, int type, const CSymbolKey& key);

  const std::u16string m_userName;
  std::string m_path;
  Orv::ZmDataManager_var m_dataServer;
  Orv::ZmDataManager_var m_futuresServer;
  PasswordHash m_password;
  PasswordHash m_futPassword;

  // The futures sign-in enters tables while the equities pull thread looks
  // kinds up; tables are only ever added until the destructor.
  CRITICAL_SECTION m_csTables;
  TableMap m_tables;
  // Held through each public subscription operation, after the API lock
  // and before the database lock.
  CRITICAL_SECTION m_csSubscriptions;

  // The session's own stop, set by the destructor: the process-wide stop
  // event is set only when the program ends.
  HANDLE m_stop;
  PullThread m_pull;
  PullThread m_futPull;
};
