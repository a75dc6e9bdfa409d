// The multi-client checker of ORVE: a seeded random walk over the real
// orvsim and ORVE with several automation clients, each a process of its
// own, signed in as several users, checked after every step.
//
// The clients are this program started again with "--client": each reads
// one command a line on its stdin, makes the call on its own object and
// answers one line (the HRESULT and the call's time), so that the walk can
// have calls of several users in flight at once. Its sink keeps the latest
// value each key received by an event.
//
// After every step the walk publishes a new value (through orvsim's control
// object, so the exact value is known) for every key a live client took
// since the last publication and for a few others, and waits until every
// live client's sink shows the latest value of every key it holds; then
// orvsim must hold exactly the union of the keys the live clients hold. A
// stall of the service times the calls of the users that make no remote
// call while one user's call meets the stall. At the end everything is
// released and ORVE's threads and descriptors must come back to where they
// were before the walk.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BraskOrvEnt.h"
#include "OrvSimControl.hh"
#include "OrvSimProcess.h"
#include "platform/com/atlbase.h"
#include "platform/com/com.h"
#include "platform/com/comdef.h"
#include "platform/win/process.h"
#include "tests/server/EventSinkBase.h"
#include "tests/server/OrveProcessSupport.h"
#include "tests/walk/WalkRunner.h"

extern char** environ;

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// ORVE's calls to the service time out after this; a stall is longer.
const int kServerTimeoutMs = 1500;
// A client whose handler does not answer within this is dropped as dead; a
// stalled sink stays below it.
const int kEventTimeoutMs = 6000;
// A call of one user may wait this long past one ServerTimeout while
// another user's call meets a stalled service (scheduling on a busy machine).
const int kWaitSlackMs = 700;

#ifdef ORV_WALK_SANITIZED
const int kPace = 3;
#else
const int kPace = 1;
#endif
// How long the live clients may take to show the latest values after a
// step: a few pull cycles; after the service came back, ORVE's rebuild and
// its pauses first.
const auto kStepBound = std::chrono::seconds(20 * kPace);
const auto kRecoveryBound = std::chrono::seconds(120 * kPace);

// The values the walk publishes start here and grow by a quarter, exact
// in single precision, as clients receive them.
const float kWalkValues = 100000.0f;

const std::vector<std::pair<std::string, std::string>> kUsers = {{"u1", "p1"}, {"u2", "p2"}, {"u3", "p3"}};
const int kClients = 5;

// ---- words ----------------------------------------------------------------------

std::vector<std::string> Split(const std::string& text, char by = ' ') {
  std::vector<std::string> words;
  std::stringstream in(text);
  for (std::string w; std::getline(in, w, by);)
    if (!w.empty()) words.push_back(w);
  return words;
}

std::string Hex(long value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(value) & 0xffffffffUL);
  return text;
}

std::string Num(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.4f", value);
  return text;
}

// ---- kinds ------------------------------------------------------------------------

// The kinds the walk takes: stocks and options, through the cache and
// direct. A stock shows its last price, an option its bid.
struct Kind {
  int kind;
  bool stock;
  // The sink's method for the kind's events; 0 for direct options, whose
  // quotes change rows and send no event: their clients read the rows.
  DISPID event;
  std::vector<int> types;  // what orvsim holds for a key of the kind
  std::vector<int> also;   // what it may hold beside them (a base a direct kind registers)
};

const std::vector<Kind> kKinds = {
    {enStockData, true, 1, {1, 3}, {}},
    {enOptionData, false, 2, {2, 4, 5}, {}},
    {enStockData_Direct, true, 7, {10}, {1}},
    {enOptionData_Direct, false, 0, {11}, {2, 5}},
};

const Kind* KindOf(int kind) {
  for (const Kind& k : kKinds)
    if (k.kind == kind) return &k;
  return nullptr;
}

// ---- the client process ------------------------------------------------------

// Kinds the walk uses: 0 stocks (their last price), 1 options (their bid).
class ValueSink final : public orvtest::EventSinkBase {
 public:
  STDMETHOD(Invoke)(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    if (params == nullptr || params->cArgs != 1 || params->rgvarg[0].vt != VT_DISPATCH) return S_OK;
    std::vector<std::pair<std::string, float>> rows;
    int kind = -1;
    for (const Kind& k : kKinds)
      if (k.event == id && id != 0) kind = k.kind;
    const Kind* known = KindOf(kind);
    if (known && known->stock) {
      CComQIPtr<IStocksEnt> cursor(params->rgvarg[0].pdispVal);
      VARIANT_BOOL more = cursor ? VARIANT_TRUE : VARIANT_FALSE;
      while (more == VARIANT_TRUE) {
        BSTR s = nullptr;
        float value = 0;
        if (SUCCEEDED(cursor->get_Symbol(&s)) && SUCCEEDED(cursor->get_LastPrice(&value)) && s &&
            SysStringLen(s) != 0)
          rows.emplace_back(orveprocess::Text(s), value);
        SysFreeString(s);
        if (FAILED(cursor->Next(&more))) break;
      }
    } else if (known) {
      CComQIPtr<IOptionsEnt> cursor(params->rgvarg[0].pdispVal);
      VARIANT_BOOL more = cursor ? VARIANT_TRUE : VARIANT_FALSE;
      while (more == VARIANT_TRUE) {
        BSTR s = nullptr;
        float value = 0;
        if (SUCCEEDED(cursor->get_Symbol(&s)) && SUCCEEDED(cursor->get_BidPrice(&value)) && s &&
            SysStringLen(s) != 0)
          rows.emplace_back(orveprocess::Text(s), value);
        SysFreeString(s);
        if (FAILED(cursor->Next(&more))) break;
      }
    }
    std::unique_lock<std::mutex> lock(mutex_);
    for (const auto& [symbol, value] : rows) {
      Seen& seen = seen_[{kind, symbol}];
      ++seen.count;
      // The walk's values (from kWalkValues on, far above the market's
      // own) only grow between two marks: a smaller one after a larger is
      // an older value delivered late.
      if (value >= kWalkValues) {
        if (value < seen.most && seen.count > seen.markedAt) ++seen.inversions;
        seen.most = std::max(seen.most, value);
      }
      seen.last = value;
    }
    // A stalled sink answers late, but within the event time-out.
    const auto until = stallUntil_;
    lock.unlock();
    if (Clock::now() < until) std::this_thread::sleep_until(until);
    return S_OK;
  }

