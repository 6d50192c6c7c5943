// Decoding an answer body: inflating by Content-Encoding, then strict UTF-8.
// The first byte picks the encoding; the rest is the body. A round trip
// through zlib checks that what deflates also inflates back.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "base/exception.h"
#include "base/text.h"
#include "http/content_decoding.h"
#include "http/http_client.h"

namespace {

constexpr const char* kEncodings[] = {"gzip", "deflate", " X-GZIP ", "identity", ""};

// zlib's compressor: window bits 15 + 16 for gzip, -15 for raw deflate.
std::string Compress(std::string_view bytes, int window_bits) {
  z_stream stream{};
  FUZZ_CHECK(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, window_bits, 8,
                          Z_DEFAULT_STRATEGY) == Z_OK);
  std::string out(deflateBound(&stream, bytes.size()) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  FUZZ_CHECK(deflate(&stream, Z_FINISH) == Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const char* encoding = kEncodings[data[0] % std::size(kEncodings)];
  const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);

  try {
    const std::string inflated = tolvenar::DecodeContent(encoding, std::string(body));
    const std::string text = tolvenar::DecodeResponseText(inflated);
    FUZZ_CHECK(tolvenar::IsValidUtf8(text));
  } catch (const tolvenar::Exception&) {
    // Damaged streams and invalid UTF-8 are expected failures.
  }

  FUZZ_CHECK(tolvenar::DecodeContent("gzip", Compress(body, 15 + 16)) == body);
  FUZZ_CHECK(tolvenar::DecodeContent("deflate", Compress(body, 15)) == body);
  FUZZ_CHECK(tolvenar::DecodeContent("deflate", Compress(body, -15)) == body);
  return 0;
}
