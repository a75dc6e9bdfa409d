// Certificate and key files made with the openssl program in a folder: the
// good ones and the kinds of bad one that the settings check must refuse.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

struct SslFiles {
  std::string ca;         // a self-signed certificate
  std::string client;     // its key, unencrypted, and the certificate in one file
  std::string locked;     // the same with the key encrypted under kLockedPhrase
  std::string junk;       // text that is no PEM at all
  std::string truncated;  // a key file cut off in the middle of the key
  static constexpr const char* kLockedPhrase = "right-phrase";

  // False when openssl could not make them.
  bool Make(const std::string& folder) {
    ca = folder + "/ca.pem";
    client = folder + "/client.pem";
    locked = folder + "/locked.pem";
    junk = folder + "/junk.pem";
    truncated = folder + "/truncated.pem";
    const std::string key = folder + "/key.pem", lockedKey = folder + "/locked-key.pem";
    const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout '" +
                             key + "' -out '" + ca + "' >/dev/null 2>&1 && openssl pkey -in '" + key +
                             "' -aes256 -passout pass:" + kLockedPhrase + " -out '" + lockedKey + "' >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) return false;
    std::ofstream(client) << std::ifstream(key).rdbuf() << std::ifstream(ca).rdbuf();
    std::ofstream(locked) << std::ifstream(lockedKey).rdbuf() << std::ifstream(ca).rdbuf();
    std::ofstream(junk) << "this is not a certificate\n";
    std::ifstream in(client);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream(truncated) << all.substr(0, all.size() / 4);
    return true;
  }
};
