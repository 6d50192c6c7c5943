// TTolvenarConnectorProfile: one connection profile, from one INI section.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tolvenar {

class DataProtector;

class TTolvenarConnectorProfile {
 public:
  // `protector` unprotects the stored secret; borrowed, outlives the profile.
  explicit TTolvenarConnectorProfile(DataProtector* protector) : protector_(protector) {}

  const std::string& Section() const { return FSection; }
  void SetSection(std::string value) { FSection = std::move(value); }
  const std::string& ServerURL() const { return FServerURL; }
  void SetServerURL(std::string value) { FServerURL = std::move(value); }
  const std::string& CNPJ() const { return FCNPJ; }
  void SetCNPJ(std::string value) { FCNPJ = std::move(value); }
  const std::string& EnrollmentCode() const { return FEnrollmentCode; }
  void SetEnrollmentCode(std::string value) { FEnrollmentCode = std::move(value); }
  const std::string& SecretEncrypted() const { return FSecretEncrypted; }
  void SetSecretEncrypted(std::string value) { FSecretEncrypted = std::move(value); }
  const std::string& ConnectorID() const { return FConnectorID; }
  void SetConnectorID(std::string value) { FConnectorID = std::move(value); }
  const std::string& LocalAPIURL() const { return FLocalAPIURL; }
  void SetLocalAPIURL(std::string value) { FLocalAPIURL = std::move(value); }
  int PollIntervalMS() const { return FPollIntervalMS; }
  void SetPollIntervalMS(int value) { FPollIntervalMS = value; }
  bool AllowInsecureHTTP() const { return FAllowInsecureHTTP; }
  void SetAllowInsecureHTTP(bool value) { FAllowInsecureHTTP = value; }
  // True while the profile holds an enrollment that the server issued but
  // the file has not stored yet (the code is spent: only memory has it).
  bool EnrollmentUnsaved() const { return FEnrollmentUnsaved; }
  void SetEnrollmentUnsaved(bool value) { FEnrollmentUnsaved = value; }
  // An issued secret that could not be protected: held as it is, in memory
  // only, while the save (which protects it) is retried. Empty otherwise.
  void SetUnprotectedSecret(std::string value) { FUnprotectedSecret = std::move(value); }

  // The plain connector secret: the unprotected one when held, otherwise
  // unprotected afresh on every call; empty when the profile is not
  // enrolled. Raises EOSError when the stored text does not unprotect on
  // this computer.
  std::string Secret() const;

 private:
  DataProtector* protector_;
  std::string FSection;
  std::string FServerURL;
  std::string FCNPJ;  // ASCII digits and upper-case letters (NormalizeCNPJ)
  std::string FEnrollmentCode;
  std::string FSecretEncrypted;
  std::string FConnectorID;
  std::string FLocalAPIURL;
  int FPollIntervalMS = 3000;
  bool FAllowInsecureHTTP = false;
  bool FEnrollmentUnsaved = false;
  std::string FUnprotectedSecret;
};

// Owns its profiles, in file order.
using TTolvenarConnectorProfileList = std::vector<std::unique_ptr<TTolvenarConnectorProfile>>;

}  // namespace tolvenar
