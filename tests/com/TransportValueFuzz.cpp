// Feeds arbitrary bytes to the transport's value decoder: VARIANTs with
// nested arrays and interface references, and error information, as a
// peer's request or reply would carry them, also past the bound on what a
// body may decode to.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "TransportFuzzSupport.h"
#include "platform/com/rpc/Connection.h"

using namespace orvrpc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Connection& c = transportfuzz::DeadConnection();
  // Once as a frame is read, and once under a bound small enough for the
  // fuzzer's inputs to pass it, so that every value's booking and the
  // clean-up after a refusal part way through a value are reached.
  for (size_t bound : {kMaxDecodedBytes, size_t(1024)}) {
    Reader r(data, size, bound);
    try {
      while (!r.AtEnd()) {
        VARIANT v;
        VariantInit(&v);
        c.ReadVariant(r, &v);
        VariantClear(&v);
      }
    } catch (const DecodeError&) {
    }
  }
  {
    Reader r(data, size);
    try {
      ReadErrorInfo(r);
    } catch (const DecodeError&) {
    }
    SetErrorInfo(0, nullptr);
  }
  return 0;
}
