// The main object in process against orvsim: sign-in and the ini file,
// sessions shared by user name, the release of an object, the method frame's
// argument and connection checks with their error texts, the subscription
// methods, and change events on an advised sink; through the interface's
// vtable and through IDispatch.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/com/atlbase.h"
#include "OrvPayload.h"
#include "platform/com/comdef.h"
#include "server/CZmOrvEnt.h"
#include "server/CSendStockMsgWorker.h"
#include "server/EventTaskSupport.h"
#include "platform/com/rpc/Connection.h"
#include "platform/com/rpc/Socket.h"
#include "tests/server/EventSinkBase.h"
#include "feed/UserFileName.h"
#include "tests/feed/LogCapture.h"
#include "tests/feed/SessionServiceSupport.h"
#include "tests/server/MainObjectEnvironment.h"
#include "tests/server/MainObjectTestSupport.h"
#include "platform/win/folders.h"
#include "platform/win/profile.h"
#include "platform/win/registry.h"

namespace orvtest {
namespace {

// The users these tests sign in as.
class MainObjectEnvironment : public MainObjectSimEnvironment {
 public:
  MainObjectEnvironment()
      : MainObjectSimEnvironment(SimOptions{{"--user", "carol:c1", "--user", "dave:d1", "--user", "erin:e1",
                                             "--user", "frank:f1", "--user", "gina:g1", "--user", "hank:h1"},
                                            false}) {}
};

void ClearErrorInfo() { SetErrorInfo(0, nullptr); }

std::string IniValue(const char* key) {
  const std::string path = orvwin::UserDataFolder() + "orv.ini";
  char buffer[256] = {};
  GetPrivateProfileStringA("Main", key, "<absent>", buffer, sizeof buffer, path.c_str());
  return buffer;
}

void SetIniValue(const char* key, const char* value) {
  const std::string path = orvwin::UserDataFolder() + "orv.ini";
  WritePrivateProfileStringA("Main", key, value, path.c_str());
}

CComPtr<IZmOrvEnt> SignedIn(const char* user, const char* password, bool futures = false) {
  CComPtr<IZmOrvEnt> object = NewObject();
  const HRESULT hr = futures ? object->FutConnect(_bstr_t(user), _bstr_t(password))
                             : object->Connect(_bstr_t(user), _bstr_t(password));
  EXPECT_EQ(hr, S_OK) << user << ": " << TakeErrorInfo().description;
  return object;
}

CDataHolder* SessionOf(const char* user) {
  auto& map = CZmOrvEnt::UserDataHolderMap();
  auto it = map.find(U16(user));
  return it == map.end() ? nullptr : it->second.get();
}

// The service's stock symbols.
std::vector<std::string> StockSymbols(CDataHolder& session) {
  std::vector<StockRecord> records;
  session.GetStocks(u"", records, false);
  std::vector<std::string> out;
  for (const auto& r : records) out.push_back(Text(r.Symbol));
  return out;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

// A client's event sink: records the symbols of every OnStocksChange.
class StockSink final : public EventSinkBase {
 public:
  STDMETHOD(Invoke)(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    if (id != 1 || params == nullptr || params->cArgs != 1 || params->rgvarg[0].vt != VT_DISPATCH) return S_OK;
    CComQIPtr<IStocksEnt> cursor(params->rgvarg[0].pdispVal);
    std::vector<std::string> symbols;
    VARIANT_BOOL more = VARIANT_TRUE;
    while (cursor && more == VARIANT_TRUE) {
      BSTR s = nullptr;
      cursor->get_Symbol(&s);
      if (s != nullptr && SysStringLen(s) != 0) symbols.push_back(Text(_bstr_t(s, false)));
      cursor->Next(&more);
    }
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      for (auto& s : symbols) m_symbols.insert(s);
    }
    m_cv.notify_all();
    return S_OK;
  }

  bool WaitFor(const std::string& symbol) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::seconds(10), [&] { return m_symbols.count(symbol) != 0; });
  }
  std::set<std::string> Symbols() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_symbols;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::set<std::string> m_symbols;
};

// A call by name through IDispatch; args in the order of the signature.
// Records which events arrived, whatever their kind.
class EventKindSink final : public EventSinkBase {
 public:
  STDMETHOD(Invoke)(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_ids.insert(id);
    }
    m_cv.notify_all();
    return S_OK;
  }
  bool WaitFor(const std::set<DISPID>& ids) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::seconds(10), [&] {
      return std::includes(m_ids.begin(), m_ids.end(), ids.begin(), ids.end());
    });
  }
  std::set<DISPID> Ids() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ids;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::set<DISPID> m_ids;
};

HRESULT CallByName(IDispatch* object, const char16_t* name, std::vector<_variant_t> args, EXCEPINFO* info,
                   VARIANT* result = nullptr) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  std::vector<VARIANT> reversed;
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(*it);
  DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()),
                       0};
  *info = EXCEPINFO();
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result, info, nullptr);
}

std::string ExcepText(EXCEPINFO& info) {
  const std::string text = Text(_bstr_t(info.bstrDescription, false));
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrHelpFile);
  info = EXCEPINFO();
  return text;
}

// A SAFEARRAY of BSTR in a VARIANT; a null entry stays a null element.
_variant_t SymbolArray(const std::vector<const char*>& symbols, LONG lower = 0) {
  SAFEARRAYBOUND bound = {static_cast<ULONG>(symbols.size()), lower};
  SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 1, &bound);
  for (size_t k = 0; k < symbols.size(); ++k) {
    if (symbols[k] == nullptr) continue;
    _bstr_t s(symbols[k]);
    LONG i = static_cast<LONG>(int64_t(lower) + int64_t(k));
    SafeArrayPutElement(array, &i, static_cast<BSTR>(s));
  }
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ARRAY | VT_BSTR;
  v.parray = array;
  return _variant_t(v, false);
}

class MainObject : public ::testing::Test {
 protected:
  void SetUp() override {
    CSettings::UseCompression = 0;
    Env()->Control()->ClearInjections();
    ClearErrorInfo();
  }
};

