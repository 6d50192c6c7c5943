#include "support/raw_http_server.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "base/text.h"

namespace tolvenar::testing {

namespace {

// The few socket calls that differ between Winsock and POSIX.
#ifdef _WIN32
using Socket = SOCKET;
const Socket kNoSocket = INVALID_SOCKET;
void CloseSocket(Socket s) { closesocket(s); }
void ShutdownSend(Socket s) { shutdown(s, SD_SEND); }
constexpr int kSendFlags = 0;
void StartSockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw std::runtime_error("WSAStartup failed");
}
#else
using Socket = int;
const Socket kNoSocket = -1;
void CloseSocket(Socket s) { close(s); }
void ShutdownSend(Socket s) { shutdown(s, SHUT_WR); }
constexpr int kSendFlags = MSG_NOSIGNAL;
void StartSockets() {}
#endif

constexpr int kPollMs = 20;
constexpr auto kRequestDeadline = std::chrono::seconds(10);
constexpr int kHoldLimitMs = 30000;

Socket ToSocket(std::intptr_t handle) { return static_cast<Socket>(handle); }

// True when `s` has data (or a pending connection, or EOF) within `ms`.
bool Readable(Socket s, int ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval timeout{ms / 1000, (ms % 1000) * 1000};
  return select(static_cast<int>(s) + 1, &set, nullptr, nullptr, &timeout) > 0;
}

Socket ListenOnLoopback(int* port) {
  StartSockets();
  Socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == kNoSocket) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 16) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    CloseSocket(s);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  *port = ntohs(address.sin_port);
  return s;
}

bool SendAll(Socket s, std::string_view bytes) {
  while (!bytes.empty()) {
    const int sent = send(s, bytes.data(), static_cast<int>(bytes.size()), kSendFlags);
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

// Splits the head of a request (up to the blank line) into its parts.
void ParseHead(std::string_view head, RawRequest* request) {
  size_t line_end = head.find("\r\n");
  const std::string_view request_line = head.substr(0, line_end);
  const size_t first_space = request_line.find(' ');
  const size_t second_space = request_line.find(' ', first_space + 1);
  request->method = std::string(request_line.substr(0, first_space));
  if (first_space != std::string_view::npos) {
    request->target =
        std::string(request_line.substr(first_space + 1, second_space - first_space - 1));
  }
  while (line_end != std::string_view::npos) {
    const size_t start = line_end + 2;
    line_end = head.find("\r\n", start);
    const std::string_view line = head.substr(start, line_end - start);
    const size_t colon = line.find(':');
    if (line.empty() || colon == std::string_view::npos) continue;
    request->headers.emplace_back(std::string(line.substr(0, colon)),
                                  TrimControlsAndSpaces(line.substr(colon + 1)));
  }
}

}  // namespace

const std::string* RawRequest::Header(std::string_view name) const {
  for (const auto& header : headers) {
    if (SameTextAscii(header.first, name)) return &header.second;
  }
  return nullptr;
}

std::vector<std::string> RawRequest::HeaderNames() const {
  std::vector<std::string> names;
  for (const auto& header : headers) names.push_back(header.first);
  return names;
}

RawReply RawReply::Bytes(std::string bytes) {
  RawReply reply;
  reply.pieces.push_back({std::move(bytes), 0});
  return reply;
}

RawReply RawReply::Answer(int status, const HttpHeaders& headers, std::string body) {
  std::string bytes = StatusLine(status) + "\r\n";
  for (const auto& [name, value] : headers) bytes += name + ": " + value + "\r\n";
  bytes += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  return Bytes(bytes + body);
}

RawReply RawReply::Silent() {
  RawReply reply;
  reply.hold_open = true;
  return reply;
}

RawReply RawReply::Close() { return RawReply(); }

std::string StatusLine(int status) {
  const char* reason = "Status";
  switch (status) {
    case 200:
      reason = "OK";
      break;
    case 204:
      reason = "No Content";
      break;
    case 300:
      reason = "Multiple Choices";
      break;
    case 301:
      reason = "Moved Permanently";
      break;
    case 302:
      reason = "Found";
      break;
    case 303:
      reason = "See Other";
      break;
    case 307:
      reason = "Temporary Redirect";
      break;
    case 308:
      reason = "Permanent Redirect";
      break;
    case 401:
      reason = "Unauthorized";
      break;
    case 404:
      reason = "Not Found";
      break;
    case 500:
      reason = "Internal Server Error";
      break;
    default:
      break;
  }
  return "HTTP/1.1 " + std::to_string(status) + " " + reason;
}

RawHttpServer::RawHttpServer(Handler handler) : handler_(std::move(handler)) {
  listener_ = static_cast<std::intptr_t>(ListenOnLoopback(&port_));
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

RawHttpServer::~RawHttpServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
  acceptor_.join();
  // No new connection threads start once the acceptor has ended.
  for (std::thread& connection : connections_) connection.join();
  CloseSocket(ToSocket(listener_));
}

std::string RawHttpServer::Url(std::string_view path_query) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path_query);
}

