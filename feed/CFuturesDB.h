// The futures contracts of one user session: the table "futures", fed by
// T_FUTURE_BASE blocks (new contracts) and T_FUTURE_QUOTE blocks (prices of
// known ones). After a quote block every future of each root it touched is
// read back and sent, per subscribed client, as one futures event.
//
// A key with its flag set names a root, a key with the flag clear names one
// future: the session subscribes the services that way, and the table
// reads, announces and deletes by the same rule.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "feed/CLiteDB.h"
#include "server/contract/Records.h"
#include "zmdataservice410.hh"

class CFuturesDB : public CLiteDB {
 public:
  // One future as the blocks of one call gave it; the texts stay narrow
  // until a caller needs the record.
  struct BlockRecord {
    FutureRecord record;  // its strings stay null
    std::string symbol, root;
    std::string bidExchange, askExchange, lastExchange;
    FutureRecord ToFutureRecord() const;
  };
  // Records of one call by future symbol: the fields of one future merge, a
  // later value over an earlier one, and the writers walk them in order.
  typedef std::map<std::string, BlockRecord> BlockMap;
  typedef std::map<CEventClientPtr, std::vector<FutureRecord>, LessEventClient> ClientEvents;

  // direct is only handed on to the event tasks.
  explicit CFuturesDB(const std::string& databasePath, bool direct = false);
  ~CFuturesDB() override;

  bool Initialize() override;
  // A flag set deletes the root's futures, a flag clear the one future.
  void DeleteSymbol(const std::u16string& symbol, BYTE keyFlag) override;
  void DeleteSymbols(const std::vector<std::u16string>& symbols, BYTE keyFlag) override;
  const uint8_t* UpdateData(const uint8_t* data, const uint8_t* end, uint8_t type, uint32_t blocksAmount,
                            uint8_t fieldsAmount, bool flag) override;
  void SendCurrentData(const CEventClientPtr& client, const CSymbolKey& key) override;

  // Applies one block. A quote block adds the roots it touched to roots
  // (kept distinct; the list is the caller's and is not emptied) and then
  // sends events for every root in it. flag is not used. Returns the
  // position just past the block, or null when the rest of the message
  // cannot be read.
  virtual const uint8_t* UpdateData(const uint8_t* data, const uint8_t* end, uint8_t type, uint32_t blocksAmount,
                                    uint8_t fieldsAmount, bool flag, std::vector<std::string>& roots);

  // The key's rows; with none (or for the empty symbol, which always asks
  // the service) base and quote snapshots from the futures service, merged
  // by symbol and not stored. CORBA exceptions pass to the caller.
  void GetMarketData(const CSymbolKey& key, Orv::ZmDataManager_ptr service, std::vector<FutureRecord>& out);
  // Stores the futures of a T_FUTURE_BASE snapshot that have no row yet.
  // The reply (which may be null) stays the caller's.
  void ApplyBaseReply(const CORBA::Any* reply);

  // Adds the distinct non-empty roots of the map to list, in map order.
  static void CollectRoots(std::vector<std::string>& list, const BlockMap& map);

 protected:
  const uint8_t* _ParseFutureBase(const uint8_t* data, const uint8_t* end, uint32_t blocksAmount,
                                  uint8_t fieldsAmount, BlockMap& map);
  const uint8_t* _ParseFutureQuote(const uint8_t* data, const uint8_t* end, uint32_t blocksAmount,
                                   uint8_t fieldsAmount, BlockMap& map);
  void _UpdateFutureBase(const BlockMap& map);
  void _UpdateFutureQuote(const BlockMap& map);
  void _InitializeEvents(const std::vector<std::string>& roots);
  void _RequestDB(const CSymbolKey& key, std::vector<FutureRecord>& out);
  void _SendEvent(const CEventClientPtr& client, const std::vector<FutureRecord>& records);

 private:
  void _ReadSnapshot(const CORBA::Any* reply, bool quote, BlockMap& map);

  const BYTE m_direct;
};
