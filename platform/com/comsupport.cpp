#include <atomic>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/com/comdef.h"

// ---- CComBSTR, CComVariant -------------------------------------------------------

CComBSTR::CComBSTR(LPCSTR text) : m_str(nullptr) {
  if (!text) return;
  std::u16string w = orvcom::Widen(text);
  m_str = SysAllocStringLen(w.data(), UINT(w.size()));
}

HRESULT CComBSTR::Append(LPCOLESTR text, int length) {
  if (length < 0) return E_INVALIDARG;
  UINT old = Length();
  BSTR joined = SysAllocStringLen(nullptr, old + UINT(length));
  if (!joined) return E_OUTOFMEMORY;
  if (old) std::copy(m_str, m_str + old, joined);
  if (length) std::copy(text, text + length, joined + old);
  SysFreeString(m_str);
  m_str = joined;
  return S_OK;
}

HRESULT CComBSTR::Append(LPCOLESTR text) { return Append(text, int(orvcom::OleStrLen(text))); }

HRESULT CComBSTR::ToUpper() {
  for (UINT i = 0, n = Length(); i < n; ++i)
    if (m_str[i] >= 'a' && m_str[i] <= 'z') m_str[i] = char16_t(m_str[i] - 32);
  return S_OK;
}

bool CComBSTR::operator==(const CComBSTR& other) const {
  UINT n = Length();
  return n == other.Length() && std::equal(m_str, m_str + n, other.m_str);
}

bool CComBSTR::operator<(const CComBSTR& other) const {
  UINT a = Length(), b = other.Length();
  return std::lexicographical_compare(m_str, m_str + a, other.m_str, other.m_str + b);
}

CComVariant::CComVariant(LPCSTR text) {
  Set(VT_BSTR);
  std::u16string w = orvcom::Widen(text);
  bstrVal = text ? SysAllocStringLen(w.data(), UINT(w.size())) : nullptr;
}

HRESULT CComVariant::Detach(VARIANT* dest) {
  if (!dest) return E_POINTER;
  HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) return hr;
  *dest = *this;
  VariantInit(this);
  return S_OK;
}

// ---- _com_error ---------------------------------------------------------------------

_com_error::_com_error(HRESULT hr, IErrorInfo* info, bool addRef) : hr_(hr), info_(info) {
  if (info_ && addRef) info_->AddRef();
}

_com_error::_com_error(const _com_error& other) : hr_(other.hr_), info_(other.info_) {
  if (info_) info_->AddRef();
}

_com_error& _com_error::operator=(const _com_error& other) {
  if (this != &other) {
    if (other.info_) other.info_->AddRef();
    if (info_) info_->Release();
    hr_ = other.hr_;
    info_ = other.info_;
    message_.clear();
  }
  return *this;
}

_com_error::~_com_error() {
  if (info_) info_->Release();
}

IErrorInfo* _com_error::ErrorInfo() const {
  if (info_) info_->AddRef();
  return info_;
}

_bstr_t _com_error::Description() const {
  BSTR text = nullptr;
  if (info_) info_->GetDescription(&text);
  return _bstr_t(text, false);
}

_bstr_t _com_error::Source() const {
  BSTR text = nullptr;
  if (info_) info_->GetSource(&text);
  return _bstr_t(text, false);
}

const char* _com_error::ErrorMessage() const {
  if (message_.empty()) {
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             DWORD(hr_), 0, text, sizeof text, nullptr);
    if (n) {
      // The system's texts end in a line break; the message is one line.
      while (n && (text[n - 1] == '\n' || text[n - 1] == '\r')) --n;
      message_.assign(text, n);
    } else {
      std::snprintf(text, sizeof text, "Unknown error 0x%08X", unsigned(hr_));
      message_ = text;
    }
  }
  return message_.c_str();
}

namespace {
std::atomic<void (*)(HRESULT, IErrorInfo*)> g_comErrorHandler{nullptr};
}  // namespace

void _set_com_error_handler(void (*handler)(HRESULT hr, IErrorInfo* info)) { g_comErrorHandler = handler; }

void _com_raise_error(HRESULT hr, IErrorInfo* info) {
  if (auto handler = g_comErrorHandler.load()) handler(hr, info);
  throw _com_error(hr, info);
}

void _com_issue_error(HRESULT hr) {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK) info = nullptr;
  _com_raise_error(hr, info);
}

