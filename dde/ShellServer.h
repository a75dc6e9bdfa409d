// What the program shell drives of the bridge's server object: sign-in and
// sign-out, the start of the DDE service and the two timer passes. The
// program binds it to CDDEServer; tests bind it to a stand-in.
#pragma once

#include <functional>
#include <memory>

#include "platform/com/comdef.h"
#include "platform/win/types.h"

namespace zmdde {

class CSystemTray;

class IShellServer {
 public:
  virtual ~IShellServer() = default;
  // Failures are raised as _com_error.
  virtual void ConnectToServer(_bstr_t user, _bstr_t password) = 0;
  virtual void DisconnectServer() = 0;
  virtual BOOL StartDde() = 0;
  virtual void PostAdvises() = 0;
  virtual void RefreshAll() = 0;
  // A lost server: `notice` is called, on any thread, when the signed-in
  // server is found gone; Reconnect makes one try at a new one and answers
  // whether it is connected again.
  virtual void SetServerLostNotice(std::function<void()> notice) { (void)notice; }
  virtual bool Reconnect() { return false; }
};

using ShellServerFactory = std::function<std::unique_ptr<IShellServer>(CSystemTray* tray)>;

// The bridge's own server, for the program.
std::unique_ptr<IShellServer> MakeDDEServer(CSystemTray* tray);

}  // namespace zmdde
