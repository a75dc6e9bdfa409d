// The IV surface cursor of futures, whose out-of-the-money level keeps its
// fraction.
#pragma once

#include "server/CursorSupport.h"

class CFutIVSurfaces : public CComObjectRootEx<CComMultiThreadModel>,
                      public CComCoClass<CFutIVSurfaces, &CLSID_FutIVSurfacesEnt>,
                      public ISupportErrorInfo,
                      public IDispatchImpl<IFutIVSurfacesEnt, &IID_IFutIVSurfacesEnt, &LIBID_BraskOrvEnt, 1, 0>,
                      public orvsrv::CCursorImpl<CFutIVSurfaces, IVSurfaceRecord> {
 public:
  CFutIVSurfaces();
  ~CFutIVSurfaces();

  // The futures coclasses have no registry script.
  DECLARE_NO_REGISTRY()

  BEGIN_COM_MAP(CFutIVSurfaces)
    COM_INTERFACE_ENTRY(IFutIVSurfacesEnt)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
  END_COM_MAP()

  static const _bstr_t& Key(const IVSurfaceRecord& r) { return r.Symbol; }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid);

  ORV_CURSOR_GET_STRING(UnderlyingSymbol, m_cur.Symbol)
  ORV_CURSOR_GET_VALUE(Term, SHORT, m_cur.Term)
  ORV_CURSOR_GET_VALUE(VirtualStrike, float, m_cur.VirtualStrike)
  ORV_CURSOR_GET_VALUE(Otm, float, m_cur.Otm)
  ORV_CURSOR_GET_VALUE(IV, float, m_cur.IV)
  ORV_CURSOR_GET_VALUE(Delta, float, m_cur.Delta)
  ORV_CURSOR_GET_VALUE(Type, OptionTypeEnum, static_cast<OptionTypeEnum>(m_cur.Type))
  STDMETHODIMP Next(VARIANT_BOOL* bVal) { return NextImpl(bVal); }
  STDMETHODIMP Find(BSTR Symbol, VARIANT_BOOL* bVal) { return FindImpl(Symbol, bVal); }
  STDMETHODIMP GetIVSurfaceData(BSTR* StockSymbol, SHORT* Term, float* VirtualStrike, float* Otm, float* IV,
                                float* Delta, OptionTypeEnum* Type);
};
