// Readers for the tests, written against the wire format rather than against
// orvsim's encoder: a ZIP reader for single-entry archives and a block walker
// that takes the field widths from the test itself.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvtest {

inline uint32_t Le(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

struct ZipEntry {
  uint16_t flags = 0, method = 0;
  uint32_t crc = 0, packed = 0, size = 0;
  std::string name;
  std::vector<uint8_t> data;  // inflated
};

// Reads entry 0 of a one-entry archive and checks that the local header, the
// central directory and the end record agree. Throws on any inconsistency.
inline ZipEntry ReadZip(const std::vector<uint8_t>& z) {
  auto need = [&](size_t off, size_t n) {
    if (off + n > z.size()) throw std::runtime_error("archive truncated");
  };
  need(0, 30);
  if (Le(&z[0], 4) != 0x04034b50) throw std::runtime_error("no local header");
  ZipEntry e;
  e.flags = static_cast<uint16_t>(Le(&z[6], 2));
  e.method = static_cast<uint16_t>(Le(&z[8], 2));
  e.crc = Le(&z[14], 4);
  e.packed = Le(&z[18], 4);
  e.size = Le(&z[22], 4);
  const uint32_t nameLen = Le(&z[26], 2), extraLen = Le(&z[28], 2);
  need(30, nameLen + extraLen + e.packed);
  e.name.assign(reinterpret_cast<const char*>(&z[30]), nameLen);
  const size_t dataOff = 30 + nameLen + extraLen;

  // End record: the last 22 bytes (no comment).
  need(0, 22);
  const size_t eocd = z.size() - 22;
  if (Le(&z[eocd], 4) != 0x06054b50) throw std::runtime_error("no end record");
  if (Le(&z[eocd + 10], 2) != 1) throw std::runtime_error("not exactly one entry");
  const uint32_t cdSize = Le(&z[eocd + 12], 4), cdOff = Le(&z[eocd + 16], 4);
  if (cdOff != dataOff + e.packed || cdOff + cdSize != eocd)
    throw std::runtime_error("central directory not where the end record says");
  if (Le(&z[cdOff], 4) != 0x02014b50) throw std::runtime_error("no central directory header");
  if (Le(&z[cdOff + 16], 4) != e.crc || Le(&z[cdOff + 20], 4) != e.packed ||
      Le(&z[cdOff + 24], 4) != e.size || Le(&z[cdOff + 42], 4) != 0)
    throw std::runtime_error("central directory disagrees with the local header");

  e.data.resize(e.size);
  z_stream zs{};
  if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) throw std::runtime_error("inflateInit2");
  zs.next_in = const_cast<Bytef*>(&z[dataOff]);
  zs.avail_in = e.packed;
  uint8_t dummy = 0;
  zs.next_out = e.size ? e.data.data() : &dummy;
  zs.avail_out = e.size ? e.size : 1;
  const int rc = inflate(&zs, Z_FINISH);
  const size_t produced = zs.total_out;
  inflateEnd(&zs);
  if (rc != Z_STREAM_END || produced != e.size) throw std::runtime_error("inflate failed");
  if (crc32(0L, e.data.data(), e.size) != e.crc) throw std::runtime_error("CRC mismatch");
  return e;
}

struct Block {
  uint8_t type = 0, isDelayed = 0, isLast = 0;
  uint16_t blockSize = 0;
  uint32_t count = 0;
  uint8_t fieldsAmount = 0;
  std::vector<uint8_t> ids;
  // records[r][f]: the raw bytes of field f of record r.
  std::vector<std::vector<std::string>> records;
};

// width(type, id) gives the width the test expects; 0 for an id it does not
// expect, which fails the walk. Stops after the block marked last and fails
// on trailing bytes or a message that ends early.
template <typename WidthFn>
std::vector<Block> Walk(const std::vector<uint8_t>& m, WidthFn width) {
  std::vector<Block> blocks;
  size_t p = 0;
  for (;;) {
    if (p + 14 > m.size()) throw std::runtime_error("header past the end");
    Block b;
    b.type = m[p];
    b.isDelayed = m[p + 1];
    b.isLast = m[p + 2];
    b.blockSize = static_cast<uint16_t>(Le(&m[p + 3], 2));
    b.count = Le(&m[p + 5], 4);
    b.fieldsAmount = m[p + 13];
    p += 14;
    if (p + b.fieldsAmount > m.size()) throw std::runtime_error("ids past the end");
    b.ids.assign(m.begin() + static_cast<long>(p), m.begin() + static_cast<long>(p + b.fieldsAmount));
    p += b.fieldsAmount;
    for (uint32_t r = 0; r < b.count; ++r) {
      std::vector<std::string> rec;
      for (uint8_t id : b.ids) {
        const size_t w = width(b.type, id);
        if (w == 0) throw std::runtime_error("unexpected field " + std::to_string(id));
        if (p + w > m.size()) throw std::runtime_error("record past the end");
        rec.emplace_back(reinterpret_cast<const char*>(&m[p]), w);
        p += w;
      }
      b.records.push_back(std::move(rec));
    }
    const bool last = b.isLast != 0;
    blocks.push_back(std::move(b));
    if (last) break;
  }
  if (p != m.size()) throw std::runtime_error("bytes after the last block");
  return blocks;
}

inline std::string Text(const std::string& raw) { return std::string(raw.c_str()); }
inline float Float(const std::string& raw) {
  uint32_t bits = Le(reinterpret_cast<const uint8_t*>(raw.data()), 4);
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}
inline int32_t Int(const std::string& raw) {
  if (raw.size() == 2)
    return static_cast<int16_t>(Le(reinterpret_cast<const uint8_t*>(raw.data()), 2));
  return static_cast<int32_t>(Le(reinterpret_cast<const uint8_t*>(raw.data()),
                                 static_cast<int>(raw.size())));
}

}  // namespace orvtest
