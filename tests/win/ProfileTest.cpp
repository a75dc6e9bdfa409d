#include "platform/win/windows.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "TempFolder.h"

namespace {

class Profile : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_RUNTIME_DIR", tmp_.File("run").c_str(), 1);
    ini_ = tmp_.File("orv.ini");
  }
  std::string Get(const char* section, const char* key, const char* def = "", DWORD size = 256) {
    std::string buf(size + 8, '#');
    DWORD n = GetPrivateProfileStringA(section, key, def, &buf[0], size, ini_.c_str());
    EXPECT_EQ(buf[n], '\0') << "the result is null-terminated right after its length";
    return buf.substr(0, n);
  }

  TempFolder tmp_;
  std::string ini_;
};

const char kIni[] =
    "; shared settings\r\n"
    "[Main]\r\n"
    "Username = alice \r\n"
    "username=shadowed\r\n"
    "Password=\"  spaced secret  \"\r\n"
    "Single='quoted'\r\n"
    "Mixed=\"not a pair'\r\n"
    "Inner=a \"b\" c\r\n"
    "Empty=\r\n"
    "\r\n"
    "[ proxy ]\r\n"
    "UseProxy=1\r\n"
    "ProxyPort=  8080\r\n"
    "Negative=-5\r\n"
    "Junk=12abc\r\n"
    "Letters=abc\r\n"
    "[Main]\r\n"
    "Late=second section\r\n";

