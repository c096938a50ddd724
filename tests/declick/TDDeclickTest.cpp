// The declick block driven through real ports: a feeder upstream, a
// collector downstream.
#include "declick/TDDeclick.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "declick/DeclickSignals.h"
#include "support/AllocationCounter.h"
#include "support/TestBlocks.h"

namespace veltane {
namespace {

using testing::AddClick;
using testing::CollectBlock;
using testing::FeedBlock;
using testing::MusicLike;
using testing::ToFloat;

constexpr float kRate = 22050.0f;
constexpr uint32_t kHop = 443;

// Feed -> TDDeclick -> Collect.
struct Rig {
  Rig(uint16_t channels, uint32_t frames) : feed(channels, frames, kRate), declick("TDDeclick0") {
    Connect(&feed, 0, &declick, 0);
    Connect(&declick, 0, &collect, 0);
  }

  // Queues `interleaved` (cut into the feed's buffers) and runs until the
  // feed has handed on all of it. `beforeRun` is called before every run.
  template <typename Hook>
  void Stream(const std::vector<float>& interleaved, Hook beforeRun) {
    feed.QueueSignal(interleaved);
    int run = 0;
    while (feed.Pending() > 0 || feed.Output(0)->ready) {
      beforeRun(run++);
      feed.Run();
    }
  }
  void Stream(const std::vector<float>& interleaved) {
    Stream(interleaved, [](int) {});
  }

