#include "feed/SslFileCheck.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstring>
#include <memory>

namespace {

// The ORB's SSL connection threads may still hold per-thread OpenSSL state
// while the process exits; OpenSSL's clean-up at exit is skipped for them,
// which must be asked for before anything initialises OpenSSL, this check
// included.
void InitOpenSsl() { OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr); }

struct CtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
typedef std::unique_ptr<SSL_CTX, CtxFree> Ctx;

Ctx NewContext() {
  InitOpenSsl();
  ERR_clear_error();
  return Ctx(SSL_CTX_new(TLS_client_method()));
}

// OpenSSL's reason for the last failure, emptying its error queue.
std::string LastError(const char* fallback) {
  std::string text;
  unsigned long code;
  while ((code = ERR_get_error()) != 0) {
    const char* reason = ERR_reason_error_string(code);
    if (reason != nullptr) text = reason;  // the last one is the first cause
    if (text.empty()) {
      char buffer[256];
      ERR_error_string_n(code, buffer, sizeof buffer);
      text = buffer;
    }
  }
  return text.empty() ? fallback : text;
}

int PassPhrase(char* buffer, int size, int /*rwflag*/, void* userdata) {
  const std::string& phrase = *static_cast<const std::string*>(userdata);
  if (size <= 0) return 0;
  const int n = static_cast<int>(phrase.size() < static_cast<size_t>(size) ? phrase.size() : size - 1);
  std::memcpy(buffer, phrase.data(), static_cast<size_t>(n));
  return n;
}

}  // namespace

std::string CertificateAuthorityFileProblem(const std::string& path) {
  Ctx ctx = NewContext();
  if (!ctx) return LastError("cannot make an SSL context");
  if (SSL_CTX_load_verify_locations(ctx.get(), path.c_str(), nullptr) != 1)
    return LastError("no certificate could be read");
  return {};
}

std::string KeyFileProblem(const std::string& path, const std::string& passPhrase) {
  Ctx ctx = NewContext();
  if (!ctx) return LastError("cannot make an SSL context");
  std::string phrase = passPhrase;
  SSL_CTX_set_default_passwd_cb(ctx.get(), &PassPhrase);
  SSL_CTX_set_default_passwd_cb_userdata(ctx.get(), &phrase);
  if (SSL_CTX_use_certificate_chain_file(ctx.get(), path.c_str()) != 1)
    return "no certificate: " + LastError("no certificate could be read");
  if (SSL_CTX_use_PrivateKey_file(ctx.get(), path.c_str(), SSL_FILETYPE_PEM) != 1)
    return "no private key: " + LastError("the key could not be read");
  if (SSL_CTX_check_private_key(ctx.get()) != 1)
    return "the key does not match the certificate: " + LastError("mismatch");
  return {};
}
