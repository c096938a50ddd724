// Half-band split and merge stages, driven through real ports.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

#include "framework/GraphLock.h"
#include "halfband/AllpassCascade.h"
#include "halfband/HalfM.h"
#include "halfband/HalfS.h"
#include "halfband/HalfbandDesign.h"
#include "support/AllocationCounter.h"
#include "support/TestBlocks.h"

namespace veltane {
namespace {

using testing::CollectBlock;
using testing::FeedBlock;

constexpr float kRate = 44100.0f;

// Runs the feed until its queue is empty; true when it drained (a stalled
// pipeline would leave buffers queued).
bool Drain(FeedBlock& feed) {
  for (size_t guard = 4 * feed.Pending() + 16; feed.Pending() > 0 && guard > 0; --guard) {
    feed.Run();
  }
  return feed.Pending() == 0;
}

std::vector<float> Noise(size_t count, uint32_t seed) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
  std::vector<float> values(count);
  for (float& v : values) v = uniform(generator);
  return values;
}

std::vector<float> Sine(size_t count, double cyclesPerSample, double amplitude) {
  std::vector<float> values(count);
  for (size_t n = 0; n < count; ++n) {
    values[n] =
        static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * cyclesPerSample * n));
  }
  return values;
}

// Every `channels`-th sample from `channel` on.
std::vector<float> Channel(const std::vector<float>& interleaved, uint16_t channels,
                           uint16_t channel) {
  std::vector<float> one;
  for (size_t i = channel; i < interleaved.size(); i += channels) one.push_back(interleaved[i]);
  return one;
}

double Rms(const std::vector<float>& values, size_t from) {
  double sum = 0.0;
  for (size_t i = from; i < values.size(); ++i) sum += static_cast<double>(values[i]) * values[i];
  return std::sqrt(sum / static_cast<double>(values.size() - from));
}

// |sum h[n] e^(-i w n)|.
double Magnitude(const std::vector<float>& h, double w) {
  std::complex<double> sum = 0.0;
  std::complex<double> phasor = 1.0;
  const std::complex<double> rotation = std::polar(1.0, -w);
  for (float x : h) {
    sum += static_cast<double>(x) * phasor;
    phasor *= rotation;
  }
  return std::abs(sum);
}

// feed -> HalfS -> collectors on both bands.
struct SplitRig {
  SplitRig(uint16_t channels, uint32_t frames, uint32_t design = 0)
      : feed(channels, frames, kRate) {
    split.SetDesign(design);
    Connect(&feed, 0, &split, 0);
    Connect(&split, 0, &low, 0);
    Connect(&split, 1, &high, 0);
  }
  FeedBlock feed;
  HalfS split{"HalfS 0"};
  CollectBlock low{"Low"};
  CollectBlock high{"High"};
};

// feed -> HalfS -> HalfM -> collector, nothing between the two stages.
struct SplitMergeRig {
  SplitMergeRig(uint16_t channels, uint32_t frames, uint32_t design = 0)
      : feed(channels, frames, kRate) {
    split.SetDesign(design);
    merge.SetDesign(design);
    Connect(&feed, 0, &split, 0);
    Connect(&split, 0, &merge, 0);
    Connect(&split, 1, &merge, 1);
    Connect(&merge, 0, &out, 0);
  }
  std::vector<float> Process(const std::vector<float>& signal) {
    feed.QueueSignal(signal);
    EXPECT_TRUE(Drain(feed));
    return out.samples;
  }
  FeedBlock feed;
  HalfS split{"HalfS 0"};
  HalfM merge{"HalfM 0"};
  CollectBlock out{"Out"};
};

// ---------------------------------------------------------------------------
// The design tables, against the decimal values they were derived from (each
// decimal rounds to exactly one float, so a mistyped bit pattern shows up).

