#include "env/posix/curl_transport.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>

#include "base/exception.h"
#include "base/text.h"
#include "base/version.h"
#include "env/posix/trusted_roots.h"

namespace tolvenar {

namespace {

constexpr auto kUserAgent = JoinText("TolvenarConnector/", kConnectorVersion);

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

// curl's text for a code, without trailing blanks or full stop.
std::string CurlText(CURLcode code) {
  std::string text = curl_easy_strerror(code);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 0x20 || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

[[noreturn]] void Fail(std::string_view prefix, CURLcode code) {
  throw Exception(std::string(prefix) + "(" + std::to_string(code) + ") " + CurlText(code));
}

bool GlobalInit() {
  static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
  return result == CURLE_OK;
}

// TLS sessions kept across exchanges, so that a new connection to a server
// resumes its session instead of a full handshake. curl files each session
// under the scheme, host, port and TLS settings that made it, and offers it
// back only to the same host with the same settings; a resumed session was
// verified when it was made, and a failed verification leaves none behind.
// Each set of trusted roots gets its own share, so a session made while
// trusting an extra root is never resumed without it. Shares live as long
// as the process.
class SessionShare {
 public:
  SessionShare() {
    CURLSH* handle = curl_share_init();
    if (handle == nullptr) return;
    if (curl_share_setopt(handle, CURLSHOPT_LOCKFUNC, &Lock) != CURLSHE_OK ||
        curl_share_setopt(handle, CURLSHOPT_UNLOCKFUNC, &Unlock) != CURLSHE_OK ||
        curl_share_setopt(handle, CURLSHOPT_USERDATA, this) != CURLSHE_OK ||
        curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK) {
      curl_share_cleanup(handle);
      return;
    }
    handle_ = handle;
  }
  SessionShare(const SessionShare&) = delete;
  SessionShare& operator=(const SessionShare&) = delete;

  // The share for transports trusting `test_ca_file` ("" for the system's
  // roots alone); nullptr when curl cannot share (then every exchange
  // simply makes a full handshake).
  static CURLSH* For(const std::string& test_ca_file) {
    // Never destroyed: a worker may still be inside curl while the process
    // ends.
    static auto& shares = *std::make_unique<std::map<std::string, SessionShare>>().release();
    static std::mutex mutex;
    const std::lock_guard<std::mutex> lock(mutex);
    return shares.try_emplace(test_ca_file).first->second.handle_;
  }

 private:
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user) noexcept {
    static_cast<SessionShare*>(user)->mutexes_[Index(data)].lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* user) noexcept {
    static_cast<SessionShare*>(user)->mutexes_[Index(data)].unlock();
  }
  static size_t Index(curl_lock_data data) {
    return std::min(static_cast<size_t>(data), size_t{CURL_LOCK_DATA_LAST});
  }

  CURLSH* handle_ = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST + 1> mutexes_;
};

bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// A header that would break the request apart (CR, LF, NUL in the value, or
// a name that is not an HTTP token) is never sent.
bool IsSafeHeader(const HttpHeader& header) {
  const auto& [name, value] = header;
  if (name.empty() || !std::all_of(name.begin(), name.end(), IsTokenChar)) return false;
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

// What one transfer has reached so far, as seen by curl's callbacks; it
// decides which failure message a broken transfer gets.
struct Transfer {
  using Clock = std::chrono::steady_clock;

  // Why a callback stopped the transfer itself.
  enum class Abort {
    kNone,
    kTooLarge,     // the answer's body would pass max_body_bytes
    kOutOfMemory,  // a callback could not allocate
    kUnexpected,   // any other exception inside a callback
  };

  explicit Transfer(const HttpRequest& request)
      : body_size(static_cast<curl_off_t>(request.body.size())),
        response_timeout(request.response_timeout_ms),
        stop(request.stop),
        deadline(request.deadline),
        max_body_bytes(std::min(request.max_body_bytes, kMaxAnswerBodyBytes)) {}

  void Touch() { last_activity = Clock::now(); }
  bool RequestSent() const { return connected && uploaded >= body_size; }
  // True once the request has outlived its deadline or, after a stop, the
  // stop's bound.
  bool PastEnd() const {
    const std::optional<Clock::time_point> end =
        RequestEnd(stop, started, response_timeout, deadline);
    return end && Clock::now() >= *end;
  }

  const curl_off_t body_size;
  const std::chrono::milliseconds response_timeout;
  const StopSignal* const stop;
  const std::optional<Clock::time_point> deadline;
  const size_t max_body_bytes;
  const Clock::time_point started = Clock::now();
  HttpResponse response;
  bool connected = false;         // connection (and TLS) up, request about to go
  bool headers_complete = false;  // status line and headers of the final answer
  bool timed_out = false;         // a wait for data outlasted the response time-out
  Abort abort = Abort::kNone;
  int header_status = 0;  // status of the answer whose headers are arriving
  curl_off_t uploaded = 0;
  curl_off_t downloaded = 0;
  Clock::time_point last_activity = Clock::now();
};

// curl is C: an exception must not unwind through it. Each callback runs its
// work through this, which records what was thrown and hands curl the
// callback's abort value instead.
template <typename Result, typename Work>
Result Guarded(Transfer* transfer, Result abort_value, Work work) noexcept {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    transfer->abort = Transfer::Abort::kOutOfMemory;
  } catch (...) {
    transfer->abort = Transfer::Abort::kUnexpected;
  }
  return abort_value;
}

int OnPrereq(void* user, char*, char*, int, int) {
  auto* transfer = static_cast<Transfer*>(user);
  return Guarded(transfer, int{CURL_PREREQFUNC_ABORT}, [&] {
    transfer->connected = true;
    transfer->Touch();
    return int{CURL_PREREQFUNC_OK};
  });
}

// curl calls this often while data flows and about once a second while it
// waits; the response time-out counts from the last byte that moved. At its
// deadline, or its stop's bound, the request ends however much still moves.
int CheckProgress(Transfer* transfer, curl_off_t downloaded, curl_off_t uploaded) {
  if (transfer->PastEnd()) {
    transfer->timed_out = true;
    return 1;
  }
  if (!transfer->connected) return 0;  // the connect time-out is curl's own
  if (downloaded != transfer->downloaded || uploaded != transfer->uploaded) {
    transfer->downloaded = downloaded;
    transfer->uploaded = uploaded;
    transfer->Touch();
  }
  if (transfer->response_timeout.count() > 0 &&
      Transfer::Clock::now() - transfer->last_activity > transfer->response_timeout) {
    transfer->timed_out = true;
    return 1;
  }
  return 0;
}

int OnProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto* transfer = static_cast<Transfer*>(user);
  return Guarded(transfer, 1, [&] { return CheckProgress(transfer, downloaded, uploaded); });
}

// Statuses whose answers carry no body whatever their headers say.
bool HasNoBody(int status) { return status == 204 || status == 304; }

size_t ReadHeaderLine(Transfer* transfer, std::string_view line, size_t length) {
  transfer->Touch();
  if (transfer->headers_complete) return length;  // trailers of a chunked body
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  HttpHeaders& headers = transfer->response.headers;
  if (line.starts_with("HTTP/")) {
    // A new answer begins; an interim (1xx) one is forgotten.
    headers.clear();
    const size_t space = line.find(' ');
    transfer->header_status = space == std::string_view::npos
                                  ? 0
                                  : std::atoi(std::string(line.substr(space + 1, 3)).c_str());
  } else if (line.empty()) {
    if (transfer->header_status >= 200) {
      transfer->headers_complete = true;
      // An announced body past the ceiling fails before any of it is read.
      const std::optional<uint64_t> announced = AnnouncedContentLength(headers);
      if (announced && *announced > transfer->max_body_bytes &&
          !HasNoBody(transfer->header_status)) {
        transfer->abort = Transfer::Abort::kTooLarge;
        return 0;
      }
      transfer->response.body.reserve(BodyReserveFor(headers, transfer->max_body_bytes));
    }
  } else if ((line[0] == ' ' || line[0] == '\t') && !headers.empty()) {
    headers.back().second += " " + TrimControlsAndSpaces(line);  // folded continuation line
  } else {
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      headers.emplace_back(std::string(line.substr(0, colon)),
                           TrimControlsAndSpaces(line.substr(colon + 1)));
    }
  }
  return length;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t length = size * count;
  return Guarded(transfer, size_t{0},
                 [&] { return ReadHeaderLine(transfer, std::string_view(data, length), length); });
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t length = size * count;
  return Guarded(transfer, size_t{0}, [&] {
    std::string& body = transfer->response.body;
    if (length > transfer->max_body_bytes - body.size()) {
      transfer->abort = Transfer::Abort::kTooLarge;
      return size_t{0};
    }
    body.append(data, length);
    transfer->Touch();
    return length;
  });
}

