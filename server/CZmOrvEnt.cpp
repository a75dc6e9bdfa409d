#include "server/CZmOrvEnt.h"

#include <omniORB4/CORBA.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cwctype>
#include <memory>
#include <vector>

#include "OrvPayload.h"
#include "platform/com/rpc/CallLimits.h"
#include "feed/CSettings.h"
#include "feed/ServerStatus.h"
#include "feed/StopEvent.h"
#include "platform/log/Log.h"
#include "server/CursorSupport.h"
#include "server/ServiceSignIn.h"
#include "platform/win/profile.h"

using orvcom::BstrText;
using orvcom::Narrow;

namespace {

std::atomic<LONG> g_activeObjects{0};
void (*g_onStart)() = nullptr;
void (*g_onStop)() = nullptr;

// The roots are resolved by the first sign-in of their side and kept for
// every later one; only touched under the API lock.
Orv::ZmDataService_var g_equitiesRoot;
Orv::ZmDataService_var g_futuresRoot;
bool g_orbStarted = false;

// The session map is swapped in and out by ObjectMain; every access of the
// map goes through this lock (taken after the API lock), and only for the
// access: it is never held across a remote call. Methods in flight and
// releases keep their sessions alive by references of their own, so the
// stop waits for none of them.
CRITICAL_SECTION& MapLock() {
  static CRITICAL_SECTION* cs = [] {
    auto* c = new CRITICAL_SECTION;
    InitializeCriticalSection(c);
    return c;
  }();
  return *cs;
}

std::unique_ptr<CZmOrvEnt::DataHolderMap>& MapSlot() {
  static std::unique_ptr<CZmOrvEnt::DataHolderMap> map(new CZmOrvEnt::DataHolderMap);
  return map;
}

// Under MapLock().
std::shared_ptr<CDataHolder> FindSessionLocked(const std::u16string& user) {
  auto& map = MapSlot();
  if (!map) return nullptr;
  auto it = map->find(user);
  return it == map->end() ? nullptr : it->second;
}

std::shared_ptr<CDataHolder> FindSession(const std::u16string& user) {
  orvwin::CritSecLock lock(MapLock());
  return FindSessionLocked(user);
}

// A client's event handler may call back in here and wait for the lock
// while another user's call holds it; the wait is ours, not the client's,
// and must not make the event's call into that client look unanswered.
class ApiLockGuard {
 public:
  ApiLockGuard() {
    if (TryEnterCriticalSection(&CZmOrvEnt::ApiLock())) return;
    orvrpc::PeerWaitScope waiting;
    EnterCriticalSection(&CZmOrvEnt::ApiLock());
  }
  ~ApiLockGuard() { LeaveCriticalSection(&CZmOrvEnt::ApiLock()); }
  ApiLockGuard(const ApiLockGuard&) = delete;
  ApiLockGuard& operator=(const ApiLockGuard&) = delete;
};

// Sets the thread's error information with the server's ProgID as source.
HRESULT ReportError(const std::string& description, REFIID iid) {
  const std::u16string wide = orvcom::Widen(description);
  return AtlReportError(CLSID_ZmOrvEnt, reinterpret_cast<LPCOLESTR>(wide.c_str()), iid, E_FAIL);
}

void UpperCaseInPlace(BSTR text) {
  const UINT n = SysStringLen(text);
  for (UINT i = 0; i < n; ++i) {
    const OLECHAR c = text[i];
    // Surrogate halves are left alone: towupper only maps whole characters.
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    text[i] = static_cast<OLECHAR>(std::towupper(static_cast<wint_t>(c)));
  }
}

bool IsEmpty(BSTR text) { return text == nullptr || SysStringLen(text) == 0; }

// The file that holds a password must be the user's alone: a hand-made
// orv.ini (0644, as an editor leaves it) is made 0600 before the password
// goes in, and a link at that name is never written through, wherever it
// points. False when the file must not be written.
bool MakeCredentialFilePrivate(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;  // made 0600 by the write
  if (!S_ISREG(st.st_mode)) {
    ORV_LOG(orvlog::kError, "ERROR: " << path << " is not a plain file (a link?); the credentials are not stored");
    return false;
  }
  if ((st.st_mode & 07777) == 0600) return true;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  const bool done = fd >= 0 && ::fchmod(fd, 0600) == 0;
  if (fd >= 0) ::close(fd);
  if (!done) ORV_LOG(orvlog::kError, "ERROR: " << path << " cannot be made private; the credentials are not stored");
  return done;
}

void WriteCredentials(const char* userKey, const char* passwordKey, const std::string& user,
                      const std::string& password) {
  const std::string path = orvwin::UserDataFolder() + "orv.ini";
  if (!MakeCredentialFilePrivate(path)) return;
  WritePrivateProfileStringA("Main", userKey, user.c_str(), path.c_str());
  WritePrivateProfileStringA("Main", passwordKey, password.c_str(), path.c_str());
}

// How a session signs in again to a side whose service it lost: the side's
// endpoint list resolved anew, and the sign-in it first made.
CDataHolder::Reconnector MakeReconnector(bool futures, const std::string& user, const std::string& password) {
  CDataHolder::Reconnector r;
  r.resolve = [futures] { return ResolveDataService(futures ? CSettings::InitFutRef : CSettings::InitRef); };
  r.signIn = [futures, user, password](Orv::ZmDataService_ptr root) {
    return SignInToService(root, user, password, !futures);
  };
  return r;
}

bool NeedsFutures(DataTypeEnum type) {
  return type == enFutureData || type == enFutureOptionData || type == enFutIVIndexData ||
         type == enFutIVSurfaceData;
}

// The handle's client is always the main object itself.
CZmOrvEnt* MainObjectOf(CZmOrvEventSource* source) { return static_cast<CZmOrvEnt*>(source); }

// An event keeps its object by a reference of its own while it calls the
// sinks, taken only while the object still has one: a final release that
// has begun is never undone, and one that a handler causes runs once the
// event has let go, never under it.
bool HoldForEvent(CZmOrvEventSource* source) {
  CZmOrvEnt* object = MainObjectOf(source);
  LONG n = object->m_dwRef.load();
  while (n > 0) {
    if (object->m_dwRef.compare_exchange_weak(n, n + 1)) return true;
  }
  return false;
}

void ReleaseAfterEvent(CZmOrvEventSource* source) { static_cast<IZmOrvEnt*>(MainObjectOf(source))->Release(); }

// A client that stopped taking events is ended as a dead one: the
// connections of its sinks close, and with them go its objects, its
// subscriptions and its queued events.
void CutOffClient(CZmOrvEventSource* source) { MainObjectOf(source)->DisconnectSinks(); }

}  // namespace

