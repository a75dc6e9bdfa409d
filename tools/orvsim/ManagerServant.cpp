#include "ManagerServant.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sstream>

#include "BlockWriter.h"
#include "CallRecord.h"
#include "ZipWriter.h"
#include "platform/log/Log.h"

namespace orvsim {

namespace {

// A pull never waits longer than this, whatever the client asks.
constexpr long kMaxPullWaitMs = 600000;

bool ExtractIds(const CORBA::Any& a, std::vector<uint8_t>* ids) {
  const Orv::ZmData* d = nullptr;
  try {
    if (!(a >>= d) || !d) return false;
  } catch (const CORBA::SystemException&) {
    return false;
  }
  ids->assign(d->get_buffer(), d->get_buffer() + d->length());
  return true;
}

bool ExtractGroup(const CORBA::Any& a, std::vector<std::string>* out, std::string* why) {
  const Orv::SymbolsGroup* g = nullptr;
  try {
    if (!(a >>= g) || !g) {
      *why = "symbols are not a SymbolsGroup";
      return false;
    }
  } catch (const CORBA::SystemException& e) {
    *why = std::string("unreadable SymbolsGroup (") + e._name() + ")";
    return false;
  }
  for (CORBA::ULong i = 0; i < g->length(); ++i) {
    const char* s = (*g)[i];
    out->push_back(s ? s : "");
  }
  return true;
}

bool ValidIds(int type, const std::vector<uint8_t>& ids) {
  if (ids.empty() || ids.size() > 255) return false;
  return RecordWidth(type, ids, 0) >= 0;
}

std::string IdsText(const std::vector<uint8_t>& ids) {
  std::string s;
  for (size_t i = 0; i < ids.size(); ++i) s += (i ? "," : "") + std::to_string(ids[i]);
  return s;
}

// The field list of a request as the journal shows it; "?" when the any
// holds no ZmData.
std::string FieldsText(const CORBA::Any& fields) {
  std::vector<uint8_t> ids;
  return ExtractIds(fields, &ids) ? IdsText(ids) : "?";
}

std::string SymbolsText(const std::vector<std::string>& symbols) {
  std::string s;
  for (size_t i = 0; i < symbols.size(); ++i) s += (i ? "," : "") + symbols[i];
  return s;
}

}  // namespace

CORBA::Any* MakeReplyAny(const std::vector<uint8_t>& bytes, bool zip) {
  std::vector<uint8_t> zipped;
  const std::vector<uint8_t>* src = &bytes;
  if (zip) {
    zipped = ZipSingleEntry(bytes.data(), bytes.size());
    src = &zipped;
  }
  Orv::ZmData* seq = new Orv::ZmData;
  seq->length(static_cast<CORBA::ULong>(src->size()));
  if (!src->empty()) std::memcpy(seq->get_buffer(), src->data(), src->size());
  CORBA::Any* any = new CORBA::Any;
  *any <<= seq;  // the any takes the sequence
  return any;
}

ManagerServant::ManagerServant(SimServer* server, Side side, long id)
    : server_(server), side_(side), id_(id) {}

const TypeInfo* ManagerServant::OwnType(int type) const {
  const TypeInfo* t = FindType(type);
  return t && t->side == side_ ? t : nullptr;
}

std::vector<uint8_t> ManagerServant::FieldsFor(int type) const {
  auto it = fields_.find(type);
  if (it != fields_.end()) return it->second;
  const TypeInfo* t = FindType(type);
  return t ? t->defaultFields : std::vector<uint8_t>();
}

void ManagerServant::Wake() {
  std::lock_guard<std::mutex> lk(mu_);
  cv_.notify_all();
}

void ManagerServant::Drop() {
  std::lock_guard<std::mutex> lk(mu_);
  dropped_ = true;
  cv_.notify_all();
}

void ManagerServant::EnqueueRaw(std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lk(mu_);
  raw_.push_back(std::move(bytes));
  cv_.notify_all();
}

void ManagerServant::Describe(OrvSim::ManagerKeys& out) const {
  std::lock_guard<std::mutex> lk(mu_);
  out.manager = id_;
  out.service = ServiceName(side_);
  out.connected = connected_ && !dropped_;
  out.pulling = pulling_ > 0;
  out.last_pull = lastPull_;
  std::vector<std::string> keys;
  for (const auto& [type, on] : all_)
    if (on) keys.push_back(std::to_string(type) + " *");
  for (const auto& entry : keys_) {
    const Key& k = entry.first;
    keys.push_back(std::to_string(std::get<0>(k)) + " " + std::get<1>(k) + " " +
                   std::to_string(std::get<2>(k)));
  }
  out.keys.length(static_cast<CORBA::ULong>(keys.size()));
  for (size_t i = 0; i < keys.size(); ++i) out.keys[static_cast<CORBA::ULong>(i)] = keys[i].c_str();
}

void ManagerServant::OnTick() {
  std::lock_guard<std::mutex> lk(mu_);
  if (!connected_ || dropped_) return;
  for (const auto& entry : rows_) {
    const int type = entry.first;
    const TypeInfo* t = FindType(type);
    if (!t || !t->updates) continue;
    // An update of this type that no pull has started yet will carry this
    // tick's values too, since records are read when the reply is built.
    const bool queued = std::any_of(pending_.begin(), pending_.end(), [&](const Item& i) {
      return i.update && i.type == type && i.pos == 0;
    });
    if (!queued) pending_.push_back({type, entry.second, 0, true});
  }
  cv_.notify_all();
}

// ---- sign-in and settings ------------------------------------------------

CORBA::Short ManagerServant::Connect(const char* user, const char* password) {
  CallRecord c(server_, id_, side_, "Connect");
  c.Args() << "user=" << user << " password=***";
  int16_t injected;
  if (server_->TakeInjected("Connect", -1, &injected)) return c.Status(injected);
  std::lock_guard<std::mutex> lk(mu_);
  if (connected_) return c.Status(S_ERR_ALREADY_CONNECTED);
  if (!server_->CheckCredentials(user, password)) {
    ORV_LOG(orvlog::kWarn, "manager " << id_ << " (" << ServiceName(side_)
                                      << "): refused sign-in of user " << user);
    return c.Status(S_ERR_NOT_AUTHORIZED);
  }
  connected_ = true;
  user_ = user;
  ORV_LOG(orvlog::kInfo,
          "manager " << id_ << " (" << ServiceName(side_) << "): signed in as " << user);
  return c.Status(S_OK);
}

CORBA::Short ManagerServant::SecureConnect(const char* user, const char* password) {
  return Connect(user, password);
}

CORBA::Short ManagerServant::Disconnect() {
  CallRecord c(server_, id_, side_, "Disconnect");
  std::lock_guard<std::mutex> lk(mu_);
  if (!connected_) return c.Status(S_ERR_NOT_CONNECTED);
  connected_ = false;
  keys_.clear();
  all_.clear();
  rows_.clear();
  pending_.clear();
  cv_.notify_all();
  return c.Status(S_OK);
}

CORBA::Boolean ManagerServant::IsConnected() {
  CallRecord c(server_, id_, side_, "IsConnected");
  std::lock_guard<std::mutex> lk(mu_);
  c.Result(connected_ ? "true" : "false");
  return connected_;
}

char* ManagerServant::GetSessionID() {
  CallRecord c(server_, id_, side_, "GetSessionID");
  const std::string sid = std::string("orvsim-") + ServiceName(side_) + "-" + std::to_string(id_);
  c.Result(sid);
  return CORBA::string_dup(sid.c_str());
}

SE::SEDBQuery_ptr ManagerServant::CreateQuery() {
  CallRecord c(server_, id_, side_, "CreateQuery");
  c.Result("nil");
  return SE::SEDBQuery::_nil();
}

SE::SEViewsManager_ptr ManagerServant::CreateViewsManager() {
  CallRecord c(server_, id_, side_, "CreateViewsManager");
  c.Result("nil");
  return SE::SEViewsManager::_nil();
}

CORBA::Short ManagerServant::SetCompressionMode(CORBA::Short mode) {
  CallRecord c(server_, id_, side_, "SetCompressionMode");
  c.Args() << "mode=" << mode;
  int16_t injected;
  if (server_->TakeInjected("SetCompressionMode", -1, &injected)) return c.Status(injected);
  std::lock_guard<std::mutex> lk(mu_);
  if (!connected_) return c.Status(S_ERR_NOT_CONNECTED);
  if (mode != 0 && mode != 1) return c.Status(S_ERR_FAILED);
  compression_ = mode;
  return c.Status(S_OK);
}

CORBA::Short ManagerServant::GetCompressionMode() {
  CallRecord c(server_, id_, side_, "GetCompressionMode");
  std::lock_guard<std::mutex> lk(mu_);
  c.Result(std::to_string(compression_));
  return static_cast<CORBA::Short>(compression_);
}

CORBA::Short ManagerServant::SetProtocolVersion(CORBA::Short version) {
  CallRecord c(server_, id_, side_, "SetProtocolVersion");
  c.Args() << "version=" << version;
  int16_t injected;
  if (server_->TakeInjected("SetProtocolVersion", -1, &injected)) return c.Status(injected);
  std::lock_guard<std::mutex> lk(mu_);
  if (!connected_) return c.Status(S_ERR_NOT_CONNECTED);
  // 0: 12-byte option symbols; 2: 64-byte option symbols.
  if (version != 0 && version != 2) return c.Status(S_ERR_FAILED);
  protocol_ = version;
  return c.Status(S_OK);
}

CORBA::Short ManagerServant::GetProtocolVersion() {
  CallRecord c(server_, id_, side_, "GetProtocolVersion");
  std::lock_guard<std::mutex> lk(mu_);
  c.Result(std::to_string(protocol_));
  return static_cast<CORBA::Short>(protocol_);
}

// ---- fields ---------------------------------------------------------------

CORBA::Short ManagerServant::RegisterFields(CORBA::Short dataType, const CORBA::Any& fields) {
  CallRecord c(server_, id_, side_, "RegisterFields");
  std::vector<uint8_t> ids;
  const bool readable = ExtractIds(fields, &ids);
  c.Args() << "data_type=" << dataType << " fields=" << (readable ? IdsText(ids) : "?");
  int16_t injected;
  if (server_->TakeInjected("RegisterFields", dataType, &injected)) return c.Status(injected);
  std::lock_guard<std::mutex> lk(mu_);
  if (!connected_) return c.Status(S_ERR_NOT_CONNECTED);
  if (!OwnType(dataType)) return c.Status(S_ERR_INVALID_TYPE);
  if (!readable) return c.Status(S_ERR_FAILED);
  if (!ValidIds(dataType, ids)) return c.Status(S_ERR_INVALID_FIELD);
  fields_[dataType] = ids;
  return c.Status(S_OK);
}

CORBA::Short ManagerServant::RegisterAllFields(CORBA::Short dataType) {
  CallRecord c(server_, id_, side_, "RegisterAllFields");
  c.Args() << "data_type=" << dataType;
  std::lock_guard<std::mutex> lk(mu_);
  if (!connected_) return c.Status(S_ERR_NOT_CONNECTED);
  const TypeInfo* t = OwnType(dataType);
  if (!t) return c.Status(S_ERR_INVALID_TYPE);
  fields_[dataType] = t->defaultFields;
  return c.Status(S_OK);
}

CORBA::Short ManagerServant::UnRegisterFields(CORBA::Short dataType, const CORBA::Any& fields) {
  CallRecord c(server_, id_, side_, "UnRegisterFields");
  c.Args() << "data_type=" << dataType;
  std::vector<uint8_t> ids;
  std::lock_guard<std::mutex> lk(mu_);
  if (!connected_) return c.Status(S_ERR_NOT_CONNECTED);
  if (!OwnType(dataType)) return c.Status(S_ERR_INVALID_TYPE);
  if (!ExtractIds(fields, &ids)) return c.Status(S_ERR_FAILED);
  auto it = fields_.find(dataType);
  if (it == fields_.end()) return c.Status(S_OK);
  std::vector<uint8_t> kept;
  for (uint8_t id : it->second)
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) kept.push_back(id);
  // A type left without fields falls back to its full list.
  if (kept.empty()) fields_.erase(it);
  else it->second = kept;
  return c.Status(S_OK);
}

