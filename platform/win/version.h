// The version of a program file, read the way Windows programs read their
// version resource. A module registers its version at start-up; the file
// of any loaded module that did so then has version information.
#pragma once

#include "platform/win/types.h"
#include "platform/win/winerror.h"

typedef UINT* PUINT;

#define VS_FFI_SIGNATURE 0xFEEF04BDu
#define VS_FFI_STRUCVERSION 0x00010000u
#define VOS__WINDOWS32 0x00000004u
#define VFT_APP 0x00000001u
#define VFT_DLL 0x00000002u

struct VS_FIXEDFILEINFO {
  DWORD dwSignature;
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;  // major << 16 | minor
  DWORD dwFileVersionLS;  // third << 16 | fourth
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};

namespace orvwin {
void RegisterFileVersion(HMODULE module, WORD major, WORD minor, WORD third, WORD fourth);
}  // namespace orvwin

// 0 (ERROR_RESOURCE_TYPE_NOT_FOUND) for a file that is not a loaded module
// with a registered version.
DWORD GetFileVersionInfoSizeA(LPCSTR fileName, LPDWORD handle);
BOOL GetFileVersionInfoA(LPCSTR fileName, DWORD handle, DWORD length, LPVOID data);
// Only the root block "\\": the VS_FIXEDFILEINFO.
BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer, PUINT length);
