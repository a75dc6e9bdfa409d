#include "SimServer.h"

#include <algorithm>
#include <chrono>

#include "CallRecord.h"
#include "ManagerServant.h"
#include "ZipWriter.h"
#include "platform/log/Log.h"

namespace orvsim {

const char* ServiceName(Side side) {
  return side == Side::kEquities ? "ZmDataService" : "ZmDataBroker";
}

// ---- journal ----------------------------------------------------------------

void CallJournal::Add(double time, long manager, Side side, const char* op, std::string args,
                      std::string result) {
  std::lock_guard<std::mutex> lk(mu_);
  entries_.push_back({next_++, time, manager, side, op, std::move(args), std::move(result)});
  if (entries_.size() > kMax) entries_.pop_front();
}

OrvSim::Journal* CallJournal::Read(uint32_t fromSeq) const {
  std::lock_guard<std::mutex> lk(mu_);
  auto* j = new OrvSim::Journal;
  CORBA::ULong n = 0;
  for (const auto& e : entries_)
    if (e.seq >= fromSeq) ++n;
  j->length(n);
  CORBA::ULong i = 0;
  for (const auto& e : entries_) {
    if (e.seq < fromSeq) continue;
    OrvSim::JournalEntry& o = (*j)[i++];
    o.seq = e.seq;
    o.time = e.time;
    o.manager = static_cast<CORBA::Long>(e.manager);
    o.service = ServiceName(e.side);
    o.operation = e.op;
    o.args = e.args.c_str();
    o.result = e.result.c_str();
  }
  return j;
}

// ---- server -------------------------------------------------------------------

SimServer::SimServer(const ServerOptions& opt, PortableServer::POA_ptr managersPoa)
    : opt_(opt), poa_(PortableServer::POA::_duplicate(managersPoa)), model_(opt.model) {
  ORV_LOG(orvlog::kInfo, "market: " << model_.stocks().size() << " stocks, "
                                    << model_.options().size() << " options, "
                                    << model_.nstdOptions().size() << " non-standard options, "
                                    << model_.futures().size() << " futures, "
                                    << model_.futureOptions().size() << " futures options, "
                                    << model_.rates().size() << " interest rates; "
                                    << model_.RecordCount() << " records; seed "
                                    << opt.model.seed);
  // The symbols are made by the seed; users need a few to ask for.
  std::string first;
  for (size_t i = 0; i < model_.stocks().size() && i < 10; ++i) first += (i ? " " : "") + model_.stocks()[i].symbol;
  ORV_LOG(orvlog::kInfo, "stocks: " << first << (model_.stocks().size() > 10 ? " ..." : ""));
}

SimServer::~SimServer() {
  Stop();
  std::lock_guard<std::mutex> lk(managersMu_);
  for (auto& [id, m] : managers_) m->_remove_ref();
  managers_.clear();
}

void SimServer::StartPublisher() {
  if (opt_.ticksPerSecond <= 0) {
    ORV_LOG(orvlog::kInfo, "market moves only when the control interface publishes");
    return;
  }
  publisher_ = std::thread([this] { PublisherLoop(); });
}

void SimServer::PublisherLoop() {
  const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(1.0 / opt_.ticksPerSecond));
  auto next = std::chrono::steady_clock::now() + period;
  auto report = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::unique_lock<std::mutex> lk(publisherMu_);
  while (!stopping_) {
    if (publisherCv_.wait_until(lk, next, [this] { return stopping_.load(); })) break;
    lk.unlock();
    Tick(1);
    lk.lock();
    next += period;
    const auto now = std::chrono::steady_clock::now();
    if (next < now) next = now;  // a slow tick does not cause a burst afterwards
    if (now >= report) {
      const OrvSim::Stats s = Stats();
      ORV_LOG(orvlog::kInfo, "ticks " << s.ticks << ", managers live " << s.managers_live
                                      << ", pulls waiting " << s.pulls_in_progress
                                      << ", peak concurrent pulls " << s.peak_concurrent_pulls
                                      << ", records sent " << s.records_sent);
      report = now + std::chrono::seconds(60);
    }
  }
}

void SimServer::Stop() {
  if (stopping_.exchange(true)) return;
  {
    std::lock_guard<std::mutex> lk(publisherMu_);
    publisherCv_.notify_all();
  }
  if (publisher_.joinable()) publisher_.join();
  ForEachManager([](ManagerServant& m) { m.Wake(); });
}

