// The time from orvsim publishing a quote to a subscribed client's event,
// with the session's pull already waiting at the service (the pause of
// 1000 ms between pulls is left out: each round starts once the pull thread
// has gone back to the service).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "bench/BenchMain.h"
#include "OrvSimControl.hh"
#include "OrvSimProcess.h"
#include "feed/CDataHolder.h"
#include "feed/CSettings.h"
#include "server/ServiceSignIn.h"
#include "tests/feed/TempDir.h"
#include "tests/feed/TestClient.h"

namespace {

void BM_PublishToClientEvent(benchmark::State& state) {
  TempDir dir;
  ::setenv("USERPROFILE", dir.path().c_str(), 1);
  CSettings::SetDefaults();
  CSettings::PullTimeout = 5000;
  orvsim::OrvSimProcess sim(dir.path(), {"--rate", "0", "--stocks", "5", "--user", "alice:secret", "--log-level",
                                         "error"});
  CSettings::InitRef = {{"Endpoint0", "Endpoint0=corbaloc:" + sim.Get("ConnString") + "/ZmDataService"}};
  CSettings::InitFutRef.clear();
  InitializeCorba("bench");
  CORBA::Object_var controlObject = CorbaOrb()->string_to_object(sim.Get("control").c_str());
  OrvSim::Control_var control = OrvSim::Control::_narrow(controlObject);
  Orv::ZmDataService_var root = ResolveDataService(CSettings::InitRef);
  Orv::ZmDataManager_var manager = SignInToService(root, "alice", "secret", true);
  {
    auto session = std::make_unique<CDataHolder>(u"latency", manager.in(), nullptr);
    session->Initialize();
    std::vector<StockRecord> stocks;
    session->GetStocks(u"", stocks, false);
    const char* symbol = static_cast<const char*>(stocks.at(0).Symbol);
    CZmOrvEnt client;
    session->Subscribe(client.Handle(), std::u16string(symbol, symbol + std::strlen(symbol)), enStockData, enEquity);
    client.WaitFor([](const std::vector<CZmOrvEnt::Event>& ev) { return !ev.empty(); });

    for (auto _ : state) {
      // Past the pull thread's pause: its next pull is parked at the service.
      std::this_thread::sleep_for(std::chrono::milliseconds(1150));
      const size_t before = client.Events().size();
      const auto start = std::chrono::steady_clock::now();
      control->PublishNow(1);
      const bool got =
          client.WaitFor([&](const std::vector<CZmOrvEnt::Event>& ev) { return ev.size() > before; }, 10000);
      const auto end = std::chrono::steady_clock::now();
      if (!got) state.SkipWithError("no event within 10 s");
      state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
  }
  sim.Stop();
  ShutdownCorba();
}
BENCHMARK(BM_PublishToClientEvent)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return orvbench::RunBenchmarks(argc, argv); }
