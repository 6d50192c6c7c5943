#include "platform/windows/winhttp_transport.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/exception.h"
#include "platform/text.h"
#include "platform/windows/env_windows.h"
#include "platform/windows/winhttp_error.h"
#include "platform/windows/winhttp_handle.h"
#include "platform/windows/winhttp_headers.h"
#include "platform/windows/winhttp_proxy.h"
#include "platform/windows/winhttp_test_trust.h"

namespace tolvenar {
namespace {

constexpr wchar_t kUserAgent[] = L"TolvenarConnector/0.1.0";
constexpr char kCertificateRejected[] = "Server Certificate Invalid or not present";
constexpr char kUnknownFailure[] = "Execution of request terminated with unknown error";

// What the status callback learns while one request is sent.
struct SendWatch {
  DWORD secure_failure_flags = 0;
  // Set for a connection accepted only on the strength of the test root:
  // the certificate it presents is checked before the request goes out.
  const TestRoot* check_root = nullptr;
  std::wstring host;
  bool rejected = false;
  bool callback_failed = false;  // the status callback caught an exception
};

Certificate ServerCertificate(HINTERNET request) {
  PCCERT_CONTEXT certificate = nullptr;
  DWORD size = sizeof(certificate);
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size)) {
    return nullptr;
  }
  return Certificate(certificate);
}

// WinHTTP is C: nothing may unwind through it. A failure in here is
// recorded and raised once the send returns.
void CALLBACK OnSendStatus(HINTERNET request, DWORD_PTR context, DWORD status, void* info,
                           DWORD info_length) noexcept {
  auto* watch = reinterpret_cast<SendWatch*>(context);
  if (!watch) return;
  try {
    if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && info && info_length >= sizeof(DWORD)) {
      watch->secure_failure_flags |= *static_cast<const DWORD*>(info);
    } else if (status == WINHTTP_CALLBACK_STATUS_SENDING_REQUEST && watch->check_root) {
      const Certificate presented = ServerCertificate(request);
      if (!watch->check_root->Proves(presented.get(), watch->host)) watch->rejected = true;
    }
  } catch (...) {
    watch->callback_failed = true;
  }
}

struct Target {
  std::wstring host;
  INTERNET_PORT port = 0;
  bool secure = false;
  std::wstring path;  // path and query, never empty
};

Target CrackUrl(const std::string& url) {
  const std::wstring wide = Utf8ToWide(url);
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength =
      static_cast<DWORD>(-1);
  if (wide.empty() || !WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts) ||
      (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
      parts.dwHostNameLength == 0) {
    throw Exception("Invalid URL: \"" + url + "\"");
  }
  Target target;
  target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  target.port = parts.nPort;
  target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  if (parts.lpszUrlPath) target.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo) target.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  target.path = target.path.substr(0, target.path.find(L'#'));  // never sent
  if (target.path.empty() || target.path.front() != L'/') target.path.insert(0, L"/");
  return target;
}

void SetDword(HINTERNET handle, DWORD option, DWORD value) {
  if (!WinHttpSetOption(handle, option, &value, sizeof(value))) throw Exception(kUnknownFailure);
}

// Redirects, cookies, decompression and authentication belong to the client
// above; WinHTTP must hand every answer back as it came. Decompression is
// off unless asked for, so it is not mentioned.
void DisableAutomaticFeatures(HINTERNET request) {
  SetDword(request, WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_REDIRECTS);
  SetDword(request, WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_COOKIES);
  SetDword(request, WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_AUTHENTICATION);
  SetDword(request, WINHTTP_OPTION_AUTOLOGON_POLICY, WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH);
  // One request per connection; a failure here only costs a lingering socket.
  DWORD no_keep_alive = WINHTTP_DISABLE_KEEP_ALIVE;
  WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &no_keep_alive, sizeof(no_keep_alive));
}

// Connect limits name resolution and each connect attempt; response limits
// sending and each single wait for data. 0 waits without limit.
void SetTimeouts(HINTERNET request, const HttpRequest& http) {
  if (!WinHttpSetTimeouts(request, http.connect_timeout_ms, http.connect_timeout_ms,
                          http.response_timeout_ms, http.response_timeout_ms)) {
    throw Exception(WinHttpFailureMessage("Error setting timeout for the request", GetLastError()));
  }
  // The status line and headers are one wait: left at its default, this
  // limit would differ from the response time-out.
  DWORD headers_wait = static_cast<DWORD>(http.response_timeout_ms);
  if (headers_wait > 0 && !WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT,
                                            &headers_wait, sizeof(headers_wait))) {
    throw Exception(WinHttpFailureMessage("Error setting timeout for the request", GetLastError()));
  }
}

