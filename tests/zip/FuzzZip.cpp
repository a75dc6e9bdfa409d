// Any bytes: open them as an archive and extract entry 0 the way the feed
// does. Nothing may come out but data, false, or a CUnzipException.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "zip/CUnzipArchive.h"
#include "zip/CUnzipException.h"
#include "zip/CUnzipMemFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy, so that reading past the input is caught at its exact end.
  std::vector<unsigned char> bytes(data, data + size);
  CUnzipMemFile in;
  CUnzipMemFile out;
  in.Attach(bytes.empty() ? nullptr : bytes.data(), static_cast<uint32_t>(bytes.size()));
  try {
    CUnzipArchive zip;
    if (zip.Open(in, CUnzipArchive::zipOpen)) {
      const bool ok = zip.ExtractFile(0, out, true, 65536);
      zip.Close(false, false);
      if (ok && out.GetPosition() != 0) std::abort();
      if (out.GetLength() > out.GetBufferSize()) std::abort();
    }
  } catch (const CUnzipException& e) {
    if (e.GetErrorDescription().empty()) std::abort();
  }
  std::free(out.Detach());
  return 0;
}
