// The bridge's server object against the real server program, launched by
// COM from a private registry and signed in against orvsim: sign-in and its
// errors, the request queue and its worker, first snapshots in the store,
// change events copied into entries, and the over-limit thread's switch from
// whole chains to single options.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <future>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "OrvSimControl.hh"
#include "OrvSimProcess.h"
#include "DdeFixture.h"
#include "dde/CDDEServer.h"
#include "dde/CSystemTray.h"
#include "platform/win/registry.h"

using namespace zmdde;

extern char** environ;

namespace {

std::string Text(const _bstr_t& b) {
  const char* s = static_cast<const char*>(b);
  return s ? s : "";
}

template <class Pred>
bool WaitFor(Pred pred, int limitMs = 20000) {
  for (int waited = 0; waited < limitMs; waited += 10) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

void SetString(HKEY key, const char* name, const std::string& value) {
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>(value.size() + 1));
}

void SetDword(HKEY key, const char* name, DWORD value) {
  RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// orvsim, and the server program registered as the local server of the
// main object, all in folders of this test program's own.
class ServerEnvironment : public ::testing::Environment {
 public:
  // A failed set-up is reported by every test that needs the server, so
  // that it reads as a failure rather than as skipped tests.
  void SetUp() override {
    try {
      error_ = Prepare();
    } catch (const std::exception& e) {
      error_ = e.what();
    }
  }

  std::string Prepare() {
    std::string templ = (std::filesystem::temp_directory_path() / "ddeserver-XXXXXX").string();
    if (!::mkdtemp(&templ[0])) return "no temporary folder";
    root_ = templ;
    std::filesystem::create_directories(root_ + "/home");
    std::filesystem::create_directories(root_ + "/run");
    std::filesystem::permissions(root_ + "/run", std::filesystem::perms::owner_all);
    ::setenv("USERPROFILE", (root_ + "/home").c_str(), 1);
    ::setenv("HOME", (root_ + "/home").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root_ + "/run").c_str(), 1);
    ::setenv("ORV_REGISTRY", (root_ + "/registry.reg").c_str(), 1);

    sim_ = std::make_unique<orvsim::OrvSimProcess>(
        root_, std::vector<std::string>{"--rate", "0", "--stocks", "5", "--future-roots", "2",
                                        "--user", "alice:secret", "--log-level", "warn"});

    const int registered = RunServer({"-RegServer"});
    if (registered != 0) return "the server's registration ended with " + std::to_string(registered);
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brask\\Orv\\", 0, nullptr, 0, KEY_WRITE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
      return "cannot write the server's settings";
    SetString(key, "ConnString", sim_->Get("ConnString"));
    SetString(key, "FutConnString", sim_->Get("FutConnString"));
    SetDword(key, "ServerTimeout", 5000);
    SetDword(key, "PullTimeout", 5000);
    SetDword(key, "UseCompression", 0);
    RegCloseKey(key);

    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return "CoInitializeEx failed";
    return "";
  }

  // orvsim's control object, through an ORB of this program's own.
  OrvSim::Control_ptr Control() {
    if (CORBA::is_nil(control_)) {
      int argc = 0;
      // The journal of a whole test program is read in one reply.
      const char* options[][2] = {{"giopMaxMsgSize", "268435456"}, {nullptr, nullptr}};
      orb_ = CORBA::ORB_init(argc, nullptr, "", options);
      CORBA::Object_var object = orb_->string_to_object(sim_->Get("control").c_str());
      control_ = OrvSim::Control::_narrow(object);
    }
    return control_.in();
  }

  // One object held from the first sign-in to the end keeps the server up
  // between the tests' own connections. Until then this process has no
  // connection to it, so the registry still decides where it is.
  void KeepServer() {
    if (keeper_) return;
    ASSERT_EQ(CoCreateInstance(CLSID_ZmOrvEnt, nullptr, CLSCTX_LOCAL_SERVER, IID_IZmOrvEnt,
                               reinterpret_cast<void**>(&keeper_)),
              S_OK);
  }

  void TearDown() override {
    if (keeper_) keeper_->Release();
    keeper_ = nullptr;
    // The server ends itself once nothing holds it.
    WaitFor([] {
      HANDLE m = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "9491CBDC-6FEC-465b-A4BE-C8CA68414653");
      if (m) CloseHandle(m);
      return m == nullptr;
    });
    CoUninitialize();
    control_ = OrvSim::Control::_nil();
    if (!CORBA::is_nil(orb_)) orb_->destroy();
    sim_.reset();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  static int RunServer(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {ORVE_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> a;
    for (auto& s : argv) a.push_back(&s[0]);
    a.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, ORVE_PATH, nullptr, nullptr, a.data(), environ) != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string error_;
  std::string root_;
  std::unique_ptr<orvsim::OrvSimProcess> sim_;
  IZmOrvEnt* keeper_ = nullptr;
  CORBA::ORB_var orb_;
  OrvSim::Control_var control_;
};

ServerEnvironment* g_env = static_cast<ServerEnvironment*>(
    ::testing::AddGlobalTestEnvironment(new ServerEnvironment));

class DdeServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(g_env->error_, "");
    g_DataHolder.Clear();
    g_DataHolder.topicOfSymbol.clear();
    server_ = std::make_unique<CDDEServer>(nullptr);
  }
  void TearDown() override {
    server_.reset();
    g_DataHolder.Clear();
    g_DataHolder.topicOfSymbol.clear();
  }

  void SignIn() {
    g_env->KeepServer();
    ASSERT_NO_THROW(server_->ConnectToServer("alice", "secret"));
    ASSERT_TRUE(server_->IsConnected());
  }
  IZmOrvEntPtr Orve() { return CDDEServer::ServerObject(); }
  SubscriptionQueue& Queue() { return server_->Subscriptions(); }

  // A stock of the service that has options.
  std::string StockWithOptions() {
    IStocksEntPtr stocks = Orve()->GetStocksAll();
    do {
      const std::string symbol = Text(stocks->GetSymbol());
      try {
        IOptionsEntPtr options = Orve()->GetOptionsByStock(symbol.c_str());
        if (options) return symbol;
      } catch (const _com_error&) {
      }
    } while (stocks->Next() == VARIANT_TRUE);
    return "";
  }

  StockEntry* AddStock(const std::string& topic) {
    auto* entry = new StockEntry(topic.c_str(), 0, 0);
    StoreGuard lock(g_DataHolder.stock.lock);
    g_DataHolder.stock.entries.push_back(entry);
    g_DataHolder.stock.bySymbol.emplace(entry->symbol, entry);
    return entry;
  }

  bool Subscribed(const std::string& symbol, SymbolTypeEnum type, DataTypeEnum kind) {
    VARIANT_BOOL on = VARIANT_FALSE;
    return SUCCEEDED(Orve().GetInterfacePtr()->IsSymbolSubscribed(_bstr_t(symbol.c_str()), type,
                                                                  kind, &on)) &&
           on == VARIANT_TRUE;
  }

  std::unique_ptr<CDDEServer> server_;
};

// ---- sign-in -------------------------------------------------------------------

// First of all: once this process has a connection to the server, the
// registry is no longer read.
TEST_F(DdeServerTest, AnUnregisteredServerFailsLikeARefusedSignIn) {
  const std::string saved = std::getenv("ORV_REGISTRY");
  ::setenv("ORV_REGISTRY", (g_env->root_ + "/empty.reg").c_str(), 1);
  try {
    server_->ConnectToServer("alice", "secret");
    ADD_FAILURE() << "no error raised";
  } catch (const _com_error& e) {
    EXPECT_EQ(Text(e.Description()), "All Data Providers are unavailable.");
  }
  ::setenv("ORV_REGISTRY", saved.c_str(), 1);
  EXPECT_FALSE(server_->IsConnected());
  EXPECT_FALSE(Orve());
}

TEST_F(DdeServerTest, SignsInOnBothServicesAdvisesAndDisconnectsKeepingTheObject) {
  SignIn();
  EXPECT_NE(server_->m_dwEventCookie, CDDEServer::kNotAdvised);
  IZmOrvEnt* object = Orve().GetInterfacePtr();
  ASSERT_NE(object, nullptr);

  // Already connected: nothing changes, the object stays the same.
  server_->ConnectToServer("alice", "wrong");
  EXPECT_EQ(Orve().GetInterfacePtr(), object);

  server_->DisconnectServer();
  EXPECT_FALSE(server_->IsConnected());
  EXPECT_EQ(server_->m_dwEventCookie, CDDEServer::kNotAdvised);
  EXPECT_EQ(Orve().GetInterfacePtr(), object);
  server_->DisconnectServer();  // a second disconnect is harmless

  // A new sign-in replaces the object and advises again.
  SignIn();
  EXPECT_NE(server_->m_dwEventCookie, CDDEServer::kNotAdvised);
}

// The program's tray icon on a window of its own, where the server
// object's balloons can be read back.
class TrayWindow {
 public:
  TrayWindow() {
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.lpszClassName = "DdeServerTestTray";
    RegisterClassA(&wc);
    window_ = CreateWindowExA(0, "DdeServerTestTray", "", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                              nullptr, nullptr, nullptr);
    created_ = tray.Create(nullptr, window_, 0x800A, "DDE server. Status: not connected.",
                           nullptr, kId, FALSE, nullptr, nullptr, NIIF_NONE, 10);
  }
  ~TrayWindow() { DestroyWindow(window_); }
  bool Created() const { return created_ && window_; }
  // The last balloon as "title: text".
  std::string Balloon() const {
    orvui::TrayIconState state{};
    if (!orvui::FindTrayIcon(window_, kId, &state)) return "<no icon>";
    return state.lastBalloonTitle + ": " + state.lastBalloon;
  }

  CSystemTray tray;

 private:
  static constexpr UINT kId = 102;
  HWND window_ = nullptr;
  bool created_ = false;
};

TEST_F(DdeServerTest, BothSignInsFailingRaisesAllProvidersUnavailableAndDropsTheObject) {
  TrayWindow window;
  ASSERT_TRUE(window.Created());
  server_.reset();  // one server object at a time, as in the program
  server_ = std::make_unique<CDDEServer>(&window.tray);
  try {
    server_->ConnectToServer("mallory", "wrong");
    FAIL() << "no error raised";
  } catch (const _com_error& e) {
    EXPECT_EQ(Text(e.Description()), "All Data Providers are unavailable.");
  }
  // The equities warning came first; the futures one replaced it.
  EXPECT_EQ(window.Balloon(), "Futures data: Futures data not available");
  EXPECT_FALSE(server_->IsConnected());
  EXPECT_FALSE(Orve());
  EXPECT_EQ(server_->m_dwEventCookie, CDDEServer::kNotAdvised);
  server_.reset();  // before the tray it reports to
}

// The DDE layer's word that it refused a conversation for want of
// descriptors reaches the user in the tray.
TEST_F(DdeServerTest, ARefusedConversationIsShownInTheTray) {
  TrayWindow window;
  ASSERT_TRUE(window.Created());
  server_.reset();
  server_ = std::make_unique<CDDEServer>(&window.tray);
  EXPECT_EQ(CDDEServer::DdeCallback(XTYP_ERROR, 0, nullptr, nullptr, nullptr, nullptr, DMLERR_LOW_MEMORY, 0),
            nullptr);
  EXPECT_EQ(window.Balloon(),
            "ZmDDE: A DDE conversation was refused: ZmDDE has no file descriptors left. Close some links or "
            "raise its limit (ulimit -n).");
  server_.reset();
}

TEST(DdeServerErrors, ThrowComErrorWithTextCarriesTheResultAndTheText) {
  try {
    CDDEServer::ThrowComErrorWithText(E_ACCESSDENIED, u"Failed advise to ZmOrvEvents interface");
    FAIL() << "returned";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), E_ACCESSDENIED);
    EXPECT_EQ(Text(e.Description()), "Failed advise to ZmOrvEvents interface");
  }
}

// ---- queue and worker ------------------------------------------------------------

