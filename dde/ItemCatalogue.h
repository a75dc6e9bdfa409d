// The field items that the DDE service answers, per kind of topic, with
// the stored value each one returns and its text format.
//
// Item names match whatever the letter case of the client's spelling, as
// DDE string handles compare.
#pragma once

#include <string>
#include <vector>

#include "dde/StoreEntries.h"

namespace zmdde {

template <class Entry>
struct FieldItem {
  const char* name;
  // The value as CF_TEXT would carry it (without the terminating zero).
  std::string (*render)(const Entry& entry);
};

// Each returns the item of that kind of topic, or null when the name is
// not one of its items. Options and non-standard options answer the same
// names; "RootId" only the latter.
const FieldItem<StockEntry>* FindStockItem(const std::string& name);
const FieldItem<FutureEntry>* FindFutureItem(const std::string& name);
const FieldItem<OptionEntry>* FindOptionItem(const std::string& name);
const FieldItem<NstdOptionEntry>* FindNstdOptionItem(const std::string& name);
const FieldItem<OptionEntry>* FindFutOptionItem(const std::string& name);

// Every name the service makes a string handle for when it starts: the
// field items (also "FutPriceClose", which no kind of topic answers), then
// "Login", "Password", "System" and "InterestRate".
const std::vector<const char*>& DdeItemTableNames();

// Case-insensitive, as string handles compare.
bool SameItemName(const std::string& a, const char* b);

}  // namespace zmdde
