// "RegServer" and "UnregServer": the registry scripts, the class keys and
// the type library's keys, written into and removed from the registry
// file.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include <filesystem>

#include "TestObjects.h"

namespace {

// A map entry that carries only its registry script, as the cursors'.
template <UINT id>
class ScriptOnly : public CComObjectRootEx<CComMultiThreadModel> {
 public:
  DECLARE_REGISTRY_RESOURCEID(id)
};

BEGIN_OBJECT_MAP(ServerMap)
OBJECT_ENTRY(CLSID_ZmOrvEnt, CTestOrv)
OBJECT_ENTRY_NON_CREATEABLE(ScriptOnly<102>)
OBJECT_ENTRY_NON_CREATEABLE(ScriptOnly<104>)
OBJECT_ENTRY_NON_CREATEABLE(ScriptOnly<248>)
OBJECT_ENTRY_NON_CREATEABLE(ScriptOnly<108>)
OBJECT_ENTRY_NON_CREATEABLE(ScriptOnly<109>)
OBJECT_ENTRY_NON_CREATEABLE(ScriptOnly<136>)
END_OBJECT_MAP()

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("orvcom-registration-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    file_ = dir_ / "registry.reg";
    setenv("ORV_REGISTRY", file_.c_str(), 1);
    module_.Init(ServerMap, nullptr, &LIBID_BraskOrvEnt);
  }
  void TearDown() override {
    module_.Term();
    unsetenv("ORV_REGISTRY");
    std::filesystem::remove_all(dir_);
  }

  std::string File() const {
    std::ifstream in(file_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::multiset<std::string> Lines() const {
    std::multiset<std::string> lines;
    std::istringstream in(File());
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) lines.insert(line);
    return lines;
  }
  static std::string Value(const std::string& path, const char* name = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
      return "(no key)";
    char text[1024];
    DWORD size = sizeof text, type = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(text), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::string(text) : "(no value)";
  }
  // What the program's command line switches run.
  HRESULT RegServer() {
    HRESULT hr = module_.UpdateRegistryFromResource(100, TRUE);
    return FAILED(hr) ? hr : module_.RegisterServer(TRUE);
  }
  HRESULT UnregServer() {
    HRESULT hr = module_.UpdateRegistryFromResource(100, FALSE);
    return FAILED(hr) ? hr : module_.UnregisterServer(TRUE);
  }

  std::filesystem::path dir_, file_;
  CComModule module_;
};

const char kAppId[] = "{816C5AED-5B36-4c36-BE13-686C018F5879}";
const char kMain[] = "CLSID\\{FA944FE7-AEB8-4B5B-8315-11D19B1F6264}";

TEST_F(RegistrationTest, RegServerWritesWhatTheScriptsSay) {
  ASSERT_EQ(RegServer(), S_OK);
  std::string exe = orvcom::ModulePath();
  ASSERT_EQ(exe.front(), '/');

  EXPECT_EQ(Value(std::string("AppID\\") + kAppId), "ORVE");
  EXPECT_EQ(Value("AppID\\ORVE.EXE", "AppID"), kAppId);

  EXPECT_EQ(Value(kMain), "ZmOrvEnt Class");
  EXPECT_EQ(Value(std::string(kMain) + "\\ProgID"), "ORVE.ZmOrvEnt.1");
  EXPECT_EQ(Value(std::string(kMain) + "\\VersionIndependentProgID"), "ORVE.ZmOrvEnt");
  EXPECT_EQ(Value(std::string(kMain) + "\\LocalServer32"), exe);
  EXPECT_EQ(Value(std::string(kMain) + "\\Programmable"), "(no value)");  // the key alone
  EXPECT_EQ(Value(std::string(kMain), "AppID"), kAppId);
  EXPECT_EQ(Value(std::string(kMain) + "\\TypeLib"), "{589A22DA-77A4-473C-9153-968575AA5711}");
  EXPECT_EQ(Value("ORVE.ZmOrvEnt.1\\CLSID"), "{FA944FE7-AEB8-4B5B-8315-11D19B1F6264}");
  EXPECT_EQ(Value("ORVE.ZmOrvEnt\\CurVer"), "ORVE.ZmOrvEnt.1");

  // The cursor scripts, including the ProgIDs that differ from the class
  // names, and the type library's keys.
  EXPECT_EQ(Value("ORVE.IInterestRateEnt\\CurVer"), "ORVE.IInterestRateEnt.1");
  EXPECT_EQ(Value("CLSID\\{845E6607-88D3-4A90-A4BE-8DA1565DB371}"), "IVSurfacesEnt Class");
  EXPECT_EQ(Value("CLSID\\{8A05F424-65C2-B21B-F91F-88892A5F88E2}\\LocalServer32"), exe);
  EXPECT_EQ(Value("TypeLib\\{589A22DA-77A4-473C-9153-968575AA5711}\\1.0"),
            "ZelmoraSDK 1.0 Type Library");
  EXPECT_EQ(Value("TypeLib\\{589A22DA-77A4-473C-9153-968575AA5711}\\1.0\\409\\win32"), exe);
  EXPECT_EQ(Value("Interface\\{324C8997-AFFE-42FD-A11B-BAE17A885359}"), "IZmOrvEnt");
  EXPECT_EQ(Value("Interface\\{59FE1C6C-E301-4986-9531-7E8A3F049186}\\TypeLib", "Version"), "1.0");

  // Lookups by ProgID: classes without a script that runs are not found.
  CLSID clsid;
  EXPECT_EQ(CLSIDFromProgID(u"ORVE.ZmOrvEnt", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_ZmOrvEnt);
  for (const char16_t* missing : {u"ORVE.FuturesEnt", u"ORVE.FutOptionsEnt", u"OrvEnterprise.HVEnt",
                                  u"OrvEnterprise.IVATMEnt"})
    EXPECT_EQ(CLSIDFromProgID(missing, &clsid), CO_E_CLASSSTRING) << orvcom::Narrow(missing);
  LPOLESTR progId = nullptr;
  ASSERT_EQ(ProgIDFromCLSID(CLSID_ZmOrvEnt, &progId), S_OK);
  EXPECT_EQ(orvcom::Narrow(progId), "ORVE.ZmOrvEnt.1");
  CoTaskMemFree(progId);

  // Registering twice leaves the same keys and values (ForceRemove keys
  // are written anew, so only their order in the file may change).
  std::multiset<std::string> once = Lines();
  ASSERT_EQ(RegServer(), S_OK);
  EXPECT_EQ(Lines(), once);
}

TEST_F(RegistrationTest, UnregServerRemovesItAndSparesOtherPrograms) {
  // Another program's class and AppID, present before and after.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{00000000-1111-2222-3333-444444444444}", 0,
                            nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("Other"), 6);
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "AppID\\OTHER.EXE", 0, nullptr, 0, KEY_WRITE,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);

