#include <cstdio>

#include "dde/ShellServer.h"

#if __has_include("dde/CDDEServer.h")
#include "dde/CDDEServer.h"

namespace {

class DDEServerLink : public IShellServer {
 public:
  explicit DDEServerLink(CSystemTray* tray) : server_(new CDDEServer(tray)) {}
  void ConnectToServer(_bstr_t user, _bstr_t password) override {
    server_->ConnectToServer(user, password);
  }
  void DisconnectServer() override { server_->DisconnectServer(); }
  BOOL StartDde() override { return server_->StartDde(); }
  void PostAdvises() override { server_->PostAdvises(); }
  void RefreshAll() override { server_->RefreshAll(); }

 private:
  std::unique_ptr<CDDEServer> server_;
};

}  // namespace

std::unique_ptr<IShellServer> MakeDDEServer(CSystemTray* tray) {
  return std::make_unique<DDEServerLink>(tray);
}

#else

std::unique_ptr<IShellServer> MakeDDEServer(CSystemTray*) {
  std::fprintf(stderr, "ZmDDE: this build has no DDE server object\n");
  return nullptr;
}

#endif