// Hands the shared store of trusted roots to a new TLS context. OpenSSL
// alone runs here, so nothing can throw.
CURLcode OnSslContext(CURL*, void* ssl_context, void* roots) noexcept {
  SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(ssl_context), static_cast<X509_STORE*>(roots));
  return CURLE_OK;
}

struct TrustDefaults {
  std::string ca_file, ca_path;  // as curl was built to use them
};

const TrustDefaults& DefaultTrust(CURL* handle) {
  static const TrustDefaults defaults = [handle] {
    TrustDefaults found;
    char* text = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_CAINFO, &text) == CURLE_OK && text) found.ca_file = text;
    text = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_CAPATH, &text) == CURLE_OK && text) found.ca_path = text;
    return found;
  }();
  return defaults;
}

bool IsCertificateFailure(CURLcode code) {
  return code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_ISSUER_ERROR ||
         code == CURLE_SSL_PINNEDPUBKEYNOTMATCH || code == CURLE_SSL_INVALIDCERTSTATUS;
}

// Failures of the network or of the peer, placed by how far the transfer got.
bool IsTransferFailure(CURLcode code) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:  // e.g. an HTTP/0.9 answer
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_PARTIAL_FILE:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_HTTP2_STREAM:
    case CURLE_PROXY:
      return true;
    default:
      return false;
  }
}

