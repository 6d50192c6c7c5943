// RawHttpServer: a loopback HTTP server on raw sockets for tests that need a
// peer that misbehaves (never answers, trickles, closes early, sends broken
// bodies) or whose exact request bytes matter. cpp-httplib answers only
// well-formed HTTP and does not keep header order, and it has no mingw build
// in Debian, so this small server is written by hand; it runs in both test
// binaries.
//
// It listens on 127.0.0.1 on an ephemeral port, serves every connection on
// its own thread, reads one request (headers and a Content-Length body),
// records it, and plays the reply the handler returns. It stops itself when
// destroyed; every wait inside is bounded.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "env/http_transport.h"

namespace tolvenar::testing {

struct RawRequest {
  std::string raw;  // request line, headers and body, byte for byte
  std::string method;
  std::string target;   // as on the request line
  HttpHeaders headers;  // names as received, in order
  std::string body;

  // First header of that name (ASCII case ignored), or nullptr.
  const std::string* Header(std::string_view name) const;
  std::vector<std::string> HeaderNames() const;
};

// What the server sends back for one request.
struct RawReply {
  struct Piece {
    std::string bytes;
    int delay_ms = 0;  // pause before these bytes go out
  };
  std::vector<Piece> pieces;
  // After the pieces, keep the connection open and silent until the server
  // stops (or 30 s pass) instead of closing it.
  bool hold_open = false;

  // These bytes, then the connection closes.
  static RawReply Bytes(std::string bytes);
  // A complete answer with "Content-Length" and "Connection: close" added
  // after `headers`.
  static RawReply Answer(int status, const HttpHeaders& headers = {}, std::string body = {});
  // Accepts the request and never answers.
  static RawReply Silent();
  // Closes the connection without a byte.
  static RawReply Close();
};

class RawHttpServer {
 public:
  using Handler = std::function<RawReply(const RawRequest&)>;

  explicit RawHttpServer(Handler handler);
  ~RawHttpServer();
  RawHttpServer(const RawHttpServer&) = delete;
  RawHttpServer& operator=(const RawHttpServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by `path_query`.
  std::string Url(std::string_view path_query) const;
  // Every complete request received so far, in arrival order.
  std::vector<RawRequest> Requests() const;

 private:
  void AcceptLoop();
  void Serve(std::intptr_t connection);
  // Waits up to `ms` or until the server stops; false when it stopped.
  bool Pause(int ms);

  Handler handler_;
  std::intptr_t listener_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  std::vector<RawRequest> requests_;
  std::vector<std::thread> connections_;
  std::thread acceptor_;
};

// A loopback port nobody listens on: bound for a moment, then released.
int UnusedLoopbackPort();

// "HTTP/1.1 <status> <reason>" with a reason for the usual codes.
std::string StatusLine(int status);

}  // namespace tolvenar::testing
