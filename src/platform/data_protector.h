// Machine-bound protection of small secrets.
#pragma once

#include <string>

namespace tolvenar {

class DataProtector {
 public:
  virtual ~DataProtector() = default;
  // Bytes protected on this computer unprotect to the same bytes on this
  // computer, for any account; they fail elsewhere or after any alteration.
  // Both raise EOSError on failure. Both are safe to call from any thread.
  virtual std::string Protect(const std::string& plain) = 0;
  virtual std::string Unprotect(const std::string& blob) = 0;
};

}  // namespace tolvenar
