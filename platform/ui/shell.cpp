#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/ui/shellapi.h"

namespace {

std::mutex g_lock;
std::map<std::pair<HWND, UINT>, orvui::TrayIconState> g_icons;

std::string Field(const CHAR* text, size_t capacity) {
  return std::string(text, strnlen(text, capacity));
}

void Show(const char* what, const std::string& text) {
  std::fprintf(stderr, "[tray] %s: %s\n", what, text.c_str());
}

}  // namespace

BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data) {
  if (!data || !IsWindow(data->hWnd)) return FALSE;
  const bool classic = data->cbSize < sizeof(NOTIFYICONDATAA);
  // The last byte of each field is its terminator, whatever the caller left there.
  const size_t tipCapacity = (classic ? 64 : sizeof data->szTip) - 1;
  const auto key = std::make_pair(data->hWnd, data->uID);
  std::lock_guard<std::mutex> g(g_lock);
  auto it = g_icons.find(key);
  switch (message) {
    case NIM_ADD:
      if (it != g_icons.end()) return FALSE;
      it = g_icons.emplace(key, orvui::TrayIconState{}).first;
      break;
    case NIM_MODIFY:
      if (it == g_icons.end()) return FALSE;
      break;
    case NIM_DELETE:
      if (it == g_icons.end()) return FALSE;
      Show("icon removed", it->second.tip);
      g_icons.erase(it);
      return TRUE;
    default:
      return FALSE;
  }
  orvui::TrayIconState& icon = it->second;
  if (data->uFlags & NIF_MESSAGE) icon.callbackMessage = data->uCallbackMessage;
  if (data->uFlags & NIF_ICON) icon.icon = data->hIcon;
  if (data->uFlags & NIF_TIP) {
    std::string tip = Field(data->szTip, tipCapacity);
    if (message == NIM_ADD || tip != icon.tip) Show("tooltip", tip);
    icon.tip = tip;
  } else if (message == NIM_ADD) {
    Show("icon added", "");
  }
  if (!classic && (data->uFlags & NIF_INFO)) {
    icon.lastBalloonTitle = Field(data->szInfoTitle, sizeof data->szInfoTitle - 1);
    icon.lastBalloon = Field(data->szInfo, sizeof data->szInfo - 1);
    if (!icon.lastBalloon.empty()) Show("balloon", icon.lastBalloonTitle + ": " + icon.lastBalloon);
  }
  return TRUE;
}

namespace orvui {

bool FindTrayIcon(HWND hwnd, UINT id, TrayIconState* state) {
  std::lock_guard<std::mutex> g(g_lock);
  auto it = g_icons.find({hwnd, id});
  if (it == g_icons.end()) return false;
  if (state) *state = it->second;
  return true;
}

size_t TrayIconCount() {
  std::lock_guard<std::mutex> g(g_lock);
  return g_icons.size();
}

bool ClickTrayIcon(HWND hwnd, UINT id, UINT mouseMessage) {
  UINT callback = 0;
  {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = g_icons.find({hwnd, id});
    if (it == g_icons.end()) return false;
    callback = it->second.callbackMessage;
  }
  return callback && PostMessageA(hwnd, callback, id, LPARAM(mouseMessage));
}

}  // namespace orvui
