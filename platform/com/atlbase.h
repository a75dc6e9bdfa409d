// Smart pointers and value wrappers of the template library: CComPtr,
// CComQIPtr, CComBSTR, CComVariant.
#pragma once

#include <utility>

#include "platform/com/oleauto.h"

// CComPtr<T>: owns one reference. operator& is for out-parameters and
// requires an empty pointer (it would leak otherwise).
template <class T>
class CComPtr {
 public:
  CComPtr() : p(nullptr) {}
  CComPtr(T* lp) : p(lp) {  // NOLINT: implicit, as callers write it
    if (p) p->AddRef();
  }
  CComPtr(const CComPtr& other) : CComPtr(other.p) {}
  CComPtr(CComPtr&& other) noexcept : p(other.p) { other.p = nullptr; }
  ~CComPtr() {
    if (p) p->Release();
  }
  CComPtr& operator=(T* lp) {
    if (lp) lp->AddRef();
    T* old = p;
    p = lp;
    if (old) old->Release();
    return *this;
  }
  CComPtr& operator=(const CComPtr& other) { return *this = other.p; }
  CComPtr& operator=(CComPtr&& other) noexcept {
    if (this != &other) {
      T* old = p;
      p = other.p;
      other.p = nullptr;
      if (old) old->Release();
    }
    return *this;
  }

  operator T*() const { return p; }
  T* operator->() const { return p; }
  T& operator*() const { return *p; }
  T** operator&() { return &p; }
  bool operator!() const { return p == nullptr; }

  void Release() {
    T* old = p;
    p = nullptr;
    if (old) old->Release();
  }
  void Attach(T* lp) {
    if (p) p->Release();
    p = lp;
  }
  T* Detach() {
    T* old = p;
    p = nullptr;
    return old;
  }
  HRESULT CopyTo(T** out) const {
    if (!out) return E_POINTER;
    *out = p;
    if (p) p->AddRef();
    return S_OK;
  }
  template <class Q>
  HRESULT QueryInterface(Q** out) const {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!p) return E_POINTER;
    return p->QueryInterface(__uuidof(Q), reinterpret_cast<void**>(out));
  }
  bool IsEqualObject(IUnknown* other) const;

  T* p;
};

// CComQIPtr<T>: assigning any interface asks it for T.
template <class T, const IID* piid = nullptr>
class CComQIPtr : public CComPtr<T> {
 public:
  CComQIPtr() = default;
  CComQIPtr(T* lp) : CComPtr<T>(lp) {}  // NOLINT
  CComQIPtr(IUnknown* lp) { Assign(lp); }  // NOLINT
  CComQIPtr(const CComQIPtr& other) : CComPtr<T>(other.p) {}
  CComQIPtr& operator=(T* lp) {
    CComPtr<T>::operator=(lp);
    return *this;
  }
  CComQIPtr& operator=(IUnknown* lp) {
    Assign(lp);
    return *this;
  }
  CComQIPtr& operator=(const CComQIPtr& other) {
    CComPtr<T>::operator=(other.p);
    return *this;
  }

 private:
  static const IID& Iid() {
    if constexpr (piid == nullptr) {
      return __uuidof(T);
    } else {
      return *piid;
    }
  }
  void Assign(IUnknown* lp) {
    T* q = nullptr;
    if (lp) lp->QueryInterface(Iid(), reinterpret_cast<void**>(&q));
    CComPtr<T>::Attach(q);
  }
};

// IUnknown itself needs no query.
template <>
class CComQIPtr<IUnknown, nullptr> : public CComPtr<IUnknown> {
 public:
  CComQIPtr() = default;
  CComQIPtr(IUnknown* lp) : CComPtr<IUnknown>(lp) {}  // NOLINT
};

template <class T>
bool CComPtr<T>::IsEqualObject(IUnknown* other) const {
  if (!p && !other) return true;
  if (!p || !other) return false;
  IUnknown* ua = nullptr;
  IUnknown* ub = nullptr;
  p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&ua));
  other->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&ub));
  bool same = ua == ub;
  if (ua) ua->Release();
  if (ub) ub->Release();
  return same;
}

