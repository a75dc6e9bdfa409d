#include "platform/log/Log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

unsigned ModeOf(const std::filesystem::path& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 0777) : 0u;
}

int g_composed = 0;
int Composed() { return ++g_composed; }

// First in the file: it needs a process whose log nothing has set up yet,
// as in a program that has none (the bridge).
TEST(LogUnset, AProgramThatSetsUpNoLogWritesNothing) {
  ::testing::internal::CaptureStderr();
  ORV_LOG(orvlog::kError, "ERROR: nobody reads this");
  ORV_LOG(orvlog::kInfo, "nor this");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(Log, ThresholdGatesComposingAndWritesPatternToRollingFile) {
  auto dir = std::filesystem::temp_directory_path() / ("orvlog-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto file = dir / "ORVE.log";
  orvlog::InitRollingFile(file.string());
  log4cplus::SharedAppenderPtr named = log4cplus::Logger::getRoot().getAppender(LOG4CPLUS_TEXT("RMainFileApp"));
  ASSERT_TRUE(named);
  EXPECT_EQ(log4cplus::Logger::getRoot().getAllAppenders().size(), 1u);

  orvlog::SetLevel(orvlog::kDebug);
  EXPECT_FALSE(orvlog::IsEnabled(orvlog::kTrace));
  EXPECT_TRUE(orvlog::IsEnabled(orvlog::kDebug));
  g_composed = 0;
  ORV_LOG(orvlog::kTrace, "hidden " << Composed());
  EXPECT_EQ(g_composed, 0) << "a disabled level must not compose its line";
  ORV_LOG(orvlog::kInfo, "shown " << Composed());
  ORV_LOGF(orvlog::kError, "ERROR: %s %d", "code", 7);
  EXPECT_EQ(g_composed, 1);

  // The raw number 2 lets debug lines pass and holds trace lines back.
  orvlog::SetLevel(2);
  EXPECT_TRUE(orvlog::IsEnabled(orvlog::kDebug));
  EXPECT_FALSE(orvlog::IsEnabled(orvlog::kTrace));

  orvlog::InitConsole();  // closes the file appender
  const std::string text = ReadFile(file);
  EXPECT_EQ(text.find("hidden"), std::string::npos);
  // "%D{%c}": the local date and time as the C locale writes them.
  EXPECT_TRUE(std::regex_search(
      text, std::regex(R"((^|\n)[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} )"
                       R"(\[[^\]]+\] \[INFO\]: shown 1\n)")))
      << text;
  EXPECT_NE(text.find("[ERROR]: ERROR: code 7\n"), std::string::npos) << text;
  std::filesystem::remove_all(dir);
}

// Keeps what reaches the root logger, file and line included.
class Recorder : public log4cplus::Appender {
 public:
  struct Line {
    int level;
    std::string text, file;
    int line;
  };
  ~Recorder() override { destructorImpl(); }
  void close() override {}
  std::vector<Line> lines;

 protected:
  void append(const log4cplus::spi::InternalLoggingEvent& e) override {
    lines.push_back({e.getLogLevel(), e.getMessage(), e.getFile(), e.getLine()});
  }
};

TEST(Log, TheHelpersPassTheCallersFileAndLine) {
  orvlog::InitConsole();
  log4cplus::helpers::SharedObjectPtr<Recorder> rec(new Recorder);
  log4cplus::Logger::getRoot().addAppender(log4cplus::SharedAppenderPtr(rec.get()));
  orvlog::SetLevel(orvlog::kTrace);
  ORV_LOG(orvlog::kWarn, "WARN DESCR: " << 42); const int streamLine = __LINE__;
  ORV_LOGF(orvlog::kDebug, "Exception: %s", "x"); const int printfLine = __LINE__;
  orvlog::InitConsole();  // drops the recorder again

  ASSERT_EQ(rec->lines.size(), 2u);
  EXPECT_EQ(rec->lines[0].level, orvlog::kWarn);
  EXPECT_EQ(rec->lines[0].text, "WARN DESCR: 42");
  EXPECT_EQ(rec->lines[0].file, __FILE__);
  EXPECT_EQ(rec->lines[0].line, streamLine);
  EXPECT_EQ(rec->lines[1].level, orvlog::kDebug);
  EXPECT_EQ(rec->lines[1].text, "Exception: x");
  EXPECT_EQ(rec->lines[1].line, printfLine);
}

TEST(Log, TheFileRollsOverAtOneMegabyteKeepingFourBackups) {
  auto dir = std::filesystem::temp_directory_path() / ("orvlog-roll-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  auto file = dir / "ORVE.log";
  orvlog::InitRollingFile(file.string());
  orvlog::SetLevel(orvlog::kTrace);
  const std::string chunk(1000, 'x');
  for (int i = 0; i < 6 * 1100; ++i) ORV_LOG(orvlog::kInfo, i << " " << chunk);
  orvlog::InitConsole();

  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
    EXPECT_LE(std::filesystem::file_size(e.path()), 1024u * 1024u + 1100u) << e.path();
    EXPECT_EQ(ModeOf(e.path()), 0600u) << e.path();
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"ORVE.log", "ORVE.log.1", "ORVE.log.2", "ORVE.log.3", "ORVE.log.4"}));
  // The newest lines stay in the live file.
  EXPECT_NE(ReadFile(file).find(std::to_string(6 * 1100 - 1) + " x"), std::string::npos);
  std::filesystem::remove_all(dir);
}

