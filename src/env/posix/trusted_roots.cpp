#include "env/posix/trusted_roots.h"

#include <openssl/x509_vfy.h>

namespace tolvenar {

namespace {

// The same verification flags curl sets on a store it builds itself.
SharedRootStore Build(const std::string& ca_file, const std::string& ca_path) {
  SharedRootStore store(X509_STORE_new(), X509_STORE_free);
  if (!store) return nullptr;
  X509_STORE_set_flags(store.get(), X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN);
  bool loaded = false;
  if (!ca_file.empty() && X509_STORE_load_file(store.get(), ca_file.c_str()) == 1) loaded = true;
  if (!ca_path.empty() && X509_STORE_load_path(store.get(), ca_path.c_str()) == 1) loaded = true;
  return loaded ? store : nullptr;
}

}  // namespace

TrustedRootCache& TrustedRootCache::Process() {
  static TrustedRootCache cache;
  return cache;
}

SharedRootStore TrustedRootCache::Get(const std::string& ca_file, const std::string& ca_path,
                                      Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (store_ && file_ == ca_file && path_ == ca_path && now - built_at_ < kMaxAge) return store_;
  // Built under the lock: the threads that wait would otherwise each build
  // the same store.
  SharedRootStore store = Build(ca_file, ca_path);
  ++builds_;
  if (!store) return nullptr;
  file_ = ca_file;
  path_ = ca_path;
  store_ = store;
  built_at_ = now;
  return store;
}

int TrustedRootCache::builds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return builds_;
}

}  // namespace tolvenar
