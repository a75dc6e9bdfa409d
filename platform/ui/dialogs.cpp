#include "platform/ui/dialogs.h"

#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "platform/win/resource.h"

namespace {

struct Menu {
  std::vector<orvui::MenuPopup> popups;  // a loaded menu
  const orvui::MenuPopup* popup = nullptr;  // or one popup of its parent
  std::shared_ptr<Menu> parent;
  std::set<size_t> disabled;  // positions of greyed or disabled items
  std::map<size_t, UINT> states;
  int defaultPosition = -1;
};

// The position of an item of a loaded popup, or -1.
int ItemPosition(const Menu& m, UINT item, UINT flags) {
  if (!m.popup) return -1;
  const auto& items = m.popup->items;
  if (flags & MF_BYPOSITION) return item < items.size() ? int(item) : -1;
  for (size_t i = 0; i < items.size(); ++i)
    if (items[i].command == item && item != 0) return int(i);
  return -1;
}

struct Resources {
  std::mutex lock;
  std::set<std::pair<HINSTANCE, UINT>> icons;
  std::map<std::pair<HINSTANCE, UINT>, std::vector<orvui::MenuPopup>> menus;
  std::map<std::pair<HINSTANCE, UINT>, orvui::DialogTemplate> dialogs;
  std::map<HMENU, std::shared_ptr<Menu>> loaded;
  std::deque<UINT> choices;
  size_t menusShown = 0;
  ULONG_PTR nextMenu = 0x2000;
};

Resources& Res() {
  static Resources* resources = new Resources;
  return *resources;
}

HINSTANCE Module(HINSTANCE instance) {
  return instance ? instance : reinterpret_cast<HINSTANCE>(GetModuleHandleA(nullptr));
}

bool Numbered(LPCSTR name, UINT* id) {
  if (!name || !IS_INTRESOURCE(name)) return false;
  *id = UINT(reinterpret_cast<ULONG_PTR>(name));
  return true;
}

// The dialog being run by each DialogBoxParamA on the stack, with its result.
struct RunningDialog {
  HWND hwnd;
  DLGPROC proc;
  bool ended;
  INT_PTR result;
};
thread_local std::vector<RunningDialog*> t_dialogs;

RunningDialog* FindDialog(HWND hwnd) {
  for (RunningDialog* d : t_dialogs)
    if (d->hwnd == hwnd) return d;
  return nullptr;
}

LRESULT DialogWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  RunningDialog* d = FindDialog(hwnd);
  if (!d || message == WM_CREATE) return 0;
  return LRESULT(d->proc(hwnd, message, wParam, lParam));
}

const char kDialogClass[] = "#32770";

}  // namespace

namespace orvui {

void RegisterIconResource(HINSTANCE module, UINT id) {
  std::lock_guard<std::mutex> g(Res().lock);
  Res().icons.insert({Module(module), id});
}

void RegisterMenuResource(HINSTANCE module, UINT id, const std::vector<MenuPopup>& popups) {
  std::lock_guard<std::mutex> g(Res().lock);
  Res().menus[{Module(module), id}] = popups;
}

void RegisterDialogResource(HINSTANCE module, UINT id, const DialogTemplate& dialog) {
  std::lock_guard<std::mutex> g(Res().lock);
  Res().dialogs[{Module(module), id}] = dialog;
}

void QueueMenuChoice(UINT command) {
  std::lock_guard<std::mutex> g(Res().lock);
  Res().choices.push_back(command);
}

size_t PopupMenusShown() {
  std::lock_guard<std::mutex> g(Res().lock);
  return Res().menusShown;
}

}  // namespace orvui

HICON LoadIconA(HINSTANCE instance, LPCSTR name) {
  UINT id = 0;
  std::lock_guard<std::mutex> g(Res().lock);
  if (!Numbered(name, &id) || !Res().icons.count({Module(instance), id})) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  // Shared icons, as loaded icons are: the id is the handle's identity.
  return reinterpret_cast<HICON>(ULONG_PTR(0x10000) + id);
}

