#include "platform/win/folders.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/log/Log.h"
#include "platform/win/internal.h"
#include "platform/win/winerror.h"

namespace orvwin {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string Home() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = ::getpwuid(::getuid())) return pw->pw_dir ? pw->pw_dir : "";
  return {};
}

std::string WithSlash(std::string p) {
  if (p.empty() || p.back() != '/') p += '/';
  return p;
}

}  // namespace

std::string UserDataFolder() {
  std::string folder;
  std::string profile = Env("USERPROFILE");
  if (!profile.empty()) {
    folder = WithSlash(profile) + "Application Data/Orv/";
  } else {
    std::string data = Env("XDG_DATA_HOME");
    if (data.empty()) {
      std::string home = Home();
      if (home.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return {};
      }
      data = WithSlash(home) + ".local/share";
    }
    folder = WithSlash(data) + "Orv/";
  }
  DWORD err = detail::MakeFolders(folder.substr(0, folder.size() - 1), 0700);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return {};
  }
  // It holds the credentials, the log and the caches: a folder made by an
  // older build or by hand is narrowed to its owner as well.
  struct stat st;
  if (::stat(folder.c_str(), &st) == 0 && st.st_uid == ::getuid() && (st.st_mode & 077) != 0)
    ::chmod(folder.c_str(), 0700);
  return folder;
}

std::string RuntimeFolder() {
  std::string base = Env("XDG_RUNTIME_DIR");
  std::string folder = base.empty() ? "/tmp/orv-" + std::to_string(::getuid())
                                    : WithSlash(base) + "orv";
  if (!base.empty()) {
    DWORD err = detail::MakeFolders(base, 0700);
    if (err != ERROR_SUCCESS) {
      SetLastError(err);
      return {};
    }
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    SetLastError(detail::Win32FromErrno(errno, ERROR_PATH_NOT_FOUND));
    return {};
  }
  struct stat st;
  if (::lstat(folder.c_str(), &st) != 0) {
    SetLastError(detail::Win32FromErrno(errno, ERROR_PATH_NOT_FOUND));
    return {};
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
    ORV_LOG(orvlog::kError, "Runtime folder " << folder
                                              << " is not a folder owned by this user; refused");
    SetLastError(ERROR_ACCESS_DENIED);
    return {};
  }
  if ((st.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return {};
  }
  return folder + "/";
}

std::string RegistryPath() {
  std::string explicitPath = Env("ORV_REGISTRY");
  if (!explicitPath.empty()) return explicitPath;
  std::string config = Env("XDG_CONFIG_HOME");
  if (config.empty()) config = WithSlash(Home()) + ".config";
  return WithSlash(config) + "orv/registry.reg";
}

namespace detail {

// Creates every missing level of `path` with `mode`; existing levels are
// left as they are.
DWORD MakeFolders(const std::string& path, unsigned mode) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string level = path.substr(0, pos);
    if (::mkdir(level.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST)
      return Win32FromErrno(errno, ERROR_PATH_NOT_FOUND);
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return Win32FromErrno(errno, ERROR_PATH_NOT_FOUND);
  if (!S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
  return ERROR_SUCCESS;
}

DWORD Win32FromErrno(int error, DWORD fallback) {
  switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    case EBADF: return ERROR_INVALID_HANDLE;
    default: return fallback;
  }
}

DWORD ReadWholeFile(const std::string& path, std::string& out) {
  out.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Win32FromErrno(errno, ERROR_CANTREAD);
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      DWORD err = Win32FromErrno(errno, ERROR_CANTREAD);
      ::close(fd);
      return err;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return ERROR_SUCCESS;
}

DWORD ReplaceFile(const std::string& path, const std::string& content, unsigned newFileMode) {
  // Replace the file a symbolic link points to, not the link.
  std::string target = path;
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    target = real;
    std::free(real);
  }
  mode_t mode = static_cast<mode_t>(newFileMode);
  struct stat st;
  if (::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;

  size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "." : target.substr(0, slash);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string tmp = dir + "/." + base + ".XXXXXX";
  int fd = ::mkstemp(&tmp[0]);
  if (fd < 0) return errno == ENOENT ? ERROR_PATH_NOT_FOUND : Win32FromErrno(errno, ERROR_CANTWRITE);
  DWORD err = ERROR_SUCCESS;
  if (::fchmod(fd, mode) != 0) err = Win32FromErrno(errno, ERROR_CANTWRITE);
  size_t done = 0;
  while (err == ERROR_SUCCESS && done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = Win32FromErrno(errno, ERROR_CANTWRITE);
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (err == ERROR_SUCCESS && ::fsync(fd) != 0) err = Win32FromErrno(errno, ERROR_CANTWRITE);
  if (::close(fd) != 0 && err == ERROR_SUCCESS) err = ERROR_CANTWRITE;
  if (err == ERROR_SUCCESS && ::rename(tmp.c_str(), target.c_str()) != 0)
    err = Win32FromErrno(errno, ERROR_CANTWRITE);
  if (err != ERROR_SUCCESS) {
    ::unlink(tmp.c_str());
    return err;
  }
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return ERROR_SUCCESS;
}

FileWriteLock::FileWriteLock(const std::string& path) {
  std::string folder = RuntimeFolder();
  if (folder.empty()) {
    error_ = GetLastError();
    return;
  }
  std::string key = path;
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    key = real;
    std::free(real);
  }
  // FNV-1a: stable across builds and processes, unlike std::hash.
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : key) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char name[40];
  std::snprintf(name, sizeof name, "file-%016llx.lock", static_cast<unsigned long long>(h));
  fd_ = ::open((folder + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    error_ = Win32FromErrno(errno, ERROR_CANTWRITE);
    return;
  }
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      error_ = ERROR_LOCK_VIOLATION;
      ::close(fd_);
      fd_ = -1;
      return;
    }
  }
}

FileWriteLock::~FileWriteLock() {
  if (fd_ >= 0) ::close(fd_);  // releases the lock
}

std::string ToLower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace detail
}  // namespace orvwin
