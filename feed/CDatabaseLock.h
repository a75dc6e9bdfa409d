// The one process-wide, re-entrant lock that serialises every access to the
// cache databases of every session.
#pragma once

#include "platform/win/windows.h"

class CDatabaseLock {
 public:
  static void Enter();
  static void Leave();
  // Whether the calling thread holds the lock (at any depth).
  static bool HeldByThisThread();
  static CRITICAL_SECTION& CriticalSection();
};

// Scoped hold of the database lock.
class CDatabaseLockGuard {
 public:
  CDatabaseLockGuard() { CDatabaseLock::Enter(); }
  ~CDatabaseLockGuard() { CDatabaseLock::Leave(); }
  CDatabaseLockGuard(const CDatabaseLockGuard&) = delete;
  CDatabaseLockGuard& operator=(const CDatabaseLockGuard&) = delete;
};
