#include "dde/CDDEServer.h"

#include <mutex>

#include "platform/com/rpc/Activation.h"
#include "platform/ui/shellapi.h"

namespace zmdde {

CDDEServer* CDDEServer::s_instance = nullptr;
std::mutex CDDEServer::s_serverLock;
IZmOrvEntPtr CDDEServer::s_server;
std::atomic<bool> CDDEServer::s_live{false};
std::atomic<BYTE> CDDEServer::limitReported{0};

namespace {

// Every context: in-process server and handler, local and remote server.
constexpr DWORD kAllContexts =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

// How long the destructor lets each thread finish its current call before
// it reports that it is still waiting for it.
constexpr DWORD kWorkerGraceMs = 100;
constexpr DWORD kOverLimitGraceMs = 1000;
// How long the destructor waits for the server to let go of the sink.
constexpr DWORD kSinkReleaseWaitMs = 5000;

std::mutex& LostNoticeMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}
std::function<void()>& LostNotice() {
  static auto* notice = new std::function<void()>;
  return *notice;
}

// Every failure raised in the process passes here first: one that says the
// server is gone is the loss of the server, whichever call met it.
void WatchComErrors(HRESULT hr, IErrorInfo*) { CDDEServer::NoteIfServerLost(hr); }

void JoinThread(HANDLE& thread, DWORD graceMs) {
  if (!thread) return;
  // Threads cannot be killed here; they notice the quit event between
  // remote calls, so after the grace period the wait goes on until the call
  // in progress returns rather than leaving a thread that uses this object.
  if (WaitForSingleObject(thread, graceMs) == WAIT_TIMEOUT) WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  thread = nullptr;
}

using orvcom::Narrow;

}  // namespace

IZmOrvEntPtr CDDEServer::ServerObject() {
  std::lock_guard<std::mutex> lock(s_serverLock);
  return s_server;
}

void CDDEServer::SetServerObject(const IZmOrvEntPtr& server) {
  IZmOrvEntPtr old;
  {
    std::lock_guard<std::mutex> lock(s_serverLock);
    old = s_server;
    s_server = server;
  }
  // The last reference may be a remote release: not under the lock.
  old = nullptr;
}

CDDEServer::CDDEServer(CSystemTray* tray) : m_tray(tray) {
  InitializeCriticalSection(&m_topicLock);
  InitializeCriticalSection(&m_eventLock);
  InitializeCriticalSection(&m_atmPollLock);
  if (s_instance) return;  // a second object gets neither events nor months
  s_instance = this;
  m_stopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  const bool wakeUp = m_subscriptions.MakeWakeUp();
  m_quitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!m_stopEvent || !wakeUp || !m_quitEvent) {
    const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
    if (m_stopEvent) CloseHandle(m_stopEvent);
    m_subscriptions.CloseWakeUp();
    if (m_quitEvent) CloseHandle(m_quitEvent);
    m_stopEvent = m_quitEvent = nullptr;
    s_instance = nullptr;
    DeleteCriticalSection(&m_atmPollLock);
    DeleteCriticalSection(&m_eventLock);
    DeleteCriticalSection(&m_topicLock);
    _com_issue_error(FAILED(hr) ? hr : E_FAIL);
  }
  m_months = MakeMonthTable();
  // The transport's notice that the server's connection closed: the server
  // died, and nothing else would tell, as an idle bridge makes no calls.
  orvrpc::SetServerGoneHandler([](const CLSID& clsid) {
    if (IsEqualGUID(clsid, CLSID_ZmOrvEnt)) NoteServerLost();
  });
  _set_com_error_handler(&WatchComErrors);
}

CDDEServer::~CDDEServer() {
  // The threads are told to stop and joined before the locks are taken:
  // a handler or worker waiting for one of those locks could otherwise
  // never finish, and no thread may outlive the object it works on.
  m_quitting = true;
  m_closing = true;
  if (m_quitEvent) SetEvent(m_quitEvent);
  if (m_stopEvent) SetEvent(m_stopEvent);
  JoinThread(m_workerThread, kWorkerGraceMs);
  {
    // The worker, the only thread that starts it, has ended.
    std::lock_guard<std::mutex> lock(m_overLimitLock);
    JoinThread(m_overLimitThread, kOverLimitGraceMs);
  }

  EnterCriticalSection(&m_eventLock);
  StoreLock* const order[] = {&g_DataHolder.stock.lock,        &g_DataHolder.option.lock,
                              &g_DataHolder.nstdOption.lock,   &g_DataHolder.ivIndex.lock,
                              &g_DataHolder.ivSurface.lock,    &g_DataHolder.futIvIndex.lock,
                              &g_DataHolder.futIvSurface.lock, &g_DataHolder.atm.lock};
  for (StoreLock* lock : order) lock->Enter();
  const bool singleton = s_instance == this;
  if (singleton) {
    s_instance = nullptr;
    orvrpc::SetServerGoneHandler(nullptr);
    _set_com_error_handler(nullptr);
  }
  DisconnectServer();
  if (m_stopEvent) CloseHandle(m_stopEvent);
  m_subscriptions.CloseWakeUp();
  if (m_quitEvent) CloseHandle(m_quitEvent);
  m_stopEvent = m_quitEvent = nullptr;
  // The connection and the DDE service are the process's, kept by the one
  // object that owns them; a stray second object leaves them alone.
  if (singleton) {
    SetServerObject(nullptr);
    EndDde();
  }
  for (int i = static_cast<int>(sizeof(order) / sizeof(order[0])) - 1; i >= 0; --i) {
    order[i]->Leave();
  }
  LeaveCriticalSection(&m_eventLock);

  // Events the server sent before the unadvise may still be on their way
  // in; they end at once now, but must be out before the object goes, and
  // so must the server's last references to the sink (bounded: a server
  // that never lets go is not waited for forever).
  const DWORD start = GetTickCount();
  while (m_sinkRefs > 0 && GetTickCount() - start < kSinkReleaseWaitMs) Sleep(1);
  while (m_eventsInProgress > 0) Sleep(1);
  for (IZmOrvEnt* lost : m_lostServers) lost->Release();
  m_lostServers.clear();

  DeleteCriticalSection(&m_atmPollLock);
  DeleteCriticalSection(&m_eventLock);
  DeleteCriticalSection(&m_topicLock);
}

