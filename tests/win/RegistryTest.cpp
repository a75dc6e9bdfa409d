#include "platform/win/windows.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "TempFolder.h"

namespace {

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = tmp_.File("registry.reg");
    ::setenv("ORV_REGISTRY", file_.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", tmp_.File("run").c_str(), 1);
  }
  void TearDown() override { ::unsetenv("ORV_REGISTRY"); }

  void Store(const std::string& text) { TempFolder::Write(file_, text); }
  std::string Stored() const { return TempFolder::Read(file_); }

  TempFolder tmp_;
  std::string file_;
};

const char kSettings[] =
    "; settings of the service\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brask\\Orv]\n"
    "\"LogLevel\"=dword:00000001\n"
    "\"ServerTimeout\"=dword:0000ea60\n"
    "\"AppName\"=\"ZmDataService\"\n"
    "\"CertificateFile\"=\"C:\\\\certs\\\\\\\"client\\\".pem\"\n"
    "\"Broken\"=dword:xyz\n"
    "\"Empty\"=\"\"\n";

TEST_F(Registry, ReadsTypedValuesCaseInsensitively) {
  Store(kSettings);
  HKEY key = nullptr;
  // A trailing backslash and another case name the same key.
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\BRASK\\Orv\\", 0, KEY_READ, &key),
            ERROR_SUCCESS);

  DWORD type = 0, value = 0, size = sizeof value;
  ASSERT_EQ(RegQueryValueExA(key, "loglevel", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(size, 4u);
  size = sizeof value;
  RegQueryValueExA(key, "ServerTimeout", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  EXPECT_EQ(value, 60000u);

  char text[1024];
  size = sizeof text;
  ASSERT_EQ(RegQueryValueExA(key, "AppName", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_STREQ(text, "ZmDataService");
  EXPECT_EQ(size, 14u) << "the size counts the terminating null";

  size = sizeof text;
  RegQueryValueExA(key, "CertificateFile", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  EXPECT_STREQ(text, "C:\\certs\\\"client\".pem");

  size = sizeof text;
  ASSERT_EQ(RegQueryValueExA(key, "Empty", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 1u);
  RegCloseKey(key);
}

TEST_F(Registry, ErrorCodesAsWindowsGivesThem) {
  Store(kSettings);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brask\\Missing", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brask\\Orv", 0, KEY_READ, &key),
            ERROR_SUCCESS);

  DWORD type = 0, size = 0;
  BYTE small[4];
  EXPECT_EQ(RegQueryValueExA(key, "NoSuchValue", nullptr, &type, small, &size), ERROR_FILE_NOT_FOUND);
  // An unparsable line is no value.
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExA(key, "Broken", nullptr, &type, small, &size), ERROR_FILE_NOT_FOUND);

  // A DWORD-sized buffer for a string: ERROR_MORE_DATA, the size needed, and
  // the type, from which the caller sees it is not a DWORD.
  size = sizeof small;
  type = REG_NONE;
  EXPECT_EQ(RegQueryValueExA(key, "AppName", nullptr, &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 14u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

  // Size only, no buffer.
  size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "AppName", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 14u);
  // A buffer without a size is refused.
  EXPECT_EQ(RegQueryValueExA(key, "AppName", nullptr, &type, small, nullptr), ERROR_INVALID_PARAMETER);

  // A key opened for reading can't be written.
  DWORD one = 1;
  EXPECT_EQ(RegSetValueExA(key, "LogLevel", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExA(key, "AppName", nullptr, &type, nullptr, &size), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, MissingFileIsAnEmptyRegistry) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brask\\Orv", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, ClassRegistrationWritesAndRemovesKeys) {
  Store(kSettings);
  const std::string before = Stored();
  HKEY clsid = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{1234}\\LocalServer32", 0, nullptr,
                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &clsid, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  const char server[] = "/opt/orv/ORVE";
  ASSERT_EQ(RegSetValueExA(clsid, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(server),
                           sizeof server),
            ERROR_SUCCESS);
  // A text that would break the file's lines is stored escaped.
  const char odd[] = "line one\nline [two]\"";
  ASSERT_EQ(RegSetValueExA(clsid, "Odd", 0, REG_SZ, reinterpret_cast<const BYTE*>(odd), sizeof odd),
            ERROR_SUCCESS);
  RegCloseKey(clsid);

  // The settings lines, comment and unparsable line included, are untouched.
  EXPECT_EQ(Stored().compare(0, before.size(), before), 0) << Stored();

  HKEY again = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "clsid\\{1234}\\LocalServer32", 0, nullptr, 0,
                            KEY_READ, nullptr, &again, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  char text[64];
  DWORD type = 0, size = sizeof text;
  ASSERT_EQ(RegQueryValueExA(again, "", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(text, server);
  size = sizeof text;
  ASSERT_EQ(RegQueryValueExA(again, "odd", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(text, odd);

  HKEY parent = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{1234}", 0, KEY_ALL_ACCESS, &parent),
            ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "CLSID\\{1234}"), ERROR_ACCESS_DENIED)
      << "a key with sub-keys stays";
  EXPECT_EQ(RegDeleteValueA(parent, "NotThere"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(parent, "LocalServer32"), ERROR_SUCCESS);
  // The open handle of a deleted key says so.
  EXPECT_EQ(RegQueryValueExA(again, "", nullptr, &type, nullptr, &size), ERROR_KEY_DELETED);
  RegCloseKey(again);
  EXPECT_EQ(RegDeleteKeyA(parent, "LocalServer32"), ERROR_FILE_NOT_FOUND);

  // The levels created on the way outlive the leaf.
  HKEY probe = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &probe), ERROR_SUCCESS);
  RegCloseKey(probe);
  RegCloseKey(parent);

  ASSERT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "CLSID"), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{1234}", 0, KEY_READ, &probe),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "CLSID"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Stored(), before) << "removing what was added restores the file";
}

TEST_F(Registry, SetValueReplacesInPlaceAndTreeWithoutSubKeyEmptiesTheKey) {
  Store(kSettings);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brask\\Orv", 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  DWORD level = 2;
  ASSERT_EQ(RegSetValueExA(key, "LOGLEVEL", 0, REG_DWORD, reinterpret_cast<BYTE*>(&level), 4),
            ERROR_SUCCESS);
  std::string text = Stored();
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brask\\Orv]\n\"LOGLEVEL\"=dword:00000002\n"
                      "\"ServerTimeout\""),
            std::string::npos)
      << text;
  EXPECT_EQ(RegSetValueExA(key, "Bad", 0, REG_DWORD, reinterpret_cast<BYTE*>(&level), 2),
            ERROR_INVALID_PARAMETER);

  HKEY sub = nullptr;
  ASSERT_EQ(RegCreateKeyExA(key, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(sub);
  ASSERT_EQ(RegDeleteTreeA(key, nullptr), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "AppName", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(key, "Sub", 0, KEY_READ, &sub), ERROR_FILE_NOT_FOUND);
  HKEY still = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brask\\Orv", 0, KEY_READ, &still),
            ERROR_SUCCESS)
      << "the key itself stays";
  RegCloseKey(still);
  // The comment and the line that could not be parsed survive every write.
  text = Stored();
  EXPECT_NE(text.find("; settings of the service"), std::string::npos);
  EXPECT_NE(text.find("\"Broken\"=dword:xyz"), std::string::npos);
  RegCloseKey(key);
}

TEST_F(Registry, ConcurrentWritersLoseNothing) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t] {
      for (DWORD i = 0; i < 10; ++i) {
        HKEY key = nullptr;
        std::string path = "SOFTWARE\\Writer" + std::to_string(t);
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr) != ERROR_SUCCESS)
          return;
        std::string name = "V" + std::to_string(i);
        RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&i), 4);
        RegCloseKey(key);
      }
    });
  }
  for (auto& w : writers) w.join();
  for (int t = 0; t < 4; ++t) {
    HKEY key = nullptr;
    std::string path = "SOFTWARE\\Writer" + std::to_string(t);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    for (DWORD i = 0; i < 10; ++i) {
      DWORD v = 99, size = 4;
      std::string name = "V" + std::to_string(i);
      EXPECT_EQ(RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
                ERROR_SUCCESS)
          << path << " " << name;
      EXPECT_EQ(v, i);
    }
    RegCloseKey(key);
  }
}

