// The unit of subscription: a symbol (upper case; empty means all symbols)
// and a flag that is set when the symbol names one instrument rather than
// an underlying, a root or a group.
#pragma once

#include <string>
#include <tuple>

#include "platform/com/types.h"
#include "platform/win/windows.h"

class CSymbolKey {
 public:
  CSymbolKey() = default;
  // A null symbol is the empty one.
  CSymbolKey(const char16_t* symbol, BYTE flag) : m_symbol(symbol != nullptr ? symbol : u""), m_flag(flag ? 1 : 0) {}
  CSymbolKey(std::u16string symbol, BYTE flag) : m_symbol(std::move(symbol)), m_flag(flag ? 1 : 0) {}

  const std::u16string& Symbol() const { return m_symbol; }
  BYTE Flag() const { return m_flag; }
  bool Empty() const { return m_symbol.empty(); }
  // Symbols are ASCII: each code unit becomes one byte.
  std::string Narrow() const;

  // By symbol, code unit by code unit with a shorter text first, then by the
  // flag.
  bool operator<(const CSymbolKey& o) const { return std::tie(m_symbol, m_flag) < std::tie(o.m_symbol, o.m_flag); }
  bool operator==(const CSymbolKey& o) const { return m_flag == o.m_flag && m_symbol == o.m_symbol; }
  bool operator!=(const CSymbolKey& o) const { return !(*this == o); }

 private:
  std::u16string m_symbol;
  BYTE m_flag = 0;
};
