#include "zip/CUnzipException.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

TEST(CUnzipException, FixedTextsOfTheTable) {
  const struct {
    int code;
    const char* text;
  } cases[] = {
      {1, "Not super-user."},
      {2, "No such file or directory."},
      {12, "Not enough space."},
      {30, "Read-only file system."},
      {101, "Damaged or not a zip file."},
      {102, "Crc is mismatched."},
      {110, "The filename, the comment or the local or central extra field of the file added to the archive is too "
            "long."},
      {112, "An incorrect password set for the file being decrypted."},
      {118, "The central directory was not found in the archive (or you were trying to open not the last volume of "
            "a segmented archive)."},
      {119, "The Zip64 format has not been enabled for the library, but is required to use the archive."},
      {120, "WinZip AES encryption has not been enabled for the library, but is required to decompress the "
            "archive."},
      {121, "The collection is empty and the bounds do not exist."},
      {500, "Zlib library error (end of stream)."},
      {503, "Zlib library error (stream error)."},
      {504, "Zlib library error (data error)."},
      {505, "Not enough memory."},
      {506, "Zlib library error (buffer error)."},
      {507, "Zlib library error (version error)."},
  };
  for (const auto& c : cases) {
    errno = ENOENT;  // a table text never consults the system
    EXPECT_EQ(CUnzipException::GetInternalErrorDescription(c.code, false), c.text) << c.code;
    EXPECT_EQ(CUnzipException(c.code).GetErrorDescription(), c.text) << c.code;
  }
  CUnzipException e(CUnzipException::badCrc, "reply.zip");
  EXPECT_EQ(e.m_iCause, 102);
  EXPECT_EQ(e.m_szFileName, "reply.zip");
  EXPECT_STREQ(e.what(), "Crc is mismatched.");
}

TEST(CUnzipException, CodesOutsideTheTableFallBackToTheSystemError) {
  errno = 0;
  EXPECT_EQ(CUnzipException::GetInternalErrorDescription(100, false), "Unknown error");
  EXPECT_EQ(CUnzipException::GetInternalErrorDescription(501, false), "Unknown error");
  errno = EACCES;
  EXPECT_EQ(CUnzipException::GetInternalErrorDescription(100, false), std::strerror(EACCES));
  EXPECT_EQ(CUnzipException::GetInternalErrorDescription(100, true), "Unknown error") << "no system lookup";
}

TEST(CUnzipException, ErrnoCodeDescribesTheCurrentErrno) {
  errno = ENOSPC;
  EXPECT_EQ(CUnzipException::GetInternalErrorDescription(502, false), "No space left on device.");
  errno = 0;
  EXPECT_EQ(CUnzipException::GetInternalErrorDescription(502, false), "Unknown error");
  // errno values that collide with the archive's own codes are not
  // described as archive damage; 502 itself does not loop.
  for (int e : {101, 102, 115, 116, 502}) {
    errno = e;
    const std::string text = CUnzipException::GetInternalErrorDescription(502, false);
    EXPECT_NE(text, "Damaged or not a zip file.") << e;
    EXPECT_EQ(text.find("Error while"), std::string::npos) << e;
    EXPECT_FALSE(text.empty());
  }
}

TEST(CUnzipException, RemoveAndRenameCarryTheSystemText) {
  errno = EPERM;
  EXPECT_EQ(CUnzipException::GetInternalErrorDescription(115, false),
            std::string("Error while removing a file (") + std::strerror(EPERM) + ").");
  errno = 0;
  EXPECT_EQ(CUnzipException::GetInternalErrorDescription(116, true), "Error while renaming a file (Unknown error).");
}

TEST(CUnzipException, ZlibResultsMapOneToOne) {
  EXPECT_EQ(CUnzipException::ZlibErrToZip(Z_STREAM_END), 500);
  EXPECT_EQ(CUnzipException::ZlibErrToZip(Z_NEED_DICT), 501);
  EXPECT_EQ(CUnzipException::ZlibErrToZip(Z_ERRNO), 502);
  EXPECT_EQ(CUnzipException::ZlibErrToZip(Z_STREAM_ERROR), 503);
  EXPECT_EQ(CUnzipException::ZlibErrToZip(Z_DATA_ERROR), 504);
  EXPECT_EQ(CUnzipException::ZlibErrToZip(Z_MEM_ERROR), 505);
  EXPECT_EQ(CUnzipException::ZlibErrToZip(Z_BUF_ERROR), 506);
  EXPECT_EQ(CUnzipException::ZlibErrToZip(Z_VERSION_ERROR), 507);
  EXPECT_EQ(CUnzipException::ZlibErrToZip(Z_OK), 100);
  EXPECT_EQ(CUnzipException::ZlibErrToZip(-42), 100);
}

}  // namespace