void CZmOrvEnt::DisconnectSinks() {
  std::vector<IUnknown*> sinks;
  Lock();
  for (int i = 0; i < m_vec.GetSize(); ++i) {
    if (IUnknown* sink = m_vec.GetAt(i)) {
      sink->AddRef();
      sinks.push_back(sink);
    }
  }
  Unlock();
  for (IUnknown* sink : sinks) {
    orvrpc::DisconnectPeerOf(sink);
    sink->Release();
  }
}

// ---- Process-wide state -------------------------------------------------------

CRITICAL_SECTION& CZmOrvEnt::ApiLock() {
  static CRITICAL_SECTION* cs = [] {
    auto* c = new CRITICAL_SECTION;
    InitializeCriticalSection(c);
    return c;
  }();
  return *cs;
}

CZmOrvEnt::DataHolderMap& CZmOrvEnt::UserDataHolderMap() {
  orvwin::CritSecLock lock(MapLock());
  auto& map = MapSlot();
  if (!map) map.reset(new DataHolderMap);
  return *map;
}

LONG CZmOrvEnt::ActiveObjectCount() { return g_activeObjects.load(); }

void CZmOrvEnt::SetObjectMainHooks(void (*onStart)(), void (*onStop)()) {
  g_onStart = onStart;
  g_onStop = onStop;
}

