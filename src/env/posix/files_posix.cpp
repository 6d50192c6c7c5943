// PosixEnv's file services.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "env/posix/env_posix.h"
#include "env/posix/unique_fd.h"
#include "messages/messages.h"

namespace tolvenar {

namespace {

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a symbolic link leads to, so that replacing keeps the link.
std::string ResolveLink(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

// Makes the rename itself durable; best effort, the data is already synced.
void SyncFolder(const std::string& folder) {
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
}

}  // namespace

bool PosixEnv::FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

FileRead PosixEnv::ReadFile(const std::string& path, uint64_t max_bytes, std::string* bytes) {
  FileRead result;
  const auto failed = [&result](int code) {
    result.outcome = code == ENOENT || code == ENOTDIR ? FileRead::Outcome::kMissing
                                                       : FileRead::Outcome::kFailed;
    result.error = std::strerror(code);
    return result;
  };
  // O_NONBLOCK: a FIFO put at the path opens at once instead of waiting
  // for a writer, and is refused below.
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!file.valid()) return failed(errno);
  struct stat st {};
  if (::fstat(file.get(), &st) != 0) return failed(errno);
  if (S_ISDIR(st.st_mode)) return failed(ENOENT);
  if (!S_ISREG(st.st_mode)) {
    result.error = "not a regular file";
    return result;
  }
  if (static_cast<uint64_t>(st.st_size) > max_bytes) {
    result.outcome = FileRead::Outcome::kTooLarge;
    result.size = static_cast<uint64_t>(st.st_size);
    return result;
  }
  std::string content;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed(errno);
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
    if (content.size() > max_bytes) {  // grew while being read
      result.outcome = FileRead::Outcome::kTooLarge;
      result.size = content.size();
      return result;
    }
  }
  *bytes = std::move(content);
  result.outcome = FileRead::Outcome::kRead;
  result.size = bytes->size();
  return result;
}

