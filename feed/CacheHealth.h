// Failures that say a session's cache file is no longer usable: deleted,
// replaced or truncated under the running program. The table objects note
// them where they meet them; the session that owns the file takes the note
// and opens a fresh cache.
#pragma once

#include <string>

#include "feed/CSqliteException.h"

namespace cachehealth {

// Whether the failure means the file is not the cache that was made: it is
// no database, is damaged, cannot be written, or lacks the tables.
// detail is SQLite's text of the failure on its connection.
bool IsUnusable(const CSqliteException& e, const std::string& detail);
// Notes such a failure of the file at path; the first one's text is kept.
void Note(const std::string& path, const CSqliteException& e, const std::string& detail);
// Takes the note of path: true, with the first failure's text, when there
// was one.
bool Take(const std::string& path, std::string* what);

}  // namespace cachehealth
