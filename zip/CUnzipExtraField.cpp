#include "zip/CUnzipExtraField.h"

bool CUnzipExtraField::Parse(const unsigned char* p, size_t nSize) {
  m_records.clear();
  size_t pos = 0;
  while (pos < nSize) {
    if (nSize - pos < 4) return false;
    Record r;
    r.uId = static_cast<uint16_t>(p[pos] | (p[pos + 1] << 8));
    const size_t len = static_cast<size_t>(p[pos + 2] | (p[pos + 3] << 8));
    pos += 4;
    if (len > nSize - pos) return false;
    r.data.assign(p + pos, p + pos + len);
    pos += len;
    m_records.push_back(std::move(r));
  }
  return true;
}

const CUnzipExtraField::Record* CUnzipExtraField::Find(uint16_t uId) const {
  for (const Record& r : m_records)
    if (r.uId == uId) return &r;
  return nullptr;
}
