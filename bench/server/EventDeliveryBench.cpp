// Stock events from one table's event pool to clients across the object
// transport, as ORVE sends them: a main object per client, its sink a proxy
// of an object on the other side of a socket pair, and each handler reading
// one property back through the cursor it was given.
//
//   Throughput/N    events per second delivered to N clients of the pool
//   Latency/slow:0  a quick client's event latency, queue to handler
//   Latency/slow:1  the same with a slow client (5 ms a handler) beside it
//   RawEvents/N     the reference: per event two raw round trips of the
//                   same byte counts over a socket pair to each of N clients
//                   (the event and its reply, the handler's read and its
//                   answer), each client in turn as the pool's task does
// The latency runs report p50_us and p99_us; the goal is that the slow
// client changes the quick one's p99 by less than 2x. The throughput runs
// also report the system calls and context switches of the whole process
// (both ends of every connection) per delivered event, where the kernel
// lets the process count them.
#include <linux/perf_event.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/BenchMain.h"
#include "platform/com/atlbase.h"
#include "platform/com/rpc/Connection.h"
#include "feed/CZmThreadPool.h"
#include "server/CStocks.h"
#include "server/CSendStockMsgWorker.h"
#include "server/CZmOrvEnt.h"
#include "tests/server/EventSinkBase.h"

using namespace orvrpc;
using Clock = std::chrono::steady_clock;

namespace {

// A count of the whole process's events, threads started later included:
// opened in main before any thread exists.
class ProcessCounter {
 public:
  ProcessCounter(uint32_t type, uint64_t config) {
    perf_event_attr a{};
    a.size = sizeof a;
    a.type = type;
    a.config = config;
    a.inherit = 1;
    fd_ = int(::syscall(__NR_perf_event_open, &a, 0, -1, -1, PERF_FLAG_FD_CLOEXEC));
  }
  bool Ok() const { return fd_ >= 0; }
  uint64_t Read() const {
    uint64_t v = 0;
    if (fd_ < 0 || ::read(fd_, &v, sizeof v) != ssize_t(sizeof v)) return 0;
    return v;
  }

 private:
  int fd_ = -1;
};

ProcessCounter* g_syscalls = nullptr;
ProcessCounter* g_switches = nullptr;

void OpenProcessCounters() {
  for (const char* path : {"/sys/kernel/tracing/events/raw_syscalls/sys_enter/id",
                           "/sys/kernel/debug/tracing/events/raw_syscalls/sys_enter/id"}) {
    std::ifstream in(path);
    uint64_t id = 0;
    if (in >> id) {
      g_syscalls = new ProcessCounter(PERF_TYPE_TRACEPOINT, id);
      break;
    }
  }
  g_switches = new ProcessCounter(PERF_TYPE_SOFTWARE, PERF_COUNT_SW_CONTEXT_SWITCHES);
}

// What the counters moved by over the timed part of a run.
struct CounterSpan {
  uint64_t syscalls = 0, switches = 0;
  void Start() {
    syscalls = g_syscalls ? g_syscalls->Read() : 0;
    switches = g_switches ? g_switches->Read() : 0;
  }
  void Report(benchmark::State& state, int64_t events) const {
    if (events <= 0) return;
    if (g_syscalls && g_syscalls->Ok())
      state.counters["syscalls/event"] = double(g_syscalls->Read() - syscalls) / double(events);
    if (g_switches && g_switches->Ok())
      state.counters["switches/event"] = double(g_switches->Read() - switches) / double(events);
  }
};

// Enqueue times by sequence number, read by the handlers.
struct Stamps {
  std::vector<Clock::time_point> queued;
};

class BenchSink final : public orvtest::EventSinkBase {
 public:
  BenchSink(const Stamps* stamps, std::chrono::microseconds work) : m_stamps(stamps), m_work(work) {}
  STDMETHOD(Invoke)(DISPID, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    LONG seq = -1;
    if (params != nullptr && params->cArgs == 1 && params->rgvarg[0].vt == VT_DISPATCH) {
      CComQIPtr<IStocksEnt> cursor(params->rgvarg[0].pdispVal);
      if (cursor) cursor->get_Volume(&seq);
    }
    const Clock::time_point now = Clock::now();
    if (m_work.count() > 0) std::this_thread::sleep_for(m_work);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (seq >= 0 && static_cast<size_t>(seq) < m_stamps->queued.size())
      m_latencies.push_back(std::chrono::duration<double, std::micro>(now - m_stamps->queued[seq]).count());
    ++m_received;
    m_cv.notify_all();
    return S_OK;
  }
  bool WaitFor(size_t n) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::seconds(60), [&] { return m_received >= n; });
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received = 0;
    m_latencies.clear();
  }
  std::vector<double> Latencies() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_latencies;
  }

 private:
  const Stamps* m_stamps;
  std::chrono::microseconds m_work;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  size_t m_received = 0;
  std::vector<double> m_latencies;
};

