// The bridge's reports go to the tray icon's balloons.
#include <string>

#include "dde/CDDEServer.h"
#include "dde/CSystemTray.h"

namespace zmdde {

namespace {
// Balloons stay up this long unless a newer one replaces them.
constexpr UINT kBalloonSeconds = 10;

const char* KindName(DataTypeEnum kind) {
  switch (kind) {
    case enStockData: return "stock";
    case enOptionData: return "option";
    case enNstdOptionData: return "non-standard option";
    case enFutureData: return "future";
    case enFutureOptionData: return "future option";
    case enIVIndexData: return "IV index";
    case enIVSurfaceData: return "IV surface";
    case enFutIVIndexData: return "future IV index";
    case enFutIVSurfaceData: return "future IV surface";
    case enIVATMData: return "ATM volatility";
    default: return "data";
  }
}
}  // namespace

void CDDEServer::ShowNotFound(const SubscriptionRequest& request, const _com_error& error) {
  // The server's text for a name it has no record of.
  using orvcom::Narrow;
  if (Narrow(error.Description()).find("Not found") == std::string::npos) return;
  const std::string text = std::string("No ") + KindName(request.kind) + " " +
                           Narrow(request.symbol) + " at the service: not found";
  ClearBalloon();
  Balloon(text.c_str(), "Subscribe", NIIF_WARNING);
}

void CDDEServer::Balloon(const char* text, const char* title, DWORD icon) {
  if (m_tray) m_tray->ShowBalloon(text, title, icon, kBalloonSeconds);
}

}  // namespace zmdde
