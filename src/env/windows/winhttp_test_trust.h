// Tests only: an extra root that a server certificate may chain to. The
// product never creates one and trusts the platform's roots alone.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

#include <memory>
#include <string>

namespace tolvenar {

struct CertificateFree {
  void operator()(PCCERT_CONTEXT certificate) const { CertFreeCertificateContext(certificate); }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertificateFree>;

// The first certificate of a PEM file; raises Exception when it holds none.
Certificate LoadPemCertificate(const std::string& pem_file);

class TestRoot {
 public:
  // The first certificate of `pem_file`.
  explicit TestRoot(const std::string& pem_file);

  // True only when `server` (with the intermediates its store holds) chains
  // to this root with no error other than the root being unknown to the
  // platform, is valid now, fits server authentication and names `host`.
  bool Proves(PCCERT_CONTEXT server, const std::wstring& host) const;

 private:
  Certificate root_;
};

}  // namespace tolvenar
