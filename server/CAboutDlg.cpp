#include "server/CAboutDlg.h"

INT_PTR CAboutDlg::DoModal(HWND owner) {
  return DialogBoxParamA(nullptr, MAKEINTRESOURCEA(kDialogId), owner, &CAboutDlg::DialogProc, 0);
}

INT_PTR CAboutDlg::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      // Centring over the owner has no meaning without a screen.
      return TRUE;
    case WM_COMMAND: {
      const WORD id = LOWORD(wParam);
      if (id >= IDOK && id <= IDNO) {
        EndDialog(hwnd, id);
        return TRUE;
      }
      return FALSE;
    }
    default:
      return FALSE;
  }
}
