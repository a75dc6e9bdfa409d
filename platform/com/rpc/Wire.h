// The byte format of the object transport: frames, and the little-endian
// primitives that their bodies are made of.
//
// A frame is a 16-byte header followed by its body:
//   u32 magic "ORVM" | u8 version | u8 kind | u16 zero | u32 call id | u32 body length
// Everything that comes off a socket is checked before it is trusted: a bad
// header, an unknown kind or a length above the limit is an error that ends
// that connection, and a body that is shorter than what it claims to hold
// fails to decode instead of being read past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace orvrpc {

constexpr uint32_t kFrameMagic = 0x4D56524Fu;  // 'O' 'R' 'V' 'M' on the wire
constexpr uint8_t kWireVersion = 1;
constexpr size_t kFrameHeaderSize = 16;
// Far above any call the contract can make (a reply of a few thousand
// records' worth of strings), far below what would let a peer make us
// allocate without bound.
constexpr uint32_t kMaxFrameBody = 16u << 20;
// What decoding one frame body may allocate: a few bytes on the wire can
// stand for much more in memory (two bytes for a VARIANT of sixteen, four
// for a string), so the body's own limit does not bound it.
constexpr size_t kMaxDecodedBytes = 2 * size_t(kMaxFrameBody);

enum class FrameKind : uint8_t {
  kRequest = 1,  // a call; answered by a reply with the same call id
  kReply = 2,
  kRelease = 3,  // one-way: references given back
};

struct FrameHeader {
  FrameKind kind = FrameKind::kRequest;
  uint32_t callId = 0;
  uint32_t length = 0;
};

// Thrown by Reader when a body does not hold what it is read as.
class DecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Bodies from this size up are read straight into a buffer of their own
// and come from the spare buffers below.
constexpr size_t kLargeBody = 32u << 10;

// A few spare buffers for large frame bodies, so that a stream of large
// values does not have the allocator hand the same memory back to the
// kernel and fault it in again for every message. Take gives a string of
// `size` bytes (contents undefined); Give takes one back once its bytes
// are no longer needed (one too small or too large to keep is freed).
std::string TakeBodyBuffer(size_t size);
void GiveBodyBuffer(std::string&& buf);

// Builds one frame: the header is reserved at the front and filled in by
// Finish, so that a frame goes out in a single write. The buffer is the
// calling thread's spare one when it has one, and goes back to it after.
class Writer {
 public:
  Writer();
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void U8(uint8_t v) { buf_.push_back(static_cast<char>(v)); }
  void U16(uint16_t v) { Raw(&v, 2); }
  void U32(uint32_t v) { Raw(&v, 4); }
  void U64(uint64_t v) { Raw(&v, 8); }
  void I16(int16_t v) { Raw(&v, 2); }
  void I32(int32_t v) { Raw(&v, 4); }
  void I64(int64_t v) { Raw(&v, 8); }
  void F32(float v) { Raw(&v, 4); }
  void F64(double v) { Raw(&v, 8); }
  void Bytes(const void* p, size_t n) { buf_.append(static_cast<const char*>(p), n); }
  // Room for `n` more bytes, so that a large value grows the buffer once.
  void Reserve(size_t n) { buf_.reserve(buf_.size() + n); }
  // A UTF-16 string; `null` is kept apart from the empty string.
  void Str16(const char16_t* s, uint32_t units, bool null);
  // An 8-bit string (names in GetIDsOfNames requests).
  void Str8(const std::string& s);

  size_t BodySize() const { return buf_.size() - kFrameHeaderSize; }
  // For a value known only after what follows it (a reply's HRESULT), and
  // for dropping a half-written part when it cannot be finished.
  void PatchU32(size_t bodyOffset, uint32_t v) {
    std::memcpy(&buf_[kFrameHeaderSize + bodyOffset], &v, 4);
  }
  void Truncate(size_t bodySize) { buf_.resize(kFrameHeaderSize + bodySize); }
  // Fills in the header and hands the whole frame over.
  std::string& Finish(FrameKind kind, uint32_t callId);

