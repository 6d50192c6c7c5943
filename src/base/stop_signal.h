// StopSignal: when a stop of the owning thread was asked for. Exchanges in
// flight read it to bound how long a peer can keep them going afterwards.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace tolvenar {

class StopSignal {
 public:
  using Clock = std::chrono::steady_clock;

  // Calls `wake` on every stop request for as long as it lives, so that a
  // wait on something of the caller's own (an event, a socket) can end at
  // once instead of looking at the signal now and then. `wake` runs on the
  // requesting thread and must be quick; it is never called once the
  // Waker's destructor has returned. A request made before the Waker
  // existed is not replayed: read the signal after creating it.
  class Waker {
   public:
    Waker(const StopSignal& signal, std::function<void()> wake)
        : signal_(signal), wake_(std::move(wake)) {
      const std::lock_guard<std::mutex> lock(signal_.wakers_mutex_);
      signal_.wakers_.push_back(this);
    }
    ~Waker() {
      const std::lock_guard<std::mutex> lock(signal_.wakers_mutex_);
      auto& wakers = signal_.wakers_;
      wakers.erase(std::remove(wakers.begin(), wakers.end(), this), wakers.end());
    }
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

   private:
    friend class StopSignal;
    const StopSignal& signal_;
    const std::function<void()> wake_;
  };

  StopSignal() = default;
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // Records the first request; later ones keep the first time.
  void Request() {
    Clock::rep expected = kNotRequested;
    requested_at_.compare_exchange_strong(expected, Clock::now().time_since_epoch().count());
    const std::lock_guard<std::mutex> lock(wakers_mutex_);
    for (const Waker* waker : wakers_) waker->wake_();
  }
  bool Requested() const { return requested_at_.load() != kNotRequested; }
  std::optional<Clock::time_point> RequestedAt() const {
    const Clock::rep at = requested_at_.load();
    if (at == kNotRequested) return std::nullopt;
    return Clock::time_point(Clock::duration(at));
  }

  // The moment an exchange that began at `started` must give up when it
  // is still running after a stop: `limit` after the later of the two.
  // Nothing while no stop was requested.
  std::optional<Clock::time_point> Deadline(Clock::time_point started,
                                            Clock::duration limit) const {
    const std::optional<Clock::time_point> at = RequestedAt();
    if (!at) return std::nullopt;
    return (*at > started ? *at : started) + limit;
  }

 private:
  static constexpr Clock::rep kNotRequested = std::numeric_limits<Clock::rep>::min();
  std::atomic<Clock::rep> requested_at_{kNotRequested};
  // Wakers belong to readers of a const signal; they change no stop state.
  mutable std::mutex wakers_mutex_;
  mutable std::vector<const Waker*> wakers_;
};

}  // namespace tolvenar