TEST_F(MainObject, ConnectWritesTheIniAndAFailedOneBlanksItsOwnSide) {
  LogCapture log;
  CComPtr<IZmOrvEnt> good = SignedIn("carol", "c1");
  EXPECT_EQ(IniValue("Username"), "carol");
  EXPECT_EQ(IniValue("Password"), "c1");
  EXPECT_TRUE(log.Contains("CZmOrvEnt::Connect() started params: UserName = carol Password = ********"));
  EXPECT_FALSE(log.Contains("Password = c1"));
  EXPECT_TRUE(log.Contains("Connecting to stocks server"));
  EXPECT_TRUE(log.Contains("CZmOrvEnt::Connect() completed"));
  ASSERT_NE(SessionOf("carol"), nullptr);
  EXPECT_FALSE(CORBA::is_nil(SessionOf("carol")->GetDataServer()));

  CComPtr<IZmOrvEnt> fut = SignedIn("carol", "c1", true);
  EXPECT_EQ(IniValue("FutUsername"), "carol");
  EXPECT_EQ(IniValue("FutPassword"), "c1");
  EXPECT_TRUE(log.Contains("Connecting to futures server"));
  EXPECT_FALSE(CORBA::is_nil(SessionOf("carol")->GetFuturesServer())) << "the futures side joins the same session";

  struct Case {
    const char* user;
    const char* password;
    bool futures;
    const char* blanked[2];
    const char* kept[2];
  } cases[] = {
      {"nobody", "x", false, {"Username", "Password"}, {"FutUsername", "FutPassword"}},
      {"erin", "wrong", true, {"FutUsername", "FutPassword"}, {"Username", "Password"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user);
    for (const char* key : {"Username", "Password", "FutUsername", "FutPassword"}) SetIniValue(key, "kept");
    CComPtr<IZmOrvEnt> bad = NewObject();
    const HRESULT hr = c.futures ? bad->FutConnect(_bstr_t(c.user), _bstr_t(c.password))
                                 : bad->Connect(_bstr_t(c.user), _bstr_t(c.password));
    EXPECT_EQ(hr, E_FAIL);
    const ErrorInfo info = TakeErrorInfo();
    EXPECT_TRUE(info.present);
    EXPECT_EQ(info.description, "Invalid user id or password");
    EXPECT_EQ(info.source, "ORVE.ZmOrvEnt.1");
    for (const char* key : c.blanked) EXPECT_EQ(IniValue(key), "") << key;
    for (const char* key : c.kept) EXPECT_EQ(IniValue(key), "kept") << key;
    EXPECT_EQ(SessionOf(c.user), nullptr) << "a refused sign-in made a session";
    // The failed side stays unconnected.
    EXPECT_EQ(bad->SubscribeAll(c.futures ? enFutureData : enStockData), E_FAIL);
    EXPECT_EQ(TakeErrorInfo().description, "No connection");
  }
  EXPECT_TRUE(log.Contains("ERROR: Code = 80004005"));
}

// A session whose set-up fails (here its database file cannot be made) is
// no session: the sign-in fails with the set-up's text and leaves nothing
// behind, and the next sign-in sets the session up from the start.
TEST_F(MainObject, AFailedSessionSetUpFailsTheSignInAndLeavesNoSession) {
  const std::string database = orvwin::UserDataFolder() + UserFileName(u"gina");
  std::filesystem::create_directories(database + "/in-the-way");
  CComPtr<IZmOrvEnt> object = NewObject();
  EXPECT_EQ(object->Connect(_bstr_t("gina"), _bstr_t("g1")), E_FAIL);
  const ErrorInfo info = TakeErrorInfo();
  EXPECT_NE(info.description.find("CDataHolder::Initialize() Unexpected error: the table of kind 0 could not be set up"),
            std::string::npos)
      << info.description;
  EXPECT_EQ(SessionOf("gina"), nullptr);
  // The service took the credentials: a set-up of ORVE's own that failed
  // says nothing against them.
  EXPECT_EQ(IniValue("Username"), "gina");
  EXPECT_EQ(object->SubscribeAll(enStockData), E_FAIL);
  EXPECT_EQ(TakeErrorInfo().description, "No connection");

  std::filesystem::remove_all(database);
  EXPECT_EQ(object->Connect(_bstr_t("gina"), _bstr_t("g1")), S_OK) << TakeErrorInfo().description;
  ASSERT_NE(SessionOf("gina"), nullptr);
  EXPECT_EQ(object->Subscribe(_bstr_t(StockSymbols(*SessionOf("gina")).at(0).c_str()), enEquity, enStockData), S_OK)
      << TakeErrorInfo().description;
}

// While the service is down a sign-in onto the user's session is no
// sign-in: it fails with the cause instead of binding the caller to a dead
// session; once the service is back the sign-in itself rebuilds the session.
TEST_F(MainObject, ASignInWhileTheServiceIsLostJoinsTheRebuild) {
  CDataHolder::SetRebuildPauses(60000, 60000);  // only the sign-in below may rebuild
  CComPtr<IZmOrvEnt> first = SignedIn("dave", "d1");
  CDataHolder* session = SessionOf("dave");
  ASSERT_NE(session, nullptr);
  const std::string symbol = StockSymbols(*session).at(0);
  EXPECT_EQ(first->Subscribe(_bstr_t(symbol.c_str()), enEquity, enStockData), S_OK);

  Env()->StopService();
  ASSERT_TRUE(Eventually([&] { return session->IsRebuilding(false); }));
  CComPtr<IZmOrvEnt> second = NewObject();
  EXPECT_EQ(second->Connect(_bstr_t("dave"), _bstr_t("d1")), E_FAIL);
  EXPECT_NE(TakeErrorInfo().description.find("TRANSIENT"), std::string::npos);

  Env()->StartServiceAgain();
  Journal journal(0);
  EXPECT_EQ(second->Connect(_bstr_t("dave"), _bstr_t("d1")), S_OK) << TakeErrorInfo().description;
  EXPECT_FALSE(session->IsRebuilding(false));
  EXPECT_EQ(SessionOf("dave"), session) << "the same session, rebuilt";
  bool resubscribed = false;
  for (const std::string& c : journal.Calls("SubscribeGroup")) resubscribed |= c.find(symbol) != std::string::npos;
  EXPECT_TRUE(resubscribed);
  EXPECT_EQ(second->Subscribe(_bstr_t(symbol.c_str()), enEquity, enStockData), S_OK) << TakeErrorInfo().description;
  CDataHolder::SetRebuildPauses(1000, 30000);
}

// Calls made at once before a restart leave the ORB one connection each to
// the old process; a sign-in after the restart may meet any number of them
// before it reaches the new one, and must not take them for the service
// being away.
TEST_F(MainObject, ASignInAfterARestartIsNotTurnedAwayByConnectionsToTheOldService) {
  CDataHolder::SetRebuildPauses(60000, 60000);  // only the sign-in below may rebuild
  CComPtr<IZmOrvEnt> first = SignedIn("hank", "h1");
  CDataHolder* session = SessionOf("hank");
  ASSERT_NE(session, nullptr);
  const std::string symbol = StockSymbols(*session).at(0);
  {
    // Held by a stalled service, the calls cannot share a connection.
    Orv::ZmDataService_var root = ResolveDataService(CSettings::InitRef);
    ASSERT_EQ(::kill(Env()->ServicePid(), SIGSTOP), 0);
    std::vector<std::thread> callers;
    std::atomic<int> answered{0};
    for (int i = 0; i < 8; ++i)
      callers.emplace_back([&] {
        Orv::ZmDataManager_var manager = root->GetZmDataManager();
        if (!CORBA::is_nil(manager)) ++answered;
      });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(::kill(Env()->ServicePid(), SIGCONT), 0);
    for (std::thread& t : callers) t.join();
    ASSERT_EQ(answered.load(), 8);
  }

  // Killed, the service says no goodbye on those connections.
  ASSERT_EQ(::kill(Env()->ServicePid(), SIGKILL), 0);
  Env()->StopService();
  Env()->StartServiceAgain();
  CComPtr<IZmOrvEnt> second = NewObject();
  EXPECT_EQ(second->Connect(_bstr_t("hank"), _bstr_t("h1")), S_OK) << TakeErrorInfo().description;
  EXPECT_FALSE(session->IsRebuilding(false));
  EXPECT_EQ(second->Subscribe(_bstr_t(symbol.c_str()), enEquity, enStockData), S_OK) << TakeErrorInfo().description;
  CDataHolder::SetRebuildPauses(1000, 30000);
}

TEST_F(MainObject, ObjectsOfOneUserShareOneSessionAndReleaseLeavesIt) {
  CComPtr<IZmOrvEnt> first = SignedIn("dave", "d1");
  CDataHolder* session = SessionOf("dave");
  ASSERT_NE(session, nullptr);
  const std::vector<std::string> stocks = StockSymbols(*session);
  ASSERT_GE(stocks.size(), 2u);

  // A second sign-in under the same name with the session's password joins
  // without asking the service and leaves the ini alone.
  SetIniValue("Username", "marker");
  Journal journal;
  CComPtr<IZmOrvEnt> second = SignedIn("dave", "d1");
  EXPECT_TRUE(journal.Calls("Connect").empty());
  EXPECT_EQ(IniValue("Username"), "marker");
  EXPECT_EQ(SessionOf("dave"), session);

  // Subscriptions belong to the object, not to the user.
  _bstr_t a(stocks[0].c_str());
  _bstr_t b(stocks[1].c_str());
  ASSERT_EQ(first->Subscribe(a, enEquity, enStockData), S_OK);
  ASSERT_EQ(second->Subscribe(b, enEquity, enStockData), S_OK);
  VARIANT_BOOL subscribed = VARIANT_TRUE;
  EXPECT_EQ(second->IsSymbolSubscribed(a, enEquity, enStockData, &subscribed), S_OK);
  EXPECT_EQ(subscribed, VARIANT_FALSE);

  // Release drops the object's subscriptions and keeps the session.
  LogCapture log;
  journal.Skip();
  const LONG before = CZmOrvEnt::ActiveObjectCount();
  second.Release();
  EXPECT_EQ(CZmOrvEnt::ActiveObjectCount(), before - 1);
  EXPECT_TRUE(log.Contains("CZmOrvEnt::FinalRelease() Detach all user data"));
  EXPECT_TRUE(log.Contains("_UnsubcribeThread THREAD COMPLETED"));
  EXPECT_TRUE(log.Contains("CZmOrvEnt object deleted "));
  const auto unsubscribed = journal.Calls("UnSubscribeGroup");
  EXPECT_TRUE(std::any_of(unsubscribed.begin(), unsubscribed.end(),
                          [&](const std::string& c) { return c.find(stocks[1]) != std::string::npos; }))
      << "the released object's symbol is still subscribed at the service";
  EXPECT_EQ(SessionOf("dave"), session);
  subscribed = VARIANT_FALSE;
  EXPECT_EQ(first->IsSymbolSubscribed(a, enEquity, enStockData, &subscribed), S_OK);
  EXPECT_EQ(subscribed, VARIANT_TRUE) << "another object's release touched this one's subscription";

  // Disconnect ends nothing: the object can still use the session.
  EXPECT_EQ(first->Disconnect(), S_OK);
  EXPECT_EQ(first->UnSubscribe(a, enEquity, enStockData), S_OK);
}

TEST_F(MainObject, AJoinWithAnotherPasswordIsRefusedAndLeavesTheSessionAlone) {
  struct Case {
    bool futures;
    const char* password;
  } cases[] = {{false, "wrong"}, {false, ""}, {false, "h1 "}, {true, "wrong"}, {true, "H1"}};
  CComPtr<IZmOrvEnt> equities = SignedIn("hank", "h1");
  CComPtr<IZmOrvEnt> futures = SignedIn("hank", "h1", true);
  CDataHolder* session = SessionOf("hank");
  ASSERT_NE(session, nullptr);
  const std::vector<std::string> stocks = StockSymbols(*session);
  ASSERT_FALSE(stocks.empty());
  const _bstr_t held(stocks[0].c_str());
  ASSERT_EQ(equities->Subscribe(held, enEquity, enStockData), S_OK);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.futures ? "FutConnect " : "Connect ") + c.password);
    Journal journal;
    CComPtr<IZmOrvEnt> intruder = NewObject();
    const HRESULT hr = c.futures ? intruder->FutConnect(_bstr_t("hank"), _bstr_t(c.password))
                                 : intruder->Connect(_bstr_t("hank"), _bstr_t(c.password));
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(TakeErrorInfo().description, "Invalid user id or password");
    EXPECT_EQ(intruder->SubscribeAll(c.futures ? enFutureData : enStockData), E_FAIL);
    EXPECT_EQ(TakeErrorInfo().description, "No connection");
    EXPECT_TRUE(journal.Calls("Connect").empty()) << "the session's own sign-in was redone";
    // The session and the clients already on it go on as before.
    EXPECT_EQ(SessionOf("hank"), session);
    EXPECT_FALSE(CORBA::is_nil(session->GetDataServer()));
    EXPECT_FALSE(CORBA::is_nil(session->GetFuturesServer()));
    VARIANT_BOOL subscribed = VARIANT_FALSE;
    EXPECT_EQ(equities->IsSymbolSubscribed(held, enEquity, enStockData, &subscribed), S_OK);
    EXPECT_EQ(subscribed, VARIANT_TRUE);
    EXPECT_EQ(futures->SubscribeAll(enFutureData), S_OK) << TakeErrorInfo().description;
  }
  // The right password still joins either side.
  CComPtr<IZmOrvEnt> joined = SignedIn("hank", "h1");
  CComPtr<IZmOrvEnt> joinedFutures = SignedIn("hank", "h1", true);
  EXPECT_EQ(SessionOf("hank"), session);
}

