#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/com/oleauto.h"

namespace {

bool KnownBase(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_DATE:
    case VT_BSTR: case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_VARIANT:
    case VT_UNKNOWN: case VT_UI1:
      return true;
    default:
      return false;
  }
}

// The value a by-reference VARIANT points at, as a by-value view that
// owns nothing. False for a type this runtime does not know.
bool Deref(const VARIANT* src, VARIANT* view) {
  if (!(src->vt & VT_BYREF)) {
    *view = *src;
    return true;
  }
  VARTYPE base = VARTYPE(src->vt & ~VT_BYREF);
  VariantInit(view);
  if (!src->byref) return false;
  if (base & VT_ARRAY) {
    view->vt = base;
    view->parray = *src->pparray;
    return true;
  }
  switch (base) {
    case VT_I2: view->iVal = *src->piVal; break;
    case VT_I4: view->lVal = *src->plVal; break;
    case VT_R4: view->fltVal = *src->pfltVal; break;
    case VT_R8: view->dblVal = *src->pdblVal; break;
    case VT_DATE: view->date = *src->pdate; break;
    case VT_BOOL: view->boolVal = *src->pboolVal; break;
    case VT_ERROR: view->scode = *src->pscode; break;
    case VT_UI1: view->bVal = *src->pbVal; break;
    case VT_BSTR: view->bstrVal = *src->pbstrVal; break;
    case VT_DISPATCH: view->pdispVal = *src->ppdispVal; break;
    case VT_UNKNOWN: view->punkVal = *src->ppunkVal; break;
    case VT_VARIANT: return Deref(src->pvarVal, view);
    default: return false;
  }
  view->vt = base;
  return true;
}

// Text to number: the whole text (blanks around it aside) must be one.
HRESULT ParseNumber(BSTR text, double* value) {
  std::string s = orvcom::Narrow(text, SysStringLen(text));
  size_t b = s.find_first_not_of(" \t");
  size_t e = s.find_last_not_of(" \t");
  if (b == std::string::npos) return DISP_E_TYPEMISMATCH;
  s = s.substr(b, e - b + 1);
  if (s.size() == 4 && strcasecmp(s.c_str(), "true") == 0) {
    *value = -1;
    return S_OK;
  }
  if (s.size() == 5 && strcasecmp(s.c_str(), "false") == 0) {
    *value = 0;
    return S_OK;
  }
  // Only decimal notation: hexadecimal, infinities and NaN are not numbers here.
  for (char c : s)
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' ||
          c == 'e' || c == 'E'))
      return DISP_E_TYPEMISMATCH;
  char* end = nullptr;
  errno = 0;
  double d = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size()) return DISP_E_TYPEMISMATCH;
  if (errno == ERANGE && std::isinf(d)) return DISP_E_OVERFLOW;
  *value = d;
  return S_OK;
}

HRESULT ToNumber(const VARIANT& v, double* d) {
  switch (v.vt) {
    case VT_EMPTY: *d = 0; return S_OK;
    case VT_I2: *d = v.iVal; return S_OK;
    case VT_I4: *d = v.lVal; return S_OK;
    case VT_R4: *d = v.fltVal; return S_OK;
    case VT_R8: *d = v.dblVal; return S_OK;
    case VT_DATE: *d = v.date; return S_OK;
    case VT_BOOL: *d = v.boolVal ? -1 : 0; return S_OK;
    case VT_UI1: *d = v.bVal; return S_OK;
    case VT_BSTR: return ParseNumber(v.bstrVal, d);
    default: return DISP_E_TYPEMISMATCH;
  }
}

HRESULT ToInteger(double d, double lo, double hi, LONG* out) {
  if (std::isnan(d)) return DISP_E_OVERFLOW;
  double r = std::nearbyint(d);  // round half to even, as the automation coercions do
  if (r < lo || r > hi) return DISP_E_OVERFLOW;
  *out = LONG(r);
  return S_OK;
}

std::string FormatNumber(const VARIANT& v, USHORT flags) {
  char text[64];
  switch (v.vt) {
    case VT_I2: std::snprintf(text, sizeof text, "%d", int(v.iVal)); break;
    case VT_I4: std::snprintf(text, sizeof text, "%d", int(v.lVal)); break;
    case VT_UI1: std::snprintf(text, sizeof text, "%u", unsigned(v.bVal)); break;
    case VT_R4: std::snprintf(text, sizeof text, "%.7g", double(v.fltVal)); break;
    case VT_R8: std::snprintf(text, sizeof text, "%.15g", v.dblVal); break;
    case VT_BOOL:
      if (flags & VARIANT_ALPHABOOL) return v.boolVal ? "True" : "False";
      return v.boolVal ? "-1" : "0";
    default: text[0] = 0;
  }
  return text;
}

