// links_held_client: a spreadsheet holding many advise links on ZmDDE, for
// the links-held benchmark (bench/dde/links_held.sh starts the road and this
// client on it).
//
//   links_held_client --links N --stocks S --start-date YYYY-MM-DD
//                     [--hold SECONDS] [--pass-times FILE] [--watch NAME=PID]...
//
// It lists the market that orvsim serves for the same --stocks and
// --start-date (seed 1, the default chains), opens one conversation per
// topic and N links: every stock's items first, then the options of every
// stock in turn. It holds them for --hold seconds after the last start and
// reports: the time to a first value on every link, the values delivered,
// the links that got values after their first, the posting pass's
// durations (the lines ZmDDE appends to --pass-times) during the hold, and
// the CPU and resident memory of every --watch process, sampled every 5 s.
// Links that got no value in the hold's second half are listed by item, and
// with LINKS_HELD_QUIET=FILE one by one (topic, item, values, last value's
// time) in that file.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "MarketModel.h"
#include "platform/dde/ddeml.h"
#include "platform/log/Log.h"
#include "platform/ui/winuser.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kStockItems[] = {"Price",       "StckBid",      "StckAsk",      "StckVolume",
                                   "StckLastSize", "StckBidSize",  "StckAskSize",  "StckLastTime",
                                   "StckBidTime", "StckAskTime"};
const char* const kOptionItems[] = {"Bid",   "Ask",        "IV",         "Delta",
                                    "Gamma", "Vega",       "OptnVolume", "OptnBidSize",
                                    "OptnAskSize", "OptnLastPrice"};

struct Link {
  std::string topic;
  std::string item;
  HCONV conv = nullptr;
  Clock::time_point started;
  Clock::time_point first;
  Clock::time_point last;
  long values = 0;
};

std::vector<Link> g_links;
std::map<std::pair<HCONV, HSZ>, size_t> g_byHandle;
long g_values = 0;
long g_lostConversations = 0;

HDDEDATA CALLBACK Callback(UINT type, UINT, HCONV conv, HSZ, HSZ item, HDDEDATA data, ULONG_PTR,
                           ULONG_PTR) {
  if (type == XTYP_ADVDATA) {
    auto found = g_byHandle.find({conv, item});
    if (found != g_byHandle.end() && data) {
      Link& link = g_links[found->second];
      const Clock::time_point now = Clock::now();
      if (!link.values) link.first = now;
      link.last = now;
      ++link.values;
      ++g_values;
    }
    return reinterpret_cast<HDDEDATA>(uintptr_t(DDE_FACK));
  }
  if (type == XTYP_DISCONNECT) ++g_lostConversations;
  return nullptr;
}

int Fail(const std::string& text) {
  std::fprintf(stderr, "links_held_client: %s\n", text.c_str());
  return 2;
}

// The lists of the links in the order they are made.
std::vector<std::pair<std::string, std::string>> Plan(const orvsim::MarketModel& model,
                                                      size_t wanted) {
  std::vector<std::pair<std::string, std::string>> plan;
  const auto& stocks = model.stocks();
  for (const char* item : kStockItems)
    for (const auto& s : stocks) plan.emplace_back(s.symbol, item);
  size_t most = 0;
  for (const auto& s : stocks) most = std::max(most, s.options.size());
  for (size_t k = 0; k < most && plan.size() < wanted; ++k)
    for (const auto& s : stocks) {
      if (k >= s.options.size()) continue;
      const std::string& option = model.options()[s.options[k]].symbol;
      for (const char* item : kOptionItems) plan.emplace_back(option, item);
    }
  if (plan.size() > wanted) plan.resize(wanted);
  return plan;
}

struct Sample {
  double at;       // seconds since the hold began
  double cpu;      // seconds of CPU since the process started
  double rssMiB;
};

bool ReadProc(int pid, double* cpu, double* rssMiB) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  // Fields after the command name, which may hold spaces: state is field 3,
  // utime 14 and stime 15.
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream rest(line.substr(close + 2));
  std::vector<std::string> f;
  std::string word;
  while (rest >> word) f.push_back(word);
  if (f.size() < 13) return false;
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  *cpu = (std::stod(f[11]) + std::stod(f[12])) / ticks;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      *rssMiB = std::stod(line.substr(6)) / 1024.0;
      return true;
    }
  }
  return false;
}

