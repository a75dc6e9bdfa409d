// ATM volatility is served through the stock and option tables: an ATM
// subscription holds the stock and its option chain under the same keys
// that the client's own stock and chain subscriptions use. The main object
// keeps what it holds for which reason, so that letting go of one (the
// ATM, or the stock itself) never takes away what the other still needs.
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace orvsrv {

class CAtmSubscriptions {
 public:
  // A key as the session's tables hold it: the symbol, and whether it names
  // one option.
  using Key = std::pair<std::u16string, bool>;

  // The client subscribed a stock (kind 0) or option (kind 1) key itself.
  void Subscribed(int kind, const Key& key);
  // The client let go of the key itself: true when the session must let go
  // of it too, false while an ATM subscription still holds it.
  bool UnSubscribed(int kind, const Key& key);
  // Every key of a kind that the client held itself went at once.
  void UnSubscribedAll(int kind);

  void AtmSubscribed(const Key& key);
  // The kinds (option first, then stock) that the session must let go of
  // now the ATM subscription went: those the client does not hold itself.
  std::vector<int> AtmUnSubscribed(const Key& key);

 private:
  std::set<std::pair<int, Key>> m_own;
  std::set<Key> m_atm;
};

}  // namespace orvsrv