TEST(HalfbandDesigns, CoefficientsAreTheFloatsOfTheirDecimalValues) {
  const std::vector<std::vector<double>> listA = {
      {0.28432673, 0.9239959},
      {0.18654193, 0.7902006},
      {0.13036226, 0.66562235, 0.9525616},
      {0.09573314, 0.5567199, 0.86948836},
      {0.07307686, 0.46602753, 0.7902006, 0.9653611},
      {0.05751719, 0.39220443, 0.7139114, 0.9042702},
      {0.04640121, 0.3325586, 0.64242584, 0.84660417, 0.97268206},
      {0.03819814, 0.28432676, 0.5770491, 0.7902006, 0.9239959}};
  const std::vector<std::vector<double>> listB = {
      {0.6955241},
      {0.53234947, 0.94167507},
      {0.4092188, 0.83949035},
      {0.31953162, 0.7420533, 0.9599745},
      {0.2541911, 0.651046, 0.88969266},
      {0.20593303, 0.5693388, 0.82295835, 0.96945816},
      {0.16964541, 0.4979384, 0.75794667, 0.9153161},
      {0.14184842, 0.43650058, 0.6955241, 0.8644658, 0.97528654}};
  for (uint32_t d = 0; d < kHalfbandDesignCount; ++d) {
    const HalfbandDesign* design = GetHalfbandDesign(d);
    ASSERT_NE(design, nullptr);
    ASSERT_EQ(design->countA, listA[d].size()) << "design " << d;
    ASSERT_EQ(design->countB, listB[d].size()) << "design " << d;
    for (uint16_t i = 0; i < design->countA; ++i) {
      EXPECT_EQ(design->listA[i], static_cast<float>(listA[d][i])) << "design " << d << " A" << i;
    }
    for (uint16_t i = 0; i < design->countB; ++i) {
      EXPECT_EQ(design->listB[i], static_cast<float>(listB[d][i])) << "design " << d << " B" << i;
    }
  }
  EXPECT_EQ(GetHalfbandDesign(kHalfbandDesignCount), nullptr);
}

// ---------------------------------------------------------------------------
// Split then merge with nothing between is an allpass.

class SplitMergeAllpass : public ::testing::TestWithParam<uint32_t> {};

TEST_P(SplitMergeAllpass, ImpulseResponseHasUnitMagnitudeAtEveryFrequency) {
  SplitMergeRig rig(1, 1024, GetParam());
  std::vector<float> impulse(8192, 0.0f);
  impulse[0] = 1.0f;
  const std::vector<float> h = rig.Process(impulse);
  ASSERT_EQ(h.size(), impulse.size());
  for (int i = 0; i <= 512; ++i) {
    const double w = std::numbers::pi * i / 512.0;
    EXPECT_NEAR(Magnitude(h, w), 1.0, 1e-5) << "at " << i << "/1024 of the rate";
  }
}

TEST_P(SplitMergeAllpass, BothPhasesSeeTheSameFilter) {
  // An impulse on an odd sample must give the same response one sample later;
  // a merge that swaps the phase filters fails this while each phase alone
  // still looks like an allpass.
  SplitMergeRig even(1, 1024, GetParam());
  SplitMergeRig odd(1, 1024, GetParam());
  std::vector<float> impulse(4096, 0.0f);
  impulse[0] = 1.0f;
  const std::vector<float> h0 = even.Process(impulse);
  impulse[0] = 0.0f;
  impulse[1] = 1.0f;
  const std::vector<float> h1 = odd.Process(impulse);
  ASSERT_EQ(h0.size(), h1.size());
  EXPECT_EQ(h1[0], 0.0f);
  for (size_t n = 0; n + 1 < h0.size(); ++n) ASSERT_NEAR(h1[n + 1], h0[n], 1e-6) << "at " << n;
}

INSTANTIATE_TEST_SUITE_P(Designs, SplitMergeAllpass, ::testing::Range(0u, 8u));

// ---------------------------------------------------------------------------
// What each band carries.

