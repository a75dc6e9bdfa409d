#include "feed/CacheHealth.h"

#include <sqlite3.h>

#include <cstring>
#include <map>
#include <mutex>

namespace cachehealth {
namespace {

std::mutex g_mutex;
std::map<std::string, std::string> g_notes;

}  // namespace

bool IsUnusable(const CSqliteException& e, const std::string& detail) {
  switch (e.errorCode() & 0xFF) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_READONLY:
      return true;
    case SQLITE_ERROR:
      // A file deleted under the program is made again empty by the next
      // open: its tables are gone.
      return detail.find("no such table") != std::string::npos ||
             std::strstr(e.errorMessage(), "no such table") != nullptr;
    default:
      return false;
  }
}

void Note(const std::string& path, const CSqliteException& e, const std::string& detail) {
  if (!IsUnusable(e, detail)) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_notes.emplace(path, detail.empty() ? std::string(e.errorMessage()) : detail);
}

bool Take(const std::string& path, std::string* what) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const auto it = g_notes.find(path);
  if (it == g_notes.end()) return false;
  if (what != nullptr) *what = it->second;
  g_notes.erase(it);
  return true;
}

}  // namespace cachehealth
