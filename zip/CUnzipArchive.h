// A ZIP archive read from a CUnzipAbstractFile (in practice a memory file
// holding a reply). Read-only: entries are listed and extracted, nothing is
// ever written back. Every failure is a CUnzipException; ExtractFile answers
// false for a request it cannot serve.
//
// Unpacking entry 0 of a buffer:
//   CUnzipMemFile in, out;
//   in.Attach(bytes, length);
//   CUnzipArchive zip;
//   zip.Open(in, CUnzipArchive::zipOpen);
//   zip.ExtractFile(0, out, true, 65536);
//   zip.Close(false, false);
//   uint64_t n = out.GetLength();
//   unsigned char* data = out.Detach();   // free() it
#pragma once

#include <cstdint>
#include <memory>

#include "zip/CUnzipAbstractFile.h"
#include "zip/CUnzipCentralDir.h"
#include "zip/CUnzipCompressor.h"
#include "zip/CUnzipStorage.h"

class CUnzipArchive {
 public:
  enum OpenMode { zipOpen = 0 };

  CUnzipArchive();
  ~CUnzipArchive();
  CUnzipArchive(const CUnzipArchive&) = delete;
  CUnzipArchive& operator=(const CUnzipArchive&) = delete;

  // Reads the archive's directory from the file, which stays the caller's
  // and is never closed here. False when an archive is already open or the
  // mode is not zipOpen.
  bool Open(CUnzipAbstractFile& af, int iMode = zipOpen);
  // Ends an entry still being read and forgets the archive.
  void Close(bool bAfterException = false, bool bUpdateTimeStamp = false);
  bool IsClosed() const { return m_storage.IsClosed(); }

  uint16_t GetCount() const { return m_centralDir.GetCount(); }
  // The size entry uIndex unpacks to, as its directory entry says; 0 for an
  // invalid index. Extraction never yields more.
  uint64_t GetUncompressedSize(uint16_t uIndex) const;

  // Writes entry uIndex to af through a buffer of nBufSize bytes. With
  // bRewind af is put back where it stood (a fresh memory file: its start).
  // False for a zero buffer, a closed archive, an invalid index, a directory,
  // an unsupported method, or an entry that comes out short.
  bool ExtractFile(uint16_t uIndex, CUnzipAbstractFile& af, bool bRewind, uint32_t nBufSize);

  // Starts reading an entry; false when one is being read, the archive is
  // closed, the index is invalid or the method is not supported.
  bool OpenFile(uint16_t uIndex);
  // 1 when the entry came out whole, -1 when short, 0 when none was open.
  // Throws on a CRC mismatch; either way the entry is no longer open.
  int CloseFile(bool bAfterException = false);

 private:
  enum { nothing, extract };

  // Up to uSize bytes of the entry being read; 0 at its end or when none is.
  uint32_t ReadFile(void* pBuf, uint32_t uSize);
  // Deflate never expands data more than this (258 bytes from 2 bits).
  static constexpr uint64_t kMaxDeflateRatio = 1032;

  void Reserve(CUnzipAbstractFile& af, uint64_t uPos);
  bool IndexValid(uint16_t uIndex) const { return uIndex < GetCount() && uIndex < 0xFFFF; }
  void EndEntry(bool bAfterException);

  CUnzipStorage m_storage;
  CUnzipCentralDir m_centralDir;
  int m_iFileOpened = nothing;
  std::unique_ptr<CUnzipCompressor> m_pCompressor;
};
