// Trusted root certificates as OpenSSL stores shared by many connections.
//
// Left to itself, curl parses the whole CA bundle again for every
// connection, which costs more CPU than the rest of an exchange. The cache
// builds one store per bundle and hands it to every connection for an
// hour; after that the next connection builds it again, so that an updated
// bundle is taken up without a restart.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

struct x509_store_st;

namespace tolvenar {

using SharedRootStore = std::shared_ptr<x509_store_st>;

class TrustedRootCache {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::hours kMaxAge{1};

  // The process's cache.
  static TrustedRootCache& Process();

  // The store of the PEM bundle `ca_file` plus the hashed folder `ca_path`
  // (either may be empty), built at most kMaxAge before `now`; nullptr when
  // neither can be read, so that the caller can leave the loading, and its
  // failure, to curl.
  SharedRootStore Get(const std::string& ca_file, const std::string& ca_path,
                      Clock::time_point now);

  // How many times a store was built, or tried and could not be.
  int builds() const;

 private:
  mutable std::mutex mutex_;
  std::string file_, path_;
  SharedRootStore store_;
  Clock::time_point built_at_;
  int builds_ = 0;
};

}  // namespace tolvenar
