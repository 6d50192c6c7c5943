// One HTTP exchange as a reference server saw it, kept for tests and
// reports.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolvenar::tools {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
  std::string method;
  std::string target;  // path and query, as requested
  std::string path;    // without the query
  // As received, names in their received case. The HTTP library keeps them
  // sorted by name, so the order on the wire is not recorded.
  HeaderList headers;
  std::string body;
  long long received_unix_us = 0;  // wall clock when the request was whole
  int response_status = 0;
  std::string response_body;

  // The first value of header `name` (any letter case); "" when absent.
  std::string Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const;
};

// Appends `item` and drops the oldest entries beyond `limit`.
template <typename T>
void AppendKeepingLast(std::deque<T>& list, T item, size_t limit) {
  list.push_back(std::move(item));
  while (list.size() > limit) list.pop_front();
}

}  // namespace tolvenar::tools