TEST_F(Profile, ReadRulesTable) {
  TempFolder::Write(ini_, kIni);
  struct Case {
    const char* section;
    const char* key;
    const char* def;
    const char* want;
  } cases[] = {
      {"Main", "Username", "x", "alice"},        // trimmed on both sides
      {"MAIN", "USERNAME", "x", "alice"},        // case-insensitive; the first key wins
      {"Main", "Password", "", "  spaced secret  "},  // one pair of quotes removed, inside kept
      {"Main", "Single", "", "quoted"},
      {"Main", "Mixed", "", "\"not a pair'"},
      {"Main", "Inner", "", "a \"b\" c"},
      {"Main", "Empty", "dflt", ""},             // present but empty: not the default
      {"Main", "Missing", "dflt  ", "dflt"},     // default, its trailing blanks dropped
      {"Main", "Missing", nullptr, ""},
      {"Proxy", "ProxyPort", "0", "8080"},       // section name trimmed inside brackets
      {"Main", "Late", "first only", "first only"},  // the first [Main] is the one read
      {"Nowhere", "Username", "d", "d"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Get(c.section, c.key, c.def), c.want) << c.section << "/" << c.key;
}

TEST_F(Profile, CutsToTheBufferAsWindowsDoes) {
  TempFolder::Write(ini_, kIni);
  EXPECT_EQ(Get("Main", "Username", "", 4), "ali");  // size - 1 characters
  EXPECT_EQ(Get("Main", "Username", "", 5), "alic") << "no room for the last one and the null";
  EXPECT_EQ(Get("Main", "Username", "", 6), "alice");
  EXPECT_EQ(Get("Main", "Username", "", 1), "");
  EXPECT_EQ(Get("Main", "Missing", "defaultvalue", 5), "defa");

  // Key list: each name null-terminated, the list ending in a second null.
  char list[64];
  DWORD n = GetPrivateProfileStringA("proxy", nullptr, "", list, sizeof list, ini_.c_str());
  EXPECT_EQ(std::string(list, n), std::string("UseProxy\0ProxyPort\0Negative\0Junk\0Letters\0", 41));
  EXPECT_EQ(list[n], '\0');
  // Cut: size - 2, and still two nulls at the end.
  n = GetPrivateProfileStringA("proxy", nullptr, "", list, 12, ini_.c_str());
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(std::string(list, 12), std::string("UseProxy\0P\0\0", 12));
  n = GetPrivateProfileStringA(nullptr, nullptr, "", list, sizeof list, ini_.c_str());
  EXPECT_EQ(std::string(list, n), std::string("Main\0proxy\0Main\0", 16));
}

TEST_F(Profile, IntegerReading) {
  TempFolder::Write(ini_, kIni);
  const char* f = ini_.c_str();
  EXPECT_EQ(GetPrivateProfileIntA("Proxy", "UseProxy", 7, f), 1u);
  EXPECT_EQ(GetPrivateProfileIntA("PROXY", "proxyport", 7, f), 8080u);
  EXPECT_EQ(GetPrivateProfileIntA("Proxy", "Junk", 7, f), 12u);
  EXPECT_EQ(GetPrivateProfileIntA("Proxy", "Letters", 7, f), 0u);
  EXPECT_EQ(static_cast<INT>(GetPrivateProfileIntA("Proxy", "Negative", 7, f)), -5);
  EXPECT_EQ(GetPrivateProfileIntA("Proxy", "Missing", 7, f), 7u);
  EXPECT_EQ(GetPrivateProfileIntA("Main", "Empty", 7, f), 7u);
  EXPECT_EQ(GetPrivateProfileIntA("Proxy", "UseProxy", 3, tmp_.File("none.ini").c_str()), 3u);
}

TEST_F(Profile, WriteKeepsEveryOtherLine) {
  TempFolder::Write(ini_, kIni);
  const char* f = ini_.c_str();
  ASSERT_TRUE(WritePrivateProfileStringA("main", "USERNAME", "bob", f));
  std::string expected = kIni;
  expected.replace(expected.find("Username = alice \r\n"), 19, "USERNAME=bob\r\n");
  EXPECT_EQ(TempFolder::Read(ini_), expected);
  EXPECT_EQ(Get("Main", "Username"), "bob");

  // A new key goes to the end of its section, before the blank line.
  ASSERT_TRUE(WritePrivateProfileStringA("Main", "FutUsername", "carol", f));
  expected.replace(expected.find("Empty=\r\n") + 8, 0, "FutUsername=carol\r\n");
  EXPECT_EQ(TempFolder::Read(ini_), expected);

  // A new section goes to the end of the file.
  ASSERT_TRUE(WritePrivateProfileStringA("Extra", "k", "v", f));
  expected += "\r\n[Extra]\r\nk=v\r\n";
  EXPECT_EQ(TempFolder::Read(ini_), expected);

  // Removing a key, then a section.
  ASSERT_TRUE(WritePrivateProfileStringA("Proxy", "Junk", nullptr, f));
  expected.replace(expected.find("Junk=12abc\r\n"), 12, "");
  EXPECT_EQ(TempFolder::Read(ini_), expected);
  ASSERT_TRUE(WritePrivateProfileStringA("Extra", nullptr, nullptr, f));
  EXPECT_EQ(Get("Extra", "k", "gone"), "gone");
}

TEST_F(Profile, WriteCreatesAPrivateFileAndRefusesLineBreaks) {
  const char* f = ini_.c_str();
  ASSERT_TRUE(WritePrivateProfileStringA("Main", "Username", "", f));
  ASSERT_TRUE(WritePrivateProfileStringA("Main", "Password", "", f));
  EXPECT_EQ(TempFolder::Read(ini_), "[Main]\nUsername=\nPassword=\n");
  struct stat st;
  ASSERT_EQ(::stat(f, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A password with a line break would plant a second line (or section).
  EXPECT_FALSE(WritePrivateProfileStringA("Main", "Password", "x\n[Other]\nk=v", f));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(WritePrivateProfileStringA("Main", "a=b", "v", f));
  EXPECT_FALSE(WritePrivateProfileStringA("Ma]in", "k", "v", f));
  EXPECT_EQ(TempFolder::Read(ini_), "[Main]\nUsername=\nPassword=\n");

  // A folder that does not exist is not created.
  EXPECT_FALSE(WritePrivateProfileStringA("Main", "k", "v", tmp_.File("no/such.ini").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(Profile, ConcurrentWritersLoseNothing) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([this, t] {
      for (int i = 0; i < 10; ++i) {
        std::string key = "K" + std::to_string(t) + "_" + std::to_string(i);
        WritePrivateProfileStringA("Main", key.c_str(), std::to_string(i).c_str(), ini_.c_str());
      }
    });
  }
  for (auto& w : writers) w.join();
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 10; ++i) {
      std::string key = "K" + std::to_string(t) + "_" + std::to_string(i);
      EXPECT_EQ(GetPrivateProfileIntA("Main", key.c_str(), -1, ini_.c_str()), static_cast<UINT>(i)) << key;
    }
}

TEST_F(Profile, ExistingFileKeepsItsMode) {
  TempFolder::Write(ini_, "[Main]\n");
  ::chmod(ini_.c_str(), 0640);
  ASSERT_TRUE(WritePrivateProfileStringA("Main", "k", "v", ini_.c_str()));
  struct stat st;
  ASSERT_EQ(::stat(ini_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

}  // namespace
