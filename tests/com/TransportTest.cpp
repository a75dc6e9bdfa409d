// Two runtimes in one process over a socket pair: the server side holds
// real objects, the client side only proxies, so everything the client does
// travels through the codec, the reference tables and the call threads.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TransportObjects.h"
#include "platform/com/rpc/CallLimits.h"
#include "platform/com/rpc/Connection.h"
#include "platform/com/rpc/ProxyManager.h"
#include "tests/sys/FaultySyscalls.h"

using namespace orvrpc;
using namespace std::chrono_literals;

namespace {

// Polls for a condition that another thread brings about (a release is a
// one-way message, so its effect lands a moment after the call returns).
template <class F>
bool Eventually(F f, std::chrono::milliseconds limit = 5000ms) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!f()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

std::u16string Str(BSTR b) { return b ? std::u16string(b, SysStringLen(b)) : u"<null>"; }

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    base_ = tobj::Live().load();
    UniqueFd a, b;
    ASSERT_TRUE(MakeSocketPair(&a, &b));
    tobj::ProbeFactory* factory = new tobj::ProbeFactory();
    server_ = Connection::Start(std::move(a), factory, "server side");
    factory->Release();
    client_ = Connection::Start(std::move(b), nullptr, "client side");
    IClassFactory* cf = nullptr;
    ASSERT_EQ(S_OK, client_->GetRoot(IID_IClassFactory, reinterpret_cast<void**>(&cf)));
    ASSERT_EQ(S_OK, cf->CreateInstance(nullptr, IID_IProbe, reinterpret_cast<void**>(&probe_)));
    cf->Release();
    ASSERT_EQ(nullptr, dynamic_cast<tobj::Probe*>(probe_)) << "the client must hold a proxy";
  }
  void TearDown() override {
    if (probe_) probe_->Release();
    client_->Close();
    server_->Close();
    EXPECT_TRUE(client_->WaitClosed(5s));
    EXPECT_TRUE(server_->WaitClosed(5s));
    EXPECT_TRUE(Eventually([&] { return tobj::Live().load() == base_; })) << "objects left behind";
    CoUninitialize();
  }
  long Live() { return tobj::Live().load() - base_; }

  long base_ = 0;
  std::shared_ptr<Connection> server_, client_;
  IProbe* probe_ = nullptr;
};

TEST_F(TransportTest, StringsKeepNullApartFromEmpty) {
  struct Case {
    const char* name;
    BSTR in;
    bool null;
  } cases[] = {
      {"null", nullptr, true},
      {"empty", SysAllocStringLen(u"", 0), false},
      {"text", SysAllocString(u"MSFT"), false},
      {"embedded nul", SysAllocStringLen(u"a\0b", 3), false},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    VARIANT_BOOL wasNull = 7;
    BSTR copy = SysAllocString(u"stale");
    BSTR stale = copy;
    ASSERT_EQ(S_OK, probe_->Echo(c.in, &wasNull, &copy));
    EXPECT_EQ(c.null ? VARIANT_TRUE : VARIANT_FALSE, wasNull);
    EXPECT_EQ(c.null, copy == nullptr);
    EXPECT_EQ(Str(c.in), Str(copy));
    SysFreeString(copy);
    SysFreeString(stale);
    SysFreeString(c.in);
  }
}

TEST_F(TransportTest, TwentyOutValuesInOneCall) {
  BSTR s1 = nullptr, s2 = SysAllocString(u"x");
  BSTR s2Before = s2;
  LONG l1 = 0, l2 = 0;
  DOUBLE d1 = 0, d2 = 0;
  DATE t1 = 0, t2 = 1;
  SHORT i1 = 0, i2 = 0;
  VARIANT_BOOL b1 = 0, b2 = 1;
  FLOAT f1 = 0, f2 = 0;
  SideEnum e1 = SideEnum(0), e2 = SideEnum(0);
  VARIANT v1, v2;
  VariantInit(&v1);
  VariantInit(&v2);
  ICursor *c1 = nullptr, *c2 = reinterpret_cast<ICursor*>(&s1);
  ASSERT_EQ(S_OK, probe_->Twenty(41, &s1, &l1, &d1, &t1, &i1, &b1, &f1, &e1, &v1, &c1, &s2, &l2, &d2, &t2, &i2,
                                 &b2, &f2, &e2, &v2, &c2));
  EXPECT_EQ(u"s41", Str(s1));
  EXPECT_EQ(41, l1);
  EXPECT_EQ(41.5, d1);
  EXPECT_EQ(45041.25, t1);
  EXPECT_EQ(41, i1);
  EXPECT_EQ(VARIANT_TRUE, b1);
  EXPECT_EQ(1.25f, f1);
  EXPECT_EQ(enAsk, e1);
  ASSERT_EQ(VT_BSTR, v1.vt);
  EXPECT_EQ(u"variant", Str(v1.bstrVal));
  ASSERT_NE(nullptr, c1);
  BSTR sym = nullptr;
  ASSERT_EQ(S_OK, c1->get_Symbol(&sym));
  EXPECT_EQ(u"C41", Str(sym));
  EXPECT_EQ(nullptr, s2) << "a null string stays null";
  EXPECT_EQ(-41, l2);
  EXPECT_EQ(-0.125, d2);
  EXPECT_EQ(0, t2);
  EXPECT_EQ(-1, i2);
  EXPECT_EQ(VARIANT_FALSE, b2);
  EXPECT_EQ(-2.5f, f2);
  EXPECT_EQ(enBid, e2);
  ASSERT_EQ(VT_I4, v2.vt);
  EXPECT_EQ(123, v2.lVal);
  EXPECT_EQ(nullptr, c2) << "a null interface stays null";
  SysFreeString(sym);
  SysFreeString(s1);
  SysFreeString(s2Before);
  VariantClear(&v1);
  c1->Release();
}

