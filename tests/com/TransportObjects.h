// Objects of the test library, used on both sides of the transport tests:
// in one process over a socket pair and in the small test server. Every
// object counts itself in Live(), so a test sees when the peer's references
// are gone.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TransportLib.h"
#include "platform/com/com.h"

namespace tobj {

inline std::atomic<long>& Live() {
  static std::atomic<long> n{0};
  return n;
}
// Objects made since the process started, for the server to see that a
// client has been served even when the objects came and went between two of
// its looks.
inline std::atomic<long>& Made() {
  static std::atomic<long> n{0};
  return n;
}
inline std::atomic<long>& ServerLocks() {
  static std::atomic<long> n{0};
  return n;
}

inline BSTR Bstr(const char* s) {
  std::u16string w = orvcom::Widen(s);
  return SysAllocStringLen(w.data(), UINT(w.size()));
}

// Reference counting and the IDispatch side over the generated table.
template <class Itf>
class Object : public Itf {
 public:
  Object() {
    ++Made();
    ++Live();
  }
  virtual ~Object() { --Live(); }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(Itf)) {
      *ppv = static_cast<Itf*>(this);
    } else {
      *ppv = Extra(iid);
    }
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** t) override {
    *t = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return orvcom::TableGetIDsOfNames(orvcom::InterfaceInfoOf<Itf>::Get(), riid, names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excep, UINT* argErr) override {
    return orvcom::TableInvoke(orvcom::InterfaceInfoOf<Itf>::Get(), static_cast<Itf*>(this), this, id, riid,
                               flags, params, result, excep, argErr);
  }

 protected:
  virtual void* Extra(REFIID) { return nullptr; }

 private:
  std::atomic<ULONG> refs_{1};
};

class Cursor final : public Object<ICursor> {
 public:
  Cursor(const std::string& symbol, double price, SideEnum side) : symbol_(symbol), price_(price), side_(side) {}
  STDMETHODIMP get_Symbol(BSTR* v) override {
    *v = Bstr(symbol_.c_str());
    return S_OK;
  }
  STDMETHODIMP get_Price(DOUBLE* v) override {
    *v = price_;
    return S_OK;
  }
  STDMETHODIMP get_Side(SideEnum* v) override {
    *v = side_;
    return S_OK;
  }

 private:
  std::string symbol_;
  double price_;
  SideEnum side_;
};

// What Fail answers, with its error information.
constexpr HRESULT kProbeError = MAKE_HRESULT(1, FACILITY_ITF, 0x201);

class Probe;

// The probe's one connection point; its life is the probe's.
class EventPoint final : public IConnectionPoint {
 public:
  explicit EventPoint(IUnknown* owner) : owner_(owner) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
    *ppv = nullptr;
    if (iid != IID_IUnknown && iid != IID_IConnectionPoint) return E_NOINTERFACE;
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return owner_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return owner_->Release(); }
  STDMETHODIMP GetConnectionInterface(IID* iid) override {
    *iid = DIID__IProbeEvents;
    return S_OK;
  }
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer**) override { return E_NOTIMPL; }
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override {
    IDispatch* d = nullptr;
    if (FAILED(sink->QueryInterface(DIID__IProbeEvents, reinterpret_cast<void**>(&d)))) return CONNECT_E_CANNOTCONNECT;
    std::lock_guard<std::mutex> lock(mu_);
    sinks_.push_back(d);
    *cookie = DWORD(sinks_.size());
    return S_OK;
  }
  STDMETHODIMP Unadvise(DWORD cookie) override {
    IDispatch* d = nullptr;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (cookie == 0 || cookie > sinks_.size() || !sinks_[cookie - 1]) return CONNECT_E_NOCONNECTION;
      std::swap(d, sinks_[cookie - 1]);
    }
    d->Release();
    return S_OK;
  }
  STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  std::vector<IDispatch*> Sinks() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<IDispatch*> out;
    for (IDispatch* d : sinks_)
      if (d) {
        d->AddRef();
        out.push_back(d);
      }
    return out;
  }
  void Clear() {
    std::vector<IDispatch*> gone;
    {
      std::lock_guard<std::mutex> lock(mu_);
      gone.swap(sinks_);
    }
    for (IDispatch* d : gone)
      if (d) d->Release();
  }

 private:
  IUnknown* owner_;
  std::mutex mu_;
  std::vector<IDispatch*> sinks_;
};

