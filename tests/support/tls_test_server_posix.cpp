// HTTPS test server of the Linux build: cpp-httplib's SSLServer with a key
// pair and certificate chain made with libcrypto at start.
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "env/posix/curl_transport.h"
#include "support/temp_dir.h"
#include "support/tls_test_server.h"

namespace tolvenar::testing {

namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
  void operator()(X509* cert) const { X509_free(cert); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what + " failed");
}

Key NewKey() {
  Key key(EVP_EC_gen("P-256"));
  Check(key != nullptr, "EVP_EC_gen");
  return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
  Check(extension != nullptr, "X509V3_EXT_conf_nid");
  const int added = X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
  Check(added == 1, "X509_add_ext");
}

// A certificate for `key` named `common_name`, signed by `issuer` (itself
// when `issuer` is nullptr).
Cert NewCertificate(EVP_PKEY* key, const char* common_name, X509* issuer, bool expired) {
  static std::atomic<long> serial{1};
  Cert cert(X509_new());
  Check(cert != nullptr, "X509_new");
  X509* x = cert.get();
  Check(X509_set_version(x, 2) == 1, "X509_set_version");
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
  const long day = 24 * 60 * 60;
  X509_gmtime_adj(X509_getm_notBefore(x), expired ? -2 * day : -60 * 60);
  X509_gmtime_adj(X509_getm_notAfter(x), expired ? -day : day);
  Check(X509_set_pubkey(x, key) == 1, "X509_set_pubkey");
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0);
  Check(X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name) == 1,
        "X509_set_issuer_name");
  return cert;
}

void Sign(X509* cert, EVP_PKEY* key) { Check(X509_sign(cert, key, EVP_sha256()) > 0, "X509_sign"); }

std::string SubjectAltNames(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) text += ",";
    const bool ip = name.find_first_not_of("0123456789.") == std::string::npos ||
                    name.find(':') != std::string::npos;
    text += (ip ? "IP:" : "DNS:") + name;
  }
  return text;
}

void WritePem(const std::string& path, X509* cert) {
  FILE* file = std::fopen(path.c_str(), "wb");
  Check(file != nullptr, "fopen");
  const int written = PEM_write_X509(file, cert);
  std::fclose(file);
  Check(written == 1, "PEM_write_X509");
}

class HttplibTlsServer : public TlsTestServer {
 public:
  HttplibTlsServer(TlsHandler handler, const TlsServerOptions& options) {
    Key ca_key = NewKey();
    Cert ca = NewCertificate(ca_key.get(), "Tolvenar Test CA", nullptr, false);
    AddExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
    Sign(ca.get(), ca_key.get());

    Key key = NewKey();
    Cert cert = NewCertificate(key.get(), options.names.empty() ? "none" : options.names[0].c_str(),
                               ca.get(), options.expired);
    AddExtension(cert.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), ca.get(), NID_key_usage, "critical,digitalSignature");
    AddExtension(cert.get(), ca.get(), NID_ext_key_usage, "serverAuth");
    if (!options.names.empty()) {
      AddExtension(cert.get(), ca.get(), NID_subject_alt_name, SubjectAltNames(options.names));
    }
    AddExtension(cert.get(), ca.get(), NID_authority_key_identifier, "keyid:always");
    Sign(cert.get(), ca_key.get());

    ca_file_ = dir_.File("ca.pem");
    WritePem(ca_file_, ca.get());

    // SSLServer takes its own references to the certificate and key.
    server_ = std::make_unique<httplib::SSLServer>(cert.get(), key.get());
    Check(server_->is_valid(), "SSLServer");
    const auto handle = [handler](const httplib::Request& request, httplib::Response& response) {
      TlsAnswer answer = handler(request.method, request.target);
      response.status = answer.status;
      for (const auto& [name, value] : answer.headers) response.set_header(name, value);
      response.body = std::move(answer.body);
    };
    server_->Get(".*", handle);
    server_->Post(".*", handle);
    port_ = server_->bind_to_any_port("127.0.0.1");
    Check(port_ > 0, "bind_to_any_port");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  ~HttplibTlsServer() override {
    server_->stop();
    thread_.join();
  }

  int port() const override { return port_; }
  std::string Url(std::string_view path_query) const override {
    return "https://127.0.0.1:" + std::to_string(port_) + std::string(path_query);
  }
  std::string CaFile() const override { return ca_file_; }
  long ResumedHandshakes() const override { return SSL_CTX_sess_hits(server_->ssl_context()); }

 private:
  TempDir dir_;
  std::string ca_file_;
  std::unique_ptr<httplib::SSLServer> server_;
  int port_ = 0;
  std::thread thread_;
};

class TrustingEnv : public EnvWrapper {
 public:
  explicit TrustingEnv(std::string ca_file)
      : EnvWrapper(Env::Default()), ca_file_(std::move(ca_file)) {}
  std::unique_ptr<HttpTransport> NewHttpTransport() override {
    CurlTransportOptions options;
    options.test_ca_file = ca_file_;
    return NewCurlTransport(options);
  }

 private:
  std::string ca_file_;
};

}  // namespace

std::unique_ptr<TlsTestServer> StartTlsTestServer(TlsHandler handler, TlsServerOptions options) {
  return std::make_unique<HttplibTlsServer>(std::move(handler), options);
}

std::unique_ptr<Env> NewEnvTrustingCa(const std::string& ca_file) {
  return std::make_unique<TrustingEnv>(ca_file);
}

}  // namespace tolvenar::testing
