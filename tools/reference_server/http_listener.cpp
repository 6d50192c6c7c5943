#include "reference_server/http_listener.h"

#include <httplib.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <stdexcept>

namespace tolvenar::tools {

namespace {

bool IsPseudoHeader(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
         name == "LOCAL_PORT";
}

}  // namespace

HttpListener::HttpListener(const ListenOptions& options, Handler handler) : host_(options.host) {
  if (!options.cert_file.empty() || !options.key_file.empty()) {
    auto tls =
        std::make_unique<httplib::SSLServer>(options.cert_file.c_str(), options.key_file.c_str());
    if (!tls->is_valid()) {
      throw std::runtime_error("cannot load certificate " + options.cert_file + " and key " +
                               options.key_file);
    }
    server_ = std::move(tls);
    scheme_ = "https";
  } else {
    server_ = std::make_unique<httplib::Server>();
    scheme_ = "http";
  }
  // One request per connection, as the connector makes them; nothing keeps
  // a worker thread waiting on an idle connection when the server stops.
  server_->set_keep_alive_max_count(1);
  server_->set_payload_max_length(options.max_body_bytes);
  const auto shared = std::make_shared<Handler>(std::move(handler));
  const httplib::Server::Handler all = [shared](const httplib::Request& request,
                                                httplib::Response& response) {
    (*shared)(request, response);
  };
  server_->Get(".*", all);
  server_->Post(".*", all);
  server_->Put(".*", all);
  server_->Patch(".*", all);
  server_->Delete(".*", all);
  server_->Options(".*", all);

  // The library listens with a backlog of 5: a burst of connections, such as
  // many profiles starting at once, would have connection attempts dropped
  // and retried a second later. The listening socket is given the system's
  // maximum once bound.
  const auto listening = std::make_shared<std::atomic<int>>(-1);
  server_->set_socket_options([listening](socket_t sock) {
    // Not the library's default options: its SO_REUSEPORT lets a second
    // server bind the same port and silently take half the connections.
    // SO_REUSEADDR alone still allows a restart while old connections of
    // the previous run linger in TIME_WAIT, and refuses a port in use.
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    int none = -1;
    listening->compare_exchange_strong(none, sock);
  });
  if (options.port == 0) {
    port_ = server_->bind_to_any_port(options.host);
  } else if (server_->bind_to_port(options.host, options.port)) {
    port_ = options.port;
  }
  if (port_ <= 0) {
    throw std::runtime_error("cannot listen on " + options.host + ":" +
                             std::to_string(options.port) +
                             " (port in use, or the address is not this machine's)");
  }
  if (listening->load() >= 0) ::listen(listening->load(), SOMAXCONN);
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() is ignored until the accept loop runs; wait for it so that a
  // server destroyed at once still ends.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!server_->is_running() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

HttpListener::~HttpListener() {
  server_->stop();
  thread_.join();
}

std::string HttpListener::BaseURL() const {
  return scheme_ + "://" + host_ + ":" + std::to_string(port_);
}

RecordedRequest RecordRequest(const httplib::Request& request) {
  RecordedRequest record;
  record.method = request.method;
  record.target = request.target.empty() ? request.path : request.target;
  record.path = request.path;
  for (const auto& [name, value] : request.headers)
    if (!IsPseudoHeader(name)) record.headers.emplace_back(name, value);
  record.body = request.body;
  record.received_unix_us = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
  return record;
}

bool FromLoopback(const httplib::Request& request) {
  const std::string& address = request.remote_addr;
  return address == "::1" || address.rfind("127.", 0) == 0 || address.rfind("::ffff:127.", 0) == 0;
}

void ReplyJson(httplib::Response& response, int status, const std::string& json) {
  response.status = status;
  response.set_content(json, "application/json; charset=utf-8");
}

}  // namespace tolvenar::tools