TEST_F(TransportTest, ArraysDatesAndEnumsCrossTypedAndByDispid) {
  SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, 5, 3);
  BSTR items[] = {SysAllocString(u"a"), nullptr, SysAllocStringLen(u"", 0)};
  for (LONG i = 0; i < 3; ++i) {
    LONG at = 5 + i;
    SafeArrayPutElement(sa, &at, items[i]);
  }
  VARIANT list;
  VariantInit(&list);
  list.vt = VT_ARRAY | VT_BSTR;
  list.parray = sa;

  auto check = [](const VARIANT& r) {
    ASSERT_EQ(VT_ARRAY | VT_BSTR, r.vt);
    LONG lb = 0, ub = 0;
    SafeArrayGetLBound(r.parray, 1, &lb);
    SafeArrayGetUBound(r.parray, 1, &ub);
    EXPECT_EQ(5, lb);
    EXPECT_EQ(7, ub);
    BSTR got[3] = {};
    for (LONG i = 5; i <= 7; ++i) SafeArrayGetElement(r.parray, &i, &got[i - 5]);
    EXPECT_EQ(u"", Str(got[0]));
    EXPECT_NE(nullptr, got[0]);
    EXPECT_EQ(nullptr, got[1]);
    EXPECT_EQ(u"a", Str(got[2]));
    for (BSTR b : got) SysFreeString(b);
  };

  VARIANT typed;
  VariantInit(&typed);
  ASSERT_EQ(S_OK, probe_->Reverse(list, &typed));
  check(typed);
  VariantClear(&typed);

  // The same member through IDispatch::Invoke by DISPID.
  VARIANT byDispid;
  VariantInit(&byDispid);
  DISPPARAMS dp{&list, nullptr, 1, 0};
  ASSERT_EQ(S_OK, probe_->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &dp, &byDispid, nullptr, nullptr));
  check(byDispid);
  VariantClear(&byDispid);
  VariantClear(&list);
  for (BSTR b : items) SysFreeString(b);

  DATE after = 0;
  ASSERT_EQ(S_OK, probe_->Stamp(45000.5, &after));
  EXPECT_EQ(45001.5, after);

  ICursor* c = nullptr;
  BSTR sym = SysAllocString(u"IBM");
  ASSERT_EQ(S_OK, probe_->OpenCursor(sym, 101.5, enAsk, &c));
  SysFreeString(sym);
  SideEnum side = enBid;
  ASSERT_EQ(S_OK, c->get_Side(&side));
  EXPECT_EQ(enAsk, side);
  // A property read by name, as a late-bound client does it.
  LPOLESTR name = const_cast<LPOLESTR>(u"price");
  DISPID id = 0;
  ASSERT_EQ(S_OK, c->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
  EXPECT_EQ(2, id);
  VARIANT price;
  VariantInit(&price);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  ASSERT_EQ(S_OK, c->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &price, nullptr, nullptr));
  EXPECT_EQ(VT_R8, price.vt);
  EXPECT_EQ(101.5, price.dblVal);
  c->Release();
}

// Strings and arrays of numbers travel as blocks, read into buffers that
// are reused from one large message to the next: at sizes on either side
// of where a body gets its own buffer, and up to a megabyte, each value
// comes back as it went, whatever larger value went before it.
TEST_F(TransportTest, StringsAndArraysOfManySizesComeBackAsTheyWent) {
  const size_t units[] = {0, 1, kLargeBody / 2 - 40, kLargeBody / 2, kLargeBody / 2 + 40, 100003, 524288, 7};
  for (size_t n : units) {
    SCOPED_TRACE(n);
    std::u16string text(n, u'\0');
    for (size_t i = 0; i < n; ++i) text[i] = char16_t(0xD7FF - (i * 37 + n) % 0xD000);
    BSTR in = SysAllocStringLen(text.data(), UINT(n));
    VARIANT_BOOL wasNull = VARIANT_TRUE;
    BSTR copy = nullptr;
    ASSERT_EQ(S_OK, probe_->Echo(in, &wasNull, &copy));
    EXPECT_EQ(VARIANT_FALSE, wasNull);
    ASSERT_NE(nullptr, copy);
    EXPECT_TRUE(text == Str(copy)) << "string differs";
    SysFreeString(copy);
    SysFreeString(in);
  }

  struct Kind {
    VARTYPE vt;
    size_t width;
  } kinds[] = {{VT_UI1, 1}, {VT_I2, 2}, {VT_BOOL, 2}, {VT_I4, 4}, {VT_R4, 4}, {VT_ERROR, 4}, {VT_R8, 8}, {VT_DATE, 8}};
  const size_t bytes[] = {0, 8, kLargeBody - 64, kLargeBody + 64, 1 << 20, 40};
  for (const Kind& k : kinds) {
    for (size_t b : bytes) {
      SCOPED_TRACE(testing::Message() << "vt " << k.vt << ", " << b << " bytes");
      ULONG count = ULONG(b / k.width);
      VARIANT in;
      VariantInit(&in);
      in.vt = VARTYPE(VT_ARRAY | k.vt);
      in.parray = SafeArrayCreateVector(k.vt, -3, count);
      uint8_t* data = nullptr;
      SafeArrayAccessData(in.parray, reinterpret_cast<void**>(&data));
      for (size_t i = 0; i < size_t(count) * k.width; ++i) data[i] = uint8_t((i * 13 + b) % 253);
      SafeArrayUnaccessData(in.parray);
      VARIANT out;
      VariantInit(&out);
      ASSERT_EQ(S_OK, probe_->EchoValue(in, &out));
      ASSERT_EQ(in.vt, out.vt);
      ASSERT_NE(nullptr, out.parray);
      LONG lb = 0, ub = 0;
      SafeArrayGetLBound(out.parray, 1, &lb);
      SafeArrayGetUBound(out.parray, 1, &ub);
      EXPECT_EQ(-3, lb);
      EXPECT_EQ(LONG(count) - 4, ub);
      uint8_t* got = nullptr;
      SafeArrayAccessData(out.parray, reinterpret_cast<void**>(&got));
      EXPECT_TRUE(count == 0 || std::memcmp(data, got, size_t(count) * k.width) == 0) << "elements differ";
      SafeArrayUnaccessData(out.parray);
      VariantClear(&out);
      VariantClear(&in);
    }
  }
}

// A read that fails while a large body is half in: the connection ends as
// on the peer's death, the call fails instead of waiting, and nothing the
// client held stays behind.
TEST_F(TransportTest, AReadThatFailsInTheMiddleOfALargeBodyEndsTheConnection) {
  static std::atomic<long> budget{0};
  static std::atomic<unsigned> failed{0};
  static const orvsys::Syscalls table = [] {
    orvsys::Syscalls t = orvsys::RealSyscalls();
    t.read = [](int fd, void* data, size_t size) -> ssize_t {
      if (budget.load() <= 0) {
        ++failed;
        errno = ECONNRESET;
        return -1;
      }
      ssize_t n = ::read(fd, data, std::min<size_t>(size, size_t(budget.load())));
      if (n > 0) budget -= n;
      return n;
    };
    return t;
  }();
  ICursor* cursor = nullptr;
  BSTR sym = SysAllocString(u"X");
  ASSERT_EQ(S_OK, probe_->OpenCursor(sym, 1, enBid, &cursor));
  SysFreeString(sym);
  std::u16string text(150000, u'q');
  BSTR in = SysAllocStringLen(text.data(), UINT(text.size()));
  HRESULT hr = S_OK;
  {
    budget = 100000;
    failed = 0;
    orvsys::ScopedSyscalls use(&table);
    CallTimeoutScope bound(10s);
    VARIANT_BOOL wasNull = VARIANT_TRUE;
    BSTR copy = nullptr;
    hr = probe_->Echo(in, &wasNull, &copy);
    EXPECT_EQ(nullptr, copy);
    ASSERT_TRUE(server_->WaitClosed(5s));
  }
  EXPECT_EQ(RPC_E_DISCONNECTED, hr);
  EXPECT_GT(failed.load(), 0u);
  ASSERT_TRUE(client_->WaitClosed(5s));
  EXPECT_TRUE(Eventually([&] { return Live() == 0; })) << "the server still holds the lost client's objects";
  SysFreeString(in);
  cursor->Release();
}

