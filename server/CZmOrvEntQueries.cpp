// The plain query methods of the main object: every record of one kind that
// the user's session holds for a symbol, for an underlying or in full,
// handed out as a new cursor.
#include "platform/log/Log.h"
#include "server/CFutIVIndexes.h"
#include "server/CFutIVSurfaces.h"
#include "server/CFutOptions.h"
#include "server/CFutures.h"
#include "server/CIVIndexes.h"
#include "server/CIVSurfaces.h"
#include "server/CNstdOptions.h"
#include "server/COptions.h"
#include "server/CStocks.h"
#include "server/CZmOrvEnt.h"
#include "server/QueryResults.h"

using orvcom::BstrText;

namespace {

const unsigned kFutures = CZmOrvEnt::kFuturesSide;
const unsigned kCommFailure = CZmOrvEnt::kCommFailureClause;
using orvsrv::Query;

}  // namespace

// ---- Stocks ---------------------------------------------------------------------

STDMETHODIMP CZmOrvEnt::GetStockBySymbol(BSTR Symbol, IStocksEnt** pData) {
  return Query<CStocks>(this, "GetStockBySymbol", "Symbol", Symbol, kCommFailure, IID_IStocksEnt, pData,
                        [&](CDataHolder& s, StockRecords& r) { s.GetStocks(BstrText(Symbol), r, false); });
}

STDMETHODIMP CZmOrvEnt::GetStocksAll(IStocksEnt** pStocks) {
  return Query<CStocks>(this, "GetStocksAll", nullptr, nullptr, 0, IID_IStocksEnt, pStocks,
                        [&](CDataHolder& s, StockRecords& r) { s.GetStocks(u"", r, false); });
}

STDMETHODIMP CZmOrvEnt::GetStockBySymbol_Direct(BSTR Symbol, IStocksEnt** pData) {
  return Query<CStocks>(this, "GetStockBySymbol_Direct", "Symbol", Symbol, kCommFailure, IID_IStocksEnt, pData,
                        [&](CDataHolder& s, StockRecords& r) { s.GetStocks(BstrText(Symbol), r, true); });
}

STDMETHODIMP CZmOrvEnt::GetStocksAll_Direct(IStocksEnt** pStocks) {
  return Query<CStocks>(this, "GetStocksAll_Direct", nullptr, nullptr, 0, IID_IStocksEnt, pStocks,
                        [&](CDataHolder& s, StockRecords& r) { s.GetStocks(u"", r, true); });
}

// ---- Options --------------------------------------------------------------------

STDMETHODIMP CZmOrvEnt::GetOptionBySymbol(BSTR Symbol, IOptionsEnt** pData) {
  return Query<COptions>(this, "GetOptionBySymbol", "Symbol", Symbol, 0, IID_IOptionsEnt, pData,
                         [&](CDataHolder& s, OptionRecords& r) { s.GetOptions(BstrText(Symbol), enOption, r, false); });
}

STDMETHODIMP CZmOrvEnt::GetOptionsByStock(BSTR Symbol, IOptionsEnt** pOptions) {
  return Query<COptions>(
      this, "GetOptionsByStock", "Symbol", Symbol, 0, IID_IOptionsEnt, pOptions,
      [&](CDataHolder& s, OptionRecords& r) { s.GetOptions(BstrText(Symbol), enEquity, r, false); }, LessOptionRecord);
}

STDMETHODIMP CZmOrvEnt::GetOptionsAll(IOptionsEnt** pOptions) {
  return Query<COptions>(
      this, "GetOptionsAll", nullptr, nullptr, 0, IID_IOptionsEnt, pOptions,
      [&](CDataHolder& s, OptionRecords& r) { s.GetOptions(u"", enEquity, r, false); }, LessOptionRecord);
}

STDMETHODIMP CZmOrvEnt::GetOptionBySymbol_Direct(BSTR Symbol, IOptionsEnt** pData) {
  return Query<COptions>(this, "GetOptionBySymbol_Direct", "Symbol", Symbol, 0, IID_IOptionsEnt, pData,
                         [&](CDataHolder& s, OptionRecords& r) { s.GetOptions(BstrText(Symbol), enOption, r, true); });
}

STDMETHODIMP CZmOrvEnt::GetOptionsByStock_Direct(BSTR Symbol, IOptionsEnt** pOptions) {
  return Query<COptions>(
      this, "GetOptionsByStock_Direct", "Symbol", Symbol, 0, IID_IOptionsEnt, pOptions,
      [&](CDataHolder& s, OptionRecords& r) { s.GetOptions(BstrText(Symbol), enEquity, r, true); }, LessOptionRecord);
}

