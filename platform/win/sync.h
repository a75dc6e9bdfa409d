// Critical sections, events and the waits on events and threads.
//
// Handles are entries in a process-wide table, so a stale or foreign handle
// gives ERROR_INVALID_HANDLE instead of touching freed memory, and an object
// stays alive while a wait on it is in progress even if another thread
// closes its handle meanwhile.
#pragma once

#include <pthread.h>

#include "platform/win/types.h"
#include "platform/win/winerror.h"

#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED_0 0x00000080u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64

#define SYNCHRONIZE 0x00100000u
#define EVENT_MODIFY_STATE 0x0002u
#define MUTEX_ALL_ACCESS 0x001F0001u
#define EVENT_ALL_ACCESS 0x001F0003u

// Clang's thread-safety analysis: a field marked ORV_GUARDED_BY(cs) may
// only be touched while the scope holds cs through a CritSecLock (or a
// function marked ORV_REQUIRES(cs)); the clang build checks it.
#if defined(__clang__)
#define ORV_TSA(x) __attribute__((x))
#else
#define ORV_TSA(x)
#endif
#define ORV_CAPABILITY(name) ORV_TSA(capability(name))
#define ORV_SCOPED_CAPABILITY ORV_TSA(scoped_lockable)
#define ORV_GUARDED_BY(cs) ORV_TSA(guarded_by(cs))
#define ORV_REQUIRES(...) ORV_TSA(requires_capability(__VA_ARGS__))
#define ORV_EXCLUDES(...) ORV_TSA(locks_excluded(__VA_ARGS__))
#define ORV_ACQUIRE(...) ORV_TSA(acquire_capability(__VA_ARGS__))
#define ORV_RELEASE(...) ORV_TSA(release_capability(__VA_ARGS__))
// For code that enters a critical section again on purpose: the analysis
// knows no re-entrant locks.
#define ORV_NO_THREAD_SAFETY_ANALYSIS ORV_TSA(no_thread_safety_analysis)

// Re-entrant: the owning thread may enter again and must leave as often.
struct ORV_CAPABILITY("critical section") CRITICAL_SECTION {
  pthread_mutex_t mutex;
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;

void InitializeCriticalSection(LPCRITICAL_SECTION cs);
void DeleteCriticalSection(LPCRITICAL_SECTION cs);
void EnterCriticalSection(LPCRITICAL_SECTION cs);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);
void LeaveCriticalSection(LPCRITICAL_SECTION cs);

// Events are local to the process: a name is refused (ERROR_NOT_SUPPORTED),
// since nothing in the system shares an event between processes.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Waits on events and thread handles. An auto-reset event is reset by the
// one wait that it satisfies. WaitForMultipleObjects without waitAll
// returns the lowest signalled index; with waitAll it consumes nothing
// until every object is signalled at the same moment.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds);

// Named mutexes are shared between the processes of this user: a lock
// file named after the mutex in the runtime folder, which every open
// handle holds with a shared flock, so the mutex exists exactly as long as
// some process holds a handle to it (a process that dies lets go at once).
// CreateMutexA of an existing name opens it, sets ERROR_ALREADY_EXISTS and
// grants no ownership; OpenMutexA of a name nobody holds fails with
// ERROR_FILE_NOT_FOUND. Ownership is that of the creating thread, given up
// with ReleaseMutex; these mutexes are not waited on.
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
HANDLE OpenMutexA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name);
BOOL ReleaseMutex(HANDLE mutex);

BOOL CloseHandle(HANDLE handle);

namespace orvwin {

// Holds a critical section for the life of a scope.
class ORV_SCOPED_CAPABILITY CritSecLock {
 public:
  explicit CritSecLock(CRITICAL_SECTION& cs) ORV_ACQUIRE(cs) : cs_(cs) { EnterCriticalSection(&cs_); }
  ~CritSecLock() ORV_RELEASE() { LeaveCriticalSection(&cs_); }
  CritSecLock(const CritSecLock&) = delete;
  CritSecLock& operator=(const CritSecLock&) = delete;

 private:
  CRITICAL_SECTION& cs_;
};

}  // namespace orvwin