CORBA::Short ManagerServant::UnRegisterAllFields(CORBA::Short dataType) {
  CallRecord c(server_, id_, side_, "UnRegisterAllFields");
  c.Args() << "data_type=" << dataType;
  std::lock_guard<std::mutex> lk(mu_);
  if (!connected_) return c.Status(S_ERR_NOT_CONNECTED);
  if (!OwnType(dataType)) return c.Status(S_ERR_INVALID_TYPE);
  fields_.erase(dataType);
  return c.Status(S_OK);
}

CORBA::Any* ManagerServant::GetRegisteredFields(CORBA::Short dataType) {
  CallRecord c(server_, id_, side_, "GetRegisteredFields");
  c.Args() << "data_type=" << dataType;
  std::lock_guard<std::mutex> lk(mu_);
  if (!OwnType(dataType)) {
    c.Result("empty");
    return new CORBA::Any;
  }
  const std::vector<uint8_t> ids = FieldsFor(dataType);
  c.Result(IdsText(ids));
  return MakeReplyAny(ids, false);
}

// ---- subscriptions ----------------------------------------------------------

void ManagerServant::RebuildRows(int type) {
  auto all = all_.find(type);
  if (all != all_.end() && all->second) {
    Rows rows = server_->AllRows(type);
    if (rows->empty()) rows_.erase(type);
    else rows_[type] = std::move(rows);
    return;
  }
  std::vector<RowRef> rows;
  for (const auto& [key, keyRows] : keys_)
    if (std::get<0>(key) == type) rows.insert(rows.end(), keyRows.begin(), keyRows.end());
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  if (rows.empty()) rows_.erase(type);
  else rows_[type] = std::make_shared<const std::vector<RowRef>>(std::move(rows));
}

