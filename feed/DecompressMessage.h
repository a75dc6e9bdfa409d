// Removes the ZIP wrapping of a compressed reply: entry 0 of the archive is
// the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

// A decompressed message: the buffer and its length. Empty when there is no
// message.
class CMessageBuffer {
 public:
  CMessageBuffer() = default;
  CMessageBuffer(uint8_t* data, size_t length) : m_data(data), m_length(data != nullptr ? length : 0) {}

  const uint8_t* data() const { return m_data.get(); }
  size_t size() const { return m_length; }
  bool empty() const { return m_length == 0; }
  explicit operator bool() const { return !empty(); }

 private:
  struct Free {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  std::unique_ptr<uint8_t, Free> m_data;
  size_t m_length = 0;
};

// Entry 0 of the archive held in data[0, length). Empty when data is null,
// the archive cannot be read (logged as "Unzip error ..."), or the entry
// gives no bytes (a refused extraction is not logged as an error).
CMessageBuffer DecompressMessage(const uint8_t* data, size_t length);
