#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "config/config.h"
#include "env/posix/env_posix.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

namespace fs = std::filesystem;
using Config = TTolvenarConnectorConfig;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

mode_t ModeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

void ExpectOSError(const std::function<void()>& action, const std::string& label) {
  try {
    action();
    ADD_FAILURE() << label << ": no EOSError";
  } catch (const EOSError& e) {
    EXPECT_NE(e.ErrorCode(), 0) << label;
    EXPECT_EQ(e.Message().rfind("System Error.  Code: ", 0), 0u) << label << ": " << e.Message();
    EXPECT_NE(e.Message().find(".\r\n"), std::string::npos) << label << ": " << e.Message();
  }
}

class MachineKeyProtectorTest : public ::testing::Test {
 protected:
  std::unique_ptr<DataProtector> NewProtector() { return NewMachineKeyProtector(key_path_); }

  testing::TempDir dir_;
  const fs::path root_ = dir_.path();
  // Its folder does not exist yet: the first protection creates it.
  const fs::path key_path_ = root_ / "state" / "machine.key";
};

// What every platform's protector promises: env_test.cpp. Here what the
// machine key and the layout of its blocks add.

TEST_F(MachineKeyProtectorTest, SameSecretGivesDifferentBlocksThatBothUnprotect) {
  auto protector = NewProtector();
  const std::string first = protector->Protect("segredo");
  const std::string second = protector->Protect("segredo");
  EXPECT_NE(first, second);
  EXPECT_EQ(protector->Unprotect(first), "segredo");
  EXPECT_EQ(protector->Unprotect(second), "segredo");
}

// Each part of the block: version, nonce, ciphertext and tag.
TEST_F(MachineKeyProtectorTest, AlteringAnyPartOfTheBlockRaises) {
  auto protector = NewProtector();
  const std::string block = protector->Protect("segredo-do-connector");
  for (const size_t offset :
       {size_t{0}, size_t{1}, size_t{12}, size_t{13}, size_t{20}, block.size() - 16}) {
    std::string altered = block;
    altered[offset] = static_cast<char>(altered[offset] ^ 0x01);
    ExpectOSError([&] { protector->Unprotect(altered); }, "flip at " + std::to_string(offset));
  }
  // Shorter than version, nonce and tag together.
  ExpectOSError([&] { protector->Unprotect(block.substr(0, 28)); }, "too short");
}

TEST_F(MachineKeyProtectorTest, BlockFromAnotherMachineKeyRaises) {
  auto here = NewProtector();
  auto elsewhere = NewMachineKeyProtector(root_ / "other" / "machine.key");
  const std::string stored = Config::ProtectMachineString(*elsewhere, "segredo");
  here->Protect("creates this machine's key");
  ExpectOSError([&] { Config::UnprotectMachineString(*here, stored); }, "other key");
}

TEST_F(MachineKeyProtectorTest, ForgedBlockWithTheRightVersionRaises) {
  auto protector = NewProtector();
  protector->Protect("creates the key");
  // Long enough and with the right version byte, but no block of this key.
  const std::string forged = "AQ" + std::string(60, 'A');
  ExpectOSError([&] { Config::UnprotectMachineString(*protector, forged); }, "forged");
}

TEST_F(MachineKeyProtectorTest, UnprotectingWithoutKeyRaisesAndCreatesNoKey) {
  auto protector = NewMachineKeyProtector(root_ / "other" / "machine.key");
  const std::string block = protector->Protect("segredo");
  ExpectOSError([&] { NewProtector()->Unprotect(block); }, "no key");
  EXPECT_FALSE(fs::exists(key_path_));
}