TEST_F(DdeServerTest, TheWorkerSubscribesAStockAndStoresItsFirstSnapshot) {
  SignIn();
  IStocksEntPtr stocks = Orve()->GetStocksAll();
  const std::string symbol = Text(stocks->GetSymbol());
  const std::string gone = [&] {
    stocks->Next();
    return Text(stocks->GetSymbol());
  }();
  ASSERT_FALSE(symbol.empty());
  ASSERT_NE(symbol, gone);

  // A direct kind is taken and dropped; the requests behind it still run.
  SubscriptionRequest direct;
  direct.symbol = symbol.c_str();
  direct.kind = enStockData_Direct;
  server_->Enqueue(direct);
  HSZ topic = reinterpret_cast<HSZ>(uintptr_t(31));
  ASSERT_TRUE(server_->AdviseStartStock(symbol, topic));
  StockEntry* entry = g_DataHolder.stock.bySymbol.at(symbol.c_str());
  // A linked stock whose entry went before the worker ran is subscribed
  // all the same.
  SubscriptionRequest orphan;
  orphan.symbol = gone.c_str();
  Queue().Open(SubscriptionKey(enStockData, gone.c_str()), orphan, true);
  ASSERT_TRUE(server_->StartWorker());

  ASSERT_TRUE(WaitFor([&] { return Subscribed(gone, enEquity, enStockData); }));
  {
    StoreGuard lock(g_DataHolder.stock.lock);
    EXPECT_EQ(entry->snapshot, 1);
    EXPECT_EQ(entry->changed, 1);
    IStocksEntPtr stock = Orve()->GetStockBySymbol(symbol.c_str());
    // Quotes move once the subscription is live; the day's figures do not.
    EXPECT_FLOAT_EQ(entry->priceClose, stock->GetPriceClose());
    EXPECT_EQ(Text(entry->currency), Text(stock->GetCurrency()));
    EXPECT_FLOAT_EQ(entry->hv1m, stock->GetHV1m());
    EXPECT_EQ(g_DataHolder.stock.entries.size(), 1u);  // nothing made for the orphan
  }
  EXPECT_TRUE(Subscribed(symbol, enEquity, enStockData));
  EXPECT_TRUE(Queue().Queued().empty());

  // The last link's stop unsubscribes through the same queue.
  server_->AdviseStopStock(symbol);
  EXPECT_TRUE(WaitFor([&] { return !Subscribed(symbol, enEquity, enStockData); }));

  // Waking the worker with nothing queued leaves it waiting for more.
  SetEvent(Queue().WakeUp());
  server_->AdviseStartStock(symbol, topic);
  EXPECT_TRUE(WaitFor([&] { return Subscribed(symbol, enEquity, enStockData); }));
  server_->AdviseStopStock(symbol);
  Queue().Close(SubscriptionKey(enStockData, gone.c_str()));
  EXPECT_TRUE(WaitFor([&] {
    return !Subscribed(symbol, enEquity, enStockData) && !Subscribed(gone, enEquity, enStockData);
  }));
}

// Signed out and in again (the tray's Disconnect and Connect), the bridge
// has a new main object that holds nothing, the old one having let go of
// everything with its release: every linked key is asked for again.
TEST_F(DdeServerTest, ASignInAfterASignOutSubscribesEveryLinkedKeyAgain) {
  SignIn();
  const std::string stock = StockWithOptions();
  ASSERT_FALSE(stock.empty());
  const std::string option = Text(Orve()->GetOptionsByStock(stock.c_str())->GetSymbol());
  HSZ stockTopic = reinterpret_cast<HSZ>(uintptr_t(61));
  HSZ optionTopic = reinterpret_cast<HSZ>(uintptr_t(62));
  ASSERT_TRUE(server_->AdviseStartStock(stock, stockTopic));
  ASSERT_TRUE(server_->AdviseStartOption(option, optionTopic));
  ASSERT_TRUE(server_->StartWorker());
  ASSERT_TRUE(WaitFor([&] {
    return Queue().Queued().empty() && Subscribed(stock, enEquity, enStockData) &&
           Subscribed(stock, enEquity, enOptionData);
  }));

  server_->DisconnectServer();
  ASSERT_NO_THROW(server_->ConnectToServer("alice", "secret"));
  ASSERT_TRUE(server_->IsConnected());
  EXPECT_TRUE(WaitFor([&] {
    return Queue().Queued().empty() && Subscribed(stock, enEquity, enStockData) &&
           Subscribed(stock, enEquity, enOptionData);
  })) << "the new main object holds no subscription";
  server_->AdviseStopStock(stock);
  server_->AdviseStopOption(option);
}

TEST_F(DdeServerTest, RequestsFailWithoutAServerAndUnsubscribesStillSayWhatTheyTried) {
  TrayWindow window;
  ASSERT_TRUE(window.Created());
  server_.reset();  // one server object at a time, as in the program
  server_ = std::make_unique<CDDEServer>(&window.tray);
  // Never signed in: every call meets an empty pointer.
  StockEntry* entry = AddStock("XYZ");
  const struct {
    DataTypeEnum kind;
    const char* unsubscribe;
  } cases[] = {
      {enStockData, "stock"},
      {enOptionData, "options"},
      {enIVIndexData, "ivindexes"},
      {enIVSurfaceData, "ivsurfaces"},
      {enIVATMData, "IVATM"},
      {enFutureData, "future"},
      {enFutureOptionData, "future options"},
      {enFutIVIndexData, "future ivindexes"},
      {enFutIVSurfaceData, "future ivsurface"},
      {enNstdOptionData, "Nstdoptions"},
  };
  SubscriptionRequest request;
  request.symbol = "XYZ";
  for (const auto& c : cases) {
    request.kind = c.kind;
    request.subscribe = 1;
    EXPECT_NO_THROW(server_->ProcessRequest(request)) << c.kind;
    request.subscribe = 0;
    EXPECT_NO_THROW(server_->ProcessRequest(request)) << c.kind;
    // The refused call leaves its balloon up.
    EXPECT_EQ(window.Balloon(), std::string("Unsubscribe: Unsubscribe from ") + c.unsubscribe + " XYZ");
  }
  EXPECT_EQ(entry->snapshot, 0);
  server_.reset();
}

// The service's limit refuses a stock: the cell shows no value rather than
// a stale one, the refusal is shown once however many passes try again, and
// the first retry the service accepts brings the values.
TEST_F(DdeServerTest, ARefusedSubscriptionIsShownOnceAndTriedAgainByTheRefreshPass) {
  TrayWindow window;
  ASSERT_TRUE(window.Created());
  server_.reset();  // one server object at a time, as in the program
  server_ = std::make_unique<CDDEServer>(&window.tray);
  SignIn();
  const std::string symbol = Text(Orve()->GetStocksAll()->GetSymbol());
  g_env->Control()->InjectStatus("Subscribe", -1, 13 /* the subscription limit */, 0);
  struct Injection {
    ~Injection() { g_env->Control()->ClearInjections(); }
  } injection;
  ASSERT_TRUE(server_->AdviseStartStock(symbol, reinterpret_cast<HSZ>(uintptr_t(35))));
  StockEntry* entry = g_DataHolder.stock.bySymbol.at(symbol.c_str());
  auto work = [&] {
    SubscriptionRequest request;
    if (!Queue().Pop(request)) return false;
    server_->ProcessRequest(request);
    return true;
  };

  // The shell writes every balloon it shows on standard error.
  const std::string subscribing = "Subscribe: Subscribing to stock " + symbol;
  testing::internal::CaptureStderr();
  const bool worked = work();
  std::string shown = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(worked);
  EXPECT_NE(shown.find(subscribing), std::string::npos) << shown;
  EXPECT_NE(window.Balloon().find("limit"), std::string::npos) << window.Balloon();
  EXPECT_EQ(entry->snapshot, 0);
  EXPECT_FALSE(Subscribed(symbol, enEquity, enStockData));
  for (int pass = 0; pass < 2; ++pass) {
    server_->RefreshAll();
    testing::internal::CaptureStderr();
    const bool retried = work();
    shown = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(retried);
    EXPECT_EQ(window.Balloon(), ": ") << "shown again on pass " << pass;
    EXPECT_EQ(shown.find(subscribing), std::string::npos) << "pass " << pass << ": " << shown;
    EXPECT_FALSE(work());
  }

  g_env->Control()->ClearInjections();
  server_->RefreshAll();
  ASSERT_TRUE(work());
  EXPECT_EQ(entry->snapshot, 1);
  EXPECT_TRUE(Subscribed(symbol, enEquity, enStockData));
  server_->RefreshAll();
  EXPECT_FALSE(work());  // held now: nothing more to try

  server_->AdviseStopStock(symbol);
  ASSERT_TRUE(work());
  EXPECT_FALSE(Subscribed(symbol, enEquity, enStockData));
  server_.reset();  // before the tray it reports to
}

