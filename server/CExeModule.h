// The program's COM module: it watches the lock count and ends the message
// loop once the server has been idle for a while.
#pragma once

#include <atomic>

#include "platform/com/atlcom.h"

class CExeModule : public CComModule {
 public:
  LONG Unlock() override;
  // Starts the thread that ends the program after the last lock goes.
  bool StartMonitor();
  void MonitorShutdown();

  DWORD dwThreadID = 0;            // the main thread, whose loop the monitor ends
  // Both are touched by Unlock on any COM thread.
  std::atomic<HANDLE> hEventShutdown{nullptr};
  std::atomic<bool> bActivity{false};
  DWORD dwTimeOut = 1000;          // quiet time after the last lock before ending
  DWORD dwPause = 1000;            // between revoking the class objects and the end

 private:
  static DWORD MonitorProc(LPVOID module);
  HANDLE m_monitor = nullptr;
};

// The one module of the process.
CExeModule& Module();
