#include "platform/com/rpc/Wire.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace orvrpc {

namespace {
constexpr uint32_t kNullString = 0xFFFFFFFFu;

// What one read asks for when no large body is being filled.
constexpr size_t kReadChunk = 64u << 10;

// A buffer kept for reuse is at most this large, so that one huge message
// does not hold its memory for the life of the process or thread.
constexpr size_t kKeepBytes = 4u << 20;
constexpr size_t kSpareBodies = 4;

struct BodyBuffers {
  std::mutex mu;
  std::vector<std::string> spare;
};

BodyBuffers& Bodies() {
  // Never destroyed: connections may still read while static destructors run.
  static BodyBuffers* b = new BodyBuffers();
  return *b;
}

// The thread's spare frame buffer for Writer.
thread_local std::string t_writerSpare;
}  // namespace

std::string TakeBodyBuffer(size_t size) {
  std::string buf;
  {
    BodyBuffers& b = Bodies();
    std::lock_guard<std::mutex> lock(b.mu);
    // The smallest spare that holds `size`, else the largest (grown below).
    size_t best = b.spare.size();
    for (size_t i = 0; i < b.spare.size(); ++i) {
      if (best == b.spare.size()) {
        best = i;
        continue;
      }
      size_t cap = b.spare[i].capacity(), bestCap = b.spare[best].capacity();
      if (cap >= size ? (bestCap < size || cap < bestCap) : (bestCap < size && cap > bestCap)) best = i;
    }
    if (best < b.spare.size()) {
      buf.swap(b.spare[best]);
      b.spare.erase(b.spare.begin() + long(best));
    }
  }
  // A spare keeps the size it had, so that only bytes past it are cleared.
  buf.resize(size);
  return buf;
}

void GiveBodyBuffer(std::string&& buf) {
  if (buf.capacity() < kLargeBody || buf.capacity() > kKeepBytes) return;
  std::string keep(std::move(buf));
  buf.clear();
  BodyBuffers& b = Bodies();
  std::lock_guard<std::mutex> lock(b.mu);
  if (b.spare.size() < kSpareBodies) {
    b.spare.push_back(std::move(keep));
    return;
  }
  // Full: keep the larger ones.
  auto smallest = std::min_element(b.spare.begin(), b.spare.end(), [](const std::string& x, const std::string& y) {
    return x.capacity() < y.capacity();
  });
  if (smallest->capacity() < keep.capacity()) smallest->swap(keep);
}

Writer::Writer() {
  buf_.swap(t_writerSpare);
  buf_.assign(kFrameHeaderSize, '\0');
}

Writer::~Writer() {
  // The larger of the two stays as the thread's spare.
  if (buf_.capacity() <= kKeepBytes && buf_.capacity() > t_writerSpare.capacity()) {
    buf_.clear();
    t_writerSpare.swap(buf_);
  }
}

void Writer::Str16(const char16_t* s, uint32_t units, bool null) {
  if (null) {
    U32(kNullString);
    return;
  }
  U32(units);
  if (units) Raw(s, size_t(units) * sizeof(char16_t));
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

bool Reader::Str16Bytes(const uint8_t** units, uint32_t* count) {
  uint32_t n = U32();
  *units = nullptr;
  *count = 0;
  if (n == kNullString) return false;
  if (n > Remaining() / sizeof(char16_t)) throw DecodeError("string longer than frame body");
  *units = Take(size_t(n) * sizeof(char16_t));
  *count = n;
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

char* FrameDecoder::Space(size_t* room) {
  if (large_ && filled_ < largeBody_.size()) {
    *room = largeBody_.size() - filled_;
    return &largeBody_[filled_];
  }
  // Drop what was consumed before growing, so the buffer holds at most one
  // partial small frame plus one read.
  if (pos_ == end_) {
    pos_ = end_ = 0;
  } else if (pos_ > 0 && buf_.size() - end_ < kReadChunk) {
    std::memmove(&buf_[0], &buf_[pos_], end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  if (buf_.size() - end_ < kReadChunk) buf_.resize(end_ + kReadChunk);
  *room = buf_.size() - end_;
  return &buf_[end_];
}

void FrameDecoder::Commit(size_t n) {
  if (!error_.empty()) return;
  if (large_ && filled_ < largeBody_.size())
    filled_ += n;
  else
    end_ += n;
}

void FrameDecoder::Feed(const void* data, size_t size) {
  if (!error_.empty()) return;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    size_t room = 0;
    char* to = Space(&room);
    size_t n = std::min(room, size);
    std::memcpy(to, p, n);
    Commit(n);
    p += n;
    size -= n;
  }
}

FrameDecoder::Status FrameDecoder::Fail(std::string why) {
  error_ = std::move(why);
  buf_.clear();
  buf_.shrink_to_fit();
  pos_ = end_ = 0;
  large_ = false;
  largeBody_ = std::string();
  filled_ = 0;
  return Status::kError;
}

FrameDecoder::Status FrameDecoder::Next(FrameHeader* header, std::string* body) {
  if (!error_.empty()) return Status::kError;
  if (large_) {
    if (filled_ < largeBody_.size()) return Status::kNeedMore;
    *header = largeHeader_;
    body->swap(largeBody_);
    largeBody_ = std::string();
    large_ = false;
    filled_ = 0;
    return Status::kFrame;
  }
  size_t avail = end_ - pos_;
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
  FrameHeader got;
  got.kind = static_cast<FrameKind>(h[5]);
  got.callId = callId;
  got.length = length;
  size_t have = avail - kFrameHeaderSize;
  if (length >= kLargeBody) {
    // Its own buffer, filled with what is here and then read into directly.
    largeBody_ = TakeBodyBuffer(length);
    size_t n = std::min<size_t>(have, length);
    if (n) std::memcpy(&largeBody_[0], buf_.data() + pos_ + kFrameHeaderSize, n);
    filled_ = n;
    pos_ += kFrameHeaderSize + n;
    largeHeader_ = got;
    large_ = true;
    return Next(header, body);
  }
  if (have < length) return Status::kNeedMore;
  *header = got;
  body->assign(buf_.data() + pos_ + kFrameHeaderSize, length);
  pos_ += kFrameHeaderSize + length;
  return Status::kFrame;
}

}  // namespace orvrpc
