#include "feed/CSettings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "LogCapture.h"
#include "SslFiles.h"
#include "TempDir.h"

namespace {

// Each test gets its own registry file and user data folder.
class SettingsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("ORV_REGISTRY", dir.File("registry.reg").c_str(), 1);
    ::setenv("USERPROFILE", dir.path().c_str(), 1);
    CSettings::SetDefaults();
    orvlog::SetLevel(orvlog::kWarn);
  }
  void TearDown() override { orvlog::SetLevel(orvlog::kWarn); }

  HKEY Key() {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brask\\Orv", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    return key;
  }
  void Dword(const char* name, DWORD v) {
    HKEY key = Key();
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
    RegCloseKey(key);
  }
  void String(const char* name, const std::string& v) {
    HKEY key = Key();
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()), static_cast<DWORD>(v.size() + 1));
    RegCloseKey(key);
  }
  // Every value the loader counts as missing when absent.
  void Complete() {
    Dword("LogLevel", 3);
    Dword("ServerTimeout", 1000);
    Dword("PullTimeout", 2000);
    Dword("UseCompression", 1);
    String("AppName", "App");
    String("FutAppName", "FutApp");
    String("ConnString", "iiop:a:1");
    String("FutConnString", "iiop:b:2");
  }
  void Ini(const std::string& text) {
    const std::string folder = dir.path() + "/Application Data/Orv";
    std::system(("mkdir -p '" + folder + "'").c_str());
    std::ofstream(folder + "/orv.ini") << text;
  }

  TempDir dir;
};

TEST_F(SettingsFixture, Defaults) {
  CSettings::UseSSL = 1;
  CSettings::InitRef.emplace_back("x", "y");
  CSettings::SetDefaults();
  EXPECT_EQ(CSettings::LogLevel, 2);
  EXPECT_EQ(CSettings::ServerTimeout, 30000u);
  EXPECT_EQ(CSettings::PullTimeout, 30000u);
  EXPECT_EQ(CSettings::UseCompression, 0u);
  EXPECT_EQ(CSettings::ProtocolVersion, 0u);
  EXPECT_EQ(CSettings::AppName, "ZmDataService");
  EXPECT_EQ(CSettings::FutAppName, "ZmDataBroker");
  EXPECT_EQ(CSettings::UseSSL, 0u);
  EXPECT_EQ(CSettings::CertificateFile, "");
  EXPECT_EQ(CSettings::RootCertificateFile, "");
  EXPECT_EQ(CSettings::KeyPass, "Quillmet");
  EXPECT_EQ(CSettings::ConnString.rfind("ssliop:", 0), 0u);
  EXPECT_NE(CSettings::ConnString.find(":443"), std::string::npos);
  EXPECT_EQ(CSettings::FutConnString.rfind("iiop:", 0), 0u);
  EXPECT_EQ(CSettings::UseProxy, 0);
  EXPECT_EQ(CSettings::ProxyPort, "0");
  EXPECT_EQ(CSettings::ProxyServer, "");
  EXPECT_TRUE(CSettings::InitRef.empty());
  EXPECT_TRUE(CSettings::InitFutRef.empty());
}

TEST_F(SettingsFixture, MissingKeyKeepsDefaultsAndStillNamesBothServices) {
  Ini("[Proxy]\nUseProxy=1\nProxyServer=p\n");
  orvlog::SetLevel(orvlog::kInfo);
  LogCapture log(orvlog::kInfo);
  EXPECT_FALSE(CSettings::LoadSettings());
  EXPECT_TRUE(log.Contains("Error: 2 Unable to open registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\Brask\\Orv\\\n"
                           "Used defaults settings"));
  EXPECT_EQ(orvlog::GetLevel(), orvlog::kInfo) << "the log keeps its threshold";
  EXPECT_EQ(CSettings::UseProxy, 0) << "the ini file is not read";
  ASSERT_EQ(CSettings::InitRef.size(), 1u);
  EXPECT_EQ(CSettings::InitRef[0].first, "Endpoint0");
  EXPECT_EQ(CSettings::InitRef[0].second, "Endpoint0=corbaloc:" + CSettings::ConnString + "/ZmDataService");
  ASSERT_EQ(CSettings::InitFutRef.size(), 1u);
  EXPECT_EQ(CSettings::InitFutRef[0].second, "Endpoint1=corbaloc:" + CSettings::FutConnString + "/ZmDataBroker");
}

