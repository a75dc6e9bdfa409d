#include "LoopbackService.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "zmdataservice410.hh"

namespace {

// Built from a buffer rather than with length(n): gcc's overflow analysis
// misreads the sequence template's regrowth for small constant lengths.
Orv::ZmData ZmDataOf(const std::string& bytes) {
  const auto n = static_cast<CORBA::ULong>(bytes.size());
  CORBA::Octet* buf = Orv::ZmData::allocbuf(n);
  if (n != 0) std::memcpy(buf, bytes.data(), n);
  return Orv::ZmData(n, n, buf, true);
}

// Replies are built so that the client side can see what arrived:
//  - Connect returns the length of the user name;
//  - Subscribe returns the length of the symbol it received, and
//    GetProtocolVersion the number of Subscribe calls that reached it;
//  - SubscribeGroup returns the number of symbols (-1 when the any held no
//    SymbolsGroup), GetMarketDataGroup the symbols joined by '\n' as ZmData;
//  - GetMarketData echoes the field-list any;
//  - pull waits until SubscribeAll is called, then answers its wait time
//    as four little-endian octets.
class Manager : public POA_Orv::ZmDataManager {
 public:
  CORBA::Short Connect(const char* user, const char*) override {
    return static_cast<CORBA::Short>(std::strlen(user));
  }
  CORBA::Short SecureConnect(const char*, const char*) override { return 0; }
  CORBA::Short Disconnect() override { return 0; }
  CORBA::Boolean IsConnected() override { return true; }
  char* GetSessionID() override { return CORBA::string_dup(""); }
  SE::SEDBQuery_ptr CreateQuery() override { return SE::SEDBQuery::_nil(); }
  SE::SEViewsManager_ptr CreateViewsManager() override { return SE::SEViewsManager::_nil(); }
  CORBA::Any* try_pull() override { return new CORBA::Any; }

  CORBA::Any* pull(CORBA::Long waitMs) override {
    std::unique_lock<std::mutex> lock(mutex_);
    // A safety net only: a client that never releases gets an empty reply
    // instead of hanging the suite.
    released_.wait_for(lock, std::chrono::seconds(60), [this] { return release_; });
    bool released = release_;
    release_ = false;
    auto* any = new CORBA::Any;
    if (released) {
      std::string bytes;
      for (int i = 0; i < 4; ++i)
        bytes += static_cast<char>(static_cast<CORBA::ULong>(waitMs) >> (8 * i));
      *any <<= ZmDataOf(bytes);
    }
    return any;
  }

  void obj_pull(Orv::ZmObserver_ptr) override {}
  void observer_pull() override {}
  CORBA::Any* strict_pull() override { return new CORBA::Any; }
  CORBA::Short SetCompressionMode(CORBA::Short) override { return 0; }
  CORBA::Short GetCompressionMode() override { return 0; }
  CORBA::Short SetProtocolVersion(CORBA::Short) override { return 0; }
  CORBA::Short GetProtocolVersion() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return subscribeCalls_;
  }
  CORBA::Any* GetMarketData(const char*, CORBA::Short, CORBA::Short,
                            const CORBA::Any& fields) override {
    return new CORBA::Any(fields);
  }
  CORBA::Any* GetMarketDataGroup(const CORBA::Any& symbols, CORBA::Short, CORBA::Short,
                                 const CORBA::Any&) override {
    auto* any = new CORBA::Any;
    const Orv::SymbolsGroup* group = nullptr;
    if (!(symbols >>= group)) return any;
    std::string joined;
    for (CORBA::ULong i = 0; i < group->length(); ++i) {
      if (i != 0) joined += '\n';
      joined += (*group)[i];
    }
    *any <<= ZmDataOf(joined);
    return any;
  }
  CORBA::Any* GetMarketDataAll(CORBA::Short, const CORBA::Any&) override { return new CORBA::Any; }
  CORBA::Boolean IsMarketStructureChanged() override { return false; }
  CORBA::Short ReloadMarketStructure() override { return 0; }
  CORBA::Boolean IsMarketActive() override { return true; }
  CORBA::Boolean GetMarketStructureChangedStatus() override { return false; }
  void ResetMarketStructureChangedStatus() override {}

