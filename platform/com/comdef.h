// The compiler's COM support: _bstr_t, _variant_t, _com_error, the
// raising helpers and _com_ptr_t, the smart pointer of the generated
// client wrappers.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/com/atlbase.h"
#include "platform/com/runtime.h"

// ---- _bstr_t ---------------------------------------------------------------------

// A shared, reference-counted BSTR (copies share one string). A
// default-constructed _bstr_t holds the null string; one made from "" holds
// an allocated empty string. The 8-bit view is made on first use.
class _bstr_t {
 public:
  _bstr_t() = default;
  _bstr_t(const char* text);     // NOLINT
  _bstr_t(const OLECHAR* text);  // NOLINT
  // copy false: takes over the string.
  _bstr_t(BSTR text, bool copy);
  _bstr_t(const std::string& text) : _bstr_t(text.c_str()) {}  // NOLINT

  _bstr_t& operator=(const char* text) { return *this = _bstr_t(text); }
  _bstr_t& operator=(const OLECHAR* text) { return *this = _bstr_t(text); }
  _bstr_t& operator+=(const _bstr_t& other);
  _bstr_t operator+(const _bstr_t& other) const;

  operator const OLECHAR*() const { return wstr(); }
  operator OLECHAR*() const { return wstr(); }
  operator const char*() const;
  operator char*() const { return const_cast<char*>(static_cast<const char*>(*this)); }
  bool operator!() const { return !data_ || !data_->bstr; }

  // Code-unit comparison; the null string equals the empty one.
  int compare(const _bstr_t& other) const;
  bool operator==(const _bstr_t& other) const { return compare(other) == 0; }
  bool operator!=(const _bstr_t& other) const { return compare(other) != 0; }
  bool operator<(const _bstr_t& other) const { return compare(other) < 0; }
  bool operator>(const _bstr_t& other) const { return compare(other) > 0; }

  unsigned int length() const { return data_ ? SysStringLen(data_->bstr) : 0; }
  BSTR copy(bool fromCopy = true) const;
  void Assign(BSTR text);
  void Attach(BSTR text);
  BSTR Detach();
  BSTR GetBSTR() const { return wstr(); }
  // For an out-parameter: frees the current string first.
  BSTR* GetAddress();

 private:
  struct Data {
    explicit Data(BSTR s) : bstr(s) {}
    ~Data() {
      delete narrow.load();
      SysFreeString(bstr);
    }
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;
    BSTR bstr;
    // Made by whichever thread asks first: copies of one string are read
    // from several threads at once.
    std::atomic<std::string*> narrow{nullptr};
  };
  OLECHAR* wstr() const { return data_ ? data_->bstr : nullptr; }

  std::shared_ptr<Data> data_;
};

namespace orvcom {

// A shared string's whole text, NULs inside included; the null string is
// the empty text.
inline std::string Narrow(const _bstr_t& text) { return Narrow(text.GetBSTR(), text.length()); }
inline std::string Utf8(const _bstr_t& text) { return Utf8(text.GetBSTR(), text.length()); }

}  // namespace orvcom

// ---- _com_error --------------------------------------------------------------

class _com_error {
 public:
  // Takes over one reference to info (which may be null).
  explicit _com_error(HRESULT hr, IErrorInfo* info = nullptr, bool addRef = false);
  _com_error(const _com_error& other);
  _com_error& operator=(const _com_error& other);
  ~_com_error();

  HRESULT Error() const { return hr_; }
  IErrorInfo* ErrorInfo() const;  // AddRef'd, or null
  // From the error information; null strings when there is none.
  _bstr_t Description() const;
  _bstr_t Source() const;
  // The system's text for the HRESULT (FormatMessage), or
  // "Unknown error 0x%08X".
  const char* ErrorMessage() const;

 private:
  HRESULT hr_;
  IErrorInfo* info_;
  mutable std::string message_;
};

// Raise a _com_error: with the error information of the calling thread
// (_com_issue_errorex takes it only when object supports it for riid).
[[noreturn]] void _com_issue_error(HRESULT hr);
[[noreturn]] void _com_issue_errorex(HRESULT hr, IUnknown* object, REFIID riid);
[[noreturn]] void _com_raise_error(HRESULT hr, IErrorInfo* info = nullptr);
// Replaces the raise of the three above for the whole process, as the
// compiler's support library allows: the handler sees every failure first
// and is expected to throw; one that returns gets the usual _com_error
// thrown after it. Null restores the default.
void _set_com_error_handler(void (*handler)(HRESULT hr, IErrorInfo* info));

// ---- _variant_t ------------------------------------------------------------------

// A VARIANT that owns its value; the conversions raise _com_error.
class _variant_t : public tagVARIANT {
 public:
  _variant_t() { VariantInit(this); }
  _variant_t(const VARIANT& other);  // NOLINT
  _variant_t(const _variant_t& other) : _variant_t(static_cast<const VARIANT&>(other)) {}
  _variant_t(VARIANT& other, bool copy);  // copy false: takes it over
  _variant_t(SHORT v) { Set(VT_I2); iVal = v; }  // NOLINT
  _variant_t(LONG v) { Set(VT_I4); lVal = v; }   // NOLINT
  _variant_t(FLOAT v) { Set(VT_R4); fltVal = v; }  // NOLINT
  // vt VT_DATE makes a date.
  _variant_t(DOUBLE v, VARTYPE vt = VT_R8);  // NOLINT
  _variant_t(bool v) { Set(VT_BOOL); boolVal = v ? VARIANT_TRUE : VARIANT_FALSE; }  // NOLINT
  _variant_t(const char* text);     // NOLINT
  _variant_t(const OLECHAR* text);  // NOLINT
  _variant_t(const _bstr_t& text);  // NOLINT
  _variant_t(IDispatch* p, bool addRef = true);  // NOLINT
  _variant_t(IUnknown* p, bool addRef = true);   // NOLINT
  ~_variant_t() { VariantClear(this); }

