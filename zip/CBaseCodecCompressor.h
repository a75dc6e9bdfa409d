// What codecs backed by a C library share: the compressed-input buffer and
// allocation functions that remember every block they hand out, so that
// whatever the library still holds when reading ends can be freed.
#pragma once

#include <cstdint>
#include <vector>

#include "zip/CUnzipCompressor.h"

namespace UnzipCodec {

class CBaseCodecCompressor : public CUnzipCompressor {
 public:
  static constexpr uint32_t kBufferSize = 131072;

  explicit CBaseCodecCompressor(CUnzipStorage& storage) : CUnzipCompressor(storage) {}
  ~CBaseCodecCompressor() override;

  void InitDecompression(CUnzipFileHeader& header) override;

 protected:
  // The next run of compressed input and its size (0 when none is left):
  // all that is left, read where the file holds it, or else up to a
  // buffer's worth copied into the buffer. A short read throws "damaged".
  uint32_t FillBuffer(const unsigned char*& pInput);
  // Frees the input buffer and every block still recorded.
  void ReleaseAll();

  static void* Alloc(void* opaque, unsigned int items, unsigned int size);
  static void Free(void* opaque, void* address);

  unsigned char* m_pBuffer = nullptr;
  uint32_t m_uBufferSize = kBufferSize;

 private:
  std::vector<void*> m_blocks;
};

}  // namespace UnzipCodec
