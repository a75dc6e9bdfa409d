#include <cstdio>
#include <cstring>

#include "server/OrveProcess.h"
#include "platform/win/version.h"
#include "platform/win/resource.h"

namespace {

const char kUsage[] =
    "usage: ORVE [-RegServer | -UnregServer | -Embedding]\n"
    "       ORVE --help\n"
    "\n"
    "The automation server of the market-data client. Clients do not start it by\n"
    "hand: the first client that creates its main object starts it (with\n"
    "-Embedding), and it ends one second after its last client let go.\n"
    "\n"
    "  -RegServer    register the server's classes and type library, then end\n"
    "  -UnregServer  remove them again, then end\n"
    "  --help        this text\n"
    "\n"
    "Settings are read from the registry file ($ORV_REGISTRY, else\n"
    "$XDG_CONFIG_HOME/orv/registry.reg), key HKEY_LOCAL_MACHINE\\SOFTWARE\\Brask\\Orv\n"
    "(ConnString, FutConnString, UseSSL, LogLevel, ...). The log, ORVE.log, and the\n"
    "cache are kept in the user data folder: \"$USERPROFILE/Application Data/Orv/\",\n"
    "else ${XDG_DATA_HOME:-$HOME/.local/share}/Orv/. A second copy ends every\n"
    "running copy and takes over; one that registers does so only once the\n"
    "registry file holds all its keys, written in one step. The tray icon is a\n"
    "line on standard error.\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  orvwin::RegisterFileVersion(orvwin::ThisModule(), 1, 0, 2, 1);
  return OrveMain(argc, argv);
}
