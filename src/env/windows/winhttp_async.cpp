#include "env/windows/winhttp_async.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "base/exception.h"
#include "env/http_transport.h"
#include "env/windows/winhttp_error.h"

namespace tolvenar {

// Lives until both the caller and WinHTTP are done with it: WinHTTP holds
// `keep_alive` from the moment the callback is installed until it reports
// the handle closing, after which it never calls back for that handle.
struct AsyncRequest::Shared {
  Shared() : progress(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  ~Shared() {
    if (progress) CloseHandle(progress);
  }
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;

  std::mutex mutex;
  // Set on every completion, on the handle closing and on a stop request.
  const HANDLE progress;
  // The operation in flight.
  bool completed = false;
  DWORD error = 0;
  DWORD length = 0;     // bytes read
  bool closed = false;  // WinHTTP's last word on the handle came
  // What WinHTTP reads or fills while an operation runs: after a deadline
  // it may still do so, so neither belongs to the caller.
  std::string body;
  std::vector<char> buffer;
  // The send's certificate check and what the callback saw.
  std::wstring host;
  std::shared_ptr<const TestRoot> check_root;
  SendNotes notes;
  std::shared_ptr<Shared> keep_alive;
};

namespace {

constexpr DWORD kNotifications =
    WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES |
    WINHTTP_CALLBACK_FLAG_SECURE_FAILURE | WINHTTP_CALLBACK_FLAG_SEND_REQUEST;

void Complete(AsyncRequest::Shared* shared, DWORD error, DWORD length) {
  shared->completed = true;
  shared->error = error;
  shared->length = length;
}

// WinHTTP is C: nothing may unwind through it. A failure in here is
// recorded and raised on the caller's thread.
void CALLBACK OnStatus(HINTERNET request, DWORD_PTR context, DWORD status, void* info,
                       DWORD info_length) noexcept {
  auto* shared = reinterpret_cast<AsyncRequest::Shared*>(context);
  if (!shared) return;
  // Freed, when this was the last hold, once the lock is given back.
  std::shared_ptr<AsyncRequest::Shared> last;
  const std::lock_guard<std::mutex> lock(shared->mutex);
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
      if (info && info_length >= sizeof(DWORD)) {
        shared->notes.secure_failure_flags |= *static_cast<const DWORD*>(info);
      }
      return;
    case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
      // Set for a connection accepted only on the strength of the test
      // root: the certificate it presents is proven before the request
      // goes out.
      if (shared->check_root) {
        try {
          const Certificate presented = ServerCertificate(request);
          if (!shared->check_root->Proves(presented.get(), shared->host)) {
            shared->notes.certificate_rejected = true;
          }
        } catch (...) {
          shared->notes.callback_failed = true;
        }
      }
      return;
    case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
      shared->notes.request_sent = true;
      return;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      Complete(shared, 0, 0);
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      Complete(shared, 0, info_length);
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
      const auto* result = static_cast<const WINHTTP_ASYNC_RESULT*>(info);
      Complete(shared, result ? result->dwError : ERROR_WINHTTP_INTERNAL_ERROR, 0);
      break;
    }
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      shared->closed = true;
      last = std::move(shared->keep_alive);
      break;
    default:
      return;
  }
  SetEvent(shared->progress);
}

}  // namespace

Certificate ServerCertificate(HINTERNET request) {
  PCCERT_CONTEXT certificate = nullptr;
  DWORD size = sizeof(certificate);
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size)) {
    return nullptr;
  }
  return Certificate(certificate);
}

AsyncRequest::AsyncRequest(WinHttpHandle request, const Bound& bound, std::wstring host)
    : shared_(std::make_shared<Shared>()), bound_(bound) {
  if (!shared_->progress) throw Exception(kWinHttpUnknownFailure);
  shared_->host = std::move(host);
  auto context = reinterpret_cast<DWORD_PTR>(shared_.get());
  if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context)) ||
      WinHttpSetStatusCallback(request.get(), OnStatus, kNotifications, 0) ==
          WINHTTP_INVALID_STATUS_CALLBACK) {
    throw Exception(kWinHttpUnknownFailure);
  }
  // From here on WinHTTP reports the handle closing, and so lets go.
  shared_->keep_alive = shared_;
  request_ = request.release();
  if (bound_.stop) {
    waker_.emplace(*bound_.stop, [event = shared_->progress] { SetEvent(event); });
  }
}

