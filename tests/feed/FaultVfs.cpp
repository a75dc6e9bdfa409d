#include "FaultVfs.h"

#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace faultvfs {
namespace {

std::atomic<int> g_armed{-1};  // a Call, or -1 for none
std::atomic<int> g_nth{0};
std::atomic<int> g_counted{0};
std::atomic<bool> g_failed{false};

// True when this call is the one to fail.
bool Strikes(Call call) {
  if (g_armed.load() != static_cast<int>(call)) return false;
  if (g_counted.fetch_add(1) + 1 != g_nth.load()) return false;
  g_failed = true;
  return true;
}

// Our file: the methods below, and the default VFS's file right behind it.
struct File {
  sqlite3_file base;
  sqlite3_file* real;
};

sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real; }

int Close(sqlite3_file* f) { return Real(f)->pMethods->xClose(Real(f)); }
int Read(sqlite3_file* f, void* p, int n, sqlite3_int64 at) { return Real(f)->pMethods->xRead(Real(f), p, n, at); }
int Write(sqlite3_file* f, const void* p, int n, sqlite3_int64 at) {
  if (Strikes(Call::kWrite)) return SQLITE_IOERR_WRITE;
  return Real(f)->pMethods->xWrite(Real(f), p, n, at);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) { return Real(f)->pMethods->xTruncate(Real(f), size); }
int Sync(sqlite3_file* f, int flags) {
  if (Strikes(Call::kSync)) return SQLITE_IOERR_FSYNC;
  return Real(f)->pMethods->xSync(Real(f), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) { return Real(f)->pMethods->xFileSize(Real(f), size); }
int Lock(sqlite3_file* f, int level) { return Real(f)->pMethods->xLock(Real(f), level); }
int Unlock(sqlite3_file* f, int level) { return Real(f)->pMethods->xUnlock(Real(f), level); }
int CheckReservedLock(sqlite3_file* f, int* out) { return Real(f)->pMethods->xCheckReservedLock(Real(f), out); }
int FileControl(sqlite3_file* f, int op, void* arg) { return Real(f)->pMethods->xFileControl(Real(f), op, arg); }
int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int DeviceCharacteristics(sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); }
int ShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
  return Real(f)->pMethods->xShmMap(Real(f), region, size, extend, out);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
  return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
int ShmUnmap(sqlite3_file* f, int deleteFlag) { return Real(f)->pMethods->xShmUnmap(Real(f), deleteFlag); }
int Fetch(sqlite3_file* f, sqlite3_int64 at, int n, void** out) {
  return Real(f)->pMethods->xFetch(Real(f), at, n, out);
}
int Unfetch(sqlite3_file* f, sqlite3_int64 at, void* p) { return Real(f)->pMethods->xUnfetch(Real(f), at, p); }

// One set per version of the default file's methods, so that SQLite asks
// ours for no more than the real file has.
sqlite3_io_methods MethodsOf(int version) {
  sqlite3_io_methods m;
  std::memset(&m, 0, sizeof m);
  m.iVersion = version;
  m.xClose = Close;
  m.xRead = Read;
  m.xWrite = Write;
  m.xTruncate = Truncate;
  m.xSync = Sync;
  m.xFileSize = FileSize;
  m.xLock = Lock;
  m.xUnlock = Unlock;
  m.xCheckReservedLock = CheckReservedLock;
  m.xFileControl = FileControl;
  m.xSectorSize = SectorSize;
  m.xDeviceCharacteristics = DeviceCharacteristics;
  if (version >= 2) {
    m.xShmMap = ShmMap;
    m.xShmLock = ShmLock;
    m.xShmBarrier = ShmBarrier;
    m.xShmUnmap = ShmUnmap;
  }
  if (version >= 3) {
    m.xFetch = Fetch;
    m.xUnfetch = Unfetch;
  }
  return m;
}

const sqlite3_io_methods g_methods[] = {MethodsOf(1), MethodsOf(2), MethodsOf(3)};

sqlite3_vfs* g_default = nullptr;
sqlite3_vfs g_vfs;

int Open(sqlite3_vfs*, const char* name, sqlite3_file* f, int flags, int* outFlags) {
  File* file = reinterpret_cast<File*>(f);
  file->base.pMethods = nullptr;
  file->real = reinterpret_cast<sqlite3_file*>(file + 1);
  const int rc = g_default->xOpen(g_default, name, file->real, flags, outFlags);
  // A real file without methods needs no close, and ours then has none.
  const sqlite3_io_methods* real = file->real->pMethods;
  if (real != nullptr) {
    const int version = real->iVersion < 1 ? 1 : real->iVersion > 3 ? 3 : real->iVersion;
    file->base.pMethods = &g_methods[version - 1];
  }
  return rc;
}

}  // namespace

void Install() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_default = sqlite3_vfs_find(nullptr);
    g_vfs = *g_default;
    g_vfs.zName = "orv-fault";
    g_vfs.szOsFile = static_cast<int>(sizeof(File)) + g_default->szOsFile;
    g_vfs.pNext = nullptr;
    g_vfs.xOpen = Open;
    sqlite3_vfs_register(&g_vfs, 1);
  });
}

void Arm(Call call, int nth) {
  g_armed = -1;
  g_counted = 0;
  g_failed = false;
  g_nth = nth;
  g_armed = static_cast<int>(call);
}

void Disarm() { g_armed = -1; }

bool Failed() { return g_failed.load(); }

int Counted() { return g_counted.load(); }

}  // namespace faultvfs
