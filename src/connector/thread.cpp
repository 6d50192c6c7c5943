#include "connector/thread.h"

#include <system_error>

#include "base/exception.h"

namespace tolvenar {

TThread::~TThread() {
  // Derived parts are gone by now; owners call Terminate and WaitFor first.
  Terminate();
  WaitFor();
}

void TThread::Start() {
  try {
    thread_ = StartNativeThread([this] { Run(); }, kStackBytes);
  } catch (const std::system_error& e) {
    throw EThread(std::string("Thread creation error: ") + e.what());
  }
}

void TThread::WaitFor() {
  if (thread_) thread_->Join();
}

void TThread::Run() {
  if (!Terminated()) {
    try {
      Execute();
    } catch (...) {
      // An error escaping the body ends the thread without a trace.
    }
  }
  finished_.store(true);
}

}  // namespace tolvenar
