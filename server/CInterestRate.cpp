#include "server/CInterestRate.h"

#include "platform/log/Log.h"

CInterestRate::CInterestRate() {
  m_cur.Currency = _bstr_t("");
  CountCreated();
  ORV_LOG(orvlog::kTrace, "CInterestRate object created " << orvsrv::PtrText(this));
}

CInterestRate::~CInterestRate() {
  CountDeleted();
  ORV_LOG(orvlog::kTrace, "CInterestRate object deleted " << orvsrv::PtrText(this));
}

STDMETHODIMP CInterestRate::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID_IInterestRateEnt) ? S_OK : S_FALSE;
}

STDMETHODIMP CInterestRate::GetInterestRateData(BSTR* Currency, LONG* Period, float* Rate) {
  if (!orvsrv::AllNonNull(Currency, Period, Rate)) return E_POINTER;
  CursorLock lock(this);
  const HRESULT hr = orvsrv::CopyOut(m_cur.Currency, Currency);
  if (FAILED(hr)) return hr;
  *Period = m_cur.Period;
  *Rate = m_cur.Rate;
  return S_OK;
}
