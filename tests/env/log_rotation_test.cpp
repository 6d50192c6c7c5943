// The activity log's size bound, through the platform's own file services.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "env/env.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

TEST(LogGenerationPathTest, KeepsTheExtension) {
  EXPECT_EQ(LogGenerationPath("/a/TolvenarConnector.log", 1), "/a/TolvenarConnector.1.log");
  EXPECT_EQ(LogGenerationPath("C:\\x.y\\TolvenarConnector.log", 5),
            "C:\\x.y\\TolvenarConnector.5.log");
  EXPECT_EQ(LogGenerationPath("/a.b/log", 2), "/a.b/log.2");
}

TEST(LogRotationTest, FullFileBecomesTheFirstOlderOneAndTheOldestGoes) {
  testing::TempDir dir;
  const std::string path = dir.File("TolvenarConnector.log");
  const LogRotation rotation{100, 3};
  std::vector<std::string> entries;
  for (int i = 0; i < 40; ++i) {
    entries.push_back("entry " + std::to_string(100 + i) + " " + std::string(20, 'x') + "\r\n");
    ASSERT_TRUE(Env::Default()->AppendToFile(path, entries.back(), rotation));
  }
  // 30 bytes an entry, three to a file: the newest twelve entries remain,
  // the current file holding the last one.
  EXPECT_EQ(dir.Read("TolvenarConnector.log"), entries[39]);
  EXPECT_EQ(dir.Read("TolvenarConnector.1.log"), entries[36] + entries[37] + entries[38]);
  EXPECT_EQ(dir.Read("TolvenarConnector.3.log"), entries[30] + entries[31] + entries[32]);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "TolvenarConnector.4.log"));

  // An entry larger than the limit still gets written, alone in its file.
  const std::string big(150, 'b');
  ASSERT_TRUE(Env::Default()->AppendToFile(path, big, rotation));
  EXPECT_EQ(dir.Read("TolvenarConnector.log"), big);
  ASSERT_TRUE(Env::Default()->AppendToFile(path, "after\r\n", rotation));
  EXPECT_EQ(dir.Read("TolvenarConnector.log"), "after\r\n");
  EXPECT_EQ(dir.Read("TolvenarConnector.1.log"), big);
}

}  // namespace
}  // namespace tolvenar
