// TThread: a thread object created suspended, with a stop flag, started
// once and waited for without a time limit.
#pragma once

#include <atomic>
#include <thread>

#include "platform/stop_signal.h"

namespace tolvenar {

class TThread {
 public:
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
  std::thread thread_;
};

}  // namespace tolvenar
