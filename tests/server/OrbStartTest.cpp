// The ORB's start from the main object's first sign-in, in a program of its
// own: a start that fails is reported with its cause and tried again by the
// next sign-in.
#include <gtest/gtest.h>

#include "platform/com/atlbase.h"
#include "platform/com/comdef.h"
#include "OrvSimProcess.h"
#include "feed/CSettings.h"
#include "server/CZmOrvEnt.h"
#include "server/ServiceSignIn.h"
#include "tests/feed/TempDir.h"
#include "tests/server/MainObjectTestSupport.h"

namespace {

using orvtest::NewObject;
using orvtest::TakeError;

TEST(OrbStart, AFailedStartIsReportedWithItsCauseAndTriedAgain) {
  TempDir dir;
  ::setenv("USERPROFILE", dir.path().c_str(), 1);
  orvsim::OrvSimProcess sim(dir.path(), {"--rate", "0", "--stocks", "3", "--user", "alice:secret", "--log-level",
                                         "warn"});
  CSettings::SetDefaults();
  CSettings::ServerTimeout = 3000;
  CSettings::PullTimeout = 500;
  CZmOrvEnt::ObjectMain(true);
  {
    // An initial reference the ORB can't take makes its start fail.
    CSettings::InitRef = {{"Endpoint1", "Endpoint1"}};
    CComPtr<IZmOrvEnt> object = NewObject();
    EXPECT_EQ(object->Connect(_bstr_t("alice"), _bstr_t("secret")), E_FAIL);
    const std::string cause = TakeError();
    EXPECT_NE(cause.find("INITIALIZE"), std::string::npos) << cause;
    EXPECT_EQ(cause.find("INV_OBJREF"), std::string::npos) << cause;
    EXPECT_TRUE(CORBA::is_nil(CorbaOrb()));

    CSettings::InitRef = {{"Endpoint1", "Endpoint1=corbaloc:" + sim.Get("ConnString") + "/ZmDataService"}};
    EXPECT_EQ(object->Connect(_bstr_t("alice"), _bstr_t("secret")), S_OK) << TakeError();
    EXPECT_FALSE(CORBA::is_nil(CorbaOrb()));
    EXPECT_EQ(object->SubscribeAll(enStockData), S_OK) << TakeError();
  }
  CZmOrvEnt::ObjectMain(false);
  sim.Stop();
  ShutdownCorba();
}

}  // namespace
