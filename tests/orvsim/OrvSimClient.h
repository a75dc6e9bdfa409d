// Client side of the service tests: one ORB per test process, orvsim started
// on free ports, and helpers to sign in and read replies.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "OrvPayload.h"
#include "OrvSimControl.hh"
#include "OrvSimProcess.h"
#include "TestCodec.h"
#include "zmdataservice410.hh"

namespace orvtest {

// A folder of its own for each test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/orvsim-test-XXXXXX";
    const char* d = ::mkdtemp(tmpl);
    if (!d) throw std::runtime_error("mkdtemp failed");
    path_ = d;
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline CORBA::ORB_ptr Orb(std::vector<std::string> extra = {}) {
  static CORBA::ORB_var orb;
  if (CORBA::is_nil(orb)) {
    std::vector<std::string> args = {"test", "-ORBclientCallTimeOutPeriod", "30000",
                                     "-ORBmaxGIOPConnectionPerServer", "300",
                                     "-ORBgiopMaxMsgSize", "268435456"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    int argc = static_cast<int>(argv.size());
    orb = CORBA::ORB_init(argc, argv.data());
  }
  return orb;
}

template <typename T>
typename T::_ptr_type Resolve(const std::string& url) {
  CORBA::Object_var o = Orb()->string_to_object(url.c_str());
  return T::_narrow(o);
}

inline std::vector<uint8_t> Octets(const CORBA::Any* a) {
  const orvidl::ReplyOctets r = orvidl::ReplyData(a);
  std::vector<uint8_t> v(r.size);
  if (r.size) std::memcpy(v.data(), r.data, r.size);
  return v;
}

inline bool HasValue(const CORBA::Any& a) {
  CORBA::TypeCode_var tc = a.type();
  return tc->kind() != CORBA::tk_null && tc->kind() != CORBA::tk_void;
}

// Widths of the fields these tests register, taken from the message format
// itself (not from orvsim's tables).
inline size_t Width(uint8_t type, uint8_t id, int protocol) {
  switch (id) {
    case 1: return protocol == 2 ? 64 : 12;
    case 2: case 74: return 12;
    case 75: case 84: return 64;
    case 3: case 21: return 2;
    case 5: case 19: case 39: return 1;
    case 8: case 12: case 16: return 4;
    case 23: return 5;
    case 7: case 11: case 15: return 8;
    case 40: return (type == 13 || type == 15) ? 8 : 4;
    case 6: case 9: case 10: case 13: case 14: case 17: case 18: case 26: case 27: case 28:
    case 29: case 30: case 31: case 35: case 37: case 38: case 41: case 42: case 44: case 47:
    case 62: case 87: case 4: case 32:
      return 4;
    default: return 0;
  }
}

inline std::vector<Block> Decode(const std::vector<uint8_t>& bytes, int protocol = 0,
                                 bool zipped = false) {
  const std::vector<uint8_t> msg = zipped ? ReadZip(bytes).data : bytes;
  return Walk(msg, [&](uint8_t t, uint8_t id) { return Width(t, id, protocol); });
}

// One orvsim for the test, with a small market that moves only when told.
class OrvSimTest : public ::testing::Test {
 protected:
  static std::vector<std::string> DefaultArgs() {
    return {"--rate", "0", "--stocks", "5", "--future-roots", "2", "--user", "alice:secret",
            "--user", "bob:pw2", "--max-subscriptions", "60", "--log-level", "warn"};
  }
  void SetUp() override { Start(DefaultArgs()); }
  void Start(const std::vector<std::string>& args) {
    sim_ = std::make_unique<orvsim::OrvSimProcess>(dir_.path(), args);
    control_ = Resolve<OrvSim::Control>(sim_->Get("control"));
    equities_ = Resolve<Orv::ZmDataService>(sim_->Get("equities"));
    futures_ = Resolve<Orv::ZmDataService>(sim_->Get("futures"));
    ASSERT_FALSE(CORBA::is_nil(control_));
    ASSERT_FALSE(CORBA::is_nil(equities_));
  }

  Orv::ZmDataManager_ptr SignIn(Orv::ZmDataService_ptr svc, const char* user = "alice",
                                const char* password = "secret") {
    Orv::ZmDataManager_var m = svc->GetZmDataManager();
    EXPECT_EQ(m->Connect(user, password), 0);
    return m._retn();
  }

  std::vector<std::string> Symbols(Orv::ZmDataManager_ptr m, int type, uint8_t keyId) {
    CORBA::Any_var reply = m->GetMarketDataAll(type, orvidl::FieldListAny({keyId}));
    std::vector<std::string> out;
    const std::vector<Block> blocks = Decode(Octets(&reply.in()));
    for (const auto& rec : blocks.at(0).records) out.push_back(Text(rec[0]));
    return out;
  }

  TempDir dir_;
  std::unique_ptr<orvsim::OrvSimProcess> sim_;
  OrvSim::Control_var control_;
  Orv::ZmDataService_var equities_, futures_;
};

}  // namespace orvtest
