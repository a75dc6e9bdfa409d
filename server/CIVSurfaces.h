// The IV surface cursor of stocks. Its out-of-the-money level is a whole
// number: the record's level truncated toward zero.
#pragma once

#include "server/CursorSupport.h"

class CIVSurfaces : public CComObjectRootEx<CComMultiThreadModel>,
                   public CComCoClass<CIVSurfaces, &CLSID_IVSurfacesEnt>,
                   public ISupportErrorInfo,
                   public IDispatchImpl<IIVSurfacesEnt, &IID_IIVSurfacesEnt, &LIBID_BraskOrvEnt, 1, 0>,
                   public orvsrv::CCursorImpl<CIVSurfaces, IVSurfaceRecord> {
 public:
  CIVSurfaces();
  ~CIVSurfaces();

  DECLARE_REGISTRY_RESOURCEID(109)

  BEGIN_COM_MAP(CIVSurfaces)
    COM_INTERFACE_ENTRY(IIVSurfacesEnt)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
  END_COM_MAP()

  static const _bstr_t& Key(const IVSurfaceRecord& r) { return r.Symbol; }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid);

  ORV_CURSOR_GET_STRING(StockSymbol, m_cur.Symbol)
  ORV_CURSOR_GET_VALUE(Term, SHORT, m_cur.Term)
  ORV_CURSOR_GET_VALUE(VirtualStrike, float, m_cur.VirtualStrike)
  ORV_CURSOR_GET_VALUE(Otm, SHORT, orvsrv::OtmToShort(m_cur.Otm))
  ORV_CURSOR_GET_VALUE(IV, float, m_cur.IV)
  ORV_CURSOR_GET_VALUE(Delta, float, m_cur.Delta)
  ORV_CURSOR_GET_VALUE(Type, OptionTypeEnum, static_cast<OptionTypeEnum>(m_cur.Type))
  STDMETHODIMP Next(VARIANT_BOOL* bVal) { return NextImpl(bVal); }
  STDMETHODIMP Find(BSTR Symbol, VARIANT_BOOL* bVal) { return FindImpl(Symbol, bVal); }
  STDMETHODIMP GetIVSurfaceData(BSTR* StockSymbol, SHORT* Term, float* VirtualStrike, SHORT* Otm, float* IV,
                                float* Delta, OptionTypeEnum* Type);
};
