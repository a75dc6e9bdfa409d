// Registry and ini files are edited by hand: whatever they hold, reading
// them must not crash, and a write followed by a read must give back what
// was written.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/win/windows.h"

namespace {

struct Place {
  std::string dir, reg, ini;
  Place() {
    char templ[] = "/tmp/orvwin-fuzz-XXXXXX";
    dir = ::mkdtemp(templ) ? templ : "/tmp";
    reg = dir + "/registry.reg";
    ini = dir + "/orv.ini";
    ::setenv("ORV_REGISTRY", reg.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  }
  ~Place() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

void Store(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
}

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void Registry() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brask\\Orv", 0, KEY_READ, &key) == ERROR_SUCCESS) {
    for (const char* name : {"LogLevel", "AppName", "", "x"}) {
      BYTE buf[16];
      DWORD type = 0, size = sizeof buf;
      RegQueryValueExA(key, name, nullptr, &type, buf, &size);
    }
    RegCloseKey(key);
  }
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brask\\Orv\\Fz", 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  const char text[] = "a \"quoted\" \\ value\n";
  Check(RegSetValueExA(key, "Fz", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text) ==
        ERROR_SUCCESS);
  char back[64];
  DWORD type = 0, size = sizeof back;
  Check(RegQueryValueExA(key, "fz", nullptr, &type, reinterpret_cast<BYTE*>(back), &size) ==
        ERROR_SUCCESS);
  Check(type == REG_SZ && size == sizeof text && std::memcmp(back, text, size) == 0);
  RegCloseKey(key);
  Check(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brask\\Orv\\Fz") == ERROR_SUCCESS);
}

void Profile(const char* ini) {
  char buf[64];
  GetPrivateProfileStringA(nullptr, nullptr, "", buf, sizeof buf, ini);
  GetPrivateProfileStringA("Main", nullptr, "", buf, sizeof buf, ini);
  GetPrivateProfileStringA("Main", "Username", "d", buf, 8, ini);
  GetPrivateProfileIntA("Proxy", "UseProxy", 0, ini);
  if (!WritePrivateProfileStringA("Fz", "Key", " v \"1\" ", ini)) return;
  GetPrivateProfileStringA("fz", "KEY", "", buf, sizeof buf, ini);
  Check(std::strcmp(buf, "v \"1\"") == 0);
  Check(WritePrivateProfileStringA("Fz", "Key", nullptr, ini));
  GetPrivateProfileStringA("Fz", "Key", "gone", buf, sizeof buf, ini);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Place place;
  Store(place.reg, data, size);
  Store(place.ini, data, size);
  Registry();
  Profile(place.ini.c_str());
  return 0;
}
