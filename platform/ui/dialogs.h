// Icons, popup menus, message boxes and modal dialogs from a module's
// compiled-in resources.
//
// Nothing here waits for a person. A message box writes its caption and
// text as a line on standard error and answers its default button. A
// popup menu is answered by the next choice queued with
// orvui::QueueMenuChoice (0, dismissed, when none is queued). A modal
// dialog writes its caption and texts, then presses its default button,
// and runs its own message loop (other windows' messages go on being
// dispatched) until the dialog procedure ends it.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/winuser.h"

#define TPM_LEFTALIGN 0x0000
#define TPM_RIGHTBUTTON 0x0002
#define TPM_NONOTIFY 0x0080
#define TPM_RETURNCMD 0x0100

#define MF_ENABLED 0x00000000
#define MF_GRAYED 0x00000001
#define MF_DISABLED 0x00000002
#define MF_BYCOMMAND 0x00000000
#define MF_BYPOSITION 0x00000400
#define MF_DEFAULT 0x00001000

#define MB_OK 0x00000000
#define MB_OKCANCEL 0x00000001
#define MB_ABORTRETRYIGNORE 0x00000002
#define MB_YESNOCANCEL 0x00000003
#define MB_YESNO 0x00000004
#define MB_RETRYCANCEL 0x00000005
#define MB_ICONERROR 0x00000010
#define MB_ICONWARNING 0x00000030
#define MB_ICONINFORMATION 0x00000040
#define MB_DEFBUTTON2 0x00000100
#define MB_DEFBUTTON3 0x00000200

#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7

namespace orvui {

struct MenuItem {
  UINT command;
  std::string text;
};
struct MenuPopup {
  std::string name;
  std::vector<MenuItem> items;
};
struct DialogTemplate {
  std::string caption;
  std::vector<std::string> texts;  // static texts, in order
  int defaultButton;               // pressed once the dialog is up
};

// A module's resources, registered at its start-up (later ones of an id win).
void RegisterIconResource(HINSTANCE module, UINT id);
void RegisterMenuResource(HINSTANCE module, UINT id, const std::vector<MenuPopup>& popups);
void RegisterDialogResource(HINSTANCE module, UINT id, const DialogTemplate& dialog);

// The command the next TrackPopupMenu answers; choices are used in order.
void QueueMenuChoice(UINT command);
// How many menus were shown so far.
size_t PopupMenusShown();

}  // namespace orvui

// Null instance: the program. Only numbered resources (MAKEINTRESOURCEA).
HICON LoadIconA(HINSTANCE instance, LPCSTR name);
HMENU LoadMenuA(HINSTANCE instance, LPCSTR name);
HMENU GetSubMenu(HMENU menu, int position);
BOOL DestroyMenu(HMENU menu);
// Item state of a popup (by command or, with MF_BYPOSITION, by position):
// a greyed or disabled item cannot be chosen. EnableMenuItem answers the
// previous state, GetMenuState the current one; -1 (as UINT) when there is
// no such item.
UINT EnableMenuItem(HMENU menu, UINT item, UINT enable);
UINT GetMenuState(HMENU menu, UINT item, UINT flags);
BOOL SetMenuDefaultItem(HMENU menu, UINT item, UINT byPosition);
// The command of the item at a position, 0 for a separator, -1 for none.
UINT GetMenuItemID(HMENU menu, int position);
// Answers the chosen command with TPM_RETURNCMD; without it the command
// is posted to the owner as WM_COMMAND and the answer is whether there
// was one.
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner,
                    const RECT* rect);

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC dialogProc,
                        LPARAM initParam);
BOOL EndDialog(HWND dialog, INT_PTR result);
