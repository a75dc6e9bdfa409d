// A file held in memory: a buffer from the C heap that grows in whole steps
// as it is written, or a read-only view of someone else's bytes (Attach).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "zip/CUnzipAbstractFile.h"

class CUnzipMemFile : public CUnzipAbstractFile {
 public:
  CUnzipMemFile() = default;
  ~CUnzipMemFile() override { Close(); }

  // Memory files have no path to open.
  bool Open(const char*, unsigned int, bool) override { return false; }
  void Close() override;
  void Flush() override {}
  uint64_t GetPosition() const override { return m_nPos; }
  uint64_t Seek(int64_t lOff, int nFrom) override;
  uint64_t GetLength() const override { return m_nDataSize; }
  void SetLength(uint64_t nNewLen) override;
  std::string GetFilePath() const override { return std::string(); }
  uint32_t Read(void* lpBuf, uint32_t nCount) override;
  void Write(const void* lpBuf, uint32_t nCount) override;
  bool IsClosed() const override { return m_lpBuf == nullptr; }
  const unsigned char* ReadInPlace(uint32_t nCount) override;
  unsigned char* WriteInPlace(uint32_t nCount) override;
  void WroteInPlace(uint32_t nCount) override;

  // Reads the caller's bytes in place: the file never grows, never frees
  // them, and a write beyond them fails.
  void Attach(unsigned char* lpBuf, uint32_t nBufSize) {
    Close();
    m_lpBuf = lpBuf;
    m_nBufSize = m_nDataSize = nBufSize;
    m_nGrowBy = 0;
    m_bAutoDelete = false;
  }

  // Hands the buffer over (read GetLength() first); the receiver frees it
  // with free(). The file is left empty and will free nothing.
  unsigned char* Detach() {
    unsigned char* b = m_lpBuf;
    m_nGrowBy = m_nPos = m_nBufSize = m_nDataSize = 0;
    m_lpBuf = nullptr;
    return b;
  }

  uint32_t GetBufferSize() const { return m_nBufSize; }

 private:
  // Makes the buffer hold at least nNeeded bytes, in whole grow-by steps.
  void Grow(uint64_t nNeeded);

  uint32_t m_nGrowBy = 1024;
  uint32_t m_nPos = 0;
  uint32_t m_nBufSize = 0;
  uint32_t m_nDataSize = 0;
  unsigned char* m_lpBuf = nullptr;
  bool m_bAutoDelete = true;
};
