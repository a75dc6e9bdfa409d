// One record of each server cursor, read with the cursor's one-call reader,
// and the copies of those fields into the store's entries that the event
// handlers and the snapshots share.
#pragma once

#include <string>

#include "dde/CDDEServer.h"

namespace zmdde {

namespace ddeserver {

// The 8-bit text of a server string; a null string reads as empty.
using orvcom::Narrow;

struct StockFields {
  _bstr_t symbol, lastExchange, bidExchange, askExchange, currency;
  FLOAT lastPrice = 0, bidPrice = 0, askPrice = 0, divAmount = 0, divYield = 0;
  DATE lastDate = 0, bidDate = 0, askDate = 0, divLastDate = 0;
  LONG lastSize = 0, bidSize = 0, askSize = 0, volume = 0, divFreq = 0;
  StockTypeEnum type = enIndex;

  void Read(IStocksEntPtr& cursor) {
    cursor->GetStockData(symbol.GetAddress(), &lastPrice, lastExchange.GetAddress(), &lastDate,
                         &lastSize, &bidPrice, bidExchange.GetAddress(), &bidDate, &bidSize,
                         &askPrice, askExchange.GetAddress(), &askDate, &askSize, &volume, &type,
                         &divFreq, &divLastDate, &divAmount, &divYield, currency.GetAddress());
  }
  void CopyTo(StockEntry& e) const {
    e.lastPrice = lastPrice;
    e.lastExchange = lastExchange;
    e.lastDate = lastDate;
    e.lastSize = lastSize;
    e.bidPrice = bidPrice;
    e.bidExchange = bidExchange;
    e.bidDate = bidDate;
    e.bidSize = bidSize;
    e.askPrice = askPrice;
    e.askExchange = askExchange;
    e.askDate = askDate;
    e.askSize = askSize;
    e.volume = volume;
    e.stockType = type;
    e.divFreq = static_cast<SHORT>(divFreq);
    e.divLastDate = static_cast<FLOAT>(divLastDate);
    e.divAmount = divAmount;
    e.divYield = divYield;
    e.currency = currency;
  }
};

struct FuturesFields {
  _bstr_t symbol, rootSymbol, lastExchange, bidExchange, askExchange;
  DATE expirationDate = 0, lastDate = 0, bidDate = 0, askDate = 0;
  FLOAT lastPrice = 0, bidPrice = 0, askPrice = 0;
  LONG lastSize = 0, bidSize = 0, askSize = 0, volume = 0;

  void Read(IFuturesEntPtr& cursor) {
    cursor->GetFuturesData(symbol.GetAddress(), rootSymbol.GetAddress(), &expirationDate,
                           &lastPrice, lastExchange.GetAddress(), &lastDate, &lastSize,
                           &bidPrice, bidExchange.GetAddress(), &bidDate, &bidSize, &askPrice,
                           askExchange.GetAddress(), &askDate, &askSize, &volume);
  }
  void CopyTo(FutureEntry& e) const {
    e.lastPrice = lastPrice;
    e.lastExchange = lastExchange;
    e.lastDate = lastDate;
    e.lastSize = lastSize;
    e.bidPrice = bidPrice;
    e.bidExchange = bidExchange;
    e.bidDate = bidDate;
    e.bidSize = bidSize;
    e.askPrice = askPrice;
    e.askExchange = askExchange;
    e.askDate = askDate;
    e.askSize = askSize;
    e.volume = volume;
  }
};

// Options, future options and non-standard options (rootId only for the
// last).
struct OptionFields {
  _bstr_t symbol, underlying, bidExchange, askExchange;
  OptionTypeEnum optionType = enCall;
  OptionStyleEnum optionStyle = enAmerican;
  FLOAT strikePrice = 0, bidPrice = 0, askPrice = 0, iv = 0, preIV = 0, delta = 0, vega = 0,
        gamma = 0, theta = 0, rho = 0;
  DATE expirationDate = 0, bidDate = 0, askDate = 0;
  LONG bidSize = 0, askSize = 0, volume = 0, rootId = 0;