TEST_F(MainObject, EachSideNeedsItsOwnSignIn) {
  CComPtr<IZmOrvEnt> none = NewObject();
  CComPtr<IZmOrvEnt> equities = SignedIn("frank", "f1");
  CComPtr<IZmOrvEnt> futures = SignedIn("frank", "f1", true);
  _bstr_t symbol("ANY");
  struct Case {
    IZmOrvEnt* object;
    DataTypeEnum type;
  } refused[] = {{none, enStockData},       {none, enFutureData},      {equities, enFutureData},
                 {equities, enFutIVSurfaceData}, {futures, enStockData}, {futures, enNstdOptionData},
                 {futures, enIVATMData}};
  for (const Case& c : refused) {
    SCOPED_TRACE(static_cast<int>(c.type));
    EXPECT_EQ(c.object->Subscribe(symbol, enEquity, c.type), E_FAIL);
    const ErrorInfo info = TakeErrorInfo();
    EXPECT_EQ(info.description, "No connection");
    EXPECT_EQ(info.source, "ORVE.ZmOrvEnt.1");
    EXPECT_EQ(info.guid, GUID_NULL);
    VARIANT_BOOL b = VARIANT_TRUE;
    EXPECT_EQ(c.object->IsSymbolSubscribed(symbol, enEquity, c.type, &b), E_FAIL);
    EXPECT_EQ(c.object->UnSubscribeAll(c.type), E_FAIL);
    EXPECT_EQ(c.object->SubscribeGroup(SymbolArray({"ANY"}), enEquity, c.type), E_FAIL);
    EXPECT_EQ(TakeErrorInfo().description, "No connection");
  }
  // Attach and Detach check nothing.
  EXPECT_EQ(none->Attach(enStockData), S_OK);
  EXPECT_EQ(none->Detach(enStockData), S_OK);

  CComQIPtr<ISupportErrorInfo> support(none);
  ASSERT_TRUE(support);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IZmOrvEnt), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IStocksEnt), S_FALSE);
}

