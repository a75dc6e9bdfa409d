// What the tests of the main object in process share: a new main object,
// a string's text and the calling thread's error information.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "platform/com/atlbase.h"
#include "platform/com/comdef.h"
#include "server/CZmOrvEnt.h"

namespace orvtest {

inline std::string Text(const _bstr_t& b) {
  const char* s = static_cast<const char*>(b);
  return s != nullptr ? s : "";
}

// The calling thread's error information, taken (and cleared).
struct ErrorInfo {
  bool present = false;
  std::string description;
  std::string source;
  GUID guid = GUID_NULL;
};
inline ErrorInfo TakeErrorInfo() {
  ErrorInfo out;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return out;
  out.present = true;
  BSTR d = nullptr;
  BSTR s = nullptr;
  info->GetDescription(&d);
  info->GetSource(&s);
  info->GetGUID(&out.guid);
  out.description = Text(_bstr_t(d, false));
  out.source = Text(_bstr_t(s, false));
  info->Release();
  return out;
}

// Its description alone; "<none>" when no error information is set.
inline std::string TakeError() {
  const ErrorInfo info = TakeErrorInfo();
  return info.present ? info.description : "<none>";
}

inline CComPtr<IZmOrvEnt> NewObject() {
  CComObject<CZmOrvEnt>* object = nullptr;
  EXPECT_EQ(CComObject<CZmOrvEnt>::CreateInstance(&object), S_OK);
  CComPtr<IZmOrvEnt> itf;
  if (object != nullptr) object->QueryInterface(IID_IZmOrvEnt, reinterpret_cast<void**>(&itf));
  return itf;
}

}  // namespace orvtest
