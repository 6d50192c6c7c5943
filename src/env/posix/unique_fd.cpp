#include "env/posix/unique_fd.h"

#include <unistd.h>

#include <cerrno>

namespace tolvenar {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) {
    const int saved = errno;
    ::close(fd_);
    errno = saved;
  }
  fd_ = fd;
}

int UniqueFd::Close() {
  // Even when close fails the descriptor is gone (Linux frees it before
  // reporting EINTR or EIO), so it is never closed again.
  const int result = ::close(release());
  return result == 0 ? 0 : errno;
}

}  // namespace tolvenar
