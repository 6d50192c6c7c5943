// What every Env promises, checked once against the platform's own: the
// Linux tests run it natively, the Windows ones under Wine. What only one
// platform has (modes, links, FIFOs, sharing modes, access lists, the
// machine key file) is tested beside its implementation, in posix/ and
// windows/.
#include "env/env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <latch>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "config/config.h"
#include "env/platform_env.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

namespace fs = std::filesystem;
using testing::PathToUtf8;
using testing::TempDir;
using testing::Utf8ToPath;
using Outcome = FileRead::Outcome;

// A non-ASCII name checks the conversion of UTF-8 paths too.
constexpr char kName[] = "configura\xC3\xA7\xC3\xA3o.ini";

class EnvFilesTest : public ::testing::Test {
 protected:
  // Names in the folder, to see that no temporary file stays behind.
  std::set<std::string> Listing() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      names.insert(PathToUtf8(entry.path().filename()));
    }
    return names;
  }
  // `name` inside a folder that does not exist, with the platform's separator.
  std::string InMissingFolder(const char* name) const {
    return PathToUtf8(dir_.path() / "missing" / name);
  }

  TempDir dir_;
  Env& env_ = *Env::Default();
};

TEST_F(EnvFilesTest, FileExistsOnlyForRegularFiles) {
  dir_.Write(kName, "x");
  dir_.Write("empty", "");
  fs::create_directory(dir_.path() / "d");
  EXPECT_TRUE(env_.FileExists(dir_.File(kName)));
  EXPECT_TRUE(env_.FileExists(dir_.File("empty")));
  EXPECT_FALSE(env_.FileExists(dir_.File("d")));
  EXPECT_FALSE(env_.FileExists(dir_.File("missing")));
  EXPECT_FALSE(env_.FileExists(InMissingFolder("f")));
}

