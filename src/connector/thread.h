// TThread: a thread object created suspended, with a stop flag, started
// once and waited for without a time limit.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

#include "base/stop_signal.h"
#include "env/native_thread.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TC_CLANG_SANITIZED 1
#endif
#endif
#ifndef TC_CLANG_SANITIZED
#define TC_CLANG_SANITIZED 0
#endif

namespace tolvenar {

class TThread {
 public:
  // Stack of every such thread. A worker's deepest path is an exchange
  // (curl, OpenSSL, zlib) plus the JSON reader, which keeps its nesting on
  // the heap; sanitizer builds need several times more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || TC_CLANG_SANITIZED
  static constexpr size_t kStackBytes = size_t{8} << 20;
#else
  static constexpr size_t kStackBytes = size_t{512} << 10;
#endif

  TThread() = default;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  // Sets the stop flag and waits for a running thread before releasing it.
  virtual ~TThread();

  // Lets the thread body begin. Raises EThread("Thread creation error: %s")
  // when the platform cannot create the thread. Called at most once.
  void Start();
  // Only sets the stop flag (and records when); returns at once.
  void Terminate() {
    stop_signal_.Request();
    terminated_.store(true);
  }
  bool Terminated() const { return terminated_.load(); }
  // When the stop was requested; exchanges in flight bound themselves by it.
  const StopSignal& StopRequest() const { return stop_signal_; }
  // Blocks until the thread has ended; returns at once if it never started.
  void WaitFor();
  bool Finished() const { return finished_.load(); }

 protected:
  // The thread body; never run when the stop flag was set before the
  // thread began. An exception escaping it ends the thread silently.
  virtual void Execute() = 0;

 private:
  void Run();
  StopSignal stop_signal_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::unique_ptr<NativeThread> thread_;
};

}  // namespace tolvenar