void ManagerServant::FilterPending(int type) {
  auto it = rows_.find(type);
  for (auto& item : pending_) {
    if (item.type != type) continue;
    std::vector<RowRef> kept;
    if (it != rows_.end()) {
      const std::vector<RowRef>& live = *it->second;
      for (size_t i = item.pos; i < item.rows->size(); ++i)
        if (std::binary_search(live.begin(), live.end(), (*item.rows)[i]))
          kept.push_back((*item.rows)[i]);
    }
    item.rows = std::make_shared<const std::vector<RowRef>>(std::move(kept));
    item.pos = 0;
  }
  pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                [](const Item& i) { return i.rows->empty(); }),
                 pending_.end());
}

int16_t ManagerServant::SubscribeKeys(int type, const std::vector<std::string>& symbols,
                                      int stype) {
  const TypeInfo* t = OwnType(type);
  if (!t || !t->subscribable) return S_ERR_INVALID_TYPE;
  if (stype != 1 && stype != 2) return S_ERR_FAILED;
  std::vector<std::pair<Key, std::vector<RowRef>>> found;
  for (const auto& s : symbols) {
    std::vector<RowRef> rows;
    if (!s.empty()) server_->Select(type, s, stype, rows);
    if (rows.empty()) {
      ORV_LOG(orvlog::kDebug, "manager " << id_ << ": no " << t->name << " records for symbol '"
                                         << s << "' (symbol type " << stype << ")");
      continue;
    }
    found.emplace_back(Key(type, s, stype), std::move(rows));
  }
  if (found.empty()) return S_ERR_NOT_FOUND;

  std::lock_guard<std::mutex> lk(mu_);
  if (!connected_) return S_ERR_NOT_CONNECTED;
  size_t fresh = 0;
  for (const auto& f : found) fresh += keys_.count(f.first) ? 0 : 1;
  if (keys_.size() + fresh > server_->SubscriptionLimit()) return S_ERR_SUBSCRIPTION_LIMIT;
  std::vector<RowRef> current;
  for (auto& f : found) {
    if (keys_.count(f.first)) continue;
    current.insert(current.end(), f.second.begin(), f.second.end());
    keys_.emplace(f.first, std::move(f.second));
  }
  if (current.empty()) return S_OK;
  Item initial{type, std::make_shared<const std::vector<RowRef>>(std::move(current)), 0, false};
  RebuildRows(type);
  // The key's current data goes out first, in the order the types were
  // subscribed (base before quotes before analytics).
  pending_.push_back(std::move(initial));
  cv_.notify_all();
  return S_OK;
}

