#include <mutex>
#include <vector>

#include "platform/com/dispatch.h"

namespace orvcom {

namespace {

struct Libraries {
  std::mutex mutex;
  std::vector<const TypeLibInfo*> libs;
};

Libraries& Libs() {
  static Libraries* libs = new Libraries();  // used by static initialisers and destructors
  return *libs;
}

bool SameName(const OLECHAR* a, const char* b) {
  for (;; ++a, ++b) {
    OLECHAR x = *a;
    char16_t y = char16_t(static_cast<unsigned char>(*b));
    if (x >= 'a' && x <= 'z') x = char16_t(x - 32);
    if (y >= 'a' && y <= 'z') y = char16_t(y - 32);
    if (x != y) return false;
    if (!x) return true;
  }
}

}  // namespace

bool RegisterTypeLibInfo(const TypeLibInfo* lib) {
  Libraries& l = Libs();
  std::lock_guard<std::mutex> lock(l.mutex);
  l.libs.push_back(lib);
  return true;
}

const TypeLibInfo* FindTypeLibInfo(REFGUID libid) {
  Libraries& l = Libs();
  std::lock_guard<std::mutex> lock(l.mutex);
  for (const TypeLibInfo* lib : l.libs)
    if (*lib->libid == libid) return lib;
  return nullptr;
}

const InterfaceInfo* FindInterfaceInfo(REFIID iid) {
  Libraries& l = Libs();
  std::lock_guard<std::mutex> lock(l.mutex);
  for (const TypeLibInfo* lib : l.libs)
    for (unsigned i = 0; i < lib->interfaceCount; ++i)
      if (*lib->interfaces[i]->iid == iid) return lib->interfaces[i];
  return nullptr;
}

const RegistryScript* FindRegistryScript(UINT resourceId) {
  Libraries& l = Libs();
  std::lock_guard<std::mutex> lock(l.mutex);
  for (const TypeLibInfo* lib : l.libs)
    for (unsigned i = 0; i < lib->scriptCount; ++i)
      if (lib->scripts[i].resourceId == resourceId) return &lib->scripts[i];
  return nullptr;
}

HRESULT TableGetIDsOfNames(const InterfaceInfo* info, REFIID riid, LPOLESTR* names, UINT count,
                           DISPID* ids) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (!names || !ids || count == 0) return E_INVALIDARG;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  const MemberInfo* member = nullptr;
  for (unsigned m = 0; m < info->memberCount && !member; ++m)
    if (names[0] && SameName(names[0], info->members[m].name)) member = &info->members[m];
  if (!member) return DISP_E_UNKNOWNNAME;
  ids[0] = member->dispid;
  HRESULT hr = S_OK;
  for (UINT i = 1; i < count; ++i) {
    for (unsigned p = 0; p < member->paramCount; ++p)
      if (names[i] && SameName(names[i], member->params[p].name)) ids[i] = DISPID(p);
    if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

const MemberInfo* FindMember(const InterfaceInfo* info, DISPID dispid, WORD flags) {
  for (unsigned m = 0; m < info->memberCount; ++m) {
    const MemberInfo& member = info->members[m];
    if (member.dispid != dispid) continue;
    switch (member.kind) {
      case MemberKind::kMethod:
        if (flags & DISPATCH_METHOD) return &member;
        // A method with a result may be read as a property.
        if ((flags & DISPATCH_PROPERTYGET) && member.paramCount &&
            (member.params[member.paramCount - 1].flags & kParamRetval))
          return &member;
        break;
      case MemberKind::kPropGet:
        if (flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) return &member;
        break;
      case MemberKind::kPropPut:
        if (flags & DISPATCH_PROPERTYPUT) return &member;
        break;
    }
  }
  return nullptr;
}

void FillExcepInfo(EXCEPINFO* excepInfo, HRESULT hr, IUnknown* object, REFIID iid) {
  *excepInfo = EXCEPINFO();
  excepInfo->scode = hr;
  ISupportErrorInfo* support = nullptr;
  if (!object || FAILED(object->QueryInterface(IID_ISupportErrorInfo,
                                               reinterpret_cast<void**>(&support))))
    return;
  bool supported = support->InterfaceSupportsErrorInfo(iid) == S_OK;
  support->Release();
  if (!supported) return;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return;
  info->GetSource(&excepInfo->bstrSource);
  info->GetDescription(&excepInfo->bstrDescription);
  info->GetHelpFile(&excepInfo->bstrHelpFile);
  info->GetHelpContext(&excepInfo->dwHelpContext);
  info->Release();
}

HRESULT TableInvoke(const InterfaceInfo* info, void* itf, IUnknown* object, DISPID dispid,
                    REFIID riid, WORD flags, DISPPARAMS* params, VARIANT* result,
                    EXCEPINFO* excepInfo, UINT* argErr) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (!params) return E_INVALIDARG;
  const MemberInfo* member = FindMember(info, dispid, flags);
  if (!member || !member->invoke) return DISP_E_MEMBERNOTFOUND;
  // The member may fail without error information; what the thread held
  // before belongs to an earlier failure.
  HRESULT hr = member->invoke(itf, params, result, argErr);
  if (FAILED(hr) && excepInfo && HRESULT_FACILITY(hr) != FACILITY_DISPATCH) {
    FillExcepInfo(excepInfo, hr, object, *info->iid);
    return DISP_E_EXCEPTION;
  }
  return hr;
}

// ---- Args ----------------------------------------------------------------------

Args::~Args() {
  for (VARIANT& v : temps_) VariantClear(&v);
  for (IUnknown* p : refs_)
    if (p) p->Release();
}

HRESULT Args::Expect(UINT count, bool propPut) {
  if (params_->cNamedArgs) {
    bool putValue = propPut && params_->cNamedArgs == 1 && params_->rgdispidNamedArgs &&
                    params_->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT;
    if (!putValue) return DISP_E_NONAMEDARGS;
  }
  if (params_->cArgs != count) return DISP_E_BADPARAMCOUNT;
  if (count && !params_->rgvarg) return E_INVALIDARG;
  temps_.reserve(count);
  return S_OK;
}

VARIANT* Args::Arg(UINT pos) { return &params_->rgvarg[params_->cArgs - 1 - pos]; }

HRESULT Args::Mismatch(UINT pos, HRESULT hr) {
  if (argErr_) *argErr_ = params_->cArgs - 1 - pos;
  return hr == DISP_E_OVERFLOW ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH;
}

HRESULT Args::Coerce(UINT pos, VARTYPE vt, VARIANT** out) {
  VARIANT* arg = Arg(pos);
  VARTYPE base = VARTYPE(arg->vt & ~VT_BYREF);
  if (base == vt && !(arg->vt & VT_BYREF)) {
    *out = arg;
    return S_OK;
  }
  temps_.emplace_back();
  VARIANT* temp = &temps_.back();
  VariantInit(temp);
  HRESULT hr = VariantChangeType(temp, arg, 0, vt);
  if (FAILED(hr)) return Mismatch(pos, hr);
  *out = temp;
  return S_OK;
}

HRESULT Args::InBstr(UINT pos, BSTR* value) {
  VARIANT* v = Arg(pos);
  // A string by reference is the caller's own string: methods that change
  // their argument in place change the caller's.
  if (v->vt == (VT_BYREF | VT_BSTR) && v->pbstrVal) {
    *value = *v->pbstrVal;
    return S_OK;
  }
  HRESULT hr = Coerce(pos, VT_BSTR, &v);
  if (SUCCEEDED(hr)) *value = v->bstrVal;
  return hr;
}

#define ORVCOM_IN(fn, type, vtype, field)  \
  HRESULT Args::fn(UINT pos, type* value) { \
    VARIANT* v = nullptr;                   \
    HRESULT hr = Coerce(pos, vtype, &v);    \
    if (SUCCEEDED(hr)) *value = v->field;   \
    return hr;                              \
  }
ORVCOM_IN(InI2, SHORT, VT_I2, iVal)
ORVCOM_IN(InI4, LONG, VT_I4, lVal)
ORVCOM_IN(InR4, FLOAT, VT_R4, fltVal)
ORVCOM_IN(InR8, DOUBLE, VT_R8, dblVal)
ORVCOM_IN(InDate, DATE, VT_DATE, date)
ORVCOM_IN(InBool, VARIANT_BOOL, VT_BOOL, boolVal)
#undef ORVCOM_IN

HRESULT Args::InVariant(UINT pos, VARIANT* value) {
  VARIANT* v = Arg(pos);
  if (v->vt == (VT_BYREF | VT_VARIANT)) {
    if (!v->pvarVal) return Mismatch(pos, DISP_E_TYPEMISMATCH);
    v = v->pvarVal;
  }
  *value = *v;
  return S_OK;
}

HRESULT Args::InItf(UINT pos, REFIID iid, void** value) {
  *value = nullptr;
  VARIANT view;
  VARIANT* v = Arg(pos);
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  if (v->vt == (VT_BYREF | VT_DISPATCH) || v->vt == (VT_BYREF | VT_UNKNOWN)) {
    VariantInit(&view);
    view.vt = VARTYPE(v->vt & ~VT_BYREF);
    view.punkVal = v->ppunkVal ? *v->ppunkVal : nullptr;
    v = &view;
  }
  if (v->vt == VT_EMPTY || ((v->vt == VT_DISPATCH || v->vt == VT_UNKNOWN) && !v->punkVal))
    return S_OK;
  if (v->vt != VT_DISPATCH && v->vt != VT_UNKNOWN) return Mismatch(pos, DISP_E_TYPEMISMATCH);
  IUnknown* p = v->vt == VT_DISPATCH ? static_cast<IUnknown*>(v->pdispVal) : v->punkVal;
  void* q = nullptr;
  if (FAILED(p->QueryInterface(iid, &q)) || !q) return Mismatch(pos, DISP_E_TYPEMISMATCH);
  refs_.push_back(static_cast<IUnknown*>(q));
  *value = q;
  return S_OK;
}

HRESULT Args::CheckOut(UINT pos, VARTYPE vt) {
  VARIANT* v = Arg(pos);
  if ((v->vt == (VT_BYREF | vt) || v->vt == (VT_BYREF | VT_VARIANT)) && v->byref) return S_OK;
  return Mismatch(pos, DISP_E_TYPEMISMATCH);
}

namespace {
// Into a VT_BYREF|VT_VARIANT target the value goes as a VARIANT of its own
// type; whatever that VARIANT held before is cleared.
VARIANT* VariantTarget(VARIANT* arg) {
  if (arg->vt != (VT_BYREF | VT_VARIANT)) return nullptr;
  VariantClear(arg->pvarVal);
  return arg->pvarVal;
}
}  // namespace

#define ORVCOM_OUT(fn, type, vtype, field, reffield)         \
  void Args::fn(UINT pos, type value) {                       \
    VARIANT* arg = Arg(pos);                                  \
    if (VARIANT* t = VariantTarget(arg)) {                    \
      t->vt = vtype;                                          \
      t->field = value;                                       \
    } else {                                                  \
      *arg->reffield = value;                                 \
    }                                                         \
  }
ORVCOM_OUT(OutBstr, BSTR, VT_BSTR, bstrVal, pbstrVal)
ORVCOM_OUT(OutI2, SHORT, VT_I2, iVal, piVal)
ORVCOM_OUT(OutI4, LONG, VT_I4, lVal, plVal)
ORVCOM_OUT(OutR4, FLOAT, VT_R4, fltVal, pfltVal)
ORVCOM_OUT(OutR8, DOUBLE, VT_R8, dblVal, pdblVal)
ORVCOM_OUT(OutDate, DATE, VT_DATE, date, pdate)
ORVCOM_OUT(OutBool, VARIANT_BOOL, VT_BOOL, boolVal, pboolVal)
ORVCOM_OUT(OutDispatch, IDispatch*, VT_DISPATCH, pdispVal, ppdispVal)
ORVCOM_OUT(OutUnknown, IUnknown*, VT_UNKNOWN, punkVal, ppunkVal)
#undef ORVCOM_OUT

void Args::OutVariant(UINT pos, VARIANT* value) {
  VARIANT* arg = Arg(pos);
  VARIANT* target = arg->pvarVal;
  VariantClear(target);
  *target = *value;
  VariantInit(value);
}

#define ORVCOM_RET(fn, type, vtype, field) \
  void Args::fn(VARIANT* result, type value) { \
    if (!result) return;                    \
    VariantInit(result);                    \
    result->vt = vtype;                     \
    result->field = value;                  \
  }
ORVCOM_RET(RetI2, SHORT, VT_I2, iVal)
ORVCOM_RET(RetI4, LONG, VT_I4, lVal)
ORVCOM_RET(RetR4, FLOAT, VT_R4, fltVal)
ORVCOM_RET(RetR8, DOUBLE, VT_R8, dblVal)
ORVCOM_RET(RetDate, DATE, VT_DATE, date)
ORVCOM_RET(RetBool, VARIANT_BOOL, VT_BOOL, boolVal)
#undef ORVCOM_RET

void Args::RetBstr(VARIANT* result, BSTR value) {
  if (!result) {
    SysFreeString(value);
    return;
  }
  VariantInit(result);
  result->vt = VT_BSTR;
  result->bstrVal = value;
}

void Args::RetVariant(VARIANT* result, VARIANT* value) {
  if (!result) {
    VariantClear(value);
    return;
  }
  *result = *value;
  VariantInit(value);
}

void Args::RetDispatch(VARIANT* result, IDispatch* value) {
  if (!result) {
    if (value) value->Release();
    return;
  }
  VariantInit(result);
  result->vt = VT_DISPATCH;
  result->pdispVal = value;
}

void Args::RetUnknown(VARIANT* result, IUnknown* value) {
  if (!result) {
    if (value) value->Release();
    return;
  }
  VariantInit(result);
  result->vt = VT_UNKNOWN;
  result->punkVal = value;
}

}  // namespace orvcom
