// PCM conversions between the processing object's bytes and libsndfile's
// full-scale integers: exact round trips, rounding and clipping.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "veltane/PcmCodec.h"

namespace veltane {
namespace {

class PcmCodecWidthTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(PcmCodecWidthTest, EveryCodeSurvivesBytesToIntegersAndBack) {
  const uint32_t bytes = GetParam();
  const PcmCodec codec(bytes);
  const uint32_t bits = 8 * bytes;
  // Extremes, silence and a sweep through the codes.
  std::vector<int32_t> values = {INT32_MIN, 0, static_cast<int32_t>((int64_t{INT32_MAX} >> (32 - bits)) << (32 - bits))};
  for (int64_t v = INT32_MIN; v < INT32_MAX; v += 0x10203) {
    values.push_back(static_cast<int32_t>((v >> (32 - bits)) << (32 - bits)));
  }
  std::vector<uint8_t> packed(values.size() * bytes + 1, 0xA5);
  codec.Encode(values.data(), packed.data(), values.size());
  EXPECT_EQ(packed.back(), 0xA5) << "wrote past the end";
  std::vector<int32_t> back(values.size());
  codec.Decode(packed.data(), back.data(), values.size());
  EXPECT_EQ(back, values);
}

INSTANTIATE_TEST_SUITE_P(Widths, PcmCodecWidthTest, ::testing::Values(1u, 2u, 3u));

TEST(PcmCodecTest, UsesTheHostsByteLayouts) {
  const int32_t values[] = {0, INT32_MIN, 0x7FFFFF00};
  uint8_t eight[3];
  PcmCodec(1).Encode(values, eight, 3);
  EXPECT_EQ(eight[0], 0x80);  // unsigned 8-bit silence
  EXPECT_EQ(eight[1], 0x00);
  EXPECT_EQ(eight[2], 0xFF);
  EXPECT_EQ(PcmCodec(1).SilenceByte(), 0x80);
  EXPECT_EQ(PcmCodec(2).SilenceByte(), 0x00);
  uint8_t wide[9];
  PcmCodec(3).Encode(values, wide, 3);
  EXPECT_EQ(wide[3], 0x00);
  EXPECT_EQ(wide[5], 0x80);  // little-endian, sign in the last byte
  EXPECT_EQ(wide[6], 0xFF);
  EXPECT_EQ(wide[8], 0x7F);
}

TEST(PcmCodecTest, RoundsToFewerBitsToNearestAndSaturates) {
  EXPECT_EQ(PcmCodec::RoundToBits(0x00007FFF, 16), 0);
  EXPECT_EQ(PcmCodec::RoundToBits(0x00008000, 16), 0x00010000);
  EXPECT_EQ(PcmCodec::RoundToBits(-0x00008001, 16), -0x00010000);
  EXPECT_EQ(PcmCodec::RoundToBits(INT32_MAX, 24), 0x7FFFFF00);
  EXPECT_EQ(PcmCodec::RoundToBits(INT32_MIN, 8), INT32_MIN);
  EXPECT_EQ(PcmCodec::RoundToBits(0x12345678, 32), 0x12345678);
}

TEST(PcmCodecTest, FloatsClipAndNaNIsSilence) {
  EXPECT_EQ(PcmCodec::FromFloat(0.0, 24), 0);
  EXPECT_EQ(PcmCodec::FromFloat(1.0, 24), 0x7FFFFF00);
  EXPECT_EQ(PcmCodec::FromFloat(7.5, 24), 0x7FFFFF00);
  EXPECT_EQ(PcmCodec::FromFloat(-1.0, 24), INT32_MIN);
  EXPECT_EQ(PcmCodec::FromFloat(-3.0, 24), INT32_MIN);
  EXPECT_EQ(PcmCodec::FromFloat(std::nan(""), 24), 0);
  EXPECT_EQ(PcmCodec::FromFloat(std::numeric_limits<double>::infinity(), 16), 0x7FFF0000);
  EXPECT_EQ(PcmCodec::FromFloat(0.5, 16), 0x40000000);
}

}  // namespace
}  // namespace veltane
