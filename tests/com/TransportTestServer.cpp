// The local server of the cross-process transport tests, and a client of
// it for the tests that need a second client process.
//
//   transport_test_server -Embedding     serves CLSID_Probe until idle
//   transport_test_server -Client pid    prints the server's pid
//   transport_test_server -Client hold   holds a probe and two cursors
//                                        until killed
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "TransportObjects.h"

namespace {

long EnvMs(const char* name, long fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atol(v) : fallback;
}

int Serve() {
  if (const char* log = std::getenv("ORV_TEST_LAUNCH_LOG")) {
    int fd = ::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
      std::string line = std::to_string(::getpid()) + "\n";
      (void)!::write(fd, line.data(), line.size());
      ::close(fd);
    }
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  auto* factory = new tobj::ProbeFactory();
  DWORD cookie = 0;
  HRESULT hr = CoRegisterClassObject(CLSID_Probe, factory, CLSCTX_LOCAL_SERVER,
                                     REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie);
  if (FAILED(hr)) {
    std::fprintf(stderr, "transport_test_server: cannot register the class object: 0x%08x\n", unsigned(hr));
    return 1;
  }
  CoResumeClassObjects();
  // Stays while any object or server lock is alive, and the idle time after.
  // Before its first client has made an object or locked the server, it
  // waits longer: on a loaded machine the client that launched it may take
  // more than the idle time to get through, and a copy that leaves just as
  // that client's create arrives takes the new object down with it.
  const auto idle = std::chrono::milliseconds(EnvMs("ORV_TEST_IDLE_MS", 1000));
  const auto firstClient = std::max(idle, std::chrono::milliseconds(5000));
  bool served = false;
  auto idleSince = std::chrono::steady_clock::now();
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    auto now = std::chrono::steady_clock::now();
    if (tobj::Live().load() > 0 || tobj::ServerLocks().load() > 0) {
      served = true;
      idleSince = now;
    } else if (!served && tobj::Made().load() > 0) {
      served = true;
      idleSince = now;
    } else if (now - idleSince >= (served ? idle : firstClient)) {
      break;
    }
  }
  CoRevokeClassObject(cookie);
  factory->Release();
  CoUninitialize();
  return 0;
}

int Client(const std::string& mode) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  IProbe* probe = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_Probe, nullptr, CLSCTX_LOCAL_SERVER, IID_IProbe,
                                reinterpret_cast<void**>(&probe));
  if (FAILED(hr)) {
    std::fprintf(stderr, "transport_test_server: cannot create the probe: 0x%08x\n", unsigned(hr));
    return 1;
  }
  LONG pid = 0;
  if (FAILED(probe->get_Pid(&pid))) return 1;
  if (mode == "pid") {
    std::printf("%ld\n", long(pid));
    std::fflush(stdout);
    probe->Release();
    return 0;
  }
  ICursor *a = nullptr, *b = nullptr;
  BSTR sa = SysAllocString(u"A"), sb = SysAllocString(u"B");
  probe->OpenCursor(sa, 1, enBid, &a);
  probe->OpenCursor(sb, 2, enAsk, &b);
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) ::pause();  // until killed
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "-Embedding") == 0) return Serve();
  if (argc >= 3 && std::strcmp(argv[1], "-Client") == 0) return Client(argv[2]);
  std::fprintf(stderr, "usage: transport_test_server -Embedding | -Client pid|hold\n");
  return 2;
}