class Probe final : public Object<IProbe>, public IConnectionPointContainer, public ISupportErrorInfo {
 public:
  Probe() : point_(static_cast<IProbe*>(this)) {}
  ~Probe() override {
    point_.Clear();
    for (auto& c : cursors_) c.second->Release();
  }
  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override { return Object<IProbe>::QueryInterface(iid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return Object<IProbe>::AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return Object<IProbe>::Release(); }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override { return iid == IID_IProbe ? S_OK : S_FALSE; }
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** cp) override {
    *cp = nullptr;
    if (iid != DIID__IProbeEvents) return CONNECT_E_NOCONNECTION;
    point_.AddRef();
    *cp = &point_;
    return S_OK;
  }

  STDMETHODIMP Echo(BSTR text, VARIANT_BOOL* wasNull, BSTR* copy) override {
    *wasNull = text ? VARIANT_FALSE : VARIANT_TRUE;
    *copy = text ? SysAllocStringLen(text, SysStringLen(text)) : nullptr;
    return S_OK;
  }
  STDMETHODIMP Twenty(LONG seed, BSTR* s1, LONG* l1, DOUBLE* d1, DATE* t1, SHORT* i1, VARIANT_BOOL* b1, FLOAT* f1,
                      SideEnum* e1, VARIANT* v1, ICursor** c1, BSTR* s2, LONG* l2, DOUBLE* d2, DATE* t2, SHORT* i2,
                      VARIANT_BOOL* b2, FLOAT* f2, SideEnum* e2, VARIANT* v2, ICursor** c2) override {
    *s1 = Bstr(("s" + std::to_string(seed)).c_str());
    *l1 = seed;
    *d1 = seed + 0.5;
    *t1 = 45000.25 + seed;
    *i1 = SHORT(seed % 1000);
    *b1 = VARIANT_TRUE;
    *f1 = 1.25f;
    *e1 = enAsk;
    VariantInit(v1);
    v1->vt = VT_BSTR;
    v1->bstrVal = Bstr("variant");
    *c1 = new Cursor("C" + std::to_string(seed), seed * 2.0, enBid);
    *s2 = nullptr;
    *l2 = -seed;
    *d2 = -0.125;
    *t2 = 0;
    *i2 = -1;
    *b2 = VARIANT_FALSE;
    *f2 = -2.5f;
    *e2 = enBid;
    VariantInit(v2);
    v2->vt = VT_I4;
    v2->lVal = seed * 3;
    *c2 = nullptr;
    return S_OK;
  }
  STDMETHODIMP Fail(BSTR description, LONG* untouched) override {
    *untouched = 99;
    ICreateErrorInfo* create = nullptr;
    CreateErrorInfo(&create);
    create->SetGUID(IID_IProbe);
    std::u16string source = u"Probe";
    create->SetSource(&source[0]);
    create->SetDescription(description);
    IErrorInfo* info = nullptr;
    create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
    SetErrorInfo(0, info);
    info->Release();
    create->Release();
    return kProbeError;
  }
  STDMETHODIMP Reverse(VARIANT list, VARIANT* reversed) override {
    if (list.vt != (VT_ARRAY | VT_BSTR) || !list.parray) return E_INVALIDARG;
    LONG lb = 0, ub = -1;
    SafeArrayGetLBound(list.parray, 1, &lb);
    SafeArrayGetUBound(list.parray, 1, &ub);
    SAFEARRAY* out = SafeArrayCreateVector(VT_BSTR, lb, ULONG(ub - lb + 1));
    for (LONG i = lb; i <= ub; ++i) {
      BSTR s = nullptr;
      SafeArrayGetElement(list.parray, &i, &s);
      LONG j = ub - (i - lb);
      SafeArrayPutElement(out, &j, s);
      SysFreeString(s);
    }
    VariantInit(reversed);
    reversed->vt = VT_ARRAY | VT_BSTR;
    reversed->parray = out;
    return S_OK;
  }
  // The same symbol gives the same cursor, as a server's cache would.
  STDMETHODIMP OpenCursor(BSTR symbol, DOUBLE price, SideEnum side, ICursor** cursor) override {
    std::string key = orvcom::Narrow(symbol ? symbol : u"");
    std::lock_guard<std::mutex> lock(mu_);
    Cursor*& c = cursors_[key];
    if (!c) c = new Cursor(key, price, side);
    c->AddRef();
    *cursor = c;
    return S_OK;
  }
  STDMETHODIMP IsMine(ICursor* cursor, VARIANT_BOOL* mine) override {
    std::lock_guard<std::mutex> lock(mu_);
    *mine = VARIANT_FALSE;
    for (auto& c : cursors_)
      if (static_cast<ICursor*>(c.second) == cursor) *mine = VARIANT_TRUE;
    return S_OK;
  }
  STDMETHODIMP Nest(ICallback* callback, LONG depth, LONG* calls) override {
    if (depth <= 0) {
      *calls = 1;
      return S_OK;
    }
    LONG n = 0;
    HRESULT hr = callback->Back(this, depth - 1, &n);
    if (FAILED(hr)) return hr;
    *calls = n + 1;
    return S_OK;
  }
  STDMETHODIMP Hold(LONG ms) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return S_OK;
  }
  STDMETHODIMP get_Pid(LONG* pid) override {
    *pid = LONG(::getpid());
    return S_OK;
  }
  STDMETHODIMP get_Live(LONG* n) override {
    *n = LONG(Live().load());
    return S_OK;
  }
  // Each sink gets OnTick with a fresh cursor; a handler may call back into
  // it while this call waits.
  STDMETHODIMP Fire(LONG count, LONG* handled) override {
    *handled = 0;
    for (LONG i = 0; i < count; ++i) {
      for (IDispatch* sink : point_.Sinks()) {
        Cursor* c = new Cursor("T" + std::to_string(i), i, enBid);
        VARIANT args[2];
        VariantInit(&args[0]);
        VariantInit(&args[1]);
        args[0].vt = VT_DISPATCH;  // last parameter first
        args[0].pdispVal = c;
        args[1].vt = VT_I4;
        args[1].lVal = i;
        DISPPARAMS dp{args, nullptr, 2, 0};
        HRESULT hr = sink->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &dp, nullptr, nullptr, nullptr);
        if (SUCCEEDED(hr)) ++*handled;
        c->Release();
        sink->Release();
      }
    }
    return S_OK;
  }
  // Makes a cursor, then takes its time handing it over.
  STDMETHODIMP Later(LONG ms, ICursor** cursor) override {
    Cursor* c = new Cursor("later", 0, enBid);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    *cursor = c;
    return S_OK;
  }
  STDMETHODIMP Stamp(DATE when, DATE* dayAfter) override {
    *dayAfter = when + 1;
    return S_OK;
  }
  STDMETHODIMP EchoValue(VARIANT value, VARIANT* copy) override {
    VariantInit(copy);
    return VariantCopy(copy, &value);
  }

 protected:
  void* Extra(REFIID iid) override {
    if (iid == IID_IConnectionPointContainer) return static_cast<IConnectionPointContainer*>(this);
    if (iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
    return nullptr;
  }

 private:
  EventPoint point_;
  std::mutex mu_;
  std::map<std::string, Cursor*> cursors_;
};

