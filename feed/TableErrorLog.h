// The error lines every table object writes when an access fails: where the
// exception was caught (debug), then what failed.
#pragma once

#include "feed/CSqliteException.h"

namespace tablelog {

void SqliteError(const char* className, const char* operation, const CSqliteException& e, const char* file, int line);
void UnexpectedError(const char* className, const char* operation, const char* file, int line, const char* tail = "");

}  // namespace tablelog
