// Compressed bodies for tests of answers with a "Content-Encoding".
#pragma once

#include <string>
#include <string_view>

namespace tolvenar::testing {

std::string GzipCompress(std::string_view text);
// RFC 1950 stream: deflate data in a zlib wrapper ("deflate" as specified).
std::string ZlibCompress(std::string_view text);
// Bare RFC 1951 data, as some servers send "deflate".
std::string RawDeflate(std::string_view text);

}  // namespace tolvenar::testing
