// Console streams on Linux: UTF-8 as it is.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "base/exception.h"
#include "env/posix/env_posix.h"

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

bool JournalIsOn(int fd) {
  // systemd names the stream it connected as "<device>:<inode>"; a program
  // started from a shell inside a unit inherits the variable, not the
  // stream, and then writes no records.
  const char* stream = std::getenv("JOURNAL_STREAM");
  unsigned long long device = 0;
  unsigned long long inode = 0;
  if (stream == nullptr || std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat st {};
  return ::fstat(fd, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == device &&
         static_cast<unsigned long long>(st.st_ino) == inode;
}

void PosixEnv::WriteJournal(JournalPriority priority, std::string_view line) {
  if (!journal_on_) return;
  try {
    // "<N>" at the start of a line gives it syslog priority N: journald
    // reads that prefix on a service's streams unless the unit turns off
    // SyslogLevelPrefix. One write per record, so records of concurrent
    // workers never mix.
    std::string record = "<" + std::to_string(static_cast<int>(priority)) + ">";
    record.append(line).push_back('\n');
    ssize_t n;
    do {
      n = ::write(options_.journal_fd, record.data(), record.size());
    } while (n < 0 && errno == EINTR);
  } catch (...) {
    // The journal's copy is best effort, like the log itself.
  }
}

}  // namespace tolvenar
