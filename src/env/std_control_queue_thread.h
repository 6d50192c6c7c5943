// A service thread over the standard library: a plain queue of control
// codes guarded by a mutex. Used where the platform has no thread message
// queue of its own (Linux), and by tests.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "env/service_platform.h"

namespace tolvenar {

class StdControlQueueThread : public ControlQueueThread {
 public:
  explicit StdControlQueueThread(std::function<void()> body);
  // Waits for a body that was resumed; one never resumed never runs.
  ~StdControlQueueThread() override;

  void Resume() override;
  void WaitFor() override;
  void PostControl(uint32_t code) override;
  bool NextControl(bool wait, uint32_t* code) override;
  void SuspendSelf() override;

 private:
  std::function<void()> body_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<uint32_t> queue_;
  bool suspended_ = false;
};

}  // namespace tolvenar
