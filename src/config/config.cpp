#include "config/config.h"

#include "base/text.h"
#include "config/cnpj.h"
#include "config/ini_file.h"
#include "config/int_conversion.h"
#include "env/env.h"
#include "messages/messages.h"

namespace tolvenar {

namespace {

constexpr char kDefaultLocalAPIURL[] = "http://127.0.0.1:3001";
constexpr int kDefaultPollIntervalMS = 3000;
constexpr int kMinPollIntervalMS = 1000;
constexpr int kMaxPollIntervalMS = 60000;

bool IsProfileSection(std::string_view name) {
  return SameTextAscii(name, "Connector") || StartsWithAsciiNoCase(name, "Connector_");
}

// A text key; `fallback` only when the key is absent, not when it is empty.
std::string ReadText(const IniFile& ini, std::string_view section, std::string_view key,
                     std::string_view fallback = "") {
  return ini.Value(section, key).value_or(std::string(fallback));
}

int ReadInteger(const IniFile& ini, std::string_view section, std::string_view key, int fallback) {
  return StrToIntDef(ReadText(ini, section, key), fallback);
}

bool ReadFlag(const IniFile& ini, std::string_view section, std::string_view key, bool fallback) {
  return ReadInteger(ini, section, key, fallback ? 1 : 0) != 0;
}

}  // namespace

std::string UnreadableMessage(const std::string& file_name, const std::string& reason) {
  return FillMessage(kMsgProfilesUnreadable, {file_name, LoggableText(reason, 500)});
}

std::string TooLargeMessage(const std::string& file_name, uint64_t size) {
  return FillMessage(kMsgProfilesTooLarge, {file_name, std::to_string(size)});
}

TTolvenarConnectorConfig::TTolvenarConnectorConfig(Env* env)
    : env_(env), FFileName(env->ExecutableDir() + "TolvenarConnector.ini") {}

TTolvenarConnectorProfileList TTolvenarConnectorConfig::LoadProfiles(ProfilesFileState* state,
                                                                     std::string* problem) const {
  TTolvenarConnectorProfileList profiles;
  for (ProfileSectionReading& reading : ReadProfileSections(state, problem)) {
    if (reading.Usable()) profiles.push_back(std::move(reading.profile));
  }
  return profiles;
}

std::vector<ProfileSectionReading> TTolvenarConnectorConfig::ReadProfileSections(
    ProfilesFileState* state, std::string* problem) const {
  std::vector<ProfileSectionReading> readings;
  std::string bytes;
  ProfilesFileState file_state = ProfilesFileState::kRead;
  std::string file_problem;
  const FileRead read = env_->ReadFile(FFileName, kMaxFileBytes, &bytes);
  switch (read.outcome) {
    case FileRead::Outcome::kRead:
      break;
    case FileRead::Outcome::kMissing:
      file_state = ProfilesFileState::kMissing;
      break;
    case FileRead::Outcome::kTooLarge:
      file_state = ProfilesFileState::kTooLarge;
      file_problem = TooLargeMessage(FFileName, read.size);
      break;
    case FileRead::Outcome::kFailed:
      file_state = ProfilesFileState::kUnreadable;
      file_problem = UnreadableMessage(FFileName, read.error);
      break;
  }
  if (state != nullptr) *state = file_state;
  if (problem != nullptr) *problem = file_problem;
  if (file_state != ProfilesFileState::kRead) return readings;
  const IniFile ini = IniFile::FromBytes(bytes);

  for (const std::string& section : ini.SectionNames()) {
    if (!IsProfileSection(section)) continue;
    ProfileSectionReading reading;
    reading.inactive = !ReadFlag(ini, section, "Ativo", true);
    auto profile = std::make_unique<TTolvenarConnectorProfile>(&env_->Protector());
    profile->SetSection(section);
    profile->SetServerURL(
        StripTrailingSlashes(TrimControlsAndSpaces(ReadText(ini, section, "Servidor"))));
    profile->SetCNPJ(NormalizeCNPJ(ReadText(ini, section, "CNPJ")));
    profile->SetEnrollmentCode(
        AsciiUpper(TrimControlsAndSpaces(ReadText(ini, section, "CodigoVinculacao"))));
    profile->SetSecretEncrypted(
        TrimControlsAndSpaces(ReadText(ini, section, "ConnectorSecretEnc")));
    profile->SetConnectorID(TrimControlsAndSpaces(ReadText(ini, section, "ConnectorID")));
    profile->SetLocalAPIURL(StripTrailingSlashes(
        TrimControlsAndSpaces(ReadText(ini, section, "APILocal", kDefaultLocalAPIURL))));
    int interval = ReadInteger(ini, section, "IntervaloConsultaMS", kDefaultPollIntervalMS);
    if (interval < kMinPollIntervalMS || interval > kMaxPollIntervalMS) {
      interval = kDefaultPollIntervalMS;
    }
    profile->SetPollIntervalMS(interval);
    profile->SetAllowInsecureHTTP(ReadFlag(ini, section, "PermitirHTTPInseguro", false));
    reading.missing_server = profile->ServerURL().empty();
    reading.missing_cnpj = profile->CNPJ().empty();
    reading.profile = std::move(profile);
    readings.push_back(std::move(reading));
  }
  return readings;
}

}  // namespace tolvenar
