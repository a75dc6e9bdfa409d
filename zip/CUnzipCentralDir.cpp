#include "zip/CUnzipCentralDir.h"

#include <algorithm>

#include "zip/CUnzipException.h"
#include "zip/CUnzipStorage.h"

namespace {

const unsigned char kEndSignature[4] = {0x50, 0x4B, 0x05, 0x06};
const unsigned char kZip64LocatorSignature[4] = {0x50, 0x4B, 0x06, 0x07};

uint16_t U16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

void CUnzipCentralDir::Clear() {
  m_pOpenedFile = nullptr;
  m_headers.clear();
  m_info = CInfo();
}

void CUnzipCentralDir::Read() {
  Clear();
  CUnzipAbstractFile& file = m_storage.File();
  file.SeekToBegin();

  const uint64_t endPos = m_storage.LocateSignature(kEndSignature, file.GetLength(), kEndRecordSearchLimit);
  if (endPos == CUnzipStorage::kNotFound) m_storage.ThrowError(CUnzipException::cdirNotFound);
  m_info.m_uEndOffset = endPos;

  unsigned char buf[18];
  m_storage.SeekAbsolute(endPos + 4);
  m_storage.Read(buf, sizeof(buf));
  m_info.m_uThisDisk = U16(buf);
  m_info.m_uDiskWithCD = U16(buf + 2);
  m_info.m_uDiskEntriesNo = U16(buf + 4);
  m_info.m_uEntriesNumber = U16(buf + 6);
  m_info.m_uSize = U32(buf + 8);
  m_info.m_uOffset = U32(buf + 12);
  const uint16_t commentLen = U16(buf + 16);
  if (commentLen) {
    m_info.m_pszComment.assign(commentLen, '\0');
    m_storage.Read(&m_info.m_pszComment[0], commentLen);
  }

  if (m_info.m_uThisDisk == 0xFFFF || m_info.m_uDiskWithCD == 0xFFFF || m_info.m_uDiskEntriesNo == 0xFFFF ||
      m_info.m_uEntriesNumber == 0xFFFF || m_info.m_uSize == 0xFFFFFFFF || m_info.m_uOffset == 0xFFFFFFFF) {
    if (m_storage.LocateSignature(kZip64LocatorSignature, endPos, endPos) != CUnzipStorage::kNotFound)
      m_storage.ThrowError(CUnzipException::noZip64);
  }

  // Archives split over several volumes cannot be read from one buffer.
  if (m_info.m_uThisDisk != 0 || m_info.m_uDiskWithCD != 0) m_storage.ThrowError(CUnzipException::badZipFile);

  // In 64 bits, so an offset and size that wrap a u32 cannot pass.
  const uint64_t dirEnd = static_cast<uint64_t>(m_info.m_uOffset) + m_info.m_uSize;
  if (endPos < dirEnd) m_storage.ThrowError(CUnzipException::badZipFile);
  // Offsets inside the archive count from its own start, which lies this
  // far into the file when something precedes it.
  m_storage.m_uBytesBeforeZip = endPos - dirEnd;

  if ((m_info.m_uSize == 0) != (m_info.m_uEntriesNumber == 0)) m_storage.ThrowError(CUnzipException::badZipFile);

  if (m_info.m_uSize != 0) ReadHeaders();
}

void CUnzipCentralDir::ReadHeaders() {
  m_storage.SeekInArchive(m_info.m_uOffset);
  m_headers.reserve(m_info.m_uEntriesNumber);
  for (uint32_t i = 0; i < m_info.m_uEntriesNumber; ++i) {
    auto header = std::make_unique<CUnzipFileHeader>();
    if (!header->ReadCentral(m_storage)) m_storage.ThrowError(CUnzipException::badZipFile);
    m_headers.push_back(std::move(header));
  }
  auto less = [](const std::unique_ptr<CUnzipFileHeader>& a, const std::unique_ptr<CUnzipFileHeader>& b) {
    if (a->m_uDiskStart != b->m_uDiskStart) return a->m_uDiskStart < b->m_uDiskStart;
    return a->m_uOffset < b->m_uOffset;
  };
  // Archives mostly list their entries in the order they lie already.
  if (!std::is_sorted(m_headers.begin(), m_headers.end(), less))
    std::stable_sort(m_headers.begin(), m_headers.end(), less);
  for (size_t i = 1; i < m_headers.size(); ++i) {
    if (m_headers[i - 1]->m_uDiskStart == m_headers[i]->m_uDiskStart &&
        m_headers[i - 1]->m_uOffset == m_headers[i]->m_uOffset)
      m_storage.ThrowError(CUnzipException::badZipFile);
  }
}

void CUnzipCentralDir::OpenFile(uint16_t uIndex) {
  CUnzipFileHeader& header = *m_headers[uIndex];
  // Every entry of a single-volume archive starts on disk 0.
  if (header.m_uDiskStart != 0) m_storage.ThrowError(CUnzipException::badZipFile);
  m_storage.SeekInArchive(header.m_uOffset);
  if (!header.CheckLocal(m_storage)) m_storage.ThrowError(CUnzipException::badZipFile);
  m_pOpenedFile = &header;
}