void CZmOrvEnt::ObjectMain(bool starting) {
  if (starting) {
    StopEvent();
    if (g_onStart != nullptr) g_onStart();
    orvwin::CritSecLock lock(MapLock());
    MapSlot().reset(new DataHolderMap);
    return;
  }
  if (g_onStop != nullptr) g_onStop();
  SetEvent(StopEvent());
  std::unique_ptr<DataHolderMap> sessions;
  {
    orvwin::CritSecLock lock(MapLock());
    sessions = std::move(MapSlot());
  }
  // Dropped outside the map lock: a session's destructor waits for its pull
  // threads and event pools, whose events may release objects, whose
  // release takes the map lock. A session that a method in flight still
  // holds goes when that method returns.
  sessions.reset();
  ORV_LOG(orvlog::kDebug, "CZmOrvEnt::ObjectMain() completed");
}

// ---- Object ---------------------------------------------------------------------

CZmOrvEnt::CZmOrvEnt()
    : m_client(CEventClient::Create(this, {&HoldForEvent, &ReleaseAfterEvent, &CutOffClient}, this)),
      m_bstrUserName(nullptr),
      m_bstrPassword(nullptr),
      m_bConnected(0),
      m_bFutConnected(0) {
  const LONG count = ++g_activeObjects;
  ORV_LOG(orvlog::kDebug,
          "CZmOrvEnt object created 0x" << orvsrv::PtrText(this) << ". Total active objects " << count);
}

CZmOrvEnt::~CZmOrvEnt() {
  // Normally done by FinalRelease; an object that never got that far must
  // still not be reached by a queued event.
  m_client->Detach();
  const LONG count = --g_activeObjects;
  ORV_LOG(orvlog::kDebug,
          "CZmOrvEnt object deleted " << orvsrv::PtrText(this) << ". Total active objects " << count);
  SysFreeString(m_bstrUserName);
  SysFreeString(m_bstrPassword);
}

HRESULT CZmOrvEnt::FinalConstruct() {
  ORV_LOG(orvlog::kTrace, "CZmOrvEnt::FinalConstruct() started");
  m_bConnected = 0;
  m_bFutConnected = 0;
  ORV_LOG(orvlog::kTrace, "CZmOrvEnt::FinalConstruct() completed");
  return S_OK;
}

void CZmOrvEnt::FinalRelease() {
  ORV_LOG(orvlog::kTrace, "CZmOrvEnt::FinalRelease() started");
  ORV_LOG(orvlog::kTrace, "CZmOrvEnt::FinalRelease() Detach all user data");
  // No event may start on this object once its members begin to go. None
  // is in progress on another thread: each holds a reference, and this is
  // the release of the last one (an event's own, when its handler let the
  // object go, runs this on the event's thread once it has called out).
  m_client->Detach();
  _UnsubcribeThread(this);
  ORV_LOG(orvlog::kTrace, "CZmOrvEnt::FinalRelease() completed");
}

void CZmOrvEnt::_UnsubcribeThread(CZmOrvEnt* object) {
  ORV_LOG(orvlog::kTrace, "_UnsubcribeThread THREAD STARTED");
  // Every kind the object may hold goes, the direct and non-standard
  // tables too, and a kind that fails stops none of the others: a key left
  // behind would stay subscribed for nobody. The sides' connected flags
  // and the last user name say nothing here: a later sign-in that failed,
  // or named another user, leaves the keys taken before it in place.
  const std::vector<int> kinds = {enStockData,         enOptionData,        enIVIndexData,   enIVSurfaceData,
                                  enStockData_Direct,  enOptionData_Direct, enNstdOptionData, enFutIVIndexData,
                                  enFutIVSurfaceData,  enFutureData,        enFutureOptionData};
  for (const std::weak_ptr<CDataHolder>& joined : object->m_sessions) {
    // A session that the module's stop has ended holds nothing any more.
    const std::shared_ptr<CDataHolder> session = joined.lock();
    if (session) ReleaseFromSession(*session, object->m_client, kinds);
  }
  ORV_LOG(orvlog::kTrace, "_UnsubcribeThread THREAD COMPLETED");
}

