// A shared library with a string table of its own, as the add-in and the
// analytics library have.
#include "platform/win/windows.h"

extern "C" HMODULE WinTestModuleRegister() {
  static const orvwin::StringResource strings[] = {{100, "the library"}};
  orvwin::RegisterStringResources(orvwin::ThisModule(), strings, 1);
  return orvwin::ThisModule();
}