TEST_F(MainObject, TheFrameTurnsEveryFailureIntoAnHResultWithItsText) {
  CComObject<CZmOrvEnt>* raw = nullptr;
  ASSERT_EQ(CComObject<CZmOrvEnt>::CreateInstance(&raw), S_OK);
  CComPtr<IZmOrvEnt> keep;
  raw->QueryInterface(IID_IZmOrvEnt, reinterpret_cast<void**>(&keep));
  ASSERT_EQ(keep->Connect(_bstr_t("carol"), _bstr_t("c1")), S_OK);

  const CORBA::COMM_FAILURE commFailure(0, CORBA::COMPLETED_NO);
  const CORBA::ORB::InvalidName user;
  const std::string userText = "Caught CORBA::Exception : " + orvidl::DescribeException(user).name + " " +
                               orvidl::DescribeException(user).repoId;
  struct Case {
    const char* what;
    std::function<void()> fail;
    unsigned flags;
    HRESULT hr;
    const char* text;  // null: no error information
    bool interfaceGuid;
  } cases[] = {
      {"comm failure, own clause", [&] { throw commFailure; }, CZmOrvEnt::kCommFailureClause, E_FAIL,
       "Caught system exception COMM_FAILURE -- unable to contact the object: COMM_FAILURE "
       "IDL:omg.org/CORBA/COMM_FAILURE:1.0",
       true},
      {"comm failure as a system exception", [&] { throw commFailure; }, 0, E_FAIL,
       "Caught a CORBA::SystemException : COMM_FAILURE IDL:omg.org/CORBA/COMM_FAILURE:1.0", true},
      {"system exception", [] { throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO); }, 0, E_FAIL,
       "Caught a CORBA::SystemException : TRANSIENT IDL:omg.org/CORBA/TRANSIENT:1.0", true},
      {"user exception", [&] { throw user; }, 0, E_FAIL, userText.c_str(), true},
      {"fatal", [] { throw omniORB::fatalException(__FILE__, __LINE__, "boom"); }, 0, E_FAIL,
       "Caught omniORB::fatalException: boom", true},
      {"anything else", [] { throw std::runtime_error("x"); }, 0, E_FAIL, "Unknown Error", true},
      {"raised text", [] { CZmOrvEnt::RaiseError("Not found"); }, 0, E_FAIL, "Not found", false},
      {"COM error without information", [] { _com_raise_error(E_OUTOFMEMORY); }, 0, E_OUTOFMEMORY, nullptr, false},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    LogCapture log;
    ClearErrorInfo();
    const HRESULT hr = raw->CallInFrame("Probe", nullptr, c.flags, [&](CDataHolder&) -> HRESULT {
      c.fail();
      return S_OK;
    });
    EXPECT_EQ(hr, c.hr);
    const ErrorInfo info = TakeErrorInfo();
    EXPECT_EQ(info.present, c.text != nullptr);
    if (c.text != nullptr) {
      EXPECT_EQ(info.description, c.text);
      EXPECT_EQ(info.source, "ORVE.ZmOrvEnt.1");
      EXPECT_EQ(info.guid, c.interfaceGuid ? IID_IZmOrvEnt : GUID_NULL);
    }
    EXPECT_TRUE(log.Contains("Exception: "));
    EXPECT_TRUE(log.Contains("CZmOrvEnt::Probe() completed"));
    // The lock is free again for the other clients' threads.
    auto other = std::async(std::launch::async, [&] { return keep->Attach(enStockData); });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "the API lock was kept";
  }
}

