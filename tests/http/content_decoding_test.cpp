#include "http/content_decoding.h"

#include <gtest/gtest.h>

#include "base/exception.h"
#include "env/http_transport.h"
#include "support/compressed_zeros.h"
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

struct CeilingCase {
  const char* encoding;
  int window_bits;
};

class InflateCeilingTest : public ::testing::TestWithParam<CeilingCase> {};

TEST_P(InflateCeilingTest, OneByteMoreFailsAsInsufficientMemory) {
  const std::string bomb =
      testing::CompressedZeros(kMaxAnswerBodyBytes + 1, GetParam().window_bits);
  ASSERT_LT(bomb.size(), size_t{1} << 20);
  EXPECT_EQ(ErrorOf(GetParam().encoding, bomb), "Error reading data: (-4) insufficient memory");
}

INSTANTIATE_TEST_SUITE_P(ContentDecoding, InflateCeilingTest,
                         ::testing::Values(CeilingCase{"gzip", 15 + 16}, CeilingCase{"deflate", 15},
                                           CeilingCase{"deflate", -15}),
                         [](const ::testing::TestParamInfo<CeilingCase>& info) {
                           return std::string(info.param.window_bits == 31   ? "Gzip"
                                              : info.param.window_bits == 15 ? "Zlib"
                                                                             : "RawDeflate");
                         });

TEST(ContentDecoding, BodyOfExactlyTheCeilingInflatesWhole) {
  const std::string text =
      DecodeContent("deflate", testing::CompressedZeros(kMaxAnswerBodyBytes, 15));
  EXPECT_EQ(text.size(), kMaxAnswerBodyBytes);
  EXPECT_EQ(text.find_first_not_of('\0'), std::string::npos);
}

// The ceiling holds for the whole answer, not for each gzip member.
TEST(ContentDecoding, GzipMembersCountTogetherAgainstTheCeiling) {
  const std::string half = testing::CompressedZeros(kMaxAnswerBodyBytes / 2, 15 + 16);
  EXPECT_EQ(DecodeContent("gzip", half + half).size(), kMaxAnswerBodyBytes);
  EXPECT_EQ(ErrorOf("gzip", half + half + GzipCompress("x")),
            "Error reading data: (-4) insufficient memory");
}

}  // namespace
}  // namespace tolvenar
