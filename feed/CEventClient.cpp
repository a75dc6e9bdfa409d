#include "feed/CEventClient.h"

#include <vector>

#include "platform/log/Log.h"
#include "platform/pool/CThreadPool.h"

std::shared_ptr<CEventClient> CEventClient::Create(CZmOrvEventSource* client, KeepAlive keepAlive,
                                                   const void* key) {
  return std::make_shared<CEventClient>(client, keepAlive, key);
}

CEventClient::CEventClient(CZmOrvEventSource* client, KeepAlive keepAlive, const void* key)
    : m_client(client), m_key(key != nullptr ? key : client), m_keepAlive(keepAlive) {}

CEventClient::~CEventClient() = default;

CZmOrvEventSource* CEventClient::BeginUse() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_client == nullptr) return nullptr;
  if (m_keepAlive.hold != nullptr && !m_keepAlive.hold(m_client)) return nullptr;
  ++m_inUse;
  m_user = std::this_thread::get_id();
  return m_client;
}

void CEventClient::EndUse(CZmOrvEventSource* client) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (--m_inUse == 0) m_user = std::thread::id();
  }
  m_idle.notify_all();
  // Last: it may be the client's final release, which detaches this handle.
  if (m_keepAlive.release != nullptr) m_keepAlive.release(client);
}

uint64_t CEventClient::TakeTicket() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_nextTicket++;
}

size_t CEventClient::QueuedEvents() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_ready.size();
}

CEventClient::QueueStats CEventClient::Stats() {
  std::lock_guard<std::mutex> lock(m_mutex);
  QueueStats stats = m_stats;
  stats.events = m_ready.size();
  return stats;
}

void CEventClient::SetMaxQueuedBytes(size_t bytes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_maxBytes = bytes;
}

void CEventClient::Forget(Queue::iterator it) {
  Waiting& w = it->second;
  m_stats.bytes -= w.bytes;
  w.bytes = 0;
  if (!w.name.empty()) {
    m_named.erase(w.name);
    w.name.clear();
  }
}

void CEventClient::Deliver(uint64_t ticket, std::function<void()> job) { Deliver(ticket, std::move(job), EventInfo()); }

void CEventClient::Deliver(uint64_t ticket, std::function<void()> job, EventInfo info) {
  // Declared before the lock, so that a job that goes (and the cursor it
  // holds) goes outside it.
  std::function<void()> needless;
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_client == nullptr || m_cutOff) {
    lock.unlock();
    return;  // the job, and the cursor it holds, go here, outside the lock
  }
  // Handed in by its task on a pool thread, where events may run, even when
  // it turns out needless.
  const bool fromTask = static_cast<bool>(job);
  std::string name;
  if (job && !info.replaces.empty()) {
    const auto named = m_named.find(info.replaces);
    if (named == m_named.end() || m_ready.count(named->second) == 0) {
      name = std::move(info.replaces);
    } else if (named->second < ticket) {
      // The waiting one is the older: it goes, and its ticket only steps
      // aside when its turn comes.
      const auto older = m_ready.find(named->second);
      needless = std::move(older->second.job);
      older->second.job = nullptr;
      Forget(older);
      name = std::move(info.replaces);
      ++m_stats.replaced;
    } else {
      // A later one of the same rows waits already: this one is needless.
      needless = std::move(job);
      job = nullptr;
      ++m_stats.replaced;
    }
  }
  const bool isEvent = static_cast<bool>(job);
  const size_t bytes = kEntryBytes + (isEvent ? info.bytes + name.size() : 0);
  const auto placed = m_ready.emplace(ticket, Waiting{std::move(job), bytes, std::string()}).first;
  if (!name.empty()) {
    m_named[name] = ticket;
    placed->second.name = std::move(name);
  }
  m_stats.bytes += bytes;
  if (m_ready.size() > m_stats.peakEvents) m_stats.peakEvents = m_ready.size();
  if (m_stats.bytes > m_stats.peakBytes) m_stats.peakBytes = m_stats.bytes;
  if (m_stats.bytes > m_maxBytes) {
    lock.unlock();
    CutOff();
    return;
  }
  if (m_delivering) return;
  if (!fromTask) {
    // A task dropped unrun, on whatever thread drops it (the producer's, a
    // table's destructor): it only steps aside. Events behind it run on the
    // next pool thread that delivers.
    while (!m_ready.empty() && m_ready.begin()->first == m_nextToRun && !m_ready.begin()->second.job) {
      Forget(m_ready.begin());
      m_ready.erase(m_ready.begin());
      ++m_nextToRun;
    }
    return;
  }
  m_delivering = true;
  // A pool that is shutting down gets its thread back after the event in
  // progress; what is left runs on the next thread that delivers.
  while (!m_ready.empty() && m_ready.begin()->first == m_nextToRun && !orvpool::StopRequested()) {
    Forget(m_ready.begin());
    std::function<void()> next = std::move(m_ready.begin()->second.job);
    m_ready.erase(m_ready.begin());
    ++m_nextToRun;
    if (!next) continue;
    lock.unlock();
    next();
    next = nullptr;
    lock.lock();
  }
  m_delivering = false;
}

void CEventClient::CutOff() {
  Queue dropped;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_cutOff) return;
    m_cutOff = true;
    dropped.swap(m_ready);
    m_named.clear();
    m_stats.bytes = 0;
  }
  size_t bytes = 0;
  for (const auto& entry : dropped) bytes += entry.second.bytes;
  ORV_LOG(orvlog::kError, "ERROR: client " << m_key << " has " << bytes << " bytes of events waiting ("
                                              << dropped.size() << " events), more than the process keeps for one client; "
                                              << "cut off and its events dropped");
  dropped.clear();
  if (m_keepAlive.cutOff != nullptr) WithClient([this](CZmOrvEventSource* client) { m_keepAlive.cutOff(client); });
}

void CEventClient::Detach() {
  Queue dropped;
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_client = nullptr;
    dropped.swap(m_ready);
    m_named.clear();
    m_stats.bytes = 0;
    const std::thread::id self = std::this_thread::get_id();
    m_idle.wait(lock, [&] { return m_inUse == 0 || (m_inUse == 1 && m_user == self); });
  }
}

bool CEventClient::IsAttached() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_client != nullptr;
}
