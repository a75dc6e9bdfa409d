// The shell reaches the server object through IShellServer, so that its
// tests can run it with a server object of their own.
#include <memory>

#include "dde/CDDEServer.h"
#include "dde/ShellServer.h"

namespace zmdde {

namespace {

class DDEServerLink : public IShellServer {
 public:
  explicit DDEServerLink(CSystemTray* tray) : server_(new CDDEServer(tray)) {}
  void ConnectToServer(_bstr_t user, _bstr_t password) override { server_->ConnectToServer(user, password); }
  void DisconnectServer() override { server_->DisconnectServer(); }
  BOOL StartDde() override { return server_->StartDde(); }
  void PostAdvises() override { server_->PostAdvises(); }
  void RefreshAll() override { server_->RefreshAll(); }
  void SetServerLostNotice(std::function<void()> notice) override {
    CDDEServer::SetServerLostNotice(std::move(notice));
  }
  bool Reconnect() override { return server_->Reconnect(); }

 private:
  std::unique_ptr<CDDEServer> server_;
};

}  // namespace

std::unique_ptr<IShellServer> MakeDDEServer(CSystemTray* tray) { return std::make_unique<DDEServerLink>(tray); }

}  // namespace zmdde
