// The file an archive is read from, and where the archive starts in it.
#pragma once

#include <cstdint>

#include "zip/CUnzipAbstractFile.h"

class CUnzipStorage {
 public:
  static constexpr uint16_t kClosedVolume = 0xFFFF;
  static constexpr uint64_t kNotFound = ~uint64_t(0);

  void Open(CUnzipAbstractFile& af);
  void Close();
  bool IsClosed() const { return m_uCurrentVolume == kClosedVolume; }

  CUnzipAbstractFile& File() const { return *m_pFile; }
  uint64_t GetLength() const { return m_pFile->GetLength(); }

  // Reads exactly nSize bytes or throws "damaged".
  void Read(void* pBuf, uint32_t nSize);
  // The next nSize bytes where the file holds them, the position moved past
  // them; null, nothing read, when the file cannot lend them (then Read).
  const unsigned char* ReadInPlace(uint32_t nSize) { return m_pFile->ReadInPlace(nSize); }
  // Seeks to an absolute file offset that must lie within the file; one
  // beyond it is damage, and must not grow a growable file.
  void SeekAbsolute(uint64_t uPos);
  // Seeks to an offset recorded in the archive, which counts from the start
  // of the archive data rather than of the file.
  void SeekInArchive(uint64_t uPos) { SeekAbsolute(m_uBytesBeforeZip + uPos); }

  // Searches backwards from uEnd over at most uLimit bytes for a 4-byte
  // signature; returns the offset of its first byte or kNotFound.
  uint64_t LocateSignature(const unsigned char* pSignature, uint64_t uEnd, uint64_t uLimit);

  [[noreturn]] void ThrowError(int iCause) const;

  uint64_t m_uBytesBeforeZip = 0;
  uint16_t m_uCurrentVolume = kClosedVolume;

 private:
  CUnzipAbstractFile* m_pFile = nullptr;
};
