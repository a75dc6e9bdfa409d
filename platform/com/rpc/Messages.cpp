#include "platform/com/rpc/Messages.h"

#include <cstring>

#include "platform/com/rpc/Connection.h"
#include "platform/com/rpc/ProxyManager.h"

namespace orvrpc {
namespace msg {

namespace {

// The [in] value of a typed parameter, as a VARIANT that borrows it.
VARIANT View(const orvcom::ParamInfo& p, void* arg) {
  VARIANT v;
  VariantInit(&v);
  switch (p.vt) {
    case VT_BSTR: v.bstrVal = *static_cast<BSTR*>(arg); break;
    case VT_I2: v.iVal = *static_cast<SHORT*>(arg); break;
    case VT_I4: v.lVal = *static_cast<LONG*>(arg); break;
    case VT_R4: v.fltVal = *static_cast<FLOAT*>(arg); break;
    case VT_R8: v.dblVal = *static_cast<DOUBLE*>(arg); break;
    case VT_DATE: v.date = *static_cast<DATE*>(arg); break;
    case VT_BOOL: v.boolVal = *static_cast<VARIANT_BOOL*>(arg); break;
    case VT_VARIANT: return *static_cast<VARIANT*>(arg);
    default: throw std::invalid_argument("parameter type");
  }
  v.vt = p.vt;
  return v;
}

// A typed parameter's pointer, as the parameter's own interface.
void WriteParamInterface(Writer& w, Connection& c, const orvcom::ParamInfo& p, IUnknown* value) {
  w.U16(p.vt);
  c.WriteInterface(w, value, DefaultIid(p));
}

void WriteIid(Writer& w, Op op, uint64_t objectId, const IID& itf, const IID& riid) {
  WriteRequestHead(w, op, objectId, itf);
  WriteGuid(w, riid);
}

IID ReadIidToEnd(Reader& r) {
  IID riid = ReadGuid(r);
  r.ExpectEnd();
  return riid;
}

}  // namespace

// ---- the envelopes ----

void WriteRequestHead(Writer& w, Op op, uint64_t objectId, const IID& iid) {
  w.U8(uint8_t(op));
  w.U64(objectId);
  WriteGuid(w, iid);
}

RequestHead ReadRequestHead(Reader& r) {
  RequestHead h;
  h.op = Op(r.U8());
  h.objectId = r.U64();
  h.iid = ReadGuid(r);
  return h;
}

void BeginReply(Writer& w) {
  w.I32(0);
  w.U32(0);
}

void FinishReply(Writer& w, HRESULT hr) {
  w.PatchU32(0, uint32_t(hr));
  w.PatchU32(4, uint32_t(w.BodySize() - kReplyHeadSize));
  if (FAILED(hr)) WriteErrorInfo(w);
}

void ReadReply(Reply* reply, bool carryErrorInfo) {
  Reader r(reply->body);
  reply->hr = r.I32();
  reply->length = r.U32();
  reply->offset = kReplyHeadSize;
  r.Take(reply->length);
  if (FAILED(reply->hr)) {
    if (carryErrorInfo) {
      ReadErrorInfo(r);
    } else {
      r.Take(r.Remaining());
    }
  }
  r.ExpectEnd();
}

void WriteRelease(Writer& w, uint64_t objectId, uint32_t count) {
  w.U64(objectId);
  w.U32(count);
}

void ReadRelease(const std::string& body, uint64_t* objectId, uint32_t* count) {
  Reader r(body);
  *objectId = r.U64();
  *count = r.U32();
  r.ExpectEnd();
}

void ReadEmptyReply(Reader& r) { r.ExpectEnd(); }

// ---- kGetRoot, kQueryInterface ----

void QueryInterface::WriteReply(Writer& w, Connection& c, IUnknown* p, const IID& iid) {
  c.WriteInterface(w, p, iid);
}

IUnknown* QueryInterface::ReadReply(Reader& r, Connection& c, const IID& iid) {
  return ReadInterfaceAs(&c, r, iid);
}

// ---- kCall ----

void Call::WriteRequest(Writer& w, Connection& c, uint64_t objectId, const orvcom::InterfaceInfo* info,
                        unsigned memberIndex, void* const* argv) {
  const orvcom::MemberInfo& m = info->members[memberIndex];
  WriteRequestHead(w, Op::kCall, objectId, *info->iid);
  w.U16(uint16_t(memberIndex));
  for (unsigned k = 0; k < m.paramCount; ++k) {
    const orvcom::ParamInfo& p = m.params[k];
    if (p.flags & orvcom::kParamOut) continue;
    if (IsInterfaceVt(p.vt))
      WriteParamInterface(w, c, p, *static_cast<IUnknown**>(argv[k]));
    else
      c.WriteVariant(w, View(p, argv[k]));
  }
}

void Call::ReadArguments(Reader& r, Connection& c, const orvcom::MemberInfo& m, VARIANT* args, VARIANT* outs) {
  unsigned n = 0;
  for (unsigned k = 0; k < m.paramCount; ++k)
    if (!(m.params[k].flags & orvcom::kParamRetval)) ++n;
  for (unsigned k = 0; k < m.paramCount; ++k) {
    const orvcom::ParamInfo& p = m.params[k];
    if (p.flags & orvcom::kParamRetval) continue;
    VARIANT& slot = args[n - 1 - k];  // last parameter first
    if (p.flags & orvcom::kParamOut) {
      slot.vt = VT_BYREF | VT_VARIANT;
      slot.pvarVal = &outs[k];
    } else {
      c.ReadVariant(r, &slot);
    }
  }
  r.ExpectEnd();
}

void Call::WriteReply(Writer& w, Connection& c, const orvcom::MemberInfo& m, const VARIANT* outs,
                      const VARIANT& result) {
  for (unsigned k = 0; k < m.paramCount; ++k) {
    const orvcom::ParamInfo& p = m.params[k];
    if (!(p.flags & orvcom::kParamOut)) continue;
    const VARIANT& v = (p.flags & orvcom::kParamRetval) ? result : outs[k];
    if (IsInterfaceVt(p.vt))
      WriteParamInterface(w, c, p, IsInterfaceVt(v.vt) ? v.punkVal : nullptr);
    else
      c.WriteVariant(w, v);
  }
}

void Call::ReadReply(Reader& r, Connection& c, const orvcom::MemberInfo& m, VARIANT* outs) {
  for (unsigned k = 0; k < m.paramCount; ++k) {
    const orvcom::ParamInfo& p = m.params[k];
    if (!(p.flags & orvcom::kParamOut)) continue;
    if (IsInterfaceVt(p.vt)) {
      // The pointer goes to the caller as the parameter's interface, so
      // it must have come as exactly that one.
      if (r.U16() != p.vt) throw DecodeError("result of the wrong type");
      IID iid;
      outs[k].vt = VT_UNKNOWN;
      outs[k].punkVal = c.ReadInterface(r, &iid);
      if (outs[k].punkVal && iid != DefaultIid(p)) throw DecodeError("result of the wrong interface");
      continue;
    }
    c.ReadVariant(r, &outs[k]);
    if (p.vt != VT_VARIANT && outs[k].vt != p.vt) throw DecodeError("result of the wrong type");
  }
  r.ExpectEnd();
}

void Call::Store(const orvcom::ParamInfo& p, VARIANT* v, void* out) {
  switch (p.vt) {
    case VT_BSTR: *static_cast<BSTR*>(out) = v->bstrVal; break;
    case VT_I2: *static_cast<SHORT*>(out) = v->iVal; break;
    case VT_I4: *static_cast<LONG*>(out) = v->lVal; break;
    case VT_R4: *static_cast<FLOAT*>(out) = v->fltVal; break;
    case VT_R8: *static_cast<DOUBLE*>(out) = v->dblVal; break;
    case VT_DATE: *static_cast<DATE*>(out) = v->date; break;
    case VT_BOOL: *static_cast<VARIANT_BOOL*>(out) = v->boolVal; break;
    case VT_VARIANT: *static_cast<VARIANT*>(out) = *v; break;
    case VT_DISPATCH: case VT_UNKNOWN: *static_cast<IUnknown**>(out) = v->punkVal; break;
    default: return;
  }
  VariantInit(v);  // handed over
}

// ---- kInvoke ----

void Invoke::WriteRequest(Writer& w, Connection& c, uint64_t objectId, const IID& itf, DISPID dispid,
                          const IID& riid, LCID lcid, WORD flags, const DISPPARAMS& params, bool wantResult,
                          bool wantExcep) {
  WriteRequestHead(w, Op::kInvoke, objectId, itf);
  w.I32(dispid);
  WriteGuid(w, riid);
  w.U32(lcid);
  w.U16(flags);
  w.U32(params.cArgs);
  for (UINT i = 0; i < params.cArgs; ++i) {
    const VARIANT& a = params.rgvarg[i];
    bool byref = (a.vt & VT_BYREF) != 0;
    w.U8(byref);
    if (byref) w.U16(a.vt);
    c.WriteVariant(w, a);
  }
  w.U32(params.cNamedArgs);
  for (UINT i = 0; i < params.cNamedArgs; ++i) w.I32(params.rgdispidNamedArgs[i]);
  w.U8(wantResult);
  w.U8(wantExcep);
}

uint32_t Invoke::ReadArgumentCount(Reader& r, Request* head) {
  head->dispid = r.I32();
  head->riid = ReadGuid(r);
  head->lcid = r.U32();
  head->flags = r.U16();
  uint32_t n = r.Count(3);
  r.Charge(uint64_t(n) * (2 * sizeof(VARIANT) + 1));
  return n;
}

void Invoke::ReadArguments(Reader& r, Connection& c, Request* req) {
  const uint32_t n = uint32_t(req->byref.size());
  for (uint32_t i = 0; i < n; ++i) {
    req->byref[i] = r.U8();
    VARTYPE refVt = req->byref[i] ? r.U16() : VARTYPE(VT_EMPTY);
    VARIANT& arg = req->args.v[i];
    VARIANT& held = req->held.v[i];
    if (!req->byref[i]) {
      c.ReadVariant(r, &arg);
      continue;
    }
    c.ReadVariant(r, &held);
    if (refVt == (VT_BYREF | VT_VARIANT)) {
      arg.vt = refVt;
      arg.pvarVal = &held;
    } else if (refVt == (VT_BYREF | held.vt)) {
      arg.vt = refVt;
      arg.byref = &held.lVal;  // every member of the union starts here
    } else {
      throw DecodeError("reference argument of the wrong type");
    }
  }
  uint32_t named = r.Count(4);
  r.Charge(uint64_t(named) * sizeof(DISPID));
  req->names.resize(named);
  for (auto& d : req->names) d = r.I32();
  req->wantResult = r.U8() != 0;
  req->wantExcep = r.U8() != 0;
  r.ExpectEnd();
}

void Invoke::WriteOutcome(Writer& w, bool hasExcep, const EXCEPINFO& ei, UINT argErr) {
  w.U8(hasExcep);
  if (hasExcep) {
    w.U16(ei.wCode);
    WriteBstr(w, ei.bstrSource);
    WriteBstr(w, ei.bstrDescription);
    WriteBstr(w, ei.bstrHelpFile);
    w.U32(ei.dwHelpContext);
    w.I32(ei.scode);
  }
  w.U32(argErr);
}

void Invoke::WriteValues(Writer& w, Connection& c, const Request& req, const VARIANT& result) {
  w.U8(req.wantResult);
  if (req.wantResult) c.WriteVariant(w, result);
  for (size_t i = 0; i < req.byref.size(); ++i)
    if (req.byref[i]) c.WriteVariant(w, req.held.v[i]);
}

void Invoke::ReadReply(Reader& r, Connection& c, HRESULT hr, const DISPPARAMS& params, EXCEPINFO* ei,
                       UINT* argErr, VARIANT* result, std::vector<VARIANT>* refs) {
  bool hasExcep = r.U8() != 0;
  if (hasExcep) {
    ei->wCode = r.U16();
    ei->bstrSource = ReadBstr(r);
    ei->bstrDescription = ReadBstr(r);
    ei->bstrHelpFile = ReadBstr(r);
    ei->dwHelpContext = r.U32();
    ei->scode = r.I32();
  }
  *argErr = r.U32();
  if (SUCCEEDED(hr)) {
    if (r.U8()) c.ReadVariant(r, result);
    for (UINT i = 0; i < params.cArgs; ++i) {
      const VARIANT& a = params.rgvarg[i];
      if (!(a.vt & VT_BYREF)) continue;
      refs->emplace_back();
      VariantInit(&refs->back());
      c.ReadVariant(r, &refs->back());
      VARTYPE want = VARTYPE(a.vt & ~VT_BYREF);
      if (want != VT_VARIANT && refs->back().vt != want) throw DecodeError("reference argument of the wrong type");
    }
  }
  r.ExpectEnd();
}

// ---- kGetIDsOfNames ----

bool GetIDsOfNames::WriteRequest(Writer& w, uint64_t objectId, const IID& itf, const IID& riid, LCID lcid,
                                 LPOLESTR* names, UINT count) {
  WriteRequestHead(w, Op::kGetIDsOfNames, objectId, itf);
  WriteGuid(w, riid);
  w.U32(lcid);
  w.U32(count);
  for (UINT i = 0; i < count; ++i) {
    if (!names[i]) return false;
    w.Str16(names[i], uint32_t(orvcom::OleStrLen(names[i])), false);
  }
  return true;
}

void GetIDsOfNames::ReadRequest(Reader& r, IID* riid, LCID* lcid, std::vector<std::u16string>* names) {
  *riid = ReadGuid(r);
  *lcid = r.U32();
  uint32_t count = r.Count(4);
  r.Charge(uint64_t(count) * (sizeof(std::u16string) + sizeof(LPOLESTR) + sizeof(DISPID)));
  names->resize(count);
  for (auto& name : *names)
    if (!r.Str16(&name)) throw DecodeError("null name");
  r.ExpectEnd();
}

void GetIDsOfNames::WriteReply(Writer& w, const std::vector<DISPID>& ids) {
  w.U32(uint32_t(ids.size()));
  for (DISPID d : ids) w.I32(d);
}

void GetIDsOfNames::ReadReply(Reader& r, UINT count, DISPID* ids) {
  uint32_t n = r.Count(4);
  if (n != count) throw DecodeError("wrong number of DISPIDs");
  std::vector<DISPID> got(n);
  for (auto& d : got) d = r.I32();
  r.ExpectEnd();
  for (UINT i = 0; i < count; ++i) ids[i] = got[i];
}

// ---- kCreateInstance, kFindConnectionPoint ----

void CreateInstance::WriteRequest(Writer& w, uint64_t objectId, const IID& riid) {
  WriteIid(w, Op::kCreateInstance, objectId, IID_IClassFactory, riid);
}

IID CreateInstance::ReadRequest(Reader& r) { return ReadIidToEnd(r); }

void InterfaceReply::Write(Writer& w, Connection& c, IUnknown* p, const IID& iid) {
  c.WriteInterface(w, p, iid);
}

IUnknown* InterfaceReply::Read(Reader& r, Connection& c, const IID& iid) {
  IUnknown* p = ReadInterfaceAs(&c, r, iid);
  if (!r.AtEnd()) {
    if (p) p->Release();
    throw DecodeError("trailing bytes in reply");
  }
  return p;
}

void FindConnectionPoint::WriteRequest(Writer& w, uint64_t objectId, const IID& riid) {
  WriteIid(w, Op::kFindConnectionPoint, objectId, IID_IConnectionPointContainer, riid);
}

IID FindConnectionPoint::ReadRequest(Reader& r) { return ReadIidToEnd(r); }

// ---- the rest ----

void LockServer::WriteRequest(Writer& w, uint64_t objectId, BOOL lock) {
  WriteRequestHead(w, Op::kLockServer, objectId, IID_IClassFactory);
  w.U8(lock ? 1 : 0);
}

BOOL LockServer::ReadRequest(Reader& r) {
  BOOL lock = r.U8();
  r.ExpectEnd();
  return lock;
}

IID GetConnectionInterface::ReadReply(Reader& r) { return ReadIidToEnd(r); }

void Advise::WriteRequest(Writer& w, Connection& c, uint64_t objectId, IUnknown* sink) {
  WriteRequestHead(w, Op::kAdvise, objectId, IID_IConnectionPoint);
  c.WriteInterface(w, sink, IID_IUnknown);
}

IUnknown* Advise::ReadRequest(Reader& r, Connection& c) {
  IUnknown* sink = c.ReadInterface(r);
  if (!r.AtEnd()) {
    if (sink) sink->Release();
    r.ExpectEnd();
  }
  return sink;
}

DWORD Advise::ReadReply(Reader& r) {
  DWORD cookie = r.U32();
  r.ExpectEnd();
  return cookie;
}

void Unadvise::WriteRequest(Writer& w, uint64_t objectId, DWORD cookie) {
  WriteRequestHead(w, Op::kUnadvise, objectId, IID_IConnectionPoint);
  w.U32(cookie);
}

DWORD Unadvise::ReadRequest(Reader& r) {
  DWORD cookie = r.U32();
  r.ExpectEnd();
  return cookie;
}

void SupportsErrorInfo::WriteRequest(Writer& w, uint64_t objectId, const IID& riid) {
  WriteIid(w, Op::kSupportsErrorInfo, objectId, IID_ISupportErrorInfo, riid);
}

IID SupportsErrorInfo::ReadRequest(Reader& r) { return ReadIidToEnd(r); }

}  // namespace msg
}  // namespace orvrpc
