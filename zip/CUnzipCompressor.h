// Turns an entry's stored bytes back into its data, a buffer at a time,
// keeping the running CRC-32 and the counts left to read.
#pragma once

#include <cstdint>
#include <memory>

class CUnzipFileHeader;
class CUnzipStorage;

class CUnzipCompressor {
 public:
  static constexpr uint16_t methodStore = 0;
  static constexpr uint16_t methodDeflate = 8;

  explicit CUnzipCompressor(CUnzipStorage& storage) : m_storage(storage) {}
  CUnzipCompressor(const CUnzipCompressor&) = delete;
  CUnzipCompressor& operator=(const CUnzipCompressor&) = delete;
  virtual ~CUnzipCompressor() = default;

  static bool IsCompressionSupported(uint16_t uMethod) {
    return uMethod == methodStore || uMethod == methodDeflate;
  }
  // The compressor for a supported method; null for any other.
  static std::unique_ptr<CUnzipCompressor> CreateCompressor(uint16_t uMethod, CUnzipStorage& storage);

  // Starts reading the entry whose local header the storage has just passed.
  virtual void InitDecompression(CUnzipFileHeader& header);
  // Up to uSize bytes of the entry's data; 0 at its end.
  virtual uint32_t Decompress(void* pBuffer, uint32_t uSize) = 0;
  // Releases everything reading took; safe to call more than once.
  virtual void FinishDecompression(bool bAfterException) = 0;

  uint32_t GetCrc() const { return m_uCrc32; }
  uint32_t GetUncomprLeft() const { return m_uUncomprLeft; }

 protected:
  CUnzipStorage& m_storage;
  CUnzipFileHeader* m_pFile = nullptr;
  uint32_t m_uComprLeft = 0;
  uint32_t m_uUncomprLeft = 0;
  uint32_t m_uCrc32 = 0;
};
