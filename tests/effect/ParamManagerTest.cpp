// The parameter store: loading, direct values, envelopes and their
// evaluation, active parameters and copying.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "effect/EffectParams.h"
#include "effect/ParamManager.h"

namespace veltane {
namespace {

constexpr TimeFormatId kReference{{0x2b, 0x71, 0xad, 0x93}};
constexpr TimeFormatId kMusic{{0x9d, 0xc4, 0x74, 0x05}};

EnvelopeSegment Segment(int64_t start, int64_t end, float from, float to, uint32_t shape,
                        uint32_t flags = 0) {
  return {start, end, from, to, shape, flags};
}

class ParamManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(manager.LoadParams({&kReference, 1}, 0, 0, kEffectParamCount, kEffectParamRows),
              ParamStatus::Ok);
  }
  float Value(uint32_t index) {
    float value = -1.0f;
    EXPECT_EQ(manager.GetParam(index, &value), ParamStatus::Ok);
    return value;
  }
  float At(uint32_t index, int64_t time, bool* pastEnd = nullptr) {
    bool past = false;
    const float value = manager.Evaluate(index, time, &past);
    if (pastEnd != nullptr) *pastEnd = past;
    return value;
  }
  ParamManager manager;
};

TEST(ParamManagerLoad, RefusesBadArgumentsAndPlacesRowsAtTheirIndex) {
  ParamManager manager;
  EXPECT_FALSE(manager.IsLoaded());
  EXPECT_EQ(manager.LoadParams({&kReference, 1}, 1, 0, 4, kEffectParamRows), ParamStatus::InvalidArg);
  EXPECT_EQ(manager.LoadParams({&kReference, 1}, 0, 0, 33, kEffectParamRows), ParamStatus::InvalidArg);
  EXPECT_FALSE(manager.IsLoaded());
  EXPECT_EQ(manager.AddEnvelope(0, {}), ParamStatus::NotLoaded);
  EXPECT_EQ(manager.FlushEnvelope(0, 0, 10), ParamStatus::NotLoaded);

  // Two rows only: row index 3 is skipped, index 1 lands at 1.
  EXPECT_EQ(manager.LoadParams({&kReference, 1}, 0, 7, 2, kEffectParamRows), ParamStatus::Ok);
  EXPECT_EQ(manager.GetParamCount(), 2u);
  EXPECT_EQ(manager.GetParamInfo(1)->index, kParamClickThreshold);
  EXPECT_EQ(manager.GetParamInfo(0)->index, kParamOutputHissLevel);
  EXPECT_EQ(manager.GetParamInfo(2), nullptr);
  EXPECT_EQ(manager.GetTimeData(), 7u);
}

TEST_F(ParamManagerTest, TimeFormatsAcceptOnlyLoadedOnes) {
  EXPECT_EQ(manager.GetTimeFormatCount(), 1u);
  TimeFormatId format;
  EXPECT_EQ(manager.GetSupportedTimeFormat(0, &format), ParamStatus::Ok);
  EXPECT_EQ(format, kReference);
  EXPECT_EQ(manager.GetSupportedTimeFormat(1, &format), ParamStatus::InvalidArg);
  EXPECT_EQ(manager.SetTimeFormat(kMusic), ParamStatus::InvalidArg);
  EXPECT_EQ(manager.SetTimeFormat(kReference), ParamStatus::Ok);
  EXPECT_EQ(manager.GetCurrentTimeFormat(), kReference);
}