HMENU LoadMenuA(HINSTANCE instance, LPCSTR name) {
  UINT id = 0;
  std::lock_guard<std::mutex> g(Res().lock);
  auto it = Res().menus.end();
  if (Numbered(name, &id)) it = Res().menus.find({Module(instance), id});
  if (it == Res().menus.end()) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  auto menu = std::make_shared<Menu>();
  menu->popups = it->second;
  HMENU handle = reinterpret_cast<HMENU>(Res().nextMenu);
  Res().nextMenu += 4;
  Res().loaded[handle] = menu;
  return handle;
}

HMENU GetSubMenu(HMENU menu, int position) {
  std::lock_guard<std::mutex> g(Res().lock);
  auto it = Res().loaded.find(menu);
  if (it == Res().loaded.end() || it->second->popup || position < 0 ||
      size_t(position) >= it->second->popups.size())
    return nullptr;
  auto sub = std::make_shared<Menu>();
  sub->popup = &it->second->popups[size_t(position)];
  sub->parent = it->second;
  HMENU handle = reinterpret_cast<HMENU>(Res().nextMenu);
  Res().nextMenu += 4;
  Res().loaded[handle] = sub;
  return handle;
}

BOOL DestroyMenu(HMENU menu) {
  std::lock_guard<std::mutex> g(Res().lock);
  auto it = Res().loaded.find(menu);
  if (it == Res().loaded.end()) return FALSE;
  std::shared_ptr<Menu> gone = it->second;
  Res().loaded.erase(it);
  // Its popups go with it.
  for (auto sub = Res().loaded.begin(); sub != Res().loaded.end();)
    sub = sub->second->parent == gone ? Res().loaded.erase(sub) : std::next(sub);
  return TRUE;
}

UINT EnableMenuItem(HMENU menu, UINT item, UINT enable) {
  std::lock_guard<std::mutex> g(Res().lock);
  auto it = Res().loaded.find(menu);
  int pos = it == Res().loaded.end() ? -1 : ItemPosition(*it->second, item, enable);
  if (pos < 0) return UINT(-1);
  Menu& m = *it->second;
  UINT previous = m.states.count(size_t(pos)) ? m.states[size_t(pos)] : MF_ENABLED;
  UINT state = enable & (MF_GRAYED | MF_DISABLED);
  m.states[size_t(pos)] = state;
  if (state) m.disabled.insert(size_t(pos));
  else m.disabled.erase(size_t(pos));
  return previous;
}

UINT GetMenuState(HMENU menu, UINT item, UINT flags) {
  std::lock_guard<std::mutex> g(Res().lock);
  auto it = Res().loaded.find(menu);
  int pos = it == Res().loaded.end() ? -1 : ItemPosition(*it->second, item, flags);
  if (pos < 0) return UINT(-1);
  const Menu& m = *it->second;
  auto state = m.states.find(size_t(pos));
  UINT result = state == m.states.end() ? MF_ENABLED : state->second;
  if (m.defaultPosition == pos) result |= MF_DEFAULT;
  return result;
}

BOOL SetMenuDefaultItem(HMENU menu, UINT item, UINT byPosition) {
  std::lock_guard<std::mutex> g(Res().lock);
  auto it = Res().loaded.find(menu);
  int pos = it == Res().loaded.end()
                ? -1
                : ItemPosition(*it->second, item, byPosition ? MF_BYPOSITION : MF_BYCOMMAND);
  if (pos < 0) return FALSE;
  it->second->defaultPosition = pos;
  return TRUE;
}

UINT GetMenuItemID(HMENU menu, int position) {
  std::lock_guard<std::mutex> g(Res().lock);
  auto it = Res().loaded.find(menu);
  if (it == Res().loaded.end() || !it->second->popup || position < 0 ||
      size_t(position) >= it->second->popup->items.size())
    return UINT(-1);
  return it->second->popup->items[size_t(position)].command;
}

