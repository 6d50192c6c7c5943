// Written by hand: the transports' own cookie engines (curl's, WinHTTP's)
// differ and keep cookies beyond one exchange; only name=value per host is
// needed here.
#include "http/cookie_jar.h"

#include <algorithm>

#include "base/text.h"

namespace tolvenar {

namespace {

bool IsCookieText(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F || c == ';';
  });
}

}  // namespace

void CookieJar::Store(std::string_view host, const HttpHeaders& answer_headers) {
  for (const auto& [name, value] : answer_headers) {
    if (!SameTextAscii(name, "Set-Cookie")) continue;
    const std::string_view pair = std::string_view(value).substr(0, value.find(';'));
    const size_t equals = pair.find('=');
    if (equals == std::string_view::npos) continue;
    Cookie cookie{std::string(host), TrimControlsAndSpaces(pair.substr(0, equals)),
                  TrimControlsAndSpaces(pair.substr(equals + 1))};
    if (cookie.name.empty() || !IsCookieText(cookie.name) || !IsCookieText(cookie.value)) continue;
    auto same = std::find_if(cookies_.begin(), cookies_.end(), [&](const Cookie& kept) {
      return kept.host == cookie.host && kept.name == cookie.name;
    });
    if (same != cookies_.end()) {
      same->value = std::move(cookie.value);
    } else {
      cookies_.push_back(std::move(cookie));
    }
  }
}

std::string CookieJar::HeaderValueFor(std::string_view host) const {
  std::string header;
  for (const Cookie& cookie : cookies_) {
    if (cookie.host != host) continue;
    if (!header.empty()) header += "; ";
    header += cookie.name + "=" + cookie.value;
  }
  return header;
}

}  // namespace tolvenar