// A name the service has no record of is said once in the tray, however
// many refresh passes try it again; a known one of the same kind is not.
TEST_F(DdeServerTest, ANameTheServiceDoesNotKnowIsShownOnceInTheTray) {
  TrayWindow window;
  ASSERT_TRUE(window.Created());
  server_.reset();  // one server object at a time, as in the program
  server_ = std::make_unique<CDDEServer>(&window.tray);
  SignIn();
  auto work = [&] {
    SubscriptionRequest request;
    if (!Queue().Pop(request)) return false;
    server_->ProcessRequest(request);
    return true;
  };
  HSZ topic = reinterpret_cast<HSZ>(uintptr_t(36));
  CDDEServer& s = *server_;
  struct Case {
    const char* shown;
    std::function<BOOL()> start;
    std::function<BOOL()> stop;
  };
  const Case cases[] = {
      {"Subscribe: No stock NOSUCH at the service: not found",
       [&] { return s.AdviseStartStock("NOSUCH", topic); }, [&] { return s.AdviseStopStock("NOSUCH"); }},
      {"Subscribe: No option NOSUCH AB at the service: not found",
       [&] { return s.AdviseStartOption("NOSUCH AB", topic); },
       [&] { return s.AdviseStopOption("NOSUCH AB"); }},
      {"Subscribe: No future NO/Z9 at the service: not found",
       [&] { return s.AdviseStartFuture("NO/Z9", topic); }, [&] { return s.AdviseStopFuture("NO/Z9"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    ASSERT_TRUE(c.start());
    ASSERT_TRUE(work());
    EXPECT_EQ(window.Balloon(), c.shown);
    // The shell writes every balloon it shows on standard error.
    server_->RefreshAll();
    testing::internal::CaptureStderr();
    const bool retried = work();
    const std::string shown = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(retried);
    EXPECT_EQ(shown.find(c.shown), std::string::npos) << "shown again by the refresh pass";
    EXPECT_TRUE(c.stop());
    while (work()) {
    }
  }

  const std::string known = Text(Orve()->GetStocksAll()->GetSymbol());
  ASSERT_TRUE(server_->AdviseStartStock(known, topic));
  ASSERT_TRUE(work());
  EXPECT_EQ(window.Balloon(), ": ");
  server_->AdviseStopStock(known);
  while (work()) {
  }
  server_.reset();  // before the tray it reports to
}

// ---- subscription routines ----------------------------------------------------------

TEST_F(DdeServerTest, AnOptionTopicSubscribesItsUnderlyingsChainAndStoresEveryOption) {
  SignIn();
  const std::string stock = StockWithOptions();
  ASSERT_FALSE(stock.empty());
  IOptionsEntPtr chain = Orve()->GetOptionsByStock(stock.c_str());
  const std::string option = Text(chain->GetSymbol());
  const FLOAT strike = chain->GetStrikePrice();

  // A link on an option not known yet: an entry under the topic with no
  // underlying, the link counted on the option and its chain request queued.
  ASSERT_TRUE(server_->AdviseStartOption(option, reinterpret_cast<HSZ>(uintptr_t(33))));
  OptionEntry* entry = g_DataHolder.option.bySymbol.at(option.c_str());
  const std::vector<SubscriptionRequest> queued = Queue().Queued();
  ASSERT_EQ(queued.size(), 1u);
  const SubscriptionRequest request = queued[0];
  EXPECT_EQ(request.symbolType, enEquity);
  EXPECT_EQ(Queue().Count(SubscriptionKey(enOptionData, option.c_str())), 1);
  SubscriptionRequest taken;
  ASSERT_TRUE(Queue().Pop(taken));
  server_->ProcessRequest(request);

  EXPECT_TRUE(Subscribed(stock, enEquity, enOptionData));
  {
    StoreGuard lock(g_DataHolder.option.lock);
    OptionGroup<OptionEntry>& g = g_DataHolder.option;
    EXPECT_GT(g.entries.size(), 1u);
    EXPECT_EQ(g.bySymbol.size(), g.entries.size());
    for (OptionEntry* e : g.entries) {
      EXPECT_EQ(Text(e->stockSymbol), stock) << Text(e->symbol);
      EXPECT_EQ(e->snapshot, 1);
      EXPECT_EQ(e->changed, 1);
      EXPECT_EQ(e->group, 1);
      EXPECT_EQ(Text(g.underlyingOf[e->symbol]), stock);
    }
    EXPECT_FLOAT_EQ(entry->strikePrice, strike);
  }
  // The link now counts on the chain, once.
  EXPECT_EQ(Queue().Count(SubscriptionKey(enOptionData, option.c_str())), 0);
  EXPECT_EQ(Queue().Count(SubscriptionKey(enOptionData, stock.c_str())), 1);
  // Only the advised option does not count as an unused subscription.
  EXPECT_EQ(server_->CountActiveOptionSubscriptions(),
            static_cast<LONG>(g_DataHolder.option.entries.size()) - 1);

  // The chain is live: a second request for it subscribes nothing more.
  ASSERT_EQ(Orve()->UnSubscribe(stock.c_str(), enEquity, enOptionData), S_OK);
  server_->ProcessRequest(request);
  EXPECT_FALSE(Subscribed(stock, enEquity, enOptionData));

  // The last link's stop unsubscribes the chain, and the chain's entries
  // no longer count as live: a link back subscribes it again.
  ASSERT_EQ(Orve()->Subscribe(stock.c_str(), enEquity, enOptionData), S_OK);
  server_->AdviseStopOption(option);
  ASSERT_TRUE(Queue().Pop(taken));
  EXPECT_EQ(taken.subscribe, 0);
  EXPECT_EQ(Text(taken.symbol), stock);
  server_->ProcessRequest(taken);
  EXPECT_FALSE(Subscribed(stock, enEquity, enOptionData));
  EXPECT_EQ(entry->group, 0);
  server_->AdviseStartOption(option, reinterpret_cast<HSZ>(uintptr_t(33)));
  ASSERT_TRUE(Queue().Pop(taken));
  server_->ProcessRequest(taken);
  EXPECT_TRUE(Subscribed(stock, enEquity, enOptionData));
  server_->AdviseStopOption(option);
  ASSERT_TRUE(Queue().Pop(taken));
  server_->ProcessRequest(taken);
  EXPECT_FALSE(Subscribed(stock, enEquity, enOptionData));
}

TEST_F(DdeServerTest, AKnownOptionIsSubscribedAloneWithoutSnapshot) {
  SignIn();
  const std::string stock = StockWithOptions();
  ASSERT_FALSE(stock.empty());
  const std::string option = Text(Orve()->GetOptionsByStock(stock.c_str())->GetSymbol());
  SubscriptionRequest request;
  request.symbol = option.c_str();
  request.kind = enOptionData;
  request.symbolType = enOption;
  server_->ProcessRequest(request);
  EXPECT_TRUE(Subscribed(option, enOption, enOptionData));
  EXPECT_FALSE(Subscribed(stock, enEquity, enOptionData));
  EXPECT_TRUE(g_DataHolder.option.entries.empty());
}

TEST_F(DdeServerTest, IVIndexSnapshotsMakeTheirEntriesThenSubscribe) {
  SignIn();
  const std::string stock = StockWithOptions();
  IIVIndexesEntPtr indexes;
  try {
    indexes = Orve()->GetIVIndexesByStock(stock.c_str());
  } catch (const _com_error&) {
  }
  if (!indexes) GTEST_SKIP() << "the service has no IV indexes for " << stock;
  SubscriptionRequest request;
  request.symbol = stock.c_str();
  request.kind = enIVIndexData;
  server_->ProcessRequest(request);
  EXPECT_TRUE(Subscribed(stock, enEquity, enIVIndexData));
  StoreGuard lock(g_DataHolder.ivIndex.lock);
  ASSERT_FALSE(g_DataHolder.ivIndex.entries.empty());
  for (IVIndexEntry* e : g_DataHolder.ivIndex.entries) {
    EXPECT_EQ(Text(e->symbol), stock);
    EXPECT_EQ(e->snapshot, 1);
    EXPECT_EQ(e->changed, 1);
    EXPECT_EQ(g_DataHolder.ivIndex.byKey.count(IVIndexKey(e->symbol, e->term)), 1u);
  }
  EXPECT_EQ(g_DataHolder.ivIndex.bySymbolAll.count(stock.c_str()),
            g_DataHolder.ivIndex.entries.size());
}

// A futures IV link is named by the future's root, as the service keys the
// points: its index and surface entries get their values from ORVE and the
// root stays subscribed for both kinds.
TEST_F(DdeServerTest, FuturesIVLinksOfARootGetTheirValuesAndStaySubscribed) {
  SignIn();
  IFuturesEntPtr futures = Orve()->GetFuturesAll();
  const std::string root = Text(futures->GetRootSymbol());
  ASSERT_FALSE(root.empty());
  auto* surface = new IVSurfaceEntry(root.c_str(), 30, 0, 0, 0, 0, 0);
  {
    StoreGuard lock(g_DataHolder.futIvSurface.lock);
    g_DataHolder.futIvSurface.entries.push_back(surface);
    g_DataHolder.futIvSurface.byKey.emplace(IVSurfaceKey(surface->symbol, 30, 0, 0), surface);
  }
  for (DataTypeEnum kind : {enFutIVIndexData, enFutIVSurfaceData}) {
    SCOPED_TRACE(kind);
    SubscriptionRequest request;
    request.symbol = root.c_str();
    request.kind = kind;
    server_->ProcessRequest(request);
    EXPECT_TRUE(Subscribed(root, enEquity, kind));
  }
  {
    StoreGuard lock(g_DataHolder.futIvIndex.lock);
    ASSERT_FALSE(g_DataHolder.futIvIndex.entries.empty());
    for (IVIndexEntry* e : g_DataHolder.futIvIndex.entries) {
      EXPECT_EQ(Text(e->symbol), root);
      EXPECT_EQ(e->snapshot, 1);
      EXPECT_GT(e->callIV, 0.0f);
      EXPECT_GT(e->putIV, 0.0f);
    }
  }
  StoreGuard lock(g_DataHolder.futIvSurface.lock);
  EXPECT_EQ(surface->snapshot, 1);
  EXPECT_GT(surface->iv, 0.0f);
  EXPECT_GT(surface->virtualStrike, 0.0f);
}

// ---- event handlers ---------------------------------------------------------------

TEST_F(DdeServerTest, AStockEventUpdatesOnlyRequestedEntriesAndQueuesTheAtmPoll) {
  SignIn();
  IStocksEntPtr stocks = Orve()->GetStocksAll();  // every stock in one cursor
  const std::string first = Text(stocks->GetSymbol());
  StockEntry* requested = AddStock(first);
  server_->RememberTopicHandle(first, 7);
  IStocksEntPtr again = Orve()->GetStocksAll();
  again->Next();
  const std::string second = Text(again->GetSymbol());
  StockEntry* unrequested = AddStock(second);  // has an entry but no topic

  IStocksEntPtr walk = Orve()->GetStocksAll();
  EXPECT_EQ(server_->OnStocksChange(walk.GetInterfacePtr()), S_OK);
  EXPECT_EQ(requested->changed, 1);
  EXPECT_EQ(requested->snapshot, 0);
  EXPECT_FLOAT_EQ(requested->lastPrice, Orve()->GetStockBySymbol(first.c_str())->GetLastPrice());
  EXPECT_EQ(unrequested->changed, 0);
  EXPECT_EQ(server_->AtmPollTopics(), std::vector<std::string>{first});

  // The same through the sink's IDispatch, as the server fires it.
  requested->changed = 0;
  IStocksEntPtr fired = Orve()->GetStockBySymbol(first.c_str());
  VARIANT arg;
  arg.vt = VT_DISPATCH;
  arg.pdispVal = fired.GetInterfacePtr();
  DISPPARAMS params = {&arg, nullptr, 1, 0};
  IDispatch* sink = static_cast<IDispatch*>(server_.get());
  EXPECT_EQ(sink->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(requested->changed, 1);
  EXPECT_EQ(server_->AtmPollTopics().size(), 1u);  // listed once

  // A cursor of another kind is refused with the query's result.
  IFuturesEntPtr futures = Orve()->GetFuturesAll();
  EXPECT_EQ(server_->OnStocksChange(futures.GetInterfacePtr()), E_NOINTERFACE);
  EXPECT_EQ(server_->OnError(1, nullptr), S_OK);
  EXPECT_EQ(server_->OnATMChange(fired.GetInterfacePtr()), S_OK);
}

// The poll asks the server for the stocks that have ATM links, and only for
// them: a stock whose topic merely had an event gets no entries (and costs
// the server nothing), one with a link gets its expiries.
TEST_F(DdeServerTest, TheAtmPollAsksOnlyForStocksWithAtmLinks) {
  SignIn();
  const std::string stock = StockWithOptions();
  ASSERT_FALSE(stock.empty());
  server_->PollAtm(stock);
  {
    StoreGuard lock(g_DataHolder.atm.lock);
    EXPECT_TRUE(g_DataHolder.atm.entries.empty());
  }
  const SubscriptionKey key(enIVATMData, stock.c_str());
  SubscriptionRequest request;
  request.symbol = stock.c_str();
  request.kind = enIVATMData;
  Queue().Open(key, request, false);
  server_->PollAtm(stock);
  {
    StoreGuard lock(g_DataHolder.atm.lock);
    EXPECT_FALSE(g_DataHolder.atm.entries.empty());
    for (AtmEntry* e : g_DataHolder.atm.entries) {
      EXPECT_EQ(Text(e->symbol), stock);
      EXPECT_EQ(e->snapshot, 1);
      EXPECT_EQ(e->changed, 1);
    }
    for (AtmEntry* e : g_DataHolder.atm.entries) e->changed = 0;
  }
  // The link's end stops the polls again.
  Queue().Close(key);
  server_->PollAtm(stock);
  StoreGuard lock(g_DataHolder.atm.lock);
  for (AtmEntry* e : g_DataHolder.atm.entries) EXPECT_EQ(e->changed, 0);
}

TEST_F(DdeServerTest, AFuturesEventFindsTheEntryOfTheBackslashTopic) {
  SignIn();
  IFuturesEntPtr futures = Orve()->GetFuturesAll();
  const std::string symbol = Text(futures->GetSymbol());
  const std::string topic = SymbolToTopic(symbol);
  auto* entry = new FutureEntry(topic.c_str(), 0, 0);
  {
    StoreGuard lock(g_DataHolder.futures.lock);
    g_DataHolder.futures.entries.push_back(entry);
    g_DataHolder.futures.bySymbol.emplace(entry->symbol, entry);
  }
  server_->RememberTopicHandle(topic, 9);
  IFuturesEntPtr one = Orve()->GetFuturesBySymbol(symbol.c_str());
  EXPECT_EQ(server_->OnFuturesChange(one.GetInterfacePtr()), S_OK);
  EXPECT_EQ(entry->changed, 1);
  EXPECT_FLOAT_EQ(entry->lastPrice, one->GetLastPrice());
}

// ---- over-limit thread -------------------------------------------------------------

TEST_F(DdeServerTest, TheOverLimitThreadTradesUnusedChainsForSingleOptions) {
  SignIn();
  const std::string stock = StockWithOptions();
  ASSERT_FALSE(stock.empty());
  IOptionsEntPtr chain = Orve()->GetOptionsByStock(stock.c_str());
  std::vector<std::string> options;
  do {
    options.push_back(Text(chain->GetSymbol()));
  } while (options.size() < 4 && chain->Next() == VARIANT_TRUE);
  ASSERT_EQ(options.size(), 4u);
  ASSERT_EQ(Orve()->Subscribe(stock.c_str(), enEquity, enOptionData), S_OK);

  // Advised with a link open and chain-subscribed; advised once, its links
  // gone, and chain-subscribed; chain-subscribed only; advised only.
  struct Flags {
    BYTE individual, group;
    LONG links;
  };
  const Flags flags[4] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 0}, {1, 0, 1}};
  std::vector<OptionEntry*> entries;
  {
    StoreGuard lock(g_DataHolder.option.lock);
    for (size_t i = 0; i < 4; ++i) {
      auto* e = new OptionEntry(options[i].c_str(), stock.c_str(), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
      e->individual = flags[i].individual;
      e->group = flags[i].group;
      e->links = flags[i].links;
      g_DataHolder.option.entries.push_back(e);
      g_DataHolder.option.bySymbol.emplace(e->symbol, e);
      entries.push_back(e);
    }
  }
  EXPECT_EQ(server_->CountActiveOptionSubscriptions(), 1);

  EXPECT_EQ(CDDEServer::OverLimitThread(nullptr), static_cast<DWORD>(-1));
  EXPECT_EQ(CDDEServer::OverLimitThread(server_.get()), 0u);
  EXPECT_FALSE(Subscribed(stock, enEquity, enOptionData));
  // Only the option a link is open on is carried alone, and that link
  // counts on it.
  EXPECT_TRUE(Subscribed(options[0], enOption, enOptionData));
  EXPECT_FALSE(Subscribed(options[1], enOption, enOptionData));
  EXPECT_FALSE(Subscribed(options[3], enOption, enOptionData));
  const SubscriptionKey single(enOptionData, options[0].c_str(), true);
  EXPECT_EQ(Queue().Count(single), 1);
  EXPECT_EQ(entries[0]->single, 1);
  for (OptionEntry* e : entries) EXPECT_EQ(e->group, 0) << Text(e->symbol);
  EXPECT_EQ(server_->CountActiveOptionSubscriptions(), 0);
  EXPECT_FALSE(server_->IsOverLimitThreadRunning());
  EXPECT_TRUE(Queue().Queued().empty());

  // The link's stop lets the option go at the server.
  server_->AdviseStopOption(options[0]);
  EXPECT_EQ(entries[0]->single, 0);
  SubscriptionRequest request;
  ASSERT_TRUE(Queue().Pop(request));
  EXPECT_EQ(request.subscribe, 0);
  EXPECT_EQ(request.symbolType, enOption);
  server_->ProcessRequest(request);
  EXPECT_FALSE(Subscribed(options[0], enOption, enOptionData));
  EXPECT_FALSE(Queue().Pop(request));
}

TEST_F(DdeServerTest, CountsOfUnusedSubscriptionsCrossTheLimitOnlyAboveIt) {
  // 1000 live chain subscriptions are within the limit; the 1001st is not.
  {
    StoreGuard lock(g_DataHolder.option.lock);
    for (int i = 0; i < 1001; ++i) {
      auto* e = new OptionEntry(("O" + std::to_string(i)).c_str(), "U", 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                0, 0, 0);
      e->group = 1;
      if (i == 1000) e->individual = 1;
      g_DataHolder.option.entries.push_back(e);
    }
  }
  EXPECT_EQ(server_->CountActiveOptionSubscriptions(), CDDEServer::kOverLimitThreshold);
  g_DataHolder.option.entries.back()->individual = 0;
  EXPECT_GT(server_->CountActiveOptionSubscriptions(), CDDEServer::kOverLimitThreshold);
  EXPECT_EQ(server_->CountActiveNstdOptionSubscriptions(), 0);
  EXPECT_EQ(server_->CountActiveFutOptionSubscriptions(), 0);
}

TEST_F(DdeServerTest, DeferredRequestsGoBackToTheQueueOnceTheOverLimitThreadEnded) {
  SubscriptionRequest request;
  request.symbol = "OPT1";
  request.kind = enOptionData;
  ASSERT_TRUE(Queue().Defer(request, [] { return true; }));
  server_->RequeueDeferredRequests();
  EXPECT_TRUE(Queue().Deferred().empty());
  ASSERT_EQ(Queue().Queued().size(), 1u);
  EXPECT_EQ(Text(Queue().Queued().front().symbol), "OPT1");

  // Parked while the over-limit thread ran: back in the queue as soon as
  // the thread ends, not a refresh pass later.
  SubscriptionRequest taken;
  ASSERT_TRUE(Queue().Pop(taken));
  request.symbol = "OPT2";
  ASSERT_TRUE(Queue().Defer(request, [] { return true; }));
  EXPECT_EQ(CDDEServer::OverLimitThread(server_.get()), 0u);
  EXPECT_TRUE(Queue().Deferred().empty());
  ASSERT_EQ(Queue().Queued().size(), 1u);
  EXPECT_EQ(Text(Queue().Queued().front().symbol), "OPT2");
}

// ---- advise links ----------------------------------------------------------------

TEST_F(DdeServerTest, LinksCountIntoOneEntryAndQueueOneSubscription) {
  HSZ topic = reinterpret_cast<HSZ>(uintptr_t(41));
  const SubscriptionKey abc(enStockData, "ABC");
  EXPECT_TRUE(server_->AdviseStartStock("ABC", topic));
  EXPECT_TRUE(server_->AdviseStartStock("ABC", topic));  // a second stock item
  ASSERT_EQ(g_DataHolder.stock.entries.size(), 1u);
  EXPECT_EQ(Queue().Count(abc), 2);
  EXPECT_EQ(g_DataHolder.stock.byTopic.at(41), g_DataHolder.stock.entries[0]);
  std::vector<SubscriptionRequest> queued = Queue().Queued();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].kind, enStockData);
  EXPECT_EQ(queued[0].subscribe, 1);

  // The last link gone before the worker ran: the request never reaches
  // the server, and the entry waits for the refresh pass. The one before it
  // leaves the request to the link that remains.
  EXPECT_TRUE(server_->AdviseStopStock("ABC"));
  EXPECT_EQ(Queue().Queued().size(), 1u);
  EXPECT_TRUE(server_->AdviseStopStock("ABC"));
  EXPECT_EQ(Queue().Count(abc), 0);
  EXPECT_TRUE(Queue().Queued().empty());
  EXPECT_EQ(g_DataHolder.stock.entries.size(), 1u);
  // A stop without a link leaves nothing behind that a later link would
  // have to make up for.
  EXPECT_TRUE(server_->AdviseStopStock("ABC"));
  EXPECT_EQ(Queue().Count(abc), 0);

  // Subscribed and its last link gone: the unsubscription is queued; a
  // link made before it ran takes it back, as the server still holds the
  // stock, and the entry's latest values go to the new link.
  server_->AdviseStartStock("ABC", topic);
  SubscriptionRequest taken;
  ASSERT_TRUE(Queue().Pop(taken));
  Queue().Accepted(abc);
  g_DataHolder.stock.entries[0]->snapshot = 1;
  server_->AdviseStopStock("ABC");
  queued = Queue().Queued();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].subscribe, 0);
  g_DataHolder.stock.entries[0]->changed = 0;
  server_->AdviseStartStock("ABC", topic);
  EXPECT_TRUE(Queue().Queued().empty());
  EXPECT_EQ(Queue().Count(abc), 1);
  EXPECT_EQ(g_DataHolder.stock.entries[0]->changed, 1);
}

