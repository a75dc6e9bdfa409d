// The archive's end record and central directory: the list of entries,
// sorted by where their data lies, and the entry being read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zip/CUnzipFileHeader.h"

class CUnzipStorage;

class CUnzipCentralDir {
 public:
  // The end of central directory record as read.
  struct CInfo {
    uint64_t m_uEndOffset = 0;  // of the record itself, in the file
    uint16_t m_uThisDisk = 0;
    uint16_t m_uDiskWithCD = 0;
    uint16_t m_uDiskEntriesNo = 0;
    uint16_t m_uEntriesNumber = 0;
    uint32_t m_uSize = 0;
    uint32_t m_uOffset = 0;
    std::string m_pszComment;
  };

  // The farthest an end record can lie from the end of the file: the
  // record's 22 bytes and the longest comment.
  static constexpr uint64_t kEndRecordSearchLimit = 0xFFFF + 22;

  explicit CUnzipCentralDir(CUnzipStorage& storage) : m_storage(storage) {}

  // Finds the end record and reads the directory. Throws on damage.
  void Read();
  void Clear();

  uint16_t GetCount() const { return static_cast<uint16_t>(m_headers.size()); }
  CUnzipFileHeader& operator[](uint16_t uIndex) { return *m_headers[uIndex]; }
  const CUnzipFileHeader& operator[](uint16_t uIndex) const { return *m_headers[uIndex]; }

  // Positions the storage at the entry's data after checking its local
  // header. Throws "damaged" when the local header does not fit.
  void OpenFile(uint16_t uIndex);
  void CloseFile() { m_pOpenedFile = nullptr; }

  CInfo m_info;
  CUnzipFileHeader* m_pOpenedFile = nullptr;

 private:
  void ReadHeaders();

  CUnzipStorage& m_storage;
  std::vector<std::unique_ptr<CUnzipFileHeader>> m_headers;
};
