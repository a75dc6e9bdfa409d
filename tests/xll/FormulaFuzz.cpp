// Any text given to xllhost as a worksheet call gets an answer or an error
// message, never a crash.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/xll/XllHost.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static xllhost::XllHost host;  // no add-in: every call ends after parsing
  std::string value, error;
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (!host.Evaluate(text, &value, &error) && error.empty()) __builtin_trap();
  return 0;
}
