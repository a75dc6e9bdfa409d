// The about box: product name and build, closed by OK or Escape.
#pragma once

#include "platform/ui/dialogs.h"

class CAboutDlg {
 public:
  static const UINT kDialogId = 205;
  // Runs the box modally; answers the id of the command that closed it.
  static INT_PTR DoModal(HWND owner);

 private:
  static INT_PTR DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
};
