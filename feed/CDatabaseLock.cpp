#include "feed/CDatabaseLock.h"

namespace {

// Made before main runs and never deleted, so that table objects destroyed
// during static destruction still find it.
struct Lock {
  CRITICAL_SECTION cs;
  Lock() { InitializeCriticalSection(&cs); }
};

Lock& TheLock() {
  static Lock* lock = new Lock();
  return *lock;
}

[[maybe_unused]] const Lock& g_initialisedEarly = TheLock();

thread_local int t_depth = 0;

}  // namespace

CRITICAL_SECTION& CDatabaseLock::CriticalSection() { return TheLock().cs; }

void CDatabaseLock::Enter() {
  EnterCriticalSection(&TheLock().cs);
  ++t_depth;
}

void CDatabaseLock::Leave() {
  --t_depth;
  LeaveCriticalSection(&TheLock().cs);
}

bool CDatabaseLock::HeldByThisThread() { return t_depth > 0; }
