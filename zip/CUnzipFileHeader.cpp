#include "zip/CUnzipFileHeader.h"

#include <vector>

#include "zip/CUnzipException.h"
#include "zip/CUnzipStorage.h"

namespace {

const unsigned char kCentralSignature[4] = {0x50, 0x4B, 0x01, 0x02};
const unsigned char kLocalSignature[4] = {0x50, 0x4B, 0x03, 0x04};

uint16_t U16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

bool SameSignature(const unsigned char* p, const unsigned char* sig) {
  return p[0] == sig[0] && p[1] == sig[1] && p[2] == sig[2] && p[3] == sig[3];
}

std::string ReadBytes(CUnzipStorage& storage, uint16_t n) {
  std::string s(n, '\0');
  if (n) storage.Read(&s[0], n);
  return s;
}

bool ReadExtra(CUnzipStorage& storage, uint16_t n, CUnzipExtraField& extra) {
  const std::string raw = ReadBytes(storage, n);
  return extra.Parse(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
}

}  // namespace

bool CUnzipFileHeader::ReadCentral(CUnzipStorage& storage) {
  unsigned char buf[46];
  storage.Read(buf, sizeof(buf));
  if (!SameSignature(buf, kCentralSignature)) return false;
  m_uVersionMadeBy = U16(buf + 4);
  m_uVersionNeeded = U16(buf + 6);
  m_uFlag = U16(buf + 8);
  m_uMethod = U16(buf + 10);
  m_uModTime = U16(buf + 12);
  m_uModDate = U16(buf + 14);
  m_uCrc32 = U32(buf + 16);
  m_uComprSize = U32(buf + 20);
  m_uUncomprSize = U32(buf + 24);
  const uint16_t nameLen = U16(buf + 28);
  const uint16_t extraLen = U16(buf + 30);
  const uint16_t commentLen = U16(buf + 32);
  m_uDiskStart = U16(buf + 34);
  m_uInternalAttr = U16(buf + 36);
  m_uExternalAttr = U32(buf + 38);
  m_uOffset = U32(buf + 42);
  m_uEncryptionMethod = (m_uFlag & 1) ? kTraditionalEncryption : kNoEncryption;

  m_pszFileName = ReadBytes(storage, nameLen);
  if (!ReadExtra(storage, extraLen, m_aCentralExtraField)) return false;
  m_pszComment = ReadBytes(storage, commentLen);
  return ReadNameRecord();
}

// The name record may carry the entry's name in a given code page. The
// bytes replace the plain name as they are: nothing reads entry names but
// the directory test, which looks at the last byte only.
bool CUnzipFileHeader::ReadNameRecord() {
  const CUnzipExtraField::Record* r = m_aCentralExtraField.Find(kNameRecordId);
  if (!r) return true;
  const std::vector<unsigned char>& d = r->data;
  if (d.empty()) return false;
  if (d[0] >= 2) return true;  // a later layout: kept, not read
  if (d.size() < 2) return false;
  const unsigned flags = d[1];
  size_t pos = 2;
  if (flags & 1) {
    if (d.size() < pos + 4) return false;
    m_uNameCodePage = U32(d.data() + pos);
    pos += 4;
    if (flags & 2) {
      const long nameLen = static_cast<long>(d.size()) - 6 - ((flags & 4) ? 4 : 0);
      if (nameLen < 1) return false;
      m_pszFileName.assign(reinterpret_cast<const char*>(d.data() + pos), static_cast<size_t>(nameLen));
      pos += static_cast<size_t>(nameLen);
    }
  }
  if (flags & 4) {
    if (d.size() < pos + 4) return false;
    m_uCommentCodePage = U32(d.data() + pos);
  }
  return true;
}

bool CUnzipFileHeader::CheckLocal(CUnzipStorage& storage) {
  unsigned char buf[30];
  storage.Read(buf, sizeof(buf));
  if (!SameSignature(buf, kLocalSignature)) return false;
  const uint16_t flag = U16(buf + 6);
  if ((flag & 0xF) != (m_uFlag & 0xF)) return false;
  const uint16_t method = U16(buf + 8);
  const uint32_t crc = U32(buf + 14);
  const uint32_t comprSize = U32(buf + 18);
  const uint32_t uncomprSize = U32(buf + 22);
  const uint16_t nameLen = U16(buf + 26);
  const uint16_t extraLen = U16(buf + 28);
  // Read rather than skipped, so a name cut off by the end of the file is
  // damage and not a seek past it.
  ReadBytes(storage, nameLen);
  if (!ReadExtra(storage, extraLen, m_aLocalExtraField)) return false;
  if (method == kAesMethod && IsEncrypted()) storage.ThrowError(CUnzipException::noAES);
  if (method != m_uMethod) return false;
  if (!IsDataDescriptor()) {
    if (crc != m_uCrc32) return false;
    if (comprSize != 0 && comprSize != m_uComprSize) return false;
    if (uncomprSize != m_uUncomprSize) return false;
  }
  return true;
}

bool CUnzipFileHeader::IsDirectory() const {
  const bool slash = !m_pszFileName.empty() && (m_pszFileName.back() == '/' || m_pszFileName.back() == '\\');
  const int system = GetSystemCompatibility();
  switch (system) {
    case 0: case 3: case 6: case 7: case 10: {
      const uint32_t attr = system == 3 ? (m_uExternalAttr >> 16) : m_uExternalAttr;
      const uint32_t dirBit = system == 3 ? 0x4000 : 0x10;
      return (attr == 0 && slash) || (attr & dirBit) != 0;
    }
    default:
      return slash;
  }
}
