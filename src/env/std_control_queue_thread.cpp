#include "env/std_control_queue_thread.h"

#include <utility>

namespace tolvenar {

StdControlQueueThread::StdControlQueueThread(std::function<void()> body) : body_(std::move(body)) {}

StdControlQueueThread::~StdControlQueueThread() { WaitFor(); }

void StdControlQueueThread::Resume() {
  if (!thread_.joinable()) thread_ = std::thread(body_);
}

void StdControlQueueThread::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

void StdControlQueueThread::PostControl(uint32_t code) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(code);
  suspended_ = false;
  changed_.notify_all();
}

bool StdControlQueueThread::NextControl(bool wait, uint32_t* code) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (wait) changed_.wait(lock, [this] { return !queue_.empty(); });
  if (queue_.empty()) return false;
  *code = queue_.front();
  queue_.pop_front();
  return true;
}

void StdControlQueueThread::SuspendSelf() {
  std::unique_lock<std::mutex> lock(mutex_);
  // A request that came in meanwhile is the one that would resume it.
  if (!queue_.empty()) return;
  suspended_ = true;
  changed_.wait(lock, [this] { return !suspended_; });
}

}  // namespace tolvenar
