#include <atomic>
#include <new>

#include "platform/com/oleauto.h"

namespace {

// The error object: what CreateErrorInfo hands out and IErrorInfo reads.
class ErrorObject final : public ICreateErrorInfo, public IErrorInfo {
 public:
  ~ErrorObject() {
    SysFreeString(source_);
    SysFreeString(description_);
    SysFreeString(helpFile_);
  }

  STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ICreateErrorInfo) {
      *ppv = static_cast<ICreateErrorInfo*>(this);
    } else if (riid == IID_IErrorInfo) {
      *ppv = static_cast<IErrorInfo*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHOD_(ULONG, AddRef)() override { return ++refs_; }
  STDMETHOD_(ULONG, Release)() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

  STDMETHOD(SetGUID)(REFGUID rguid) override {
    guid_ = rguid;
    return S_OK;
  }
  STDMETHOD(SetSource)(LPOLESTR text) override { return Set(&source_, text); }
  STDMETHOD(SetDescription)(LPOLESTR text) override { return Set(&description_, text); }
  STDMETHOD(SetHelpFile)(LPOLESTR text) override { return Set(&helpFile_, text); }
  STDMETHOD(SetHelpContext)(DWORD context) override {
    helpContext_ = context;
    return S_OK;
  }

  STDMETHOD(GetGUID)(GUID* out) override {
    if (!out) return E_INVALIDARG;
    *out = guid_;
    return S_OK;
  }
  STDMETHOD(GetSource)(BSTR* out) override { return Get(source_, out); }
  STDMETHOD(GetDescription)(BSTR* out) override { return Get(description_, out); }
  STDMETHOD(GetHelpFile)(BSTR* out) override { return Get(helpFile_, out); }
  STDMETHOD(GetHelpContext)(DWORD* out) override {
    if (!out) return E_INVALIDARG;
    *out = helpContext_;
    return S_OK;
  }

 private:
  static HRESULT Set(BSTR* field, LPOLESTR text) {
    BSTR copy = nullptr;
    if (text && !(copy = SysAllocString(text))) return E_OUTOFMEMORY;
    SysFreeString(*field);
    *field = copy;
    return S_OK;
  }
  static HRESULT Get(BSTR field, BSTR* out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (field && !(*out = SysAllocStringLen(field, SysStringLen(field)))) return E_OUTOFMEMORY;
    return S_OK;
  }

  std::atomic<ULONG> refs_{1};
  GUID guid_ = GUID_NULL;
  BSTR source_ = nullptr;
  BSTR description_ = nullptr;
  BSTR helpFile_ = nullptr;
  DWORD helpContext_ = 0;
};

// The thread's error object; released when the thread ends.
struct ThreadErrorSlot {
  IErrorInfo* info = nullptr;
  ~ThreadErrorSlot() {
    if (info) info->Release();
  }
};

thread_local ThreadErrorSlot t_error;

}  // namespace

HRESULT CreateErrorInfo(ICreateErrorInfo** out) {
  if (!out) return E_INVALIDARG;
  *out = new (std::nothrow) ErrorObject();
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT SetErrorInfo(ULONG, IErrorInfo* info) {
  if (info) info->AddRef();
  IErrorInfo* old = t_error.info;
  t_error.info = info;
  if (old) old->Release();
  return S_OK;
}

HRESULT GetErrorInfo(ULONG, IErrorInfo** info) {
  if (!info) return E_INVALIDARG;
  *info = t_error.info;
  t_error.info = nullptr;
  return *info ? S_OK : S_FALSE;
}
