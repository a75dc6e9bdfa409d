#include "platform/dde/DdeWire.h"

#include <cstring>

namespace orvdde {

namespace {

void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(char((v >> (8 * i)) & 0xFF));
}

void PutName(std::string& out, const std::string& s) {
  out.push_back(char(s.size() & 0xFF));
  out.push_back(char((s.size() >> 8) & 0xFF));
  out += s;
}

void PutData(std::string& out, bool has, const std::string& data) {
  out.push_back(has ? 1 : 0);
  PutU32(out, uint32_t(data.size()));
  out += data;
}

class Reader {
 public:
  Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool U32(uint32_t* v) {
    if (n_ - at_ < 4) return false;
    *v = uint32_t(p_[at_]) | uint32_t(p_[at_ + 1]) << 8 | uint32_t(p_[at_ + 2]) << 16 |
         uint32_t(p_[at_ + 3]) << 24;
    at_ += 4;
    return true;
  }
  bool Name(std::string* s) {
    if (n_ - at_ < 2) return false;
    size_t len = size_t(p_[at_]) | size_t(p_[at_ + 1]) << 8;
    at_ += 2;
    if (len > kMaxName || n_ - at_ < len) return false;
    s->assign(reinterpret_cast<const char*>(p_ + at_), len);
    at_ += len;
    return true;
  }
  bool Data(bool* has, std::string* s) {
    if (n_ - at_ < 5) return false;
    uint8_t flag = p_[at_++];
    if (flag > 1) return false;
    *has = flag == 1;
    uint32_t len = 0;
    U32(&len);
    if (n_ - at_ < len || (!*has && len != 0)) return false;
    s->assign(reinterpret_cast<const char*>(p_ + at_), len);
    at_ += len;
    return true;
  }
  bool AtEnd() const { return at_ == n_; }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t at_ = 0;
};

}  // namespace

std::string EncodeFrame(const Frame& f) {
  std::string payload;
  switch (f.type) {
    case kConnect:
      PutU32(payload, f.seq);
      PutName(payload, f.name1);
      PutName(payload, f.name2);
      break;
    case kConnectReply:
      PutU32(payload, f.seq);
      PutU32(payload, f.status);
      break;
    case kTransaction:
      PutU32(payload, f.seq);
      PutU32(payload, f.xtyp);
      PutU32(payload, f.format);
      PutU32(payload, f.flags);
      PutName(payload, f.name1);
      PutData(payload, f.hasData, f.data);
      break;
    case kResult:
      PutU32(payload, f.seq);
      PutU32(payload, f.status);
      PutU32(payload, f.flags);
      PutU32(payload, f.format);
      PutName(payload, f.name1);
      PutData(payload, f.hasData, f.data);
      break;
    case kAdviseData:
      PutU32(payload, f.format);
      PutName(payload, f.name1);
      PutData(payload, f.hasData, f.data);
      break;
  }
  std::string out("ORVD", 4);
  out.push_back(char(kWireVersion));
  out.push_back(char(f.type));
  out.push_back(0);
  out.push_back(0);
  PutU32(out, uint32_t(payload.size()));
  return out + payload;
}

DecodeResult DecodeFrame(const uint8_t* bytes, size_t size, Frame* f, size_t* used) {
  // A header is judged as soon as its bytes are there, so that a stranger
  // is turned away without waiting for a payload it may never send.
  static const char kMagic[4] = {'O', 'R', 'V', 'D'};
  size_t have = size < 4 ? size : 4;
  if (std::memcmp(bytes, kMagic, have) != 0) return DecodeResult::kMalformed;
  if (size >= 5 && bytes[4] != kWireVersion) return DecodeResult::kMalformed;
  if (size >= 6 && (bytes[5] < kConnect || bytes[5] > kAdviseData)) return DecodeResult::kMalformed;
  if (size >= 8 && (bytes[6] != 0 || bytes[7] != 0)) return DecodeResult::kMalformed;
  if (size < kHeaderSize) return DecodeResult::kNeedMore;
  uint32_t length = uint32_t(bytes[8]) | uint32_t(bytes[9]) << 8 | uint32_t(bytes[10]) << 16 |
                    uint32_t(bytes[11]) << 24;
  if (length > kMaxPayload) return DecodeResult::kMalformed;
  if (size - kHeaderSize < length) return DecodeResult::kNeedMore;

  Frame out;
  out.type = FrameType(bytes[5]);
  Reader r(bytes + kHeaderSize, length);
  bool ok = false;
  switch (out.type) {
    case kConnect:
      ok = r.U32(&out.seq) && r.Name(&out.name1) && r.Name(&out.name2);
      break;
    case kConnectReply:
      ok = r.U32(&out.seq) && r.U32(&out.status);
      break;
    case kTransaction:
      ok = r.U32(&out.seq) && r.U32(&out.xtyp) && r.U32(&out.format) && r.U32(&out.flags) &&
           r.Name(&out.name1) && r.Data(&out.hasData, &out.data);
      break;
    case kResult:
      ok = r.U32(&out.seq) && r.U32(&out.status) && r.U32(&out.flags) && r.U32(&out.format) &&
           r.Name(&out.name1) && r.Data(&out.hasData, &out.data);
      break;
    case kAdviseData:
      ok = r.U32(&out.format) && r.Name(&out.name1) && r.Data(&out.hasData, &out.data);
      break;
  }
  if (!ok || !r.AtEnd()) return DecodeResult::kMalformed;
  *f = std::move(out);
  *used = kHeaderSize + length;
  return DecodeResult::kFrame;
}

}  // namespace orvdde
