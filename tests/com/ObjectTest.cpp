// Object lifetimes and the module's lock count, connection points and
// event sinks, class objects and activation, apartments and per-thread
// error information.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "TestObjects.h"

namespace {

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CTestOrv::failConstruct() = false;
    CTestOrv::finalReleases() = 0;
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  }
  void TearDown() override { CoUninitialize(); }

  CComModule module_;
};

TEST_F(ModuleTest, TheLockCountFollowsObjectLifetimes) {
  EXPECT_EQ(module_.GetLockCount(), 0);
  CComObject<CTestOrv>* raw = nullptr;
  ASSERT_EQ(CComObject<CTestOrv>::CreateInstance(&raw), S_OK);
  // Made with no reference; the module is locked from construction on.
  EXPECT_EQ(raw->m_dwRef, 0);
  EXPECT_EQ(module_.GetLockCount(), 1);

  IZmOrvEnt* orv = nullptr;
  ASSERT_EQ(raw->QueryInterface(IID_IZmOrvEnt, reinterpret_cast<void**>(&orv)), S_OK);
  IHVEnt* hv = nullptr;
  CComBSTR symbol(u"X");
  ASSERT_EQ(orv->GetHV(symbol, &hv), S_OK);  // the cursor locks too
  EXPECT_EQ(module_.GetLockCount(), 2);

  orv->Release();
  EXPECT_EQ(CTestOrv::finalReleases(), 1);
  EXPECT_EQ(module_.GetLockCount(), 1);
  hv->Release();
  EXPECT_EQ(module_.GetLockCount(), 0);
}

TEST_F(ModuleTest, AFailedFinalConstructDestroysTheObject) {
  CTestOrv::failConstruct() = true;
  int live = LiveTestObjects();
  CComObject<CTestOrv>* raw = reinterpret_cast<CComObject<CTestOrv>*>(1);
  EXPECT_EQ(CComObject<CTestOrv>::CreateInstance(&raw), E_OUTOFMEMORY);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(LiveTestObjects(), live);
  EXPECT_EQ(module_.GetLockCount(), 0);
  EXPECT_EQ(CComObject<CTestOrv>::CreateInstance(nullptr), E_POINTER);
}

TEST_F(ModuleTest, IdentityAndQueryInterface) {
  CComObject<CTestOrv>* raw = nullptr;
  ASSERT_EQ(CComObject<CTestOrv>::CreateInstance(&raw), S_OK);
  CComPtr<IUnknown> a;
  ASSERT_EQ(raw->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a)), S_OK);
  CComQIPtr<IConnectionPointContainer> cpc(a);
  ASSERT_TRUE(cpc);
  CComPtr<IUnknown> b;
  cpc->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b));
  EXPECT_EQ(a.p, b.p);
  CComPtr<IUnknown> none;
  EXPECT_EQ(a->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&none)), E_NOINTERFACE);
  EXPECT_EQ(none.p, nullptr);
}

// ---- Connection points and sinks ------------------------------------------------

// A client sink, as an automation client writes one.
class Sink : public IDispEventSimpleImpl<1, Sink, &DIID__IZmOrvEventsEnt> {
 public:
  BEGIN_SINK_MAP(Sink)
  SINK_ENTRY_EX(1, DIID__IZmOrvEventsEnt, 1, OnStocksChange)
  SINK_ENTRY_EX(1, DIID__IZmOrvEventsEnt, 5, OnError)
  END_SINK_MAP()

  HRESULT OnStocksChange(IDispatch* data) {
    ++stocks;
    last = data;
    if (onEvent) onEvent();
    return fail ? E_FAIL : S_OK;
  }
  HRESULT OnError(ErrorNumberEnum number, BSTR text) {
    errors.push_back(std::to_string(int(number)) + " " + orvcom::Narrow(text));
    return S_OK;
  }

  int stocks = 0;
  IDispatch* last = nullptr;
  bool fail = false;
  std::function<void()> onEvent;
  std::vector<std::string> errors;
};

// A sink that offers no IDispatch: advise refuses it.
class Mute : public IUnknown {
 public:
  STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown) {
      *ppv = this;
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHOD_(ULONG, AddRef)() override { return 2; }
  STDMETHOD_(ULONG, Release)() override { return 1; }
};

// Fires OnStocksChange the way the server's event proxy does: the slot
// count read once, each slot read under the object's lock, no lock held
// during the call.
void Fire(CTestOrv* object, IDispatch* cursor) {
  auto* point = static_cast<IConnectionPointImpl<CTestOrv, &DIID__IZmOrvEventsEnt>*>(object);
  int n = point->m_vec.GetSize();
  for (int i = 0; i < n; ++i) {
    object->Lock();
    CComPtr<IUnknown> sink = point->m_vec.GetAt(i);
    object->Unlock();
    CComQIPtr<IDispatch> d(sink);
    if (!d) continue;
    CComVariant arg(cursor);
    DISPPARAMS params = {&arg, nullptr, 1, 0};
    CComVariant result;
    d->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
  }
}

class ConnectionPointTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ASSERT_EQ(CComObject<CTestOrv>::CreateInstance(&object_), S_OK);
    object_->AddRef();
    CComQIPtr<IConnectionPointContainer> cpc(static_cast<IZmOrvEnt*>(object_));
    ASSERT_EQ(cpc->FindConnectionPoint(DIID__IZmOrvEventsEnt, &point_), S_OK);
  }
  void TearDown() override {
    point_.Release();
    object_->Release();
    ModuleTest::TearDown();
  }

  CComObject<CTestOrv>* object_ = nullptr;
  CComPtr<IConnectionPoint> point_;
};

TEST_F(ConnectionPointTest, CookiesSlotsAndUnadviseErrors) {
  Sink a, b;
  DWORD c1 = 0, c2 = 0, c3 = 0;
  ASSERT_EQ(point_->Advise(static_cast<IDispatch*>(&a), &c1), S_OK);
  ASSERT_EQ(point_->Advise(static_cast<IDispatch*>(&a), &c2), S_OK);  // the same sink again
  EXPECT_NE(c1, c2);
  Fire(object_, nullptr);
  EXPECT_EQ(a.stocks, 2);

  EXPECT_EQ(point_->Unadvise(c1), S_OK);
  EXPECT_EQ(point_->Unadvise(c1), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point_->Unadvise(0), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point_->Unadvise(999), CONNECT_E_NOCONNECTION);
  // The freed slot is the first empty one: the next advise takes it.
  ASSERT_EQ(point_->Advise(static_cast<IDispatch*>(&b), &c3), S_OK);
  EXPECT_EQ(c3, c1);
  Fire(object_, nullptr);
  EXPECT_EQ(a.stocks, 3);
  EXPECT_EQ(b.stocks, 1);

  Mute mute;
  DWORD c4 = 77;
  EXPECT_EQ(point_->Advise(&mute, &c4), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(c4, 0u);

  IID iid;
  EXPECT_EQ(point_->GetConnectionInterface(&iid), S_OK);
  EXPECT_EQ(iid, DIID__IZmOrvEventsEnt);
  CComPtr<IConnectionPointContainer> back;
  EXPECT_EQ(point_->GetConnectionPointContainer(&back), S_OK);
  CComQIPtr<IConnectionPointContainer> cpc(static_cast<IZmOrvEnt*>(object_));
  CComPtr<IConnectionPoint> other;
  EXPECT_EQ(cpc->FindConnectionPoint(IID_IDispatch, &other), CONNECT_E_NOCONNECTION);
  point_->Unadvise(c2);
  point_->Unadvise(c3);
}

TEST_F(ConnectionPointTest, FiringReachesEverySinkDespiteFailuresAndReadsTheCountOnce) {
  Sink failing, good, late;
  failing.fail = true;
  DWORD c1, c2, c3 = 0;
  point_->Advise(static_cast<IDispatch*>(&failing), &c1);
  point_->Advise(static_cast<IDispatch*>(&good), &c2);
  // A sink advised while an event is under way gets the next one only.
  failing.onEvent = [&] {
    if (!c3) point_->Advise(static_cast<IDispatch*>(&late), &c3);
  };
  CComObject<CTestHV>* cursor = nullptr;
  CComObject<CTestHV>::CreateInstance(&cursor);
  CComQIPtr<IDispatch> cursorDisp(static_cast<IHVEnt*>(cursor));
  Fire(object_, cursorDisp);
  EXPECT_EQ(failing.stocks, 1);
  EXPECT_EQ(good.stocks, 1);
  EXPECT_EQ(good.last, cursorDisp.p);
  EXPECT_EQ(late.stocks, 0);
  Fire(object_, cursorDisp);
  EXPECT_EQ(late.stocks, 1);
  point_->Unadvise(c1);
  point_->Unadvise(c2);
  point_->Unadvise(c3);
}

TEST_F(ConnectionPointTest, SinkHelperAdvisesAndDispatchesByDispid) {
  Sink sink;
  EXPECT_EQ(sink.m_dwEventCookie, 0xFEFEFEFEu);
  ASSERT_EQ(sink.DispEventAdvise(static_cast<IZmOrvEnt*>(object_)), S_OK);
  EXPECT_NE(sink.m_dwEventCookie, 0xFEFEFEFEu);

  // An event it does not sink is answered S_OK; arguments are converted
  // to the handler's types; a wrong count is refused.
  IDispatch* d = &sink;
  VARIANT args[2];
  args[0].vt = VT_BSTR;
  args[0].bstrVal = SysAllocString(u"lost feed");
  args[1].vt = VT_I2;
  args[1].iVal = enNotConnected;
  DISPPARAMS two = {args, nullptr, 2, 0};
  EXPECT_EQ(d->Invoke(13, IID_NULL, 0, DISPATCH_METHOD, &two, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(d->Invoke(5, IID_NULL, 0, DISPATCH_METHOD, &two, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(sink.errors, std::vector<std::string>{"5 lost feed"});
  EXPECT_EQ(d->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &two, nullptr, nullptr, nullptr),
            DISP_E_BADPARAMCOUNT);
  UINT argErr = 0;
  DISPPARAMS wrong = {args, nullptr, 1, 0};  // a string where a cursor belongs
  EXPECT_EQ(d->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &wrong, nullptr, nullptr, &argErr),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(sink.stocks, 0);
  SysFreeString(args[0].bstrVal);

  LPOLESTR names[] = {const_cast<LPOLESTR>(u"OnFuturesChange")};
  DISPID id = 0;
  EXPECT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
  EXPECT_EQ(id, 9);

  Fire(object_, nullptr);
  EXPECT_EQ(sink.stocks, 1);
  EXPECT_EQ(sink.DispEventUnadvise(static_cast<IZmOrvEnt*>(object_)), S_OK);
  EXPECT_EQ(sink.m_dwEventCookie, 0xFEFEFEFEu);
  EXPECT_EQ(sink.DispEventUnadvise(static_cast<IZmOrvEnt*>(object_)), CONNECT_E_NOCONNECTION);
  Fire(object_, nullptr);
  EXPECT_EQ(sink.stocks, 1);
}

TEST_F(ConnectionPointTest, AdvisedSinksAreReleasedWithTheObject) {
  struct Counted : Sink {
    STDMETHOD_(ULONG, AddRef)() override { return ++refs; }
    STDMETHOD_(ULONG, Release)() override { return --refs; }
    int refs = 0;
  } sink;
  DWORD c;
  point_->Advise(static_cast<IDispatch*>(&sink), &c);
  EXPECT_EQ(sink.refs, 1);
  point_.Release();
  object_->Release();
  object_ = nullptr;
  EXPECT_EQ(sink.refs, 0);
  ASSERT_EQ(CComObject<CTestOrv>::CreateInstance(&object_), S_OK);  // for TearDown
  object_->AddRef();
}

// ---- Class objects and activation ------------------------------------------------

BEGIN_OBJECT_MAP(TestObjectMap)
OBJECT_ENTRY(CLSID_ZmOrvEnt, CTestOrv)
OBJECT_ENTRY_NON_CREATEABLE(CTestHV)
END_OBJECT_MAP()

class Hook : public orvcom::LocalServerHook {
 public:
  HRESULT GetClassObject(REFCLSID clsid, DWORD, REFIID, void**) override {
    asked.push_back(orvcom::GuidToString(clsid));
    return REGDB_E_CLASSNOTREG;
  }
  void ClassObjectChanged(REFCLSID, IUnknown*, ClassState state) override {
    states.push_back(int(state));
  }
  std::vector<std::string> asked;
  std::vector<int> states;
};

TEST_F(ModuleTest, ClassObjectsRegisterSuspendedAndResumeTogether) {
  Hook hook;
  orvcom::SetLocalServerHook(&hook);
  int starts = CTestOrv::starts(), stops = CTestOrv::stops();
  module_.Init(TestObjectMap, nullptr, &LIBID_BraskOrvEnt);
  EXPECT_EQ(CTestOrv::starts(), starts + 1);
  ASSERT_EQ(module_.RegisterClassObjects(CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED),
            S_OK);
  EXPECT_EQ(module_.GetLockCount(), 0);  // class objects do not keep the server

  IZmOrvEnt* orv = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_ZmOrvEnt, nullptr, CLSCTX_ALL, IID_IZmOrvEnt,
                             reinterpret_cast<void**>(&orv)),
            REGDB_E_CLASSNOTREG);  // suspended: asked the hook, which knows nothing
  EXPECT_EQ(hook.asked.size(), 1u);
  ASSERT_EQ(CoResumeClassObjects(), S_OK);
  ASSERT_EQ(CoCreateInstance(CLSID_ZmOrvEnt, nullptr, CLSCTX_ALL, IID_IZmOrvEnt,
                             reinterpret_cast<void**>(&orv)),
            S_OK);
  EXPECT_EQ(module_.GetLockCount(), 1);
  EXPECT_EQ(OleRun(orv), S_OK);  // what it made is running already
  EXPECT_EQ(OleRun(nullptr), E_INVALIDARG);
  IUnknown* outer = orv;
  IUnknown* agg = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_ZmOrvEnt, outer, CLSCTX_ALL, IID_IUnknown,
                             reinterpret_cast<void**>(&agg)),
            CLASS_E_NOAGGREGATION);

  IClassFactory* factory = nullptr;
  ASSERT_EQ(CoGetClassObject(CLSID_ZmOrvEnt, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  factory->LockServer(TRUE);
  EXPECT_EQ(module_.GetLockCount(), 2);
  factory->LockServer(FALSE);
  factory->Release();
  // The in-process context does not find a local-server class object.
  EXPECT_EQ(CoGetClassObject(CLSID_ZmOrvEnt, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            REGDB_E_CLASSNOTREG);

  ASSERT_EQ(CoSuspendClassObjects(), S_OK);
  IZmOrvEnt* second = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_ZmOrvEnt, nullptr, CLSCTX_LOCAL_SERVER, IID_IZmOrvEnt,
                             reinterpret_cast<void**>(&second)),
            REGDB_E_CLASSNOTREG);
  orv->Release();
  EXPECT_EQ(module_.GetLockCount(), 0);

  module_.Term();  // revokes, then the stop hooks
  EXPECT_EQ(CTestOrv::stops(), stops + 1);
  using S = orvcom::LocalServerHook::ClassState;
  EXPECT_EQ(hook.states, (std::vector<int>{int(S::kRegistered), int(S::kResumed),
                                           int(S::kSuspended), int(S::kRevoked)}));
  orvcom::SetLocalServerHook(nullptr);
}

TEST(Apartment, CountsPerThreadAndGuardsActivation) {
  std::thread([] {
    IUnknown* p = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_ZmOrvEnt, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(&p)),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), E_INVALIDARG);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    CoUninitialize();
    EXPECT_TRUE(orvcom::IsComInitialized());
    CoUninitialize();
    EXPECT_FALSE(orvcom::IsComInitialized());
    CoUninitialize();  // one too many does no harm
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
  }).join();
}

