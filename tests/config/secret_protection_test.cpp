#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/exception.h"
#include "config/config.h"
#include "config/profile.h"
#include "env/data_protector.h"

namespace tolvenar {
namespace {

// Stands in for the platform: a block is a marker byte and the plain bytes
// reversed. Counts the platform calls and keeps what it was given.
class FakeProtector : public DataProtector {
 public:
  std::string Protect(const std::string& plain) override {
    ++protect_calls;
    if (fail) throw EOSError(5, "Access is denied.");
    return "\x7F" + std::string(plain.rbegin(), plain.rend());
  }
  std::string Unprotect(const std::string& block) override {
    ++unprotect_calls;
    unprotected.push_back(block);
    if (fail || block.empty() || block[0] != '\x7F') throw EOSError(13, "The data is invalid.");
    return std::string(block.rbegin(), block.rend() - 1);
  }

  int protect_calls = 0;
  int unprotect_calls = 0;
  std::vector<std::string> unprotected;
  bool fail = false;
};

using Config = TTolvenarConnectorConfig;

TEST(SecretProtectionTest, ProtectingEmptyTextGivesEmptyTextWithoutPlatformCall) {
  FakeProtector protector;
  EXPECT_EQ(Config::ProtectMachineString(protector, ""), "");
  EXPECT_EQ(protector.protect_calls, 0);
}

TEST(SecretProtectionTest, StoredTextWithoutBase64BytesGivesEmptyTextWithoutPlatformCall) {
  const std::string texts[] = {
      "",      "   ", "\t\r\n",   std::string(" \x01\x1F\0 ", 5), "=", "====", " = =\r\n=", "Z",
      " Z== ", "-_!", "\xC3\xA7",
  };
  for (const auto& text : texts) {
    FakeProtector protector;
    EXPECT_EQ(Config::UnprotectMachineString(protector, text), "") << "text: " << text;
    EXPECT_EQ(protector.unprotect_calls, 0) << "text: " << text;
  }
}

TEST(SecretProtectionTest, PlatformGetsTheLenientlyDecodedBytes) {
  FakeProtector protector;
  EXPECT_THROW(Config::UnprotectMachineString(protector, "  QU\r\nJD =RA==\t"), EOSError);
  ASSERT_EQ(protector.unprotected.size(), 1u);
  EXPECT_EQ(protector.unprotected[0], "ABCD");
}

TEST(SecretProtectionTest, RoundTripGivesTheSecretExactly) {
  const std::string secrets[] = {
      "s",
      "segredo-do-connector",
      "Conexão ção 日本 \xF0\x9F\x94\x91",
      " blanks around ",
      std::string(5000, 'x') + "end",
  };
  for (const auto& secret : secrets) {
    FakeProtector protector;
    const std::string stored = Config::ProtectMachineString(protector, secret);
    EXPECT_EQ(protector.protect_calls, 1);
    EXPECT_EQ(stored.size() % 4, 0u);
    EXPECT_EQ(stored.find_first_of(" \r\n\t"), std::string::npos);
    EXPECT_EQ(Config::UnprotectMachineString(protector, stored), secret);
  }
}

TEST(SecretProtectionTest, BlanksAndLineBreaksInStoredTextAreIgnored) {
  FakeProtector protector;
  const std::string secret = "um segredo razoavelmente longo para varias linhas";
  const std::string stored = Config::ProtectMachineString(protector, secret);
  std::string broken = "  \r\n";
  for (size_t i = 0; i < stored.size(); ++i) {
    broken += stored[i];
    if (i % 7 == 3) broken += "\r\n";
    if (i % 11 == 5) broken += ' ';
  }
  broken += "\t \r\n";
  EXPECT_EQ(Config::UnprotectMachineString(protector, broken), secret);
}

TEST(SecretProtectionTest, PlatformFailuresReachTheCaller) {
  FakeProtector protector;
  const std::string stored = Config::ProtectMachineString(protector, "segredo");
  protector.fail = true;
  EXPECT_THROW(Config::ProtectMachineString(protector, "segredo"), EOSError);
  EXPECT_THROW(Config::UnprotectMachineString(protector, stored), EOSError);
}

TEST(SecretProtectionTest, ProfileSecretUnprotectsAfreshOnEveryCall) {
  FakeProtector protector;
  TTolvenarConnectorProfile profile(&protector);
  EXPECT_EQ(profile.Secret(), "");
  EXPECT_EQ(protector.unprotect_calls, 0);

  profile.SetSecretEncrypted(Config::ProtectMachineString(protector, "segredo"));
  EXPECT_EQ(profile.Secret(), "segredo");
  EXPECT_EQ(profile.Secret(), "segredo");
  EXPECT_EQ(protector.unprotect_calls, 2);

  profile.SetSecretEncrypted("QUJDRA==");
  EXPECT_THROW(profile.Secret(), EOSError);
  EXPECT_THROW(profile.Secret(), EOSError);
}

}  // namespace
}  // namespace tolvenar