  void Stall(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    stallUntil_ = Clock::now() + std::chrono::milliseconds(ms);
  }
  // Values from before this point (another market after a restart of the
  // service) do not count in the order.
  void Mark() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : seen_) {
      entry.second.markedAt = entry.second.count;
      entry.second.most = -1e30f;
    }
  }
  std::string Dump() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const auto& [key, seen] : seen_)
      out += "v " + std::to_string(key.first) + " " + key.second + " " + Num(seen.last) + " " +
             std::to_string(seen.count) + " " + std::to_string(seen.inversions) + "\n";
    return out;
  }

 private:
  struct Seen {
    float last = 0;
    float most = -1e30f;
    long count = 0;
    long markedAt = 0;
    long inversions = 0;
  };
  std::mutex mutex_;
  std::map<std::pair<int, std::string>, Seen> seen_;
  Clock::time_point stallUntil_{};
};

_variant_t SymbolArray(const std::vector<std::string>& symbols) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(symbols.size()));
  for (size_t k = 0; k < symbols.size(); ++k) {
    LONG i = static_cast<LONG>(k);
    _bstr_t s(symbols[k].c_str());
    SafeArrayPutElement(array, &i, static_cast<BSTR>(s));
  }
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ARRAY | VT_BSTR;
  v.parray = array;
  return _variant_t(v, false);
}

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The client's commands, one a line; each answers "ok HR MS [more]":
//   create | connect USER PASSWORD | sub|unsub KIND SYMBOL
//   subg|unsubg KIND SYMBOL,SYMBOL,... | query KIND SYMBOL
//   probe MS (IsSymbolSubscribed again and again; more: calls and the
//   longest in ms) | stall MS | mark | values (lines "v ...", then "end")
//   | release (and the process ends).
int RunClient() {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  CComPtr<IZmOrvEnt> object;
  CComPtr<IConnectionPoint> point;
  DWORD cookie = 0;
  // On the heap: a late event call must find it alive.
  ValueSink* sink = new ValueSink;
  auto answer = [](HRESULT hr, Clock::time_point start, const std::string& more = "") {
    std::cout << "ok " << Hex(hr) << " " << MsSince(start) << (more.empty() ? "" : " " + more) << std::endl;
  };
  for (std::string line; std::getline(std::cin, line);) {
    const std::vector<std::string> w = Split(line);
    if (w.empty()) continue;
    const std::string& verb = w[0];
    const auto start = Clock::now();
    if (verb == "create") {
      HRESULT hr = CoCreateInstance(CLSID_ZmOrvEnt, nullptr, CLSCTX_LOCAL_SERVER, IID_IZmOrvEnt,
                                    reinterpret_cast<void**>(&object));
      if (SUCCEEDED(hr)) {
        CComQIPtr<IConnectionPointContainer> container(object);
        hr = container ? container->FindConnectionPoint(DIID__IZmOrvEventsEnt, &point) : E_NOINTERFACE;
        if (SUCCEEDED(hr)) hr = point->Advise(sink, &cookie);
      }
      answer(hr, start);
    } else if (!object && verb != "values" && verb != "stall" && verb != "mark") {
      answer(E_POINTER, start);
    } else if (verb == "connect" && w.size() == 3) {
      answer(object->Connect(_bstr_t(w[1].c_str()), _bstr_t(w[2].c_str())), start);
    } else if ((verb == "sub" || verb == "unsub") && w.size() == 3) {
      const int kind = std::atoi(w[1].c_str());
      const SymbolTypeEnum type = KindOf(kind) && KindOf(kind)->stock ? enEquity : enOption;
      const DataTypeEnum data = static_cast<DataTypeEnum>(kind);
      const _bstr_t symbol(w[2].c_str());
      answer(verb == "sub" ? object->Subscribe(symbol, type, data) : object->UnSubscribe(symbol, type, data), start);
    } else if ((verb == "subg" || verb == "unsubg") && w.size() == 3) {
      const int kind = std::atoi(w[1].c_str());
      const SymbolTypeEnum type = KindOf(kind) && KindOf(kind)->stock ? enEquity : enOption;
      const DataTypeEnum data = static_cast<DataTypeEnum>(kind);
      const _variant_t symbols = SymbolArray(Split(w[2], ','));
      answer(verb == "subg" ? object->SubscribeGroup(symbols, type, data) : object->UnSubscribeGroup(symbols, type, data),
             start);
    } else if (verb == "query" && w.size() == 3) {
      HRESULT hr = S_OK;
      float value = 0;
      bool found = false;
      const _bstr_t symbol(w[2].c_str());
      const int kind = std::atoi(w[1].c_str());
      const bool direct = kind == enStockData_Direct || kind == enOptionData_Direct;
      if (KindOf(kind) && KindOf(kind)->stock) {
        CComPtr<IStocksEnt> cursor;
        hr = direct ? object->GetStockBySymbol_Direct(symbol, &cursor) : object->GetStockBySymbol(symbol, &cursor);
        BSTR s = nullptr;
        if (SUCCEEDED(hr) && cursor && SUCCEEDED(cursor->get_Symbol(&s)) && s && SysStringLen(s) != 0)
          found = SUCCEEDED(cursor->get_LastPrice(&value));
        SysFreeString(s);
      } else {
        CComPtr<IOptionsEnt> cursor;
        hr = direct ? object->GetOptionBySymbol_Direct(symbol, &cursor) : object->GetOptionBySymbol(symbol, &cursor);
        BSTR s = nullptr;
        if (SUCCEEDED(hr) && cursor && SUCCEEDED(cursor->get_Symbol(&s)) && s && SysStringLen(s) != 0)
          found = SUCCEEDED(cursor->get_BidPrice(&value));
        SysFreeString(s);
      }
      answer(hr, start, found ? Num(value) : "none");
    } else if (verb == "probe" && w.size() == 2) {
      const auto until = start + std::chrono::milliseconds(std::atoi(w[1].c_str()));
      long calls = 0;
      long long longest = 0;
      HRESULT worst = S_OK;
      const _bstr_t symbol("PROBE");
      while (Clock::now() < until) {
        const auto at = Clock::now();
        VARIANT_BOOL subscribed = VARIANT_FALSE;
        const HRESULT hr = object->IsSymbolSubscribed(symbol, enEquity, enStockData, &subscribed);
        if (FAILED(hr)) worst = hr;
        longest = std::max(longest, MsSince(at));
        ++calls;
        std::this_thread::sleep_for(20ms);
      }
      answer(worst, start, std::to_string(calls) + " " + std::to_string(longest));
    } else if (verb == "stall" && w.size() == 2) {
      sink->Stall(std::atoi(w[1].c_str()));
      answer(S_OK, start);
    } else if (verb == "mark") {
      sink->Mark();
      answer(S_OK, start);
    } else if (verb == "values") {
      std::cout << sink->Dump() << "end" << std::endl;
    } else if (verb == "release") {
      if (point) point->Unadvise(cookie);
      point.Release();
      object.Release();
      answer(S_OK, start);
      break;
    } else {
      answer(E_INVALIDARG, start);
    }
  }
  if (point) point->Unadvise(cookie);
  point.Release();
  object.Release();
  // The sink is left to the exit: an event call on its way may still come.
  CoUninitialize();
  std::cout.flush();
  std::_Exit(0);
}

