#include <cstdio>
#include <type_traits>
#include <utility>

#include "dde/ShellServer.h"

#if ORV_HAVE_DDE_SERVER
#include "dde/CDDEServer.h"

namespace {

// The server object's DDE service and timer passes arrive in steps; until
// a pass exists the program says so instead of failing to build.
template <class S, class = void>
struct HasDdeService : std::false_type {};
template <class S>
struct HasDdeService<S, std::void_t<decltype(std::declval<S&>().StartDde()),
                                    decltype(std::declval<S&>().PostAdvises()),
                                    decltype(std::declval<S&>().RefreshAll())>>
    : std::true_type {};

template <class S>
class DDEServerLink : public IShellServer {
 public:
  explicit DDEServerLink(CSystemTray* tray) : server_(new S(tray)) {}
  void ConnectToServer(_bstr_t user, _bstr_t password) override {
    server_->ConnectToServer(user, password);
  }
  void DisconnectServer() override { server_->DisconnectServer(); }
  BOOL StartDde() override {
    if constexpr (HasDdeService<S>::value) {
      return server_->StartDde();
    } else {
      std::fprintf(stderr, "ZmDDE: this build has no DDE service\n");
      return FALSE;
    }
  }
  void PostAdvises() override {
    if constexpr (HasDdeService<S>::value) server_->PostAdvises();
  }
  void RefreshAll() override {
    if constexpr (HasDdeService<S>::value) server_->RefreshAll();
  }

 private:
  std::unique_ptr<S> server_;
};

}  // namespace

std::unique_ptr<IShellServer> MakeDDEServer(CSystemTray* tray) {
  return std::make_unique<DDEServerLink<CDDEServer>>(tray);
}

#else

std::unique_ptr<IShellServer> MakeDDEServer(CSystemTray*) {
  std::fprintf(stderr, "ZmDDE: this build has no DDE server object\n");
  return nullptr;
}

#endif