STDMETHODIMP CZmOrvEnt::GetOptionsAll_Direct(IOptionsEnt** pOptions) {
  return Query<COptions>(
      this, "GetOptionsAll_Direct", nullptr, nullptr, 0, IID_IOptionsEnt, pOptions,
      [&](CDataHolder& s, OptionRecords& r) { s.GetOptions(u"", enEquity, r, true); }, LessOptionRecord);
}

// ---- Non-standard options -------------------------------------------------------

// The session reads enNstdOption as "by underlying", so this hands out the
// underlying's options unsorted; callers have relied on that.
STDMETHODIMP CZmOrvEnt::GetNstdOptionBySymbol(BSTR Symbol, INstdOptionsEnt** pData) {
  return Query<CNstdOptions>(
      this, "GetNstdOptionBySymbol", "Symbol", Symbol, 0, IID_INstdOptionsEnt, pData,
      [&](CDataHolder& s, NstdOptionRecords& r) { s.GetNstdOptions(BstrText(Symbol), enNstdOption, r); });
}

STDMETHODIMP CZmOrvEnt::GetNstdOptionsByStock(BSTR Symbol, INstdOptionsEnt** pOptions) {
  return Query<CNstdOptions>(
      this, "GetNstdOptionsByStock", "Symbol", Symbol, 0, IID_INstdOptionsEnt, pOptions,
      [&](CDataHolder& s, NstdOptionRecords& r) { s.GetNstdOptions(BstrText(Symbol), enEquity, r); },
      LessNstdOptionRecord);
}

STDMETHODIMP CZmOrvEnt::GetNstdOptionsAll(INstdOptionsEnt** pOptions) {
  return Query<CNstdOptions>(
      this, "GetNstdOptionsAll", nullptr, nullptr, 0, IID_INstdOptionsEnt, pOptions,
      [&](CDataHolder& s, NstdOptionRecords& r) { s.GetNstdOptions(u"", enNstdOption, r); }, LessNstdOptionRecord);
}

// ---- Futures ----------------------------------------------------------------------

STDMETHODIMP CZmOrvEnt::GetFuturesBySymbol(BSTR Symbol, IFuturesEnt** pData) {
  return Query<CFutures>(this, "GetFutureBySymbol", "Symbol", Symbol, kFutures | kCommFailure, IID_IFuturesEnt,
                         pData, [&](CDataHolder& s, FuturesRecords& r) { s.GetFutures(BstrText(Symbol), r); });
}

STDMETHODIMP CZmOrvEnt::GetFuturesByRootSymbol(BSTR Symbol, IFuturesEnt** pFutures) {
  return Query<CFutures>(
      this, "GetFutureByRootSymbol", "Symbol", Symbol, kFutures | kCommFailure, IID_IFuturesEnt, pFutures,
      [&](CDataHolder& s, FuturesRecords& r) { s.GetFuturesByRoot(BstrText(Symbol), enOption, r); }, LessFuturesRecord);
}

STDMETHODIMP CZmOrvEnt::GetFuturesAll(IFuturesEnt** pFutures) {
  return Query<CFutures>(this, "GetFuturesAll", nullptr, nullptr, kFutures, IID_IFuturesEnt, pFutures,
                         [&](CDataHolder& s, FuturesRecords& r) { s.GetFutures(u"", r); });
}

// ---- Futures options ------------------------------------------------------------

STDMETHODIMP CZmOrvEnt::GetFutOptionBySymbol(BSTR Symbol, IFutOptionsEnt** pData) {
  return Query<CFutOptions>(this, "GetFutureOptionBySymbol", "Symbol", Symbol, kFutures, IID_IFutOptionsEnt, pData,
                            [&](CDataHolder& s, OptionRecords& r) { s.GetFutOptions(BstrText(Symbol), enOption, r); });
}

STDMETHODIMP CZmOrvEnt::GetFutOptionsByFuturesSymbol(BSTR Symbol, IFutOptionsEnt** pOptions) {
  return Query<CFutOptions>(
      this, "GetFutureOptionsByStock", "Symbol", Symbol, kFutures, IID_IFutOptionsEnt, pOptions,
      [&](CDataHolder& s, OptionRecords& r) { s.GetFutOptions(BstrText(Symbol), enFuture, r); }, LessOptionRecord);
}