 private:
  // The wire is little-endian, as is every machine this runs on.
  void Raw(const void* p, size_t n) { buf_.append(static_cast<const char*>(p), n); }
  std::string buf_;
};

// Reads a frame body; every read checks the bytes left first.
class Reader {
 public:
  Reader(const void* data, size_t size, size_t decodedLimit = kMaxDecodedBytes)
      : p_(static_cast<const uint8_t*>(data)), n_(size), budget_(decodedLimit) {}
  explicit Reader(const std::string& body) : Reader(body.data(), body.size()) {}

  uint8_t U8() { return Get<uint8_t>(); }
  uint16_t U16() { return Get<uint16_t>(); }
  uint32_t U32() { return Get<uint32_t>(); }
  uint64_t U64() { return Get<uint64_t>(); }
  int16_t I16() { return Get<int16_t>(); }
  int32_t I32() { return Get<int32_t>(); }
  int64_t I64() { return Get<int64_t>(); }
  float F32() { return Get<float>(); }
  double F64() { return Get<double>(); }
  const uint8_t* Take(size_t n);
  // A UTF-16 string: false for the null string, else the code units.
  bool Str16(std::u16string* out);
  // The same without a copy: where its `units` code units start in the
  // body (not aligned).
  bool Str16Bytes(const uint8_t** units, uint32_t* count);
  std::string Str8();
  // A count of items that each need at least `minItemSize` bytes; a count
  // that the rest of the body cannot hold is refused before anything is
  // allocated for it.
  uint32_t Count(size_t minItemSize);
  // Books memory that decoding is about to allocate for this body; past
  // the reader's limit the body fails to decode.
  void Charge(uint64_t bytes) {
    if (bytes > budget_) throw DecodeError("body decodes to more than the limit");
    budget_ -= size_t(bytes);
  }

  size_t Remaining() const { return n_ - pos_; }
  bool AtEnd() const { return pos_ == n_; }
  // For bodies that must be consumed exactly.
  void ExpectEnd() const {
    if (!AtEnd()) throw DecodeError("trailing bytes in frame body");
  }

 private:
  template <typename T>
  T Get() {
    T v;
    std::memcpy(&v, Take(sizeof(T)), sizeof(T));
    return v;
  }
  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
  size_t budget_;
};

// Cuts a byte stream into frames. Read into Space and Commit what the read
// returned (or Feed a copy), then call Next until it needs more; after an
// error the decoder stays failed. The body of a large frame is read
// straight into its own buffer once its header is in, so that its bytes
// are copied once, from the socket to where they are decoded.
class FrameDecoder {
 public:
  enum class Status { kNeedMore, kFrame, kError };

  explicit FrameDecoder(uint32_t maxBody = kMaxFrameBody) : maxBody_(maxBody) {}

  // Where the next read puts its bytes, and how many it may put there
  // (never past the end of a large body in progress).
  char* Space(size_t* room);
  // `n` bytes were put at Space.
  void Commit(size_t n);
  void Feed(const void* data, size_t size);
  // A large body is handed over in its own buffer, to be given back with
  // GiveBodyBuffer once decoded (a body simply dropped is freed).
  Status Next(FrameHeader* header, std::string* body);
  const std::string& Error() const { return error_; }
  // Bytes held that do not yet make a whole frame.
  size_t Buffered() const { return end_ - pos_ + (large_ ? filled_ : 0); }

 private:
  Status Fail(std::string why);
  uint32_t maxBody_;
  // Bytes [pos_, end_) of buf_ are held; buf_'s size is its room.
  std::string buf_;
  size_t pos_ = 0, end_ = 0;
  // A large frame whose header is read and whose body fills `large_`.
  bool large_ = false;
  FrameHeader largeHeader_;
  std::string largeBody_;
  size_t filled_ = 0;
  std::string error_;
};

}  // namespace orvrpc
