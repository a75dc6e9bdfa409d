#include "platform/log/PrivateRollingFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <log4cplus/layout.h>
#include <log4cplus/spi/loggingevent.h>

namespace orvlog {

namespace {

constexpr mode_t kFileMode = 0600;

void MakeParentFolders(const std::string& path) {
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    const std::string level = path.substr(0, at);
    if (::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) return;
  }
}

// An existing file keeps its mode through open and rename: narrowed here.
void Narrow(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
    ::chmod(path.c_str(), kFileMode);
}

}  // namespace

PrivateRollingFile::PrivateRollingFile(const std::string& path, long maxBytes, int backups)
    : m_path(path), m_maxBytes(maxBytes), m_backups(backups) {
  MakeParentFolders(m_path);
  std::lock_guard<std::mutex> lock(m_mutex);
  for (int i = 1; i <= m_backups; ++i) Narrow(Backup(i));
  OpenLocked();
}

PrivateRollingFile::~PrivateRollingFile() { destructorImpl(); }

void PrivateRollingFile::close() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  closed = true;
}

std::string PrivateRollingFile::Backup(int index) const { return m_path + "." + std::to_string(index); }

void PrivateRollingFile::OpenLocked() {
  m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, kFileMode);
  if (m_fd < 0) {
    if (!m_reportedFailure) std::fprintf(stderr, "log: cannot open %s: %s\n", m_path.c_str(), std::strerror(errno));
    m_reportedFailure = true;
    return;
  }
  struct stat st;
  if (::fstat(m_fd, &st) == 0) {
    if ((st.st_mode & 077) != 0) ::fchmod(m_fd, kFileMode);
    m_size = static_cast<long>(st.st_size);
  }
}

void PrivateRollingFile::RollLocked() {
  ::close(m_fd);
  m_fd = -1;
  if (m_backups > 0) {
    ::unlink(Backup(m_backups).c_str());
    for (int i = m_backups - 1; i >= 1; --i) ::rename(Backup(i).c_str(), Backup(i + 1).c_str());
    ::rename(m_path.c_str(), Backup(1).c_str());
  } else {
    ::unlink(m_path.c_str());
  }
  m_size = 0;
  OpenLocked();
}

void PrivateRollingFile::append(const log4cplus::spi::InternalLoggingEvent& event) {
  const log4cplus::tstring& text = formatEvent(event);
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_fd < 0) return;
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(m_fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A full disk loses lines, not the program.
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
    m_size += static_cast<long>(n);
  }
  if (m_size >= m_maxBytes) RollLocked();
}

}  // namespace orvlog