TEST(SplitBands, ConstantGoesLowAndAlternatingGoesHigh) {
  SplitRig rig(2, 1024);
  std::vector<float> signal(2 * 4096);
  for (size_t n = 0; n < 4096; ++n) {
    signal[2 * n] = 0.7f;                             // channel 0: a constant
    signal[2 * n + 1] = (n % 2 == 0) ? 0.4f : -0.4f;  // channel 1: +, -, +, ...
  }
  rig.feed.QueueSignal(signal);
  ASSERT_TRUE(Drain(rig.feed));
  ASSERT_EQ(rig.low.samples.size(), 2u * 2048);
  const auto low0 = Channel(rig.low.samples, 2, 0);
  const auto high0 = Channel(rig.high.samples, 2, 0);
  const auto low1 = Channel(rig.low.samples, 2, 1);
  const auto high1 = Channel(rig.high.samples, 2, 1);
  for (size_t k = 256; k < 2048; ++k) {  // after the transient
    ASSERT_NEAR(low0[k], 0.7f, 1e-6) << k;
    ASSERT_NEAR(high0[k], 0.0f, 1e-6) << k;
    ASSERT_NEAR(low1[k], 0.0f, 1e-6) << k;
    ASSERT_NEAR(high1[k], 0.4f, 1e-6) << k;
  }
  // The upper band of the constant only decays: it starts away from 0.
  EXPECT_GT(std::fabs(high0[0]), 0.01f);
}

TEST(SplitBands, BuffersHaveHalfTheFramesAtHalfTheRate) {
  SplitMergeRig rig(2, 1024);
  rig.Process(Noise(2 * 1024, 1));
  for (uint16_t o = 0; o < 2; ++o) {
    const StreamFormat& band = rig.split.Output(o)->format;
    EXPECT_EQ(band.frames, 512u);
    EXPECT_EQ(band.channels, 2);
    EXPECT_EQ(band.sampleRate, kRate / 2);
    EXPECT_EQ(rig.split.Output(o)->framesProduced, 512u);
  }
  const StreamFormat& merged = rig.merge.Output(0)->format;
  EXPECT_EQ(merged.frames, 1024u);
  EXPECT_EQ(merged.channels, 2);
  EXPECT_EQ(merged.sampleRate, kRate);
  EXPECT_EQ(rig.out.samples.size(), 2u * 1024);
}

TEST(SplitBands, OddFrameCountLeavesOneSampleWaiting) {
  SplitRig rig(2, 1023);
  rig.feed.QueueSignal(Noise(2 * 1023, 2));
  ASSERT_TRUE(Drain(rig.feed));
  EXPECT_EQ(rig.split.Output(0)->format.frames, 511u);
  EXPECT_EQ(rig.low.samples.size(), 2u * 511);
  EXPECT_EQ(rig.high.samples.size(), 2u * 511);
  EXPECT_EQ(rig.split.ring.Readable(), 1);
}

// The stopband floor of each design's lower band, in dB below the input, with
// a little room under the analytic minimum over 0.3 to 0.5 of the rate.
constexpr double kStopbandFloorDb[8] = {28.5, 39.0, 49.0, 59.5, 70.0, 80.0, 90.5, 100.5};

class SplitQuality : public ::testing::TestWithParam<uint32_t> {};

TEST_P(SplitQuality, BandsKeepTheirHalfAndRejectTheOther) {
  const uint32_t design = GetParam();
  const double inputRms = 0.5 / std::sqrt(2.0);
  for (double f : {0.3, 0.35, 0.4, 0.45}) {
    SplitRig rig(1, 1024, design);
    rig.feed.QueueSignal(Sine(16384, f, 0.5));
    ASSERT_TRUE(Drain(rig.feed));
    const double lowDb = 20.0 * std::log10(Rms(rig.low.samples, 2048) / inputRms);
    EXPECT_LT(lowDb, -kStopbandFloorDb[design]) << "lower band at " << f;
    const double highDb = 20.0 * std::log10(Rms(rig.high.samples, 2048) / inputRms);
    EXPECT_NEAR(highDb, 0.0, 0.01) << "upper band at " << f;

    SplitRig mirror(1, 1024, design);
    mirror.feed.QueueSignal(Sine(16384, 0.5 - f, 0.5));
    ASSERT_TRUE(Drain(mirror.feed));
    const double mirrorHighDb = 20.0 * std::log10(Rms(mirror.high.samples, 2048) / inputRms);
    EXPECT_LT(mirrorHighDb, -kStopbandFloorDb[design]) << "upper band at " << 0.5 - f;
    const double mirrorLowDb = 20.0 * std::log10(Rms(mirror.low.samples, 2048) / inputRms);
    EXPECT_NEAR(mirrorLowDb, 0.0, 0.01) << "lower band at " << 0.5 - f;
  }
}

