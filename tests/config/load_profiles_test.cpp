#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>

#include "config/config.h"
#include "config/config_test_env.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

using config_testing::Bytes;
using config_testing::ConfigTestEnv;
using ::testing::ElementsAre;
using tolvenar::testing::TempDir;

// What a loaded profile holds, in one comparable value.
struct Fields {
  std::string section = "Connector";
  std::string server = "https://srv";
  std::string cnpj = "191";
  std::string code;
  std::string secret_enc;
  std::string id;
  std::string local_api = "http://127.0.0.1:3001";
  int interval = 3000;
  bool insecure = false;

  bool operator==(const Fields&) const = default;
  friend std::ostream& operator<<(std::ostream& os, const Fields& f) {
    return os << "{section=" << f.section << " server=" << f.server << " cnpj=" << f.cnpj
              << " code=" << f.code << " secret_enc=" << f.secret_enc << " id=" << f.id
              << " local_api=" << f.local_api << " interval=" << f.interval
              << " insecure=" << f.insecure << "}";
  }
};

Fields FieldsOf(const TTolvenarConnectorProfile& p) {
  return Fields{p.Section(),        p.ServerURL(),       p.CNPJ(),
                p.EnrollmentCode(), p.SecretEncrypted(), p.ConnectorID(),
                p.LocalAPIURL(),    p.PollIntervalMS(),  p.AllowInsecureHTTP()};
}

class LoadProfilesTest : public ::testing::Test {
 protected:
  TTolvenarConnectorProfileList Load(std::string_view file) {
    dir_.Write("TolvenarConnector.ini", file);
    return config_.LoadProfiles();
  }

  TempDir dir_;
  ConfigTestEnv env_{dir_.Dir()};
  TTolvenarConnectorConfig config_{&env_};
};

TEST_F(LoadProfilesTest, FileIsBesideTheExecutable) {
  EXPECT_EQ(config_.FileName(), dir_.Dir() + "TolvenarConnector.ini");
}

TEST_F(LoadProfilesTest, NoFileGivesNoProfile) { EXPECT_TRUE(config_.LoadProfiles().empty()); }

TEST_F(LoadProfilesTest, FolderWithTheFileNameGivesNoProfile) {
  std::filesystem::create_directory(dir_.path() / "TolvenarConnector.ini");
  EXPECT_TRUE(config_.LoadProfiles().empty());
}

TEST_F(LoadProfilesTest, EmptyFileGivesNoProfile) { EXPECT_TRUE(Load("").empty()); }

TEST_F(LoadProfilesTest, TakesQualifyingSectionsInFileOrder) {
  std::string file;
  for (const char* name : {"Connector_B", "connector", "Connectors", "MyConnector", "Connector-2",
                           "Other", "CONNECTOR_A", "Connector_", "Connector x", "cOnNeCtOr_z"}) {
    file += "[" + std::string(name) + "]\nServidor=https://srv\nCNPJ=191\n\n";
  }
  std::vector<std::string> sections;
  for (const auto& profile : Load(file)) sections.push_back(profile->Section());
  EXPECT_THAT(sections,
              ElementsAre("Connector_B", "connector", "CONNECTOR_A", "Connector_", "cOnNeCtOr_z"));
}

TEST_F(LoadProfilesTest, RepeatedSectionIsOneProfile) {
  const auto profiles = Load("[Connector]\nServidor=https://srv\n[Other]\n[CONNECTOR]\nCNPJ=191\n");
  ASSERT_EQ(profiles.size(), 1u);
  EXPECT_EQ(FieldsOf(*profiles[0]), Fields{});
}

struct KeysCase {
  const char* name;
  std::string keys;  // lines placed before Servidor=https://srv and CNPJ=191
  std::optional<Fields> expected;
};

void PrintTo(const KeysCase& c, std::ostream* os) { *os << c.name; }

Fields With(auto change) {
  Fields f;
  change(f);
  return f;
}

class LoadProfilesKeysTest : public LoadProfilesTest,
                             public ::testing::WithParamInterface<KeysCase> {};

