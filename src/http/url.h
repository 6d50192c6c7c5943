// URLs as the HTTP client sends them: parsing into scheme, host, port and
// request target, reference resolution for redirects, and origins.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolvenar {

struct HttpUrl {
  bool tls = false;        // "https"; every other scheme is sent as plain HTTP
  std::string host;        // lower case; an IPv6 literal without its brackets
  int port = 0;            // the explicit port or the scheme's default
  std::string path_query;  // request target, always starting with "/"

  std::string Scheme() const { return tls ? "https" : "http"; }
  // "scheme://host[:port]/path?query"; the port only when it is not the
  // scheme's default, an IPv6 literal in brackets.
  std::string ToString() const;
  // Scheme, host and port with the default port made explicit, so that
  // "http://h/" and "http://H:80/x" share one origin.
  std::string Origin() const;
};

// Parses an absolute URL "scheme://[userinfo@]host[:port][/path][?query][#fragment]".
// The scheme "https" (any letter case) means TLS, any other well-formed
// scheme plain HTTP. User information and the fragment are dropped; bytes
// that may not stand in a request target (controls, blanks, non-ASCII and
// the like) are percent-encoded. Empty when the text is not such a URL:
// no "://", a malformed scheme, an empty or malformed host, a bad port.
std::optional<HttpUrl> ParseHttpUrl(std::string_view text);

// Resolves `reference` (absolute, network-path, absolute-path or relative)
// against the absolute URL `base` by the strict algorithm of RFC 3986,
// section 5.2, dot segments removed.
std::string ResolveReference(std::string_view base, std::string_view reference);

}  // namespace tolvenar