int16_t ManagerServant::UnsubscribeKeys(int type, const std::vector<std::string>* symbols,
                                        int stype) {
  const TypeInfo* t = OwnType(type);
  if (!t || !t->subscribable) return S_ERR_INVALID_TYPE;
  std::lock_guard<std::mutex> lk(mu_);
  if (!connected_) return S_ERR_NOT_CONNECTED;
  if (symbols) {
    // Unsubscribing what was never subscribed succeeds: clients unsubscribe
    // every type of a kind even where they subscribed only some of them.
    for (const auto& s : *symbols) keys_.erase(Key(type, s, stype));
  } else {
    all_.erase(type);
    for (auto it = keys_.begin(); it != keys_.end();)
      it = std::get<0>(it->first) == type ? keys_.erase(it) : std::next(it);
  }
  RebuildRows(type);
  FilterPending(type);
  return S_OK;
}

CORBA::Short ManagerServant::Subscribe(const char* symbol, CORBA::Short symbolType,
                                       CORBA::Short dataType) {
  CallRecord c(server_, id_, side_, "Subscribe");
  c.Args() << "symbol=" << symbol << " symbol_type=" << symbolType << " data_type=" << dataType;
  int16_t injected;
  if (server_->TakeInjected("Subscribe", dataType, &injected)) return c.Status(injected);
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (!connected_) return c.Status(S_ERR_NOT_CONNECTED);
  }
  return c.Status(SubscribeKeys(dataType, {symbol}, symbolType));
}