TEST_P(SplitQuality, QuarterRateIsThreeDecibelsDownInBothBands) {
  SplitRig rig(1, 1024, GetParam());
  rig.feed.QueueSignal(Sine(16384, 0.25, 0.5));
  ASSERT_TRUE(Drain(rig.feed));
  const double inputRms = 0.5 / std::sqrt(2.0);
  const double low = Rms(rig.low.samples, 2048) / inputRms;
  const double high = Rms(rig.high.samples, 2048) / inputRms;
  EXPECT_NEAR(low * low, 0.5, 1e-3);
  EXPECT_NEAR(high * high, 0.5, 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Designs, SplitQuality, ::testing::Range(0u, 8u));

// ---------------------------------------------------------------------------
// Modes and settings.

TEST(SplitPassThrough, HandsTheInputOnUnchangedAndSwitchesBack) {
  SplitRig rig(2, 1024);
  rig.split.SetPassThrough(1);
  const std::vector<float> first = Noise(2 * 1024, 3);
  rig.feed.Queue(first);
  ASSERT_TRUE(Drain(rig.feed));
  EXPECT_EQ(rig.low.samples, first);
  EXPECT_EQ(rig.split.Output(0)->format.frames, 1024u);
  EXPECT_EQ(rig.split.Output(0)->format.sampleRate, kRate);
  EXPECT_EQ(rig.split.Output(1)->format.frames, 1024u);
  EXPECT_EQ(rig.split.Output(1)->format.sampleRate, kRate);

  rig.split.SetPassThrough(0);
  rig.low.samples.clear();
  rig.feed.Queue(std::vector<float>(2 * 1024, 0.25f));
  ASSERT_TRUE(Drain(rig.feed));
  EXPECT_EQ(rig.split.Output(0)->format.frames, 512u);
  EXPECT_EQ(rig.split.Output(0)->format.sampleRate, kRate / 2);
  EXPECT_EQ(rig.low.samples.size(), 2u * 512);
}

TEST(SplitPassThrough, PublishesNothingWithoutAnInputBuffer) {
  HalfS split("HalfS 0");
  CollectBlock low("Low");
  Connect(&split, 0, &low, 0);
  split.SetPassThrough(1);
  EXPECT_EQ(split.Run(), BlockStatus::NotReady);
  EXPECT_FALSE(split.Output(0)->ready);
  EXPECT_EQ(low.buffers, 0);
}

TEST(SplitMergeDesign, AValueAboveSevenKeepsTheLists) {
  const std::vector<float> signal = Noise(2 * 8192, 4);
  const std::vector<float> firstHalf(signal.begin(), signal.begin() + 8192);
  const std::vector<float> secondHalf(signal.begin() + 8192, signal.end());

  SplitMergeRig steady(2, 1024);
  const std::vector<float> reference = steady.Process(signal);

  SplitMergeRig kept(2, 1024);
  kept.Process(firstHalf);
  kept.split.SetDesign(9);
  kept.merge.SetDesign(9);
  EXPECT_EQ(kept.split.design, 9u);
  EXPECT_EQ(kept.merge.design, 9u);
  EXPECT_EQ(kept.Process(secondHalf), reference);

  // A real change does alter the output, and takes effect at once.
  SplitMergeRig changed(2, 1024);
  changed.Process(firstHalf);
  changed.split.SetDesign(5);
  changed.merge.SetDesign(5);
  const std::vector<float> other = changed.Process(secondHalf);
  ASSERT_EQ(other.size(), reference.size());
  EXPECT_TRUE(std::equal(reference.begin(), reference.begin() + 8192, other.begin()));
  EXPECT_NE(other[8192], reference[8192]);
}

// ---------------------------------------------------------------------------
// The merge on its own, fed by two feeds as when the bands pass different
// stages: they may arrive in different passes and buffer sizes.

struct MergeRig {
  MergeRig(uint32_t lowFrames, uint32_t highFrames)
      : lowFeed(1, lowFrames, kRate / 2, "Low"), highFeed(1, highFrames, kRate / 2, "High") {
    merge.SetDesign(0);
    Connect(&lowFeed, 0, &merge, 0);
    Connect(&highFeed, 0, &merge, 1);
    Connect(&merge, 0, &out, 0);
  }
  // The merge of whole mono bands by hand, from fresh states.
  std::vector<float> Expected(const std::vector<float>& low, const std::vector<float>& high) const {
    std::vector<float> merged(2 * low.size());
    float evenStates[kAllpassStateFloats] = {};
    float oddStates[kAllpassStateFloats] = {};
    HalfM::MergeChannel(low.data(), high.data(), merged.data(), evenStates, oddStates,
                        static_cast<uint32_t>(low.size()), merge.evenList, merge.oddList,
                        merge.evenCount, merge.oddCount, 0, 1);
    return merged;
  }
  FeedBlock lowFeed;
  FeedBlock highFeed;
  HalfM merge{"HalfM 0"};
  CollectBlock out{"Out"};
};

TEST(Merge, ABandArrivingFirstIsTakenAndWaitsForTheOther) {
  MergeRig rig(512, 512);
  const std::vector<float> low = Noise(8 * 512, 6);
  const std::vector<float> high = Noise(8 * 512, 7);
  rig.lowFeed.QueueSignal(low);
  rig.highFeed.QueueSignal(high);
  for (size_t round = 1; round <= 4; ++round) {
    // Two lower-band buffers in a row: both are taken (the feed is not held
    // back), nothing can come out yet.
    rig.lowFeed.Run();
    rig.lowFeed.Run();
    ASSERT_EQ(rig.lowFeed.Pending(), 8 - 2 * round) << "round " << round;
    ASSERT_EQ(rig.out.samples.size(), (round - 1) * 2048) << "round " << round;
    // Each upper-band buffer completes a pass, which comes out at once.
    rig.highFeed.Run();
    ASSERT_EQ(rig.out.samples.size(), (round - 1) * 2048 + 1024) << "round " << round;
    rig.highFeed.Run();
    ASSERT_EQ(rig.out.samples.size(), round * 2048) << "round " << round;
  }
  EXPECT_EQ(rig.merge.Output(0)->format.frames, 1024u);
  EXPECT_EQ(rig.merge.Output(0)->format.sampleRate, kRate);
  EXPECT_EQ(rig.out.samples, rig.Expected(low, high));
}

// 480- and 320-frame buffers (either way round): passes of 480 frames do not
// divide the ring, so some read across its end.
void RunRounds(MergeRig& rig, size_t rounds) {
  const uint32_t lowFrames = rig.lowFeed.Output(0)->format.frames;
  const uint32_t highFrames = rig.highFeed.Output(0)->format.frames;
  for (size_t round = 1; round <= rounds; ++round) {
    for (uint32_t i = 0; i < 960 / lowFrames; ++i) rig.lowFeed.Run();
    for (uint32_t i = 0; i < 960 / highFrames; ++i) rig.highFeed.Run();
    ASSERT_EQ(rig.out.samples.size(), round * 1920) << "round " << round;
  }
}

class MergeSizes : public ::testing::TestWithParam<std::tuple<uint32_t, uint32_t>> {};

TEST_P(MergeSizes, BandsInDifferentBufferSizesMergeWithoutLoss) {
  const auto [lowFrames, highFrames] = GetParam();
  MergeRig rig(lowFrames, highFrames);
  constexpr size_t kRounds = 40;  // 960 frames per band each round
  static_assert(kRounds * 960 > HalfM::kRingFrames);
  const std::vector<float> low = Noise(kRounds * 960, 8);
  const std::vector<float> high = Noise(kRounds * 960, 9);
  rig.lowFeed.QueueSignal(low);
  rig.highFeed.QueueSignal(high);
  RunRounds(rig, kRounds);
  EXPECT_EQ(rig.merge.Output(0)->format.frames, 960u);
  EXPECT_EQ(rig.out.samples, rig.Expected(low, high));
}

INSTANTIATE_TEST_SUITE_P(Sizes, MergeSizes,
                         ::testing::Values(std::make_tuple(320u, 480u),
                                           std::make_tuple(480u, 320u)));

TEST(Merge, AnUnlinkedUpperBandMergesAsSilence) {
  MergeRig rig(480, 320);
  rig.lowFeed.QueueSignal(Noise(40 * 960, 10));
  rig.highFeed.QueueSignal(Noise(40 * 960, 11));
  RunRounds(rig, 40);
  // Drop the upper band as a rewiring would: unlink, then restart the chain.
  rig.highFeed.Output(0)->RemoveTarget(rig.merge.Input(1));
  rig.lowFeed.RequestReset();
  rig.out.samples.clear();
  const std::vector<float> low = Noise(8 * 480, 12);
  rig.lowFeed.QueueSignal(low);
  ASSERT_TRUE(Drain(rig.lowFeed));
  EXPECT_EQ(rig.merge.Output(0)->format.frames, 960u);
  EXPECT_EQ(rig.out.samples, rig.Expected(low, std::vector<float>(low.size(), 0.0f)));
}

TEST(Merge, WithoutAnyLinkedInputItIsNotReady) {
  HalfM merge("HalfM 0");
  EXPECT_EQ(merge.Run(), BlockStatus::NotReady);
}

// ---------------------------------------------------------------------------
// Streaming: buffer sizes, resets, silence and bad samples.

class BlockSizeInvariance : public ::testing::TestWithParam<std::tuple<uint16_t, uint32_t>> {};

TEST_P(BlockSizeInvariance, AnyBufferSizeGivesTheSameStream) {
  const auto [channels, frames] = GetParam();
  std::vector<float> signal = Noise(size_t{channels} * 16384, 8);
  const std::vector<float> tone = Sine(signal.size(), 0.01, 0.3);
  for (size_t i = 0; i < signal.size(); ++i) signal[i] += tone[i];

  SplitMergeRig reference(channels, 1024);
  const std::vector<float> expected = reference.Process(signal);
  ASSERT_EQ(expected.size(), signal.size());

  SplitMergeRig rig(channels, frames);
  const std::vector<float> got = rig.Process(signal);
  // Odd sizes keep up to a buffer back in the split's ring, and the feed pads
  // its last buffer with zeros: compare what both have.
  const size_t common = std::min(got.size(), expected.size());
  ASSERT_GE(common, signal.size() / 2);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + common, expected.begin()));
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlockSizeInvariance,
                         ::testing::Combine(::testing::Values<uint16_t>(1, 2),
                                            ::testing::Values<uint32_t>(1, 2, 7, 480, 4096)));

