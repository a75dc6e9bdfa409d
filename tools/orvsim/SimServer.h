// The servants of orvsim: the two root objects, their data managers and the
// control object, over one shared market model.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "MarketModel.h"
#include "MessageTypes.h"
#include "OrvSimControl.hh"
#include "zmdataservice410.hh"

namespace orvsim {

struct ServerOptions {
  ModelOptions model;
  std::vector<std::pair<std::string, std::string>> credentials;  // user, password
  size_t maxSubscriptions = 100000;  // per manager, counted in (type, symbol, symbol type) keys
  size_t maxReplyBytes = 1 << 20;    // a pull reply is cut into further pulls beyond this
  double ticksPerSecond = 1.0;       // 0: the market moves only on PublishNow
};

const char* ServiceName(Side side);  // "ZmDataService" or "ZmDataBroker"

// Every call received, for the control interface; the last kMax are kept.
class CallJournal {
 public:
  static constexpr size_t kMax = 100000;
  void Add(double time, long manager, Side side, const char* op, std::string args,
           std::string result);
  OrvSim::Journal* Read(uint32_t fromSeq) const;

 private:
  struct Entry {
    uint32_t seq;
    double time;
    long manager;
    Side side;
    const char* op;
    std::string args, result;
  };
  mutable std::mutex mu_;
  std::deque<Entry> entries_;
  uint32_t next_ = 1;
};

class ManagerServant;

class SimServer {
 public:
  SimServer(const ServerOptions& opt, PortableServer::POA_ptr managersPoa);
  ~SimServer();

  void StartPublisher();
  // Wakes every waiting pull and stops the publisher; the ORB is shut down
  // by the caller afterwards.
  void Stop();
  bool Stopping() const { return stopping_.load(); }

  // Root object side.
  Orv::ZmDataManager_ptr NewManager(Side side, long* id = nullptr);
  bool CheckCredentials(const std::string& user, const std::string& password) const;

  // Market access. Select takes the model lock itself; encoders hold
  // ModelLock() (shared) while they read rows.
  bool Select(int type, const std::string& symbol, int stype, std::vector<RowRef>& out) const;
  // Every record of a type, made once and shared by all who subscribe the
  // whole type (the universe does not change while the service runs).
  std::shared_ptr<const std::vector<RowRef>> AllRows(int type);
  std::shared_mutex& ModelLock() const { return modelMu_; }
  const MarketModel& Model() const { return model_; }
  void Tick(long ticks);

  // Control.
  void EnqueueRaw(long manager, std::vector<uint8_t> bytes, bool zip);  // throws BAD_PARAM
  bool TakeGlobalRaw(std::vector<uint8_t>& out);
  bool HasGlobalRaw() const;
  void InjectStatus(const std::string& op, int type, int status, long count);
  void ClearInjections();
  bool TakeInjected(const char* op, int type, int16_t* status);
  void SetStall(bool stall);
  bool Stalled() const { return stalled_.load(); }
  long DropAll();
  OrvSim::Stats Stats() const;
  // Sets a value of the market and queues every subscriber's records; an
  // error text, empty on success.
  std::string PublishValue(const std::vector<std::string>& name, double value);
  std::string Describe() const;
  // Keys a manager may hold: the option's, unless a test set another.
  size_t SubscriptionLimit() const;
  void SetSubscriptionLimit(size_t keys) { subscriptionLimit_ = keys; }
  OrvSim::Subscriptions* ReadSubscriptions();

  CallJournal& Journal() { return journal_; }
  const ServerOptions& Options() const { return opt_; }

  // Counters for the load figures.
  void PullStarted();
  void PullEnded() { --pullsInProgress_; }
  void CountSent(uint64_t records, uint64_t bytes) {
    recordsSent_ += records;
    bytesSent_ += bytes;
  }

 private:
  void PublisherLoop();
  void ForEachManager(const std::function<void(ManagerServant&)>& fn);

  ServerOptions opt_;
  PortableServer::POA_var poa_;
  mutable std::shared_mutex modelMu_;
  MarketModel model_;
  CallJournal journal_;

  std::mutex allRowsMu_;
  std::map<int, std::shared_ptr<const std::vector<RowRef>>> allRows_;

  mutable std::mutex managersMu_;
  std::map<long, ManagerServant*> managers_;  // each holds one servant reference
  long nextManager_ = 1;

  mutable std::mutex rawMu_;
  std::deque<std::vector<uint8_t>> globalRaw_;

  std::mutex injectMu_;
  struct Injection { int16_t status; long remaining; };  // remaining 0: until cleared
  std::map<std::pair<std::string, int>, Injection> injections_;

  std::atomic<size_t> subscriptionLimit_{0};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> stalled_{false};
  std::mutex publisherMu_;
  std::condition_variable publisherCv_;
  std::thread publisher_;

  std::atomic<uint64_t> managersCreated_{0};
  std::atomic<uint32_t> pullsInProgress_{0};
  std::atomic<uint32_t> peakPulls_{0};
  std::atomic<uint64_t> recordsSent_{0}, bytesSent_{0};
};

class DataServiceServant : public POA_Orv::ZmDataService {
 public:
  DataServiceServant(SimServer* server, Side side) : server_(server), side_(side) {}
  Orv::ZmDataManager_ptr GetZmDataManager() override;
  Orv::ZmDataManager_ptr ResolveObject(const char* user, const char* password) override;
  Orv::ZmSessionManager_ptr ResolveSessionManager(const char* user, const char* password) override;
  CORBA::Short AddQuoteFilter(Orv::CustomFilter_ptr filter) override;
  CORBA::Short RemoveQuoteFilter() override;
  Orv::ZmSessionManager_ptr GetSessionManager() override;

 private:
  SimServer* server_;
  Side side_;
};

class ControlServant : public POA_OrvSim::Control {
 public:
  explicit ControlServant(SimServer* server) : server_(server) {}
  void PublishNow(CORBA::Long ticks) override;
  void EnqueueRaw(CORBA::Long manager, const OrvSim::Bytes& data, CORBA::Boolean zip) override;
  void InjectStatus(const char* operation, CORBA::Short dataType, CORBA::Short status,
                    CORBA::Long count) override;
  void ClearInjections() override;
  void StallPulls(CORBA::Boolean stall) override;
  CORBA::Long DropConnections() override;
  OrvSim::Journal* ReadJournal(CORBA::ULong fromSeq) override;
  OrvSim::Stats GetStats() override;
  void PublishValue(const char* name, CORBA::Double value) override;
  char* ListInstruments() override;
  void SetSubscriptionLimit(CORBA::ULong keys) override;
  OrvSim::Subscriptions* ReadSubscriptions() override;

 private:
  SimServer* server_;
};

}  // namespace orvsim
