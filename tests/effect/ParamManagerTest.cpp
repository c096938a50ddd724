// Envelope evaluation: the shapes and start values the effect object's tests leave out.
#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "effect/EffectParams.h"
#include "effect/ParamManager.h"

namespace veltane {
namespace {

TEST(ParamManager, EvaluatesEveryCurveTheNeutralStartAndZeroLength) {
  ParamManager manager;
  const TimeFormatId reference{{0x2b, 0x71, 0xad, 0x93}};
  ASSERT_EQ(manager.LoadParams({&reference, 1}, 0, 0, 4, kEffectParamRows), ParamStatus::Ok);
  // On "Output Hiss Level" (neutral 0.63): ramps from 0.2 to 1.0, each read a quarter in.
  const std::vector<EnvelopeSegment> segments = {
      {1000, 2000, 0.2f, 1.0f, curve::kJump},     {3000, 4000, 0.2f, 1.0f, curve::kInvSquare},
      {5000, 6000, 0.2f, 1.0f, curve::kSine},     {7000, 8000, 0.2f, 1.0f, 0x40},
      {9000, 10000, 0.0f, 0.53f, curve::kLinear, envelope::kBeginNeutralVal},
      {11000, 11000, 0.1f, 0.7f, curve::kLinear}};
  ASSERT_EQ(manager.AddEnvelope(kParamOutputHissLevel, segments), ParamStatus::Ok);
  const double sine = (std::sin(0.25 * 3.1415926535 - 1.57079632675) + 1.0) * 0.5;
  bool pastEnd = false;
  for (auto [time, value] : {std::pair{999, 0.63}, {1250, 1.0}, {3250, 0.2 + 0.8 * 0.5},
                             {5250, 0.2 + 0.8 * sine}, {7250, 0.4}, {9500, (0.63 + 0.53) / 2},
                             {11000, 0.7}, {11001, 0.7}}) {  // unknown shape: linear; zero length
    EXPECT_NEAR(manager.Evaluate(kParamOutputHissLevel, time, &pastEnd), value, 1e-5) << time;
    EXPECT_EQ(pastEnd, time > 11000) << time;  // only past the newest segment
  }
}

}  // namespace
}  // namespace veltane
