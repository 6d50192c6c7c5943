// A stop while the connection server trickles its answer, end to end: each
// executable (Linux natively, Windows under Wine) must end within 50 s of
// ENTER however long the peer would keep the exchange alive. Every byte
// comes well within the 45 s response time-out, so only the stop deadline
// (45 s after the stop) can end the exchange. This case waits out that
// deadline once per executable.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/connector_e2e.h"
#include "support/raw_http_server.h"

namespace tolvenar {
namespace {

using namespace std::chrono_literals;
using testing::Eventually;
using testing::RawHttpServer;
using testing::RawReply;
using testing::RawRequest;

constexpr const char* kCnpj = "12345678000195";

class StopBoundE2ETest : public testing::ConnectorE2ETest {};

TEST_P(StopBoundE2ETest, ServerTricklingOneByteEveryFiveSecondsCannotHoldTheStop) {
  // Headers at once, then one byte of a long body every 5 s for 200 s.
  RawHttpServer trickle([](const RawRequest&) {
    RawReply reply = RawReply::Bytes(
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
        "Content-Length: 100000\r\n\r\n");
    for (int i = 0; i < 40; ++i) reply.pieces.push_back({" ", 5000});
    return reply;
  });
  WriteIni(testing::IniSection("Connector", trickle.Url(""), "http://127.0.0.1:9", kCnpj, "abc"));

  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Eventually([&] { return !trickle.Requests().empty(); })) << Log();
  // The headers are in; the worker now waits on the body.
  std::this_thread::sleep_for(1s);
  const auto stop = std::chrono::steady_clock::now();
  process_->WriteStdIn("\r\n");
  const testing::ProcessResult result = process_->Wait(testing::kE2ELimit);
  const auto took = std::chrono::steady_clock::now() - stop;
  process_.reset();

  EXPECT_FALSE(result.timed_out);
  EXPECT_LT(took, 50s) << std::chrono::duration_cast<std::chrono::seconds>(took).count() << " s";
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(LoggedCount(kCnpj, "Falha de comunicacao: Error reading data: ("), 1u) << Log();
  EXPECT_EQ(trickle.Requests().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Executables, StopBoundE2ETest,
                         ::testing::ValuesIn(testing::ConnectorTargets()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tolvenar
