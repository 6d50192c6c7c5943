// Runs a program for end-to-end tests (Linux only): feeds its standard
// input, collects its output, and kills it if it outlives a deadline.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace tolvenar::testing {

struct ProcessResult {
  int exit_code = -1;  // -1 when killed at the deadline or by a signal
  bool timed_out = false;
  std::string out, err;
};

class Process {
 public:
  // Starts argv[0] (a path) with the given arguments in `cwd`.
  Process(const std::vector<std::string>& argv, const std::string& cwd,
          const std::vector<std::string>& extra_env = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  int pid() const { return pid_; }
  void WriteStdIn(const std::string& bytes);
  void CloseStdIn();
  // Waits for the end (killing the process at the deadline), collects output.
  ProcessResult Wait(std::chrono::milliseconds deadline);
  // Reads what standard output has produced so far, waiting up to `wait`
  // for `needle` to appear; true when it did.
  bool WaitForOutput(const std::string& needle, std::chrono::milliseconds wait);
  const std::string& out_so_far() const { return out_; }

 private:
  void Pump(int timeout_ms);
  int pid_ = -1;
  int in_ = -1, out_fd_ = -1, err_fd_ = -1;
  std::string out_, err_;
  bool reaped_ = false;
  int status_ = 0;
};

// Convenience: run to completion with `input` on standard input.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::string& input, std::chrono::milliseconds deadline);

// The Wine runner script and whether this machine can run Windows binaries.
std::string WineRunner();

}  // namespace tolvenar::testing