TEST_F(TransportTest, FailingCallsBringTheirErrorInformationAndWriteNoOuts) {
  BSTR text = SysAllocString(u"symbol not supported");
  LONG untouched = -1;
  EXPECT_EQ(tobj::kProbeError, probe_->Fail(text, &untouched));
  EXPECT_EQ(-1, untouched);
  IErrorInfo* info = nullptr;
  ASSERT_EQ(S_OK, GetErrorInfo(0, &info));
  BSTR description = nullptr, source = nullptr;
  info->GetDescription(&description);
  info->GetSource(&source);
  EXPECT_EQ(u"symbol not supported", Str(description));
  EXPECT_EQ(u"Probe", Str(source));
  SysFreeString(description);
  SysFreeString(source);
  info->Release();

  // The raising wrapper asks the proxy for ISupportErrorInfo, which crosses
  // too, and the error object must survive that.
  IProbePtr probe(probe_);
  try {
    probe->Fail(text, &untouched);
    ADD_FAILURE() << "no _com_error";
  } catch (const _com_error& e) {
    EXPECT_EQ(tobj::kProbeError, e.Error());
    EXPECT_EQ(u"symbol not supported", Str(e.Description()));
    EXPECT_EQ(u"Probe", Str(e.Source()));
  }

  // By DISPID with an EXCEPINFO.
  VARIANT args[2];
  LONG out = -1;
  args[0].vt = VT_BYREF | VT_I4;
  args[0].plVal = &out;
  args[1].vt = VT_BSTR;
  args[1].bstrVal = text;
  DISPPARAMS dp{args, nullptr, 2, 0};
  EXCEPINFO ei{};
  EXPECT_EQ(DISP_E_EXCEPTION, probe_->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &dp, nullptr, &ei, nullptr));
  EXPECT_EQ(tobj::kProbeError, ei.scode);
  EXPECT_EQ(u"symbol not supported", Str(ei.bstrDescription));
  EXPECT_EQ(-1, out);
  SysFreeString(ei.bstrDescription);
  SysFreeString(ei.bstrSource);
  SysFreeString(ei.bstrHelpFile);
  SysFreeString(text);
}

TEST_F(TransportTest, ReferencesKeepIdentityAndAreCountedAcrossTheWire) {
  BSTR sym = SysAllocString(u"IBM");
  ICursor *a = nullptr, *b = nullptr;
  ASSERT_EQ(S_OK, probe_->OpenCursor(sym, 1, enBid, &a));
  ASSERT_EQ(S_OK, probe_->OpenCursor(sym, 1, enBid, &b));
  EXPECT_EQ(a, b) << "one proxy per object";
  // QueryInterface crosses and comes back to the same identity.
  IDispatch* d = nullptr;
  ASSERT_EQ(S_OK, a->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d)));
  ICursor* again = nullptr;
  ASSERT_EQ(S_OK, d->QueryInterface(IID_ICursor, reinterpret_cast<void**>(&again)));
  EXPECT_EQ(a, again);
  IUnknown *u1 = nullptr, *u2 = nullptr;
  a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&u1));
  d->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&u2));
  EXPECT_EQ(u1, u2);
  IProbe* wrong = nullptr;
  EXPECT_EQ(E_NOINTERFACE, a->QueryInterface(IID_IProbe, reinterpret_cast<void**>(&wrong)));
  // Handed back, the proxy arrives as the server's own object.
  VARIANT_BOOL mine = VARIANT_FALSE;
  ASSERT_EQ(S_OK, probe_->IsMine(a, &mine));
  EXPECT_EQ(VARIANT_TRUE, mine);
  // The probe and the cursor; the class factory's release, made outside
  // any call, may still be on its way.
  EXPECT_TRUE(Eventually([&] { return server_->ExportCount() == 2; }));
  // Three references came over (two opens and a QueryInterface); they go
  // back in a single release frame when the last local one goes.
  uint64_t before = client_->BytesSent();
  for (IUnknown* p : {static_cast<IUnknown*>(a), static_cast<IUnknown*>(b), static_cast<IUnknown*>(d),
                      static_cast<IUnknown*>(again), u1, u2})
    p->Release();
  EXPECT_EQ(kFrameHeaderSize + 12, client_->BytesSent() - before);
  EXPECT_TRUE(Eventually([&] { return server_->ExportCount() == 1; })) << "cursor references not all given back";
  EXPECT_EQ(1u, client_->ImportCount());
  SysFreeString(sym);
  probe_->Release();
  probe_ = nullptr;
  EXPECT_TRUE(Eventually([&] { return server_->ExportCount() == 0 && Live() == 0; }));
}

TEST_F(TransportTest, AServedObjectThatThrowsIsAServerFaultAndTheServerGoesOn) {
  IClassFactory* cf = nullptr;
  ASSERT_EQ(S_OK, client_->GetRoot(IID_IClassFactory, reinterpret_cast<void**>(&cf)));
  for (const IID* iid : {&IID_ICursor, &IID_ICallback}) {
    IUnknown* p = nullptr;
    EXPECT_EQ(RPC_E_SERVERFAULT, cf->CreateInstance(nullptr, *iid, reinterpret_cast<void**>(&p)));
    EXPECT_EQ(nullptr, p);
  }
  cf->Release();
  LONG pid = 0;
  EXPECT_EQ(S_OK, probe_->get_Pid(&pid)) << "the connection must stay open";
  EXPECT_FALSE(server_->IsClosed());
}

// The peer's LockServer is its own: it cannot unlock what it did not lock,
// and what it locked is unlocked when it goes.
TEST_F(TransportTest, LockServerIsCountedPerConnectionAndEndsWithIt) {
  const long before = tobj::ServerLocks().load();
  IClassFactory* cf = nullptr;
  ASSERT_EQ(S_OK, client_->GetRoot(IID_IClassFactory, reinterpret_cast<void**>(&cf)));
  EXPECT_EQ(E_UNEXPECTED, cf->LockServer(FALSE)) << "an unlock without a lock";
  EXPECT_EQ(before, tobj::ServerLocks().load());
  EXPECT_EQ(S_OK, cf->LockServer(TRUE));
  EXPECT_EQ(S_OK, cf->LockServer(TRUE));
  EXPECT_EQ(S_OK, cf->LockServer(FALSE));
  EXPECT_EQ(before + 1, tobj::ServerLocks().load());
  cf->Release();
  client_->Close();
  ASSERT_TRUE(server_->WaitClosed(5s));
  EXPECT_EQ(before, tobj::ServerLocks().load()) << "the dead peer's lock stays";
}

