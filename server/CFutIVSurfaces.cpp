#include "server/CFutIVSurfaces.h"

#include "platform/log/Log.h"

CFutIVSurfaces::CFutIVSurfaces() {
  m_cur.Symbol = _bstr_t("");
  const LONG count = CountCreated();
  ORV_LOG(orvlog::kTrace,
          "CFutIVSurfaces object created " << orvsrv::PtrText(this) << ". Total active objects " << count);
}

CFutIVSurfaces::~CFutIVSurfaces() {
  const LONG count = CountDeleted();
  ORV_LOG(orvlog::kTrace,
          "CFutIVSurfaces object deleted " << orvsrv::PtrText(this) << ". Total active objects " << count);
}

STDMETHODIMP CFutIVSurfaces::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID_IFutIVSurfacesEnt) ? S_OK : S_FALSE;
}

STDMETHODIMP CFutIVSurfaces::GetIVSurfaceData(BSTR* StockSymbol, SHORT* Term, float* VirtualStrike,
                                              float* Otm, float* IV, float* Delta, OptionTypeEnum* Type) {
  if (!orvsrv::AllNonNull(StockSymbol, Term, VirtualStrike, Otm, IV, Delta, Type)) return E_POINTER;
  CursorLock lock(this);
  const HRESULT hr = orvsrv::CopyOut(m_cur.Symbol, StockSymbol);
  if (FAILED(hr)) return hr;
  *Term = m_cur.Term;
  *VirtualStrike = m_cur.VirtualStrike;
  *Otm = m_cur.Otm;
  *IV = m_cur.IV;
  *Delta = m_cur.Delta;
  *Type = static_cast<OptionTypeEnum>(m_cur.Type);
  return S_OK;
}