void SimServer::ForEachManager(const std::function<void(ManagerServant&)>& fn) {
  std::vector<ManagerServant*> list;
  {
    std::lock_guard<std::mutex> lk(managersMu_);
    for (auto& [id, m] : managers_) {
      m->_add_ref();
      list.push_back(m);
    }
  }
  for (ManagerServant* m : list) {
    fn(*m);
    m->_remove_ref();
  }
}

Orv::ZmDataManager_ptr SimServer::NewManager(Side side, long* idOut) {
  long id;
  {
    std::lock_guard<std::mutex> lk(managersMu_);
    id = nextManager_++;
  }
  auto* servant = new ManagerServant(this, side, id);  // our reference: kept in managers_
  PortableServer::ObjectId_var oid = poa_->activate_object(servant);
  CORBA::Object_var obj = poa_->id_to_reference(oid);
  {
    std::lock_guard<std::mutex> lk(managersMu_);
    managers_[id] = servant;
  }
  ++managersCreated_;
  if (idOut) *idOut = id;
  ORV_LOG(orvlog::kInfo, ServiceName(side) << ": new data manager " << id);
  return Orv::ZmDataManager::_narrow(obj);
}

bool SimServer::CheckCredentials(const std::string& user, const std::string& password) const {
  for (const auto& [u, p] : opt_.credentials)
    if (u == user && p == password) return true;
  return false;
}

bool SimServer::Select(int type, const std::string& symbol, int stype,
                       std::vector<RowRef>& out) const {
  std::shared_lock<std::shared_mutex> lk(modelMu_);
  return model_.Select(type, symbol, stype, out);
}

std::shared_ptr<const std::vector<RowRef>> SimServer::AllRows(int type) {
  std::lock_guard<std::mutex> lk(allRowsMu_);
  auto& rows = allRows_[type];
  if (!rows) {
    auto all = std::make_shared<std::vector<RowRef>>();
    Select(type, "", 1, *all);
    rows = std::move(all);
  }
  return rows;
}

void SimServer::Tick(long ticks) {
  {
    std::unique_lock<std::shared_mutex> lk(modelMu_);
    for (long i = 0; i < ticks; ++i) model_.Step();
  }
  ForEachManager([](ManagerServant& m) { m.OnTick(); });
}

std::string SimServer::PublishValue(const std::vector<std::string>& name, double value) {
  {
    std::unique_lock<std::shared_mutex> lk(modelMu_);
    const std::string error = model_.SetValue(name, value);
    if (!error.empty()) return error;
  }
  ForEachManager([](ManagerServant& m) { m.OnTick(); });
  return "";
}

std::string SimServer::Describe() const {
  std::shared_lock<std::shared_mutex> lk(modelMu_);
  return model_.Describe();
}

size_t SimServer::SubscriptionLimit() const {
  const size_t set = subscriptionLimit_.load();
  return set ? set : opt_.maxSubscriptions;
}

OrvSim::Subscriptions* SimServer::ReadSubscriptions() {
  auto* out = new OrvSim::Subscriptions;
  std::vector<OrvSim::ManagerKeys> all;
  ForEachManager([&all](ManagerServant& m) {
    all.emplace_back();
    m.Describe(all.back());
  });
  out->length(static_cast<CORBA::ULong>(all.size()));
  for (size_t i = 0; i < all.size(); ++i) (*out)[static_cast<CORBA::ULong>(i)] = all[i];
  return out;
}

void SimServer::EnqueueRaw(long manager, std::vector<uint8_t> bytes, bool zip) {
  if (zip) bytes = ZipSingleEntry(bytes.data(), bytes.size());
  if (manager == 0) {
    {
      std::lock_guard<std::mutex> lk(rawMu_);
      globalRaw_.push_back(std::move(bytes));
    }
    ForEachManager([](ManagerServant& m) { m.Wake(); });
    return;
  }
  ManagerServant* target = nullptr;
  {
    std::lock_guard<std::mutex> lk(managersMu_);
    auto it = managers_.find(manager);
    if (it != managers_.end()) {
      target = it->second;
      target->_add_ref();
    }
  }
  if (!target) throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
  target->EnqueueRaw(std::move(bytes));
  target->_remove_ref();
}

