#include "protocol/content_decoding.h"

#include <gtest/gtest.h>

#include "platform/exception.h"
#include "support/compression.h"

namespace tolvenar {
namespace {

using testing::GzipCompress;
using testing::RawDeflate;
using testing::ZlibCompress;

const std::string kText = "{\"status\":\"ok\",\"text\":\"" + std::string(3000, 'x') + "\xC3\xA9\"}";

std::string ErrorOf(std::string_view encoding, std::string body) {
  try {
    DecodeContent(encoding, std::move(body));
  } catch (const Exception& e) {
    return e.Message();
  }
  return "no error";
}

struct EncodedCase {
  const char* encoding;
  std::string (*compress)(std::string_view);
};

class ContentDecodingTest : public ::testing::TestWithParam<EncodedCase> {};

TEST_P(ContentDecodingTest, Inflates) {
  EXPECT_EQ(DecodeContent(GetParam().encoding, GetParam().compress(kText)), kText);
}

INSTANTIATE_TEST_SUITE_P(ContentDecoding, ContentDecodingTest,
                         ::testing::Values(EncodedCase{"gzip", GzipCompress},
                                           EncodedCase{" GZIP ", GzipCompress},
                                           EncodedCase{"x-gzip", GzipCompress},
                                           EncodedCase{"deflate", ZlibCompress},
                                           EncodedCase{"Deflate", RawDeflate}));

TEST(ContentDecoding, OtherEncodingsAndEmptyBodiesStayAsTheyAre) {
  const std::string gzipped = GzipCompress(kText);
  EXPECT_EQ(DecodeContent("identity", gzipped), gzipped);
  EXPECT_EQ(DecodeContent("br", gzipped), gzipped);
  EXPECT_EQ(DecodeContent("gzip, deflate", gzipped), gzipped);
  EXPECT_EQ(DecodeContent("gzip", ""), "");
}

TEST(ContentDecoding, ConcatenatedGzipMembersAllCount) {
  EXPECT_EQ(DecodeContent("gzip", GzipCompress("first ") + GzipCompress("second")), "first second");
}

TEST(ContentDecoding, TruncatedStreamFailsAsAReadError) {
  const std::string gzipped = GzipCompress(kText);
  EXPECT_EQ(ErrorOf("gzip", gzipped.substr(0, gzipped.size() / 2)),
            "Error reading data: (-5) buffer error");
  const std::string deflated = ZlibCompress(kText);
  EXPECT_EQ(ErrorOf("deflate", deflated.substr(0, deflated.size() - 3)),
            "Error reading data: (-5) buffer error");
}

TEST(ContentDecoding, DamagedStreamFailsAsAReadError) {
  EXPECT_EQ(ErrorOf("gzip", "this is not gzip at all"), "Error reading data: (-3) data error");
  std::string gzipped = GzipCompress(kText);
  gzipped[gzipped.size() - 6] ^= 0x55;  // inside the CRC-32 of the trailer
  EXPECT_EQ(ErrorOf("gzip", gzipped), "Error reading data: (-3) data error");
}

}  // namespace
}  // namespace tolvenar