TEST_F(ParamManagerTest, DirectValuesReplaceTheNeutralValue) {
  EXPECT_FLOAT_EQ(Value(kParamOptions), 23.0f);
  EXPECT_FLOAT_EQ(Value(kParamOutputHissLevel), 0.63f);
  EXPECT_FLOAT_EQ(Value(kParamClickThreshold), 4.0f);
  float value = 0.0f;
  EXPECT_EQ(manager.GetParam(4, &value), ParamStatus::InvalidArg);
  EXPECT_EQ(manager.RecordParam(4, 0.0f), ParamStatus::InvalidArg);

  EXPECT_EQ(manager.RecordParam(kParamOptions, 16.9f), ParamStatus::Ok);
  EXPECT_FLOAT_EQ(Value(kParamOptions), 16.9f);
  EXPECT_EQ(manager.RecordParam(kParamOptions, 3.0f), ParamStatus::Ok);
  const auto segments = manager.GetSegments(kParamOptions);
  ASSERT_EQ(segments.size(), 1u);  // the value changes the one segment spanning all time
  EXPECT_EQ(segments[0].startTime, std::numeric_limits<int64_t>::min());
  EXPECT_EQ(segments[0].endTime, std::numeric_limits<int64_t>::max());
  EXPECT_EQ(segments[0].curve, curve::kJump);
  EXPECT_FLOAT_EQ(At(kParamOptions, 12345), 3.0f);
  EXPECT_EQ(manager.GetActiveMask(), 0u);  // set directly: nothing to follow
}

TEST_F(ParamManagerTest, AddEnvelopeClampsPutsNewestFirstAndActivates) {
  const EnvelopeSegment added[] = {Segment(0, 100, 1.0f, 50.0f, curve::kLinear),
                                   Segment(100, 200, 3.0f, 5.0f, curve::kLinear)};
  EXPECT_EQ(manager.AddEnvelope(4, added), ParamStatus::InvalidArg);
  EXPECT_EQ(manager.AddEnvelope(kParamClickThreshold, {}), ParamStatus::Ok);
  EXPECT_EQ(manager.GetActiveMask(), 0u);
  EXPECT_EQ(manager.AddEnvelope(kParamClickThreshold, added), ParamStatus::Ok);
  const auto segments = manager.GetSegments(kParamClickThreshold);
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[0].startTime, 100);  // newest first
  EXPECT_FLOAT_EQ(segments[1].startValue, 2.0f);
  EXPECT_FLOAT_EQ(segments[1].endValue, 20.0f);
  EXPECT_EQ(manager.GetActiveMask(), 1u << kParamClickThreshold);
  EXPECT_FLOAT_EQ(Value(kParamClickThreshold), 5.0f);
}

TEST_F(ParamManagerTest, FlushDeletesOnlySegmentsInsideTheSpan) {
  const EnvelopeSegment added[] = {Segment(0, 10, 0, 0.1f, curve::kJump), Segment(10, 20, 0, 0.2f, curve::kJump),
                                   Segment(5, 30, 0, 0.3f, curve::kJump), Segment(20, 40, 0, 0.4f, curve::kJump)};
  ASSERT_EQ(manager.AddEnvelope(kParamInputHissLevel, added), ParamStatus::Ok);
  EXPECT_EQ(manager.FlushEnvelope(kParamInputHissLevel, 10, 10), ParamStatus::InvalidArg);
  EXPECT_EQ(manager.FlushEnvelope(kParamInputHissLevel, 11, 10), ParamStatus::InvalidArg);
  EXPECT_EQ(manager.FlushEnvelope(4, 0, 10), ParamStatus::InvalidArg);
  EXPECT_EQ(manager.FlushEnvelope(kParamInputHissLevel, 0, 20), ParamStatus::Ok);
  const auto segments = manager.GetSegments(kParamInputHissLevel);
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_FLOAT_EQ(segments[0].endValue, 0.4f);
  EXPECT_FLOAT_EQ(segments[1].endValue, 0.3f);
}

// Value at the quarter point of a segment from 0.2 to 1.0 over [1000, 2000].
struct CurveCase {
  uint32_t shape;
  double y;  // the shaped position at x = 0.25
};

class CurveTest : public ParamManagerTest, public testing::WithParamInterface<CurveCase> {};

