// TTolvenarConnectorConfig's conversion between the plain connector secret
// and its stored text: UTF-8 bytes, protected by the machine's data
// protection, in one line of Base64.
#include "base/text.h"
#include "config/base64.h"
#include "config/config.h"
#include "env/data_protector.h"

namespace tolvenar {

std::string TTolvenarConnectorConfig::ProtectMachineString(DataProtector& protector,
                                                           const std::string& AValue) {
  if (AValue.empty()) return "";
  return Base64Encode(protector.Protect(AValue));
}

// The unprotected bytes are returned as they are. Only ProtectMachineString
// writes the stored text, always from UTF-8, so any block that unprotects
// here holds UTF-8; a lossy conversion would only hide a fault.
std::string TTolvenarConnectorConfig::UnprotectMachineString(DataProtector& protector,
                                                             const std::string& AValue) {
  const std::string text = TrimControlsAndSpaces(AValue);
  if (text.empty()) return "";
  const std::string block = Base64DecodeLenient(text);
  if (block.empty()) return "";
  return protector.Unprotect(block);
}

}  // namespace tolvenar