STDMETHODIMP CZmOrvEnt::GetFutOptionsAll(IFutOptionsEnt** pOptions) {
  return Query<CFutOptions>(
      this, "GetFutureOptionsAll", nullptr, nullptr, kFutures, IID_IFutOptionsEnt, pOptions,
      [&](CDataHolder& s, OptionRecords& r) {
        ORV_LOG(orvlog::kTrace, "CZmOrvEnt::GetFutureOptionsAll() Getting market data");
        s.GetFutOptions(u"", enFuture, r);
      },
      LessOptionRecord);
}

// ---- IV indexes and surfaces ----------------------------------------------------

STDMETHODIMP CZmOrvEnt::GetIVIndexesByStock(BSTR StockSymbol, IIVIndexesEnt** pIVIndexes) {
  return Query<CIVIndexes>(this, "GetIVIndexesByStock", "StockSymbol", StockSymbol, 0, IID_IIVIndexesEnt,
                           pIVIndexes,
                           [&](CDataHolder& s, IVIndexRecords& r) { s.GetIVIndexes(BstrText(StockSymbol), r); });
}

STDMETHODIMP CZmOrvEnt::GetIVIndexesAll(IIVIndexesEnt** pIVIndexes) {
  return Query<CIVIndexes>(this, "GetIVIndexesAll", nullptr, nullptr, 0, IID_IIVIndexesEnt, pIVIndexes,
                           [&](CDataHolder& s, IVIndexRecords& r) { s.GetIVIndexes(u"", r); });
}

STDMETHODIMP CZmOrvEnt::GetIVSurfacesByStock(BSTR StockSymbol, IIVSurfacesEnt** pIVSurfaces) {
  return Query<CIVSurfaces>(this, "GetIVSurfacesByStock", "Symbol", StockSymbol, 0, IID_IIVSurfacesEnt,
                            pIVSurfaces,
                            [&](CDataHolder& s, IVSurfaceRecords& r) { s.GetIVSurfaces(BstrText(StockSymbol), r); });
}

STDMETHODIMP CZmOrvEnt::GetIVSurfacesAll(IIVSurfacesEnt** pIVSurface) {
  return Query<CIVSurfaces>(this, "GetIVSurfacesAll", nullptr, nullptr, 0, IID_IIVSurfacesEnt, pIVSurface,
                            [&](CDataHolder& s, IVSurfaceRecords& r) { s.GetIVSurfaces(u"", r); });
}

STDMETHODIMP CZmOrvEnt::GetFutIVIndexesBySymbol(BSTR Symbol, IFutIVIndexesEnt** pIVIndexes) {
  return Query<CFutIVIndexes>(this, "GetFutIVIndexesByStock", "StockSymbol", Symbol, kFutures,
                              IID_IFutIVIndexesEnt, pIVIndexes,
                              [&](CDataHolder& s, IVIndexRecords& r) { s.GetFutIVIndexes(BstrText(Symbol), r); });
}

STDMETHODIMP CZmOrvEnt::GetFutIVIndexesAll(IFutIVIndexesEnt** pIVIndexes) {
  return Query<CFutIVIndexes>(this, "GetFutIVIndexesAll", nullptr, nullptr, kFutures, IID_IFutIVIndexesEnt,
                              pIVIndexes, [&](CDataHolder& s, IVIndexRecords& r) { s.GetFutIVIndexes(u"", r); });
}

STDMETHODIMP CZmOrvEnt::GetFutIVSurfacesBySymbol(BSTR Symbol, IFutIVSurfacesEnt** pIVSurfaces) {
  return Query<CFutIVSurfaces>(this, "GetFutIVSurfacesByStock", "Symbol", Symbol, kFutures, IID_IFutIVSurfacesEnt,
                               pIVSurfaces,
                               [&](CDataHolder& s, IVSurfaceRecords& r) { s.GetFutIVSurfaces(BstrText(Symbol), r); });
}

STDMETHODIMP CZmOrvEnt::GetFutIVSurfacesAll(IFutIVSurfacesEnt** pIVSurface) {
  return Query<CFutIVSurfaces>(this, "GetFutIVSurfacesAll", nullptr, nullptr, kFutures, IID_IFutIVSurfacesEnt,
                               pIVSurface, [&](CDataHolder& s, IVSurfaceRecords& r) { s.GetFutIVSurfaces(u"", r); });
}
