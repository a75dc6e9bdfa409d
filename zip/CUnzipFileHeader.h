// One entry of the archive as its central directory record describes it.
#pragma once

#include <cstdint>
#include <string>

#include "zip/CUnzipExtraField.h"

class CUnzipStorage;

class CUnzipFileHeader {
 public:
  static constexpr uint8_t kNoEncryption = 255;
  static constexpr uint8_t kTraditionalEncryption = 0;
  static constexpr uint16_t kNameRecordId = 0x5A4C;
  static constexpr uint16_t kAesMethod = 99;

  // Reads one central directory record at the storage's position; false
  // when the record is malformed. Short reads throw "damaged".
  bool ReadCentral(CUnzipStorage& storage);

  // Reads the local header at the storage's position and checks it against
  // this central one; false when they disagree. Leaves the storage at the
  // entry's data.
  bool CheckLocal(CUnzipStorage& storage);

  bool IsDirectory() const;
  bool IsEncrypted() const { return m_uEncryptionMethod != kNoEncryption; }
  bool IsDataDescriptor() const { return (m_uFlag & 8) != 0; }
  int GetSystemCompatibility() const { return m_uVersionMadeBy >> 8; }

  uint16_t m_uVersionMadeBy = 0;
  uint16_t m_uVersionNeeded = 0;
  uint16_t m_uFlag = 0;
  uint16_t m_uMethod = 8;
  uint16_t m_uModTime = 0;
  uint16_t m_uModDate = 0;
  uint32_t m_uCrc32 = 0;
  uint32_t m_uComprSize = 0;
  uint32_t m_uUncomprSize = 0;
  uint16_t m_uDiskStart = 0;
  uint16_t m_uInternalAttr = 0;
  uint32_t m_uExternalAttr = 0;
  uint32_t m_uOffset = 0;
  std::string m_pszFileName;  // raw bytes as stored
  CUnzipExtraField m_aCentralExtraField;
  CUnzipExtraField m_aLocalExtraField;
  std::string m_pszComment;
  uint8_t m_uEncryptionMethod = kNoEncryption;
  uint32_t m_uNameCodePage = 0;
  uint32_t m_uCommentCodePage = 0;

 private:
  bool ReadNameRecord();
};