// Least-squares slope of y over x.
double Slope(const std::vector<Sample>& s) {
  if (s.size() < 2) return 0;
  double mx = 0, my = 0;
  for (const Sample& p : s) {
    mx += p.at;
    my += p.rssMiB;
  }
  mx /= s.size();
  my /= s.size();
  double num = 0, den = 0;
  for (const Sample& p : s) {
    num += (p.at - mx) * (p.rssMiB - my);
    den += (p.at - mx) * (p.at - mx);
  }
  return den > 0 ? num / den : 0;
}

double LoadAverage() {
  double one = 0;
  std::ifstream in("/proc/loadavg");
  in >> one;
  return one;
}

std::vector<double> PassDurations(const std::string& path, std::streamoff from) {
  std::vector<double> seconds;
  std::ifstream in(path);
  if (!in) return seconds;
  in.seekg(from);
  std::string line;
  while (std::getline(in, line)) {
    double s = 0;
    if (std::sscanf(line.c_str(), "pass %lf s", &s) == 1) seconds.push_back(s);
  }
  return seconds;
}

std::streamoff FileSize(const std::string& path) {
  std::ifstream in(path, std::ios::ate);
  return in ? static_cast<std::streamoff>(in.tellg()) : 0;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
}

// Runs the message loop for `seconds`, dispatching the links' values.
void Pump(double seconds) {
  const UINT_PTR timer = SetTimer(nullptr, 0, static_cast<UINT>(seconds * 1000), nullptr);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_TIMER && !msg.hwnd && msg.wParam == timer) break;
    DispatchMessageA(&msg);
  }
  KillTimer(nullptr, timer);
}

}  // namespace

