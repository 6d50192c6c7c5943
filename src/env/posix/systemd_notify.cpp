// The notify protocol of systemd, written here rather than linking
// libsystemd for sd_notify: one datagram of "KEY=VALUE" lines sent to the
// Unix socket named by NOTIFY_SOCKET.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "env/posix/service_posix.h"
#include "env/posix/unique_fd.h"

namespace tolvenar {

bool SendNotify(const std::string& socket_name, std::string_view message, int* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const bool abstract = !socket_name.empty() && socket_name[0] == '@';
  if (socket_name.empty() || (!abstract && socket_name[0] != '/') ||
      socket_name.size() >= sizeof(address.sun_path)) {
    *error = EINVAL;
    return false;
  }
  std::memcpy(address.sun_path, socket_name.data(), socket_name.size());
  // An abstract name starts with a zero byte and is not terminated.
  if (abstract) address.sun_path[0] = '\0';
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_name.size() +
                                            (abstract ? 0 : 1));
  const UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    *error = errno;
    return false;
  }
  ssize_t sent = sendto(fd.get(), message.data(), message.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), length);
  int saved = errno;
  if (sent < 0 || static_cast<size_t>(sent) != message.size()) {
    *error = sent < 0 ? saved : EMSGSIZE;
    return false;
  }
  return true;
}

}  // namespace tolvenar