BOOL TrackPopupMenu(HMENU menu, UINT flags, int, int, int, HWND owner, const RECT*) {
  UINT chosen = 0;
  {
    std::lock_guard<std::mutex> g(Res().lock);
    auto it = Res().loaded.find(menu);
    if (it == Res().loaded.end() || !it->second->popup || !IsWindow(owner)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    ++Res().menusShown;
    std::string items;
    const Menu& shown = *it->second;
    for (size_t i = 0; i < shown.popup->items.size(); ++i)
      items += (items.empty() ? "" : ", ") + shown.popup->items[i].text +
               (shown.disabled.count(i) ? " (greyed)" : "");
    std::fprintf(stderr, "[menu] %s: %s\n", it->second->popup->name.c_str(), items.c_str());
    if (!Res().choices.empty()) {
      chosen = Res().choices.front();
      Res().choices.pop_front();
    }
    bool known = false;
    // A greyed item cannot be chosen.
    for (size_t i = 0; i < shown.popup->items.size(); ++i)
      known |= shown.popup->items[i].command == chosen && !shown.disabled.count(i);
    if (!known) chosen = 0;
  }
  if (flags & TPM_RETURNCMD) return BOOL(chosen);
  if (chosen && !(flags & TPM_NONOTIFY)) PostMessageA(owner, WM_COMMAND, chosen, 0);
  return chosen != 0;
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
  std::fprintf(stderr, "[%s] %s\n", caption ? caption : "Error", text ? text : "");
  static const int kButtons[][3] = {
      {IDOK, IDOK, IDOK},           {IDOK, IDCANCEL, IDCANCEL}, {IDABORT, IDRETRY, IDIGNORE},
      {IDYES, IDNO, IDCANCEL},      {IDYES, IDNO, IDNO},        {IDRETRY, IDCANCEL, IDCANCEL}};
  UINT kind = type & 0x0F;
  if (kind > 5) kind = 0;
  UINT which = (type & MB_DEFBUTTON3) ? 2 : (type & MB_DEFBUTTON2) ? 1 : 0;
  return kButtons[kind][which];
}

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC dialogProc,
                        LPARAM initParam) {
  orvui::DialogTemplate dialog;
  {
    UINT id = 0;
    std::lock_guard<std::mutex> g(Res().lock);
    auto it = Res().dialogs.end();
    if (Numbered(templateName, &id)) it = Res().dialogs.find({Module(instance), id});
    if (it == Res().dialogs.end() || !dialogProc) {
      SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
      return -1;
    }
    dialog = it->second;
  }
  static std::once_flag registered;
  std::call_once(registered, [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = DialogWindowProc;
    wc.lpszClassName = kDialogClass;
    RegisterClassA(&wc);
  });
  HWND hwnd = CreateWindowExA(0, kDialogClass, dialog.caption.c_str(), WS_POPUP, 0, 0, 0, 0, owner,
                              nullptr, instance, nullptr);
  if (!hwnd) return -1;
  RunningDialog running{hwnd, dialogProc, false, 0};
  t_dialogs.push_back(&running);

  std::string texts;
  for (const std::string& t : dialog.texts) texts += (texts.empty() ? "" : " | ") + t;
  std::fprintf(stderr, "[%s] %s\n", dialog.caption.c_str(), texts.c_str());
  dialogProc(hwnd, WM_INITDIALOG, 0, initParam);
  if (!running.ended && dialog.defaultButton)
    PostMessageA(hwnd, WM_COMMAND, WPARAM(dialog.defaultButton), 0);

  MSG msg;
  bool quit = false;
  int quitCode = 0;
  while (!running.ended) {
    if (!GetMessageA(&msg, nullptr, 0, 0)) {
      quit = true;
      quitCode = int(msg.wParam);
      break;
    }
    DispatchMessageA(&msg);
  }
  t_dialogs.pop_back();
  DestroyWindow(hwnd);
  // The loop that called us must see the quit too.
  if (quit) PostQuitMessage(quitCode);
  return quit ? 0 : running.result;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  RunningDialog* d = FindDialog(dialog);
  if (!d) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  d->ended = true;
  d->result = result;
  return TRUE;
}