  CORBA::Short Subscribe(const char* symbol, CORBA::Short, CORBA::Short) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++subscribeCalls_;
    return static_cast<CORBA::Short>(std::strlen(symbol));
  }
  CORBA::Short SubscribeGroup(const CORBA::Any& symbols, CORBA::Short, CORBA::Short) override {
    const Orv::SymbolsGroup* group = nullptr;
    if (!(symbols >>= group)) return -1;
    return static_cast<CORBA::Short>(group->length());
  }
  CORBA::Short SubscribeAll(CORBA::Short dataType) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      release_ = true;
    }
    released_.notify_all();
    return dataType;
  }
  CORBA::Short UnSubscribe(const char*, CORBA::Short, CORBA::Short) override { return 0; }
  CORBA::Short UnSubscribeGroup(const CORBA::Any&, CORBA::Short, CORBA::Short) override {
    return 0;
  }
  CORBA::Short UnSubscribeAll(CORBA::Short) override { return 0; }
  CORBA::Short ValidateUser(const char*, const char*, CORBA::Any_out info) override {
    info = new CORBA::Any;
    return 0;
  }
  CORBA::Short ValidateType(const char*, CORBA::Short) override { return 0; }
  CORBA::Short ValidateSubscription(const char*, const char*, CORBA::Short) override { return 0; }
  CORBA::Short ValidateSubscription2(const char*, CORBA::Short, const char*,
                                     CORBA::Short) override {
    return 0;
  }
  CORBA::Any* GetValidFields(const char*, CORBA::Short) override { return new CORBA::Any; }
  CORBA::Any* GetValidStocks(const char*) override { return new CORBA::Any; }
  CORBA::Any* GetValidStocks2(const char*, CORBA::Short) override { return new CORBA::Any; }
  CORBA::Any* ValidateStocksGroup(const char*, const CORBA::Any&, CORBA::Short) override {
    return new CORBA::Any;
  }
  CORBA::Short RegisterFields(CORBA::Short, const CORBA::Any&) override { return 0; }
  CORBA::Short RegisterAllFields(CORBA::Short) override { return 0; }
  CORBA::Short UnRegisterFields(CORBA::Short, const CORBA::Any&) override { return 0; }
  CORBA::Short UnRegisterAllFields(CORBA::Short) override { return 0; }
  CORBA::Any* GetRegisteredFields(CORBA::Short) override { return new CORBA::Any; }
  CORBA::Short RegisterCallBack(Orv::ZmDataClient_ptr) override { return 0; }
  CORBA::Boolean IsCallBackRegistered() override { return false; }
  CORBA::Short UnRegisterCallBack() override { return 0; }
  void UpdateStorage(CORBA::Short, const CORBA::Any&, const CORBA::Any&) override {}
  CORBA::Short InsertRows(const CORBA::Any&) override { return 0; }
  CORBA::Short DeleteRowsByKey(CORBA::Short, CORBA::Short, const char*) override { return 0; }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool release_ = false;
  CORBA::Short subscribeCalls_ = 0;
};

class Service : public POA_Orv::ZmDataService {
 public:
  explicit Service(Orv::ZmDataManager_ptr manager)
      : manager_(Orv::ZmDataManager::_duplicate(manager)) {}
  Orv::ZmDataManager_ptr GetZmDataManager() override {
    return Orv::ZmDataManager::_duplicate(manager_);
  }
  Orv::ZmDataManager_ptr ResolveObject(const char*, const char*) override {
    return Orv::ZmDataManager::_duplicate(manager_);
  }
  Orv::ZmSessionManager_ptr ResolveSessionManager(const char*, const char*) override {
    return Orv::ZmSessionManager::_nil();
  }
  CORBA::Short AddQuoteFilter(Orv::CustomFilter_ptr) override { return 0; }
  CORBA::Short RemoveQuoteFilter() override { return 0; }
  Orv::ZmSessionManager_ptr GetSessionManager() override { return Orv::ZmSessionManager::_nil(); }

 private:
  Orv::ZmDataManager_var manager_;
};

// The port the ORB bound: the one listening IPv4 socket of this process.
int ListeningPort() {
  for (int fd = 3; fd < 1024; ++fd) {
    int listening = 0;
    socklen_t len = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || !listening) continue;
    sockaddr_in addr{};
    socklen_t alen = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &alen) == 0 &&
        addr.sin_family == AF_INET)
      return ntohs(addr.sin_port);
  }
  return 0;
}

[[noreturn]] void RunChild(int reportFd, int controlFd) {
  int status = 0;
  try {
    int argc = 1;
    char arg0[] = "loopback-service";
    char* argv[] = {arg0, nullptr};
    const char* options[][2] = {{"endPoint", "giop:tcp:127.0.0.1:"}, {nullptr, nullptr}};
    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4", options);

    CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var root = PortableServer::POA::_narrow(obj);
    obj = orb->resolve_initial_references("omniINSPOA");
    PortableServer::POA_var ins = PortableServer::POA::_narrow(obj);

    auto* manager = new Manager;
    PortableServer::ObjectId_var managerId = root->activate_object(manager);
    obj = root->id_to_reference(managerId);
    Orv::ZmDataManager_var managerRef = Orv::ZmDataManager::_narrow(obj);
    auto* service = new Service(managerRef);
    PortableServer::ObjectId_var serviceId = PortableServer::string_to_ObjectId("ZmDataService");
    ins->activate_object_with_id(serviceId, service);
    root->the_POAManager()->activate();
    ins->the_POAManager()->activate();

    std::string line = std::to_string(ListeningPort()) + "\n";
    if (write(reportFd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
      throw std::runtime_error("cannot report the port");
    close(reportFd);

    std::thread watcher([&orb, controlFd] {
      char c;
      while (read(controlFd, &c, 1) > 0) {
      }
      orb->shutdown(false);
    });
    orb->run();
    watcher.join();
    manager->_remove_ref();
    service->_remove_ref();
    orb->destroy();
  } catch (const CORBA::Exception& ex) {
    std::fprintf(stderr, "loopback service: %s\n", ex._name());
    status = 1;
  } catch (const std::exception& ex) {
    std::fprintf(stderr, "loopback service: %s\n", ex.what());
    status = 1;
  }
  _exit(status);  // the parent's test framework must not run again in here
}

}  // namespace

void LoopbackService::Start() {
  int report[2];
  int control[2];
  if (pipe(report) != 0 || pipe(control) != 0) throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    close(report[0]);
    close(control[1]);
    RunChild(report[1], control[0]);
  }
  close(report[1]);
  close(control[0]);
  control_ = control[1];

  std::string line;
  char c;
  while (read(report[0], &c, 1) == 1 && c != '\n') line += c;
  close(report[0]);
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) {
    Stop();
    throw std::runtime_error("the loopback service did not start");
  }
}

void LoopbackService::Stop() {
  if (control_ >= 0) {
    close(control_);
    control_ = -1;
  }
  if (pid_ > 0) {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
}