void _com_issue_errorex(HRESULT hr, IUnknown* object, REFIID riid) {
  IErrorInfo* info = nullptr;
  ISupportErrorInfo* support = nullptr;
  if (object && SUCCEEDED(object->QueryInterface(IID_ISupportErrorInfo,
                                                 reinterpret_cast<void**>(&support)))) {
    if (support->InterfaceSupportsErrorInfo(riid) == S_OK && GetErrorInfo(0, &info) != S_OK)
      info = nullptr;
    support->Release();
  }
  _com_raise_error(hr, info);
}

// ---- _bstr_t ------------------------------------------------------------------------

namespace {
// Widened straight into the string: the cache's readers make one of these
// for every row they read, and an interim copy would cost an allocation more.
BSTR AllocNarrow(const char* text) {
  const size_t length = std::strlen(text);
  BSTR s = length <= std::numeric_limits<UINT>::max() ? SysAllocStringLen(nullptr, UINT(length)) : nullptr;
  if (!s) _com_issue_error(E_OUTOFMEMORY);
  for (size_t i = 0; i < length; ++i) s[i] = static_cast<OLECHAR>(static_cast<unsigned char>(text[i]));
  return s;
}
}  // namespace

_bstr_t::_bstr_t(const char* text) {
  if (text) data_ = std::make_shared<Data>(AllocNarrow(text));
}

_bstr_t::_bstr_t(const OLECHAR* text) {
  if (!text) return;
  BSTR s = SysAllocString(text);
  if (!s) _com_issue_error(E_OUTOFMEMORY);
  data_ = std::make_shared<Data>(s);
}

_bstr_t::_bstr_t(BSTR text, bool copy) {
  if (!text) return;
  if (copy) {
    BSTR s = SysAllocStringLen(text, SysStringLen(text));
    if (!s) _com_issue_error(E_OUTOFMEMORY);
    data_ = std::make_shared<Data>(s);
  } else {
    data_ = std::make_shared<Data>(text);
  }
}

_bstr_t& _bstr_t::operator+=(const _bstr_t& other) {
  *this = *this + other;
  return *this;
}

_bstr_t _bstr_t::operator+(const _bstr_t& other) const {
  if (!data_ && !other.data_) return _bstr_t();
  UINT a = length(), b = other.length();
  BSTR s = SysAllocStringLen(nullptr, a + b);
  if (!s) _com_issue_error(E_OUTOFMEMORY);
  if (a) std::copy(wstr(), wstr() + a, s);
  if (b) std::copy(other.wstr(), other.wstr() + b, s + a);
  return _bstr_t(s, false);
}

_bstr_t::operator const char*() const {
  if (!data_ || !data_->bstr) return nullptr;
  std::string* text = data_->narrow.load(std::memory_order_acquire);
  if (!text) {
    auto made = std::make_unique<std::string>(orvcom::Narrow(data_->bstr, length()));
    if (data_->narrow.compare_exchange_strong(text, made.get(), std::memory_order_acq_rel))
      text = made.release();
    // else: another thread's view won and text now points at it
  }
  return text->c_str();
}

int _bstr_t::compare(const _bstr_t& other) const {
  UINT a = length(), b = other.length();
  for (UINT i = 0; i < a && i < b; ++i) {
    if (wstr()[i] != other.wstr()[i]) return wstr()[i] < other.wstr()[i] ? -1 : 1;
  }
  return a == b ? 0 : (a < b ? -1 : 1);
}

BSTR _bstr_t::copy(bool fromCopy) const {
  if (!fromCopy) return wstr();
  if (!wstr()) return nullptr;
  BSTR s = SysAllocStringLen(wstr(), length());
  if (!s) _com_issue_error(E_OUTOFMEMORY);
  return s;
}

void _bstr_t::Assign(BSTR text) { *this = _bstr_t(text, true); }

void _bstr_t::Attach(BSTR text) { *this = _bstr_t(text, false); }

BSTR _bstr_t::Detach() {
  if (!data_) return nullptr;
  // Only a string nobody else shares can leave; a shared one leaves as a copy.
  BSTR s = data_.use_count() == 1 ? data_->bstr : copy();
  if (data_.use_count() == 1) data_->bstr = nullptr;
  data_.reset();
  return s;
}

BSTR* _bstr_t::GetAddress() {
  data_ = std::make_shared<Data>(nullptr);
  return &data_->bstr;
}

// ---- _variant_t --------------------------------------------------------------------

