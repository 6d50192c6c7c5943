#include "http/content_decoding.h"

#include <zlib.h>

#include <algorithm>
#include <memory>

#include "base/exception.h"
#include "base/text.h"
#include "env/http_transport.h"

namespace tolvenar {

namespace {

constexpr int kGzipWindowBits = 15 + 16;
constexpr int kZlibWindowBits = 15;
constexpr int kRawDeflateWindowBits = -15;
// zlib counts its input in uInt; larger bodies are fed in pieces.
constexpr size_t kMaxInputPiece = size_t{1} << 30;

[[noreturn]] void ThrowZlibError(int code) {
  throw Exception("Error reading data: (" + std::to_string(code) + ") " + zError(code));
}

struct InflateEnd {
  void operator()(z_stream* stream) const { inflateEnd(stream); }
};

bool StartsWithGzipMagic(std::string_view bytes) {
  return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1F &&
         static_cast<unsigned char>(bytes[1]) == 0x8B;
}

// RFC 1950 header: compression method 8, window up to 32K, check bits.
bool StartsWithZlibHeader(std::string_view bytes) {
  if (bytes.size() < 2) return false;
  const auto cmf = static_cast<unsigned char>(bytes[0]);
  const auto flg = static_cast<unsigned char>(bytes[1]);
  return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && ((cmf << 8) | flg) % 31 == 0;
}

// Inflates one stream; with `gzip_members`, further gzip members that follow
// are inflated too. Bytes after the last stream are ignored. Output beyond
// `max_bytes` fails as zlib's Z_MEM_ERROR ("(-4) insufficient
// memory"): a small body that would inflate past the answer ceiling is
// refused as soon as it gets there, the same way as a plain body that large,
// and apart from the buffer error of a stream that ends early.
std::string Inflate(std::string_view input, int window_bits, bool gzip_members, size_t max_bytes) {
  z_stream stream{};
  const int init = inflateInit2(&stream, window_bits);
  if (init != Z_OK) ThrowZlibError(init);
  const std::unique_ptr<z_stream, InflateEnd> guard(&stream);

  std::string output;
  char buffer[64 * 1024];
  size_t offset = 0;  // input handed to zlib so far
  for (;;) {
    if (stream.avail_in == 0 && offset < input.size()) {
      const size_t piece = std::min(input.size() - offset, kMaxInputPiece);
      stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data() + offset));
      stream.avail_in = static_cast<uInt>(piece);
      offset += piece;
    }
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    const int result = inflate(&stream, Z_NO_FLUSH);
    const size_t produced = sizeof buffer - stream.avail_out;
    if (produced > max_bytes - output.size()) ThrowZlibError(Z_MEM_ERROR);
    output.append(buffer, produced);
    const size_t unread = stream.avail_in + (input.size() - offset);
    if (result == Z_STREAM_END) {
      const std::string_view rest = input.substr(input.size() - unread);
      if (!gzip_members || !StartsWithGzipMagic(rest)) return output;
      const int reset = inflateReset(&stream);
      if (reset != Z_OK) ThrowZlibError(reset);
      continue;
    }
    if (result == Z_NEED_DICT) ThrowZlibError(Z_DATA_ERROR);
    if (result != Z_OK && result != Z_BUF_ERROR) ThrowZlibError(result);
    // All input consumed, room left for output, and still no end of stream.
    if (unread == 0 && stream.avail_out != 0) ThrowZlibError(Z_BUF_ERROR);
  }
}

}  // namespace

std::string DecodeContent(std::string_view content_encoding, std::string body, size_t max_bytes) {
  if (body.empty()) return body;
  max_bytes = std::min(max_bytes, kMaxAnswerBodyBytes);
  const std::string coding = TrimControlsAndSpaces(content_encoding);
  if (SameTextAscii(coding, "gzip") || SameTextAscii(coding, "x-gzip")) {
    return Inflate(body, kGzipWindowBits, true, max_bytes);
  }
  if (SameTextAscii(coding, "deflate")) {
    return Inflate(body, StartsWithZlibHeader(body) ? kZlibWindowBits : kRawDeflateWindowBits,
                   false, max_bytes);
  }
  return body;
}

}  // namespace tolvenar
