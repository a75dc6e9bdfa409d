// Extracting entry 0 the way the feed does, against plain zlib inflating
// the same raw stream into a buffer allocated beforehand (deflated entries)
// or a copy (stored ones), each with the CRC-32 of the data. The ratio of the two is what the
// reader costs on top of the work no reader can avoid; replies are mostly
// small, so the sizes start at 1 KiB, where what the reader does per
// archive weighs most.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchMain.h"
#include "zip/CUnzipArchive.h"
#include "zip/CUnzipMemFile.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Market-data-like text: deflates to about a third, as replies do.
Bytes Payload(size_t size) {
  static const char* words[] = {"bid ", "ask ", "last ", "volume ", "IBM ", "MSFT ", "0.25 ", "1234 ", "\n", "open "};
  Bytes out;
  out.reserve(size + 8);
  uint64_t x = 88172645463325252ull;
  while (out.size() < size) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    const char* w = words[x % 10];
    out.insert(out.end(), w, w + std::strlen(w));
    if ((x >> 20) % 4 == 0) {
      const std::string n = std::to_string((x >> 32) % 100000);
      out.insert(out.end(), n.begin(), n.end());
    }
  }
  out.resize(size);
  return out;
}

Bytes RawDeflate(const Bytes& data) {
  z_stream s{};
  if (deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  Bytes out(deflateBound(&s, data.size()));
  s.next_in = const_cast<unsigned char*>(data.data());
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  if (deflate(&s, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

void Put16(Bytes& b, uint32_t v) {
  b.push_back(v & 0xFF);
  b.push_back((v >> 8) & 0xFF);
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

struct Fixture {
  Bytes data;     // the entry
  Bytes raw;      // its stream: deflated, or the data itself when stored
  Bytes archive;  // one-entry archive holding raw
};

constexpr uint16_t kStored = 0;
constexpr uint16_t kDeflated = 8;

const Fixture& Get(size_t size, uint16_t method = kDeflated) {
  static std::map<std::pair<size_t, uint16_t>, Fixture> cache;
  auto it = cache.find({size, method});
  if (it != cache.end()) return it->second;
  Fixture f;
  f.data = Payload(size);
  f.raw = method == kDeflated ? RawDeflate(f.data) : f.data;
  const uint32_t crc = static_cast<uint32_t>(crc32(0, f.data.data(), static_cast<uInt>(f.data.size())));
  Bytes& z = f.archive;
  const char name[] = "msg";
  Put32(z, 0x04034b50);
  Put16(z, 20); Put16(z, 0); Put16(z, method); Put16(z, 0); Put16(z, 0x21);
  Put32(z, crc); Put32(z, static_cast<uint32_t>(f.raw.size())); Put32(z, static_cast<uint32_t>(size));
  Put16(z, 3); Put16(z, 0);
  z.insert(z.end(), name, name + 3);
  z.insert(z.end(), f.raw.begin(), f.raw.end());
  const uint32_t cd = static_cast<uint32_t>(z.size());
  Put32(z, 0x02014b50);
  Put16(z, 20); Put16(z, 20); Put16(z, 0); Put16(z, method); Put16(z, 0); Put16(z, 0x21);
  Put32(z, crc); Put32(z, static_cast<uint32_t>(f.raw.size())); Put32(z, static_cast<uint32_t>(size));
  Put16(z, 3); Put16(z, 0); Put16(z, 0); Put16(z, 0); Put16(z, 0); Put32(z, 0x20); Put32(z, 0);
  z.insert(z.end(), name, name + 3);
  const uint32_t cdSize = static_cast<uint32_t>(z.size()) - cd;
  Put32(z, 0x06054b50);
  Put16(z, 0); Put16(z, 0); Put16(z, 1); Put16(z, 1); Put32(z, cdSize); Put32(z, cd); Put16(z, 0);
  return cache.emplace(std::make_pair(size, method), std::move(f)).first->second;
}

template <uint16_t kMethod>
void BM_ExtractEntry0(benchmark::State& state) {
  const Fixture& f = Get(static_cast<size_t>(state.range(0)), kMethod);
  Bytes input = f.archive;
  // The feed's sequence; the data is compared once, outside the timing.
  const auto extract = [&](Bytes* copy) {
    CUnzipMemFile in;
    CUnzipMemFile out;
    in.Attach(input.data(), static_cast<uint32_t>(input.size()));
    CUnzipArchive zip;
    zip.Open(in, CUnzipArchive::zipOpen);
    if (!zip.ExtractFile(0, out, true, 65536)) state.SkipWithError("extraction failed");
    zip.Close(false, false);
    const uint64_t n = out.GetLength();
    unsigned char* p = out.Detach();
    benchmark::DoNotOptimize(p);
    if (n != f.data.size()) state.SkipWithError("wrong length");
    if (copy) copy->assign(p, p + n);
    std::free(p);
  };
  Bytes first;
  extract(&first);
  if (first != f.data) state.SkipWithError("wrong data");
  for (auto _ : state) extract(nullptr);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_ZlibInflate(benchmark::State& state) {
  const Fixture& f = Get(static_cast<size_t>(state.range(0)));
  Bytes out(f.data.size());
  for (auto _ : state) {
    z_stream s{};
    inflateInit2(&s, -MAX_WBITS);
    s.next_in = const_cast<unsigned char*>(f.raw.data());
    s.avail_in = static_cast<uInt>(f.raw.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    if (inflate(&s, Z_FINISH) != Z_STREAM_END) state.SkipWithError("inflate failed");
    inflateEnd(&s);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// What a deflated entry must cost at least: the stream inflated in one go
// into a buffer allocated beforehand, and the CRC-32 of what came out.
void BM_ZlibInflateAndCrc(benchmark::State& state) {
  const Fixture& f = Get(static_cast<size_t>(state.range(0)));
  Bytes out(f.data.size());
  for (auto _ : state) {
    z_stream s{};
    inflateInit2(&s, -MAX_WBITS);
    s.next_in = const_cast<unsigned char*>(f.raw.data());
    s.avail_in = static_cast<uInt>(f.raw.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    if (inflate(&s, Z_FINISH) != Z_STREAM_END) state.SkipWithError("inflate failed");
    inflateEnd(&s);
    uLong crc = crc32(0, out.data(), static_cast<uInt>(out.size()));
    benchmark::DoNotOptimize(out.data());
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// What a stored entry must cost at least: its bytes copied out of the reply
// and their CRC-32 checked.
void BM_CopyAndCrc(benchmark::State& state) {
  const Fixture& f = Get(static_cast<size_t>(state.range(0)), kStored);
  // Source and target a cache line off a page's alignment from each other:
  // at the same offset within their pages, every store of the copy would
  // wait on the load of the same offset, and the reference would be slow
  // for a reason of its own.
  Bytes target(f.data.size() + 64);
  unsigned char* out = target.data() + 64;
  for (auto _ : state) {
    std::memcpy(out, f.raw.data(), f.raw.size());
    uLong crc = crc32(0, out, static_cast<uInt>(f.raw.size()));
    benchmark::DoNotOptimize(out);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// zlib doing by hand the work the reader must do: fed and drained in the
// reader's step sizes (131072 in, 65536 out, each step appended to a
// preallocated buffer), with or without the CRC-32 of every step. What
// separates these from plain inflate is the price of the steps and of the
// CRC check, which no reader of these archives can avoid.
template <bool kCrc>
void BM_ZlibInflateInSteps(benchmark::State& state) {
  const Fixture& f = Get(static_cast<size_t>(state.range(0)));
  Bytes out(f.data.size());
  Bytes step(65536);
  for (auto _ : state) {
    z_stream s{};
    inflateInit2(&s, -MAX_WBITS);
    size_t in = 0, done = 0;
    uLong crc = 0;
    int err = Z_OK;
    while (err == Z_OK) {
      if (s.avail_in == 0) {
        const size_t n = std::min<size_t>(131072, f.raw.size() - in);
        s.next_in = const_cast<unsigned char*>(f.raw.data() + in);
        s.avail_in = static_cast<uInt>(n);
        in += n;
      }
      s.next_out = step.data();
      s.avail_out = static_cast<uInt>(std::min<size_t>(step.size(), out.size() - done));
      const uInt before = s.avail_out;
      err = inflate(&s, Z_SYNC_FLUSH);
      if (kCrc) crc = crc32(crc, step.data(), before - s.avail_out);
      std::memcpy(out.data() + done, step.data(), before - s.avail_out);
      done += before - s.avail_out;
    }
    if (err != Z_STREAM_END) state.SkipWithError("inflate failed");
    inflateEnd(&s);
    benchmark::DoNotOptimize(out.data());
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

const int64_t kSizes[] = {1 << 10, 4 << 10, 16 << 10, 64 << 10, 1 << 20, 64 << 20};

void Sizes(benchmark::internal::Benchmark* b) {
  for (int64_t size : kSizes) b->Arg(size);
  b->Unit(benchmark::kMicrosecond);
}

BENCHMARK_TEMPLATE(BM_ExtractEntry0, kDeflated)->Apply(Sizes);
BENCHMARK(BM_ZlibInflateAndCrc)->Apply(Sizes);
BENCHMARK(BM_ZlibInflate)->Apply(Sizes);
BENCHMARK_TEMPLATE(BM_ExtractEntry0, kStored)->Apply(Sizes);
BENCHMARK(BM_CopyAndCrc)->Apply(Sizes);
BENCHMARK_TEMPLATE(BM_ZlibInflateInSteps, false)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_ZlibInflateInSteps, true)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  std::vector<orvbench::Comparison> ratios;
  for (int64_t size : kSizes) {
    const std::string arg = "/" + std::to_string(size);
    ratios.push_back({"BM_ExtractEntry0<kDeflated>" + arg, "BM_ZlibInflateAndCrc" + arg, 1.1});
    ratios.push_back({"BM_ExtractEntry0<kStored>" + arg, "BM_CopyAndCrc" + arg, 1.1});
  }
  return orvbench::RunBenchmarks(argc, argv, nullptr, std::move(ratios));
}
