#include "env/windows/winhttp_transport.h"

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/exception.h"
#include "base/text.h"
#include "base/version.h"
#include "env/windows/env_windows.h"
#include "env/windows/winhttp_async.h"
#include "env/windows/winhttp_error.h"
#include "env/windows/winhttp_handle.h"
#include "env/windows/winhttp_headers.h"
#include "env/windows/winhttp_proxy.h"
#include "env/windows/winhttp_test_trust.h"

namespace tolvenar {
namespace {

constexpr auto kUserAgent = JoinText("TolvenarConnector/", kConnectorVersion);
constexpr char kCertificateRejected[] = "Server Certificate Invalid or not present";
constexpr const char* kUnknownFailure = kWinHttpUnknownFailure;

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
  AddHeader(request, "User-Agent", std::string(kUserAgent));
  for (const auto& [name, value] : headers) AddHeader(request, name, value);
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

constexpr size_t kReadChunkBytes = 64 * 1024;

// Statuses whose answers carry no body whatever their headers say.
bool HasNoBody(int status) { return status == 204 || status == 304; }

std::string ReadBody(AsyncRequest* request, const HttpResponse& response, size_t max_body_bytes) {
  max_body_bytes = std::min(max_body_bytes, kMaxAnswerBodyBytes);
  // An announced length past the ceiling fails before any of the body is read.
  const std::optional<uint64_t> announced = AnnouncedContentLength(response.headers);
  if (announced && *announced > max_body_bytes && !HasNoBody(response.status)) {
    RaiseBodyTooLarge();
  }
  std::string body;
  body.reserve(BodyReserveFor(response.headers, max_body_bytes));
  for (;;) {
    std::string_view read;
    const DWORD error = request->Read(kReadChunkBytes, &read);
    if (error != 0) throw Exception(WinHttpFailureMessage("Error reading data", error));
    if (read.empty()) return body;
    if (read.size() > max_body_bytes - body.size()) RaiseBodyTooLarge();
    body.append(read);
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
    WinHttpSession session = OpenWinHttpSession(Utf8ToWide(kUserAgent).c_str());
    if (!session.handle) return nullptr;  // tried again by the next exchange
    found = sessions.emplace(test_ca_file, std::move(session)).first;
  }
  return &found->second;
}

class WinHttpTransport : public HttpTransport {
 public:
  WinHttpTransport(const WinHttpSession* session, std::shared_ptr<const TestRoot> test_root)
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
    const auto started = AsyncRequest::Clock::now();
    const Target target = CrackUrl(http.url);
    WinHttpHandle connection(
        WinHttpConnect(session_.handle.get(), target.host.c_str(), target.port, 0));
    if (!connection) throw Exception("Error connecting to server: " + WideToUtf8(target.host));

    DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY;
    if (target.secure) flags |= WINHTTP_FLAG_SECURE;
    WinHttpHandle handle(WinHttpOpenRequest(connection.get(), Utf8ToWide(http.method).c_str(),
                                            target.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!handle) throw Exception(WinHttpFailureMessage("Error opening request", GetLastError()));

    DisableAutomaticFeatures(handle.get());
    if (!session_.automatic_proxy) {
      ApplyAccountProxy(session_.handle.get(), handle.get(), Utf8ToWide(http.url));
    }
    SetTimeouts(handle.get(), http);
    AddHeaders(handle.get(), http.headers);

    // Declared after the connection: the request is closed first.
    AsyncRequest request(
        std::move(handle),
        {http.stop, started, std::chrono::milliseconds(http.response_timeout_ms), http.deadline},
        target.host);
    SendTrusted(&request, http.body, target.host);

    const DWORD received = request.ReceiveResponse();
    if (received != 0) throw Exception(WinHttpFailureMessage("Error receiving data", received));
    HttpResponse response;
    response.status = ReadStatus(request.get());
    response.headers = ParseRawHeaders(ReadRawHeaders(request.get()));
    response.body = ReadBody(&request, response, http.max_body_bytes);
    CheckBodyComplete(response);
    return response;
  }

  void SendTrusted(AsyncRequest* request, const std::string& body, const std::wstring& host) {
    DWORD error = request->Send(body);
    AsyncRequest::SendNotes notes = request->LastSendNotes();
    if (notes.callback_failed) throw Exception(kUnknownFailure);
    if (error == 0) return;
    // Wine waits for the answer's headers before it completes the send; a
    // deadline met there is the receiving's, as on Windows, and the next
    // step reports it.
    if (error == ERROR_WINHTTP_TIMEOUT && request->expired() && notes.request_sent) return;
    if (test_root_ && MayBeUnknownRoot(error, notes.secure_failure_flags)) {
      // Where WinHTTP still holds the rejected certificate, it is proven
      // before trying again. Where it does not (Wine), only the retried
      // connection's certificate can be checked, as it comes up, and the
      // request goes out before the verdict is acted on; only tests ever
      // hold a test root.
      if (const Certificate rejected = ServerCertificate(request->get())) {
        if (!test_root_->Proves(rejected.get(), host)) throw Exception(kCertificateRejected);
      }
      SetDword(request->get(), WINHTTP_OPTION_SECURITY_FLAGS, SECURITY_FLAG_IGNORE_UNKNOWN_CA);
      request->CheckCertificatesWith(test_root_);
      error = request->Send(body);
      notes = request->LastSendNotes();
      if (notes.callback_failed) throw Exception(kUnknownFailure);
      if (notes.certificate_rejected) throw Exception(kCertificateRejected);
      if (error == 0) return;
    }
    RaiseSendFailure(error, notes.secure_failure_flags);
  }

  const WinHttpSession& session_;
  // Shared with requests whose callback may outlive this transport.
  std::shared_ptr<const TestRoot> test_root_;
};

}  // namespace

std::unique_ptr<HttpTransport> NewWinHttpTransport(const WinHttpTransportOptions& options) {
  const WinHttpSession* session = SharedSession(options.test_ca_file);
  if (!session) throw Exception("Error obtaining session handle");
  std::shared_ptr<const TestRoot> test_root;
  if (!options.test_ca_file.empty()) test_root = std::make_shared<TestRoot>(options.test_ca_file);
  return std::make_unique<WinHttpTransport>(session, std::move(test_root));
}

}  // namespace tolvenar
