// Threads get the stack they ask for, not the 8 MiB default.
#include "env/native_thread.h"

#include <gtest/gtest.h>
#include <pthread.h>

namespace tolvenar {
namespace {

size_t OwnStackSize() {
  pthread_attr_t attributes;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    pthread_attr_getstacksize(&attributes, &size);
    pthread_attr_destroy(&attributes);
  }
  return size;
}

TEST(NativeThread, RunsTheBodyOnAStackOfTheChosenSize) {
  size_t seen = 0;
  std::unique_ptr<NativeThread> thread =
      StartNativeThread([&] { seen = OwnStackSize(); }, size_t{512} << 10);
  thread->Join();
  // ThreadSanitizer adds room of its own to every thread's stack.
  EXPECT_GE(seen, size_t{512} << 10);
  EXPECT_LT(seen, size_t{2} << 20) << "not the 8 MiB default";
}

}  // namespace
}  // namespace tolvenar
