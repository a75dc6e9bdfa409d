#include <gtest/gtest.h>

#include <vector>

#include "platform/ui/dialogs.h"

namespace {

std::vector<UINT> g_dialogMessages;

INT_PTR RecordingDialog(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
  g_dialogMessages.push_back(message);
  if (message == WM_COMMAND) {
    EndDialog(hwnd, INT_PTR(LOWORD(wParam)) + 100);
    return TRUE;
  }
  return FALSE;
}

TEST(MessageBox, AnswersItsDefaultButtonAtOnce) {
  struct Case {
    UINT type;
    int answer;
  };
  const Case cases[] = {
      {MB_OK | MB_ICONERROR, IDOK},       {MB_OKCANCEL, IDOK},
      {MB_OKCANCEL | MB_DEFBUTTON2, IDCANCEL}, {MB_YESNO, IDYES},
      {MB_YESNOCANCEL | MB_DEFBUTTON3, IDCANCEL}, {MB_RETRYCANCEL, IDRETRY},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MessageBoxA(nullptr, "text", "caption", c.type), c.answer) << "type " << c.type;
}

TEST(PopupMenu, AnswersTheQueuedChoiceOrNothing) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = DefWindowProcA;
  wc.lpszClassName = "MenuOwner";
  RegisterClassA(&wc);
  HWND owner = CreateWindowExA(0, "MenuOwner", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                               nullptr, nullptr);
  ASSERT_NE(owner, nullptr);
  orvui::RegisterMenuResource(nullptr, 300, {{"POPUP", {{11, "One"}, {12, "Two"}}}});
  EXPECT_EQ(LoadMenuA(nullptr, MAKEINTRESOURCEA(301)), nullptr);

  HMENU menu = LoadMenuA(nullptr, MAKEINTRESOURCEA(300));
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(GetSubMenu(menu, 1), nullptr);
  HMENU popup = GetSubMenu(menu, 0);
  ASSERT_NE(popup, nullptr);
  EXPECT_EQ(TrackPopupMenu(popup, TPM_RETURNCMD, 0, 0, 0, owner, nullptr), 0) << "dismissed";
  orvui::QueueMenuChoice(12);
  EXPECT_EQ(TrackPopupMenu(popup, TPM_RETURNCMD, 0, 0, 0, owner, nullptr), 12);
  orvui::QueueMenuChoice(99);
  EXPECT_EQ(TrackPopupMenu(popup, TPM_RETURNCMD, 0, 0, 0, owner, nullptr), 0)
      << "a command the menu does not have is no choice";
  // Without TPM_RETURNCMD the choice reaches the owner as WM_COMMAND.
  orvui::QueueMenuChoice(11);
  EXPECT_TRUE(TrackPopupMenu(popup, 0, 0, 0, 0, owner, nullptr));
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, owner, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, UINT(WM_COMMAND));
  EXPECT_EQ(msg.wParam, 11u);
  EXPECT_TRUE(DestroyMenu(menu));
  EXPECT_FALSE(DestroyMenu(popup)) << "a popup goes with its menu";
  DestroyWindow(owner);
}

TEST(ModalDialog, PressesItsDefaultButtonAndEndsWithTheProceduresResult) {
  orvui::RegisterDialogResource(nullptr, 400, {"Caption", {"line one", "line two"}, IDOK});
  g_dialogMessages.clear();
  EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(400), nullptr, RecordingDialog, 0),
            IDOK + 100);
  ASSERT_GE(g_dialogMessages.size(), 2u);
  EXPECT_EQ(g_dialogMessages.front(), UINT(WM_INITDIALOG));
  EXPECT_EQ(g_dialogMessages.back(), UINT(WM_COMMAND));
  EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(401), nullptr, RecordingDialog, 0), -1);
}

TEST(ModalDialog, AQuitDuringTheDialogReachesTheOuterLoop) {
  orvui::RegisterDialogResource(nullptr, 402, {"Caption", {}, 0});
  PostQuitMessage(4);
  EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(402), nullptr, RecordingDialog, 0), 0);
  MSG msg;
  EXPECT_FALSE(GetMessageA(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.wParam, 4u);
}

TEST(Icons, OnlyRegisteredIconsLoad) {
  orvui::RegisterIconResource(nullptr, 216);
  EXPECT_NE(LoadIconA(nullptr, MAKEINTRESOURCEA(216)), nullptr);
  EXPECT_EQ(LoadIconA(nullptr, MAKEINTRESOURCEA(217)), nullptr);
  EXPECT_EQ(LoadIconA(nullptr, "named"), nullptr);
}

}  // namespace
