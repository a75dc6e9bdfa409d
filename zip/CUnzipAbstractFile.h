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
};
