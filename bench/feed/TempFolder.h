// A cache folder of the benchmark's own under /tmp, removed with whatever
// the tables left in it once their kept connections are closed.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "feed/CSqliteDB.h"

namespace orvbench {

class TempFolder {
 public:
  TempFolder() {
    char tmpl[] = "/tmp/orvbench-XXXXXX";
    m_path = ::mkdtemp(tmpl);
  }
  ~TempFolder() {
    CSqliteDB::CloseKeptConnections();
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::string File(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

}  // namespace orvbench
