// The in-memory records that the cache produces and the cursors show, one
// plain structure per kind, copied by value. String members are shared,
// reference-counted strings: copying a record (or a vector of them) adds a
// reference, it copies no text. A new record is all zero: absent strings,
// zero numbers, empty codes.
//
// Member order is part of the contract with the cache's producers, which
// fill these field by field; keep it.
#pragma once

#include <vector>

#include "platform/com/com.h"

// Stock quote and start-of-day figures. Each 52-week pair is stored low
// first, high second.
struct StockRecord {
  _bstr_t Symbol;
  _bstr_t Currency;
  float LastPrice = 0;
  DATE LastDate = 0;
  _bstr_t LastExchange;
  LONG LastSize = 0;
  float BidPrice = 0;
  DATE BidDate = 0;
  _bstr_t BidExchange;
  LONG BidSize = 0;
  float AskPrice = 0;
  DATE AskDate = 0;
  _bstr_t AskExchange;
  LONG AskSize = 0;
  float DivLastDate = 0;  // a day number of the DATE scale, kept narrow
  SHORT DivFreq = 0;
  float DivAmount = 0;    // an amount when DivFreq != 0, a yield when it is 0
  LONG Volume = 0;
  char StockType[2] = {0, 0};  // 'S' a stock, anything else an index
  float PriceClose = 0;
  float PriceLow52wk = 0;
  float PriceHigh52wk = 0;
  float IVX1m = 0;
  float IVX1mYest = 0;
  float IVX1mLow52wk = 0;
  float IVX1mHigh52wk = 0;
  float HV1m = 0;
  float HV1mYest = 0;
  float HV1mLow52wk = 0;
  float HV1mHigh52wk = 0;
  LONG OptionVolumeCall = 0;
  LONG OptionVolumePut = 0;
  float OptionVolumeAvg = 0;
  float OutstandingShares = 0;
};

// An option, or a futures option (StockSymbol then holds the future).
// Vega stands before Gamma here, unlike in the cursor interface.
struct OptionRecord {
  _bstr_t Symbol;
  _bstr_t StockSymbol;
  DATE ExpirationDate = 0;
  float StrikePrice = 0;
  char OptionType[2] = {0, 0};   // 'C' a call, anything else a put
  char OptionStyle[2] = {0, 0};  // 'A' American, anything else European
  float BidPrice = 0;
  DATE BidDate = 0;
  _bstr_t BidExchange;
  LONG BidSize = 0;
  float AskPrice = 0;
  DATE AskDate = 0;
  _bstr_t AskExchange;
  LONG AskSize = 0;
  float LastPrice = 0;
  DATE LastDate = 0;
  _bstr_t LastExchange;
  LONG LastSize = 0;
  LONG OpenInterest = 0;
  LONG Volume = 0;
  float IV = 0;
  float PreIV = 0;
  float Delta = 0;
  float Vega = 0;
  float Gamma = 0;
  float Theta = 0;
  float Rho = 0;
};

// A non-standard option: an option with its root identifier after the
// underlying.
struct NstdOptionRecord {
  _bstr_t Symbol;
  _bstr_t StockSymbol;
  LONG RootID = 0;
  DATE ExpirationDate = 0;
  float StrikePrice = 0;
  char OptionType[2] = {0, 0};
  char OptionStyle[2] = {0, 0};
  float BidPrice = 0;
  DATE BidDate = 0;
  _bstr_t BidExchange;
  LONG BidSize = 0;
  float AskPrice = 0;
  DATE AskDate = 0;
  _bstr_t AskExchange;
  LONG AskSize = 0;
  float LastPrice = 0;
  DATE LastDate = 0;
  _bstr_t LastExchange;
  LONG LastSize = 0;
  LONG OpenInterest = 0;
  LONG Volume = 0;
  float IV = 0;
  float PreIV = 0;
  float Delta = 0;
  float Vega = 0;
  float Gamma = 0;
  float Theta = 0;
  float Rho = 0;
};

struct FuturesRecord {
  _bstr_t Symbol;
  _bstr_t RootSymbol;
  DATE ExpirationDate = 0;
  float LastPrice = 0;
  DATE LastDate = 0;
  _bstr_t LastExchange;
  LONG LastSize = 0;
  float BidPrice = 0;
  DATE BidDate = 0;
  _bstr_t BidExchange;
  LONG BidSize = 0;
  float AskPrice = 0;
  DATE AskDate = 0;
  _bstr_t AskExchange;
  LONG AskSize = 0;
  LONG Volume = 0;
  char Type[2] = {0, 0};  // one letter: not shown by the cursor, only a sort key
};

// The cache's tables name the futures record this way.
typedef FuturesRecord FutureRecord;

// IV index point of a stock or of a future.
struct IVIndexRecord {
  _bstr_t Symbol;
  SHORT Term = 0;
  float IVIndexCall = 0;
  float IVIndexPut = 0;
};

// IV surface point of a stock or of a future.
struct IVSurfaceRecord {
  _bstr_t Symbol;
  SHORT Term = 0;
  float VirtualStrike = 0;
  float Otm = 0;   // out-of-the-money level
  LONG Type = 0;   // an OptionTypeEnum value: 0 call, 1 put
  float IV = 0;
  float Delta = 0;
};

struct InterestRateRecord {
  _bstr_t Currency;
  LONG Period = 0;
  float Rate = 0;
};

struct HVRecord {
  _bstr_t Symbol;
  SHORT Period = 0;
  float HV = 0;
};

struct IVATMRecord {
  _bstr_t Symbol;
  LONG Expiration = 0;  // a whole day number of the DATE scale
  float IV = 0;
};

typedef std::vector<StockRecord> StockRecords;
typedef std::vector<OptionRecord> OptionRecords;
typedef std::vector<NstdOptionRecord> NstdOptionRecords;
typedef std::vector<FuturesRecord> FuturesRecords;
typedef std::vector<IVIndexRecord> IVIndexRecords;
typedef std::vector<IVSurfaceRecord> IVSurfaceRecords;
typedef std::vector<InterestRateRecord> InterestRateRecords;
typedef std::vector<HVRecord> HVRecords;
typedef std::vector<IVATMRecord> IVATMRecords;

// Symbol comparison: code units as unsigned 16-bit values, no case folding
// and no locale (callers upper-case first); a shorter string sorts before
// its extensions; an absent string equals an empty one. -1, 0 or 1.
int CompareSymbols(const _bstr_t& a, const _bstr_t& b);
int CompareSymbols(const OLECHAR* a, UINT lengthA, const OLECHAR* b, UINT lengthB);

// The orderings of sorted result sets: options, non-standard options and
// futures options by underlying, expiration, strike and type; futures by
// root, expiration and type. Each is a strict weak ordering: a key that is
// not a number sorts after every number and equals another such key, so
// std::sort stays well defined over any data.
bool LessOptionRecord(const OptionRecord& a, const OptionRecord& b);
bool LessNstdOptionRecord(const NstdOptionRecord& a, const NstdOptionRecord& b);
bool LessFuturesRecord(const FuturesRecord& a, const FuturesRecord& b);
