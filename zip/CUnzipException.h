// The one exception the archive reader throws: a cause code and the name of
// the archive's file (empty for memory files). Thrown and caught by value.
#pragma once

#include <exception>
#include <string>

class CUnzipException : public std::exception {
 public:
  // Cause codes. Below 100 they are C library errno values; 500 and up are
  // zlib results mapped one to one.
  enum CUnzipExceptionCode {
    noError = 0,
    genericError = 100,
    badZipFile = 101,
    badCrc = 102,
    noCallback = 103,
    aborted = 104,
    abortedAction = 105,
    abortedSafely = 106,
    nonRemovable = 107,
    tooManyVolumes = 108,
    tooManyFiles = 109,
    tooLongData = 110,
    tooBigSize = 111,
    badPassword = 112,
    dirWithSize = 113,
    internalError = 114,
    notRemoved = 115,
    notRenamed = 116,
    platfNotSupp = 117,
    cdirNotFound = 118,
    noZip64 = 119,
    noAES = 120,
    outOfBounds = 121,
    streamEnd = 500,
    needDict = 501,
    errNo = 502,
    streamError = 503,
    dataError = 504,
    memError = 505,
    bufError = 506,
    versionError = 507,
  };

  explicit CUnzipException(int iCause = genericError, const std::string& szFileName = std::string());

  // The text of this exception's code, system lookups allowed.
  std::string GetErrorDescription() const;

  // The fixed text of a code. Codes outside the table fall back to the
  // system's error (errno) unless bNoLoop is set, which also ends the
  // fallback chain.
  static std::string GetInternalErrorDescription(int iCause, bool bNoLoop = false);

  // Maps a zlib result to a cause code.
  static int ZlibErrToZip(int iZlibErr);

  const char* what() const noexcept override;

  int m_iCause;
  std::string m_szFileName;

 private:
  std::string m_szWhat;
};