TEST(SplitMergeStreaming, ResetLeavesExactZeros) {
  SplitMergeRig rig(2, 1024);
  rig.Process(std::vector<float>(2 * 4096, 1.0f));
  rig.feed.RequestReset();
  rig.out.samples.clear();
  const std::vector<float> after = rig.Process(std::vector<float>(2 * 4096, 0.0f));
  ASSERT_EQ(after.size(), 2u * 4096);
  for (size_t i = 0; i < after.size(); ++i) ASSERT_EQ(after[i], 0.0f) << "at " << i;
}

TEST(SplitMergeStreaming, AWarmedUpStreamAllocatesNothing) {
  // Even buffers take the direct path, odd ones the rings.
  for (uint32_t frames : {1024u, 1023u}) {
    SplitMergeRig rig(2, frames);
    rig.Process(Noise(2 * 4 * frames, 13));  // formats, rings, scratch, pool buffers
    rig.feed.QueueSignal(Noise(2 * 16 * frames, 14));
    rig.out.samples.reserve(rig.out.samples.size() + 2 * 16 * frames);
    testing::StartCountingAllocations();
    const bool drained = Drain(rig.feed);
    const long allocations = testing::StopCountingAllocations();
    EXPECT_TRUE(drained);
    EXPECT_EQ(allocations, 0) << frames << " frames per buffer";
  }
}