class ProbeFactory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
    *ppv = nullptr;
    if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** ppv) override {
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    // A served object that breaks: the transport must answer for it.
    if (iid == IID_ICursor) throw std::runtime_error("no cursor without a probe");
    if (iid == IID_ICallback) throw 42;
    Probe* p = new Probe();
    HRESULT hr = p->QueryInterface(iid, ppv);
    p->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    ServerLocks() += lock ? 1 : -1;
    return S_OK;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

// The client's side of the callback interface and the event sink.
class Callback final : public Object<ICallback> {
 public:
  STDMETHODIMP Back(IProbe* server, LONG depth, LONG* calls) override {
    if (depth <= 0) {
      *calls = 1;
      return S_OK;
    }
    LONG n = 0;
    HRESULT hr = server->Nest(this, depth - 1, &n);
    if (FAILED(hr)) return hr;
    *calls = n + 1;
    return S_OK;
  }
};

class EventSink final : public IDispatch {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
    *ppv = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != DIID__IProbeEvents) return E_NOINTERFACE;
    *ppv = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  STDMETHODIMP GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  // OnTick(n, cursor): reads the cursor's symbol, a call back into the
  // server that is waiting for this one.
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    if (id != 1 || params->cArgs != 2 || params->rgvarg[0].vt != VT_DISPATCH) return DISP_E_MEMBERNOTFOUND;
    ICursor* cursor = nullptr;
    HRESULT hr = params->rgvarg[0].pdispVal->QueryInterface(IID_ICursor, reinterpret_cast<void**>(&cursor));
    if (FAILED(hr)) return hr;
    BSTR symbol = nullptr;
    hr = cursor->get_Symbol(&symbol);
    cursor->Release();
    if (FAILED(hr)) return hr;
    std::lock_guard<std::mutex> lock(mu_);
    seen_.push_back(orvcom::Narrow(symbol));
    SysFreeString(symbol);
    return S_OK;
  }
  std::vector<std::string> Seen() {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
  }

 private:
  std::atomic<ULONG> refs_{1};
  std::mutex mu_;
  std::vector<std::string> seen_;
};

}  // namespace tobj