bool SimServer::TakeGlobalRaw(std::vector<uint8_t>& out) {
  std::lock_guard<std::mutex> lk(rawMu_);
  if (globalRaw_.empty()) return false;
  out = std::move(globalRaw_.front());
  globalRaw_.pop_front();
  return true;
}

bool SimServer::HasGlobalRaw() const {
  std::lock_guard<std::mutex> lk(rawMu_);
  return !globalRaw_.empty();
}

void SimServer::InjectStatus(const std::string& op, int type, int status, long count) {
  std::lock_guard<std::mutex> lk(injectMu_);
  injections_[{op, type}] = {static_cast<int16_t>(status), count};
}

void SimServer::ClearInjections() {
  std::lock_guard<std::mutex> lk(injectMu_);
  injections_.clear();
}

bool SimServer::TakeInjected(const char* op, int type, int16_t* status) {
  std::lock_guard<std::mutex> lk(injectMu_);
  for (int t : {type, -1}) {
    auto it = injections_.find({op, t});
    if (it == injections_.end()) continue;
    *status = it->second.status;
    if (it->second.remaining > 0 && --it->second.remaining == 0) injections_.erase(it);
    ORV_LOG(orvlog::kInfo, "injected status " << *status << " for " << op << " (type " << type
                                              << ")");
    return true;
  }
  return false;
}

void SimServer::SetStall(bool stall) {
  stalled_ = stall;
  ORV_LOG(orvlog::kInfo, (stall ? "pulls stalled" : "pulls released"));
  ForEachManager([](ManagerServant& m) { m.Wake(); });
}

long SimServer::DropAll() {
  std::map<long, ManagerServant*> dropped;
  {
    std::lock_guard<std::mutex> lk(managersMu_);
    dropped.swap(managers_);
  }
  for (auto& [id, m] : dropped) {
    m->Drop();
    try {
      PortableServer::ObjectId_var oid = poa_->servant_to_id(m);
      poa_->deactivate_object(oid);
    } catch (const CORBA::Exception& e) {
      ORV_LOG(orvlog::kWarn, "manager " << id << " could not be deactivated: " << e._name());
    }
    m->_remove_ref();
  }
  ORV_LOG(orvlog::kInfo, "dropped " << dropped.size() << " data managers");
  return static_cast<long>(dropped.size());
}

void SimServer::PullStarted() {
  const uint32_t now = ++pullsInProgress_;
  uint32_t peak = peakPulls_.load();
  while (now > peak && !peakPulls_.compare_exchange_weak(peak, now)) {
  }
}

OrvSim::Stats SimServer::Stats() const {
  OrvSim::Stats s;
  s.managers_created = static_cast<CORBA::ULong>(managersCreated_.load());
  {
    std::lock_guard<std::mutex> lk(managersMu_);
    s.managers_live = static_cast<CORBA::ULong>(managers_.size());
  }
  s.pulls_in_progress = pullsInProgress_.load();
  s.peak_concurrent_pulls = peakPulls_.load();
  s.records_sent = recordsSent_.load();
  s.bytes_sent = bytesSent_.load();
  {
    std::shared_lock<std::shared_mutex> lk(modelMu_);
    s.ticks = model_.Ticks();
  }
  return s;
}

// ---- root objects -----------------------------------------------------------

Orv::ZmDataManager_ptr DataServiceServant::GetZmDataManager() {
  CallRecord c(server_, 0, side_, "GetZmDataManager");
  long id = 0;
  Orv::ZmDataManager_ptr m = server_->NewManager(side_, &id);
  c.Result("manager " + std::to_string(id));
  return m;
}

Orv::ZmDataManager_ptr DataServiceServant::ResolveObject(const char* user, const char*) {
  CallRecord c(server_, 0, side_, "ResolveObject");
  c.Args() << "user=" << user << " password=***";
  long id = 0;
  Orv::ZmDataManager_ptr m = server_->NewManager(side_, &id);
  c.Result("manager " + std::to_string(id) + ", not signed in");
  return m;
}

Orv::ZmSessionManager_ptr DataServiceServant::ResolveSessionManager(const char* user,
                                                                    const char*) {
  CallRecord c(server_, 0, side_, "ResolveSessionManager");
  c.Args() << "user=" << user << " password=***";
  c.Result("nil: no session manager");
  return Orv::ZmSessionManager::_nil();
}

