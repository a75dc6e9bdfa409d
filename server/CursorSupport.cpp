#include "server/CursorSupport.h"

#include <cstdio>
#include <limits>

namespace orvsrv {

HRESULT CopyOut(const _bstr_t& s, BSTR* out) {
  const OLECHAR* chars = Chars(s);
  if (chars == nullptr) {
    *out = nullptr;
    return S_OK;
  }
  BSTR copy = SysAllocStringLen(chars, s.length());
  if (copy == nullptr) return E_OUTOFMEMORY;
  *out = copy;
  return S_OK;
}

HRESULT CopyOutExchange(const _bstr_t& s, BSTR* out) {
  if (s.length() > 0) return CopyOut(s, out);
  static const OLECHAR kStar[] = {u'*', 0};
  BSTR copy = SysAllocStringLen(kStar, 1);
  if (copy == nullptr) return E_OUTOFMEMORY;
  *out = copy;
  return S_OK;
}

void UpperCase(BSTR s) {
  const UINT length = SysStringLen(s);
  for (UINT i = 0; i < length; ++i) {
    if (s[i] >= u'a' && s[i] <= u'z') s[i] = static_cast<OLECHAR>(s[i] - u'a' + u'A');
  }
}

std::string PtrText(const void* p) {
  char text[2 * sizeof(void*) + 1];
  std::snprintf(text, sizeof text, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return text;
}

SHORT OtmToShort(float level) {
  if (std::isnan(level)) return 0;
  if (level <= static_cast<float>(std::numeric_limits<SHORT>::min()))
    return std::numeric_limits<SHORT>::min();
  if (level >= static_cast<float>(std::numeric_limits<SHORT>::max()))
    return std::numeric_limits<SHORT>::max();
  return static_cast<SHORT>(level);
}

OutStrings::~OutStrings() {
  for (Item& item : m_items) SysFreeString(item.value);
}

void OutStrings::Keep(HRESULT copied, BSTR value, BSTR* out) {
  if (FAILED(copied)) m_failed = true;
  try {
    m_items.push_back(Item{value, out});
  } catch (...) {
    // Out of memory as well: the call fails, and nothing leaves it.
    SysFreeString(value);
    m_failed = true;
  }
}

void OutStrings::Add(const _bstr_t& s, BSTR* out) {
  BSTR value = nullptr;
  const HRESULT hr = CopyOut(s, &value);
  Keep(hr, value, out);
}

void OutStrings::AddExchange(const _bstr_t& s, BSTR* out) {
  BSTR value = nullptr;
  const HRESULT hr = CopyOutExchange(s, &value);
  Keep(hr, value, out);
}

HRESULT OutStrings::Commit() {
  if (m_failed) return E_OUTOFMEMORY;
  for (Item& item : m_items) {
    *item.out = item.value;
    item.value = nullptr;
  }
  return S_OK;
}

}  // namespace orvsrv
