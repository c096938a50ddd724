// "Synthesis": perfect reconstruction behind "Analysis", timing, zeros and resets.
#include <gtest/gtest.h>

#include "SpectralTestSupport.h"

namespace veltane {
namespace {

using testing::CollectBlock;
using testing::Frame;
using testing::SpectraFeed;
using testing::SpectralChain;

struct Reconstruction {
  float rate;
  uint32_t hopMode;
  uint16_t channels;
};

class SynthesisReconstruction : public ::testing::TestWithParam<Reconstruction> {};

TEST_P(SynthesisReconstruction, AFullScaleSineComesBackWithoutDelay) {
  const Reconstruction p = GetParam();
  SpectralChain chain(p.channels, 1024, p.rate, /*withNoiseReduc=*/false);
  chain.analysis.SetHopMode(p.hopMode);
  const std::vector<float> input = testing::Sine(30000, p.channels, 1000.0, p.rate, 1.0);
  chain.Run(input);
  const std::vector<float>& output = chain.collect.samples;
  const uint32_t n = chain.analysis.fftSize;
  const uint32_t hop = chain.analysis.hopSize;
  // With quarter hops the first hop after the start lacks the frame that
  // would have begun before the pre-roll, so it fades in; and near the end
  // the frames see the signal cut off. Both are left out.
  const size_t first = p.hopMode == 1 ? 0 : size_t{hop} * p.channels;
  const size_t last = input.size() - size_t{n} * p.channels;
  ASSERT_GE(output.size(), last);
  double worst = 0.0;
  for (size_t i = first; i < last; ++i) worst = std::max(worst, std::fabs(double(output[i]) - input[i]));
  // What differs is the sine's leakage into the cleared Nyquist bin.
  EXPECT_LT(worst, 1e-4);
}

INSTANTIATE_TEST_SUITE_P(RatesHopsChannels, SynthesisReconstruction,
                         ::testing::Values(Reconstruction{44100.0f, 1, 2}, Reconstruction{44100.0f, 2, 1},
                                           Reconstruction{48000.0f, 1, 1}, Reconstruction{32000.0f, 1, 2},
                                           Reconstruction{22050.0f, 2, 2}),
                         [](const auto& info) {
                           const Reconstruction& r = info.param;
                           return "Rate" + std::to_string(static_cast<int>(r.rate)) + "Hop" +
                                  std::to_string(r.hopMode) + "Channels" + std::to_string(r.channels);
                         });

TEST(Synthesis, WhiteNoiseLosesOnlyItsComponentAtHalfTheRate) {
  SpectralChain chain(2, 1024, 44100.0f, false);
  const std::vector<float> input = testing::WhiteNoise(2 * 40000, 0.25, 21);
  chain.Run(input);
  const std::vector<float>& output = chain.collect.samples;
  ASSERT_GE(output.size(), input.size() / 2);
  // The residual alternates in sign from sample to sample with a slowly
  // varying amplitude: summing neighbours cancels it.
  for (uint16_t c = 0; c < 2; ++c) {
    double residual = 0.0, neighbourSum = 0.0;
    const size_t frames = output.size() / 2 - 1;
    for (size_t i = 0; i < frames; ++i) {
      const double r0 = double(input[2 * i + c]) - output[2 * i + c];
      const double r1 = double(input[2 * i + 2 + c]) - output[2 * i + 2 + c];
      residual = std::max(residual, std::fabs(r0));
      neighbourSum = std::max(neighbourSum, std::fabs(r0 + r1));
    }
    EXPECT_GT(residual, 1e-4) << "a Nyquist component was there to lose";
    EXPECT_LT(residual, 0.02);
    EXPECT_LT(neighbourSum, residual / 20) << "channel " << c;
  }
}

// Frames of zeros, or of one constant value in the time domain (a frame whose
// outer half is not zero).
Frame ZeroFrame(uint16_t channels, uint32_t n) { return Frame(channels, std::vector<float>(n, 0.0f)); }
Frame ConstantFrame(uint16_t channels, uint32_t n, float value) {
  Frame frame = ZeroFrame(channels, n);
  for (auto& spectrum : frame) spectrum[0] = value * static_cast<float>(n);  // DC only
  return frame;
}

struct SynthesisRig {
  SynthesisRig(uint16_t channels, uint32_t order, uint32_t hop) : feed(channels, order, hop) {
    Connect(&feed, 0, &synthesis, 0);
    Connect(&synthesis, 0, &collect, 0);
  }
  // Queues one frame, runs, and returns the samples collected so far.
  size_t Push(Frame frame) {
    feed.Queue(std::move(frame));
    feed.Run();
    return collect.samples.size();
  }
  SpectraFeed feed;
  Synthesis synthesis;
  CollectBlock collect;
};

TEST(Synthesis, TheFirstBlockLeavesAtTheSecondFrameForHalfOverlap) {
  SynthesisRig rig(2, 11, 1024);
  EXPECT_EQ(rig.Push(ConstantFrame(2, 2048, 0.5f)), 0u);
  EXPECT_EQ(rig.Push(ConstantFrame(2, 2048, 0.5f)), 2u * 1024);
  EXPECT_EQ(rig.Push(ConstantFrame(2, 2048, 0.5f)), 2u * 2048);
  EXPECT_EQ(rig.collect.Input(0)->format.frames, 1024u);
}

TEST(Synthesis, TheFirstBlockLeavesAtTheThirdFrameForQuarterHops) {
  SynthesisRig rig(1, 11, 512);
  EXPECT_EQ(rig.Push(ConstantFrame(1, 2048, 0.5f)), 0u);
  EXPECT_EQ(rig.Push(ConstantFrame(1, 2048, 0.5f)), 0u);
  EXPECT_EQ(rig.Push(ConstantFrame(1, 2048, 0.5f)), 512u);
  EXPECT_EQ(rig.Push(ConstantFrame(1, 2048, 0.5f)), 1024u);
}

TEST(Synthesis, ZeroSpectraGiveExactZerosAlsoAfterAReset) {
  SynthesisRig rig(2, 10, 512);
  for (int i = 0; i < 6; ++i) rig.Push(ZeroFrame(2, 1024));
  ASSERT_FALSE(rig.collect.samples.empty());
  for (float v : rig.collect.samples) ASSERT_EQ(v, 0.0f);

  for (int i = 0; i < 6; ++i) rig.Push(ConstantFrame(2, 1024, 0.7f));
  rig.feed.RequestReset();
  rig.collect.samples.clear();
  for (int i = 0; i < 8; ++i) rig.Push(ZeroFrame(2, 1024));
  ASSERT_EQ(rig.collect.samples.size(), 2u * 7 * 512);
  for (float v : rig.collect.samples) ASSERT_EQ(v, 0.0f);
}

TEST(Synthesis, TheSkippedHalfOfTheFirstFrameDoesNotComeRoundAgain) {
  // A first frame after a reset whose outer half is not zero, then silence:
  // only its inner half may reach the output.
  SynthesisRig rig(1, 10, 512);
  rig.Push(ConstantFrame(1, 1024, 0.5f));
  for (int i = 0; i < 6; ++i) rig.Push(ZeroFrame(1, 1024));
  const std::vector<float>& out = rig.collect.samples;
  ASSERT_GE(out.size(), 2048u);
  for (size_t k = 0; k < 512; ++k) EXPECT_NE(out[k], 0.0f) << k;
  for (size_t k = 512; k < out.size(); ++k) ASSERT_EQ(out[k], 0.0f) << k;
}

TEST(Synthesis, AfterAResetTheOutputRestartsInStepWithTheInput) {
  SpectralChain chain(1, 1024, 44100.0f, false);
  chain.Run(testing::WhiteNoise(7000, 0.5, 4));
  chain.feed.RequestReset();
  chain.collect.samples.clear();
  const std::vector<float> restart = testing::Sine(20000, 1, 440.0, 44100.0, 0.8);
  chain.Run(restart);
  ASSERT_GE(chain.collect.samples.size(), 10000u);
  for (size_t i = 0; i < chain.collect.samples.size(); ++i) {
    ASSERT_NEAR(chain.collect.samples[i], restart[i], 1e-4) << i;
  }
}

TEST(Synthesis, WithNothingLinkedToItsOutputItTakesAndDropsFrames) {
  SpectraFeed feed(1, 10, 512);
  Synthesis synthesis;
  Connect(&feed, 0, &synthesis, 0);
  for (int i = 0; i < 3; ++i) {
    feed.Queue(ConstantFrame(1, 1024, 0.1f));
    feed.Run();
    EXPECT_EQ(feed.Pending(), 0u);
  }
}

}  // namespace
}  // namespace veltane
