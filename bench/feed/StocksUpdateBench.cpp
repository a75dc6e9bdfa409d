// Stock quote blocks through the stock table's UpdateData (parse, store in
// one transaction, read the changed rows back for the one subscribed client,
// queue its event) against a baseline in the same run: the same rows written
// with one prepared statement on one open connection in one transaction per
// block, and nothing else.
#include <benchmark/benchmark.h>

#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchMain.h"
#include "bench/feed/TempFolder.h"
#include "feed/CSqliteDB.h"
#include "feed/CStocksDB.h"
#include "feed/MessageFormat.h"
#include "feed/SqlTemplates.h"
#include "server/contract/CZmOrvEventSource.h"

// The subscribed client: counts the events its tasks fire.
class CZmOrvEnt final : public CZmOrvEventSource {
 public:
  HRESULT Fire_OnStocksChange(IStocksEnt*) override {
    fired.fetch_add(1, std::memory_order_relaxed);
    return S_OK;
  }
  HRESULT Fire_OnDirectStocksChange(IStocksEnt* p) override { return Fire_OnStocksChange(p); }
  HRESULT Fire_OnOptionsChange(IOptionsEnt*) override { return S_OK; }
  HRESULT Fire_OnIVIndexChange(IIVIndexesEnt*) override { return S_OK; }
  HRESULT Fire_OnIVSurfaceChange(IIVSurfacesEnt*) override { return S_OK; }
  HRESULT Fire_OnDirectOptionsChange(IOptionsEnt*) override { return S_OK; }
  HRESULT Fire_OnFuturesChange(IFuturesEnt*) override { return S_OK; }
  HRESULT Fire_OnFutOptionsChange(IFutOptionsEnt*) override { return S_OK; }
  HRESULT Fire_OnFutIVIndexChange(IFutIVIndexesEnt*) override { return S_OK; }
  HRESULT Fire_OnFutIVSurfaceChange(IFutIVSurfacesEnt*) override { return S_OK; }
  HRESULT Fire_OnNstdOptionsChange(INstdOptionsEnt*) override { return S_OK; }

  std::atomic<long> fired{0};
};

namespace {

constexpr int kStocks = 500;
constexpr int kRounds = 8;  // distinct price sets, so that every write changes its row

std::string Symbol(int i) { return "S" + std::to_string(i); }

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
  Bytes& Double(double d) {
    uint64_t v;
    std::memcpy(&v, &d, 8);
    return U32(static_cast<uint32_t>(v)).U32(static_cast<uint32_t>(v >> 32));
  }
  Bytes& Text(const std::string& s, size_t width) {
    for (size_t i = 0; i < width; ++i) U8(i < s.size() ? static_cast<uint8_t>(s[i]) : 0);
    return *this;
  }
  std::vector<uint8_t> b;
};

// One quote row as both sides write it.
struct Row {
  std::string symbol;
  float bid, ask, last;
  int bidSize, askSize, lastSize, volume;
  double date;
};

Row MakeRow(int stock, int round) {
  const float p = 10.0f + stock * 0.01f + round * 0.25f;
  return {Symbol(stock), p, p + 0.05f, p + 0.02f, 100 + round, 200 + round, 300 + round, 10000 + round, 45000.5 + round};
}

// A T_EQUITY_QUOTE block in the order of fields the services send.
std::vector<uint8_t> QuoteBlock(const std::vector<Row>& rows) {
  static const uint8_t ids[] = {2, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18};
  Bytes m;
  m.U8(T_EQUITY_QUOTE).U8(0).U8(1).U8(0).U8(0).U32(static_cast<uint32_t>(rows.size())).Float(0).U8(sizeof ids);
  for (uint8_t id : ids) m.U8(id);
  for (const Row& r : rows) {
    m.Text(r.symbol, 12);
    m.Float(r.bid).Text("NYSE", 4).Double(r.date).U32(static_cast<uint32_t>(r.bidSize));
    m.Float(r.ask).Text("ARCA", 4).Double(r.date).U32(static_cast<uint32_t>(r.askSize));
    m.Float(r.last).Text("BATS", 4).Double(r.date).U32(static_cast<uint32_t>(r.lastSize));
    m.U32(static_cast<uint32_t>(r.volume));
  }
  return m.b;
}