TEST_F(MainObject, AClientsTextCannotForgeALogLine) {
  CComPtr<IZmOrvEnt> object = SignedIn("frank", "f1");
  LogCapture log;
  const _bstr_t forged("A\nERROR: forged line");
  object->Subscribe(forged, enEquity, enStockData);
  object->UnSubscribe(forged, enEquity, enStockData);
  ASSERT_TRUE(log.Contains("A\\nERROR: FORGED LINE"));  // upper-cased by the frame, then escaped
  for (const std::string& line : log.Lines()) {
    EXPECT_EQ(line.find("\nERROR: FORGED"), std::string::npos) << line;
    EXPECT_EQ(line.find("\nERROR: forged"), std::string::npos) << line;
  }
}

TEST_F(MainObject, SubscriptionArgumentsAreCheckedWithTheirTexts) {
  CComPtr<IZmOrvEnt> object = SignedIn("frank", "f1");
  LogCapture log;

  // An absent or empty symbol: E_INVALIDARG before anything else, even
  // before the connection check, and without a completed line.
  CComPtr<IZmOrvEnt> unconnected = NewObject();
  CComBSTR empty(u"");
  ASSERT_NE(empty.m_str, nullptr);
  for (IZmOrvEnt* o : {static_cast<IZmOrvEnt*>(object), static_cast<IZmOrvEnt*>(unconnected)}) {
    for (BSTR s : {static_cast<BSTR>(nullptr), empty.m_str}) {
      VARIANT_BOOL b = VARIANT_FALSE;
      EXPECT_EQ(o->Subscribe(s, enEquity, enStockData), E_INVALIDARG);
      EXPECT_EQ(o->UnSubscribe(s, enEquity, enStockData), E_INVALIDARG);
      EXPECT_EQ(o->IsSymbolSubscribed(s, enEquity, enStockData, &b), E_INVALIDARG);
    }
  }
  EXPECT_FALSE(log.Contains("CZmOrvEnt::Subscribe() completed"));
  EXPECT_FALSE(log.Contains("CZmOrvEnt::UnSubscribe() completed"));
  EXPECT_FALSE(TakeErrorInfo().present);

  _variant_t integer(LONG(42));
  struct GroupCase {
    const char* name;
    _variant_t array;
    DataTypeEnum type;
    HRESULT hr;
    const char* text;  // null: no error information
  } cases[] = {
      {"SubscribeGroup", integer, enStockData, DISP_E_TYPEMISMATCH, nullptr},
      {"UnSubscribeGroup", integer, enStockData, DISP_E_TYPEMISMATCH, nullptr},
      {"SubscribeGroup", SymbolArray({}), enStockData, E_FAIL, "SubscribeGroup failed: parameter symbolArray is empty"},
      {"SubscribeGroup", SymbolArray({nullptr, nullptr}), enStockData, E_FAIL,
       "SubscribeGroup failed: parameter symbolArray is empty"},
      {"UnSubscribeGroup", SymbolArray({nullptr}), enStockData, E_FAIL,
       "UnSubscribeGroup failed: parameter symbolArray is empty"},
      // An empty array at the lowest bound has the highest upper bound.
      {"SubscribeGroup", SymbolArray({}, INT32_MIN), enStockData, E_FAIL,
       "SubscribeGroup failed: parameter symbolArray is empty"},
      {"UnSubscribeGroup", SymbolArray({}, INT32_MIN), enStockData, E_FAIL,
       "UnSubscribeGroup failed: parameter symbolArray is empty"},
      {"UnSubscribeGroup", SymbolArray({nullptr}, INT32_MAX), enStockData, E_FAIL,
       "UnSubscribeGroup failed: parameter symbolArray is empty"},
      {"SubscribeGroup", SymbolArray({"ANY"}), enIVATMData, E_FAIL, "Unknown message type 4."},
      {"UnSubscribeGroup", SymbolArray({"ANY"}), static_cast<DataTypeEnum>(12), E_FAIL,
       "Unknown message type 12."},
  };
  for (GroupCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.type));
    ClearErrorInfo();
    const bool subscribe = std::string(c.name) == "SubscribeGroup";
    const HRESULT hr = subscribe ? object->SubscribeGroup(c.array, enEquity, c.type)
                                 : object->UnSubscribeGroup(c.array, enEquity, c.type);
    EXPECT_EQ(hr, c.hr);
    const ErrorInfo info = TakeErrorInfo();
    EXPECT_EQ(info.present, c.text != nullptr);
    if (c.text != nullptr) {
      EXPECT_EQ(info.description, c.text);
    }
  }
  EXPECT_TRUE(log.Contains("Invalid type parameter in method SubscribeGroup"));
  EXPECT_TRUE(log.Contains("Invalid type parameter in method UnSubscribeGroup"));

  // Arrays at either end of the index range are read whole and nothing past them.
  const std::vector<std::string> stocks = StockSymbols(*SessionOf("frank"));
  ASSERT_GE(stocks.size(), 2u);
  const std::vector<const char*> pair = {stocks[0].c_str(), stocks[1].c_str()};
  for (LONG lower : {LONG(INT32_MAX - 1), LONG(INT32_MIN)}) {
    SCOPED_TRACE(lower);
    ASSERT_EQ(object->SubscribeGroup(SymbolArray(pair, lower), enEquity, enStockData), S_OK);
    for (const char* symbol : pair) {
      VARIANT_BOOL b = VARIANT_FALSE;
      EXPECT_EQ(object->IsSymbolSubscribed(_bstr_t(symbol), enEquity, enStockData, &b), S_OK);
      EXPECT_EQ(b, VARIANT_TRUE) << symbol;
    }
    ASSERT_EQ(object->UnSubscribeGroup(SymbolArray(pair, lower), enEquity, enStockData), S_OK);
    for (const char* symbol : pair) {
      VARIANT_BOOL b = VARIANT_TRUE;
      EXPECT_EQ(object->IsSymbolSubscribed(_bstr_t(symbol), enEquity, enStockData, &b), S_OK);
      EXPECT_EQ(b, VARIANT_FALSE) << symbol;
    }
  }

  for (int type : {12, 100}) {
    EXPECT_EQ(object->Subscribe(_bstr_t("ANY"), enEquity, static_cast<DataTypeEnum>(type)), E_FAIL);
    EXPECT_EQ(TakeErrorInfo().description, "Unknown message type " + std::to_string(type) + ".");
    VARIANT_BOOL b = VARIANT_TRUE;
    EXPECT_EQ(object->IsSymbolSubscribed(_bstr_t("ANY"), enEquity, static_cast<DataTypeEnum>(type), &b), S_OK);
    EXPECT_EQ(b, VARIANT_FALSE);
  }
  EXPECT_TRUE(log.Contains("Description = Unknown message type 12."));
}

