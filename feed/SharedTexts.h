// The few texts that repeat from row to row of one read (exchanges,
// currencies), made into strings once per read and shared by the records,
// as copies of a record share them anyway.
#pragma once

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/com/comdef.h"

class SharedTexts {
 public:
  const _bstr_t& Get(const char* text) {
    // They are a few letters: comparing the bytes directly beats a full
    // string comparison per stored text.
    for (const auto& t : m_texts)
      if (t.first[0] == text[0] && std::strcmp(t.first.c_str(), text) == 0) return t.second;
    // Past the bound a read of many different texts makes each anew.
    if (m_texts.size() >= kMaxTexts) {
      m_spare = _bstr_t(text);
      return m_spare;
    }
    m_texts.emplace_back(text, _bstr_t(text));
    return m_texts.back().second;
  }

 private:
  static constexpr size_t kMaxTexts = 32;
  std::vector<std::pair<std::string, _bstr_t>> m_texts;
  _bstr_t m_spare;
};