  _variant_t& operator=(const _variant_t& other);
  _variant_t& operator=(const VARIANT& other);

  operator SHORT() const;
  operator LONG() const;
  operator FLOAT() const;
  operator DOUBLE() const;
  operator bool() const;
  operator _bstr_t() const;
  operator IDispatch*() const;  // AddRef'd
  operator IUnknown*() const;   // AddRef'd

  void Clear();
  void ChangeType(VARTYPE vt, const _variant_t* src = nullptr);
  void Attach(VARIANT& v);
  VARIANT Detach();

 private:
  void Set(VARTYPE t) {
    VariantInit(this);
    vt = t;
  }
  void Converted(VARTYPE vt, VARIANT* out) const;
};

// ---- _com_ptr_t ------------------------------------------------------------------

namespace orvcom {
// The generated client wrappers bind an interface to its raising wrapper
// (a small class over the raw pointer); other interfaces have none.
template <class I>
struct ClientWrapper {
  typedef void type;
};

// Lives until the end of the full expression that used operator->.
template <class W>
class WrapHandle {
 public:
  explicit WrapHandle(typename W::Interface* p) : wrapper_(p) {}
  W* operator->() { return &wrapper_; }

 private:
  W wrapper_;
};
}  // namespace orvcom

template <class I>
class _com_ptr_t {
 public:
  typedef I Interface;
  typedef typename orvcom::ClientWrapper<I>::type Wrapper;

  _com_ptr_t() = default;
  _com_ptr_t(std::nullptr_t) {}  // NOLINT
  _com_ptr_t(I* p, bool addRef = true) : p_(p) {  // NOLINT
    if (p_ && addRef) p_->AddRef();
  }
  _com_ptr_t(const _com_ptr_t& other) : _com_ptr_t(other.p_) {}
  _com_ptr_t(_com_ptr_t&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  // Any other interface is asked for I.
  template <class Q, class = std::enable_if_t<!std::is_same_v<Q, I>>>
  explicit _com_ptr_t(Q* other) {
    if (other) other->QueryInterface(__uuidof(I), reinterpret_cast<void**>(&p_));
  }
  ~_com_ptr_t() {
    if (p_) p_->Release();
  }
  _com_ptr_t& operator=(const _com_ptr_t& other) {
    _com_ptr_t copy(other);
    std::swap(p_, copy.p_);
    return *this;
  }
  _com_ptr_t& operator=(_com_ptr_t&& other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  _com_ptr_t& operator=(I* p) {
    _com_ptr_t copy(p);
    std::swap(p_, copy.p_);
    return *this;
  }
  // Any other interface is asked for I; a refusal leaves the pointer empty.
  template <class Q, class = std::enable_if_t<!std::is_same_v<Q, I>>>
  _com_ptr_t& operator=(Q* other) {
    _com_ptr_t copy(other);
    std::swap(p_, copy.p_);
    return *this;
  }
  _com_ptr_t& operator=(std::nullptr_t) {
    Release();
    return *this;
  }

  HRESULT CreateInstance(REFCLSID clsid, IUnknown* outer = nullptr,
                         DWORD clsContext = CLSCTX_ALL) {
    Release();
    return CoCreateInstance(clsid, outer, clsContext, __uuidof(I), reinterpret_cast<void**>(&p_));
  }
  HRESULT CreateInstance(LPCOLESTR progId, IUnknown* outer = nullptr,
                         DWORD clsContext = CLSCTX_ALL) {
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(progId, &clsid);
    return FAILED(hr) ? hr : CreateInstance(clsid, outer, clsContext);
  }
  template <class Q>
  HRESULT QueryInterface(REFIID iid, Q** out) const {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(iid, reinterpret_cast<void**>(out));
  }

  void Release() {
    I* old = p_;
    p_ = nullptr;
    if (old) old->Release();
  }
  void Attach(I* p) {
    if (p_) p_->Release();
    p_ = p;
  }
  I* Detach() {
    I* p = p_;
    p_ = nullptr;
    return p;
  }
  I* GetInterfacePtr() const { return p_; }
  I** operator&() {
    Release();
    return &p_;
  }
  operator I*() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  bool operator!() const { return p_ == nullptr; }

  auto operator->() const {
    if (!p_) _com_issue_error(E_POINTER);
    if constexpr (std::is_void_v<Wrapper>) {
      return p_;
    } else {
      return orvcom::WrapHandle<Wrapper>(p_);
    }
  }

 private:
  I* p_ = nullptr;
};

#define _COM_SMARTPTR_TYPEDEF(Interface, iid) typedef _com_ptr_t<Interface> Interface##Ptr

_COM_SMARTPTR_TYPEDEF(IUnknown, IID_IUnknown);
_COM_SMARTPTR_TYPEDEF(IDispatch, IID_IDispatch);
_COM_SMARTPTR_TYPEDEF(IErrorInfo, IID_IErrorInfo);
_COM_SMARTPTR_TYPEDEF(ICreateErrorInfo, IID_ICreateErrorInfo);
_COM_SMARTPTR_TYPEDEF(IConnectionPoint, IID_IConnectionPoint);
_COM_SMARTPTR_TYPEDEF(IConnectionPointContainer, IID_IConnectionPointContainer);
