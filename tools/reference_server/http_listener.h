// A cpp-httplib server on its own thread: bound when constructed, serving
// until destroyed. Every request of any method goes to one handler.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "reference_server/listen_options.h"
#include "reference_server/recorded_request.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace tolvenar::tools {

class HttpListener {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  // Raises std::runtime_error when the certificate cannot be loaded or the
  // address cannot be bound.
  HttpListener(const ListenOptions& options, Handler handler);
  ~HttpListener();
  HttpListener(const HttpListener&) = delete;
  HttpListener& operator=(const HttpListener&) = delete;

  int port() const { return port_; }
  // "http://host:port" or "https://host:port".
  std::string BaseURL() const;

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::string scheme_;
  std::string host_;
  int port_ = 0;
};

// The request as received, without the library's own pseudo headers.
RecordedRequest RecordRequest(const httplib::Request& request);

// Whether the request came from this machine (admin routes answer only then).
bool FromLoopback(const httplib::Request& request);

// Sets a JSON body (UTF-8) and the status.
void ReplyJson(httplib::Response& response, int status, const std::string& json);

}  // namespace tolvenar::tools
