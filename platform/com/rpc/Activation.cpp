#include "platform/com/rpc/Activation.h"

#include <errno.h>
#include <sys/wait.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/com/com.h"
#include "platform/com/rpc/Connection.h"
#include "platform/com/rpc/Launch.h"
#include "platform/com/rpc/Socket.h"
#include "platform/log/Log.h"

namespace orvrpc {

namespace {

constexpr auto kPollStep = std::chrono::milliseconds(5);

bool ReadLocalServer32(const CLSID& clsid, std::string* command) {
  std::string path = "CLSID\\" + orvcom::GuidToString(clsid) + "\\LocalServer32";
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  char text[4096];
  DWORD size = sizeof text;
  DWORD type = 0;
  LONG rc = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(text), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_SZ || size == 0) return false;
  text[sizeof text - 1] = 0;
  *command = text;
  return !command->empty();
}

std::mutex& ServerGoneMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}
std::function<void(const CLSID&)>& ServerGoneHandler() {
  static auto* h = new std::function<void(const CLSID&)>;
  return *h;
}

void NotifyServerGone(const CLSID& clsid) {
  std::function<void(const CLSID&)> handler;
  {
    std::lock_guard<std::mutex> lock(ServerGoneMutex());
    handler = ServerGoneHandler();
  }
  if (handler) handler(clsid);
}

class Transport final : public orvcom::LocalServerHook {
 public:
  HRESULT GetClassObject(REFCLSID clsid, DWORD, REFIID riid, void** ppv) override;
  void ClassObjectChanged(REFCLSID clsid, IUnknown* classObject, ClassState state) override;

 private:
  struct Served {
    IUnknown* classObject = nullptr;
    std::unique_ptr<Listener> listener;
  };
  HRESULT Connect(const CLSID& clsid, std::shared_ptr<Connection>* out);

  std::mutex mu_;
  std::map<std::string, Served> served_;
  // Held from registration until the process ends, so no client starts a
  // second copy while this one serves or stops; by lock file path.
  std::map<std::string, std::unique_ptr<FileLock>> instanceLocks_;
  std::mutex clientMu_;
  std::map<std::string, std::shared_ptr<Connection>> clients_;
};

HRESULT Transport::Connect(const CLSID& clsid, std::shared_ptr<Connection>* out) {
  std::string clsidText = orvcom::GuidToString(clsid);
  std::string command;
  if (!ReadLocalServer32(clsid, &command)) return REGDB_E_CLASSNOTREG;
  std::string why;
  std::string folder = SocketFolder(&why);
  if (folder.empty()) {
    ORV_LOG(orvlog::kError, "ERROR: cannot reach the server of " << clsidText << ": " << why);
    return CO_E_SERVER_EXEC_FAILURE;
  }
  std::string socketPath = ClassSocketPath(folder, clsidText);
  UniqueFd fd = ConnectUnix(socketPath);
  if (!fd.Valid()) {
    auto deadline = std::chrono::steady_clock::now() + LaunchTimeout();
    // One client at a time decides whether to start the server; the others
    // wait here and then find it listening.
    FileLock launch;
    if (!launch.Lock(LaunchLockPath(folder, clsidText),
                     std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()))) {
      ORV_LOG(orvlog::kError, "ERROR: timed out waiting for another client starting the server of " << clsidText);
      return CO_E_SERVER_EXEC_FAILURE;
    }
    std::string instancePath = InstanceLockPath(folder, clsidText);
    std::shared_ptr<ChildProcess> child;
    for (;;) {
      fd = ConnectUnix(socketPath);
      if (fd.Valid()) break;
      // A copy that holds the instance lock is starting or stopping: wait
      // for it to listen or to go, never start another beside it.
      if (!child && !FileLock::IsHeld(instancePath)) {
        std::string program = ProgramFromCommand(command);
        child = ChildProcess::Start(program, {"-Embedding"}, &why);
        if (!child) {
          ORV_LOG(orvlog::kError, "ERROR: " << why);
          return CO_E_SERVER_EXEC_FAILURE;
        }
      } else if (child && child->Exited()) {
        // It may have stopped at once because a copy started beside it;
        // then that copy is the one to wait for.
        if (FileLock::IsHeld(instancePath)) {
          child.reset();
        } else {
          int st = child->Status();
          ORV_LOG(orvlog::kError, "ERROR: local server " << command << " ended before listening ("
                                  << (WIFEXITED(st) ? "exit code " + std::to_string(WEXITSTATUS(st))
                                                    : "signal " + std::to_string(WTERMSIG(st)))
                                  << ")");
          return CO_E_SERVER_EXEC_FAILURE;
        }
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        ORV_LOG(orvlog::kError, "ERROR: local server " << command << " did not listen on " << socketPath
                                                        << " in time");
        return CO_E_SERVER_EXEC_FAILURE;
      }
      std::this_thread::sleep_for(kPollStep);
    }
  }
  pid_t pid = 0;
  if (!PeerIsSameUser(fd.Get(), &why, &pid)) {
    ORV_LOG(orvlog::kError, "ERROR: refused the server on " << socketPath << ": " << why);
    return E_ACCESSDENIED;
  }
  *out = Connection::Start(std::move(fd), nullptr, clsidText + " (server pid " + std::to_string(pid) + ")");
  const CLSID gone = clsid;
  (*out)->OnClosed([gone] { NotifyServerGone(gone); });
  return S_OK;
}