struct Process {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
  std::string pending;

  bool Send(const std::string& line) {
    const std::string text = line + "\n";
    return in >= 0 && ::write(in, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  // One line within the limit; nothing when the time ran out or the
  // process ended.
  std::optional<std::string> Line(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (true) {
      const size_t nl = pending.find('\n');
      if (nl != std::string::npos) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0 || out < 0) return std::nullopt;
      pollfd p = {out, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buffer[65536];
      const ssize_t n = ::read(out, buffer, sizeof buffer);
      if (n <= 0) return std::nullopt;
      pending.append(buffer, static_cast<size_t>(n));
    }
  }
  void Kill() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    Reap();
  }
  void Reap() {
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    pid = -1;
    if (in >= 0) ::close(in);
    if (out >= 0) ::close(out);
    in = out = -1;
    pending.clear();
  }
};

Process StartClient() {
  Process p;
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return p;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return p;
  }
  char program[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", program, sizeof program - 1);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> args = {program, "--client"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  if (n <= 0 || ::posix_spawn(&p.pid, program, &actions, nullptr, argv.data(), environ) != 0) p.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  p.in = in[1];
  p.out = out[0];
  return p;
}

// ---- processes and /proc --------------------------------------------------------

using orvwalk::FreePort;

template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds limit) {
  const auto until = Clock::now() + limit;
  while (!pred()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

struct Usage {
  long threads = -1;
  long fds = -1;
  long rssKb = -1;
  std::map<std::string, int> threadNames;
  std::map<std::string, int> fdTargets;
};

// "name x count, ..." of what `now` has more of than `then`.
std::string More(const std::map<std::string, int>& now, const std::map<std::string, int>& then) {
  std::string out;
  for (const auto& [name, n] : now) {
    const auto it = then.find(name);
    const int before = it == then.end() ? 0 : it->second;
    if (n > before) out += (out.empty() ? "" : ", ") + name + " x" + std::to_string(n - before);
  }
  return out.empty() ? "none" : out;
}

// What a socket of a process is, by its inode: "tcp to PORT" (the remote
// port), "tcp listening" or "unix PATH".
std::map<std::string, std::string> SocketsOf(const std::string& base) {
  std::map<std::string, std::string> out;
  for (const char* table : {"/net/tcp", "/net/tcp6"}) {
    std::istringstream in(orveprocess::ReadFile(base + table));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      const std::vector<std::string> w = Split(line);
      if (w.size() < 10) continue;
      const std::string remote = w[2].substr(w[2].find(':') + 1);
      const long port = std::strtol(remote.c_str(), nullptr, 16);
      out[w[9]] = w[3] == "0A" ? "tcp listening" : "tcp to " + std::to_string(port);
    }
  }
  std::istringstream in(orveprocess::ReadFile(base + "/net/unix"));
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    const std::vector<std::string> w = Split(line);
    if (w.size() >= 7) out[w[6]] = "unix " + (w.size() >= 8 ? w[7].substr(w[7].rfind('/') + 1) : std::string("(unnamed)"));
  }
  return out;
}

