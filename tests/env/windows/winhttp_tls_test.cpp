// The WinHTTP transport against a TLS server. Wine has no server side of
// schannel, so no TLS server can run inside this process: one is started
// outside it and named by TC_TLS_TEST_PORT, e.g.
//   tests/env/windows/tls/https_server.py 8443 &
//   TC_TLS_TEST_PORT=8443 scripts/wine-run.sh tc_tests.exe --gtest_filter='WinHttpTls*'
// (its answers carry a Content-Length: Wine's WinHTTP does not notice the end
// of a TLS body that is delimited by the connection closing). Without the
// variable these tests are skipped.
#include <gtest/gtest.h>
#include <windows.h>
#include <winhttp.h>

#include <cstdlib>
#include <string>

#include "base/exception.h"
#include "env/windows/winhttp_transport.h"

namespace tolvenar {
namespace {

constexpr char kRejected[] = "Server Certificate Invalid or not present";

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

std::string TlsFile(const std::string& name) {
  return std::string(TC_SOURCE_DIR) + "/tests/env/windows/tls/" + name;
}

class WinHttpTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* port = std::getenv("TC_TLS_TEST_PORT");
    if (!port || !*port) GTEST_SKIP() << "no TLS server (TC_TLS_TEST_PORT)";
    port_ = port;
  }

  HttpResponse Send(const std::string& host, const std::string& root_file,
                    const std::string& path = "/") {
    HttpRequest request;
    request.method = "GET";
    request.url = "https://" + host + ":" + port_ + path;
    request.connect_timeout_ms = 5000;
    request.response_timeout_ms = 5000;
    WinHttpTransportOptions options;
    if (!root_file.empty()) options.test_ca_file = TlsFile(root_file);
    return NewWinHttpTransport(options)->Send(request);
  }

  std::string FailureOf(const std::string& host, const std::string& root_file) {
    try {
      Send(host, root_file);
    } catch (const Exception& e) {
      return e.Message();
    }
    return "<no failure>";
  }

  // Wine's WinHTTP reports every rejected certificate as a failure of the
  // secure channel, without the certificate errors Windows gives.
  std::string RejectedOnThisPlatform() {
    return RunningUnderWine()
               ? "Error sending data: (12157) An error occurred in the secure channel support"
               : kRejected;
  }

  std::string port_;
};

TEST_F(WinHttpTlsTest, UnknownRootIsRejected) {
  EXPECT_EQ(FailureOf("localhost", ""), RejectedOnThisPlatform());
}

TEST_F(WinHttpTlsTest, TestRootMakesTheServerTrusted) {
  EXPECT_EQ(Send("localhost", "test_root.pem").status, 200);
}

// Every exchange opens its own connection; after the first, the handshake
// resumes the server's session.
TEST_F(WinHttpTlsTest, LaterConnectionsResumeTheServersTlsSession) {
  const int before = std::stoi(Send("localhost", "test_root.pem", "/resumed").body);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Send("localhost", "test_root.pem").status, 200);
  const int resumed = std::stoi(Send("localhost", "test_root.pem", "/resumed").body) - before;
  if (resumed == 0 && RunningUnderWine()) {
    GTEST_SKIP() << "Wine's schannel makes a full handshake for every connection; only Windows "
                    "resumes the session";
  }
  EXPECT_GE(resumed, 3);
}

TEST_F(WinHttpTlsTest, ServerOfAnotherRootIsRejectedDespiteTheTestRoot) {
  EXPECT_EQ(FailureOf("localhost", "other_root.pem"), kRejected);
}

TEST_F(WinHttpTlsTest, HostNameMustMatchDespiteTheTestRoot) {
  // The certificate names "localhost" only.
  EXPECT_EQ(FailureOf("127.0.0.1", "test_root.pem"), RejectedOnThisPlatform());
}

}  // namespace
}  // namespace tolvenar
