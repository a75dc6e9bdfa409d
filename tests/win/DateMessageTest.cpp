#include "platform/win/windows.h"

#include <gtest/gtest.h>

#include <string>

namespace {

SYSTEMTIME Make(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0) {
  SYSTEMTIME st{};
  st.wYear = y;
  st.wMonth = mo;
  st.wDay = d;
  st.wHour = h;
  st.wMinute = mi;
  st.wSecond = s;
  st.wMilliseconds = ms;
  return st;
}

TEST(OleDate, KnownDatesBothWays) {
  struct Case {
    SYSTEMTIME st;
    double date;
    WORD dayOfWeek;
  } cases[] = {
      {Make(1899, 12, 30), 0.0, 6},
      {Make(1900, 1, 1), 2.0, 1},
      {Make(1900, 3, 1), 61.0, 4},            // no phantom 1900-02-29
      {Make(1899, 12, 29, 6), -1.25, 5},      // the fraction counts forward
      {Make(1899, 12, 28, 18), -2.75, 4},
      {Make(2000, 2, 29, 12), 36585.5, 2},
      {Make(2024, 1, 15, 18, 0, 0), 45306.75, 1},
      {Make(100, 1, 1), -657434.0, 5},
      {Make(9999, 12, 31), 2958465.0, 5},
  };
  for (auto& c : cases) {
    double d = 1e9;
    ASSERT_TRUE(SystemTimeToVariantTime(&c.st, &d)) << c.date;
    EXPECT_DOUBLE_EQ(d, c.date);
    SYSTEMTIME back{};
    ASSERT_TRUE(VariantTimeToSystemTime(c.date, &back)) << c.date;
    EXPECT_EQ(back.wYear, c.st.wYear) << c.date;
    EXPECT_EQ(back.wMonth, c.st.wMonth) << c.date;
    EXPECT_EQ(back.wDay, c.st.wDay) << c.date;
    EXPECT_EQ(back.wHour, c.st.wHour) << c.date;
    EXPECT_EQ(back.wMinute, c.st.wMinute) << c.date;
    EXPECT_EQ(back.wDayOfWeek, c.dayOfWeek) << c.date;
  }
}

TEST(OleDate, SecondsRoundAndMillisecondsAreDropped) {
  SYSTEMTIME st = Make(2024, 1, 15, 9, 30, 15, 999);
  double d = 0;
  ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
  SYSTEMTIME back{};
  ASSERT_TRUE(VariantTimeToSystemTime(d, &back));
  EXPECT_EQ(back.wSecond, 15) << "milliseconds do not go into the date";
  EXPECT_EQ(back.wMilliseconds, 0);

  // 23:59:59.6 rounds over midnight into the next day (and month, year).
  ASSERT_TRUE(VariantTimeToSystemTime(45291.0 + 86399.6 / 86400.0, &back));  // 2023-12-31
  EXPECT_EQ(back.wYear, 2024);
  EXPECT_EQ(back.wMonth, 1);
  EXPECT_EQ(back.wDay, 1);
  EXPECT_EQ(back.wHour, 0);
}

TEST(OleDate, RefusesWhatIsOutOfRange) {
  double d = 0;
  SYSTEMTIME bad[] = {Make(99, 12, 31), Make(2023, 2, 29), Make(2024, 13, 1), Make(2024, 4, 31),
                      Make(2024, 1, 1, 24), Make(2024, 1, 1, 0, 60), Make(2024, 1, 0)};
  for (auto& st : bad) EXPECT_FALSE(SystemTimeToVariantTime(&st, &d)) << st.wYear << "-" << st.wMonth;
  SYSTEMTIME out{};
  EXPECT_FALSE(VariantTimeToSystemTime(2958466.0, &out));
  EXPECT_FALSE(VariantTimeToSystemTime(-657435.0, &out));
  EXPECT_FALSE(VariantTimeToSystemTime(0.0 / 0.0, &out));
}

TEST(OleDate, ClockReadingsAgreeWithEachOther) {
  SYSTEMTIME utc{}, local{};
  GetSystemTime(&utc);
  GetLocalTime(&local);
  EXPECT_GE(utc.wYear, 2024);
  EXPECT_LE(utc.wMilliseconds, 999);
  double d = 0;
  EXPECT_TRUE(SystemTimeToVariantTime(&utc, &d));
  EXPECT_TRUE(SystemTimeToVariantTime(&local, &d));
}

std::string Text(DWORD id, DWORD flags = 0) {
  char buf[512];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | flags, nullptr,
                           id, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf, sizeof buf, nullptr);
  return std::string(buf, n);
}

