#include <string>

#include "dde/ZmDDEShell.h"
#include "win/process.h"
#include "win/resource.h"

int main(int argc, char** argv) {
  // Every DDE conversation is a socket of its own.
  orvwin::RaiseDescriptorLimit();
  HINSTANCE instance = GetModuleHandleA(nullptr);
  RegisterZmDDEResources(instance);
  SetShellServerFactory(MakeDDEServer);
  std::string commandLine;
  for (int i = 1; i < argc; ++i) commandLine += (i > 1 ? " " : "") + std::string(argv[i]);
  return ZmDDEWinMain(instance, nullptr, &commandLine[0], 0);
}