  ASSERT_EQ(RegServer(), S_OK);
  ASSERT_NE(File().find("FA944FE7-AEB8-4B5B-8315-11D19B1F6264"), std::string::npos);
  ASSERT_EQ(UnregServer(), S_OK);

  std::string text = File();
  for (const char* gone : {"FA944FE7", "816C5AED", "ORVE.EXE", "ORVE.ZmOrvEnt", "ORVE.StocksEnt",
                           "IInterestRateEnt", "589A22DA", "324C8997", "59FE1C6C", "LocalServer32"})
    EXPECT_EQ(text.find(gone), std::string::npos) << gone << " left in\n" << text;
  EXPECT_EQ(Value("CLSID\\{00000000-1111-2222-3333-444444444444}"), "Other");
  EXPECT_NE(Value("AppID\\OTHER.EXE"), "(no key)");
  CLSID clsid;
  EXPECT_EQ(CLSIDFromProgID(u"ORVE.ZmOrvEnt", &clsid), CO_E_CLASSSTRING);

  // Unregistering what is not there is no error.
  EXPECT_EQ(UnregServer(), S_OK);
  EXPECT_EQ(module_.UpdateRegistryFromResource(555, TRUE),
            HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
}

TEST_F(RegistrationTest, ForceRemoveReplacesAStaleClassKey) {
  // A stale value under the class key goes when the class registers again.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, (std::string(kMain) + "\\InprocServer32").c_str(), 0,
                            nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegServer(), S_OK);
  EXPECT_EQ(Value(std::string(kMain) + "\\InprocServer32"), "(no key)");
  EXPECT_EQ(Value(std::string(kMain) + "\\ProgID"), "ORVE.ZmOrvEnt.1");
}

}  // namespace
