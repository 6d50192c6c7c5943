#include <windows.h>
// After windows.h, which it needs.
#include <process.h>

#include <cerrno>
#include <system_error>

#include "env/native_thread.h"

namespace tolvenar {

namespace {

class WindowsThread : public NativeThread {
 public:
  explicit WindowsThread(HANDLE thread) : thread_(thread) {}
  ~WindowsThread() override {
    Join();
    CloseHandle(thread_);
  }
  void Join() override {
    if (joinable_) {
      WaitForSingleObject(thread_, INFINITE);
      joinable_ = false;
    }
  }

 private:
  HANDLE thread_;
  bool joinable_ = true;
};

unsigned __stdcall Entry(void* argument) {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return 0;
}

}  // namespace

std::unique_ptr<NativeThread> StartNativeThread(std::function<void()> body, size_t stack_bytes) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  // The size reserves address space; pages are committed as the stack grows.
  const uintptr_t thread = _beginthreadex(nullptr, static_cast<unsigned>(stack_bytes), &Entry,
                                          owned.get(), STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == 0) throw std::system_error(errno, std::generic_category());
  owned.release();  // the thread owns it now
  return std::make_unique<WindowsThread>(reinterpret_cast<HANDLE>(thread));
}

}  // namespace tolvenar
