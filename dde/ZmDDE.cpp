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
    "field name (StckPrice or StckBid of a stock, Bid or IV of an option, FutPrice\n"
    "of a future, ...) or a parametrised volatility item (CALL_IVX_T30,\n"
    "PUT_IVS_T30O10_IV, ...). An advise link subscribes its symbol and gets a value\n"
    "whenever it changes, at most every 5 seconds; a request answers only for a\n"
    "symbol that a link holds. ORVE is started on the first sign-in.\n"
    "\n"
    "It signs in with Username and Password (else FutUsername and FutPassword) of\n"
    "section Main of orv.ini in the user data folder (\"$USERPROFILE/Application\n"
    "Data/Orv/\", else ${XDG_DATA_HOME:-$HOME/.local/share}/Orv/). Without them it\n"
    "asks on the terminal; with no terminal it stays unconnected. Its tray icon,\n"
    "menu and message boxes are lines on standard error. It runs until it is\n"
    "ended (Ctrl-C or a signal).\n"
    "\n"
    "Examples, on the simulator's market that scripts/run serves (orvsim\n"
    "--list-symbols lists its symbols):\n"
    "  ddeclient advise ZmDDE TODF StckPrice --count 2\n"
    "  ddeclient request ZmDDE TODF StckBid\n"
    "  ddeclient advise ZmDDE TODF CALL_IVX_T30 --count 1\n"
    "  ddeclient advise ZmDDE TODF PUT_IVS_T30O10_IV --count 1\n";

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
