// Sessions against orvsim in its own process: one orvsim and one ORB for the
// whole test program (the ORB takes its endpoints once, at its start), with
// the services resolved and signed in to the way the main object does.
#pragma once

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "OrvSimControl.hh"
#include "OrvSimProcess.h"
#include "feed/CDataHolder.h"
#include "feed/CSettings.h"
#include "feed/SslContextSetup.h"
#include "server/ServiceSignIn.h"
#include "tests/feed/TempDir.h"

namespace orvtest {

// A loopback port that nothing listens on now.
inline std::string FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return std::to_string(port);
}

struct SimOptions {
  std::vector<std::string> extraArgs;
  bool ssl = false;
};

// Started by the program's main before the tests run.
class SimEnvironment : public ::testing::Environment {
 public:
  explicit SimEnvironment(SimOptions options = {}) : m_options(std::move(options)) {}

  void SetUp() override {
    ::setenv("USERPROFILE", m_dir.path().c_str(), 1);
    CSettings::SetDefaults();
    std::vector<std::string> args = {"--rate",     "0",   "--stocks",   "5",       "--future-roots", "2",
                                     "--user",     "alice:secret",      "--user",  "bob:pw2",
                                     "--log-level", "warn"};
    args.insert(args.end(), m_options.extraArgs.begin(), m_options.extraArgs.end());
    if (m_options.ssl) {
      const std::string cert = m_dir.File("cert.pem"), key = m_dir.File("key.pem"), both = m_dir.File("client.pem");
      const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout '" +
                               key + "' -out '" + cert + "' >/dev/null 2>&1";
      ASSERT_EQ(std::system(make.c_str()), 0) << "openssl could not make a certificate";
      // The ORB's client side reads its key and certificate from one file.
      std::ofstream(both) << std::ifstream(key).rdbuf() << std::ifstream(cert).rdbuf();
      args.insert(args.end(), {"--ssl-port", "0", "--ssl-cert", cert, "--ssl-key", key});
      CSettings::UseSSL = 1;
      CSettings::RootCertificateFile = cert;
      CSettings::CertificateFile = both;
      CSettings::KeyPass = "";
      ASSERT_TRUE(ConfigureSslContext());
    }
    m_args = args;
    // A port named rather than picked by the service: a service that
    // restarts may then take it again while its old connections wind down.
    m_port = FreePort();
    args.insert(args.end(), {"--port", m_port});
    m_sim = std::make_unique<orvsim::OrvSimProcess>(m_dir.path(), args);
    const std::string conn = m_options.ssl ? m_sim->Get("SslConnString") : m_sim->Get("ConnString");
    const std::string futConn = m_options.ssl ? m_sim->Get("SslFutConnString") : m_sim->Get("FutConnString");
    // Endpoint0 answers nobody: resolution must go on to the next entry.
    CSettings::InitRef = {{"Endpoint0", "Endpoint0=corbaloc:iiop:127.0.0.1:1/ZmDataService"},
                          {"Endpoint1", "Endpoint1=corbaloc:" + conn + "/ZmDataService"}};
    CSettings::InitFutRef = {{"Endpoint2", "Endpoint2=corbaloc:" + futConn + "/ZmDataBroker"}};
    // Shorter than the tests' idle pulls: those must not run into it.
    CSettings::ServerTimeout = 1500;
    CSettings::PullTimeout = 2000;
    // What the ORB says while it starts, on standard error.
    ::testing::internal::CaptureStderr();
    CORBA::ORB_ptr orb = InitializeCorba("session-test");
    m_orbStartOutput = ::testing::internal::GetCapturedStderr();
    ASSERT_FALSE(CORBA::is_nil(orb));
    CORBA::Object_var control = CorbaOrb()->string_to_object(m_sim->Get("control").c_str());
    m_control = OrvSim::Control::_narrow(control);
    ASSERT_FALSE(CORBA::is_nil(m_control));
  }

  void TearDown() override {
    m_control = OrvSim::Control::_nil();
    // The service goes first: it releases any pull still held for a
    // session that was deleted.
    if (m_sim) m_sim->Stop();
    ShutdownCorba();
    m_sim.reset();
  }

  OrvSim::Control_ptr Control() { return m_control.in(); }
  const std::string& OrbStartOutput() const { return m_orbStartOutput; }