  FeedBlock feed;
  TDDeclick declick;
  CollectBlock collect;
};

// A music-like channel with a few loud clicks, as f32 samples.
std::vector<float> ClickedMusic(size_t count, uint32_t seed) {
  std::vector<double> x = MusicLike(count, kRate, seed);
  for (size_t at = 1500 + seed * 37; at + 20 < count; at += 2900) AddClick(x, {at, 3, 0.7});
  return ToFloat(x);
}

std::vector<float> Interleave(const std::vector<float>& left, const std::vector<float>& right) {
  std::vector<float> both(left.size() * 2);
  for (size_t i = 0; i < left.size(); ++i) {
    both[2 * i] = left[i];
    both[2 * i + 1] = right[i];
  }
  return both;
}

std::vector<float> Channel(const std::vector<float>& interleaved, size_t channel, size_t count) {
  std::vector<float> one;
  for (size_t i = channel; i < interleaved.size(); i += count) one.push_back(interleaved[i]);
  return one;
}

// Zeros behind a signal, so that everything of the signal leaves the ring.
std::vector<float> Padded(std::vector<float> x, size_t channels) {
  x.resize(x.size() + 12000 * channels, 0.0f);
  return x;
}

std::vector<float> DeclickMono(const std::vector<float>& x, uint32_t frames) {
  Rig rig(1, frames);
  rig.Stream(Padded(x, 1));
  return rig.collect.samples;
}

// --- Framing ----------------------------------------------------------------

TEST(TDDeclickFraming, FirstOutputComesAfterTheThirdBufferOf256Frames) {
  for (uint16_t channels : {1, 2}) {
    Rig rig(channels, 256);
    rig.feed.QueueSignal(std::vector<float>(256 * 8 * channels, 0.25f));
    // The first pass takes 600 samples, every later one 443 more.
    const int expected[] = {0, 0, 1, 1, 2, 3, 3, 4};
    for (int buffer = 0; buffer < 8; ++buffer) {
      rig.feed.Run();
      EXPECT_EQ(rig.collect.buffers, expected[buffer]) << channels << " ch, buffer " << buffer;
    }
    const StreamFormat& out = rig.declick.Output(0)->format;
    EXPECT_EQ(out.frames, kHop);
    EXPECT_EQ(out.channels, channels);
    EXPECT_EQ(out.sampleRate, kRate);
    EXPECT_EQ(rig.collect.samples.size(), 4u * kHop * channels);
    EXPECT_EQ(rig.declick.work[1].empty(), channels == 1);
  }
}

class TDDeclickBuffering : public ::testing::TestWithParam<uint32_t> {};

// The stream is framed from its first sample on, so the output depends only
// on the samples, never on how they were cut into buffers.
TEST_P(TDDeclickBuffering, OutputIsIndependentOfTheInputBufferSize) {
  const std::vector<float> x = ClickedMusic(9000, 1);
  static const std::vector<float> reference = DeclickMono(x, 256);
  const std::vector<float> output = DeclickMono(x, GetParam());
  ASSERT_GE(output.size(), x.size());
  ASSERT_GE(reference.size(), x.size());
  for (size_t i = 0; i < x.size(); ++i) ASSERT_EQ(output[i], reference[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(Frames, TDDeclickBuffering, ::testing::Values(1u, 7u, 480u, 1024u, 4096u));

TEST(TDDeclickChannels, StereoChannelsAreRepairedLikeTwoMonoStreams) {
  const std::vector<float> left = ClickedMusic(9000, 2);
  const std::vector<float> right = ClickedMusic(9000, 3);
  Rig rig(2, 512);
  rig.Stream(Padded(Interleave(left, right), 2));
  const std::vector<float> monoLeft = DeclickMono(left, 512);
  const std::vector<float> monoRight = DeclickMono(right, 512);
  const std::vector<float> outLeft = Channel(rig.collect.samples, 0, 2);
  const std::vector<float> outRight = Channel(rig.collect.samples, 1, 2);
  ASSERT_GE(outLeft.size(), left.size());
  for (size_t i = 0; i < left.size(); ++i) {
    ASSERT_EQ(outLeft[i], monoLeft[i]) << i;
    ASSERT_EQ(outRight[i], monoRight[i]) << i;
  }
}

TEST(TDDeclickChannels, MoreThanTwoChannelsDeclickTheFirstTwoAndSilenceTheRest) {
  const std::vector<float> left = ClickedMusic(6000, 5);
  std::vector<float> three(left.size() * 3);
  for (size_t i = 0; i < left.size(); ++i) {
    three[3 * i] = left[i];
    three[3 * i + 1] = left[i];
    three[3 * i + 2] = 0.5f;
  }
  Rig rig(3, 256);
  rig.Stream(Padded(three, 3));
  const std::vector<float> mono = DeclickMono(left, 256);
  ASSERT_GE(rig.collect.samples.size(), three.size());
  for (size_t i = 0; i < left.size(); ++i) {
    ASSERT_EQ(rig.collect.samples[3 * i], mono[i]) << i;
    ASSERT_EQ(rig.collect.samples[3 * i + 1], mono[i]) << i;
    ASSERT_EQ(rig.collect.samples[3 * i + 2], 0.0f) << i;
  }
}

// --- Bypass -----------------------------------------------------------------

class TDDeclickBypass : public ::testing::TestWithParam<uint16_t> {};

TEST_P(TDDeclickBypass, SwitchingLosesAndRepeatsNothing) {
  const uint16_t channels = GetParam();
  std::vector<float> x = ToFloat(MusicLike(20000 * channels, kRate, 6));
  Rig rig(channels, 256);
  rig.declick.SetThreshold(1e9f);  // no repairs: the declick path is transparent
  const int switches[] = {4, 6, 7, 8, 15, 16, 30, 31, 32, 50, 64};
  rig.Stream(Padded(x, channels), [&](int run) {
    if (std::find(std::begin(switches), std::end(switches), run) != std::end(switches)) {
      rig.declick.SetBypass(rig.declick.GetBypass() ^ 1u);
    }
  });
  const std::vector<float>& out = rig.collect.samples;
  ASSERT_GE(out.size(), x.size());
  for (size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(out[i], x[i], 1e-6) << i;
}

INSTANTIATE_TEST_SUITE_P(Channels, TDDeclickBypass, ::testing::Values(1, 2));

TEST(TDDeclickBypassThreads, SwitchesFromAnotherThreadLandBetweenPasses) {
  const std::vector<float> x = ToFloat(MusicLike(40000, kRate, 7));
  Rig rig(1, 256);
  rig.declick.SetThreshold(1e9f);
  std::atomic<bool> done{false};
  std::thread other([&] {
    for (uint32_t i = 0; !done.load(); ++i) {
      rig.declick.SetBypass(i % 3 == 0);
      rig.declick.SetThreshold(1e9f + static_cast<float>(i % 2));
      rig.declick.ReadClickLevel();
      std::this_thread::yield();
    }
  });
  rig.Stream(Padded(x, 1));
  done = true;
  other.join();
  const std::vector<float>& out = rig.collect.samples;
  ASSERT_GE(out.size(), x.size());
  for (size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(out[i], x[i], 1e-6) << i;
}

// --- Output Clicks ----------------------------------------------------------

// White noise of uniform distribution: its largest prediction error is only
// about twice the mean absolute one, so nothing in it passes a threshold of
// 4.5 (Gaussian noise would now and then).
std::vector<double> UniformNoise(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> uniform(-0.1, 0.1);
  std::vector<double> x(count);
  for (double& v : x) v = uniform(rng);
  return x;
}

TEST(TDDeclickOutputClicks, CleanSignalGivesSilence) {
  Rig rig(1, 1024);
  rig.declick.SetOutputClicks(1);
  rig.Stream(Padded(ToFloat(UniformNoise(12000, 8)), 1));
  ASSERT_GE(rig.collect.samples.size(), 12000u);
  for (float v : rig.collect.samples) ASSERT_LT(std::fabs(v), 1e-7f);
}

TEST(TDDeclickOutputClicks, OneClickShowsOnlyInsideItsGap) {
  std::vector<double> clean = UniformNoise(12000, 8);
  std::vector<double> clicked = clean;
  const size_t at = 5000;
  AddClick(clicked, {at, 2, 0.8});
  Rig rig(1, 1024);
  rig.declick.SetOutputClicks(1);
  rig.Stream(Padded(ToFloat(clicked), 1));
  const std::vector<float>& out = rig.collect.samples;
  ASSERT_GE(out.size(), clicked.size());
  // Repaired minus arrived: the click with inverted sign.
  EXPECT_NEAR(out[at], -(clicked[at] - clean[at]), 0.1);
  for (size_t i = 0; i < out.size(); ++i) {
    // A gap holds at most 101 samples around the click's largest error.
    if (i + 52 < at || i > at + 52) {
      ASSERT_LT(std::fabs(out[i]), 1e-7f) << i;
    }
  }
}

// --- Meter, threshold, reset ------------------------------------------------

TEST(TDDeclickMeter, ClickLevelScalesTheRatioAboveThresholdAndResets) {
  TDDeclick declick("TDDeclick0");
  declick.SetThreshold(1.0f);
  EXPECT_EQ(declick.GetThreshold(), 2.0f);  // never below 2
  declick.SetThreshold(4.0f);
  struct {
    float peak;
    int32_t level;
  } cases[] = {{40.0f, 90}, {50.0f, 100}, {9.0f, 0}, {10.5f, 1}, {0.0f, 0}, {1e30f, 100}};
  for (const auto& c : cases) {
    declick.peakRatio = c.peak;
    EXPECT_EQ(declick.ReadClickLevel(), c.level) << c.peak;
    EXPECT_EQ(declick.ReadClickLevel(), 0) << c.peak;
  }
}

TEST(TDDeclickMeter, ClicksRaiseTheMeterAndAResetClearsIt) {
  Rig rig(1, 1024);
  rig.Stream(Padded(ClickedMusic(9000, 9), 1));
  EXPECT_GT(rig.declick.peakRatio.load(), 15.0f);
  rig.feed.RequestReset();
  rig.feed.Run();
  EXPECT_EQ(rig.declick.peakRatio.load(), 0.0f);
  EXPECT_EQ(rig.declick.ReadClickLevel(), 0);

  rig.Stream(Padded(ClickedMusic(9000, 9), 1));
  EXPECT_GT(rig.declick.ReadClickLevel(), 10);
  EXPECT_EQ(rig.declick.ReadClickLevel(), 0);
}

TEST(TDDeclickReset, AResetStreamMatchesAFreshBlock) {
  const std::vector<float> first = ClickedMusic(7000, 10);
  const std::vector<float> second = ClickedMusic(9000, 11);
  Rig rig(1, 480);
  rig.Stream(first);  // no padding: samples are left in the ring and in work
  rig.feed.RequestReset();
  const size_t before = rig.collect.samples.size();
  rig.Stream(Padded(second, 1));
  const std::vector<float> fresh = DeclickMono(second, 480);
  ASSERT_GE(rig.collect.samples.size() - before, second.size());
  for (size_t i = 0; i < second.size(); ++i) {
    ASSERT_EQ(rig.collect.samples[before + i], fresh[i]) << i;
  }
}

TEST(TDDeclickSimpleMode, SpikesAreClippedInsteadOfRepaired) {
  std::vector<double> x = MusicLike(9000, kRate, 12);
  x[5000] += 2.0;
  Rig rig(1, 1024);
  rig.declick.simpleMode = true;
  rig.Stream(Padded(ToFloat(x), 1));
  const std::vector<float>& out = rig.collect.samples;
  ASSERT_GE(out.size(), x.size());
  EXPECT_NEAR(out[5000], out[4970], 1e-6);
  EXPECT_NEAR(out[4970], x[4970], 1e-6);
}

// --- Robustness -------------------------------------------------------------

TEST(TDDeclickRobustness, NonFiniteSamplesDoNotPoisonLaterBlocks) {
  const std::vector<float> x = ClickedMusic(12000, 13);
  std::vector<float> bad = x;
  bad[3000] = std::nanf("");
  bad[3001] = INFINITY;
  const std::vector<float> reference = DeclickMono(x, 512);
  const std::vector<float> output = DeclickMono(bad, 512);
  ASSERT_GE(output.size(), x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    ASSERT_TRUE(std::isfinite(output[i])) << i;
    // Blocks holding the bad samples differ; two blocks on, all is as before.
    if (i < 2000 || i > 4500) {
      ASSERT_NEAR(output[i], reference[i], 1e-6) << i;
    }
  }
}

TEST(TDDeclickRobustness, SteadyStateAllocatesNothing) {
  Rig rig(2, 1024);
  const std::vector<float> x = Interleave(ClickedMusic(40000, 14), ClickedMusic(40000, 15));
  rig.collect.samples.reserve(x.size() + 4096);
  rig.feed.QueueSignal(x);
  for (int i = 0; i < 8; ++i) rig.feed.Run();  // formats, ring, pool buffers
  testing::StartCountingAllocations();
  while (rig.feed.Pending() > 0) rig.feed.Run();
  EXPECT_EQ(testing::StopCountingAllocations(), 0);
  EXPECT_GT(rig.collect.samples.size(), 60000u);
}

TEST(TDDeclickRobustness, AnUnlinkedOrUnsetInputProducesNothing) {
  TDDeclick declick("TDDeclick1");
  CollectBlock collect;
  Connect(&declick, 0, &collect, 0);
  EXPECT_EQ(declick.Run(), BlockStatus::Ok);
  EXPECT_EQ(collect.buffers, 0);
  EXPECT_EQ(declick.Output(0)->format.frames, 0u);

  FeedBlock feed(0, 0, kRate);  // a source with no channels
  Connect(&feed, 0, &declick, 0);
  feed.Queue({});
  feed.Run();
  EXPECT_EQ(collect.buffers, 0);
}

}  // namespace
}  // namespace veltane
