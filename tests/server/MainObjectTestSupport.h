// What the tests of the main object in process share: orvsim for the
// whole program with the module's start and end hooks around it, the way
// the server runs them, and the ProgID registered so that error
// information names its source; a new main object; a string's text and
// the calling thread's error information.
#pragma once

#include <stdlib.h>

#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "platform/com/atlbase.h"
#include "platform/com/comdef.h"
#include "platform/win/registry.h"
#include "server/CZmOrvEnt.h"
#include "tests/feed/SessionServiceSupport.h"

namespace orvtest {

// The module's start and end hooks around the whole program, the way the
// server runs them: sessions are deleted before the service goes. The
// class is registered as the server registers it.
class MainObjectSimEnvironment : public SimEnvironment {
 public:
  explicit MainObjectSimEnvironment(SimOptions options) : SimEnvironment(std::move(options)) {}

  void SetUp() override {
    SimEnvironment::SetUp();
    ::setenv("ORV_REGISTRY", (Folder() + "/registry.reg").c_str(), 1);
    HKEY key = nullptr;
    const std::string path = "CLSID\\" + orvcom::GuidToString(CLSID_ZmOrvEnt) + "\\ProgID";
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const char progId[] = "ORVE.ZmOrvEnt.1";
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(progId), sizeof progId);
    RegCloseKey(key);
    CZmOrvEnt::ObjectMain(true);
  }
  void TearDown() override {
    CZmOrvEnt::ObjectMain(false);
    SimEnvironment::TearDown();
  }
};

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
