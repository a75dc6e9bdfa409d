#include "zip/CUnzipStorage.h"

#include <vector>

#include "zip/CUnzipException.h"

namespace {
constexpr uint32_t kSearchChunk = 32768;
}

void CUnzipStorage::Open(CUnzipAbstractFile& af) {
  m_pFile = &af;
  m_uCurrentVolume = 0;
  m_uBytesBeforeZip = 0;
}

void CUnzipStorage::Close() {
  m_pFile = nullptr;
  m_uCurrentVolume = kClosedVolume;
  m_uBytesBeforeZip = 0;
}

void CUnzipStorage::ThrowError(int iCause) const {
  throw CUnzipException(iCause, m_pFile ? m_pFile->GetFilePath() : std::string());
}

void CUnzipStorage::Read(void* pBuf, uint32_t nSize) {
  if (nSize == 0) return;
  if (m_pFile->Read(pBuf, nSize) != nSize) ThrowError(CUnzipException::badZipFile);
}

void CUnzipStorage::SeekAbsolute(uint64_t uPos) {
  if (uPos > m_pFile->GetLength() || uPos > static_cast<uint64_t>(INT64_MAX))
    ThrowError(CUnzipException::badZipFile);
  m_pFile->Seek(static_cast<int64_t>(uPos), CUnzipAbstractFile::begin);
}

uint64_t CUnzipStorage::LocateSignature(const unsigned char* pSignature, uint64_t uEnd, uint64_t uLimit) {
  const uint64_t depth = uEnd < uLimit ? uEnd : uLimit;
  std::vector<unsigned char> chunk;
  // Index into the signature of the byte to match next, from its last byte
  // down; a partial match carries over into the earlier chunk.
  int want = 3;
  uint64_t done = 0;
  while (done < depth) {
    const uint32_t size = static_cast<uint32_t>(depth - done < kSearchChunk ? depth - done : kSearchChunk);
    const uint64_t start = uEnd - done - size;
    SeekAbsolute(start);
    // A reply in memory is searched where it lies.
    const unsigned char* bytes = m_pFile->ReadInPlace(size);
    if (bytes == nullptr) {
      if (chunk.empty()) chunk.resize(depth < kSearchChunk ? static_cast<size_t>(depth) : kSearchChunk);
      Read(chunk.data(), size);
      bytes = chunk.data();
    }
    for (uint32_t i = size; i-- > 0;) {
      if (bytes[i] != pSignature[want]) {
        if (want == 3) continue;
        want = 3;
        if (bytes[i] != pSignature[want]) continue;
      }
      if (want == 0) return start + i;
      --want;
    }
    done += size;
  }
  return kNotFound;
}
