// Option analytics blocks through the option table's UpdateData (parse,
// store in one transaction, re-read every option of the touched underlyings
// for the one subscribed client, queue its event) against a baseline in the
// same run: the same rows written with one prepared statement on one open
// connection in one transaction per block, and nothing else. A third case
// times the part of a block that runs under the database lock.
#include <benchmark/benchmark.h>

#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchMain.h"
#include "bench/feed/TempFolder.h"
#include "feed/COptionsDB.h"
#include "feed/CSqliteDB.h"
#include "feed/MessageFormat.h"
#include "feed/SqlTemplates.h"
#include "server/contract/CZmOrvEventSource.h"

// The subscribed client: counts the events its tasks fire.
class CZmOrvEnt final : public CZmOrvEventSource {
 public:
  HRESULT Fire_OnOptionsChange(IOptionsEnt*) override {
    fired.fetch_add(1, std::memory_order_relaxed);
    return S_OK;
  }
  HRESULT Fire_OnStocksChange(IStocksEnt*) override { return S_OK; }
  HRESULT Fire_OnDirectStocksChange(IStocksEnt*) override { return S_OK; }
  HRESULT Fire_OnIVIndexChange(IIVIndexesEnt*) override { return S_OK; }
  HRESULT Fire_OnIVSurfaceChange(IIVSurfacesEnt*) override { return S_OK; }
  HRESULT Fire_OnDirectOptionsChange(IOptionsEnt* p) override { return Fire_OnOptionsChange(p); }
  HRESULT Fire_OnFuturesChange(IFuturesEnt*) override { return S_OK; }
  HRESULT Fire_OnFutOptionsChange(IFutOptionsEnt*) override { return S_OK; }
  HRESULT Fire_OnFutIVIndexChange(IFutIVIndexesEnt*) override { return S_OK; }
  HRESULT Fire_OnFutIVSurfaceChange(IFutIVSurfacesEnt*) override { return S_OK; }
  HRESULT Fire_OnNstdOptionsChange(INstdOptionsEnt*) override { return S_OK; }

  std::atomic<long> fired{0};
};

namespace {

constexpr int kUnderlyings = 100;
constexpr int kOptionsEach = 200;
constexpr int kOptions = kUnderlyings * kOptionsEach;
constexpr int kRounds = 4;  // distinct analytics sets, so that every write changes its row

const uint8_t kADIds[] = {1, 2, 26, 35, 27, 29, 28, 30, 31};

std::string Underlying(int u) {
  char s[8];
  std::snprintf(s, sizeof s, "U%03d", u);
  return s;
}

std::string Option(int u, int i) { return Underlying(u) + "-" + std::to_string(i); }

class Bytes {
 public:
  Bytes& U8(uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Bytes& U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) U8(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& Float(float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    return U32(v);
  }
  Bytes& Text(const std::string& s, size_t width) {
    for (size_t i = 0; i < width; ++i) U8(i < s.size() ? static_cast<uint8_t>(s[i]) : 0);
    return *this;
  }
  std::vector<uint8_t> b;
};

Bytes& Header(Bytes& m, uint8_t type, uint32_t records, uint8_t fields) {
  return m.U8(type).U8(0).U8(1).U8(0).U8(0).U32(records).Float(0).U8(fields);
}

std::vector<uint8_t> BaseBlock() {
  static const uint8_t ids[] = {1, 2, 40, 44, 5, 39, 47};
  Bytes m;
  Header(m, T_OPTION_BASE, kOptions, sizeof ids);
  for (uint8_t id : ids) m.U8(id);
  for (int u = 0; u < kUnderlyings; ++u)
    for (int i = 0; i < kOptionsEach; ++i)
      m.Text(Option(u, i), 12).Text(Underlying(u), 12).Float(46000.0f + i / 20).Float(50.0f + i % 20 * 5)
          .U8(i % 2 ? 'P' : 'C').U8('A').U32(100);
  return m.b;
}

float Iv(int u, int i, int round) { return 0.2f + u * 0.001f + i * 0.0001f + round * 0.01f; }

// A T_OPTION_AD block of every option, in the order of fields the services
// send.
std::vector<uint8_t> AnalyticsBlock(int round) {
  Bytes m;
  Header(m, T_OPTION_AD, kOptions, sizeof kADIds);
  for (uint8_t id : kADIds) m.U8(id);
  for (int u = 0; u < kUnderlyings; ++u)
    for (int i = 0; i < kOptionsEach; ++i) {
      const float iv = Iv(u, i, round);
      m.Text(Option(u, i), 12).Text(Underlying(u), 12);
      m.Float(iv).Float(iv + 0.01f).Float(0.5f).Float(iv / 10).Float(iv * 2).Float(-iv).Float(iv / 100);
    }
  return m.b;
}

using orvbench::TempFolder;

// Opens the table's phases to the benchmark.
class BenchOptionsDB : public COptionsDB {
 public:
  using COptionsDB::COptionsDB;
  using COptionsDB::_InitializeEvents;
  using COptionsDB::_ParseBlock;
  using COptionsDB::_UpdateAnalytics;
  using COptionsDB::CollectUnderlyings;
};

// The table with its rows and the client subscribed to every underlying.
void Prepare(BenchOptionsDB& table, const CEventClientPtr& client) {
  table.Initialize();
  const std::vector<uint8_t> base = BaseBlock();
  table.UpdateData(base.data() + kBlockHeaderSize, base.data() + base.size(), T_OPTION_BASE, kOptions, 7, false);
  for (int u = 0; u < kUnderlyings; ++u) {
    const std::string s = Underlying(u);
    table.Subscribe(client, CSymbolKey(std::u16string(s.begin(), s.end()), 0));
  }
}

void BM_OptionsAnalyticsUpdateData(benchmark::State& state) {
  TempFolder folder;
  CZmOrvEnt client;
  CEventClientPtr handle = CEventClient::Create(&client);
  {
    BenchOptionsDB table(folder.File("user"), false);
    Prepare(table, handle);
    std::vector<std::vector<uint8_t>> blocks;
    for (int k = 0; k < kRounds; ++k) blocks.push_back(AnalyticsBlock(k));

    size_t k = 0;
    for (auto _ : state) {
      const std::vector<uint8_t>& b = blocks[k++ % blocks.size()];
      const uint8_t* end = table.UpdateData(b.data() + kBlockHeaderSize, b.data() + b.size(), T_OPTION_AD, kOptions,
                                            sizeof kADIds, false);
      if (end != b.data() + b.size()) state.SkipWithError("block not read whole");
    }
    state.SetItemsProcessed(state.iterations() * kOptions);
  }  // the table's pool runs what is queued before it goes
  handle->Detach();
  state.counters["events_fired"] = static_cast<double>(client.fired.load());
}

// The writer and the re-read with the hand-over of the events, which run
// under the database lock from start to end; the parse, which does not, is
// left out of the time.
void BM_OptionsAnalyticsLockHeld(benchmark::State& state) {
  TempFolder folder;
  CZmOrvEnt client;
  CEventClientPtr handle = CEventClient::Create(&client);
  {
    BenchOptionsDB table(folder.File("user"), false);
    Prepare(table, handle);
    std::vector<std::vector<uint8_t>> blocks;
    for (int k = 0; k < kRounds; ++k) blocks.push_back(AnalyticsBlock(k));

    size_t k = 0;
    double writeMs = 0;
    double eventsMs = 0;
    for (auto _ : state) {
      state.PauseTiming();
      const std::vector<uint8_t>& b = blocks[k++ % blocks.size()];
      BenchOptionsDB::BlockMap map;
      table._ParseBlock(T_OPTION_AD, b.data() + kBlockHeaderSize, b.data() + b.size(), kOptions, sizeof kADIds, map);
      const std::vector<std::string> underlyings = BenchOptionsDB::CollectUnderlyings(map);
      state.ResumeTiming();
      const auto start = std::chrono::steady_clock::now();
      table._UpdateAnalytics(map);
      const auto written = std::chrono::steady_clock::now();
      table._InitializeEvents(underlyings);
      const auto sent = std::chrono::steady_clock::now();
      writeMs += std::chrono::duration<double, std::milli>(written - start).count();
      eventsMs += std::chrono::duration<double, std::milli>(sent - written).count();
    }
    state.SetItemsProcessed(state.iterations() * kOptions);
    // Per block: the writer's share and the re-read with the hand-over's.
    state.counters["write_ms"] = writeMs / static_cast<double>(state.iterations());
    state.counters["events_ms"] = eventsMs / static_cast<double>(state.iterations());
  }
  handle->Detach();
}

void Check(int rc, sqlite3* db, benchmark::State& state) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE) state.SkipWithError(sqlite3_errmsg(db));
}

