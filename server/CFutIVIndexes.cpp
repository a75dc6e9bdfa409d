#include "server/CFutIVIndexes.h"

#include "platform/log/Log.h"

CFutIVIndexes::CFutIVIndexes() {
  m_cur.Symbol = _bstr_t("");
  const LONG count = CountCreated();
  ORV_LOG(orvlog::kTrace,
          "CFutIVIndexes object created " << orvsrv::PtrText(this) << ". Total active objects " << count);
}

CFutIVIndexes::~CFutIVIndexes() {
  const LONG count = CountDeleted();
  ORV_LOG(orvlog::kTrace,
          "CFutIVIndexes object deleted " << orvsrv::PtrText(this) << ". Total active objects " << count);
}

STDMETHODIMP CFutIVIndexes::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID_IFutIVIndexesEnt) ? S_OK : S_FALSE;
}

STDMETHODIMP CFutIVIndexes::GetIVIndexData(BSTR* StockSymbol, SHORT* Term, float* IVIndexCall,
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
