// The server's icon in the notification area: a hidden window on the main
// thread receives the icon's messages; a right click offers "About" and
// "Exit".
#pragma once

#include <string>

#include "platform/ui/dialogs.h"
#include "platform/ui/shellapi.h"

class CShellIconHelper {
 public:
  CShellIconHelper() = default;
  virtual ~CShellIconHelper();
  CShellIconHelper(const CShellIconHelper&) = delete;
  CShellIconHelper& operator=(const CShellIconHelper&) = delete;

  virtual LRESULT ProcessWindowMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  virtual void OnFinalMessage(HWND) {}
  virtual HRESULT Create();
  virtual void Destroy();
  virtual void SetTooltipText(const std::string& text);
  virtual void SetIcon(WORD iconId);
  virtual void SetAnimation(bool on, WORD interval);
  virtual void ShowIcon(bool show);
  virtual UINT ShowPopupMenu(WORD menuId);

  // What "Exit" runs before ending every running copy: the main object's
  // stop hook.
  void SetExitHook(void (*stopHook)(bool)) { m_exitHook = stopHook; }

  HWND Window() const { return m_hWnd; }
  bool IsVisible() const { return m_bVisible; }
  const std::string& Tooltip() const { return m_tooltip; }
  WORD IconId() const { return m_iconId; }

  static const UINT kNotifyMessage = WM_USER;
  static const WORD kMenuId = 204;
  static const UINT kCommandAbout = 32769;
  static const UINT kCommandExit = 32768;

 private:
  BOOL NotifyIcon(DWORD operation);
  LRESULT OnNotifyIcon(LPARAM mouseMessage);
  static LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  HWND m_hWnd = nullptr;
  bool m_bVisible = false;
  bool m_bAnimating = false;
  UINT_PTR m_timerId = 0;
  WORD m_interval = 0;
  WORD m_iconId = 0;
  std::string m_tooltip;
  void (*m_exitHook)(bool) = nullptr;
};

// The one icon of the process.
CShellIconHelper& ShellIcon();