CORBA::Short ManagerServant::SubscribeGroup(const CORBA::Any& symbols, CORBA::Short symbolType,
                                            CORBA::Short dataType) {
  CallRecord c(server_, id_, side_, "SubscribeGroup");
  std::vector<std::string> list;
  std::string why;
  const bool ok = ExtractGroup(symbols, &list, &why);
  c.Args() << "symbols=" << list.size() << " symbol_type=" << symbolType
           << " data_type=" << dataType << " names=" << SymbolsText(list);
  int16_t injected;
  if (server_->TakeInjected("SubscribeGroup", dataType, &injected)) return c.Status(injected);
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (!connected_) return c.Status(S_ERR_NOT_CONNECTED);
  }
  if (!ok) {
    ORV_LOG(orvlog::kWarn, "manager " << id_ << ": SubscribeGroup refused: " << why);
    return c.Status(S_ERR_FAILED);
  }
  return c.Status(SubscribeKeys(dataType, list, symbolType));
}

CORBA::Short ManagerServant::SubscribeAll(CORBA::Short dataType) {
  CallRecord c(server_, id_, side_, "SubscribeAll");
  c.Args() << "data_type=" << dataType;
  int16_t injected;
  if (server_->TakeInjected("SubscribeAll", dataType, &injected)) return c.Status(injected);
  const TypeInfo* t = OwnType(dataType);
  std::lock_guard<std::mutex> lk(mu_);
  if (!connected_) return c.Status(S_ERR_NOT_CONNECTED);
  if (!t || !t->subscribable) return c.Status(S_ERR_INVALID_TYPE);
  if (all_[dataType]) return c.Status(S_OK);
  all_[dataType] = true;
  RebuildRows(dataType);
  auto it = rows_.find(dataType);
  if (it != rows_.end()) {
    pending_.push_back({dataType, it->second, 0, false});
    cv_.notify_all();
  }
  return c.Status(S_OK);
}

CORBA::Short ManagerServant::UnSubscribe(const char* symbol, CORBA::Short symbolType,
                                         CORBA::Short dataType) {
  CallRecord c(server_, id_, side_, "UnSubscribe");
  c.Args() << "symbol=" << symbol << " symbol_type=" << symbolType << " data_type=" << dataType;
  int16_t injected;
  if (server_->TakeInjected("UnSubscribe", dataType, &injected)) return c.Status(injected);
  const std::vector<std::string> one{symbol};
  return c.Status(UnsubscribeKeys(dataType, &one, symbolType));
}

CORBA::Short ManagerServant::UnSubscribeGroup(const CORBA::Any& symbols, CORBA::Short symbolType,
                                              CORBA::Short dataType) {
  CallRecord c(server_, id_, side_, "UnSubscribeGroup");
  std::vector<std::string> list;
  std::string why;
  const bool ok = ExtractGroup(symbols, &list, &why);
  c.Args() << "symbols=" << list.size() << " symbol_type=" << symbolType
           << " data_type=" << dataType << " names=" << SymbolsText(list);
  int16_t injected;
  if (server_->TakeInjected("UnSubscribeGroup", dataType, &injected)) return c.Status(injected);
  if (!ok) {
    ORV_LOG(orvlog::kWarn, "manager " << id_ << ": UnSubscribeGroup refused: " << why);
    return c.Status(S_ERR_FAILED);
  }
  return c.Status(UnsubscribeKeys(dataType, &list, symbolType));
}

CORBA::Short ManagerServant::UnSubscribeAll(CORBA::Short dataType) {
  CallRecord c(server_, id_, side_, "UnSubscribeAll");
  c.Args() << "data_type=" << dataType;
  int16_t injected;
  if (server_->TakeInjected("UnSubscribeAll", dataType, &injected)) return c.Status(injected);
  return c.Status(UnsubscribeKeys(dataType, nullptr, 0));
}

// ---- pulls ------------------------------------------------------------------

bool ManagerServant::HasDataLocked() const {
  return !raw_.empty() || !pending_.empty() || server_->HasGlobalRaw();
}

