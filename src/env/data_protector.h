// Machine-bound protection of small secrets.
#pragma once

#include <string>

#include "base/exception.h"

namespace tolvenar {

class DataProtector {
 public:
  virtual ~DataProtector() = default;
  // Bytes protected on this computer unprotect to the same bytes on this
  // computer, for any account; they fail elsewhere or after any alteration.
  // Both raise EOSError on failure. Both are safe to call from any thread.
  virtual std::string Protect(const std::string& plain) = 0;
  virtual std::string Unprotect(const std::string& blob) = 0;

  // Whether a secret can be protected and unprotected here, found without
  // creating or changing anything: a sample goes through both. Where the
  // first protection would create something (a key), only whether it could
  // be created is checked. Raises EOSError as Protect or Unprotect would.
  virtual void CheckRoundTrip() {
    const std::string sample = "TolvenarConnector";
    if (Unprotect(Protect(sample)) != sample) throw EOSError(13, "The data is invalid.");
  }
};

}  // namespace tolvenar