TEST(ErrorInfo, BelongsToOneThreadAndIsHandedOverOnce) {
  ICreateErrorInfo* create = nullptr;
  ASSERT_EQ(CreateErrorInfo(&create), S_OK);
  create->SetDescription(const_cast<LPOLESTR>(u"No connection"));
  create->SetSource(const_cast<LPOLESTR>(u"ORVE.ZmOrvEnt.1"));
  CComQIPtr<IErrorInfo> info(create);
  create->Release();
  ASSERT_EQ(SetErrorInfo(0, info), S_OK);
  std::thread([] {
    IErrorInfo* other = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &other), S_FALSE);
    EXPECT_EQ(other, nullptr);
  }).join();

  // _com_issue_error takes the thread's information with it.
  try {
    _com_issue_error(E_FAIL);
  } catch (const _com_error& e) {
    EXPECT_STREQ(static_cast<const char*>(e.Description()), "No connection");
    EXPECT_STREQ(static_cast<const char*>(e.Source()), "ORVE.ZmOrvEnt.1");
    EXPECT_STREQ(e.ErrorMessage(), "Unspecified error");
  }
  IErrorInfo* none = nullptr;
  EXPECT_EQ(GetErrorInfo(0, &none), S_FALSE);
  _com_error plain(E_POINTER);
  EXPECT_EQ(plain.Description(), _bstr_t());
  EXPECT_FALSE(static_cast<const char*>(plain.Description()));
}