TEST_F(MainObject, SubscriptionsRecordTheUpperCasedSymbolPerKind) {
  CComPtr<IZmOrvEnt> object = SignedIn("gina", "g1");
  CDataHolder* session = SessionOf("gina");
  ASSERT_NE(session, nullptr);
  const std::vector<std::string> stocks = StockSymbols(*session);
  ASSERT_GE(stocks.size(), 3u);
  auto isSubscribed = [&](const std::string& s, DataTypeEnum type) {
    VARIANT_BOOL b = VARIANT_FALSE;
    EXPECT_EQ(object->IsSymbolSubscribed(_bstr_t(s.c_str()), enEquity, type, &b), S_OK);
    return b == VARIANT_TRUE;
  };

  // The caller's own string is upper-cased in place.
  _bstr_t lower(Lower(stocks[0]).c_str());
  ASSERT_EQ(object->Subscribe(lower, enEquity, enStockData), S_OK);
  EXPECT_EQ(Text(lower), stocks[0]);
  EXPECT_TRUE(isSubscribed(stocks[0], enStockData));
  EXPECT_FALSE(isSubscribed(stocks[0], enOptionData));

  // The ATM kind subscribes the stock and its options, but has no table to
  // answer for itself.
  ASSERT_EQ(object->Subscribe(_bstr_t(stocks[1].c_str()), enEquity, enIVATMData), S_OK);
  EXPECT_TRUE(isSubscribed(stocks[1], enStockData));
  EXPECT_TRUE(isSubscribed(stocks[1], enOptionData));
  EXPECT_FALSE(isSubscribed(stocks[1], enIVATMData));
  ASSERT_EQ(object->UnSubscribe(_bstr_t(stocks[1].c_str()), enEquity, enIVATMData), S_OK);
  EXPECT_FALSE(isSubscribed(stocks[1], enStockData));
  EXPECT_FALSE(isSubscribed(stocks[1], enOptionData));

  // A symbol never subscribed unsubscribes quietly.
  EXPECT_EQ(object->UnSubscribe(_bstr_t("NEVER"), enEquity, enStockData), S_OK);

  // Groups: null elements skipped, elements upper-cased; symbols
  // subscribed one by one leave with the group.
  ASSERT_EQ(object->SubscribeGroup(SymbolArray({Lower(stocks[2]).c_str(), nullptr}), enEquity, enStockData), S_OK);
  EXPECT_TRUE(isSubscribed(stocks[2], enStockData));
  ASSERT_EQ(object->UnSubscribeGroup(SymbolArray({stocks[0].c_str(), Lower(stocks[2]).c_str()}), enEquity,
                                     enStockData),
            S_OK);
  EXPECT_FALSE(isSubscribed(stocks[0], enStockData));
  EXPECT_FALSE(isSubscribed(stocks[2], enStockData));

  // All and none.
  ASSERT_EQ(object->SubscribeAll(enStockData), S_OK);
  for (const std::string& s : stocks) EXPECT_TRUE(isSubscribed(s, enStockData)) << s;
  ASSERT_EQ(object->UnSubscribeAll(enStockData), S_OK);
  for (const std::string& s : stocks) EXPECT_FALSE(isSubscribed(s, enStockData)) << s;
}

// ATM holds the stock and its chain under the keys of the object's own
// stock and chain subscriptions: whichever goes first, what the others
// still need stays held, and what none needs goes.
TEST_F(MainObject, AtmAndTheStockAndChainOfItsSymbolHoldTheirKeysApart) {
  CComPtr<IZmOrvEnt> object = SignedIn("hank", "h1");
  CDataHolder* session = SessionOf("hank");
  ASSERT_NE(session, nullptr);
  const std::string stock = StockSymbols(*session).at(0);
  const _bstr_t symbol(stock.c_str());
  auto held = [&](DataTypeEnum type) {
    VARIANT_BOOL b = VARIANT_FALSE;
    EXPECT_EQ(object->IsSymbolSubscribed(symbol, enEquity, type, &b), S_OK);
    return b == VARIANT_TRUE;
  };
  // A opens ATM, a closes it; S and s the stock; O and o the chain.
  for (const char* steps : {"ASOaso", "ASaOso", "SAsa", "OAao", "AOSaos", "AsSaS", "SOAsoa", "AaAa"}) {
    SCOPED_TRACE(steps);
    bool atm = false, own[2] = {false, false};
    for (const char* c = steps; *c; ++c) {
      const bool open = std::isupper(static_cast<unsigned char>(*c));
      const char what = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
      const DataTypeEnum type = what == 'A' ? enIVATMData : what == 'S' ? enStockData : enOptionData;
      ASSERT_EQ(open ? object->Subscribe(symbol, enEquity, type) : object->UnSubscribe(symbol, enEquity, type), S_OK);
      if (what == 'A') atm = open;
      if (what == 'S') own[0] = open;
      if (what == 'O') own[1] = open;
      EXPECT_EQ(held(enStockData), atm || own[0]) << "after " << *c;
      EXPECT_EQ(held(enOptionData), atm || own[1]) << "after " << *c;
    }
  }
}

