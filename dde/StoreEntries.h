// The records of the bridge's store: the last known values of one
// instrument each, as the server's cursors deliver them.
//
// The snapshot flag says the entry has had its first values; until then
// its items answer no data. The changed flag says values arrived since the
// last advise post. Item handles are the DDE string handles of the
// parametrised items that asked for a value, so that the post can name
// them again.
#pragma once

#include <algorithm>
#include <map>
#include <vector>

#include "platform/com/comdef.h"
#include "platform/win/oledate.h"
#include "platform/win/types.h"

namespace zmdde {

// A DDE string handle as the store keeps it.
typedef DWORD DdeHandleValue;

// The item handles of the parametrised items that link one value: one for
// every spelling that links use ("IVX_CALL_T30", "CALL_IVX_T30"), so that
// the posting pass reaches each of their links.
class ItemHandles {
 public:
  ItemHandles() = default;
  // One handle, or none for 0.
  ItemHandles(DdeHandleValue handle) { Add(handle); }  // NOLINT: a handle is its own set
  void Add(DdeHandleValue handle) {
    if (handle && !Has(handle)) handles_.push_back(handle);
  }
  bool Has(DdeHandleValue handle) const {
    return std::find(handles_.begin(), handles_.end(), handle) != handles_.end();
  }
  bool Empty() const { return handles_.empty(); }
  std::vector<DdeHandleValue>::const_iterator begin() const { return handles_.begin(); }
  std::vector<DdeHandleValue>::const_iterator end() const { return handles_.end(); }

 private:
  std::vector<DdeHandleValue> handles_;
};

struct HvEntry {
  FLOAT hv = 0;
  ItemHandles item;
};

struct StockEntry {
  StockEntry(const _bstr_t& symbol, FLOAT lastPrice, LONG volume)
      : symbol(symbol), lastPrice(lastPrice), volume(volume) {}

  std::map<SHORT, HvEntry> hvByTerm;
  _bstr_t symbol;
  FLOAT lastPrice = 0;
  LONG volume = 0;
  FLOAT divLastDate = 0;  // an OLE date, narrowed
  FLOAT divAmount = 0;
  SHORT divFreq = 0;
  FLOAT divYield = 0;
  LONG stockType = 0;
  _bstr_t currency;
  DATE lastDate = 0;
  _bstr_t lastExchange;
  FLOAT bidPrice = 0;
  DATE bidDate = 0;
  _bstr_t bidExchange;
  FLOAT askPrice = 0;
  DATE askDate = 0;
  _bstr_t askExchange;
  LONG lastSize = 0;
  LONG bidSize = 0;
  LONG askSize = 0;
  FLOAT priceClose = 0;
  FLOAT priceHigh52wk = 0;
  FLOAT priceLow52wk = 0;
  FLOAT ivx1m = 0;
  FLOAT ivx1mYest = 0;
  FLOAT ivx1mHigh52wk = 0;
  FLOAT ivx1mLow52wk = 0;
  FLOAT hv1m = 0;
  FLOAT hv1mYest = 0;
  FLOAT hv1mHigh52wk = 0;
  FLOAT hv1mLow52wk = 0;
  LONG optionVolumeCall = 0;
  LONG optionVolumePut = 0;
  FLOAT optionVolumeAvg = 0;
  FLOAT outstandingShares = 0;
  BYTE snapshot = 0;
  BYTE changed = 0;
};

struct FutureEntry {
  FutureEntry(const _bstr_t& symbol, FLOAT lastPrice, LONG volume)
      : symbol(symbol), lastPrice(lastPrice), volume(volume) {}

  _bstr_t symbol;
  FLOAT lastPrice = 0;
  LONG volume = 0;
  DATE lastDate = 0;
  _bstr_t lastExchange;
  FLOAT bidPrice = 0;
  DATE bidDate = 0;
  _bstr_t bidExchange;
  FLOAT askPrice = 0;
  DATE askDate = 0;
  _bstr_t askExchange;
  LONG lastSize = 0;
  LONG bidSize = 0;
  LONG askSize = 0;
  BYTE snapshot = 0;
  BYTE changed = 0;
};

// Options and futures options (the underlying being the future).
struct OptionEntry {
  OptionEntry(const _bstr_t& symbol, const _bstr_t& stockSymbol, LONG optionType,
              FLOAT strikePrice, DATE expirationDate, FLOAT iv, FLOAT bidPrice, FLOAT askPrice,
              FLOAT delta, FLOAT vega, FLOAT gamma, FLOAT theta, FLOAT rho, LONG volume);

