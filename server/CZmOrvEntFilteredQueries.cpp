// The query methods of the main object that do more than hand over what
// the session returns: the records of an underlying picked by strike,
// expiry, term, out-of-the-money level or surface point; interest rates and
// historical volatility, as cursors or as one number; and at-the-money
// volatility, worked out after a refresh of the stock's cached rows.
#include <cstdio>
#include <string>

#include "platform/log/Log.h"
#include "server/CFutIVIndexes.h"
#include "server/CFutIVSurfaces.h"
#include "server/CFutOptions.h"
#include "server/CHVEnt.h"
#include "server/CIVATM.h"
#include "server/CIVIndexes.h"
#include "server/CIVSurfaces.h"
#include "server/CInterestRate.h"
#include "server/CNstdOptions.h"
#include "server/COptions.h"
#include "server/CZmOrvEnt.h"
#include "server/QueryResults.h"
#include "platform/win/oledate.h"

using orvcom::BstrText;
using orvcom::Narrow;

namespace {

const unsigned kFutures = CZmOrvEnt::kFuturesSide;
using orvsrv::KeepIf;
using orvsrv::Query;

// Every comparison below is an ordered one: a NaN on either side matches
// nothing. A strike is stored as a float; only its exact widened value
// finds it.
template <class R>
bool StrikeIs(const R& r, double strike) {
  return static_cast<double>(r.StrikePrice) == strike;
}
// The time of day counts.
template <class R>
bool ExpiryIs(const R& r, DATE expiry) {
  return r.ExpirationDate == expiry;
}
bool SurfacePointIs(const IVSurfaceRecord& r, double otm, SHORT term, OptionTypeEnum type) {
  return static_cast<double>(r.Otm) == otm && r.Term == term && r.Type == static_cast<LONG>(type);
}

// An expiry day as a short date of the user's default locale (month, day,
// four-digit year); empty for a day outside the calendar.
std::string DayText(LONG day) {
  SYSTEMTIME t{};
  if (!VariantTimeToSystemTime(static_cast<DATE>(day), &t)) return std::string();
  char text[32];
  std::snprintf(text, sizeof text, "%u/%u/%u", unsigned(t.wMonth), unsigned(t.wDay), unsigned(t.wYear));
  return text;
}

}  // namespace

// ---- Options by strike and by expiry --------------------------------------------

STDMETHODIMP CZmOrvEnt::GetOptionsByStrike(BSTR StockSymbol, DOUBLE StrikePrice, IOptionsEnt** pOptions) {
  return Query<COptions>(
      this, "GetOptionsByStrike", "StockSymbol", StockSymbol, 0, IID_IOptionsEnt, pOptions,
      [&](CDataHolder& s, OptionRecords& r) {
        OptionRecords all;
        s.GetOptions(BstrText(StockSymbol), enEquity, all, false);
        r = KeepIf(all, [&](const OptionRecord& o) { return StrikeIs(o, StrikePrice); });
      },
      LessOptionRecord);
}

STDMETHODIMP CZmOrvEnt::GetOptionsByExpiry(BSTR StockSymbol, DATE ExpirationDate, IOptionsEnt** pOptions) {
  return Query<COptions>(
      this, "GetOptionsByExpiry", "StockSymbol", StockSymbol, 0, IID_IOptionsEnt, pOptions,
      [&](CDataHolder& s, OptionRecords& r) {
        OptionRecords all;
        s.GetOptions(BstrText(StockSymbol), enEquity, all, false);
        r = KeepIf(all, [&](const OptionRecord& o) { return ExpiryIs(o, ExpirationDate); });
      },
      LessOptionRecord);
}

STDMETHODIMP CZmOrvEnt::GetOptionsByStrike_Direct(BSTR StockSymbol, DOUBLE StrikePrice, IOptionsEnt** pOptions) {
  return Query<COptions>(
      this, "GetOptionsByStrike_Direct", "StockSymbol", StockSymbol, 0, IID_IOptionsEnt, pOptions,
      [&](CDataHolder& s, OptionRecords& r) {
        OptionRecords all;
        s.GetOptions(BstrText(StockSymbol), enEquity, all, true);
        r = KeepIf(all, [&](const OptionRecord& o) { return StrikeIs(o, StrikePrice); });
      },
      LessOptionRecord);
}

