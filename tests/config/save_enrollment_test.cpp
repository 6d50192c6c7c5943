#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <latch>
#include <thread>

#include "base/exception.h"
#include "config/config.h"
#include "config/config_test_env.h"
#include "config/ini_file.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

using config_testing::Bytes;
using config_testing::ConfigTestEnv;
using tolvenar::testing::TempDir;

constexpr char kIni[] = "TolvenarConnector.ini";

class SaveEnrollmentTest : public ::testing::Test {
 protected:
  // Writes the file and loads its one profile.
  std::unique_ptr<TTolvenarConnectorProfile> LoadOnly(std::string_view file) {
    dir_.Write(kIni, file);
    auto profiles = config_.LoadProfiles();
    if (profiles.size() != 1) throw std::runtime_error("expected one profile");
    return std::move(profiles[0]);
  }

  std::string StoredSecretOf(const std::string& section) {
    return IniFile::FromBytes(dir_.Read(kIni)).Value(section, "ConnectorSecretEnc").value_or("");
  }

  std::string Unprotect(const std::string& stored) {
    return TTolvenarConnectorConfig::UnprotectMachineString(env_.Protector(), stored);
  }

  TempDir dir_;
  ConfigTestEnv env_{dir_.Dir()};
  TTolvenarConnectorConfig config_{&env_};
};

struct PreserveCase {
  const char* name;
  std::string before;
  // The file afterwards, "@" standing for the stored secret.
  std::string after;
};

void PrintTo(const PreserveCase& c, std::ostream* os) { *os << c.name; }

class SaveEnrollmentPreservesTest : public SaveEnrollmentTest,
                                    public ::testing::WithParamInterface<PreserveCase> {};

