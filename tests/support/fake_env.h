// FakeEnv: an Env for tests of the portable core. It keeps files on the real
// file system (in a folder the test gives) and fakes the clock, the pauses,
// the data protection and, when a handler is set, the HTTP transport.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "env/env.h"

namespace tolvenar::testing {

// Reversible stand-in for the machine's data protection.
class FakeProtector : public DataProtector {
 public:
  std::string Protect(const std::string& plain) override;
  // Raises EOSError for a block that does not start with the marker.
  std::string Unprotect(const std::string& blob) override;
  int calls() const { return calls_; }
  // From now on Protect raises EOSError(13), as a key folder that cannot be
  // trusted makes the real one do; Unprotect still works.
  void FailProtect(bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_protect_ = fail;
  }

 private:
  std::mutex mutex_;
  int calls_ = 0;
  bool fail_protect_ = false;
};

// Answers requests with a handler and records every request it saw.
class FakeHttp {
 public:
  using Handler = std::function<HttpResponse(const HttpRequest&)>;
  void SetHandler(Handler handler);
  std::vector<HttpRequest> Requests();
  void ClearRequests();
  std::unique_ptr<HttpTransport> NewTransport();

 private:
  friend class FakeTransport;
  HttpResponse Handle(const HttpRequest& request);
  std::mutex mutex_;
  Handler handler_;
  std::vector<HttpRequest> requests_;
};

class FakeEnv : public EnvWrapper {
 public:
  // Files live under `dir` (with a trailing separator).
  explicit FakeEnv(std::string dir);

  std::string ExecutableDir() override { return dir_; }
  LocalTime Now() override { return now_; }
  std::string TimeSeparator() override { return separator_; }
  void SleepMs(int milliseconds) override;
  DataProtector& Protector() override { return protector_; }
  std::unique_ptr<HttpTransport> NewHttpTransport() override { return http_.NewTransport(); }

  void SetNow(LocalTime now) { now_ = now; }
  void SetTimeSeparator(std::string separator) { separator_ = std::move(separator); }
  // Called on every pause, on the pausing thread; the default returns at once.
  void OnSleep(std::function<void(int)> on_sleep) { on_sleep_ = std::move(on_sleep); }
  std::vector<int> Sleeps();
  FakeHttp& http() { return http_; }
  FakeProtector& protector() { return protector_; }

 private:
  std::string dir_;
  LocalTime now_{2026, 12, 10, 9, 5, 7};
  std::string separator_ = ":";
  std::mutex mutex_;
  std::vector<int> sleeps_;
  std::function<void(int)> on_sleep_;
  FakeProtector protector_;
  FakeHttp http_;
};

}  // namespace tolvenar::testing
