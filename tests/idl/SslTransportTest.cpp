// Without omniORB's SSL transport linked in, the ORB silently ignores an ssl
// endpoint; with it, an unusable CA file stops the ORB from starting. That
// difference shows orv::idl_ssl really brings the transport in.
#include <gtest/gtest.h>

#include "zmdataservice410.hh"

// After the ORB's own headers, which it relies on.
#include <omniORB4/sslContext.h>

namespace {

TEST(SslTransport, IsLinkedAndRefusesAnUnreadableCaFile) {
  sslContext::certificate_authority_file = "/nonexistent/orv-test-ca.pem";
  int argc = 0;
  const char* options[][2] = {{"endPoint", "giop:ssl:127.0.0.1:"}, {nullptr, nullptr}};
  EXPECT_THROW(CORBA::ORB_init(argc, nullptr, "omniORB4", options), CORBA::INITIALIZE);
}

}  // namespace
