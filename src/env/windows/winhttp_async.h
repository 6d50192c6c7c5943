// One request of an asynchronous WinHTTP session, driven from the caller's
// thread as if each call blocked: a call starts one WinHTTP operation, then
// waits on an event for its completion or for the request's end (its
// deadline, or its stop's bound), whichever comes first. WinHTTP's own
// time-outs still end each wait; the end comes however often the peer sends
// a byte. No thread
// of its own is started: completions arrive on WinHTTP's pool.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/stop_signal.h"
#include "env/windows/winhttp_handle.h"
#include "env/windows/winhttp_test_trust.h"

namespace tolvenar {

class AsyncRequest {
 public:
  using Clock = std::chrono::steady_clock;

  // When the request must be over: at `deadline`, or `limit` after the
  // later of a stop and `started`, whichever comes first. With neither,
  // only WinHTTP's time-outs apply.
  struct Bound {
    const StopSignal* stop = nullptr;
    Clock::time_point started;
    Clock::duration limit{};
    std::optional<Clock::time_point> deadline;
  };

  // Takes `request`, opened on a session with WINHTTP_FLAG_ASYNC, and
  // installs its status callback. `host` names the server whose certificate
  // CheckCertificatesWith proves. Raises Exception when the callback cannot
  // be installed.
  AsyncRequest(WinHttpHandle request, const Bound& bound, std::wstring host);
  // Closes the request. Unless an operation was left behind at the request's
  // end, waits for WinHTTP's last word on the handle (or that end); what is
  // left behind is freed by that last word.
  ~AsyncRequest();
  AsyncRequest(const AsyncRequest&) = delete;
  AsyncRequest& operator=(const AsyncRequest&) = delete;

  HINTERNET get() const { return request_; }
  // True once the request's end cut an operation short or came before one.
  bool expired() const { return expired_; }

  // Each gives 0 when the operation succeeded, else its error;
  // ERROR_WINHTTP_TIMEOUT when the request's end came first, whatever the
  // operation would have reported. Once the end has cut one short, every
  // later one fails the same way without starting.
  //
  // `body` is copied: WinHTTP may read it after the end gave up on it.
  DWORD Send(std::string_view body);
  DWORD ReceiveResponse();
  // Up to `max` bytes of the body in `data`, valid until the next call;
  // empty at the body's end.
  DWORD Read(size_t max, std::string_view* data);

  // From now on, each connection's certificate is proven with `root`
  // against the host as the request goes out.
  void CheckCertificatesWith(std::shared_ptr<const TestRoot> root);

  // What the status callback saw during the last Send.
  struct SendNotes {
    DWORD secure_failure_flags = 0;
    bool certificate_rejected = false;  // by the root of CheckCertificatesWith
    bool callback_failed = false;       // an exception was caught in there
    bool request_sent = false;          // all of the request went out
  };
  SendNotes LastSendNotes() const;

  struct Shared;  // what the status callback touches

 private:
  template <typename Start>
  DWORD Run(Start start);
  // When the request must be over as things stand; nothing while no bound
  // applies.
  std::optional<Clock::time_point> End() const;
  bool PastEnd() const;
  // Waits until the callback has set `flag` or the request's end passes;
  // true for the former.
  bool WaitFor(const bool Shared::*flag);

  std::shared_ptr<Shared> shared_;
  HINTERNET request_ = nullptr;  // closed by the destructor, or at the end
  Bound bound_;
  bool expired_ = false;      // the request's end cut an operation short or came first
  bool left_behind_ = false;  // an operation may still run on the closed handle
  std::optional<StopSignal::Waker> waker_;  // sets the progress event on a stop
};

// The certificate the server presented on `request`'s connection, or null.
Certificate ServerCertificate(HINTERNET request);

}  // namespace tolvenar