HRESULT Convert(const VARIANT& src, VARTYPE vt, USHORT flags, VARIANT* out) {
  VariantInit(out);
  if (src.vt == vt) return VariantCopy(out, &src);
  if ((vt & VT_ARRAY) || (src.vt & VT_ARRAY)) return DISP_E_TYPEMISMATCH;
  if (!KnownBase(vt) || vt == VT_VARIANT) return DISP_E_BADVARTYPE;
  if (src.vt == VT_NULL && vt != VT_EMPTY) return DISP_E_TYPEMISMATCH;

  switch (vt) {
    case VT_EMPTY:
      return S_OK;
    case VT_NULL:
      out->vt = VT_NULL;
      return S_OK;
    case VT_BSTR: {
      if (src.vt == VT_EMPTY) {
        out->bstrVal = SysAllocStringLen(nullptr, 0);
      } else if (src.vt == VT_I2 || src.vt == VT_I4 || src.vt == VT_R4 || src.vt == VT_R8 ||
                 src.vt == VT_BOOL || src.vt == VT_UI1) {
        std::u16string w = orvcom::Widen(FormatNumber(src, flags).c_str());
        out->bstrVal = SysAllocStringLen(w.data(), UINT(w.size()));
      } else {
        return DISP_E_TYPEMISMATCH;
      }
      if (!out->bstrVal) return E_OUTOFMEMORY;
      out->vt = VT_BSTR;
      return S_OK;
    }
    case VT_DISPATCH:
      if (src.vt == VT_UNKNOWN) {
        IDispatch* d = nullptr;
        if (!src.punkVal) return DISP_E_TYPEMISMATCH;
        HRESULT hr = src.punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d));
        if (FAILED(hr)) return E_NOINTERFACE;
        out->vt = VT_DISPATCH;
        out->pdispVal = d;
        return S_OK;
      }
      return DISP_E_TYPEMISMATCH;
    case VT_UNKNOWN:
      if (src.vt == VT_DISPATCH) {
        out->vt = VT_UNKNOWN;
        out->punkVal = src.pdispVal;
        if (out->punkVal) out->punkVal->AddRef();
        return S_OK;
      }
      return DISP_E_TYPEMISMATCH;
    case VT_ERROR:
      return DISP_E_TYPEMISMATCH;
    default:
      break;
  }

  double d = 0;
  HRESULT hr = ToNumber(src, &d);
  if (FAILED(hr)) return hr;
  LONG l = 0;
  switch (vt) {
    case VT_I2:
      if (FAILED(hr = ToInteger(d, -32768.0, 32767.0, &l))) return hr;
      out->iVal = SHORT(l);
      break;
    case VT_I4:
      if (FAILED(hr = ToInteger(d, -2147483648.0, 2147483647.0, &l))) return hr;
      out->lVal = l;
      break;
    case VT_UI1:
      if (FAILED(hr = ToInteger(d, 0.0, 255.0, &l))) return hr;
      out->bVal = BYTE(l);
      break;
    case VT_R4:
      if (std::isfinite(d) && std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
      out->fltVal = FLOAT(d);
      break;
    case VT_R8:
      out->dblVal = d;
      break;
    case VT_DATE:
      out->date = d;
      break;
    case VT_BOOL:
      out->boolVal = d != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    default:
      return DISP_E_BADVARTYPE;
  }
  out->vt = vt;
  return S_OK;
}

}  // namespace

void VariantInit(VARIANTARG* v) {
  if (!v) return;
  v->vt = VT_EMPTY;
  v->wReserved1 = v->wReserved2 = v->wReserved3 = 0;
  v->dblVal = 0;
}

HRESULT VariantClear(VARIANTARG* v) {
  if (!v) return E_INVALIDARG;
  if (!(v->vt & VT_BYREF)) {
    if (v->vt & VT_ARRAY) {
      if (v->parray) {
        HRESULT hr = SafeArrayDestroy(v->parray);
        if (FAILED(hr)) return hr;
      }
    } else {
      switch (v->vt) {
        case VT_BSTR: SysFreeString(v->bstrVal); break;
        case VT_DISPATCH:
          if (v->pdispVal) v->pdispVal->Release();
          break;
        case VT_UNKNOWN:
          if (v->punkVal) v->punkVal->Release();
          break;
        default:
          if (!KnownBase(v->vt) || v->vt == VT_VARIANT) return DISP_E_BADVARTYPE;
      }
    }
  }
  VariantInit(v);
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src) {
  if (!dest || !src) return E_INVALIDARG;
  if (dest == src) return S_OK;
  HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) return hr;
  VARIANT copy = *src;
  if (!(src->vt & VT_BYREF)) {
    if (src->vt & VT_ARRAY) {
      copy.parray = nullptr;
      if (src->parray && FAILED(hr = SafeArrayCopy(src->parray, &copy.parray))) return hr;
    } else {
      switch (src->vt) {
        case VT_BSTR:
          if (src->bstrVal) {
            copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
            if (!copy.bstrVal) return E_OUTOFMEMORY;
          }
          break;
        case VT_DISPATCH:
          if (src->pdispVal) src->pdispVal->AddRef();
          break;
        case VT_UNKNOWN:
          if (src->punkVal) src->punkVal->AddRef();
          break;
        default:
          if (!KnownBase(src->vt) || src->vt == VT_VARIANT) return DISP_E_BADVARTYPE;
      }
    }
  }
  *dest = copy;
  return S_OK;
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANTARG* src) {
  if (!dest || !src) return E_INVALIDARG;
  VARIANT view;
  if (!Deref(src, &view)) return DISP_E_BADVARTYPE;
  VARIANT copy;
  VariantInit(&copy);
  HRESULT hr = VariantCopy(&copy, &view);
  if (FAILED(hr)) return hr;
  // dest may be src: clear it only once the copy is made.
  VariantClear(dest);
  *dest = copy;
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags, VARTYPE vt) {
  if (!dest || !src) return E_INVALIDARG;
  if (vt & VT_BYREF) return DISP_E_BADVARTYPE;
  VARIANT view;
  if (!Deref(src, &view)) return DISP_E_BADVARTYPE;
  VARIANT result;
  HRESULT hr = Convert(view, vt, flags, &result);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  VariantClear(dest);
  *dest = result;
  return S_OK;
}

HRESULT VariantChangeTypeEx(VARIANTARG* dest, const VARIANTARG* src, LCID, USHORT flags,
                            VARTYPE vt) {
  return VariantChangeType(dest, src, flags, vt);
}