// -check may run before the service ever protected anything: it then
// only finds that the key could be created.
TEST_F(MachineKeyProtectorTest, CheckRoundTripCreatesNoKey) {
  auto protector = NewProtector();
  EXPECT_NO_THROW(protector->CheckRoundTrip());
  EXPECT_FALSE(fs::exists(key_path_.parent_path()));
  const std::string block = protector->Protect("segredo");
  const std::string key = ReadAll(key_path_);
  EXPECT_NO_THROW(NewProtector()->CheckRoundTrip());
  EXPECT_EQ(ReadAll(key_path_), key);
  EXPECT_EQ(protector->Unprotect(block), "segredo");
}

// The key is read once per protector; a new protector reads the file again.
TEST_F(MachineKeyProtectorTest, AProtectorKeepsTheKeyItReadAndANewOneRereadsTheFile) {
  auto protector = NewProtector();
  const std::string block = protector->Protect("segredo");
  ASSERT_TRUE(fs::remove(key_path_));
  EXPECT_EQ(protector->Unprotect(block), "segredo");
  EXPECT_FALSE(fs::exists(key_path_)) << "nothing written back";
  ExpectOSError([&] { NewProtector()->Unprotect(block); }, "key file gone");
}

TEST_F(MachineKeyProtectorTest, ConcurrentFirstUseAgreesOnOneKey) {
  constexpr int kWorkers = 8;
  std::vector<std::string> blocks(kWorkers);
  std::vector<std::string> failures(kWorkers);
  std::latch start(kWorkers);
  std::vector<std::thread> threads;
  for (int i = 0; i < kWorkers; ++i) {
    threads.emplace_back([&, i] {
      // One protector per worker, as separate processes would have.
      auto protector = NewProtector();
      start.arrive_and_wait();
      try {
        blocks[i] = protector->Protect("segredo " + std::to_string(i));
      } catch (const Exception& e) {
        failures[i] = e.Message();
      }
    });
  }
  for (auto& thread : threads) thread.join();

  auto protector = NewProtector();
  for (int i = 0; i < kWorkers; ++i) {
    ASSERT_EQ(failures[i], "") << "worker " << i;
    EXPECT_EQ(protector->Unprotect(blocks[i]), "segredo " + std::to_string(i));
  }
  // Only the key is left in its folder: no temporary file remains.
  std::vector<fs::path> entries(fs::directory_iterator(key_path_.parent_path()), {});
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], key_path_);
  EXPECT_EQ(fs::file_size(key_path_), 32u);
}

TEST_F(MachineKeyProtectorTest, ExistingKeyIsUsedAndNeverReplaced) {
  // Writable by the owner alone, whatever the umask: anything else is refused.
  fs::create_directories(key_path_.parent_path());
  ASSERT_EQ(::chmod(key_path_.parent_path().c_str(), 0755), 0);
  const std::string key = "0123456789abcdef0123456789ABCDEF";
  WriteAll(key_path_, key);
  ASSERT_EQ(::chmod(key_path_.c_str(), 0644), 0);
  const std::string block = NewProtector()->Protect("segredo");
  EXPECT_EQ(ReadAll(key_path_), key);

  // The same key under another path unprotects it: the existing key was used.
  const fs::path copy = root_ / "copy" / "machine.key";
  fs::create_directories(copy.parent_path());
  ASSERT_EQ(::chmod(copy.parent_path().c_str(), 0755), 0);
  WriteAll(copy, key);
  ASSERT_EQ(::chmod(copy.c_str(), 0644), 0);
  EXPECT_EQ(NewMachineKeyProtector(copy)->Unprotect(block), "segredo");
}

TEST_F(MachineKeyProtectorTest, KeyFileOfWrongLengthRaisesAndIsKept) {
  fs::create_directories(key_path_.parent_path());
  ASSERT_EQ(::chmod(key_path_.parent_path().c_str(), 0755), 0);
  for (const std::string& key : {std::string(), std::string(31, 'k'), std::string(33, 'k')}) {
    WriteAll(key_path_, key);
    ExpectOSError([&] { NewProtector()->Protect("segredo"); }, std::to_string(key.size()));
    EXPECT_EQ(ReadAll(key_path_), key);
  }
}

