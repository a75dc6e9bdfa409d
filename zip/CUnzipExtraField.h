// The extra field of a header: records of an identifier, a size and data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CUnzipExtraField {
 public:
  struct Record {
    uint16_t uId = 0;
    std::vector<unsigned char> data;
  };

  // Splits the bytes into records; false when a record is cut short.
  bool Parse(const unsigned char* p, size_t nSize);
  const Record* Find(uint16_t uId) const;
  void Clear() { m_records.clear(); }
  const std::vector<Record>& Records() const { return m_records; }

 private:
  std::vector<Record> m_records;
};
