#include "server/CShellIconHelper.h"

#include <cstring>

#include "server/CAboutDlg.h"
#include "server/OrveProcess.h"

namespace {
const char kWindowClass[] = "OrvShellIconWindow";
}

CShellIconHelper& ShellIcon() {
  static CShellIconHelper icon;
  return icon;
}

CShellIconHelper::~CShellIconHelper() {
  // Windows belong to the thread that made them; at process exit the
  // main thread is the one destroying this object.
  if (m_hWnd && IsWindow(m_hWnd)) Destroy();
}

BOOL CShellIconHelper::NotifyIcon(DWORD operation) {
  NOTIFYICONDATAA data;
  std::memset(&data, 0, sizeof data);
  data.cbSize = NOTIFYICONDATAA_V1_SIZE;
  data.hWnd = m_hWnd;
  data.uID = 0;
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = kNotifyMessage;
  data.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(m_iconId));
  // The classic record holds 63 characters and the terminating zero.
  std::strncpy(data.szTip, m_tooltip.c_str(), 63);
  data.szTip[63] = 0;
  return Shell_NotifyIconA(operation, &data);
}

LRESULT CShellIconHelper::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    return 0;
  }
  auto* self = reinterpret_cast<CShellIconHelper*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  return self ? self->ProcessWindowMessage(hwnd, message, wParam, lParam)
              : DefWindowProcA(hwnd, message, wParam, lParam);
}

HRESULT CShellIconHelper::Create() {
  static const bool registered = [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = &CShellIconHelper::WindowProc;
    wc.lpszClassName = kWindowClass;
    return RegisterClassA(&wc) != 0;
  }();
  (void)registered;
  m_hWnd = CreateWindowExA(0, kWindowClass, "ShellIconHiddenWindow", WS_POPUP, 0, 0, 0, 0, nullptr,
                           nullptr, nullptr, this);
  if (!m_hWnd) return HRESULT_FROM_WIN32(GetLastError());
  NotifyIcon(NIM_ADD);
  return S_OK;
}

void CShellIconHelper::Destroy() {
  NotifyIcon(NIM_DELETE);
  if (m_hWnd) {
    DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
  }
}

void CShellIconHelper::SetTooltipText(const std::string& text) {
  m_tooltip = text;
  NotifyIcon(NIM_MODIFY);
}

void CShellIconHelper::SetIcon(WORD iconId) {
  m_iconId = iconId;
  NotifyIcon(NIM_MODIFY);
}

void CShellIconHelper::SetAnimation(bool on, WORD interval) {
  if (m_timerId) {
    KillTimer(m_hWnd, m_timerId);
    m_timerId = 0;
  }
  if (on && m_hWnd) m_timerId = SetTimer(m_hWnd, 1, interval, nullptr);
  m_interval = interval;
  m_bAnimating = on;
}

void CShellIconHelper::ShowIcon(bool show) {
  if (show) {
    if (!m_bVisible) Create();
    SetAnimation(m_bAnimating, m_interval);
  } else if (m_bVisible) {
    if (m_bAnimating && m_timerId) {
      KillTimer(m_hWnd, m_timerId);
      m_timerId = 0;
    }
    Destroy();
  }
  m_bVisible = show;
}

UINT CShellIconHelper::ShowPopupMenu(WORD menuId) {
  HMENU menu = LoadMenuA(nullptr, MAKEINTRESOURCEA(menuId));
  if (!menu) return 0;
  HMENU popup = GetSubMenu(menu, 0);
  UINT command = 0;
  if (popup) {
    POINT at{};
    GetCursorPos(&at);
    SetForegroundWindow(m_hWnd);
    command = UINT(TrackPopupMenu(popup, TPM_RIGHTBUTTON | TPM_RETURNCMD, at.x, at.y, 0, m_hWnd,
                                  nullptr));
    // Lets the menu close when the user clicks elsewhere.
    PostMessageA(m_hWnd, WM_NULL, 0, 0);
  }
  DestroyMenu(menu);
  return command;
}

LRESULT CShellIconHelper::ProcessWindowMessage(HWND hwnd, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
  if (message == kNotifyMessage) return OnNotifyIcon(lParam);
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

LRESULT CShellIconHelper::OnNotifyIcon(LPARAM mouseMessage) {
  if (mouseMessage != WM_RBUTTONUP) return 0;
  switch (ShowPopupMenu(kMenuId)) {
    case kCommandAbout:
      CAboutDlg::DoModal(GetActiveWindow());
      break;
    case kCommandExit:
      ShowIcon(false);
      if (m_exitHook) m_exitHook(false);
      KillProcessByName("ORVE.exe", false);
      break;
    default:
      break;
  }
  return 0;
}
