// Two processes appending to one log with a small size bound, on each
// platform (Windows under Wine): every entry lands exactly once in some
// generation, whole, and no file is rotated twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

using namespace std::chrono_literals;

struct Writer {
  std::string name;
  std::vector<std::string> prefix;  // runner and executable
  bool under_wine;
};

std::vector<Writer> Writers() {
  std::vector<Writer> writers = {{"Linux", {TC_LOG_WRITER_EXE}, false}};
  const std::string windows_dir = TC_WINDOWS_BUILD_DIR;
  if (!windows_dir.empty()) {
    writers.push_back({"Windows",
                       {testing::WineRunner(), windows_dir + "/tests/support/tc_log_writer.exe"},
                       true});
  }
  return writers;
}

class LogRotationE2ETest : public ::testing::TestWithParam<Writer> {};

TEST_P(LogRotationE2ETest, TwoProcessesAppendingLoseNothing) {
  constexpr int kEntries = 150;
  constexpr int kMaxBytes = 2000;
  constexpr int kOlderFiles = 30;  // room for everything both write
  testing::TempDir dir;
  std::string path = dir.File("TolvenarConnector.log");
  if (GetParam().under_wine) {
    std::replace(path.begin(), path.end(), '/', '\\');
    path = "Z:" + path;
  }
  std::vector<std::unique_ptr<testing::Process>> processes;
  for (const char* tag : {"A", "B"}) {
    std::vector<std::string> argv = GetParam().prefix;
    for (const std::string& arg : {path, std::string(tag), std::to_string(kEntries),
                                   std::to_string(kMaxBytes), std::to_string(kOlderFiles)}) {
      argv.push_back(arg);
    }
    processes.push_back(std::make_unique<testing::Process>(argv, dir.Dir()));
  }
  for (auto& process : processes) {
    const testing::ProcessResult result = process->Wait(120s);
    ASSERT_EQ(result.exit_code, 0) << result.err;
  }

  std::map<std::string, int> seen;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    ++files;
    const std::string content = dir.Read(name);
    EXPECT_LE(content.size(), static_cast<size_t>(kMaxBytes)) << name;
    std::istringstream lines(content);
    for (std::string line; std::getline(lines, line);) {
      ASSERT_FALSE(line.empty()) << name;
      ASSERT_EQ(line.back(), '\r') << name << ": " << line;
      line.pop_back();
      const char tag = line[0];
      EXPECT_EQ(line.substr(line.size() - 41), " " + std::string(40, tag)) << line;
      ++seen[line];
    }
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(2 * kEntries));
  for (const auto& [line, count] : seen) EXPECT_EQ(count, 1) << line;
  EXPECT_LE(files, kOlderFiles + 1);
  EXPECT_GT(files, 2);
  EXPECT_FALSE(std::filesystem::exists(
      dir.path() / ("TolvenarConnector." + std::to_string(kOlderFiles + 1) + ".log")));
}

INSTANTIATE_TEST_SUITE_P(Platforms, LogRotationE2ETest, ::testing::ValuesIn(Writers()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tolvenar
