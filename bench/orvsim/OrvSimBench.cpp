// How many records orvsim produces: the model and encoder in process, and
// the whole service over loopback with many managers pulling at once.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchMain.h"
#include "BlockWriter.h"
#include "MarketModel.h"
#include "MessageTypes.h"
#include "OrvPayload.h"
#include "OrvSimControl.hh"
#include "OrvSimProcess.h"
#include "zmdataservice410.hh"

namespace {

using namespace orvsim;

// One tick of a 200-stock market followed by the option quotes of all of it.
void BM_TickAndEncodeOptionQuotes(benchmark::State& state) {
  ModelOptions o;
  o.stocks = 200;
  MarketModel m(o);
  std::vector<RowRef> rows;
  m.Select(T_OPTION_QUOTE, "", 1, rows);
  const auto& ids = FindType(T_OPTION_QUOTE)->defaultFields;
  std::vector<uint8_t> out;
  for (auto _ : state) {
    m.Step();
    out.clear();
    AppendBlock(out, T_OPTION_QUOTE, ids, 0, rows.size(),
                [&](size_t r, uint8_t id, FieldValue& v) { m.Field(T_OPTION_QUOTE, rows[r], id, v); },
                true);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(rows.size()) * state.iterations(),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TickAndEncodeOptionQuotes)->Unit(benchmark::kMillisecond);

// Encoding alone, without moving the market.
void BM_EncodeOptionQuotes(benchmark::State& state) {
  ModelOptions o;
  o.stocks = 200;
  MarketModel m(o);
  std::vector<RowRef> rows;
  m.Select(T_OPTION_QUOTE, "", 1, rows);
  const auto& ids = FindType(T_OPTION_QUOTE)->defaultFields;
  std::vector<uint8_t> out;
  for (auto _ : state) {
    out.clear();
    AppendBlock(out, T_OPTION_QUOTE, ids, 0, rows.size(),
                [&](size_t r, uint8_t id, FieldValue& v) { m.Field(T_OPTION_QUOTE, rows[r], id, v); },
                true);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(rows.size()) * state.iterations(),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EncodeOptionQuotes)->Unit(benchmark::kMillisecond);

CORBA::ORB_ptr Orb() {
  static CORBA::ORB_var orb;
  if (CORBA::is_nil(orb)) {
    const char* argv[] = {"bench", "-ORBmaxGIOPConnectionPerServer", "1000",
                          "-ORBgiopMaxMsgSize", "268435456"};
    int argc = 5;
    orb = CORBA::ORB_init(argc, const_cast<char**>(argv));
  }
  return orb;
}

// `managers` clients each subscribed to every option quote of a 20-stock
// market, each pulling on its own thread while the market ticks as fast as
// PublishNow is called. Counts records received by all clients.
void BM_ManagersPullingOverLoopback(benchmark::State& state) {
  const int managers = static_cast<int>(state.range(0));
  char tmpl[] = "/tmp/orvsim-bench-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl);
  {
    OrvSimProcess sim(dir, {"--rate", "0", "--log-level", "warn"});
    CORBA::Object_var o = Orb()->string_to_object(sim.Get("equities").c_str());
    Orv::ZmDataService_var svc = Orv::ZmDataService::_narrow(o);
    o = Orb()->string_to_object(sim.Get("control").c_str());
    OrvSim::Control_var control = OrvSim::Control::_narrow(o);
    std::vector<Orv::ZmDataManager_var> ms;
    for (int i = 0; i < managers; ++i) {
      ms.push_back(svc->GetZmDataManager());
      ms.back()->Connect("orvsim", "orvsim");
      ms.back()->SubscribeAll(T_OPTION_QUOTE);
      CORBA::Any_var initial = ms.back()->pull(20000);
    }
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> records{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < managers; ++i)
      threads.emplace_back([&, i] {
        while (!stop) {
          CORBA::Any_var a = ms[i]->pull(200);
          const orvidl::ReplyOctets r = orvidl::ReplyData(&a.in());
          // blocks_amount of every block of the reply (one block per type here)
          for (size_t p = 0; r.size >= p + 14;) {
            const uint32_t n = r.data[p + 5] | (r.data[p + 6] << 8) | (r.data[p + 7] << 16) |
                               (static_cast<uint32_t>(r.data[p + 8]) << 24);
            records += n;
            if (r.data[p + 2]) break;
            p += 14 + r.data[p + 13] + n * 76;  // 12-byte symbol, three price groups of 20, volume
          }
        }
      });
    const uint64_t start = records;
    const OrvSim::Stats before = control->GetStats();
    for (auto _ : state) control->PublishNow(1);
    const uint64_t got = records - start;
    stop = true;
    for (auto& t : threads) t.join();
    const OrvSim::Stats s = control->GetStats();
    // Received counts what reached the clients; sent what the service encoded
    // in that time (the two differ by what was in flight when the run ended).
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(got), benchmark::Counter::kIsRate);
    state.counters["sent_records/s"] = benchmark::Counter(
        static_cast<double>(s.records_sent - before.records_sent), benchmark::Counter::kIsRate);
    state.counters["peak_pulls"] = static_cast<double>(s.peak_concurrent_pulls);
    state.counters["managers_live"] = static_cast<double>(s.managers_live);
  }
  std::system(("rm -rf '" + dir + "'").c_str());
}
BENCHMARK(BM_ManagersPullingOverLoopback)
    ->Arg(1)
    ->Arg(50)
    ->Arg(100)
    ->Arg(250)
    ->Arg(500)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);

}  // namespace

int main(int argc, char** argv) { return orvbench::RunBenchmarks(argc, argv); }