TEST(SplitMergeStreaming, SilenceDecaysToExactZeros) {
  // Without a guard each allpass section settles into a limit cycle of a few
  // denormal units and never reaches zero.
  SplitMergeRig rig(2, 1024, 7);
  rig.Process(Noise(2 * 4096, 9));
  rig.out.samples.clear();
  const std::vector<float> after = rig.Process(std::vector<float>(2 * 32768, 0.0f));
  ASSERT_EQ(after.size(), 2u * 32768);
  for (size_t i = after.size() - 2 * 1024; i < after.size(); ++i) ASSERT_EQ(after[i], 0.0f) << i;
  for (float v : after) ASSERT_TRUE(v == 0.0f || std::fabs(v) >= 1e-30f) << "denormal output";
}

TEST(SplitMergeStreaming, ABufferWithNaNDoesNotPoisonLaterOutput) {
  SplitMergeRig rig(1, 1024);
  std::vector<float> signal = Noise(1024 * 8, 10);
  signal[100] = std::numeric_limits<float>::quiet_NaN();
  signal[2000] = std::numeric_limits<float>::infinity();
  const std::vector<float> out = rig.Process(signal);
  ASSERT_EQ(out.size(), signal.size());
  for (size_t i = 3 * 1024; i < out.size(); ++i) ASSERT_TRUE(std::isfinite(out[i])) << i;
}

