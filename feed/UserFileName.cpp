#include "feed/UserFileName.h"

#include <openssl/evp.h>

#include <cstdio>
#include <stdexcept>

namespace {

const char kSuffix[] = ".db";
// Room for the suffix and for the journal's "-journal" below the usual
// 255-byte limit of a file name.
constexpr size_t kMaxStem = 200;
// Hex digits of the digest that stand in for a long name's end.
constexpr size_t kDigestDigits = 32;

bool Plain(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'.' ||
         c == u'_' || c == u'@' || c == u'-';
}

std::string DigestText(const std::u16string& userName) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(userName.data(), userName.size() * sizeof(char16_t), digest, &length, EVP_sha256(), nullptr) !=
      1)
    throw std::runtime_error("cannot compute the digest of a user name");
  std::string out;
  char buf[3];
  for (unsigned int i = 0; i < length && out.size() < kDigestDigits; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", digest[i]);
    out += buf;
  }
  return out;
}

}  // namespace

std::string UserFileName(const std::u16string& userName) {
  if (userName.empty()) return std::string();
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
  if (out.size() > kMaxStem) {
    size_t keep = kMaxStem - 1 - kDigestDigits;
    // Not inside an escape, so that the start still reads back.
    const size_t percent = out.rfind('%', keep);
    if (percent != std::string::npos && percent + 6 > keep) keep = percent;
    out = out.substr(0, keep) + "~" + DigestText(userName);
  }
  return out + kSuffix;
}
