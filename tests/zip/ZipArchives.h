// The archives the generator wrote for this build, by name.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ziptest {

using Bytes = std::vector<unsigned char>;

// NAME.zip; a missing file fails the calling test.
Bytes Archive(const std::string& name);
// NAME.out, the data entry 0 must yield, when the archive has one.
std::optional<Bytes> Expected(const std::string& name);

}  // namespace ziptest