std::vector<RawRequest> RawHttpServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool RawHttpServer::Pause(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !stopped_.wait_for(lock, std::chrono::milliseconds(ms),
                            [this] { return stopping_.load(); });
}

void RawHttpServer::AcceptLoop() {
  const Socket listener = ToSocket(listener_);
  while (!stopping_) {
    if (!Readable(listener, kPollMs)) continue;
    const Socket connection = accept(listener, nullptr, nullptr);
    if (connection == kNoSocket) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.emplace_back(
        [this, connection] { Serve(static_cast<std::intptr_t>(connection)); });
  }
}

void RawHttpServer::Serve(std::intptr_t handle) {
  const Socket s = ToSocket(handle);
  RawRequest request;
  const auto deadline = std::chrono::steady_clock::now() + kRequestDeadline;
  size_t head_end = std::string::npos;
  size_t wanted = std::string::npos;  // whole request size, once the head is known
  char buffer[16 * 1024];
  while (!stopping_ && std::chrono::steady_clock::now() < deadline &&
         (wanted == std::string::npos || request.raw.size() < wanted)) {
    if (!Readable(s, kPollMs)) continue;
    const int received = recv(s, buffer, sizeof buffer, 0);
    if (received <= 0) break;
    request.raw.append(buffer, static_cast<size_t>(received));
    if (head_end == std::string::npos) {
      head_end = request.raw.find("\r\n\r\n");
      if (head_end == std::string::npos) continue;
      ParseHead(std::string_view(request.raw).substr(0, head_end), &request);
      const std::string* length = request.Header("Content-Length");
      wanted = head_end + 4 + (length ? std::strtoul(length->c_str(), nullptr, 10) : 0);
    }
  }
  if (wanted == std::string::npos || request.raw.size() < wanted) {
    CloseSocket(s);  // no complete request: nothing to answer
    return;
  }
  request.body = request.raw.substr(head_end + 4);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }

  const RawReply reply = handler_(request);
  bool open = true;
  for (const RawReply::Piece& piece : reply.pieces) {
    if (piece.delay_ms > 0 && !Pause(piece.delay_ms)) break;
    if (!(open = SendAll(s, piece.bytes))) break;
  }
  if (reply.hold_open) Pause(kHoldLimitMs);
  // Close gently: the peer reads all that was sent before it sees the end.
  if (open) {
    ShutdownSend(s);
    const auto drain_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (!stopping_ && std::chrono::steady_clock::now() < drain_until) {
      if (!Readable(s, kPollMs)) continue;
      if (recv(s, buffer, sizeof buffer, 0) <= 0) break;
    }
  }
  CloseSocket(s);
}

int UnusedLoopbackPort() {
  int port = 0;
  CloseSocket(ListenOnLoopback(&port));
  return port;
}

}  // namespace tolvenar::testing
