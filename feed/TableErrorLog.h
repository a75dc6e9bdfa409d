// The error lines every table object writes when an access fails: where the
// exception was caught (debug), then what failed.
#pragma once

#include "feed/CSqliteException.h"

class _com_error;

namespace tablelog {

void SqliteError(const char* className, const char* operation, const CSqliteException& e, const char* file, int line);
void UnexpectedError(const char* className, const char* operation, const char* file, int line, const char* tail = "");
// The COM error of an event that could not be built, after the debug line.
void SendEventError(const char* className, const _com_error& e);

}  // namespace tablelog
