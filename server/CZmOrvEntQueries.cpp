// The query methods of the main object.
#include "server/CZmOrvEnt.h"

STDMETHODIMP CZmOrvEnt::GetStockBySymbol(BSTR, IStocksEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetStocksAll(IStocksEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetOptionBySymbol(BSTR, IOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetOptionsByStock(BSTR, IOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetOptionsByStrike(BSTR, DOUBLE, IOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetOptionsByExpiry(BSTR, DATE, IOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetOptionsAll(IOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetIVIndexesByStock(BSTR, IIVIndexesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetIVIndexesByTerm(BSTR, SHORT, IIVIndexesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetIVIndexesAll(IIVIndexesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetIVSurfacesByStock(BSTR, IIVSurfacesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetIVSurfacesByTerm(BSTR, SHORT, IIVSurfacesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetIVSurfacesByOTM(BSTR, SHORT, IIVSurfacesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetIVSurfacesAll(IIVSurfacesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetIVSurfaceUnique(BSTR, SHORT, SHORT, OptionTypeEnum, IIVSurfacesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetIRByPeriod(BSTR, LONG, FLOAT*) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetIRByCurrency(BSTR, IInterestRateEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetHV(BSTR, IHVEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetHVByTerm(BSTR, SHORT, FLOAT*) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetATMByStock(BSTR, IIVATMEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetStockBySymbol_Direct(BSTR, IStocksEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetStocksAll_Direct(IStocksEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetOptionBySymbol_Direct(BSTR, IOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetOptionsByStock_Direct(BSTR, IOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetOptionsByStrike_Direct(BSTR, DOUBLE, IOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetOptionsByExpiry_Direct(BSTR, DATE, IOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetOptionsAll_Direct(IOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetFutOptionBySymbol(BSTR, IFutOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetFutOptionsByFuturesSymbol(BSTR, IFutOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetFutOptionsByStrike(BSTR, DOUBLE, IFutOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetFutOptionsByExpiry(BSTR, DATE, IFutOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetFutOptionsAll(IFutOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetFuturesBySymbol(BSTR, IFuturesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetFuturesByRootSymbol(BSTR, IFuturesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetFuturesAll(IFuturesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetFutIVIndexesBySymbol(BSTR, IFutIVIndexesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetFutIVIndexesByTerm(BSTR, SHORT, IFutIVIndexesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetFutIVIndexesAll(IFutIVIndexesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetFutIVSurfacesBySymbol(BSTR, IFutIVSurfacesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetFutIVSurfacesByTerm(BSTR, SHORT, IFutIVSurfacesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetFutIVSurfacesByOTM(BSTR, DOUBLE, IFutIVSurfacesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetFutIVSurfacesAll(IFutIVSurfacesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetFutIVSurfaceUnique(BSTR, SHORT, DOUBLE, OptionTypeEnum, IFutIVSurfacesEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetNstdOptionBySymbol(BSTR, INstdOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetNstdOptionsByStock(BSTR, INstdOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetNstdOptionsByStrike(BSTR, DOUBLE, INstdOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetNstdOptionsByExpiry(BSTR, DATE, INstdOptionsEnt**) { return E_NOTIMPL; }
STDMETHODIMP CZmOrvEnt::GetNstdOptionsAll(INstdOptionsEnt**) { return E_NOTIMPL; }