std::vector<uint8_t> BaseBlock() {
  Bytes m;
  m.U8(T_EQUITY_BASE).U8(0).U8(1).U8(0).U8(0).U32(kStocks).Float(0).U8(3);
  m.U8(2).U8(19).U8(48);
  for (int i = 0; i < kStocks; ++i) m.Text(Symbol(i), 12).U8('S').Float(10.0f);
  return m.b;
}

// The rows of block k of size n: blocks walk the 500 stocks in turn.
std::vector<Row> BlockRows(int n, int k) {
  std::vector<Row> rows;
  const int perRound = kStocks / n;
  for (int r = 0; r < n; ++r) rows.push_back(MakeRow((k % perRound) * n + r, k / perRound));
  return rows;
}

int BlockCount(int n) { return (kStocks / n) * kRounds; }

using orvbench::TempFolder;

// Second argument: whether the client holds the symbols. Without it nothing
// is read back and no event is made: the store alone.
void BM_StocksUpdateData(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const bool subscribed = state.range(1) != 0;
  TempFolder folder;
  CZmOrvEnt client;
  CEventClientPtr handle = CEventClient::Create(&client);
  long queued = 0;
  {
    CStocksDB table(folder.File("user"), false);
    table.Initialize();
    const std::vector<uint8_t> base = BaseBlock();
    table.UpdateData(base.data() + kBlockHeaderSize, base.data() + base.size(), T_EQUITY_BASE, kStocks, 3, false);
    for (int i = 0; i < kStocks && subscribed; ++i) {
      const std::string s = Symbol(i);
      table.Subscribe(handle, CSymbolKey(std::u16string(s.begin(), s.end()), 0));
    }
    std::vector<std::vector<uint8_t>> blocks;
    for (int k = 0; k < BlockCount(n); ++k) blocks.push_back(QuoteBlock(BlockRows(n, k)));

    size_t k = 0;
    for (auto _ : state) {
      const std::vector<uint8_t>& b = blocks[k++ % blocks.size()];
      const uint8_t* end =
          table.UpdateData(b.data() + kBlockHeaderSize, b.data() + b.size(), T_EQUITY_QUOTE, n, 14, false);
      if (end != b.data() + b.size()) state.SkipWithError("block not read whole");
      if (subscribed) ++queued;
    }
    state.SetItemsProcessed(state.iterations() * n);
  }  // the table's pool runs what is queued before it goes
  handle->Detach();
  state.counters["events_queued"] = static_cast<double>(queued);
  state.counters["events_fired"] = static_cast<double>(client.fired.load());
}

void Check(int rc, sqlite3* db, benchmark::State& state) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE) state.SkipWithError(sqlite3_errmsg(db));
}

