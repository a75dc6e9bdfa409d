#include "platform/com/rpc/Wire.h"

namespace orvrpc {

namespace {
constexpr uint32_t kNullString = 0xFFFFFFFFu;
}

void Writer::Str16(const char16_t* s, uint32_t units, bool null) {
  if (null) {
    U32(kNullString);
    return;
  }
  U32(units);
  Raw(s, size_t(units) * sizeof(char16_t));
}

void Writer::Str8(const std::string& s) {
  U32(static_cast<uint32_t>(s.size()));
  Raw(s.data(), s.size());
}

std::string& Writer::Finish(FrameKind kind, uint32_t callId) {
  uint32_t magic = kFrameMagic;
  uint32_t length = static_cast<uint32_t>(BodySize());
  char* h = &buf_[0];
  std::memcpy(h, &magic, 4);
  h[4] = static_cast<char>(kWireVersion);
  h[5] = static_cast<char>(kind);
  h[6] = 0;
  h[7] = 0;
  std::memcpy(h + 8, &callId, 4);
  std::memcpy(h + 12, &length, 4);
  return buf_;
}

const uint8_t* Reader::Take(size_t n) {
  if (n > n_ - pos_) throw DecodeError("frame body ends early");
  const uint8_t* p = p_ + pos_;
  pos_ += n;
  return p;
}

bool Reader::Str16(std::u16string* out) {
  uint32_t units = U32();
  if (units == kNullString) {
    out->clear();
    return false;
  }
  if (units > Remaining() / sizeof(char16_t)) throw DecodeError("string longer than frame body");
  const uint8_t* p = Take(size_t(units) * sizeof(char16_t));
  out->resize(units);
  if (units) std::memcpy(&(*out)[0], p, size_t(units) * sizeof(char16_t));
  return true;
}

std::string Reader::Str8() {
  uint32_t n = U32();
  if (n > Remaining()) throw DecodeError("string longer than frame body");
  const uint8_t* p = Take(n);
  return std::string(reinterpret_cast<const char*>(p), n);
}

uint32_t Reader::Count(size_t minItemSize) {
  uint32_t n = U32();
  if (minItemSize && n > Remaining() / minItemSize) throw DecodeError("count larger than frame body");
  return n;
}

void FrameDecoder::Feed(const void* data, size_t size) {
  if (!error_.empty()) return;
  // Drop what was consumed before growing, so the buffer holds at most one
  // partial frame plus one read.
  if (pos_ > 0 && pos_ == buf_.size()) {
    buf_.clear();
    pos_ = 0;
  } else if (pos_ > 65536) {
    buf_.erase(0, pos_);
    pos_ = 0;
  }
  buf_.append(static_cast<const char*>(data), size);
}

FrameDecoder::Status FrameDecoder::Fail(std::string why) {
  error_ = std::move(why);
  buf_.clear();
  pos_ = 0;
  return Status::kError;
}

FrameDecoder::Status FrameDecoder::Next(FrameHeader* header, std::string* body) {
  if (!error_.empty()) return Status::kError;
  size_t avail = buf_.size() - pos_;
  if (avail < kFrameHeaderSize) return Status::kNeedMore;
  const uint8_t* h = reinterpret_cast<const uint8_t*>(buf_.data()) + pos_;
  uint32_t magic, callId, length;
  std::memcpy(&magic, h, 4);
  std::memcpy(&callId, h + 8, 4);
  std::memcpy(&length, h + 12, 4);
  if (magic != kFrameMagic) return Fail("not a frame of this transport (bad magic)");
  if (h[4] != kWireVersion) return Fail("unsupported wire version " + std::to_string(h[4]));
  if (h[5] < uint8_t(FrameKind::kRequest) || h[5] > uint8_t(FrameKind::kRelease))
    return Fail("unknown frame kind " + std::to_string(h[5]));
  if (h[6] != 0 || h[7] != 0) return Fail("reserved header bytes not zero");
  if (length > maxBody_)
    return Fail("frame body of " + std::to_string(length) + " bytes is over the limit of " +
                std::to_string(maxBody_));
  if (avail - kFrameHeaderSize < length) return Status::kNeedMore;
  header->kind = static_cast<FrameKind>(h[5]);
  header->callId = callId;
  header->length = length;
  body->assign(buf_.data() + pos_ + kFrameHeaderSize, length);
  pos_ += kFrameHeaderSize + length;
  return Status::kFrame;
}

}  // namespace orvrpc