int main(int argc, char** argv) {
  long wanted = 0, stockCount = 0, hold = 300;
  std::string startDate, passTimes;
  std::vector<std::pair<std::string, int>> watched;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return Fail(a + " needs a value");
    const std::string v = argv[++i];
    if (a == "--links") {
      wanted = std::atol(v.c_str());
    } else if (a == "--stocks") {
      stockCount = std::atol(v.c_str());
    } else if (a == "--hold") {
      hold = std::atol(v.c_str());
    } else if (a == "--start-date") {
      startDate = v;
    } else if (a == "--pass-times") {
      passTimes = v;
    } else if (a == "--watch") {
      const size_t eq = v.find('=');
      if (eq == std::string::npos) return Fail("--watch needs NAME=PID");
      watched.emplace_back(v.substr(0, eq), std::atoi(v.c_str() + eq + 1));
    } else {
      return Fail("unknown option " + a);
    }
  }
  int y = 0, m = 0, d = 0;
  if (wanted <= 0 || stockCount <= 0 || hold <= 0 ||
      std::sscanf(startDate.c_str(), "%4d-%2d-%2d", &y, &m, &d) != 3)
    return Fail("needs --links N, --stocks N and --start-date YYYY-MM-DD");

  orvsim::ModelOptions options;
  options.stocks = static_cast<int>(stockCount);
  options.startDate = orvsim::OleFromCivil(y, m, d) + 9.5 / 24;
  const orvsim::MarketModel model(options);
  const auto plan = Plan(model, static_cast<size_t>(wanted));
  if (plan.size() < static_cast<size_t>(wanted))
    return Fail("the market has room for " + std::to_string(plan.size()) + " links only");

  orvlog::InitConsole();
  orvlog::SetLevel(orvlog::kWarn);
  DWORD inst = 0;
  if (DdeInitializeA(&inst, Callback, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR)
    return Fail("DDE could not start");
  HSZ service = DdeCreateStringHandleA(inst, "ZmDDE", CP_WINANSI);
  std::map<std::string, HCONV> conversations;
  std::map<std::string, HSZ> items;
  g_links.reserve(plan.size());
  const Clock::time_point linking = Clock::now();
  long refused = 0;
  for (const auto& [topic, item] : plan) {
    HCONV& conv = conversations[topic];
    if (!conv) {
      HSZ t = DdeCreateStringHandleA(inst, topic.c_str(), CP_WINANSI);
      conv = DdeConnect(inst, service, t, nullptr);
      if (!conv) return Fail("no conversation with ZmDDE on " + topic);
    }
    HSZ& hsz = items[item];
    if (!hsz) hsz = DdeCreateStringHandleA(inst, item.c_str(), CP_WINANSI);
    Link link;
    link.topic = topic;
    link.item = item;
    link.conv = conv;
    link.started = Clock::now();
    g_byHandle[{conv, hsz}] = g_links.size();
    g_links.push_back(link);
    if (!DdeClientTransaction(nullptr, 0, conv, hsz, CF_TEXT, XTYP_ADVSTART, 60000, nullptr))
      ++refused;
  }
  const Clock::time_point linked = Clock::now();
  const double linkSeconds = std::chrono::duration<double>(linked - linking).count();
  std::printf("links %zu on %zu topics started in %.2f s (%ld refused), load %.2f\n",
              g_links.size(), conversations.size(), linkSeconds, refused, LoadAverage());
  std::fflush(stdout);

  // The hold: the loop runs here while a thread samples the processes.
  const std::streamoff passFrom = passTimes.empty() ? 0 : FileSize(passTimes);
  std::vector<std::vector<Sample>> samples(watched.size());
  std::vector<double> loads;
  std::mutex sampleLock;
  bool holding = true;
  std::thread sampler([&] {
    for (long tick = 0;; ++tick) {
      {
        std::lock_guard<std::mutex> g(sampleLock);
        if (!holding) return;
        const double at = std::chrono::duration<double>(Clock::now() - linked).count();
        for (size_t i = 0; i < watched.size(); ++i) {
          Sample s{at, 0, 0};
          if (ReadProc(watched[i].second, &s.cpu, &s.rssMiB)) samples[i].push_back(s);
        }
        loads.push_back(LoadAverage());
      }
      std::this_thread::sleep_until(linked + std::chrono::seconds(5 * (tick + 1)));
    }
  });
  // Values counted from the end of the linking on, and at the hold's half
  // and end, so that links still getting values late show.
  const long valuesAtLinked = g_values;
  Pump(hold / 2.0);
  std::vector<long> atHalf(g_links.size());
  for (size_t i = 0; i < g_links.size(); ++i) atHalf[i] = g_links[i].values;
  Pump(hold - hold / 2.0);
  const Clock::time_point ended = Clock::now();
  {
    std::lock_guard<std::mutex> g(sampleLock);
    holding = false;
  }
  sampler.join();

  size_t withValue = 0, updated = 0, lateUpdated = 0;
  double lastFirst = 0;
  std::vector<double> firsts;
  long fewest = -1;
  for (size_t i = 0; i < g_links.size(); ++i) {
    const Link& l = g_links[i];
    if (l.values > 0) {
      ++withValue;
      const double f = std::chrono::duration<double>(l.first - l.started).count();
      firsts.push_back(f);
      lastFirst = std::max(lastFirst,
                           std::chrono::duration<double>(l.first - linking).count());
    }
    if (l.values >= 2) ++updated;
    if (l.values > atHalf[i]) ++lateUpdated;
    if (fewest < 0 || l.values < fewest) fewest = l.values;
  }
  const double heldSeconds = std::chrono::duration<double>(ended - linked).count();
  std::printf("first value: %zu of %zu links; every link's first value %.2f s after the first "
              "start; per link from its start: median %.2f s, max %.2f s\n",
              withValue, g_links.size(), lastFirst, Percentile(firsts, 0.5),
              Percentile(firsts, 1.0));
  std::printf("values: %ld during the %.0f s hold, %.1f per second; links with 2+ values %zu, "
              "with values in the hold's second half %zu, fewest values on a link %ld\n",
              g_values - valuesAtLinked, heldSeconds, (g_values - valuesAtLinked) / heldSeconds,
              updated, lateUpdated, fewest);
  if (!passTimes.empty()) {
    const std::vector<double> passes = PassDurations(passTimes, passFrom);
    std::printf("posting pass: %zu passes in the hold, median %.4f s, p90 %.4f s, max %.4f s\n",
                passes.size(), Percentile(passes, 0.5), Percentile(passes, 0.9),
                Percentile(passes, 1.0));
  }
  for (size_t i = 0; i < watched.size(); ++i) {
    const std::vector<Sample>& s = samples[i];
    if (s.size() < 2) {
      std::printf("%s: no samples (pid %d)\n", watched[i].first.c_str(), watched[i].second);
      continue;
    }
    double most = 0;
    for (const Sample& p : s) most = std::max(most, p.rssMiB);
    const double cpu = (s.back().cpu - s.front().cpu) / (s.back().at - s.front().at);
    // The slope over the hold's second half: the first minutes still fill caches.
    std::vector<Sample> late(s.begin() + s.size() / 2, s.end());
    std::printf("%s: CPU %.1f%% of a core; RSS %.1f MiB at the start, %.1f at the end, %.1f at "
                "most; slope %.3f MiB/min over the hold, %.3f MiB/min over its second half\n",
                watched[i].first.c_str(), cpu * 100, s.front().rssMiB, s.back().rssMiB, most,
                Slope(s) * 60, Slope(late) * 60);
  }
  // The links that went quiet, by item, with a few of their topics: a
  // value that did not move is not posted, a lost one is a fault.
  std::map<std::string, std::vector<std::string>> quiet;
  for (size_t i = 0; i < g_links.size(); ++i)
    if (g_links[i].values <= atHalf[i]) quiet[g_links[i].item].push_back(g_links[i].topic);
  for (const auto& [item, topics] : quiet) {
    std::string some;
    for (size_t k = 0; k < topics.size() && k < 4; ++k) some += " " + topics[k];
    std::printf("quiet in the second half: %zu links of %s (%s ...)\n", topics.size(),
                item.c_str(), some.c_str() + 1);
  }
  if (const char* path = std::getenv("LINKS_HELD_QUIET")) {
    if (FILE* out = std::fopen(path, "w")) {
      for (size_t i = 0; i < g_links.size(); ++i)
        if (g_links[i].values <= atHalf[i])
          std::fprintf(out, "%s %s %ld %.1f\n", g_links[i].topic.c_str(),
                       g_links[i].item.c_str(), g_links[i].values,
                       std::chrono::duration<double>(g_links[i].last - linking).count());
      std::fclose(out);
    }
  }
  // What a request of a quiet link answers now: no data means the bridge
  // has no entry behind the link any more.
  if (!quiet.empty()) {
    const auto& [item, topics] = *quiet.begin();
    for (size_t k = 0; k < topics.size() && k < 4; ++k) {
      HDDEDATA data = DdeClientTransaction(nullptr, 0, conversations[topics[k]], items[item],
                                           CF_TEXT, XTYP_REQUEST, 10000, nullptr);
      std::string text = "no data";
      if (data) {
        DWORD size = 0;
        LPBYTE bytes = DdeAccessData(data, &size);
        text.assign(reinterpret_cast<const char*>(bytes), size);
        text.resize(std::strlen(text.c_str()));
        DdeUnaccessData(data);
        DdeFreeDataHandle(data);
      }
      std::printf("request %s %s: %s\n", topics[k].c_str(), item.c_str(), text.c_str());
    }
  }
  double loadSum = 0, loadMost = 0;
  for (double l : loads) {
    loadSum += l;
    loadMost = std::max(loadMost, l);
  }
  std::printf("load average (1 min): mean %.2f, at most %.2f; lost conversations %ld\n",
              loads.empty() ? 0 : loadSum / loads.size(), loadMost, g_lostConversations);
  std::fflush(stdout);

  for (auto& [topic, conv] : conversations) DdeDisconnect(conv);
  DdeUninitialize(inst);
  return withValue == g_links.size() ? 0 : 1;
}