// A client's sink across the transport whose handler either calls back in
// (Attach, which takes the API lock) or takes its own time.
class CallingBackSink final : public EventSinkBase {
 public:
  IZmOrvEnt* server = nullptr;
  std::chrono::milliseconds stall{0};
  std::atomic<int> events{0};
  std::atomic<bool> busy{false};
  STDMETHOD(Invoke)(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    busy = true;
    if (server != nullptr) server->Attach(enStockData);
    std::this_thread::sleep_for(stall);
    ++events;
    busy = false;
    return S_OK;
  }
};

// Another user's call holds the API lock past the event time-out while a
// client's handler, called back into, waits for it: that wait is ours, and
// the client is not cut off for it. A handler that keeps silent on its own
// as long still is.
TEST_F(MainObject, AHandlerWaitingForTheApiLockIsNotTakenForADeadClient) {
  using namespace std::chrono_literals;
  orvsrv::SetEventCallTimeout(300ms);
  const struct {
    const char* what;
    bool callsBack;
    std::chrono::milliseconds stall;
    bool cutOff;
  } cases[] = {
      {"waits for the API lock", true, 0ms, false},
      {"keeps silent on its own", false, 900ms, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CComPtr<IZmOrvEnt> object = NewObject();
    ASSERT_TRUE(object);
    orvrpc::UniqueFd a, b;
    ASSERT_TRUE(orvrpc::MakeSocketPair(&a, &b));
    auto orve = orvrpc::Connection::Start(std::move(a), object, "orve side");
    auto client = orvrpc::Connection::Start(std::move(b), nullptr, "client side");
    IZmOrvEnt* remote = nullptr;
    ASSERT_EQ(client->GetRoot(IID_IZmOrvEnt, reinterpret_cast<void**>(&remote)), S_OK);
    CallingBackSink sink;
    sink.server = c.callsBack ? remote : nullptr;
    sink.stall = c.stall;
    {
      CComQIPtr<IConnectionPointContainer> container(remote);
      ASSERT_TRUE(container);
      CComPtr<IConnectionPoint> point;
      ASSERT_EQ(container->FindConnectionPoint(DIID__IZmOrvEventsEnt, &point), S_OK);
      DWORD cookie = 0;
      ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
    }

    std::promise<void> held;
    std::thread holder([&] {
      EnterCriticalSection(&CZmOrvEnt::ApiLock());
      held.set_value();
      std::this_thread::sleep_for(900ms);
      LeaveCriticalSection(&CZmOrvEnt::ApiLock());
    });
    held.get_future().wait();
    // The event as the pool runs it, here on this thread.
    const CEventClientPtr& handle = static_cast<CZmOrvEnt*>(object.p)->Client();
    CSendStockMsgWorker(handle, nullptr, false).DoTask();
    const int answered = sink.events.load();
    holder.join();

    EXPECT_EQ(orve->IsClosed(), c.cutOff);
    EXPECT_EQ(answered, c.cutOff ? 0 : 1);
    EXPECT_TRUE(Eventually([&] { return !sink.busy; }));
    remote->Release();
    client->Close();
    orve->Close();
    EXPECT_TRUE(client->WaitClosed(std::chrono::seconds(5)));
    EXPECT_TRUE(orve->WaitClosed(std::chrono::seconds(5)));
    object.Release();
    EXPECT_TRUE(Eventually([&] { return sink.Refs() == 0; })) << "the sink is still held";
  }
  orvsrv::SetEventCallTimeout(std::chrono::milliseconds(-1));
}

TEST_F(MainObject, AnAdvisedSinkReceivesTheStocksItSubscribed) {
  CComPtr<IZmOrvEnt> object = SignedIn("carol", "c1");
  const std::vector<std::string> stocks = StockSymbols(*SessionOf("carol"));
  ASSERT_FALSE(stocks.empty());

  StockSink sink;
  CComQIPtr<IConnectionPointContainer> container(object);
  ASSERT_TRUE(container);
  CComPtr<IConnectionPoint> point;
  ASSERT_EQ(container->FindConnectionPoint(DIID__IZmOrvEventsEnt, &point), S_OK);
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);

  ASSERT_EQ(object->Subscribe(_bstr_t(stocks.back().c_str()), enEquity, enStockData), S_OK);
  Env()->Control()->PublishNow(1);
  EXPECT_TRUE(sink.WaitFor(stocks.back()));
  for (const std::string& s : sink.Symbols()) EXPECT_EQ(s, stocks.back()) << "an event for a symbol not subscribed";

  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  point.Release();
  container.Release();
  object.Release();
  // An event already on its way holds the object, and the object the sink,
  // until that event has been fired.
  EXPECT_TRUE(Eventually([&] { return sink.Refs() == 0; })) << "the released object still holds the sink";
}

