#include "platform/com/rpc/ProxyManager.h"

#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/com/rpc/CallLimits.h"
#include "platform/com/rpc/Connection.h"
#include "platform/log/Log.h"

namespace orvrpc {

namespace {

std::string IidKey(const IID& iid) { return std::string(reinterpret_cast<const char*>(&iid), sizeof iid); }

struct FactoryTable {
  std::mutex mu;
  std::map<std::string, ProxyFactory> byIid;
};

FactoryTable& Factories() {
  static FactoryTable* table = new FactoryTable();
  return *table;
}

ProxyFactory FindFactory(const IID& iid) {
  FactoryTable& t = Factories();
  std::lock_guard<std::mutex> lock(t.mu);
  auto it = t.byIid.find(IidKey(iid));
  return it == t.byIid.end() ? nullptr : it->second;
}

// IDispatch alone, for IID_IDispatch and for the event dispinterfaces.
class DispatchProxy final : public IDispatch, public ProxyPart {
 public:
  DispatchProxy(ProxyManager* m, const IID& iid) : ProxyPart(m), iid_(iid) {}
  IUnknown* Unknown() override { return this; }
  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override { return m_->QueryInterface(iid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return m_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return m_->Release(); }
  STDMETHODIMP GetTypeInfoCount(UINT* n) override { return m_->RemoteGetTypeInfoCount(n); }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** t) override {
    if (t) *t = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    return m_->RemoteGetIDsOfNames(iid_, riid, names, count, lcid, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excep, UINT* argErr) override {
    return m_->RemoteInvoke(iid_, id, riid, lcid, flags, params, result, excep, argErr);
  }

 private:
  IID iid_;
};

class ClassFactoryProxy final : public IClassFactory, public ProxyPart {
 public:
  using ProxyPart::ProxyPart;
  IUnknown* Unknown() override { return this; }
  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override { return m_->QueryInterface(iid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return m_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return m_->Release(); }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return m_->RemoteCreateInstance(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL lock) override { return m_->RemoteLockServer(lock); }
};

class ConnectionPointContainerProxy final : public IConnectionPointContainer, public ProxyPart {
 public:
  using ProxyPart::ProxyPart;
  IUnknown* Unknown() override { return this; }
  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override { return m_->QueryInterface(iid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return m_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return m_->Release(); }
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** e) override {
    if (e) *e = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** cp) override {
    return m_->RemoteFindConnectionPoint(riid, cp);
  }
};

class ConnectionPointProxy final : public IConnectionPoint, public ProxyPart {
 public:
  using ProxyPart::ProxyPart;
  IUnknown* Unknown() override { return this; }
  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override { return m_->QueryInterface(iid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return m_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return m_->Release(); }
  STDMETHODIMP GetConnectionInterface(IID* iid) override { return m_->RemoteGetConnectionInterface(iid); }
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** c) override {
    if (!c) return E_POINTER;
    *c = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override { return m_->RemoteAdvise(sink, cookie); }
  STDMETHODIMP Unadvise(DWORD cookie) override { return m_->RemoteUnadvise(cookie); }
  STDMETHODIMP EnumConnections(IEnumConnections** e) override {
    if (e) *e = nullptr;
    return E_NOTIMPL;
  }
};

class SupportErrorInfoProxy final : public ISupportErrorInfo, public ProxyPart {
 public:
  using ProxyPart::ProxyPart;
  IUnknown* Unknown() override { return this; }
  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override { return m_->QueryInterface(iid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return m_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return m_->Release(); }
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override { return m_->RemoteSupportsErrorInfo(riid); }
};

template <class P>
ProxyPart* Make(ProxyManager* m) {
  return new P(m);
}

[[maybe_unused]] const bool kStandard = RegisterProxyFactory(IID_IClassFactory, &Make<ClassFactoryProxy>) &&
                                        RegisterProxyFactory(IID_IConnectionPointContainer,
                                                             &Make<ConnectionPointContainerProxy>) &&
                                        RegisterProxyFactory(IID_IConnectionPoint, &Make<ConnectionPointProxy>) &&
                                        RegisterProxyFactory(IID_ISupportErrorInfo, &Make<SupportErrorInfoProxy>);

// Replaces what a by-reference argument points at, freeing the old value.
void StoreByRef(VARIANT* arg, VARIANT* v) {
  if (arg->vt == (VT_BYREF | VT_VARIANT)) {
    VariantClear(arg->pvarVal);
    *arg->pvarVal = *v;
    VariantInit(v);
    return;
  }
  VARIANT old;
  VariantInit(&old);
  old.vt = VARTYPE(arg->vt & ~VT_BYREF);
  std::memcpy(&old.lVal, arg->byref, sizeof(double));
  switch (old.vt) {
    case VT_BSTR: old.bstrVal = *arg->pbstrVal; *arg->pbstrVal = v->bstrVal; break;
    case VT_UNKNOWN: case VT_DISPATCH: old.punkVal = *arg->ppunkVal; *arg->ppunkVal = v->punkVal; break;
    default:
      if (old.vt & VT_ARRAY) {
        old.parray = *arg->pparray;
        *arg->pparray = v->parray;
        break;
      }
      old.vt = VT_EMPTY;
      switch (v->vt) {
        case VT_UI1: *arg->pbVal = v->bVal; break;
        case VT_I2: *arg->piVal = v->iVal; break;
        case VT_BOOL: *arg->pboolVal = v->boolVal; break;
        case VT_I4: *arg->plVal = v->lVal; break;
        case VT_ERROR: *arg->pscode = v->scode; break;
        case VT_R4: *arg->pfltVal = v->fltVal; break;
        case VT_R8: *arg->pdblVal = v->dblVal; break;
        case VT_DATE: *arg->pdate = v->date; break;
        default: break;
      }
  }
  VariantClear(&old);
  VariantInit(v);
}

// What a failing transport call answers after the connection was closed
// over a reply that did not decode.
HRESULT BadReply(Connection* c, const char* what) {
  ORV_LOG(orvlog::kWarn, "transport connection " << c->Name() << ": bad reply: " << what << "; closing it");
  c->Close();
  return RPC_E_DISCONNECTED;
}

}  // namespace

bool RegisterProxyFactory(const IID& iid, ProxyFactory factory) {
  FactoryTable& t = Factories();
  std::lock_guard<std::mutex> lock(t.mu);
  t.byIid[IidKey(iid)] = factory;
  return true;
}

// ---- identity and counting --------------------------------------------------------

ProxyManager::ProxyManager(std::shared_ptr<Connection> connection, uint64_t objectId)
    : conn_(std::move(connection)), id_(objectId) {}

ProxyManager::~ProxyManager() {
  for (auto& p : parts_) delete p.second;
}

bool ProxyManager::TryAddRef() {
  ULONG n = refs_.load();
  while (n != 0)
    if (refs_.compare_exchange_weak(n, n + 1)) return true;
  return false;
}

ULONG ProxyManager::AddRef() { return ++refs_; }

ULONG ProxyManager::Release() {
  ULONG n = --refs_;
  if (n == 0) {
    conn_->ProxyGone(this, id_, remoteRefs_.exchange(0));
    delete this;
  }
  return n;
}

IUnknown* ProxyManager::InterfaceFor(REFIID iid) {
  if (iid == IID_IUnknown) {
    AddRef();
    return this;
  }
  std::lock_guard<std::mutex> lock(mu_);
  auto it = parts_.find(IidKey(iid));
  if (it == parts_.end()) {
    ProxyPart* part = nullptr;
    if (ProxyFactory f = FindFactory(iid)) {
      part = f(this);
    } else if (iid == IID_IDispatch) {
      part = new DispatchProxy(this, iid);
    } else if (const orvcom::InterfaceInfo* info = orvcom::FindInterfaceInfo(iid)) {
      if (info->dispinterface) part = new DispatchProxy(this, iid);
    }
    if (!part) return nullptr;
    it = parts_.emplace(IidKey(iid), part).first;
  }
  AddRef();
  return it->second->Unknown();
}

HRESULT ProxyManager::QueryInterface(REFIID iid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (iid == IID_IUnknown) {
    AddRef();
    *ppv = static_cast<IUnknown*>(this);
    return S_OK;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = parts_.find(IidKey(iid));
    if (it != parts_.end()) {
      AddRef();
      *ppv = it->second->Unknown();
      return S_OK;
    }
  }
  Writer w;
  msg::QueryInterface::WriteRequest(w, Op::kQueryInterface, id_, iid);
  Reply reply;
  // Asking for an interface is no call of the object's: a refusal leaves
  // the error information of the caller's last failing call where it is.
  HRESULT hr = conn_->Call(w, &reply, false);
  if (FAILED(hr)) return hr;
  try {
    if (FAILED(reply.hr)) return reply.hr;
    Reader r = reply.Payload();
    IUnknown* p = msg::QueryInterface::ReadReply(r, *conn_, iid);
    if (!p) return E_NOINTERFACE;
    *ppv = p;
    return S_OK;
  } catch (const DecodeError& e) {
    return BadReply(conn_.get(), e.what());
  }
}

// ---- typed calls -------------------------------------------------------------------

HRESULT ProxyManager::CallMember(const orvcom::InterfaceInfo* info, unsigned memberIndex, void** argv) {
  const orvcom::MemberInfo& m = info->members[memberIndex];
  for (unsigned k = 0; k < m.paramCount; ++k)
    if ((m.params[k].flags & orvcom::kParamOut) && !argv[k]) return E_POINTER;
  Writer w;
  try {
    msg::Call::WriteRequest(w, *conn_, id_, info, memberIndex, argv);
  } catch (const std::invalid_argument& e) {
    ORV_LOG(orvlog::kWarn, "transport: " << info->name << "." << m.name << ": argument cannot be sent: "
                                         << e.what());
    return DISP_E_BADVARTYPE;
  }
  Reply reply;
  HRESULT hr = conn_->Call(w, &reply);
  if (FAILED(hr)) return hr;
  if (FAILED(reply.hr)) return reply.hr;
  Reader r = reply.Payload();
  VariantVector outs(m.paramCount);
  try {
    msg::Call::ReadReply(r, *conn_, m, outs.v.data());
  } catch (const DecodeError& e) {
    return BadReply(conn_.get(), e.what());
  }
  // Every value arrived whole: only now are the caller's variables written.
  for (unsigned k = 0; k < m.paramCount; ++k)
    if (m.params[k].flags & orvcom::kParamOut) msg::Call::Store(m.params[k], &outs.v[k], argv[k]);
  return reply.hr;
}

// ---- IDispatch --------------------------------------------------------------------

HRESULT ProxyManager::RemoteGetTypeInfoCount(UINT* count) {
  if (!count) return E_INVALIDARG;
  Writer w;
  msg::GetTypeInfoCount::WriteRequest(w, id_);
  Reply reply;
  HRESULT hr = conn_->Call(w, &reply);
  if (FAILED(hr)) return hr;
  try {
    Reader r = reply.Payload();
    UINT n = msg::GetTypeInfoCount::ReadReply(r);
    if (FAILED(reply.hr)) return reply.hr;
    *count = n;
    return reply.hr;
  } catch (const DecodeError& e) {
    return BadReply(conn_.get(), e.what());
  }
}

HRESULT ProxyManager::RemoteGetIDsOfNames(REFIID itf, REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) {
  if ((count && (!names || !ids))) return E_INVALIDARG;
  Writer w;
  if (!msg::GetIDsOfNames::WriteRequest(w, id_, itf, riid, lcid, names, count)) return E_INVALIDARG;
  Reply reply;
  HRESULT hr = conn_->Call(w, &reply);
  if (FAILED(hr)) return hr;
  try {
    Reader r = reply.Payload();
    msg::GetIDsOfNames::ReadReply(r, count, ids);
    return reply.hr;
  } catch (const DecodeError& e) {
    return BadReply(conn_.get(), e.what());
  }
}

HRESULT ProxyManager::RemoteInvoke(REFIID itf, DISPID dispid, REFIID riid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) {
  static DISPPARAMS kNone{nullptr, nullptr, 0, 0};
  if (!params) params = &kNone;
  if ((params->cArgs && !params->rgvarg) || (params->cNamedArgs && !params->rgdispidNamedArgs) ||
      params->cNamedArgs > params->cArgs)
    return E_INVALIDARG;
  Writer w;
  try {
    msg::Invoke::WriteRequest(w, *conn_, id_, itf, dispid, riid, lcid, flags, *params, result != nullptr,
                              excepInfo != nullptr);
  } catch (const std::invalid_argument& e) {
    ORV_LOG(orvlog::kWarn, "transport: DISPID " << dispid << ": argument cannot be sent: " << e.what());
    return DISP_E_BADVARTYPE;
  }
  Reply reply;
  HRESULT hr = conn_->Call(w, &reply);
  if (FAILED(hr)) return hr;

  Reader r = reply.Payload();
  EXCEPINFO ei;
  std::memset(&ei, 0, sizeof ei);
  VARIANT res;
  VariantInit(&res);
  std::vector<VARIANT> refs;
  auto clear = [&] {
    SysFreeString(ei.bstrSource);
    SysFreeString(ei.bstrDescription);
    SysFreeString(ei.bstrHelpFile);
    VariantClear(&res);
    for (auto& v : refs) VariantClear(&v);
  };
  UINT err = 0;
  try {
    msg::Invoke::ReadReply(r, *conn_, reply.hr, *params, &ei, &err, &res, &refs);
  } catch (const DecodeError& e) {
    clear();
    return BadReply(conn_.get(), e.what());
  }
  if (argErr) *argErr = err;
  if (excepInfo && reply.hr == DISP_E_EXCEPTION) {
    *excepInfo = ei;
    std::memset(&ei, 0, sizeof ei);
  }
  if (SUCCEEDED(reply.hr)) {
    if (result) {
      *result = res;
      VariantInit(&res);
    }
    size_t k = 0;
    for (UINT i = 0; i < params->cArgs; ++i)
      if (params->rgvarg[i].vt & VT_BYREF) StoreByRef(&params->rgvarg[i], &refs[k++]);
  }
  clear();
  return reply.hr;
}

// ---- the standard interfaces --------------------------------------------------------

// The caller gets the pointer as `iid`, so the reference must have been
// written as exactly that interface.
IUnknown* ReadInterfaceAs(Connection* c, Reader& r, REFIID iid) {
  IID got;
  IUnknown* p = c->ReadInterface(r, &got);
  if (p && got != iid) {
    p->Release();
    throw DecodeError("reference of another interface than asked for");
  }
  return p;
}

namespace {
// A call whose payload on success is one interface reference of `iid`.
HRESULT CallForInterface(Connection* c, Writer& w, REFIID iid, void** ppv) {
  Reply reply;
  HRESULT hr = c->Call(w, &reply);
  if (FAILED(hr)) return hr;
  try {
    if (FAILED(reply.hr)) return reply.hr;
    Reader r = reply.Payload();
    IUnknown* p = msg::InterfaceReply::Read(r, *c, iid);
    if (!p) return E_NOINTERFACE;
    *ppv = p;
    return reply.hr;
  } catch (const DecodeError& e) {
    return BadReply(c, e.what());
  }
}

// A call whose payload is at most a 32-bit value (kAdvise's cookie).
HRESULT CallForU32(Connection* c, Writer& w, DWORD* out) {
  Reply reply;
  HRESULT hr = c->Call(w, &reply);
  if (FAILED(hr)) return hr;
  try {
    Reader r = reply.Payload();
    DWORD v = 0;
    if (out)
      v = msg::Advise::ReadReply(r);
    else
      msg::ReadEmptyReply(r);
    if (out && SUCCEEDED(reply.hr)) *out = v;
    return reply.hr;
  } catch (const DecodeError& e) {
    return BadReply(c, e.what());
  }
}
}  // namespace

bool DisconnectPeerOf(IUnknown* object) {
  if (!object) return false;
  IUnknown* identity = nullptr;
  if (FAILED(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity))) || !identity) return false;
  auto* pm = dynamic_cast<ProxyManager*>(identity);
  if (pm) pm->Conn()->Close();
  identity->Release();
  return pm != nullptr;
}

HRESULT ProxyManager::RemoteCreateInstance(REFIID riid, void** ppv) {
  Writer w;
  msg::CreateInstance::WriteRequest(w, id_, riid);
  return CallForInterface(conn_.get(), w, riid, ppv);
}

HRESULT ProxyManager::RemoteLockServer(BOOL lock) {
  Writer w;
  msg::LockServer::WriteRequest(w, id_, lock);
  return CallForU32(conn_.get(), w, nullptr);
}

HRESULT ProxyManager::RemoteFindConnectionPoint(REFIID riid, IConnectionPoint** cp) {
  if (!cp) return E_POINTER;
  *cp = nullptr;
  Writer w;
  msg::FindConnectionPoint::WriteRequest(w, id_, riid);
  return CallForInterface(conn_.get(), w, IID_IConnectionPoint, reinterpret_cast<void**>(cp));
}

HRESULT ProxyManager::RemoteGetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  Writer w;
  msg::GetConnectionInterface::WriteRequest(w, id_);
  Reply reply;
  HRESULT hr = conn_->Call(w, &reply);
  if (FAILED(hr)) return hr;
  try {
    Reader r = reply.Payload();
    IID got = msg::GetConnectionInterface::ReadReply(r);
    if (SUCCEEDED(reply.hr)) *iid = got;
    return reply.hr;
  } catch (const DecodeError& e) {
    return BadReply(conn_.get(), e.what());
  }
}

HRESULT ProxyManager::RemoteAdvise(IUnknown* sink, DWORD* cookie) {
  if (!sink || !cookie) return E_POINTER;
  Writer w;
  try {
    msg::Advise::WriteRequest(w, *conn_, id_, sink);
  } catch (const std::invalid_argument&) {
    return E_INVALIDARG;
  }
  return CallForU32(conn_.get(), w, cookie);
}

HRESULT ProxyManager::RemoteSupportsErrorInfo(REFIID riid) {
  Writer w;
  msg::SupportsErrorInfo::WriteRequest(w, id_, riid);
  return CallForU32(conn_.get(), w, nullptr);
}

HRESULT ProxyManager::RemoteUnadvise(DWORD cookie) {
  Writer w;
  msg::Unadvise::WriteRequest(w, id_, cookie);
  return CallForU32(conn_.get(), w, nullptr);
}

}  // namespace orvrpc
