// Profile (ini) files with the Windows rules: section and key names are
// case-insensitive and the first match wins; keys and values are trimmed
// and one pair of matching quotes around a value is removed; a missing key
// gives the default; results are cut to the buffer as Windows cuts them. A
// write changes one line (or adds one) and keeps every other line as it
// was, replacing the file atomically. A file created by a write is mode
// 0600, since these files hold credentials.
#pragma once

#include "platform/win/types.h"
#include "platform/win/winerror.h"

// The value as a number (leading decimal digits, after an optional sign; a
// negative number as its two's complement); nDefault when the key is
// missing or empty.
UINT GetPrivateProfileIntA(LPCSTR appName, LPCSTR keyName, INT nDefault, LPCSTR fileName);

// Returns the number of characters stored, without the terminating null.
// A value longer than the buffer is cut to size - 1 characters (the result
// is then size - 1). With a null appName: every section name; with a null
// keyName: every key of the section; each null-terminated, the list ending
// in a second null (cut to size - 2 when it does not fit).
DWORD GetPrivateProfileStringA(LPCSTR appName, LPCSTR keyName, LPCSTR defaultValue,
                               LPSTR returnedString, DWORD size, LPCSTR fileName);

// A null value removes the key; a null keyName removes the section. Names
// and values that would change the file's structure (line breaks, a ']' in
// a section name, a '=' in a key) are refused with ERROR_INVALID_PARAMETER.
BOOL WritePrivateProfileStringA(LPCSTR appName, LPCSTR keyName, LPCSTR value, LPCSTR fileName);
