#include "dde/CSystemTray.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace zmdde;

namespace {

const UINT kMenu = 102;
const UINT kCallback = 0x800A;
const UINT kConnect = 40002, kDisconnect = 40003, kExit = 40001;

std::vector<UINT> g_commands;

LRESULT TargetProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND) g_commands.push_back(UINT(LOWORD(wParam)));
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

// Records the menu as the user would see it when it pops up.
class RecordingTray : public CSystemTray {
 public:
  void CustomizeMenu(HMENU menu) override {
    CSystemTray::CustomizeMenu(menu);
    connectState = GetMenuState(menu, 0, MF_BYPOSITION);
    disconnectState = GetMenuState(menu, 1, MF_BYPOSITION);
  }
  UINT connectState = 0, disconnectState = 0;
};

class SystemTray : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WNDCLASSA wc{};
    wc.lpfnWndProc = TargetProc;
    wc.lpszClassName = "TrayTargetWindow";
    RegisterClassA(&wc);
    orvui::RegisterIconResource(nullptr, 123);
    orvui::RegisterMenuResource(
        nullptr, kMenu,
        {{"ZmDDE", {{kConnect, "Connect"}, {kDisconnect, "Disconnect"}, {0, ""}, {kExit, "Exit"}}}});
  }
  void SetUp() override {
    g_commands.clear();
    target_ = CreateWindowExA(0, "TrayTargetWindow", "", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                              nullptr, nullptr, nullptr);
    ASSERT_NE(target_, nullptr);
    icon_ = LoadIconA(nullptr, MAKEINTRESOURCEA(123));
  }
  void TearDown() override { DestroyWindow(target_); }

  BOOL CreateOn(CSystemTray& tray) {
    return tray.Create(nullptr, target_, kCallback, "DDE server. Status: not connected.", icon_,
                       kMenu, FALSE, nullptr, nullptr, NIIF_NONE, 10);
  }
  orvui::TrayIconState Shown() {
    orvui::TrayIconState state{};
    EXPECT_TRUE(orvui::FindTrayIcon(target_, kMenu, &state));
    return state;
  }
  void Pump() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  }

  HWND target_ = nullptr;
  HICON icon_ = nullptr;
};

TEST_F(SystemTray, CreateShowsTheIconAndDestructionRemovesIt) {
  {
    CSystemTray tray;
    EXPECT_TRUE(tray.IsHidden());
    EXPECT_TRUE(tray.IsRemoved());
    EXPECT_EQ(CSystemTray::Instance(), &tray);
    ASSERT_TRUE(CreateOn(tray));
    EXPECT_FALSE(tray.IsHidden());
    EXPECT_FALSE(tray.IsRemoved());
    EXPECT_FALSE(tray.IsAddPending());
    orvui::TrayIconState state = Shown();
    EXPECT_EQ(state.tip, "DDE server. Status: not connected.");
    EXPECT_EQ(state.callbackMessage, kCallback);
    EXPECT_EQ(state.icon, icon_);
    EXPECT_EQ(state.lastBalloon, "");
  }
  EXPECT_FALSE(orvui::FindTrayIcon(target_, kMenu, nullptr));
}

TEST_F(SystemTray, LongTextsAreCutToTheirFields) {
  CSystemTray tray;
  ASSERT_TRUE(CreateOn(tray));
  ASSERT_TRUE(tray.SetTooltipText(std::string(200, 't').c_str()));
  EXPECT_EQ(Shown().tip, std::string(127, 't'));

  ASSERT_TRUE(tray.ShowBalloon(std::string(300, 'b').c_str(), std::string(100, 'h').c_str(),
                               NIIF_ERROR, 10));
  orvui::TrayIconState state = Shown();
  EXPECT_EQ(state.lastBalloon, std::string(255, 'b'));
  EXPECT_EQ(state.lastBalloonTitle, std::string(63, 'h'));
  EXPECT_EQ(tray.IconData().dwInfoFlags, DWORD(NIIF_ERROR));
  EXPECT_EQ(tray.IconData().uTimeout, 10000u);
  // The balloon is gone from the record, so the next change cannot repeat it.
  EXPECT_EQ(tray.IconData().szInfo[0], '\0');
  ASSERT_TRUE(tray.SetTooltipText("DDE server. Status: connected."));
  EXPECT_EQ(Shown().tip, "DDE server. Status: connected.");
}

TEST_F(SystemTray, AnIconWhoseAddFailedIsAddedWhenTheTaskbarReturns) {
  // Another icon in the same place makes the first add fail.
  NOTIFYICONDATAA squatter{};
  squatter.cbSize = sizeof squatter;
  squatter.hWnd = target_;
  squatter.uID = kMenu;
  squatter.uFlags = NIF_TIP;
  ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, &squatter));

  CSystemTray tray;
  EXPECT_FALSE(CreateOn(tray));
  EXPECT_TRUE(tray.IsHidden());
  EXPECT_TRUE(tray.IsRemoved());
  EXPECT_TRUE(tray.IsAddPending());
  // Kept for the later add, not sent to the shell.
  EXPECT_TRUE(tray.SetTooltipText("DDE server. Status: connected."));
  EXPECT_EQ(Shown().tip, "");

  ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, &squatter));
  SendMessageA(tray.OwnWindow(), CSystemTray::TaskbarCreatedMessage(), 0, 0);
  EXPECT_FALSE(tray.IsAddPending());
  EXPECT_FALSE(tray.IsHidden());
  orvui::TrayIconState state = Shown();
  EXPECT_EQ(state.tip, "DDE server. Status: connected.");
  EXPECT_EQ(state.callbackMessage, kCallback);
}

