#include "env/http_transport.h"

#include <algorithm>

#include "base/text.h"

namespace tolvenar {

namespace {
constexpr uint64_t kMaxBodyReserve = uint64_t{64} << 20;
}  // namespace

const std::string* FindHeader(const HttpHeaders& headers, std::string_view name) {
  for (const auto& header : headers) {
    if (SameTextAscii(header.first, name)) return &header.second;
  }
  return nullptr;
}

std::optional<uint64_t> AnnouncedContentLength(const HttpHeaders& headers) {
  const std::string* value = FindHeader(headers, "Content-Length");
  if (!value || value->empty() || value->size() > 18 ||
      value->find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::stoull(*value);
}

size_t BodyReserveFor(const HttpHeaders& headers, size_t max_body_bytes) {
  const std::optional<uint64_t> length = AnnouncedContentLength(headers);
  const uint64_t ceiling = std::min<uint64_t>(kMaxBodyReserve, max_body_bytes);
  return length ? static_cast<size_t>(std::min<uint64_t>(*length, ceiling)) : 0;
}

std::optional<StopSignal::Clock::time_point> RequestEnd(
    const StopSignal* stop, StopSignal::Clock::time_point started,
    StopSignal::Clock::duration limit, std::optional<StopSignal::Clock::time_point> deadline) {
  const std::optional<StopSignal::Clock::time_point> stopped =
      stop ? stop->Deadline(started, limit) : std::nullopt;
  if (stopped && deadline) return std::min(*stopped, *deadline);
  return stopped ? stopped : deadline;
}

}  // namespace tolvenar
