// TTolvenarConnectorConfig: the profiles file beside the executable, the
// protection of the connector secret and the storing of an enrollment.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/profile.h"

namespace tolvenar {

class Env;

// One profile section of the file, as the loader judges it. `profile` holds
// every key read and normalised, whether or not the section is used.
struct ProfileSectionReading {
  bool inactive = false;        // "Ativo" is 0
  bool missing_server = false;  // "Servidor" empty once normalised
  bool missing_cnpj = false;    // "CNPJ" without a digit or letter
  std::unique_ptr<TTolvenarConnectorProfile> profile;

  bool Usable() const { return !inactive && !missing_server && !missing_cnpj; }
};

// kUnreadable and kTooLarge: the file is there and was not read; the
// loader's `problem` text says why.
enum class ProfilesFileState { kMissing, kUnreadable, kTooLarge, kRead };

// The operator's messages for a profiles file that is there and was not
// read: kMsgProfilesUnreadable and kMsgProfilesTooLarge.
std::string UnreadableMessage(const std::string& file_name, const std::string& reason);
std::string TooLargeMessage(const std::string& file_name, uint64_t size);

class TTolvenarConnectorConfig {
 public:
  // Computes FileName from the executable's folder; touches no file.
  explicit TTolvenarConnectorConfig(Env* env);

  // The largest profiles file read: a larger one is refused before it is
  // read, so that no file can take the memory.
  static constexpr uint64_t kMaxFileBytes = 1024 * 1024;

  const std::string& FileName() const { return FFileName; }

  // The usable profiles of the file, in file order; empty for a missing,
  // empty, unreadable or too large file, whose `state` and `problem` (the
  // operator's message for a file that is there and was not read, "" else)
  // tell which. Never raises.
  TTolvenarConnectorProfileList LoadProfiles(ProfilesFileState* state = nullptr,
                                             std::string* problem = nullptr) const;

  // Every profile section of the file, in file order, usable or not: the
  // reading LoadProfiles keeps the usable ones of. Never raises.
  std::vector<ProfileSectionReading> ReadProfileSections(ProfilesFileState* state = nullptr,
                                                         std::string* problem = nullptr) const;

  // Stores an enrollment: ConnectorID, the protected secret in
  // ConnectorSecretEnc and an empty CodigoVinculacao, all three in one atomic
  // replacement of the file, then moves AProfile to the enrolled state.
  // Raises EOSError when protecting fails and Exception("Unable to write to
  // <FileName>") when the file cannot be written; then nothing changed.
  // Safe to call from several workers at once.
  void SaveEnrollment(TTolvenarConnectorProfile& AProfile, const std::string& AConnectorID,
                      const std::string& ASecret);

  // Puts AProfile in the enrolled state in memory only, marked unsaved, for
  // an enrollment the file could not take: the server spent the code, so
  // the issued id and secret must outlive the failed write. The secret is
  // held protected, or as it is when protecting fails. Never raises.
  void KeepUnsavedEnrollment(TTolvenarConnectorProfile& AProfile, const std::string& AConnectorID,
                             const std::string& ASecret) const;

  // Plain secret to its stored text (one line of Base64); "" for "".
  static std::string ProtectMachineString(DataProtector& protector, const std::string& AValue);
  // Stored text to the plain secret; "" without touching the platform when
  // the text holds no Base64 byte. Raises EOSError for a block that does
  // not unprotect here.
  static std::string UnprotectMachineString(DataProtector& protector, const std::string& AValue);

 private:
  Env* env_;
  std::string FFileName;
};

}  // namespace tolvenar