TEST_F(SystemTray, AnIconThatIsShownIsNotAddedAgain) {
  CSystemTray tray;
  ASSERT_TRUE(CreateOn(tray));
  size_t icons = orvui::TrayIconCount();
  SendMessageA(tray.OwnWindow(), CSystemTray::TaskbarCreatedMessage(), 0, 0);
  SendMessageA(tray.OwnWindow(), WM_SETTINGCHANGE, SPI_SETWORKAREA, 0);
  EXPECT_FALSE(tray.IsAddPending());
  EXPECT_FALSE(tray.IsHidden());
  EXPECT_EQ(orvui::TrayIconCount(), icons);
}

TEST_F(SystemTray, TheMenuOffersConnectOrDisconnectByTheConnectedFlag) {
  struct Case {
    BOOL connected;
    UINT chosen;
    bool arrives;
  };
  const Case cases[] = {
      {FALSE, kConnect, true},   {FALSE, kDisconnect, false}, {FALSE, kExit, true},
      {TRUE, kConnect, false},   {TRUE, kDisconnect, true},   {TRUE, kExit, true},
  };
  for (const Case& c : cases) {
    RecordingTray tray;
    ASSERT_TRUE(CreateOn(tray));
    tray.m_bConnected = c.connected;
    g_commands.clear();
    orvui::QueueMenuChoice(c.chosen);
    EXPECT_EQ(tray.OnTrayNotification(kMenu, WM_RBUTTONUP), 1);
    Pump();
    UINT greyed = c.connected ? tray.connectState : tray.disconnectState;
    UINT enabled = c.connected ? tray.disconnectState : tray.connectState;
    EXPECT_TRUE(greyed & MF_GRAYED) << c.connected;
    EXPECT_FALSE(enabled & MF_GRAYED) << c.connected;
    EXPECT_TRUE(tray.connectState & MF_DEFAULT) << "Connect is the default item";
    EXPECT_EQ(g_commands, c.arrives ? std::vector<UINT>{c.chosen} : std::vector<UINT>{})
        << "connected " << c.connected << ", chose " << c.chosen;
  }
}

TEST_F(SystemTray, ADoubleClickIsConnectEvenWhileConnected) {
  for (BOOL connected : {FALSE, TRUE}) {
    CSystemTray tray;
    ASSERT_TRUE(CreateOn(tray));
    tray.m_bConnected = connected;
    g_commands.clear();
    EXPECT_EQ(tray.OnTrayNotification(kMenu, WM_LBUTTONDBLCLK), 1);
    Pump();
    EXPECT_EQ(g_commands, std::vector<UINT>{kConnect});
  }
}

TEST_F(SystemTray, OtherIconsAndOtherMouseMessagesDoNothing) {
  CSystemTray tray;
  ASSERT_TRUE(CreateOn(tray));
  size_t menus = orvui::PopupMenusShown();
  EXPECT_EQ(tray.OnTrayNotification(kMenu + 1, WM_RBUTTONUP), 0);
  EXPECT_EQ(tray.OnTrayNotification(kMenu, WM_MOUSEMOVE), 1);
  EXPECT_EQ(tray.OnTrayNotification(kMenu, WM_LBUTTONUP), 1);
  Pump();
  EXPECT_TRUE(g_commands.empty());
  EXPECT_EQ(orvui::PopupMenusShown(), menus);
}

TEST_F(SystemTray, TheIconsCallbackReachesTheMenu) {
  // Through the shell, as a click would come: the callback message goes to
  // the own window when the icon was created without a target window.
  RecordingTray tray;
  ASSERT_TRUE(tray.Create(nullptr, nullptr, kCallback, "tip", icon_, kMenu));
  orvui::QueueMenuChoice(kExit);
  size_t menus = orvui::PopupMenusShown();
  ASSERT_TRUE(orvui::ClickTrayIcon(tray.OwnWindow(), kMenu, WM_RBUTTONUP));
  Pump();
  EXPECT_EQ(orvui::PopupMenusShown(), menus + 1);
}

// As the program holds it: a static object whose icon and window are still
// up when the process exits, after the main thread's message queue is gone.
CSystemTray g_programTray;

TEST_F(SystemTray, AStaticTrayCanBeLeftUpUntilTheProcessExits) {
  ASSERT_TRUE(CreateOn(g_programTray));
  EXPECT_TRUE(orvui::FindTrayIcon(target_, kMenu, nullptr));
}

}  // namespace
