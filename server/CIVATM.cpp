#include "server/CIVATM.h"

CIVATM::CIVATM() { CountCreated(); }

CIVATM::~CIVATM() { CountDeleted(); }

STDMETHODIMP CIVATM::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID_IIVATMEnt) ? S_OK : S_FALSE;
}

STDMETHODIMP CIVATM::Find(BSTR /*Symbol*/, VARIANT_BOOL* bVal) {
  if (bVal == nullptr) return E_POINTER;
  *bVal = VARIANT_FALSE;
  return S_OK;
}

STDMETHODIMP CIVATM::GetIVATMData(BSTR* StockSymbol, DATE* ExpirationDate, float* IV) {
  if (!orvsrv::AllNonNull(StockSymbol, ExpirationDate, IV)) return E_POINTER;
  CursorLock lock(this);
  const HRESULT hr = orvsrv::CopyOut(m_cur.Symbol, StockSymbol);
  if (FAILED(hr)) return hr;
  *ExpirationDate = static_cast<DATE>(m_cur.Expiration);
  *IV = m_cur.IV;
  return S_OK;
}
