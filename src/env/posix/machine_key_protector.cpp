// The data protection of Linux. Linux has no machine-scope protection
// service, so this one keeps the same contract with a machine key: 32
// random bytes in a key file at a fixed path, readable by every local
// account and writable only by its owner. A block protected here unprotects
// here for any account and fails on any other computer (another key) or
// after any alteration (authentication tag).
//
// Protected block, AES-256-GCM with the associated data "TolvenarConnector":
//   offset 0       1 byte    version, 1
//   offset 1       12 bytes  nonce, fresh from RAND_bytes for every block
//   offset 13      n bytes   ciphertext, as long as the plain bytes
//   offset 13 + n  16 bytes  authentication tag
//
// Whoever can write the key's folder or file can plant a key of their own
// and read every secret protected afterwards, so neither is trusted unless
// it belongs to root or to this account, and the folder and the file must
// not be writable by group or others. The key file is opened without
// following a symbolic link and without waiting (a FIFO planted there would
// otherwise block the worker for ever), and what was opened must be a
// regular file holding exactly one key.
//
// Failures raise EOSError with an errno code and its strerror text:
// the key file's own errno when it cannot be created or read (ELOOP for a
// symbolic link), EPERM for a folder or key file owned by another account,
// EACCES for one writable by group or others, ENOTDIR for a folder that is
// no directory, EISDIR for a key that is a directory, EINVAL for a key that
// is no regular file or has the wrong length, EBADMSG for a block that is
// too short, has an unknown version or fails authentication (altered, or
// made with another key), EIO when libcrypto itself fails.
//
// The key is created on first protection. Several processes or threads may
// do so at once on a new machine: each writes a complete temporary file in
// the key's folder and link(2)s it to the final name, which succeeds for
// exactly one of them; the rest get EEXIST and use the winner's key. An
// existing key file is never replaced. A protector reads (or makes) the key
// once and keeps it: the secret is unprotected on every poll, and reading
// and checking the file each time cost more than the poll's own work. The
// key never changes under a running process; a replaced key file is taken
// up at the next start.
#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "base/exception.h"
#include "env/data_protector.h"
#include "env/posix/env_posix.h"
#include "env/posix/unique_fd.h"

namespace tolvenar {
namespace {

constexpr size_t kKeySize = 32;
constexpr size_t kNonceSize = 12;
constexpr size_t kTagSize = 16;
constexpr unsigned char kVersion = 1;
constexpr size_t kHeaderSize = 1 + kNonceSize;
constexpr char kAssociatedData[] = "TolvenarConnector";
constexpr mode_t kFolderMode = 0755;
constexpr mode_t kKeyFileMode = 0644;

[[noreturn]] void RaiseErrno(int code) { throw EOSError(code, std::strerror(code)); }

// Key bytes, wiped when they go out of scope.
struct MachineKey {
  std::array<unsigned char, kKeySize> bytes{};
  MachineKey() = default;
  MachineKey(const MachineKey&) = delete;
  MachineKey& operator=(const MachineKey&) = delete;
  ~MachineKey() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool TrustedOwner(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

// Raises unless `info` belongs to root or to this account and is writable by
// its owner alone.
void CheckOwnerAndMode(const struct stat& info) {
  if (!TrustedOwner(info.st_uid)) RaiseErrno(EPERM);
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) RaiseErrno(EACCES);
}

// Returns false when the key's folder does not exist; raises when it exists
// but is not a folder that only root or this account can write.
bool CheckKeyFolder(const std::string& folder) {
  struct stat info;
  if (::stat(folder.c_str(), &info) != 0) {
    if (errno == ENOENT) return false;
    RaiseErrno(errno);
  }
  if (!S_ISDIR(info.st_mode)) RaiseErrno(ENOTDIR);
  CheckOwnerAndMode(info);
  return true;
}

// Creates `folder` and any missing parent with mode 0755, whatever the umask.
void EnsureFolder(const std::string& folder) {
  struct stat info;
  if (::stat(folder.c_str(), &info) == 0) {
    if (!S_ISDIR(info.st_mode)) RaiseErrno(ENOTDIR);
    return;
  }
  if (errno != ENOENT) RaiseErrno(errno);
  const std::string parent = FolderOf(folder);
  if (parent != folder) EnsureFolder(parent);
  if (::mkdir(folder.c_str(), kFolderMode) != 0) {
    if (errno == EEXIST) return;  // created by someone else meanwhile
    RaiseErrno(errno);
  }
  if (::chmod(folder.c_str(), kFolderMode) != 0) RaiseErrno(errno);
}

void FillRandom(unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t got = ::getrandom(data, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      RaiseErrno(errno);
    }
    data += got;
    size -= static_cast<size_t>(got);
  }
}

void WriteAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      RaiseErrno(errno);
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
}

// Makes the new directory entry durable; a failure here loses nothing that
// the next start could not recreate, so it is not reported.
void SyncFolder(const std::string& folder) {
  const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) ::fsync(fd.get());
}

