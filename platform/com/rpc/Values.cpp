#include "platform/com/rpc/Values.h"

#include <climits>
#include <cstring>
#include <string>

#include "platform/com/rpc/Connection.h"

namespace orvrpc {

namespace {

// Nesting of VARIANT arrays within VARIANT arrays; the contract never goes
// past one level, a hostile peer could go on until the stack ends.
constexpr int kMaxVariantDepth = 8;

// The fewest bytes an array element takes on the wire, so that a count
// the body cannot hold is refused before the array is allocated.
size_t ElementWireSize(VARTYPE vt) {
  switch (vt) {
    case VT_UI1: case VT_UNKNOWN: case VT_DISPATCH: return 1;
    case VT_I2: case VT_BOOL: case VT_VARIANT: return 2;
    case VT_I4: case VT_R4: case VT_ERROR: case VT_BSTR: return 4;
    case VT_R8: case VT_DATE: return 8;
    default: return 0;
  }
}

// Elements that are numbers of the same width in memory and on the wire,
// so that an array of them travels as one block; 0 for the others.
size_t PlainElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_UI1: return 1;
    case VT_I2: case VT_BOOL: return 2;
    case VT_I4: case VT_R4: case VT_ERROR: return 4;
    case VT_R8: case VT_DATE: return 8;
    default: return 0;
  }
}

// What an array element takes in memory, for the decoded-size bound.
size_t ElementMemorySize(VARTYPE vt) {
  switch (vt) {
    case VT_UI1: return 1;
    case VT_I2: case VT_BOOL: return 2;
    case VT_I4: case VT_R4: case VT_ERROR: return 4;
    case VT_R8: case VT_DATE: return 8;
    case VT_VARIANT: return sizeof(VARIANT);
    default: return sizeof(void*);
  }
}

}  // namespace

void WriteGuid(Writer& w, const GUID& g) { w.Bytes(&g, sizeof g); }

GUID ReadGuid(Reader& r) {
  GUID g;
  std::memcpy(&g, r.Take(sizeof g), sizeof g);
  return g;
}

void WriteBstr(Writer& w, BSTR b) { w.Str16(b, b ? SysStringLen(b) : 0, b == nullptr); }

BSTR ReadBstr(Reader& r) {
  // Straight from the body into the string: the wire holds its code units
  // as they are in memory.
  const uint8_t* units = nullptr;
  uint32_t n = 0;
  if (!r.Str16Bytes(&units, &n)) return nullptr;
  r.Charge(sizeof(uint32_t) + (uint64_t(n) + 1) * sizeof(char16_t));
  BSTR b = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(units), UINT(n * sizeof(char16_t)));
  if (!b) throw DecodeError("out of memory for a string");
  return b;
}

void WriteErrorInfo(Writer& w) {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) {
    w.U8(0);
    return;
  }
  GUID g = GUID_NULL;
  BSTR source = nullptr, description = nullptr, helpFile = nullptr;
  DWORD context = 0;
  info->GetGUID(&g);
  info->GetSource(&source);
  info->GetDescription(&description);
  info->GetHelpFile(&helpFile);
  info->GetHelpContext(&context);
  info->Release();
  w.U8(1);
  WriteGuid(w, g);
  WriteBstr(w, source);
  WriteBstr(w, description);
  WriteBstr(w, helpFile);
  w.U32(context);
  SysFreeString(source);
  SysFreeString(description);
  SysFreeString(helpFile);
}

void ReadErrorInfo(Reader& r) {
  if (r.U8() == 0) {
    SetErrorInfo(0, nullptr);
    return;
  }
  GUID g = ReadGuid(r);
  std::u16string source, description, helpFile;
  bool hasSource = r.Str16(&source);
  bool hasDescription = r.Str16(&description);
  bool hasHelp = r.Str16(&helpFile);
  DWORD context = r.U32();
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create))) return;
  create->SetGUID(g);
  if (hasSource) create->SetSource(&source[0]);
  if (hasDescription) create->SetDescription(&description[0]);
  if (hasHelp) create->SetHelpFile(&helpFile[0]);
  create->SetHelpContext(context);
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
    SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
}

