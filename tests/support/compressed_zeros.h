// Compressed runs of zero bytes: small bodies that inflate to any size,
// built piece by piece so the inflated size is never held in memory.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace tolvenar::testing {

// `count` zero bytes deflated with `window_bits` as zlib takes them: 15 + 16
// for gzip, 15 for a zlib wrapper, -15 for raw deflate.
inline std::string CompressedZeros(size_t count, int window_bits) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, window_bits, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  const std::vector<char> zeros(size_t{1} << 20, '\0');
  std::vector<char> buffer(size_t{1} << 16);
  std::string out;
  size_t left = count;
  int result = Z_OK;
  do {
    const size_t piece = std::min(left, zeros.size());
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
    stream.avail_in = static_cast<uInt>(piece);
    left -= piece;
    const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    do {
      stream.next_out = reinterpret_cast<Bytef*>(buffer.data());
      stream.avail_out = static_cast<uInt>(buffer.size());
      result = deflate(&stream, flush);
      out.append(buffer.data(), buffer.size() - stream.avail_out);
    } while (stream.avail_out == 0);
  } while (left > 0);
  deflateEnd(&stream);
  if (result != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return out;
}

}  // namespace tolvenar::testing