// Every kind counts its links on one key: the first link queues the
// subscription, only the last one's stop takes it back, and an entry still
// without values asks for them.
TEST_F(DdeServerTest, EveryKindQueuesOnTheFirstLinkAndTakesBackOnTheLast) {
  HSZ topic = reinterpret_cast<HSZ>(uintptr_t(44));
  HSZ item = reinterpret_cast<HSZ>(uintptr_t(78));
  struct Case {
    const char* name;
    DataTypeEnum kind;
    std::function<BOOL()> start;
    std::function<BOOL()> stop;
  };
  CDDEServer& s = *server_;
  const Case cases[] = {
      {"stock", enStockData, [&] { return s.AdviseStartStock("ABC", topic); },
       [&] { return s.AdviseStopStock("ABC"); }},
      {"futures", enFutureData, [&] { return s.AdviseStartFuture("ES/Z6", topic); },
       [&] { return s.AdviseStopFuture("ES/Z6"); }},
      {"HV", enStockData, [&] { return s.AdviseStartHv("ABC", topic, item, 30); },
       [&] { return s.AdviseStopHv("ABC"); }},
      {"ATM", enIVATMData, [&] { return s.AdviseStartAtm("ABC", item, 46023); },
       [&] { return s.AdviseStopAtm("ABC"); }},
      {"IV index", enIVIndexData, [&] { return s.AdviseStartIVIndex("ABC", item, 0, 30); },
       [&] { return s.AdviseStopIVIndex("ABC"); }},
      {"future IV index", enFutIVIndexData,
       [&] { return s.AdviseStartFutIVIndex("ES", item, 1, 30); },
       [&] { return s.AdviseStopFutIVIndex("ES"); }},
      {"IV surface", enIVSurfaceData,
       [&] { return s.AdviseStartIVSurface("ABC", item, 0, 30, 2, "O2_IV"); },
       [&] { return s.AdviseStopIVSurface("ABC"); }},
      {"future IV surface", enFutIVSurfaceData,
       [&] { return s.AdviseStartFutIVSurface("ES", item, 1, 30, 2, "O2_DELTA"); },
       [&] { return s.AdviseStopFutIVSurface("ES"); }},
      {"option", enOptionData, [&] { return s.AdviseStartOption("ABC AB", topic); },
       [&] { return s.AdviseStopOption("ABC AB"); }},
      {"non-standard option", enNstdOptionData,
       [&] { return s.AdviseStartNstdOption("ABC1 AB", topic); },
       [&] { return s.AdviseStopNstdOption("ABC1 AB"); }},
      {"future option", enFutureOptionData,
       [&] { return s.AdviseStartFutOption("ESZ6 C1200", topic); },
       [&] { return s.AdviseStopFutOption("ESZ6 C1200"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_DataHolder.Clear();
    EXPECT_TRUE(c.start());
    EXPECT_TRUE(c.start());
    EXPECT_TRUE(c.stop());
    std::vector<SubscriptionRequest> queued = Queue().Queued();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].kind, c.kind);
    EXPECT_EQ(queued[0].subscribe, 1);
    EXPECT_TRUE(c.stop());
    EXPECT_TRUE(Queue().Queued().empty());
    EXPECT_TRUE(c.stop());  // one stop too many leaves nothing to make up for
    EXPECT_TRUE(c.start());
    EXPECT_EQ(Queue().Queued().size(), 1u);
    EXPECT_TRUE(c.stop());
    EXPECT_TRUE(Queue().Queued().empty());
  }
}

TEST_F(DdeServerTest, OptionLinksCountOnTheOptionUntilTheUnderlyingIsKnown) {
  HSZ topic = reinterpret_cast<HSZ>(uintptr_t(43));
  const SubscriptionKey option(enOptionData, "ABC AB"), chain(enOptionData, "ABC");
  // Unknown: an empty entry under the topic, counted on the option, one
  // chain request however many links.
  EXPECT_TRUE(server_->AdviseStartOption("ABC AB", topic));
  EXPECT_TRUE(server_->AdviseStartOption("ABC AB", topic));
  ASSERT_EQ(g_DataHolder.option.entries.size(), 1u);
  OptionEntry* entry = g_DataHolder.option.entries[0];
  EXPECT_EQ(entry->individual, 1);
  EXPECT_EQ(Queue().Count(option), 2);
  std::vector<SubscriptionRequest> queued = Queue().Queued();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].symbolType, enEquity);

  // Both links close: the request is taken back, nothing stays counted.
  EXPECT_TRUE(server_->AdviseStopOption("ABC AB"));
  EXPECT_TRUE(server_->AdviseStopOption("ABC AB"));
  EXPECT_TRUE(Queue().Queued().empty());
  EXPECT_EQ(Queue().Count(option), 0);

  // Underlying known and chain-subscribed: counted on the chain, nothing
  // queued; the last stop there unsubscribes the chain.
  g_DataHolder.option.underlyingOf.emplace("ABC AB", "ABC");
  entry->group = 1;
  entry->snapshot = 1;
  Queue().Accepted(chain);
  EXPECT_TRUE(Queue().Queued().size() == 1 && Queue().Queued()[0].subscribe == 0);
  EXPECT_TRUE(server_->AdviseStartOption("ABC AB", topic));
  EXPECT_EQ(Queue().Count(chain), 1);
  EXPECT_EQ(Text(entry->stockSymbol), "ABC");
  EXPECT_TRUE(Queue().Queued().empty());
  EXPECT_TRUE(server_->AdviseStopOption("ABC AB"));
  queued = Queue().Queued();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].subscribe, 0);
  EXPECT_EQ(Text(queued[0].symbol), "ABC");
}