  // Ends the service for real, then starts it again on the same ports: its
  // managers, connections and subscriptions are gone as after a restart.
  void StopService() {
    m_control = OrvSim::Control::_nil();
    m_sim->Stop();
    m_sim.reset();
  }
  void StartServiceAgain() {
    std::vector<std::string> args = m_args;
    args.insert(args.end(), {"--port", m_port});
    try {
      m_sim = std::make_unique<orvsim::OrvSimProcess>(m_dir.path(), args);
    } catch (const std::exception& e) {
      std::ifstream out(m_dir.File("orvsim.out"));
      FAIL() << e.what() << ": " << out.rdbuf();
    }
    ASSERT_EQ(m_sim->Get("port"), m_port);
    CORBA::Object_var control = CorbaOrb()->string_to_object(m_sim->Get("control").c_str());
    // The ORB's connections to the old process fail one call each.
    m_control = OrvSim::Control::_unchecked_narrow(control);
  }
  const std::string& Folder() const { return m_dir.path(); }
  // The service's process, for a test that stops it (SIGSTOP) to stall it.
  pid_t ServicePid() const { return m_sim ? m_sim->Pid() : -1; }

 private:
  SimOptions m_options;
  std::vector<std::string> m_args;
  std::string m_port;
  TempDir m_dir;
  std::unique_ptr<orvsim::OrvSimProcess> m_sim;
  OrvSim::Control_var m_control;
  std::string m_orbStartOutput;
};

inline SimEnvironment*& Env() {
  static SimEnvironment* env = nullptr;
  return env;
}

// The journal of orvsim from a point on.
class Journal {
 public:
  Journal() { Skip(); }
  // Everything from the given entry on (0: all that a fresh service got).
  explicit Journal(CORBA::ULong from) : m_next(from) {}
  // Forgets what has been recorded so far.
  void Skip() { Read(); m_entries.clear(); }
  // The entries of one operation since the last Skip, as "args -> result".
  std::vector<std::string> Calls(const std::string& operation) {
    Read();
    std::vector<std::string> out;
    for (const auto& e : m_entries)
      if (e.operation == operation) out.push_back(e.args + " -> " + e.result);
    return out;
  }

 private:
  struct Entry {
    std::string operation, args, result;
  };
  void Read() {
    OrvSim::Journal_var j = Env()->Control()->ReadJournal(m_next);
    for (CORBA::ULong i = 0; i < j->length(); ++i) {
      m_entries.push_back({j[i].operation.in(), j[i].args.in(), j[i].result.in()});
      m_next = j[i].seq + 1;
    }
  }
  CORBA::ULong m_next = 0;
  std::vector<Entry> m_entries;
};

inline bool Eventually(const std::function<bool()>& pred, int ms = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

inline std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// The sign-in that a session repeats after losing its service, as the main
// object gives it.
inline CDataHolder::Reconnector SignInAgain(bool futures) {
  CDataHolder::Reconnector r;
  r.resolve = [futures] { return ResolveDataService(futures ? CSettings::InitFutRef : CSettings::InitRef); };
  r.signIn = [futures](Orv::ZmDataService_ptr root) { return SignInToService(root, "alice", "secret", !futures); };
  return r;
}

// Signs in and opens the user's session on both services.
inline std::unique_ptr<CDataHolder> OpenSession(const std::string& user, bool futures = false) {
  Orv::ZmDataService_var root = ResolveDataService(CSettings::InitRef);
  Orv::ZmDataManager_var manager = SignInToService(root, "alice", "secret", true);
  auto session = std::make_unique<CDataHolder>(U16(user), manager.in(), nullptr);
  session->SetDataServer(manager.in());
  EXPECT_TRUE(session->Initialize());
  session->SetReconnector(false, SignInAgain(false));
  if (futures) {
    Orv::ZmDataService_var futRoot = ResolveDataService(CSettings::InitFutRef);
    Orv::ZmDataManager_var futManager = SignInToService(futRoot, "alice", "secret", false);
    session->SetFuturesServer(futManager.in());
    EXPECT_TRUE(session->FutsInitialize());
    session->SetReconnector(true, SignInAgain(true));
  }
  return session;
}

}  // namespace orvtest