CORBA::Short DataServiceServant::AddQuoteFilter(Orv::CustomFilter_ptr) {
  CallRecord c(server_, 0, side_, "AddQuoteFilter");
  return c.Status(S_ERR_FAILED);  // filters are not supported
}

CORBA::Short DataServiceServant::RemoveQuoteFilter() {
  CallRecord c(server_, 0, side_, "RemoveQuoteFilter");
  return c.Status(S_OK);
}

Orv::ZmSessionManager_ptr DataServiceServant::GetSessionManager() {
  CallRecord c(server_, 0, side_, "GetSessionManager");
  c.Result("nil: no session manager");
  return Orv::ZmSessionManager::_nil();
}

// ---- control ------------------------------------------------------------------

void ControlServant::PublishNow(CORBA::Long ticks) {
  if (ticks < 1 || ticks > 100000) throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
  ORV_LOG(orvlog::kDebug, "control: publish " << ticks << " tick(s)");
  server_->Tick(ticks);
}

void ControlServant::EnqueueRaw(CORBA::Long manager, const OrvSim::Bytes& data,
                                CORBA::Boolean zip) {
  std::vector<uint8_t> bytes(data.get_buffer(), data.get_buffer() + data.length());
  ORV_LOG(orvlog::kInfo, "control: raw reply of " << bytes.size() << " bytes"
                                                  << (zip ? " (zipped)" : "") << " for manager "
                                                  << manager);
  server_->EnqueueRaw(manager, std::move(bytes), zip);
}

void ControlServant::InjectStatus(const char* operation, CORBA::Short dataType,
                                  CORBA::Short status, CORBA::Long count) {
  static const char* const kOps[] = {"Connect",          "SetCompressionMode", "SetProtocolVersion",
                                     "RegisterFields",   "Subscribe",          "SubscribeGroup",
                                     "SubscribeAll",     "UnSubscribe",        "UnSubscribeGroup",
                                     "UnSubscribeAll"};
  const std::string op = operation;
  if (std::find(std::begin(kOps), std::end(kOps), op) == std::end(kOps) || count < 0)
    throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
  ORV_LOG(orvlog::kInfo, "control: " << op << " (type " << dataType << ") answers " << status
                                     << (count ? " for " + std::to_string(count) + " call(s)"
                                               : std::string(" until cleared")));
  server_->InjectStatus(op, dataType, status, count);
}

void ControlServant::ClearInjections() {
  ORV_LOG(orvlog::kInfo, "control: injections cleared");
  server_->ClearInjections();
}

void ControlServant::StallPulls(CORBA::Boolean stall) { server_->SetStall(stall); }

CORBA::Long ControlServant::DropConnections() {
  return static_cast<CORBA::Long>(server_->DropAll());
}

OrvSim::Journal* ControlServant::ReadJournal(CORBA::ULong fromSeq) {
  return server_->Journal().Read(fromSeq);
}

OrvSim::Stats ControlServant::GetStats() { return server_->Stats(); }

void ControlServant::PublishValue(const char* name, CORBA::Double value) {
  // Words part at blanks; a word with a blank of its own (a futures option
  // symbol) is written in double quotes.
  std::vector<std::string> words;
  const std::string text = name ? name : "";
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    const bool quoted = text[i] == '"';
    const size_t from = quoted ? i + 1 : i;
    size_t to = text.find(quoted ? '"' : ' ', from);
    if (to == std::string::npos) to = text.size();
    words.push_back(text.substr(from, to - from));
    i = quoted ? to + 1 : to;
  }
  const std::string error = server_->PublishValue(words, value);
  if (!error.empty()) {
    ORV_LOG(orvlog::kWarn, "control: cannot publish '" << (name ? name : "") << "': " << error);
    throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
  }
  ORV_LOG(orvlog::kDebug, "control: published " << name << " = " << value);
}

char* ControlServant::ListInstruments() { return CORBA::string_dup(server_->Describe().c_str()); }

void ControlServant::SetSubscriptionLimit(CORBA::ULong keys) {
  ORV_LOG(orvlog::kInfo, "control: subscription limit " << (keys ? std::to_string(keys) : "as started"));
  server_->SetSubscriptionLimit(keys);
}

OrvSim::Subscriptions* ControlServant::ReadSubscriptions() { return server_->ReadSubscriptions(); }

}  // namespace orvsim
