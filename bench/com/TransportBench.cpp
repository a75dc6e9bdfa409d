// Round trips of the object transport against a raw ping-pong of the same
// byte counts over a Unix socket pair, in the same run: what the transport
// adds on top of the two socket hops is the codec, the reference tables and
// the hand-over between the reader and the call threads. Large strings and
// arrays are also timed against an ORB's echo of the same payload over a
// Unix socket, served by a child process forked before anything else runs.
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "EchoReference.hh"
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
std::pair<size_t, size_t> Measure(const std::function<void()>& call) {
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

// ---- large values -------------------------------------------------------------

// The payload sizes on the wire: a string of 32 Ki and 512 Ki UTF-16 units,
// an array of 8 Ki and 128 Ki doubles.
const size_t kLargeSizes[] = {64 << 10, 1 << 20};

struct LargeString {
  BSTR text;
  explicit LargeString(size_t bytes) {
    std::u16string s(bytes / 2, u'x');
    for (size_t i = 0; i < s.size(); ++i) s[i] = char16_t(u'a' + i % 26);
    text = SysAllocStringLen(s.data(), UINT(s.size()));
  }
  ~LargeString() { SysFreeString(text); }
  void Call() const {
    VARIANT_BOOL wasNull = VARIANT_FALSE;
    BSTR copy = nullptr;
    R().probe->Echo(text, &wasNull, &copy);
    benchmark::DoNotOptimize(copy);
    SysFreeString(copy);
  }
};

struct LargeArray {
  VARIANT value;
  explicit LargeArray(size_t bytes) {
    VariantInit(&value);
    value.vt = VT_ARRAY | VT_R8;
    value.parray = SafeArrayCreateVector(VT_R8, 0, ULONG(bytes / sizeof(double)));
    double* d = nullptr;
    SafeArrayAccessData(value.parray, reinterpret_cast<void**>(&d));
    for (size_t i = 0; i < bytes / sizeof(double); ++i) d[i] = double(i) * 0.25;
    SafeArrayUnaccessData(value.parray);
  }
  ~LargeArray() { VariantClear(&value); }
  void Call() const {
    VARIANT copy;
    VariantInit(&copy);
    R().probe->EchoValue(value, &copy);
    benchmark::DoNotOptimize(copy.parray);
    VariantClear(&copy);
  }
};

void BM_RemoteEchoString(benchmark::State& state) {
  LargeString s(size_t(state.range(0)));
  for (auto _ : state) s.Call();
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0) * 2);
}

void BM_RemoteEchoArray(benchmark::State& state) {
  LargeArray a(size_t(state.range(0)));
  for (auto _ : state) a.Call();
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0) * 2);
}

// ---- the ORB reference ----------------------------------------------------------

class EchoServant final : public POA_orvbench::EchoReference {
 public:
  char* echoString(const char* s) override { return CORBA::string_dup(s); }
  orvbench::Doubles* echoDoubles(const orvbench::Doubles& d) override { return new orvbench::Doubles(d); }
};

// Large enough for the biggest payload each way.
const char* kOrbMaxMessage = "67108864";

struct OrbReference {
  pid_t child = -1;
  std::string socketDir;
  std::string ior;
  CORBA::ORB_var orb;
  orvbench::EchoReference_var echo;

  ~OrbReference() {
    echo = orvbench::EchoReference::_nil();
    if (!CORBA::is_nil(orb)) orb->destroy();
    if (child > 0) {
      ::kill(child, SIGTERM);
      ::waitpid(child, nullptr, 0);
    }
    if (!socketDir.empty()) {
      ::unlink((socketDir + "/orb").c_str());
      ::rmdir(socketDir.c_str());
    }
  }
};

OrbReference* g_orb = nullptr;

