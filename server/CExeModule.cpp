#include "server/CExeModule.h"

#include "platform/ui/winuser.h"

CExeModule& Module() {
  static CExeModule module;
  return module;
}

LONG CExeModule::Unlock() {
  LONG count = --m_nLockCnt;
  if (count == 0) {
    bActivity = true;
    SetEvent(hEventShutdown);
  }
  return count;
}

void CExeModule::MonitorShutdown() {
  for (;;) {
    WaitForSingleObject(hEventShutdown, INFINITE);
    DWORD wait;
    do {
      bActivity = false;
      wait = WaitForSingleObject(hEventShutdown, dwTimeOut);
    } while (wait == WAIT_OBJECT_0);
    if (!bActivity && m_nLockCnt == 0) {
      CoSuspendClassObjects();
      // A client may have come in while the class objects were suspended.
      if (!bActivity && m_nLockCnt == 0) break;
      // Suspended objects would turn every new client away while this
      // copy serves on; clients that came back must be able to create.
      CoResumeClassObjects();
    }
  }
  CloseHandle(hEventShutdown.exchange(nullptr));
  PostThreadMessageA(dwThreadID, WM_QUIT, 0, 0);
}

DWORD CExeModule::MonitorProc(LPVOID module) {
  static_cast<CExeModule*>(module)->MonitorShutdown();
  return 0;
}

bool CExeModule::StartMonitor() {
  hEventShutdown = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!hEventShutdown) return false;
  DWORD id = 0;
  m_monitor = CreateThread(nullptr, 0, &CExeModule::MonitorProc, this, 0, &id);
  if (!m_monitor) return false;
  // The thread ends by itself after posting the quit message.
  CloseHandle(m_monitor);
  m_monitor = nullptr;
  return true;
}