TEST_F(SettingsFixture, EveryValueIsRead) {
  Complete();
  Dword("ProtocolVersion", 2);
  Dword("UseSSL", 5);
  String("CertificateFile", "/k.pem");
  String("RootCertificateFile", "/ca.pem");
  String("KeyPass", "secret");
  Ini("[Proxy]\nUseProxy=1\nProxyServer=proxy.example\nProxyPort=8080\nProxyUser=u\nProxyPass=p w\n");
  LogCapture log(orvlog::kError);
  EXPECT_TRUE(CSettings::LoadSettings());
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(CSettings::ServerTimeout, 1000u);
  EXPECT_EQ(CSettings::PullTimeout, 2000u);
  EXPECT_EQ(CSettings::UseCompression, 1u);
  EXPECT_EQ(CSettings::ProtocolVersion, 2u);
  EXPECT_EQ(CSettings::AppName, "App");
  EXPECT_EQ(CSettings::FutAppName, "FutApp");
  EXPECT_EQ(CSettings::UseSSL, 1u) << "any non-zero value reads as 1";
  EXPECT_EQ(CSettings::CertificateFile, "/k.pem");
  EXPECT_EQ(CSettings::RootCertificateFile, "/ca.pem");
  EXPECT_EQ(CSettings::KeyPass, "secret");
  EXPECT_EQ(CSettings::UseProxy, 1);
  EXPECT_EQ(CSettings::ProxyServer, "proxy.example");
  EXPECT_EQ(CSettings::ProxyPort, "8080");
  EXPECT_EQ(CSettings::ProxyUser, "u");
  EXPECT_EQ(CSettings::ProxyPass, "p w");
  ASSERT_EQ(CSettings::InitRef.size(), 1u);
  EXPECT_EQ(CSettings::InitRef[0].second, "Endpoint0=corbaloc:iiop:a:1/App");
  EXPECT_EQ(CSettings::InitFutRef[0].second, "Endpoint1=corbaloc:iiop:b:2/FutApp");
}

TEST_F(SettingsFixture, LogLevelMapping) {
  struct Case {
    bool present;
    DWORD stored;
    int threshold;
  };
  for (const Case c : {Case{true, 1, orvlog::kDebug}, Case{true, 2, orvlog::kTrace}, Case{true, 0, orvlog::kError},
                       Case{true, 3, orvlog::kError}, Case{false, 0, 2}}) {
    CSettings::SetDefaults();
    TempDir own;
    ::setenv("ORV_REGISTRY", own.File("r.reg").c_str(), 1);
    Complete();
    HKEY key = Key();
    RegDeleteValueA(key, "LogLevel");
    RegCloseKey(key);
    if (c.present) Dword("LogLevel", c.stored);
    LogCapture log;
    EXPECT_TRUE(CSettings::LoadSettings());
    EXPECT_EQ(CSettings::LogLevel, c.threshold) << c.stored;
    EXPECT_EQ(orvlog::GetLevel(), c.threshold);
    if (c.threshold <= orvlog::kDebug) {
      EXPECT_TRUE(log.Contains("Set trace level " + std::to_string(c.threshold)));
    }
  }
}

TEST_F(SettingsFixture, TimeoutCorrections) {
  struct Case {
    DWORD stored;
    DWORD server;
    DWORD pull;
  };
  for (const Case c : {Case{0, 30000, 30000}, Case{1, 1, 1}, Case{0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF},
                       Case{0x80000000u, 0x80000000u, 0x7FFFFFFF}, Case{0xFFFFFFFFu, 0xFFFFFFFFu, 0x7FFFFFFF}}) {
    Complete();
    Dword("ServerTimeout", c.stored);
    Dword("PullTimeout", c.stored);
    EXPECT_TRUE(CSettings::LoadSettings());
    EXPECT_EQ(CSettings::ServerTimeout, c.server) << c.stored;
    EXPECT_EQ(CSettings::PullTimeout, c.pull) << c.stored;
  }
}