// ---------------------------------------------------------------------------
// Channel counts.

TEST(SplitMergeChannels, TwentyChannelsStaySeparate) {
  constexpr uint16_t kChannels = HalfS::kMaxChannels;
  SplitRig rig(kChannels, 512);
  std::vector<float> signal(size_t{kChannels} * 2048);
  for (size_t i = 0; i < signal.size(); ++i)
    signal[i] = static_cast<float>(i % kChannels + 1) / 32.0f;
  rig.feed.QueueSignal(signal);
  ASSERT_TRUE(Drain(rig.feed));
  ASSERT_EQ(rig.low.samples.size(), signal.size() / 2);
  for (uint16_t c = 0; c < kChannels; ++c) {
    const auto low = Channel(rig.low.samples, kChannels, c);
    EXPECT_NEAR(low.back(), (c + 1) / 32.0f, 1e-6) << "channel " << c;
    EXPECT_NEAR(Channel(rig.high.samples, kChannels, c).back(), 0.0f, 1e-6) << "channel " << c;
  }
}

TEST(SplitMergeChannels, AWiderStreamIsRefusedWithoutTakingInput) {
  constexpr uint16_t kWide = HalfS::kMaxChannels + 1;
  SplitRig rig(kWide, 256);
  rig.feed.Queue(std::vector<float>(size_t{kWide} * 256, 0.5f));
  rig.feed.Run();
  EXPECT_EQ(rig.split.Run(), BlockStatus::NotReady);
  EXPECT_TRUE(rig.low.samples.empty());
  EXPECT_FALSE(rig.split.Input(0)->IsStale());  // the buffer is still there, untaken

  FeedBlock low(kWide, 128, kRate / 2, "Low");
  HalfM merge("HalfM 0");
  CollectBlock out("Out");
  Connect(&low, 0, &merge, 0);
  Connect(&merge, 0, &out, 0);
  low.Queue(std::vector<float>(size_t{kWide} * 128, 0.5f));
  low.Run();
  EXPECT_EQ(merge.Run(), BlockStatus::NotReady);
  EXPECT_TRUE(out.samples.empty());

  // Pass-through needs no filter state, so it still hands a wide stream on.
  rig.split.SetPassThrough(1);
  rig.split.Run();
  EXPECT_EQ(rig.low.samples.size(), size_t{kWide} * 256);
}

TEST(SplitMergeChannels, AChannelCountChangeMidStreamIsFollowed) {
  SplitMergeRig rig(1, 1024);
  rig.Process(Noise(4096, 11));
  {
    GraphLockHolder hold;
    rig.feed.Output(0)->format.SetChannels(2);
  }
  rig.out.samples.clear();
  const std::vector<float> stereo = rig.Process(std::vector<float>(2 * 8192, 0.3f));
  ASSERT_EQ(rig.merge.Output(0)->format.channels, 2);
  ASSERT_EQ(stereo.size(), 2u * 8192);
  EXPECT_NEAR(stereo[stereo.size() - 2], 0.3f, 1e-6);
  EXPECT_NEAR(stereo[stereo.size() - 1], 0.3f, 1e-6);
}

}  // namespace
}  // namespace veltane
