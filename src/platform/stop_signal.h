// StopSignal: when a stop of the owning thread was asked for. Exchanges in
// flight read it to bound how long a peer can keep them going afterwards.
#pragma once

#include <atomic>
#include <chrono>
#include <limits>
#include <optional>

namespace tolvenar {

class StopSignal {
 public:
  using Clock = std::chrono::steady_clock;

  // Records the first request; later ones keep the first time.
  void Request() {
    Clock::rep expected = kNotRequested;
    requested_at_.compare_exchange_strong(expected, Clock::now().time_since_epoch().count());
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
};

}  // namespace tolvenar