Usage UsageOf(pid_t pid) {
  Usage u;
  const std::string base = "/proc/" + std::to_string(pid);
  const std::map<std::string, std::string> sockets = SocketsOf(base);
  std::istringstream status(orveprocess::ReadFile(base + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) u.threads = std::atol(line.c_str() + 8);
    if (line.rfind("VmRSS:", 0) == 0) u.rssKb = std::atol(line.c_str() + 6);
  }
  std::error_code ec;
  long fds = 0;
  for (auto it = std::filesystem::directory_iterator(base + "/fd", ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    ++fds;
    std::error_code linkError;
    std::string target = std::filesystem::read_symlink(it->path(), linkError).string();
    // "socket:[123]" and the like: the kind is what counts.
    const size_t bracket = target.find(":[");
    if (target.rfind("socket:[", 0) == 0) {
      const auto it = sockets.find(target.substr(8, target.size() - 9));
      target = it == sockets.end() ? "socket" : it->second;
    } else if (bracket != std::string::npos) {
      target.erase(bracket);
    }
    ++u.fdTargets[target];
  }
  if (!ec) u.fds = fds;
  for (auto it = std::filesystem::directory_iterator(base + "/task", ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    std::string name = orveprocess::ReadFile(it->path().string() + "/comm");
    while (!name.empty() && name.back() == '\n') name.pop_back();
    ++u.threadNames[name];
  }
  return u;
}

// The call threads of ORVE's object transport: its pool grows to the most
// calls that were in at once and keeps them, idle, for the next calls (a
// high-water mark, not a leak). Told apart by their stacks; -1 when gdb
// cannot read them.
long CallThreads(pid_t pid, const std::string& path) {
  const std::string command = "gdb -p " + std::to_string(pid) + " -batch -ex 'thread apply all bt' > '" + path +
                              "' 2>&1 < /dev/null";
  if (std::system(command.c_str()) != 0) return -1;
  const std::string text = orveprocess::ReadFile(path);
  if (text.find("\nThread ") == std::string::npos) return -1;
  long n = 0;
  for (size_t at = text.find("orvrpc::CallPool::Run"); at != std::string::npos;
       at = text.find("orvrpc::CallPool::Run", at + 1))
    ++n;
  return n;
}

bool Live(const OrvSim::ManagerKeys& m) {
  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  return m.connected && (m.pulling || now - m.last_pull <= 5);
}

// ---- the walk --------------------------------------------------------------------

using Key = std::pair<int, std::string>;  // kind, symbol

std::string Name(const Key& k) {
  const Kind* kind = KindOf(k.first);
  return "kind " + std::to_string(k.first) + (kind && kind->stock ? " stock " : " option ") + k.second;
}

// The name of the value a key shows, as orvsim publishes it: a stock and
// its direct kind show the same value.
std::string ValueName(const Key& k) {
  const Kind* kind = KindOf(k.first);
  return kind && kind->stock ? "stock " + k.second + " last" : "option " + k.second + " bid";
}

struct Client {
  Process process;
  bool created = false;
  std::string user;  // signed in as; empty when not
  std::set<Key> held;
  // Keys whose last call failed: ORVE may hold them or not.
  std::set<Key> unsure;
};

class OrveWalk : public orvwalk::Walk {
 public:
  void Start(const std::string& root) override;
  std::string Next(orvwalk::Rng& rng) override;
  std::string Apply(const std::string& step) override;
  std::string Quiesce() override;
  void Stop() override;

 private:
  // Steps.
  std::string Create(int c);
  std::string Connect(int c, const std::string& user, bool right);
  std::string Subscribe(int c, bool on, int kind, const std::vector<std::string>& symbols, bool group);
  std::string Query(int c, int kind, const std::string& symbol);
  std::string Release(int c);
  void KillClient(int c);
  std::string StallService(int ms, int c, const std::string& action, const std::vector<std::string>& args,
                           int boundMs);
  std::string RestartService();
  void Limit(bool on);

  // Making up steps.
  std::string MakeKeys(orvwalk::Rng& rng, int* kind, bool group);
  int PickClient(orvwalk::Rng& rng, bool connected);

  // Calls and checks.
  std::optional<std::string> Call(int c, const std::string& command, std::chrono::milliseconds limit = 60s);
  static HRESULT ResultOf(const std::string& answer);
  static long long TimeOf(const std::string& answer);
  void Publish(bool all, const std::set<Key>& fresh);
  std::string ValuesFailing(bool final);
  std::string HeldFailing();
  std::string Check(std::chrono::milliseconds bound);
  std::set<Key> WantedKeys(bool withUnsure);
  OrvSim::Control_ptr Control();
  pid_t OrvePid();

  std::string root_, runtime_, port_;
  std::vector<std::string> simArgs_;
  std::unique_ptr<orvsim::OrvSimProcess> sim_;
  CORBA::ORB_var orb_;
  OrvSim::Control_var control_;
  std::vector<std::string> stocks_, options_;
  Client clients_[kClients];
  // Holds an object from start to end, so that ORVE stays between the
  // clients and its use can be compared with where it started.
  Process anchor_;
  Usage baseline_;
  long baselineCalls_ = -1;  // call threads at the start
  std::map<std::string, double> latest_;  // the last value published, by its name
  std::set<Key> published_;       // keys held when values were last published
  double nextValue_ = kWalkValues;
  bool limited_ = false;
  bool recovering_ = false;
};

OrvSim::Control_ptr OrveWalk::Control() {
  if (CORBA::is_nil(control_)) {
    CORBA::Object_var object = orb_->string_to_object(sim_->Get("control").c_str());
    control_ = OrvSim::Control::_narrow(object);
  }
  return control_.in();
}

pid_t OrveWalk::OrvePid() {
  const std::vector<pid_t> pids = orveprocess::OrvePids(runtime_);
  return pids.size() == 1 ? pids[0] : -1;
}

void OrveWalk::Start(const std::string& root) {
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
  simArgs_ = {"--rate", "0", "--stocks", "6", "--options-per-stock", "400", "--future-roots", "1",
              "--log-level", "warn", "--port", port_};
  for (const auto& [user, password] : kUsers) simArgs_.insert(simArgs_.end(), {"--user", user + ":" + password});
  sim_ = std::make_unique<orvsim::OrvSimProcess>(root, simArgs_);
  int argc = 0;
  const char* options[][2] = {{"giopMaxMsgSize", "268435456"}, {nullptr, nullptr}};
  orb_ = CORBA::ORB_init(argc, nullptr, "", options);
  std::istringstream list(CORBA::String_var(Control()->ListInstruments()).in());
  for (std::string line; std::getline(list, line);) {
    const std::vector<std::string> w = Split(line);
    if (w.size() >= 2 && w[0] == "stock") stocks_.push_back(w[1]);
    if (w.size() == 4 && w[0] == "option") options_.push_back(w[1]);
  }
  if (stocks_.empty() || options_.size() < 100) throw std::runtime_error("orvsim lists too few instruments");

  if (orveprocess::RunOrve("-RegServer") != 0) throw std::runtime_error("ORVE -RegServer failed");
  {
    std::ofstream reg(root + "/registry.reg", std::ios::app);
    const char* level = std::getenv("ORV_WALK_ORVE_LOG_LEVEL");
    reg << "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brask\\Orv]\n"
        << "\"ConnString\"=\"iiop:127.0.0.1:" << port_ << "\"\n"
        << "\"FutConnString\"=\"iiop:127.0.0.1:" << port_ << "\"\n"
        << "\"LogLevel\"=dword:0000000" << (level && *level >= '0' && *level <= '2' ? *level : '0') << "\n"
        << "\"ServerTimeout\"=dword:" << Hex(kServerTimeoutMs) << "\n"
        << "\"EventTimeout\"=dword:" << Hex(kEventTimeoutMs) << "\n"
        << "\"PullTimeout\"=dword:000001f4\n"
        << "\"UseCompression\"=dword:00000000\n";
  }

  anchor_ = StartClient();
  anchor_.Send("create");
  const std::optional<std::string> created = anchor_.Line(60s);
  if (!created || ResultOf(*created) != S_OK) throw std::runtime_error("the anchor client cannot create ORVE's object");
  // A sign-in, a subscription and a release of every user first: a user's
  // data holder, with its tables, pools and pull threads, stays until the
  // program ends, and what ORVE starts once (the ORB's connections) is then
  // part of where it started too.
  for (int c = 0; c < static_cast<int>(kUsers.size()); ++c) {
    const std::string failed = Create(c);
    if (!failed.empty()) throw std::runtime_error(failed);
    if (!Connect(c, kUsers[static_cast<size_t>(c)].first, true).empty() ||
        !Subscribe(c, true, 0, {stocks_[static_cast<size_t>(c)]}, false).empty())
      throw std::runtime_error("the warm-up client cannot sign in as " + kUsers[static_cast<size_t>(c)].first);
  }
  {
    const std::string checked = Check(kStepBound);
    if (!checked.empty()) throw std::runtime_error("warm-up: " + checked);
  }
  for (int c = 0; c < static_cast<int>(kUsers.size()); ++c) Release(c);
  const pid_t orve = OrvePid();
  if (orve <= 0) throw std::runtime_error("no ORVE after the warm-up");
  // Settled: the same figures over two seconds.
  Usage last = UsageOf(orve);
  for (int i = 0; i < 40; ++i) {
    std::this_thread::sleep_for(500ms);
    const Usage now = UsageOf(orve);
    if (now.threads == last.threads && now.fds == last.fds && i >= 4) break;
    last = now;
  }
  baseline_ = UsageOf(orve);
  baselineCalls_ = CallThreads(orve, root_ + "/stacks-start.txt");
  std::cerr << "walk: ORVE " << orve << " starts with " << baseline_.threads << " threads, " << baseline_.fds
            << " descriptors, " << baseline_.rssKb << " kB resident; the service is at port " << port_ << std::endl;
}

void OrveWalk::Stop() {
  for (Client& c : clients_) c.process.Kill();
  anchor_.Kill();
  for (pid_t pid : orveprocess::OrvePids(runtime_)) ::kill(pid, SIGKILL);
  control_ = OrvSim::Control::_nil();
  if (sim_) {
    ::kill(sim_->Pid(), SIGCONT);
    sim_.reset();
  }
  if (!CORBA::is_nil(orb_)) orb_->destroy();
}

// ---- calls -----------------------------------------------------------------------

std::optional<std::string> OrveWalk::Call(int c, const std::string& command, std::chrono::milliseconds limit) {
  Process& p = clients_[c].process;
  if (!p.Send(command)) return std::nullopt;
  return p.Line(limit);
}

HRESULT OrveWalk::ResultOf(const std::string& answer) {
  const std::vector<std::string> w = Split(answer);
  if (w.size() < 3 || w[0] != "ok") return E_UNEXPECTED;
  return static_cast<HRESULT>(std::strtoul(w[1].c_str(), nullptr, 16));
}

long long OrveWalk::TimeOf(const std::string& answer) {
  const std::vector<std::string> w = Split(answer);
  return w.size() >= 3 ? std::atoll(w[2].c_str()) : -1;
}

// ---- steps -----------------------------------------------------------------------

std::string OrveWalk::Create(int c) {
  Client& client = clients_[c];
  if (client.created) return "";
  if (client.process.pid <= 0) client.process = StartClient();
  const std::optional<std::string> answer = Call(c, "create");
  if (!answer) return "create: c" + std::to_string(c) + " got no answer";
  if (ResultOf(*answer) != S_OK) return "create: c" + std::to_string(c) + " failed: " + *answer;
  client.created = true;
  return "";
}

std::string OrveWalk::Connect(int c, const std::string& user, bool right) {
  Client& client = clients_[c];
  if (!client.created) return "";
  std::string password = "wrong";
  for (const auto& [name, pass] : kUsers)
    if (name == user && right) password = pass;
  const std::optional<std::string> answer = Call(c, "connect " + user + " " + password);
  if (!answer) return "connect: c" + std::to_string(c) + " got no answer";
  const HRESULT hr = ResultOf(*answer);
  if (!client.user.empty()) {
    // Signed in again, as another user or with a wrong password: which
    // session its keys are in now is ORVE's own choice, but its release
    // must give them back wherever they are.
    client.unsure.insert(client.held.begin(), client.held.end());
    client.held.clear();
    if (SUCCEEDED(hr)) client.user = user;
    return "";
  }
  if (!right) {
    if (SUCCEEDED(hr)) return "connect: c" + std::to_string(c) + " signed in as " + user + " with a wrong password";
    return "";
  }
  if (FAILED(hr)) {
    // Refused while the service is away is no fault of ORVE's.
    if (recovering_) return "";
    return "connect: c" + std::to_string(c) + " cannot sign in as " + user + ": " + *answer;
  }
  client.user = user;
  return "";
}

std::string OrveWalk::Subscribe(int c, bool on, int kind, const std::vector<std::string>& symbols, bool group) {
  Client& client = clients_[c];
  if (!client.created) return "";
  std::string list;
  for (const std::string& s : symbols) list += (list.empty() ? "" : ",") + s;
  const std::string verb = std::string(on ? "sub" : "unsub") + (group ? "g" : "");
  const std::optional<std::string> answer = Call(c, verb + " " + std::to_string(kind) + " " + list);
  if (!answer) return "call: c" + std::to_string(c) + " got no answer to " + verb;
  const HRESULT hr = ResultOf(*answer);
  for (const std::string& s : symbols) {
    const Key key{kind, s};
    if (client.user.empty()) {
      // Not signed in: refused, and nothing is held.
      if (SUCCEEDED(hr)) return "call: c" + std::to_string(c) + "'s " + verb + " answered " + *answer + " unsigned";
      continue;
    }
    client.unsure.erase(key);
    if (SUCCEEDED(hr) && !(group && on && limited_)) {
      if (on)
        client.held.insert(key);
      else
        client.held.erase(key);
    } else {
      client.held.erase(key);
      client.unsure.insert(key);
    }
  }
  return "";
}

std::string OrveWalk::Query(int c, int kind, const std::string& symbol) {
  Client& client = clients_[c];
  if (client.user.empty()) return "";
  const auto it = latest_.find(ValueName({kind, symbol}));
  // What a query answers for a key of a known value is that value, once
  // the pull that carried it is in (a few pull cycles).
  std::string answer;
  const bool right = WaitUntil(
      [&] {
        const std::optional<std::string> a = Call(c, "query " + std::to_string(kind) + " " + symbol);
        answer = a ? *a : "no answer";
        if (!a) return true;
        if (it == latest_.end()) return true;
        const std::vector<std::string> w = Split(answer);
        return w.size() == 4 && w[3] == Num(static_cast<float>(it->second));
      },
      std::chrono::milliseconds(kStepBound));
  if (answer == "no answer") return "call: c" + std::to_string(c) + " got no answer to a query";
  if (!right) return "query: c" + std::to_string(c) + " asked for " + Name({kind, symbol}) + " and got " + answer +
                     " where its latest value is " + Num(it->second);
  return "";
}

std::string OrveWalk::Release(int c) {
  Client& client = clients_[c];
  if (client.process.pid <= 0) return "";
  const std::optional<std::string> answer = Call(c, "release");
  client.process.Reap();
  client = Client{};
  if (!answer) return "release: c" + std::to_string(c) + " got no answer";
  return "";
}

void OrveWalk::KillClient(int c) {
  Client& client = clients_[c];
  client.process.Kill();
  client = Client{};
}

// The service stops past ServerTimeout while client c makes a call that
// needs it; meanwhile the clients of the other users ask what needs no
// remote call, and each such call must answer within one ServerTimeout.
std::string OrveWalk::StallService(int ms, int c, const std::string& action, const std::vector<std::string>& args,
                                   int boundMs) {
  if (limited_) Limit(false);
  recovering_ = true;
  ::kill(sim_->Pid(), SIGSTOP);
  const auto stopped = Clock::now();
  Client& caller = clients_[c];
  const bool calling = caller.created && !caller.user.empty();
  std::string sent;
  if (calling) {
    if (action == "release")
      sent = "release";
    else if (action == "sub" && args.size() == 2)
      sent = "sub " + args[0] + " " + args[1];
    else if (action == "query" && args.size() == 2)
      sent = "query " + args[0] + " " + args[1];
    if (!sent.empty()) caller.process.Send(sent);
  }
  std::this_thread::sleep_for(100ms);
  std::vector<int> probing;
  const int probeMs = std::max(500, ms - 300);
  for (int i = 0; i < kClients; ++i) {
    Client& other = clients_[i];
    if (i == c || other.user.empty() || (calling && other.user == caller.user)) continue;
    if (other.process.Send("probe " + std::to_string(probeMs))) probing.push_back(i);
  }
  std::string failure;
  for (int i : probing) {
    const std::optional<std::string> answer = clients_[i].process.Line(std::chrono::milliseconds(probeMs) + 60s);
    if (!answer) {
      failure = "wait: c" + std::to_string(i) + " (" + clients_[i].user + ") got no answer to its calls while " +
                "the service was stopped";
      break;
    }
    const std::vector<std::string> w = Split(*answer);
    const long long longest = w.size() >= 5 ? std::atoll(w[4].c_str()) : -1;
    std::cerr << "walk: c" << i << " (" << clients_[i].user << ") made " << (w.size() >= 4 ? w[3] : "?")
              << " calls, the longest " << longest << " ms" << std::endl;
    if (longest > boundMs && failure.empty())
      failure = "wait: c" + std::to_string(i) + " (" + clients_[i].user + ")'s IsSymbolSubscribed waited " +
                std::to_string(longest) + " ms while " + (calling ? "c" + std::to_string(c) + " (" + caller.user +
                ")'s " + action : std::string("the pulls")) + " met the stopped service";
  }
  const auto left = std::chrono::milliseconds(ms) - (Clock::now() - stopped);
  if (left.count() > 0) std::this_thread::sleep_for(left);
  ::kill(sim_->Pid(), SIGCONT);
  if (!sent.empty()) {
    const std::optional<std::string> answer = caller.process.Line(120s);
    std::cerr << "walk: c" << c << "'s " << action << " against the stopped service took "
              << (answer ? std::to_string(TimeOf(*answer)) + " ms" : "ever") << std::endl;
    if (!answer && failure.empty()) failure = "call: c" + std::to_string(c) + "'s " + action + " never answered";
    if (answer && action == "release") {
      caller.process.Reap();
      caller = Client{};
    } else if (answer && action == "sub") {
      // Failed or not, whether ORVE keeps the key for its rebuild is its
      // own choice; a success must be served.
      const Key key{std::atoi(args[0].c_str()), args[1]};
      caller.unsure.erase(key);
      if (SUCCEEDED(ResultOf(*answer)))
        caller.held.insert(key);
      else if (!caller.held.count(key))
        caller.unsure.insert(key);
    }
  }
  return failure;
}

std::string OrveWalk::RestartService() {
  if (limited_) Limit(false);
  recovering_ = true;
  ::kill(sim_->Pid(), SIGKILL);
  sim_->Stop();
  sim_.reset();
  control_ = OrvSim::Control::_nil();
  latest_.clear();
  published_.clear();
  try {
    sim_ = std::make_unique<orvsim::OrvSimProcess>(root_, simArgs_);
  } catch (const std::exception& e) {
    return std::string("service: orvsim did not start again: ") + e.what();
  }
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
  // The new market starts from its own values: the order counts anew.
  for (int c = 0; c < kClients; ++c)
    if (clients_[c].created) Call(c, "mark", 10s);
  return "";
}

void OrveWalk::Limit(bool on) {
  if (on == limited_) return;
  limited_ = on;
  if (!on) {
    Control()->SetSubscriptionLimit(0);
    return;
  }
  // Nothing new from now on: the limit is what the fullest manager holds.
  OrvSim::Subscriptions_var all = Control()->ReadSubscriptions();
  CORBA::ULong most = 1;
  for (CORBA::ULong i = 0; i < all->length(); ++i)
    if (Live(all[i])) most = std::max(most, all[i].keys.length());
  Control()->SetSubscriptionLimit(most);
}

// ---- making up steps -----------------------------------------------------------

int OrveWalk::PickClient(orvwalk::Rng& rng, bool connected) {
  std::vector<int> fit;
  for (int c = 0; c < kClients; ++c)
    if (clients_[c].created && (!connected || !clients_[c].user.empty())) fit.push_back(c);
  return fit.empty() ? -1 : rng.Pick(fit);
}

std::string OrveWalk::MakeKeys(orvwalk::Rng& rng, int* kind, bool group) {
  static const std::vector<int> kinds = {enStockData, enStockData, enOptionData, enOptionData, enOptionData,
                                         enStockData_Direct, enOptionData_Direct};
  *kind = rng.Pick(kinds);
  const bool stock = KindOf(*kind)->stock;
  // Few keys, so that clients and users meet on them.
  const std::vector<std::string>& pool = stock ? stocks_ : options_;
  const int span = std::min<int>(static_cast<int>(pool.size()), stock ? 6 : 24);
  std::set<std::string> picked;
  const int count = group ? rng.Int(2, 6) : 1;
  for (int i = 0; i < count; ++i) picked.insert(pool[static_cast<size_t>(rng.Int(0, span - 1))]);
  std::string list;
  for (const std::string& s : picked) list += (list.empty() ? "" : ",") + s;
  return list;
}

std::string OrveWalk::Next(orvwalk::Rng& rng) {
  if (limited_ && rng.Chance(0.3)) return "unlimit";
  std::vector<int> free, uncreated, unsigned_;
  for (int c = 0; c < kClients; ++c) {
    if (!clients_[c].created) free.push_back(c);
    if (clients_[c].created && clients_[c].user.empty()) unsigned_.push_back(c);
  }
  const int roll = rng.Int(0, 99);
  const int live = kClients - static_cast<int>(free.size());
  if ((roll < 10 || live < 3) && !free.empty()) return "create c" + std::to_string(rng.Pick(free));
  if ((roll < 20 || !unsigned_.empty()) && !unsigned_.empty() && rng.Chance(0.8)) {
    const int c = rng.Pick(unsigned_);
    const std::string user = kUsers[static_cast<size_t>(rng.Int(0, static_cast<int>(kUsers.size()) - 1))].first;
    return "connect c" + std::to_string(c) + " " + user + (rng.Chance(0.2) ? " wrong" : " right");
  }
  const int c = PickClient(rng, true);
  if (c >= 0 && roll >= 97 && rng.Chance(0.5)) {
    const std::string user = kUsers[static_cast<size_t>(rng.Int(0, static_cast<int>(kUsers.size()) - 1))].first;
    return "connect c" + std::to_string(c) + " " + user + (rng.Chance(0.5) ? " wrong" : " right");
  }
  if (c < 0) return free.empty() ? "release c" + std::to_string(rng.Int(0, kClients - 1)) : "create c" + std::to_string(free[0]);
  const std::string who = "c" + std::to_string(c);
  int kind = 0;
  if (roll < 50) {
    const bool group = !limited_ && rng.Chance(0.4);
    const std::string keys = MakeKeys(rng, &kind, group);
    return std::string(group ? "subg " : "sub ") + who + " " + std::to_string(kind) + " " + keys;
  }
  if (roll < 62) {
    const Client& client = clients_[c];
    if (client.held.empty()) return "query " + who + " 0 " + stocks_[0];
    std::vector<Key> held(client.held.begin(), client.held.end());
    const bool group = rng.Chance(0.3);
    if (!group) {
      const Key& k = rng.Pick(held);
      return "unsub " + who + " " + std::to_string(k.first) + " " + k.second;
    }
    const int k = rng.Pick(held).first;
    std::string list;
    for (const Key& key : held)
      if (key.first == k && rng.Chance(0.6)) list += (list.empty() ? "" : ",") + key.second;
    if (list.empty())
      for (const Key& key : held)
        if (key.first == k) list = key.second;
    return "unsubg " + who + " " + std::to_string(k) + " " + list;
  }
  if (roll < 68) {
    MakeKeys(rng, &kind, false);
    const std::string keys = MakeKeys(rng, &kind, false);
    return "query " + who + " " + std::to_string(kind) + " " + keys;
  }
  if (roll < 73) return "release " + who;
  if (roll < 77) return "kill " + who;
  if (roll < 81) return "stall-sink " + who + " " + std::to_string(rng.Int(1000, kEventTimeoutMs / 2));
  if (roll < 88) {
    const int stall = kServerTimeoutMs + rng.Int(500, 1500);
    if (rng.Chance(0.4)) {
      // The release of the client that holds the most: its unsubscribes
      // are the remote calls that meet the stall.
      int most = c;
      for (int i = 0; i < kClients; ++i)
        if (!clients_[i].user.empty() && clients_[i].held.size() > clients_[most].held.size()) most = i;
      return "stall-service " + std::to_string(stall) + " c" + std::to_string(most) + " release";
    }
    if (rng.Chance(0.5)) return "stall-service " + std::to_string(stall) + " " + who + " query 0 " + rng.Pick(stocks_);
    const std::string keys = MakeKeys(rng, &kind, false);
    return "stall-service " + std::to_string(stall) + " " + who + " sub " + std::to_string(kind) + " " + keys;
  }
  if (roll < 91) return "restart-service";
  if (roll < 95) return limited_ ? "unlimit" : "limit";
  if (roll < 97) return "burst " + who + " " + std::to_string(rng.Int(1000, 2000));
  return "stall-sink " + who + " 1500";
}

// ---- carrying steps out ------------------------------------------------------------

std::string OrveWalk::Apply(const std::string& step) {
  const std::vector<std::string> w = Split(step);
  if (w.empty()) return "";
  const std::string& verb = w[0];
  int c = -1;
  if (w.size() > 1 && w[1].size() == 2 && w[1][0] == 'c') c = w[1][1] - '0';
  const bool haveClient = c >= 0 && c < kClients;
  auto bound = kStepBound;
  std::string failure;
  if (verb == "create" && haveClient) {
    failure = Create(c);
  } else if (verb == "connect" && haveClient && w.size() == 4) {
    failure = Connect(c, w[2], w[3] == "right");
  } else if ((verb == "sub" || verb == "unsub" || verb == "subg" || verb == "unsubg") && haveClient && w.size() == 4) {
    failure = Subscribe(c, verb[0] == 's', std::atoi(w[2].c_str()), Split(w[3], ','), verb.back() == 'g');
  } else if (verb == "query" && haveClient && w.size() == 4) {
    failure = Query(c, std::atoi(w[2].c_str()), w[3]);
  } else if (verb == "release" && haveClient) {
    failure = Release(c);
  } else if (verb == "kill" && haveClient) {
    KillClient(c);
  } else if (verb == "stall-sink" && haveClient && w.size() == 3) {
    if (clients_[c].created) Call(c, "stall " + w[2], 10s);
  } else if ((verb == "stall-service" || verb == "stall-service-at-once") && w.size() >= 4 && w[2].size() == 2) {
    // The design's bound is one ServerTimeout; "at once" is what a call
    // that waits on no other user's remote call takes on a busy machine.
    const int caller = w[2][1] - '0';
    const int boundMs = verb == "stall-service" ? kServerTimeoutMs + kWaitSlackMs : kWaitSlackMs;
    if (caller >= 0 && caller < kClients)
      failure = StallService(std::atoi(w[1].c_str()), caller, w[3], std::vector<std::string>(w.begin() + 4, w.end()),
                             boundMs);
    bound = kRecoveryBound;
  } else if (verb == "restart-service") {
    failure = RestartService();
    bound = kRecoveryBound;
  } else if (verb == "limit") {
    Limit(true);
  } else if (verb == "unlimit") {
    Limit(false);
  } else if (verb == "burst" && haveClient && w.size() == 3) {
    const size_t count = std::min<size_t>(static_cast<size_t>(std::atoi(w[2].c_str())), options_.size());
    failure = Subscribe(c, true, 1, std::vector<std::string>(options_.end() - static_cast<long>(count), options_.end()),
                        true);
  }
  if (!failure.empty()) return failure;
  failure = Check(bound);
  if (failure.empty()) recovering_ = false;
  return failure;
}

// ---- checks -------------------------------------------------------------------

std::set<Key> OrveWalk::WantedKeys(bool withUnsure) {
  std::set<Key> keys;
  for (const Client& c : clients_) {
    if (c.user.empty()) continue;
    keys.insert(c.held.begin(), c.held.end());
    if (withUnsure) keys.insert(c.unsure.begin(), c.unsure.end());
  }
  return keys;
}

// A new value for every key held that has none since it was taken, and
// for a few others.
void OrveWalk::Publish(bool all, const std::set<Key>& fresh) {
  const std::set<Key> held = WantedKeys(false);
  std::set<std::string> done;
  size_t others = 0;
  for (const Key& key : held) {
    const std::string name = ValueName(key);
    const bool again = !published_.count(key) || !latest_.count(name) || fresh.count(key);
    if (!all && !again && ++others > 8) continue;
    if (done.count(name)) continue;
    done.insert(name);
    const double value = nextValue_;
    nextValue_ += 0.25;
    try {
      Control()->PublishValue(name.c_str(), value);
      latest_[name] = value;
    } catch (const CORBA::Exception& e) {
      throw std::runtime_error("orvsim cannot publish " + name + ": " + e._name());
    }
  }
  published_ = held;
}

// Every live client shows the latest value of every key it holds.
std::string OrveWalk::ValuesFailing(bool final) {
  for (int c = 0; c < kClients; ++c) {
    Client& client = clients_[c];
    if (client.user.empty() || client.held.empty()) continue;
    if (!client.process.Send("values")) return "missing: c" + std::to_string(c) + " is gone";
    std::map<Key, std::vector<std::string>> seen;
    while (true) {
      const std::optional<std::string> line = client.process.Line(30s);
      if (!line) return "missing: c" + std::to_string(c) + " does not answer";
      if (*line == "end") break;
      const std::vector<std::string> w = Split(*line);
      if (w.size() == 6) seen[{std::atoi(w[1].c_str()), w[2]}] = {w[3], w[4], w[5]};
    }
    for (const Key& key : client.held) {
      const auto it = latest_.find(ValueName(key));
      if (it == latest_.end()) continue;
      const std::string expected = Num(static_cast<float>(it->second));
      if (KindOf(key.first)->event == 0) {
        // A kind without events: what the client reads.
        const std::optional<std::string> answer = Call(c, "query " + std::to_string(key.first) + " " + key.second);
        const std::vector<std::string> w = Split(answer ? *answer : "");
        if (w.size() != 4 || w[3] != expected)
          return "stale: c" + std::to_string(c) + " (" + client.user + ") reads " +
                 (answer ? *answer : std::string("nothing")) + " for " + Name(key) + " where it is " + expected;
        continue;
      }
      const auto s = seen.find(key);
      if (s == seen.end())
        return "missing: c" + std::to_string(c) + " (" + client.user + ") got no value of " + Name(key) +
               ", which is " + expected;
      if (s->second[0] != expected)
        return "stale: c" + std::to_string(c) + " (" + client.user + ") shows " + s->second[0] + " for " +
               Name(key) + " where it is " + expected;
      if (final && s->second[2] != "0")
        return "order: c" + std::to_string(c) + " (" + client.user + ") got " + s->second[2] + " older values of " +
               Name(key) + " after newer ones";
    }
  }
  return "";
}

// orvsim holds the keys the live clients hold, and none that no live
// client holds (those whose last call failed may go either way).
std::string OrveWalk::HeldFailing() {
  std::set<Key> atService;
  OrvSim::Subscriptions_var all = Control()->ReadSubscriptions();
  for (CORBA::ULong i = 0; i < all->length(); ++i) {
    const OrvSim::ManagerKeys& m = all[i];
    if (!Live(m)) continue;
    for (CORBA::ULong k = 0; k < m.keys.length(); ++k) {
      const std::vector<std::string> w = Split(m.keys[k].in());
      if (w.size() < 2) continue;
      atService.insert({std::atoi(w[0].c_str()), w[1]});
    }
  }
  const std::set<Key> held = WantedKeys(false), allowed = WantedKeys(true);
  // Key (type, symbol) at the service: justified by a key of a kind that
  // needs or may hold the type.
  std::set<Key> justified;
  for (const Key& key : allowed) {
    const Kind* kind = KindOf(key.first);
    if (!kind) continue;
    for (int type : kind->types) justified.insert({type, key.second});
    for (int type : kind->also) justified.insert({type, key.second});
  }
  for (const Key& key : atService)
    if (!justified.count(key))
      return "leftover: orvsim holds type " + std::to_string(key.first) + " of " + key.second + " for no live client";
  for (const Key& key : held) {
    const Kind* kind = KindOf(key.first);
    if (!kind) continue;
    for (int type : kind->types)
      if (!atService.count({type, key.second}))
        return "unsubscribed: orvsim does not hold type " + std::to_string(type) + " of " + Name(key) +
               ", which a live client holds";
  }
  return "";
}

std::string OrveWalk::Check(std::chrono::milliseconds bound) {
  const auto start = Clock::now();
  // The service back from a stall or a restart: ORVE's rebuild may still
  // be on its way, and a value published before it subscribed again is
  // lost to it; values go out again until the clients show them.
  bool all = recovering_;
  std::string failing;
  auto lastPublish = Clock::now() - 1h;
  while (Clock::now() - start < bound) {
    const std::chrono::milliseconds again = recovering_ ? std::chrono::milliseconds(5000) : bound;
    if (Clock::now() - lastPublish > again) {
      Publish(all, {});
      all = false;
      lastPublish = Clock::now();
      if (recovering_) {
        // Everything again next time round, until the clients show it.
        published_.clear();
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(700 * kPace));
    failing = ValuesFailing(false);
    if (failing.empty()) failing = HeldFailing();
    if (failing.empty()) return "";
  }
  const std::string held = HeldFailing();
  if (!held.empty() && held != failing) failing += "; and " + held;
  return failing + " (after " + std::to_string(MsSince(start) / 1000) + " s)";
}

std::string OrveWalk::Quiesce() {
  if (limited_) Limit(false);
  std::string failing = Check(kRecoveryBound);
  if (failing.empty()) failing = ValuesFailing(true);
  if (!failing.empty()) return failing;
  for (int c = 0; c < kClients; ++c) {
    const std::string failed = Release(c);
    if (!failed.empty()) return failed;
  }
  // Nothing held at the service, and ORVE back where it started.
  std::string held;
  WaitUntil([&] { return (held = HeldFailing()).empty(); }, 20s);
  if (!held.empty()) return held + " after every client let go";
  const pid_t orve = OrvePid();
  if (orve <= 0) return "resources: ORVE is gone while the anchor client still holds an object";
  // The ORB keeps idle connections to the service for its next calls (up
  // to its bound per server, closed after minutes idle): those are not
  // counted against ORVE, the rest must be back.
  const std::string toService = "tcp to " + port_;
  auto own = [&](const Usage& u) {
    const auto it = u.fdTargets.find(toService);
    return u.fds - (it == u.fdTargets.end() ? 0 : it->second);
  };
  Usage now;
  bool back = WaitUntil(
      [&] {
        now = UsageOf(orve);
        return now.threads <= baseline_.threads && own(now) <= own(baseline_);
      },
      std::chrono::seconds(30 * kPace));
  std::cerr << "walk: ORVE ends with " << now.threads << " threads, " << now.fds << " descriptors (" << own(now)
            << " not to the service), " << now.rssKb << " kB resident" << std::endl;
  // More threads than at the start: those of the call pool's high-water
  // mark may stay, the others not.
  long calls = -1;
  if (!back && own(now) <= own(baseline_) && baselineCalls_ >= 0) {
    calls = CallThreads(orve, root_ + "/stacks-end.txt");
    now = UsageOf(orve);
    if (calls >= 0) {
      std::cerr << "walk: ORVE's call threads went from " << baselineCalls_ << " to " << calls << std::endl;
      back = now.threads - calls <= baseline_.threads - baselineCalls_;
    }
  }
  if (!back)
    return "resources: ORVE holds " + std::to_string(now.threads) + " threads and " + std::to_string(now.fds) +
           " descriptors after every client let go, where it started with " + std::to_string(baseline_.threads) +
           " and " + std::to_string(baseline_.fds) + " (more threads: " + More(now.threadNames, baseline_.threadNames) +
           "; more descriptors: " + More(now.fdTargets, baseline_.fdTargets) + ")";
  // Memory with slack: caches and the allocator keep some.
  const long slackKb = 96 * 1024 * kPace;
  if (now.rssKb > baseline_.rssKb + slackKb)
    return "resources: ORVE is resident with " + std::to_string(now.rssKb) + " kB after every client let go, " +
           "where it started with " + std::to_string(baseline_.rssKb) + " kB";
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--client") return RunClient();
  return orvwalk::WalkMain(argc, argv, [] { return std::make_unique<OrveWalk>(); });
}
