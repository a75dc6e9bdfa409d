// The random-access file an archive is read from and an entry is extracted
// into. Positions and lengths are 64-bit here whatever the file keeps.
#pragma once

#include <cstdint>
#include <string>

class CUnzipAbstractFile {
 public:
  enum { begin = 0, current = 1, end = 2 };

  CUnzipAbstractFile() = default;
  CUnzipAbstractFile(const CUnzipAbstractFile&) = delete;
  CUnzipAbstractFile& operator=(const CUnzipAbstractFile&) = delete;

  virtual bool Open(const char* lpszFileName, unsigned int openFlags, bool bThrow) = 0;
  virtual void Close() = 0;
  virtual void Flush() = 0;
  virtual uint64_t GetPosition() const = 0;
  virtual uint64_t Seek(int64_t lOff, int nFrom) = 0;
  virtual uint64_t GetLength() const = 0;
  virtual void SetLength(uint64_t nNewLen) = 0;
  virtual uint64_t SeekToBegin() { return Seek(0, begin); }
  virtual uint64_t SeekToEnd() { return Seek(0, end); }
  virtual std::string GetFilePath() const = 0;
  virtual uint32_t Read(void* lpBuf, uint32_t nCount) = 0;
  virtual void Write(const void* lpBuf, uint32_t nCount) = 0;
  virtual bool IsClosed() const = 0;
  virtual ~CUnzipAbstractFile() = default;

  // For files whose bytes sit in memory, reading and writing without a copy
  // through a buffer of the caller's. Files that cannot answer null, and the
  // caller goes through Read and Write instead.
  //
  // The nCount bytes at the position, which is moved past them: what a Read
  // of nCount would give, valid until the file is written or closed. Null,
  // the position unchanged, when fewer than nCount bytes are left.
  virtual const unsigned char* ReadInPlace(uint32_t /*nCount*/) { return nullptr; }
  // Room for nCount bytes at the position that the file holds already, to be
  // filled in place and then passed to WroteInPlace; null when the file would
  // have to grow for them. Nothing changes until WroteInPlace.
  virtual unsigned char* WriteInPlace(uint32_t /*nCount*/) { return nullptr; }
  // The first nCount bytes of the room WriteInPlace gave are written: the
  // position and the length move as a Write of them would have moved them.
  virtual void WroteInPlace(uint32_t /*nCount*/) {}
};