TEST_F(Registry, ATransactionWritesTheFileOnceAtItsCommitOrNotAtAll) {
  Store(kSettings);
  auto setName = [](const char* value) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, "ORVE.Test\\CLSID", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                        static_cast<DWORD>(std::strlen(value) + 1));
    RegCloseKey(key);
    return rc;
  };
  auto readName = []() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "ORVE.Test\\CLSID", 0, KEY_READ, &key) != ERROR_SUCCESS)
      return std::string("<none>");
    char text[64] = {};
    DWORD size = sizeof text;
    RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    return std::string(text);
  };
  {
    orvwin::RegistryTransaction transaction;
    ASSERT_EQ(setName("{1}"), ERROR_SUCCESS);
    EXPECT_EQ(readName(), "{1}") << "the owner reads its own writes";
    std::string seenElsewhere;
    std::thread([&] { seenElsewhere = readName(); }).join();
    EXPECT_EQ(seenElsewhere, "<none>") << "others read the file as it was";
    EXPECT_EQ(Stored(), kSettings);
  }
  EXPECT_EQ(Stored(), kSettings) << "ended without a commit";

  std::thread writer;
  {
    orvwin::RegistryTransaction transaction;
    ASSERT_EQ(setName("{2}"), ERROR_SUCCESS);
    writer = std::thread([&] { setName("{3}"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(transaction.Commit(), ERROR_SUCCESS);
    EXPECT_EQ(readName(), "{2}") << "another thread's write waits for the end";
  }
  writer.join();
  EXPECT_EQ(readName(), "{3}");
  EXPECT_EQ(Stored().rfind(kSettings, 0), 0u) << Stored();
}

TEST_F(Registry, NewFileIsPrivate) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brask\\Orv", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const char pass[] = "secret";
  RegSetValueExA(key, "KeyPass", 0, REG_SZ, reinterpret_cast<const BYTE*>(pass), sizeof pass);
  RegCloseKey(key);
  struct stat st;
  ASSERT_EQ(::stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
