// The cost of one cache access as the table objects make it (lock, open,
// "PRAGMA read_uncommitted", statement, close), with the speed settings of
// the cache connections off (a plain connection per access, default sync
// and journal) and on (kept connection, no sync, journal in memory).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/BenchMain.h"
#include "feed/CDatabaseLock.h"
#include "feed/CSqliteDB.h"
#include "feed/CSqliteTransaction.h"
#include "feed/MessageFormat.h"
#include "feed/SqlTemplates.h"

namespace {

constexpr int kStocks = 500;

std::string Symbol(int i) { return "S" + std::to_string(i); }

class Cache {
 public:
  explicit Cache(bool speed) {
    CSqliteDB::SetSpeedAllowances(speed);
    char tmpl[] = "/tmp/orvbench-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    path_ = dir_ + "/user";
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(path_.c_str());
    db.RunCommand("PRAGMA read_uncommitted");
    db.RunCommand(LoadSqlTemplate(102, "stocks").c_str());
    db.RunCommand("begin transaction;");
    CSqliteTransaction tr(db);
    CSqliteStatement ins = db.Prepare(LoadSqlTemplate(133, "stocks").c_str());
    for (int i = 0; i < kStocks; ++i) {
      ins.BindText(1, Symbol(i).c_str());
      for (int p = 2; p <= 21; ++p) ins.BindDouble(p, 1.0);
      ins.RunCommand();
      ins.Reset();
    }
    ins.Release();
    tr.Commit();
  }
  ~Cache() {
    CSqliteDB::CloseKeptConnections();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    CSqliteDB::SetSpeedAllowances(true);
  }
  const std::string& path() const { return path_; }

 private:
  std::string dir_;
  std::string path_;
};

// One quote block of n stocks written the way the stock table writes it.
void BM_QuoteBlockWrite(benchmark::State& state) {
  Cache cache(state.range(0) != 0);
  const int rows = static_cast<int>(state.range(1));
  const std::string sql = LoadSqlTemplate(128, "stocks");
  int round = 0;
  for (auto _ : state) {
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(cache.path().c_str());
    db.RunCommand("PRAGMA read_uncommitted");
    db.RunCommand("begin transaction;");
    CSqliteTransaction tr(db);
    CSqliteStatement st = db.Prepare(sql.c_str());
    for (int r = 0; r < rows; ++r) {
      const int i = (round * rows + r) % kStocks;
      for (int p = 1; p <= 9; ++p) st.BindDouble(p, 1.5 + r);
      for (int p = 10; p <= 12; ++p) st.BindText(p, "NYSE");
      st.BindInt(13, r);
      st.BindText(14, Symbol(i).c_str());
      st.RunCommand();
      st.Reset();
    }
    st.Release();
    tr.Commit();
    ++round;
  }
  state.SetItemsProcessed(state.iterations() * rows);
}
BENCHMARK(BM_QuoteBlockWrite)->ArgNames({"speed", "rows"})->Args({0, 1})->Args({1, 1})->Args({0, 50})->Args({1, 50});

// One row read by symbol, as a getter or an event build does.
void BM_ReadOneStock(benchmark::State& state) {
  Cache cache(state.range(0) != 0);
  const std::string sql = LoadSqlTemplate(104, "stocks");
  int i = 0;
  for (auto _ : state) {
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(cache.path().c_str());
    db.RunCommand("PRAGMA read_uncommitted");
    CSqliteStatement st = db.Prepare(sql.c_str());
    st.BindText(1, Symbol(i++ % kStocks).c_str());
    CSqliteQuery q = st.RunQuery();
    double sum = 0;
    while (!q.AtEnd()) {
      for (int c = 21; c < 30; ++c) sum += q.FloatAt(c);
      q.Next();
    }
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_ReadOneStock)->ArgNames({"speed"})->Arg(0)->Arg(1);

class NullSink : public IBlockSink {
 public:
  void BeginRecord(const FieldValue*) override { ++records; }
  void Field(const FieldValue& v) override { sum += v.AsDouble(); }
  void EndRecord() override {}
  size_t records = 0;
  double sum = 0;
};

// Decoding alone: a quote block of 1000 records.
void BM_ReadQuoteBlock(benchmark::State& state) {
  const FieldIdList ids = FieldListFor(T_EQUITY_QUOTE);
  const BlockReaderDef& def = *ReaderFor(T_EQUITY_QUOTE, 0);
  std::vector<uint8_t> body(ids.ids, ids.ids + ids.count);
  size_t width = 0;
  for (size_t i = 0; i < ids.count; ++i) width += def.Spec(ids.ids[i]).width;
  body.resize(ids.count + 1000 * width, 0);
  for (auto _ : state) {
    NullSink sink;
    benchmark::DoNotOptimize(
        ReadBlock(def, body.data(), body.data() + body.size(), 1000, static_cast<uint8_t>(ids.count), &sink));
    benchmark::DoNotOptimize(sink.sum);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_ReadQuoteBlock);

}  // namespace

int main(int argc, char** argv) { return orvbench::RunBenchmarks(argc, argv); }
