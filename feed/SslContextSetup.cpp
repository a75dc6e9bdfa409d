#include "feed/SslContextSetup.h"

#include "feed/CSettings.h"
#include "platform/log/Log.h"
#include "zmdataservice410.hh"

// After the ORB's own headers, which it relies on.
#include <omniORB4/sslContext.h>

bool ConfigureSslContext() {
  if (CSettings::UseSSL == 0) return false;
  // The settings do not change after start-up, so their texts outlive the
  // ORB that keeps these pointers.
  sslContext::certificate_authority_file = CSettings::RootCertificateFile.c_str();
  sslContext::key_file = CSettings::CertificateFile.c_str();
  sslContext::key_file_password = CSettings::KeyPass.c_str();
  ORV_LOG(orvlog::kDebug, "SSL certificate file: " << CSettings::RootCertificateFile
                                                   << " key file: " << CSettings::CertificateFile);
  return true;
}