TEST_F(TransportTest, ClosingAConnectionReleasesWhatThePeerHeldAndFailsItsCalls) {
  ICursor* c = nullptr;
  BSTR sym = SysAllocString(u"X");
  ASSERT_EQ(S_OK, probe_->OpenCursor(sym, 1, enBid, &c));
  SysFreeString(sym);
  EXPECT_EQ(2, Live());
  client_->Close();
  ASSERT_TRUE(server_->WaitClosed(5s));
  EXPECT_EQ(0, Live()) << "the server must drop the dead peer's references at once";
  ASSERT_TRUE(client_->WaitClosed(5s));
  LONG pid = 0;
  EXPECT_EQ(kServerUnavailable, probe_->get_Pid(&pid));
  DOUBLE price = 0;
  EXPECT_EQ(kServerUnavailable, c->get_Price(&price));
  c->Release();
}

// A call that is still running when its caller goes: the object it hands
// back must not stay referenced by the dead connection.
TEST_F(TransportTest, AReplyMadeAfterThePeerWentKeepsNoReference) {
  auto call = std::async(std::launch::async, [this] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ICursor* c = nullptr;
    HRESULT hr = probe_->Later(300, &c);
    CoUninitialize();
    return hr;
  });
  ASSERT_TRUE(Eventually([&] { return Live() == 2; }));  // the call has made its cursor
  client_->Close();
  EXPECT_EQ(RPC_E_DISCONNECTED, call.get());
  ASSERT_TRUE(server_->WaitClosed(5s));
  EXPECT_TRUE(Eventually([&] { return Live() == 0; })) << "the late cursor lives on";
}

TEST_F(TransportTest, NestedCallbacksUnderLoadNeverDeadlock) {
  tobj::Callback* cb = new tobj::Callback();
  constexpr int kThreads = 8, kRounds = 10, kDepth = 6;
  std::vector<std::future<int>> done;
  for (int t = 0; t < kThreads; ++t) {
    done.push_back(std::async(std::launch::async, [&] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      int good = 0;
      for (int i = 0; i < kRounds; ++i) {
        LONG calls = 0;
        if (probe_->Nest(cb, kDepth, &calls) == S_OK && calls == kDepth + 1) ++good;
      }
      CoUninitialize();
      return good;
    }));
  }
  for (auto& f : done) {
    ASSERT_EQ(std::future_status::ready, f.wait_for(30s)) << "nested calls stuck";
    EXPECT_EQ(kRounds, f.get());
  }
  cb->Release();

  // Events: the server calls the client's sink by DISPID, and the handler
  // calls back into the cursor the event carries.
  IConnectionPointContainer* cpc = nullptr;
  ASSERT_EQ(S_OK, probe_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)));
  IConnectionPoint* cp = nullptr;
  ASSERT_EQ(S_OK, cpc->FindConnectionPoint(DIID__IProbeEvents, &cp));
  IID iid = GUID_NULL;
  ASSERT_EQ(S_OK, cp->GetConnectionInterface(&iid));
  EXPECT_EQ(DIID__IProbeEvents, iid);
  tobj::EventSink* sink = new tobj::EventSink();
  DWORD cookie = 0;
  ASSERT_EQ(S_OK, cp->Advise(sink, &cookie));
  LONG handled = 0;
  ASSERT_EQ(S_OK, probe_->Fire(3, &handled));
  EXPECT_EQ(3, handled);
  EXPECT_EQ((std::vector<std::string>{"T0", "T1", "T2"}), sink->Seen());
  EXPECT_EQ(S_OK, cp->Unadvise(cookie));
  ASSERT_EQ(S_OK, probe_->Fire(1, &handled));
  EXPECT_EQ(0, handled);
  cp->Release();
  cpc->Release();
  EXPECT_TRUE(Eventually([&] { return client_->ExportCount() == 0; })) << "sink still referenced";
  sink->Release();
}

// A sink whose life its owner decides, as the client's event sinks: it is
// freed right after Unadvise returns, so by then the transport must have
// dropped its last use of it. It keeps a count only to see when every
// reference handed out has come back.
class UncountedSink final : public IDispatch {
 public:
  std::atomic<bool> freed{false}, usedAfterFree{false};
  std::atomic<int> held{0};
  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
    *ppv = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != DIID__IProbeEvents) return E_NOINTERFACE;
    *ppv = static_cast<IDispatch*>(this);
    ++held;
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override {
    ++held;
    return 1;
  }
  STDMETHODIMP_(ULONG) Release() override {
    std::this_thread::sleep_for(5ms);  // a release that takes its time
    if (freed) usedAfterFree = true;
    --held;
    return 1;
  }
  STDMETHODIMP GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    if (freed) usedAfterFree = true;
    return S_OK;
  }
};

// A callback that, asked with a depth above zero, waits until the test
// opens it, and notes the thread every call ran on.
class Gate final : public tobj::Object<ICallback> {
 public:
  std::promise<void> entered;
  std::shared_future<void> open;
  std::mutex mu;
  std::vector<std::thread::id> threads;
  STDMETHODIMP Back(IProbe*, LONG depth, LONG* calls) override {
    {
      std::lock_guard<std::mutex> lock(mu);
      threads.push_back(std::this_thread::get_id());
    }
    if (depth > 0) {
      entered.set_value();
      open.wait();
    }
    *calls = 1;
    return S_OK;
  }
};

// While a caller waits for its reply, the peer's unrelated call comes in on
// the same connection: it runs on a call thread, never on the waiting
// caller, and its own reply is not held up by the wait.
TEST_F(TransportTest, AWaitingCallerIsNotReenteredByAnUnrelatedCall) {
  Gate* gate = new Gate();
  Gate* other = new Gate();
  std::promise<void> open;
  gate->open = open.get_future().share();
  std::promise<std::thread::id> waiterId;
  auto waiting = std::async(std::launch::async, [&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    waiterId.set_value(std::this_thread::get_id());
    LONG calls = 0;
    HRESULT hr = probe_->Nest(gate, 2, &calls);
    CoUninitialize();
    return hr;
  });
  ASSERT_EQ(std::future_status::ready, gate->entered.get_future().wait_for(10s));
  auto unrelated = std::async(std::launch::async, [&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    LONG calls = 0;
    HRESULT hr = probe_->Nest(other, 1, &calls);
    CoUninitialize();
    return SUCCEEDED(hr) ? calls : -1;
  });
  bool passed = unrelated.wait_for(10s) == std::future_status::ready;
  open.set_value();
  EXPECT_TRUE(passed) << "a call on the connection waited for an unrelated one";
  EXPECT_EQ(2, unrelated.get());
  EXPECT_EQ(S_OK, waiting.get());
  std::thread::id waiter = waiterId.get_future().get();
  ASSERT_EQ(1u, other->threads.size());
  EXPECT_NE(waiter, other->threads[0]);
  EXPECT_NE(waiter, gate->threads.at(0));
  EXPECT_TRUE(Eventually([&] { return client_->ExportCount() == 0; }));
  gate->Release();
  other->Release();
}

