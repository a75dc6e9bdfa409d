// The bridge's reports go to the tray icon's balloons.
#include "dde/CDDEServer.h"

#if __has_include("dde/CSystemTray.h")
#include "dde/CSystemTray.h"
#define ORV_DDE_HAS_TRAY 1
#endif

namespace {
// Balloons stay up this long unless a newer one replaces them.
constexpr UINT kBalloonSeconds = 10;
}  // namespace

void CDDEServer::Balloon(const char* text, const char* title, DWORD icon) {
#ifdef ORV_DDE_HAS_TRAY
  if (m_tray) m_tray->ShowBalloon(text, title, icon, kBalloonSeconds);
#else
  (void)text;
  (void)title;
  (void)icon;
  (void)kBalloonSeconds;
#endif
}
