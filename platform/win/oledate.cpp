#include "platform/win/oledate.h"

#include <time.h>

#include <cmath>

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

const long long kOleEpoch = DaysFromCivil(1899, 12, 30);

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned y, unsigned m) {
  static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

void FromTm(const tm& t, long nanos, LPSYSTEMTIME st) {
  st->wYear = static_cast<WORD>(t.tm_year + 1900);
  st->wMonth = static_cast<WORD>(t.tm_mon + 1);
  st->wDayOfWeek = static_cast<WORD>(t.tm_wday);
  st->wDay = static_cast<WORD>(t.tm_mday);
  st->wHour = static_cast<WORD>(t.tm_hour);
  st->wMinute = static_cast<WORD>(t.tm_min);
  st->wSecond = static_cast<WORD>(t.tm_sec > 59 ? 59 : t.tm_sec);  // a leap second
  st->wMilliseconds = static_cast<WORD>(nanos / 1000000);
}

}  // namespace

INT SystemTimeToVariantTime(LPSYSTEMTIME st, DOUBLE* out) {
  if (st == nullptr || out == nullptr) return FALSE;
  if (st->wYear < 100 || st->wYear > 9999 || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 ||
      st->wDay > DaysInMonth(st->wYear, st->wMonth) || st->wHour > 23 || st->wMinute > 59 ||
      st->wSecond > 59)
    return FALSE;
  const long long day = DaysFromCivil(st->wYear, st->wMonth, st->wDay) - kOleEpoch;
  const double fraction = (st->wHour * 3600.0 + st->wMinute * 60.0 + st->wSecond) / 86400.0;
  *out = day >= 0 ? static_cast<double>(day) + fraction : static_cast<double>(day) - fraction;
  return TRUE;
}

INT VariantTimeToSystemTime(DOUBLE v, LPSYSTEMTIME st) {
  // 0100-01-01 is -657434; 9999-12-31 23:59:59 lies just below 2958466.
  if (st == nullptr || !(v >= -657434.0 && v < 2958466.0)) return FALSE;
  long long day = static_cast<long long>(std::trunc(v));
  long long seconds = std::llround(std::fabs(v - static_cast<double>(day)) * 86400.0);
  if (seconds >= 86400) {  // rounded up to the next midnight
    seconds -= 86400;
    ++day;
  }
  long long y;
  unsigned m, d;
  CivilFromDays(day + kOleEpoch, y, m, d);
  if (y < 100 || y > 9999) return FALSE;
  st->wYear = static_cast<WORD>(y);
  st->wMonth = static_cast<WORD>(m);
  st->wDay = static_cast<WORD>(d);
  long long z = day + kOleEpoch;  // 1970-01-01 was a Thursday
  st->wDayOfWeek = static_cast<WORD>(((z % 7) + 7 + 4) % 7);
  st->wHour = static_cast<WORD>(seconds / 3600);
  st->wMinute = static_cast<WORD>(seconds / 60 % 60);
  st->wSecond = static_cast<WORD>(seconds % 60);
  st->wMilliseconds = 0;
  return TRUE;
}

void GetSystemTime(LPSYSTEMTIME st) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t;
  gmtime_r(&ts.tv_sec, &t);
  FromTm(t, ts.tv_nsec, st);
}

void GetLocalTime(LPSYSTEMTIME st) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t;
  localtime_r(&ts.tv_sec, &t);
  FromTm(t, ts.tv_nsec, st);
}