// CComBSTR: owns one BSTR (m_str, null when empty-constructed).
class CComBSTR {
 public:
  CComBSTR() : m_str(nullptr) {}
  CComBSTR(LPCOLESTR text) : m_str(text ? SysAllocString(text) : nullptr) {}  // NOLINT
  CComBSTR(int length, LPCOLESTR text) : m_str(SysAllocStringLen(text, UINT(length))) {}
  CComBSTR(LPCSTR text);  // NOLINT: 8-bit text
  CComBSTR(const CComBSTR& other) : m_str(other.Copy()) {}
  CComBSTR(CComBSTR&& other) noexcept : m_str(other.m_str) { other.m_str = nullptr; }
  ~CComBSTR() { SysFreeString(m_str); }
  CComBSTR& operator=(const CComBSTR& other) {
    if (this != &other) {
      BSTR copy = other.Copy();
      SysFreeString(m_str);
      m_str = copy;
    }
    return *this;
  }
  CComBSTR& operator=(CComBSTR&& other) noexcept {
    std::swap(m_str, other.m_str);
    return *this;
  }
  CComBSTR& operator=(LPCOLESTR text) {
    BSTR copy = text ? SysAllocString(text) : nullptr;
    SysFreeString(m_str);
    m_str = copy;
    return *this;
  }

  operator BSTR() const { return m_str; }
  BSTR* operator&() { return &m_str; }
  bool operator!() const { return m_str == nullptr; }
  unsigned int Length() const { return SysStringLen(m_str); }
  BSTR Copy() const { return m_str ? SysAllocStringLen(m_str, SysStringLen(m_str)) : nullptr; }
  HRESULT CopyTo(BSTR* out) const {
    if (!out) return E_POINTER;
    *out = Copy();
    return (m_str && !*out) ? E_OUTOFMEMORY : S_OK;
  }
  void Attach(BSTR s) {
    if (s != m_str) SysFreeString(m_str);
    m_str = s;
  }
  BSTR Detach() {
    BSTR s = m_str;
    m_str = nullptr;
    return s;
  }
  void Empty() {
    SysFreeString(m_str);
    m_str = nullptr;
  }
  HRESULT Append(LPCOLESTR text, int length);
  HRESULT Append(LPCOLESTR text);
  HRESULT Append(const CComBSTR& other) { return Append(other.m_str, int(other.Length())); }
  HRESULT ToUpper();
  bool operator==(const CComBSTR& other) const;
  bool operator!=(const CComBSTR& other) const { return !(*this == other); }
  bool operator<(const CComBSTR& other) const;

  BSTR m_str;
};

// CComVariant: a VARIANT that clears itself.
class CComVariant : public tagVARIANT {
 public:
  CComVariant() { VariantInit(this); }
  CComVariant(const VARIANT& other) {  // NOLINT
    VariantInit(this);
    VariantCopy(this, &other);
  }
  CComVariant(const CComVariant& other) : CComVariant(static_cast<const VARIANT&>(other)) {}
  CComVariant(LONG v) { Set(VT_I4); lVal = v; }  // NOLINT
  CComVariant(SHORT v) { Set(VT_I2); iVal = v; }  // NOLINT
  CComVariant(FLOAT v) { Set(VT_R4); fltVal = v; }  // NOLINT
  CComVariant(DOUBLE v, VARTYPE vt = VT_R8) { Set(vt == VT_DATE ? VT_DATE : VT_R8); dblVal = v; }  // NOLINT
  CComVariant(bool v) { Set(VT_BOOL); boolVal = v ? VARIANT_TRUE : VARIANT_FALSE; }  // NOLINT
  CComVariant(LPCOLESTR text) { Set(VT_BSTR); bstrVal = SysAllocString(text); }  // NOLINT
  CComVariant(LPCSTR text);  // NOLINT
  CComVariant(IDispatch* p) {  // NOLINT
    Set(VT_DISPATCH);
    pdispVal = p;
    if (p) p->AddRef();
  }
  CComVariant(IUnknown* p) {  // NOLINT
    Set(VT_UNKNOWN);
    punkVal = p;
    if (p) p->AddRef();
  }
  ~CComVariant() { VariantClear(this); }
  CComVariant& operator=(const CComVariant& other) {
    if (this != &other) Copy(&other);
    return *this;
  }
  CComVariant& operator=(const VARIANT& other) {
    if (this != &other) Copy(&other);
    return *this;
  }
  HRESULT Clear() { return VariantClear(this); }
  HRESULT Copy(const VARIANT* src) { return VariantCopy(this, src); }
  HRESULT ChangeType(VARTYPE vt, const VARIANT* src = nullptr) {
    return VariantChangeType(this, src ? src : this, 0, vt);
  }
  HRESULT Detach(VARIANT* dest);

 private:
  void Set(VARTYPE t) {
    VariantInit(this);
    vt = t;
  }
};
