// The worker loop's cadence, guard and stop behaviour, with the loop's
// operations and pauses replaced by a script.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/profile.h"
#include "connector/worker.h"
#include "support/fake_env.h"

namespace tolvenar {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Records what the loop did, in order: "enroll", "poll", "pause <ms>",
// "log <text>".
class ScriptedWorker : public TTolvenarConnectorWorker {
 public:
  ScriptedWorker(TTolvenarConnectorProfile* profile, Env* env)
      : TTolvenarConnectorWorker(profile, nullptr, env) {}

  std::function<bool()> on_enroll = [] { return false; };
  std::function<void()> on_poll = [] {};
  // Stops the loop after this many pauses.
  int stop_after_pauses = 1;
  std::vector<std::string> trace;

  void RunBody() { Execute(); }

 protected:
  bool Enroll() override {
    trace.push_back("enroll");
    return on_enroll();
  }
  void PollOnce() override {
    trace.push_back("poll");
    on_poll();
  }
  void Pause(int milliseconds) override {
    trace.push_back("pause " + std::to_string(milliseconds));
    if (--stop_after_pauses <= 0) Terminate();
  }
  void Log(const std::string& text) override { trace.push_back("log " + text); }
};

class WorkerLoopTest : public ::testing::Test {
 protected:
  WorkerLoopTest() : env_("."), profile_(&env_.protector()) {
    profile_.SetServerURL("https://server.example");
    profile_.SetCNPJ("12345678000199");
    profile_.SetPollIntervalMS(4000);
  }
  void Enrolled() {
    profile_.SetSecretEncrypted(
        TTolvenarConnectorConfig::ProtectMachineString(env_.protector(), "s3cret"));
  }

  testing::FakeEnv env_;
  TTolvenarConnectorProfile profile_;
};

TEST_F(WorkerLoopTest, PlainHttpServerIsRefusedOnceWithoutAnyExchange) {
  for (const char* url : {"http://server", "HTTP://server", "hTtP://server"}) {
    profile_.SetServerURL(url);
    ScriptedWorker worker(&profile_, &env_);
    worker.RunBody();
    EXPECT_THAT(worker.trace, ElementsAre(std::string("log ") +
                                          TTolvenarConnectorWorker::kInsecureRefusedMessage))
        << url;
  }
}

TEST_F(WorkerLoopTest, PlainHttpRunsWhenAllowedAndHttpsRunsEitherWay) {
  Enrolled();
  struct Case {
    const char* url;
    bool allow;
  };
  for (const Case& c : {Case{"http://server", true}, Case{"https://server", false},
                        Case{"HTTPS://server", true}, Case{"httpx://server", false}}) {
    profile_.SetServerURL(c.url);
    profile_.SetAllowInsecureHTTP(c.allow);
    ScriptedWorker worker(&profile_, &env_);
    worker.RunBody();
    EXPECT_THAT(worker.trace, ElementsAre("poll", "pause 4000")) << c.url;
  }
}

TEST_F(WorkerLoopTest, EnrolledProfilePollsThenPausesItsInterval) {
  Enrolled();
  ScriptedWorker worker(&profile_, &env_);
  worker.stop_after_pauses = 3;
  worker.RunBody();
  EXPECT_THAT(worker.trace,
              ElementsAre("poll", "pause 4000", "poll", "pause 4000", "poll", "pause 4000"));
}

TEST_F(WorkerLoopTest, EnrollmentThatDidNotSucceedPausesTenSecondsOnly) {
  ScriptedWorker worker(&profile_, &env_);
  worker.stop_after_pauses = 2;
  worker.RunBody();
  EXPECT_THAT(worker.trace, ElementsAre("enroll", "pause 10000", "enroll", "pause 10000"));
}

TEST_F(WorkerLoopTest, SuccessfulEnrollmentPollsInTheSameIteration) {
  ScriptedWorker worker(&profile_, &env_);
  worker.on_enroll = [&] {
    Enrolled();
    return true;
  };
  worker.stop_after_pauses = 2;
  worker.RunBody();
  EXPECT_THAT(worker.trace, ElementsAre("enroll", "poll", "pause 4000", "poll", "pause 4000"));
}

TEST_F(WorkerLoopTest, ErrorIsLoggedAndFollowedByThePollInterval) {
  Enrolled();
  ScriptedWorker worker(&profile_, &env_);
  worker.on_poll = [] { throw std::runtime_error("Error sending data: (7) refused"); };
  worker.RunBody();
  EXPECT_THAT(worker.trace,
              ElementsAre("poll", "log Falha de comunicacao: Error sending data: (7) refused",
                          "pause 4000"));
}

TEST_F(WorkerLoopTest, FailedEnrollmentErrorTakesThePollIntervalNotTenSeconds) {
  ScriptedWorker worker(&profile_, &env_);
  worker.on_enroll = []() -> bool { throw std::runtime_error("Unable to write to x.ini"); };
  worker.RunBody();
  EXPECT_THAT(
      worker.trace,
      ElementsAre("enroll", "log Falha de comunicacao: Unable to write to x.ini", "pause 4000"));
}

TEST_F(WorkerLoopTest, UnreadableSecretIsLoggedEveryIterationAndNeverEnrolls) {
  profile_.SetSecretEncrypted("bm90IGEgYmxvY2s=");  // valid Base64, no protected block
  profile_.SetEnrollmentCode("ABC");
  ScriptedWorker worker(&profile_, &env_);
  worker.stop_after_pauses = 2;
  worker.RunBody();
  ASSERT_EQ(worker.trace.size(), 4u);
  EXPECT_EQ(worker.trace[0].rfind("log Falha de comunicacao: System Error.  Code: 13.\r\n", 0), 0u);
  EXPECT_EQ(worker.trace[1], "pause 4000");
  EXPECT_EQ(worker.trace[2], worker.trace[0]);
}

TEST_F(WorkerLoopTest, StopDuringPollSkipsThePause) {
  Enrolled();
  ScriptedWorker worker(&profile_, &env_);
  worker.on_poll = [&] { worker.Terminate(); };
  worker.RunBody();
  EXPECT_THAT(worker.trace, ElementsAre("poll"));
}

TEST_F(WorkerLoopTest, StopDuringFailedEnrollmentStillTakesTheTenSecondPause) {
  ScriptedWorker worker(&profile_, &env_);
  worker.on_enroll = [&] {
    worker.Terminate();
    return false;
  };
  worker.stop_after_pauses = 100;
  worker.RunBody();
  EXPECT_THAT(worker.trace, ElementsAre("enroll", "pause 10000"));
}

TEST_F(WorkerLoopTest, FlagSetBeforeTheThreadBeginsMeansTheBodyNeverRuns) {
  Enrolled();
  ScriptedWorker worker(&profile_, &env_);
  worker.Terminate();
  worker.Start();
  worker.WaitFor();
  EXPECT_THAT(worker.trace, IsEmpty());
}

TEST_F(WorkerLoopTest, RealThreadRunsTheLoopUntilTerminated) {
  Enrolled();
  ScriptedWorker worker(&profile_, &env_);
  worker.stop_after_pauses = 5;
  worker.Start();
  worker.WaitFor();
  EXPECT_EQ(worker.trace.size(), 10u);
  EXPECT_TRUE(worker.Finished());
}

}  // namespace
}  // namespace tolvenar
