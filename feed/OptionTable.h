// What the three option tables (equity options, non-standard options and
// options on futures) share: one table of 27 option columns (the
// non-standard one adds root_id), keyed by option symbol and indexed by the
// underlying column, fed by base, quote and analytics blocks, read back per
// underlying for the events of each subscribed client. A traits class gives
// what differs: the record, the statements, the block types and the cursor
// and task that carry an event.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "feed/CLiteDB.h"
#include "feed/RequestSnapshot.h"
#include "zmdataservice410.hh"

class CWorkerInterface;

// What a block type does to an option table.
struct OptionBlockStep {
  enum Writer : uint8_t { kNone, kBase, kQuote, kAnalytics };
  Writer writer = kNone;  // kNone: the table does not read this type
  bool events = false;    // re-read the touched underlyings and send events
};

// One snapshot request of GetMarketData, and the trace line written after
// it (null for none).
struct OptionSnapshot {
  SnapshotKind kind;
  const char* doneLine;
};

// The names that the log lines of the option tables give their readers and
// writers (the non-standard table's say so), and the lines that only some
// tables write; a table's traits derive from it and set what differs.
template <bool kNonStandard = false>
struct OptionTableLogNames {
  static constexpr const char* kBaseWriter = kNonStandard ? "_UpdateNstdOptionBase" : "_UpdateOptionBase";
  static constexpr const char* kQuoteWriter = kNonStandard ? "_UpdateNstdOptionQuote" : "_UpdateOptionQuote";
  static constexpr const char* kAnalyticsWriter = kNonStandard ? "_UpdateNstdOptionAD" : "_UpdateOptionAD";
  static constexpr const char* kBaseReader = kNonStandard ? "_ParseNstdOptionBase" : "_ParseOptionBase";
  static constexpr const char* kQuoteReader = kNonStandard ? "_ParseNstdOptionQuote" : "_ParseOptionQuote";
  static constexpr const char* kAnalyticsReader = kNonStandard ? "_ParseNstdOptionAD" : "_ParseOptionAD";
  static constexpr bool kFutureOptionLines = false;
  static constexpr const char* kAddedLine = nullptr;
};

template <class Traits>
class COptionTable : public CLiteDB {
 public:
  typedef typename Traits::Record Record;
  // Records of one call, by option symbol: the fields of one option merge, a
  // later value over an earlier one, and the writers walk them in symbol
  // order.
  typedef std::map<std::string, Record> BlockMap;
  typedef std::map<CEventClientPtr, std::vector<Record>, LessEventClient> ClientEvents;

  ~COptionTable() override;

  // Initialize: empties the table (or creates it) and makes sure its index
  // exists; false when the database could not be prepared. UpdateData: flag
  // is not used; null for a type this table does not read or a block that
  // cannot be read. SendCurrentData: an empty event too, so that the client
  // learns that nothing is cached.
  ORV_CACHE_TABLE_OVERRIDES

  // The rows of the key (by option when its flag is set, else by
  // underlying). When the table cannot serve them (an empty symbol, fewer
  // than 50 rows, or a first row without a bid yet) the answer is the
  // service's snapshot alone, in symbol order, and is not stored. CORBA
  // exceptions of the requests pass to the caller.
  void GetMarketData(const CSymbolKey& key, Orv::ZmDataManager_ptr service, std::vector<Record>& out);

  bool IsDirect() const { return m_direct; }
  const std::string& TableName() const { return m_table; }

  // Fewer rows than this, for one key, and the service is asked instead.
  static constexpr size_t kMinCachedRows = 50;
  // Above this many changed underlyings one scan of the whole table is
  // cheaper than a query per underlying.
  static constexpr size_t kManyUnderlyings = 100;

 protected:
  COptionTable(const std::string& databasePath, std::string table, std::string indexName, bool direct);

  // Reads one block of the given type into the map; null when it cannot be
  // read (nothing is then in the map from it).
  const uint8_t* _ParseBlock(uint8_t type, const uint8_t* data, const uint8_t* end, uint32_t blocksAmount,
                             uint8_t fieldsAmount, BlockMap& map);
  // Inserts the options that have no row yet; base data never overwrites.
  void _UpdateBase(const BlockMap& map);
  // Quote (and, where the block carries them, analytics) columns of the
  // options that have a row; options without one change nothing.
  void _UpdateQuote(const BlockMap& map);
  void _UpdateAnalytics(const BlockMap& map);
  // The distinct underlyings of the map, sorted, without the empty one.
  static std::vector<std::string> CollectUnderlyings(const BlockMap& map);
  // Re-reads every option of the given (sorted) underlyings and sends each
  // subscribed client its events: first to the clients of an underlying,
  // then to the clients of single options.
  void _InitializeEvents(const std::vector<std::string>& underlyings);
  void _RequestDB(const CSymbolKey& key, std::vector<Record>& out);
  void _SendEvent(const CEventClientPtr& client, std::vector<Record> records);
  // Stores the options of a base snapshot that have no row yet. The reply
  // (which may be null) stays the caller's.
  void _ApplyBaseReply(const CORBA::Any* reply);

  // Posts an event task; false when the pool refused it (the task is then
  // still the caller's).
  bool _QueueTask(CWorkerInterface* task) override { return QueueRequest(task); }

 private:
  // Reads every block of a snapshot reply up to its last one into map.
  void _ReadSnapshot(const CORBA::Any* reply, uint8_t type, BlockMap& map);

  const bool m_direct;
  const std::string m_table;
  const std::string m_indexName;
};
