#include "feed/CSymbolKey.h"

std::string NarrowSymbol(const std::u16string& symbol) {
  std::string out(symbol.size(), '\0');
  for (size_t i = 0; i < symbol.size(); ++i) {
    const char16_t c = symbol[i];
    out[i] = c < 0x100 ? static_cast<char>(c) : '?';
  }
  return out;
}

std::string CSymbolKey::Narrow() const { return NarrowSymbol(m_symbol); }