TEST(FormatMessage, TextsOfWin32CodesAndHresults) {
  EXPECT_EQ(Text(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.\r\n");
  EXPECT_EQ(Text(static_cast<DWORD>(E_FAIL)), "Unspecified error\r\n");
  // A FACILITY_WIN32 HRESULT speaks with its Win32 code's text.
  EXPECT_EQ(Text(static_cast<DWORD>(E_ACCESSDENIED)), "Access is denied.\r\n");
  EXPECT_EQ(Text(static_cast<DWORD>(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE))),
            "The RPC server is unavailable.\r\n");
  EXPECT_EQ(Text(static_cast<DWORD>(REGDB_E_CLASSNOTREG), FORMAT_MESSAGE_MAX_WIDTH_MASK),
            "Class not registered");
  EXPECT_EQ(Text(0x8004ABCDu), "");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));

  // Every code the system uses has a text.
  const HRESULT used[] = {
      E_NOTIMPL, E_NOINTERFACE, E_POINTER, E_ABORT, E_UNEXPECTED, E_HANDLE, E_OUTOFMEMORY,
      E_INVALIDARG, DISP_E_UNKNOWNINTERFACE, DISP_E_MEMBERNOTFOUND, DISP_E_PARAMNOTFOUND,
      DISP_E_TYPEMISMATCH, DISP_E_UNKNOWNNAME, DISP_E_NONAMEDARGS, DISP_E_BADVARTYPE,
      DISP_E_EXCEPTION, DISP_E_OVERFLOW, DISP_E_BADINDEX, DISP_E_ARRAYISLOCKED,
      DISP_E_BADPARAMCOUNT, DISP_E_PARAMNOTOPTIONAL, CLASS_E_NOAGGREGATION,
      CLASS_E_CLASSNOTAVAILABLE, REGDB_E_READREGDB, CO_E_NOTINITIALIZED, CO_E_SERVER_EXEC_FAILURE,
      CO_E_SERVER_STOPPING, CO_E_CLASSSTRING, CO_E_OBJNOTCONNECTED, CONNECT_E_NOCONNECTION,
      CONNECT_E_ADVISELIMIT, CONNECT_E_CANNOTCONNECT, CONNECT_E_OVERRIDDEN, RPC_E_DISCONNECTED,
      RPC_E_SERVER_DIED, RPC_E_SERVERFAULT, RPC_E_CALL_REJECTED, RPC_E_TIMEOUT, RPC_E_WRONG_THREAD,
      TYPE_E_ELEMENTNOTFOUND, SELFREG_E_CLASS, SELFREG_E_TYPELIB,
      HRESULT_FROM_WIN32(ERROR_MORE_DATA), HRESULT_FROM_WIN32(ERROR_KEY_DELETED)};
  for (HRESULT hr : used) EXPECT_NE(Text(static_cast<DWORD>(hr)), "") << std::hex << hr;
}

TEST(FormatMessage, AllocatedAndTooSmallBuffers) {
  LPSTR text = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                           ERROR_ACCESS_DENIED, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text, n), "Access is denied.\r\n");
  LocalFree(text);

  char small[8];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, small,
                           sizeof small, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

}  // namespace
