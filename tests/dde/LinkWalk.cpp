// The life-cycle checker of the whole road: a seeded random walk over the
// real orvsim, ORVE, the bridge and a DDE client holding many advise links,
// checked after every step.
//
// The bridge runs in this process on its own thread, as its program runs it
// (the same shell, the same server object), with a clock the walk drives: a
// posting pass is five seconds of the bridge's time, a refresh pass comes
// every 25.5 of them, and a reconnection waits its pauses on the same
// clock. ORVE and orvsim are programs of their own; ORVE is started by COM
// as the bridge asks for it, orvsim on a fixed port so that it can be
// killed and started again where ORVE finds it.
//
// After every step the walk publishes a new value for every key an open
// link shows (through orvsim's control object, so the exact value is
// known) and lets the bridge's time run, pass by pass, until every open
// link shows its key's latest value and orvsim holds exactly the
// subscriptions that the open links need. A link that shows anything else
// when the design's timers have run out is a failure.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "OrvSimControl.hh"
#include "OrvSimProcess.h"
#include "dde/CDDEServer.h"
#include "dde/CDataHolder.h"
#include "dde/ZmDDEShell.h"
#include "platform/dde/ddeml.h"
#include "platform/ui/clock.h"
#include "platform/ui/winuser.h"
#include "platform/win/process.h"
#include "platform/win/resource.h"
#include "tests/server/OrveProcessSupport.h"
#include "tests/ui/PtyTerminal.h"
#include "tests/walk/WalkRunner.h"

extern char** environ;

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

const char kUser[] = "alice";
const char kPassword[] = "secret";
// ORVE's calls to the service time out after this; a stall is longer.
const int kServerTimeoutMs = 2000;
// The bridge's time per posting pass, and the design's bound on how long a
// link may wait for a value after a step: a posting pass, the refresh pass
// that retries what was refused and the posting pass after it.
const ULONGLONG kPassMs = 5000;
const ULONGLONG kStepBoundMs = 40000;
// After a step that replaces a process (ORVE, orvsim) or signs in again,
// the reconnection's pauses and ORVE's own rebuild come first.
const ULONGLONG kRecoveryBoundMs = 240000;
// Real time ORVE needs to pull a published value and send its event
// (a pull cycle is one second). A sanitizer build runs every process of the
// road a few times slower: a burst of a thousand links' events takes longer
// to deliver, though no timer of the design changes. A frozen link stays
// frozen at any pace.
#ifdef ORV_WALK_SANITIZED
const auto kRealPace = 3000ms;
#else
const auto kRealPace = 1300ms;
#endif
// Passes past the design's time while values are still arriving.
constexpr int kMaxExtraPasses = 40;

// ---- words of a step ----------------------------------------------------------

// Words are separated by blanks; a word with blanks is written in quotes
// (futures option symbols have one).
std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    if (i >= text.size()) break;
    std::string word;
    if (text[i] == '"') {
      const size_t end = text.find('"', i + 1);
      word = text.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
      i = end == std::string::npos ? text.size() : end + 1;
    } else {
      const size_t end = text.find(' ', i);
      word = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
      i = end == std::string::npos ? text.size() : end;
    }
    words.push_back(word);
  }
  return words;
}

std::string Quote(const std::string& word) {
  return word.find(' ') == std::string::npos && !word.empty() ? word : "\"" + word + "\"";
}

std::string Join(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : " ") + Quote(w);
  return out;
}

std::string Price(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.4f", value);
  return text;
}

// A published value as a link shows it: it travels as a float.
std::string Shown(double value, double scale) { return Price(static_cast<double>(static_cast<float>(value)) * scale); }

// ---- the market, as orvsim lists it -------------------------------------------

struct Option {
  std::string symbol, underlying;
  int year = 0, month = 0;
};

struct Point {
  int term = 0, otm = 0;
  char type = 'C';
};

struct Market {
  std::vector<std::string> stocks;
  std::map<std::string, double> lastOf;  // a stock's price when the service started
  std::map<std::string, std::vector<Option>> options, nstd;
  std::map<std::string, Option> optionBySymbol, nstdBySymbol, futOptionBySymbol;
  std::vector<std::string> futures;
  std::map<std::string, std::string> rootOf;  // future -> root
  std::map<std::string, std::vector<Option>> futOptions;
  std::map<std::string, std::vector<int>> ivx, futIvx, hv;
  std::map<std::string, std::vector<Point>> surface, futSurface;
  std::vector<std::string> roots;
  std::vector<int> rates;
  std::vector<std::string> allOptions;  // in the market's order

  void Read(const std::string& text) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      // Futures option symbols hold a blank: the kind and the last words
      // are blank-free, the symbol is what lies between.
      std::vector<std::string> w = Split(line);
      if (w.empty()) continue;
      const std::string& kind = w[0];
      auto option = [&](size_t tail) {
        Option o;
        const std::string expiry = w.back();
        o.year = std::atoi(expiry.substr(0, 4).c_str());
        o.month = std::atoi(expiry.substr(5, 2).c_str());
        o.underlying = w[w.size() - 2];
        std::vector<std::string> name(w.begin() + 1, w.end() - static_cast<long>(tail));
        for (const std::string& part : name) o.symbol += (o.symbol.empty() ? "" : " ") + part;
        return o;
      };
      if (kind == "stock") {
        stocks.push_back(w[1]);
        if (w.size() > 2) lastOf[w[1]] = std::atof(w[2].c_str());
      } else if (kind == "option") {
        Option o = option(2);
        options[o.underlying].push_back(o);
        optionBySymbol[o.symbol] = o;
        allOptions.push_back(o.symbol);
      } else if (kind == "nstd") {
        Option o = option(2);
        nstd[o.underlying].push_back(o);
        nstdBySymbol[o.symbol] = o;
      } else if (kind == "future") {
        futures.push_back(w[1]);
        rootOf[w[1]] = w[2];
        if (std::find(roots.begin(), roots.end(), w[2]) == roots.end()) roots.push_back(w[2]);
      } else if (kind == "futoption") {
        Option o = option(2);
        futOptions[o.underlying].push_back(o);
        futOptionBySymbol[o.symbol] = o;
      } else if (kind == "ivindex") {
        ivx[w[1]].push_back(std::atoi(w[2].c_str()));
      } else if (kind == "futivindex") {
        futIvx[w[1]].push_back(std::atoi(w[2].c_str()));
      } else if (kind == "ivsurface" || kind == "futivsurface") {
        (kind == "ivsurface" ? surface : futSurface)[w[1]].push_back(
            {std::atoi(w[2].c_str()), std::atoi(w[3].c_str()), w[4][0]});
      } else if (kind == "hv") {
        hv[w[1]].push_back(std::atoi(w[2].c_str()));
      } else if (kind == "rate") {
        rates.push_back(std::atoi(w[2].c_str()));
      }
    }
  }
};