TEST_P(LoadProfilesKeysTest, ReadsAndNormalises) {
  // The first of repeated keys wins, so the case's lines override the base.
  const auto profiles =
      Load("[Connector]\r\n" + GetParam().keys + "Servidor=https://srv\r\nCNPJ=191\r\n");
  if (!GetParam().expected) {
    EXPECT_TRUE(profiles.empty());
    return;
  }
  ASSERT_EQ(profiles.size(), 1u);
  EXPECT_EQ(FieldsOf(*profiles[0]), *GetParam().expected);
}

const std::optional<Fields> kDropped = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Texts, LoadProfilesKeysTest,
    ::testing::Values(
        KeysCase{"Defaults", "", Fields{}},
        KeysCase{"ServerTrimmedAndSlashes", "Servidor=  https://s.example/api///  \r\n",
                 With([](Fields& f) { f.server = "https://s.example/api"; })},
        KeysCase{"ServerOnlySlashes", "Servidor=///\r\n", kDropped},
        KeysCase{"ServerEmpty", "Servidor=\r\n", kDropped},
        KeysCase{"ServerQuoted", "Servidor=\" https://q/ \"\r\n",
                 With([](Fields& f) { f.server = "https://q"; })},
        KeysCase{"ServerCutTo2047", "Servidor=https://" + std::string(3000, 'a') + "\r\n",
                 With([](Fields& f) { f.server = "https://" + std::string(2039, 'a'); })},
        KeysCase{"LocalApiSlash", "APILocal=http://127.0.0.1:3001/\r\n", Fields{}},
        KeysCase{"LocalApiTrimmed", "APILocal= http://h:8/x// \r\n",
                 With([](Fields& f) { f.local_api = "http://h:8/x"; })},
        KeysCase{"LocalApiEmptyIsKept", "APILocal=\r\n", With([](Fields& f) { f.local_api = ""; })},
        KeysCase{"CnpjPunctuationRemoved", "CNPJ=12.345.678/0001-90\r\n",
                 With([](Fields& f) { f.cnpj = "12345678000190"; })},
        KeysCase{"CnpjLettersKeptUpperCase", "CNPJ= 12.abc.345/01De-35 \r\n",
                 With([](Fields& f) { f.cnpj = "12ABC34501DE35"; })},
        KeysCase{"CnpjNonAsciiLetterRemoved",
                 "CNPJ=1\xC3\x87\xC3\xA9"
                 "2\r\n",
                 With([](Fields& f) { f.cnpj = "12"; })},
        KeysCase{"CnpjWithoutDigitsOrLetters", "CNPJ=./- \xC3\x87\r\n", kDropped},
        KeysCase{"CnpjEmpty", "CNPJ=\r\n", kDropped},
        KeysCase{"CodeTrimmedUpperAscii", "CodigoVinculacao= ab-12cd \r\n",
                 With([](Fields& f) { f.code = "AB-12CD"; })},
        KeysCase{"CodeNonAsciiUnchanged", "CodigoVinculacao=\xC3\xA7x\r\n",
                 With([](Fields& f) { f.code = "\xC3\xA7X"; })},
        KeysCase{"SecretAndIdTrimmed", "ConnectorSecretEnc=  UFJPVA==  \r\nConnectorID= id-9 \r\n",
                 With([](Fields& f) {
                   f.secret_enc = "UFJPVA==";
                   f.id = "id-9";
                 })},
        KeysCase{"KeyNamesIgnoreCase", "servidor=https://x\r\nCODIGOVINCULACAO=k\r\n",
                 With([](Fields& f) {
                   f.server = "https://x";
                   f.code = "K";
                 })}),
    [](const auto& info) { return std::string(info.param.name); });

KeysCase Interval(const char* name, const char* value, int expected) {
  return KeysCase{name, "IntervaloConsultaMS=" + std::string(value) + "\r\n",
                  With([&](Fields& f) { f.interval = expected; })};
}

INSTANTIATE_TEST_SUITE_P(
    PollInterval, LoadProfilesKeysTest,
    ::testing::Values(KeysCase{"Missing", "", Fields{}}, Interval("Empty", "", 3000),
                      Interval("Word", "abc", 3000), Interval("Unit", "5000ms", 3000),
                      Interval("BelowRange", "999", 3000), Interval("Lowest", "1000", 1000),
                      Interval("Highest", "60000", 60000), Interval("AboveRange", "60001", 3000),
                      Interval("Hex0x", "0x1388", 5000), Interval("HexDollar", "$1388", 5000),
                      Interval("Negative", "-5000", 3000), Interval("Plus", "+2000", 2000),
                      Interval("Quoted", "\"4000\"", 4000), Interval("Zero", "0", 3000)),
    [](const auto& info) { return std::string(info.param.name); });

