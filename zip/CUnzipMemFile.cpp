#include "zip/CUnzipMemFile.h"

#include <cstring>
#include <limits>

#include <sys/mman.h>

#include "zip/CUnzipException.h"

namespace {
constexpr uint64_t kMaxSize = std::numeric_limits<uint32_t>::max();

[[noreturn]] void ThrowMem() { throw CUnzipException(CUnzipException::memError); }

// Every large reply lands in a buffer fresh from the kernel, and touching
// it a small page at a time costs more than inflating into it. Large pages
// are asked for where the buffer covers them; a refusal changes nothing.
void AdviseLargePages(unsigned char* p, uint64_t size) {
#ifdef MADV_HUGEPAGE
  constexpr uint64_t kLargePage = 2u << 20;
  if (size < 2 * kLargePage) return;
  const uintptr_t first = (reinterpret_cast<uintptr_t>(p) + kLargePage - 1) & ~uintptr_t(kLargePage - 1);
  const uintptr_t last = (reinterpret_cast<uintptr_t>(p) + size) & ~uintptr_t(kLargePage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)p;
  (void)size;
#endif
}
}  // namespace

void CUnzipMemFile::Close() {
  if (m_bAutoDelete && m_lpBuf) std::free(m_lpBuf);
  m_nGrowBy = m_nPos = m_nBufSize = m_nDataSize = 0;
  m_lpBuf = nullptr;
}

void CUnzipMemFile::Grow(uint64_t nNeeded) {
  if (nNeeded <= m_nBufSize) return;
  if (m_nGrowBy == 0) ThrowMem();
  // Computed in 64 bits: a capacity that would pass 4 GiB is refused rather
  // than wrapped into a small buffer.
  const uint64_t steps = (nNeeded - m_nBufSize + m_nGrowBy - 1) / m_nGrowBy;
  const uint64_t newSize = m_nBufSize + steps * m_nGrowBy;
  if (newSize > kMaxSize) ThrowMem();
  const bool fresh = m_lpBuf == nullptr;
  void* p = std::realloc(m_lpBuf, static_cast<size_t>(newSize));
  if (!p) ThrowMem();
  m_lpBuf = static_cast<unsigned char*>(p);
  m_nBufSize = static_cast<uint32_t>(newSize);
  // Only a buffer made at its full size in one go is advised: advising again
  // after every step of a buffer grown write by write makes each realloc
  // move large pages, and growth slows down a hundredfold.
  if (fresh) AdviseLargePages(m_lpBuf, newSize);
}

uint32_t CUnzipMemFile::Read(void* lpBuf, uint32_t nCount) {
  if (m_nPos >= m_nDataSize || nCount == 0) return 0;
  const uint32_t n = nCount < m_nDataSize - m_nPos ? nCount : m_nDataSize - m_nPos;
  std::memcpy(lpBuf, m_lpBuf + m_nPos, n);
  m_nPos += n;
  return n;
}

void CUnzipMemFile::Write(const void* lpBuf, uint32_t nCount) {
  if (nCount == 0) return;
  const uint64_t end = static_cast<uint64_t>(m_nPos) + nCount;
  if (end > kMaxSize) ThrowMem();
  Grow(end);
  std::memcpy(m_lpBuf + m_nPos, lpBuf, nCount);
  m_nPos = static_cast<uint32_t>(end);
  if (m_nPos > m_nDataSize) m_nDataSize = m_nPos;
}

const unsigned char* CUnzipMemFile::ReadInPlace(uint32_t nCount) {
  if (m_lpBuf == nullptr || m_nPos > m_nDataSize || nCount > m_nDataSize - m_nPos) return nullptr;
  const unsigned char* p = m_lpBuf + m_nPos;
  m_nPos += nCount;
  return p;
}

unsigned char* CUnzipMemFile::WriteInPlace(uint32_t nCount) {
  if (m_lpBuf == nullptr || m_nPos > m_nBufSize || nCount > m_nBufSize - m_nPos) return nullptr;
  return m_lpBuf + m_nPos;
}

void CUnzipMemFile::WroteInPlace(uint32_t nCount) {
  // Only ever within the room WriteInPlace found: no growth, and no wrap.
  if (m_lpBuf == nullptr || m_nPos > m_nBufSize || nCount > m_nBufSize - m_nPos) ThrowMem();
  m_nPos += nCount;
  if (m_nPos > m_nDataSize) m_nDataSize = m_nPos;
}

uint64_t CUnzipMemFile::Seek(int64_t lOff, int nFrom) {
  int64_t base;
  switch (nFrom) {
    case begin: base = 0; break;
    case current: base = m_nPos; break;
    case end: base = m_nDataSize; break;
    default: return m_nPos;
  }
  // base is at most 2^32 - 1, so only an offset near the int64 limits could
  // overflow the sum; those are out of range either way.
  if (lOff < -base || lOff > static_cast<int64_t>(kMaxSize)) ThrowMem();
  const int64_t newPos = base + lOff;
  if (newPos > static_cast<int64_t>(kMaxSize)) ThrowMem();
  if (static_cast<uint64_t>(newPos) > m_nDataSize) Grow(static_cast<uint64_t>(newPos));
  m_nPos = static_cast<uint32_t>(newPos);
  return m_nPos;
}

void CUnzipMemFile::SetLength(uint64_t nNewLen) {
  if (nNewLen > kMaxSize) ThrowMem();
  if (nNewLen <= m_nBufSize) {
    m_nDataSize = m_nPos = static_cast<uint32_t>(nNewLen);
    return;
  }
  Grow(nNewLen);
  m_nDataSize = static_cast<uint32_t>(nNewLen);
}
