#include "ZipWriter.h"

#include <zlib.h>

#include <stdexcept>

namespace orvsim {

namespace {

void Put16(std::vector<uint8_t>& o, uint32_t v) {
  o.push_back(static_cast<uint8_t>(v));
  o.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& o, uint32_t v) {
  for (int i = 0; i < 4; ++i) o.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::vector<uint8_t> RawDeflate(const uint8_t* data, size_t len) {
  z_stream zs{};
  if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  std::vector<uint8_t> out(deflateBound(&zs, static_cast<uLong>(len)) + 16);
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = static_cast<uInt>(len);
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&zs, Z_FINISH);
  const size_t produced = zs.total_out;
  deflateEnd(&zs);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
  out.resize(produced);
  return out;
}

}  // namespace

std::vector<uint8_t> ZipSingleEntry(const uint8_t* data, size_t len, const std::string& name) {
  if (len > 0xFFFFFFFEu) throw std::runtime_error("entry too large for a plain ZIP archive");
  static const uint8_t kEmpty = 0;
  if (!data) data = &kEmpty;
  const uint32_t crc = static_cast<uint32_t>(crc32(0L, data, static_cast<uInt>(len)));
  const std::vector<uint8_t> packed = RawDeflate(data, len);
  // A fixed time stamp (1980-01-01 00:00) keeps archives of equal messages equal.
  const uint16_t dosTime = 0, dosDate = (0 << 9) | (1 << 5) | 1;
  const uint16_t nameLen = static_cast<uint16_t>(name.size());

  std::vector<uint8_t> z;
  z.reserve(packed.size() + 2 * name.size() + 100);
  Put32(z, 0x04034b50);  // local file header
  Put16(z, 20);          // version needed: deflate
  Put16(z, 0);           // flags: sizes are in this header, not in a descriptor
  Put16(z, 8);           // method: deflate
  Put16(z, dosTime);
  Put16(z, dosDate);
  Put32(z, crc);
  Put32(z, static_cast<uint32_t>(packed.size()));
  Put32(z, static_cast<uint32_t>(len));
  Put16(z, nameLen);
  Put16(z, 0);  // extra length
  z.insert(z.end(), name.begin(), name.end());
  z.insert(z.end(), packed.begin(), packed.end());

  const uint32_t cdOffset = static_cast<uint32_t>(z.size());
  Put32(z, 0x02014b50);  // central directory header
  Put16(z, 20);          // made by
  Put16(z, 20);          // needed
  Put16(z, 0);
  Put16(z, 8);
  Put16(z, dosTime);
  Put16(z, dosDate);
  Put32(z, crc);
  Put32(z, static_cast<uint32_t>(packed.size()));
  Put32(z, static_cast<uint32_t>(len));
  Put16(z, nameLen);
  Put16(z, 0);  // extra
  Put16(z, 0);  // comment
  Put16(z, 0);  // disk number
  Put16(z, 0);  // internal attributes
  Put32(z, 0);  // external attributes
  Put32(z, 0);  // offset of the local header
  z.insert(z.end(), name.begin(), name.end());
  const uint32_t cdSize = static_cast<uint32_t>(z.size()) - cdOffset;

  Put32(z, 0x06054b50);  // end of central directory
  Put16(z, 0);
  Put16(z, 0);
  Put16(z, 1);
  Put16(z, 1);
  Put32(z, cdSize);
  Put32(z, cdOffset);
  Put16(z, 0);  // comment length
  return z;
}

}  // namespace orvsim
