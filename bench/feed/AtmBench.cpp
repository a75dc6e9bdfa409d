// One ATM request on a chain of the given number of options of one
// underlying (calls and puts of several expirations), through the stock
// table's GetATM as the automation server asks it. A second thread waits on
// the database lock meanwhile: its longest wait is how long a pull thread
// or another client is kept out by one request.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchMain.h"
#include "bench/feed/TempFolder.h"
#include "feed/CDatabaseLock.h"
#include "feed/COptionsDB.h"
#include "feed/CSqliteDB.h"
#include "feed/CStocksDB.h"
namespace {

constexpr int kExpirations = 12;

using orvbench::TempFolder;

// The chain of "IDX" with its stock row, and a smaller chain of another
// underlying beside it, as a cache holds several.
void Fill(const std::string& path, int options) {
  CSqliteDB db;
  db.Open(path.c_str());
  db.RunCommand("begin transaction;");
  CSqliteStatement stock = db.Prepare("insert into stocks (symbol, last) values (?, ?)");
  CSqliteStatement option = db.Prepare(
      "insert into options (symbol, stock_symbol, expiration_date, strike, type, pre_iv, iv) "
      "values (?, ?, ?, ?, ?, 0.25, ?)");
  int n = 0;
  for (const auto& u : {std::make_pair(std::string("IDX"), options), std::make_pair(std::string("OTHER"), 2000)}) {
    const int strikes = std::max(1, u.second / (2 * kExpirations));
    // The last price sits mid-chain, between two strikes.
    stock.BindText(1, u.first.c_str());
    stock.BindDouble(2, 1000.0 + strikes * 2.5 + 1.25f);
    stock.RunCommand();
    stock.Reset();
    for (int e = 0; e < kExpirations; ++e)
      for (int k = 0; k < strikes; ++k)
        for (const char* type : {"C", "P"}) {
          const std::string name = u.first + std::to_string(++n);
          option.BindText(1, name.c_str());
          option.BindText(2, u.first.c_str());
          option.BindDouble(3, 46010.0 + 30 * e);
          option.BindDouble(4, 1000.0 + k * 5.0);
          option.BindText(5, type);
          option.BindDouble(6, 0.2 + 0.0001 * k + 0.001 * e);
          option.RunCommand();
          option.Reset();
        }
  }
  db.RunCommand("commit transaction;");
}

void BM_GetATM(benchmark::State& state) {
  TempFolder folder;
  const std::string path = folder.File("user");
  CStocksDB stocks(path, false);
  COptionsDB options(path, false);
  stocks.Initialize();
  options.Initialize();
  Fill(path, static_cast<int>(state.range(0)));

  std::atomic<bool> stop{false};
  std::atomic<long> taken{0};
  std::atomic<long long> longestWaitUs{0};
  std::thread prober([&] {
    while (!stop.load()) {
      const auto start = std::chrono::steady_clock::now();
      CDatabaseLock::Enter();
      const auto got = std::chrono::steady_clock::now();
      CDatabaseLock::Leave();
      const long long us = std::chrono::duration_cast<std::chrono::microseconds>(got - start).count();
      if (us > longestWaitUs.load()) longestWaitUs.store(us);
      taken.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });

  size_t records = 0;
  for (auto _ : state) {
    std::vector<IVATMRecord> out;
    stocks.GetATM(_bstr_t("IDX"), Orv::ZmDataManager::_nil(), out);
    records = out.size();
    if (records != static_cast<size_t>(kExpirations)) state.SkipWithError("not one record per expiration");
    // The lock is not fair: let the prober in between two requests, so that
    // its wait spans one request at most.
    state.PauseTiming();
    const long before = taken.load();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (taken.load() == before && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    state.ResumeTiming();
  }
  stop.store(true);
  prober.join();
  state.counters["records"] = static_cast<double>(records);
  state.counters["lock_held_max_ms"] = static_cast<double>(longestWaitUs.load()) / 1000.0;
}

BENCHMARK(BM_GetATM)->Arg(1000)->Arg(4000)->Arg(16000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return orvbench::RunLoggingBenchmarks(argc, argv); }