// A request that blocks on something other than the transport (a lock, a
// wait) while the thread that read it runs it: the connection's next
// request must still be read and answered.
TEST(TransportBlockingTest, ARequestThatBlocksHoldsUpNoOtherCallOnItsConnection) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  UniqueFd a, b;
  ASSERT_TRUE(MakeSocketPair(&a, &b));
  Gate* gate = new Gate();
  std::promise<void> open;
  gate->open = open.get_future().share();
  auto server = Connection::Start(std::move(a), gate, "gate server");
  auto client = Connection::Start(std::move(b), nullptr, "gate client");
  ICallback* remote = nullptr;
  ASSERT_EQ(S_OK, client->GetRoot(IID_ICallback, reinterpret_cast<void**>(&remote)));
  auto held = std::async(std::launch::async, [&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    LONG calls = 0;
    HRESULT hr = remote->Back(nullptr, 1, &calls);
    CoUninitialize();
    return hr;
  });
  ASSERT_EQ(std::future_status::ready, gate->entered.get_future().wait_for(10s));
  auto next = std::async(std::launch::async, [&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    LONG calls = 0;
    HRESULT hr = remote->Back(nullptr, 0, &calls);
    CoUninitialize();
    return SUCCEEDED(hr) ? calls : -1;
  });
  bool passed = next.wait_for(10s) == std::future_status::ready;
  open.set_value();
  EXPECT_TRUE(passed) << "the connection was not read while a request blocked";
  EXPECT_EQ(1, next.get());
  EXPECT_EQ(S_OK, held.get());
  remote->Release();
  gate->Release();
  client->Close();
  EXPECT_TRUE(client->WaitClosed(5s));
  EXPECT_TRUE(server->WaitClosed(5s));
  CoUninitialize();
}

// The server's side of a callback into it: its call waits (for a lock of
// the server's, as a client's handler that calls back in may), marked as
// the peer waiting on us or not.
class ServerWait final : public tobj::Object<ICallback> {
 public:
  std::chrono::milliseconds wait{0};
  bool marked = true;
  STDMETHODIMP Back(IProbe*, LONG, LONG* calls) override {
    std::unique_ptr<PeerWaitScope> waiting(marked ? new PeerWaitScope() : nullptr);
    std::this_thread::sleep_for(wait);
    *calls = 1;
    return S_OK;
  }
};

// The client's handler: calls back into the server, then takes its own
// time.
class Handler final : public tobj::Object<ICallback> {
 public:
  ICallback* server = nullptr;
  std::chrono::milliseconds stall{0};
  STDMETHODIMP Back(IProbe*, LONG, LONG* calls) override {
    LONG n = 0;
    HRESULT hr = server->Back(nullptr, 0, &n);
    std::this_thread::sleep_for(stall);
    *calls = n + 1;
    return hr;
  }
};

// A bounded call whose callee called back in and waits on us is not given
// up for that wait; the callee's own silence still counts in full, before
// and after such a wait.
TEST(TransportPeerWait, TheTimeThePeerWaitsOnUsDoesNotCountAgainstTheBoundOfOurCall) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  constexpr auto kBound = 300ms;
  const struct {
    const char* what;
    std::chrono::milliseconds serverWait;
    bool marked;
    std::chrono::milliseconds stall;
    HRESULT expected;
    std::chrono::milliseconds atLeast, below;
  } cases[] = {
      {"waits on us thrice the bound", 900ms, true, 0ms, S_OK, 900ms, 5000ms},
      {"stalls on its own", 0ms, true, 900ms, RPC_E_TIMEOUT, 300ms, 850ms},
      {"waits on us, then stalls", 400ms, true, 900ms, RPC_E_TIMEOUT, 700ms, 1250ms},
      {"a wait not marked as the peer's counts", 900ms, false, 0ms, RPC_E_TIMEOUT, 300ms, 850ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    UniqueFd a, b;
    ASSERT_TRUE(MakeSocketPair(&a, &b));
    ServerWait* wait = new ServerWait();
    wait->wait = c.serverWait;
    wait->marked = c.marked;
    Handler* handler = new Handler();
    handler->stall = c.stall;
    auto server = Connection::Start(std::move(a), wait, "waiting server");
    auto client = Connection::Start(std::move(b), handler, "handler client");
    ASSERT_EQ(S_OK, client->GetRoot(IID_ICallback, reinterpret_cast<void**>(&handler->server)));
    ICallback* remote = nullptr;
    ASSERT_EQ(S_OK, server->GetRoot(IID_ICallback, reinterpret_cast<void**>(&remote)));
    const auto start = std::chrono::steady_clock::now();
    HRESULT hr;
    {
      CallTimeoutScope bound(kBound);
      LONG calls = 0;
      hr = remote->Back(nullptr, 1, &calls);
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(c.expected, hr);
    EXPECT_GE(took, c.atLeast);
    EXPECT_LT(took, c.below);
    // The handler and the server's wait may still run after a call given
    // up: let them end before their objects go.
    const auto rest = c.serverWait + c.stall + 100ms - took;
    if (rest > 0ms) std::this_thread::sleep_for(rest);
    remote->Release();
    handler->server->Release();
    handler->server = nullptr;
    server->Close();
    client->Close();
    EXPECT_TRUE(server->WaitClosed(5s));
    EXPECT_TRUE(client->WaitClosed(5s));
    wait->Release();
    handler->Release();
  }
  CoUninitialize();
}

TEST_F(TransportTest, AnUnadvisedSinkIsNoLongerUsedWhenUnadviseReturns) {
  IConnectionPointContainer* cpc = nullptr;
  ASSERT_EQ(S_OK, probe_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)));
  IConnectionPoint* cp = nullptr;
  ASSERT_EQ(S_OK, cpc->FindConnectionPoint(DIID__IProbeEvents, &cp));
  UncountedSink sink;
  DWORD cookie = 0;
  ASSERT_EQ(S_OK, cp->Advise(&sink, &cookie));
  LONG handled = 0;
  ASSERT_EQ(S_OK, probe_->Fire(1, &handled));
  EXPECT_EQ(1, handled);
  ASSERT_EQ(S_OK, cp->Unadvise(cookie));
  sink.freed = true;
  EXPECT_TRUE(Eventually([&] { return sink.held == 0; })) << "references to the sink kept";
  EXPECT_FALSE(sink.usedAfterFree);
  cp->Release();
  cpc->Release();
}

