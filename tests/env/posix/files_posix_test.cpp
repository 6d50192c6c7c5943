#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

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

// Regular files, folders and missing paths: env_test.cpp.
TEST_F(PosixFilesTest, FileExistsFollowsASymbolicLink) {
  dir_.Write("f", "x");
  fs::create_directory(dir_.path() / "d");
  fs::create_symlink(dir_.path() / "f", dir_.path() / "link");
  fs::create_symlink(dir_.path() / "d", dir_.path() / "folder-link");
  fs::create_symlink(dir_.path() / "missing", dir_.path() / "dangling");
  EXPECT_TRUE(env_.FileExists(dir_.File("link")));
  EXPECT_FALSE(env_.FileExists(dir_.File("folder-link")));
  EXPECT_FALSE(env_.FileExists(dir_.File("dangling")));
}

// The outcomes and sizes every platform gives: env_test.cpp. Here the
// reasons Linux gives, and a FIFO at the name that never blocks the read.
TEST_F(PosixFilesTest, ReadFileWithALimitGivesTheSystemsReason) {
  fs::create_directory(dir_.path() / "d");
  dir_.Write("small", "12345");
  ASSERT_EQ(::mkfifo(dir_.File("fifo").c_str(), 0600), 0);
  fs::create_symlink("loop", dir_.path() / "loop");
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

TEST_F(PosixFilesTest, ReplaceFileKeepsPermissionBits) {
  dir_.Write("f", "old");
  ASSERT_EQ(::chmod(dir_.File("f").c_str(), 0640), 0);
  ASSERT_TRUE(env_.ReplaceFile(dir_.File("f"), "new"));
  EXPECT_EQ(ModeOf("f"), 0640u);
  EXPECT_EQ(dir_.Read("f"), "new");
  EXPECT_EQ(Listing(), std::set<std::string>{"f"});
}

TEST_F(PosixFilesTest, ReplaceFileKeepsASymbolicLink) {
  dir_.Write("target", "old");
  fs::create_symlink(dir_.path() / "target", dir_.path() / "link");
  ASSERT_TRUE(env_.ReplaceFile(dir_.File("link"), "new"));
  EXPECT_TRUE(fs::is_symlink(dir_.path() / "link"));
  EXPECT_EQ(dir_.Read("target"), "new");
  EXPECT_EQ(Listing(), (std::set<std::string>{"link", "target"}));
}

// The end of a log is read for -check while the service may be rotating it:
// whatever is put at the name, nothing is followed and nothing waits.
TEST_F(PosixFilesTest, ReadFileTailReadsOnlyARegularFileItself) {
  dir_.Write("target", "entries\n");
  fs::create_symlink(dir_.path() / "target", dir_.path() / "link");
  ASSERT_EQ(::mkfifo(dir_.File("fifo").c_str(), 0600), 0);
  for (const std::string& path : {dir_.File("link"), dir_.File("fifo"), std::string("/dev/null")}) {
    SCOPED_TRACE(path);
    std::string tail = "untouched";
    uint64_t size = 99;
    EXPECT_EQ(env_.ReadFileTail(path, 100, &tail, &size), TailRead::kUnreadable);
    EXPECT_EQ(tail, "untouched");
  }
  std::string tail;
  uint64_t size = 0;
  ASSERT_EQ(env_.ReadFileTail(dir_.File("target"), 100, &tail, &size), TailRead::kRead);
  EXPECT_EQ(tail, "entries\n");
  EXPECT_EQ(size, 8u);
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

}  // namespace
}  // namespace tolvenar
