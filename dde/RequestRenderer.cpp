#include "dde/RequestRenderer.h"

#include <cstdio>
#include <cstring>

#include "dde/ItemCatalogue.h"

namespace zmdde {

namespace {

std::string Price(double value) {
  char text[400];
  std::snprintf(text, sizeof text, "%.4f", value);
  return text;
}

std::string Rate(double value) {
  char text[400];
  std::snprintf(text, sizeof text, "%.6f", value);
  return text;
}

// One field group: whether it names the item, and if so its entry's text.
// answered says the group ended the request (with a value or with no data
// because the entry has had no snapshot yet).
template <class Group, class Item>
std::optional<std::string> RenderFrom(Group& group, const Item* item, DdeHandleValue topicHandle,
                                      bool& answered) {
  if (!item) return std::nullopt;
  StoreGuard guard(group.lock);
  auto found = group.byTopic.find(topicHandle);
  if (found == group.byTopic.end()) return std::nullopt;
  answered = true;
  if (!found->second->snapshot) return std::nullopt;
  return item->render(*found->second);
}

// The IV index forms: nothing when no entry has these parameters, so that
// the next form is tried.
std::optional<std::string> RenderIndex(IVIndexGroup& group, const _bstr_t& symbol, LONG type,
                                       SHORT term, bool& answered) {
  StoreGuard guard(group.lock);
  auto found = group.byKey.find(IVIndexKey(symbol, term));
  if (found == group.byKey.end()) return std::nullopt;
  answered = true;
  const IVIndexEntry& entry = *found->second;
  if (!entry.snapshot) return std::nullopt;
  if (type == kItemCall) return Price(entry.callIV);
  if (type == kItemPut) return Price(entry.putIV);
  return std::nullopt;
}

std::optional<std::string> RenderSurface(IVSurfaceGroup& group, const _bstr_t& symbol, LONG type,
                                         SHORT term, SHORT level, const char* selector,
                                         bool& answered) {
  StoreGuard guard(group.lock);
  auto found = group.byKey.find(IVSurfaceKey(symbol, term, level, type));
  if (found == group.byKey.end()) return std::nullopt;
  answered = true;
  const IVSurfaceEntry& entry = *found->second;
  if (!entry.snapshot) return std::nullopt;
  if (std::strstr(selector, "VSTRIKE")) return Price(entry.virtualStrike);
  if (std::strstr(selector, "IV")) return Price(entry.iv);
  if (std::strstr(selector, "DELTA")) return Price(entry.delta);
  return std::nullopt;
}

}  // namespace

CRequestRenderer::CRequestRenderer(CDataHolder& store, const MonthTable& months)
    : store_(store), months_(months) {}

bool CRequestRenderer::NoteTopic(CDataHolder& store, CRITICAL_SECTION& topicLock,
                                 const std::string& upperTopic, DdeHandleValue topicHandle,
                                 const std::function<void(DdeHandleValue)>& keep) {
  orvwin::CritSecLock guard(topicLock);
  if (store.topicOfSymbol.count(upperTopic)) return false;
  keep(topicHandle);
  store.topicOfSymbol.emplace(upperTopic, topicHandle);
  return true;
}

std::optional<std::string> CRequestRenderer::Render(DdeHandleValue topicHandle,
                                                    const std::string& topic,
                                                    const std::string& item,
                                                    const DdeCredentials& credentials) const {
  if (topic.size() > kMaxNameLength || item.size() > kMaxNameLength) return std::nullopt;

  std::optional<std::string> answer;
  bool answered = false;
  answer = RenderFieldItem(topicHandle, item, answered);
  if (!answered) answer = RenderParametrised(UpperCaseName(topic), UpperCaseName(item), answered);
  if (!answered) {
    if (SameItemName(item, "Login")) {
      answer = credentials.user;
    } else if (SameItemName(item, "Password")) {
      answer = credentials.password;
    }
  }
  // A value that does not fit the client's text buffer is no data rather
  // than a cut-off number.
  if (answer && answer->size() > kMaxValueLength) return std::nullopt;
  return answer;
}

std::optional<std::string> CRequestRenderer::RenderFieldItem(DdeHandleValue topicHandle,
                                                             const std::string& item,
                                                             bool& answered) const {
  std::optional<std::string> answer =
      RenderFrom(store_.stock, FindStockItem(item), topicHandle, answered);
  if (answered) return answer;
  answer = RenderFrom(store_.futures, FindFutureItem(item), topicHandle, answered);
  if (answered) return answer;
  // A topic that is no option symbol falls through to the non-standard
  // options, which answer the same names, and then to futures options.
  answer = RenderFrom(store_.option, FindOptionItem(item), topicHandle, answered);
  if (answered && !answer) {
    // An option entry still without values may be one that an option field
    // made for the topic of a non-standard option: that option answers.
    bool nstd = false;
    std::optional<std::string> own = RenderFrom(store_.nstdOption, FindNstdOptionItem(item), topicHandle, nstd);
    if (nstd) return own;
  }
  if (answered) return answer;
  answer = RenderFrom(store_.nstdOption, FindNstdOptionItem(item), topicHandle, answered);
  if (answered) return answer;
  return RenderFrom(store_.futOption, FindFutOptionItem(item), topicHandle, answered);
}

std::optional<std::string> CRequestRenderer::RenderParametrised(const std::string& upperTopic,
                                                                const std::string& upperItem,
                                                                bool& answered) const {
  const char* text = upperItem.c_str();
  const _bstr_t symbol(upperTopic);
  LONG type = 0;
  SHORT term = 0;
  SHORT level = 0;

  // Historical volatility ends the request whether or not it finds a value.
  if (ParseHvItemName(text, term)) {
    answered = true;
    StoreGuard guard(store_.stock.lock);
    auto found = store_.stock.bySymbol.find(symbol);
    if (found == store_.stock.bySymbol.end() || !found->second->snapshot) return std::nullopt;
    auto hv = found->second->hvByTerm.find(term);
    if (hv == found->second->hvByTerm.end()) return std::nullopt;
    return Price(hv->second.hv);
  }

  std::optional<std::string> answer;
  if (ParseIvxItemName(text, type, term)) {
    answer = RenderIndex(store_.ivIndex, symbol, type, term, answered);
    if (answered) return answer;
  }
  if (const char* selector = ParseIvsItemName(text, type, term, level)) {
    answer = RenderSurface(store_.ivSurface, symbol, type, term, level, selector, answered);
    if (answered) return answer;
  }
  if (ParseIvfxItemName(text, type, term)) {
    answer = RenderIndex(store_.futIvIndex, symbol, type, term, answered);
    if (answered) return answer;
  }
  if (const char* selector = ParseIvfsItemName(text, type, term, level)) {
    answer = RenderSurface(store_.futIvSurface, symbol, type, term, level, selector, answered);
    if (answered) return answer;
  }

  if (upperTopic == "INTERESTRATE") {
    std::string currency;
    if (ParseTermTopic(text, currency, term)) {
      if (currency != "USD") {
        answered = true;
        return std::nullopt;
      }
      // Filled once on the main thread, where requests run too.
      auto rate = store_.interestRates.find(term);
      if (rate != store_.interestRates.end()) {
        answered = true;
        return Rate(rate->second);
      }
    }
  }

  LONG expiry = 0;
  if (ParseAtmItemName(months_, text, expiry)) {
    answered = true;
    StoreGuard guard(store_.atm.lock);
    auto found = store_.atm.byKey.find(AtmKey(symbol, expiry));
    if (found == store_.atm.byKey.end() || !found->second->snapshot) return std::string(" ");
    return Price(found->second->iv * 100.0);
  }
  return std::nullopt;
}

}  // namespace zmdde