// An object that held the direct and non-standard kinds and is released
// leaves them all, so the objects after it (made at once, as likely as not
// at its very address) are served as anyone else: the first by the
// service, the next at once from what is cached.
TEST_F(MainObject, AReleasedObjectLeavesEveryKindAndTheObjectsAfterItAreServed) {
  CComPtr<IZmOrvEnt> first = SignedIn("erin", "e1");
  // A stock with direct and non-standard options.
  std::string chosen;
  for (const std::string& s : StockSymbols(*SessionOf("erin"))) {
    CComPtr<IOptionsEnt> options;
    CComPtr<INstdOptionsEnt> nstd;
    BSTR symbol = nullptr;
    BSTR nstdSymbol = nullptr;
    const bool both = first->GetOptionsByStock_Direct(_bstr_t(s.c_str()), &options) == S_OK && options &&
                      options->get_Symbol(&symbol) == S_OK && SysStringLen(symbol) != 0 &&
                      first->GetNstdOptionsByStock(_bstr_t(s.c_str()), &nstd) == S_OK && nstd &&
                      nstd->get_Symbol(&nstdSymbol) == S_OK && SysStringLen(nstdSymbol) != 0;
    SysFreeString(symbol);
    SysFreeString(nstdSymbol);
    if (both) {
      chosen = s;
      break;
    }
  }
  ASSERT_FALSE(chosen.empty()) << "the service has no stock with direct and non-standard options";
  const _bstr_t stock(chosen.c_str());
  struct Kind {
    DataTypeEnum type;
  };
  const Kind kinds[] = {{enStockData_Direct}, {enOptionData_Direct}, {enNstdOptionData}};
  for (const Kind& k : kinds) ASSERT_EQ(first->Subscribe(stock, enEquity, k.type), S_OK) << TakeErrorInfo().description;
  Journal released;
  first.Release();
  // The direct kinds are subscribed at the service (the non-standard one
  // is only recorded): the release gives them back there too.
  size_t given = 0;
  for (const char* op : {"UnSubscribe", "UnSubscribeGroup"})
    for (const std::string& c : released.Calls(op)) given += c.find(chosen) != std::string::npos;
  EXPECT_GE(given, 2u) << "the direct kinds stay subscribed at the service for nobody";

  struct Client {
    CComPtr<IZmOrvEnt> object;
    EventKindSink sink;
    CComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
  };
  auto advised = [&](Client& c) {
    c.object.Attach(SignedIn("erin", "e1").Detach());
    CComQIPtr<IConnectionPointContainer> container(c.object);
    ASSERT_TRUE(container);
    ASSERT_EQ(container->FindConnectionPoint(DIID__IZmOrvEventsEnt, &c.point), S_OK);
    ASSERT_EQ(c.point->Advise(&c.sink, &c.cookie), S_OK);
  };
  Client next, late;
  advised(next);
  for (const Kind& k : kinds) {
    VARIANT_BOOL subscribed = VARIANT_TRUE;
    EXPECT_EQ(next.object->IsSymbolSubscribed(stock, enEquity, k.type, &subscribed), S_OK);
    EXPECT_EQ(subscribed, VARIANT_FALSE) << "kind " << k.type << " outlived the released object";
  }
  Journal journal;
  for (const Kind& k : kinds) ASSERT_EQ(next.object->Subscribe(stock, enEquity, k.type), S_OK);
  EXPECT_FALSE(journal.Calls("Subscribe").empty() && journal.Calls("SubscribeGroup").empty())
      << "the first subscriber after the release was never subscribed at the service";
  Env()->Control()->PublishNow(3);
  EXPECT_TRUE(next.sink.WaitFor({7})) << "events seen: " << testing::PrintToString(next.sink.Ids());

  advised(late);
  for (const Kind& k : kinds) ASSERT_EQ(late.object->Subscribe(stock, enEquity, k.type), S_OK);
  EXPECT_TRUE(late.sink.WaitFor({7})) << "the cached rows were not sent to a late subscriber";
  Env()->Control()->PublishNow(3);
  for (Client* c : {&next, &late}) {
    for (const Kind& k : kinds) {
      VARIANT_BOOL subscribed = VARIANT_FALSE;
      EXPECT_EQ(c->object->IsSymbolSubscribed(stock, enEquity, k.type, &subscribed), S_OK);
      EXPECT_EQ(subscribed, VARIANT_TRUE) << "kind " << k.type;
    }
  }

  for (Client* c : {&next, &late}) {
    EXPECT_EQ(c->point->Unadvise(c->cookie), S_OK);
    c->point.Release();
    c->object.Release();
    EXPECT_TRUE(Eventually([&] { return c->sink.Refs() == 0; })) << "the server still holds a sink";
  }
}

TEST_F(MainObject, MethodsWorkByNameThroughIDispatch) {
  CComPtr<IZmOrvEnt> object = NewObject();
  IDispatch* disp = object;
  EXCEPINFO info;

  // A failure comes back as an exception with its text and code.
  EXPECT_EQ(CallByName(disp, u"Subscribe", {_variant_t("ANY"), _variant_t(LONG(enEquity)),
                                            _variant_t(LONG(enStockData))},
                       &info),
            DISP_E_EXCEPTION);
  EXPECT_EQ(info.scode, E_FAIL);
  EXPECT_EQ(ExcepText(info), "No connection");

  EXPECT_EQ(CallByName(disp, u"Connect", {_variant_t("nobody"), _variant_t("x")}, &info), DISP_E_EXCEPTION);
  EXPECT_EQ(ExcepText(info), "Invalid user id or password");

  ASSERT_EQ(CallByName(disp, u"Connect", {_variant_t("carol"), _variant_t("c1")}, &info), S_OK);
  const std::vector<std::string> stocks = StockSymbols(*SessionOf("carol"));
  ASSERT_FALSE(stocks.empty());
  const _variant_t symbol(stocks[0].c_str());
  ASSERT_EQ(CallByName(disp, u"SubscribeGroup",
                       {SymbolArray({stocks[0].c_str()}), _variant_t(LONG(enEquity)), _variant_t(LONG(enStockData))},
                       &info),
            S_OK);
  _variant_t result;
  ASSERT_EQ(CallByName(disp, u"IsSymbolSubscribed",
                       {symbol, _variant_t(LONG(enEquity)), _variant_t(LONG(enStockData))}, &info, &result),
            S_OK);
  EXPECT_EQ(result.vt, VT_BOOL);
  EXPECT_EQ(result.boolVal, VARIANT_TRUE);
  EXPECT_EQ(CallByName(disp, u"UnSubscribeGroup",
                       {_variant_t(LONG(7)), _variant_t(LONG(enEquity)), _variant_t(LONG(enStockData))}, &info),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(CallByName(disp, u"Disconnect", {}, &info), S_OK);
}

}  // namespace
}  // namespace orvtest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  orvtest::Env() = new orvtest::MainObjectEnvironment();
  ::testing::AddGlobalTestEnvironment(orvtest::Env());
  return RUN_ALL_TESTS();
}