CORBA::Any* ManagerServant::BuildPullReply(size_t* records) {
  std::vector<uint8_t> out;
  size_t lastBlock = 0;
  *records = 0;
  const size_t budget = server_->Options().maxReplyBytes;
  {
    std::shared_lock<std::shared_mutex> model(server_->ModelLock());
    while (!pending_.empty() && (out.empty() || out.size() < budget)) {
      Item& item = pending_.front();
      const std::vector<uint8_t> ids = FieldsFor(item.type);
      const long width = RecordWidth(item.type, ids, protocol_);
      const std::vector<RowRef>& rows = *item.rows;
      const size_t left = rows.size() - item.pos;
      size_t room = out.size() < budget ? budget - out.size() : 0;
      room = room > kBlockHeaderSize + ids.size() ? room - kBlockHeaderSize - ids.size() : 0;
      // A further block only when at least one record fits; the first block
      // of a reply always carries one, however large.
      if (!out.empty() && room < static_cast<size_t>(width)) break;
      size_t take = width > 0 ? room / static_cast<size_t>(width) : left;
      take = std::max<size_t>(1, std::min(take, left));
      lastBlock = out.size();
      const MarketModel& m = server_->Model();
      const int type = item.type;
      const size_t base = item.pos;
      AppendBlock(out, type, ids, protocol_, take,
                  [&](size_t r, uint8_t id, FieldValue& v) {
                    m.Field(type, rows[base + r], id, v);
                  },
                  false);
      item.pos += take;
      *records += take;
      if (item.pos >= rows.size()) pending_.pop_front();
    }
  }
  MarkLast(out, lastBlock, true);
  server_->CountSent(*records, out.size());
  return MakeReplyAny(out, compression_ == 1);
}

CORBA::Any* ManagerServant::pull(CORBA::Long waitMs) {
  CallRecord c(server_, id_, side_, "pull");
  c.Args() << "wait_ms=" << waitMs;
  struct Counter {
    SimServer* s;
    explicit Counter(SimServer* srv) : s(srv) { s->PullStarted(); }
    ~Counter() { s->PullEnded(); }
  } counting(server_);

  std::unique_lock<std::mutex> lk(mu_);
  // Held from here to the reply (the lock is held again when it ends).
  struct Pulling {
    ManagerServant* m;
    explicit Pulling(ManagerServant* self) : m(self) { ++m->pulling_; }
    ~Pulling() {
      --m->pulling_;
      m->lastPull_ = std::chrono::duration<double>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    }
  } pulling(this);
  if (!connected_) {
    c.Result("NO_PERMISSION");
    throw CORBA::NO_PERMISSION(0, CORBA::COMPLETED_NO);
  }
  const long wait = std::clamp<long>(waitMs, 0, kMaxPullWaitMs);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait);
  for (;;) {
    if (dropped_) {
      c.Result("TRANSIENT");
      throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
    }
    if (server_->Stopping()) {
      c.Result("empty (stopping)");
      return new CORBA::Any;
    }
    if (server_->Stalled()) {
      // Held until released; nothing is taken from the queue, so whatever
      // the client misses while it times out is still there for its next pull.
      cv_.wait(lk, [&] { return !server_->Stalled() || dropped_ || server_->Stopping(); });
      if (dropped_) {
        c.Result("TRANSIENT");
        throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
      }
      c.Result("empty (stalled)");
      return new CORBA::Any;
    }
    std::vector<uint8_t> bytes;
    if (!raw_.empty()) {
      bytes = std::move(raw_.front());
      raw_.pop_front();
      c.Result("raw " + std::to_string(bytes.size()) + " bytes");
      server_->CountSent(0, bytes.size());
      return MakeReplyAny(bytes, false);
    }
    if (server_->TakeGlobalRaw(bytes)) {
      c.Result("raw " + std::to_string(bytes.size()) + " bytes");
      server_->CountSent(0, bytes.size());
      return MakeReplyAny(bytes, false);
    }
    if (!pending_.empty()) {
      size_t records = 0;
      CORBA::Any* reply = BuildPullReply(&records);
      c.Result(std::to_string(records) + " records");
      return reply;
    }
    if (cv_.wait_until(lk, deadline) == std::cv_status::timeout && !HasDataLocked() &&
        !dropped_ && !server_->Stalled()) {
      c.Result("empty");
      return new CORBA::Any;
    }
  }
}

CORBA::Any* ManagerServant::try_pull() { return pull(0); }
CORBA::Any* ManagerServant::strict_pull() { return pull(0); }

