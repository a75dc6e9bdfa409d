#include "server/ServiceSignIn.h"

#include <omniORB4/CORBA.h>
#include <openssl/crypto.h>

#include <mutex>
#include <string>
#include <vector>

#include "OrvPayload.h"
#include "feed/ReplyLimit.h"
#include "feed/ServerStatus.h"
#include "platform/log/Log.h"

namespace {

std::mutex g_orbMutex;
bool g_orbStarted = false;
CORBA::ORB_var g_orb;

// Each session waits in pull on its manager while the call threads use the
// same service; the ORB's default of five connections per server would let
// five waiting sessions block every other call for up to PullTimeout.
const int kMaxConnectionsPerServer = 128;

// The ORB keeps an idle connection for every call that was in flight at once
// to a server, and takes an idle one for each new call. After the server was
// killed, each of them fails the first call made on it with COMM_FAILURE and
// is closed by that failure, so the calls of a sign-in could meet them one
// after the other and take a restarted service for one that is away. Each
// call is made again, at most once per connection the ORB may hold, until it
// reaches a new connection; a service that is really away refuses that one
// (TRANSIENT), which ends the tries at once.
template <class Call>
auto PastStaleConnections(Call&& call) -> decltype(call()) {
  for (int go = 0;; ++go) {
    try {
      return call();
    } catch (const CORBA::COMM_FAILURE&) {
      if (go >= kMaxConnectionsPerServer) throw;
    }
  }
}

}  // namespace

CORBA::ORB_ptr InitializeCorba(const std::string& programPath) {
  std::lock_guard<std::mutex> lock(g_orbMutex);
  // Marked started only once ORB_init has answered: a start that failed is
  // tried again by the next sign-in, which then reports its own cause
  // rather than a nil ORB.
  if (g_orbStarted) return g_orb.in();
  try {
    std::vector<std::string> args = {programPath};
    for (const auto& entry : CSettings::InitRef) {
      ORV_LOG(orvlog::kInfo, "InitRef: " << entry.second);
      args.push_back("-ORBInitRef");
      args.push_back(entry.second);
    }
    for (const auto& entry : CSettings::InitFutRef) {
      ORV_LOG(orvlog::kInfo, "InitFutRef: " << entry.second);
      args.push_back("-ORBInitRef");
      args.push_back(entry.second);
    }
    args.push_back("-ORBmaxGIOPConnectionPerServer");
    args.push_back(std::to_string(kMaxConnectionsPerServer));
    // The ORB's default of 2 MiB is far below the services' largest reply:
    // every larger pull or snapshot would be refused and its records lost.
    args.push_back("-ORBgiopMaxMsgSize");
    args.push_back(std::to_string(kMaxReplyBytes));
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    ORV_LOG(orvlog::kInfo, "Initializing ORB");
    // The ORB's SSL connection threads may still be releasing their
    // per-thread OpenSSL state while the process exits; OpenSSL's own
    // clean-up at exit would free it under them (a crash, or leaked halves
    // of it). The process is ending anyway, so that clean-up is skipped.
    // This must come before anything else initialises OpenSSL.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    // Without SSL the ORB's SSL transport still starts, finds no CA and
    // says so on standard error: quiet while the ORB starts, then the
    // ORB's usual level again.
    {
      struct QuietStart {
        CORBA::ULong level = omniORB::traceLevel;
        explicit QuietStart(bool quiet) {
          if (quiet) omniORB::traceLevel = 0;
        }
        ~QuietStart() { omniORB::traceLevel = level; }
      } quiet(CSettings::UseSSL == 0);
      g_orb = CORBA::ORB_init(argc, argv.data(), "");
    }
    g_orbStarted = true;
    ORV_LOG(orvlog::kInfo, "ORB initizlized");
    omniORB::setClientCallTimeout(CSettings::ServerTimeout);
  } catch (const CORBA::SystemException& e) {
    const orvidl::CorbaExceptionInfo info = orvidl::DescribeException(e);
    ORV_LOG(orvlog::kError, "ERROR: CZmOrvEnt::_InitializeCORBA Caught a CORBA::SystemException : "
                                << info.name << " " << info.repoId);
    throw;
  } catch (const CORBA::Exception& e) {
    const orvidl::CorbaExceptionInfo info = orvidl::DescribeException(e);
    ORV_LOG(orvlog::kError,
            "ERROR: CZmOrvEnt::_InitializeCORBA Caught CORBA::Exception : " << info.name << " " << info.repoId);
    throw;
  } catch (const omniORB::fatalException& e) {
    ORV_LOG(orvlog::kError, "ERROR: CZmOrvEnt::_InitializeCORBA Caught omniORB::fatalException: "
                                << (e.errmsg() != nullptr ? e.errmsg() : ""));
    throw;
  } catch (...) {
    ORV_LOG(orvlog::kError, "ERROR: CZmOrvEnt::_InitializeCORBA corba error (unknown exception)");
  }
  return g_orb.in();
}

