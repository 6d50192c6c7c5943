#include "env/posix/notify_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace tolvenar::testing {

NotifySocket::NotifySocket(const std::string& name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.size() >= sizeof(address.sun_path)) throw std::runtime_error("socket name too long");
  std::memcpy(address.sun_path, name.data(), name.size());
  const bool abstract = name[0] == '@';
  if (abstract) address.sun_path[0] = '\0';
  const socklen_t length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (abstract ? 0 : 1));
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    throw std::runtime_error("cannot bind " + name + ": " + std::strerror(errno));
  }
  if (!abstract) path_ = name;
}

NotifySocket::~NotifySocket() {
  if (fd_ >= 0) close(fd_);
  if (!path_.empty()) unlink(path_.c_str());
}

std::string NotifySocket::Receive(std::chrono::milliseconds wait) {
  pollfd fds{fd_, POLLIN, 0};
  if (poll(&fds, 1, static_cast<int>(wait.count())) <= 0) return "";
  char buffer[4096];
  const ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

std::string UniqueSocketName(bool abstract, const std::string& dir) {
  static std::atomic<int> counter{0};
  const std::string unique =
      "tc-notify-" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
  return abstract ? "@" + unique : dir + unique;
}

}  // namespace tolvenar::testing
