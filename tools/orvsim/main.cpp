// orvsim: the market-data services on loopback. Serves the equities root
// (object key "ZmDataService"), the futures root ("ZmDataBroker") and the
// test control object ("OrvSimControl") on 127.0.0.1, plain IIOP and, when
// asked, IIOP over SSL on a second port.
#include <omniORB4/CORBA.h>
#include <omniORB4/IIOP.h>
#include <omniORB4/omniIOR.h>
#include <omniORB4/sslContext.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ManagerServant.h"
#include "MarketModel.h"
#include "SimServer.h"
#include "platform/log/Log.h"

namespace {

using orvsim::ServerOptions;

const char kUsage[] =
    "usage: orvsim [options]\n"
    "       orvsim --list-symbols [market options]\n"
    "Serves the equities (\"ZmDataService\") and futures (\"ZmDataBroker\") market-data\n"
    "services and the control object (\"OrvSimControl\") on 127.0.0.1.\n"
    "\n"
    "  --port N               plain IIOP port (default 18800; 0 picks a free port)\n"
    "  --ssl-port N           also serve IIOP over SSL on this port (0 picks a free one);\n"
    "                         needs --ssl-cert and --ssl-key\n"
    "  --ssl-cert FILE        PEM certificate (chain) of the service\n"
    "  --ssl-key FILE         PEM private key of the service\n"
    "  --ssl-key-pass TEXT    pass phrase of the key (default none)\n"
    "  --ssl-ca FILE          PEM certificates trusted for client certificates\n"
    "                         (default: the --ssl-cert file)\n"
    "  --user NAME:PASSWORD   accepted credentials; may be repeated\n"
    "                         (default orvsim:orvsim)\n"
    "  --seed N               seed of the market model (default 1)\n"
    "  --stocks N             number of stocks and indexes, 1 to 5000 (default 20)\n"
    "  --options-per-stock N  options in each stock's chain, 1 to 20000 (default 56);\n"
    "                         at most 2000000 over all stocks\n"
    "  --future-roots N       number of futures roots, 0 to 12 (default 4)\n"
    "  --rate TICKS           market ticks per second, 0 to 1000; 0 moves the market\n"
    "                         only on the control interface's PublishNow (default 1)\n"
    "  --start-date DATE      model date of the first tick, YYYY-MM-DD (default: now)\n"
    "  --max-subscriptions N  subscription keys per data manager (default 100000)\n"
    "  --max-reply-bytes N    pull replies are cut into several beyond this size\n"
    "                         (default 1048576)\n"
    "  --endpoints-file FILE  write the endpoints there once serving (key=value lines)\n"
    "  --log-file FILE        log to a rolling file instead of standard error\n"
    "  --log-level LEVEL      trace, debug, info, warn or error (default info)\n"
    "  --list-symbols         print every instrument of the market that the market\n"
    "                         options (--seed, --stocks, --options-per-stock,\n"
    "                         --future-roots, --start-date) make, one a line: its kind\n"
    "                         (stock, index, option, nstd-option, future-root, future,\n"
    "                         future-option), its symbol and its underlying; then end\n"
    "  --help                 this text\n";

struct Options {
  ServerOptions server;
  int port = 18800;
  int sslPort = -1;
  std::string sslCert, sslKey, sslKeyPass, sslCa;
  std::string endpointsFile, logFile;
  int logLevel = orvlog::kInfo;
  bool startDateGiven = false;
  bool listSymbols = false;
};

// The options that take a value; the others are --help and --list-symbols.
const char* const kValued[] = {"--port", "--ssl-port", "--ssl-cert", "--ssl-key",
                               "--ssl-key-pass", "--ssl-ca", "--user", "--seed", "--stocks",
                               "--options-per-stock", "--future-roots", "--rate",
                               "--start-date", "--max-subscriptions", "--max-reply-bytes",
                               "--endpoints-file", "--log-file", "--log-level"};

bool TakesValue(const std::string& option) {
  for (const char* v : kValued)
    if (option == v) return true;
  return false;
}

// A bound as a user would write it: 1000, not 1000.000000.
std::string Plain(double d) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", d);
  return text;
}

[[noreturn]] void Fail(const std::string& msg) {
  std::cerr << "orvsim: " << msg << " (see --help)\n";
  std::exit(2);
}

