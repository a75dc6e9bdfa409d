// The program's one logger: a log4cplus root logger. Callers test the level
// before composing a line (the macros below do), and every line carries the
// caller's source file and line.
#pragma once

#include <sstream>
#include <string>

namespace orvlog {

// Levels as numbers, as the rest of the program passes them around.
constexpr int kTrace = 0;
constexpr int kDebug = 10000;
constexpr int kInfo = 20000;
constexpr int kWarn = 30000;
constexpr int kError = 40000;

// Rolling file: 1 MiB per file, 4 backups, pattern "%D{%c} [%t] [%p]: %m%n";
// every file of the set is mode 0600.
// Replaces any appender set before; the level is left as it is.
void InitRollingFile(const std::string& path);
// The same pattern on standard error, for tools and tests.
void InitConsole();

bool IsEnabled(int level);
// Sets the root logger's threshold to a raw number (any value is accepted,
// as log4cplus accepts it).
void SetLevel(int level);
int GetLevel();

void Write(int level, const std::string& text, const char* file, int line);

// Text a client sent, fit for a log line: control characters and the
// backslash written as escapes (\n, \r, \t, \\, \xHH), so that no text of a
// client can start a line of its own in the log.
std::string Printable(const std::string& text);
// printf-style; the text is composed only when the level is enabled.
void WriteF(int level, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

}  // namespace orvlog

// ORV_LOG(orvlog::kDebug, "count " << n);
#define ORV_LOG(level, expr)                                 \
  do {                                                       \
    const int orv_log_level_ = (level);                      \
    if (::orvlog::IsEnabled(orv_log_level_)) {               \
      std::ostringstream orv_log_os_;                        \
      orv_log_os_ << expr;                                   \
      ::orvlog::Write(orv_log_level_, orv_log_os_.str(),     \
                      __FILE__, __LINE__);                   \
    }                                                        \
  } while (0)

// ORV_LOGF(orvlog::kError, "ERROR: %s", text);
#define ORV_LOGF(level, ...)                                                     \
  do {                                                                           \
    const int orv_log_level_ = (level);                                          \
    if (::orvlog::IsEnabled(orv_log_level_))                                     \
      ::orvlog::WriteF(orv_log_level_, __FILE__, __LINE__, __VA_ARGS__);         \
  } while (0)
