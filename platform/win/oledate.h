// OLE dates: a DATE is days since 1899-12-30 00:00 with the time of day as
// the fraction. Before that day the fraction still counts forward from
// midnight (-1.25 is 1899-12-29 06:00), as OLE Automation defines it.
#pragma once

#include "platform/win/types.h"

typedef double DATE;
typedef double DOUBLE;

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;  // 0 is Sunday
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
typedef SYSTEMTIME* LPSYSTEMTIME;
typedef SYSTEMTIME* PSYSTEMTIME;

// Years 100 to 9999. The milliseconds and the day of the week are ignored;
// FALSE for a field out of range.
INT SystemTimeToVariantTime(LPSYSTEMTIME systemTime, DOUBLE* variantTime);
// Rounds to the nearest second (wMilliseconds is 0) and fills the day of
// the week; FALSE outside the years 100 to 9999.
INT VariantTimeToSystemTime(DOUBLE variantTime, LPSYSTEMTIME systemTime);

void GetLocalTime(LPSYSTEMTIME systemTime);
void GetSystemTime(LPSYSTEMTIME systemTime);