long ParseLong(const std::string& opt, const std::string& v, long lo, long hi) {
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end || errno || n < lo || n > hi)
    Fail(opt + " needs a whole number from " + std::to_string(lo) + " to " +
         std::to_string(hi) + ", not '" + v + "'");
  return n;
}

double ParseDouble(const std::string& opt, const std::string& v, double lo, double hi) {
  char* end = nullptr;
  errno = 0;
  const double d = std::strtod(v.c_str(), &end);
  if (v.empty() || *end || errno || !(d >= lo && d <= hi))
    Fail(opt + " needs a number from " + Plain(lo) + " to " + Plain(hi) + ", not '" + v + "'");
  return d;
}

bool Readable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

Options ParseArgs(int argc, char** argv) {
  Options o;
  bool usersGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      std::exit(0);
    }
    if (a == "--list-symbols") {
      o.listSymbols = true;
      continue;
    }
    if (a.rfind("--", 0) != 0) Fail("unexpected argument '" + a + "'");
    if (!TakesValue(a)) Fail("unknown option '" + a + "'");
    if (i + 1 >= argc) Fail(a + " needs a value");
    const std::string v = argv[++i];
    if (a == "--port") o.port = static_cast<int>(ParseLong(a, v, 0, 65535));
    else if (a == "--ssl-port") o.sslPort = static_cast<int>(ParseLong(a, v, 0, 65535));
    else if (a == "--ssl-cert") o.sslCert = v;
    else if (a == "--ssl-key") o.sslKey = v;
    else if (a == "--ssl-key-pass") o.sslKeyPass = v;
    else if (a == "--ssl-ca") o.sslCa = v;
    else if (a == "--user") {
      const auto colon = v.find(':');
      if (colon == std::string::npos || colon == 0)
        Fail("--user needs NAME:PASSWORD, not '" + v + "'");
      if (colon > 64 || v.size() - colon - 1 > 64)
        Fail("--user: names and passwords are at most 64 characters");
      if (!usersGiven) o.server.credentials.clear();
      usersGiven = true;
      o.server.credentials.emplace_back(v.substr(0, colon), v.substr(colon + 1));
    } else if (a == "--seed") {
      o.server.model.seed = static_cast<uint64_t>(ParseLong(a, v, 0, 0x7FFFFFFFFFFFFFFFL));
    } else if (a == "--stocks") {
      o.server.model.stocks = static_cast<int>(ParseLong(a, v, 1, 5000));
    } else if (a == "--options-per-stock") {
      o.server.model.optionsPerStock = static_cast<int>(ParseLong(a, v, 1, 20000));
    } else if (a == "--future-roots") {
      o.server.model.futureRoots = static_cast<int>(ParseLong(a, v, 0, 12));
    } else if (a == "--rate") {
      o.server.ticksPerSecond = ParseDouble(a, v, 0, 1000);
    } else if (a == "--start-date") {
      int y, m, d;
      char extra;
      if (std::sscanf(v.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &extra) != 3 || y < 1990 ||
          y > 2200 || m < 1 || m > 12 || d < 1 || d > 31)
        Fail("--start-date needs YYYY-MM-DD, not '" + v + "'");
      o.server.model.startDate = orvsim::OleFromCivil(y, m, d) + 9.5 / 24;  // 09:30
      o.startDateGiven = true;
    } else if (a == "--max-subscriptions") {
      o.server.maxSubscriptions = static_cast<size_t>(ParseLong(a, v, 1, 100000000));
    } else if (a == "--max-reply-bytes") {
      o.server.maxReplyBytes = static_cast<size_t>(ParseLong(a, v, 1024, 256L << 20));
    } else if (a == "--endpoints-file") {
      o.endpointsFile = v;
    } else if (a == "--log-file") {
      o.logFile = v;
    } else if (a == "--log-level") {
      if (v == "trace") o.logLevel = orvlog::kTrace;
      else if (v == "debug") o.logLevel = orvlog::kDebug;
      else if (v == "info") o.logLevel = orvlog::kInfo;
      else if (v == "warn") o.logLevel = orvlog::kWarn;
      else if (v == "error") o.logLevel = orvlog::kError;
      else Fail("--log-level needs trace, debug, info, warn or error, not '" + v + "'");
    }
  }
  if (o.server.credentials.empty()) o.server.credentials.emplace_back("orvsim", "orvsim");
  if (static_cast<long>(o.server.model.stocks) * o.server.model.optionsPerStock > 2000000)
    Fail("--stocks x --options-per-stock is at most 2000000 options, not " +
         std::to_string(static_cast<long>(o.server.model.stocks) * o.server.model.optionsPerStock));
  if (o.sslPort >= 0) {
    if (o.sslCert.empty() || o.sslKey.empty()) Fail("--ssl-port needs --ssl-cert and --ssl-key");
    if (o.sslCa.empty()) o.sslCa = o.sslCert;
    for (const std::string* f : {&o.sslCert, &o.sslKey, &o.sslCa})
      if (!Readable(*f)) Fail("cannot read SSL file '" + *f + "'");
    if (o.sslPort != 0 && o.sslPort == o.port) Fail("--ssl-port must differ from --port");
  } else if (!o.sslCert.empty() || !o.sslKey.empty()) {
    Fail("--ssl-cert and --ssl-key need --ssl-port");
  }
  // Files are checked now, so that a typing error ends the program with a
  // reason instead of a log that silently goes nowhere.
  if (!o.logFile.empty()) {
    FILE* f = std::fopen(o.logFile.c_str(), "a");
    if (!f) Fail("cannot write the log file '" + o.logFile + "': " + std::strerror(errno));
    std::fclose(f);
  }
  if (!o.endpointsFile.empty()) {
    const auto slash = o.endpointsFile.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : o.endpointsFile.substr(0, slash + 1);
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
      Fail("cannot write the endpoints file '" + o.endpointsFile + "': " + std::strerror(errno));
  }
  if (!o.startDateGiven) {
    const double unixDays =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
            .count() / 86400.0;
    o.server.model.startDate = unixDays + 25569.0;
  }
  return o;
}

