// The bridge's reports go to the tray icon's balloons.
#include "dde/CDDEServer.h"

#if ORV_DDE_HAS_TRAY
#include "dde/CSystemTray.h"
#endif

namespace {
// Balloons stay up this long unless a newer one replaces them.
constexpr UINT kBalloonSeconds = 10;
}  // namespace

void CDDEServer::Balloon(const char* text, const char* title, DWORD icon) {
#if ORV_DDE_HAS_TRAY
  if (m_tray) m_tray->ShowBalloon(text, title, icon, kBalloonSeconds);
#else
  (void)text;
  (void)title;
  (void)icon;
  (void)kBalloonSeconds;
#endif
}