TEST_P(SaveEnrollmentPreservesTest, ChangesOnlyTheThreeKeys) {
  auto profile = LoadOnly(GetParam().before);
  config_.SaveEnrollment(*profile, "id-7", "s3cr\xC3\xA9t");

  const std::string stored = StoredSecretOf(profile->Section());
  EXPECT_EQ(Unprotect(stored), "s3cr\xC3\xA9t");
  std::string expected = GetParam().after;
  for (size_t at; (at = expected.find('@')) != std::string::npos;) expected.replace(at, 1, stored);
  EXPECT_EQ(dir_.Read(kIni), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, SaveEnrollmentPreservesTest,
    ::testing::Values(
        PreserveCase{
            "CrLfWithBomAndComments",
            "\xEF\xBB\xBF; Tolvenar\r\n[Geral]\r\nConnectorID=keep\r\n\r\n[Connector_A]\r\n"
            "  Servidor = https://srv/ \r\nCNPJ=191\r\nCodigoVinculacao = ab-12 \r\n"
            "Extra=\"x\"\r\n; fim\r\n\r\n[Outra]\r\nCodigoVinculacao=keep\r\n",
            "\xEF\xBB\xBF; Tolvenar\r\n[Geral]\r\nConnectorID=keep\r\n\r\n[Connector_A]\r\n"
            "  Servidor = https://srv/ \r\nCNPJ=191\r\nCodigoVinculacao =\r\n"
            "Extra=\"x\"\r\nConnectorID=id-7\r\nConnectorSecretEnc=@\r\n; fim\r\n\r\n[Outra]\r\n"
            "CodigoVinculacao=keep\r\n"},
        PreserveCase{"ReplacesExistingKeys",
                     "[connector]\nconnectorid=old\nCNPJ=1\nServidor=https://s\n"
                     "CONNECTORSECRETENC=old\ncodigovinculacao=X\n",
                     "[connector]\nconnectorid=id-7\nCNPJ=1\nServidor=https://s\n"
                     "CONNECTORSECRETENC=@\ncodigovinculacao=\n"},
        PreserveCase{"LastLineWithoutLineEnd", "[Connector]\nServidor=https://s\nCNPJ=1",
                     "[Connector]\nServidor=https://s\nCNPJ=1\nConnectorID=id-7\n"
                     "ConnectorSecretEnc=@\nCodigoVinculacao=\n"},
        PreserveCase{"Windows1252StaysWindows1252",
                     "; Configura\xE7\xE3o\n[Connector]\nServidor=https://s\nCNPJ=1\n",
                     "; Configura\xE7\xE3o\n[Connector]\nServidor=https://s\nCNPJ=1\n"
                     "ConnectorID=id-7\nConnectorSecretEnc=@\nCodigoVinculacao=\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SaveEnrollmentTest, Utf16FileStaysUtf16) {
  auto profile = LoadOnly(Bytes(
      "\xFF\xFE[\0C\0o\0n\0n\0e\0c\0t\0o\0r\0]\0\r\0\n\0S\0e\0r\0v\0i\0d\0o\0r\0=\0x\0\r\0\n\0"
      "C\0N\0P\0J\0=\0001\0\r\0\n\0"));
  config_.SaveEnrollment(*profile, "id-\xC3\xA7", "s");

  const std::string bytes = dir_.Read(kIni);
  ASSERT_TRUE(bytes.starts_with("\xFF\xFE"));
  const std::string stored = StoredSecretOf("Connector");
  std::u16string text =
      u"[Connector]\r\nServidor=x\r\nCNPJ=1\r\nConnectorID=id-\u00E7\r\n"
      u"ConnectorSecretEnc=" +
      std::u16string(stored.begin(), stored.end()) + u"\r\nCodigoVinculacao=\r\n";
  std::string expected = "\xFF\xFE";
  for (const char16_t unit : text) {
    expected.push_back(static_cast<char>(unit & 0xFF));
    expected.push_back(static_cast<char>(unit >> 8));
  }
  EXPECT_EQ(bytes, expected);
}

TEST_F(SaveEnrollmentTest, MovesTheProfileToEnrolled) {
  auto profile = LoadOnly("[Connector]\nServidor=https://s\nCNPJ=1\nCodigoVinculacao=AB\n");
  config_.SaveEnrollment(*profile, "id-7", "secret");

  EXPECT_EQ(profile->ConnectorID(), "id-7");
  EXPECT_EQ(profile->EnrollmentCode(), "");
  EXPECT_EQ(profile->Secret(), "secret");
  // The profile's text comes from a protection of its own.
  EXPECT_NE(profile->SecretEncrypted(), StoredSecretOf("Connector"));
  EXPECT_EQ(env_.protector().protect_calls(), 2);

  // And the next start loads it enrolled.
  auto reloaded = config_.LoadProfiles();
  ASSERT_EQ(reloaded.size(), 1u);
  EXPECT_EQ(reloaded[0]->ConnectorID(), "id-7");
  EXPECT_EQ(reloaded[0]->EnrollmentCode(), "");
  EXPECT_EQ(reloaded[0]->Secret(), "secret");
}

TEST_F(SaveEnrollmentTest, RecreatesAMissingFile) {
  auto profile = LoadOnly("[Connector_A]\nServidor=https://s\nCNPJ=1\n");
  std::filesystem::remove(dir_.path() / kIni);
  config_.SaveEnrollment(*profile, "id", "s");
  const std::string stored = StoredSecretOf("Connector_A");
  EXPECT_EQ(dir_.Read(kIni), "[Connector_A]\r\nConnectorID=id\r\nConnectorSecretEnc=" + stored +
                                 "\r\nCodigoVinculacao=\r\n");
}

// A failed save leaves the file and the profile as they were.
class SaveEnrollmentFailureTest : public SaveEnrollmentTest {
 protected:
  void SetUp() override {
    profile_ = LoadOnly(kBefore);
    before_id_ = profile_->ConnectorID();
    before_secret_ = profile_->SecretEncrypted();
  }
  void ExpectNothingChanged() {
    EXPECT_EQ(dir_.Read(kIni), kBefore);
    EXPECT_EQ(profile_->ConnectorID(), before_id_);
    EXPECT_EQ(profile_->SecretEncrypted(), before_secret_);
    EXPECT_EQ(profile_->EnrollmentCode(), "AB-12");
  }
  void ExpectUnableToWrite(const std::string& id) {
    try {
      config_.SaveEnrollment(*profile_, id, "secret");
      ADD_FAILURE() << "SaveEnrollment did not raise";
    } catch (const EOSError& e) {
      ADD_FAILURE() << "unexpected EOSError: " << e.Message();
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "Unable to write to " + config_.FileName());
    }
  }

  static constexpr char kBefore[] =
      "[Connector]\r\nServidor=https://"
      "s\r\nCNPJ=1\r\nCodigoVinculacao=ab-12\r\nConnectorID=old\r\n";
  std::unique_ptr<TTolvenarConnectorProfile> profile_;
  std::string before_id_;
  std::string before_secret_;
};

TEST_F(SaveEnrollmentFailureTest, ReadOnlyFile) {
  const auto file = dir_.path() / kIni;
  std::filesystem::permissions(file,
                               std::filesystem::perms::owner_write |
                                   std::filesystem::perms::group_write |
                                   std::filesystem::perms::others_write,
                               std::filesystem::perm_options::remove);
  ExpectUnableToWrite("id-7");
  ExpectNothingChanged();
}

TEST_F(SaveEnrollmentFailureTest, ValueThatNoLineCanHold) {
  ExpectUnableToWrite("id\r\n[Connector]");
  ExpectNothingChanged();
}

TEST_F(SaveEnrollmentFailureTest, ProtectionFailureWritesNothing) {
  env_.protector().FailProtect(true);
  EXPECT_THROW(config_.SaveEnrollment(*profile_, "id-7", "secret"), EOSError);
  ExpectNothingChanged();
}

TEST_F(SaveEnrollmentFailureTest, FolderInPlaceOfTheFile) {
  std::filesystem::remove(dir_.path() / kIni);
  std::filesystem::create_directory(dir_.path() / kIni);
  ExpectUnableToWrite("id-7");
  EXPECT_TRUE(std::filesystem::is_directory(dir_.path() / kIni));
  EXPECT_EQ(profile_->EnrollmentCode(), "AB-12");
}

TEST_F(SaveEnrollmentTest, ConcurrentEnrollmentsKeepEveryKey) {
  constexpr int kProfiles = 8;
  constexpr int kRounds = 50;
  std::string file = "; shared\r\n";
  for (int i = 0; i < kProfiles; ++i) {
    file += "[Connector_" + std::to_string(i) + "]\r\nServidor=https://s" + std::to_string(i) +
            "\r\nCNPJ=" + std::to_string(100 + i) + "\r\nCodigoVinculacao=c" + std::to_string(i) +
            "\r\n\r\n";
  }
  for (int round = 0; round < kRounds; ++round) {
    dir_.Write(kIni, file);
    auto profiles = config_.LoadProfiles();
    ASSERT_EQ(profiles.size(), static_cast<size_t>(kProfiles));

    std::latch start(kProfiles);
    std::vector<std::thread> threads;
    for (int i = 0; i < kProfiles; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        config_.SaveEnrollment(*profiles[i], "id-" + std::to_string(i),
                               "secret-" + std::to_string(i));
      });
    }
    for (std::thread& t : threads) t.join();

    const IniFile ini = IniFile::FromBytes(dir_.Read(kIni));
    for (int i = 0; i < kProfiles; ++i) {
      const std::string section = "Connector_" + std::to_string(i);
      EXPECT_EQ(ini.Value(section, "ConnectorID"), "id-" + std::to_string(i)) << round;
      EXPECT_EQ(ini.Value(section, "CodigoVinculacao"), "") << round;
      EXPECT_EQ(Unprotect(ini.Value(section, "ConnectorSecretEnc").value_or("")),
                "secret-" + std::to_string(i))
          << round;
      EXPECT_EQ(ini.Value(section, "CNPJ"), std::to_string(100 + i)) << round;
      EXPECT_EQ(profiles[i]->Secret(), "secret-" + std::to_string(i));
    }
    if (HasFailure()) break;
  }
  // No temporary file is left beside the profiles file.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                          std::filesystem::directory_iterator()),
            1);
}

}  // namespace
}  // namespace tolvenar
