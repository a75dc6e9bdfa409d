// What the DDE service answers to a request or advise request: the text of
// a topic's item, read from the record store, or no data.
//
// The DDE callback reads the topic and item texts, notes the topic and
// hands the rest to Render; it only turns the answer into a CF_TEXT data
// handle (no answer is a null handle).
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "dde/CDataHolder.h"
#include "dde/NameGrammar.h"
#include "platform/win/sync.h"

namespace zmdde {

// The credentials with which the program signed in, answered to the items
// "Login" and "Password".
struct DdeCredentials {
  std::string user;
  std::string password;
};

class CRequestRenderer {
 public:
  // Longest answer text; the client's buffer holds it and its zero.
  static const size_t kMaxValueLength = 39;
  // Longest topic or item name that is looked at; a longer one gets no data.
  static const size_t kMaxNameLength = 255;

  CRequestRenderer(CDataHolder& store, const MonthTable& months);

  // topicHandle is the conversation's topic string handle (the field items
  // find their entry by it); topic and item are the texts as the client
  // wrote them. Field items are tried group by group (stock, futures,
  // option, non-standard option, future option), then the parametrised
  // forms (historical volatility, IV index, IV surface, futures IV index,
  // futures IV surface, interest rate, ATM), then "Login" and "Password".
  std::optional<std::string> Render(DdeHandleValue topicHandle, const std::string& topic,
                                    const std::string& item,
                                    const DdeCredentials& credentials) const;

  // Remembers the handle of a topic the first time it is requested, under
  // the topic lock; keep is called on the handle before it is stored.
  // True when the topic was new.
  static bool NoteTopic(CDataHolder& store, CRITICAL_SECTION& topicLock,
                        const std::string& upperTopic, DdeHandleValue topicHandle,
                        const std::function<void(DdeHandleValue)>& keep);

 private:
  std::optional<std::string> RenderFieldItem(DdeHandleValue topicHandle,
                                             const std::string& item, bool& answered) const;
  std::optional<std::string> RenderParametrised(const std::string& upperTopic,
                                                const std::string& upperItem,
                                                bool& answered) const;

  CDataHolder& store_;
  const MonthTable& months_;
};

}  // namespace zmdde