[[noreturn]] void FailTransfer(CURLcode code, const Transfer& transfer) {
  switch (transfer.abort) {
    case Transfer::Abort::kNone:
      break;
    case Transfer::Abort::kTooLarge:
      // Reported as curl's out-of-memory code, as the other platforms and
      // the inflate step report the ceiling: the connector will not hold it.
      Fail("Error reading data: ", CURLE_OUT_OF_MEMORY);
    case Transfer::Abort::kOutOfMemory:
      Fail(transfer.headers_complete ? "Error reading data: " : "Error receiving data: ",
           CURLE_OUT_OF_MEMORY);
    case Transfer::Abort::kUnexpected:
      throw Exception("Execution of request terminated with unknown error");
  }
  if (transfer.timed_out) code = CURLE_OPERATION_TIMEDOUT;
  if (IsCertificateFailure(code)) throw Exception("Server Certificate Invalid or not present");
  if (!transfer.connected && (code == CURLE_UNSUPPORTED_PROTOCOL || code == CURLE_URL_MALFORMAT)) {
    Fail("Error opening request: ", code);
  }
  if (!IsTransferFailure(code)) {
    throw Exception("Execution of request terminated with unknown error");
  }
  if (transfer.headers_complete) Fail("Error reading data: ", code);
  if (!transfer.connected || code == CURLE_SEND_ERROR) Fail("Error sending data: ", code);
  // Our own time-out knows whether the request had gone out; every other
  // failure after connecting comes from the wait for the answer.
  if (transfer.timed_out && !transfer.RequestSent()) Fail("Error sending data: ", code);
  Fail("Error receiving data: ", code);
}

