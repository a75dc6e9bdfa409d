// One data manager: a signed-in client's subscriptions, registered fields,
// compression and protocol choice, and the queue its pulls drain.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "SimServer.h"

namespace orvsim {

class ManagerServant : public POA_Orv::ZmDataManager {
 public:
  ManagerServant(SimServer* server, Side side, long id);
  long Id() const { return id_; }
  Side GetSide() const { return side_; }

  // Called by the server: queue this tick's updates; wake pulls.
  void OnTick();
  void Wake();
  void Drop();
  void EnqueueRaw(std::vector<uint8_t> bytes);
  // What the control interface shows of this manager.
  void Describe(OrvSim::ManagerKeys& out) const;

  CORBA::Short Connect(const char* user, const char* password) override;
  CORBA::Short SecureConnect(const char* user, const char* password) override;
  CORBA::Short Disconnect() override;
  CORBA::Boolean IsConnected() override;
  char* GetSessionID() override;
  SE::SEDBQuery_ptr CreateQuery() override;
  SE::SEViewsManager_ptr CreateViewsManager() override;
  CORBA::Any* try_pull() override;
  CORBA::Any* pull(CORBA::Long waitMs) override;
  void obj_pull(Orv::ZmObserver_ptr observer) override;
  void observer_pull() override;
  CORBA::Any* strict_pull() override;
  CORBA::Short SetCompressionMode(CORBA::Short mode) override;
  CORBA::Short GetCompressionMode() override;
  CORBA::Short SetProtocolVersion(CORBA::Short version) override;
  CORBA::Short GetProtocolVersion() override;
  CORBA::Any* GetMarketData(const char* symbol, CORBA::Short symbolType, CORBA::Short dataType,
                            const CORBA::Any& fields) override;
  CORBA::Any* GetMarketDataGroup(const CORBA::Any& symbols, CORBA::Short symbolType,
                                 CORBA::Short dataType, const CORBA::Any& fields) override;
  CORBA::Any* GetMarketDataAll(CORBA::Short dataType, const CORBA::Any& fields) override;
  CORBA::Boolean IsMarketStructureChanged() override;
  CORBA::Short ReloadMarketStructure() override;
  CORBA::Boolean IsMarketActive() override;
  CORBA::Boolean GetMarketStructureChangedStatus() override;
  void ResetMarketStructureChangedStatus() override;
  CORBA::Short Subscribe(const char* symbol, CORBA::Short symbolType,
                         CORBA::Short dataType) override;
  CORBA::Short SubscribeGroup(const CORBA::Any& symbols, CORBA::Short symbolType,
                              CORBA::Short dataType) override;
  CORBA::Short SubscribeAll(CORBA::Short dataType) override;
  CORBA::Short UnSubscribe(const char* symbol, CORBA::Short symbolType,
                           CORBA::Short dataType) override;
  CORBA::Short UnSubscribeGroup(const CORBA::Any& symbols, CORBA::Short symbolType,
                                CORBA::Short dataType) override;
  CORBA::Short UnSubscribeAll(CORBA::Short dataType) override;
  CORBA::Short ValidateUser(const char* user, const char* password, CORBA::Any_out info) override;
  CORBA::Short ValidateType(const char* user, CORBA::Short dataType) override;
  CORBA::Short ValidateSubscription(const char* user, const char* symbol,
                                    CORBA::Short dataType) override;
  CORBA::Short ValidateSubscription2(const char* user, CORBA::Short symbolType, const char* symbol,
                                     CORBA::Short dataType) override;
  CORBA::Any* GetValidFields(const char* user, CORBA::Short dataType) override;
  CORBA::Any* GetValidStocks(const char* user) override;
  CORBA::Any* GetValidStocks2(const char* user, CORBA::Short symbolType) override;
  CORBA::Any* ValidateStocksGroup(const char* user, const CORBA::Any& symbols,
                                  CORBA::Short symbolType) override;
  CORBA::Short RegisterFields(CORBA::Short dataType, const CORBA::Any& fields) override;
  CORBA::Short RegisterAllFields(CORBA::Short dataType) override;
  CORBA::Short UnRegisterFields(CORBA::Short dataType, const CORBA::Any& fields) override;
  CORBA::Short UnRegisterAllFields(CORBA::Short dataType) override;
  CORBA::Any* GetRegisteredFields(CORBA::Short dataType) override;
  CORBA::Short RegisterCallBack(Orv::ZmDataClient_ptr client) override;
  CORBA::Boolean IsCallBackRegistered() override;
  CORBA::Short UnRegisterCallBack() override;
  void UpdateStorage(CORBA::Short dataType, const CORBA::Any& key,
                     const CORBA::Any& data) override;
  CORBA::Short InsertRows(const CORBA::Any& rows) override;
  CORBA::Short DeleteRowsByKey(CORBA::Short dataType, CORBA::Short symbolType,
                               const char* symbol) override;

 private:
  // Row lists are shared, not copied: in a load-test market one list of
  // every option is large, and every manager that subscribes everything
  // queues it again at each tick.
  using Rows = std::shared_ptr<const std::vector<RowRef>>;
  struct Item {
    int type;
    Rows rows;
    size_t pos = 0;
    bool update = false;
  };
  using Key = std::tuple<int, std::string, int>;  // type, symbol, symbol type

  const TypeInfo* OwnType(int type) const;
  std::vector<uint8_t> FieldsFor(int type) const;  // mu_ held
  int16_t SubscribeKeys(int type, const std::vector<std::string>& symbols, int stype);
  int16_t UnsubscribeKeys(int type, const std::vector<std::string>* symbols, int stype);
  void RebuildRows(int type);     // mu_ held
  void FilterPending(int type);   // mu_ held
  bool HasDataLocked() const;     // mu_ held
  CORBA::Any* BuildPullReply(size_t* records);  // mu_ held
  CORBA::Any* Snapshot(const std::string& symbol, int stype, int type, const CORBA::Any& fields,
                       bool all, std::string* result);

  SimServer* server_;
  const Side side_;
  const long id_;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool connected_ = false;
  int pulling_ = 0;
  double lastPull_ = 0;
  bool dropped_ = false;
  std::string user_;
  int compression_ = 0;
  int protocol_ = 0;
  std::map<int, std::vector<uint8_t>> fields_;
  std::map<Key, std::vector<RowRef>> keys_;
  std::map<int, bool> all_;
  std::map<int, Rows> rows_;  // union of the keys per type, sorted; never empty
  std::deque<Item> pending_;
  std::deque<std::vector<uint8_t>> raw_;
};

// Builds a reply any holding the octets, ZIP-wrapped when asked.
CORBA::Any* MakeReplyAny(const std::vector<uint8_t>& bytes, bool zip);

}  // namespace orvsim
