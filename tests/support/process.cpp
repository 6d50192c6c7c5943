#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace tolvenar::testing {

Process::Process(const std::vector<std::string>& argv, const std::string& cwd,
                 const std::vector<std::string>& extra_env) {
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
  for (const std::string& e : extra_env) env_strings.push_back(e);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : env_strings) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    execve(argv[0].c_str(), args.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_ = in[1];
  out_fd_ = out[0];
  err_fd_ = err[0];
  signal(SIGPIPE, SIG_IGN);
}

Process::~Process() {
  if (!reaped_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
  for (int fd : {in_, out_fd_, err_fd_})
    if (fd >= 0) close(fd);
}

void Process::WriteStdIn(const std::string& bytes) {
  if (in_ >= 0 && write(in_, bytes.data(), bytes.size()) < 0) {
    // The program may already have ended; its result tells.
  }
}

void Process::CloseStdIn() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

// poll() skips entries whose descriptor is negative, so a stream that has
// ended is simply ignored.
void Process::Pump(int timeout_ms) {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (poll(fds, 2, timeout_ms) <= 0) return;
  char buffer[4096];
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP))) {
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) (i == 0 ? out_ : err_).append(buffer, static_cast<size_t>(n));
      if (n == 0 || (n < 0 && errno != EINTR)) {
        close(fds[i].fd);
        (i == 0 ? out_fd_ : err_fd_) = -1;
      }
    }
  }
}

bool Process::WaitForOutput(const std::string& needle, std::chrono::milliseconds wait) {
  const auto end = std::chrono::steady_clock::now() + wait;
  while (out_.find(needle) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= end || out_fd_ < 0) return false;
    Pump(50);
  }
  return true;
}

ProcessResult Process::Wait(std::chrono::milliseconds deadline) {
  ProcessResult result;
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (out_fd_ >= 0 || err_fd_ >= 0) {
    if (std::chrono::steady_clock::now() >= end) {
      result.timed_out = true;
      kill(pid_, SIGKILL);
      break;
    }
    Pump(50);
  }
  waitpid(pid_, &status_, 0);
  reaped_ = true;
  result.exit_code = (!result.timed_out && WIFEXITED(status_)) ? WEXITSTATUS(status_) : -1;
  result.out = out_;
  result.err = err_;
  return result;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::string& input, std::chrono::milliseconds deadline) {
  Process process(argv, cwd);
  process.WriteStdIn(input);
  process.CloseStdIn();
  return process.Wait(deadline);
}

std::string WineRunner() { return std::string(TC_SOURCE_DIR) + "/scripts/wine-run.sh"; }

}  // namespace tolvenar::testing
