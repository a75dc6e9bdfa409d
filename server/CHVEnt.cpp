#include "server/CHVEnt.h"

#include "platform/log/Log.h"

CHVEnt::CHVEnt() {
  const LONG count = CountCreated();
  ORV_LOG(orvlog::kTrace,
          "CHVEnt object created 0x" << orvsrv::PtrText(this) << ". Total active objects " << count);
}

CHVEnt::~CHVEnt() {
  const LONG count = CountDeleted();
  ORV_LOG(orvlog::kTrace,
          "CHVEnt object deleted " << orvsrv::PtrText(this) << ". Total active objects " << count);
}

STDMETHODIMP CHVEnt::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID_IHVEnt) ? S_OK : S_FALSE;
}

STDMETHODIMP CHVEnt::Find(BSTR /*Symbol*/, VARIANT_BOOL* bVal) {
  if (bVal == nullptr) return E_POINTER;
  *bVal = VARIANT_FALSE;
  return S_OK;
}

STDMETHODIMP CHVEnt::GetHVData(BSTR* Symbol, SHORT* Period, float* HV) {
  if (!orvsrv::AllNonNull(Symbol, Period, HV)) return E_POINTER;
  CursorLock lock(this);
  const HRESULT hr = orvsrv::CopyOut(m_cur.Symbol, Symbol);
  if (FAILED(hr)) return hr;
  *Period = m_cur.Period;
  *HV = m_cur.HV;
  return S_OK;
}
