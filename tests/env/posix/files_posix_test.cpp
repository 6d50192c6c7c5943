#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <latch>
#include <set>
#include <sstream>
#include <thread>

#include "env/posix/env_posix.h"
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

// The profiles file is read whole only when it is small; a FIFO at its
// name never blocks the read.
TEST_F(PosixFilesTest, ReadFileWithALimitSaysWhatItFound) {
  fs::create_directory(dir_.path() / "d");
  dir_.Write("small", "12345");
  ASSERT_EQ(::mkfifo(dir_.File("fifo").c_str(), 0600), 0);
  fs::create_symlink("loop", dir_.path() / "loop");
  // Sparse: two gibibytes announced, nothing on disk, nothing read.
  {
    const int fd = ::open(dir_.File("huge").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{2} << 30), 0);
    ::close(fd);
  }
  using Outcome = FileRead::Outcome;
  struct Case {
    const char* name;
    uint64_t limit;
    Outcome outcome;
    uint64_t size;
    const char* error;
  };
  for (const Case& c : {
           Case{"small", 5, Outcome::kRead, 5, ""},
           Case{"small", 4, Outcome::kTooLarge, 5, ""},
           Case{"huge", 1 << 20, Outcome::kTooLarge, uint64_t{2} << 30, ""},
           Case{"missing", 10, Outcome::kMissing, 0, "No such file or directory"},
           Case{"d", 10, Outcome::kMissing, 0, "No such file or directory"},
           Case{"small/x", 10, Outcome::kMissing, 0, "Not a directory"},
           Case{"fifo", 10, Outcome::kFailed, 0, "not a regular file"},
           Case{"loop", 10, Outcome::kFailed, 0, "Too many levels of symbolic links"},
       }) {
    SCOPED_TRACE(c.name);
    std::string bytes = "untouched";
    const FileRead read = env_.ReadFile(dir_.File(c.name), c.limit, &bytes);
    EXPECT_EQ(read.outcome, c.outcome);
    EXPECT_EQ(read.size, c.size);
    EXPECT_EQ(read.error, c.error);
    EXPECT_EQ(bytes, c.outcome == Outcome::kRead ? "12345" : "untouched");
  }
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

// Whoever can write the log's folder may put anything at its name. The
// entry goes into nothing but a regular file of this account with one
// link; the first refusal of the process says why, once.
TEST(PosixLogRefusalTest, AppendWritesOnlyIntoThisAccountsOwnRegularFile) {
  TempDir dir;
  std::vector<std::string> reported;
  PosixEnvOptions options;
  options.report_refused_log = [&reported](const std::string& text) { reported.push_back(text); };
  PosixEnv env(options);

  dir.Write("target", "precious\n");
  fs::create_symlink(dir.path() / "target", dir.path() / "link.log");
  ASSERT_EQ(::mkfifo(dir.File("fifo.log").c_str(), 0600), 0);
  fs::create_directory(dir.path() / "folder.log");
  fs::create_hard_link(dir.path() / "target", dir.path() / "hard.log");
  dir.Write("foreign.log", "theirs\n");
  const bool chowned = ::chown(dir.File("foreign.log").c_str(), 65534, 65534) == 0;

  for (const char* name : {"link.log", "fifo.log", "folder.log", "hard.log", "foreign.log"}) {
    SCOPED_TRACE(name);
    if (std::string(name) == "foreign.log" && !chowned) continue;
    EXPECT_FALSE(env.AppendToFile(dir.File(name), "entry\n", LogRotation{1 << 20, 5}));
    EXPECT_FALSE(env.AppendToFile(dir.File(name), "entry\n"));
  }
  EXPECT_EQ(dir.Read("target"), "precious\n");
  if (chowned) {
    EXPECT_EQ(dir.Read("foreign.log"), "theirs\n");
  }
  EXPECT_FALSE(fs::exists(dir.path() / "link.1.log"));
  ASSERT_EQ(reported.size(), 1u) << "once per process";
  EXPECT_EQ(reported[0], "Log de atividade nao gravado em " + dir.File("link.log") +
                             ": e um link simbolico; so um arquivo comum desta conta recebe as "
                             "entradas.");

  // Each kind is named in its refusal.
  const std::vector<std::pair<const char*, const char*>> reasons = {
      {"fifo.log", "e um FIFO ou um dispositivo"},
      {"folder.log", "e uma pasta"},
      {"hard.log", "tem outros nomes (links fisicos)"},
      {"foreign.log", "pertence a outra conta (uid 65534)"},
  };
  for (const auto& [name, reason] : reasons) {
    if (std::string(name) == "foreign.log" && !chowned) continue;
    reported.clear();
    PosixEnv fresh(options);
    EXPECT_FALSE(fresh.AppendToFile(dir.File(name), "entry\n"));
    ASSERT_EQ(reported.size(), 1u) << name;
    EXPECT_THAT(reported[0], ::testing::HasSubstr(std::string(": ") + reason + ";")) << name;
  }

  // Its own regular file takes entries as before.
  EXPECT_TRUE(env.AppendToFile(dir.File("own.log"), "entry\n"));
  EXPECT_EQ(dir.Read("own.log"), "entry\n");
}

// A FIFO with a reader opens, and is still refused: nothing reaches it.
TEST(PosixLogRefusalTest, AFifoWithAReaderGetsNothing) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.File("fifo.log").c_str(), 0600), 0);
  const int reader = ::open(dir.File("fifo.log").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  PosixEnvOptions options;
  std::string reported;
  options.report_refused_log = [&reported](const std::string& text) { reported = text; };
  PosixEnv env(options);
  EXPECT_FALSE(env.AppendToFile(dir.File("fifo.log"), "entry\n"));
  char buffer[16];
  EXPECT_EQ(::read(reader, buffer, sizeof buffer), 0);
  ::close(reader);
  EXPECT_THAT(reported, ::testing::HasSubstr(": e um FIFO;"));
}

// Under systemd the journal reads standard error as a stream named in
// JOURNAL_STREAM; a record is one "<priority>" line. Any other stream gets
// nothing.
TEST(PosixJournalTest, WritesPriorityLinesOnlyToTheStreamJournalStreamNames) {
  TempDir dir;
  const int fd = ::open(dir.File("journal").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  ASSERT_GE(fd, 0);
  struct stat st {};
  ASSERT_EQ(::fstat(fd, &st), 0);
  const char* saved = ::getenv("JOURNAL_STREAM");
  const std::string previous = saved != nullptr ? saved : "";
  PosixEnvOptions options;
  options.journal_fd = fd;

  ::setenv("JOURNAL_STREAM",
           (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1)).c_str(), 1);
  PosixEnv elsewhere(options);
  elsewhere.WriteJournal(JournalPriority::kError, "not mine");
  ::unsetenv("JOURNAL_STREAM");
  PosixEnv none(options);
  none.WriteJournal(JournalPriority::kError, "no journal");

  ::setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(),
           1);
  PosixEnv journal(options);
  journal.WriteJournal(JournalPriority::kError, "[1] Falha de comunicacao: x");
  journal.WriteJournal(JournalPriority::kNotice, "[1] Vinculacao concluida com sucesso.");
  if (saved != nullptr) {
    ::setenv("JOURNAL_STREAM", previous.c_str(), 1);
  } else {
    ::unsetenv("JOURNAL_STREAM");
  }
  ::close(fd);
  EXPECT_EQ(dir.Read("journal"),
            "<3>[1] Falha de comunicacao: x\n<5>[1] Vinculacao concluida com sucesso.\n");
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
