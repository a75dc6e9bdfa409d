#include "platform/log/Log.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <log4cplus/consoleappender.h>
#include <log4cplus/initializer.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>
#include <log4cplus/nullappender.h>
#include <log4cplus/spi/loggingevent.h>

#include "platform/log/PrivateRollingFile.h"

namespace orvlog {
namespace {

const char* const kPattern = "%D{%c} [%t] [%p]: %m%n";

std::once_flag g_init;

// Threads that are never joined (the object transport's) may still log while
// the program exits, after log4cplus has begun to destroy its objects. From
// the moment the exit reaches this library their lines are dropped; a line
// being written then is finished first (bounded: a write stuck on its file
// does not hold the exit up).
std::atomic<bool> g_exiting{false};
std::atomic<int> g_logging{0};

class LogCall {
 public:
  LogCall() { ++g_logging; }
  ~LogCall() { --g_logging; }
  LogCall(const LogCall&) = delete;
  LogCall& operator=(const LogCall&) = delete;
  bool Open() const { return !g_exiting; }
};

void StopLoggingAtExit() {
  g_exiting = true;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (g_logging > 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

log4cplus::Logger Root() {
  std::call_once(g_init, [] {
    // log4cplus must be initialised once per process before first use; the
    // initializer object lives for the rest of the program.
    static log4cplus::Initializer* initializer = new log4cplus::Initializer();
    (void)initializer;
    // A program that sets up no log (the bridge, whose transport still
    // logs what it does) stays silent instead of having log4cplus complain
    // about the missing appender on standard error.
    log4cplus::Logger::getRoot().addAppender(log4cplus::SharedAppenderPtr(new log4cplus::NullAppender()));
    // Registered after log4cplus made its objects, so run before they go.
    std::atexit(StopLoggingAtExit);
  });
  return log4cplus::Logger::getRoot();
}

void Install(log4cplus::SharedAppenderPtr appender) {
  appender->setLayout(std::unique_ptr<log4cplus::Layout>(new log4cplus::PatternLayout(kPattern)));
  log4cplus::Logger root = Root();
  root.removeAllAppenders();
  root.addAppender(appender);
}

}  // namespace

void InitRollingFile(const std::string& path) {
  Root();
  log4cplus::SharedAppenderPtr appender(new PrivateRollingFile(path, 1024 * 1024, 4));
  // The name configurations and tools look the program's log up by.
  appender->setName(LOG4CPLUS_TEXT("RMainFileApp"));
  Install(appender);
}

void InitConsole() {
  Root();
  log4cplus::SharedAppenderPtr appender(new log4cplus::ConsoleAppender(true, true));
  Install(appender);
}

bool IsEnabled(int level) {
  const LogCall call;
  return call.Open() && Root().isEnabledFor(level);
}

void SetLevel(int level) { Root().setLogLevel(level); }

int GetLevel() { return Root().getLogLevel(); }

void Write(int level, const std::string& text, const char* file, int line) {
  const LogCall call;
  if (!call.Open()) return;
  log4cplus::Logger root = Root();
  root.forcedLog(level, text, file, line);
}

void WriteF(int level, const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (n > 0) {
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), format, args);
    text.assign(buf.data(), static_cast<size_t>(n));
  }
  va_end(args);
  Write(level, text, file, line);
}

std::string Printable(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (u < 0x20 || u == 0x7F) {
          out += "\\x";
          out += kHex[u >> 4];
          out += kHex[u & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out;
}

}  // namespace orvlog
