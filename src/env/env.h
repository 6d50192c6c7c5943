// Everything the connector needs of the operating system, behind one
// interface. The build links exactly one implementation (POSIX or Windows);
// tests substitute fakes, usually through EnvWrapper.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "env/data_protector.h"
#include "env/http_transport.h"

namespace tolvenar {

// How far the activity log may grow: when an entry would take the file past
// max_bytes, the file first becomes its first older generation
// ("TolvenarConnector.1.log"), the older ones move one place up and the one
// past older_files is removed. max_bytes 0: no limit.
struct LogRotation {
  uint64_t max_bytes = 0;
  int older_files = 0;
};

// "<folder>/<stem>.<generation><ext>" for "<folder>/<stem><ext>": older log
// files keep the extension, so they still open as logs.
std::string LogGenerationPath(const std::string& path, int generation);

// How reading a whole file went.
struct FileRead {
  enum class Outcome {
    kRead,      // the bytes are there
    kMissing,   // nothing at the path, or a folder
    kTooLarge,  // larger than the limit: not read
    kFailed,    // there, and could not be read
  };
  Outcome outcome = Outcome::kFailed;
  uint64_t size = 0;  // kTooLarge: the size found (at least limit + 1)
  std::string error;  // kFailed: the system's reason, on one line
};

// Something the running account does not control alone, found by
// Env::FindForeignControl.
struct ForeignControl {
  enum class Kind {
    kOwner,          // belongs to another account: `account`
    kGroupWritable,  // another group may change it: `account` names it
    kOtherWritable,  // any account may change it
  };
  std::string path;
  Kind kind = Kind::kOwner;
  std::string account;  // user or group name; its number when it has none
};

// Syslog's priorities, for the journal's copy of an activity entry.
enum class JournalPriority { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6 };

// How reading the end of a file went.
enum class TailRead { kRead, kMissing, kUnreadable };

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

class Env {
 public:
  virtual ~Env() = default;

  // The platform's implementation, created on first use, never destroyed.
  static Env* Default();

  // --- process ---
  // Folder of the running executable, with a trailing path separator.
  virtual std::string ExecutableDir() = 0;
  // File name of the running executable, with extension, without folder.
  virtual std::string ExecutableName() = 0;
  // Command-line parameters 1..n (parameter 0, the program, left out).
  virtual std::vector<std::string> CommandLineParams() = 0;
  // Equal ignoring case, by the user's locale (non-ASCII letters too).
  virtual bool SameTextIgnoreCase(std::string_view a, std::string_view b) = 0;
  // File name of the module holding `address`, and its offset there.
  virtual void ModuleOfAddress(const void* address, std::string* module_name,
                               unsigned long long* offset) = 0;

  // --- clock, locale, pauses ---
  virtual LocalTime Now() = 0;
  // The regional time separator in force at start ("" gives ":").
  virtual std::string TimeSeparator() = 0;
  // A plain sleep; nothing cuts it short.
  virtual void SleepMs(int milliseconds) = 0;

  // --- files (paths are UTF-8) ---
  // True only for an existing regular file (not a directory).
  virtual bool FileExists(const std::string& path) = 0;
  // A whole regular file of at most `max_bytes` into `bytes`, its size
  // checked before anything is read; `bytes` is set only for kRead. Never
  // blocks on a FIFO or a device put at the path.
  virtual FileRead ReadFile(const std::string& path, uint64_t max_bytes, std::string* bytes) = 0;
  // Whole file into `bytes`, of any size; false when it cannot be read.
  bool ReadFile(const std::string& path, std::string* bytes) {
    return ReadFile(path, UINT64_MAX, bytes).outcome == FileRead::Outcome::kRead;
  }
  // The last `max_bytes` of a file (all of it when smaller) into `tail`, and
  // its size. Never hinders a writer, a rotation or a removal, never waits,
  // and follows no link: a link, a folder, a pipe or a device is
  // kUnreadable.
  virtual TailRead ReadFileTail(const std::string& path, size_t max_bytes, std::string* tail,
                                uint64_t* size) = 0;
  // Replaces the file with `bytes` atomically (temporary file in the same
  // folder, flushed, renamed over). False on any failure; the old file then
  // stays as it was.
  virtual bool ReplaceFile(const std::string& path, const std::string& bytes) = 0;
  // Appends `bytes` in one write, with the activity log's sharing rules;
  // false when the entry could not be written whole. Linux writes only into
  // a regular file of the running account with a single link; a link, a
  // FIFO, a device, a folder or another account's file at the path is left
  // alone, and the first such refusal of the process goes to syslog with
  // its reason. Appends of one process
  // wait for each other; a file another process holds is waited for
  // briefly. With a `rotation` limit the file is rotated first when the
  // entry would take it past the limit, safely between processes: each
  // rotation happens once, and every entry lands in some generation.
  virtual bool AppendToFile(const std::string& path, std::string_view bytes,
                            const LogRotation& rotation) = 0;
  bool AppendToFile(const std::string& path, std::string_view bytes) {
    return AppendToFile(path, bytes, LogRotation{});
  }

