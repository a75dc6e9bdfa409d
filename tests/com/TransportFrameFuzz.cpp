// Feeds arbitrary bytes to the frame decoder in uneven pieces and reads
// each frame's body through the bounds-checked reader.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/com/rpc/Wire.h"

using namespace orvrpc;

namespace {
void WalkBody(const std::string& body) {
  Reader r(body);
  try {
    // Reads of every width and the counted items, in an order the body's
    // own bytes pick, until the body runs out.
    while (!r.AtEnd()) {
      switch (r.U8() % 6) {
        case 0: r.U64(); break;
        case 1: {
          std::u16string s;
          r.Str16(&s);
          break;
        }
        case 2: r.Str8(); break;
        case 3: {
          uint32_t n = r.Count(4);
          for (uint32_t i = 0; i < n; ++i) r.U32();
          break;
        }
        case 4: r.F64(); break;
        default: r.Take(r.U8()); break;
      }
    }
  } catch (const DecodeError&) {
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FrameDecoder d(1u << 16);
  size_t at = 0;
  size_t step = size ? (data[0] % 23) + 1 : 1;
  while (at < size) {
    size_t n = std::min(step, size - at);
    d.Feed(data + at, n);
    at += n;
    FrameHeader h;
    std::string body;
    FrameDecoder::Status s;
    while ((s = d.Next(&h, &body)) == FrameDecoder::Status::kFrame) WalkBody(body);
    if (s == FrameDecoder::Status::kError) break;
  }
  return 0;
}