HRESULT Transport::GetClassObject(REFCLSID clsid, DWORD, REFIID riid, void** ppv) {
  std::string key = orvcom::GuidToString(clsid);
  // One connection per server, so that every object of the server keeps a
  // single proxy in this process.
  std::lock_guard<std::mutex> lock(clientMu_);
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto it = clients_.find(key);
    if (it != clients_.end() && it->second->IsClosed()) {
      clients_.erase(it);
      it = clients_.end();
    }
    if (it == clients_.end()) {
      std::shared_ptr<Connection> c;
      HRESULT hr = Connect(clsid, &c);
      if (FAILED(hr)) return hr;
      it = clients_.emplace(key, std::move(c)).first;
    }
    HRESULT hr = it->second->GetRoot(riid, ppv, LaunchTimeout());
    // A server that was stopping when we reached it: start over once, on a
    // connection of our own. The old one is forgotten even while its close
    // is still under way, or every later activation would find it again.
    if (hr == RPC_E_DISCONNECTED || hr == kServerUnavailable) {
      clients_.erase(it);
      continue;
    }
    // Suspended, or too busy to take us on.
    if (hr == RPC_E_TIMEOUT) return CO_E_SERVER_STOPPING;
    return hr;
  }
  return CO_E_SERVER_STOPPING;
}

void Transport::ClassObjectChanged(REFCLSID clsid, IUnknown* classObject, ClassState state) {
  std::string key = orvcom::GuidToString(clsid);
  std::string why;
  std::string folder = SocketFolder(&why);
  if (folder.empty()) {
    ORV_LOG(orvlog::kError, "ERROR: class " << key << " cannot serve other processes: " << why);
    return;
  }
  std::unique_ptr<Listener> closing;
  IUnknown* released = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    Served& s = served_[key];
    switch (state) {
      case ClassState::kRegistered: {
        if (!s.classObject) {
          s.classObject = classObject;
          classObject->AddRef();
        }
        std::string lockPath = InstanceLockPath(folder, key);
        auto& instance = instanceLocks_[lockPath];
        if (!instance) instance = std::make_unique<FileLock>();
        if (!instance->Held() && !instance->TryLock(lockPath))
          ORV_LOG(orvlog::kWarn, "another copy of the server of " << key << " is running");
        break;
      }
      case ClassState::kResumed: {
        if (!s.classObject) {
          s.classObject = classObject;
          classObject->AddRef();
        }
        if (s.listener && s.listener->IsOpen()) {
          s.listener->Resume();
          break;
        }
        s.listener = std::make_unique<Listener>();
        IUnknown* root = s.classObject;
        root->AddRef();
        std::shared_ptr<IUnknown> rootRef(root, [](IUnknown* p) { p->Release(); });
        bool ok = s.listener->Open(
            ClassSocketPath(folder, key),
            [rootRef, key](UniqueFd fd) {
              pid_t pid = 0;
              std::string w;
              PeerIsSameUser(fd.Get(), &w, &pid);
              Connection::Start(std::move(fd), rootRef.get(), key + " (client pid " + std::to_string(pid) + ")");
            },
            &why);
        if (!ok) {
          ORV_LOG(orvlog::kError, "ERROR: class " << key << " cannot serve other processes: " << why);
          s.listener.reset();
        } else {
          ORV_LOG(orvlog::kInfo, "class " << key << " accepts clients on " << s.listener->Path());
        }
        break;
      }
      case ClassState::kSuspended:
        if (s.listener) s.listener->Pause();
        break;
      case ClassState::kRevoked:
        closing = std::move(s.listener);
        released = s.classObject;
        served_.erase(key);
        break;
    }
  }
  // Closing joins the accept thread, which may be starting a connection.
  closing.reset();
  if (released) released->Release();
}

}  // namespace

std::chrono::milliseconds LaunchTimeout() { return std::chrono::milliseconds(20000); }

void SetServerGoneHandler(std::function<void(const CLSID& clsid)> handler) {
  std::lock_guard<std::mutex> lock(ServerGoneMutex());
  ServerGoneHandler() = std::move(handler);
}

bool InstallTransport() {
  static Transport* transport = [] {
    auto* t = new Transport();  // lives as long as the process
    orvcom::SetLocalServerHook(t);
    return t;
  }();
  return transport != nullptr;
}

}  // namespace orvrpc