  // Run by root on Linux: the first of `paths`, in order, that another
  // account owns or that a group other than root's, or any account, may
  // change (links are not followed; a path that does not exist is passed
  // over). For a folder its ancestors count too, save where a sticky bit
  // keeps others from renaming what is in them. Nothing for any other
  // account, and on Windows.
  virtual std::optional<ForeignControl> FindForeignControl(
      const std::vector<std::string>& paths) = 0;

  // --- services ---
  virtual DataProtector& Protector() = 0;
  // A new HTTP transport; raises Exception("Error obtaining session handle")
  // when the platform's client cannot be set up.
  virtual std::unique_ptr<HttpTransport> NewHttpTransport() = 0;

  // --- console ---
  // Writes text (UTF-8) to standard output in the platform's console
  // encoding and flushes; raises EInOutError when the stream is unusable.
  virtual void WriteStdOut(std::string_view text) = 0;
  // Writes text to standard error in the encoding of the error report.
  virtual void WriteStdErr(std::string_view text) = 0;
  // Reads one line from standard input and discards it; returns at a line
  // feed or at the end of input; raises EInOutError on a read error.
  virtual void ReadLineFromStdIn() = 0;
  // Under systemd, whose journal reads standard error (Linux, JOURNAL_STREAM
  // names that stream): one journal entry with this priority; `line` holds
  // no line break. Nothing elsewhere; never raises.
  virtual void WriteJournal(JournalPriority priority, std::string_view line) = 0;
};

// Forwards every call to another Env; tests override what they fake.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  std::string ExecutableDir() override { return target_->ExecutableDir(); }
  std::string ExecutableName() override { return target_->ExecutableName(); }
  std::vector<std::string> CommandLineParams() override { return target_->CommandLineParams(); }
  bool SameTextIgnoreCase(std::string_view a, std::string_view b) override {
    return target_->SameTextIgnoreCase(a, b);
  }
  void ModuleOfAddress(const void* address, std::string* module_name,
                       unsigned long long* offset) override {
    target_->ModuleOfAddress(address, module_name, offset);
  }
  LocalTime Now() override { return target_->Now(); }
  std::string TimeSeparator() override { return target_->TimeSeparator(); }
  void SleepMs(int milliseconds) override { target_->SleepMs(milliseconds); }
  bool FileExists(const std::string& path) override { return target_->FileExists(path); }
  using Env::ReadFile;
  FileRead ReadFile(const std::string& path, uint64_t max_bytes, std::string* bytes) override {
    return target_->ReadFile(path, max_bytes, bytes);
  }
  TailRead ReadFileTail(const std::string& path, size_t max_bytes, std::string* tail,
                        uint64_t* size) override {
    return target_->ReadFileTail(path, max_bytes, tail, size);
  }
  bool ReplaceFile(const std::string& path, const std::string& bytes) override {
    return target_->ReplaceFile(path, bytes);
  }
  using Env::AppendToFile;
  bool AppendToFile(const std::string& path, std::string_view bytes,
                    const LogRotation& rotation) override {
    return target_->AppendToFile(path, bytes, rotation);
  }
  std::optional<ForeignControl> FindForeignControl(const std::vector<std::string>& paths) override {
    return target_->FindForeignControl(paths);
  }
  DataProtector& Protector() override { return target_->Protector(); }
  std::unique_ptr<HttpTransport> NewHttpTransport() override { return target_->NewHttpTransport(); }
  void WriteStdOut(std::string_view text) override { target_->WriteStdOut(text); }
  void WriteStdErr(std::string_view text) override { target_->WriteStdErr(text); }
  void ReadLineFromStdIn() override { target_->ReadLineFromStdIn(); }
  void WriteJournal(JournalPriority priority, std::string_view line) override {
    target_->WriteJournal(priority, line);
  }

 private:
  Env* target_;
};

}  // namespace tolvenar
