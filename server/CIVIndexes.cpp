#include "server/CIVIndexes.h"

#include "platform/log/Log.h"

CIVIndexes::CIVIndexes() {
  m_cur.Symbol = _bstr_t("");
  const LONG count = CountCreated();
  ORV_LOG(orvlog::kTrace,
          "CIVIndexes object created " << orvsrv::PtrText(this) << ". Total active objects " << count);
}

CIVIndexes::~CIVIndexes() {
  const LONG count = CountDeleted();
  ORV_LOG(orvlog::kTrace,
          "CIVIndexes object deleted " << orvsrv::PtrText(this) << ". Total active objects " << count);
}

STDMETHODIMP CIVIndexes::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID_IIVIndexesEnt) ? S_OK : S_FALSE;
}

STDMETHODIMP CIVIndexes::GetIVIndexData(BSTR* StockSymbol, SHORT* Term, float* IVIndexCall,
                                        float* IVIndexPut) {
  if (!orvsrv::AllNonNull(StockSymbol, Term, IVIndexCall, IVIndexPut)) return E_POINTER;
  CursorLock lock(this);
  const HRESULT hr = orvsrv::CopyOut(m_cur.Symbol, StockSymbol);
  if (FAILED(hr)) return hr;
  *Term = m_cur.Term;
  *IVIndexCall = m_cur.IVIndexCall;
  *IVIndexPut = m_cur.IVIndexPut;
  return S_OK;
}