// A peer that sends bytes that are not frames, or a frame over the size
// limit, loses its own connection; the others go on.
TEST_F(TransportTest, AMalformedOrOversizedFrameClosesOnlyItsConnection) {
  const std::string garbage = "GET / HTTP/1.0\r\n\r\n";
  std::string oversized(16, '\0');
  uint32_t magic = kFrameMagic, big = kMaxFrameBody + 1;
  std::memcpy(&oversized[0], &magic, 4);
  oversized[4] = char(kWireVersion);
  oversized[5] = char(FrameKind::kRequest);
  std::memcpy(&oversized[12], &big, 4);
  for (const std::string& bytes : {garbage, oversized}) {
    UniqueFd mine, theirs;
    ASSERT_TRUE(MakeSocketPair(&mine, &theirs));
    tobj::ProbeFactory* factory = new tobj::ProbeFactory();
    auto victim = Connection::Start(std::move(theirs), factory, "victim");
    factory->Release();
    ASSERT_TRUE(SendAll(mine.Get(), bytes.data(), bytes.size()));
    EXPECT_TRUE(victim->WaitClosed(5s));
    char c;
    EXPECT_EQ(0, ::read(mine.Get(), &c, 1)) << "the bad peer's socket is closed";
  }
  LONG pid = 0;
  EXPECT_EQ(S_OK, probe_->get_Pid(&pid));
  EXPECT_EQ(LONG(::getpid()), pid);
}

// Values a peer could write that must not decode into anything a caller
// would trust.
TEST_F(TransportTest, ValuesThatLieAboutThemselvesAreRefused) {
  auto ref = [](Writer& w, uint8_t tag, const IID& iid) {
    w.U8(tag);
    w.U64(7);
    WriteGuid(w, iid);
  };
  struct Case {
    const char* name;
    std::function<void(Writer&)> write;
  } cases[] = {
      {"IUnknown as VT_DISPATCH", [&](Writer& w) { w.U16(VT_DISPATCH); ref(w, 1, IID_IUnknown); }},
      {"class factory as VT_DISPATCH", [&](Writer& w) { w.U16(VT_DISPATCH); ref(w, 1, IID_IClassFactory); }},
      {"object never handed out", [&](Writer& w) { w.U16(VT_UNKNOWN); ref(w, 2, IID_IUnknown); }},
      {"bad reference tag", [&](Writer& w) { w.U16(VT_UNKNOWN); ref(w, 9, IID_IUnknown); }},
      {"by-reference value", [](Writer& w) { w.U16(VT_BYREF | VT_I4); w.I32(1); }},
      {"unknown type", [](Writer& w) { w.U16(0x77); }},
      {"array of an unknown type", [](Writer& w) { w.U16(VT_ARRAY | 0x77); w.U8(1); w.I32(0); w.U32(0); }},
      {"array count past the body", [](Writer& w) { w.U16(VT_ARRAY | VT_BSTR); w.U8(1); w.I32(0); w.U32(1000); }},
      {"array past the upper bound", [](Writer& w) {
         w.U16(VT_ARRAY | VT_UI1); w.U8(1); w.I32(0x7FFFFFFF); w.U32(2); w.U8(0); w.U8(0); }},
      {"string past the body", [](Writer& w) { w.U16(VT_BSTR); w.U32(50); }},
      {"arrays nested too deep", [](Writer& w) {
         for (int i = 0; i < 20; ++i) { w.U16(VT_ARRAY | VT_VARIANT); w.U8(1); w.I32(0); w.U32(1); }
         w.U16(VT_EMPTY); }},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    Writer w;
    c.write(w);
    std::string frame = w.Finish(FrameKind::kRequest, 0);
    Reader r(frame.data() + kFrameHeaderSize, frame.size() - kFrameHeaderSize);
    VARIANT v;
    VariantInit(&v);
    EXPECT_THROW(client_->ReadVariant(r, &v), DecodeError);
    EXPECT_EQ(VT_EMPTY, v.vt);
  }
  EXPECT_TRUE(Eventually([&] { return client_->ImportCount() == 1; })) << "a refused reference left a proxy";
}

// A body within the frame limit whose values would take many times its size
// in memory: refused at the reader's bound, in every kind of value that
// costs more in memory than on the wire.
TEST_F(TransportTest, ValuesThatDecodeToMoreThanTheBoundAreRefused) {
  constexpr size_t kBound = 4096;
  auto array = [](Writer& w, VARTYPE elem, uint32_t count) {
    w.U16(VT_ARRAY | elem);
    w.U8(1);
    w.I32(0);
    w.U32(count);
  };
  struct Case {
    const char* name;
    std::function<void(Writer&)> write;
    bool fits;
  } cases[] = {
      {"a few VARIANTs", [&](Writer& w) { array(w, VT_VARIANT, 16); for (int i = 0; i < 16; ++i) w.U16(VT_EMPTY); }, true},
      {"many VARIANTs", [&](Writer& w) { array(w, VT_VARIANT, 1024); for (int i = 0; i < 1024; ++i) w.U16(VT_EMPTY); }, false},
      {"many empty strings", [&](Writer& w) { array(w, VT_BSTR, 512); for (int i = 0; i < 512; ++i) w.U32(0); }, false},
      {"many null references", [&](Writer& w) { array(w, VT_UNKNOWN, 1024); for (int i = 0; i < 1024; ++i) w.U8(0); }, false},
      {"nested arrays, each small", [&](Writer& w) {
         array(w, VT_VARIANT, 64);
         for (int i = 0; i < 64; ++i) { array(w, VT_VARIANT, 8); for (int k = 0; k < 8; ++k) w.U16(VT_EMPTY); } }, false},
      {"one long string", [](Writer& w) { w.U16(VT_BSTR); w.U32(1000); for (int i = 0; i < 1000; ++i) w.I16('x'); }, true},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    Writer w;
    c.write(w);
    std::string frame = w.Finish(FrameKind::kRequest, 0);
    ASSERT_LT(frame.size() - kFrameHeaderSize, kBound) << "the case must fit the bound on the wire";
    Reader r(frame.data() + kFrameHeaderSize, frame.size() - kFrameHeaderSize, kBound);
    VARIANT v;
    VariantInit(&v);
    if (c.fits) {
      EXPECT_NO_THROW(client_->ReadVariant(r, &v));
      EXPECT_TRUE(r.AtEnd());
      VariantClear(&v);
    } else {
      EXPECT_THROW(client_->ReadVariant(r, &v), DecodeError);
      EXPECT_EQ(VT_EMPTY, v.vt);
    }
  }
}

// A call whose argument decodes past the bound ends its own connection;
// the server goes on serving the others.
TEST_F(TransportTest, ACallThatDecodesPastTheBoundClosesOnlyItsConnection) {
  UniqueFd mine, theirs;
  ASSERT_TRUE(MakeSocketPair(&mine, &theirs));
  tobj::ProbeFactory* factory = new tobj::ProbeFactory();
  auto victim = Connection::Start(std::move(theirs), factory, "victim");
  factory->Release();
  auto attacker = Connection::Start(std::move(mine), nullptr, "attacker");
  IClassFactory* cf = nullptr;
  ASSERT_EQ(S_OK, attacker->GetRoot(IID_IClassFactory, reinterpret_cast<void**>(&cf)));
  IProbe* probe = nullptr;
  ASSERT_EQ(S_OK, cf->CreateInstance(nullptr, IID_IProbe, reinterpret_cast<void**>(&probe)));
  cf->Release();

  // Two bytes a VARIANT on the wire, a quarter of the frame limit: sixteen
  // bytes a VARIANT in memory, past the bound.
  const ULONG count = ULONG(kMaxDecodedBytes / sizeof(VARIANT)) + 1;
  ASSERT_LT(size_t(count) * 2, size_t(kMaxFrameBody));
  VARIANT list;
  VariantInit(&list);
  list.vt = VT_ARRAY | VT_VARIANT;
  list.parray = SafeArrayCreateVector(VT_VARIANT, 0, count);
  ASSERT_NE(nullptr, list.parray);
  VARIANT reversed;
  VariantInit(&reversed);
  EXPECT_TRUE(FAILED(probe->Reverse(list, &reversed)));
  VariantClear(&list);
  EXPECT_TRUE(victim->WaitClosed(5s));
  EXPECT_TRUE(attacker->WaitClosed(5s));
  probe->Release();

  LONG pid = 0;
  EXPECT_EQ(S_OK, probe_->get_Pid(&pid));
  EXPECT_EQ(LONG(::getpid()), pid);
}

