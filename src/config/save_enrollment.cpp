#include <exception>
#include <mutex>

#include "base/exception.h"
#include "config/config.h"
#include "config/ini_file.h"
#include "env/env.h"

namespace tolvenar {

namespace {

// Workers of different profiles enroll at the same time and each rewrites
// the whole file; one lock for the process keeps them from losing each
// other's keys.
std::mutex& EnrollmentFileMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

// The secret is protected before the file is touched, so a protection
// failure writes nothing. The three keys then reach the file together in one
// atomic replacement rather than one write per key, so a failure never
// leaves the section half enrolled.
void TTolvenarConnectorConfig::SaveEnrollment(TTolvenarConnectorProfile& AProfile,
                                              const std::string& AConnectorID,
                                              const std::string& ASecret) {
  const std::string stored_secret = ProtectMachineString(env_->Protector(), ASecret);
  {
    std::lock_guard<std::mutex> lock(EnrollmentFileMutex());
    std::string bytes;
    const FileRead read = env_->ReadFile(FFileName, kMaxFileBytes, &bytes);
    if (read.outcome != FileRead::Outcome::kRead && read.outcome != FileRead::Outcome::kMissing) {
      throw Exception("Unable to write to " + FFileName);
    }
    IniFile ini = IniFile::FromBytes(bytes);
    const std::string& section = AProfile.Section();
    const bool updated = ini.SetValue(section, "ConnectorID", AConnectorID) &&
                         ini.SetValue(section, "ConnectorSecretEnc", stored_secret) &&
                         ini.SetValue(section, "CodigoVinculacao", "");
    if (!updated || !env_->ReplaceFile(FFileName, ini.ToBytes())) {
      throw Exception("Unable to write to " + FFileName);
    }
  }
  // A second protection for the profile in memory: the two texts may differ
  // and both unprotect to ASecret.
  std::string secret_in_memory = ProtectMachineString(env_->Protector(), ASecret);
  AProfile.SetConnectorID(AConnectorID);
  AProfile.SetSecretEncrypted(std::move(secret_in_memory));
  AProfile.SetEnrollmentCode("");
  AProfile.SetEnrollmentUnsaved(false);
  AProfile.SetUnprotectedSecret("");
}

void TTolvenarConnectorConfig::KeepUnsavedEnrollment(TTolvenarConnectorProfile& AProfile,
                                                     const std::string& AConnectorID,
                                                     const std::string& ASecret) const {
  // The code is spent: when even protection fails, the secret stays as it
  // is, in this process's memory alone, rather than being lost.
  std::string secret_in_memory;
  std::string unprotected;
  try {
    secret_in_memory = ProtectMachineString(env_->Protector(), ASecret);
  } catch (const std::exception&) {
    unprotected = ASecret;
  }
  AProfile.SetConnectorID(AConnectorID);
  AProfile.SetSecretEncrypted(std::move(secret_in_memory));
  AProfile.SetUnprotectedSecret(std::move(unprotected));
  AProfile.SetEnrollmentCode("");
  AProfile.SetEnrollmentUnsaved(true);
}

}  // namespace tolvenar