void CDDEServer::ConnectToServer(const _bstr_t& userName, const _bstr_t& password) {
  SignIn(userName, password, true);
}

void CDDEServer::SignIn(const _bstr_t& userName, const _bstr_t& password, bool balloons) {
  // Connected to a server that is gone is not connected.
  if (m_connected && !s_live) ForgetLostServer();
  if (m_connected) return;

  SetServerObject(nullptr);
  // Signed in on a pointer of its own and published only once advised, so
  // that the worker never calls through one being replaced.
  IZmOrvEntPtr server;
  IUnknown* unknown = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_ZmOrvEnt, nullptr, kAllContexts, IID_IUnknown,
                                 reinterpret_cast<void**>(&unknown))) &&
      unknown) {
    if (SUCCEEDED(OleRun(unknown))) {
      IZmOrvEnt* object = nullptr;
      if (SUCCEEDED(unknown->QueryInterface(IID_IZmOrvEnt, reinterpret_cast<void**>(&object))))
        server.Attach(object);
    }
    unknown->Release();
  }

  bool equityFailed = false;
  try {
    equityFailed = server->Connect(userName, password) != S_OK;
  } catch (const _com_error&) {
    equityFailed = true;
  }
  if (equityFailed && balloons) {
    ClearBalloon();
    Balloon("Equity data not available", "Equity data", NIIF_WARNING);
  }

  HRESULT hr = S_OK;
  bool futuresFailed = false;
  try {
    hr = server->FutConnect(userName, password);
    futuresFailed = hr != S_OK;
  } catch (const _com_error&) {
    hr = 1;
    futuresFailed = true;
  }
  if (futuresFailed && balloons) {
    ClearBalloon();
    Balloon("Futures data not available", "Futures data", NIIF_WARNING);
  }

  if (equityFailed && futuresFailed) ThrowComErrorWithText(hr, u"All Data Providers are unavailable.");
  if (m_dwEventCookie != kNotAdvised) {
    // The last disconnect could not unadvise (its Disconnect failed); that
    // cookie belongs to an object already let go, so only forget it.
    m_dwEventCookie = kNotAdvised;
  }
  const HRESULT r = DispEventAdvise(server);
  if (FAILED(r)) ThrowComErrorWithText(r, u"Failed advise to ZmOrvEvents interface");
  SetServerObject(server);
  m_connected = 1;
  m_user = Narrow(userName);
  m_password = Narrow(password);
  s_live = true;
  // A new main object holds nothing: the old one let go of everything it
  // held when it was released, whether it was lost or signed out.
  QueueLinkedEntries();
}

void CDDEServer::DisconnectServer() {
  if (!m_connected) return;
  // Signed out on purpose: the server's end is no loss from here on.
  s_live = false;
  IZmOrvEntPtr server = ServerObject();
  try {
    server->Disconnect();
  } catch (const _com_error&) {
  }
  // Unadvised even when the sign-out failed: a sink left advised would get
  // events after its object is gone.
  try {
    const HRESULT r = DispEventUnadvise(server);
    if (r != S_OK) ThrowComErrorWithText(r, u"Failed unadvise ZmOrvEvents interface");
  } catch (const _com_error&) {
  }
  m_connected = 0;
}

void CDDEServer::SetServerLostNotice(std::function<void()> notice) {
  std::lock_guard<std::mutex> lock(LostNoticeMutex());
  LostNotice() = std::move(notice);
}

bool CDDEServer::NoteIfServerLost(HRESULT hr) {
  if (hr != RPC_E_DISCONNECTED && hr != HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)) return false;
  NoteServerLost();
  return true;
}

void CDDEServer::NoteServerLost() {
  if (!s_live.exchange(false)) return;
  std::function<void()> notice;
  {
    std::lock_guard<std::mutex> lock(LostNoticeMutex());
    notice = LostNotice();
  }
  if (notice) notice();
}

void CDDEServer::ThrowComErrorWithText(HRESULT hr, const OLECHAR* text) {
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create)) || !create) {
    if (create) create->Release();
    // Still an error: the callers rely on this never returning.
    _com_issue_error(hr);
  }
  create->SetDescription(const_cast<LPOLESTR>(text));
  IErrorInfo* info = nullptr;
  create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
  create->Release();
  SetErrorInfo(0, info);
  _com_raise_error(hr, info);
}

DdeHandleValue CDDEServer::FindTopicHandle(const std::string& topic) {
  orvwin::CritSecLock lock(m_topicLock);
  auto it = g_DataHolder.topicOfSymbol.find(topic);
  return it == g_DataHolder.topicOfSymbol.end() ? 0 : it->second;
}

void CDDEServer::RememberTopicHandle(const std::string& topic, DdeHandleValue handle) {
  orvwin::CritSecLock lock(m_topicLock);
  g_DataHolder.topicOfSymbol.emplace(topic, handle);
}

std::vector<std::string> CDDEServer::AtmPollTopics() {
  orvwin::CritSecLock poll(m_atmPollLock);
  return m_atmPollList;
}

void CDDEServer::ClearBalloon() { Balloon("", "", NIIF_NONE); }

}  // namespace zmdde
