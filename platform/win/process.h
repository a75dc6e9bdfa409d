// This process, the other running copies of its program, and the memory
// counters that go into log lines.
#pragma once

#include <string>
#include <vector>

#include "platform/win/types.h"
#include "platform/win/winerror.h"

struct PROCESS_MEMORY_COUNTERS {
  DWORD cb;
  DWORD PageFaultCount;
  SIZE_T PeakWorkingSetSize;
  SIZE_T WorkingSetSize;
  SIZE_T QuotaPeakPagedPoolUsage;
  SIZE_T QuotaPagedPoolUsage;
  SIZE_T QuotaPeakNonPagedPoolUsage;
  SIZE_T QuotaNonPagedPoolUsage;
  SIZE_T PagefileUsage;
  SIZE_T PeakPagefileUsage;
};
typedef PROCESS_MEMORY_COUNTERS* PPROCESS_MEMORY_COUNTERS;

struct MEMORYSTATUSEX {
  DWORD dwLength;
  DWORD dwMemoryLoad;
  DWORDLONG ullTotalPhys;
  DWORDLONG ullAvailPhys;
  DWORDLONG ullTotalPageFile;
  DWORDLONG ullAvailPageFile;
  DWORDLONG ullTotalVirtual;
  DWORDLONG ullAvailVirtual;
  DWORDLONG ullAvailExtendedVirtual;
};
typedef MEMORYSTATUSEX* LPMEMORYSTATUSEX;

// The pseudo handle of this process, as on Windows.
HANDLE GetCurrentProcess();

// For this process only. The working set is the resident size; the page
// file usage is the private memory the process has committed (data and
// stack mappings); the peaks are the high-water marks the kernel keeps.
BOOL GetProcessMemoryInfo(HANDLE process, PPROCESS_MEMORY_COUNTERS counters, DWORD cb);
// Physical memory from the kernel's counters; the "page file" is physical
// memory plus swap; the virtual figures are this process's address space.
// dwLength must be set to the structure's size.
BOOL GlobalMemoryStatusEx(LPMEMORYSTATUSEX buffer);

namespace orvwin {

// The other running copies of this program: processes of the same user
// running the same executable file that hold the named single-instance
// mutex of this process's runtime folder open. Nothing else is ever listed,
// whatever its name; a copy serving another runtime folder is not a copy.
std::vector<DWORD> OtherCopies(const std::string& mutexName);

// Ends every other copy: asks each to terminate, and kills those still
// running when half of the wait has passed; then waits (at most
// `waitMilliseconds` in all) for them to be gone. Returns how many ended.
DWORD TerminateOtherCopies(const std::string& mutexName, DWORD waitMilliseconds);

// Raises the soft limit of open descriptors to the hard limit: a server
// holds a socket per client connection and link, and a soft limit far
// below what the system allows would refuse clients it could serve.
// Returns the soft limit in force afterwards (0 when it cannot be read).
unsigned long RaiseDescriptorLimit();

}  // namespace orvwin