AsyncRequest::~AsyncRequest() {
  if (request_) WinHttpCloseHandle(request_);
  // An operation left behind may hold the handle until the peer lets go
  // (Wine does not end it on close); waiting for it would undo the bound.
  if (!left_behind_) WaitFor(&Shared::closed);
}

std::optional<AsyncRequest::Clock::time_point> AsyncRequest::End() const {
  return RequestEnd(bound_.stop, bound_.started, bound_.limit, bound_.deadline);
}

bool AsyncRequest::PastEnd() const {
  const std::optional<Clock::time_point> end = End();
  return end && Clock::now() >= *end;
}

bool AsyncRequest::WaitFor(const bool Shared::*flag) {
  for (;;) {
    {
      const std::lock_guard<std::mutex> lock(shared_->mutex);
      if ((*shared_).*flag) return true;
    }
    // Until the end as it stands; a stop requested meanwhile sets the event,
    // and the end is read again.
    DWORD wait = INFINITE;
    if (const std::optional<Clock::time_point> end = End()) {
      const Clock::time_point now = Clock::now();
      if (now >= *end) return false;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*end - now).count();
      wait = static_cast<DWORD>(std::min<decltype(left)>(left, INFINITE - 1));
    }
    // A failed wait cannot be told from a lost completion: give up as at
    // the deadline rather than spin.
    if (WaitForSingleObject(shared_->progress, wait) == WAIT_FAILED) return false;
  }
}

template <typename Start>
DWORD AsyncRequest::Run(Start start) {
  if (expired_ || PastEnd()) {
    expired_ = true;
    return ERROR_WINHTTP_TIMEOUT;
  }
  {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    Complete(shared_.get(), 0, 0);
    shared_->completed = false;
  }
  if (!start()) return GetLastError();
  if (!WaitFor(&Shared::completed)) {
    // Closing the handle ends the operation on Windows; wherever it does
    // not, WinHTTP finishes on its own and the shared part outlives it.
    expired_ = true;
    left_behind_ = true;
    WinHttpCloseHandle(request_);
    request_ = nullptr;
    return ERROR_WINHTTP_TIMEOUT;
  }
  const std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->error;
}

DWORD AsyncRequest::Send(std::string_view body) {
  // Set up inside the start only: a send left behind may still read them.
  return Run([&] {
    void* data = WINHTTP_NO_REQUEST_DATA;
    {
      const std::lock_guard<std::mutex> lock(shared_->mutex);
      shared_->notes = {};
      shared_->body.assign(body);
      if (!body.empty()) data = shared_->body.data();
    }
    const auto length = static_cast<DWORD>(body.size());
    return WinHttpSendRequest(request_, WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, length, length,
                              reinterpret_cast<DWORD_PTR>(shared_.get()));
  });
}

DWORD AsyncRequest::ReceiveResponse() {
  return Run([&] { return WinHttpReceiveResponse(request_, nullptr); });
}

DWORD AsyncRequest::Read(size_t max, std::string_view* data) {
  *data = {};
  const DWORD error = Run([&] {
    // Resized inside the start only: a read left behind may still fill it.
    if (shared_->buffer.size() < max) shared_->buffer.resize(max);
    // The count comes with the completion; asynchronous reads take none.
    return WinHttpReadData(request_, shared_->buffer.data(), static_cast<DWORD>(max), nullptr);
  });
  if (error != 0) return error;
  const std::lock_guard<std::mutex> lock(shared_->mutex);
  *data = std::string_view(shared_->buffer.data(), std::min<size_t>(shared_->length, max));
  return 0;
}

void AsyncRequest::CheckCertificatesWith(std::shared_ptr<const TestRoot> root) {
  const std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->check_root = std::move(root);
}

AsyncRequest::SendNotes AsyncRequest::LastSendNotes() const {
  const std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->notes;
}

}  // namespace tolvenar
