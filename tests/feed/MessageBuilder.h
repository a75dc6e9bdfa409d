// Writes messages the way the services do: little-endian, unaligned,
// fixed-width zero-padded texts.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

class MessageBuilder {
 public:
  MessageBuilder& Header(uint8_t type, uint32_t blocks, uint8_t fields, uint8_t isLast = 1,
                         uint8_t isDelayed = 0, uint16_t blockSize = 0, float reserved = 0.0f) {
    U8(type).U8(isDelayed).U8(isLast).U16(blockSize).U32(blocks).Float(reserved).U8(fields);
    return *this;
  }
  // A header whose field count is taken from the id list that follows.
  MessageBuilder& Block(uint8_t type, uint32_t blocks, std::initializer_list<uint8_t> ids, uint8_t isLast = 1) {
    Header(type, blocks, static_cast<uint8_t>(ids.size()), isLast);
    for (uint8_t id : ids) U8(id);
    return *this;
  }
  MessageBuilder& U8(uint8_t v) {
    bytes.push_back(v);
    return *this;
  }
  MessageBuilder& U16(uint16_t v) { return U8(v & 0xFF).U8(v >> 8); }
  MessageBuilder& U32(uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
  MessageBuilder& I16(int16_t v) { return U16(static_cast<uint16_t>(v)); }
  MessageBuilder& I32(int32_t v) { return U32(static_cast<uint32_t>(v)); }
  MessageBuilder& Float(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return U32(b);
  }
  MessageBuilder& Double(double d) {
    uint64_t b;
    std::memcpy(&b, &d, 8);
    return U32(static_cast<uint32_t>(b)).U32(static_cast<uint32_t>(b >> 32));
  }
  MessageBuilder& Text(const std::string& s, size_t width) {
    for (size_t i = 0; i < width; ++i) U8(i < s.size() ? static_cast<uint8_t>(s[i]) : 0);
    return *this;
  }
  const uint8_t* data() const { return bytes.data(); }
  size_t size() const { return bytes.size(); }

  std::vector<uint8_t> bytes;
};