TEST(Log, FilesLeftOpenToOthersAreNarrowedAndNewOnesArePrivateWhateverTheUmask) {
  auto dir = std::filesystem::temp_directory_path() / ("orvlog-mode-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  auto file = dir / "ORVE.log";
  // An earlier run's set, as a permissive umask left it.
  for (const char* name : {"ORVE.log", "ORVE.log.1", "ORVE.log.3"}) {
    std::ofstream(dir / name) << "old\n";
    ::chmod((dir / name).c_str(), 0644);
  }
  const mode_t saved = ::umask(0);
  orvlog::InitRollingFile(file.string());
  orvlog::SetLevel(orvlog::kTrace);
  for (const char* name : {"ORVE.log", "ORVE.log.1", "ORVE.log.3"}) EXPECT_EQ(ModeOf(dir / name), 0600u) << name;
  // Through one roll-over: the live file is a new one after it.
  const std::string chunk(1000, 'y');
  for (int i = 0; i < 1100; ++i) ORV_LOG(orvlog::kInfo, i << " " << chunk);
  orvlog::InitConsole();
  ::umask(saved);
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    ++files;
    EXPECT_EQ(ModeOf(e.path()), 0600u) << e.path();
  }
  EXPECT_EQ(files, 4u) << "the live file and backups 1, 2 and 4";
  EXPECT_EQ(ReadFile(dir / "ORVE.log.4"), "old\n") << "the oldest backup moves down the set";
  std::filesystem::remove_all(dir);
}

// Transport threads are never joined, so they may still be logging while
// the program exits and the log library's own objects are destroyed. The
// exiting program is this one started again (a fresh process: a forked one
// would inherit the log library's threads as a state without threads).
const bool g_exitingChild = [] {
  if (!std::getenv("ORVLOG_TEST_EXIT_WHILE_LOGGING")) return false;
  orvlog::SetLevel(orvlog::kTrace);
  std::thread([] {
    for (long i = 0;; ++i) ORV_LOG(orvlog::kInfo, "still here " << i);
  }).detach();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::exit(0);
}();

TEST(Log, AThreadStillLoggingWhileTheProgramExitsDoesNotCrashIt) {
  for (int run = 0; run < 20; ++run) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::setenv("ORVLOG_TEST_EXIT_WHILE_LOGGING", "1", 1);
      char self[] = "/proc/self/exe";
      char* argv[] = {self, nullptr};
      ::execv(self, argv);
      ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "run " << run << " ended by signal "
                                   << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

}  // namespace

TEST(Log, ClientTextIsMadePrintableSoThatItCannotStartALine) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"ABC", "ABC"},
      {"A\nERROR: forged line", "A\\nERROR: forged line"},
      {"a\rb\tc", "a\\rb\\tc"},
      {std::string("x\0y", 3), "x\\x00y"},
      {"\x1b[31m\x7f", "\\x1B[31m\\x7F"},
      {"back\\n", "back\\\\n"},  // an escape a client wrote stays told apart
      {"\xc3\xa9", "\xc3\xa9"},   // bytes of a wide character pass
  };
  for (const auto& c : cases) EXPECT_EQ(orvlog::Printable(c.in), c.out) << c.in;
}
