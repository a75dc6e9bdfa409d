#include "feed/PasswordHash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>
#include <vector>

PasswordHash::Digest PasswordHash::DigestOf(const std::string& password) const {
  std::vector<unsigned char> input(m_salt.begin(), m_salt.end());
  input.insert(input.end(), password.begin(), password.end());
  Digest out{};
  unsigned int length = 0;
  if (EVP_Digest(input.data(), input.size(), out.data(), &length, EVP_sha256(), nullptr) != 1 ||
      length != out.size())
    throw std::runtime_error("cannot compute a password digest");
  OPENSSL_cleanse(input.data(), input.size());
  return out;
}

void PasswordHash::Set(const std::string& password) {
  if (RAND_bytes(m_salt.data(), static_cast<int>(m_salt.size())) != 1)
    throw std::runtime_error("cannot draw a password salt");
  m_digest = DigestOf(password);
  m_set = true;
}

bool PasswordHash::Matches(const std::string& password) const {
  if (!m_set) return false;
  const Digest candidate = DigestOf(password);
  return CRYPTO_memcmp(candidate.data(), m_digest.data(), m_digest.size()) == 0;
}
