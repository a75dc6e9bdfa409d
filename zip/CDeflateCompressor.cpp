#include "zip/CDeflateCompressor.h"

#include <algorithm>
#include <cstring>

#include "zip/CUnzipException.h"
#include "zip/CUnzipFileHeader.h"
#include "zip/CUnzipStorage.h"

namespace UnzipCodec {

CDeflateCompressor::CDeflateCompressor(CUnzipStorage& storage) : CBaseCodecCompressor(storage) {
  std::memset(&m_stream, 0, sizeof(m_stream));
}

CDeflateCompressor::~CDeflateCompressor() { EndStream(); }

void CDeflateCompressor::ThrowZlib(int iErr) { m_storage.ThrowError(CUnzipException::ZlibErrToZip(iErr)); }

void CDeflateCompressor::InitDecompression(CUnzipFileHeader& header) {
  FinishDecompression(false);  // leaves the stream cleared
  CBaseCodecCompressor::InitDecompression(header);
  m_bDecompressionDone = false;
  m_bDummyOffered = false;
  if (header.m_uMethod == methodDeflate) {
    m_stream.zalloc = &CBaseCodecCompressor::Alloc;
    m_stream.zfree = &CBaseCodecCompressor::Free;
    m_stream.opaque = static_cast<CBaseCodecCompressor*>(this);
    // zlib's own macro passes the version and stream size this build was
    // compiled against; raw deflate, as ZIP entries carry no zlib header.
    const int err = inflateInit2(&m_stream, -MAX_WBITS);
    if (err != Z_OK) {
      ReleaseAll();
      ThrowZlib(err);
    }
    m_bStreamOpen = true;
  }
}

uint32_t CDeflateCompressor::CopyStored(unsigned char* pOut, uint32_t uWanted) {
  // A stored entry yields no more than its compressed size: when its bytes
  // run out before the uncompressed size, it comes out short.
  uint32_t produced = 0;
  while (produced < uWanted) {
    if (m_stream.avail_in == 0) {
      if (m_uComprLeft == 0) break;
      const unsigned char* in = nullptr;
      m_stream.avail_in = FillBuffer(in);
      m_stream.next_in = const_cast<unsigned char*>(in);
    }
    const uint32_t n = std::min(m_stream.avail_in, uWanted - produced);
    std::memcpy(pOut + produced, m_stream.next_in, n);
    m_stream.next_in += n;
    m_stream.avail_in -= n;
    produced += n;
  }
  if (produced) {
    m_uCrc32 = static_cast<uint32_t>(crc32(m_uCrc32, pOut, produced));
    m_uUncomprLeft -= produced;
  }
  return produced;
}

uint32_t CDeflateCompressor::Decompress(void* pBuffer, uint32_t uSize) {
  if (m_bDecompressionDone || !m_pFile) return 0;
  unsigned char* out = static_cast<unsigned char*>(pBuffer);
  const uint32_t wanted = std::min(uSize, m_uUncomprLeft);
  if (m_pFile->m_uMethod != methodDeflate) return CopyStored(out, wanted);

  m_stream.next_out = out;
  m_stream.avail_out = wanted;
  uint32_t produced = 0;
  // With nothing more wanted the stream is still fed what is left of it, so
  // that an empty entry's stream, or the end of a full one, is consumed.
  while (m_stream.avail_out > 0 || (wanted == 0 && m_uComprLeft > 0)) {
    if (m_stream.avail_in == 0) {
      if (m_uComprLeft > 0) {
        // zlib never writes through next_in, whatever its type says.
        const unsigned char* in = nullptr;
        m_stream.avail_in = FillBuffer(in);
        m_stream.next_in = const_cast<unsigned char*>(in);
      } else if (!m_bDummyOffered) {
        // Some streams are only finished with one byte of look-ahead beyond
        // their data; it is offered once and never counted against the
        // compressed size, which stays at zero.
        m_bDummyOffered = true;
        m_stream.next_in = &m_dummy;
        m_stream.avail_in = 1;
      } else {
        // Out of input and the stream has not ended: it is cut short.
        m_storage.ThrowError(CUnzipException::badZipFile);
      }
    }
    const uint32_t before = m_stream.avail_out;
    const uint32_t inBefore = m_stream.avail_in;
    unsigned char* const start = m_stream.next_out;
    // Z_FINISH spares a stream that ends within this call zlib's window: it
    // would be allocated, and the output copied into it, for a stream that
    // is over. Otherwise zlib goes on as without it, except that a call
    // that made progress answers Z_BUF_ERROR where it would answer Z_OK; a
    // call that made none answers Z_BUF_ERROR either way.
    int err = inflate(&m_stream, Z_FINISH);
    const uint32_t got = before - m_stream.avail_out;
    if (err == Z_BUF_ERROR && (got != 0 || m_stream.avail_in != inBefore)) err = Z_OK;
    if (got) {
      m_uCrc32 = static_cast<uint32_t>(crc32(m_uCrc32, start, got));
      m_uUncomprLeft -= got;
      produced += got;
    }
    if (err == Z_STREAM_END) {
      m_bDecompressionDone = true;
      return produced;
    }
    if (err != Z_OK && err != Z_NEED_DICT) ThrowZlib(err);
  }

  if (produced == 0 && uSize > 0) {
    // Everything declared has come out: the stream must end right here.
    // No room for output, so nothing beyond the declared size can appear.
    m_stream.next_out = out;
    m_stream.avail_out = 0;
    if (inflate(&m_stream, Z_SYNC_FLUSH) != Z_STREAM_END) m_storage.ThrowError(CUnzipException::badZipFile);
    m_bDecompressionDone = true;
  }
  return produced;
}

void CDeflateCompressor::EndStream() {
  if (m_bStreamOpen) {
    // Ended on every path, errors included: zlib's state is always
    // consistent between calls, and its blocks go back through Free.
    inflateEnd(&m_stream);
    m_bStreamOpen = false;
  }
}

void CDeflateCompressor::FinishDecompression(bool /*bAfterException*/) {
  EndStream();
  ReleaseAll();
  std::memset(&m_stream, 0, sizeof(m_stream));
}

}  // namespace UnzipCodec