void BM_BaselinePreparedAnalyticsUpdate(benchmark::State& state) {
  TempFolder folder;
  {
    CZmOrvEnt client;
    CEventClientPtr handle = CEventClient::Create(&client);
    BenchOptionsDB table(folder.File("user"), false);
    Prepare(table, handle);
    handle->Detach();
  }
  CSqliteDB::CloseKeptConnections();
  std::vector<std::string> symbols;
  for (int u = 0; u < kUnderlyings; ++u)
    for (int i = 0; i < kOptionsEach; ++i) symbols.push_back(Option(u, i));

  sqlite3* db = nullptr;
  sqlite3_open(folder.File("user").c_str(), &db);
  // The same connection settings as the cache's kept connections.
  sqlite3_exec(db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "PRAGMA journal_mode=MEMORY", nullptr, nullptr, nullptr);
  sqlite3_stmt* st = nullptr;
  const std::string sql = LoadSqlTemplate(119, "options");
  Check(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), db, state);

  int round = 0;
  for (auto _ : state) {
    Check(sqlite3_exec(db, "begin transaction;", nullptr, nullptr, nullptr), db, state);
    for (int u = 0, n = 0; u < kUnderlyings; ++u)
      for (int i = 0; i < kOptionsEach; ++i, ++n) {
        const float iv = Iv(u, i, round);
        sqlite3_bind_double(st, 1, iv + 0.01f);
        sqlite3_bind_double(st, 2, iv);
        sqlite3_bind_double(st, 3, 0.5f);
        sqlite3_bind_double(st, 4, iv / 10);
        sqlite3_bind_double(st, 5, iv * 2);
        sqlite3_bind_double(st, 6, -iv);
        sqlite3_bind_double(st, 7, iv / 100);
        sqlite3_bind_text(st, 8, symbols[n].c_str(), -1, SQLITE_STATIC);
        Check(sqlite3_step(st), db, state);
        sqlite3_reset(st);
      }
    Check(sqlite3_exec(db, "commit transaction;", nullptr, nullptr, nullptr), db, state);
    round = (round + 1) % kRounds;
  }
  state.SetItemsProcessed(state.iterations() * kOptions);
  sqlite3_finalize(st);
  sqlite3_close(db);
}

BENCHMARK(BM_BaselinePreparedAnalyticsUpdate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OptionsAnalyticsUpdateData)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OptionsAnalyticsLockHeld)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return orvbench::RunLoggingBenchmarks(argc, argv); }
