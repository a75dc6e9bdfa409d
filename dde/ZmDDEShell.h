// The entry of the DDE bridge: one running copy, the hidden main window
// with its timers and menu commands, the tray icon, the credentials of the
// shared ini file and the "Login" dialog.
#pragma once

#include <string>

#include "dde/CSystemTray.h"
#include "dde/ShellServer.h"
#include "platform/ui/winuser.h"

namespace zmdde {

extern const char kZmDDEInstanceMutex[];

// Resource ids of the program.
enum : UINT {
  IDS_WINDOW_CLASS = 1,
  IDM_TRAY_MENU = 102,
  IDI_MAIN = 114,
  IDI_TRAY = 123,
  ID_APP_EXIT = 40001,
  ID_APP_CONNECT = 40002,
  ID_APP_DISCONNECT = 40003,
};

const UINT WM_TRAY_NOTIFY = 0x800A;
const UINT_PTR kAdviseTimer = 1;
const UINT kAdviseTimerMs = 5000;
const UINT_PTR kRefreshTimer = 2;
const UINT kRefreshTimerMs = 25500;
// Posted to the main window when the server is found gone.
const UINT WM_SERVER_LOST = 0x800B;
// The next try at a new server after a loss: the first pause, doubled after
// each failed try up to the last.
const UINT_PTR kReconnectTimer = 3;
void SetReconnectPauses(UINT firstMs, UINT maxMs);

// The icons, menu and class-name string of the program.
void RegisterZmDDEResources(HINSTANCE instance);

// How the server object is made; must be set before WinMain.
void SetShellServerFactory(ShellServerFactory factory);
// The terminal the "Login" dialog asks on; null for the controlling one.
void SetLoginTerminal(const char* path);

int ZmDDEWinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);
BOOL InitMainWindow(HINSTANCE instance);
int Login();
LRESULT CALLBACK MainWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// The program's tray icon and main window (null while none exists).
CSystemTray& TheSystemTray();
HWND ZmDDEMainWindow();

}  // namespace zmdde
