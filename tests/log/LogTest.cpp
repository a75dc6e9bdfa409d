#include "log/Log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int g_composed = 0;
int Composed() { return ++g_composed; }

TEST(Log, ThresholdGatesComposingAndWritesPatternToRollingFile) {
  auto dir = std::filesystem::temp_directory_path() / ("orvlog-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto file = dir / "ORVE.log";
  orvlog::InitRollingFile(file.string());

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
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(\[[^\]]+\] \[INFO\]: shown 1\n)"))) << text;
  EXPECT_NE(text.find("[ERROR]: ERROR: code 7\n"), std::string::npos) << text;
  std::filesystem::remove_all(dir);
}

}  // namespace
