#include "dde/ZmDDEShell.h"

#include <atomic>
#include <cstring>
#include <string>

#include "platform/com/runtime.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/login_prompt.h"
#include "platform/win/folders.h"
#include "platform/win/profile.h"
#include "platform/win/resource.h"
#include "platform/win/sync.h"

namespace zmdde {

const char kZmDDEInstanceMutex[] = "98FAA468-856C-47E7-A013-C4E46C9D5A8D";

namespace {

const char kIniSection[] = "Main";
const char kTipNotConnected[] = "DDE server. Status: not connected.";
const char kTipConnected[] = "DDE server. Status: connected.";
const char kTipDisconnected[] = "DDE server. Status: disconnected.";
// What the dialog's edit fields take.
const size_t kMaxCredentialChars = 29;
const DWORD kIniValueSize = 256;

CSystemTray g_tray;

HINSTANCE g_hInstance = nullptr;
std::atomic<HWND> g_hMainWnd{nullptr};
std::string g_iniPath;
std::string g_storedUser, g_storedPassword;
// The stored values came from the futures keys, so "Username" and
// "Password" in the file do not hold them yet.
bool g_storedFromFutures = false;
std::string g_enteredUser, g_enteredPassword;
std::unique_ptr<IShellServer> g_server;
ShellServerFactory g_serverFactory;
std::string g_loginTerminal;
bool g_loginTerminalSet = false;
UINT g_reconnectFirstMs = 1000;
UINT g_reconnectMaxMs = 30000;
UINT g_reconnectPauseMs = 1000;

std::string ReadIni(const char* key) {
  char value[kIniValueSize] = "";
  GetPrivateProfileStringA(kIniSection, key, "", value, kIniValueSize, g_iniPath.c_str());
  return value;
}

void WriteIni(const char* key, const std::string& value) {
  if (!g_iniPath.empty())
    WritePrivateProfileStringA(kIniSection, key, value.c_str(), g_iniPath.c_str());
}

// Dialog 104: asked on the terminal, filled with the last entered values.
INT_PTR RunLoginDialog() {
  orvui::LoginPrompt prompt{"Login", "User name:", "Password:", kMaxCredentialChars};
  return orvui::PromptLogin(prompt, &g_enteredUser, &g_enteredPassword,
                            g_loginTerminalSet ? g_loginTerminal.c_str() : nullptr);
}

void MarkConnected() {
  g_tray.m_bConnected = TRUE;
  g_tray.SetTooltipText(kTipConnected);
}

// One try at a new server; a failed one sets the next after the pause,
// which grows with every failure.
void TryReconnect(HWND hwnd) {
  KillTimer(hwnd, kReconnectTimer);
  if (!g_server) return;
  if (g_server->Reconnect()) {
    MarkConnected();
    return;
  }
  SetTimer(hwnd, kReconnectTimer, g_reconnectPauseMs, nullptr);
  g_reconnectPauseMs = g_reconnectPauseMs > g_reconnectMaxMs / 2 ? g_reconnectMaxMs : g_reconnectPauseMs * 2;
}

void OnServerLost(HWND hwnd) {
  // Shown once per loss; the tries that follow are silent.
  g_tray.m_bConnected = FALSE;
  g_tray.SetTooltipText(kTipNotConnected);
  g_tray.ShowBalloon("Connection to Orv lost; reconnecting", "ZmDDE", NIIF_WARNING);
  g_reconnectPauseMs = g_reconnectFirstMs;
  TryReconnect(hwnd);
}

}  // namespace

void RegisterZmDDEResources(HINSTANCE instance) {
  static const orvwin::StringResource kStrings[] = {{IDS_WINDOW_CLASS, "ZmDDEClass"}};
  orvwin::RegisterStringResources(instance, kStrings, 1);
  orvui::RegisterIconResource(instance, IDI_MAIN);
  orvui::RegisterIconResource(instance, IDI_TRAY);
  orvui::RegisterMenuResource(instance, IDM_TRAY_MENU,
                              {{"ZmDDE", {{ID_APP_CONNECT, "Connect"},
                                          {ID_APP_DISCONNECT, "Disconnect"},
                                          {0, ""},
                                          {ID_APP_EXIT, "Exit"}}}});
}

void SetReconnectPauses(UINT firstMs, UINT maxMs) {
  g_reconnectFirstMs = firstMs;
  g_reconnectMaxMs = maxMs < firstMs ? firstMs : maxMs;
}

void SetShellServerFactory(ShellServerFactory factory) { g_serverFactory = std::move(factory); }

void SetLoginTerminal(const char* path) {
  g_loginTerminalSet = path != nullptr;
  g_loginTerminal = path ? path : "";
}

CSystemTray& TheSystemTray() { return g_tray; }
HWND ZmDDEMainWindow() { return g_hMainWnd.load(); }

BOOL InitMainWindow(HINSTANCE instance) {
  char className[100] = "";
  LoadStringA(instance, IDS_WINDOW_CLASS, className, sizeof(className));
  HWND hwnd = CreateWindowExA(0, className, "", WS_OVERLAPPED, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
  if (!hwnd) return FALSE;
  g_hMainWnd = hwnd;
  HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_TRAY));
  return g_tray.Create(instance, hwnd, WM_TRAY_NOTIFY, kTipNotConnected, icon, IDM_TRAY_MENU,
                       FALSE, nullptr, nullptr, NIIF_NONE, 10);
}