// The calling thread's easy handle, kept across its exchanges: making one
// (and the internal multi handle with its wake-up socket pair that its
// first transfer makes) for every exchange cost as much as the exchange.
// Nothing of an exchange survives in it: every option is reset before each
// request, connections are closed when their transfer ends and names are
// resolved afresh. nullptr when curl cannot make one.
CURL* ThreadEasyHandle() {
  thread_local EasyHandle handle;
  if (!handle) handle.reset(curl_easy_init());
  return handle.get();
}

class CurlTransport : public HttpTransport {
 public:
  explicit CurlTransport(CurlTransportOptions options) : options_(std::move(options)) {}

  HttpResponse Send(const HttpRequest& request) override {
    HeaderList headers = BuildHeaders(request);
    Transfer transfer(request);
    handle_ = ThreadEasyHandle();  // the sending thread's
    if (!handle_) throw Exception("Error obtaining session handle");
    CURL* h = handle_;
    curl_easy_reset(h);
    // A connection serves one request, as each exchange (and each of its
    // redirects) opens its own; a kept one would outlive its exchange.
    SetOrFail(CURLOPT_FORBID_REUSE, 1L);
    SetOrFail(CURLOPT_DNS_CACHE_TIMEOUT, 0L);
#if LIBCURL_VERSION_NUM >= 0x075700
    // curl's own cache of trusted roots lives in the handle and outlives a
    // request: a store that trusted a test root could serve the next
    // request, which must trust the system's roots alone. The shared store
    // below takes its place.
    SetOrFail(CURLOPT_CA_CACHE_TIMEOUT, 0L);
#endif

    SetOrFail(CURLOPT_URL, request.url.c_str());
    SetOrFail(CURLOPT_PROTOCOLS_STR, "http,https");
    SetOrFail(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    SetOrFail(CURLOPT_FOLLOWLOCATION, 0L);
    SetOrFail(CURLOPT_NOSIGNAL, 1L);
    SetOrFail(CURLOPT_HTTP_VERSION, long{CURL_HTTP_VERSION_1_1});
    SetOrFail(CURLOPT_HTTP_CONTENT_DECODING, 0L);
    SetOrFail(CURLOPT_SSL_VERIFYPEER, 1L);
    SetOrFail(CURLOPT_SSL_VERIFYHOST, 2L);
    if (!options_.test_ca_file.empty()) SetOrFail(CURLOPT_CAINFO, options_.test_ca_file.c_str());
    const SharedRootStore roots =
        StartsWithAsciiNoCase(request.url, "https:") ? UseSharedRoots() : nullptr;
    if (CURLSH* share = SessionShare::For(options_.test_ca_file)) {
      SetOrFail(CURLOPT_SHARE, share);
    }
    // The proxy comes from the environment (http_proxy, https_proxy,
    // no_proxy, ...); credentials written into it are never offered.
    SetOrFail(CURLOPT_PROXYAUTH, CURLAUTH_NONE);
    SetOrFail(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);

    if (request.connect_timeout_ms > 0) {
      SetOrFail(CURLOPT_CONNECTTIMEOUT_MS, long{request.connect_timeout_ms},
                "Error setting timeout for the request: ");
    }
    SetOrFail(CURLOPT_NOPROGRESS, 0L, "Error setting timeout for the request: ");
    SetOrFail(CURLOPT_XFERINFOFUNCTION, &OnProgress, "Error setting timeout for the request: ");
    SetOrFail(CURLOPT_XFERINFODATA, &transfer, "Error setting timeout for the request: ");
    SetOrFail(CURLOPT_PREREQFUNCTION, &OnPrereq, "Error setting timeout for the request: ");
    SetOrFail(CURLOPT_PREREQDATA, &transfer, "Error setting timeout for the request: ");

    SetOrFail(CURLOPT_HEADERFUNCTION, &OnHeader);
    SetOrFail(CURLOPT_HEADERDATA, &transfer);
    SetOrFail(CURLOPT_WRITEFUNCTION, &OnBody);
    SetOrFail(CURLOPT_WRITEDATA, &transfer);
    SetOrFail(CURLOPT_HTTPHEADER, headers.get(), "Error adding header: ");

    if (request.method == "GET") {
      SetOrFail(CURLOPT_HTTPGET, 1L);
    } else if (request.method == "POST") {
      // POSTFIELDS gives a Content-Length body, never a chunked one; an
      // empty body still goes as a POST with Content-Length: 0.
      SetOrFail(CURLOPT_POST, 1L);
      SetOrFail(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
      SetOrFail(CURLOPT_POSTFIELDS, request.body.data());
    } else {
      throw Exception("Execution of request terminated with unknown error");
    }

    const CURLcode result = curl_easy_perform(h);
    if (result != CURLE_OK) FailTransfer(result, transfer);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    transfer.response.status = static_cast<int>(status);
    return std::move(transfer.response);
  }

 private:
  // Verifies the peer against the process's shared store of the same roots
  // curl would load; nullptr (curl loads them itself) when the store cannot
  // be built or curl's TLS library takes no context callback.
  SharedRootStore UseSharedRoots() {
    CURL* h = handle_;
    const TrustDefaults& defaults = DefaultTrust(h);
    const std::string& ca_file =
        options_.test_ca_file.empty() ? defaults.ca_file : options_.test_ca_file;
    SharedRootStore roots =
        TrustedRootCache::Process().Get(ca_file, defaults.ca_path, TrustedRootCache::Clock::now());
    if (!roots) return nullptr;
    if (curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &OnSslContext) != CURLE_OK) return nullptr;
    SetOrFail(CURLOPT_SSL_CTX_DATA, static_cast<void*>(roots.get()));
    SetOrFail(CURLOPT_CAINFO, static_cast<const char*>(nullptr));
    SetOrFail(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    return roots;
  }

  template <typename T>
  void SetOrFail(CURLoption option, T value, std::string_view failure = "Error opening request: ") {
    const CURLcode result = curl_easy_setopt(handle_, option, value);
    if (result != CURLE_OK) Fail(failure, result);
  }

  // "User-Agent" first (unless the caller gives one), then the caller's
  // headers in order; curl's own "Accept", "Expect" and form Content-Type
  // are switched off by naming them without a value.
  static HeaderList BuildHeaders(const HttpRequest& request) {
    std::vector<std::string> lines;
    if (!FindHeader(request.headers, "User-Agent")) {
      lines.push_back("User-Agent: " + std::string(kUserAgent));
    }
    for (const HttpHeader& header : request.headers) {
      if (!IsSafeHeader(header)) Fail("Error adding header: ", CURLE_BAD_FUNCTION_ARGUMENT);
      // curl drops "Name:" with nothing after it; "Name;" sends it empty.
      const bool blank = header.second.find_first_not_of(" \t") == std::string::npos;
      lines.push_back(blank ? header.first + ";" : header.first + ": " + header.second);
    }
    if (!FindHeader(request.headers, "Accept")) lines.emplace_back("Accept:");
    if (!FindHeader(request.headers, "Expect")) lines.emplace_back("Expect:");
    if (request.method == "POST" && !FindHeader(request.headers, "Content-Type")) {
      lines.emplace_back("Content-Type:");
    }
    HeaderList list;
    for (const std::string& line : lines) {
      curl_slist* extended = curl_slist_append(list.get(), line.c_str());
      if (!extended) Fail("Error adding header: ", CURLE_OUT_OF_MEMORY);
      list.release();
      list.reset(extended);
    }
    return list;
  }

  CURL* handle_ = nullptr;  // the sending thread's, see ThreadEasyHandle
  CurlTransportOptions options_;
};

}  // namespace

std::unique_ptr<HttpTransport> NewCurlTransport(const CurlTransportOptions& options) {
  if (!GlobalInit()) throw Exception("Error obtaining session handle");
  if (!ThreadEasyHandle()) throw Exception("Error obtaining session handle");
  return std::make_unique<CurlTransport>(options);
}

}  // namespace tolvenar
