// The SSL endpoint, with a self-signed certificate made for the test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "OrvSimClient.h"
// After the ORB's own headers, which it needs.
#include <omniORB4/sslContext.h>

namespace orvtest {
namespace {

TEST(OrvSimSsl, ServesIiopOverSslOnItsOwnPort) {
  TempDir dir;
  const std::string cert = dir.path() + "/cert.pem", key = dir.path() + "/key.pem",
                    both = dir.path() + "/client.pem";
  const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1"
                           " -keyout '" + key + "' -out '" + cert + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(make.c_str()), 0) << "openssl could not make a certificate";
  {
    // The ORB's client context reads its key and certificate from one file.
    std::ofstream out(both);
    out << std::ifstream(key).rdbuf() << std::ifstream(cert).rdbuf();
  }
  sslContext::certificate_authority_file = cert.c_str();
  sslContext::key_file = both.c_str();
  sslContext::key_file_password = "";

  orvsim::OrvSimProcess sim(dir.path(), {"--rate", "0", "--ssl-port", "0", "--ssl-cert", cert,
                                         "--ssl-key", key, "--log-level", "warn"});
  const std::string sslPort = sim.Get("ssl_port");
  EXPECT_NE(sslPort, sim.Get("port"));
  EXPECT_EQ(sim.Get("SslConnString"), "ssliop:127.0.0.1:" + sslPort);

  for (const char* key : {"ZmDataService", "ZmDataBroker"}) {
    Orv::ZmDataService_var svc =
        Resolve<Orv::ZmDataService>("corbaloc:ssliop:127.0.0.1:" + sslPort + "/" + key);
    ASSERT_FALSE(CORBA::is_nil(svc)) << key;
    Orv::ZmDataManager_var m = svc->GetZmDataManager();
    EXPECT_EQ(m->Connect("orvsim", "orvsim"), 0) << "default credentials";
    EXPECT_EQ(m->Connect("orvsim", "orvsim"), 2);
  }
  Orv::ZmDataService_var svc =
      Resolve<Orv::ZmDataService>("corbaloc:ssliop:127.0.0.1:" + sslPort + "/ZmDataService");
  Orv::ZmDataManager_var m = svc->GetZmDataManager();
  ASSERT_EQ(m->Connect("orvsim", "orvsim"), 0);
  CORBA::Any_var a = m->GetMarketDataAll(1, orvidl::FieldListAny({2}));
  EXPECT_EQ(Decode(Octets(&a.in()))[0].count, 20u);

  // The port speaks TLS only: plain GIOP there fails.
  CORBA::Object_var plain = Orb()->string_to_object(
      ("corbaloc:iiop:127.0.0.1:" + sslPort + "/ZmDataService").c_str());
  omniORB::setClientCallTimeout(plain, 5000);
  EXPECT_THROW(plain->_non_existent(), CORBA::SystemException);
  EXPECT_EQ(sim.Stop(), 0);
}

}  // namespace
}  // namespace orvtest
