// WindowsEnv: the Env of Windows. Its methods are spread over the files of
// this folder, one platform service each.
#pragma once

#include <memory>
#include <string>

#include "env/env.h"

namespace tolvenar {

class WindowsEnv : public Env {
 public:
  WindowsEnv();
  ~WindowsEnv() override;

  std::string ExecutableDir() override;
  std::string ExecutableName() override;
  std::vector<std::string> CommandLineParams() override;
  bool SameTextIgnoreCase(std::string_view a, std::string_view b) override;
  void ModuleOfAddress(const void* address, std::string* module_name,
                       unsigned long long* offset) override;

  LocalTime Now() override;
  std::string TimeSeparator() override;
  void SleepMs(int milliseconds) override;

  // files_windows.cpp
  bool FileExists(const std::string& path) override;
  using Env::ReadFile;
  FileRead ReadFile(const std::string& path, uint64_t max_bytes, std::string* bytes) override;
  TailRead ReadFileTail(const std::string& path, size_t max_bytes, std::string* tail,
                        uint64_t* size) override;
  bool ReplaceFile(const std::string& path, const std::string& bytes) override;
  using Env::AppendToFile;
  bool AppendToFile(const std::string& path, std::string_view bytes,
                    const LogRotation& rotation) override;

  // Windows has no root reading an account's folder: nothing to refuse.
  std::optional<ForeignControl> FindForeignControl(const std::vector<std::string>&) override {
    return std::nullopt;
  }

  DataProtector& Protector() override;
  std::unique_ptr<HttpTransport> NewHttpTransport() override;

  // console_windows.cpp
  void WriteStdOut(std::string_view text) override;
  void WriteStdErr(std::string_view text) override;
  void ReadLineFromStdIn() override;
  // The event log takes only service-level failures: no journal here.
  void WriteJournal(JournalPriority, std::string_view) override {}

 private:
  std::unique_ptr<DataProtector> protector_;
  std::string time_separator_;
};

// The platform's data protection, DPAPI in machine scope (dpapi_protector.cpp).
std::unique_ptr<DataProtector> NewDpapiProtector();

// UTF-8 <-> UTF-16 (wide_text.cpp).
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);

}  // namespace tolvenar