STDMETHODIMP CZmOrvEnt::GetOptionsByExpiry_Direct(BSTR StockSymbol, DATE ExpirationDate, IOptionsEnt** pOptions) {
  return Query<COptions>(
      this, "GetOptionsByExpiry_Direct", "StockSymbol", StockSymbol, 0, IID_IOptionsEnt, pOptions,
      [&](CDataHolder& s, OptionRecords& r) {
        OptionRecords all;
        s.GetOptions(BstrText(StockSymbol), enEquity, all, true);
        r = KeepIf(all, [&](const OptionRecord& o) { return ExpiryIs(o, ExpirationDate); });
      },
      LessOptionRecord);
}

STDMETHODIMP CZmOrvEnt::GetNstdOptionsByStrike(BSTR StockSymbol, DOUBLE StrikePrice, INstdOptionsEnt** pOptions) {
  return Query<CNstdOptions>(
      this, "GetNstdOptionsByStrike", "StockSymbol", StockSymbol, 0, IID_INstdOptionsEnt, pOptions,
      [&](CDataHolder& s, NstdOptionRecords& r) {
        NstdOptionRecords all;
        s.GetNstdOptions(BstrText(StockSymbol), enEquity, all);
        r = KeepIf(all, [&](const NstdOptionRecord& o) { return StrikeIs(o, StrikePrice); });
      },
      LessNstdOptionRecord);
}

STDMETHODIMP CZmOrvEnt::GetNstdOptionsByExpiry(BSTR StockSymbol, DATE ExpirationDate, INstdOptionsEnt** pOptions) {
  return Query<CNstdOptions>(
      this, "GetNstdOptionsByExpiry", "StockSymbol", StockSymbol, 0, IID_INstdOptionsEnt, pOptions,
      [&](CDataHolder& s, NstdOptionRecords& r) {
        NstdOptionRecords all;
        s.GetNstdOptions(BstrText(StockSymbol), enEquity, all);
        r = KeepIf(all, [&](const NstdOptionRecord& o) { return ExpiryIs(o, ExpirationDate); });
      },
      LessNstdOptionRecord);
}

// Both select by the future: the session reads every symbol type but
// enOption as "by underlying".
STDMETHODIMP CZmOrvEnt::GetFutOptionsByStrike(BSTR StockSymbol, DOUBLE StrikePrice, IFutOptionsEnt** pOptions) {
  return Query<CFutOptions>(
      this, "GetFutureOptionsByStrike", "FutureSymbol", StockSymbol, kFutures, IID_IFutOptionsEnt, pOptions,
      [&](CDataHolder& s, OptionRecords& r) {
        OptionRecords all;
        s.GetFutOptions(BstrText(StockSymbol), enEquity, all);
        r = KeepIf(all, [&](const OptionRecord& o) { return StrikeIs(o, StrikePrice); });
      },
      LessOptionRecord);
}

STDMETHODIMP CZmOrvEnt::GetFutOptionsByExpiry(BSTR StockSymbol, DATE ExpirationDate, IFutOptionsEnt** pOptions) {
  return Query<CFutOptions>(
      this, "GetFutureOptionsByExpiry", "FutureSymbol", StockSymbol, kFutures, IID_IFutOptionsEnt, pOptions,
      [&](CDataHolder& s, OptionRecords& r) {
        OptionRecords all;
        s.GetFutOptions(BstrText(StockSymbol), enFuture, all);
        r = KeepIf(all, [&](const OptionRecord& o) { return ExpiryIs(o, ExpirationDate); });
      },
      LessOptionRecord);
}

// ---- IV indexes and surfaces by term, level and point -----------------------------

STDMETHODIMP CZmOrvEnt::GetIVIndexesByTerm(BSTR StockSymbol, SHORT Term, IIVIndexesEnt** pIVIndexData) {
  return Query<CIVIndexes>(this, "GetIVIndexesByTerm", "StockSymbol", StockSymbol, 0, IID_IIVIndexesEnt,
                           pIVIndexData, [&](CDataHolder& s, IVIndexRecords& r) {
                             IVIndexRecords all;
                             s.GetIVIndexes(BstrText(StockSymbol), all);
                             r = KeepIf(all, [&](const IVIndexRecord& x) { return x.Term == Term; });
                           });
}

