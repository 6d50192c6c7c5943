// PosixEnv's file services.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/env_posix.h"

namespace tolvenar {

namespace {

// Closes a descriptor when it leaves scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now, reporting the result (a delayed write error shows here).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

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
  FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
}

}  // namespace

bool PosixEnv::FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool PosixEnv::ReadFile(const std::string& path, std::string* bytes) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return false;
  std::string content;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;  // a folder fails here too (EISDIR)
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  *bytes = std::move(content);
  return true;
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
  FileDescriptor file(::mkstemp(temp.data()));
  if (!file.valid()) return false;
  bool ok = ::fchmod(file.get(), mode) == 0;
  if (ok && exists && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
    // Keeps the owner when root rewrites another account's file; an
    // ordinary account cannot, and the file then becomes its own.
    [[maybe_unused]] const int ignored = ::fchown(file.get(), st.st_uid, st.st_gid);
  }
  ok = ok && WriteAll(file.get(), bytes) && ::fsync(file.get()) == 0;
  ok = file.Close() && ok;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  SyncFolder(FolderOf(path));
  return true;
}

bool PosixEnv::AppendToFile(const std::string& path, std::string_view bytes) {
  FileDescriptor file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!file.valid()) return false;
  // One write, so that entries of concurrent writers never interleave.
  ssize_t n;
  do {
    n = ::write(file.get(), bytes.data(), bytes.size());
  } while (n < 0 && errno == EINTR);
  return n >= 0 && static_cast<size_t>(n) == bytes.size();
}

}  // namespace tolvenar
