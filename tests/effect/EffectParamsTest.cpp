// The parameter table, its ranges and how parameters reach the processing
// object.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "effect/EffectParams.h"
#include "effect/NoiseReducFilter.h"

namespace veltane {
namespace {

struct Switches {
  uint8_t fullBypass, bypassDeclick, bypassDenoise, outputClicks, autoLevel;
  bool operator==(const Switches&) const = default;
};

Switches Read(NoiseReducFilter& filter) {
  return {filter.GetFullBypass(), filter.GetBypassDeclick(), filter.GetBypassDenoise(),
          filter.GetOutputClicks(), filter.GetAutoInputHissLevel()};
}

TEST(EffectParamTable, RowsStandInTheirOwnOrderAndFindByIndex) {
  EXPECT_EQ(kEffectParamRows[0].index, kParamClickThreshold);
  EXPECT_EQ(kEffectParamRows[1].index, kParamOutputHissLevel);
  for (uint32_t index = 0; index < kEffectParamCount; ++index) {
    const ParamRow* row = FindEffectParam(index);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->index, index);
    EXPECT_EQ(row->caps, 0x1Fu);
    EXPECT_GE(row->neutralValue, row->minValue);
    EXPECT_LE(row->neutralValue, row->maxValue);
  }
  EXPECT_EQ(std::u16string(FindEffectParam(kParamOptions)->label), u"Options");
  EXPECT_EQ(FindEffectParam(kParamOptions)->type, ParamType::Int);
  EXPECT_FLOAT_EQ(FindEffectParam(kParamOptions)->neutralValue, 23.0f);
  EXPECT_EQ(FindEffectParam(4), nullptr);
}

TEST(EffectParamTable, RangesIncludeTheirBoundsAndRefuseNaN) {
  EXPECT_TRUE(IsInParamRange(kParamClickThreshold, 2.0f));
  EXPECT_TRUE(IsInParamRange(kParamClickThreshold, 20.0f));
  EXPECT_FALSE(IsInParamRange(kParamClickThreshold, 1.9f));
  EXPECT_FALSE(IsInParamRange(kParamOutputHissLevel, 1.01f));
  EXPECT_FALSE(IsInParamRange(kParamInputHissLevel, -0.0001f));
  EXPECT_TRUE(IsInParamRange(kParamOptions, 31.0f));
  EXPECT_FALSE(IsInParamRange(kParamOptions, 31.5f));
  EXPECT_FALSE(IsInParamRange(kParamOutputHissLevel, std::numeric_limits<float>::quiet_NaN()));
  EXPECT_TRUE(IsInParamRange(7, 1e9f));
}

class ApplyEffectParamTest : public testing::Test {
 protected:
  NoiseReducFilter filter;
};

TEST_F(ApplyEffectParamTest, OptionsAreTruncatedAndSetEverySwitch) {
  EXPECT_EQ(ApplyEffectParam(filter, kParamOptions, 16.9f), ParamStatus::Ok);
  EXPECT_EQ(Read(filter), (Switches{0, 0, 0, 0, 1}));
  EXPECT_EQ(ApplyEffectParam(filter, kParamOptions, 15.0f), ParamStatus::Ok);
  EXPECT_EQ(Read(filter), (Switches{1, 1, 1, 1, 0}));
  EXPECT_EQ(ApplyEffectParam(filter, kParamOptions, 23.0f), ParamStatus::Ok);
  EXPECT_EQ(Read(filter), (Switches{1, 1, 1, 0, 1}));
}

TEST_F(ApplyEffectParamTest, LevelsAndThresholdReachTheirSetters) {
  EXPECT_EQ(ApplyEffectParam(filter, kParamOutputHissLevel, 0.25f), ParamStatus::Ok);
  EXPECT_EQ(ApplyEffectParam(filter, kParamInputHissLevel, 0.75f), ParamStatus::Ok);
  EXPECT_EQ(ApplyEffectParam(filter, kParamClickThreshold, 7.5f), ParamStatus::Ok);
  EXPECT_FLOAT_EQ(filter.GetOutputHissLevel(), 0.25f);
  EXPECT_FLOAT_EQ(filter.GetInputHissLevel(), 0.75f);
  EXPECT_FLOAT_EQ(filter.GetClickThreshold(), 7.5f);
}

TEST_F(ApplyEffectParamTest, OutOfRangeChangesNothing) {
  const Switches before = Read(filter);
  EXPECT_EQ(ApplyEffectParam(filter, kParamOptions, 32.0f), ParamStatus::InvalidArg);
  EXPECT_EQ(ApplyEffectParam(filter, kParamOptions, -1.0f), ParamStatus::InvalidArg);
  EXPECT_EQ(ApplyEffectParam(filter, kParamClickThreshold, 1.9f), ParamStatus::InvalidArg);
  EXPECT_EQ(ApplyEffectParam(filter, kParamOutputHissLevel, 1.01f), ParamStatus::InvalidArg);
  EXPECT_EQ(Read(filter), before);
  EXPECT_FLOAT_EQ(filter.GetClickThreshold(), 4.0f);
  EXPECT_FLOAT_EQ(filter.GetOutputHissLevel(), 0.625f);
  // An index past the table passes the range check and applies nothing.
  EXPECT_EQ(ApplyEffectParam(filter, 4, 0.0f), ParamStatus::Ok);
  EXPECT_EQ(Read(filter), before);
}

}  // namespace
}  // namespace veltane