TEST_F(DdeServerTest, ParametrisedLinksKeepTheirItemInTheEntry) {
  HSZ item = reinterpret_cast<HSZ>(uintptr_t(77));
  // An IV index type that is neither call nor put is refused and counts
  // for nothing: no stop would ever take it back.
  EXPECT_FALSE(server_->AdviseStartIVIndex("ABC", item, 2, 30));
  EXPECT_TRUE(g_DataHolder.ivIndex.entries.empty());
  EXPECT_TRUE(server_->AdviseStartIVIndex("ABC", item, 1, 30));
  ASSERT_EQ(g_DataHolder.ivIndex.entries.size(), 1u);
  EXPECT_TRUE(g_DataHolder.ivIndex.entries[0]->putItem.Has(77));
  EXPECT_EQ(Queue().Count(SubscriptionKey(enIVIndexData, "ABC")), 1);
  EXPECT_EQ(Queue().Queued().size(), 1u);

  EXPECT_TRUE(server_->AdviseStartIVSurface("ABC", item, 0, 30, 2, "O2_DELTA"));
  EXPECT_FALSE(server_->AdviseStartIVSurface("ABC", item, 0, 30, 2, "O2_NOTHING"));
  ASSERT_EQ(g_DataHolder.ivSurface.entries.size(), 1u);
  EXPECT_TRUE(g_DataHolder.ivSurface.entries[0]->deltaItem.Has(77));
  EXPECT_EQ(Queue().Count(SubscriptionKey(enIVSurfaceData, "ABC")), 1);

  // Two expiries of one symbol: one request, both entries listed by symbol.
  EXPECT_TRUE(server_->AdviseStartAtm("ABC", item, 46023));
  EXPECT_TRUE(server_->AdviseStartAtm("ABC", item, 46054));
  EXPECT_EQ(g_DataHolder.atm.bySymbolAll.count("ABC"), 2u);
  EXPECT_EQ(Queue().Queued().size(), 3u);
}

// ---- refresh pass -----------------------------------------------------------------

TEST_F(DdeServerTest, TheRefreshPassDropsUnlinkedInstrumentsAndRetriesRefusedOnes) {
  HSZ named = reinterpret_cast<HSZ>(uintptr_t(51));
  HSZ unnamed = reinterpret_cast<HSZ>(uintptr_t(52));
  HSZ linked = reinterpret_cast<HSZ>(uintptr_t(53));
  server_->AdviseStartStock("GONE", named);
  server_->AdviseStartStock("NEVER", unnamed);
  server_->AdviseStartStock("LIVE", linked);
  server_->RememberTopicHandle("GONE", 51);
  // Another conversation's handle on the same entry: left behind, it would
  // name freed memory.
  g_DataHolder.stock.byTopic.emplace(54, g_DataHolder.stock.bySymbol.at("GONE"));
  // The worker takes every request: the server holds GONE and refuses LIVE.
  SubscriptionRequest taken;
  while (Queue().Pop(taken)) {
    const SubscriptionKey key(taken.kind, taken.symbol);
    if (Text(taken.symbol) == "LIVE") {
      Queue().Refused(key, taken);
    } else {
      Queue().Accepted(key);
    }
  }
  server_->AdviseStopStock("GONE");
  server_->AdviseStopStock("NEVER");

  // Options of an underlying without links go, whatever their topics, and
  // so do ATM entries the poll made for a stock nobody links ATM values of.
  auto* option = new OptionEntry("UND A", "UND", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  {
    OptionGroup<OptionEntry>& g = g_DataHolder.option;
    g.entries.push_back(option);
    g.bySymbol.emplace(option->symbol, option);
    g.byTopic.emplace(60, option);
    g.byTopic.emplace(61, option);
    g.underlyingOf.emplace(option->symbol, "UND");
  }
  {
    AtmGroup& g = g_DataHolder.atm;
    auto* atm = new AtmEntry("POLLED", 46023, 0.2f);
    g.entries.push_back(atm);
    g.byKey.emplace(AtmKey(atm->symbol, atm->expiry), atm);
    g.bySymbolAll.emplace(atm->symbol, atm);
  }

  server_->RefreshAll();
  {
    SymbolGroup<StockEntry>& g = g_DataHolder.stock;
    EXPECT_EQ(g.bySymbol.count("GONE"), 0u);
    EXPECT_EQ(g.bySymbol.count("NEVER"), 0u);  // its topic never requested: goes all the same
    EXPECT_EQ(g.byTopic.count(51), 0u);
    EXPECT_EQ(g.byTopic.count(54), 0u);
    EXPECT_EQ(g.byTopic.count(52), 0u);
    EXPECT_EQ(g.bySymbol.count("LIVE"), 1u);
    EXPECT_EQ(g.entries.size(), 1u);
  }
  EXPECT_TRUE(g_DataHolder.option.entries.empty());
  EXPECT_TRUE(g_DataHolder.option.byTopic.empty());
  EXPECT_TRUE(g_DataHolder.option.underlyingOf.empty());
  EXPECT_TRUE(g_DataHolder.atm.entries.empty());
  EXPECT_TRUE(g_DataHolder.atm.byKey.empty());
  EXPECT_TRUE(g_DataHolder.atm.bySymbolAll.empty());

  // GONE's unsubscription was queued by its last stop, NEVER's subscription
  // never left the bridge; the refused LIVE is tried again.
  std::vector<std::string> queued;
  for (const SubscriptionRequest& r : Queue().Queued())
    queued.push_back((r.subscribe ? "+" : "-") + Text(r.symbol));
  EXPECT_EQ(queued, (std::vector<std::string>{"-GONE", "-NEVER", "+LIVE"}));
  // The worker is woken for them.
  EXPECT_EQ(WaitForSingleObject(Queue().WakeUp(), 0), WAIT_OBJECT_0);

  // Another pass queues nothing more.
  server_->RefreshAll();
  EXPECT_EQ(Queue().Queued().size(), 3u);
}

// ---- DDE service ---------------------------------------------------------------

TEST_F(DdeServerTest, TheServiceAnswersRequestsFromTheStoreInTextOnly) {
  SignIn();
  // The entries here are the test's own: no snapshot may overwrite them.
  Queue().Hold(true);
  const std::string symbol = Text(Orve()->GetStocksAll()->GetSymbol());
  // The service lives on a thread with a message loop, as the program's
  // main thread is; the object ends there too.
  std::promise<BOOL> started;
  DWORD loopThread = 0;
  std::atomic<int> passes{0};
  std::thread loop([&] {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    loopThread = GetCurrentThreadId();
    started.set_value(server_->StartDde());
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
      // Stands for the program's posting timer.
      if (msg.message == WM_APP && !msg.hwnd) {
        server_->PostAdvises();
        ++passes;
        continue;
      }
      DispatchMessageA(&msg);
    }
    server_.reset();
  });
  ASSERT_TRUE(started.get_future().get());

  {
    ddetest::Client client;
    HCONV system = client.Connect("System", "ZmDDE");
    ASSERT_NE(system, nullptr);
    EXPECT_EQ(client.Request(system, "login"), "alice");
    EXPECT_EQ(client.Request(system, "Password"), "secret");
    EXPECT_EQ(client.Request(system, "Login", 2).rfind("<none", 0), 0u);  // text only

    std::string lower = symbol;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    HCONV stock = client.Connect(lower, "ZmDDE");
    ASSERT_NE(stock, nullptr);
    // The first request notes the topic; without an entry there is no value.
    EXPECT_EQ(client.Request(stock, "Price").rfind("<none", 0), 0u);
    const DdeHandleValue topic = server_->FindTopicHandle(symbol);
    ASSERT_NE(topic, 0u);
    auto* entry = new StockEntry(symbol.c_str(), 12.5f, 300);
    entry->snapshot = 1;
    {
      StoreGuard lock(g_DataHolder.stock.lock);
      g_DataHolder.stock.entries.push_back(entry);
      g_DataHolder.stock.bySymbol.emplace(entry->symbol, entry);
      g_DataHolder.stock.byTopic.emplace(topic, entry);
    }
    EXPECT_EQ(client.Request(stock, "Price"), "12.5000");
    EXPECT_EQ(client.Request(stock, "StckVolume"), "300");
    // Links: a field item makes the entry it will be served from; the
    // credentials may be linked on any topic but "System".
    EXPECT_TRUE(client.Transact(stock, "StckBid", XTYP_ADVSTART));
    EXPECT_TRUE(client.Transact(stock, "Login", XTYP_ADVSTART));
    EXPECT_FALSE(client.Transact(system, "Login", XTYP_ADVSTART));
    EXPECT_FALSE(client.Transact(stock, "NoSuchItem", XTYP_ADVSTART));
    EXPECT_FALSE(client.Transact(stock, "StckBid", XTYP_ADVSTART, 2));
    EXPECT_EQ(Queue().Count(SubscriptionKey(enStockData, symbol.c_str())), 1);

    // A changed entry is posted whole by the next pass, once.
    {
      StoreGuard lock(g_DataHolder.stock.lock);
      entry->bidPrice = 12.25f;
      g_DataHolder.stock.changed.Mark(entry);
    }
    PostThreadMessageA(loopThread, WM_APP, 0, 0);
    ASSERT_TRUE(client.PumpUntil([&] { return !client.Values().empty(); }));
    EXPECT_EQ(client.Values(), std::vector<std::string>{"StckBid=12.2500"});
    // The flag is cleared after the post, so the client may see the value
    // before the pass is over.
    ASSERT_TRUE(WaitFor([&] { return passes == 1; }));
    EXPECT_EQ(entry->changed, 0);

    // Not connected: nothing is posted and the flag waits.
    server_->DisconnectServer();
    {
      StoreGuard lock(g_DataHolder.stock.lock);
      g_DataHolder.stock.changed.Mark(entry);
    }
    PostThreadMessageA(loopThread, WM_APP, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return passes == 2; }));
    EXPECT_EQ(entry->changed, 1);
    DdeDisconnect(stock);
    DdeDisconnect(system);
  }
  PostThreadMessageA(loopThread, WM_QUIT, 0, 0);
  loop.join();
  EXPECT_EQ(CDDEServer::Instance(), nullptr);
}

