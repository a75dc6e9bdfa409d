#include "BlockWriter.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "MessageTypes.h"

namespace orvsim {

namespace {

void PutU16(std::vector<uint8_t>& o, uint32_t v) {
  o.push_back(static_cast<uint8_t>(v));
  o.push_back(static_cast<uint8_t>(v >> 8));
}
void PutU32(std::vector<uint8_t>& o, uint32_t v) {
  for (int i = 0; i < 4; ++i) o.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutU64(std::vector<uint8_t>& o, uint64_t v) {
  for (int i = 0; i < 8; ++i) o.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutFloat(std::vector<uint8_t>& o, float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, 4);
  PutU32(o, bits);
}
void PutDouble(std::vector<uint8_t>& o, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  PutU64(o, bits);
}

// Numbers outside the field's range are clamped rather than wrapped, so a
// runaway model value cannot turn into a plausible-looking wrong one.
int64_t Clamp(double v, int64_t lo, int64_t hi) {
  if (!(v == v)) return 0;
  if (v <= static_cast<double>(lo)) return lo;
  if (v >= static_cast<double>(hi)) return hi;
  return static_cast<int64_t>(v);
}

std::vector<FieldSpec> Resolve(int type, const std::vector<uint8_t>& ids, int pv) {
  std::vector<FieldSpec> specs;
  specs.reserve(ids.size());
  for (uint8_t id : ids) {
    FieldSpec f;
    if (!FindField(type, id, pv, &f))
      throw std::invalid_argument("field " + std::to_string(id) + " not carried by type " +
                                  std::to_string(type));
    specs.push_back(f);
  }
  return specs;
}

}  // namespace

long RecordWidth(int type, const std::vector<uint8_t>& ids, int protocolVersion) {
  long w = 0;
  for (uint8_t id : ids) {
    FieldSpec f;
    if (!FindField(type, id, protocolVersion, &f)) return -1;
    w += FieldWidth(f);
  }
  return w;
}

void AppendBlock(std::vector<uint8_t>& out, int type, const std::vector<uint8_t>& ids,
                 int protocolVersion, size_t rows, const RowFn& row, bool isLast) {
  if (ids.size() > 255) throw std::invalid_argument("more than 255 fields in a block");
  if (rows > 0xFFFFFFFFu) throw std::invalid_argument("too many records for one block");
  const std::vector<FieldSpec> specs = Resolve(type, ids, protocolVersion);
  long width = 0;
  for (const auto& f : specs) width += FieldWidth(f);

  out.reserve(out.size() + kBlockHeaderSize + ids.size() + rows * static_cast<size_t>(width));
  out.push_back(static_cast<uint8_t>(type));
  out.push_back(0);  // is_delayed: this service never delays
  out.push_back(isLast ? 1 : 0);
  PutU16(out, static_cast<uint32_t>(width > 0xFFFF ? 0xFFFF : width));  // one record's size
  PutU32(out, static_cast<uint32_t>(rows));
  PutFloat(out, 0.0f);
  out.push_back(static_cast<uint8_t>(ids.size()));
  out.insert(out.end(), ids.begin(), ids.end());

  FieldValue v;
  for (size_t r = 0; r < rows; ++r) {
    for (const auto& f : specs) {
      v = FieldValue();
      row(r, f.id, v);
      switch (f.enc) {
        case Enc::kText: {
          const size_t n = v.text.size() < f.width ? v.text.size() : f.width;
          out.insert(out.end(), v.text.begin(), v.text.begin() + static_cast<long>(n));
          out.insert(out.end(), f.width - n, 0);
          break;
        }
        case Enc::kFloat: PutFloat(out, static_cast<float>(v.num)); break;
        case Enc::kDouble: PutDouble(out, v.num); break;
        case Enc::kInt16:
          PutU16(out, static_cast<uint16_t>(static_cast<int16_t>(Clamp(v.num, -32768, 32767))));
          break;
        case Enc::kInt32:
          PutU32(out, static_cast<uint32_t>(
                          static_cast<int32_t>(Clamp(v.num, INT32_MIN, INT32_MAX))));
          break;
        case Enc::kChar: out.push_back(static_cast<uint8_t>(v.ch)); break;
      }
    }
  }
}

void MarkLast(std::vector<uint8_t>& out, size_t offset, bool last) {
  if (offset + kBlockHeaderSize <= out.size()) out[offset + 2] = last ? 1 : 0;
}

}  // namespace orvsim