STDMETHODIMP CZmOrvEnt::GetIVSurfacesByTerm(BSTR StockSymbol, SHORT Term, IIVSurfacesEnt** pIVSurfaces) {
  return Query<CIVSurfaces>(this, "GetIVSurfacesByTerm", "Symbol", StockSymbol, 0, IID_IIVSurfacesEnt, pIVSurfaces,
                            [&](CDataHolder& s, IVSurfaceRecords& r) {
                              IVSurfaceRecords all;
                              s.GetIVSurfaces(BstrText(StockSymbol), all);
                              r = KeepIf(all, [&](const IVSurfaceRecord& x) { return x.Term == Term; });
                            });
}

STDMETHODIMP CZmOrvEnt::GetIVSurfacesByOTM(BSTR StockSymbol, SHORT Otm, IIVSurfacesEnt** pIVSurfaces) {
  return Query<CIVSurfaces>(this, "GetIVSurfacesByOTM", "Symbol", StockSymbol, 0, IID_IIVSurfacesEnt, pIVSurfaces,
                            [&](CDataHolder& s, IVSurfaceRecords& r) {
                              IVSurfaceRecords all;
                              s.GetIVSurfaces(BstrText(StockSymbol), all);
                              r = KeepIf(all, [&](const IVSurfaceRecord& x) {
                                return static_cast<double>(x.Otm) == static_cast<double>(Otm);
                              });
                            });
}

// Unique names the key: every point that has it goes out.
STDMETHODIMP CZmOrvEnt::GetIVSurfaceUnique(BSTR StockSymbol, SHORT Term, SHORT Otm, OptionTypeEnum Type,
                                           IIVSurfacesEnt** pIVSurfaceData) {
  return Query<CIVSurfaces>(this, "GetIVSurfaceUnique", "StockSymbol", StockSymbol, 0, IID_IIVSurfacesEnt,
                            pIVSurfaceData, [&](CDataHolder& s, IVSurfaceRecords& r) {
                              IVSurfaceRecords all;
                              s.GetIVSurfaces(BstrText(StockSymbol), all);
                              r = KeepIf(all, [&](const IVSurfaceRecord& x) {
                                return SurfacePointIs(x, static_cast<double>(Otm), Term, Type);
                              });
                            });
}

STDMETHODIMP CZmOrvEnt::GetFutIVIndexesByTerm(BSTR Symbol, SHORT Term, IFutIVIndexesEnt** pIVIndexData) {
  return Query<CFutIVIndexes>(this, "GetFutIVIndexesByTerm", "StockSymbol", Symbol, kFutures, IID_IFutIVIndexesEnt,
                              pIVIndexData, [&](CDataHolder& s, IVIndexRecords& r) {
                                IVIndexRecords all;
                                s.GetFutIVIndexes(BstrText(Symbol), all);
                                r = KeepIf(all, [&](const IVIndexRecord& x) { return x.Term == Term; });
                              });
}

STDMETHODIMP CZmOrvEnt::GetFutIVSurfacesByTerm(BSTR StockSymbol, SHORT Term, IFutIVSurfacesEnt** pIVSurfaces) {
  return Query<CFutIVSurfaces>(this, "GetFutIVSurfacesByTerm", "Symbol", StockSymbol, kFutures,
                               IID_IFutIVSurfacesEnt, pIVSurfaces, [&](CDataHolder& s, IVSurfaceRecords& r) {
                                 IVSurfaceRecords all;
                                 s.GetFutIVSurfaces(BstrText(StockSymbol), all);
                                 r = KeepIf(all, [&](const IVSurfaceRecord& x) { return x.Term == Term; });
                               });
}

STDMETHODIMP CZmOrvEnt::GetFutIVSurfacesByOTM(BSTR StockSymbol, DOUBLE Otm, IFutIVSurfacesEnt** pIVSurfaces) {
  return Query<CFutIVSurfaces>(this, "GetFutIVSurfacesByOTM", "Symbol", StockSymbol, kFutures,
                               IID_IFutIVSurfacesEnt, pIVSurfaces, [&](CDataHolder& s, IVSurfaceRecords& r) {
                                 IVSurfaceRecords all;
                                 s.GetFutIVSurfaces(BstrText(StockSymbol), all);
                                 r = KeepIf(all, [&](const IVSurfaceRecord& x) {
                                   return static_cast<double>(x.Otm) == Otm;
                                 });
                               });
}