// Links through the service itself, no sign-in needed: the item names a
// client links to, and the topic handle an entry is found by.
TEST_F(DdeServerTest, LinksStartOnEveryPostedItemAndATopicKeepsItsEntryAcrossConversations) {
  std::promise<BOOL> started;
  DWORD loopThread = 0;
  std::thread loop([&] {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    loopThread = GetCurrentThreadId();
    started.set_value(server_->StartDde());
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    server_.reset();
  });
  std::future<BOOL> startResult = started.get_future();
  // Ends the loop on every way out of the test, failed assertions included.
  struct LoopEnd {
    std::thread& loop;
    DWORD& thread;
    ~LoopEnd() {
      PostThreadMessageA(thread, WM_QUIT, 0, 0);
      loop.join();
    }
  } loopEnd{loop, loopThread};
  ASSERT_TRUE(startResult.get());
  auto stockCount = [this] { return Queue().Count(SubscriptionKey(enStockData, "IBM")); };

  {
    ddetest::Client client;
    HCONV futOption = client.Connect("ESZ6 C1200", "ZmDDE");
    ASSERT_NE(futOption, nullptr);
    for (const char* item :
         {"FutureSymbol", "FutOptStrike", "FutOptExpDate", "FutOptType", "FutOptOptnVolume",
          "FutOptRho", "FutOptTheta", "FutOptGamma", "FutOptVega", "FutOptDelta",
          "FutOptGrkRho", "FutOptGrkTheta", "FutOptGrkGamma", "FutOptGrkVega", "FutOptGrkDelta",
          "FutOptAsk", "FutOptBid", "FutOptIV", "FutOptnBidTime", "FutOptnAskTime",
          "FutOptnBidExch", "FutOptnAskExch", "FutOptnBidSize", "FutOptnAskSize",
          "FutOptnPreIv", "FutOpenInterest", "FutOptnLastPrice", "FutOptnLastTime",
          "FutOptnLastExch", "FutOptnLastSize"}) {
      SCOPED_TRACE(item);
      EXPECT_TRUE(client.Transact(futOption, item, XTYP_ADVSTART));
    }
    {
      StoreGuard lock(g_DataHolder.futOption.lock);
      EXPECT_EQ(g_DataHolder.futOption.entries.size(), 1u);
    }

    HCONV stock = client.Connect("IBM", "ZmDDE");
    ASSERT_NE(stock, nullptr);
    EXPECT_TRUE(client.Transact(stock, "Price", XTYP_ADVSTART));
    EXPECT_EQ(stockCount(), 1);
  }
  // Every handle of that client is gone with it, and its links stopped on
  // the service's thread.
  ASSERT_TRUE(WaitFor([&] { return stockCount() == 0; }));

  {
    ddetest::Client client;
    HCONV stock = client.Connect("IBM", "ZmDDE");
    ASSERT_NE(stock, nullptr);
    EXPECT_TRUE(client.Transact(stock, "Price", XTYP_ADVSTART));
    EXPECT_EQ(stockCount(), 1);
    StoreGuard lock(g_DataHolder.stock.lock);
    EXPECT_EQ(g_DataHolder.stock.entries.size(), 1u);
    EXPECT_EQ(g_DataHolder.stock.byTopic.size(), 1u);
    DdeDisconnect(stock);
  }
}

// ---- links end to end -----------------------------------------------------------

// orvsim's control object, through an ORB of this program's own.
OrvSim::Control_ptr SimControl() { return g_env->Control(); }

std::string Price(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.4f", value);
  return text;
}

// One instrument of every kind a link can name: the topic and item a
// spreadsheet would link, and the value the server holds for it now, as the
// link shows it.
struct LinkKind {
  std::string name;
  DataTypeEnum kind;
  std::string topic;
  std::string item;
  std::function<std::string()> value;
};

// The bridge's service on a thread of its own with a message loop, as the
// program's main thread is. The test is the bridge's clock: it runs the
// posting and refresh passes there when it wants them.
class BridgeThread {
 public:
  explicit BridgeThread(std::unique_ptr<CDDEServer>& server) : server_(server) {
    std::promise<BOOL> started;
    std::future<BOOL> result = started.get_future();
    thread_ = std::thread([this, &started] {
      MSG msg;
      PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
      id_ = GetCurrentThreadId();
      started.set_value(server_->StartDde());
      while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == kRun && !msg.hwnd) {
          auto* call = reinterpret_cast<Call*>(msg.lParam);
          call->f();
          call->done = true;
          continue;
        }
        DispatchMessageA(&msg);
      }
      server_.reset();  // the service ends on the thread that started it
    });
    started_ = result.get();
  }
  ~BridgeThread() {
    PostThreadMessageA(id_, WM_QUIT, 0, 0);
    thread_.join();
  }
  bool Started() const { return started_; }

  // Runs `f` there; the client's messages are dispatched meanwhile, since
  // the posts of a pass wait for the client to take their data.
  bool Run(ddetest::Client& client, std::function<void()> f) {
    auto call = std::make_shared<Call>();
    call->f = std::move(f);
    calls_.push_back(call);  // kept: a call still on its way must not dangle
    PostThreadMessageA(id_, kRun, 0, reinterpret_cast<LPARAM>(call.get()));
    return client.PumpUntil([&] { return call->done.load(); });
  }

 private:
  static constexpr UINT kRun = WM_APP + 7;
  struct Call {
    std::function<void()> f;
    std::atomic<bool> done{false};
  };
  std::unique_ptr<CDDEServer>& server_;
  std::thread thread_;
  DWORD id_ = 0;
  bool started_ = false;
  std::vector<std::shared_ptr<Call>> calls_;
};

// The calls orvsim received from a point on, per symbol and data type: the
// subscriptions it accepted less the unsubscriptions. A key above zero is
// still held; one below zero was let go under a type it never had, which
// is how a type that stays subscribed elsewhere hides.
class SubscriptionJournal {
 public:
  SubscriptionJournal() {
    Read();
    net_.clear();
  }
  // The keys whose subscriptions and unsubscriptions differ, as
  // "symbol/type=difference".
  std::string Unbalanced() {
    Read();
    std::string out;
    for (const auto& [key, net] : net_)
      if (net != 0) out += (out.empty() ? "" : " ") + key + "=" + std::to_string(net);
    return out;
  }

 private:
  void Read() {
    OrvSim::Journal_var journal = SimControl()->ReadJournal(next_);
    static const std::regex args("symbol=(.*) symbol_type=(-?\\d+) data_type=(-?\\d+)");
    for (CORBA::ULong i = 0; i < journal->length(); ++i) {
      const OrvSim::JournalEntry& e = journal[i];
      next_ = e.seq + 1;
      const std::string op = e.operation.in();
      const bool subscribe = op == "Subscribe";
      if (!subscribe && op != "UnSubscribe") continue;
      if (subscribe && std::string(e.result.in()) != "0") continue;
      std::smatch m;
      const std::string text = e.args.in();
      if (!std::regex_match(text, m, args)) continue;
      net_[m[1].str() + "/" + m[3].str()] += subscribe ? 1 : -1;
    }
  }
  // Where the last journal left off: earlier entries are not read twice.
  static inline CORBA::ULong next_ = 0;
  std::map<std::string, int> net_;
};

class LinkLifeCycle : public DdeServerTest {
 protected:
  // Queues a request of a kind the worker drops behind all the others and
  // waits until the worker has taken it: what was queued before is done.
  bool Settle() {
    SubscriptionQueue& queue = server_->Subscriptions();
    SubscriptionRequest marker;
    marker.symbol = "#";
    marker.kind = enStockData_Direct;
    queue.Enqueue(marker);
    return WaitFor([&] { return queue.Queued().empty(); }, 60000);
  }
  // An advise link on a conversation of its own, as a spreadsheet's cell
  // opens it.
  static void OpenLink(ddetest::Client& client, const std::string& topic, const std::string& item, HCONV* link) {
    *link = client.Connect(topic, "ZmDDE");
    ASSERT_NE(*link, nullptr);
    ASSERT_TRUE(client.Transact(*link, item, XTYP_ADVSTART));
  }
  static void CloseLink(ddetest::Client& client, HCONV link, const std::string& item) {
    EXPECT_TRUE(client.Transact(link, item, XTYP_ADVSTOP));
    DdeDisconnect(link);
  }
  // The refresh pass on the bridge's thread, between two settled queues.
  void RefreshSettled(BridgeThread& bridge, ddetest::Client& client) {
    ASSERT_TRUE(Settle());
    ASSERT_TRUE(bridge.Run(client, [&] { server_->RefreshAll(); }));
    ASSERT_TRUE(Settle());
  }
  // The chain of the first instrument of the walk that has one: not every
  // instrument has options.
  template <class Chain, class Walk, class ChainOf>
  static Chain FirstChain(Walk walk, ChainOf chainOf) {
    Chain chain;
    do {
      try {
        chain = chainOf(walk->GetSymbol());
      } catch (const _com_error&) {
      }
    } while (!chain && walk->Next() == VARIANT_TRUE);
    if (!chain) _com_issue_error(E_FAIL);
    return chain;
  }

  // The first instrument with data of every kind.
  std::vector<LinkKind> Kinds() {
    std::vector<LinkKind> kinds;
    IZmOrvEntPtr orve = Orve();
    const std::string stock = StockWithOptions();
    const _bstr_t s(stock.c_str());
    kinds.push_back({"stock", enStockData, stock, "Price",
                     [orve, s] { return Price(orve->GetStockBySymbol(s)->GetLastPrice()); }});
    {
      IHVEntPtr hv = orve->GetHV(s);
      const SHORT period = static_cast<SHORT>(hv->GetPeriod());
      kinds.push_back({"HV", enStockData, stock, "HV_T" + std::to_string(period), [orve, s, period] {
                         IHVEntPtr walk = orve->GetHV(s);
                         do {
                           if (walk->GetPeriod() == period) return Price(walk->GetHV());
                         } while (walk->Next() == VARIANT_TRUE);
                         return std::string("?");
                       }});
    }
    {
      const _bstr_t option = orve->GetOptionsByStock(s)->GetSymbol();
      kinds.push_back({"option", enOptionData, Text(option), "Bid", [orve, option] {
                         return Price(orve->GetOptionBySymbol(option)->GetBidPrice());
                       }});
    }
    {
      INstdOptionsEntPtr chain = FirstChain<INstdOptionsEntPtr>(
          orve->GetStocksAll(), [orve](const _bstr_t& stock) { return orve->GetNstdOptionsByStock(stock); });
      const _bstr_t option = chain->GetSymbol();
      const _bstr_t underlying = chain->GetStockSymbol();
      kinds.push_back({"non-standard option", enNstdOptionData, Text(option), "RootId",
                       [orve, option, underlying] {
                         INstdOptionsEntPtr walk = orve->GetNstdOptionsByStock(underlying);
                         do {
                           if (walk->GetSymbol() == option) return std::to_string(walk->GetRootID());
                         } while (walk->Next() == VARIANT_TRUE);
                         return std::string("?");
                       }});
    }
    {
      const _bstr_t future = orve->GetFuturesAll()->GetSymbol();
      kinds.push_back({"future", enFutureData, SymbolToTopic(Text(future)), "FutPrice",
                       [orve, future] {
                         return Price(orve->GetFuturesBySymbol(future)->GetLastPrice());
                       }});
      IFutOptionsEntPtr chain = FirstChain<IFutOptionsEntPtr>(
          orve->GetFuturesAll(), [orve](const _bstr_t& future) { return orve->GetFutOptionsByFuturesSymbol(future); });
      const _bstr_t option = chain->GetSymbol();
      kinds.push_back({"future option", enFutureOptionData, SymbolToTopic(Text(option)),
                       "FutOptBid", [orve, option] {
                         return Price(orve->GetFutOptionBySymbol(option)->GetBidPrice());
                       }});
    }
    {
      const SHORT term = orve->GetIVIndexesByStock(s)->GetTerm();
      kinds.push_back({"IV index", enIVIndexData, stock, "IVX_CALL_T" + std::to_string(term),
                       [orve, s, term] {
                         IIVIndexesEntPtr walk = orve->GetIVIndexesByStock(s);
                         do {
                           if (walk->GetTerm() == term) return Price(walk->GetIVIndexCall());
                         } while (walk->Next() == VARIANT_TRUE);
                         return std::string("?");
                       }});
    }
    {
      IIVSurfacesEntPtr walk = orve->GetIVSurfacesByStock(s);
      while (walk->GetOtm() < 0 && walk->Next() == VARIANT_TRUE) {
      }
      const SHORT term = walk->GetTerm();
      const SHORT otm = walk->GetOtm();
      const OptionTypeEnum type = walk->GetType();
      const std::string item = std::string("IVS_") + (type == enCall ? "CALL" : "PUT") + "_T" +
                               std::to_string(term) + "_O" + std::to_string(otm) + "_IV";
      kinds.push_back({"IV surface", enIVSurfaceData, stock, item, [orve, s, term, otm, type] {
                         IIVSurfacesEntPtr point = orve->GetIVSurfacesByStock(s);
                         do {
                           if (point->GetTerm() == term && point->GetOtm() == otm &&
                               point->GetType() == type)
                             return Price(point->GetIV());
                         } while (point->Next() == VARIANT_TRUE);
                         return std::string("?");
                       }});
    }
    {
      IIVATMEntPtr atm = orve->GetATMByStock(s);
      _bstr_t ignored;
      DATE expiry = 0;
      FLOAT iv = 0;
      atm->GetIVATMData(ignored.GetAddress(), &expiry, &iv);
      SYSTEMTIME st = {};
      VariantTimeToSystemTime(expiry, &st);
      static const char* const kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                            "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
      const std::string item = "ATM_Y" + std::to_string(st.wYear % 100) + "_" + kMonths[st.wMonth - 1];
      const WORD year = st.wYear, month = st.wMonth;
      kinds.push_back({"ATM", enIVATMData, stock, item, [orve, s, year, month] {
                         // The last expiry of the month is the one the entry keeps.
                         IIVATMEntPtr walk = orve->GetATMByStock(s);
                         std::string value = "?";
                         do {
                           _bstr_t symbol;
                           DATE date = 0;
                           FLOAT iv = 0;
                           walk->GetIVATMData(symbol.GetAddress(), &date, &iv);
                           SYSTEMTIME t = {};
                           VariantTimeToSystemTime(date, &t);
                           if (t.wYear == year && t.wMonth == month) value = Price(iv * 100.0);
                         } while (walk->Next() == VARIANT_TRUE);
                         return value;
                       }});
    }
    return kinds;
  }
};

