// The Env of the configuration tests: the real platform for files, the
// executable's folder moved to a temporary folder, and a reversible data
// protection so these tests need no machine key.
#pragma once

#include <atomic>
#include <string>

#include "base/exception.h"
#include "env/env.h"

namespace tolvenar::config_testing {

// A literal's bytes, NULs included.
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

// "PROT<n>:" followed by the plain bytes, n counting the calls, so that two
// protections of one secret differ as the real ones may.
class CountingProtector : public DataProtector {
 public:
  std::string Protect(const std::string& plain) override {
    if (fail_) throw EOSError(5, "Access is denied.");
    return "PROT" + std::to_string(++protect_calls_) + ":" + plain;
  }
  std::string Unprotect(const std::string& blob) override {
    const size_t colon = blob.find(':');
    if (!blob.starts_with("PROT") || colon == std::string::npos) {
      throw EOSError(13, "The data is invalid.");
    }
    return blob.substr(colon + 1);
  }
  int protect_calls() const { return protect_calls_; }
  void FailProtect(bool fail) { fail_ = fail; }

 private:
  std::atomic<int> protect_calls_{0};
  std::atomic<bool> fail_{false};
};

class ConfigTestEnv : public EnvWrapper {
 public:
  explicit ConfigTestEnv(std::string dir) : EnvWrapper(Env::Default()), dir_(std::move(dir)) {}
  std::string ExecutableDir() override { return dir_; }
  DataProtector& Protector() override { return protector_; }
  CountingProtector& protector() { return protector_; }

 private:
  std::string dir_;
  CountingProtector protector_;
};

}  // namespace tolvenar::config_testing
