// PosixEnv: the Env of Linux. Its methods are spread over the files of this
// folder, one platform service each.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "env/env.h"

namespace tolvenar {

// The machine key's folder is /var/lib/<this>: the service's state
// directory, which the systemd unit names too.
inline constexpr const char* kStateDirectoryName = "tolvenar-connector";

struct PosixEnvOptions {
  // Machine key of the data protection; tests point it elsewhere.
  std::string machine_key_path = std::string("/var/lib/") + kStateDirectoryName + "/machine.key";
  // Where the first refused log file of the process is reported; syslog
  // when empty.
  std::function<void(const std::string&)> report_refused_log;
  // The stream systemd's journal may read (JOURNAL_STREAM); tests use a file.
  int journal_fd = 2;
};

class PosixEnv : public Env {
 public:
  explicit PosixEnv(PosixEnvOptions options = {});
  ~PosixEnv() override;

  std::string ExecutableDir() override;
  std::string ExecutableName() override;
  std::vector<std::string> CommandLineParams() override;
  bool SameTextIgnoreCase(std::string_view a, std::string_view b) override;
  void ModuleOfAddress(const void* address, std::string* module_name,
                       unsigned long long* offset) override;

  LocalTime Now() override;
  std::string TimeSeparator() override;
  void SleepMs(int milliseconds) override;

  // files_posix.cpp
  bool FileExists(const std::string& path) override;
  using Env::ReadFile;
  FileRead ReadFile(const std::string& path, uint64_t max_bytes, std::string* bytes) override;
  TailRead ReadFileTail(const std::string& path, size_t max_bytes, std::string* tail,
                        uint64_t* size) override;
  bool ReplaceFile(const std::string& path, const std::string& bytes) override;
  using Env::AppendToFile;
  bool AppendToFile(const std::string& path, std::string_view bytes,
                    const LogRotation& rotation) override;

  // foreign_control_posix.cpp
  std::optional<ForeignControl> FindForeignControl(const std::vector<std::string>& paths) override;

  DataProtector& Protector() override;
  std::unique_ptr<HttpTransport> NewHttpTransport() override;

  // console_posix.cpp
  void WriteStdOut(std::string_view text) override;
  void WriteStdErr(std::string_view text) override;
  void ReadLineFromStdIn() override;
  void WriteJournal(JournalPriority priority, std::string_view line) override;

 private:
  void ReportRefusedLog(const std::string& path, const std::string& reason);

  PosixEnvOptions options_;
  std::atomic<bool> log_refusal_reported_{false};
  bool journal_on_ = false;  // journal_fd is the journal's stream
  std::unique_ptr<DataProtector> protector_;
};

// Whether `fd` is the stream that JOURNAL_STREAM names (console_posix.cpp).
bool JournalIsOn(int fd);

// The data protection of Linux (machine_key_protector.cpp).
std::unique_ptr<DataProtector> NewMachineKeyProtector(const std::string& key_path);

}  // namespace tolvenar
