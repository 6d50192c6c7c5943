// Polling for a command, relaying it and reporting its outcome.
#include "config/profile.h"
#include "protocol/json.h"
#include "worker/worker.h"

namespace tolvenar {

void TTolvenarConnectorWorker::PollOnce() {
  const std::string secret = FProfile->Secret();
  int status = 0;
  std::string response_text;
  if (!PostServerAction("connector-poll", "{}", secret, status, response_text)) {
    Log("Servidor de conexao respondeu HTTP " + std::to_string(status) + ".");
    return;
  }
  if (status == 204) return;
  const std::unique_ptr<JsonValue> answer = ParseJSON(response_text);
  if (!answer || !answer->IsObject()) return;
  const JsonValue* command = answer->Find("command");
  if (command != nullptr && command->IsObject()) ExecuteCommand(*command);
}

void TTolvenarConnectorWorker::ExecuteCommand(const JsonValue& command) {
  const std::string id = TryGetJSONString(command, "id");
  const std::string method = TryGetJSONString(command, "method");
  const std::string path = TryGetJSONString(command, "path");
  const std::string body = TryGetJSONString(command, "body");
  const std::string authorization = TryGetJSONString(command, "authorization");
  const std::string session_token = TryGetJSONString(command, "session_token");

  int local_status = 0;
  std::string local_body;
  std::string local_error;
  CallLocalAPI(method, path, body, authorization, session_token, local_status, local_body,
               local_error);

  JsonObjectWriter result;
  result.AddString("command_id", id);
  result.AddInteger("http_status", local_status);
  result.AddString("body", local_body);
  result.AddString("error", local_error);

  const std::string secret = FProfile->Secret();
  int status = 0;
  std::string response_text;
  if (!PostServerAction("connector-result", result.ToString(), secret, status, response_text)) {
    Log("Falha ao devolver comando " + id + " (HTTP " + std::to_string(status) + ").");
  }
}

}  // namespace tolvenar
