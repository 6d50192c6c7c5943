// Console streams on Linux: UTF-8 as it is.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "platform/exception.h"
#include "platform/posix/env_posix.h"

namespace tolvenar {

static void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EInOutError(strerror(errno));
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
}

void PosixEnv::WriteStdOut(std::string_view text) { WriteAll(STDOUT_FILENO, text); }

void PosixEnv::WriteStdErr(std::string_view text) { WriteAll(STDERR_FILENO, text); }

void PosixEnv::ReadLineFromStdIn() {
  // Byte by byte, so nothing after the line feed is consumed.
  char c;
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 0) return;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EInOutError(strerror(errno));
    }
    if (c == '\n') return;
  }
}

}  // namespace tolvenar