  template <class Cursor>
  void Read(Cursor& cursor) {
    cursor->GetOptionData(symbol.GetAddress(), underlying.GetAddress(), &optionType, &optionStyle,
                          &strikePrice, &expirationDate, &bidPrice, bidExchange.GetAddress(),
                          &bidDate, &bidSize, &askPrice, askExchange.GetAddress(), &askDate,
                          &askSize, &iv, &preIV, &delta, &vega, &gamma, &theta, &rho, &volume);
  }
  void Read(INstdOptionsEntPtr& cursor) {
    cursor->GetNstdOptionData(symbol.GetAddress(), underlying.GetAddress(), &optionType,
                              &optionStyle, &strikePrice, &expirationDate, &bidPrice,
                              bidExchange.GetAddress(), &bidDate, &bidSize, &askPrice,
                              askExchange.GetAddress(), &askDate, &askSize, &iv, &preIV, &delta,
                              &vega, &gamma, &theta, &rho, &volume, &rootId);
  }
  // What a change event carries.
  template <class Entry>
  void CopyChangeTo(Entry& e) const {
    e.bidPrice = bidPrice;
    e.bidExchange = bidExchange;
    e.bidDate = bidDate;
    e.bidSize = bidSize;
    e.askPrice = askPrice;
    e.askExchange = askExchange;
    e.askDate = askDate;
    e.askSize = askSize;
    e.iv = iv;
    e.preIV = preIV;
    e.delta = delta;
    e.vega = vega;
    e.gamma = gamma;
    e.theta = theta;
    e.rho = rho;
    e.volume = volume;
    e.optionStyle = optionStyle;
  }
  void CopyRootTo(OptionEntry&) const {}
  void CopyRootTo(NstdOptionEntry& e) const { e.rootId = rootId; }
};

// An option's last trade and open interest, which its data call leaves out:
// a change event carries them too, and a cell of them must move with it
// rather than keep the first snapshot's values as if they were live.
struct OptionTradeFields {
  _bstr_t lastExchange;
  FLOAT lastPrice = 0;
  DATE lastDate = 0;
  LONG lastSize = 0, openInterest = 0;

  template <class Cursor>
  void Read(Cursor& cursor) {
    openInterest = cursor->GetOpenInterest();
    lastPrice = cursor->GetLastPrice();
    lastExchange = cursor->GetLastExchange();
    lastSize = cursor->GetLastSize();
    lastDate = cursor->GetLastDate();
  }
  template <class Entry>
  void CopyTo(Entry& e) const {
    e.openInterest = openInterest;
    e.lastPrice = lastPrice;
    e.lastExchange = lastExchange;
    e.lastSize = lastSize;
    e.lastDate = lastDate;
  }
};

struct IVIndexFields {
  _bstr_t symbol;
  SHORT term = 0;
  FLOAT callIV = 0, putIV = 0;

  template <class Cursor>
  void Read(Cursor& cursor) {
    cursor->GetIVIndexData(symbol.GetAddress(), &term, &callIV, &putIV);
  }
};

struct IVSurfaceFields {
  _bstr_t symbol;
  SHORT term = 0;
  SHORT otm = 0;  // future surfaces deliver a fraction, truncated here
  FLOAT virtualStrike = 0, iv = 0, delta = 0;
  OptionTypeEnum type = enCall;

  void Read(IIVSurfacesEntPtr& cursor) {
    cursor->GetIVSurfaceData(symbol.GetAddress(), &term, &virtualStrike, &otm, &iv, &delta, &type);
  }
  void Read(IFutIVSurfacesEntPtr& cursor) {
    FLOAT otmFraction = 0;
    cursor->GetIVSurfaceData(symbol.GetAddress(), &term, &virtualStrike, &otmFraction, &iv, &delta,
                             &type);
    otm = static_cast<SHORT>(otmFraction);
  }
  void CopyTo(IVSurfaceEntry& e) const {
    e.virtualStrike = virtualStrike;
    e.iv = iv;
    e.delta = delta;
  }
};

}  // namespace ddeserver

}  // namespace zmdde