// The certificate and the key come from separate files, which the ORB's
// default context cannot do (it reads both from the key file).
class SimSslContext : public sslContext {
 public:
  SimSslContext(const Options& o)
      : sslContext(o.sslCa.c_str(), o.sslKey.c_str(), o.sslKeyPass.c_str()),
        cert_(o.sslCert), key_(o.sslKey), pass_(o.sslKeyPass) {}

 protected:
  void set_certificate() override {
    if (SSL_CTX_use_certificate_chain_file(get_SSL_CTX(), cert_.c_str()) != 1) {
      ORV_LOG(orvlog::kError, "cannot use SSL certificate " << cert_ << ": " << SslError());
      throw CORBA::INITIALIZE(0, CORBA::COMPLETED_NO);
    }
  }
  void set_privatekey() override {
    SSL_CTX* ctx = get_SSL_CTX();
    SSL_CTX_set_default_passwd_cb_userdata(ctx, this);
    SSL_CTX_set_default_passwd_cb(ctx, &SimSslContext::Password);
    if (SSL_CTX_use_PrivateKey_file(ctx, key_.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1) {
      ORV_LOG(orvlog::kError, "cannot use SSL key " << key_ << ": " << SslError());
      throw CORBA::INITIALIZE(0, CORBA::COMPLETED_NO);
    }
  }
  // Client certificates are checked when a client offers one, not demanded.
  int set_verify_mode() override { return SSL_VERIFY_PEER; }

 private:
  static int Password(char* buf, int size, int, void* self) {
    const std::string& p = static_cast<SimSslContext*>(self)->pass_;
    const int n = static_cast<int>(p.size()) < size ? static_cast<int>(p.size()) : size - 1;
    std::memcpy(buf, p.data(), static_cast<size_t>(n));
    buf[n] = 0;
    return n;
  }
  static std::string SslError() {
    char buf[256];
    ERR_error_string_n(ERR_get_error(), buf, sizeof buf);
    return buf;
  }
  std::string cert_, key_, pass_;
};

// The ports the ORB actually listens on, read back from a reference's
// profile (the plain port from the address, the SSL port from its component).
void ReadPorts(CORBA::Object_ptr obj, int* tcp, int* ssl) {
  omniIOR_var ior = obj->_PR_getobj()->_getIOR();
  const IOP::TaggedProfileList& profiles = ior->iopProfiles();
  for (CORBA::ULong i = 0; i < profiles.length(); ++i) {
    if (profiles[i].tag != IOP::TAG_INTERNET_IOP) continue;
    IIOP::ProfileBody body;
    IIOP::unmarshalProfile(profiles[i], body);
    if (*tcp < 0) *tcp = body.address.port;
    for (CORBA::ULong c = 0; c < body.components.length(); ++c) {
      const IOP::TaggedComponent& comp = body.components[c];
      if (comp.tag != IOP::TAG_SSL_SEC_TRANS || comp.component_data.length() < 8) continue;
      // Encapsulation: byte order, pad, target_supports, target_requires, port.
      const CORBA::Octet* d = comp.component_data.get_buffer();
      *ssl = d[0] ? (d[6] | (d[7] << 8)) : ((d[6] << 8) | d[7]);
    }
  }
}

void ListSymbols(const orvsim::ModelOptions& options) {
  const orvsim::MarketModel model(options);
  std::string out;
  for (const auto& s : model.stocks()) out += (s.type == 'I' ? "index\t" : "stock\t") + s.symbol + "\n";
  for (const auto& o : model.options()) out += "option\t" + o.symbol + "\t" + o.underlying + "\n";
  for (const auto& o : model.nstdOptions())
    out += "nstd-option\t" + o.symbol + "\t" + o.underlying + "\n";
  for (const auto& r : model.roots()) out += "future-root\t" + r.symbol + "\n";
  for (const auto& f : model.futures()) out += "future\t" + f.symbol + "\t" + f.root + "\n";
  for (const auto& o : model.futureOptions())
    out += "future-option\t" + o.symbol + "\t" + o.underlying + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
}

void WriteEndpoints(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp, std::ios::trunc);
    f << text;
    if (!f) throw std::runtime_error("cannot write " + tmp);
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0)
    throw std::runtime_error("cannot rename " + tmp + " to " + path);
}

}  // namespace