// Every kind through every sequence of links, against the server program
// and orvsim: each link open at the end receives the value orvsim publishes
// after it opened, and once the links are gone every key the bridge made
// the server subscribe has been unsubscribed as often.
TEST_F(LinkLifeCycle, EveryOpenLinkGetsEveryValueAndNothingStaysSubscribed) {
  SignIn();
  std::vector<LinkKind> kinds;
  try {
    kinds = Kinds();
  } catch (const _com_error& e) {
    FAIL() << "no instrument of every kind: " << Text(e.Description());
  }
  // o opens a link, c closes the last one opened, h holds the worker and
  // r releases it, w waits until the worker has carried out what is queued,
  // f runs the refresh pass, x makes the service refuse subscriptions for
  // its limit and y lets it accept them again.
  struct Sequence {
    const char* name;
    const char* steps;
  };
  const Sequence sequences[] = {
      {"advise without any request", "o"},
      {"open, close, reopen", "owcwo"},
      {"two links, close one", "oowc"},
      {"open while an unsubscribe is queued", "owhcor"},
      {"open and close before the worker runs", "hocr"},
      {"open and close before the worker runs, then open", "hocrwo"},
      {"refused by the service, then allowed", "xowfwyfw"},
  };

  // The test is the clock: the worker's holding back after a refusal
  // waits for nothing.
  server_->SetWorkerPause([](DWORD) {});
  BridgeThread bridge(server_);
  ASSERT_TRUE(bridge.Started());
  ddetest::Client client;
  SubscriptionQueue& queue = server_->Subscriptions();

  for (const LinkKind& kind : kinds) {
    for (const Sequence& sequence : sequences) try {
      SCOPED_TRACE(kind.name + " " + kind.topic + " " + kind.item + ": " + sequence.name);
      SubscriptionJournal journal;
      std::vector<HCONV> open;
      for (const char* step = sequence.steps; *step; ++step) {
        switch (*step) {
          case 'o': {
            HCONV conversation = nullptr;
            ASSERT_NO_FATAL_FAILURE(OpenLink(client, kind.topic, kind.item, &conversation));
            open.push_back(conversation);
            break;
          }
          case 'c':
            ASSERT_FALSE(open.empty());
            CloseLink(client, open.back(), kind.item);
            open.pop_back();
            break;
          case 'h': queue.Hold(true); break;
          case 'r': queue.Hold(false); break;
          case 'w': ASSERT_TRUE(Settle()); break;
          case 'f': ASSERT_TRUE(bridge.Run(client, [&] { server_->RefreshAll(); })); break;
          case 'x':
            SimControl()->InjectStatus("Subscribe", -1, 13 /* the subscription limit */, 0);
            break;
          case 'y': SimControl()->ClearInjections(); break;
        }
      }
      ASSERT_TRUE(Settle());

      // A tick, and a posting pass after another until every open link
      // shows the value the server holds now.
      std::map<HCONV, size_t> seen;
      for (HCONV c : open) seen[c] = client.ValuesOf(c).size();
      SimControl()->PublishNow(1);
      std::string expected;
      const bool delivered = WaitFor(
          [&] {
            if (!bridge.Run(client, [&] { server_->PostAdvises(); })) return false;
            client.PumpWaiting();
            try {
              expected = kind.value();
            } catch (const _com_error& e) {
              expected = "<" + Text(e.Description()) + ">";
              return false;
            }
            for (HCONV c : open) {
              const std::vector<std::string> values = client.ValuesOf(c);
              if (values.size() <= seen[c] || values.back() != expected) return false;
            }
            return true;
          },
          30000);
      EXPECT_TRUE(delivered) << "expected " << expected;
      for (HCONV c : open) {
        const std::vector<std::string> values = client.ValuesOf(c);
        EXPECT_GT(values.size(), seen[c]) << "a link got nothing after the tick";
      }

      // Every link gone: the server lets go of what the bridge subscribed,
      // and the refresh pass leaves no entry behind.
      while (!open.empty()) {
        CloseLink(client, open.back(), kind.item);
        open.pop_back();
      }
      SimControl()->ClearInjections();
      ASSERT_NO_FATAL_FAILURE(RefreshSettled(bridge, client));
      EXPECT_EQ(journal.Unbalanced(), "");
      EXPECT_TRUE(WaitFor([&] {
        return g_DataHolder.stock.entries.empty() && g_DataHolder.option.entries.empty() &&
               g_DataHolder.nstdOption.entries.empty() && g_DataHolder.futures.entries.empty() &&
               g_DataHolder.futOption.entries.empty() && g_DataHolder.ivIndex.entries.empty() &&
               g_DataHolder.ivSurface.entries.empty() && g_DataHolder.atm.entries.empty();
      }));
      if (HasFatalFailure()) return;
    } catch (const CORBA::Exception& e) {
      FAIL() << kind.name << " " << sequence.name << ": " << e._name();
    } catch (const _com_error& e) {
      FAIL() << kind.name << " " << sequence.name << ": " << Text(e.Description());
    }
  }
}

// Over the service's limit the over-limit thread lets go of a chain whose
// options are not all linked and carries the linked ones on their own, once
// the service takes them (else the chain stays, and its links live); a
// link made afterwards on another option of that chain is carried on its
// own as well. Every link keeps getting values, and once they are gone
// the service has been unsubscribed from all of it.
TEST_F(LinkLifeCycle, OptionsCarriedOnTheirOwnOverTheLimitAreLetGoWithTheirLinks) {
  SignIn();
  std::vector<std::string> underlyings;
  {
    IStocksEntPtr stocks = Orve()->GetStocksAll();
    do {
      const std::string symbol = Text(stocks->GetSymbol());
      try {
        if (Orve()->GetOptionsByStock(symbol.c_str())) underlyings.push_back(symbol);
      } catch (const _com_error&) {
      }
    } while (underlyings.size() < 2 && stocks->Next() == VARIANT_TRUE);
  }
  ASSERT_EQ(underlyings.size(), 2u) << "two stocks with options";
  IOptionsEntPtr chain = Orve()->GetOptionsByStock(underlyings[0].c_str());
  const std::string first = Text(chain->GetSymbol());
  ASSERT_EQ(chain->Next(), VARIANT_TRUE);
  const std::string second = Text(chain->GetSymbol());
  const std::string other = Text(Orve()->GetOptionsByStock(underlyings[1].c_str())->GetSymbol());

  server_->SetWorkerPause([](DWORD) {});
  BridgeThread bridge(server_);
  ASSERT_TRUE(bridge.Started());
  ddetest::Client client;
  SubscriptionJournal journal;
  std::map<std::string, HCONV> links;
  auto open = [&](const std::string& option) { OpenLink(client, option, "Bid", &links[option]); };
  struct Injection {
    ~Injection() { SimControl()->ClearInjections(); }
  } injection;

  open(first);
  ASSERT_TRUE(Settle());
  ASSERT_TRUE(Subscribed(underlyings[0], enEquity, enOptionData));
  // The second chain is refused for the limit while the first has options
  // no link holds: the over-limit thread would trade the first for its
  // option, but the service refuses that one too, and the chain stays.
  SimControl()->InjectStatus("Subscribe", -1, 13 /* the subscription limit */, 0);
  open(other);
  ASSERT_TRUE(Settle());
  ASSERT_TRUE(WaitFor([&] { return !server_->IsOverLimitThreadRunning(); }, 60000));
  SimControl()->ClearInjections();
  EXPECT_TRUE(Subscribed(underlyings[0], enEquity, enOptionData));
  EXPECT_FALSE(Subscribed(first, enOption, enOptionData));
  // Refused once more, the other chain alone: this time the option is
  // taken on its own, and then the first chain goes.
  SimControl()->InjectStatus("Subscribe", -1, 13, 1);
  ASSERT_TRUE(bridge.Run(client, [&] { server_->RefreshAll(); }));
  ASSERT_TRUE(Settle());
  ASSERT_TRUE(WaitFor([&] { return !server_->IsOverLimitThreadRunning(); }, 60000));
  SimControl()->ClearInjections();
  EXPECT_FALSE(Subscribed(underlyings[0], enEquity, enOptionData));
  EXPECT_TRUE(Subscribed(first, enOption, enOptionData));
  // Refused while the limit held: tried again.
  ASSERT_TRUE(bridge.Run(client, [&] { server_->RefreshAll(); }));
  ASSERT_TRUE(Settle());
  open(second);
  ASSERT_TRUE(Settle());
  EXPECT_TRUE(Subscribed(second, enOption, enOptionData));

  std::map<HCONV, size_t> seen;
  for (const auto& [option, c] : links) seen[c] = client.ValuesOf(c).size();
  SimControl()->PublishNow(1);
  std::string missing;
  const bool delivered = WaitFor(
      [&] {
        if (!bridge.Run(client, [&] { server_->PostAdvises(); })) return false;
        client.PumpWaiting();
        for (const auto& [option, c] : links) {
          const std::vector<std::string> values = client.ValuesOf(c);
          std::string expected;
          try {
            expected = Price(Orve()->GetOptionBySymbol(option.c_str())->GetBidPrice());
          } catch (const _com_error&) {
            return false;
          }
          if (values.size() <= seen[c] || values.back() != expected) {
            missing = option + " expected " + expected;
            return false;
          }
        }
        return true;
      },
      30000);
  EXPECT_TRUE(delivered) << missing;

  for (const auto& [option, c] : links) CloseLink(client, c, "Bid");
  ASSERT_NO_FATAL_FAILURE(RefreshSettled(bridge, client));
  EXPECT_EQ(journal.Unbalanced(), "");
  EXPECT_FALSE(Subscribed(first, enOption, enOptionData));
  EXPECT_FALSE(Subscribed(second, enOption, enOptionData));
  EXPECT_TRUE(WaitFor([&] {
    StoreGuard lock(g_DataHolder.option.lock);
    return g_DataHolder.option.entries.empty();
  }));
}

