// StopSignal's wakers: how a wait on something of its own learns of a stop.
#include "base/stop_signal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace tolvenar {
namespace {

TEST(StopSignalTest, WakersLivingAtTheRequestAreCalledAndOnlyThey) {
  StopSignal signal;
  int early = 0;
  int living = 0;
  int gone = 0;
  auto removed = std::make_unique<StopSignal::Waker>(signal, [&] { ++gone; });
  const StopSignal::Waker first(signal, [&] { ++early; });
  const StopSignal::Waker second(signal, [&] { ++living; });
  removed.reset();

  signal.Request();
  EXPECT_TRUE(signal.Requested());
  EXPECT_EQ(early, 1);
  EXPECT_EQ(living, 1);
  EXPECT_EQ(gone, 0);

  // A later request keeps the first time but wakes again: a waiter may
  // have started after the first one.
  const auto at = signal.RequestedAt();
  signal.Request();
  EXPECT_EQ(signal.RequestedAt(), at);
  EXPECT_EQ(living, 2);
}

TEST(StopSignalTest, ARequestBeforeTheWakerIsReadFromTheSignalNotReplayed) {
  StopSignal signal;
  signal.Request();
  int woken = 0;
  const StopSignal::Waker waker(signal, [&] { ++woken; });
  EXPECT_EQ(woken, 0);
  EXPECT_TRUE(signal.Deadline(StopSignal::Clock::now(), std::chrono::seconds(1)).has_value());
}

}  // namespace
}  // namespace tolvenar