// The process's error handler sees every raised failure first, with its
// information; one that does not throw still leaves the caller a
// _com_error, and a null handler restores the plain raise.
HRESULT g_seen = S_OK;
bool g_seenInfo = false;
void Watch(HRESULT hr, IErrorInfo* info) {
  g_seen = hr;
  g_seenInfo = info != nullptr;
}

TEST(ErrorInfo, TheErrorHandlerSeesEveryRaiseFirst) {
  _set_com_error_handler(&Watch);
  ICreateErrorInfo* create = nullptr;
  ASSERT_EQ(CreateErrorInfo(&create), S_OK);
  CComQIPtr<IErrorInfo> info(create);
  create->Release();
  SetErrorInfo(0, info);
  EXPECT_THROW(_com_issue_error(RPC_E_DISCONNECTED), _com_error);
  EXPECT_EQ(g_seen, RPC_E_DISCONNECTED);
  EXPECT_TRUE(g_seenInfo);
  EXPECT_THROW(_com_raise_error(E_POINTER), _com_error);
  EXPECT_EQ(g_seen, E_POINTER);
  EXPECT_FALSE(g_seenInfo);
  _set_com_error_handler(nullptr);
  g_seen = S_OK;
  EXPECT_THROW(_com_raise_error(E_FAIL), _com_error);
  EXPECT_EQ(g_seen, S_OK);
}

}  // namespace