// One client: the main object on the server side, its sink in the
// "client" runtime across a socket pair.
struct Client {
  CComObject<CZmOrvEnt>* object = nullptr;
  std::shared_ptr<Connection> server, client;
  std::unique_ptr<BenchSink> sink;
  CComPtr<IConnectionPoint> point;  // the client's proxy
  DWORD cookie = 0;

  Client(const Stamps* stamps, std::chrono::microseconds work) : sink(new BenchSink(stamps, work)) {
    CComObject<CZmOrvEnt>::CreateInstance(&object);
    object->AddRef();
    UniqueFd a, b;
    MakeSocketPair(&a, &b);
    server = Connection::Start(std::move(a), static_cast<IZmOrvEnt*>(object), "bench server");
    client = Connection::Start(std::move(b), nullptr, "bench client");
    IConnectionPointContainer* container = nullptr;
    client->GetRoot(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    container->FindConnectionPoint(DIID__IZmOrvEventsEnt, &point);
    container->Release();
    point->Advise(sink.get(), &cookie);
  }
  ~Client() {
    point->Unadvise(cookie);
    point.Release();
    client->Close();
    server->Close();
    client->WaitClosed(std::chrono::seconds(5));
    server->WaitClosed(std::chrono::seconds(5));
    object->Release();
  }
};

CSendStockMsgWorker* StockEvent(const CEventClientPtr& client, LONG seq) {
  CComObject<CStocks>* cursor = nullptr;
  CComObject<CStocks>::CreateInstance(&cursor);
  IStocksEnt* itf = nullptr;
  cursor->QueryInterface(IID_IStocksEnt, reinterpret_cast<void**>(&itf));
  StockRecord r;
  r.Symbol = "IBM";
  r.LastPrice = 100.0f + static_cast<float>(seq % 100) / 100.0f;
  r.Volume = seq;
  cursor->SetData({r});
  return new CSendStockMsgWorker(client, itf, false);
}

struct Apartment {
  Apartment() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  ~Apartment() { CoUninitialize(); }
};

void Throughput(benchmark::State& state) {
  Apartment apartment;
  const int clients = static_cast<int>(state.range(0));
  constexpr int kEventsPerClient = 200;
  Stamps stamps;
  stamps.queued.assign(kEventsPerClient, Clock::now());
  std::vector<std::unique_ptr<Client>> all;
  for (int i = 0; i < clients; ++i) all.emplace_back(new Client(&stamps, std::chrono::microseconds(0)));
  CEventPool pool;
  pool.Initialize(nullptr, 5);
  int64_t delivered = 0;
  CounterSpan span;
  span.Start();
  for (auto _ : state) {
    for (auto& c : all) c->sink->Reset();
    for (int e = 0; e < kEventsPerClient; ++e)
      for (auto& c : all) pool.QueueRequest(StockEvent(c->object->Client(), e));
    for (auto& c : all) c->sink->WaitFor(kEventsPerClient);
    delivered += int64_t(kEventsPerClient) * clients;
  }
  span.Report(state, delivered);
  state.counters["events/s"] = benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
  pool.Shutdown(orvpool::kInfinite);
}
BENCHMARK(Throughput)->ArgName("clients")->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

// The bytes one event moves each way, taken from a client's connection.
struct EventBytes {
  size_t out = 0, back = 0;
};

EventBytes MeasureEventBytes() {
  Apartment apartment;
  Stamps stamps;
  stamps.queued.assign(2, Clock::now());
  Client c(&stamps, std::chrono::microseconds(0));
  CEventPool pool;
  pool.Initialize(nullptr, 1);
  pool.QueueRequest(StockEvent(c.object->Client(), 0));
  c.sink->WaitFor(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  uint64_t out = c.server->BytesSent(), back = c.server->BytesReceived();
  pool.QueueRequest(StockEvent(c.object->Client(), 1));
  c.sink->WaitFor(2);
  // The releases of the cursor trail the reply.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EventBytes b;
  b.out = size_t(c.server->BytesSent() - out);
  b.back = size_t(c.server->BytesReceived() - back);
  pool.Shutdown(orvpool::kInfinite);
  return b;
}

bool ReadFull(int fd, char* p, size_t n) {
  while (n) {
    ssize_t r = ::read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

bool WriteFull(int fd, const char* p, size_t n) {
  while (n) {
    ssize_t r = ::write(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

// One raw client: a thread that answers each event with a read of its own
// and then the event's reply. The server's half of each direction's bytes
// goes in each of its two messages.
struct RawClient {
  int server = -1, client = -1;
  size_t half_out, half_back;
  std::thread thread;
  RawClient(const EventBytes& b) : half_out(std::max<size_t>(1, b.out / 2)), half_back(std::max<size_t>(1, b.back / 2)) {
    int fds[2];
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    server = fds[0];
    client = fds[1];
    thread = std::thread([this] {
      std::string in(half_out, '\0'), out(half_back, 'r');
      for (;;) {
        if (!ReadFull(client, &in[0], half_out)) return;   // the event
        if (!WriteFull(client, out.data(), half_back)) return;  // the handler's read
        if (!ReadFull(client, &in[0], half_out)) return;   // its answer
        if (!WriteFull(client, out.data(), half_back)) return;  // the event's reply
      }
    });
  }
  // One event, as the pool's task delivers it.
  void Event(std::string& in, const std::string& out) {
    WriteFull(server, out.data(), half_out);
    ReadFull(server, &in[0], half_back);
    WriteFull(server, out.data(), half_out);
    ReadFull(server, &in[0], half_back);
  }
  ~RawClient() {
    ::shutdown(server, SHUT_RDWR);
    thread.join();
    ::close(server);
    ::close(client);
  }
};

EventBytes g_eventBytes;

// Events to N raw clients from five threads, as the pool's five deliver
// them: each client is served by one thread at a time, in order.
void RawEvents(benchmark::State& state) {
  const int clients = static_cast<int>(state.range(0));
  constexpr int kEventsPerClient = 200;
  constexpr int kThreads = 5;
  std::vector<std::unique_ptr<RawClient>> all;
  for (int i = 0; i < clients; ++i) all.emplace_back(new RawClient(g_eventBytes));
  int64_t delivered = 0;
  CounterSpan span;
  span.Start();
  for (auto _ : state) {
    std::vector<std::thread> senders;
    for (int t = 0; t < std::min(kThreads, clients); ++t)
      senders.emplace_back([&, t] {
        std::string in(std::max(g_eventBytes.out, g_eventBytes.back) + 1, '\0');
        std::string out(in.size(), 'q');
        for (int c = t; c < clients; c += kThreads)
          for (int e = 0; e < kEventsPerClient; ++e) all[size_t(c)]->Event(in, out);
      });
    for (auto& s : senders) s.join();
    delivered += int64_t(kEventsPerClient) * clients;
  }
  span.Report(state, delivered);
  state.counters["events/s"] = benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
}

// Events paced a little apart, as a feed delivers them, to a quick client
// (and a slow one when asked) of the same pool.
void Latency(benchmark::State& state) {
  Apartment apartment;
  const bool withSlow = state.range(0) != 0;
  constexpr int kEvents = 400;
  Stamps stamps;
  stamps.queued.assign(kEvents, Clock::now());
  Client quick(&stamps, std::chrono::microseconds(0));
  std::unique_ptr<Client> slow;
  if (withSlow) slow.reset(new Client(&stamps, std::chrono::microseconds(5000)));
  CEventPool pool;
  pool.Initialize(nullptr, 5);
  std::vector<double> all;
  for (auto _ : state) {
    quick.sink->Reset();
    if (slow) slow->sink->Reset();
    for (int e = 0; e < kEvents; ++e) {
      stamps.queued[e] = Clock::now();
      if (slow) pool.QueueRequest(StockEvent(slow->object->Client(), e));
      pool.QueueRequest(StockEvent(quick.object->Client(), e));
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    quick.sink->WaitFor(kEvents);
    const std::vector<double> l = quick.sink->Latencies();
    all.insert(all.end(), l.begin(), l.end());
    // The slow client's backlog is not the quick one's business; it is
    // dropped with the pool below.
  }
  std::sort(all.begin(), all.end());
  if (!all.empty()) {
    state.counters["p50_us"] = all[all.size() / 2];
    state.counters["p99_us"] = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  }
  pool.Shutdown(0);
}
BENCHMARK(Latency)->ArgName("slow")->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
int main(int argc, char** argv) {
  OpenProcessCounters();
  return orvbench::RunBenchmarks(argc, argv, [] {
    g_eventBytes = MeasureEventBytes();
    std::printf("one event: %zu bytes to the client, %zu back\n", g_eventBytes.out, g_eventBytes.back);
    benchmark::RegisterBenchmark("RawEvents", RawEvents)
        ->ArgName("clients")
        ->Arg(1)
        ->Arg(10)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  });
}