TEST_F(EnvFilesTest, ReadFileReturnsEveryByte) {
  std::string content(100000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  dir_.Write(kName, content);
  std::string bytes = "stale";
  ASSERT_TRUE(env_.ReadFile(dir_.File(kName), &bytes));
  EXPECT_EQ(bytes, content);

  fs::create_directory(dir_.path() / "d");
  bytes = "untouched";
  EXPECT_FALSE(env_.ReadFile(dir_.File("missing"), &bytes));
  EXPECT_FALSE(env_.ReadFile(dir_.File("d"), &bytes));
  EXPECT_EQ(bytes, "untouched");
}

// The profiles file is read whole only when it is small, its size checked
// before anything is read. How each platform says why a read failed is
// tested beside it.
TEST_F(EnvFilesTest, ReadFileWithALimitSaysWhatItFound) {
  dir_.Write(kName, "12345");
  dir_.Write("empty", "");
  fs::create_directory(dir_.path() / "d");
  // Two gibibytes announced, past any 32-bit size, and nothing on disk.
  testing::MakeSparseFile(dir_.File("huge"), uint64_t{2} << 30);
  struct Case {
    std::string path;
    uint64_t limit;
    Outcome outcome;
    uint64_t size;
    const char* bytes;  // what `bytes` holds afterwards
  };
  for (const Case& c : {
           Case{dir_.File(kName), 5, Outcome::kRead, 5, "12345"},
           Case{dir_.File(kName), UINT64_MAX, Outcome::kRead, 5, "12345"},
           Case{dir_.File(kName), 4, Outcome::kTooLarge, 5, "untouched"},
           Case{dir_.File("empty"), 0, Outcome::kRead, 0, ""},
           Case{dir_.File("huge"), 1 << 20, Outcome::kTooLarge, uint64_t{2} << 30, "untouched"},
           Case{dir_.File("missing"), 10, Outcome::kMissing, 0, "untouched"},
           Case{dir_.File("d"), 10, Outcome::kMissing, 0, "untouched"},
           Case{InMissingFolder("f"), 10, Outcome::kMissing, 0, "untouched"},
           // A file where a folder should be: nothing at the path either.
           Case{PathToUtf8(dir_.path() / Utf8ToPath(kName) / "x"), 10, Outcome::kMissing, 0,
                "untouched"},
       }) {
    SCOPED_TRACE(c.path + " limit " + std::to_string(c.limit));
    std::string bytes = "untouched";
    const FileRead read = env_.ReadFile(c.path, c.limit, &bytes);
    EXPECT_EQ(read.outcome, c.outcome);
    EXPECT_EQ(read.size, c.size);
    EXPECT_EQ(bytes, c.bytes);
  }
}

TEST_F(EnvFilesTest, ReadFileTailGivesTheEndAndTheSize) {
  dir_.Write(kName, "0123456789");
  dir_.Write("empty", "");
  fs::create_directory(dir_.path() / "d");
  struct Case {
    std::string path;
    size_t max_bytes;
    TailRead outcome;
    const char* tail;
    uint64_t size;
  };
  for (const Case& c : {
           Case{dir_.File(kName), 4, TailRead::kRead, "6789", 10},
           Case{dir_.File(kName), 10, TailRead::kRead, "0123456789", 10},
           Case{dir_.File(kName), 1000, TailRead::kRead, "0123456789", 10},
           Case{dir_.File(kName), 0, TailRead::kRead, "", 10},
           Case{dir_.File("empty"), 10, TailRead::kRead, "", 0},
           Case{dir_.File("missing"), 10, TailRead::kMissing, "untouched", 99},
           Case{InMissingFolder("f"), 10, TailRead::kMissing, "untouched", 99},
           Case{dir_.File("d"), 10, TailRead::kUnreadable, "untouched", 99},
       }) {
    SCOPED_TRACE(c.path + " max " + std::to_string(c.max_bytes));
    std::string tail = "untouched";
    uint64_t size = 99;
    EXPECT_EQ(env_.ReadFileTail(c.path, c.max_bytes, &tail, &size), c.outcome);
    EXPECT_EQ(tail, c.tail);
    EXPECT_EQ(size, c.size);
  }
}

TEST_F(EnvFilesTest, ReplaceFileCreatesOrReplaces) {
  ASSERT_TRUE(env_.ReplaceFile(dir_.File(kName), "first"));
  EXPECT_EQ(dir_.Read(kName), "first");
  ASSERT_TRUE(env_.ReplaceFile(dir_.File(kName), std::string("sec\0ond\r\n", 9)));
  EXPECT_EQ(dir_.Read(kName), std::string("sec\0ond\r\n", 9));
  ASSERT_TRUE(env_.ReplaceFile(dir_.File(kName), ""));
  EXPECT_EQ(dir_.Read(kName), "");
  EXPECT_EQ(Listing(), std::set<std::string>{kName});
}

// A read-only profiles file means the operator does not want it changed:
// refused even when the tests run as root, who may write any file. Linux
// takes each of these modes as they are; Windows has one read-only
// attribute for them all.
TEST_F(EnvFilesTest, ReplaceFileRefusesAReadOnlyFile) {
  const fs::path path = dir_.path() / Utf8ToPath(kName);
  using P = fs::perms;
  for (const P perms : {P::owner_read | P::group_read | P::others_read, P::owner_read,
                        P::owner_read | P::owner_exec | P::group_read | P::group_exec |
                            P::others_read | P::others_exec}) {
    SCOPED_TRACE(std::to_string(static_cast<unsigned>(perms)));
    dir_.Write(kName, "old");
    fs::permissions(path, perms);
    const fs::perms before = fs::status(path).permissions();
    ASSERT_EQ(before & P::owner_write, P::none);
    EXPECT_FALSE(env_.ReplaceFile(dir_.File(kName), "new"));
    EXPECT_EQ(fs::status(path).permissions(), before);
    fs::permissions(path, P::owner_write, fs::perm_options::add);
    EXPECT_EQ(dir_.Read(kName), "old");
    EXPECT_EQ(Listing(), std::set<std::string>{kName});
  }
}

TEST_F(EnvFilesTest, ReplaceFileFailsWhereNoFileCanBe) {
  fs::create_directory(dir_.path() / "d");
  EXPECT_FALSE(env_.ReplaceFile(dir_.File("d"), "new"));
  EXPECT_TRUE(fs::is_directory(dir_.path() / "d"));
  EXPECT_FALSE(env_.ReplaceFile(InMissingFolder("f"), "new"));
  EXPECT_EQ(Listing(), std::set<std::string>{"d"});
}

// Entries go in as they are: no line ends translated.
TEST_F(EnvFilesTest, AppendToFileCreatesThenAppends) {
  ASSERT_TRUE(env_.AppendToFile(dir_.File(kName), "one\n"));
  ASSERT_TRUE(env_.AppendToFile(dir_.File(kName), "two\r\n"));
  ASSERT_TRUE(env_.AppendToFile(dir_.File(kName), std::string("th\0ree", 6)));
  EXPECT_EQ(dir_.Read(kName), std::string("one\ntwo\r\nth\0ree", 15));
  EXPECT_FALSE(env_.AppendToFile(InMissingFolder("log"), "x\n"));
  EXPECT_EQ(Listing(), std::set<std::string>{kName});
}

// Threads of one process wait for each other: every entry arrives, whole,
// once.
TEST_F(EnvFilesTest, ConcurrentAppendsStayWhole) {
  constexpr int kThreads = 8;
  constexpr int kEntries = 200;
  const std::string path = dir_.File("log");
  std::atomic<int> written{0};
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kEntries; ++i) {
        // Long entries, so that interleaving would show.
        const std::string entry = "thread " + std::to_string(t) + " entry " + std::to_string(i) +
                                  " " + std::string(500, static_cast<char>('a' + t)) + "\n";
        if (env_.AppendToFile(path, entry)) ++written;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::istringstream lines(dir_.Read("log"));
  std::set<std::string> seen;
  for (std::string line; std::getline(lines, line);) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d entry %d ", &t, &i), 2) << line;
    ASSERT_EQ(line, "thread " + std::to_string(t) + " entry " + std::to_string(i) + " " +
                        std::string(500, static_cast<char>('a' + t)));
    EXPECT_TRUE(seen.insert(line).second) << line;
  }
  EXPECT_EQ(written.load(), kThreads * kEntries);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEntries));
}

