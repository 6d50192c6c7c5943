#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "platform/exception.h"
#include "platform/posix/env_posix.h"
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

TEST_F(MachineKeyProtectorTest, StoredTextRoundTripsAnySecret) {
  auto protector = NewProtector();
  const std::string secrets[] = {
      "s",
      "segredo-do-connector",
      "Conexão ção 日本 \xF0\x9F\x94\x91",
      std::string("nul\0inside", 10),
      std::string(100000, 'k') + "fim",
  };
  for (const auto& secret : secrets) {
    const std::string stored = Config::ProtectMachineString(*protector, secret);
    EXPECT_EQ(stored.size() % 4, 0u);
    EXPECT_EQ(stored.find_first_of(" \r\n\t"), std::string::npos);
    EXPECT_EQ(Config::UnprotectMachineString(*protector, "\r\n " + stored + " \r\n"), secret);
  }
}

TEST_F(MachineKeyProtectorTest, SameSecretGivesDifferentBlocksThatBothUnprotect) {
  auto protector = NewProtector();
  const std::string first = protector->Protect("segredo");
  const std::string second = protector->Protect("segredo");
  EXPECT_NE(first, second);
  EXPECT_EQ(protector->Unprotect(first), "segredo");
  EXPECT_EQ(protector->Unprotect(second), "segredo");
}

TEST_F(MachineKeyProtectorTest, AlteredOrCutBlockRaises) {
  auto protector = NewProtector();
  const std::string block = protector->Protect("segredo-do-connector");
  // Version, nonce, ciphertext and tag.
  for (const size_t offset : {size_t{0}, size_t{1}, size_t{12}, size_t{13}, size_t{20},
                              block.size() - 16, block.size() - 1}) {
    std::string altered = block;
    altered[offset] = static_cast<char>(altered[offset] ^ 0x01);
    ExpectOSError([&] { protector->Unprotect(altered); }, "flip at " + std::to_string(offset));
  }
  ExpectOSError([&] { protector->Unprotect(block.substr(0, block.size() - 1)); }, "cut");
  ExpectOSError([&] { protector->Unprotect(block.substr(0, 28)); }, "too short");
  ExpectOSError([&] { protector->Unprotect(block + "x"); }, "extended");
}

TEST_F(MachineKeyProtectorTest, BlockFromAnotherMachineKeyRaises) {
  auto here = NewProtector();
  auto elsewhere = NewMachineKeyProtector(root_ / "other" / "machine.key");
  const std::string stored = Config::ProtectMachineString(*elsewhere, "segredo");
  here->Protect("creates this machine's key");
  ExpectOSError([&] { Config::UnprotectMachineString(*here, stored); }, "other key");
}

TEST_F(MachineKeyProtectorTest, ValidBase64OfNoBlockRaises) {
  auto protector = NewProtector();
  protector->Protect("creates the key");
  ExpectOSError([&] { Config::UnprotectMachineString(*protector, "QUJDRA=="); }, "short");
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
  fs::create_directories(key_path_.parent_path());
  const std::string key = "0123456789abcdef0123456789ABCDEF";
  WriteAll(key_path_, key);
  const std::string block = NewProtector()->Protect("segredo");
  EXPECT_EQ(ReadAll(key_path_), key);

  // The same key under another path unprotects it: the existing key was used.
  const fs::path copy = root_ / "copy" / "machine.key";
  fs::create_directories(copy.parent_path());
  WriteAll(copy, key);
  EXPECT_EQ(NewMachineKeyProtector(copy)->Unprotect(block), "segredo");
}

TEST_F(MachineKeyProtectorTest, KeyFileOfWrongLengthRaisesAndIsKept) {
  fs::create_directories(key_path_.parent_path());
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

}  // namespace
}  // namespace tolvenar
