// TTolvenarConnectorWorker: one profile's thread. It enrolls the profile
// once, then polls the connection server, relays commands to the local API
// and reports their outcome. All of it lives in this folder, one file per
// part: the loop (worker_loop.cpp), the log (activity_log.cpp), the server
// exchanges (server_action.cpp, enroll.cpp, poll.cpp) and the local API
// client (allowlist.cpp, local_api.cpp).
#pragma once

#include <string>

#include "connector/thread.h"
#include "messages/messages.h"

namespace tolvenar {

class Env;
class JsonValue;
class TTolvenarConnectorConfig;
class TTolvenarConnectorProfile;

class TTolvenarConnectorWorker : public TThread {
 public:
  // Created suspended; borrows the profile, the configuration and the Env.
  TTolvenarConnectorWorker(TTolvenarConnectorProfile* AProfile, TTolvenarConnectorConfig* AConfig,
                           Env* env);
  ~TTolvenarConnectorWorker() override;

  const std::string& LocalAPIVersion() const { return FLocalAPIVersion; }

  // Loop constants.
  static constexpr int kEnrollRetryPauseMS = 10000;

  // Log messages of the loop.
  static constexpr const char* kInsecureRefusedMessage = kMsgInsecureRefused;

  // True when the worker refuses the profile's server outright: a plain
  // "http://" URL without PermitirHTTPInseguro.
  static bool RefusesServer(const TTolvenarConnectorProfile& profile);

 protected:
  // The loop (worker_loop.cpp).
  void Execute() override;
  // One pause of the loop; a plain sleep through the Env.
  virtual void Pause(int milliseconds);

  // Appends one entry to the activity log; never raises (activity_log.cpp).
  virtual void Log(const std::string& text);

  // Server exchanges (server_action.cpp, enroll.cpp, poll.cpp).
  std::string ServerActionURL(const std::string& action) const;
  // `body` by value: a relayed answer's result is moved through, not copied.
  bool PostServerAction(const std::string& action, std::string body, const std::string& secret,
                        int& status, std::string& response_text);
  virtual bool Enroll();
  // Stores an issued enrollment; when the file cannot take it, logs why and
  // keeps it in the profile's memory, unsaved (enroll.cpp).
  void StoreEnrollment(const std::string& connector_id, const std::string& connector_secret);
  virtual void PollOnce();
  void ExecuteCommand(const JsonValue& command);

  // Local API client (allowlist.cpp, local_api.cpp).
  static bool IsRouteAllowed(const std::string& path);
  bool CallLocalAPI(const std::string& method, const std::string& path,
                    const std::string& request_body, const std::string& authorization,
                    const std::string& session_token, int& status, std::string& response_body,
                    std::string& error);
  std::string QueryLocalAPIVersion();

  TTolvenarConnectorProfile* FProfile;
  TTolvenarConnectorConfig* FConfig;
  std::string FLocalAPIVersion;
  Env* env_;
};

}  // namespace tolvenar
