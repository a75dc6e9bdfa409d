// Round trips of the object transport against a raw ping-pong of the same
// byte counts over a Unix socket pair, in the same run: what the transport
// adds on top of the two socket hops is the codec, the reference tables and
// the hand-over between the reader and the call threads.
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <thread>

#include "bench/BenchMain.h"
#include "TransportObjects.h"
#include "platform/com/rpc/Connection.h"

using namespace orvrpc;

namespace {

struct Remote {
  std::shared_ptr<Connection> server, client;
  IProbe* probe = nullptr;
  ICursor* cursor = nullptr;

  Remote() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    UniqueFd a, b;
    MakeSocketPair(&a, &b);
    auto* factory = new tobj::ProbeFactory();
    server = Connection::Start(std::move(a), factory, "bench server");
    factory->Release();
    client = Connection::Start(std::move(b), nullptr, "bench client");
    IClassFactory* cf = nullptr;
    client->GetRoot(IID_IClassFactory, reinterpret_cast<void**>(&cf));
    cf->CreateInstance(nullptr, IID_IProbe, reinterpret_cast<void**>(&probe));
    cf->Release();
    BSTR sym = SysAllocString(u"MSFT");
    probe->OpenCursor(sym, 27.5, enBid, &cursor);
    SysFreeString(sym);
  }
};

Remote& R() {
  static Remote* r = new Remote();
  return *r;
}

void ReadPrice() {
  DOUBLE price = 0;
  R().cursor->get_Price(&price);
  benchmark::DoNotOptimize(price);
}

struct TwentyOuts {
  BSTR s1 = nullptr, s2 = nullptr;
  LONG l1 = 0, l2 = 0;
  DOUBLE d1 = 0, d2 = 0;
  DATE t1 = 0, t2 = 0;
  SHORT i1 = 0, i2 = 0;
  VARIANT_BOOL b1 = 0, b2 = 0;
  FLOAT f1 = 0, f2 = 0;
  SideEnum e1 = enBid, e2 = enBid;
  VARIANT v1, v2;
  ICursor *c1 = nullptr, *c2 = nullptr;
  void Call() {
    VariantInit(&v1);
    VariantInit(&v2);
    R().probe->Twenty(7, &s1, &l1, &d1, &t1, &i1, &b1, &f1, &e1, &v1, &c1, &s2, &l2, &d2, &t2, &i2, &b2, &f2, &e2,
                      &v2, &c2);
    SysFreeString(s1);
    SysFreeString(s2);
    VariantClear(&v1);
    VariantClear(&v2);
    if (c1) c1->Release();
    if (c2) c2->Release();
  }
};

// The bytes one call puts on the wire each way.
std::pair<size_t, size_t> Measure(void (*call)()) {
  call();  // warm: proxies made, tables filled
  uint64_t out = R().client->BytesSent(), in = R().client->BytesReceived();
  call();
  // The release of a returned reference is one-way and may trail the reply.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return {size_t(R().client->BytesSent() - out), size_t(R().client->BytesReceived() - in)};
}

void BM_RemotePropertyRead(benchmark::State& state) {
  for (auto _ : state) ReadPrice();
}

void BM_RemoteTwentyOuts(benchmark::State& state) {
  TwentyOuts t;
  for (auto _ : state) t.Call();
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

// One thread answers each request of `request` bytes with `reply` bytes.
void BM_RawPingPong(benchmark::State& state) {
  size_t request = size_t(state.range(0)), reply = size_t(state.range(1));
  UniqueFd a, b;
  MakeSocketPair(&a, &b);
  std::thread echo([fd = b.Get(), request, reply] {
    std::string in(request, '\0'), out(reply, 'r');
    while (ReadFull(fd, &in[0], request))
      if (!SendAll(fd, out.data(), out.size())) break;
  });
  std::string out(request, 'q'), in(reply, '\0');
  for (auto _ : state) {
    SendAll(a.Get(), out.data(), out.size());
    ReadFull(a.Get(), &in[0], reply);
  }
  ::shutdown(a.Get(), SHUT_RDWR);
  echo.join();
}

}  // namespace

// The raw ping-pongs move the byte counts the transport's calls were
// measured to move.
int main(int argc, char** argv) {
  return orvbench::RunBenchmarks(argc, argv, [] {
    auto property = Measure(&ReadPrice);
    auto twenty = Measure([] { TwentyOuts().Call(); });
    std::printf("property read: %zu bytes out, %zu back; twenty [out] values: %zu out, %zu back\n",
                property.first, property.second, twenty.first, twenty.second);
    benchmark::RegisterBenchmark("RemotePropertyRead", BM_RemotePropertyRead)->UseRealTime();
    benchmark::RegisterBenchmark("RawPingPong/property", BM_RawPingPong)
        ->Args({int64_t(property.first), int64_t(property.second)})
        ->UseRealTime();
    benchmark::RegisterBenchmark("RemoteTwentyOuts", BM_RemoteTwentyOuts)->UseRealTime();
    benchmark::RegisterBenchmark("RawPingPong/twenty", BM_RawPingPong)
        ->Args({int64_t(twenty.first), int64_t(twenty.second)})
        ->UseRealTime();
  });
}
