// The part every test's event sink shares: it answers for the event
// interface and IDispatch, and counts its references without deleting
// itself, so that a test can ask whether the server still holds it. A sink
// adds its own Invoke.
#pragma once

#include <atomic>

#include "BraskOrvEnt.h"
#include "platform/com/atlbase.h"

namespace orvtest {

class EventSinkBase : public IDispatch {
 public:
  STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__IZmOrvEventsEnt) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHOD_(ULONG, AddRef)() override { return ++m_refs; }
  STDMETHOD_(ULONG, Release)() override { return --m_refs; }
  STDMETHOD(GetTypeInfoCount)(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  STDMETHOD(GetTypeInfo)(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHOD(GetIDsOfNames)(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }

  ULONG Refs() const { return m_refs; }

 private:
  std::atomic<ULONG> m_refs{0};
};

}  // namespace orvtest
