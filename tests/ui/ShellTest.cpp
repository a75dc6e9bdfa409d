#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/ui/shellapi.h"

namespace {

class Tray : public ::testing::Test {
 protected:
  void SetUp() override {
    static bool registered = [] {
      WNDCLASSA wc{};
      wc.lpfnWndProc = DefWindowProcA;
      wc.lpszClassName = "TrayTestWindow";
      return RegisterClassA(&wc) != 0;
    }();
    ASSERT_TRUE(registered);
    hwnd_ = CreateWindowExA(0, "TrayTestWindow", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                            nullptr, nullptr);
    ASSERT_NE(hwnd_, nullptr);
  }
  void TearDown() override { DestroyWindow(hwnd_); }

  NOTIFYICONDATAA Record(DWORD size, const std::string& tip) {
    NOTIFYICONDATAA d;
    std::memset(&d, 0, sizeof d);
    d.cbSize = size;
    d.hWnd = hwnd_;
    d.uID = 0;
    d.uFlags = NIF_MESSAGE | NIF_TIP;
    d.uCallbackMessage = WM_USER;
    std::strncpy(d.szTip, tip.c_str(), sizeof d.szTip - 1);
    return d;
  }
  HWND hwnd_ = nullptr;
};

TEST_F(Tray, AddModifyDeleteKeepTheIconsState) {
  NOTIFYICONDATAA d = Record(sizeof(NOTIFYICONDATAA), "first");
  EXPECT_FALSE(Shell_NotifyIconA(NIM_MODIFY, &d)) << "no icon yet";
  ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, &d));
  EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &d)) << "the same icon twice";
  std::strcpy(d.szTip, "second");
  d.uFlags |= NIF_INFO;
  std::strcpy(d.szInfoTitle, "Title");
  std::strcpy(d.szInfo, "Subscription limit reached");
  ASSERT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &d));
  orvui::TrayIconState state;
  ASSERT_TRUE(orvui::FindTrayIcon(hwnd_, 0, &state));
  EXPECT_EQ(state.tip, "second");
  EXPECT_EQ(state.lastBalloonTitle, "Title");
  EXPECT_EQ(state.lastBalloon, "Subscription limit reached");
  ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, &d));
  EXPECT_FALSE(orvui::FindTrayIcon(hwnd_, 0, nullptr));
  EXPECT_FALSE(Shell_NotifyIconA(NIM_DELETE, &d));
}

TEST_F(Tray, TheClassicRecordCarriesSixtyThreeCharactersAndNoBalloon) {
  NOTIFYICONDATAA d = Record(NOTIFYICONDATAA_V1_SIZE, std::string(100, 'x'));
  d.uFlags |= NIF_INFO;
  std::strcpy(d.szInfo, "not in the classic record");
  ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, &d));
  orvui::TrayIconState state;
  ASSERT_TRUE(orvui::FindTrayIcon(hwnd_, 0, &state));
  EXPECT_EQ(state.tip, std::string(63, 'x'));
  EXPECT_TRUE(state.lastBalloon.empty());
  Shell_NotifyIconA(NIM_DELETE, &d);
}

TEST_F(Tray, NoWindowNoIcon) {
  NOTIFYICONDATAA d = Record(sizeof(NOTIFYICONDATAA), "tip");
  d.hWnd = nullptr;
  EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &d));
  EXPECT_FALSE(Shell_NotifyIconA(NIM_MODIFY, &d));
}

TEST_F(Tray, AClickReachesTheIconsWindowAsItsCallbackMessage) {
  NOTIFYICONDATAA d = Record(sizeof(NOTIFYICONDATAA), "tip");
  d.uID = 5;
  EXPECT_FALSE(orvui::ClickTrayIcon(hwnd_, 5, WM_RBUTTONUP));
  ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, &d));
  ASSERT_TRUE(orvui::ClickTrayIcon(hwnd_, 5, WM_RBUTTONUP));
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.hwnd, hwnd_);
  EXPECT_EQ(msg.message, UINT(WM_USER));
  EXPECT_EQ(msg.wParam, 5u);
  EXPECT_EQ(msg.lParam, LPARAM(WM_RBUTTONUP));
  Shell_NotifyIconA(NIM_DELETE, &d);
}

}  // namespace
