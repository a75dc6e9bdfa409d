#include "platform/win/windows.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <string>
#include <vector>

#include "TempFolder.h"

extern "C" HMODULE WinTestModuleRegister();

namespace {

const orvwin::StringResource kStrings[] = {
    {100, "SELECT * FROM %s"},
    {101, "short"},
    {102, ""},
};

TEST(Resources, LoadStringFromTheModuleItWasRegisteredFor) {
  HMODULE self = GetModuleHandleA(nullptr);
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(orvwin::ThisModule(), self);
  orvwin::RegisterStringResources(self, kStrings, 3);
  HMODULE lib = WinTestModuleRegister();
  ASSERT_NE(lib, nullptr);
  ASSERT_NE(lib, self);

  char buf[64];
  EXPECT_EQ(LoadStringA(self, 100, buf, sizeof buf), 16);
  EXPECT_STREQ(buf, "SELECT * FROM %s");
  EXPECT_EQ(LoadStringA(nullptr, 101, buf, sizeof buf), 5) << "null means the program";
  EXPECT_EQ(LoadStringA(self, 100, buf, 7), 6);
  EXPECT_STREQ(buf, "SELECT");
  // Ids are per module.
  EXPECT_EQ(LoadStringA(lib, 100, buf, sizeof buf), 11);
  EXPECT_STREQ(buf, "the library");
  EXPECT_EQ(LoadStringA(lib, 101, buf, sizeof buf), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(LoadStringA(self, 102, buf, sizeof buf), 0) << "an empty string is no string";
  EXPECT_EQ(LoadStringA(self, 999, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
}

TEST(Modules, HandlesAndFileNames) {
  HMODULE lib = WinTestModuleRegister();
  EXPECT_EQ(GetModuleHandleA("win_test_module.dll"), lib);
  EXPECT_EQ(GetModuleHandleA("WIN_TEST_MODULE"), lib);
  EXPECT_EQ(GetModuleHandleA("nothing-like-it.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  ASSERT_GT(n, 0u);
  std::string exe(path, n);
  EXPECT_EQ(exe.substr(exe.rfind('/') + 1), "test_win_misc");
  n = GetModuleFileNameA(lib, path, sizeof path);
  std::string so(path, n);
  EXPECT_EQ(so.substr(so.rfind('/') + 1), "libwin_test_module.so");

  char small[5];
  EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), 5u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::string(small), exe.substr(0, 4));
}

TEST(Modules, FileVersionOfTheProgram) {
  char path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, path, sizeof path), 0u);
  DWORD handle = 1;
  EXPECT_EQ(GetFileVersionInfoSizeA(path, &handle), 0u) << "nothing registered yet";
  EXPECT_EQ(handle, 0u);

  orvwin::RegisterFileVersion(GetModuleHandleA(nullptr), 4, 1, 0, 7);
  DWORD size = GetFileVersionInfoSizeA(path, &handle);
  ASSERT_GT(size, 0u);
  std::vector<char> block(size);
  ASSERT_TRUE(GetFileVersionInfoA(path, handle, size, block.data()));
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<LPVOID*>(&info), &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(info->dwSignature, VS_FFI_SIGNATURE);
  char text[64];
  std::snprintf(text, sizeof text, "%d, %d, %d, %d", HIWORD(info->dwFileVersionMS),
                LOWORD(info->dwFileVersionMS), HIWORD(info->dwFileVersionLS),
                LOWORD(info->dwFileVersionLS));
  EXPECT_STREQ(text, "4, 1, 0, 7");
  EXPECT_FALSE(VerQueryValueA(block.data(), "\\StringFileInfo\\040904b0\\FileVersion",
                              reinterpret_cast<LPVOID*>(&info), &length));

  // A module that registered nothing, and a file that is no loaded module.
  HMODULE lib = WinTestModuleRegister();
  ASSERT_GT(GetModuleFileNameA(lib, path, sizeof path), 0u);
  EXPECT_EQ(GetFileVersionInfoSizeA(path, &handle), 0u);
  EXPECT_EQ(GetFileVersionInfoSizeA("/etc/hostname", &handle), 0u);
}

TEST(Folders, UserDataFolderFollowsTheProfileVariable) {
  TempFolder tmp;
  ::setenv("USERPROFILE", tmp.Path().c_str(), 1);
  std::string folder = orvwin::UserDataFolder();
  EXPECT_EQ(folder, tmp.Path() + "/Application Data/Orv/");
  struct stat st;
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // One left open by an older build or by hand is narrowed again.
  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  EXPECT_EQ(orvwin::UserDataFolder(), folder);
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  ::unsetenv("USERPROFILE");
  ::setenv("XDG_DATA_HOME", (tmp.Path() + "/data").c_str(), 1);
  EXPECT_EQ(orvwin::UserDataFolder(), tmp.Path() + "/data/Orv/");
  ::unsetenv("XDG_DATA_HOME");
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", tmp.Path().c_str(), 1);
  EXPECT_EQ(orvwin::UserDataFolder(), tmp.Path() + "/.local/share/Orv/");
  ::setenv("HOME", home.c_str(), 1);

  // A path through a file can't be made.
  TempFolder::Write(tmp.File("file"), "x");
  ::setenv("USERPROFILE", tmp.File("file").c_str(), 1);
  EXPECT_EQ(orvwin::UserDataFolder(), "");
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  ::unsetenv("USERPROFILE");
}

TEST(Folders, RuntimeFolderIsPrivate) {
  TempFolder tmp;
  ::setenv("XDG_RUNTIME_DIR", tmp.Path().c_str(), 1);
  std::string folder = orvwin::RuntimeFolder();
  EXPECT_EQ(folder, tmp.Path() + "/orv/");
  // Loosened permissions are tightened again.
  ::chmod(folder.c_str(), 0777);
  EXPECT_EQ(orvwin::RuntimeFolder(), folder);
  struct stat st;
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // Something that is not a folder is refused, never followed.
  ::rmdir(folder.c_str());
  ::symlink(tmp.Path().c_str(), (tmp.Path() + "/orv").c_str());
  EXPECT_EQ(orvwin::RuntimeFolder(), "");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  ::setenv("ORV_REGISTRY", "/x/r.reg", 1);
  EXPECT_EQ(orvwin::RegistryPath(), "/x/r.reg");
  ::unsetenv("ORV_REGISTRY");
  ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(orvwin::RegistryPath(), "/cfg/orv/registry.reg");
}

}  // namespace
