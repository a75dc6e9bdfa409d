// Parametrised DDE item names and the translation between DDE topics and
// the server's symbols.
//
// The parsers take an item text that the caller has already upper-cased and
// look for their keywords anywhere in it. Each returns the position just
// past the part it parsed, or null when the text is not of its form; on
// failure some out-values may already have been written.
#pragma once

#include <map>
#include <string>

#include "platform/win/types.h"

namespace zmdde {

// Option types of the parametrised items.
enum : LONG { kItemCall = 0, kItemPut = 1 };

// "[..]HV[..]_[..]T<term>"
const char* ParseHvItemName(const char* text, SHORT& term);
// "[..]IVX[..]_[..]T<term>", with "CALL" or "PUT" anywhere ("CALL" wins).
const char* ParseIvxItemName(const char* text, LONG& type, SHORT& term);
// As ParseIvxItemName with the keyword "IVFX".
const char* ParseIvfxItemName(const char* text, LONG& type, SHORT& term);
// "[..]IVS[..]_[..]T<term>[..]O<level>rest"; returns the rest from the level on.
const char* ParseIvsItemName(const char* text, LONG& type, SHORT& term, SHORT& level);
// As ParseIvsItemName with the keyword "IVFS".
const char* ParseIvfsItemName(const char* text, LONG& type, SHORT& term, SHORT& level);
// "<root>_[..]T<term>": the items of the topic "InterestRate".
const char* ParseTermTopic(const char* text, std::string& root, SHORT& term);

// Month abbreviations ("JAN" .. "DEC") to month numbers 1 to 12.
typedef std::map<std::string, int> MonthTable;
MonthTable MakeMonthTable();

// "[..]ATM[..]_[..]Y<year>[..]_<MON>": the whole OLE date of the first of
// that month. Years below 100 are of this century. A year that makes no
// valid date (outside 100 to 9999) is refused rather than wrapped into
// some other date.
const char* ParseAtmItemName(const MonthTable& months, const char* text, LONG& date);

// A topic writes a backslash wherever the server's symbol has a slash.
std::string TopicToSymbol(const std::string& topic);
std::string SymbolToTopic(const std::string& symbol);

// Upper-cases a topic or item text as the request and advise paths
// compare them.
std::string UpperCaseName(const std::string& text);

}  // namespace zmdde
