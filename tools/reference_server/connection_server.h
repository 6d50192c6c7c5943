// Reference connection server: the three connector actions at
// "/api.php?action=...", and admin routes on loopback to drive it.
//
// Enrollment codes are accepted once each, for one CNPJ. An enrollment
// issues a connector id and a random secret; polls and results must carry
// that secret in "X-Tolvenar-Connector". Each poll hands out at most one
// queued command (204 when there is none) and each result is recorded.
// Only the latest requests and results are kept (ListenOptions). The
// accessors below give what was received whole; the admin routes and the
// report mask credentials (secret_mask.h).
// A reference for integrators and tests, not a production server.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "reference_server/listen_options.h"
#include "reference_server/recorded_request.h"

namespace tolvenar::tools {

class HttpListener;

struct Enrollment {
  std::string cnpj;
  std::string code;
  std::string connector_id;
  std::string connector_secret;
  std::string connector_version;
  std::string local_api_version;
};

struct CommandResult {
  std::string connector_id;  // of the connector that posted it
  std::string command_id;
  long long http_status = 0;
  std::string body;
  std::string error;
  // The command as it was handed out ("" when the id matches none).
  std::string method;
  std::string path;
  // Microseconds from handing the command out to receiving this result; -1
  // when the id matches none.
  long long relay_us = -1;
};

class ConnectionServer {
 public:
  // Starts serving at once; raises std::runtime_error when it cannot.
  explicit ConnectionServer(const ListenOptions& options = {});
  ~ConnectionServer();
  ConnectionServer(const ConnectionServer&) = delete;
  ConnectionServer& operator=(const ConnectionServer&) = delete;

  int Port() const;
  std::string BaseURL() const;

  // Accepts `code` (any letter case; the connector sends it upper-cased)
  // once, for the CNPJ whose digits `cnpj` holds.
  void AcceptCode(std::string_view cnpj, std::string_view code);

  // Queues a command object (JSON text, handed out as written). Without an
  // "id" member one is added, "cmd-N". With `cnpj` set, only connectors
  // enrolled for that CNPJ receive it. Returns the command's id text;
  // raises std::invalid_argument when the text is not a JSON object.
  std::string QueueCommand(const std::string& command_json, std::string_view cnpj = "");

  // Status that every poll, or every result post, is answered with instead
  // of the normal handling; 0 restores it.
  void SetPollStatus(int status);
  void SetResultStatus(int status);

  std::vector<Enrollment> Enrollments() const;
  std::vector<CommandResult> Results() const;
  // The latest requests to the connector actions (admin routes left out),
  // oldest first.
  std::vector<RecordedRequest> Requests() const;
  // Requests with the given action, e.g. "connector-poll".
  std::vector<RecordedRequest> Requests(std::string_view action) const;
  size_t PendingCommands() const;

  // Readable summary of enrollments, polls and results.
  std::string Report() const;

 private:
  struct State;
  struct Exchange;
  void Handle(Exchange& exchange);
  void HandleAdmin(Exchange& exchange);
  void Enroll(Exchange& exchange);
  void Poll(Exchange& exchange);
  void TakeResult(Exchange& exchange);

  std::unique_ptr<State> state_;
  std::unique_ptr<HttpListener> listener_;  // last: stops before the state goes
};

}  // namespace tolvenar::tools