// Two spellings of one parametrised value are two links: a change posts
// both. And a link's stop takes back what its start counted, whichever
// way its name could also be read.
TEST_F(DdeServerTest, EverySpellingOfAValueIsPostedAndAStopUndoesItsOwnStart) {
  BridgeThread bridge(server_);
  ASSERT_TRUE(bridge.Started());
  ddetest::Client client;
  HCONV conv = client.Connect("ABC", "ZmDDE");
  ASSERT_NE(conv, nullptr);
  const std::vector<std::string> spellings = {"IVX_CALL_T30", "CALL_IVX_T30"};
  for (const std::string& item : spellings) ASSERT_TRUE(client.Transact(conv, item, XTYP_ADVSTART));
  std::vector<std::string> items;
  bridge.Run(client, [&] {
    {
      StoreGuard lock(g_DataHolder.ivIndex.lock);
      ASSERT_EQ(g_DataHolder.ivIndex.entries.size(), 1u);
      g_DataHolder.ivIndex.entries[0]->snapshot = 1;
      g_DataHolder.ivIndex.changed.Mark(g_DataHolder.ivIndex.entries[0]);
    }
    server_->RememberTopicHandle("ABC", static_cast<DdeHandleValue>(
                                            reinterpret_cast<uintptr_t>(client.Name("ABC"))));
    for (const CDDEServer::DueAdvise& d : server_->TakeDueAdvises()) {
      char text[64] = {};
      DdeQueryStringA(client.Instance(), d.item, text, sizeof text, CP_WINANSI);
      items.push_back(ddetest::Fold(text));
    }
  });
  EXPECT_EQ(items, (std::vector<std::string>{"ivx_call_t30", "call_ivx_t30"}));

  // An IV surface item that the ATM grammar reads too: started as an IV
  // surface link, stopped as one, and no ATM count goes below nothing.
  const SubscriptionKey surface(enIVSurfaceData, "ABC"), atm(enIVATMData, "ABC");
  ASSERT_TRUE(client.Transact(conv, "CALL_IVS_T30O10_IV_ATMY27_JAN", XTYP_ADVSTART));
  EXPECT_EQ(Queue().Count(surface), 1);
  EXPECT_EQ(Queue().Count(atm), 0);
  ASSERT_TRUE(client.Transact(conv, "CALL_IVS_T30O10_IV_ATMY27_JAN", XTYP_ADVSTOP));
  EXPECT_EQ(Queue().Count(surface), 0);
  ASSERT_TRUE(client.Transact(conv, "ATM_Y27_JAN", XTYP_ADVSTART));
  EXPECT_EQ(Queue().Count(atm), 1);
}

// An option field on the topic of a known non-standard option counts on
// that option, and makes no option entry that would hide it.
TEST_F(DdeServerTest, AnOptionFieldOfANonStandardOptionsTopicIsThatOptionsLink) {
  BridgeThread bridge(server_);
  ASSERT_TRUE(bridge.Started());
  ddetest::Client client;
  HCONV conv = client.Connect("ABC1 AB", "ZmDDE");
  ASSERT_NE(conv, nullptr);
  ASSERT_TRUE(client.Transact(conv, "RootId", XTYP_ADVSTART));
  const SubscriptionKey nstd(enNstdOptionData, "ABC1 AB");
  EXPECT_EQ(Queue().Count(nstd), 1);
  ASSERT_TRUE(client.Transact(conv, "Bid", XTYP_ADVSTART));
  EXPECT_EQ(Queue().Count(nstd), 2);
  EXPECT_TRUE(g_DataHolder.option.entries.empty());
  EXPECT_EQ(Queue().Count(SubscriptionKey(enOptionData, "ABC1 AB")), 0);
  ASSERT_TRUE(client.Transact(conv, "RootId", XTYP_ADVSTOP));
  ASSERT_TRUE(client.Transact(conv, "Bid", XTYP_ADVSTOP));
  EXPECT_EQ(Queue().Count(nstd), 0);
}

// A changed entry posts only the items that some conversation links, in
// the order of its kind's items, and each of them still gets its value.
TEST_F(DdeServerTest, APostingPassPostsOnlyLinkedItemsAndEachOfThemGetsItsValue) {
  SignIn();
  const std::string stock = Text(Orve()->GetStocksAll()->GetSymbol());
  BridgeThread bridge(server_);
  ASSERT_TRUE(bridge.Started());
  ddetest::Client client;
  HCONV first = client.Connect(stock, "ZmDDE");
  HCONV second = client.Connect(stock, "ZmDDE");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  ASSERT_TRUE(client.Transact(first, "StckBid", XTYP_ADVSTART));
  ASSERT_TRUE(client.Transact(first, "Price", XTYP_ADVSTART));
  ASSERT_TRUE(client.Transact(second, "StckAsk", XTYP_ADVSTART));
  ASSERT_TRUE(WaitFor([&] {
    StoreGuard lock(g_DataHolder.stock.lock);
    return g_DataHolder.stock.entries.size() == 1 && g_DataHolder.stock.entries[0]->snapshot;
  }));
  // A link made while the first snapshot was under way asked for one of its
  // own; it lands before the passes are counted (a marker the worker drops
  // goes behind it).
  SubscriptionRequest marker;
  marker.symbol = "#";
  marker.kind = enStockData_Direct;
  Queue().Enqueue(marker);
  ASSERT_TRUE(WaitFor([&] { return Queue().Queued().empty(); }, 60000));

  auto due = [&] {
    std::vector<std::string> items;
    bridge.Run(client, [&] {
      {
        StoreGuard lock(g_DataHolder.stock.lock);
        g_DataHolder.stock.changed.Mark(g_DataHolder.stock.entries[0]);
      }
      for (const CDDEServer::DueAdvise& d : server_->TakeDueAdvises()) {
        char text[64] = {};
        DdeQueryStringA(client.Instance(), d.item, text, sizeof text, CP_WINANSI);
        items.push_back(text);
      }
    });
    return items;
  };
  EXPECT_EQ(due(), (std::vector<std::string>{"Price", "StckBid", "StckAsk"}));
  // The flag is cleared: a second pass has nothing to post.
  std::vector<CDDEServer::DueAdvise> again;
  bridge.Run(client, [&] { again = server_->TakeDueAdvises(); });
  EXPECT_TRUE(again.empty());

  // A link that stops is posted no more; the item another link holds stays.
  ASSERT_TRUE(client.Transact(second, "StckAsk", XTYP_ADVSTOP));
  EXPECT_EQ(due(), (std::vector<std::string>{"Price", "StckBid"}));
  ASSERT_TRUE(client.Transact(second, "StckBid", XTYP_ADVSTART));
  DdeDisconnect(second);  // its links end with it
  EXPECT_EQ(due(), (std::vector<std::string>{"Price", "StckBid"}));

  // The pass itself: each link of the first conversation gets a value.
  const size_t before = client.ValuesOf(first).size();
  {
    StoreGuard lock(g_DataHolder.stock.lock);
    g_DataHolder.stock.changed.Mark(g_DataHolder.stock.entries[0]);
  }
  ASSERT_TRUE(bridge.Run(client, [&] { server_->PostAdvises(); }));
  EXPECT_TRUE(client.PumpUntil([&] { return client.ValuesOf(first).size() >= before + 2; }));
  EXPECT_EQ(client.ValuesOf(first).size(), before + 2);
}

// The pass walks what was marked changed since the last one, not the whole
// store: an entry marked twice is taken once, one the refresh pass dropped
// meanwhile is forgotten with it, and one without a topic handle waits for
// the handle with its flag set.
TEST_F(DdeServerTest, APostingPassTakesEachEntryMarkedChangedOnce) {
  SignIn();
  IStocksEntPtr stocks = Orve()->GetStocksAll();
  const std::string first = Text(stocks->GetSymbol());
  ASSERT_EQ(stocks->Next(), VARIANT_TRUE);
  const std::string second = Text(stocks->GetSymbol());
  ASSERT_EQ(stocks->Next(), VARIANT_TRUE);
  const std::string unnamed = Text(stocks->GetSymbol());
  BridgeThread bridge(server_);
  ASSERT_TRUE(bridge.Started());
  ddetest::Client client;
  HCONV a = client.Connect(first, "ZmDDE");
  HCONV b = client.Connect(second, "ZmDDE");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_TRUE(client.Transact(a, "StckBid", XTYP_ADVSTART));
  ASSERT_TRUE(client.Transact(b, "StckBid", XTYP_ADVSTART));
  auto entryOf = [](const std::string& topic) {
    auto it = g_DataHolder.stock.bySymbol.find(_bstr_t(topic.c_str()));
    return it == g_DataHolder.stock.bySymbol.end() ? nullptr : it->second;
  };
  ASSERT_TRUE(WaitFor([&] {
    StoreGuard lock(g_DataHolder.stock.lock);
    StockEntry* x = entryOf(first);
    StockEntry* y = entryOf(second);
    return x && y && x->snapshot && y->snapshot;
  }));
  auto dueTopics = [&](std::function<void()> before) {
    std::vector<std::string> topics;
    bridge.Run(client, [&] {
      before();
      for (const CDDEServer::DueAdvise& d : server_->TakeDueAdvises()) {
        char text[64] = {};
        DdeQueryStringA(client.Instance(), d.topic, text, sizeof text, CP_WINANSI);
        topics.push_back(text);
      }
    });
    return topics;
  };
  auto mark = [&](const std::string& topic, int times) {
    return [&, topic, times] {
      StoreGuard lock(g_DataHolder.stock.lock);
      for (int i = 0; i < times; ++i) g_DataHolder.stock.changed.Mark(entryOf(topic));
    };
  };
  dueTopics([] {});  // the snapshots' marks
  EXPECT_EQ(dueTopics(mark(first, 2)), std::vector<std::string>{first});
  EXPECT_TRUE(dueTopics([] {}).empty());
  EXPECT_EQ(dueTopics(mark(second, 1)), std::vector<std::string>{second});

  // Marked, then its last link goes and the refresh pass deletes it.
  ASSERT_TRUE(client.Transact(b, "StckBid", XTYP_ADVSTOP));
  EXPECT_TRUE(dueTopics([&] {
                mark(second, 1)();
                server_->RefreshAll();
              }).empty());
  {
    StoreGuard lock(g_DataHolder.stock.lock);
    EXPECT_EQ(entryOf(second), nullptr);
    EXPECT_EQ(g_DataHolder.stock.changed.Size(), 0u);
  }

  // No topic handle: the entry stays queued and changed until it has one.
  StockEntry* waiting = AddStock(unnamed);
  EXPECT_TRUE(dueTopics(mark(unnamed, 1)).empty());
  EXPECT_TRUE(dueTopics([] {}).empty());
  {
    StoreGuard lock(g_DataHolder.stock.lock);
    EXPECT_EQ(waiting->changed, 1);
    EXPECT_EQ(g_DataHolder.stock.changed.Size(), 1u);
  }
  server_->RememberTopicHandle(unnamed, 7);
  dueTopics([] {});
  StoreGuard lock(g_DataHolder.stock.lock);
  EXPECT_EQ(waiting->changed, 0);
  EXPECT_EQ(g_DataHolder.stock.changed.Size(), 0u);
}

TEST(DdeServerObject, TheFirstObjectIsTheInstanceAndOwnsTheMonthTable) {
  auto first = std::make_unique<CDDEServer>(nullptr);
  EXPECT_EQ(CDDEServer::Instance(), first.get());
  EXPECT_EQ(first->Months().size(), 12u);
  EXPECT_EQ(first->Months().at("DEC"), 12);
  {
    CDDEServer second(nullptr);
    EXPECT_EQ(CDDEServer::Instance(), first.get());
    EXPECT_TRUE(second.Months().empty());
    EXPECT_EQ(second.Subscriptions().WakeUp(), nullptr);
    EXPECT_FALSE(second.StartWorker());
  }
  EXPECT_EQ(CDDEServer::Instance(), first.get());
  ASSERT_TRUE(first->StartWorker());
  first.reset();  // stops and joins the worker
  EXPECT_EQ(CDDEServer::Instance(), nullptr);
}

}  // namespace
