// String and data handles, shared by every instance of the process.
#pragma once

#include <string>

#include "platform/dde/ddeml.h"

namespace orvdde {

// Atoms: one handle per case-folded text. Every reference is counted
// against the instance that took it, so that ending an instance gives back
// exactly what it held.
HSZ AtomAdd(DWORD instance, const std::string& text);
bool AtomKeep(DWORD instance, HSZ hsz);
bool AtomRelease(DWORD instance, HSZ hsz);
bool AtomText(HSZ hsz, std::string* text);
void AtomReleaseAll(DWORD instance);
std::string Fold(const std::string& text);

HDDEDATA DataCreate(DWORD instance, const std::string& bytes, HSZ item, UINT format, bool appOwned);
// The handle's bytes and format; false for a handle that does not exist.
bool DataRead(HDDEDATA data, std::string* bytes, UINT* format, bool* appOwned);
void DataFreeAll(DWORD instance);

}  // namespace orvdde
