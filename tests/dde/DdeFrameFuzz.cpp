// Frames from a peer: decoding never reads past the input, and a decoded
// frame encodes back to the very bytes it came from.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/dde/DdeWire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t at = 0;
  while (at < size) {
    orvdde::Frame f;
    size_t used = 0;
    if (orvdde::DecodeFrame(data + at, size - at, &f, &used) != orvdde::DecodeResult::kFrame) break;
    std::string again = orvdde::EncodeFrame(f);
    if (again.size() != used || std::memcmp(again.data(), data + at, used) != 0) std::abort();
    at += used;
  }
  return 0;
}
