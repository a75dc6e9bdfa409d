#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "platform/com/oleauto.h"

namespace {

// The element type travels with the array, ahead of the descriptor.
struct Block {
  VARTYPE vt;
  SAFEARRAY sa;
};

Block* BlockOf(SAFEARRAY* psa) {
  return reinterpret_cast<Block*>(reinterpret_cast<char*>(psa) - offsetof(Block, sa));
}

ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I2: case VT_BOOL: return 2;
    case VT_I4: case VT_R4: case VT_ERROR: return 4;
    case VT_R8: case VT_DATE: return 8;
    case VT_UI1: return 1;
    case VT_BSTR: return sizeof(BSTR);
    case VT_DISPATCH: case VT_UNKNOWN: return sizeof(void*);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
  }
}

USHORT Features(VARTYPE vt) {
  USHORT f = FADF_HAVEVARTYPE;
  if (vt == VT_BSTR) f |= FADF_BSTR;
  if (vt == VT_UNKNOWN) f |= FADF_UNKNOWN;
  if (vt == VT_DISPATCH) f |= FADF_DISPATCH;
  if (vt == VT_VARIANT) f |= FADF_VARIANT;
  return f;
}

// The element of a one-dimensional array at index, or null outside the
// bounds (compared in 64 bits, so no bound can wrap).
void* Element(SAFEARRAY* psa, LONG index) {
  int64_t offset = int64_t(index) - int64_t(psa->rgsabound[0].lLbound);
  if (offset < 0 || offset >= int64_t(psa->rgsabound[0].cElements)) return nullptr;
  return static_cast<char*>(psa->pvData) + size_t(offset) * psa->cbElements;
}

