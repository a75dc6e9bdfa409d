// Threads, sleeps and the tick count.
//
// A thread handle is signalled when the thread's function has returned;
// WaitForSingleObject on it is the timed join. Closing the handle of a
// thread that has ended joins it; closing it earlier lets the thread run on
// by itself. There is no TerminateThread: threads stop cooperatively, when
// told to through an event they poll.
#pragma once

#include "platform/win/types.h"
#include "platform/win/winerror.h"

#define STILL_ACTIVE 259
#define CREATE_SUSPENDED 0x00000004

typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID parameter);

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId);
// The C runtime's variant: the handle comes back as an integer, 0 on failure.
uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned (*start)(void*),
                         void* arglist, unsigned initflag, unsigned* thrdaddr);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);

DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();

void Sleep(DWORD milliseconds);
// Milliseconds since an arbitrary start, wrapping after 49.7 days.
DWORD GetTickCount();
ULONGLONG GetTickCount64();