void CZmOrvEnt::ReleaseFromSession(CDataHolder& session, const CEventClientPtr& client, const std::vector<int>& kinds) {
  try {
    session.ReleaseClient(client, kinds);
  } catch (const CORBA::SystemException& e) {
    const orvidl::CorbaExceptionInfo info = orvidl::DescribeException(e);
    ORV_LOG(orvlog::kError, "ERROR: CZmOrvEnt::_UnsubcribeThread Caught a CORBA::SystemException : " << info.name << " "
                                                                                                   << info.repoId);
  } catch (const CORBA::Exception& e) {
    const orvidl::CorbaExceptionInfo info = orvidl::DescribeException(e);
    ORV_LOG(orvlog::kError, "ERROR: CZmOrvEnt::_UnsubcribeThread Caught CORBA::Exception : " << info.name << " "
                                                                                            << info.repoId);
  } catch (const omniORB::fatalException& e) {
    ORV_LOG(orvlog::kError, "ERROR: CZmOrvEnt::_UnsubcribeThread Caught omniORB::fatalException: "
                                << (e.errmsg() != nullptr ? e.errmsg() : ""));
  } catch (...) {
    ORV_LOG(orvlog::kError, "ERROR: CZmOrvEnt::_UnsubcribeThread unknown error");
  }
}

STDMETHODIMP CZmOrvEnt::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID_IZmOrvEnt) ? S_OK : S_FALSE;
}

// ---- Helpers --------------------------------------------------------------------

void CZmOrvEnt::RaiseError(const std::string& text) { RaiseAutomationError(text); }

HRESULT CZmOrvEnt::HandleCurrentException(const char* name, const char* file, int line,
                                          bool commFailureClause) {
  if (file != nullptr) ORV_LOG(orvlog::kDebug, "Exception: " << file << ":" << line);
  try {
    throw;
  } catch (const CORBA::COMM_FAILURE& e) {
    const orvidl::CorbaExceptionInfo info = orvidl::DescribeException(e);
    if (commFailureClause) {
      const std::string text =
          "Caught system exception COMM_FAILURE -- unable to contact the object: " + info.name + " " + info.repoId;
      ORV_LOG(orvlog::kError, "ERROR: CZmOrvEnt::" << name << " " << text);
      return ReportError(text, IID_IZmOrvEnt);
    }
    const std::string text = "Caught a CORBA::SystemException : " + info.name + " " + info.repoId;
    ORV_LOG(orvlog::kError, "ERROR: CZmOrvEnt::" << name << " " << text);
    return ReportError(text, IID_IZmOrvEnt);
  } catch (const _com_error& e) {
    _bstr_t description;
    IErrorInfo* info = e.ErrorInfo();
    if (info != nullptr) {
      BSTR d = nullptr;
      info->GetDescription(&d);
      description.Attach(d);
      info->Release();
    }
    const std::string text = description.length() != 0 ? static_cast<const char*>(description) : "";
    ORV_LOGF(orvlog::kError, "ERROR: Code = %08lx\n\tCode meaning = %s\n\tDescription = %s",
             static_cast<unsigned long>(static_cast<uint32_t>(e.Error())), e.ErrorMessage(), text.c_str());
    if (info != nullptr) {
      const std::u16string wide = BstrText(static_cast<BSTR>(description));
      AtlReportError(CLSID_ZmOrvEnt, reinterpret_cast<LPCOLESTR>(wide.c_str()), GUID_NULL, e.Error());
    }
    return e.Error();
  } catch (const CORBA::SystemException& e) {
    const orvidl::CorbaExceptionInfo info = orvidl::DescribeException(e);
    const std::string text = "Caught a CORBA::SystemException : " + info.name + " " + info.repoId;
    ORV_LOG(orvlog::kError, "ERROR: CZmOrvEnt::" << name << " " << text);
    return ReportError(text, IID_IZmOrvEnt);
  } catch (const CORBA::Exception& e) {
    const orvidl::CorbaExceptionInfo info = orvidl::DescribeException(e);
    const std::string text = "Caught CORBA::Exception : " + info.name + " " + info.repoId;
    ORV_LOG(orvlog::kError, "ERROR: CZmOrvEnt::" << name << " " << text);
    return ReportError(text, IID_IZmOrvEnt);
  } catch (const omniORB::fatalException& e) {
    const std::string text =
        std::string("Caught omniORB::fatalException: ") + (e.errmsg() != nullptr ? e.errmsg() : "");
    ORV_LOG(orvlog::kError, "ERROR: CZmOrvEnt::" << name << " " << text);
    return ReportError(text, IID_IZmOrvEnt);
  } catch (...) {
    ORV_LOG(orvlog::kError, "ERROR: CZmOrvEnt::" << name << " method unknown error");
    return ReportError("Unknown Error", IID_IZmOrvEnt);
  }
}