TEST_P(CurveTest, ShapesTheRampBetweenStartAndEnd) {
  const CurveCase c = GetParam();
  const EnvelopeSegment added[] = {Segment(1000, 2000, 0.2f, 1.0f, c.shape)};
  ASSERT_EQ(manager.AddEnvelope(kParamOutputHissLevel, added), ParamStatus::Ok);
  bool pastEnd = true;
  EXPECT_NEAR(At(kParamOutputHissLevel, 1250, &pastEnd), 0.2 + 0.8 * c.y, 1e-5);
  EXPECT_FALSE(pastEnd);
  EXPECT_NEAR(At(kParamOutputHissLevel, 1000), c.shape == curve::kJump ? 1.0 : 0.2, 1e-5);
  EXPECT_NEAR(At(kParamOutputHissLevel, 2000), 1.0, 1e-5);
  EXPECT_NEAR(At(kParamOutputHissLevel, 2001, &pastEnd), 1.0, 1e-6);
  EXPECT_TRUE(pastEnd);
  // Before the only segment begins: the neutral value, not past the end.
  EXPECT_NEAR(At(kParamOutputHissLevel, 999, &pastEnd), 0.63, 1e-6);
  EXPECT_FALSE(pastEnd);
}

INSTANTIATE_TEST_SUITE_P(EveryCurve, CurveTest,
                         testing::Values(CurveCase{curve::kJump, 1.0}, CurveCase{curve::kLinear, 0.25},
                                         CurveCase{curve::kSquare, 0.0625}, CurveCase{curve::kInvSquare, 0.5},
                                         CurveCase{curve::kSine, (std::sin(0.25 * M_PI - M_PI / 2) + 1) / 2},
                                         CurveCase{0x40, 0.25}));

TEST_F(ParamManagerTest, BeginFlagsChooseTheStartValue) {
  const EnvelopeSegment older[] = {Segment(0, 100, 0.1f, 0.9f, curve::kLinear)};
  ASSERT_EQ(manager.AddEnvelope(kParamInputHissLevel, older), ParamStatus::Ok);
  const EnvelopeSegment fromNeutral[] = {
      Segment(200, 300, 0.0f, 0.53f, curve::kLinear, envelope::kBeginNeutralVal)};
  ASSERT_EQ(manager.AddEnvelope(kParamInputHissLevel, fromNeutral), ParamStatus::Ok);
  EXPECT_NEAR(At(kParamInputHissLevel, 250), 0.33 + (0.53 - 0.33) * 0.5, 1e-6);

  const EnvelopeSegment fromCurrent[] = {
      Segment(400, 500, 0.0f, 0.5f, curve::kLinear, envelope::kBeginCurrentVal | envelope::kBeginNeutralVal)};
  ASSERT_EQ(manager.AddEnvelope(kParamInputHissLevel, fromCurrent), ParamStatus::Ok);
  // The first older segment ended by then is the one ending at 0.53.
  EXPECT_NEAR(At(kParamInputHissLevel, 450), 0.53 + (0.5 - 0.53) * 0.5, 1e-6);

  // Between segments: the newest begun segment, already ended, gives its end.
  bool pastEnd = true;
  EXPECT_NEAR(At(kParamInputHissLevel, 350, &pastEnd), 0.53, 1e-6);
  EXPECT_FALSE(pastEnd);  // not the newest segment
}

TEST_F(ParamManagerTest, CurrentValueWithoutAnEndedOlderSegmentKeepsTheSegmentsStart) {
  const EnvelopeSegment added[] = {Segment(0, 1000, 0.8f, 0.9f, curve::kLinear),
                                   Segment(100, 200, 0.2f, 0.4f, curve::kLinear, envelope::kBeginCurrentVal)};
  ASSERT_EQ(manager.AddEnvelope(kParamOutputHissLevel, added), ParamStatus::Ok);
  EXPECT_NEAR(At(kParamOutputHissLevel, 150), 0.3, 1e-6);
}

TEST_F(ParamManagerTest, LongSegmentsRampOverTheirWholeDuration) {
  const int64_t hour = 36'000'000'000;  // far beyond 2^31 units of 100 ns
  const EnvelopeSegment added[] = {Segment(0, hour, 2.0f, 20.0f, curve::kLinear)};
  ASSERT_EQ(manager.AddEnvelope(kParamClickThreshold, added), ParamStatus::Ok);
  EXPECT_NEAR(At(kParamClickThreshold, hour / 2), 11.0, 1e-4);
}

