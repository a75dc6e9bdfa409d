#include "zip/CUnzipCompressor.h"

#include "zip/CDeflateCompressor.h"
#include "zip/CUnzipFileHeader.h"

std::unique_ptr<CUnzipCompressor> CUnzipCompressor::CreateCompressor(uint16_t uMethod, CUnzipStorage& storage) {
  if (!IsCompressionSupported(uMethod)) return nullptr;
  return std::make_unique<UnzipCodec::CDeflateCompressor>(storage);
}

void CUnzipCompressor::InitDecompression(CUnzipFileHeader& header) {
  m_pFile = &header;
  // A traditionally encrypted entry would carry a 12-byte prefix here; such
  // entries are refused before any compressor is made.
  m_uComprLeft = header.m_uComprSize;
  m_uUncomprLeft = header.m_uUncomprSize;
  m_uCrc32 = 0;
}
