// Written by hand: the portable core needs one parser and one origin rule
// on every platform, and the URL parsers at hand are tied to one of them
// (curl's URL API on Linux, WinHttpCrackUrl on Windows).
#include "http/url.h"

#include <algorithm>
#include <cstddef>

#include "base/text.h"

namespace tolvenar {

namespace {

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool IsValidScheme(std::string_view scheme) {
  if (scheme.empty() || !IsAlpha(scheme[0])) return false;
  for (char c : scheme) {
    if (!IsAlpha(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

// Host names are kept to the characters every transport accepts.
bool IsValidHostName(std::string_view host) {
  if (host.empty()) return false;
  for (char c : host) {
    if (!IsAlpha(c) && !IsDigit(c) && c != '-' && c != '.' && c != '_' && c != '~') return false;
  }
  return true;
}

bool IsValidIpv6Literal(std::string_view host) {
  if (host.find(':') == std::string_view::npos) return false;
  for (char c : host) {
    if (!IsHexDigit(c) && c != ':' && c != '.') return false;
  }
  return true;
}

// Empty text means the scheme's default; otherwise 1..65535 in decimal.
bool ParsePort(std::string_view text, int default_port, int* port) {
  if (text.empty()) {
    *port = default_port;
    return true;
  }
  if (text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return false;
  *port = value;
  return true;
}

bool NeedsPercentEncoding(unsigned char c) {
  if (c <= 0x20 || c >= 0x7F) return true;
  switch (c) {
    case '"':
    case '<':
    case '>':
    case '\\':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}':
      return true;
    default:
      return false;
  }
}

std::string EncodeRequestTarget(std::string_view target) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(target.size());
  for (char c : target) {
    const auto byte = static_cast<unsigned char>(c);
    if (NeedsPercentEncoding(byte)) {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

// The five components of a URI reference (RFC 3986, appendix B).
struct UriParts {
  std::optional<std::string> scheme;
  std::optional<std::string> authority;
  std::string path;
  std::optional<std::string> query;
  std::optional<std::string> fragment;
};

UriParts SplitUri(std::string_view text) {
  UriParts parts;
  const size_t scheme_end = text.find_first_of(":/?#");
  if (scheme_end != std::string_view::npos && scheme_end > 0 && text[scheme_end] == ':') {
    parts.scheme = std::string(text.substr(0, scheme_end));
    text.remove_prefix(scheme_end + 1);
  }
  if (text.substr(0, 2) == "//") {
    text.remove_prefix(2);
    const size_t end = std::min(text.find_first_of("/?#"), text.size());
    parts.authority = std::string(text.substr(0, end));
    text.remove_prefix(end);
  }
  const size_t path_end = std::min(text.find_first_of("?#"), text.size());
  parts.path = std::string(text.substr(0, path_end));
  text.remove_prefix(path_end);
  if (!text.empty() && text[0] == '?') {
    const size_t end = std::min(text.find('#'), text.size());
    parts.query = std::string(text.substr(1, end - 1));
    text.remove_prefix(end);
  }
  if (!text.empty() && text[0] == '#') parts.fragment = std::string(text.substr(1));
  return parts;
}

std::string JoinUri(const UriParts& parts) {
  std::string out;
  if (parts.scheme) out += *parts.scheme + ":";
  if (parts.authority) out += "//" + *parts.authority;
  out += parts.path;
  if (parts.query) out += "?" + *parts.query;
  if (parts.fragment) out += "#" + *parts.fragment;
  return out;
}

void DropLastSegment(std::string& output) {
  const size_t slash = output.rfind('/');
  output.erase(slash == std::string::npos ? 0 : slash);
}

// RFC 3986, section 5.2.4.
std::string RemoveDotSegments(std::string_view path) {
  std::string input(path);
  std::string output;
  while (!input.empty()) {
    if (input.starts_with("../")) {
      input.erase(0, 3);
    } else if (input.starts_with("./")) {
      input.erase(0, 2);
    } else if (input.starts_with("/./")) {
      input.replace(0, 3, "/");
    } else if (input == "/.") {
      input = "/";
    } else if (input.starts_with("/../")) {
      input.replace(0, 4, "/");
      DropLastSegment(output);
    } else if (input == "/..") {
      input = "/";
      DropLastSegment(output);
    } else if (input == "." || input == "..") {
      input.clear();
    } else {
      const size_t end = std::min(input.find('/', 1), input.size());
      output += input.substr(0, end);
      input.erase(0, end);
    }
  }
  return output;
}

// RFC 3986, section 5.2.3.
std::string MergePaths(const UriParts& base, std::string_view reference_path) {
  if (base.authority && base.path.empty()) return "/" + std::string(reference_path);
  const size_t slash = base.path.rfind('/');
  if (slash == std::string::npos) return std::string(reference_path);
  return base.path.substr(0, slash + 1) + std::string(reference_path);
}

}  // namespace

std::string HttpUrl::ToString() const {
  std::string out = Scheme() + "://";
  out += host.find(':') == std::string::npos ? host : "[" + host + "]";
  if (port != (tls ? 443 : 80)) out += ":" + std::to_string(port);
  out += path_query;
  return out;
}

std::string HttpUrl::Origin() const {
  const std::string bracketed = host.find(':') == std::string::npos ? host : "[" + host + "]";
  return Scheme() + "://" + bracketed + ":" + std::to_string(port);
}

std::optional<HttpUrl> ParseHttpUrl(std::string_view text) {
  const size_t separator = text.find("://");
  if (separator == std::string_view::npos) return std::nullopt;
  const std::string_view scheme = text.substr(0, separator);
  if (!IsValidScheme(scheme)) return std::nullopt;
  HttpUrl url;
  url.tls = SameTextAscii(scheme, "https");

  std::string_view rest = text.substr(separator + 3);
  const size_t authority_end = std::min(rest.find_first_of("/?#"), rest.size());
  const std::string_view authority = rest.substr(0, authority_end);
  rest.remove_prefix(authority_end);
  for (char c : authority) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '\\') return std::nullopt;
  }

  const size_t at = authority.rfind('@');
  std::string_view host_port = at == std::string_view::npos ? authority : authority.substr(at + 1);
  std::string_view host;
  std::string_view port_text;
  if (!host_port.empty() && host_port[0] == '[') {
    const size_t close = host_port.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = host_port.substr(1, close - 1);
    if (!IsValidIpv6Literal(host)) return std::nullopt;
    const std::string_view after = host_port.substr(close + 1);
    if (!after.empty() && after[0] != ':') return std::nullopt;
    if (!after.empty()) port_text = after.substr(1);
  } else {
    const size_t colon = host_port.find(':');
    host = host_port.substr(0, colon);
    if (colon != std::string_view::npos) port_text = host_port.substr(colon + 1);
    if (!IsValidHostName(host)) return std::nullopt;
  }
  if (!ParsePort(port_text, url.tls ? 443 : 80, &url.port)) return std::nullopt;
  for (char c : host) url.host += AsciiLower(c);

  const std::string_view target = rest.substr(0, std::min(rest.find('#'), rest.size()));
  url.path_query = EncodeRequestTarget(target);
  if (url.path_query.empty() || url.path_query[0] != '/') url.path_query.insert(0, "/");
  return url;
}

// RFC 3986, section 5.2.2 (strict: a reference with a scheme is absolute).
std::string ResolveReference(std::string_view base_text, std::string_view reference) {
  const UriParts base = SplitUri(base_text);
  const UriParts ref = SplitUri(reference);
  UriParts target;
  if (ref.scheme) {
    target = ref;
    target.path = RemoveDotSegments(ref.path);
  } else {
    if (ref.authority) {
      target.authority = ref.authority;
      target.path = RemoveDotSegments(ref.path);
      target.query = ref.query;
    } else {
      if (ref.path.empty()) {
        target.path = base.path;
        target.query = ref.query ? ref.query : base.query;
      } else {
        const std::string merged = ref.path[0] == '/' ? ref.path : MergePaths(base, ref.path);
        target.path = RemoveDotSegments(merged);
        target.query = ref.query;
      }
      target.authority = base.authority;
    }
    target.scheme = base.scheme;
  }
  target.fragment = ref.fragment;
  return JoinUri(target);
}

}  // namespace tolvenar