TEST_F(SettingsFixture, MissingOrMistypedValuesKeepTheirDefaultsAndAreLogged) {
  Dword("LogLevel", 3);
  String("ServerTimeout", "1000");     // a string where a DWORD belongs
  Dword("AppName", 7);                 // a DWORD where a string belongs
  String("FutAppName", std::string(1100, 'x'));  // longer than the buffer
  LogCapture log(orvlog::kError);
  EXPECT_FALSE(CSettings::LoadSettings());
  EXPECT_EQ(CSettings::ServerTimeout, 30000u);
  EXPECT_EQ(CSettings::AppName, "ZmDataService");
  EXPECT_EQ(CSettings::FutAppName, "ZmDataBroker");
  for (const char* name : {"ServerTimeout", "PullTimeout", "UseCompression", "AppName", "FutAppName"}) {
    EXPECT_EQ(log.Count(std::string(" Unable to retrieve ") + name + " value. Used defaults settings"), 1u) << name;
  }
  EXPECT_TRUE(log.Contains("Error: 2 Unable to retrieve PullTimeout value. Used defaults settings"));
  EXPECT_TRUE(log.Contains("Error: 234 Unable to retrieve FutAppName value. Used defaults settings"));
  EXPECT_TRUE(log.Contains("Error: 2 Unable to retrieve ConnString"));
  EXPECT_TRUE(log.Contains("Error: 2 Unable to retrieve FutConnString"));
  EXPECT_FALSE(log.Contains("ProtocolVersion")) << "not logged when missing";
  EXPECT_FALSE(log.Contains("UseSSL"));
  EXPECT_EQ(CSettings::InitRef.size(), 1u) << "the default connection string still gives its endpoint";
}

TEST_F(SettingsFixture, SslValues) {
  Complete();
  Dword("UseSSL", 1);
  String("RootCertificateFile", "/ca.pem");
  String("KeyPass", "k");
  {
    LogCapture log(orvlog::kError);
    EXPECT_FALSE(CSettings::LoadSettings());
    EXPECT_TRUE(log.Contains("Error: 2 Unable to retrieve CertificateFile value (SSL disabled)"));
    EXPECT_EQ(CSettings::UseSSL, 0u);
    EXPECT_EQ(CSettings::RootCertificateFile, "/ca.pem") << "reading goes on";
    EXPECT_EQ(CSettings::KeyPass, "k");
  }
  CSettings::SetDefaults();
  String("CertificateFile", "/k.pem");
  HKEY key = Key();
  RegDeleteValueA(key, "KeyPass");
  RegCloseKey(key);
  {
    LogCapture log(orvlog::kError);
    EXPECT_FALSE(CSettings::LoadSettings());
    EXPECT_TRUE(log.Contains("Error: 2 Unable to retrieve KeyPass value"));
    EXPECT_FALSE(log.Contains("KeyPass value (SSL disabled)"));
    EXPECT_EQ(CSettings::UseSSL, 1u) << "a missing pass phrase keeps SSL on";
    EXPECT_EQ(CSettings::KeyPass, "Quillmet");
  }
}

TEST_F(SettingsFixture, EndpointListsNumberOnAcrossBothStrings) {
  struct Case {
    std::string conn, fut;
    std::vector<std::string> refs, futRefs;
  };
  const Case cases[] = {
      {"iiop:h1:1;;iiop:h2:2;", "iiop:h3:3",
       {"Endpoint0=corbaloc:iiop:h1:1/App", "Endpoint1=corbaloc:iiop:h2:2/App"},
       {"Endpoint2=corbaloc:iiop:h3:3/FutApp"}},
      {";iiop: spaced :1", ";;", {"Endpoint0=corbaloc:iiop: spaced :1/App"}, {}},
      {";", "iiop:x:1;iiop:y:2", {}, {"Endpoint0=corbaloc:iiop:x:1/FutApp", "Endpoint1=corbaloc:iiop:y:2/FutApp"}},
  };
  for (const Case& c : cases) {
    Complete();
    String("ConnString", c.conn);
    String("FutConnString", c.fut);
    CSettings::LoadSettings();
    std::vector<std::string> refs, futRefs;
    for (const auto& r : CSettings::InitRef) refs.push_back(r.second);
    for (const auto& r : CSettings::InitFutRef) futRefs.push_back(r.second);
    EXPECT_EQ(refs, c.refs) << c.conn;
    EXPECT_EQ(futRefs, c.futRefs) << c.fut;
    for (const auto& r : CSettings::InitRef) EXPECT_EQ(r.second.rfind(r.first + "=", 0), 0u);
  }
}

