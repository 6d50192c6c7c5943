// One enrollment attempt: CNPJ and one-time code for a connector id and
// secret, stored through the configuration.
#include <exception>

#include "base/version.h"
#include "config/config.h"
#include "config/profile.h"
#include "connector/worker.h"
#include "json/json.h"
#include "messages/messages.h"

namespace tolvenar {

bool TTolvenarConnectorWorker::Enroll() {
  if (FProfile->EnrollmentCode().empty()) return false;
  FLocalAPIVersion = QueryLocalAPIVersion();

  JsonObjectWriter request;
  request.AddString("code", FProfile->EnrollmentCode());
  request.AddString("cnpj", FProfile->CNPJ());
  request.AddString("connector_version", kConnectorVersion);
  request.AddString("local_api_version", FLocalAPIVersion);

  int status = 0;
  std::string response_text;
  if (!PostServerAction("connector-enroll", request.ToString(), "", status, response_text)) {
    Log(FillMessage(kMsgEnrollRefused, {std::to_string(status)}));
    return false;
  }
  const std::unique_ptr<JsonValue> answer = ParseJSON(response_text);
  if (!answer || !answer->IsObject()) return false;
  const std::string connector_id = TryGetJSONString(*answer, "connector_id");
  const std::string connector_secret = TryGetJSONString(*answer, "connector_secret");
  if (connector_id.empty() || connector_secret.empty()) return false;

  StoreEnrollment(connector_id, connector_secret);
  return true;
}

void TTolvenarConnectorWorker::StoreEnrollment(const std::string& connector_id,
                                               const std::string& connector_secret) {
  try {
    FConfig->SaveEnrollment(*FProfile, connector_id, connector_secret);
  } catch (const std::exception& e) {
    // The code is spent: keep what the server issued and poll with it; the
    // loop tries the file again every turn.
    FConfig->KeepUnsavedEnrollment(*FProfile, connector_id, connector_secret);
    Log(FillMessage(kMsgCommunicationFailure, {e.what()}));
    return;
  }
  Log(kMsgEnrolled);
}

}  // namespace tolvenar