TEST_F(ParamManagerTest, ZeroLengthSegmentGivesItsEndValue) {
  const EnvelopeSegment added[] = {Segment(50, 50, 0.1f, 0.7f, curve::kLinear)};
  ASSERT_EQ(manager.AddEnvelope(kParamOutputHissLevel, added), ParamStatus::Ok);
  const float value = At(kParamOutputHissLevel, 50);
  EXPECT_FALSE(std::isnan(value));
  EXPECT_FLOAT_EQ(value, 0.7f);
}

TEST_F(ParamManagerTest, UpdateAppliesActiveParamsUntilPastTheirEnd) {
  const EnvelopeSegment hiss[] = {Segment(0, 100, 0.0f, 1.0f, curve::kLinear)};
  const EnvelopeSegment threshold[] = {Segment(0, 1000, 2.0f, 12.0f, curve::kLinear)};
  ASSERT_EQ(manager.AddEnvelope(kParamOutputHissLevel, hiss), ParamStatus::Ok);
  ASSERT_EQ(manager.AddEnvelope(kParamClickThreshold, threshold), ParamStatus::Ok);

  std::vector<std::pair<uint32_t, float>> applied;
  auto record = [&](uint32_t index, float value) { applied.emplace_back(index, value); };
  manager.UpdateActiveParams(50, record);
  ASSERT_EQ(applied.size(), 2u);
  EXPECT_EQ(applied[0].first, kParamOutputHissLevel);
  EXPECT_NEAR(applied[0].second, 0.5f, 1e-6);
  EXPECT_NEAR(applied[1].second, 2.5f, 1e-5);

  applied.clear();
  manager.UpdateActiveParams(500, record);  // hiss past its end: applied once more, then dropped
  EXPECT_EQ(applied.size(), 2u);
  EXPECT_EQ(manager.GetActiveMask(), 1u << kParamClickThreshold);
  applied.clear();
  manager.UpdateActiveParams(600, record);
  ASSERT_EQ(applied.size(), 1u);
  EXPECT_EQ(applied[0].first, kParamClickThreshold);
}

TEST_F(ParamManagerTest, CopyAppendsSegmentsInTheSourcesOrderWithoutActivating) {
  ParamManager source;
  ASSERT_EQ(source.LoadParams({&kReference, 1}, 0, 0, kEffectParamCount, kEffectParamRows), ParamStatus::Ok);
  const EnvelopeSegment sourceSegments[] = {Segment(0, 10, 0, 0.1f, curve::kLinear),
                                            Segment(10, 20, 0, 0.2f, curve::kLinear)};
  ASSERT_EQ(source.AddEnvelope(kParamOutputHissLevel, sourceSegments), ParamStatus::Ok);
  const EnvelopeSegment own[] = {Segment(30, 40, 0, 0.9f, curve::kLinear)};
  ASSERT_EQ(manager.AddEnvelope(kParamOutputHissLevel, own), ParamStatus::Ok);
  ParamManager fresh;
  ASSERT_EQ(fresh.LoadParams({&kReference, 1}, 0, 0, kEffectParamCount, kEffectParamRows), ParamStatus::Ok);

  EXPECT_EQ(manager.CopyParamsFrom(source), ParamStatus::Ok);
  const auto segments = manager.GetSegments(kParamOutputHissLevel);
  ASSERT_EQ(segments.size(), 3u);
  EXPECT_FLOAT_EQ(segments[0].endValue, 0.9f);
  EXPECT_FLOAT_EQ(segments[1].endValue, 0.2f);
  EXPECT_FLOAT_EQ(segments[2].endValue, 0.1f);

  EXPECT_EQ(fresh.CopyParamsFrom(source), ParamStatus::Ok);
  EXPECT_EQ(fresh.GetActiveMask(), 0u);
  EXPECT_EQ(fresh.GetSegments(kParamOutputHissLevel).size(), 2u);
  EXPECT_EQ(fresh.GetParamCount(), kEffectParamCount);

  // A target that does not know the source's current format refuses.
  ParamManager other;
  ASSERT_EQ(other.LoadParams({&kMusic, 1}, 0, 0, kEffectParamCount, kEffectParamRows), ParamStatus::Ok);
  EXPECT_EQ(other.CopyParamsFrom(source), ParamStatus::InvalidArg);
}

}  // namespace
}  // namespace veltane