TEST_F(SettingsFixture, ProxyValuesAreReadOnlyWhenTheProxyIsOn) {
  Complete();
  Ini("[Proxy]\nUseProxy=0\nProxyServer=proxy\nProxyPort=1\n");
  EXPECT_TRUE(CSettings::LoadSettings());
  EXPECT_EQ(CSettings::UseProxy, 0);
  EXPECT_EQ(CSettings::ProxyServer, "");
  EXPECT_EQ(CSettings::ProxyPort, "0");
  Ini("[Proxy]\nUseProxy=1\n");
  EXPECT_TRUE(CSettings::LoadSettings());
  EXPECT_EQ(CSettings::UseProxy, 1);
  EXPECT_EQ(CSettings::ProxyPort, "0") << "the default of a missing key";
}

TEST_F(SettingsFixture, StartupCorrections) {
  LogCapture log(orvlog::kWarn);
  for (DWORD v : {0u, 1u, 2u, 3u}) {
    CSettings::ProtocolVersion = v;
    CSettings::ApplyStartupCorrections();
    EXPECT_EQ(CSettings::ProtocolVersion, v == 2 ? 2u : 0u) << v;
  }
  EXPECT_TRUE(log.Contains("Invalid protocol version: 1. Protocol version reset to default value"));
  EXPECT_TRUE(log.Contains("Invalid protocol version: 3. Protocol version reset to default value"));

}

// SSL stays on only over files that the ORB's transport can load: any
// other file would stop the ORB from starting, plain endpoints included.
TEST_F(SettingsFixture, SslStaysOnOnlyOverFilesThatLoad) {
  SslFiles files;
  ASSERT_TRUE(files.Make(dir.path())) << "openssl could not make a certificate";
  const std::string missing = dir.File("missing.pem");
  const std::string unreadable = dir.File("unreadable.pem");
  std::ofstream(unreadable) << std::ifstream(files.client).rdbuf();
  ::chmod(unreadable.c_str(), 0);
  const bool permissionsBind = ::geteuid() != 0;  // root reads it all the same

  struct Case {
    const char* what;
    std::string ca, key, phrase;
    const char* warning;  // empty: SSL stays on
    std::string named;    // the file the warning names
  };
  const Case cases[] = {
      {"good files", files.ca, files.client, "any", "", ""},
      {"encrypted key, its phrase", files.ca, files.locked, SslFiles::kLockedPhrase, "", ""},
      {"missing key file", files.ca, missing, "", "WARN DESCR: Cannot open key file: ", missing},
      {"no CA file named", "", files.client, "", "WARN DESCR: Cannot open certificate file: ", ""},
      {"CA file of junk", files.junk, files.client, "", "WARN DESCR: Cannot load certificate file: ", files.junk},
      {"key file of junk", files.ca, files.junk, "", "WARN DESCR: Cannot load key file: ", files.junk},
      {"key file cut short", files.ca, files.truncated, "", "WARN DESCR: Cannot load key file: ", files.truncated},
      {"a key file as the CA", files.client, files.client, "", "", ""},
      {"wrong phrase", files.ca, files.locked, "wrong", "WARN DESCR: Cannot load key file: ", files.locked},
      {"the default phrase", files.ca, files.locked, "Quillmet", "WARN DESCR: Cannot load key file: ", files.locked},
      {"unreadable key file", files.ca, unreadable, "", permissionsBind ? "WARN DESCR: Cannot load key file: " : "",
       permissionsBind ? unreadable : ""},
  };
  for (const Case& c : cases) {
    LogCapture log(orvlog::kWarn);
    CSettings::UseSSL = 1;
    CSettings::RootCertificateFile = c.ca;
    CSettings::CertificateFile = c.key;
    CSettings::KeyPass = c.phrase;
    CSettings::ApplyStartupCorrections();
    if (*c.warning == '\0') {
      EXPECT_EQ(CSettings::UseSSL, 1u) << c.what;
      EXPECT_FALSE(log.Contains("WARN DESCR")) << c.what;
    } else {
      EXPECT_EQ(CSettings::UseSSL, 0u) << c.what;
      EXPECT_TRUE(log.Contains(c.warning + c.named)) << c.what;
    }
  }
}

}  // namespace