KeysCase Insecure(const char* name, const char* value, bool expected) {
  return KeysCase{name, "PermitirHTTPInseguro=" + std::string(value) + "\r\n",
                  With([&](Fields& f) { f.insecure = expected; })};
}

INSTANTIATE_TEST_SUITE_P(
    AllowInsecure, LoadProfilesKeysTest,
    ::testing::Values(Insecure("One", "1", true), Insecure("True", "true", false),
                      Insecure("Zero", "0", false), Insecure("MinusOne", "-1", true),
                      Insecure("Hex", "$10", true), Insecure("Empty", "", false)),
    [](const auto& info) { return std::string(info.param.name); });

KeysCase Active(const char* name, const char* value, bool loaded) {
  return KeysCase{name, "Ativo=" + std::string(value) + "\r\n",
                  loaded ? std::optional<Fields>(Fields{}) : kDropped};
}

INSTANTIATE_TEST_SUITE_P(
    Active, LoadProfilesKeysTest,
    ::testing::Values(Active("Zero", "0", false), Active("HexZero", "$00000000", false),
                      Active("ZeroZero", "00", false), Active("False", "false", true),
                      Active("Empty", "", true), Active("One", "1", true), Active("Two", "2", true),
                      Active("MinusOne", "-1", true), Active("ZeroWithBlank", "0 ;off", true)),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoadProfilesTest, MissingKeysTakeTheirDefaults) {
  const auto profiles = Load("[Connector]\nServidor=https://srv\nCNPJ=191\n");
  ASSERT_EQ(profiles.size(), 1u);
  EXPECT_EQ(FieldsOf(*profiles[0]), Fields{});
}

TEST_F(LoadProfilesTest, MissingServerOrCnpjDropsTheProfile) {
  EXPECT_TRUE(Load("[Connector]\nCNPJ=191\n").empty());
  EXPECT_TRUE(Load("[Connector]\nServidor=https://srv\n").empty());
}

TEST_F(LoadProfilesTest, ProfilesUnprotectWithTheEnvsProtector) {
  const std::string stored = TTolvenarConnectorConfig::ProtectMachineString(env_.Protector(), "s3");
  const auto profiles =
      Load("[Connector]\nServidor=https://srv\nCNPJ=191\nConnectorSecretEnc=" + stored + "\n");
  ASSERT_EQ(profiles.size(), 1u);
  EXPECT_EQ(profiles[0]->Secret(), "s3");
}

TEST_F(LoadProfilesTest, ReadsEveryEncoding) {
  // [Connector_Ç] Servidor=https://ação CNPJ=1
  const std::string utf16 = Bytes(
      "\xFF\xFE[\0C\0o\0n\0n\0e\0c\0t\0o\0r\0_\0\xC7\0]\0\r\0\n\0S\0e\0r\0v\0i\0d\0o\0r\0=\0"
      "h\0t\0t\0p\0s\0:\0/\0/\0a\0\xE7\0\xE3\0o\0\r\0\n\0C\0N\0P\0J\0=\0001\0\r\0\n\0");
  for (const std::string& file :
       {std::string("[Connector_\xC3\x87]\r\nServidor=https://a\xC3\xA7\xC3\xA3o\r\nCNPJ=1\r\n"),
        std::string(
            "\xEF\xBB\xBF[Connector_\xC3\x87]\nServidor=https://a\xC3\xA7\xC3\xA3o\nCNPJ=1\n"),
        std::string("[Connector_\xC7]\r\nServidor=https://a\xE7\xE3o\r\nCNPJ=1\r\n"), utf16}) {
    const auto profiles = Load(file);
    ASSERT_EQ(profiles.size(), 1u);
    EXPECT_EQ(profiles[0]->Section(), "Connector_\xC3\x87");
    EXPECT_EQ(profiles[0]->ServerURL(), "https://a\xC3\xA7\xC3\xA3o");
    EXPECT_EQ(profiles[0]->CNPJ(), "1");
  }
}

}  // namespace
}  // namespace tolvenar
