#include "support/compression.h"

#include <zlib.h>

#include <stdexcept>

namespace tolvenar::testing {

namespace {

std::string Compress(std::string_view text, int window_bits) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(text.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (result != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return out;
}

}  // namespace

std::string GzipCompress(std::string_view text) { return Compress(text, 15 + 16); }
std::string ZlibCompress(std::string_view text) { return Compress(text, 15); }
std::string RawDeflate(std::string_view text) { return Compress(text, -15); }

}  // namespace tolvenar::testing