void WriteVariant(Writer& w, Connection& c, const VARIANT& in) {
  const VARIANT* v = &in;
  while (v->vt == (VT_BYREF | VT_VARIANT)) {
    if (!v->pvarVal) throw std::invalid_argument("null VARIANT reference");
    v = v->pvarVal;
  }
  VARTYPE vt = v->vt;
  bool byref = (vt & VT_BYREF) != 0;
  VARTYPE base = VARTYPE(vt & ~VT_BYREF);
  if (byref && !v->byref) throw std::invalid_argument("null reference");
  w.U16(base);
  if (base & VT_ARRAY) {
    SAFEARRAY* sa = byref ? *v->pparray : v->parray;
    VARTYPE elem = VARTYPE(base & VT_TYPEMASK);
    if (!sa) {
      w.U8(0);
      return;
    }
    VARTYPE actual = VT_EMPTY;
    if (SafeArrayGetDim(sa) != 1 || FAILED(SafeArrayGetVartype(sa, &actual)) || actual != elem)
      throw std::invalid_argument("array that cannot be sent");
    LONG lb = 0, ub = -1;
    SafeArrayGetLBound(sa, 1, &lb);
    SafeArrayGetUBound(sa, 1, &ub);
    uint32_t count = uint32_t(int64_t(ub) - int64_t(lb) + 1);
    w.U8(1);
    w.I32(lb);
    w.U32(count);
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(sa, &data))) throw std::invalid_argument("array locked");
    struct Unaccess {
      SAFEARRAY* sa;
      ~Unaccess() { SafeArrayUnaccessData(sa); }
    } unaccess{sa};
    // Numbers go as one block: the wire is little-endian and packed, as
    // the array's memory is.
    if (size_t width = PlainElementSize(elem)) {
      w.Bytes(data, size_t(count) * width);
      return;
    }
    for (uint32_t i = 0; i < count; ++i) {
      switch (elem) {
        case VT_UI1: w.U8(static_cast<BYTE*>(data)[i]); break;
        case VT_I2: w.I16(static_cast<SHORT*>(data)[i]); break;
        case VT_BOOL: w.I16(static_cast<VARIANT_BOOL*>(data)[i]); break;
        case VT_I4: w.I32(static_cast<LONG*>(data)[i]); break;
        case VT_ERROR: w.I32(static_cast<SCODE*>(data)[i]); break;
        case VT_R4: w.F32(static_cast<FLOAT*>(data)[i]); break;
        case VT_R8: w.F64(static_cast<DOUBLE*>(data)[i]); break;
        case VT_DATE: w.F64(static_cast<DATE*>(data)[i]); break;
        case VT_BSTR: WriteBstr(w, static_cast<BSTR*>(data)[i]); break;
        case VT_VARIANT: WriteVariant(w, c, static_cast<VARIANT*>(data)[i]); break;
        case VT_UNKNOWN: c.WriteInterface(w, static_cast<IUnknown**>(data)[i], IID_IUnknown); break;
        case VT_DISPATCH: c.WriteInterface(w, static_cast<IDispatch**>(data)[i], IID_IDispatch); break;
        default: throw std::invalid_argument("array of a type that cannot be sent");
      }
    }
    return;
  }
  switch (base) {
    case VT_EMPTY: case VT_NULL: return;
    case VT_UI1: w.U8(byref ? *v->pbVal : v->bVal); return;
    case VT_I2: w.I16(byref ? *v->piVal : v->iVal); return;
    case VT_BOOL: w.I16(byref ? *v->pboolVal : v->boolVal); return;
    case VT_I4: w.I32(byref ? *v->plVal : v->lVal); return;
    case VT_ERROR: w.I32(byref ? *v->pscode : v->scode); return;
    case VT_R4: w.F32(byref ? *v->pfltVal : v->fltVal); return;
    case VT_R8: w.F64(byref ? *v->pdblVal : v->dblVal); return;
    case VT_DATE: w.F64(byref ? *v->pdate : v->date); return;
    case VT_BSTR: WriteBstr(w, byref ? *v->pbstrVal : v->bstrVal); return;
    case VT_UNKNOWN: c.WriteInterface(w, byref ? *v->ppunkVal : v->punkVal, IID_IUnknown); return;
    case VT_DISPATCH: c.WriteInterface(w, byref ? *v->ppdispVal : v->pdispVal, IID_IDispatch); return;
    default: throw std::invalid_argument("VARIANT of a type that cannot be sent");
  }
}