  _bstr_t symbol;
  _bstr_t stockSymbol;  // empty until the underlying is known
  DATE expirationDate = 0;
  FLOAT strikePrice = 0;
  LONG optionType = 0;
  LONG volume = 0;
  FLOAT iv = 0;
  FLOAT bidPrice = 0;
  FLOAT askPrice = 0;
  FLOAT delta = 0;
  FLOAT vega = 0;
  FLOAT gamma = 0;
  FLOAT theta = 0;
  FLOAT rho = 0;
  LONG bidSize = 0;
  DATE bidDate = 0;
  _bstr_t bidExchange;
  DATE askDate = 0;
  _bstr_t askExchange;
  LONG askSize = 0;
  LONG optionStyle = 0;
  FLOAT preIV = 0;
  FLOAT lastPrice = 0;
  DATE lastDate = 0;
  _bstr_t lastExchange;
  LONG lastSize = 0;
  LONG openInterest = 0;
  BYTE snapshot = 0;
  BYTE changed = 0;
  BYTE group = 0;       // came with its underlying's whole chain
  BYTE individual = 0;  // a client advised on this very option
  LONG links = 0;       // the links open on this very option
  BYTE single = 0;      // the server carries it on its own; its links count on it too
  // Links on its last trade or open interest: only then do change events
  // read those, each one more call back to the server per record.
  LONG tradeLinks = 0;
};

// The option fields stand as in OptionEntry, so that code reading either
// kind can be written once for both.
struct NstdOptionEntry {
  NstdOptionEntry(const _bstr_t& symbol, const _bstr_t& stockSymbol, LONG optionType,
                  FLOAT strikePrice, DATE expirationDate, FLOAT iv, FLOAT bidPrice,
                  FLOAT askPrice, FLOAT delta, FLOAT vega, FLOAT gamma, FLOAT theta, FLOAT rho,
                  LONG volume, LONG rootId);

  _bstr_t symbol;
  _bstr_t stockSymbol;
  LONG rootId = 0;
  DATE expirationDate = 0;
  FLOAT strikePrice = 0;
  LONG optionType = 0;
  LONG volume = 0;
  FLOAT iv = 0;
  FLOAT bidPrice = 0;
  FLOAT askPrice = 0;
  FLOAT delta = 0;
  FLOAT vega = 0;
  FLOAT gamma = 0;
  FLOAT theta = 0;
  FLOAT rho = 0;
  LONG bidSize = 0;
  DATE bidDate = 0;
  _bstr_t bidExchange;
  DATE askDate = 0;
  _bstr_t askExchange;
  LONG askSize = 0;
  LONG optionStyle = 0;
  FLOAT preIV = 0;
  FLOAT lastPrice = 0;
  DATE lastDate = 0;
  _bstr_t lastExchange;
  LONG lastSize = 0;
  LONG openInterest = 0;
  BYTE snapshot = 0;
  BYTE changed = 0;
  BYTE group = 0;       // came with its underlying's whole chain
  BYTE individual = 0;  // a client advised on this very option
  LONG links = 0;       // the links open on this very option
  BYTE single = 0;      // the server carries it on its own; its links count on it too
  // Links on its last trade or open interest: only then do change events
  // read those, each one more call back to the server per record.
  LONG tradeLinks = 0;
};

struct IVIndexEntry {
  IVIndexEntry(const _bstr_t& symbol, SHORT term, FLOAT callIV, FLOAT putIV)
      : symbol(symbol), term(term), callIV(callIV), putIV(putIV) {}

  _bstr_t symbol;
  SHORT term = 0;
  BYTE snapshot = 0;
  BYTE changed = 0;
  FLOAT callIV = 0;
  ItemHandles callItem;
  FLOAT putIV = 0;
  ItemHandles putItem;
};

struct IVSurfaceEntry {
  IVSurfaceEntry(const _bstr_t& symbol, SHORT term, FLOAT virtualStrike, SHORT otm,
                 LONG optionType, FLOAT iv, FLOAT delta)
      : symbol(symbol),
        term(term),
        otm(otm),
        optionType(optionType),
        virtualStrike(virtualStrike),
        iv(iv),
        delta(delta) {}

  _bstr_t symbol;
  SHORT term = 0;
  SHORT otm = 0;
  LONG optionType = 0;  // 0 call, 1 put
  FLOAT virtualStrike = 0;
  ItemHandles virtualStrikeItem;
  FLOAT iv = 0;
  ItemHandles ivItem;
  FLOAT delta = 0;
  ItemHandles deltaItem;
  BYTE snapshot = 0;
  BYTE changed = 0;
};

struct AtmEntry {
  AtmEntry(const _bstr_t& symbol, LONG expiry, FLOAT iv) : symbol(symbol), expiry(expiry), iv(iv) {}

  _bstr_t symbol;
  LONG expiry = 0;  // whole OLE date of the first day of the expiry month
  BYTE snapshot = 0;
  BYTE changed = 0;
  FLOAT iv = 0;
  ItemHandles item;
};

// ---- map keys ------------------------------------------------------------------

struct IVIndexKey {
  IVIndexKey(const _bstr_t& symbol, SHORT term) : symbol(symbol), term(term) {}
  bool operator<(const IVIndexKey& other) const;

  _bstr_t symbol;
  SHORT term;
};

struct IVSurfaceKey {
  IVSurfaceKey(const _bstr_t& symbol, SHORT term, SHORT otm, LONG optionType)
      : symbol(symbol), term(term), otm(otm), optionType(optionType) {}
  bool operator<(const IVSurfaceKey& other) const;

  _bstr_t symbol;
  SHORT term;
  SHORT otm;
  LONG optionType;
};

struct AtmKey {
  AtmKey(const _bstr_t& symbol, LONG expiry) : symbol(symbol), expiry(expiry) {}
  bool operator<(const AtmKey& other) const;

  _bstr_t symbol;
  LONG expiry;
};

}  // namespace zmdde
