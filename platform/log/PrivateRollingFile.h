// The log's rolling file. The log holds what clients send (user names,
// symbols, error texts), so every file of the set, the backups included,
// is readable by its owner only, whatever the umask says and whatever mode
// an earlier run's files were left with.
#pragma once

#include <mutex>
#include <string>

#include <log4cplus/appender.h>

namespace orvlog {

class PrivateRollingFile : public log4cplus::Appender {
 public:
  // Appends to path; once it holds maxBytes or more it becomes path.1,
  // path.1 becomes path.2 and so on up to path.<backups>, and a new path is
  // begun. Missing folders on the way are made, mode 0700.
  PrivateRollingFile(const std::string& path, long maxBytes, int backups);
  ~PrivateRollingFile() override;
  void close() override;

 protected:
  void append(const log4cplus::spi::InternalLoggingEvent& event) override;

 private:
  void OpenLocked();
  void RollLocked();
  std::string Backup(int index) const;

  const std::string m_path;
  const long m_maxBytes;
  const int m_backups;
  std::mutex m_mutex;
  int m_fd = -1;
  long m_size = 0;
  bool m_reportedFailure = false;
};

}  // namespace orvlog