void ReadVariant(Reader& r, Connection& c, VARIANT* v, int depth) {
  if (depth > kMaxVariantDepth) throw DecodeError("VARIANT arrays nested too deep");
  VARTYPE vt = r.U16();
  if (vt & VT_BYREF) throw DecodeError("reference in a VARIANT value");
  if (vt & VT_ARRAY) {
    VARTYPE elem = VARTYPE(vt & VT_TYPEMASK);
    size_t minSize = ElementWireSize(elem);
    if ((vt & ~(VT_ARRAY | VT_TYPEMASK)) != 0 || minSize == 0) throw DecodeError("bad array type");
    if (r.U8() == 0) {
      v->vt = vt;
      v->parray = nullptr;
      return;
    }
    LONG lb = r.I32();
    uint32_t count = r.Count(minSize);
    if (count && int64_t(lb) + int64_t(count) - 1 > INT32_MAX) throw DecodeError("array bounds overflow");
    r.Charge(uint64_t(count) * ElementMemorySize(elem));
    SAFEARRAY* sa = SafeArrayCreateVector(elem, lb, count);
    if (!sa) throw DecodeError("cannot make an array of that shape");
    void* data = nullptr;
    SafeArrayAccessData(sa, &data);
    if (size_t width = PlainElementSize(elem)) {
      // Checked by Count above: the body holds count * width bytes.
      if (count) std::memcpy(data, r.Take(size_t(count) * width), size_t(count) * width);
      SafeArrayUnaccessData(sa);
      v->vt = vt;
      v->parray = sa;
      return;
    }
    try {
      for (uint32_t i = 0; i < count; ++i) {
        switch (elem) {
          case VT_UI1: static_cast<BYTE*>(data)[i] = r.U8(); break;
          case VT_I2: static_cast<SHORT*>(data)[i] = r.I16(); break;
          case VT_BOOL: static_cast<VARIANT_BOOL*>(data)[i] = r.I16(); break;
          case VT_I4: static_cast<LONG*>(data)[i] = r.I32(); break;
          case VT_ERROR: static_cast<SCODE*>(data)[i] = r.I32(); break;
          case VT_R4: static_cast<FLOAT*>(data)[i] = r.F32(); break;
          case VT_R8: static_cast<DOUBLE*>(data)[i] = r.F64(); break;
          case VT_DATE: static_cast<DATE*>(data)[i] = r.F64(); break;
          case VT_BSTR: static_cast<BSTR*>(data)[i] = ReadBstr(r); break;
          case VT_VARIANT: ReadVariant(r, c, &static_cast<VARIANT*>(data)[i], depth + 1); break;
          case VT_UNKNOWN: static_cast<IUnknown**>(data)[i] = c.ReadInterface(r); break;
          case VT_DISPATCH: static_cast<IDispatch**>(data)[i] = c.ReadDispatch(r); break;
          default: throw DecodeError("bad array type");
        }
      }
    } catch (...) {
      SafeArrayUnaccessData(sa);
      SafeArrayDestroy(sa);
      throw;
    }
    SafeArrayUnaccessData(sa);
    v->vt = vt;
    v->parray = sa;
    return;
  }
  switch (vt) {
    case VT_EMPTY: case VT_NULL: break;
    case VT_UI1: v->bVal = r.U8(); break;
    case VT_I2: v->iVal = r.I16(); break;
    case VT_BOOL: v->boolVal = r.I16(); break;
    case VT_I4: v->lVal = r.I32(); break;
    case VT_ERROR: v->scode = r.I32(); break;
    case VT_R4: v->fltVal = r.F32(); break;
    case VT_R8: v->dblVal = r.F64(); break;
    case VT_DATE: v->date = r.F64(); break;
    case VT_BSTR: v->bstrVal = ReadBstr(r); break;
    case VT_UNKNOWN: v->punkVal = c.ReadInterface(r); break;
    case VT_DISPATCH: v->pdispVal = c.ReadDispatch(r); break;
    default: throw DecodeError("VARIANT of unknown type " + std::to_string(vt));
  }
  v->vt = vt;
}

}  // namespace orvrpc
