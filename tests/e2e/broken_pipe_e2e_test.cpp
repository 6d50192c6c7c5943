// The Linux executable in console mode with standard output a pipe that
// nobody reads any more: the console line cannot be written, which must be
// reported like any other unusable stream rather than end the process by a
// signal.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "env/posix/unique_fd.h"
#include "support/connector_e2e.h"
#include "support/e2e_targets.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

using ::testing::MatchesRegex;

struct Outcome {
  bool exited = false;
  int exit_code = -1;
  int signal = 0;
  bool timed_out = false;
  std::string err;
};

// Runs `argv` in `cwd` with standard output the write end of a pipe whose
// read end is already closed, standard input a pipe held open (so only the
// failed write can end the run early) and standard error collected. The
// child gets SIGPIPE back at its default action, whatever this process did
// with it, so the test sees what a shell pipeline would.
Outcome RunWithClosedStdOut(const std::vector<std::string>& argv, const std::string& cwd) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  ::close(out[0]);  // the reader has gone before the program starts
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  const UniqueFd stdin_writer(in[1]);
  UniqueFd stderr_reader(err[0]);

  Outcome outcome;
  const auto end = std::chrono::steady_clock::now() + testing::kE2ELimit;
  // Standard error ends when the program does.
  while (stderr_reader.valid()) {
    if (std::chrono::steady_clock::now() >= end) {
      outcome.timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd fd{stderr_reader.get(), POLLIN, 0};
    if (::poll(&fd, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(stderr_reader.get(), buffer, sizeof buffer);
    if (n > 0) {
      outcome.err.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      stderr_reader.reset();
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  outcome.exited = WIFEXITED(status);
  outcome.exit_code = outcome.exited ? WEXITSTATUS(status) : -1;
  outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return outcome;
}

TEST(BrokenPipeE2ETest, ConsoleLineIntoAClosedPipeIsReportedWithExitCodeOne) {
  const testing::ConnectorTarget linux_target = testing::ConnectorTargets().at(0);
  ASSERT_FALSE(linux_target.under_wine);
  if (!linux_target.available()) GTEST_SKIP() << "Linux build not present";
  testing::TempDir dir;
  linux_target.InstallInto(dir);
  // A profile that starts a worker; nothing listens on port 9.
  dir.Write("TolvenarConnector.ini",
            testing::IniSection("Connector", "http://127.0.0.1:9", "http://127.0.0.1:9",
                                "12345678000195", "abc"));

  const Outcome outcome = RunWithClosedStdOut(linux_target.Command(dir, {"-console"}), dir.Dir());

  ASSERT_FALSE(outcome.timed_out) << outcome.err;
  EXPECT_EQ(outcome.signal, 0) << "ended by signal " << outcome.signal;
  ASSERT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.exit_code, 1) << outcome.err;
  EXPECT_THAT(outcome.err, MatchesRegex("Exception EInOutError in module TolvenarConnector at "
                                        "[0-9A-F]{8}\\.\r\nBroken pipe\\.\r\n\r\n"));
}

}  // namespace
}  // namespace tolvenar