void ManagerServant::obj_pull(Orv::ZmObserver_ptr) {
  CallRecord c(server_, id_, side_, "obj_pull");
  c.Result("ignored: observers are not supported");
}

void ManagerServant::observer_pull() {
  CallRecord c(server_, id_, side_, "observer_pull");
  c.Result("ignored: observers are not supported");
}

// ---- snapshots ----------------------------------------------------------------

CORBA::Any* ManagerServant::Snapshot(const std::string& symbol, int stype, int type,
                                     const CORBA::Any& fields, bool all, std::string* result) {
  std::vector<uint8_t> ids;
  int protocol, compression;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (!connected_) {
      *result = "NO_PERMISSION";
      throw CORBA::NO_PERMISSION(0, CORBA::COMPLETED_NO);
    }
    protocol = protocol_;
    compression = compression_;
  }
  if (!OwnType(type)) {
    *result = "BAD_PARAM: unknown data type";
    throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
  }
  if (!ExtractIds(fields, &ids) || !ValidIds(type, ids)) {
    *result = "BAD_PARAM: bad field list";
    throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
  }
  std::vector<RowRef> rows;
  std::vector<uint8_t> out;
  {
    std::shared_lock<std::shared_mutex> model(server_->ModelLock());
    const MarketModel& m = server_->Model();
    // An empty symbol names nothing; only GetMarketDataAll asks for everything.
    if (all || !symbol.empty()) m.Select(type, symbol, stype, rows);
    AppendBlock(out, type, ids, protocol, rows.size(),
                [&](size_t r, uint8_t id, FieldValue& v) { m.Field(type, rows[r], id, v); },
                true);
  }
  server_->CountSent(rows.size(), out.size());
  *result = std::to_string(rows.size()) + " records";
  return MakeReplyAny(out, compression == 1);
}

CORBA::Any* ManagerServant::GetMarketData(const char* symbol, CORBA::Short symbolType,
                                          CORBA::Short dataType, const CORBA::Any& fields) {
  CallRecord c(server_, id_, side_, "GetMarketData");
  c.Args() << "symbol=" << symbol << " symbol_type=" << symbolType << " data_type=" << dataType
           << " fields=" << FieldsText(fields);
  std::string result;
  try {
    CORBA::Any* a = Snapshot(symbol, symbolType, dataType, fields, false, &result);
    c.Result(result);
    return a;
  } catch (...) {
    c.Result(result);
    throw;
  }
}

CORBA::Any* ManagerServant::GetMarketDataAll(CORBA::Short dataType, const CORBA::Any& fields) {
  CallRecord c(server_, id_, side_, "GetMarketDataAll");
  c.Args() << "data_type=" << dataType << " fields=" << FieldsText(fields);
  std::string result;
  try {
    CORBA::Any* a = Snapshot("", 1, dataType, fields, true, &result);
    c.Result(result);
    return a;
  } catch (...) {
    c.Result(result);
    throw;
  }
}

CORBA::Any* ManagerServant::GetMarketDataGroup(const CORBA::Any&, CORBA::Short symbolType,
                                               CORBA::Short dataType, const CORBA::Any&) {
  CallRecord c(server_, id_, side_, "GetMarketDataGroup");
  c.Args() << "symbol_type=" << symbolType << " data_type=" << dataType;
  c.Result("empty: not supported");
  return new CORBA::Any;
}

// ---- operations no client of this system calls; they answer harmlessly -----

