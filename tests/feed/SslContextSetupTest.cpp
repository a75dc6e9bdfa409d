#include "feed/SslContextSetup.h"

#include <gtest/gtest.h>

#include <fstream>

#include "LogCapture.h"
#include "SslFiles.h"
#include "TempDir.h"
#include "feed/CSettings.h"
#include "zmdataservice410.hh"

#include <omniORB4/sslContext.h>

namespace {

TEST(SslContextSetupTest, OnlyFilesThatExistReachTheOrbAndAPlainOrbStillStarts) {
  TempDir dir;
  LogCapture log(orvlog::kWarn);
  CSettings::SetDefaults();
  CSettings::UseSSL = 1;
  CSettings::RootCertificateFile = dir.File("missing-ca.pem");
  CSettings::CertificateFile = dir.File("missing-key.pem");
  CSettings::ApplyStartupCorrections();
  EXPECT_EQ(CSettings::UseSSL, 0u);
  EXPECT_FALSE(ConfigureSslContext());
  EXPECT_EQ(sslContext::certificate_authority_file, nullptr);
  EXPECT_EQ(sslContext::key_file, nullptr);

  // With the transport linked in, a context naming missing files would stop
  // the ORB from starting at all; left alone, a plain ORB starts.
  int argc = 0;
  CORBA::ORB_var orb;
  ASSERT_NO_THROW(orb = CORBA::ORB_init(argc, nullptr, "omniORB4"));
  orb->destroy();

  SslFiles files;
  ASSERT_TRUE(files.Make(dir.path())) << "openssl could not make a certificate";
  CSettings::UseSSL = 1;
  CSettings::RootCertificateFile = files.ca;
  CSettings::CertificateFile = files.locked;
  CSettings::KeyPass = SslFiles::kLockedPhrase;
  CSettings::ApplyStartupCorrections();
  ASSERT_TRUE(ConfigureSslContext());
  EXPECT_STREQ(sslContext::certificate_authority_file, files.ca.c_str());
  EXPECT_STREQ(sslContext::key_file, files.locked.c_str());
  EXPECT_STREQ(sslContext::key_file_password, SslFiles::kLockedPhrase);
  sslContext::certificate_authority_file = nullptr;
  sslContext::key_file = nullptr;
  sslContext::key_file_password = nullptr;
}

}  // namespace
