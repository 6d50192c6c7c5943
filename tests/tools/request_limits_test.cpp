// How much the reference servers take in and keep: a cap on request bodies
// and a bound on what they record.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "reference_server/connection_server.h"
#include "reference_server/sample_local_api.h"

namespace tolvenar::tools {
namespace {

using ::testing::ElementsAre;
using Json = nlohmann::json;

constexpr size_t kMiB = 1024 * 1024;

// Posts `prefix`, then `unit` `count` times, then `suffix`, as one body of
// announced length, produced piece by piece so that no copy of a body of
// many megabytes is built here.
httplib::Result PostRepeated(const std::string& base_url, const std::string& target,
                             const httplib::Headers& headers, const std::string& prefix,
                             const std::string& unit, size_t count, const std::string& suffix) {
  const size_t middle = unit.size() * count;
  const size_t total = prefix.size() + middle + suffix.size();
  const auto byte_at = [&](size_t at) {
    if (at < prefix.size()) return prefix[at];
    at -= prefix.size();
    if (at < middle) return unit[at % unit.size()];
    return suffix[at - middle];
  };
  httplib::Client client(base_url);
  client.set_read_timeout(60, 0);
  client.set_write_timeout(60, 0);
  return client.Post(
      target, headers, total,
      [&](size_t offset, size_t length, httplib::DataSink& sink) {
        std::string piece(std::min<size_t>(length, 64 * 1024), '\0');
        for (size_t i = 0; i < piece.size(); ++i) piece[i] = byte_at(offset + i);
        return sink.write(piece.data(), piece.size());
      },
      "application/json");
}

void Enroll(ConnectionServer& server) {
  server.AcceptCode("1", "X");
  httplib::Client client(server.BaseURL());
  const httplib::Result enrolled = client.Post("/api.php?action=connector-enroll",
                                               R"({"cnpj":"1","code":"X"})", "application/json");
  ASSERT_TRUE(enrolled);
  ASSERT_EQ(enrolled->status, 200);
}

TEST(RequestLimitsTest, ConnectionServerTakesATenMiBAnswerEscapedSixfoldAndNoMore) {
  ConnectionServer server;
  ASSERT_NO_FATAL_FAILURE(Enroll(server));
  const httplib::Headers headers = {
      {"X-Tolvenar-Connector", server.Enrollments().at(0).connector_secret}};
  // Every byte a control character: the longest escape there is.
  const httplib::Result taken =
      PostRepeated(server.BaseURL(), "/api.php?action=connector-result", headers,
                   R"({"command_id":"big","http_status":200,"body":")", "\\u0001", 10 * kMiB,
                   R"(","error":""})");
  ASSERT_TRUE(taken) << httplib::to_string(taken.error());
  EXPECT_EQ(taken->status, 200);
  ASSERT_EQ(server.Results().size(), 1u);
  EXPECT_TRUE(server.Results()[0].body == std::string(10 * kMiB, '\x01'));

  const httplib::Result refused = PostRepeated(
      server.BaseURL(), "/api.php?action=connector-result", headers,
      R"({"command_id":"huge","http_status":200,"body":")", "a", 80 * kMiB, R"(","error":""})");
  ASSERT_TRUE(refused) << httplib::to_string(refused.error());
  EXPECT_EQ(refused->status, 413);
  EXPECT_EQ(server.Results().size(), 1u);
}

TEST(RequestLimitsTest, SampleLocalApiTakesATenMiBBodyAndNoMoreThanTheCap) {
  SampleLocalApi api;
  const httplib::Result taken = PostRepeated(api.BaseURL(), "/api/v1/ia/chat", {},
                                             R"({"mensagem":")", "q", 10 * kMiB, R"("})");
  ASSERT_TRUE(taken) << httplib::to_string(taken.error());
  EXPECT_EQ(taken->status, 200);
  EXPECT_TRUE(Json::parse(taken->body).at("pergunta") == std::string(10 * kMiB, 'q'));

  const httplib::Result refused = PostRepeated(api.BaseURL(), "/api/v1/ia/chat", {},
                                               R"({"mensagem":")", "q", 80 * kMiB, R"("})");
  ASSERT_TRUE(refused) << httplib::to_string(refused.error());
  EXPECT_EQ(refused->status, 413);
  EXPECT_EQ(api.Requests().size(), 1u);
}

