// The notification area. There is no task bar here: the shell keeps each
// icon's state (queryable through orvui::FindTrayIcon) and writes what a
// user would see, the tooltip and every balloon, as a line on standard
// error. The icon's callback message reaches its window when the "user"
// clicks, which orvui::ClickTrayIcon stands for.
#pragma once

#include <string>

#include "platform/ui/winuser.h"

#define NIM_ADD 0x00000000
#define NIM_MODIFY 0x00000001
#define NIM_DELETE 0x00000002

#define NIF_MESSAGE 0x00000001
#define NIF_ICON 0x00000002
#define NIF_TIP 0x00000004
#define NIF_INFO 0x00000010

#define NIIF_NONE 0x00000000
#define NIIF_INFO 0x00000001
#define NIIF_WARNING 0x00000002
#define NIIF_ERROR 0x00000003

// The classic record's size on the 32-bit platform: tooltips of at most
// 63 characters and no balloons. Any cbSize below the full record's size
// is read as the classic record.
#define NOTIFYICONDATAA_V1_SIZE 88

struct NOTIFYICONDATAA {
  DWORD cbSize;
  HWND hWnd;
  UINT uID;
  UINT uFlags;
  UINT uCallbackMessage;
  HICON hIcon;
  CHAR szTip[128];
  DWORD dwState;
  DWORD dwStateMask;
  CHAR szInfo[256];
  UINT uTimeout;
  CHAR szInfoTitle[64];
  DWORD dwInfoFlags;
};
typedef NOTIFYICONDATAA* PNOTIFYICONDATAA;

// Fails for a record without a live window, an add of an icon that exists,
// and a modify or delete of one that does not.
BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data);

namespace orvui {

struct TrayIconState {
  UINT callbackMessage;
  HICON icon;
  std::string tip;
  std::string lastBalloonTitle;
  std::string lastBalloon;
};

// The icon (window, id) as the shell holds it; false when there is none.
bool FindTrayIcon(HWND hwnd, UINT id, TrayIconState* state);
// How many icons the shell shows.
size_t TrayIconCount();
// A mouse message on the icon: posts the icon's callback message to its
// window (wParam the icon id, lParam the mouse message). False when there
// is no such icon or it asked for no callback.
bool ClickTrayIcon(HWND hwnd, UINT id, UINT mouseMessage);

}  // namespace orvui
