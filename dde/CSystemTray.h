// The program's icon in the notification area: its tooltip tells the
// connection state, its balloons carry every report of the bridge, and its
// right-click menu and double click drive the main window's commands.
#pragma once

#include "platform/ui/dialogs.h"
#include "platform/ui/shellapi.h"
#include "platform/ui/winuser.h"

namespace zmdde {

class CSystemTray {
 public:
  CSystemTray();
  virtual ~CSystemTray();

  CSystemTray(const CSystemTray&) = delete;
  CSystemTray& operator=(const CSystemTray&) = delete;

  // Non-zero when the icon was added, or when it was asked for hidden on a
  // shell without icon states.
  BOOL Create(HINSTANCE instance, HWND parent, UINT callbackMessage, LPCSTR tooltip, HICON icon,
              UINT id, BOOL hidden = FALSE, LPCSTR balloonText = nullptr,
              LPCSTR balloonTitle = nullptr, DWORD balloonIcon = NIIF_NONE,
              UINT balloonTimeout = 10);

  BOOL SetTooltipText(LPCSTR text);
  // Icon flags NIIF_NONE to NIIF_ERROR; an empty text with no icon takes
  // down the balloon being shown.
  BOOL ShowBalloon(LPCSTR text, LPCSTR title = nullptr, DWORD icon = NIIF_NONE,
                   UINT timeoutSeconds = 10);

  virtual LRESULT OnTrayNotification(WPARAM id, LPARAM mouseMessage);
  virtual void CustomizeMenu(HMENU menu);

  // Set by the program's shell while it is signed in.
  BOOL m_bConnected;

  // The one instance of the process, for the own window's procedure.
  static CSystemTray* Instance() { return m_pThis; }
  // The registered "TaskbarCreated" message.
  static UINT TaskbarCreatedMessage();

  const NOTIFYICONDATAA& IconData() const { return m_tnd; }
  HWND OwnWindow() const { return m_hWnd; }
  bool IsHidden() const { return m_bHidden; }
  bool IsRemoved() const { return m_bRemoved; }
  bool IsAddPending() const { return m_bShowIconPending; }
  bool BalloonsAvailable() const { return m_bWin2K; }

 protected:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  // The taskbar came back (or the work area changed): add an icon whose
  // add had failed.
  void InstallIconPending();
  void RemoveIcon();

  NOTIFYICONDATAA m_tnd;
  HINSTANCE m_hInstance;
  HWND m_hWnd;
  HWND m_hTargetWnd;
  BOOL m_bEnabled;
  BOOL m_bHidden;
  BOOL m_bRemoved;
  BOOL m_bShowIconPending;
  BOOL m_bWin2K;
  UINT m_DefaultMenuItemID;
  BOOL m_DefaultMenuItemByPos;
  UINT m_uCreationFlags;

  static CSystemTray* m_pThis;
};

}  // namespace zmdde
