// orvsim for a whole test program of the main object in process, with the
// module's start and end hooks around it and the ProgID registered so that
// error information names its source.
#pragma once

#include <stdlib.h>

#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "platform/com/atlbase.h"
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

}  // namespace orvtest
