// The bridge's reports go to the tray icon's balloons.
#include "dde/CDDEServer.h"
#include "dde/CSystemTray.h"

namespace zmdde {

namespace {
// Balloons stay up this long unless a newer one replaces them.
constexpr UINT kBalloonSeconds = 10;
}  // namespace

void CDDEServer::Balloon(const char* text, const char* title, DWORD icon) {
  if (m_tray) m_tray->ShowBalloon(text, title, icon, kBalloonSeconds);
}

}  // namespace zmdde