int main(int argc, char** argv) {
  // The ORB's SSL worker threads may still be unwinding their per-thread
  // OpenSSL state when the main thread leaves; OpenSSL's own clean-up at
  // exit would free that state under them (a crash on SIGTERM). The process
  // ends right after, so the clean-up is not needed.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
  Options opt = ParseArgs(argc, argv);
  if (opt.listSymbols) {
    ListSymbols(opt.server.model);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
  }

  if (opt.logFile.empty()) orvlog::InitConsole();
  else orvlog::InitRollingFile(opt.logFile);
  orvlog::SetLevel(opt.logLevel);

  // Termination requests are taken by sigwait below, on the main thread;
  // every thread started from here on inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // Only our own endpoints: no configuration file may add another.
  setenv("OMNIORB_CONFIG", "/dev/null", 1);

  std::unique_ptr<orvsim::SimServer> server;
  CORBA::ORB_var orb;
  try {
    std::vector<std::string> args = {"orvsim", "-ORBendPoint",
                                     "giop:tcp:127.0.0.1:" +
                                         (opt.port ? std::to_string(opt.port) : std::string())};
    if (opt.sslPort >= 0) {
      sslContext::singleton = new SimSslContext(opt);
      args.push_back("-ORBendPoint");
      args.push_back("giop:ssl:127.0.0.1:" +
                     (opt.sslPort ? std::to_string(opt.sslPort) : std::string()));
    }
    args.insert(args.end(), {"-ORBgiopMaxMsgSize", "268435456"});
    std::vector<char*> cargs;
    for (auto& s : args) cargs.push_back(s.data());
    int cargc = static_cast<int>(cargs.size());
    {
      // Without an SSL port the ORB's SSL transport finds no CA and says so
      // on standard error: quiet while the ORB starts.
      const CORBA::ULong traceLevel = omniORB::traceLevel;
      if (opt.sslPort < 0) omniORB::traceLevel = 0;
      orb = CORBA::ORB_init(cargc, cargs.data());
      omniORB::traceLevel = traceLevel;
    }

    CORBA::Object_var o = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var root = PortableServer::POA::_narrow(o);
    PortableServer::POAManager_var pm = root->the_POAManager();
    CORBA::PolicyList none;
    PortableServer::POA_var managers = root->create_POA("managers", pm, none);
    o = orb->resolve_initial_references("omniINSPOA");
    PortableServer::POA_var ins = PortableServer::POA::_narrow(o);

    server = std::make_unique<orvsim::SimServer>(opt.server, managers);
    auto* equities = new orvsim::DataServiceServant(server.get(), orvsim::Side::kEquities);
    auto* futures = new orvsim::DataServiceServant(server.get(), orvsim::Side::kFutures);
    auto* control = new orvsim::ControlServant(server.get());
    PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId("ZmDataService");
    ins->activate_object_with_id(id, equities);
    equities->_remove_ref();
    id = PortableServer::string_to_ObjectId("ZmDataBroker");
    ins->activate_object_with_id(id, futures);
    futures->_remove_ref();
    id = PortableServer::string_to_ObjectId("OrvSimControl");
    ins->activate_object_with_id(id, control);
    control->_remove_ref();
    pm->activate();
    // The INS adapter has a manager of its own, holding requests until activated.
    PortableServer::POAManager_var insManager = ins->the_POAManager();
    insManager->activate();

    id = PortableServer::string_to_ObjectId("ZmDataService");
    CORBA::Object_var ref = ins->id_to_reference(id);
    int tcp = -1, ssl = -1;
    ReadPorts(ref, &tcp, &ssl);
    if (tcp <= 0) throw std::runtime_error("the ORB published no plain IIOP endpoint");
    if (opt.sslPort >= 0 && ssl <= 0)
      throw std::runtime_error("the ORB published no SSL endpoint");

    std::ostringstream ep;
    const std::string host = "127.0.0.1:" + std::to_string(tcp);
    ep << "port=" << tcp << "\n";
    if (ssl > 0) ep << "ssl_port=" << ssl << "\n";
    ep << "ConnString=iiop:" << host << "\n"
       << "FutConnString=iiop:" << host << "\n";
    if (ssl > 0) {
      ep << "SslConnString=ssliop:127.0.0.1:" << ssl << "\n"
         << "SslFutConnString=ssliop:127.0.0.1:" << ssl << "\n";
    }
    ep << "equities=corbaloc:iiop:" << host << "/ZmDataService\n"
       << "futures=corbaloc:iiop:" << host << "/ZmDataBroker\n"
       << "control=corbaloc:iiop:" << host << "/OrvSimControl\n"
       << "pid=" << ::getpid() << "\n";
    std::cout << ep.str() << std::flush;
    ORV_LOG(orvlog::kInfo, "serving on 127.0.0.1 plain IIOP port "
                               << tcp << (ssl > 0 ? ", SSL port " + std::to_string(ssl) : "")
                               << "; " << opt.server.credentials.size()
                               << " accepted user name(s)");
    server->StartPublisher();
    if (!opt.endpointsFile.empty()) WriteEndpoints(opt.endpointsFile, ep.str());
  } catch (const CORBA::Exception& e) {
    ORV_LOG(orvlog::kError, "cannot start the services: " << e._name()
                                                           << " (is the port in use?)");
    std::cerr << "orvsim: cannot start the services: " << e._name()
              << " (is the port in use?)\n";
    return 1;
  } catch (const std::exception& e) {
    ORV_LOG(orvlog::kError, "cannot start the services: " << e.what());
    std::cerr << "orvsim: cannot start the services: " << e.what() << "\n";
    return 1;
  }

  int sig = 0;
  sigwait(&stopSignals, &sig);
  ORV_LOG(orvlog::kInfo, "signal " << sig << ": shutting down");
  server->Stop();
  try {
    orb->shutdown(true);
    orb->destroy();
  } catch (const CORBA::Exception& e) {
    ORV_LOG(orvlog::kWarn, "ORB shut-down: " << e._name());
  }
  const OrvSim::Stats s = server->Stats();
  ORV_LOG(orvlog::kInfo, "stopped after " << s.ticks << " ticks; " << s.managers_created
                                          << " managers served, peak concurrent pulls "
                                          << s.peak_concurrent_pulls << ", records sent "
                                          << s.records_sent);
  server.reset();
  if (!opt.endpointsFile.empty()) std::remove(opt.endpointsFile.c_str());
  return 0;
}
