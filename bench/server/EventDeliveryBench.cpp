// Stock events from one table's event pool to clients across the object
// transport, as ORVE sends them: a main object per client, its sink a proxy
// of an object on the other side of a socket pair, and each handler reading
// one property back through the cursor it was given.
//
//   Throughput/N    events per second delivered to N clients of the pool
//   Latency/slow:0  a quick client's event latency, queue to handler
//   Latency/slow:1  the same with a slow client (5 ms a handler) beside it
// The latency runs report p50_us and p99_us; the goal is that the slow
// client changes the quick one's p99 by less than 2x.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
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
  for (auto _ : state) {
    for (auto& c : all) c->sink->Reset();
    for (int e = 0; e < kEventsPerClient; ++e)
      for (auto& c : all) pool.QueueRequest(StockEvent(c->object->Client(), e));
    for (auto& c : all) c->sink->WaitFor(kEventsPerClient);
    delivered += int64_t(kEventsPerClient) * clients;
  }
  state.counters["events/s"] = benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
  pool.Shutdown(orvpool::kInfinite);
}
BENCHMARK(Throughput)->ArgName("clients")->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

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
int main(int argc, char** argv) { return orvbench::RunBenchmarks(argc, argv); }
