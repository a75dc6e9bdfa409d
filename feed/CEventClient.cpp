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

void CEventClient::Deliver(uint64_t ticket, std::function<void()> job) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_client == nullptr || m_cutOff) {
    lock.unlock();
    return;  // the job, and the cursor it holds, go here, outside the lock
  }
  const bool isEvent = static_cast<bool>(job);
  m_ready.emplace(ticket, std::move(job));
  if (m_ready.size() > kMaxQueuedEvents) {
    lock.unlock();
    CutOff();
    return;
  }
  if (m_delivering) return;
  if (!isEvent) {
    // A task dropped unrun, on whatever thread drops it (the producer's, a
    // table's destructor): it only steps aside. Events behind it run on the
    // next pool thread that delivers.
    while (!m_ready.empty() && m_ready.begin()->first == m_nextToRun && !m_ready.begin()->second) {
      m_ready.erase(m_ready.begin());
      ++m_nextToRun;
    }
    return;
  }
  m_delivering = true;
  // A pool that is shutting down gets its thread back after the event in
  // progress; what is left runs on the next thread that delivers.
  while (!m_ready.empty() && m_ready.begin()->first == m_nextToRun && !orvpool::StopRequested()) {
    std::function<void()> next = std::move(m_ready.begin()->second);
    m_ready.erase(m_ready.begin());
    ++m_nextToRun;
    lock.unlock();
    if (next) next();
    next = nullptr;
    lock.lock();
  }
  m_delivering = false;
}

void CEventClient::CutOff() {
  std::map<uint64_t, std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_cutOff) return;
    m_cutOff = true;
    dropped.swap(m_ready);
  }
  ORV_LOG(orvlog::kError, "ERROR: client " << m_key << " takes no more events (" << dropped.size()
                                              << " waiting); taken for dead and its events dropped");
  dropped.clear();
  if (m_keepAlive.cutOff != nullptr) WithClient([this](CZmOrvEventSource* client) { m_keepAlive.cutOff(client); });
}

void CEventClient::Detach() {
  std::map<uint64_t, std::function<void()>> dropped;
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_client = nullptr;
    dropped.swap(m_ready);
    const std::thread::id self = std::this_thread::get_id();
    m_idle.wait(lock, [&] { return m_inUse == 0 || (m_inUse == 1 && m_user == self); });
  }
}

bool CEventClient::IsAttached() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_client != nullptr;
}