HRESULT CZmOrvEnt::CallInFrame(const char* name, BSTR symbol, unsigned flags,
                               const std::function<HRESULT(CDataHolder& session)>& work) {
  if ((flags & kTakesSymbol) != 0) {
    if (IsEmpty(symbol)) return E_INVALIDARG;
    UpperCaseInPlace(symbol);
  }
  HRESULT hr = S_OK;
  {
    ApiLockGuard api;
    std::shared_ptr<CDataHolder> session;
    try {
      const bool connected = (flags & kFuturesSide) != 0 ? m_bFutConnected != 0 : m_bConnected != 0;
      if (!connected) RaiseError("No connection");
      session = FindSession(BstrText(m_bstrUserName));
      if (session == nullptr) RaiseError("User data holder not found");
      hr = work(*session);
    } catch (const CORBA::SystemException& e) {
      // Any call may be the first to find the service gone; the session
      // then rebuilds that side.
      if (session != nullptr && CDataHolder::IsServiceLost(e)) session->NoteServiceLost((flags & kFuturesSide) != 0);
      hr = HandleCurrentException(name, __FILE__, __LINE__, (flags & kCommFailureClause) != 0);
    } catch (...) {
      hr = HandleCurrentException(name, __FILE__, __LINE__, (flags & kCommFailureClause) != 0);
    }
    if ((flags & kNoCompletedLine) == 0) ORV_LOG(orvlog::kTrace, "CZmOrvEnt::" << name << "() completed");
  }
  return hr;
}

// ---- Sign-in ----------------------------------------------------------------------

void CZmOrvEnt::_InitializeCORBA() {
  g_orbStarted = !CORBA::is_nil(InitializeCorba(orvcom::ModulePath()));
  // A start that failed without a CORBA error of its own still must not
  // reach the caller as a bad object reference.
  if (!g_orbStarted) RaiseError("ORB initialization failed");
}