bool HoldsLineBreakOrNul(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

void AddHeader(HINTERNET request, const std::string& name, const std::string& value) {
  const std::wstring line = Utf8ToWide(name) + L": " + Utf8ToWide(value);
  if (!WinHttpAddRequestHeaders(request, line.c_str(), static_cast<DWORD>(line.size()),
                                WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
    throw Exception(WinHttpFailureMessage("Error adding header", GetLastError()));
  }
}

void AddHeaders(HINTERNET request, const HttpHeaders& headers) {
  // A line break would let a value start a header of its own; such a
  // request is refused before anything is sent.
  for (const auto& [name, value] : headers) {
    if (HoldsLineBreakOrNul(name) || HoldsLineBreakOrNul(value)) {
      throw Exception(WinHttpFailureMessage("Error adding header", ERROR_INVALID_PARAMETER));
    }
  }
  // The agent first, so that the caller's headers follow it on the wire.
  AddHeader(request, "User-Agent", WideToUtf8(kUserAgent));
  for (const auto& [name, value] : headers) AddHeader(request, name, value);
}

// After a stop, ends the request at its stop deadline: WinHTTP's own limits
// are per wait, so a peer that sends a byte now and then would keep a
// blocking call going forever. A thread owned by one Send watches the
// deadline and closes the request handle while a blocking call waits on it,
// which makes that call fail; between calls the deadline is checked before
// the next one starts. Without a stop signal nothing is started.
class StopWatchdog {
 public:
  using Clock = std::chrono::steady_clock;

  StopWatchdog(WinHttpHandle* request, const StopSignal* stop, Clock::time_point started,
               Clock::duration limit)
      : request_(request), stop_(stop), started_(started), limit_(limit) {
    if (stop_) thread_ = std::thread([this] { Watch(); });
  }
  ~StopWatchdog() {
    if (thread_.joinable()) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
      }
      wake_.notify_all();
      thread_.join();
    }
    // A handle the watchdog closed is no longer the caller's to close.
    if (closed_) static_cast<void>(request_->release());
  }
  StopWatchdog(const StopWatchdog&) = delete;
  StopWatchdog& operator=(const StopWatchdog&) = delete;

  // Runs one blocking call on the request (a BOOL-returning lambda). Gives 0
  // when it succeeded, else its error; ERROR_WINHTTP_TIMEOUT when the stop
  // deadline came first or ended it, whatever the call itself reported.
  template <typename Call>
  DWORD Run(Call call) {
    if (!stop_) return call() ? 0 : GetLastError();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (fired_ || PastDeadline()) {
        fired_ = true;
        return ERROR_WINHTTP_TIMEOUT;
      }
      busy_ = true;
    }
    const DWORD error = call() ? 0 : GetLastError();
    std::lock_guard<std::mutex> lock(mutex_);
    busy_ = false;
    return fired_ ? ERROR_WINHTTP_TIMEOUT : error;
  }

 private:
  static constexpr auto kPollInterval = std::chrono::milliseconds(50);

  bool PastDeadline() const {
    const std::optional<Clock::time_point> deadline = stop_->Deadline(started_, limit_);
    return deadline && Clock::now() >= *deadline;
  }

  // The stop signal cannot be waited on, so it is looked at every
  // kPollInterval until the request is over.
  void Watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
      const std::optional<Clock::time_point> deadline = stop_->Deadline(started_, limit_);
      const Clock::time_point now = Clock::now();
      if (deadline && now >= *deadline) {
        fired_ = true;
        if (busy_) {
          closed_ = true;
          lock.unlock();
          WinHttpCloseHandle(request_->get());
          lock.lock();
        }
        wake_.wait(lock, [this] { return quit_; });
        return;
      }
      const Clock::time_point next =
          deadline ? std::min(*deadline, now + kPollInterval) : now + kPollInterval;
      wake_.wait_until(lock, next, [this] { return quit_; });
    }
  }

  WinHttpHandle* const request_;
  const StopSignal* const stop_;
  const Clock::time_point started_;
  const Clock::duration limit_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool quit_ = false;
  bool busy_ = false;    // a blocking call waits on the request
  bool fired_ = false;   // the deadline has passed
  bool closed_ = false;  // the watchdog closed the request handle
  std::thread thread_;
};

// The error of one send, 0 when it succeeded.
DWORD SendOnce(HINTERNET request, const std::string& body, SendWatch* watch,
               StopWatchdog* watchdog) {
  watch->secure_failure_flags = 0;
  void* data = body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data());
  const auto length = static_cast<DWORD>(body.size());
  return watchdog->Run([&] {
    return WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, length, length,
                              reinterpret_cast<DWORD_PTR>(watch));
  });
}

