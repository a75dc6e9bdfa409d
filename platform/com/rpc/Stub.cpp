#include "platform/com/rpc/Stub.h"

#include <cstring>
#include <vector>

#include "platform/com/rpc/Connection.h"
#include "platform/log/Log.h"

namespace orvrpc {

namespace {
struct Releaser {
  IUnknown* p;
  ~Releaser() {
    if (p) p->Release();
  }
};
}  // namespace

HRESULT Stub::Serve(const msg::RequestHead& head, Reader& r, Writer& w) {
  HRESULT hr = S_OK;
  const IID& iid = head.iid;
  if (head.op == Op::kGetRoot) {
    IUnknown* root = c_.Root();
    Releaser hold{root};
    if (!root) return E_NOINTERFACE;
    IUnknown* p = nullptr;
    hr = root->QueryInterface(iid, reinterpret_cast<void**>(&p));
    if (FAILED(hr)) return hr;
    Releaser holdP{p};
    msg::QueryInterface::WriteReply(w, c_, p, iid);
    return S_OK;
  }

  IUnknown* target =
      c_.ExportedInterface(head.objectId, head.op == Op::kQueryInterface ? IID_IUnknown : iid, &hr);
  if (!target) return hr;
  Releaser holdTarget{target};

  switch (head.op) {
    case Op::kQueryInterface: {
      IUnknown* p = nullptr;
      hr = target->QueryInterface(iid, reinterpret_cast<void**>(&p));
      if (FAILED(hr)) return hr;
      Releaser holdP{p};
      msg::QueryInterface::WriteReply(w, c_, p, iid);
      return S_OK;
    }

    case Op::kCall:
      return ServeCall(target, iid, r, w);

    case Op::kInvoke:
      return ServeInvoke(static_cast<IDispatch*>(target), r, w);

    case Op::kGetIDsOfNames:
      return ServeGetIDsOfNames(static_cast<IDispatch*>(target), r, w);

    case Op::kGetTypeInfoCount: {
      UINT count = 0;
      hr = static_cast<IDispatch*>(target)->GetTypeInfoCount(&count);
      msg::GetTypeInfoCount::WriteReply(w, count);
      return hr;
    }

    case Op::kCreateInstance: {
      IID riid = msg::CreateInstance::ReadRequest(r);
      IUnknown* p = nullptr;
      hr = static_cast<IClassFactory*>(target)->CreateInstance(nullptr, riid, reinterpret_cast<void**>(&p));
      if (FAILED(hr)) return hr;
      Releaser holdP{p};
      msg::InterfaceReply::Write(w, c_, p, riid);
      return hr;
    }

    case Op::kLockServer: {
      BOOL lock = msg::LockServer::ReadRequest(r);
      return c_.ServeLockServer(static_cast<IClassFactory*>(target), lock);
    }

    case Op::kFindConnectionPoint: {
      IID riid = msg::FindConnectionPoint::ReadRequest(r);
      IConnectionPoint* cp = nullptr;
      hr = static_cast<IConnectionPointContainer*>(target)->FindConnectionPoint(riid, &cp);
      if (FAILED(hr)) return hr;
      Releaser holdCp{cp};
      msg::InterfaceReply::Write(w, c_, cp, IID_IConnectionPoint);
      return hr;
    }

    case Op::kGetConnectionInterface: {
      IID out = GUID_NULL;
      hr = static_cast<IConnectionPoint*>(target)->GetConnectionInterface(&out);
      msg::GetConnectionInterface::WriteReply(w, out);
      return hr;
    }

    case Op::kAdvise: {
      IUnknown* sink = msg::Advise::ReadRequest(r, c_);
      Releaser holdSink{sink};
      DWORD cookie = 0;
      hr = static_cast<IConnectionPoint*>(target)->Advise(sink, &cookie);
      msg::Advise::WriteReply(w, cookie);
      return hr;
    }

    case Op::kSupportsErrorInfo: {
      IID riid = msg::SupportsErrorInfo::ReadRequest(r);
      return static_cast<ISupportErrorInfo*>(target)->InterfaceSupportsErrorInfo(riid);
    }

    case Op::kUnadvise: {
      DWORD cookie = msg::Unadvise::ReadRequest(r);
      return static_cast<IConnectionPoint*>(target)->Unadvise(cookie);
    }

    default:
      throw DecodeError("unknown operation " + std::to_string(int(head.op)));
  }
}

HRESULT Stub::ServeCall(IUnknown* target, const IID& iid, Reader& r, Writer& w) {
  unsigned index = msg::Call::ReadMemberIndex(r);
  const orvcom::InterfaceInfo* info = orvcom::FindInterfaceInfo(iid);
  if (!info || info->dispinterface || index >= info->memberCount || !info->members[index].invoke)
    return E_NOTIMPL;
  const orvcom::MemberInfo& m = info->members[index];
  unsigned n = 0;
  for (unsigned k = 0; k < m.paramCount; ++k)
    if (!(m.params[k].flags & orvcom::kParamRetval)) ++n;
  VariantVector args(n), outs(m.paramCount);
  msg::Call::ReadArguments(r, c_, m, args.v.data(), outs.v.data());
  DISPID put = DISPID_PROPERTYPUT;
  bool isPut = m.kind == orvcom::MemberKind::kPropPut;
  DISPPARAMS dp{n ? args.v.data() : nullptr, isPut ? &put : nullptr, n, isPut ? 1u : 0u};
  VariantVector result(1);
  UINT argErr = 0;
  HRESULT hr = m.invoke(target, &dp, &result.v[0], &argErr);
  if (FAILED(hr)) return hr;
  // Byref slots point into `outs`; forget them before the vector clears.
  try {
    msg::Call::WriteReply(w, c_, m, outs.v.data(), result.v[0]);
  } catch (const std::invalid_argument& e) {
    ORV_LOG(orvlog::kWarn, "transport: result of " << info->name << "." << m.name
                                                   << " cannot be sent: " << e.what());
    w.Truncate(msg::kReplyHeadSize);
    return DISP_E_BADVARTYPE;
  }
  return hr;
}

HRESULT Stub::ServeInvoke(IDispatch* target, Reader& r, Writer& w) {
  msg::Invoke::Request head(0);
  uint32_t n = msg::Invoke::ReadArgumentCount(r, &head);
  msg::Invoke::Request req(n);
  req.dispid = head.dispid;
  req.riid = head.riid;
  req.lcid = head.lcid;
  req.flags = head.flags;
  msg::Invoke::ReadArguments(r, c_, &req);
  DISPPARAMS dp{n ? req.args.v.data() : nullptr, req.names.empty() ? nullptr : req.names.data(), n,
                UINT(req.names.size())};
  VariantVector result(1);
  EXCEPINFO ei;
  std::memset(&ei, 0, sizeof ei);
  UINT argErr = 0;
  HRESULT hr = target->Invoke(req.dispid, req.riid, req.lcid, req.flags, &dp,
                              req.wantResult ? &result.v[0] : nullptr, req.wantExcep ? &ei : nullptr, &argErr);
  if (ei.pfnDeferredFillIn) ei.pfnDeferredFillIn(&ei);
  msg::Invoke::WriteOutcome(w, req.wantExcep && hr == DISP_E_EXCEPTION, ei, argErr);
  SysFreeString(ei.bstrSource);
  SysFreeString(ei.bstrDescription);
  SysFreeString(ei.bstrHelpFile);
  if (SUCCEEDED(hr)) {
    size_t mark = w.BodySize();
    try {
      msg::Invoke::WriteValues(w, c_, req, result.v[0]);
    } catch (const std::invalid_argument& e) {
      ORV_LOG(orvlog::kWarn, "transport: result of DISPID " << req.dispid << " cannot be sent: " << e.what());
      w.Truncate(mark);
      return DISP_E_BADVARTYPE;
    }
  }
  return hr;
}

HRESULT Stub::ServeGetIDsOfNames(IDispatch* target, Reader& r, Writer& w) {
  IID riid;
  LCID lcid;
  std::vector<std::u16string> names;
  msg::GetIDsOfNames::ReadRequest(r, &riid, &lcid, &names);
  const UINT count = UINT(names.size());
  std::vector<LPOLESTR> ptrs(count);
  for (UINT i = 0; i < count; ++i) ptrs[i] = &names[i][0];
  std::vector<DISPID> ids(count, DISPID_UNKNOWN);
  HRESULT hr = target->GetIDsOfNames(riid, count ? ptrs.data() : nullptr, count, lcid, count ? ids.data() : nullptr);
  msg::GetIDsOfNames::WriteReply(w, ids);
  return hr;
}

}  // namespace orvrpc