HRESULT CZmOrvEnt::SignIn(const char* name, BSTR UserName, BSTR Password, bool futures) {
  // The log is read by more than the user: the password never goes there.
  ORV_LOG(orvlog::kTrace,
          "CZmOrvEnt::" << name << "() started params: UserName = " << orvlog::Printable(Narrow(BstrText(UserName)))
                        << " Password = ********");
  HRESULT hr = S_OK;
  ApiLockGuard api;
  // Set only when the service itself turned the credentials down for a
  // sign-in of its own: a refused join, an outage or a failed set-up says
  // nothing against the credentials that orv.ini holds.
  bool refusedByService = false;
  try {
    SysFreeString(m_bstrUserName);
    SysFreeString(m_bstrPassword);
    m_bstrUserName = UserName != nullptr ? SysAllocStringLen(UserName, SysStringLen(UserName)) : nullptr;
    m_bstrPassword = Password != nullptr ? SysAllocStringLen(Password, SysStringLen(Password)) : nullptr;

    if (!g_orbStarted) _InitializeCORBA();
    Orv::ZmDataService_var& root = futures ? g_futuresRoot : g_equitiesRoot;
    if (CORBA::is_nil(root)) root = ResolveDataService(futures ? CSettings::InitFutRef : CSettings::InitRef);

    const std::u16string user = BstrText(m_bstrUserName);
    std::shared_ptr<CDataHolder> session = FindSession(user);
    const bool signedIn =
        session != nullptr && !CORBA::is_nil(futures ? session->GetFuturesServer() : session->GetDataServer());
    const std::string password8 = Narrow(BstrText(m_bstrPassword));
    // The service checked the password of the session's own sign-in; a
    // client joining the session must give the same one.
    if (signedIn && !session->IsSignInPassword(futures, password8)) RaiseError("Invalid user id or password");
    // A session that lost its service is not signed in on it: the caller
    // joins its rebuild, and a rebuild that fails fails the sign-in.
    if (signedIn) session->RebuildNow(futures);
    if (!signedIn) {
      ORV_LOG(orvlog::kTrace, (futures ? "Connecting to futures server" : "Connecting to stocks server"));
      const std::string user8 = Narrow(BstrText(m_bstrUserName));
      Orv::ZmDataManager_var manager = SignInToService(root.in(), user8, password8, !futures, [&] {
        if (futures) {
          WriteCredentials("FutUsername", "FutPassword", user8, password8);
        } else {
          WriteCredentials("Username", "Password", user8, password8);
        }
      }, &refusedByService);
      const bool made = session == nullptr;
      if (made) {
        session = std::make_shared<CDataHolder>(user, futures ? Orv::ZmDataManager::_nil() : manager.in(),
                                                futures ? manager.in() : Orv::ZmDataManager::_nil());
        orvwin::CritSecLock lock(MapLock());
        if (!MapSlot()) MapSlot().reset(new DataHolderMap);
        (*MapSlot())[user] = session;
      }
      bool ready;
      if (futures) {
        session->SetFuturesServer(manager.in());
        ready = session->FutsInitialize();
      } else {
        session->SetDataServer(manager.in());
        ready = session->Initialize();
      }
      if (!ready) {
        // Nothing half-built may stay: a session made here goes, and an
        // existing one forgets this side's manager, so the next sign-in
        // sets the side up again instead of skipping it.
        const std::string text = session->SetUpError();
        if (made) {
          {
            orvwin::CritSecLock lock(MapLock());
            if (MapSlot()) MapSlot()->erase(user);
          }
          session.reset();
        } else {
          session->DropServer(futures);
        }
        RaiseError(text.empty() ? std::string("Session set-up failed") : text);
      }
      session->SetSignInPassword(futures, password8);
      session->SetReconnector(futures, MakeReconnector(futures, user8, password8));
    }
    (futures ? m_bFutConnected : m_bConnected) = 1;
    const bool known = std::any_of(m_sessions.begin(), m_sessions.end(), [&](const std::weak_ptr<CDataHolder>& w) {
      return w.lock() == session;
    });
    if (!known) m_sessions.push_back(session);
  } catch (...) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    if (futures) {
      if (refusedByService) WriteCredentials("FutUsername", "FutPassword", "", "");
      m_bFutConnected = 0;
    } else {
      if (refusedByService) WriteCredentials("Username", "Password", "", "");
      m_bConnected = 0;
    }
    // The location was logged above, before the ini was touched.
    hr = HandleCurrentException(name, nullptr, 0, false);
  }
  ORV_LOG(orvlog::kTrace, "CZmOrvEnt::" << name << "() completed");
  return hr;
}