CORBA::ORB_ptr CorbaOrb() {
  std::lock_guard<std::mutex> lock(g_orbMutex);
  return g_orb.in();
}

void ShutdownCorba() {
  std::lock_guard<std::mutex> lock(g_orbMutex);
  if (CORBA::is_nil(g_orb)) return;
  try {
    g_orb->destroy();
  } catch (const CORBA::Exception& e) {
    ORV_LOG(orvlog::kError, "ERROR: ORB destroy failed: " << orvidl::DescribeException(e).Text());
  }
  g_orb = CORBA::ORB::_nil();
}

Orv::ZmDataService_ptr ResolveDataService(const CSettings::InitRefList& endpoints) {
  CORBA::ORB_ptr orb = CorbaOrb();
  // The ORB is nil only after a start that failed without a CORBA error;
  // there is nothing to resolve with then.
  if (CORBA::is_nil(orb)) return Orv::ZmDataService::_nil();
  Orv::ZmDataService_var result;
  for (size_t i = 0; i < endpoints.size(); ++i) {
    const auto& entry = endpoints[i];
    ORV_LOG(orvlog::kInfo, "Connecting to " << entry.first << " - " << entry.second);
    try {
      CORBA::Object_var object = orb->resolve_initial_references(orvidl::SafeStr(entry.first.c_str()));
      result = PastStaleConnections([&] { return Orv::ZmDataService::_narrow(object); });
      return result._retn();
    } catch (const CORBA::SystemException& e) {
      ORV_LOG(orvlog::kError, "Connection failed error: " << orvidl::DescribeException(e).name);
      if (i + 1 == endpoints.size()) throw;
    }
  }
  return result._retn();
}

Orv::ZmDataManager_ptr SignInToService(Orv::ZmDataService_ptr root, const std::string& user,
                                       const std::string& password, bool sendProtocolVersion,
                                       const std::function<void()>& signedIn, bool* refused) {
  if (refused != nullptr) *refused = false;
  if (CORBA::is_nil(root)) throw CORBA::INV_OBJREF(0, CORBA::COMPLETED_NO);
  Orv::ZmDataManager_var manager = PastStaleConnections([&] { return root->GetZmDataManager(); });
  if (CORBA::is_nil(manager)) throw CORBA::INV_OBJREF(0, CORBA::COMPLETED_NO);
  const CORBA::Short answer = PastStaleConnections(
      [&] { return manager->Connect(orvidl::SafeStr(user.c_str()), orvidl::SafeStr(password.c_str())); });
  if (answer != 0) {
    if (refused != nullptr) *refused = true;
    RaiseAutomationError("Invalid user id or password");
  }
  if (signedIn) signedIn();
  PastStaleConnections([&] { manager->SetCompressionMode(CSettings::UseCompression != 0 ? 1 : 0); });
  if (sendProtocolVersion)
    PastStaleConnections(
        [&] { manager->SetProtocolVersion(static_cast<CORBA::Short>(CSettings::ProtocolVersion)); });
  return manager._retn();
}
