#include "env/windows/winhttp_test_trust.h"

#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>
#include <winhttp.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/exception.h"
#include "env/windows/env_windows.h"

namespace tolvenar {
namespace {

struct StoreClose {
  void operator()(HCERTSTORE store) const { CertCloseStore(store, 0); }
};
using Store = std::unique_ptr<std::remove_pointer_t<HCERTSTORE>, StoreClose>;

struct ChainFree {
  void operator()(PCCERT_CHAIN_CONTEXT chain) const { CertFreeCertificateChain(chain); }
};
using Chain = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree>;

}  // namespace

Certificate LoadPemCertificate(const std::string& pem_file) {
  std::ifstream in(std::filesystem::path(Utf8ToWide(pem_file)), std::ios::binary);
  const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  DWORD size = 0;
  if (pem.empty() ||
      !CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            nullptr, &size, nullptr, nullptr)) {
    throw Exception("No certificate in " + pem_file);
  }
  std::vector<BYTE> der(size);
  CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                       der.data(), &size, nullptr, nullptr);
  Certificate certificate(
      CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(), size));
  if (!certificate) throw Exception("No certificate in " + pem_file);
  return certificate;
}

TestRoot::TestRoot(const std::string& pem_file) : root_(LoadPemCertificate(pem_file)) {}

bool TestRoot::Proves(PCCERT_CONTEXT server, const std::wstring& host) const {
  if (!server) return false;
  Store extra(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  if (!extra || !CertAddCertificateContextToStore(extra.get(), root_.get(),
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
    return false;
  }
  if (server->hCertStore) {
    // The intermediates the server sent with its certificate.
    PCCERT_CONTEXT sent = nullptr;
    while ((sent = CertEnumCertificatesInStore(server->hCertStore, sent)) != nullptr) {
      CertAddCertificateContextToStore(extra.get(), sent, CERT_STORE_ADD_USE_EXISTING, nullptr);
    }
  }

  char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
  LPSTR usages[] = {server_auth};
  CERT_CHAIN_PARA para = {};
  para.cbSize = sizeof(para);
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT raw_chain = nullptr;
  if (!CertGetCertificateChain(nullptr, server, nullptr, extra.get(), &para, 0, nullptr,
                               &raw_chain)) {
    return false;
  }
  Chain chain(raw_chain);
  if (chain->cChain != 1 || chain->rgpChain[0]->cElement == 0) return false;
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  PCCERT_CONTEXT top = simple->rgpElement[simple->cElement - 1]->pCertContext;
  if (!CertCompareCertificate(X509_ASN_ENCODING, top->pCertInfo, root_->pCertInfo)) return false;
  if ((chain->TrustStatus.dwErrorStatus & ~CERT_TRUST_IS_UNTRUSTED_ROOT) != 0) return false;

  // Host name, dates and usage, with only the unknown root forgiven.
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
  ssl.cbSize = sizeof(ssl);
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.fdwChecks = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
  ssl.pwszServerName = const_cast<wchar_t*>(host.c_str());
  CERT_CHAIN_POLICY_PARA policy = {};
  policy.cbSize = sizeof(policy);
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status = {};
  status.cbSize = sizeof(status);
  return CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &status) &&
         status.dwError == 0;
}

}  // namespace tolvenar
