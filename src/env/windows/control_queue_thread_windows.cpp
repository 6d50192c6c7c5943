// The service thread: a Windows thread whose message queue carries the
// control codes (thread message WM_USER + 1, the code as its first
// parameter). A pause suspends the thread itself; the next control request
// resumes it.
#include <atomic>
#include <mutex>
#include <vector>

#include "env/windows/service_windows.h"

namespace tolvenar {

namespace {

class WindowsControlQueueThread : public ControlQueueThread {
 public:
  explicit WindowsControlQueueThread(std::function<void()> body) : body_(std::move(body)) {
    DWORD id = 0;
    handle_ = CreateThread(nullptr, 0, &Entry, this, CREATE_SUSPENDED, &id);
    if (!handle_) RaiseWindowsError(GetLastError());
    id_ = id;
  }

  ~WindowsControlQueueThread() override {
    if (!resumed_) {
      // Never resumed: let it run out without its body.
      cancelled_ = true;
      ResumeThread(handle_);
    }
    WaitFor();
    CloseHandle(handle_);
  }

  void Resume() override {
    resumed_ = true;
    ResumeThread(handle_);
  }

  void WaitFor() override { WaitForSingleObject(handle_, INFINITE); }

  void PostControl(uint32_t code) override {
    bool resume = false;
    {
      // Until the thread has its queue, codes wait here.
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_ready_) {
        PostThreadMessageW(id_, kServiceControlMessage, code, 0);
      } else {
        early_codes_.push_back(code);
      }
      resume = suspended_;
      suspended_ = false;
    }
    if (resume) {
      // The thread may be between leaving the lock and suspending itself:
      // resume it once it really is suspended.
      for (;;) {
        const DWORD previous = ResumeThread(handle_);
        if (previous != 0) break;
        Sleep(0);
      }
    }
  }

  bool NextControl(bool wait, uint32_t* code) override {
    MSG msg;
    for (;;) {
      if (wait) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) return false;
      } else if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        return false;
      }
      if (msg.hwnd == nullptr && msg.message == kServiceControlMessage) {
        *code = static_cast<uint32_t>(msg.wParam);
        return true;
      }
      DispatchMessageW(&msg);
    }
  }

  void SuspendSelf() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // A request that came in meanwhile is the one that would resume it.
      MSG msg;
      if (PeekMessageW(&msg, nullptr, kServiceControlMessage, kServiceControlMessage,
                       PM_NOREMOVE)) {
        return;
      }
      suspended_ = true;
    }
    SuspendThread(GetCurrentThread());
  }

 private:
  static DWORD WINAPI Entry(void* parameter) {
    auto* self = static_cast<WindowsControlQueueThread*>(parameter);
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // creates the queue
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->queue_ready_ = true;
      for (uint32_t code : self->early_codes_) {
        PostThreadMessageW(self->id_, kServiceControlMessage, code, 0);
      }
      self->early_codes_.clear();
    }
    if (!self->cancelled_) self->body_();
    return 0;
  }

  std::function<void()> body_;
  HANDLE handle_ = nullptr;
  DWORD id_ = 0;
  std::mutex mutex_;
  bool queue_ready_ = false;
  std::vector<uint32_t> early_codes_;
  bool suspended_ = false;  // guarded by mutex_
  std::atomic<bool> cancelled_{false};
  bool resumed_ = false;
};

}  // namespace

std::unique_ptr<ControlQueueThread> WindowsServicePlatform::CreateControlQueueThread(
    std::function<void()> body) {
  return std::make_unique<WindowsControlQueueThread>(std::move(body));
}

}  // namespace tolvenar
