// The envelope of every exchange with the connection server: a JSON POST to
// "<server>/api.php?action=<action>".
#include "base/version.h"
#include "config/profile.h"
#include "connector/server_probe.h"
#include "connector/worker.h"
#include "http/http_client.h"

namespace tolvenar {

namespace {
constexpr int kServerConnectTimeoutMS = 10000;
}  // namespace

std::string ServerActionURLOf(const std::string& server_url, const std::string& action) {
  return server_url + "/api.php?action=" + action;
}

std::string TTolvenarConnectorWorker::ServerActionURL(const std::string& action) const {
  return ServerActionURLOf(FProfile->ServerURL(), action);
}

bool TTolvenarConnectorWorker::PostServerAction(const std::string& action, std::string body,
                                                const std::string& secret, int& status,
                                                std::string& response_text) {
  status = 0;
  response_text.clear();
  HttpClient client(*env_, kServerConnectTimeoutMS, kServerResponseTimeoutMS);
  client.SetStopSignal(&StopRequest());
  // The server may move its endpoint within its own origin, never send the
  // connector (with its body) to another host or to the local API.
  client.RestrictRedirectsToOrigin();
  HttpHeaders headers = {
      {"Content-Type", "application/json"},
      {"Accept", "application/json"},
      {"X-Tolvenar-Connector-Version", kConnectorVersion},
  };
  if (!secret.empty()) headers.emplace_back("X-Tolvenar-Connector", secret);
  HttpClientResponse response =
      client.Send("POST", ServerActionURL(action), headers, std::move(body));
  status = response.status;
  if (status != 204) response_text = DecodeResponseText(std::move(response.body));
  return status >= 200 && status <= 299;
}

int ProbeConnectionServer(Env& env, const std::string& server_url,
                          StopSignal::Clock::time_point deadline) {
  HttpClient client(env, kServerConnectTimeoutMS, kServerResponseTimeoutMS);
  client.RestrictRedirectsToOrigin();
  client.SetDeadline(deadline);
  client.SetMaxBodyBytes(kServerProbeMaxBodyBytes);
  const HttpHeaders headers = {
      {"Content-Type", "application/json"},
      {"Accept", "application/json"},
      {"X-Tolvenar-Connector-Version", kConnectorVersion},
  };
  return client.Send("POST", ServerActionURLOf(server_url, kServerProbeAction), headers, "{}")
      .status;
}

}  // namespace tolvenar
