#include "dde/NameGrammar.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/win/oledate.h"

namespace zmdde {

namespace {

// Reads a number the way atoi does (blanks, a sign, digits up to the first
// non-digit, 0 without digits), but saturates instead of overflowing, so a
// name full of digits cannot trip undefined behaviour.
long ReadNumber(const char* p) {
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value <= static_cast<long long>(INT_MAX) + 1) value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  if (value < INT_MIN) value = INT_MIN;
  return static_cast<long>(value);
}

// Terms and levels are 16-bit; a wider number keeps its low 16 bits.
SHORT ReadShort(const char* p) {
  return static_cast<SHORT>(static_cast<unsigned long>(ReadNumber(p)) & 0xFFFFu);
}

// "_" then the first "T" from it; the position just past that "T".
const char* FindTermAfterUnderscore(const char* text) {
  const char* underscore = std::strchr(text, '_');
  if (!underscore) return nullptr;
  const char* t = std::strchr(underscore, 'T');
  return t ? t + 1 : nullptr;
}

const char* ParseIndexName(const char* keyword, const char* text, LONG& type, SHORT& term) {
  if (!std::strstr(text, keyword)) return nullptr;
  if (std::strstr(text, "CALL")) {
    type = kItemCall;
  } else if (std::strstr(text, "PUT")) {
    type = kItemPut;
  } else {
    return nullptr;
  }
  const char* afterT = FindTermAfterUnderscore(text);
  if (!afterT) return nullptr;
  term = ReadShort(afterT);
  return afterT;
}

const char* ParseSurfaceName(const char* keyword, const char* text, LONG& type, SHORT& term,
                             SHORT& level) {
  const char* afterT = ParseIndexName(keyword, text, type, term);
  if (!afterT) return nullptr;
  const char* o = std::strchr(afterT, 'O');
  if (!o) return nullptr;
  level = ReadShort(o + 1);
  return o + 1;
}

}  // namespace

const char* ParseHvItemName(const char* text, SHORT& term) {
  if (!std::strstr(text, "HV")) return nullptr;
  const char* afterT = FindTermAfterUnderscore(text);
  if (!afterT) return nullptr;
  term = ReadShort(afterT);
  return afterT;
}

const char* ParseIvxItemName(const char* text, LONG& type, SHORT& term) {
  return ParseIndexName("IVX", text, type, term);
}

const char* ParseIvfxItemName(const char* text, LONG& type, SHORT& term) {
  return ParseIndexName("IVFX", text, type, term);
}

const char* ParseIvsItemName(const char* text, LONG& type, SHORT& term, SHORT& level) {
  return ParseSurfaceName("IVS", text, type, term, level);
}

const char* ParseIvfsItemName(const char* text, LONG& type, SHORT& term, SHORT& level) {
  return ParseSurfaceName("IVFS", text, type, term, level);
}

const char* ParseTermTopic(const char* text, std::string& root, SHORT& term) {
  const char* underscore = std::strchr(text, '_');
  if (!underscore) return nullptr;
  root = UpperCaseName(std::string(text, std::min<size_t>(underscore - text, 254)));
  const char* t = std::strchr(underscore, 'T');
  if (!t) return nullptr;
  term = ReadShort(t + 1);
  return t + 1;
}

MonthTable MakeMonthTable() {
  static const char* const kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                        "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  MonthTable months;
  for (int i = 0; i < 12; ++i) months[kMonths[i]] = i + 1;
  return months;
}

const char* ParseAtmItemName(const MonthTable& months, const char* text, LONG& date) {
  if (!std::strstr(text, "ATM")) return nullptr;
  const char* underscore = std::strchr(text, '_');
  if (!underscore) return nullptr;
  const char* y = std::strchr(underscore, 'Y');
  if (!y) return nullptr;
  long year = ReadNumber(y + 1);
  if (year < 100) year += 2000;
  const char* second = std::strchr(y + 1, '_');
  if (!second) return nullptr;
  auto month = months.find(second + 1);
  if (month == months.end()) return nullptr;
  if (year < 100 || year > 9999) return nullptr;

  SYSTEMTIME first = {};
  first.wYear = static_cast<WORD>(year);
  first.wMonth = static_cast<WORD>(month->second);
  first.wDay = 1;
  DOUBLE oleDate = 0;
  if (!SystemTimeToVariantTime(&first, &oleDate)) return nullptr;
  date = static_cast<LONG>(oleDate);
  return second + 1;
}

std::string TopicToSymbol(const std::string& topic) {
  std::string symbol = topic;
  for (char& c : symbol) {
    if (c == '\\') c = '/';
  }
  return symbol;
}

std::string SymbolToTopic(const std::string& symbol) {
  std::string topic = symbol;
  for (char& c : topic) {
    if (c == '/') c = '\\';
  }
  return topic;
}

std::string UpperCaseName(const std::string& text) {
  std::string upper = text;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

}  // namespace zmdde
