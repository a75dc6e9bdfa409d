#include "feed/UserFileName.h"

#include <cstdio>

namespace {

bool Plain(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'.' ||
         c == u'_' || c == u'@' || c == u'-';
}

}  // namespace

std::string UserFileName(const std::u16string& userName) {
  std::string out;
  out.reserve(userName.size());
  for (size_t i = 0; i < userName.size(); ++i) {
    const char16_t c = userName[i];
    if (Plain(c) && !(i == 0 && c == u'.')) {
      out += static_cast<char>(c);
      continue;
    }
    char buf[8];
    if (c < 0x100) {
      std::snprintf(buf, sizeof buf, "%%%02X", static_cast<unsigned>(c));
    } else {
      std::snprintf(buf, sizeof buf, "%%u%04X", static_cast<unsigned>(c));
    }
    out += buf;
  }
  return out;
}