// Failures that the test root may answer: the root is unknown to the
// platform and nothing else is wrong. Wine reports any rejected certificate
// as a bare secure channel error, so that one is tried too.
bool MayBeUnknownRoot(DWORD error, DWORD flags) {
  return (error == ERROR_WINHTTP_SECURE_FAILURE &&
          flags == WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA) ||
         (error == ERROR_WINHTTP_SECURE_INVALID_CA) ||
         (error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR && flags == 0);
}

[[noreturn]] void RaiseSendFailure(DWORD error, DWORD flags) {
  if (IsCertificateRejection(error, flags)) throw Exception(kCertificateRejected);
  throw Exception(WinHttpFailureMessage("Error sending data", error));
}

std::string ReadRawHeaders(HINTERNET request) {
  DWORD size = 0;
  WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                      WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) throw Exception(kUnknownFailure);
  std::wstring raw(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(raw.size() * sizeof(wchar_t));
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                           raw.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
    throw Exception(kUnknownFailure);
  }
  raw.resize(size / sizeof(wchar_t));
  // WinHTTP widened the received bytes with the ANSI code page.
  return AnsiBytes(raw);
}

int ReadStatus(HINTERNET request) {
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    throw Exception(kUnknownFailure);
  }
  return static_cast<int>(status);
}

// An answer body past its limit is refused as ERROR_NOT_ENOUGH_MEMORY,
// the platform's own word for memory the connector will not commit.
[[noreturn]] void RaiseBodyTooLarge() {
  throw Exception(WinHttpFailureMessage("Error reading data", ERROR_NOT_ENOUGH_MEMORY));
}

// Statuses whose answers carry no body whatever their headers say.
bool HasNoBody(int status) { return status == 204 || status == 304; }

std::string ReadBody(HINTERNET request, const HttpResponse& response, size_t max_body_bytes,
                     StopWatchdog* watchdog) {
  max_body_bytes = std::min(max_body_bytes, kMaxAnswerBodyBytes);
  // An announced length past the ceiling fails before any of the body is read.
  const std::optional<uint64_t> announced = AnnouncedContentLength(response.headers);
  if (announced && *announced > max_body_bytes && !HasNoBody(response.status)) {
    RaiseBodyTooLarge();
  }
  std::string body;
  body.reserve(BodyReserveFor(response.headers, max_body_bytes));
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    DWORD read = 0;
    const DWORD error = watchdog->Run([&] {
      return WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &read);
    });
    if (error != 0) throw Exception(WinHttpFailureMessage("Error reading data", error));
    if (read == 0) return body;
    if (read > max_body_bytes - body.size()) RaiseBodyTooLarge();
    body.append(buffer.data(), read);
  }
}

// A body that ends before its announced length lost its connection; it is
// not handed on as if it were whole.
void CheckBodyComplete(const HttpResponse& response) {
  if (response.status < 200 || response.status == 204 || response.status == 304) return;
  if (FindHeader(response.headers, "Transfer-Encoding")) return;
  const std::optional<uint64_t> length = AnnouncedContentLength(response.headers);
  if (length && response.body.size() < *length) {
    throw Exception(WinHttpFailureMessage("Error reading data", ERROR_WINHTTP_CONNECTION_ERROR));
  }
}

// One WinHTTP session for the whole process (one per set of trusted roots,
// for tests). Each exchange still opens its own connection, as keep-alive
// is off on every request, and cookies, redirects and authentication are
// off too, so an exchange inherits nothing from another through it; what
// it does share is Schannel's TLS session cache, so that a new connection
// resumes the server's session instead of a full handshake, and WinHTTP's
// automatic proxy results. Sessions live as long as the process. nullptr
// when WinHTTP cannot open one.
const WinHttpSession* SharedSession(const std::string& test_ca_file) {
  // Never destroyed: a worker may still be inside WinHTTP while the
  // process ends.
  static auto& sessions = *std::make_unique<std::map<std::string, WinHttpSession>>().release();
  static std::mutex mutex;
  const std::lock_guard<std::mutex> lock(mutex);
  auto found = sessions.find(test_ca_file);
  if (found == sessions.end()) {
    WinHttpSession session = OpenWinHttpSession(kUserAgent);
    if (!session.handle) return nullptr;  // tried again by the next exchange
    found = sessions.emplace(test_ca_file, std::move(session)).first;
  }
  return &found->second;
}

