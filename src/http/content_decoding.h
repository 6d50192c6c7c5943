// Inflating answers sent with a "Content-Encoding" of gzip or deflate.
#pragma once

#include <string>
#include <string_view>

#include "env/http_transport.h"

namespace tolvenar {

// Decodes an answer body by its "Content-Encoding" value, compared without
// letter case and surrounding blanks: "gzip" (or its alias "x-gzip"), which
// may hold several members, and "deflate", zlib-wrapped or raw as some
// servers send it. Any other value, and an empty body, come back unchanged.
// A damaged or truncated stream raises Exception("Error reading data: (%d) %s")
// with zlib's error number and text, e.g. "(-5) buffer error" for a stream
// that ends early.
// Output past `max_bytes` (never more than kMaxAnswerBodyBytes) fails as
// zlib's "(-4) insufficient memory".
std::string DecodeContent(std::string_view content_encoding, std::string body,
                          size_t max_bytes = kMaxAnswerBodyBytes);

}  // namespace tolvenar