void ClearElements(SAFEARRAY* psa, VARTYPE vt) {
  // Numbers own nothing.
  if (vt != VT_BSTR && vt != VT_DISPATCH && vt != VT_UNKNOWN && vt != VT_VARIANT) return;
  ULONG n = psa->rgsabound[0].cElements;
  char* data = static_cast<char*>(psa->pvData);
  for (ULONG i = 0; i < n; ++i) {
    void* e = data + size_t(i) * psa->cbElements;
    switch (vt) {
      case VT_BSTR:
        SysFreeString(*static_cast<BSTR*>(e));
        *static_cast<BSTR*>(e) = nullptr;
        break;
      case VT_DISPATCH:
      case VT_UNKNOWN: {
        IUnknown*& p = *static_cast<IUnknown**>(e);
        if (p) p->Release();
        p = nullptr;
        break;
      }
      case VT_VARIANT: VariantClear(static_cast<VARIANT*>(e)); break;
      default: break;
    }
  }
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds) {
  if (dims != 1 || !bounds) return nullptr;
  ULONG size = ElementSize(vt);
  if (size == 0) return nullptr;
  ULONG count = bounds[0].cElements;
  // The upper bound, lLbound + count - 1, must itself be a LONG.
  if (int64_t(bounds[0].lLbound) + int64_t(count) - 1 > std::numeric_limits<LONG>::max())
    return nullptr;
  if (uint64_t(count) * size > std::numeric_limits<uint32_t>::max()) return nullptr;
  Block* block = new (std::nothrow) Block();
  if (!block) return nullptr;
  void* data = std::calloc(count ? count : 1, size);
  if (!data) {
    delete block;
    return nullptr;
  }
  block->vt = vt;
  SAFEARRAY* psa = &block->sa;
  psa->cDims = 1;
  psa->fFeatures = Features(vt);
  psa->cbElements = size;
  psa->cLocks = 0;
  psa->pvData = data;
  psa->rgsabound[0] = bounds[0];
  // A zeroed VARIANT is VT_EMPTY and a zeroed pointer is null, so calloc
  // leaves every element in its empty state.
  return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements) {
  SAFEARRAYBOUND bound = {elements, lowerBound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (!psa) return S_OK;
  if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
  Block* block = BlockOf(psa);
  ClearElements(psa, block->vt);
  std::free(psa->pvData);
  delete block;
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (!psa) return S_OK;
  VARTYPE vt = BlockOf(psa)->vt;
  SAFEARRAY* copy = SafeArrayCreate(vt, 1, psa->rgsabound);
  if (!copy) return E_OUTOFMEMORY;
  if (vt != VT_BSTR && vt != VT_DISPATCH && vt != VT_UNKNOWN && vt != VT_VARIANT) {
    // Numbers own nothing: one block copies them all.
    if (psa->rgsabound[0].cElements)
      std::memcpy(copy->pvData, psa->pvData, size_t(psa->rgsabound[0].cElements) * psa->cbElements);
    *out = copy;
    return S_OK;
  }
  LONG lb = psa->rgsabound[0].lLbound;
  for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) {
    LONG index = LONG(int64_t(lb) + i);
    void* from = Element(psa, index);
    HRESULT hr = SafeArrayPutElement(copy, &index,
                                     vt == VT_BSTR || vt == VT_DISPATCH || vt == VT_UNKNOWN
                                         ? *static_cast<void**>(from)
                                         : from);
    if (FAILED(hr)) {
      SafeArrayDestroy(copy);
      return hr;
    }
  }
  *out = copy;
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }
UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa ? psa->cbElements : 0; }

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT dim, LONG* bound) {
  if (!psa || !bound) return E_INVALIDARG;
  if (dim != 1) return DISP_E_BADINDEX;
  *bound = psa->rgsabound[0].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT dim, LONG* bound) {
  if (!psa || !bound) return E_INVALIDARG;
  if (dim != 1) return DISP_E_BADINDEX;
  // An empty array's upper bound is one below its lower bound; creation
  // made sure that this fits (a lower bound of LONG_MIN with no element
  // aside, which wraps as it does for every client).
  *bound = LONG(int64_t(psa->rgsabound[0].lLbound) + int64_t(psa->rgsabound[0].cElements) - 1);
  return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* vt) {
  if (!psa || !vt) return E_INVALIDARG;
  *vt = BlockOf(psa)->vt;
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  ++psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  if (psa->cLocks == 0) return E_UNEXPECTED;
  --psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** data) {
  if (!psa || !data) return E_INVALIDARG;
  ++psa->cLocks;
  *data = psa->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* indices, void* value) {
  if (!psa || !indices || !value) return E_INVALIDARG;
  void* e = Element(psa, indices[0]);
  if (!e) return DISP_E_BADINDEX;
  VARTYPE vt = BlockOf(psa)->vt;
  switch (vt) {
    case VT_BSTR: {
      BSTR s = *static_cast<BSTR*>(e);
      BSTR copy = nullptr;
      if (s && !(copy = SysAllocStringLen(s, SysStringLen(s)))) return E_OUTOFMEMORY;
      *static_cast<BSTR*>(value) = copy;
      return S_OK;
    }
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      IUnknown* p = *static_cast<IUnknown**>(e);
      if (p) p->AddRef();
      *static_cast<IUnknown**>(value) = p;
      return S_OK;
    }
    case VT_VARIANT: {
      VARIANT* v = static_cast<VARIANT*>(value);
      VariantInit(v);
      return VariantCopy(v, static_cast<VARIANT*>(e));
    }
    default:
      std::memcpy(value, e, psa->cbElements);
      return S_OK;
  }
}

// value is the element itself for numbers and VARIANTs, and the pointer
// (BSTR, interface) for strings and objects, as SafeArrayPutElement takes it.
HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* indices, void* value) {
  if (!psa || !indices) return E_INVALIDARG;
  void* e = Element(psa, indices[0]);
  if (!e) return DISP_E_BADINDEX;
  VARTYPE vt = BlockOf(psa)->vt;
  switch (vt) {
    case VT_BSTR: {
      BSTR s = static_cast<BSTR>(value);
      BSTR copy = nullptr;
      if (s && !(copy = SysAllocStringLen(s, SysStringLen(s)))) return E_OUTOFMEMORY;
      SysFreeString(*static_cast<BSTR*>(e));
      *static_cast<BSTR*>(e) = copy;
      return S_OK;
    }
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      IUnknown* p = static_cast<IUnknown*>(value);
      if (p) p->AddRef();
      IUnknown*& slot = *static_cast<IUnknown**>(e);
      if (slot) slot->Release();
      slot = p;
      return S_OK;
    }
    case VT_VARIANT:
      if (!value) return E_INVALIDARG;
      return VariantCopy(static_cast<VARIANT*>(e), static_cast<VARIANT*>(value));
    default:
      if (!value) return E_INVALIDARG;
      std::memcpy(e, value, psa->cbElements);
      return S_OK;
  }
}
