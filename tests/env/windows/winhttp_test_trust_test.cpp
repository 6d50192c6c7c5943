// The test-only root: a certificate counts as proven only when it chains to
// that root and is fit for the host in every other respect.
#include "env/windows/winhttp_test_trust.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/exception.h"

namespace tolvenar {
namespace {

std::string TlsFile(const std::string& name) {
  return std::string(TC_SOURCE_DIR) + "/tests/env/windows/tls/" + name;
}

TEST(WinHttpTestRootTest, ProvesOnlyAChainToItselfForTheNamedHost) {
  struct Case {
    std::string root;
    std::string server;
    std::wstring host;
    bool proven;
  };
  const std::vector<Case> cases = {
      {"test_root.pem", "localhost.pem", L"localhost", true},
      {"test_root.pem", "localhost.pem", L"LOCALHOST", true},
      {"test_root.pem", "localhost.pem", L"example.com", false},
      {"other_root.pem", "localhost.pem", L"localhost", false},
      {"test_root.pem", "expired.pem", L"localhost", false},
      {"test_root.pem", "client_only.pem", L"localhost", false},
      {"test_root.pem", "other_root.pem", L"localhost", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.root + " " + c.server);
    const TestRoot root(TlsFile(c.root));
    const Certificate server = LoadPemCertificate(TlsFile(c.server));
    EXPECT_EQ(root.Proves(server.get(), c.host), c.proven);
  }
}

TEST(WinHttpTestRootTest, FileWithoutCertificateIsRefused) {
  EXPECT_THROW(TestRoot(TlsFile("make_certs.sh")), Exception);
  EXPECT_THROW(TestRoot(TlsFile("missing.pem")), Exception);
}

}  // namespace
}  // namespace tolvenar