TEST(RequestLimitsTest, BodyJustOverTheCapIsRefusedAndNotRecorded) {
  ListenOptions options;
  options.max_body_bytes = 1000;
  ConnectionServer server(options);
  SampleLocalApi api(options);
  const std::string at_cap = "{\"mensagem\":\"" + std::string(1000 - 15, 'a') + "\"}";
  ASSERT_EQ(at_cap.size(), 1000u);
  const std::string over_cap = "{\"mensagem\":\"" + std::string(1001 - 15, 'a') + "\"}";

  httplib::Client to_server(server.BaseURL());
  EXPECT_EQ(to_server.Post("/api.php?action=connector-poll", at_cap, "application/json")->status,
            401);
  EXPECT_EQ(to_server.Post("/api.php?action=connector-poll", over_cap, "application/json")->status,
            413);
  httplib::Client to_api(api.BaseURL());
  EXPECT_EQ(to_api.Post("/api/v1/ia/chat", at_cap, "application/json")->status, 200);
  EXPECT_EQ(to_api.Post("/api/v1/ia/chat", over_cap, "application/json")->status, 413);

  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].body, at_cap);
  ASSERT_EQ(api.Requests().size(), 1u);
  EXPECT_EQ(api.Requests()[0].body, at_cap);
}

TEST(RequestLimitsTest, OnlyTheLatestRequestsAndResultsAreKept) {
  ListenOptions options;
  options.kept_records = 3;
  ConnectionServer server(options);
  SampleLocalApi api(options);

  server.AcceptCode("1", "X");
  httplib::Client to_server(server.BaseURL());
  const httplib::Result enrolled = to_server.Post("/api.php?action=connector-enroll",
                                                  R"({"cnpj":"1","code":"X"})", "application/json");
  ASSERT_TRUE(enrolled);
  ASSERT_EQ(enrolled->status, 200);
  const httplib::Headers secret = {
      {"X-Tolvenar-Connector",
       Json::parse(enrolled->body).at("connector_secret").get<std::string>()}};
  for (int i = 1; i <= 5; ++i) {
    const std::string id = "c" + std::to_string(i);
    server.QueueCommand(R"({"id":")" + id + R"(","method":"GET","path":"/p)" + std::to_string(i) +
                        "\"}");
    ASSERT_EQ(
        to_server.Post("/api.php?action=connector-poll", secret, "{}", "application/json")->status,
        200);
    const std::string result =
        R"({"command_id":")" + id + R"(","http_status":200,"body":"","error":""})";
    ASSERT_EQ(
        to_server.Post("/api.php?action=connector-result", secret, result, "application/json")
            ->status,
        200);
  }
  std::vector<std::string> ids, paths;
  for (const CommandResult& result : server.Results()) {
    ids.push_back(result.command_id);
    paths.push_back(result.path);  // the command each was matched with
  }
  EXPECT_THAT(ids, ElementsAre("c3", "c4", "c5"));
  EXPECT_THAT(paths, ElementsAre("/p3", "/p4", "/p5"));
  std::vector<std::string> targets;
  for (const RecordedRequest& request : server.Requests()) targets.push_back(request.target);
  EXPECT_THAT(targets,
              ElementsAre("/api.php?action=connector-result", "/api.php?action=connector-poll",
                          "/api.php?action=connector-result"));

  httplib::Client to_api(api.BaseURL());
  for (int i = 1; i <= 5; ++i) to_api.Get("/health?n=" + std::to_string(i));
  std::vector<std::string> api_targets;
  for (const RecordedRequest& request : api.Requests()) api_targets.push_back(request.target);
  EXPECT_THAT(api_targets, ElementsAre("/health?n=3", "/health?n=4", "/health?n=5"));
  EXPECT_EQ(Json::parse(to_api.Get("/admin/requests")->body).size(), 3u);
}

}  // namespace
}  // namespace tolvenar::tools