// Forks the ORB's server; the child serves until it is told to stop or
// its parent goes. Runs before any thread exists.
void StartOrbServer() {
  char dir[] = "/tmp/orvbench-orb-XXXXXX";
  if (!::mkdtemp(dir)) return;
  int fds[2];
  if (::pipe(fds) != 0) return;
  std::string endpoint = std::string("giop:unix:") + dir + "/orb";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::close(fds[0]);
    const char* args[] = {"bench_transport_orb", "-ORBendPoint", endpoint.c_str(), "-ORBgiopMaxMsgSize",
                          kOrbMaxMessage, nullptr};
    int argc = 5;
    CORBA::ORB_var orb = CORBA::ORB_init(argc, const_cast<char**>(args));
    CORBA::Object_var poaObj = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(poaObj);
    auto* servant = new EchoServant();
    PortableServer::ObjectId_var id = poa->activate_object(servant);
    CORBA::Object_var ref = poa->id_to_reference(id);
    CORBA::String_var text = orb->object_to_string(ref);
    poa->the_POAManager()->activate();
    std::string line = std::string(text) + "\n";
    if (::write(fds[1], line.data(), line.size()) != ssize_t(line.size())) ::_exit(1);
    ::close(fds[1]);
    orb->run();
    ::_exit(0);
  }
  ::close(fds[1]);
  g_orb = new OrbReference();
  g_orb->child = pid;
  g_orb->socketDir = dir;
  char c;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') g_orb->ior.push_back(c);
  ::close(fds[0]);
}

bool ConnectOrb() {
  if (!g_orb || g_orb->ior.empty()) return false;
  const char* args[] = {"bench_transport", "-ORBgiopMaxMsgSize", kOrbMaxMessage, nullptr};
  int argc = 3;
  g_orb->orb = CORBA::ORB_init(argc, const_cast<char**>(args));
  CORBA::Object_var obj = g_orb->orb->string_to_object(g_orb->ior.c_str());
  g_orb->echo = orvbench::EchoReference::_narrow(obj);
  return !CORBA::is_nil(g_orb->echo);
}

void BM_OrbEchoString(benchmark::State& state) {
  size_t n = size_t(state.range(0));
  CORBA::String_var text = CORBA::string_alloc(CORBA::ULong(n));
  for (size_t i = 0; i < n; ++i) text[CORBA::ULong(i)] = char('a' + i % 26);
  text[CORBA::ULong(n)] = 0;
  for (auto _ : state) {
    CORBA::String_var copy = g_orb->echo->echoString(text);
    benchmark::DoNotOptimize(copy.in());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0) * 2);
}

void BM_OrbEchoArray(benchmark::State& state) {
  orvbench::Doubles d;
  d.length(CORBA::ULong(size_t(state.range(0)) / sizeof(double)));
  for (CORBA::ULong i = 0; i < d.length(); ++i) d[i] = double(i) * 0.25;
  for (auto _ : state) {
    orvbench::Doubles_var copy = g_orb->echo->echoDoubles(d);
    benchmark::DoNotOptimize(copy->length());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0) * 2);
}

}  // namespace

// The raw ping-pongs move the byte counts the transport's calls were
// measured to move.
int main(int argc, char** argv) {
  StartOrbServer();
  int rc = orvbench::RunBenchmarks(argc, argv, [] {
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
    // Each large value with its two references beside it: the same bytes
    // through the ORB, and the transport's own byte counts as a raw
    // ping-pong.
    bool orb = ConnectOrb();
    if (!orb) std::printf("ORB reference unavailable: large values are timed against the raw exchange only\n");
    for (size_t bytes : kLargeSizes) {
      auto str = Measure([bytes] { LargeString(bytes).Call(); });
      auto arr = Measure([bytes] { LargeArray(bytes).Call(); });
      std::printf("%zu-byte string: %zu bytes out, %zu back; %zu-byte array: %zu out, %zu back\n", bytes,
                  str.first, str.second, bytes, arr.first, arr.second);
      benchmark::RegisterBenchmark("RemoteEchoString", BM_RemoteEchoString)->Arg(int64_t(bytes))->UseRealTime();
      if (orb) benchmark::RegisterBenchmark("OrbEchoString", BM_OrbEchoString)->Arg(int64_t(bytes))->UseRealTime();
      benchmark::RegisterBenchmark("RawPingPong/string", BM_RawPingPong)
          ->Args({int64_t(str.first), int64_t(str.second)})
          ->UseRealTime();
      benchmark::RegisterBenchmark("RemoteEchoArray", BM_RemoteEchoArray)->Arg(int64_t(bytes))->UseRealTime();
      if (orb) benchmark::RegisterBenchmark("OrbEchoArray", BM_OrbEchoArray)->Arg(int64_t(bytes))->UseRealTime();
      benchmark::RegisterBenchmark("RawPingPong/array", BM_RawPingPong)
          ->Args({int64_t(arr.first), int64_t(arr.second)})
          ->UseRealTime();
    }
  });
  delete g_orb;
  return rc;
}
