// The service thread and its control queue: the platform's and the one over
// the standard library behave alike.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "env/env.h"
#include "env/service_platform.h"
#include "env/std_control_queue_thread.h"

namespace tolvenar {
namespace {

using Factory = std::unique_ptr<ControlQueueThread> (*)(std::function<void()>);

std::unique_ptr<ControlQueueThread> PlatformThread(std::function<void()> body) {
  static std::unique_ptr<ServicePlatform> platform = NewServicePlatform(*Env::Default());
  return platform->CreateControlQueueThread(std::move(body));
}

std::unique_ptr<ControlQueueThread> StdThread(std::function<void()> body) {
  return std::make_unique<StdControlQueueThread>(std::move(body));
}

class ControlQueueThreadTest : public ::testing::TestWithParam<Factory> {};

TEST_P(ControlQueueThreadTest, CodesPostedBeforeTheBodyBeginsArriveInOrder) {
  std::vector<uint32_t> received;
  bool empty_after = false;
  ControlQueueThread* self = nullptr;
  auto thread = GetParam()([&] {
    uint32_t code = 0;
    while (received.size() < 3 && self->NextControl(true, &code)) received.push_back(code);
    empty_after = !self->NextControl(false, &code);
  });
  self = thread.get();
  thread->PostControl(1);
  thread->PostControl(200);
  thread->PostControl(4);
  thread->Resume();
  thread->WaitFor();
  EXPECT_EQ(received, (std::vector<uint32_t>{1, 200, 4}));
  EXPECT_TRUE(empty_after);
}

TEST_P(ControlQueueThreadTest, SuspendedThreadResumesAtTheNextControl) {
  std::atomic<bool> suspended{false};
  std::vector<uint32_t> received;
  ControlQueueThread* self = nullptr;
  auto thread = GetParam()([&] {
    uint32_t code = 0;
    self->NextControl(true, &code);
    received.push_back(code);
    suspended = true;
    self->SuspendSelf();
    self->NextControl(true, &code);
    received.push_back(code);
  });
  self = thread.get();
  thread->Resume();
  thread->PostControl(2);
  while (!suspended) std::this_thread::yield();
  // Whether or not it has suspended itself yet, this request resumes it.
  thread->PostControl(1);
  thread->WaitFor();
  EXPECT_EQ(received, (std::vector<uint32_t>{2, 1}));
}

TEST_P(ControlQueueThreadTest, SuspendingWithARequestQueuedReturnsAtOnce) {
  std::vector<uint32_t> received;
  ControlQueueThread* self = nullptr;
  auto thread = GetParam()([&] {
    uint32_t code = 0;
    self->NextControl(true, &code);
    self->SuspendSelf();  // 3 is already waiting
    self->NextControl(true, &code);
    received.push_back(code);
  });
  self = thread.get();
  thread->PostControl(2);
  thread->PostControl(3);
  thread->Resume();
  thread->WaitFor();
  EXPECT_EQ(received, (std::vector<uint32_t>{3}));
}

TEST_P(ControlQueueThreadTest, ThreadNeverResumedNeverRunsItsBody) {
  bool ran = false;
  GetParam()([&] { ran = true; }).reset();
  EXPECT_FALSE(ran);
}

INSTANTIATE_TEST_SUITE_P(Implementations, ControlQueueThreadTest,
                         ::testing::Values(&PlatformThread, &StdThread),
                         [](const ::testing::TestParamInfo<Factory>& info) {
                           return info.param == &PlatformThread ? "Platform" : "Std";
                         });

}  // namespace
}  // namespace tolvenar
