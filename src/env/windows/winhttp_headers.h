// Turning WinHTTP's view of an answer's header block back into name/value
// pairs.
#pragma once

#include <string>
#include <string_view>

#include "env/http_transport.h"

namespace tolvenar {

// The bytes of a header text that WinHTTP widened with the ANSI code page.
std::string AnsiBytes(std::wstring_view text);

// Splits a header block as WINHTTP_QUERY_RAW_HEADERS_CRLF returns it (status
// line, "Name: value" lines, blank line) into pairs in the received order,
// names in their received case, values without surrounding blanks. A folded
// line continues the value before it; a line without a colon is skipped.
HttpHeaders ParseRawHeaders(std::string_view raw);

}  // namespace tolvenar
