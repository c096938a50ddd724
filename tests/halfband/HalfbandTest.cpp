// Half-band split and merge stages, driven through real ports.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

#include "halfband/HalfM.h"
#include "halfband/HalfS.h"
#include "halfband/HalfbandDesign.h"
#include "support/AllocationCounter.h"
#include "support/TestBlocks.h"

namespace veltane {
namespace {

constexpr float kRate = 44100.0f;
constexpr double kPi = std::numbers::pi;

std::vector<float> Noise(size_t count, uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<float> values(count);
  for (float& v : values) v = std::uniform_real_distribution<float>(-0.5f, 0.5f)(generator);
  return values;
}

// feed -> "HalfS 0" -> "HalfM 0" -> out, the bands also collected in low and high.
struct Rig {
  Rig(uint16_t channels, uint32_t frames, uint32_t design = 0) : feed(channels, frames, kRate) {
    split.SetDesign(design);
    merge.SetDesign(design);
    Connect(&feed, 0, &split, 0);
    for (uint16_t band = 0; band < 2; ++band) {
      Connect(&split, band, &merge, band);
      Connect(&split, band, band == 0 ? &low : &high, 0);
    }
    Connect(&merge, 0, &out, 0);
  }
  const std::vector<float>& Process(const std::vector<float>& signal) {
    feed.QueueSignal(signal);
    for (size_t n = 4 * feed.Pending() + 16; feed.Pending() > 0 && n > 0; --n) feed.Run();
    EXPECT_EQ(feed.Pending(), 0u);  // a stalled pipeline leaves buffers queued
    return out.samples;
  }
  testing::FeedBlock feed;
  HalfS split{"HalfS 0"};
  HalfM merge{"HalfM 0"};
  testing::CollectBlock out{"Out"}, low{"Low"}, high{"High"};
};

// Each decimal rounds to exactly one float, so a mistyped bit pattern shows.
TEST(HalfbandDesigns, CoefficientsAreTheFloatsOfTheirDecimalValues) {
  const std::vector<float> lists[8][2] = {
      {{0.28432673, 0.9239959}, {0.6955241}},
      {{0.18654193, 0.7902006}, {0.53234947, 0.94167507}},
      {{0.13036226, 0.66562235, 0.9525616}, {0.4092188, 0.83949035}},
      {{0.09573314, 0.5567199, 0.86948836}, {0.31953162, 0.7420533, 0.9599745}},
      {{0.07307686, 0.46602753, 0.7902006, 0.9653611}, {0.2541911, 0.651046, 0.88969266}},
      {{0.05751719, 0.39220443, 0.7139114, 0.9042702},
       {0.20593303, 0.5693388, 0.82295835, 0.96945816}},
      {{0.04640121, 0.3325586, 0.64242584, 0.84660417, 0.97268206},
       {0.16964541, 0.4979384, 0.75794667, 0.9153161}},
      {{0.03819814, 0.28432676, 0.5770491, 0.7902006, 0.9239959},
       {0.14184842, 0.43650058, 0.6955241, 0.8644658, 0.97528654}}};
  for (uint32_t d = 0; d < kHalfbandDesignCount; ++d) {
    const HalfbandDesign* design = GetHalfbandDesign(d);
    EXPECT_EQ(std::vector<float>(design->listA, design->listA + design->countA), lists[d][0]) << d;
    EXPECT_EQ(std::vector<float>(design->listB, design->listB + design->countB), lists[d][1]) << d;
  }
}

class PerDesign : public ::testing::TestWithParam<uint32_t> {};

// Split then merge is an allpass, the same for an impulse one sample later (a
// merge with swapped phase filters fails that while each phase looks allpass).
TEST_P(PerDesign, SplitThenMergeIsAnAllpassAndEachBandKeepsItsHalf) {
  std::vector<float> impulse(8192, 0.0f);
  impulse[0] = 1.0f;
  const std::vector<float> h = Rig(1, 1024, GetParam()).Process(impulse);
  for (int i = 0; i <= 512; ++i) {
    std::complex<double> sum = 0.0;
    for (size_t n = 0; n < h.size(); ++n) sum += std::polar<double>(h[n], -kPi * i * n / 512);
    EXPECT_NEAR(std::abs(sum), 1.0, 1e-5) << "at " << i << "/1024 of the rate";
  }
  std::rotate(impulse.begin(), impulse.end() - 1, impulse.end());
  const std::vector<float> later = Rig(1, 1024, GetParam()).Process(impulse);
  for (size_t n = 0; n + 1 < h.size(); ++n) ASSERT_NEAR(later[n + 1], h[n], 1e-6) << "at " << n;

  // Tones pass at 0 dB in their band and stay under the design's floor (just
  // below its analytic minimum) in the other; a quarter-rate tone is 3 dB down.
  constexpr double kFloorDb[8] = {28.5, 39.0, 49.0, 59.5, 70.0, 80.0, 90.5, 100.5};
  for (double f : {0.05, 0.1, 0.15, 0.2, 0.25, 0.3, 0.35, 0.4, 0.45}) {
    Rig rig(1, 1024, GetParam());
    std::vector<float> tone(16384);
    for (size_t n = 0; n < tone.size(); ++n) tone[n] = std::sin(2 * kPi * f * n) / 2;
    rig.Process(tone);
    double db[2] = {};  // lower, upper band, after the transient, against the tone's power
    for (int b = 0; b < 2; ++b) {
      const std::vector<float>& x = b == 0 ? rig.low.samples : rig.high.samples;
      for (size_t i = 2048; i < x.size(); ++i) db[b] += static_cast<double>(x[i]) * x[i] / 0.125;
      db[b] = 10.0 * std::log10(db[b] / static_cast<double>(x.size() - 2048));
    }
    EXPECT_NEAR(db[f < 0.25 ? 0 : 1], f == 0.25 ? -3.0103 : 0.0, 0.01) << f;
    EXPECT_LT(db[f < 0.25 ? 1 : 0], f == 0.25 ? -3.0 : -kFloorDb[GetParam()]) << f;
  }
}

// Stereo runs both channels in one loop, every other width channel by
// channel: each channel of a stereo stream must come out as it does alone.
TEST_P(PerDesign, EachStereoChannelSplitsAndMergesAsItDoesAlone) {
  const std::vector<float> signal = Noise(2 * 6000, 12);
  Rig stereo(2, 1024, GetParam());
  stereo.Process(signal);
  for (size_t c = 0; c < 2; ++c) {
    std::vector<float> channel(signal.size() / 2);
    for (size_t i = 0; i < channel.size(); ++i) channel[i] = signal[2 * i + c];
    Rig mono(1, 1024, GetParam());
    mono.Process(channel);
    for (auto [both, alone] :
         {std::pair{&stereo.low, &mono.low}, {&stereo.high, &mono.high}, {&stereo.out, &mono.out}}) {
      ASSERT_EQ(both->samples.size(), 2 * alone->samples.size());
      for (size_t i = 0; i < alone->samples.size(); ++i) {
        ASSERT_EQ(both->samples[2 * i + c], alone->samples[i]) << alone->name << " channel " << c << " at " << i;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Designs, PerDesign, ::testing::Range(0u, 8u));

TEST(HalfbandStages, SplitConstantLowAlternatingHighAtHalfFramesAndRateMergeUnlinkedAsSilence) {
  Rig rig(2, 1024);
  rig.split.Output(1)->RemoveTarget(rig.merge.Input(1));
  std::vector<float> signal(2 * 4096);
  for (size_t n = 0; n < 4096; ++n) {
    signal[2 * n] = 0.7f;                             // channel 0: a constant
    signal[2 * n + 1] = (n % 2 == 0) ? 0.4f : -0.4f;  // channel 1: +, -, +, ...
  }
  rig.Process(signal);
  ASSERT_EQ(rig.low.samples.size(), 2u * 2048);
  for (size_t k = 256; k < 2048; ++k) {  // after the transient
    ASSERT_NEAR(rig.low.samples[2 * k], 0.7f, 1e-6) << k;
    ASSERT_NEAR(rig.high.samples[2 * k], 0.0f, 1e-6) << k;
    ASSERT_NEAR(rig.low.samples[2 * k + 1], 0.0f, 1e-6) << k;
    ASSERT_NEAR(rig.high.samples[2 * k + 1], 0.4f, 1e-6) << k;
    ASSERT_NEAR(rig.out.samples[4 * k + 1], 0.0f, 1e-6) << k;  // the unlinked band is silent
  }
  EXPECT_EQ(rig.split.Output(1)->format.sampleRate, kRate / 2);
  Rig odd(2, 1023);
  odd.Process(Noise(2 * 1023, 2));
  EXPECT_EQ(odd.split.ring.Readable(), 1);  // one sample waits for the next buffer
}

// The lower band rebuffered to another size, as by other stages: the merge
// takes the band arriving first, waits for the other, and loses nothing.
TEST(HalfM, BandsInDifferentBufferSizesMergeAsIfMatched) {
  const std::vector<float> signal = Noise(40 * 1024, 5);
  const std::vector<float> expected = Rig(1, 1024).Process(signal);
  Rig rig(1, 1024);
  SampleRing ring;
  ring.Resize(1, 2048);
  testing::ProbeBlock rebuffer("Rebuffer", 1, PortKind::Samples, 1, PortKind::Samples);
  rebuffer.onInputsChanged = [](testing::ProbeBlock& self) {
    testing::CopyInputFormat(self);
    self.Output(0)->format.SetFrames(320);
  };
  rebuffer.process = [&ring](testing::ProbeBlock& self) {
    self.Input(0)->PullToRing(ring, false);
    self.Output(0)->FillFromRing(ring, false);
    return BlockStatus::SelfMarked;
  };
  Connect(&rig.split, 0, &rebuffer, 0);
  Connect(&rebuffer, 0, &rig.merge, 0);
  const std::vector<float> got = rig.Process(signal);
  ASSERT_GE(got.size(), signal.size() - 2 * (2048 + 512));  // the rest waits inside
  EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin()));
}

class BufferSizes : public ::testing::TestWithParam<std::tuple<uint16_t, uint32_t>> {};

// Any buffer size gives the same stream (compared as far as both go); once warm
// nothing is allocated; a design above 7 keeps the lists.
TEST_P(BufferSizes, GiveTheSameStreamAndAllocateNothingOnceWarm) {
  const auto [channels, frames] = GetParam();
  const std::vector<float> signal = Noise(size_t{channels} * 16384, 8);
  const std::vector<float> expected = Rig(channels, 1024).Process(signal);
  Rig rig(channels, frames);
  rig.feed.QueueSignal(signal);
  for (auto* c : {&rig.out, &rig.low, &rig.high}) c->samples.reserve(2 * signal.size());
  for (size_t i = rig.feed.Pending() / 2; i > 0; --i) rig.feed.Run();
  rig.split.SetDesign(9);
  rig.merge.SetDesign(9);
  testing::StartCountingAllocations();
  const std::vector<float>& got = rig.Process({});
  EXPECT_EQ(testing::StopCountingAllocations(), 0);
  const size_t common = std::min(got.size(), expected.size());
  ASSERT_GE(common, signal.size() / 2);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + common, expected.begin()));
}

INSTANTIATE_TEST_SUITE_P(Sizes, BufferSizes,
                         ::testing::Combine(::testing::Values<uint16_t>(1, 2, HalfS::kMaxChannels),
                                            ::testing::Values<uint32_t>(1, 2, 7, 480, 1023, 4096)));

// After NaN and infinity, silence still decays to exact zeros, without a
// denormal limit cycle on the way; after a reset zeros give zeros.
TEST(HalfbandStages, BadSamplesSilenceAndResetLeaveACleanState) {
  Rig rig(2, 1024, 7);
  std::vector<float> signal = Noise(2 * 8192, 10);
  signal[100] = std::numeric_limits<float>::quiet_NaN();
  signal[2000] = std::numeric_limits<float>::infinity();
  rig.Process(signal);
  rig.out.samples.clear();
  const std::vector<float> quiet = rig.Process(std::vector<float>(2 * 32768, 0.0f));
  for (size_t i = quiet.size() - 2 * 1024; i < quiet.size(); ++i) ASSERT_EQ(quiet[i], 0.0f) << i;
  for (float v : quiet) ASSERT_TRUE(v == 0.0f || std::fabs(v) >= 1e-30f) << "denormal output";
  rig.Process(std::vector<float>(2 * 4096, 1.0f));
  rig.feed.RequestReset();
  rig.out.samples.clear();
  EXPECT_EQ(rig.Process(std::vector<float>(2 * 4096, 0.0f)), std::vector<float>(2 * 4096, 0.0f));
}

// A 21st channel is refused, the input left untaken; pass-through still works.
TEST(HalfbandStages, AStreamWiderThanTwentyChannelsIsRefused) {
  constexpr uint16_t kWide = HalfS::kMaxChannels + 1;
  Rig rig(kWide, 512);
  const std::vector<float> signal = Noise(size_t{kWide} * 512, 3);
  rig.feed.Queue(signal);
  rig.feed.Run();
  EXPECT_TRUE(rig.low.samples.empty());
  EXPECT_FALSE(rig.split.Input(0)->IsStale());  // still there, untaken
  rig.split.SetPassThrough(1);
  rig.split.Run();
  EXPECT_EQ(rig.low.samples, signal);
}

}  // namespace
}  // namespace veltane