STDMETHODIMP CZmOrvEnt::Connect(BSTR UserName, BSTR Password) { return SignIn("Connect", UserName, Password, false); }

STDMETHODIMP CZmOrvEnt::FutConnect(BSTR UserName, BSTR Password) {
  return SignIn("FutConnect", UserName, Password, true);
}

// A session lives until the program ends; the object stays signed in.
STDMETHODIMP CZmOrvEnt::Disconnect() {
  ORV_LOG(orvlog::kTrace, "CZmOrvEnt::Disconnect() started");
  return S_OK;
}

STDMETHODIMP CZmOrvEnt::Attach(DataTypeEnum Type) {
  ORV_LOG(orvlog::kTrace, "CZmOrvEnt::Attach() started params: DataTypeEnum " << static_cast<int>(Type));
  { ApiLockGuard api; }
  ORV_LOG(orvlog::kTrace, "CZmOrvEnt::Attach() completed");
  return S_OK;
}

STDMETHODIMP CZmOrvEnt::Detach(DataTypeEnum /*Type*/) {
  { ApiLockGuard api; }
  return S_OK;
}

// ---- Subscriptions ------------------------------------------------------------------

STDMETHODIMP CZmOrvEnt::Subscribe(BSTR Symbol, SymbolTypeEnum SymbType, DataTypeEnum Type) {
  ORV_LOG(orvlog::kTrace, "CZmOrvEnt::Subscribe() started params: Symbol = "
                              << orvlog::Printable(Narrow(BstrText(Symbol))));
  return CallInFrame("Subscribe", Symbol, kTakesSymbol | (NeedsFutures(Type) ? kFuturesSide : 0u),
                     [&](CDataHolder& session) {
                       const std::u16string symbol = BstrText(Symbol);
                       const orvsrv::CAtmSubscriptions::Key key(symbol, SymbType == enOption);
                       if (Type == enIVATMData) {
                         session.Subscribe(m_client, symbol, enStockData, SymbType);
                         session.Subscribe(m_client, symbol, enOptionData, SymbType);
                         m_atm.AtmSubscribed(key);
                       } else {
                         session.Subscribe(m_client, symbol, Type, SymbType);
                         m_atm.Subscribed(Type, key);
                       }
                       return S_OK;
                     });
}

STDMETHODIMP CZmOrvEnt::UnSubscribe(BSTR Symbol, SymbolTypeEnum SymbType, DataTypeEnum Type) {
  return CallInFrame("UnSubscribe", Symbol, kTakesSymbol | (NeedsFutures(Type) ? kFuturesSide : 0u),
                     [&](CDataHolder& session) {
                       const std::u16string symbol = BstrText(Symbol);
                       const orvsrv::CAtmSubscriptions::Key key(symbol, SymbType == enOption);
                       if (Type == enIVATMData) {
                         // Only what the object does not hold for itself.
                         for (int kind : m_atm.AtmUnSubscribed(key))
                           session.UnSubscribe(m_client, symbol, kind, SymbType);
                       } else if (m_atm.UnSubscribed(Type, key)) {
                         session.UnSubscribe(m_client, symbol, Type, SymbType);
                       }
                       return S_OK;
                     });
}

STDMETHODIMP CZmOrvEnt::SubscribeAll(DataTypeEnum Type) {
  ORV_LOG(orvlog::kTrace, "CZmOrvEnt::SubscribeAll() started");
  return CallInFrame("SubscribeAll", nullptr, NeedsFutures(Type) ? kFuturesSide : 0u, [&](CDataHolder& session) {
    session.SubscribeAll(m_client, Type);
    return S_OK;
  });
}