int Login() {
  if (!g_storedUser.empty() && !g_storedPassword.empty()) {
    g_enteredUser = g_storedUser;
    g_enteredPassword = g_storedPassword;
  } else if (RunLoginDialog() != IDOK) {
    return 0;
  }

  // Only a complete pair is worth keeping: writing back half of one would
  // blank the credentials the ini file already holds.
  bool remember = !g_enteredUser.empty() && !g_enteredPassword.empty();
  std::string user = g_enteredUser, password = g_enteredPassword;

  try {
    if (!g_server) _com_issue_error(E_FAIL);
    g_server->ConnectToServer(_bstr_t(user.c_str()), _bstr_t(password.c_str()));
  } catch (const _com_error& e) {
    _bstr_t description = e.Description();
    _bstr_t source = e.Source();
    std::string text = "\n";
    text += description.length() ? static_cast<const char*>(description) : e.ErrorMessage();
    if (source.length()) {
      text += "\n";
      text += static_cast<const char*>(source);
    }
    MessageBoxA(nullptr, text.c_str(), "Unable connect to Orv", MB_ICONWARNING);
    return 0;
  }

  if (remember) {
    if (user != g_storedUser || g_storedFromFutures) {
      g_storedUser = user;
      WriteIni("Username", g_storedUser);
    }
    if (password != g_storedPassword || g_storedFromFutures) {
      g_storedPassword = password;
      WriteIni("Password", g_storedPassword);
    }
    g_storedFromFutures = false;
  }
  return 1;
}

LRESULT CALLBACK MainWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_TIMER:
      if (!g_server) return 0;
      if (wParam == kReconnectTimer)
        TryReconnect(hwnd);
      else if (wParam == kAdviseTimer)
        g_server->PostAdvises();
      else
        g_server->RefreshAll();
      return 0;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case ID_APP_EXIT:
          DestroyWindow(hwnd);
          return 0;
        case ID_APP_CONNECT:
          KillTimer(hwnd, kReconnectTimer);
          // Emptied so that the dialog is shown.
          g_storedUser.clear();
          g_storedPassword.clear();
          g_storedFromFutures = false;
          if (Login()) MarkConnected();
          return 0;
        case ID_APP_DISCONNECT:
          KillTimer(hwnd, kReconnectTimer);
          if (g_server) g_server->DisconnectServer();
          g_tray.m_bConnected = FALSE;
          g_tray.SetTooltipText(kTipDisconnected);
          return 0;
        default:
          return DefWindowProcA(hwnd, message, wParam, lParam);
      }
    case WM_DESTROY:
      g_hMainWnd = nullptr;
      PostQuitMessage(0);
      return 0;
    case WM_TRAY_NOTIFY:
      return g_tray.OnTrayNotification(wParam, lParam);
    case WM_SERVER_LOST:
      OnServerLost(hwnd);
      return 0;
    default:
      return DefWindowProcA(hwnd, message, wParam, lParam);
  }
}

int ZmDDEWinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  g_hInstance = instance;
  if (HANDLE running = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, kZmDDEInstanceMutex)) {
    CloseHandle(running);
    MessageBoxA(nullptr, "Another instance of ZmDDE.exe is already running.\n", "Error",
                MB_ICONWARNING);
    return -1;
  }
  HANDLE mutex = CreateMutexA(nullptr, TRUE, kZmDDEInstanceMutex);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);

  // Whatever start-up got to is undone on every way out, so that nothing
  // signed in or listening outlives the program's own end.
  auto teardown = [&mutex] {
    if (HWND hwnd = g_hMainWnd.load()) {
      KillTimer(hwnd, kAdviseTimer);
      KillTimer(hwnd, kRefreshTimer);
      KillTimer(hwnd, kReconnectTimer);
    }
    if (g_server) g_server->SetServerLostNotice(nullptr);
    if (mutex) CloseHandle(mutex);
    mutex = nullptr;
    try {
      g_server.reset();
    } catch (const _com_error&) {
      // Signing out of a server that has gone away has nothing to report.
    }
    if (HWND hwnd = g_hMainWnd.exchange(nullptr)) DestroyWindow(hwnd);
    CoUninitialize();
  };

  char className[100] = "";
  LoadStringA(instance, IDS_WINDOW_CLASS, className, sizeof(className));
  WNDCLASSA wc{};
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = MainWndProc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_MAIN));
  wc.lpszClassName = className;
  RegisterClassA(&wc);

  g_enteredUser.clear();
  g_enteredPassword.clear();
  g_storedUser.clear();
  g_storedPassword.clear();
  g_iniPath.clear();
  g_tray.m_bConnected = FALSE;

  if (!InitMainWindow(instance)) {
    teardown();
    return 0;
  }

  std::string folder = orvwin::UserDataFolder();
  if (!folder.empty()) g_iniPath = folder + "orv.ini";
  g_storedUser = ReadIni("Username");
  g_storedPassword = ReadIni("Password");
  g_storedFromFutures = false;
  if (g_storedUser.empty()) {
    g_storedUser = ReadIni("FutUsername");
    g_storedPassword = ReadIni("FutPassword");
    g_storedFromFutures = true;
  }

  if (g_serverFactory) g_server = g_serverFactory(&g_tray);
  if (!g_server) {
    MessageBoxA(nullptr, "The DDE server could not be created.", "Error", MB_ICONERROR);
    teardown();
    return 0;
  }

  g_server->SetServerLostNotice([] {
    if (HWND hwnd = g_hMainWnd.load()) PostMessageA(hwnd, WM_SERVER_LOST, 0, 0);
  });
  if (Login()) MarkConnected();

  if (!g_server->StartDde()) {
    teardown();
    return 0;
  }

  HWND hwnd = g_hMainWnd.load();
  SetTimer(hwnd, kAdviseTimer, kAdviseTimerMs, nullptr);
  SetTimer(hwnd, kRefreshTimer, kRefreshTimerMs, nullptr);

  MSG msg{};
  while (GetMessageA(&msg, nullptr, 0, 0)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }

  teardown();
  return int(msg.wParam);
}

}  // namespace zmdde