_variant_t::_variant_t(const VARIANT& other) {
  VariantInit(this);
  HRESULT hr = VariantCopy(this, &other);
  if (FAILED(hr)) _com_issue_error(hr);
}

_variant_t::_variant_t(VARIANT& other, bool copy) {
  VariantInit(this);
  if (copy) {
    HRESULT hr = VariantCopy(this, &other);
    if (FAILED(hr)) _com_issue_error(hr);
  } else {
    *static_cast<VARIANT*>(this) = other;
    VariantInit(&other);
  }
}

_variant_t::_variant_t(DOUBLE v, VARTYPE type) {
  if (type != VT_R8 && type != VT_DATE) _com_issue_error(E_INVALIDARG);
  Set(type);
  dblVal = v;
}

_variant_t::_variant_t(const char* text) {
  Set(VT_BSTR);
  bstrVal = text ? AllocNarrow(text) : nullptr;
}

_variant_t::_variant_t(const OLECHAR* text) {
  Set(VT_BSTR);
  bstrVal = SysAllocString(text);
  if (text && !bstrVal) _com_issue_error(E_OUTOFMEMORY);
}

_variant_t::_variant_t(const _bstr_t& text) {
  Set(VT_BSTR);
  bstrVal = text.copy();
}

_variant_t::_variant_t(IDispatch* p, bool addRef) {
  Set(VT_DISPATCH);
  pdispVal = p;
  if (p && addRef) p->AddRef();
}

_variant_t::_variant_t(IUnknown* p, bool addRef) {
  Set(VT_UNKNOWN);
  punkVal = p;
  if (p && addRef) p->AddRef();
}

_variant_t& _variant_t::operator=(const _variant_t& other) {
  return *this = static_cast<const VARIANT&>(other);
}

_variant_t& _variant_t::operator=(const VARIANT& other) {
  if (this != &other) {
    HRESULT hr = VariantCopy(this, &other);
    if (FAILED(hr)) _com_issue_error(hr);
  }
  return *this;
}

void _variant_t::Converted(VARTYPE type, VARIANT* out) const {
  VariantInit(out);
  HRESULT hr = VariantChangeType(out, this, 0, type);
  if (FAILED(hr)) _com_issue_error(hr);
}

_variant_t::operator SHORT() const {
  if (vt == VT_I2) return iVal;
  VARIANT v;
  Converted(VT_I2, &v);
  return v.iVal;
}

_variant_t::operator LONG() const {
  if (vt == VT_I4) return lVal;
  VARIANT v;
  Converted(VT_I4, &v);
  return v.lVal;
}

_variant_t::operator FLOAT() const {
  if (vt == VT_R4) return fltVal;
  VARIANT v;
  Converted(VT_R4, &v);
  return v.fltVal;
}

_variant_t::operator DOUBLE() const {
  if (vt == VT_R8 || vt == VT_DATE) return dblVal;
  VARIANT v;
  Converted(VT_R8, &v);
  return v.dblVal;
}

_variant_t::operator bool() const {
  if (vt == VT_BOOL) return boolVal != VARIANT_FALSE;
  VARIANT v;
  Converted(VT_BOOL, &v);
  return v.boolVal != VARIANT_FALSE;
}

_variant_t::operator _bstr_t() const {
  if (vt == VT_BSTR) return _bstr_t(bstrVal, true);
  VARIANT v;
  Converted(VT_BSTR, &v);
  return _bstr_t(v.bstrVal, false);
}

_variant_t::operator IDispatch*() const {
  VARIANT v;
  Converted(VT_DISPATCH, &v);
  return v.pdispVal;  // the conversion's reference goes to the caller
}

_variant_t::operator IUnknown*() const {
  VARIANT v;
  Converted(VT_UNKNOWN, &v);
  return v.punkVal;
}

void _variant_t::Clear() {
  HRESULT hr = VariantClear(this);
  if (FAILED(hr)) _com_issue_error(hr);
}

void _variant_t::ChangeType(VARTYPE type, const _variant_t* src) {
  HRESULT hr = VariantChangeType(this, src ? src : this, 0, type);
  if (FAILED(hr)) _com_issue_error(hr);
}

void _variant_t::Attach(VARIANT& v) {
  Clear();
  *static_cast<VARIANT*>(this) = v;
  VariantInit(&v);
}

VARIANT _variant_t::Detach() {
  VARIANT v = *this;
  VariantInit(this);
  return v;
}
