// PCM conversions between the processing object's bytes and libsndfile's
// full-scale integers: byte layouts, rounding and clipping (the exact round
// trips of every width are the tool tests' bypass cases).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "veltane/PcmCodec.h"

namespace veltane {
namespace {

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
