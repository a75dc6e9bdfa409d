#include "dde/CSystemTray.h"

#include <cstring>

namespace zmdde {

#ifndef NIF_STATE
#define NIF_STATE 0x00000008
#endif
#ifndef NIS_HIDDEN
#define NIS_HIDDEN 0x00000001
#endif

namespace {

const char kTrayClass[] = "TrayIconClass";

// The shell of this platform has the notification-area features of the
// later desktop versions: balloons and icon states included.
const int kShellMajorVersion = 6;
const bool kShellHasBalloons = true;

// Copies at most `size - 1` bytes and always terminates, so a long text
// can never run into the next field of the icon record.
void CopyField(CHAR* field, size_t size, LPCSTR text) {
  if (!text) text = "";
  size_t n = std::strlen(text);
  if (n > size - 1) n = size - 1;
  std::memcpy(field, text, n);
  field[n] = '\0';
}

}  // namespace

CSystemTray* CSystemTray::m_pThis = nullptr;

UINT CSystemTray::TaskbarCreatedMessage() {
  static const UINT message = RegisterWindowMessageA("TaskbarCreated");
  return message;
}

CSystemTray::CSystemTray()
    : m_bConnected(FALSE),
      m_hInstance(nullptr),
      m_hWnd(nullptr),
      m_hTargetWnd(nullptr),
      m_bEnabled(FALSE),
      m_bHidden(TRUE),
      m_bRemoved(TRUE),
      m_bShowIconPending(FALSE),
      m_bWin2K(kShellHasBalloons),
      m_DefaultMenuItemID(0),
      m_DefaultMenuItemByPos(TRUE),
      m_uCreationFlags(0) {
  m_pThis = this;
  std::memset(&m_tnd, 0, sizeof(m_tnd));
}

CSystemTray::~CSystemTray() {
  RemoveIcon();
  if (m_hWnd) DestroyWindow(m_hWnd);
  m_hWnd = nullptr;
  if (m_pThis == this) m_pThis = nullptr;
}

BOOL CSystemTray::Create(HINSTANCE instance, HWND parent, UINT callbackMessage, LPCSTR tooltip,
                         HICON icon, UINT id, BOOL hidden, LPCSTR balloonText,
                         LPCSTR balloonTitle, DWORD balloonIcon, UINT balloonTimeout) {
  m_bEnabled = kShellMajorVersion >= 4;
  if (!m_bEnabled) return FALSE;

  m_hInstance = instance;
  // Registered once for the process: a second Create reuses the class.
  static const bool registered = [instance] {
    WNDCLASSA wc{};
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = kTrayClass;
    return RegisterClassA(&wc) != 0;
  }();
  (void)registered;
  TaskbarCreatedMessage();
  if (m_hWnd) DestroyWindow(m_hWnd);
  m_hWnd = CreateWindowExA(0, kTrayClass, "", WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);

  std::memset(&m_tnd, 0, sizeof(m_tnd));
  m_tnd.cbSize = sizeof(m_tnd);
  m_tnd.hWnd = parent ? parent : m_hWnd;
  m_tnd.uID = id;
  m_tnd.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  m_tnd.uCallbackMessage = callbackMessage;
  m_tnd.hIcon = icon;
  CopyField(m_tnd.szTip, sizeof(m_tnd.szTip), tooltip);

  bool balloon = m_bWin2K && balloonText;
  if (balloon) {
    m_tnd.uFlags |= NIF_INFO;
    CopyField(m_tnd.szInfo, sizeof(m_tnd.szInfo), balloonText);
    CopyField(m_tnd.szInfoTitle, sizeof(m_tnd.szInfoTitle), balloonTitle);
    m_tnd.uTimeout = balloonTimeout * 1000;
    m_tnd.dwInfoFlags = balloonIcon;
  }

  m_hTargetWnd = m_tnd.hWnd;
  m_bHidden = hidden;
  if (m_bWin2K && m_bHidden) {
    m_tnd.uFlags = NIF_STATE;
    m_tnd.dwState = NIS_HIDDEN;
    m_tnd.dwStateMask = NIS_HIDDEN;
  }
  m_uCreationFlags = m_tnd.uFlags;

  BOOL result = TRUE;
  if (!m_bHidden || m_bWin2K) {
    result = Shell_NotifyIconA(NIM_ADD, &m_tnd);
    m_bShowIconPending = m_bHidden = m_bRemoved = !result;
  }
  if (balloon) m_tnd.szInfo[0] = '\0';
  return result;
}

BOOL CSystemTray::SetTooltipText(LPCSTR text) {
  if (!m_bEnabled) return FALSE;
  m_tnd.uFlags = NIF_TIP;
  CopyField(m_tnd.szTip, sizeof(m_tnd.szTip), text);
  // The shell gets it when the icon is (re)added.
  if (m_bHidden) return TRUE;
  return Shell_NotifyIconA(NIM_MODIFY, &m_tnd);
}

BOOL CSystemTray::ShowBalloon(LPCSTR text, LPCSTR title, DWORD icon, UINT timeoutSeconds) {
  if (!m_bWin2K) return FALSE;
  m_tnd.uFlags = NIF_INFO;
  CopyField(m_tnd.szInfo, sizeof(m_tnd.szInfo), text);
  CopyField(m_tnd.szInfoTitle, sizeof(m_tnd.szInfoTitle), title);
  m_tnd.dwInfoFlags = icon;
  m_tnd.uTimeout = timeoutSeconds * 1000;
  BOOL result = Shell_NotifyIconA(NIM_MODIFY, &m_tnd);
  // Otherwise the next tooltip change would show this balloon again.
  m_tnd.szInfo[0] = '\0';
  return result;
}

LRESULT CSystemTray::OnTrayNotification(WPARAM id, LPARAM mouseMessage) {
  if (id != m_tnd.uID) return 0;
  HWND target = m_hTargetWnd ? m_hTargetWnd : m_tnd.hWnd;
  if (!target) return 0;

  if (mouseMessage == WM_RBUTTONUP) {
    HMENU menu = LoadMenuA(m_hInstance, MAKEINTRESOURCEA(m_tnd.uID));
    if (!menu) return 0;
    HMENU popup = GetSubMenu(menu, 0);
    if (!popup) {
      DestroyMenu(menu);
      return 0;
    }
    SetMenuDefaultItem(popup, m_DefaultMenuItemID, m_DefaultMenuItemByPos);
    CustomizeMenu(popup);
    POINT pos{};
    GetCursorPos(&pos);
    SetForegroundWindow(m_tnd.hWnd);
    TrackPopupMenu(popup, 0, pos.x, pos.y, 0, target, nullptr);
    PostMessageA(m_tnd.hWnd, WM_NULL, 0, 0);
    DestroyMenu(menu);
    return 1;
  }

  if (mouseMessage == WM_LBUTTONDBLCLK) {
    SetForegroundWindow(m_tnd.hWnd);
    UINT item = m_DefaultMenuItemID;
    if (m_DefaultMenuItemByPos) {
      HMENU menu = LoadMenuA(m_hInstance, MAKEINTRESOURCEA(m_tnd.uID));
      if (!menu) return 0;
      HMENU popup = GetSubMenu(menu, 0);
      item = popup ? GetMenuItemID(popup, int(m_DefaultMenuItemID)) : UINT(-1);
      DestroyMenu(menu);
      if (item == UINT(-1) || item == 0) return 0;
    }
    PostMessageA(target, WM_COMMAND, item, 0);
  }
  return 1;
}

void CSystemTray::CustomizeMenu(HMENU menu) {
  EnableMenuItem(menu, 0, MF_BYPOSITION | (m_bConnected ? MF_GRAYED : MF_ENABLED));
  EnableMenuItem(menu, 1, MF_BYPOSITION | (m_bConnected ? MF_ENABLED : MF_GRAYED));
}

void CSystemTray::InstallIconPending() {
  // A failed add marks the icon hidden as well as pending, so only the
  // pending flag can tell that it still has to be added.
  if (!m_bShowIconPending) return;
  m_tnd.uFlags = m_uCreationFlags;
  BOOL added = Shell_NotifyIconA(NIM_ADD, &m_tnd);
  m_bHidden = !added;
  m_bShowIconPending = !added;
  if (added) m_bRemoved = FALSE;
}

void CSystemTray::RemoveIcon() {
  m_bShowIconPending = FALSE;
  if (!m_bEnabled || m_bRemoved) return;
  m_tnd.uFlags = 0;
  if (Shell_NotifyIconA(NIM_DELETE, &m_tnd)) {
    m_bHidden = TRUE;
    m_bRemoved = TRUE;
  }
}

LRESULT CALLBACK CSystemTray::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CSystemTray* tray = m_pThis;
  if (!tray || hwnd != tray->m_hWnd) return DefWindowProcA(hwnd, message, wParam, lParam);
  if (message == TaskbarCreatedMessage() ||
      (message == WM_SETTINGCHANGE && wParam == SPI_SETWORKAREA)) {
    tray->InstallIconPending();
    return 0;
  }
  if (message == tray->m_tnd.uCallbackMessage) return tray->OnTrayNotification(wParam, lParam);
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace zmdde