// Writes a new random key beside `key_path` and links it into place unless a
// key is there already. Either way a key file exists afterwards.
void CreateKeyFile(const std::string& key_path) {
  const std::string folder = FolderOf(key_path);
  EnsureFolder(folder);
  // The folder may have been there already, or made by someone else meanwhile.
  if (!CheckKeyFolder(folder)) RaiseErrno(ENOENT);
  std::string temp_path = folder + "/." + BaseNameOf(key_path) + ".XXXXXX";
  UniqueFd fd(::mkstemp(temp_path.data()));
  if (fd.get() < 0) RaiseErrno(errno);
  try {
    if (::fchmod(fd.get(), kKeyFileMode) != 0) RaiseErrno(errno);
    MachineKey key;
    FillRandom(key.bytes.data(), key.bytes.size());
    WriteAll(fd.get(), key.bytes.data(), key.bytes.size());
    if (::fsync(fd.get()) != 0) RaiseErrno(errno);
    if (const int error = fd.Close(); error != 0) RaiseErrno(error);
    if (::link(temp_path.c_str(), key_path.c_str()) != 0 && errno != EEXIST) {
      RaiseErrno(errno);
    }
  } catch (...) {
    ::unlink(temp_path.c_str());
    throw;
  }
  ::unlink(temp_path.c_str());
  SyncFolder(folder);
}

// Reads the key file. Returns false when it does not exist; raises when it
// exists but cannot be read or does not hold exactly one key.
bool ReadKeyFile(const std::string& key_path, MachineKey& key) {
  if (!CheckKeyFolder(FolderOf(key_path))) return false;
  // O_NOFOLLOW: a symbolic link fails with ELOOP. O_NONBLOCK: a FIFO opens at
  // once instead of waiting for a writer, and is then refused below.
  UniqueFd fd(::open(key_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) {
    if (errno == ENOENT) return false;
    RaiseErrno(errno);
  }
  // Checked on what was opened, so the file cannot be swapped in between.
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) RaiseErrno(errno);
  if (S_ISDIR(info.st_mode)) RaiseErrno(EISDIR);
  if (!S_ISREG(info.st_mode)) RaiseErrno(EINVAL);
  CheckOwnerAndMode(info);
  if (info.st_size != static_cast<off_t>(kKeySize)) RaiseErrno(EINVAL);
  // One byte more than a key, to tell a longer file from a key.
  std::array<unsigned char, kKeySize + 1> buffer{};
  size_t total = 0;
  while (total < buffer.size()) {
    const ssize_t got = ::read(fd.get(), buffer.data() + total, buffer.size() - total);
    if (got < 0) {
      if (errno == EINTR) continue;
      OPENSSL_cleanse(buffer.data(), buffer.size());
      RaiseErrno(errno);
    }
    if (got == 0) break;
    total += static_cast<size_t>(got);
  }
  std::memcpy(key.bytes.data(), buffer.data(), kKeySize);
  OPENSSL_cleanse(buffer.data(), buffer.size());
  if (total != kKeySize) RaiseErrno(EINVAL);
  return true;
}

// Raises as CreateKeyFile would, without creating anything: the key's folder,
// or the nearest folder above it that exists, must be one this account may
// trust and write in.
void CheckKeyCreatable(const std::string& key_path) {
  std::string folder = FolderOf(key_path);
  if (CheckKeyFolder(folder)) {
    if (::access(folder.c_str(), W_OK | X_OK) != 0) RaiseErrno(errno);
    return;
  }
  for (;;) {
    const std::string parent = FolderOf(folder);
    if (parent == folder) RaiseErrno(ENOENT);
    folder = parent;
    struct stat info;
    if (::stat(folder.c_str(), &info) != 0) {
      if (errno == ENOENT) continue;
      RaiseErrno(errno);
    }
    if (!S_ISDIR(info.st_mode)) RaiseErrno(ENOTDIR);
    if (::access(folder.c_str(), W_OK | X_OK) != 0) RaiseErrno(errno);
    return;
  }
}

void LoadOrCreateKey(const std::string& key_path, MachineKey& key) {
  if (ReadKeyFile(key_path, key)) return;
  CreateKeyFile(key_path);
  if (!ReadKeyFile(key_path, key)) RaiseErrno(ENOENT);
}

void LoadExistingKey(const std::string& key_path, MachineKey& key) {
  if (!ReadKeyFile(key_path, key)) RaiseErrno(ENOENT);
}

void CheckCrypto(int result) {
  if (result != 1) RaiseErrno(EIO);
}

// AES-256-GCM, looked up in OpenSSL's providers once: the lookup that
// EVP_aes_256_gcm() implies on every use cost more than the cipher itself
// (the secret is unprotected on every poll). nullptr when OpenSSL has none.
const EVP_CIPHER* Aes256Gcm() {
  static const EVP_CIPHER* const cipher = [] {
    EVP_CIPHER* fetched = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    return fetched != nullptr ? fetched : EVP_aes_256_gcm();  // kept for the process
  }();
  return cipher;
}