class WinHttpTransport : public HttpTransport {
 public:
  WinHttpTransport(const WinHttpSession* session, std::unique_ptr<TestRoot> test_root)
      : session_(*session), test_root_(std::move(test_root)) {}

  HttpResponse Send(const HttpRequest& request) override {
    try {
      return SendRequest(request);
    } catch (const Exception&) {
      throw;
    } catch (const std::exception&) {
      throw Exception(kUnknownFailure);
    }
  }

 private:
  HttpResponse SendRequest(const HttpRequest& http) {
    const auto started = StopWatchdog::Clock::now();
    const Target target = CrackUrl(http.url);
    WinHttpHandle connection(
        WinHttpConnect(session_.handle.get(), target.host.c_str(), target.port, 0));
    if (!connection) throw Exception("Error connecting to server: " + WideToUtf8(target.host));

    DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY;
    if (target.secure) flags |= WINHTTP_FLAG_SECURE;
    WinHttpHandle request(WinHttpOpenRequest(connection.get(), Utf8ToWide(http.method).c_str(),
                                             target.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                             WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!request) throw Exception(WinHttpFailureMessage("Error opening request", GetLastError()));

    DisableAutomaticFeatures(request.get());
    if (!session_.automatic_proxy) {
      ApplyAccountProxy(session_.handle.get(), request.get(), Utf8ToWide(http.url));
    }
    SetTimeouts(request.get(), http);
    AddHeaders(request.get(), http.headers);

    // Declared after the request handle: it may close that handle, and is
    // joined before the handle's owner lets go of it.
    StopWatchdog watchdog(&request, http.stop, started,
                          std::chrono::milliseconds(http.response_timeout_ms));
    SendWatch watch;
    watch.host = target.host;
    DWORD notifications = WINHTTP_CALLBACK_FLAG_SECURE_FAILURE;
    if (test_root_) notifications |= WINHTTP_CALLBACK_FLAG_SEND_REQUEST;
    if (WinHttpSetStatusCallback(request.get(), OnSendStatus, notifications, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK) {
      throw Exception(kUnknownFailure);
    }
    SendTrusted(request.get(), http.body, &watch, &watchdog);

    const DWORD received =
        watchdog.Run([&] { return WinHttpReceiveResponse(request.get(), nullptr); });
    if (received != 0) throw Exception(WinHttpFailureMessage("Error receiving data", received));
    HttpResponse response;
    response.status = ReadStatus(request.get());
    response.headers = ParseRawHeaders(ReadRawHeaders(request.get()));
    response.body = ReadBody(request.get(), response, http.max_body_bytes, &watchdog);
    CheckBodyComplete(response);
    return response;
  }

  void SendTrusted(HINTERNET request, const std::string& body, SendWatch* watch,
                   StopWatchdog* watchdog) {
    DWORD error = SendOnce(request, body, watch, watchdog);
    if (watch->callback_failed) throw Exception(kUnknownFailure);
    if (error == 0) return;
    if (test_root_ && MayBeUnknownRoot(error, watch->secure_failure_flags)) {
      // Where WinHTTP still holds the rejected certificate, it is proven
      // before trying again. Where it does not (Wine), only the retried
      // connection's certificate can be checked, as it comes up, and the
      // request goes out before the verdict is acted on; only tests ever
      // hold a test root.
      if (const Certificate rejected = ServerCertificate(request)) {
        if (!test_root_->Proves(rejected.get(), watch->host)) throw Exception(kCertificateRejected);
      }
      SetDword(request, WINHTTP_OPTION_SECURITY_FLAGS, SECURITY_FLAG_IGNORE_UNKNOWN_CA);
      watch->check_root = test_root_.get();
      error = SendOnce(request, body, watch, watchdog);
      if (watch->callback_failed) throw Exception(kUnknownFailure);
      if (watch->rejected) throw Exception(kCertificateRejected);
      if (error == 0) return;
    }
    RaiseSendFailure(error, watch->secure_failure_flags);
  }

  const WinHttpSession& session_;
  std::unique_ptr<TestRoot> test_root_;
};

}  // namespace

std::unique_ptr<HttpTransport> NewWinHttpTransport(const WinHttpTransportOptions& options) {
  const WinHttpSession* session = SharedSession(options.test_ca_file);
  if (!session) throw Exception("Error obtaining session handle");
  std::unique_ptr<TestRoot> test_root;
  if (!options.test_ca_file.empty()) test_root = std::make_unique<TestRoot>(options.test_ca_file);
  return std::make_unique<WinHttpTransport>(session, std::move(test_root));
}

}  // namespace tolvenar
