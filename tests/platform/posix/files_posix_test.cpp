#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <latch>
#include <set>
#include <sstream>
#include <thread>

#include "platform/posix/env_posix.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

namespace fs = std::filesystem;
using tolvenar::testing::TempDir;

class PosixFilesTest : public ::testing::Test {
 protected:
  mode_t ModeOf(const std::string& name) {
    struct stat st {};
    EXPECT_EQ(::stat(dir_.File(name).c_str(), &st), 0);
    return st.st_mode & 07777;
  }
  // Names in the folder, to see that no temporary file stays behind.
  std::set<std::string> Listing() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  TempDir dir_;
  PosixEnv env_;
};

TEST_F(PosixFilesTest, FileExistsOnlyForRegularFiles) {
  dir_.Write("f", "x");
  fs::create_directory(dir_.path() / "d");
  fs::create_symlink(dir_.path() / "f", dir_.path() / "link");
  EXPECT_TRUE(env_.FileExists(dir_.File("f")));
  EXPECT_TRUE(env_.FileExists(dir_.File("link")));
  EXPECT_FALSE(env_.FileExists(dir_.File("d")));
  EXPECT_FALSE(env_.FileExists(dir_.File("missing")));
}

TEST_F(PosixFilesTest, ReadFileReturnsEveryByte) {
  std::string content(100000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  dir_.Write("f", content);
  std::string bytes = "stale";
  ASSERT_TRUE(env_.ReadFile(dir_.File("f"), &bytes));
  EXPECT_EQ(bytes, content);
}

TEST_F(PosixFilesTest, ReadFileFailsForMissingFileOrFolder) {
  fs::create_directory(dir_.path() / "d");
  std::string bytes;
  EXPECT_FALSE(env_.ReadFile(dir_.File("missing"), &bytes));
  EXPECT_FALSE(env_.ReadFile(dir_.File("d"), &bytes));
}

TEST_F(PosixFilesTest, ReplaceFileCreatesOrReplaces) {
  ASSERT_TRUE(env_.ReplaceFile(dir_.File("f"), "first"));
  EXPECT_EQ(dir_.Read("f"), "first");
  ASSERT_TRUE(env_.ReplaceFile(dir_.File("f"), std::string("sec\0ond", 7)));
  EXPECT_EQ(dir_.Read("f"), std::string("sec\0ond", 7));
  ASSERT_TRUE(env_.ReplaceFile(dir_.File("f"), ""));
  EXPECT_EQ(dir_.Read("f"), "");
  EXPECT_EQ(Listing(), std::set<std::string>{"f"});
}

TEST_F(PosixFilesTest, ReplaceFileKeepsPermissionBits) {
  dir_.Write("f", "old");
  ASSERT_EQ(::chmod(dir_.File("f").c_str(), 0640), 0);
  ASSERT_TRUE(env_.ReplaceFile(dir_.File("f"), "new"));
  EXPECT_EQ(ModeOf("f"), 0640u);
}

TEST_F(PosixFilesTest, ReplaceFileKeepsASymbolicLink) {
  dir_.Write("target", "old");
  fs::create_symlink(dir_.path() / "target", dir_.path() / "link");
  ASSERT_TRUE(env_.ReplaceFile(dir_.File("link"), "new"));
  EXPECT_TRUE(fs::is_symlink(dir_.path() / "link"));
  EXPECT_EQ(dir_.Read("target"), "new");
}

// Refused even when the tests run as root, who may write any file.
TEST_F(PosixFilesTest, ReplaceFileRefusesAReadOnlyFile) {
  for (const mode_t mode : {0444, 0400, 0555}) {
    dir_.Write("f", "old");
    ASSERT_EQ(::chmod(dir_.File("f").c_str(), mode), 0);
    EXPECT_FALSE(env_.ReplaceFile(dir_.File("f"), "new")) << std::oct << mode;
    EXPECT_EQ(dir_.Read("f"), "old");
    EXPECT_EQ(ModeOf("f"), mode);
    EXPECT_EQ(Listing(), std::set<std::string>{"f"});
    ::chmod(dir_.File("f").c_str(), 0644);
  }
}

TEST_F(PosixFilesTest, ReplaceFileFailsWhereNoFileCanBe) {
  fs::create_directory(dir_.path() / "d");
  EXPECT_FALSE(env_.ReplaceFile(dir_.File("d"), "new"));
  EXPECT_TRUE(fs::is_directory(dir_.path() / "d"));
  EXPECT_FALSE(env_.ReplaceFile(dir_.File("missing/f"), "new"));
  EXPECT_EQ(Listing(), std::set<std::string>{"d"});
}

TEST_F(PosixFilesTest, AppendToFileCreatesThenAppends) {
  ASSERT_TRUE(env_.AppendToFile(dir_.File("log"), "one\n"));
  ASSERT_TRUE(env_.AppendToFile(dir_.File("log"), "two\n"));
  EXPECT_EQ(dir_.Read("log"), "one\ntwo\n");
  EXPECT_FALSE(env_.AppendToFile(dir_.File("missing/log"), "x\n"));
}

TEST_F(PosixFilesTest, ConcurrentAppendsStayWhole) {
  constexpr int kThreads = 8;
  constexpr int kEntries = 200;
  const std::string path = dir_.File("log");
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kEntries; ++i) {
        // Long entries, so that interleaving would show.
        const std::string entry = "thread " + std::to_string(t) + " entry " + std::to_string(i) +
                                  " " + std::string(500, static_cast<char>('a' + t)) + "\n";
        EXPECT_TRUE(env_.AppendToFile(path, entry));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::istringstream lines(dir_.Read("log"));
  std::set<std::string> seen;
  for (std::string line; std::getline(lines, line);) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d entry %d ", &t, &i), 2) << line;
    const std::string expected = "thread " + std::to_string(t) + " entry " + std::to_string(i) +
                                 " " + std::string(500, static_cast<char>('a' + t));
    ASSERT_EQ(line, expected);
    seen.insert(line);
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEntries));
}

}  // namespace
}  // namespace tolvenar