// The INI and the log are found beside the executable.
TEST(EnvProcessTest, ExecutableDirAndNameLeadToTheRunningProgram) {
  Env& env = *Env::Default();
  const std::string dir = env.ExecutableDir();
  const std::string name = env.ExecutableName();
  ASSERT_FALSE(dir.empty());
  EXPECT_FALSE(Utf8ToPath(dir).has_filename()) << dir << ": no trailing separator";
  EXPECT_TRUE(Utf8ToPath(dir).is_absolute()) << dir;
  EXPECT_TRUE(fs::is_directory(Utf8ToPath(dir))) << dir;
  EXPECT_EQ(Utf8ToPath(name).stem(), "tc_tests") << name;
  EXPECT_EQ(name.find_first_of("/\\"), std::string::npos) << name;
  EXPECT_TRUE(env.FileExists(dir + name)) << dir << name;
}

TEST(EnvProcessTest, SameTextIgnoreCaseFoldsEveryLetter) {
  Env& env = *Env::Default();
  struct Case {
    const char* a;
    const char* b;
    bool same;
  };
  for (const Case& c : {
           Case{"-install", "-INSTALL", true},
           Case{"A\xC3\xA7\xC3\xA3o", "a\xC3\x87\xC3\x83O", true},  // Ação, aÇÃO
           Case{"", "", true},
           Case{"-install", "-instal", false},
           Case{"a\xC3\xA7\xC3\xA3o", "acao", false},
           Case{"", "x", false},
       }) {
    EXPECT_EQ(env.SameTextIgnoreCase(c.a, c.b), c.same) << c.a << " / " << c.b;
    EXPECT_EQ(env.SameTextIgnoreCase(c.b, c.a), c.same) << c.b << " / " << c.a;
  }
}

// --- data protection ---

using Config = TTolvenarConnectorConfig;

void ExpectOSError(const std::function<void()>& action, const std::string& label) {
  try {
    action();
    ADD_FAILURE() << label << ": no EOSError";
  } catch (const EOSError& e) {
    EXPECT_NE(e.ErrorCode(), 0) << label;
    EXPECT_EQ(
        e.Message().rfind("System Error.  Code: " + std::to_string(e.ErrorCode()) + ".\r\n", 0), 0u)
        << label << ": " << e.Message();
  }
}

class EnvProtectorTest : public ::testing::Test {
 protected:
  TempDir scratch_;
  std::unique_ptr<Env> env_ = testing::NewPlatformEnv(scratch_.Dir());
  DataProtector& protector_ = env_->Protector();
};

