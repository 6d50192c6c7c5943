// Polling for a command, relaying it and reporting its outcome.
#include <memory>
#include <string>
#include <utility>

#include "base/text.h"
#include "config/profile.h"
#include "connector/worker.h"
#include "json/json.h"
#include "messages/messages.h"

namespace tolvenar {

void TTolvenarConnectorWorker::PollOnce() {
  std::unique_ptr<JsonValue> answer;
  {
    const std::string secret = FProfile->Secret();
    int status = 0;
    std::string response_text;
    if (!PostServerAction("connector-poll", "{}", secret, status, response_text)) {
      Log(FillMessage(kMsgPollRefused, {std::to_string(status)}));
      return;
    }
    if (status == 204) return;
    answer = ParseJSON(response_text);
  }  // the answer's text is let go before a large command body is relayed
  if (!answer || !answer->IsObject()) return;
  const JsonValue* command = answer->Find("command");
  if (command != nullptr && command->IsObject()) ExecuteCommand(*command);
}

void TTolvenarConnectorWorker::ExecuteCommand(const JsonValue& command) {
  const std::string id = TryGetJSONString(command, "id");
  std::string result_text;
  {
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
    result_text = std::move(result).ToString();
  }  // only the result's text stays while it is posted

  const std::string secret = FProfile->Secret();
  int status = 0;
  std::string response_text;
  if (!PostServerAction("connector-result", std::move(result_text), secret, status,
                        response_text)) {
    // The id is the server's text: it must not start a line of its own.
    Log(FillMessage(kMsgResultRefused, {LoggableText(id), std::to_string(status)}));
  }
}

}  // namespace tolvenar
