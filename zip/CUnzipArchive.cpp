#include "zip/CUnzipArchive.h"

#include <algorithm>
#include <cstdlib>

#include "zip/CUnzipException.h"

CUnzipArchive::CUnzipArchive() : m_centralDir(m_storage) {}

CUnzipArchive::~CUnzipArchive() {
  try {
    Close(true);
  } catch (...) {
    // A destructor must not throw; closing after an exception checks nothing.
  }
}

bool CUnzipArchive::Open(CUnzipAbstractFile& af, int iMode) {
  if (!IsClosed()) return false;
  // Only reading is built: creating or changing archives never happens here.
  if (iMode != zipOpen) return false;
  m_storage.Open(af);
  try {
    m_centralDir.Read();
  } catch (...) {
    m_centralDir.Clear();
    m_storage.Close();
    throw;
  }
  return true;
}

void CUnzipArchive::Close(bool bAfterException, bool /*bUpdateTimeStamp*/) {
  if (IsClosed()) return;
  // A read archive has nothing to write back; whatever ending the entry
  // throws, the archive ends up closed.
  struct Finally {
    CUnzipArchive& a;
    ~Finally() {
      a.m_pCompressor.reset();
      a.m_centralDir.Clear();
      a.m_storage.Close();
    }
  } finally{*this};
  CloseFile(bAfterException);
}

void CUnzipArchive::EndEntry(bool bAfterException) {
  if (m_pCompressor) m_pCompressor->FinishDecompression(bAfterException);
  m_centralDir.CloseFile();
  m_iFileOpened = nothing;
}

bool CUnzipArchive::OpenFile(uint16_t uIndex) {
  if (IsClosed() || !IndexValid(uIndex) || m_iFileOpened != nothing) return false;
  m_centralDir.OpenFile(uIndex);
  CUnzipFileHeader& header = *m_centralDir.m_pOpenedFile;
  if (!CUnzipCompressor::IsCompressionSupported(header.m_uMethod)) {
    m_centralDir.CloseFile();
    return false;
  }
  // No password is ever set, so an encrypted entry cannot be read.
  if (header.IsEncrypted()) {
    m_centralDir.CloseFile();
    m_storage.ThrowError(CUnzipException::badPassword);
  }
  // One compressor reads both methods: the one of an earlier entry is
  // started afresh rather than made again.
  if (!m_pCompressor) m_pCompressor = CUnzipCompressor::CreateCompressor(header.m_uMethod, m_storage);
  try {
    m_pCompressor->InitDecompression(header);
  } catch (...) {
    m_pCompressor->FinishDecompression(true);
    m_centralDir.CloseFile();
    throw;
  }
  m_iFileOpened = extract;
  return true;
}

uint32_t CUnzipArchive::ReadFile(void* pBuf, uint32_t uSize) {
  if (m_iFileOpened != extract || uSize == 0) return 0;
  return m_pCompressor->Decompress(pBuf, uSize);
}

int CUnzipArchive::CloseFile(bool bAfterException) {
  if (m_iFileOpened != extract) return 0;
  int ret = 1;
  if (!bAfterException) {
    if (m_pCompressor->GetUncomprLeft() > 0) {
      ret = -1;
    } else if (m_pCompressor->GetCrc() != m_centralDir.m_pOpenedFile->m_uCrc32) {
      // The entry is ended before the throw, so nothing is left half open.
      EndEntry(false);
      m_storage.ThrowError(CUnzipException::badCrc);
    }
  }
  EndEntry(bAfterException);
  return ret;
}

void CUnzipArchive::Reserve(CUnzipAbstractFile& af, uint64_t uPos) {
  // A memory file grown a step per write copies its whole buffer at every
  // step, which for a large entry costs more than inflating it. Seeking to
  // where the entry will end grows it once, to the same capacity the writes
  // would reach. A size no stream of this length could produce is not
  // trusted, so a damaged header cannot reserve more than the data allows.
  const CUnzipFileHeader& header = *m_centralDir.m_pOpenedFile;
  const uint64_t left = m_storage.GetLength() - m_storage.File().GetPosition();
  const uint64_t compr = std::min<uint64_t>(header.m_uComprSize, left);
  const uint64_t most = header.m_uMethod == CUnzipCompressor::methodStore ? compr : compr * kMaxDeflateRatio + 1;
  if (header.m_uUncomprSize == 0 || header.m_uUncomprSize > most) return;
  if (uPos + header.m_uUncomprSize <= af.GetLength()) return;
  try {
    af.Seek(static_cast<int64_t>(uPos + header.m_uUncomprSize), CUnzipAbstractFile::begin);
  } catch (const CUnzipException&) {
    // A target that cannot grow fails on the write that needs it, as before.
  }
  af.Seek(static_cast<int64_t>(uPos), CUnzipAbstractFile::begin);
}

uint64_t CUnzipArchive::GetUncompressedSize(uint16_t uIndex) const {
  if (IsClosed() || !IndexValid(uIndex)) return 0;
  return m_centralDir[uIndex].m_uUncomprSize;
}

bool CUnzipArchive::ExtractFile(uint16_t uIndex, CUnzipAbstractFile& af, bool bRewind, uint32_t nBufSize) {
  if (nBufSize == 0 || IsClosed() || !IndexValid(uIndex)) return false;
  if (m_centralDir[uIndex].IsDirectory()) return false;
  if (!OpenFile(uIndex)) return false;

  bool ok = false;
  uint64_t startPos = 0;
  try {
    struct Buffer {
      void* p = nullptr;
      ~Buffer() { std::free(p); }
    } buf;
    startPos = af.GetPosition();
    Reserve(af, startPos);
    for (;;) {
      // Steps of nBufSize, as through a buffer of that size: a step that
      // fails mid-way leaves the target as a buffer would have, without it.
      // Where the target already holds the room (it was reserved), each step
      // is unpacked straight into it instead of being copied there. Once the
      // declared size is out, the last step only checks that the entry ends
      // there and writes nothing, so any byte does for its room.
      const uint32_t step = std::min(nBufSize, m_pCompressor->GetUncomprLeft());
      unsigned char end = 0;
      unsigned char* room = step == 0 ? &end : af.WriteInPlace(step);
      if (room) {
        const uint32_t n = ReadFile(room, step == 0 ? 1 : step);
        if (n == 0) break;
        af.WroteInPlace(n);
        continue;
      }
      if (!buf.p) {
        buf.p = std::malloc(nBufSize);
        if (!buf.p) m_storage.ThrowError(CUnzipException::memError);
      }
      const uint32_t n = ReadFile(buf.p, nBufSize);
      if (n == 0) break;
      af.Write(buf.p, n);
    }
    ok = CloseFile(false) == 1;
  } catch (...) {
    CloseFile(true);
    throw;
  }
  if (bRewind) af.Seek(static_cast<int64_t>(startPos), CUnzipAbstractFile::begin);
  return ok;
}
