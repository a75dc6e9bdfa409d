#include <gtest/gtest.h>

#include <string>

#include "server/CAboutDlg.h"
#include "server/CShellIconHelper.h"
#include "server/OrveResources.h"

namespace {

int g_stopHookRuns = 0;
void CountingStopHook(bool starting) {
  if (!starting) ++g_stopHookRuns;
}

class TrayIcon : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterOrveResources();
    g_stopHookRuns = 0;
  }
  void TearDown() override { icon_.ShowIcon(false); }

  // Delivers what the hidden window has been sent, as the main loop does.
  void Pump() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  }
  void Click(UINT mouseMessage) {
    ASSERT_TRUE(orvui::ClickTrayIcon(icon_.Window(), 0, mouseMessage));
    Pump();
  }

  CShellIconHelper icon_;
};

TEST_F(TrayIcon, StartHookSettingsReachTheShellWhenTheIconIsShown) {
  // Before the window exists these modify calls reach no icon.
  icon_.SetTooltipText("Zelmora SDK client");
  icon_.SetIcon(216);
  EXPECT_EQ(orvui::TrayIconCount(), 0u);
  icon_.ShowIcon(true);
  ASSERT_TRUE(icon_.IsVisible());
  orvui::TrayIconState state;
  ASSERT_TRUE(orvui::FindTrayIcon(icon_.Window(), 0, &state));
  EXPECT_EQ(state.tip, "Zelmora SDK client");
  EXPECT_EQ(state.callbackMessage, UINT(WM_USER));
  EXPECT_EQ(state.icon, LoadIconA(nullptr, MAKEINTRESOURCEA(216)));
  EXPECT_NE(state.icon, nullptr);

  HWND window = icon_.Window();
  icon_.ShowIcon(false);
  EXPECT_FALSE(icon_.IsVisible());
  EXPECT_FALSE(orvui::FindTrayIcon(window, 0, nullptr));
  EXPECT_FALSE(IsWindow(window));
  icon_.ShowIcon(false);  // hiding twice is harmless
}

TEST_F(TrayIcon, LongTooltipsAreCutToSixtyThreeCharacters) {
  icon_.ShowIcon(true);
  icon_.SetTooltipText(std::string(80, 'T'));
  orvui::TrayIconState state;
  ASSERT_TRUE(orvui::FindTrayIcon(icon_.Window(), 0, &state));
  EXPECT_EQ(state.tip, std::string(63, 'T'));
  EXPECT_EQ(icon_.Tooltip().size(), 80u) << "the object keeps the whole text";
}

TEST_F(TrayIcon, OnlyTheRightButtonsReleaseOpensTheMenu) {
  icon_.ShowIcon(true);
  const size_t before = orvui::PopupMenusShown();
  for (UINT mouse : {WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_RBUTTONDOWN, WM_RBUTTONDBLCLK, WM_MOUSEMOVE})
    Click(mouse);
  EXPECT_EQ(orvui::PopupMenusShown(), before);
  Click(WM_RBUTTONUP);
  EXPECT_EQ(orvui::PopupMenusShown(), before + 1);
}

TEST_F(TrayIcon, AboutShowsTheBoxAndLeavesTheIcon) {
  icon_.ShowIcon(true);
  const size_t before = orvui::PopupMenusShown();
  orvui::QueueMenuChoice(CShellIconHelper::kCommandAbout);
  Click(WM_RBUTTONUP);
  EXPECT_EQ(orvui::PopupMenusShown(), before + 1);
  EXPECT_TRUE(icon_.IsVisible());
  EXPECT_TRUE(orvui::FindTrayIcon(icon_.Window(), 0, nullptr));
  EXPECT_EQ(g_stopHookRuns, 0);
}

TEST_F(TrayIcon, ADismissedMenuDoesNothing) {
  icon_.ShowIcon(true);
  icon_.SetExitHook(&CountingStopHook);
  Click(WM_RBUTTONUP);
  EXPECT_TRUE(icon_.IsVisible());
  EXPECT_EQ(g_stopHookRuns, 0);
}

TEST_F(TrayIcon, ExitHidesTheIconAndRunsTheStopHook) {
  // This test program is no copy of the server, so the end of every copy
  // that follows leaves it running.
  icon_.ShowIcon(true);
  icon_.SetExitHook(&CountingStopHook);
  HWND window = icon_.Window();
  orvui::QueueMenuChoice(CShellIconHelper::kCommandExit);
  Click(WM_RBUTTONUP);
  EXPECT_FALSE(icon_.IsVisible());
  EXPECT_FALSE(orvui::FindTrayIcon(window, 0, nullptr));
  EXPECT_EQ(g_stopHookRuns, 1);
}

TEST(AboutBox, ShowsTheProductAndBuildAndClosesWithTheCommandThatEndedIt) {
  RegisterOrveResources();
  ::testing::internal::CaptureStderr();
  const INT_PTR result = CAboutDlg::DoModal(nullptr);
  const std::string shown = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, IDOK);
  EXPECT_EQ(shown, "[About Zelmora SDK client] Zelmora SDK client\nbuild 1.0.2.1\n");
}

}  // namespace
