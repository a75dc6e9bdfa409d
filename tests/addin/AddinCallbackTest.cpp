// HlRegistrator against a recording spreadsheet whose answer to the
// file-name request each test chooses: the module path rule and what goes
// over the callback.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/xll/xll.h"

namespace {

struct Call {
  int xlfn;
  bool hasResult;
  std::vector<std::string> strings;  // every argument as text ("<null>" etc.)
};

struct FakeSpreadsheet {
  bool nameFails = false;
  std::string addInName;
  std::vector<Call> calls;
  std::vector<unsigned char> nameBuffer;
  std::set<const unsigned char*> freed;
} g_sheet;

std::string Describe(const XLOPER* x) {
  if (x == nullptr) return "<null>";
  if (x->xltype != xltypeStr) return "<type " + std::to_string(x->xltype) + ">";
  return std::string(reinterpret_cast<const char*>(x->val.str + 1), x->val.str[0]);
}

}  // namespace

extern "C" int Excel4v(int xlfn, LPXLOPER res, int count, LPXLOPER opers[]) {
  Call call{xlfn, res != nullptr, {}};
  for (int i = 0; i < count; ++i) call.strings.push_back(Describe(opers[i]));
  g_sheet.calls.push_back(call);
  if (xlfn == xlGetName) {
    if (g_sheet.nameFails) return xlretFailed;
    const std::string& n = g_sheet.addInName;
    g_sheet.nameBuffer.assign(1, static_cast<unsigned char>(n.size()));
    g_sheet.nameBuffer.insert(g_sheet.nameBuffer.end(), n.begin(), n.end());
    res->val.str = g_sheet.nameBuffer.data();
    res->xltype = xltypeStr;
  } else if (xlfn == xlFree) {
    g_sheet.freed.insert(opers[0]->val.str);
  }
  return xlretSuccess;
}

namespace {

class AddinCallbacks : public ::testing::Test {
 protected:
  void SetUp() override {
    g_sheet = FakeSpreadsheet();
    handle_ = dlopen(ORV_ADDIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    open_ = reinterpret_cast<int (*)()>(dlsym(handle_, "xlAutoOpen"));
    ASSERT_NE(open_, nullptr);
  }
  void TearDown() override {
    if (handle_ != nullptr) dlclose(handle_);
  }
  std::vector<Call> Registrations() const {
    std::vector<Call> out;
    for (const Call& c : g_sheet.calls)
      if (c.xlfn == xlfRegister) out.push_back(c);
    return out;
  }
  void* handle_ = nullptr;
  int (*open_)() = nullptr;
};

TEST_F(AddinCallbacks, ModulePathIsTheAddInFolderAndTheLibraryName) {
  struct Case {
    bool fails;
    std::string name, module;
  };
  const std::string folder254(241, 'x');
  const Case cases[] = {
      {false, "C:\\Addins\\HlRegistrator.xll", "C:\\Addins\\HlUnivOpt.dll"},
      {false, "\\a\\b\\c\\libHlRegistrator.so", "\\a\\b\\c\\HlUnivOpt.dll"},
      // Without any backslash the name stays whole.
      {false, "HlRegistrator.xll", "HlRegistrator.xll\\HlUnivOpt.dll"},
      {false, "", "\\HlUnivOpt.dll"},
      // A failing request counts as an empty name.
      {true, "", "\\HlUnivOpt.dll"},
      // 241 + "\" + 13 characters: exactly the 255 a counted string holds.
      {false, folder254 + "\\addin.xll", folder254 + "\\HlUnivOpt.dll"},
  };
  for (const Case& c : cases) {
    g_sheet = FakeSpreadsheet();
    g_sheet.nameFails = c.fails;
    g_sheet.addInName = c.name;
    EXPECT_EQ(open_(), 1);
    const auto regs = Registrations();
    ASSERT_EQ(regs.size(), 22u) << c.name;
    for (const Call& r : regs) {
      ASSERT_EQ(r.strings.size(), 20u);
      EXPECT_EQ(r.strings[0], c.module) << c.name;
      EXPECT_FALSE(r.hasResult);
      for (const std::string& s : r.strings) EXPECT_NE(s, "<null>");
    }
    // The spreadsheet's answer is handed back once it has been copied.
    EXPECT_EQ(g_sheet.freed.size(), c.fails ? 0u : 1u) << c.name;
    EXPECT_EQ(g_sheet.calls.front().xlfn, xlGetName);
  }
}

TEST_F(AddinCallbacks, APathNoCountedStringHoldsRegistersNothing) {
  g_sheet.addInName = std::string(242, 'y') + "\\addin.xll";  // one character too many
  EXPECT_EQ(open_(), 1);
  EXPECT_TRUE(Registrations().empty());
  EXPECT_EQ(g_sheet.freed.size(), 1u);
}

TEST_F(AddinCallbacks, CloseDeletesEachSheetNameWithOneArgument) {
  auto close = reinterpret_cast<int (*)()>(dlsym(handle_, "xlAutoClose"));
  ASSERT_NE(close, nullptr);
  EXPECT_EQ(close(), 1);
  ASSERT_EQ(g_sheet.calls.size(), 22u);
  EXPECT_EQ(g_sheet.calls[0].strings, std::vector<std::string>{"HLUOA_Price"});
  EXPECT_EQ(g_sheet.calls[21].strings, std::vector<std::string>{"HLUOA_SetOptStep"});
  for (const Call& c : g_sheet.calls) {
    EXPECT_EQ(c.xlfn, xlfSetName);
    EXPECT_EQ(c.strings.size(), 1u);
  }
}

}  // namespace