const std::vector<std::string> kSecrets = {
    "s",
    "segredo-do-connector",
    "Conex\xC3\xA3o \xC3\xA7\xC3\xA3o \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x94\x91",
    std::string("nul\0inside", 10),
    std::string(100000, 'k') + "fim",
};

TEST_F(EnvProtectorTest, ProtectedBytesUnprotectToTheSameBytes) {
  for (const std::string& secret : kSecrets) {
    const std::string block = protector_.Protect(secret);
    if (secret.size() >= 8) {
      EXPECT_EQ(block.find(secret), std::string::npos) << "the secret shows in its block";
    }
    EXPECT_EQ(protector_.Unprotect(block), secret);
  }
}

// The stored text is one base64 word; blanks around it, as an editor may
// leave, do not matter; an empty secret is stored as nothing.
TEST_F(EnvProtectorTest, StoredTextRoundTripsAnySecret) {
  for (const std::string& secret : kSecrets) {
    const std::string stored = Config::ProtectMachineString(protector_, secret);
    EXPECT_EQ(stored.size() % 4, 0u);
    EXPECT_EQ(stored.find_first_of(" \r\n\t"), std::string::npos);
    EXPECT_EQ(Config::UnprotectMachineString(protector_, "\r\n " + stored + " \r\n"), secret);
  }
  EXPECT_EQ(Config::ProtectMachineString(protector_, ""), "");
  EXPECT_EQ(Config::UnprotectMachineString(protector_, ""), "");
  EXPECT_EQ(Config::UnprotectMachineString(protector_, " \r\n"), "");
}

TEST_F(EnvProtectorTest, AlteredOrCutBlockRaises) {
  const std::string block = protector_.Protect("segredo-do-connector");
  ASSERT_GT(block.size(), 2u);
  const auto flipped = [&block](size_t offset) {
    std::string altered = block;
    altered[offset] = static_cast<char>(altered[offset] ^ 0x01);
    return altered;
  };
  struct Case {
    std::string label;
    std::string blob;
    // Wine 8's CryptUnprotectData unprotects these: under Wine they are
    // left to Windows and to Linux.
    bool wine_misses;
  };
  const std::vector<Case> cases = {
      {"flip in the middle", flipped(block.size() / 2), true},
      {"flip of the last byte", flipped(block.size() - 1), false},
      {"cut by one", block.substr(0, block.size() - 1), false},
      {"cut in half", block.substr(0, block.size() / 2), false},
      {"extended by one", block + "x", true},
      {"empty", "", false},
  };
  std::string unchecked;
  for (const Case& c : cases) {
    if (c.wine_misses && testing::RunningUnderWine()) {
      unchecked += " " + c.label + ";";
      continue;
    }
    ExpectOSError([&] { protector_.Unprotect(c.blob); }, c.label);
  }
  EXPECT_EQ(protector_.Unprotect(block), "segredo-do-connector");
  if (!unchecked.empty()) {
    GTEST_SKIP() << "Wine unprotects some altered blocks; not checked:" << unchecked;
  }
}

TEST_F(EnvProtectorTest, ValidBase64OfNoBlockRaises) {
  protector_.Protect("whatever the first protection sets up");
  ExpectOSError([&] { Config::UnprotectMachineString(protector_, "QUJDRA=="); }, "no block");
}

// -check asks before the service first protects anything, and again later.
TEST_F(EnvProtectorTest, CheckRoundTripPassesWhereProtectionWorks) {
  EXPECT_NO_THROW(protector_.CheckRoundTrip()) << "before any protection";
  const std::string block = protector_.Protect("segredo");
  EXPECT_NO_THROW(protector_.CheckRoundTrip()) << "after one";
  EXPECT_EQ(protector_.Unprotect(block), "segredo");
}

// Workers of the service share one protector.
TEST_F(EnvProtectorTest, OneProtectorServesManyThreadsAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 25;
  std::vector<std::string> failures(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kRounds && failures[t].empty(); ++i) {
        const std::string secret = "segredo " + std::to_string(t) + "/" + std::to_string(i);
        try {
          if (protector_.Unprotect(protector_.Protect(secret)) != secret) {
            failures[t] = secret + " came back different";
          }
        } catch (const Exception& e) {
          failures[t] = secret + ": " + e.Message();
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], "") << "thread " << t;
}

}  // namespace
}  // namespace tolvenar