// A well-framed request whose body lies about its contents.
TEST_F(TransportTest, ARequestBodyThatDoesNotDecodeClosesTheConnection) {
  UniqueFd mine, theirs;
  ASSERT_TRUE(MakeSocketPair(&mine, &theirs));
  tobj::ProbeFactory* factory = new tobj::ProbeFactory();
  auto victim = Connection::Start(std::move(theirs), factory, "victim");
  factory->Release();
  Writer w;
  w.U8(uint8_t(Op::kGetRoot));
  w.U64(0);
  w.U32(0xFFFFFFFFu);  // half a GUID
  std::string& frame = w.Finish(FrameKind::kRequest, 1);
  ASSERT_TRUE(SendAll(mine.Get(), frame.data(), frame.size()));
  EXPECT_TRUE(victim->WaitClosed(5s));
}

// A bare IDispatch for the test below: `onInvoke` runs for every call, and
// the final release runs `onFinal` before it frees the object.
class PlainDispatch final : public IDispatch {
 public:
  std::function<void(DISPID, DISPPARAMS*)> onInvoke;
  std::function<void()> onFinal;
  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
    *ppv = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch) return E_NOINTERFACE;
    *ppv = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG n = --refs_;
    if (n == 0) {
      if (onFinal) onFinal();
      delete this;
    }
    return n;
  }
  STDMETHODIMP GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    if (onInvoke) onInvoke(id, params);
    return S_OK;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

// The peer lets go of our object on a thread of its own while one of our
// calls to it is in flight, and that object's final release waits for the
// call to end (a server's event call and a client's last release of the
// server object cross this way). The reply must not wait for that release.
TEST(TransportReleases, AReleaseThePeerMadeOutsideTheCallHoldsNoReplyBack) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  UniqueFd a, b;
  ASSERT_TRUE(MakeSocketPair(&a, &b));

  IDispatch* kept = nullptr;  // the peer's proxy of our object
  PlainDispatch* peerRoot = new PlainDispatch();
  peerRoot->onInvoke = [&](DISPID id, DISPPARAMS* params) {
    if (id == 1 && params->cArgs == 1 && params->rgvarg[0].vt == VT_DISPATCH) {
      kept = params->rgvarg[0].pdispVal;
      kept->AddRef();
    } else if (id == 2 && kept != nullptr) {
      // Sent before this call's reply, from a thread that serves no call.
      std::thread([&] { kept->Release(); }).join();
      kept = nullptr;
    }
  };
  auto peer = Connection::Start(std::move(b), peerRoot, "peer");
  peerRoot->Release();
  auto us = Connection::Start(std::move(a), nullptr, "us");
  IDispatch* remote = nullptr;
  ASSERT_EQ(S_OK, us->GetRoot(IID_IDispatch, reinterpret_cast<void**>(&remote)));

  std::mutex eventLock;
  std::atomic<bool> finalRan{false};
  PlainDispatch* ours = new PlainDispatch();
  ours->onFinal = [&] {
    std::lock_guard<std::mutex> wait(eventLock);
    finalRan = true;
  };
  VARIANT arg;
  arg.vt = VT_DISPATCH;
  arg.pdispVal = ours;
  DISPPARAMS give{&arg, nullptr, 1, 0};
  ASSERT_EQ(S_OK, remote->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &give, nullptr, nullptr, nullptr));
  ours->Release();  // now only the peer holds it

  auto call = std::async(std::launch::async, [&] {
    std::lock_guard<std::mutex> hold(eventLock);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    return remote->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
  });
  const bool returned = call.wait_for(5s) == std::future_status::ready;
  EXPECT_TRUE(returned) << "the reply waited for a release that waited for the call";
  if (!returned) us->Close();  // frees the waiting call so the test can end
  EXPECT_EQ(S_OK, call.get());
  EXPECT_TRUE(Eventually([&] { return finalRan.load(); })) << "the release never ran";

  remote->Release();
  us->Close();
  peer->Close();
  EXPECT_TRUE(us->WaitClosed(5s));
  EXPECT_TRUE(peer->WaitClosed(5s));
  CoUninitialize();
}

// As above, and the peer then calls back into us before it replies. The
// callback may reach a thread of ours that read it together with the
// release; it must not wait for that release, which waits for the call.
TEST(TransportReleases, AReleaseThePeerMadeOutsideTheCallHoldsUpNoCallbackOfThatCall) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  UniqueFd a, b;
  ASSERT_TRUE(MakeSocketPair(&a, &b));

  IDispatch* kept = nullptr;  // the peer's proxies of our objects
  IDispatch* echo = nullptr;
  PlainDispatch* peerRoot = new PlainDispatch();
  peerRoot->onInvoke = [&](DISPID id, DISPPARAMS* params) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    if (id == 1 && params->cArgs == 2 && params->rgvarg[1].vt == VT_DISPATCH &&
        params->rgvarg[0].vt == VT_DISPATCH) {
      kept = params->rgvarg[1].pdispVal;
      kept->AddRef();
      if (!echo) {
        echo = params->rgvarg[0].pdispVal;
        echo->AddRef();
      }
    } else if (id == 2 && kept != nullptr) {
      std::thread([&] { kept->Release(); }).join();
      kept = nullptr;
      echo->Invoke(7, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
    }
  };
  auto peer = Connection::Start(std::move(b), peerRoot, "peer");
  peerRoot->Release();
  auto us = Connection::Start(std::move(a), nullptr, "us");
  IDispatch* remote = nullptr;
  ASSERT_EQ(S_OK, us->GetRoot(IID_IDispatch, reinterpret_cast<void**>(&remote)));

  std::atomic<int> callbacks{0};
  PlainDispatch* ourEcho = new PlainDispatch();
  ourEcho->onInvoke = [&](DISPID id, DISPPARAMS*) {
    if (id == 7) ++callbacks;
  };
  std::mutex eventLock;
  std::atomic<int> finals{0};
  // Which of our threads reads the release and the callback depends on
  // timing, so the crossing is tried a number of times.
  const int rounds = 50;
  int round = 0;
  for (; round < rounds; ++round) {
    PlainDispatch* ours = new PlainDispatch();
    ours->onFinal = [&] {
      std::lock_guard<std::mutex> wait(eventLock);
      ++finals;
    };
    VARIANT args[2];
    args[1].vt = VT_DISPATCH;
    args[1].pdispVal = ours;
    args[0].vt = VT_DISPATCH;
    args[0].pdispVal = ourEcho;
    DISPPARAMS give{args, nullptr, 2, 0};
    ASSERT_EQ(S_OK, remote->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &give, nullptr, nullptr, nullptr));
    ours->Release();  // now only the peer holds it

    // A call from the peer leaves one of our threads reading for a while.
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    ASSERT_EQ(S_OK, echo->Invoke(8, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));
    auto call = std::async(std::launch::async, [&] {
      std::lock_guard<std::mutex> hold(eventLock);
      return remote->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
    });
    const bool returned = call.wait_for(5s) == std::future_status::ready;
    EXPECT_TRUE(returned) << "round " << round << ": the callback waited for a release that waited for the call";
    if (!returned) us->Close();  // frees the waiting call so the test can end
    EXPECT_EQ(S_OK, call.get());
    if (!returned) break;
  }
  EXPECT_EQ(rounds, callbacks.load());
  EXPECT_TRUE(Eventually([&] { return finals.load() == round; })) << "a release never ran";

  echo->Release();
  ourEcho->Release();
  remote->Release();
  us->Close();
  peer->Close();
  EXPECT_TRUE(us->WaitClosed(5s));
  EXPECT_TRUE(peer->WaitClosed(5s));
  CoUninitialize();
}

