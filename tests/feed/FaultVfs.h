// A VFS for tests that passes every call to the default one, except that it
// can be armed to fail one write or one sync: the Nth from the moment it is
// armed. Installed as the default, so that every connection opened after
// Install goes through it; connections opened before keep the VFS they had.
#pragma once

#include <cstdint>

namespace faultvfs {

// Registers the VFS as the default (once per process); later calls do
// nothing. Unarmed it changes nothing.
void Install();

enum class Call { kWrite, kSync };

// From now on counts the calls of that kind; the nth one (1 = the next)
// fails with SQLITE_IOERR_WRITE or SQLITE_IOERR_FSYNC, the others pass.
// Replaces what an earlier Arm set.
void Arm(Call call, int nth);
// Counts no more and fails nothing.
void Disarm();
// Whether the armed call was reached and failed since the last Arm.
bool Failed();
// The calls of the armed kind counted since the last Arm.
int Counted();

}  // namespace faultvfs