TEST_F(MachineKeyProtectorTest, NewKeyIsReadableByAllWritableByOwnerWhateverTheUmask) {
  const mode_t previous = ::umask(077);
  try {
    NewProtector()->Protect("segredo");
  } catch (...) {
    ::umask(previous);
    throw;
  }
  ::umask(previous);
  EXPECT_EQ(ModeOf(key_path_), 0644u);
  EXPECT_EQ(ModeOf(key_path_.parent_path()), 0755u);
}

// A key folder or key file that someone other than root or this account
// could have planted or could change is refused, quickly and with an errno
// that names the reason, and is left as it is; a trusted key is used.
struct KeyPlacementCase {
  const char* name;
  // Prepares the key's folder and key file under `folder`.
  std::function<void(const fs::path& folder, const fs::path& key)> plant;
  int expected_errno;  // 0: the planted key is good and used
  bool needs_root;     // chown to another account
};

constexpr uid_t kNobody = 65534;
const std::string kPlantedKey = "0123456789abcdef0123456789ABCDEF";

void MakeFolder(const fs::path& folder, mode_t mode) {
  fs::create_directories(folder);
  ASSERT_EQ(::chmod(folder.c_str(), mode), 0);
}

void PlantKey(const fs::path& key, const std::string& bytes = kPlantedKey, mode_t mode = 0644) {
  WriteAll(key, bytes);
  ASSERT_EQ(::chmod(key.c_str(), mode), 0);
}

void GiveToNobody(const fs::path& path) {
  ASSERT_EQ(::lchown(path.c_str(), kNobody, static_cast<gid_t>(-1)), 0);
}

const KeyPlacementCase kKeyPlacementCases[] = {
    {"GoodKey",
     [](const fs::path& folder, const fs::path& key) {
       MakeFolder(folder, 0755);
       PlantKey(key);
     },
     0, false},
    {"FolderWritableByGroup",
     [](const fs::path& folder, const fs::path& key) {
       MakeFolder(folder, 0775);
       PlantKey(key);
     },
     EACCES, false},
    {"FolderWritableByOthers",
     [](const fs::path& folder, const fs::path& key) {
       MakeFolder(folder, 01777);
       PlantKey(key);
     },
     EACCES, false},
    {"FolderOwnedByAnotherAccount",
     [](const fs::path& folder, const fs::path& key) {
       MakeFolder(folder, 0755);
       PlantKey(key);
       GiveToNobody(folder);
     },
     EPERM, true},
    {"FolderIsAFile",
     [](const fs::path& folder, const fs::path&) { WriteAll(folder, "not a folder"); }, ENOTDIR,
     false},
    {"KeyIsASymbolicLink",
     [](const fs::path& folder, const fs::path& key) {
       MakeFolder(folder, 0755);
       PlantKey(folder / "real.key");
       fs::create_symlink("real.key", key);
     },
     ELOOP, false},
    {"KeyIsAFifo",
     [](const fs::path& folder, const fs::path& key) {
       MakeFolder(folder, 0755);
       ASSERT_EQ(::mkfifo(key.c_str(), 0644), 0);
     },
     EINVAL, false},
    {"KeyIsAFolder",
     [](const fs::path& folder, const fs::path& key) {
       MakeFolder(folder, 0755);
       MakeFolder(key, 0755);
     },
     EISDIR, false},
    {"KeyIsTooLong",
     [](const fs::path& folder, const fs::path& key) {
       MakeFolder(folder, 0755);
       PlantKey(key, kPlantedKey + "x");
     },
     EINVAL, false},
    {"KeyWritableByOthers",
     [](const fs::path& folder, const fs::path& key) {
       MakeFolder(folder, 0755);
       PlantKey(key, kPlantedKey, 0666);
     },
     EACCES, false},
    {"KeyOwnedByAnotherAccount",
     [](const fs::path& folder, const fs::path& key) {
       MakeFolder(folder, 0755);
       PlantKey(key);
       GiveToNobody(key);
     },
     EPERM, true},
};

