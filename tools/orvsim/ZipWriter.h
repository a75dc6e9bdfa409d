// An in-memory ZIP archive with one deflated entry: local header carrying
// the CRC and both sizes (no data descriptor), the data, the central
// directory and the end record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvsim {

// Throws std::runtime_error when zlib fails or the data exceeds 4 GiB.
std::vector<uint8_t> ZipSingleEntry(const uint8_t* data, size_t len,
                                    const std::string& name = "message.bin");

}  // namespace orvsim
