// The system's texts for the Win32 codes and HRESULTs it uses.
#pragma once

#include <cstdarg>

#include "platform/win/types.h"
#include "platform/win/winerror.h"

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))

// Only FORMAT_MESSAGE_FROM_SYSTEM: the text of a Win32 code, or of an
// HRESULT (one in FACILITY_WIN32 gives its Win32 code's text). Texts end
// in "\r\n" as on Windows, unless FORMAT_MESSAGE_MAX_WIDTH_MASK is given.
// With FORMAT_MESSAGE_ALLOCATE_BUFFER, `buffer` is really an LPSTR* that
// receives a buffer to be freed with LocalFree. Returns the characters
// stored without the null; 0 for an unknown code (ERROR_MR_MID_NOT_FOUND)
// or a buffer too small (ERROR_INSUFFICIENT_BUFFER).
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                     DWORD size, va_list* arguments);

HLOCAL LocalFree(HLOCAL memory);
