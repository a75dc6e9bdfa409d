#include "feed/CSymbolKey.h"

std::string CSymbolKey::Narrow() const { return orvcom::Narrow(m_symbol); }
