// The check of one profile over real HTTPS: "reachable" means the server's
// certificate was verified, not merely that a socket opened.
#include "diagnosis/profile_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "config/config.h"
#include "config/profile.h"
#include "support/tls_test_server.h"

namespace tolvenar {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;

ProfileSectionReading Reading(Env& env, const std::string& server) {
  ProfileSectionReading reading;
  reading.profile = std::make_unique<TTolvenarConnectorProfile>(&env.Protector());
  reading.profile->SetSection("Connector");
  reading.profile->SetServerURL(server);
  reading.profile->SetCNPJ("1");
  reading.profile->SetEnrollmentCode("AB");
  reading.profile->SetLocalAPIURL("http://127.0.0.1:9");
  return reading;
}

TEST(ProfileCheckTlsTest, AServerIsReachableOnlyWithAVerifiedCertificate) {
  std::string seen_target;
  const auto server =
      testing::StartTlsTestServer([&](const std::string& method, const std::string& target) {
        seen_target = method + " " + target;
        return testing::TlsAnswer{403, {}, "proibido"};
      });
  if (!server) GTEST_SKIP() << "this test build has no TLS server";
  const std::unique_ptr<Env> trusting = testing::NewEnvTrustingCa(server->CaFile());
  ASSERT_TRUE(trusting);

  const ProfileCheckResult verified =
      CheckProfileSection(*trusting, Reading(*trusting, server->Url("/conn")));
  EXPECT_THAT(verified.lines,
              Contains("Servidor de conexao: acessivel por HTTPS, certificado verificado; "
                       "api.php recusou a consulta sem credencial (HTTP 403), como esperado"));
  EXPECT_EQ(seen_target, "POST /conn/api.php?action=connector-poll");

  Env& plain = *Env::Default();
  const ProfileCheckResult refused = CheckProfileSection(plain, Reading(plain, server->Url("")));
  EXPECT_THAT(refused.lines,
              Contains("Servidor de conexao: FALHA: Server Certificate Invalid or not present"));
  EXPECT_FALSE(refused.ready);
}

}  // namespace
}  // namespace tolvenar