CORBA::Boolean ManagerServant::IsMarketStructureChanged() {
  CallRecord c(server_, id_, side_, "IsMarketStructureChanged");
  c.Result("false");
  return false;
}
CORBA::Short ManagerServant::ReloadMarketStructure() {
  CallRecord c(server_, id_, side_, "ReloadMarketStructure");
  return c.Status(S_OK);
}
CORBA::Boolean ManagerServant::IsMarketActive() {
  CallRecord c(server_, id_, side_, "IsMarketActive");
  c.Result("true");
  return true;
}
CORBA::Boolean ManagerServant::GetMarketStructureChangedStatus() {
  CallRecord c(server_, id_, side_, "GetMarketStructureChangedStatus");
  c.Result("false");
  return false;
}
void ManagerServant::ResetMarketStructureChangedStatus() {
  CallRecord c(server_, id_, side_, "ResetMarketStructureChangedStatus");
  c.Result("done");
}
CORBA::Short ManagerServant::ValidateUser(const char* user, const char* password,
                                          CORBA::Any_out info) {
  CallRecord c(server_, id_, side_, "ValidateUser");
  c.Args() << "user=" << user << " password=***";
  info = new CORBA::Any;
  return c.Status(server_->CheckCredentials(user, password) ? S_OK : S_ERR_NOT_AUTHORIZED);
}
CORBA::Short ManagerServant::ValidateType(const char* user, CORBA::Short dataType) {
  CallRecord c(server_, id_, side_, "ValidateType");
  c.Args() << "user=" << user << " data_type=" << dataType;
  return c.Status(OwnType(dataType) ? S_OK : S_ERR_INVALID_TYPE);
}
CORBA::Short ManagerServant::ValidateSubscription(const char* user, const char* symbol,
                                                  CORBA::Short dataType) {
  CallRecord c(server_, id_, side_, "ValidateSubscription");
  c.Args() << "user=" << user << " symbol=" << symbol << " data_type=" << dataType;
  return c.Status(OwnType(dataType) ? S_OK : S_ERR_INVALID_TYPE);
}
CORBA::Short ManagerServant::ValidateSubscription2(const char* user, CORBA::Short symbolType,
                                                   const char* symbol, CORBA::Short dataType) {
  CallRecord c(server_, id_, side_, "ValidateSubscription2");
  c.Args() << "user=" << user << " symbol_type=" << symbolType << " symbol=" << symbol
           << " data_type=" << dataType;
  return c.Status(OwnType(dataType) ? S_OK : S_ERR_INVALID_TYPE);
}
CORBA::Any* ManagerServant::GetValidFields(const char* user, CORBA::Short dataType) {
  CallRecord c(server_, id_, side_, "GetValidFields");
  c.Args() << "user=" << user << " data_type=" << dataType;
  const TypeInfo* t = OwnType(dataType);
  c.Result(t ? IdsText(t->defaultFields) : "empty");
  return t ? MakeReplyAny(t->defaultFields, false) : new CORBA::Any;
}
CORBA::Any* ManagerServant::GetValidStocks(const char* user) {
  CallRecord c(server_, id_, side_, "GetValidStocks");
  c.Args() << "user=" << user;
  c.Result("empty: not supported");
  return new CORBA::Any;
}
CORBA::Any* ManagerServant::GetValidStocks2(const char* user, CORBA::Short symbolType) {
  CallRecord c(server_, id_, side_, "GetValidStocks2");
  c.Args() << "user=" << user << " symbol_type=" << symbolType;
  c.Result("empty: not supported");
  return new CORBA::Any;
}
CORBA::Any* ManagerServant::ValidateStocksGroup(const char* user, const CORBA::Any&,
                                                CORBA::Short symbolType) {
  CallRecord c(server_, id_, side_, "ValidateStocksGroup");
  c.Args() << "user=" << user << " symbol_type=" << symbolType;
  c.Result("empty: not supported");
  return new CORBA::Any;
}
CORBA::Short ManagerServant::RegisterCallBack(Orv::ZmDataClient_ptr) {
  CallRecord c(server_, id_, side_, "RegisterCallBack");
  return c.Status(S_ERR_REGISTER_CALLBACK);  // data is delivered by pull only
}
CORBA::Boolean ManagerServant::IsCallBackRegistered() {
  CallRecord c(server_, id_, side_, "IsCallBackRegistered");
  c.Result("false");
  return false;
}
CORBA::Short ManagerServant::UnRegisterCallBack() {
  CallRecord c(server_, id_, side_, "UnRegisterCallBack");
  return c.Status(S_ERR_CALLBACK_NOT_REGISTERED);
}
void ManagerServant::UpdateStorage(CORBA::Short dataType, const CORBA::Any&, const CORBA::Any&) {
  CallRecord c(server_, id_, side_, "UpdateStorage");
  c.Args() << "data_type=" << dataType;
  c.Result("ignored: the market is read-only");
}
CORBA::Short ManagerServant::InsertRows(const CORBA::Any&) {
  CallRecord c(server_, id_, side_, "InsertRows");
  return c.Status(S_ERR_FAILED);  // the market is read-only
}
CORBA::Short ManagerServant::DeleteRowsByKey(CORBA::Short dataType, CORBA::Short symbolType,
                                             const char* symbol) {
  CallRecord c(server_, id_, side_, "DeleteRowsByKey");
  c.Args() << "data_type=" << dataType << " symbol_type=" << symbolType << " symbol=" << symbol;
  return c.Status(S_ERR_FAILED);  // the market is read-only
}

}  // namespace orvsim
