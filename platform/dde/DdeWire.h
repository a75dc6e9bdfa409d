// The frames of a DDE conversation on its socket.
//
// Every frame is a 12-byte header, "ORVD", the version byte, the frame type,
// two zero bytes and the payload's length (32-bit little-endian), then the
// payload. A peer of another version, an unknown type, a payload longer
// than kMaxPayload or one whose fields do not fill it exactly is malformed:
// the connection that sent it is closed, nothing else is touched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvdde {

const uint8_t kWireVersion = 1;
const size_t kHeaderSize = 12;
const uint32_t kMaxPayload = 16u * 1024 * 1024;
// Atoms hold at most 255 characters; names on the wire are held to that.
const size_t kMaxName = 255;

enum FrameType : uint8_t {
  kConnect = 1,        // client: seq, service, topic
  kConnectReply = 2,   // server: seq, status (1 accepted)
  kTransaction = 3,    // client: seq, xtyp, format, flags, item, data
  kResult = 4,         // server: seq, status, flags, format, item, data
  kAdviseData = 5,     // server: format, item, data
};

struct Frame {
  FrameType type = kConnect;
  uint32_t seq = 0;
  uint32_t xtyp = 0;
  uint32_t format = 0;
  uint32_t flags = 0;
  uint32_t status = 0;
  std::string name1;  // service, or item
  std::string name2;  // topic
  bool hasData = false;
  std::string data;
};

std::string EncodeFrame(const Frame& frame);

enum class DecodeResult { kFrame, kNeedMore, kMalformed };

// Decodes the first frame of `size` bytes; on kFrame `*used` is its length.
DecodeResult DecodeFrame(const uint8_t* bytes, size_t size, Frame* frame, size_t* used);

}  // namespace orvdde