STDMETHODIMP CZmOrvEnt::GetFutIVSurfaceUnique(BSTR StockSymbol, SHORT Term, DOUBLE Otm, OptionTypeEnum Type,
                                              IFutIVSurfacesEnt** pIVSurfaceData) {
  return Query<CFutIVSurfaces>(this, "GetFutIVSurfaceUnique", "StockSymbol", StockSymbol, kFutures,
                               IID_IFutIVSurfacesEnt, pIVSurfaceData, [&](CDataHolder& s, IVSurfaceRecords& r) {
                                 IVSurfaceRecords all;
                                 s.GetFutIVSurfaces(BstrText(StockSymbol), all);
                                 r = KeepIf(all,
                                            [&](const IVSurfaceRecord& x) { return SurfacePointIs(x, Otm, Term, Type); });
                               });
}

// ---- Interest rates and historical volatility -------------------------------------

STDMETHODIMP CZmOrvEnt::GetIRByCurrency(BSTR Currency, IInterestRateEnt** pInterestRate) {
  return Query<CInterestRate>(this, "GetIRByCurrency", "Currency", Currency, 0, IID_IInterestRateEnt, pInterestRate,
                              [&](CDataHolder& s, InterestRateRecords& r) {
                                s.GetInterestRates(BstrText(Currency), r);
                              });
}

STDMETHODIMP CZmOrvEnt::GetHV(BSTR Symbol, IHVEnt** pHV) {
  return Query<CHVEnt>(this, "GetHV", "Symbol", Symbol, 0, IID_IHVEnt, pHV,
                       [&](CDataHolder& s, HVRecords& r) { s.GetHV(BstrText(Symbol), r); });
}

// The last record of the period wins. A null Rate runs the query without
// writing anything.
STDMETHODIMP CZmOrvEnt::GetIRByPeriod(BSTR Currency, LONG Period, FLOAT* Rate) {
  ORV_LOG(orvlog::kTrace, "CZmOrvEnt::GetIRByPeriod() started params: Currency = "
                              << orvlog::Printable(Narrow(BstrText(Currency))));
  return CallInFrame("GetIRByPeriod", Currency, kTakesSymbol, [&](CDataHolder& s) {
    InterestRateRecords records;
    s.GetInterestRates(BstrText(Currency), records);
    const InterestRateRecord* found = nullptr;
    for (const InterestRateRecord& r : records)
      if (r.Period == Period) found = &r;
    if (found == nullptr) RaiseError("Not found");
    if (Rate != nullptr) *Rate = found->Rate;
    return S_OK;
  });
}

// The first record of the term wins. A null HV runs the query without
// writing anything.
STDMETHODIMP CZmOrvEnt::GetHVByTerm(BSTR Symbol, SHORT Term, FLOAT* HV) {
  ORV_LOG(orvlog::kTrace, "CZmOrvEnt::GetHVByTerm() started params: Symbol = "
                              << orvlog::Printable(Narrow(BstrText(Symbol))));
  return CallInFrame("GetHVByTerm", Symbol, kTakesSymbol, [&](CDataHolder& s) {
    HVRecords records;
    s.GetHV(BstrText(Symbol), records);
    for (const HVRecord& r : records) {
      if (r.Period == Term) {
        if (HV != nullptr) *HV = r.HV;
        return S_OK;
      }
    }
    RaiseError("Not found");
  });
}

// ---- At-the-money volatility ----------------------------------------------------

// Nothing cached for the stock means no ATM values: its base data, quotes
// and options (base, quotes, analytics) are fetched into the tables first.
// The refreshes report their own failures; only an empty answer fails.
STDMETHODIMP CZmOrvEnt::GetATMByStock(BSTR StockSymbol, IIVATMEnt** pIVATMData) {
  return CallInFrame("GetATMByStock", StockSymbol, kTakesSymbol | kNoCompletedLine, [&](CDataHolder& s) {
    const std::u16string symbol = BstrText(StockSymbol);
    IVATMRecords records;
    s.GetATM(symbol, records, false);
    if (records.empty()) {
      s.UpdateEquityBase(symbol);
      s.UpdateEquityQuote(symbol);
      s.UpdateOptionBase(symbol, false);
      s.UpdateOptionQuote(symbol, false);
      s.UpdateOptionAD(symbol, false);
      s.GetATM(symbol, records, false);
    }
    for (const IVATMRecord& r : records)
      ORV_LOG(orvlog::kDebug, "ATM: " << orvcom::Utf8(r.Symbol) << " " << DayText(r.Expiration) << " " << r.IV);
    if (records.empty()) RaiseError("Not found");
    orvsrv::HandOutCursor<CIVATM>(records, IID_IIVATMEnt, pIVATMData);
    return S_OK;
  });
}
