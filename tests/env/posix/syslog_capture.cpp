#include "env/posix/syslog_capture.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tolvenar::testing {

namespace {
constexpr const char* kLogPath = "/dev/log";
}

SyslogCapture::SyslogCapture() {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, kLogPath);
  struct stat info {};
  if (lstat(kLogPath, &info) == 0) {
    // Someone serves it, unless it is a socket left behind by a capture
    // that did not end cleanly.
    if (!S_ISSOCK(info.st_mode)) return;
    const int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool served =
        connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 ||
        errno != ECONNREFUSED;
    close(probe);
    if (served) return;
    unlink(kLogPath);
  }
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd_);
    fd_ = -1;
    return;
  }
  chmod(kLogPath, 0666);
}

SyslogCapture::~SyslogCapture() {
  if (fd_ < 0) return;
  close(fd_);
  unlink(kLogPath);
}

std::vector<std::string> SyslogCapture::Drain(std::chrono::milliseconds wait) {
  std::vector<std::string> messages;
  if (fd_ < 0) return messages;
  for (;;) {
    pollfd fds{fd_, POLLIN, 0};
    if (poll(&fds, 1, static_cast<int>(wait.count())) <= 0) break;
    char buffer[8192];
    const ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
    if (n > 0) messages.emplace_back(buffer, static_cast<size_t>(n));
  }
  return messages;
}

}  // namespace tolvenar::testing
