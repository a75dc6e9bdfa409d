#include <cstdio>
#include <cstring>
#include <string>

#include "dde/ZmDDEShell.h"
#include "platform/win/process.h"
#include "platform/win/resource.h"

namespace {

const char kUsage[] =
    "usage: ZmDDE\n"
    "       ZmDDE --help\n"
    "\n"
    "Serves the market data of ORVE to spreadsheets and other programs by DDE,\n"
    "under the service name ZmDDE: the topic is an instrument's symbol, the item a\n"
    "field name (StckPrice, Bid, FutPrice, ...) or a parametrised volatility\n"
    "item (CALL_IVX_T30, PUT_IVS_T60O5_IV, ...). ORVE is started on the first sign-in.\n"
    "\n"
    "It signs in with Username and Password (else FutUsername and FutPassword) of\n"
    "section Main of orv.ini in the user data folder (\"$USERPROFILE/Application\n"
    "Data/Orv/\", else ${XDG_DATA_HOME:-$HOME/.local/share}/Orv/). Without them it\n"
    "asks on the terminal; with no terminal it stays unconnected. Its tray icon,\n"
    "menu and message boxes are lines on standard error. It runs until it is\n"
    "ended (Ctrl-C or a signal).\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  // Every DDE conversation is a socket of its own.
  orvwin::RaiseDescriptorLimit();
  HINSTANCE instance = GetModuleHandleA(nullptr);
  zmdde::RegisterZmDDEResources(instance);
  zmdde::SetShellServerFactory(zmdde::MakeDDEServer);
  std::string commandLine;
  for (int i = 1; i < argc; ++i) commandLine += (i > 1 ? " " : "") + std::string(argv[i]);
  return zmdde::ZmDDEWinMain(instance, nullptr, &commandLine[0], 0);
}