void BM_BaselinePreparedUpdate(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  TempFolder folder;
  {
    CStocksDB table(folder.File("user"), false);
    table.Initialize();
    const std::vector<uint8_t> base = BaseBlock();
    table.UpdateData(base.data() + kBlockHeaderSize, base.data() + base.size(), T_EQUITY_BASE, kStocks, 3, false);
  }
  CSqliteDB::CloseKeptConnections();
  std::vector<std::vector<Row>> blocks;
  for (int k = 0; k < BlockCount(n); ++k) blocks.push_back(BlockRows(n, k));

  sqlite3* db = nullptr;
  sqlite3_open(folder.File("user").c_str(), &db);
  // The same connection settings as the cache's kept connections.
  sqlite3_exec(db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "PRAGMA journal_mode=MEMORY", nullptr, nullptr, nullptr);
  sqlite3_stmt* st = nullptr;
  const std::string sql = LoadSqlTemplate(128, "stocks");
  Check(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), db, state);

  size_t k = 0;
  for (auto _ : state) {
    const std::vector<Row>& rows = blocks[k++ % blocks.size()];
    Check(sqlite3_exec(db, "begin transaction;", nullptr, nullptr, nullptr), db, state);
    for (const Row& r : rows) {
      sqlite3_bind_double(st, 1, r.bid);
      sqlite3_bind_double(st, 2, r.ask);
      sqlite3_bind_double(st, 3, r.last);
      sqlite3_bind_int(st, 4, r.bidSize);
      sqlite3_bind_int(st, 5, r.askSize);
      sqlite3_bind_int(st, 6, r.lastSize);
      sqlite3_bind_double(st, 7, r.date);
      sqlite3_bind_double(st, 8, r.date);
      sqlite3_bind_double(st, 9, r.date);
      sqlite3_bind_text(st, 10, "NYSE", -1, SQLITE_STATIC);
      sqlite3_bind_text(st, 11, "ARCA", -1, SQLITE_STATIC);
      sqlite3_bind_text(st, 12, "BATS", -1, SQLITE_STATIC);
      sqlite3_bind_int(st, 13, r.volume);
      sqlite3_bind_text(st, 14, r.symbol.c_str(), -1, SQLITE_STATIC);
      Check(sqlite3_step(st), db, state);
      sqlite3_reset(st);
    }
    Check(sqlite3_exec(db, "commit transaction;", nullptr, nullptr, nullptr), db, state);
  }
  state.SetItemsProcessed(state.iterations() * n);
  sqlite3_finalize(st);
  sqlite3_close(db);
}

// One reply of many one-record quote blocks, walked as the pull thread
// walks a message (one changed-symbol list for all its blocks), with the
// client holding every symbol: its time per record should not grow with
// the reply's length.
void BM_ReplyOfManySmallBlocks(benchmark::State& state) {
  const int blocks = static_cast<int>(state.range(0));
  TempFolder folder;
  CZmOrvEnt client;
  CEventClientPtr handle = CEventClient::Create(&client);
  {
    CStocksDB table(folder.File("user"), false);
    table.Initialize();
    const std::vector<uint8_t> base = BaseBlock();
    table.UpdateData(base.data() + kBlockHeaderSize, base.data() + base.size(), T_EQUITY_BASE, kStocks, 3, false);
    for (int i = 0; i < kStocks; ++i) {
      const std::string s = Symbol(i);
      table.Subscribe(handle, CSymbolKey(std::u16string(s.begin(), s.end()), 0));
    }
    std::vector<uint8_t> reply;
    for (int k = 0; k < blocks; ++k) {
      std::vector<uint8_t> b = QuoteBlock({MakeRow(k % kStocks, k / kStocks)});
      b[2] = k + 1 == blocks;  // is_last
      reply.insert(reply.end(), b.begin(), b.end());
    }
    for (auto _ : state) {
      std::vector<std::string> changed;
      const bool whole = WalkMessage(reply.data(), reply.size(),
                                     [&](const BlockHeader& h, const uint8_t* body, const uint8_t* end) {
                                       return table.UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount,
                                                               false, changed);
                                     });
      if (!whole) state.SkipWithError("reply not read whole");
    }
    state.SetItemsProcessed(state.iterations() * blocks);
  }
  handle->Detach();
}

BENCHMARK(BM_BaselinePreparedUpdate)->Arg(50)->Arg(500);
BENCHMARK(BM_StocksUpdateData)->Args({50, 1})->Args({500, 1})->Args({50, 0})->Args({500, 0});
BENCHMARK(BM_ReplyOfManySmallBlocks)->Arg(500)->Arg(2000)->Arg(8000)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  // One client holding every symbol against the bare statement; the store
  // alone beside it for what the read and the events add.
  return orvbench::RunLoggingBenchmarks(argc, argv,
                                        {{"BM_StocksUpdateData/50/1", "BM_BaselinePreparedUpdate/50", 2.0},
                                         {"BM_StocksUpdateData/500/1", "BM_BaselinePreparedUpdate/500", 2.0},
                                         {"BM_StocksUpdateData/50/0", "BM_BaselinePreparedUpdate/50"},
                                         {"BM_StocksUpdateData/500/0", "BM_BaselinePreparedUpdate/500"}});
}