CipherContext NewCipherContext() {
  CipherContext context(EVP_CIPHER_CTX_new());
  if (!context) RaiseErrno(ENOMEM);
  return context;
}

const unsigned char* Bytes(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

unsigned char* Bytes(std::string& text) { return reinterpret_cast<unsigned char*>(text.data()); }

const unsigned char* AssociatedData() {
  return reinterpret_cast<const unsigned char*>(kAssociatedData);
}
constexpr int kAssociatedDataSize = sizeof(kAssociatedData) - 1;

class MachineKeyProtector : public DataProtector {
 public:
  explicit MachineKeyProtector(std::string key_path) : key_path_(std::move(key_path)) {}

  std::string Protect(const std::string& plain) override {
    MachineKey key;
    if (!Cached(key)) {
      LoadOrCreateKey(key_path_, key);
      Keep(key);
    }

    std::string block(kHeaderSize + plain.size() + kTagSize, '\0');
    block[0] = static_cast<char>(kVersion);
    unsigned char* nonce = Bytes(block) + 1;
    CheckCrypto(RAND_bytes(nonce, kNonceSize));

    CipherContext context = NewCipherContext();
    CheckCrypto(EVP_EncryptInit_ex(context.get(), Aes256Gcm(), nullptr, nullptr, nullptr));
    CheckCrypto(EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr));
    CheckCrypto(EVP_EncryptInit_ex(context.get(), nullptr, nullptr, key.bytes.data(), nonce));
    int length = 0;
    CheckCrypto(
        EVP_EncryptUpdate(context.get(), nullptr, &length, AssociatedData(), kAssociatedDataSize));
    unsigned char* ciphertext = Bytes(block) + kHeaderSize;
    CheckCrypto(EVP_EncryptUpdate(context.get(), ciphertext, &length, Bytes(plain),
                                  static_cast<int>(plain.size())));
    int final_length = 0;
    CheckCrypto(EVP_EncryptFinal_ex(context.get(), ciphertext + length, &final_length));
    CheckCrypto(EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kTagSize,
                                    ciphertext + plain.size()));
    return block;
  }

  std::string Unprotect(const std::string& block) override {
    if (block.size() < kHeaderSize + kTagSize) RaiseErrno(EBADMSG);
    if (static_cast<unsigned char>(block[0]) != kVersion) RaiseErrno(EBADMSG);
    // A block needs the key it was made with: no key here, no new one.
    MachineKey key;
    if (!Cached(key)) {
      LoadExistingKey(key_path_, key);
      Keep(key);
    }

    const size_t ciphertext_size = block.size() - kHeaderSize - kTagSize;
    const unsigned char* nonce = Bytes(block) + 1;
    const unsigned char* ciphertext = Bytes(block) + kHeaderSize;
    std::array<unsigned char, kTagSize> tag;
    std::memcpy(tag.data(), ciphertext + ciphertext_size, kTagSize);

    std::string plain(ciphertext_size, '\0');
    CipherContext context = NewCipherContext();
    CheckCrypto(EVP_DecryptInit_ex(context.get(), Aes256Gcm(), nullptr, nullptr, nullptr));
    CheckCrypto(EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr));
    CheckCrypto(EVP_DecryptInit_ex(context.get(), nullptr, nullptr, key.bytes.data(), nonce));
    int length = 0;
    CheckCrypto(
        EVP_DecryptUpdate(context.get(), nullptr, &length, AssociatedData(), kAssociatedDataSize));
    CheckCrypto(EVP_DecryptUpdate(context.get(), Bytes(plain), &length, ciphertext,
                                  static_cast<int>(ciphertext_size)));
    CheckCrypto(EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, tag.data()));
    int final_length = 0;
    if (EVP_DecryptFinal_ex(context.get(), Bytes(plain) + length, &final_length) != 1) {
      OPENSSL_cleanse(plain.data(), plain.size());
      RaiseErrno(EBADMSG);
    }
    return plain;
  }

  void CheckRoundTrip() override {
    MachineKey key;
    if (!Cached(key)) {
      if (!ReadKeyFile(key_path_, key)) {
        CheckKeyCreatable(key_path_);
        return;
      }
      Keep(key);
    }
    DataProtector::CheckRoundTrip();
  }

 private:
  bool Cached(MachineKey& key) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!have_key_) return false;
    key.bytes = key_.bytes;
    return true;
  }
  void Keep(const MachineKey& key) {
    const std::lock_guard<std::mutex> lock(mutex_);
    key_.bytes = key.bytes;
    have_key_ = true;
  }

  const std::string key_path_;
  std::mutex mutex_;
  MachineKey key_;  // valid once have_key_
  bool have_key_ = false;
};

}  // namespace

std::unique_ptr<DataProtector> NewMachineKeyProtector(const std::string& key_path) {
  return std::make_unique<MachineKeyProtector>(key_path);
}

}  // namespace tolvenar
