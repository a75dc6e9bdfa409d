// The registry, kept in one human-editable text file (see RegistryPath()):
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Brask\Orv]
//   "LogLevel"=dword:00000001
//   "AppName"="ZmDataService"
//   @="the key's default value"
//
// One section per key path; key paths and value names are case-insensitive.
// Strings escape '\\' and '"' (and \n, \r, \t, \xHH for control bytes). A
// key exists when it has a section or a sub-key has one. Readers parse the
// file on every call; writers hold a file lock, re-read, and replace the file
// atomically, keeping every other line (comments and lines they can't parse
// included) as it was.
#pragma once

#include "platform/win/types.h"
#include "platform/win/winerror.h"

typedef DWORD REGSAM;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4

#define REG_OPTION_NON_VOLATILE 0x00000000
#define REG_CREATED_NEW_KEY 0x00000001
#define REG_OPENED_EXISTING_KEY 0x00000002

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_EXECUTE 0x20019
#define KEY_ALL_ACCESS 0xF003F

// Every call returns a Win32 code (ERROR_SUCCESS on success), as the
// registry calls do.
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM desired, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition);
LONG RegCloseKey(HKEY key);
// A missing value gives ERROR_FILE_NOT_FOUND; a buffer too small gives
// ERROR_MORE_DATA with the size needed in *dataSize. The type comes back
// whatever the caller expected: checking it is the caller's part.
LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize);
// REG_SZ and REG_DWORD values only.
LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataSize);
LONG RegDeleteValueA(HKEY key, LPCSTR valueName);
// Fails with ERROR_ACCESS_DENIED while the key has sub-keys.
LONG RegDeleteKeyA(HKEY key, LPCSTR subKey);
// The key and everything under it; with a null sub-key, everything under
// the open key (its values too) but not the key itself.
LONG RegDeleteTreeA(HKEY key, LPCSTR subKey);

namespace orvwin {

// Gathers every write the constructing thread makes to the registry, until
// Commit(), into one replacement of the file: a process ended at any point
// leaves the file as it was or with all of the writes. The file lock is held
// from construction to destruction, so no other writer comes between the
// read and the write; the owner's reads see its own writes, other threads'
// reads the file as it was, and other threads' writes wait for the end.
// Without a Commit() nothing is written. One at a time per process.
class RegistryTransaction {
 public:
  RegistryTransaction();
  ~RegistryTransaction();
  RegistryTransaction(const RegistryTransaction&) = delete;
  RegistryTransaction& operator=(const RegistryTransaction&) = delete;
  // ERROR_SUCCESS once the file holds every write (or none was made); the
  // first failure of the lock, the read or the write otherwise.
  LONG Commit();
};

}  // namespace orvwin
