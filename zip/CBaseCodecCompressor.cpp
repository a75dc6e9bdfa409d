#include "zip/CBaseCodecCompressor.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "zip/CUnzipException.h"
#include "zip/CUnzipStorage.h"

namespace UnzipCodec {

CBaseCodecCompressor::~CBaseCodecCompressor() { ReleaseAll(); }

void CBaseCodecCompressor::InitDecompression(CUnzipFileHeader& header) {
  CUnzipCompressor::InitDecompression(header);
}

uint32_t CBaseCodecCompressor::FillBuffer(const unsigned char*& pInput) {
  if (m_uComprLeft == 0) return 0;
  // A reply held in memory is read where it lies: copying it into the
  // buffer first cost a small entry more than inflating it. A file that
  // cannot lend the bytes, or holds fewer than the entry claims, is read a
  // buffer at a time as before, so a cut entry fails where it always did.
  if (const unsigned char* p = m_storage.ReadInPlace(m_uComprLeft)) {
    pInput = p;
    const uint32_t n = m_uComprLeft;
    m_uComprLeft = 0;
    return n;
  }
  if (!m_pBuffer) {
    m_pBuffer = static_cast<unsigned char*>(std::malloc(m_uBufferSize));
    if (!m_pBuffer) m_storage.ThrowError(CUnzipException::memError);
  }
  const uint32_t n = std::min(m_uBufferSize, m_uComprLeft);
  m_storage.Read(m_pBuffer, n);
  m_uComprLeft -= n;
  pInput = m_pBuffer;
  return n;
}

void CBaseCodecCompressor::ReleaseAll() {
  for (void* p : m_blocks) std::free(p);
  m_blocks.clear();
  std::free(m_pBuffer);
  m_pBuffer = nullptr;
}

void* CBaseCodecCompressor::Alloc(void* opaque, unsigned int items, unsigned int size) {
  auto* self = static_cast<CBaseCodecCompressor*>(opaque);
  const size_t bytes = static_cast<size_t>(items) * size;
  try {
    self->m_blocks.reserve(self->m_blocks.size() + 1);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  void* p = std::malloc(bytes ? bytes : 1);
  if (p) self->m_blocks.push_back(p);
  return p;
}

void CBaseCodecCompressor::Free(void* opaque, void* address) {
  auto* self = static_cast<CBaseCodecCompressor*>(opaque);
  auto it = std::find(self->m_blocks.begin(), self->m_blocks.end(), address);
  if (it != self->m_blocks.end()) {
    self->m_blocks.erase(it);
    std::free(address);
  }
}

}  // namespace UnzipCodec