// ---- links ------------------------------------------------------------------------

// What a link shows: the orvsim name of the value it must show, its text
// for a given value, and the value that a publication moves so that the
// link gets an update even where it shows something that does not move
// (the non-standard root id, historical volatility, ATM volatility).
struct Shows {
  std::string value;   // "stock ABC last"; empty when the link's text is not checked
  std::string carrier; // what is published to move the link
  double scale = 1.0;  // shown as value * scale
};

// A link as the walk opened it.
struct Link {
  std::string id;
  std::string family;
  std::string topic;
  std::string item;
  Shows shows;
  // An option field on a topic the bridge does not know as a non-standard
  // option's is an option link, and the service has no such option: it
  // stays empty, which the checker does not count against it.
  bool unserved = false;
};

// ---- the DDE client ----------------------------------------------------------------

class LinkClient {
 public:
  LinkClient() {
    current_ = this;
    if (DdeInitializeA(&inst_, Callback, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR)
      throw std::runtime_error("the DDE client cannot start");
  }
  ~LinkClient() {
    for (auto& [topic, conv] : conversations_) DdeDisconnect(conv);
    for (auto& [name, hsz] : names_) DdeFreeStringHandle(inst_, hsz);
    DdeUninitialize(inst_);
    current_ = nullptr;
  }

  HSZ Name(const std::string& text) {
    auto it = names_.find(text);
    if (it != names_.end()) return it->second;
    return names_[text] = DdeCreateStringHandleA(inst_, text.c_str(), CP_WINANSI);
  }

  // The conversation of a topic, opened once: a spreadsheet's cells on one
  // topic share it.
  HCONV Conversation(const std::string& topic) {
    auto it = conversations_.find(topic);
    if (it != conversations_.end()) return it->second;
    HCONV conv = DdeConnect(inst_, Name("ZmDDE"), Name(topic), nullptr);
    if (conv) conversations_[topic] = conv;
    return conv;
  }
  void Disconnect(const std::string& topic) {
    auto it = conversations_.find(topic);
    if (it == conversations_.end()) return;
    DdeDisconnect(it->second);
    conversations_.erase(it);
  }

  bool StartLink(const std::string& topic, const std::string& item) {
    HCONV conv = Conversation(topic);
    if (!conv) return false;
    return DdeClientTransaction(nullptr, 0, conv, Name(item), CF_TEXT, XTYP_ADVSTART, 10000, nullptr) !=
           nullptr;
  }
  void StopLink(const std::string& topic, const std::string& item) {
    auto it = conversations_.find(topic);
    if (it == conversations_.end()) return;
    DdeClientTransaction(nullptr, 0, it->second, Name(item), CF_TEXT, XTYP_ADVSTOP, 10000, nullptr);
  }
  // The answer of a request, or nothing.
  std::optional<std::string> Request(const std::string& topic, const std::string& item) {
    HCONV conv = Conversation(topic);
    if (!conv) return std::nullopt;
    HDDEDATA data =
        DdeClientTransaction(nullptr, 0, conv, Name(item), CF_TEXT, XTYP_REQUEST, 10000, nullptr);
    if (!data) return std::nullopt;
    DWORD size = 0;
    LPBYTE bytes = DdeAccessData(data, &size);
    std::string text(reinterpret_cast<const char*>(bytes), size);
    DdeUnaccessData(data);
    DdeFreeDataHandle(data);
    return text.substr(0, text.find('\0'));
  }

  struct Received {
    size_t count = 0;
    std::string last;
  };
  // What the link of a topic and item has received so far.
  Received Of(const std::string& topic, const std::string& item) {
    auto it = received_.find({Fold(topic), Fold(item)});
    return it == received_.end() ? Received{} : it->second;
  }
  void Forget(const std::string& topic, const std::string& item) { received_.erase({Fold(topic), Fold(item)}); }
  void Pump(std::chrono::milliseconds time) {
    const auto until = Clock::now() + time;
    MSG msg;
    do {
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      std::this_thread::sleep_for(2ms);
    } while (Clock::now() < until);
  }
  size_t Conversations() const { return conversations_.size(); }

 private:
  static std::string Fold(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }
  static std::string Query(HSZ hsz) {
    char text[300] = {};
    DdeQueryStringA(current_->inst_, hsz, text, sizeof text, CP_WINANSI);
    return text;
  }
  static HDDEDATA CALLBACK Callback(UINT type, UINT, HCONV, HSZ topic, HSZ item, HDDEDATA data, ULONG_PTR,
                                    ULONG_PTR) {
    if (type != XTYP_ADVDATA || !current_) return nullptr;
    std::string text;
    if (data) {
      DWORD size = 0;
      LPBYTE bytes = DdeAccessData(data, &size);
      text.assign(reinterpret_cast<const char*>(bytes), size);
      DdeUnaccessData(data);
      text = text.substr(0, text.find('\0'));
    }
    Received& r = current_->received_[{Fold(Query(topic)), Fold(Query(item))}];
    ++r.count;
    r.last = text;
    return reinterpret_cast<HDDEDATA>(uintptr_t(DDE_FACK));
  }

  static inline LinkClient* current_ = nullptr;
  DWORD inst_ = 0;
  std::map<std::string, HSZ> names_;
  std::map<std::string, HCONV> conversations_;
  std::map<std::pair<std::string, std::string>, Received> received_;
};

// ---- processes ------------------------------------------------------------------

using orvwalk::FreePort;

int RunProgram(const std::vector<std::string>& args) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (auto& a : copy) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds limit) {
  const auto until = Clock::now() + limit;
  while (!pred()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// A manager nobody pulls from any more belongs to a client that is gone.
bool Live(const OrvSim::ManagerKeys& m) {
  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  return m.connected && (m.pulling || now - m.last_pull <= 5);
}

// ---- the walk --------------------------------------------------------------------

class LinkWalk : public orvwalk::Walk {
 public:
  void Start(const std::string& root) override;
  std::string Next(orvwalk::Rng& rng) override;
  std::string Apply(const std::string& step) override;
  std::string Quiesce() override;
  void Stop() override;

 private:
  // Steps.
  std::string Open(const std::string& id, const std::string& family, const std::string& topic,
                   const std::string& item);
  void Close(const std::string& id);
  std::string Request(const std::string& topic, const std::string& item);
  std::string KillOrve();
  std::string RestartService();
  std::string StallService(int ms);
  void Limit(bool on);
  void PostCommand(UINT id);
  std::string Connect();

  // Making up steps.
  std::string MakeOpen(orvwalk::Rng& rng);
  std::string MakeLinkOn(orvwalk::Rng& rng, const std::string& family, const std::string& stock);
  Shows ShowsOf(const std::string& family, const std::string& topic, const std::string& item) const;

  // Checks.
  std::string Check(ULONGLONG boundMs);
  void Publish();
  void Settle();
  void PostingPass();
  void RefreshPass();
  std::string LinksFailing();
  std::string StoreOf(const Link& link);
  std::string SubscriptionsFailing();
  std::set<std::pair<int, std::string>> HeldKeys();
  OrvSim::Control_ptr Control();

  std::string root_, runtime_, port_;
  std::vector<std::string> simArgs_;
  std::unique_ptr<orvsim::OrvSimProcess> sim_;
  CORBA::ORB_var orb_;
  OrvSim::Control_var control_;
  Market market_;
  std::unique_ptr<PtyTerminal> terminal_;
  orvui::ManualClock clock_{1000000};
  std::thread bridge_;
  std::unique_ptr<LinkClient> client_;

  std::map<std::string, Link> links_;  // by id, open ones only
  std::map<std::string, double> latest_;  // the last value published, by name
  std::map<std::string, size_t> countAtPublish_;  // per link id
  double nextValue_ = 100.0;
  long stockPublications_ = 0;
  int nextId_ = 1;
  bool connected_ = true;
  bool limited_ = false;
  // Links that must keep getting values while the service refuses new
  // subscriptions: those it already served.
  std::set<std::string> servedBeforeLimit_;
  std::string focus_;  // the stock most links of a walk gather on
};

OrvSim::Control_ptr LinkWalk::Control() {
  if (CORBA::is_nil(control_)) {
    CORBA::Object_var object = orb_->string_to_object(sim_->Get("control").c_str());
    control_ = OrvSim::Control::_narrow(object);
  }
  return control_.in();
}

void LinkWalk::Start(const std::string& root) {
  root_ = root;
  runtime_ = root + "/run";
  std::filesystem::create_directories(root + "/home/Application Data/Orv");
  if (::mkdir(runtime_.c_str(), 0700) != 0) throw std::runtime_error("cannot make " + runtime_);
  ::setenv("ORV_REGISTRY", (root + "/registry.reg").c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
  ::setenv("USERPROFILE", (root + "/home").c_str(), 1);
  ::setenv("HOME", (root + "/home").c_str(), 1);
  orvwin::RaiseDescriptorLimit();

  port_ = FreePort();
  simArgs_ = {"--rate", "0", "--stocks", "6", "--options-per-stock", "200", "--future-roots", "2",
              "--user", std::string(kUser) + ":" + kPassword, "--log-level", "warn", "--port", port_};
  sim_ = std::make_unique<orvsim::OrvSimProcess>(root, simArgs_);
  int argc = 0;
  const char* options[][2] = {{"giopMaxMsgSize", "268435456"}, {nullptr, nullptr}};
  orb_ = CORBA::ORB_init(argc, nullptr, "", options);
  market_.Read(CORBA::String_var(Control()->ListInstruments()).in());
  if (market_.stocks.empty()) throw std::runtime_error("orvsim lists no stocks");

  if (RunProgram({ORVE_PATH, "-RegServer"}) != 0) throw std::runtime_error("ORVE -RegServer failed");
  {
    std::ofstream reg(root + "/registry.reg", std::ios::app);
    char timeout[16];
    std::snprintf(timeout, sizeof timeout, "%08x", kServerTimeoutMs);
    const char* level = std::getenv("ORV_WALK_ORVE_LOG_LEVEL");
    reg << "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brask\\Orv]\n"
        << "\"ConnString\"=\"iiop:127.0.0.1:" << port_ << "\"\n"
        << "\"FutConnString\"=\"iiop:127.0.0.1:" << port_ << "\"\n"
        << "\"LogLevel\"=dword:0000000" << (level && *level >= '0' && *level <= '2' ? *level : '0') << "\n"
        << "\"ServerTimeout\"=dword:" << timeout << "\n"
        << "\"PullTimeout\"=dword:000001f4\n";
  }
  std::ofstream(root + "/home/Application Data/Orv/orv.ini")
      << "[Main]\nUsername=" << kUser << "\nPassword=" << kPassword << "\n";

  terminal_ = std::make_unique<PtyTerminal>();
  if (!terminal_->ok()) throw std::runtime_error("no terminal for the login dialog");
  zmdde::SetLoginTerminal(terminal_->path());
  orvui::SetClock(&clock_);
  HINSTANCE instance = GetModuleHandleA(nullptr);
  zmdde::RegisterZmDDEResources(instance);
  zmdde::SetShellServerFactory(zmdde::MakeDDEServer);
  bridge_ = std::thread([instance] {
    char commandLine[] = "";
    zmdde::ZmDDEWinMain(instance, nullptr, commandLine, 0);
  });
  if (!WaitUntil([&] { return std::filesystem::exists(runtime_ + "/orv/dde-zmdde.sock") && zmdde::ZmDDEMainWindow(); },
                 60s))
    throw std::runtime_error("the bridge's DDE service never started");
  client_ = std::make_unique<LinkClient>();
  if (!zmdde::CDDEServer::Instance() || !zmdde::CDDEServer::Instance()->IsConnected())
    throw std::runtime_error("the bridge did not sign in");
  focus_ = market_.stocks[0];
}

void LinkWalk::Stop() {
  client_.reset();
  if (bridge_.joinable()) {
    if (HWND hwnd = zmdde::ZmDDEMainWindow()) PostMessageA(hwnd, WM_COMMAND, zmdde::ID_APP_EXIT, 0);
    bridge_.join();
  }
  orvui::SetClock(nullptr);
  for (pid_t pid : orveprocess::OrvePids(runtime_)) ::kill(pid, SIGKILL);
  control_ = OrvSim::Control::_nil();
  if (sim_) {
    ::kill(sim_->Pid(), SIGCONT);
    sim_.reset();
  }
  if (!CORBA::is_nil(orb_)) orb_->destroy();
}

// ---- making up steps -----------------------------------------------------------

std::string LinkWalk::Next(orvwalk::Rng& rng) {
  if (!connected_ && rng.Chance(0.5)) return "connect";
  if (limited_ && rng.Chance(0.3)) return "unlimit";
  const int roll = rng.Int(0, 99);
  if (roll < 8 && rng.Chance(0.5)) focus_ = rng.Pick(market_.stocks);
  if (roll < 45) return MakeOpen(rng);
  if (roll < 70 && !links_.empty()) {
    auto it = links_.begin();
    std::advance(it, rng.Int(0, static_cast<int>(links_.size()) - 1));
    return "close " + it->first;
  }
  if (roll < 76 && !links_.empty()) {
    auto it = links_.begin();
    std::advance(it, rng.Int(0, static_cast<int>(links_.size()) - 1));
    return Join({"request", it->second.topic, it->second.item});
  }
  if (roll < 80) return "refresh";
  if (roll < 84) return connected_ ? "disconnect" : "connect";
  if (roll < 87) return "kill-orve";
  if (roll < 90) return "restart-service";
  if (roll < 93) return "stall-service " + std::to_string(kServerTimeoutMs + 800);
  if (roll < 96) return limited_ ? "unlimit" : "limit";
  if (roll < 98) {
    // Over a thousand option links at once, on every chain.
    const size_t count = std::min<size_t>(market_.allOptions.size(), 1100);
    const std::string first = "L" + std::to_string(nextId_);
    nextId_ += static_cast<int>(count);
    return "open-many " + first + " " + std::to_string(count);
  }
  return MakeOpen(rng);
}

std::string LinkWalk::MakeOpen(orvwalk::Rng& rng) {
  static const std::vector<std::string> families = {
      "stock", "stock", "hv", "option", "option", "option", "nstd", "nstd-bid", "future",
      "futoption", "ivindex", "ivsurface", "futivindex", "futivsurface", "atm", "atm", "rate"};
  const std::string family = rng.Pick(families);
  // Most links gather on one stock, so that kinds meet on one underlying.
  const std::string stock = rng.Chance(0.7) ? focus_ : rng.Pick(market_.stocks);
  return MakeLinkOn(rng, family, stock);
}

std::string LinkWalk::MakeLinkOn(orvwalk::Rng& rng, const std::string& family, const std::string& stock) {
  const std::string id = "L" + std::to_string(nextId_++);
  auto open = [&](const std::string& topic, const std::string& item) {
    return Join({"open", id, family, topic, item});
  };
  auto pickOption = [&](const std::vector<Option>& list) -> const Option& { return rng.Pick(list); };
  auto spell = [&](const std::vector<std::string>& spellings) { return rng.Pick(spellings); };
  if (family == "stock") return open(stock, spell({"Price", "StckPrice", "StckBid", "StckAsk", "StckVolume", "price"}));
  if (family == "hv") {
    const auto& terms = market_.hv.at(stock);
    const std::string t = std::to_string(rng.Pick(terms));
    return open(stock, spell({"HV_T" + t, "hv_t" + t, "HV1_T" + t}));
  }
  if (family == "option") {
    const Option& o = pickOption(market_.options.at(stock));
    return open(o.symbol, spell({"Bid", "Ask", "OptnLastPrice", "Delta", "Bid"}));
  }
  if (family == "nstd-bid") {
    std::vector<std::string> known;
    for (const auto& [other, link] : links_)
      if (link.family == "nstd") known.push_back(link.topic);
    if (!known.empty() && rng.Chance(0.8)) return open(rng.Pick(known), spell({"Bid", "Ask", "OptnLastPrice"}));
  }
  if (family == "nstd" || family == "nstd-bid") {
    std::vector<std::string> with;
    for (const auto& [s, list] : market_.nstd) with.push_back(s);
    if (with.empty()) return open(stock, "Price");
    const std::string under = market_.nstd.count(stock) ? stock : rng.Pick(with);
    const Option& o = pickOption(market_.nstd.at(under));
    return open(o.symbol, family == "nstd" ? "RootId" : spell({"Bid", "Ask", "OptnLastPrice"}));
  }
  if (family == "future") {
    const std::string f = rng.Pick(market_.futures);
    return open(zmdde::SymbolToTopic(f), spell({"FutPrice", "FutBid", "FutAsk"}));
  }
  if (family == "futoption") {
    const std::string f = rng.Pick(market_.futures);
    if (!market_.futOptions.count(f)) return open(zmdde::SymbolToTopic(f), "FutPrice");
    const Option& o = pickOption(market_.futOptions.at(f));
    return open(zmdde::SymbolToTopic(o.symbol), spell({"FutOptBid", "FutOptAsk", "FutOptnLastPrice"}));
  }
  if (family == "ivindex" || family == "futivindex") {
    const bool fut = family == "futivindex";
    const std::string symbol = fut ? rng.Pick(market_.roots) : stock;
    const std::string t = std::to_string(rng.Pick((fut ? market_.futIvx : market_.ivx).at(symbol)));
    const std::string key = fut ? "IVFX" : "IVX";
    const std::string side = rng.Chance(0.5) ? "CALL" : "PUT";
    // The term is read after the first "T" behind the first underscore:
    // "IVX_PUT_T30" is term 0 by the names' grammar, so a put leads with its side.
    if (side == "PUT") return open(symbol, side + "_" + key + "_T" + t);
    return open(symbol, spell({key + "_" + side + "_T" + t, side + "_" + key + "_T" + t}));
  }
  if (family == "ivsurface" || family == "futivsurface") {
    const bool fut = family == "futivsurface";
    const std::string symbol = fut ? rng.Pick(market_.roots) : stock;
    const Point p = rng.Pick((fut ? market_.futSurface : market_.surface).at(symbol));
    const std::string key = fut ? "IVFS" : "IVS";
    const std::string side = p.type == 'C' ? "CALL" : "PUT";
    const std::string what = spell({"IV", "DELTA", "VSTRIKE"});
    const std::string t = std::to_string(p.term), o = std::to_string(p.otm);
    if (side == "PUT") return open(symbol, side + "_" + key + "_T" + t + "O" + o + "_" + what);
    return open(symbol, spell({key + "_" + side + "_T" + t + "_O" + o + "_" + what,
                               side + "_" + key + "_T" + t + "O" + o + "_" + what}));
  }
  if (family == "atm") {
    static const char* const months[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                         "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    const Option& o = pickOption(market_.options.at(stock));
    const std::string y = std::to_string(o.year % 100), m = months[o.month - 1];
    return open(stock, spell({"ATM_Y" + y + "_" + m, "IV_ATM_Y" + y + "_" + m}));
  }
  // Interest rates answer requests; their advise is refused.
  return open("InterestRate", "USD_T" + std::to_string(rng.Pick(market_.rates)));
}

// ---- what a link shows -----------------------------------------------------------

Shows LinkWalk::ShowsOf(const std::string& family, const std::string& topic, const std::string& item) const {
  Shows s;
  std::string upper = zmdde::UpperCaseName(item);
  const std::string symbol = Quote(zmdde::TopicToSymbol(zmdde::UpperCaseName(topic)));
  auto field = [&](const char* bid, const char* ask, const char* last) -> std::string {
    if (upper == zmdde::UpperCaseName(bid)) return "bid";
    if (upper == zmdde::UpperCaseName(ask)) return "ask";
    if (last && upper == zmdde::UpperCaseName(last)) return "last";
    return "";
  };
  if (family == "stock") {
    std::string f = upper == "PRICE" || upper == "STCKPRICE" ? "last" : field("StckBid", "StckAsk", nullptr);
    s.carrier = "stock " + symbol + " last";
    if (!f.empty()) s.value = "stock " + symbol + " " + f;
  } else if (family == "hv") {
    s.carrier = "stock " + symbol + " last";
  } else if (family == "option") {
    const std::string f = field("Bid", "Ask", "OptnLastPrice");
    s.carrier = "option " + symbol + " bid";
    if (!f.empty()) s.value = "option " + symbol + " " + f;
  } else if (family == "nstd" || family == "nstd-bid") {
    const std::string f = field("Bid", "Ask", "OptnLastPrice");
    s.carrier = "nstd " + symbol + " bid";
    if (!f.empty()) s.value = "nstd " + symbol + " " + f;
  } else if (family == "future") {
    const std::string f = upper == "FUTPRICE" ? "last" : field("FutBid", "FutAsk", nullptr);
    s.carrier = "future " + symbol + " last";
    if (!f.empty()) s.value = "future " + symbol + " " + f;
  } else if (family == "futoption") {
    const std::string f = field("FutOptBid", "FutOptAsk", "FutOptnLastPrice");
    s.carrier = "futoption " + symbol + " bid";
    if (!f.empty()) s.value = "futoption " + symbol + " " + f;
  } else if (family == "ivindex" || family == "futivindex") {
    LONG type = 0;
    SHORT term = 0;
    const bool fut = family == "futivindex";
    if (fut ? zmdde::ParseIvfxItemName(upper.c_str(), type, term) : zmdde::ParseIvxItemName(upper.c_str(), type, term))
      s.value = std::string(fut ? "futivindex " : "ivindex ") + symbol + " " + std::to_string(term) +
                (type == zmdde::kItemCall ? " call" : " put");
    s.carrier = s.value;
  } else if (family == "ivsurface" || family == "futivsurface") {
    LONG type = 0;
    SHORT term = 0, otm = 0;
    const bool fut = family == "futivsurface";
    const char* rest = fut ? zmdde::ParseIvfsItemName(upper.c_str(), type, term, otm)
                           : zmdde::ParseIvsItemName(upper.c_str(), type, term, otm);
    if (rest) {
      const std::string r = rest;
      const std::string what = r.find("VSTRIKE") != std::string::npos ? "vstrike"
                               : r.find("IV") != std::string::npos     ? "iv"
                                                                        : "delta";
      s.value = std::string(fut ? "futivsurface " : "ivsurface ") + symbol + " " + std::to_string(term) + " " +
                std::to_string(otm) + (type == zmdde::kItemCall ? " C " : " P ") + what;
    }
    s.carrier = s.value;
  } else if (family == "atm") {
    s.carrier = "stock " + symbol + " last";
  }
  return s;
}

// ---- carrying steps out ------------------------------------------------------------

std::string LinkWalk::Apply(const std::string& step) {
  const std::vector<std::string> w = Split(step);
  if (w.empty()) return "";
  const std::string& verb = w[0];
  ULONGLONG bound = kStepBoundMs;
  if (verb == "open" && w.size() == 5) {
    const std::string refused = Open(w[1], w[2], w[3], w[4]);
    if (!refused.empty()) return refused;
  } else if (verb == "open-many" && w.size() == 3) {
    const int first = std::atoi(w[1].c_str() + 1);
    const size_t count = std::min<size_t>(static_cast<size_t>(std::atoi(w[2].c_str())), market_.allOptions.size());
    for (size_t i = 0; i < count; ++i) {
      const std::string refused = Open("L" + std::to_string(first + static_cast<int>(i)), "option",
                                       market_.allOptions[i], "Bid");
      if (!refused.empty()) return refused;
    }
    nextId_ = std::max(nextId_, first + static_cast<int>(count));
  } else if (verb == "close" && w.size() == 2) {
    Close(w[1]);
  } else if (verb == "request" && w.size() == 3) {
    const std::string wrong = Request(w[1], w[2]);
    if (!wrong.empty()) return wrong;
  } else if (verb == "refresh") {
    RefreshPass();
  } else if (verb == "disconnect") {
    if (!connected_) return "";
    PostCommand(zmdde::ID_APP_DISCONNECT);
    connected_ = false;
  } else if (verb == "connect") {
    if (connected_) return "";
    const std::string failed = Connect();
    if (!failed.empty()) return failed;
    bound = kRecoveryBoundMs;
  } else if (verb == "kill-orve") {
    const std::string failed = KillOrve();
    if (!failed.empty()) return failed;
    bound = kRecoveryBoundMs;
  } else if (verb == "restart-service") {
    const std::string failed = RestartService();
    if (!failed.empty()) return failed;
    bound = kRecoveryBoundMs;
  } else if (verb == "stall-service" && w.size() == 2) {
    const std::string failed = StallService(std::atoi(w[1].c_str()));
    if (!failed.empty()) return failed;
    bound = kRecoveryBoundMs;
  } else if (verb == "limit") {
    Limit(true);
  } else if (verb == "unlimit") {
    Limit(false);
  }
  // Under the limit a session subscribed anew (a rebuild, a new ORVE, a new
  // sign-in) fills the limit with whichever keys it asks for first: no link
  // is sure to be served until the limit goes.
  if (bound == kRecoveryBoundMs && limited_) servedBeforeLimit_.clear();
  // The walk's own count of ids follows replayed steps too.
  if (w.size() > 1 && w[1].size() > 1 && w[1][0] == 'L') nextId_ = std::max(nextId_, std::atoi(w[1].c_str() + 1) + 1);
  return Check(bound);
}

std::string LinkWalk::Open(const std::string& id, const std::string& family, const std::string& topic,
                           const std::string& item) {
  if (links_.count(id)) return "";
  // A second cell on a topic's item shares the first one's DDE link.
  const bool shared = std::any_of(links_.begin(), links_.end(), [&](const auto& other) {
    return other.second.topic == topic && zmdde::UpperCaseName(other.second.item) == zmdde::UpperCaseName(item);
  });
  bool unserved = family == "nstd-bid" && !std::any_of(links_.begin(), links_.end(), [&](const auto& other) {
    return other.second.family == "nstd" && other.second.topic == topic;
  });
  if (shared) {
    for (const auto& other : links_)
      if (other.second.topic == topic && zmdde::UpperCaseName(other.second.item) == zmdde::UpperCaseName(item))
        unserved = other.second.unserved;
    links_[id] = Link{id, family, topic, item, ShowsOf(family, topic, item), unserved};
    return "";
  }
  const bool started = client_->StartLink(topic, item);
  if (family == "rate") {
    // Refused, and the request then answers the rate.
    if (started) return "refused: the advise on " + topic + " " + item + " was accepted";
    const std::optional<std::string> rate = client_->Request(topic, item);
    if (connected_ && !limited_ && !rate) return "request: no interest rate for " + item;
    return "";
  }
  if (!started) return "refused: the advise on " + topic + " " + item + " was refused";
  links_[id] = Link{id, family, topic, item, ShowsOf(family, topic, item), unserved};
  return "";
}

void LinkWalk::Close(const std::string& id) {
  auto it = links_.find(id);
  if (it == links_.end()) return;
  const Link link = it->second;
  links_.erase(it);
  servedBeforeLimit_.erase(id);
  const bool sameItemOpen = std::any_of(links_.begin(), links_.end(), [&](const auto& other) {
    return other.second.topic == link.topic && zmdde::UpperCaseName(other.second.item) == zmdde::UpperCaseName(link.item);
  });
  if (sameItemOpen) return;
  client_->StopLink(link.topic, link.item);
  client_->Forget(link.topic, link.item);
  const bool topicOpen = std::any_of(links_.begin(), links_.end(), [&](const auto& other) {
    return other.second.topic == link.topic;
  });
  if (!topicOpen) client_->Disconnect(link.topic);
}

std::string LinkWalk::Request(const std::string& topic, const std::string& item) {
  const std::optional<std::string> answer = client_->Request(topic, item);
  // What a request answers for a linked item is what the link shows.
  for (const auto& [id, link] : links_) {
    if (link.topic != topic || zmdde::UpperCaseName(link.item) != zmdde::UpperCaseName(item)) continue;
    const LinkClient::Received r = client_->Of(topic, item);
    if (r.count == 0 || !connected_) return "";
    if (!answer) return "request: " + topic + " " + item + " answered nothing while its link shows " + r.last;
    if (*answer != r.last && !link.shows.value.empty() && latest_.count(link.shows.value) &&
        *answer != Shown(latest_[link.shows.value], link.shows.scale))
      return "request: " + topic + " " + item + " answered " + *answer + ", its link shows " + r.last;
    return "";
  }
  return "";
}

void LinkWalk::PostCommand(UINT id) {
  HWND hwnd = zmdde::ZmDDEMainWindow();
  if (hwnd) PostMessageA(hwnd, WM_COMMAND, id, 0);
}

std::string LinkWalk::Connect() {
  PostCommand(zmdde::ID_APP_CONNECT);
  // The login dialog asks on the terminal, the last values in brackets.
  if (!terminal_->WaitFor("User name:", 30000)) return "connect: the login dialog never asked";
  terminal_->Type(std::string(kUser) + "\n");
  if (!terminal_->WaitFor("Password:", 30000)) return "connect: the login dialog asked no password";
  terminal_->Type(std::string(kPassword) + "\n");
  connected_ = true;
  if (!WaitUntil([] { return zmdde::CDDEServer::Instance() && zmdde::CDDEServer::Instance()->IsConnected(); }, 120s))
    return "connect: the bridge did not sign in again";
  return "";
}

std::string LinkWalk::KillOrve() {
  const std::vector<pid_t> pids = orveprocess::OrvePids(runtime_);
  for (pid_t pid : pids) ::kill(pid, SIGKILL);
  WaitUntil([&] { return orveprocess::OrvePids(runtime_).empty() || orveprocess::OrvePids(runtime_) != pids; }, 10s);
  return "";
}

std::string LinkWalk::RestartService() {
  ::kill(sim_->Pid(), SIGKILL);
  sim_->Stop();
  sim_.reset();
  control_ = OrvSim::Control::_nil();
  // The new service knows nothing of the values published before.
  latest_.clear();
  try {
    sim_ = std::make_unique<orvsim::OrvSimProcess>(root_, simArgs_);
  } catch (const std::exception& e) {
    return std::string("service: orvsim did not start again: ") + e.what();
  }
  // The control object is reached over a connection of its own, which
  // went with the old service: the first calls may still meet its end.
  const bool reached = WaitUntil(
      [&] {
        try {
          Control()->GetStats();
          return true;
        } catch (const CORBA::Exception&) {
          control_ = OrvSim::Control::_nil();
          return false;
        }
      },
      20s);
  if (!reached) return "service: orvsim's control object cannot be reached after its restart";
  limited_ = false;
  servedBeforeLimit_.clear();
  return "";
}

std::string LinkWalk::StallService(int ms) {
  ::kill(sim_->Pid(), SIGSTOP);
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  ::kill(sim_->Pid(), SIGCONT);
  return "";
}

void LinkWalk::Limit(bool on) {
  if (on == limited_) return;
  limited_ = on;
  if (!on) {
    Control()->SetSubscriptionLimit(0);
    servedBeforeLimit_.clear();
    return;
  }
  // Nothing new from now on: the limit is what the fullest manager holds.
  OrvSim::Subscriptions_var all = Control()->ReadSubscriptions();
  CORBA::ULong most = 1;
  for (CORBA::ULong i = 0; i < all->length(); ++i)
    if (Live(all[i])) most = std::max(most, all[i].keys.length());
  Control()->SetSubscriptionLimit(most);
  servedBeforeLimit_.clear();
  // Signed out, the bridge's links hold nothing at the service.
  if (!connected_) return;
  for (const auto& [id, link] : links_) servedBeforeLimit_.insert(id);
}

// ---- checks -------------------------------------------------------------------

void LinkWalk::Publish() {
  std::set<std::string> names;
  for (const auto& [id, link] : links_) names.insert(link.shows.carrier);
  for (const auto& [id, link] : links_)
    if (!link.shows.value.empty()) names.insert(link.shows.value);
  names.erase("");
  for (const std::string& name : names) {
    double value = nextValue_;
    nextValue_ += 0.25;
    // A stock's price stays among its strikes, where its ATM volatility is
    // defined; the steps make each value differ from the last few.
    const std::vector<std::string> w = Split(name);
    if (w.size() == 3 && w[0] == "stock" && w[2] == "last" && market_.lastOf.count(w[1])) {
      const long k = ++stockPublications_;
      value = std::round(market_.lastOf[w[1]] * 100) / 100 + static_cast<double>(k % 129 - 64) * 0.0625;
    }
    try {
      Control()->PublishValue(name.c_str(), value);
      latest_[name] = value;
    } catch (const CORBA::Exception& e) {
      throw std::runtime_error("orvsim cannot publish " + name + ": " + e._name());
    }
  }
  countAtPublish_.clear();
  for (const auto& [id, link] : links_) countAtPublish_[id] = client_->Of(link.topic, link.item).count;
}

// The bridge's worker has carried out every request queued so far.
void LinkWalk::Settle() {
  zmdde::CDDEServer* server = zmdde::CDDEServer::Instance();
  if (!server) return;
  zmdde::SubscriptionQueue& queue = server->Subscriptions();
  zmdde::SubscriptionRequest marker;
  marker.symbol = "#";
  marker.kind = enStockData_Direct;  // dropped by the worker
  queue.Enqueue(marker);
  WaitUntil([&] { return queue.Queued().empty() && !server->IsOverLimitThreadRunning(); }, 300s);
}

// Five seconds of the bridge's time: its posting pass, and whatever other
// timer falls due. Two requests after it make sure the pass has run: the
// first may overtake the timer, the second cannot.
void LinkWalk::PostingPass() {
  clock_.Advance(kPassMs);
  for (int i = 0; i < 2; ++i) client_->Request("System", "Login");
  client_->Pump(30ms);
}

void LinkWalk::RefreshPass() {
  HWND hwnd = zmdde::ZmDDEMainWindow();
  if (hwnd) PostMessageA(hwnd, WM_TIMER, zmdde::kRefreshTimer, 0);
  client_->Request("System", "Login");
}

// What the bridge's store holds for an option link's topic, for a failure
// message: where the value stopped on its way to the cell.
std::string LinkWalk::StoreOf(const Link& link) {
  if (link.family != "option") return "";
  zmdde::OptionGroup<zmdde::OptionEntry>& group = zmdde::g_DataHolder.option;
  zmdde::StoreGuard lock(group.lock);
  auto it = group.bySymbol.find(_bstr_t(zmdde::UpperCaseName(link.topic).c_str()));
  if (it == group.bySymbol.end()) return " (the store has no entry for it)";
  const zmdde::OptionEntry& e = *it->second;
  std::ostringstream out;
  out << " (the store holds bid " << e.bidPrice << " ask " << e.askPrice << ", underlying '"
      << orvcom::Narrow(e.stockSymbol) << "', group " << int(e.group) << " individual " << int(e.individual)
      << " single " << int(e.single) << " links " << e.links << " snapshot " << int(e.snapshot) << " changed "
      << int(e.changed) << ")";
  return out.str();
}

std::string LinkWalk::LinksFailing() {
  for (const auto& [id, link] : links_) {
    if (link.unserved || (limited_ && !servedBeforeLimit_.count(id))) continue;
    const LinkClient::Received r = client_->Of(link.topic, link.item);
    const std::string name = id + " (" + link.family + " " + link.topic + " " + link.item + ")";
    if (r.count <= countAtPublish_[id])
      return "missing: " + name + " got no value after the step" + (r.count ? ", still shows " + r.last : "") +
             StoreOf(link);
    if (!link.shows.value.empty() && latest_.count(link.shows.value)) {
      const std::string expected = Shown(latest_[link.shows.value], link.shows.scale);
      if (r.last != expected)
        return "stale: " + name + " shows " + r.last + " where " + link.shows.value + " is " + expected +
               StoreOf(link);
    }
  }
  return "";
}

std::set<std::pair<int, std::string>> LinkWalk::HeldKeys() {
  std::set<std::pair<int, std::string>> held;
  OrvSim::Subscriptions_var all = Control()->ReadSubscriptions();
  for (CORBA::ULong i = 0; i < all->length(); ++i) {
    const OrvSim::ManagerKeys& m = all[i];
    if (!Live(m)) continue;
    for (CORBA::ULong k = 0; k < m.keys.length(); ++k) {
      std::vector<std::string> w = Split(m.keys[k].in());
      // "type symbol symbol_type", or "type *" for a whole type; futures
      // option symbols hold a blank.
      if (w.size() < 2) continue;
      std::string symbol = w.size() == 2 ? w[1] : "";
      for (size_t j = 1; j + 1 < w.size(); ++j) symbol += (symbol.empty() ? "" : " ") + w[j];
      held.insert({std::atoi(w[0].c_str()), symbol});
    }
  }
  return held;
}

std::string LinkWalk::SubscriptionsFailing() {
  if (!connected_) return "";
  const std::set<std::pair<int, std::string>> held = HeldKeys();
  // Which keys each open link justifies, and which it needs: an option is
  // served by its underlying's chain or by itself alone.
  std::set<std::pair<int, std::string>> justified;
  std::vector<std::pair<std::string, std::vector<std::set<std::pair<int, std::string>>>>> needs;
  auto keys = [](std::initializer_list<int> types, const std::string& symbol) {
    std::set<std::pair<int, std::string>> out;
    for (int t : types) out.insert({t, symbol});
    return out;
  };
  for (const auto& [id, link] : links_) {
    const std::string symbol = zmdde::TopicToSymbol(zmdde::UpperCaseName(link.topic));
    std::vector<std::set<std::pair<int, std::string>>> ways;
    if (link.family == "stock" || link.family == "hv") {
      ways.push_back(keys({1, 3}, symbol));
    } else if (link.family == "atm") {
      auto both = keys({1, 3}, symbol);
      for (const auto& k : keys({2, 4, 5}, symbol)) both.insert(k);
      ways.push_back(both);
    } else if (link.family == "option") {
      auto it = market_.optionBySymbol.find(symbol);
      if (it == market_.optionBySymbol.end()) continue;
      ways.push_back(keys({2, 4, 5}, it->second.underlying));
      ways.push_back(keys({2, 4, 5}, symbol));
    } else if (link.family == "nstd" || link.family == "nstd-bid") {
      auto it = market_.nstdBySymbol.find(symbol);
      if (it == market_.nstdBySymbol.end()) continue;
      ways.push_back(keys({23, 24, 25}, it->second.underlying));
      ways.push_back(keys({23, 24, 25}, symbol));
    } else if (link.family == "future") {
      ways.push_back(keys({14}, symbol));
    } else if (link.family == "futoption") {
      auto it = market_.futOptionBySymbol.find(symbol);
      if (it == market_.futOptionBySymbol.end()) continue;
      ways.push_back(keys({16}, it->second.underlying));
      ways.push_back(keys({16}, symbol));
    } else if (link.family == "ivindex") {
      ways.push_back(keys({6}, symbol));
    } else if (link.family == "ivsurface") {
      ways.push_back(keys({7}, symbol));
    } else if (link.family == "futivindex") {
      ways.push_back(keys({20}, symbol));
    } else if (link.family == "futivsurface") {
      ways.push_back(keys({21}, symbol));
    }
    for (const auto& way : ways) justified.insert(way.begin(), way.end());
    // Bases that a kind unsubscribes with its quotes may stay unsubscribed.
    if (link.family == "future") justified.insert({13, symbol});
    if (link.family == "futoption") {
      auto it = market_.futOptionBySymbol.find(symbol);
      if (it != market_.futOptionBySymbol.end()) justified.insert({15, it->second.underlying});
      justified.insert({15, symbol});
    }
    // A link the bridge need not serve needs nothing, but may keep what
    // serves it: an option-named item of a non-standard option is served
    // from its chain's entry once another link had the chain read.
    if (!link.unserved && !(limited_ && !servedBeforeLimit_.count(id)))
      needs.push_back({id + " (" + link.family + " " + link.topic + ")", ways});
  }
  for (const auto& key : held)
    if (!justified.count(key))
      return "leftover: orvsim holds type " + std::to_string(key.first) + " of " + key.second + " for no open link";
  for (const auto& [name, ways] : needs) {
    const bool served = std::any_of(ways.begin(), ways.end(), [&](const auto& way) {
      return std::all_of(way.begin(), way.end(), [&](const auto& k) { return held.count(k) != 0; });
    });
    if (!served) {
      std::string wanted;
      for (const auto& k : *ways.begin()) wanted += " " + std::to_string(k.first) + "/" + k.second;
      return "unsubscribed: orvsim holds nothing for " + name + ", which needs" + wanted;
    }
  }
  return "";
}

std::string LinkWalk::Check(ULONGLONG boundMs) {
  // While disconnected the links keep their last values; nothing is live.
  if (!connected_) return "";
  Settle();
  Publish();
  const ULONGLONG start = clock_.NowMs();
  std::string failing;
  // Values the cells have received in all: while it still grows, ORVE is
  // still delivering a burst (a thousand option values take it seconds on
  // a loaded machine), and a pass more is given, up to a bound, so that a
  // slow delivery is not taken for a frozen link. A frozen link receives
  // nothing and meets the design's time as before.
  auto received = [&] {
    size_t total = 0;
    for (const auto& [id, link] : links_) total += client_->Of(link.topic, link.item).count;
    return total;
  };
  size_t before = received();
  int extraPasses = 0;
  // Pass by pass until everything holds or the design's time has run out;
  // each pass gives the real processes the time they need to deliver.
  for (;;) {
    Settle();
    std::this_thread::sleep_for(kRealPace);
    PostingPass();
    failing = LinksFailing();
    if (failing.empty()) failing = SubscriptionsFailing();
    if (failing.empty()) return "";
    const size_t now = received();
    const bool flowing = now > before;
    before = now;
    if (clock_.NowMs() - start < boundMs) continue;
    if (!flowing || ++extraPasses > kMaxExtraPasses) break;
  }
  // What the service holds says where a link's values stopped.
  const std::string held = SubscriptionsFailing();
  if (!held.empty() && held != failing) failing += "; and " + held;
  return failing + " (after " + std::to_string((clock_.NowMs() - start) / 1000) + " s of the bridge's time)";
}

std::string LinkWalk::Quiesce() {
  if (!connected_) {
    const std::string failed = Connect();
    if (!failed.empty()) return failed;
  }
  if (limited_) Limit(false);
  // Left alone over two refresh passes, everything still holds.
  for (int i = 0; i < 11; ++i) {
    Settle();
    PostingPass();
  }
  return Check(kRecoveryBoundMs);
}

}  // namespace

int main(int argc, char** argv) {
  return orvwalk::WalkMain(argc, argv, [] { return std::make_unique<LinkWalk>(); });
}
