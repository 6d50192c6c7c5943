#include <limits.h>
#include <pthread.h>

#include <algorithm>
#include <system_error>

#include "env/native_thread.h"

namespace tolvenar {

namespace {

class PosixThread : public NativeThread {
 public:
  explicit PosixThread(pthread_t thread) : thread_(thread) {}
  ~PosixThread() override { Join(); }
  void Join() override {
    if (joinable_) {
      pthread_join(thread_, nullptr);
      joinable_ = false;
    }
  }

 private:
  pthread_t thread_;
  bool joinable_ = true;
};

void* Entry(void* argument) {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return nullptr;
}

}  // namespace

std::unique_ptr<NativeThread> StartNativeThread(std::function<void()> body, size_t stack_bytes) {
  pthread_attr_t attributes;
  int error = pthread_attr_init(&attributes);
  if (error != 0) throw std::system_error(error, std::generic_category());
  error = pthread_attr_setstacksize(&attributes, std::max<size_t>(stack_bytes, PTHREAD_STACK_MIN));
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  pthread_t thread{};
  if (error == 0) error = pthread_create(&thread, &attributes, &Entry, owned.get());
  pthread_attr_destroy(&attributes);
  if (error != 0) throw std::system_error(error, std::generic_category());
  owned.release();  // the thread owns it now
  return std::make_unique<PosixThread>(thread);
}

}  // namespace tolvenar
