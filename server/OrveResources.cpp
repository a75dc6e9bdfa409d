#include "server/OrveResources.h"

#include "platform/ui/dialogs.h"

void RegisterOrveResources() {
  orvui::RegisterIconResource(nullptr, 215);
  orvui::RegisterIconResource(nullptr, 216);
  orvui::RegisterMenuResource(nullptr, 204, {{"ORV_MENU", {{32769, "About"}, {32768, "Exit"}}}});
  orvui::RegisterDialogResource(
      nullptr, 205, {"About Zelmora SDK client", {"Zelmora SDK client\nbuild 1.0.2.1"}, IDOK});
}