class KeyPlacementTest : public ::testing::TestWithParam<KeyPlacementCase> {
 protected:
  testing::TempDir dir_;
  const fs::path folder_ = dir_.path() / "state";
  const fs::path key_ = folder_ / "machine.key";
};

// The errno of the EOSError that `action` raises, 0 when it raises none. A
// call still running after ten seconds is blocked: it counts as a failure,
// and a writer is attached to a FIFO key so that it ends.
int ErrnoOf(const std::function<void()>& action, const fs::path& key) {
  auto done = std::async(std::launch::async, [&]() -> int {
    try {
      action();
      return 0;
    } catch (const EOSError& e) {
      EXPECT_EQ(
          e.Message().rfind("System Error.  Code: " + std::to_string(e.ErrorCode()) + ".\r\n", 0),
          0u)
          << e.Message();
      return e.ErrorCode();
    }
  });
  if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "blocked on " << key;
    const int writer = ::open(key.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) ::close(writer);
  }
  return done.get();
}

TEST_P(KeyPlacementTest, IsUsedOnlyWhenTrusted) {
  const KeyPlacementCase& c = GetParam();
  if (c.needs_root && ::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  ASSERT_NO_FATAL_FAILURE(c.plant(folder_, key_));
  const std::string key_path = key_.string();

  // A block made elsewhere with the planted key: it unprotects only where
  // that key is used.
  const fs::path reference_key = dir_.path() / "reference" / "machine.key";
  MakeFolder(reference_key.parent_path(), 0755);
  PlantKey(reference_key);
  const std::string block = NewMachineKeyProtector(reference_key.string())->Protect("segredo");

  std::string unprotected;
  EXPECT_EQ(
      ErrnoOf([&] { unprotected = NewMachineKeyProtector(key_path)->Unprotect(block); }, key_),
      c.expected_errno);
  std::string fresh;
  EXPECT_EQ(ErrnoOf([&] { fresh = NewMachineKeyProtector(key_path)->Protect("novo"); }, key_),
            c.expected_errno);

  if (c.expected_errno == 0) {
    EXPECT_EQ(unprotected, "segredo");
    EXPECT_EQ(NewMachineKeyProtector(reference_key.string())->Unprotect(fresh), "novo");
  } else {
    EXPECT_EQ(unprotected, "");
  }
  // Nothing was replaced or added beside the planted key.
  struct stat info {};
  if (::lstat(key_.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
    EXPECT_EQ(ReadAll(key_).substr(0, kPlantedKey.size()), kPlantedKey);
  }
  if (fs::is_directory(folder_)) {
    for (const auto& entry : fs::directory_iterator(folder_)) {
      EXPECT_NE(entry.path().filename().string().rfind(".machine.key", 0), 0u) << entry.path();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, KeyPlacementTest, ::testing::ValuesIn(kKeyPlacementCases),
                         [](const ::testing::TestParamInfo<KeyPlacementCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(MachineKeyProtectorTest, KeyCreatedUnderAnyUmaskPassesItsOwnChecks) {
  for (const mode_t mask : {mode_t{0}, mode_t{002}, mode_t{022}, mode_t{077}}) {
    testing::TempDir dir;
    const fs::path key = dir.path() / "a" / "b" / "machine.key";
    const mode_t previous = ::umask(mask);
    std::string block;
    try {
      block = NewMachineKeyProtector(key.string())->Protect("segredo");
    } catch (const Exception& e) {
      ADD_FAILURE() << "umask " << mask << ": " << e.Message();
    }
    ::umask(previous);
    EXPECT_EQ(ModeOf(key.parent_path()), 0755u) << "umask " << mask;
    EXPECT_EQ(ModeOf(key), 0644u) << "umask " << mask;
    EXPECT_EQ(NewMachineKeyProtector(key.string())->Unprotect(block), "segredo")
        << "umask " << mask;
  }
}

}  // namespace
}  // namespace tolvenar
