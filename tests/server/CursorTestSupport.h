// Helpers of the cursor and event tests: making a filled cursor the way the
// server does, and reading its properties.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/com/com.h"

namespace orvtest {

// A filled cursor, held through its own interface. Like the server, the
// object is made, asked for its interface, then filled.
template <class T, class I>
CComPtr<I> MakeCursor(const std::vector<typename T::RecordType>& records) {
  CComObject<T>* object = nullptr;
  EXPECT_EQ(CComObject<T>::CreateInstance(&object), S_OK);
  CComPtr<I> itf;
  EXPECT_EQ(object->QueryInterface(__uuidof(I), reinterpret_cast<void**>(&itf)), S_OK);
  object->SetData(records);
  return itf;
}

// The text of a string property, "<null>" for a null string. The caller's
// copy is freed here.
inline std::string TakeText(BSTR s) {
  if (s == nullptr) return "<null>";
  std::string text = orvcom::Narrow(s, SysStringLen(s));
  SysFreeString(s);
  return text;
}

template <class I>
std::string Text(I* itf, HRESULT (STDMETHODCALLTYPE I::*get)(BSTR*)) {
  BSTR s = nullptr;
  EXPECT_EQ((itf->*get)(&s), S_OK);
  return TakeText(s);
}

template <class I, class V>
V Value(I* itf, HRESULT (STDMETHODCALLTYPE I::*get)(V*)) {
  V v{};
  EXPECT_EQ((itf->*get)(&v), S_OK);
  return v;
}

// The object's interface Q, or null.
template <class Q>
CComPtr<Q> Query(IUnknown* object) {
  Q* q = nullptr;
  if (object) object->QueryInterface(__uuidof(Q), reinterpret_cast<void**>(&q));
  CComPtr<Q> owned;
  owned.Attach(q);
  return owned;
}

inline _bstr_t Str(const char* s) { return _bstr_t(s); }

}  // namespace orvtest
