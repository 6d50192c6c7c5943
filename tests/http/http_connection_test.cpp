// Each request of an exchange, and each exchange, has a connection of its
// own, on the platform's real transport, even when the peer would keep the
// connection open for more.
#include <gtest/gtest.h>

#include <string>

#include "env/env.h"
#include "http/http_client.h"
#include "support/raw_http_server.h"

namespace tolvenar {
namespace {

using testing::RawHttpServer;
using testing::RawReply;
using testing::RawRequest;

// An answer that invites keep-alive: no "Connection: close", and the server
// holds the connection open afterwards. It reads one request per
// connection, so a reused connection would leave the next request
// unanswered.
RawReply KeepAlive(const std::string& head, const std::string& body) {
  RawReply reply =
      RawReply::Bytes(head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  reply.hold_open = true;
  return reply;
}

TEST(HttpConnectionTest, NoConnectionOutlivesItsRequest) {
  RawHttpServer server([](const RawRequest& request) {
    if (request.target == "/moved")
      return KeepAlive("HTTP/1.1 302 Found\r\nLocation: /here\r\n", "");
    return KeepAlive("HTTP/1.1 200 OK\r\n", "ok");
  });
  for (const char* path : {"/moved", "/here", "/moved"}) {
    SCOPED_TRACE(path);
    HttpClient client(*Env::Default(), 2000, 2000);
    const HttpClientResponse response = client.Send("GET", server.Url(path), {}, std::string());
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "ok");
  }
  EXPECT_EQ(server.Requests().size(), 5u);
}

}  // namespace
}  // namespace tolvenar
