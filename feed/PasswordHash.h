// What a session keeps of the password that a service accepted: a salted
// digest, so that a later sign-in onto the session can be checked without
// the password itself staying in memory.
#pragma once

#include <array>
#include <string>

class PasswordHash {
 public:
  // Keeps the digest of password under a fresh random salt.
  void Set(const std::string& password);
  // False while nothing was set.
  bool Matches(const std::string& password) const;

 private:
  typedef std::array<unsigned char, 32> Digest;
  Digest DigestOf(const std::string& password) const;

  std::array<unsigned char, 16> m_salt{};
  Digest m_digest{};
  bool m_set = false;
};