// ---- a socket that misbehaves ----

// Writes and reads cut into pieces of a few bytes and interrupted between
// them, in both directions and with nested callbacks: every message still
// arrives whole and the connection goes on.
TEST_F(TransportTest, ShortAndInterruptedWritesAndReadsStillCarryWholeMessages) {
  // Long enough that its body is read into a buffer of its own.
  std::u16string text;
  for (size_t i = 0; i < kLargeBody / 2 + 100; ++i) text.push_back(char16_t(u'A' + i % 26));
  BSTR in = SysAllocStringLen(text.data(), UINT(text.size()));
  tobj::Callback* cb = new tobj::Callback();
  {
    faulty::Chopped chopped;
    for (int round = 0; round < 3; ++round) {
      VARIANT_BOOL wasNull = VARIANT_TRUE;
      BSTR copy = nullptr;
      ASSERT_EQ(S_OK, probe_->Echo(in, &wasNull, &copy));
      EXPECT_EQ(text, Str(copy));
      SysFreeString(copy);
      LONG calls = 0;
      ASSERT_EQ(S_OK, probe_->Nest(cb, 4, &calls));
      EXPECT_EQ(5, calls);
    }
    EXPECT_GT(faulty::Now().interrupted.load(), 0u);
    EXPECT_GT(faulty::Now().shortened.load(), 0u);
  }
  cb->Release();
  SysFreeString(in);
  EXPECT_FALSE(client_->IsClosed());
  EXPECT_FALSE(server_->IsClosed());
}

// A signal that interrupts the connect to a class's socket, whichever way:
// the client still gets a connected socket.
TEST(TransportConnect, AnInterruptedConnectStillConnects) {
  char folder[] = "/tmp/orv-connect-XXXXXX";
  ASSERT_NE(nullptr, ::mkdtemp(folder));
  const std::string path = std::string(folder) + "/class.sock";
  std::mutex mu;
  std::vector<UniqueFd> accepted;
  Listener listener;
  std::string why;
  ASSERT_TRUE(listener.Open(path, [&](UniqueFd fd) {
    std::lock_guard<std::mutex> g(mu);
    accepted.push_back(std::move(fd));
  }, &why)) << why;
  for (const faulty::InterruptedConnectCase& c : faulty::kInterruptedConnects) {
    SCOPED_TRACE(c.name);
    UniqueFd fd;
    {
      faulty::InterruptedConnect interrupted(c.goesOn);
      fd = ConnectUnix(path);
      EXPECT_EQ(c.connects, interrupted.Connects());
    }
    ASSERT_TRUE(fd.Valid()) << std::strerror(errno);
    ASSERT_TRUE(SendAll(fd.Get(), "x", 1));
  }
  EXPECT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> g(mu);
    return accepted.size() == 2;
  }));
  listener.Close();
  ::rmdir(folder);
}

// A frame whose write fails after part of it went: what followed on the
// stream would be read as its rest, so the connection ends as on the peer's
// death. The call fails instead of waiting for a reply that cannot come,
// and the server lets go of everything the client held.
struct BrokenWrite {
  const char* name;
  FrameKind kind;
  int error;
};
void PrintTo(const BrokenWrite& b, std::ostream* os) { *os << b.name; }

class TransportBrokenWriteTest : public TransportTest, public ::testing::WithParamInterface<BrokenWrite> {};

TEST_P(TransportBrokenWriteTest, EndsTheConnectionAsThePeerLost) {
  const BrokenWrite& b = GetParam();
  ICursor* cursor = nullptr;
  BSTR sym = SysAllocString(u"X");
  ASSERT_EQ(S_OK, probe_->OpenCursor(sym, 1, enBid, &cursor));
  SysFreeString(sym);
  ASSERT_EQ(2, Live());
  HRESULT hr = S_OK;
  {
    faulty::BrokenFrame broken("ORVM", uint8_t(b.kind), b.error);
    // Bounded, so that a reply that never comes fails the test, not hangs it.
    CallTimeoutScope bound(10s);
    LONG pid = 0;
    if (b.kind == FrameKind::kRelease) {
      cursor->Release();
      cursor = nullptr;
    } else {
      hr = probe_->get_Pid(&pid);
    }
    EXPECT_TRUE(Eventually([&] { return broken.Happened(); }));
  }
  if (b.kind != FrameKind::kRelease) {
    EXPECT_EQ(RPC_E_DISCONNECTED, hr);
  }
  ASSERT_TRUE(client_->WaitClosed(5s));
  ASSERT_TRUE(server_->WaitClosed(5s));
  EXPECT_TRUE(Eventually([&] { return Live() == 0; })) << "the server still holds the lost client's objects";
  LONG pid = 0;
  EXPECT_EQ(kServerUnavailable, probe_->get_Pid(&pid));
  if (cursor) cursor->Release();
}

INSTANTIATE_TEST_SUITE_P(Frames, TransportBrokenWriteTest,
                         ::testing::Values(BrokenWrite{"Request", FrameKind::kRequest, EIO},
                                           BrokenWrite{"Reply", FrameKind::kReply, ENOBUFS},
                                           BrokenWrite{"Release", FrameKind::kRelease, EIO}),
                         [](const ::testing::TestParamInfo<BrokenWrite>& i) { return std::string(i.param.name); });

}  // namespace
