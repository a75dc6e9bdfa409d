// Started by the instance tests, several copies at a time.
//   hold <mutex>      create the mutex, print "held <1 if it existed>"
//   takeover <mutex>  the start-up of a new copy: see whether the mutex
//                     exists, end every other copy, create the mutex; print
//                     "exists=<0|1> terminated=<n> created=<0|1>"
// Both then keep their handle until standard input closes, and give up on
// their own after a minute should the test that started them be gone.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/win/windows.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  ::alarm(60);
  HANDLE mine = nullptr;
  if (std::strcmp(argv[1], "hold") == 0) {
    mine = CreateMutexA(nullptr, TRUE, argv[2]);
    std::printf("held %d\n", GetLastError() == ERROR_ALREADY_EXISTS ? 1 : 0);
  } else if (std::strcmp(argv[1], "takeover") == 0) {
    HANDLE other = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, argv[2]);
    if (other) CloseHandle(other);
    DWORD ended = other ? orvwin::TerminateOtherCopies(argv[2], 10000) : 0;
    mine = CreateMutexA(nullptr, TRUE, argv[2]);
    std::printf("exists=%d terminated=%u created=%d\n", other ? 1 : 0, ended,
                GetLastError() == ERROR_ALREADY_EXISTS ? 0 : 1);
  } else {
    return 2;
  }
  std::fflush(stdout);
  if (mine == nullptr) return 3;
  char c;
  while (::read(0, &c, 1) > 0) {
  }
  CloseHandle(mine);
  return 0;
}
