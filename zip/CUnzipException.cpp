#include "zip/CUnzipException.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>

namespace {

const char* TableText(int iCause) {
  switch (iCause) {
    case 1: return "Not super-user.";
    case 2: return "No such file or directory.";
    case 4: return "Interrupted system call.";
    case 5: return "I/O error.";
    case 6: return "No such device or address.";
    case 9: return "Bad file number.";
    case 12: return "Not enough space.";
    case 13: return "Permission denied.";
    case 14: return "Bad address.";
    case 17: return "File exists.";
    case 18: return "Cross-device link.";
    case 19: return "No such device.";
    case 20: return "Not a directory.";
    case 21: return "Is a directory.";
    case 22: return "Invalid argument.";
    case 23: return "File table overflow.";
    case 24: return "Too many open files.";
    case 27: return "File too large.";
    case 28: return "No space left on device.";
    case 29: return "Illegal seek.";
    case 30: return "Read-only file system.";
    case 101: return "Damaged or not a zip file.";
    case 102: return "Crc is mismatched.";
    case 103: return "There is no spanned archive callback object set.";
    case 104: return "Volume change aborted in a segmented archive.";
    case 105: return "Action aborted.";
    case 106: return "Action aborted safely.";
    case 107: return "The device selected for the spanned archive is not removable.";
    case 108: return "The limit of the maximum volumes reached.";
    case 109: return "The limit of the maximum files in an archive reached.";
    case 110:
      return "The filename, the comment or the local or central extra field of the file added to the "
             "archive is too long.";
    case 111: return "The file size is too large to be supported.";
    case 112: return "An incorrect password set for the file being decrypted.";
    case 113: return "The directory with a non-zero size found while testing.";
    case 114: return "An internal error.";
    case 117: return "Cannot create a file for the specified platform.";
    case 118:
      return "The central directory was not found in the archive (or you were trying to open not the "
             "last volume of a segmented archive).";
    case 119: return "The Zip64 format has not been enabled for the library, but is required to use the archive.";
    case 120:
      return "WinZip AES encryption has not been enabled for the library, but is required to decompress "
             "the archive.";
    case 121: return "The collection is empty and the bounds do not exist.";
    case 500: return "Zlib library error (end of stream).";
    case 503: return "Zlib library error (stream error).";
    case 504: return "Zlib library error (data error).";
    case 505: return "Not enough memory.";
    case 506: return "Zlib library error (buffer error).";
    case 507: return "Zlib library error (version error).";
    default: return nullptr;
  }
}

// On this platform the system's last error is the C library's errno and the
// system's message table is strerror.
std::string SystemText(int iErr) {
  if (iErr == 0) return "Unknown error";
  char buf[256];
  // GNU strerror_r: may hand back a static string instead of filling buf.
  const char* text = strerror_r(iErr, buf, sizeof(buf));
  return text ? std::string(text) : std::string("Unknown error");
}

// The text of an errno value. Only the low values are C library errors in
// the table; Linux errno values from 100 on collide with the archive's own
// codes (101 is ENETUNREACH), so those take the system's text instead.
std::string ErrnoText(int iErr) {
  if (iErr > 0 && iErr < CUnzipException::genericError) {
    if (const char* text = TableText(iErr)) return text;
  }
  return SystemText(iErr);
}

}  // namespace

CUnzipException::CUnzipException(int iCause, const std::string& szFileName)
    : m_iCause(iCause), m_szFileName(szFileName), m_szWhat(GetInternalErrorDescription(iCause, true)) {}

std::string CUnzipException::GetErrorDescription() const { return GetInternalErrorDescription(m_iCause, false); }

const char* CUnzipException::what() const noexcept { return m_szWhat.c_str(); }

std::string CUnzipException::GetInternalErrorDescription(int iCause, bool bNoLoop) {
  const int sysErr = errno;
  if (const char* text = TableText(iCause)) return text;

  if (iCause == errNo) return ErrnoText(sysErr);

  if (iCause == notRemoved || iCause == notRenamed) {
    const char* what = iCause == notRemoved ? "Error while removing a file" : "Error while renaming a file";
    const std::string sys = SystemText(sysErr);
    std::string out;
    out.reserve(sys.size() + 40);
    out.append(what).append(" (").append(sys).append(").");
    return out;
  }

  if (bNoLoop) return "Unknown error";
  return SystemText(sysErr);
}

int CUnzipException::ZlibErrToZip(int iZlibErr) {
  switch (iZlibErr) {
    case Z_STREAM_END: return streamEnd;
    case Z_NEED_DICT: return needDict;
    case Z_ERRNO: return errNo;
    case Z_STREAM_ERROR: return streamError;
    case Z_DATA_ERROR: return dataError;
    case Z_MEM_ERROR: return memError;
    case Z_BUF_ERROR: return bufError;
    case Z_VERSION_ERROR: return versionError;
    default: return genericError;
  }
}
