// A thread whose stack size is chosen: std::thread always takes the
// platform's default (8 MiB of address space per thread on Linux).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace tolvenar {

class NativeThread {
 public:
  virtual ~NativeThread() = default;  // joins a thread not yet joined
  // Blocks until the body has returned.
  virtual void Join() = 0;
};

// Runs `body` on a new thread with a stack of `stack_bytes` (raised to the
// platform's minimum). Raises std::system_error when the thread cannot be
// created.
std::unique_ptr<NativeThread> StartNativeThread(std::function<void()> body, size_t stack_bytes);

}  // namespace tolvenar