TailRead PosixEnv::ReadFileTail(const std::string& path, size_t max_bytes, std::string* tail,
                                uint64_t* size) {
  // O_NONBLOCK: a pipe planted in the file's place must not hold the reader.
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!file.valid()) return errno == ENOENT ? TailRead::kMissing : TailRead::kUnreadable;
  struct stat st {};
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return TailRead::kUnreadable;
  const uint64_t length = static_cast<uint64_t>(st.st_size);
  const uint64_t wanted = length < max_bytes ? length : max_bytes;
  std::string bytes(static_cast<size_t>(wanted), '\0');
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pread(file.get(), bytes.data() + done, bytes.size() - done,
                              static_cast<off_t>(length - wanted + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return TailRead::kUnreadable;
    if (n == 0) break;  // cut short meanwhile
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  *tail = std::move(bytes);
  *size = length;
  return TailRead::kRead;
}

bool PosixEnv::ReplaceFile(const std::string& requested_path, const std::string& bytes) {
  const std::string path = ResolveLink(requested_path);
  mode_t mode = 0644;
  struct stat st {};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists) {
    if (!S_ISREG(st.st_mode)) return false;
    // A file that grants write to nobody is read-only, and stays so even for
    // root: root passes access() and could rename over it, but a read-only
    // profiles file means the operator does not want it changed.
    if ((st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0) return false;
    mode = st.st_mode & 07777;
  } else if (errno != ENOENT) {
    return false;
  }

  std::string temp = path + ".XXXXXX";
  UniqueFd file(::mkstemp(temp.data()));
  if (!file.valid()) return false;
  bool ok = ::fchmod(file.get(), mode) == 0;
  if (ok && exists && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
    // Keeps the owner when root rewrites another account's file; an
    // ordinary account cannot, and the file then becomes its own.
    [[maybe_unused]] const int ignored = ::fchown(file.get(), st.st_uid, st.st_gid);
  }
  ok = ok && WriteAll(file.get(), bytes) && ::fsync(file.get()) == 0;
  ok = file.Close() == 0 && ok;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  SyncFolder(FolderOf(path));
  return true;
}

namespace {

std::mutex& AppendMutex() {
  static std::mutex mutex;
  return mutex;
}

bool WriteWhole(int fd, std::string_view bytes) {
  // One write, so that entries of concurrent writers never interleave.
  ssize_t n;
  do {
    n = ::write(fd, bytes.data(), bytes.size());
  } while (n < 0 && errno == EINTR);
  return n >= 0 && static_cast<size_t>(n) == bytes.size();
}

// Shifts the older generations up (the oldest goes) and makes the current
// file the first of them.
bool Rotate(const std::string& path, int older_files) {
  if (older_files < 1) return false;
  ::unlink(LogGenerationPath(path, older_files).c_str());
  for (int n = older_files - 1; n >= 1; --n) {
    if (::rename(LogGenerationPath(path, n).c_str(), LogGenerationPath(path, n + 1).c_str()) != 0 &&
        errno != ENOENT) {
      return false;
    }
  }
  return ::rename(path.c_str(), LogGenerationPath(path, 1).c_str()) == 0;
}

// Why the file open at `fd` is no place for this account's entries; "" when
// it is one: a regular file of the running account with a single link.
std::string RefusalOfOpened(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::strerror(errno);
  if (S_ISFIFO(st.st_mode)) return "e um FIFO";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "e um dispositivo";
  if (S_ISSOCK(st.st_mode)) return "e um socket";
  if (!S_ISREG(st.st_mode)) return "nao e um arquivo comum";
  if (st.st_uid != ::geteuid()) {
    return "pertence a outra conta (uid " + std::to_string(st.st_uid) + ")";
  }
  if (st.st_nlink != 1) return "tem outros nomes (links fisicos)";
  return "";
}

}  // namespace

void PosixEnv::ReportRefusedLog(const std::string& path, const std::string& reason) {
  if (log_refusal_reported_.exchange(true)) return;
  const std::string message = FillMessage(kMsgLogRefused, {path, reason});
  if (options_.report_refused_log) {
    options_.report_refused_log(message);
  } else {
    ::syslog(LOG_DAEMON | LOG_WARNING, "%s", message.c_str());
  }
}

bool PosixEnv::AppendToFile(const std::string& path, std::string_view bytes,
                            const LogRotation& rotation) {
  const std::lock_guard<std::mutex> lock(AppendMutex());
  // A few tries: another process may rotate the file between our open and
  // our lock; the entry then goes to the new file.
  for (int attempt = 0; attempt < 5; ++attempt) {
    // Whoever can write the folder may have put a link (to a file this
    // account may write, such as root's), a FIFO (an open that would wait
    // forever) or a device at the path: none is followed, waited for or
    // written to.
    UniqueFd file(::open(
        path.c_str(),
        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0644));
    if (!file.valid()) {
      if (errno == ELOOP) ReportRefusedLog(path, "e um link simbolico");
      if (errno == ENXIO) ReportRefusedLog(path, "e um FIFO ou um dispositivo");
      if (errno == EISDIR) ReportRefusedLog(path, "e uma pasta");
      return false;
    }
    if (const std::string refusal = RefusalOfOpened(file.get()); !refusal.empty()) {
      ReportRefusedLog(path, refusal);
      return false;
    }
    if (rotation.max_bytes == 0) return WriteWhole(file.get(), bytes);
    // Processes that append take turns on the file, so that a rotation
    // happens once and no entry is written into a file being moved.
    int locked;
    do {
      locked = ::flock(file.get(), LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    struct stat opened {};
    struct stat current {};
    if (locked != 0 || ::fstat(file.get(), &opened) != 0) return WriteWhole(file.get(), bytes);
    if (::stat(path.c_str(), &current) != 0 || current.st_ino != opened.st_ino ||
        current.st_dev != opened.st_dev) {
      continue;  // rotated by another process meanwhile
    }
    const auto size = static_cast<uint64_t>(opened.st_size);
    if (size > 0 && size + bytes.size() > rotation.max_bytes &&
        Rotate(path, rotation.older_files)) {
      continue;  // a fresh file at the path takes the entry
    }
    return WriteWhole(file.get(), bytes);
  }
  return false;
}

}  // namespace tolvenar
