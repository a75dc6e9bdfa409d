// Stored (0) and deflated (8) entries; deflate is zlib's raw inflate.
#pragma once

#include <zlib.h>

#include "zip/CBaseCodecCompressor.h"

namespace UnzipCodec {

class CDeflateCompressor : public CBaseCodecCompressor {
 public:
  explicit CDeflateCompressor(CUnzipStorage& storage);
  ~CDeflateCompressor() override;

  void InitDecompression(CUnzipFileHeader& header) override;
  uint32_t Decompress(void* pBuffer, uint32_t uSize) override;
  void FinishDecompression(bool bAfterException) override;

 private:
  uint32_t CopyStored(unsigned char* pOut, uint32_t uWanted);
  void EndStream();
  [[noreturn]] void ThrowZlib(int iErr);

  z_stream m_stream;
  bool m_bStreamOpen = false;
  bool m_bDecompressionDone = false;
  bool m_bDummyOffered = false;
  unsigned char m_dummy = 0;
};

}  // namespace UnzipCodec