STDMETHODIMP CZmOrvEnt::UnSubscribeAll(DataTypeEnum Type) {
  return CallInFrame("UnSubscribeAll", nullptr, NeedsFutures(Type) ? kFuturesSide : 0u,
                     [&](CDataHolder& session) {
                       session.UnSubscribeAll(m_client, Type);
                       m_atm.UnSubscribedAll(Type);
                       return S_OK;
                     });
}

STDMETHODIMP CZmOrvEnt::IsSymbolSubscribed(BSTR Symbol, SymbolTypeEnum SymbType, DataTypeEnum Type,
                                           VARIANT_BOOL* bVal) {
  return CallInFrame("IsSymbolSubscribed", Symbol,
                     kTakesSymbol | kNoCompletedLine | (NeedsFutures(Type) ? kFuturesSide : 0u),
                     [&](CDataHolder& session) {
                       const bool subscribed = session.IsSymbolSubscribed(m_client, BstrText(Symbol), Type, SymbType);
                       if (bVal != nullptr) *bVal = subscribed ? VARIANT_TRUE : VARIANT_FALSE;
                       return S_OK;
                     });
}

HRESULT CZmOrvEnt::SubscribeGroupImpl(const char* name, const VARIANT& symbolArray, SymbolTypeEnum SymbType,
                                      DataTypeEnum Type, bool subscribe) {
  return CallInFrame(
      name, nullptr, kNoCompletedLine | (NeedsFutures(Type) ? kFuturesSide : 0u), [&](CDataHolder& session) {
        if (symbolArray.vt != (VT_ARRAY | VT_BSTR) || symbolArray.parray == nullptr ||
            SafeArrayGetDim(symbolArray.parray) != 1) {
          ORV_LOG(orvlog::kWarn, "Invalid type parameter in method " << name);
          return DISP_E_TYPEMISMATCH;
        }
        SAFEARRAY* array = symbolArray.parray;
        LONG lower = 0;
        SafeArrayGetLBound(array, 1, &lower);
        // Walked by element count: a LONG index running up to the bound
        // never passes an upper bound of 2^31-1, and the upper bound of an
        // empty array starting at -2^31 wraps to 2^31-1.
        const ULONG count = array->rgsabound[0].cElements;
        std::vector<std::string> symbols;
        for (ULONG k = 0; k < count; ++k) {
          LONG i = static_cast<LONG>(int64_t(lower) + int64_t(k));
          BSTR element = nullptr;
          if (FAILED(SafeArrayGetElement(array, &i, &element))) continue;
          if (element != nullptr) {
            UpperCaseInPlace(element);
            symbols.push_back(Narrow(BstrText(element)));
          }
          SysFreeString(element);
        }
        if (symbols.empty()) RaiseError(std::string(name) + " failed: parameter symbolArray is empty");
        if (subscribe) {
          session.SubscribeGroup(m_client, symbols, Type, SymbType);
          for (const std::string& s : symbols) m_atm.Subscribed(Type, {orvcom::Widen(s), SymbType == enOption});
        } else {
          for (const std::string& s : symbols) {
            if (m_atm.UnSubscribed(Type, {orvcom::Widen(s), SymbType == enOption}))
              session.UnSubscribe(m_client, orvcom::Widen(s), Type, SymbType);
          }
        }
        return S_OK;
      });
}

STDMETHODIMP CZmOrvEnt::SubscribeGroup(VARIANT symbolArray, SymbolTypeEnum SymbType, DataTypeEnum Type) {
  return SubscribeGroupImpl("SubscribeGroup", symbolArray, SymbType, Type, true);
}

STDMETHODIMP CZmOrvEnt::UnSubscribeGroup(VARIANT symbolArray, SymbolTypeEnum SymbType, DataTypeEnum Type) {
  return SubscribeGroupImpl("UnSubscribeGroup", symbolArray, SymbType, Type, false);
}
