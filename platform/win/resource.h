// Modules and their string resources.
//
// A module handle is the address at which the module (the program or a
// shared library) is loaded, as on Windows. String tables are compiled in:
// each module registers its own table at start-up, and LoadStringA looks
// the id up in the table of the module it is given.
#pragma once

#include <cstddef>

#include "platform/win/types.h"
#include "platform/win/winerror.h"

namespace orvwin {

struct StringResource {
  UINT id;
  const char* text;
};

// Adds a table to the module's strings (later registrations of an id win).
// The texts are copied.
void RegisterStringResources(HINSTANCE module, const StringResource* table, size_t count);

// The module that contains an address (code or data), or null.
HMODULE ModuleHandleOf(const void* address);

namespace detail_module {
// One copy per module that includes this header: its address identifies
// the module.
static const char kModuleMarker = 0;
}  // namespace detail_module

// The module whose code calls this (the program, or the shared library the
// call is compiled into). Internal linkage on purpose: a shared copy could
// be bound to another module's definition at load time.
static inline HMODULE ThisModule() { return ModuleHandleOf(&detail_module::kModuleMarker); }

}  // namespace orvwin

// Copies the string into the buffer, cut to bufferMax - 1 characters and
// null-terminated; returns the characters copied, 0 when there is no such
// string (ERROR_RESOURCE_NAME_NOT_FOUND). A null instance means the program.
int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax);

// A null name gives the program; otherwise the loaded module whose file
// name matches without case and without its extension and "lib" prefix
// ("HlUnivOpt.dll" finds libHlUnivOpt.so).
HMODULE GetModuleHandleA(LPCSTR moduleName);

// The full path of the module's file. A buffer too small gets the path cut
// to size - 1 characters and null-terminated; the result is then size and
// the last error ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
