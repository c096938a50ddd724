// "FDNoiseReduc": look-ahead gains, floor, onsets, smoothing, bypass, the
// automatic hiss estimate, and the whole spectral path on real signals.
#include <gtest/gtest.h>

#include <thread>

#include "SpectralTestSupport.h"
#include "support/AllocationCounter.h"

namespace veltane {
namespace {

using testing::Frame;
using testing::SpectraCollect;
using testing::SpectraFeed;

constexpr uint32_t kOrder = 11;
constexpr uint32_t kSize = 2048;

// A frame whose every bin 0 .. N/2 has the given power (real parts only).
Frame Flat(uint16_t channels, float power, uint32_t n = kSize) {
  Frame frame(channels, std::vector<float>(n, 0.0f));
  for (auto& spectrum : frame) std::fill_n(spectrum.begin(), n / 2 + 1, std::sqrt(power));
  return frame;
}

Frame Random(uint16_t channels, unsigned seed, uint32_t n = kSize) {
  Frame frame;
  for (uint16_t c = 0; c < channels; ++c) frame.push_back(testing::WhiteNoise(n, 10.0, seed * 31 + c));
  return frame;
}

// SpectraFeed -> "FDNoiseReduc" -> SpectraCollect, not bypassed.
struct Rig {
  explicit Rig(uint16_t channels = 1, float rate = 44100.0f, uint32_t order = kOrder)
      : feed(channels, order, (1u << order) / 2, rate) {
    Connect(&feed, 0, &reduc, 0);
    Connect(&reduc, 0, &collect, 0);
  }
  const Frame& Push(Frame frame) {
    feed.Queue(std::move(frame));
    feed.Run();
    return collect.frames.back();
  }
  SpectraFeed feed;
  FDNoiseReduc reduc;
  SpectraCollect collect;
};

TEST(FDNoiseReduc, BypassDelaysTheSpectraByExactlyOneFrame) {
  Rig rig(2);
  rig.reduc.SetBypass(true);
  std::vector<Frame> in;
  for (unsigned t = 0; t < 4; ++t) {
    in.push_back(Random(2, t));
    rig.Push(in.back());
  }
  EXPECT_EQ(rig.collect.frames[0], Flat(2, 0.0f));
  for (size_t t = 1; t < 4; ++t) EXPECT_EQ(rig.collect.frames[t], in[t - 1]) << t;
  EXPECT_EQ(rig.collect.Input(0)->format.hasAux, 1u);
}

TEST(FDNoiseReduc, SilenceGivesExactZeros) {
  Rig rig;
  for (int t = 0; t < 3; ++t) EXPECT_EQ(rig.Push(Flat(1, 0.0f)), Flat(1, 0.0f));
  EXPECT_EQ(rig.reduc.gain[100], 0.0f);
}

TEST(FDNoiseReduc, AGainRisingFromZeroReachesTwoThirdsAfterFiveFramesThenOne) {
  Rig rig;
  rig.Push(Flat(1, 1e6f));  // the reset slot leaves first: every gain drops to 0
  EXPECT_EQ(rig.reduc.gain[500], 0.0f);
  float expected = 0.0f;
  for (int t = 1; t <= 5; ++t) {
    const Frame& out = rig.Push(Flat(1, 1e6f));
    expected = 0.8f * expected + 0.2f;
    EXPECT_FLOAT_EQ(rig.reduc.gain[500], expected) << t;
    EXPECT_FLOAT_EQ(out[0][500], expected * 1000.0f) << t;
  }
  EXPECT_NEAR(expected, 0.67, 0.005);
  // Far above the floor the gain keeps rising to 1 and stays there.
  for (int t = 0; t < 80; ++t) rig.Push(Flat(1, 1e6f));
  EXPECT_NEAR(rig.reduc.gain[500], 1.0f, 1e-6f);
  // DC and Nyquist pass untouched all along.
  EXPECT_EQ(rig.collect.frames[1][0][0], 1000.0f);
  EXPECT_EQ(rig.collect.frames[1][0][kSize / 2], 1000.0f);
}

TEST(FDNoiseReduc, AtMinus80DbAQuietNextFrameDropsTheGainToOneHundredthAtOnce) {
  Rig rig;
  rig.reduc.SetOutputLevel(-80.0f);
  rig.reduc.SetInputLevel(0.0f);  // noise floor 0.0001
  for (int t = 0; t < 90; ++t) rig.Push(Flat(1, 1e4f));
  ASSERT_NEAR(rig.reduc.gain[300], 1.0f, 1e-6f);
  // The loud frame leaves with the gain decided from it and the quiet one behind it.
  const Frame& out = rig.Push(Flat(1, 1e-5f));
  EXPECT_NEAR(rig.reduc.gain[300], 0.01f, 1e-5f);
  EXPECT_NEAR(out[0][300], 0.01f * 100.0f, 1e-3f);
}

TEST(FDNoiseReduc, AnOnsetLetsTheGainFollowAtOnce) {
  Rig rig;
  rig.reduc.SetOutputLevel(-30.0f);
  rig.reduc.SetInputLevel(0.0f);
  const float floorPower = 1e-4f;
  rig.Push(Flat(1, floorPower));
  rig.Push(Flat(1, floorPower));  // rising by the release rule from 0
  const float floorGain = std::sqrt(std::pow(10.0f, -30.0f / 20.0f));
  EXPECT_NEAR(rig.reduc.gain[200], 0.2f * floorGain, 1e-5f);
  rig.Push(Flat(1, 4.0f * floorPower));  // four times louder next: an onset
  EXPECT_NEAR(rig.reduc.gain[200], floorGain, 1e-5f);
  EXPECT_NEAR(floorGain, 0.178f, 1e-3f);
}

TEST(FDNoiseReduc, StereoStreamsShareOneGainFromTheSumOfTheirChannels) {
  Rig rig(2);
  rig.reduc.SetSmoothing(1.0f);
  Frame opposite = Flat(2, 1e6f);
  for (float& v : opposite[1]) v = -v;  // loud channels that cancel in the sum
  for (int t = 0; t < 3; ++t) rig.Push(opposite);
  const Frame& out = rig.collect.frames.back();
  for (uint16_t c = 0; c < 2; ++c) {
    for (uint32_t k = 1; k < kSize / 2; ++k) ASSERT_EQ(out[c][k], 0.0f) << c << " " << k;
  }
}

TEST(FDNoiseReduc, StreamsOfMoreThanTwoChannelsKeepEveryChannel) {
  Rig rig(4);
  rig.reduc.SetSmoothing(1.0f);  // loud frames then get gain 1 from the second frame on
  std::vector<Frame> in;
  for (unsigned t = 0; t < 4; ++t) {
    in.push_back(Random(4, 100 + t));
    rig.Push(in.back());
  }
  for (size_t t = 2; t < 4; ++t) EXPECT_EQ(rig.collect.frames[t], in[t - 1]) << t;
}

TEST(FDNoiseReduc, ANanFrameDoesNotPoisonTheGainsOrTheEstimate) {
  Rig rig;
  rig.reduc.SetAutoLevel(true);
  for (int t = 0; t < 60; ++t) rig.Push(Flat(1, 1e3f));
  rig.Push(Flat(1, std::nanf("")));
  for (int t = 0; t < 3; ++t) rig.Push(Flat(1, 1e3f));
  for (float v : rig.collect.frames.back()[0]) ASSERT_TRUE(std::isfinite(v));
  for (size_t k = 1; k < rig.reduc.gain.size(); ++k) ASSERT_TRUE(std::isfinite(rig.reduc.gain[k])) << k;
  EXPECT_TRUE(std::isfinite(rig.reduc.autoEstimate));
  EXPECT_TRUE(std::isfinite(rig.reduc.bandMean[15]));
}

TEST(FDNoiseReduc, LevelSettersMayRunOnAnotherThreadDuringProcessing) {
  Rig rig(2);
  std::atomic<bool> done{false};
  std::thread setter([&] {
    for (int i = 0; !done.load(); ++i) {
      rig.reduc.SetInputLevel(static_cast<float>(i % 60 - 20));
      rig.reduc.SetOutputLevel(static_cast<float>(-(i % 80)));
      rig.reduc.SetSmoothing(0.1f + 0.01f * static_cast<float>(i % 50));
      rig.reduc.SetAutoLevel(i % 2 == 0);
    }
  });
  for (unsigned t = 0; t < 200; ++t) rig.Push(Random(2, t));
  done = true;
  setter.join();
  for (const auto& channel : rig.collect.frames.back()) {
    for (float v : channel) ASSERT_TRUE(std::isfinite(v));
  }
}

// The automatic estimate on frames of steady power: band b of the scan is
// accepted at its 46th update, and the bands below it are only updated while
// all above are accepted, so band 15 comes at frame 46 and each lower band
// 45 frames later, band 7 at frame 406.
TEST(EstimateHiss, SteadyPowerIsAcceptedBandByBandFromTheTop) {
  Rig rig;
  rig.reduc.SetAutoLevel(true);
  const float power = 2e-3f;
  std::vector<int> firstFrameOf(17, 0);
  for (int t = 1; t <= 420; ++t) {
    rig.Push(Flat(1, power));
    EXPECT_EQ(rig.reduc.bandCount, 16);
    if (firstFrameOf[rig.reduc.lowestBand] == 0) firstFrameOf[rig.reduc.lowestBand] = t;
  }
  EXPECT_EQ(firstFrameOf[16], 1);
  for (int band = 15; band >= 7; --band) EXPECT_EQ(firstFrameOf[band], 46 + 45 * (15 - band)) << band;
  // A band is taken as 1000 x binsPerHz bins: 46.44 here, against 46 or 47 counted.
  EXPECT_NEAR(rig.reduc.autoEstimate, power, 0.02 * power);
  EXPECT_NEAR(rig.reduc.noiseFloor, rig.reduc.inputGain * rig.reduc.autoEstimate, 1e-9);
}

// Steady power everywhere except 15-16 kHz, which swings by 40 dB from frame
// to frame; optionally with bin 400 (8.6 kHz) silent.
Frame Fluctuating(int t, bool silentBin = false) {
  Frame frame = Flat(1, 1e-3f);
  const float top = t % 2 == 0 ? 1.0f : 1e-2f;
  for (uint32_t k = 700; k <= 743; ++k) frame[0][k] = top;
  if (silentBin) frame[0][400] = 0.0f;
  return frame;
}

TEST(EstimateHiss, AFluctuatingTopBandIsNotAcceptedAndReleaseBecomesOne) {
  Rig rig;
  rig.reduc.SetAutoLevel(true);
  int t = 0;
  for (; t < 200; ++t) rig.Push(Fluctuating(t));
  EXPECT_EQ(rig.reduc.lowestBand, 16);
  EXPECT_EQ(rig.reduc.autoEstimate, FDNoiseReduc::kFixedNoiseReference);
  EXPECT_EQ(rig.reduc.GetReleaseCoefficient(), 1.0f);
  // With r = 1 a gain that fell to 0 rises back at once, not by a fifth.
  rig.Push(Fluctuating(t++, true));
  rig.Push(Fluctuating(t++));
  EXPECT_EQ(rig.reduc.gain[400], 0.0f);
  rig.Push(Fluctuating(t++));
  EXPECT_EQ(rig.reduc.gain[400], 1.0f);
}

TEST(EstimateHiss, At11025HzNothingIsExamined) {
  Rig rig(1, 11025.0f, 9);
  rig.reduc.SetAutoLevel(true);
  rig.reduc.SetInputLevel(0.0f);
  for (int t = 0; t < 100; ++t) rig.Push(Flat(1, 5e-3f, 512));
  EXPECT_EQ(rig.reduc.bandCount, 5);
  EXPECT_EQ(rig.reduc.lowestBand, 5);
  EXPECT_EQ(rig.reduc.autoEstimate, FDNoiseReduc::kFixedNoiseReference);
  EXPECT_FLOAT_EQ(rig.reduc.noiseFloor, FDNoiseReduc::kFixedNoiseReference);
}

// The release coefficient by band count as steady bands are accepted from the
// top: r = 1 while lowestBand >= bandCount - 3 (and above 10), else release.
// For 12 and 13 bands, where the rule's divisor is -1 or 0, every lowestBand
// above 10 gives 1.
TEST(EstimateHiss, TheReleaseCoefficientFollowsTheLowestAcceptedBand) {
  struct Case {
    float rate;
    int bands;
    int slowFromBand;  // highest lowestBand that gives r = release
  };
  for (const Case& c : {Case{44100.0f, 16, 12}, Case{30000.0f, 15, 11}, Case{28000.0f, 14, 10},
                        Case{26000.0f, 13, 10}, Case{24000.0f, 12, 10}, Case{22050.0f, 11, 11}}) {
    Rig rig(1, c.rate, 10);
    rig.reduc.SetAutoLevel(true);
    EXPECT_EQ(rig.reduc.GetReleaseCoefficient(), 0.2f);  // nothing estimated yet
    for (int t = 1; t <= 46 + 45 * (c.bands - 8); ++t) {
      rig.Push(Flat(1, 1e-3f, 1024));
      ASSERT_EQ(rig.reduc.bandCount, c.bands);
      const float expected = rig.reduc.lowestBand > c.slowFromBand ? 1.0f : 0.2f;
      ASSERT_EQ(rig.reduc.GetReleaseCoefficient(), expected)
          << c.rate << " Hz, lowest band " << rig.reduc.lowestBand;
    }
    EXPECT_EQ(rig.reduc.lowestBand, 7) << c.rate;
  }
}

// The whole spectral path at 44.1 kHz with the fixed hiss reference.
TEST(SpectralPath, BypassIsAOneHopDelay) {
  testing::SpectralChain chain(2, 1024, 44100.0f, true);
  chain.noiseReduc.SetBypass(true);
  const std::vector<float> input = testing::Sine(30000, 2, 1000.0, 44100.0, 1.0);
  chain.Run(input);
  const std::vector<float>& out = chain.collect.samples;
  ASSERT_GE(out.size(), 2u * 27000);
  for (size_t i = 0; i < 2 * 27000; ++i) {
    ASSERT_NEAR(out[i], i < 2 * 1024 ? 0.0f : input[i - 2 * 1024], 1e-4) << i;
  }
}

TEST(SpectralPath, SteadyHissIsLoweredToTheFloorWhileALoudSinePasses) {
  const size_t frames = 44100 * 3;
  const double hissDeviation = 1.5e-4;  // per-bin power about 1/6 of the reference
  const std::vector<float> hiss = testing::WhiteNoise(frames, hissDeviation, 77);
  const float floorGain = std::pow(10.0f, -30.0f / 40.0f);

  testing::SpectralChain hissOnly(1, 1024, 44100.0f, true);
  hissOnly.noiseReduc.SetBypass(false);
  hissOnly.noiseReduc.SetOutputLevel(-30.0f);
  hissOnly.noiseReduc.SetInputLevel(0.0f);
  hissOnly.Run(hiss);
  const size_t settled = 44100;  // past the fade-in of the first hops
  const size_t span = frames - settled - 4096;
  const double ratio = testing::Rms(hissOnly.collect.samples.data() + settled, span) /
                       testing::Rms(hiss.data() + settled - 1024, span);
  EXPECT_NEAR(ratio, floorGain, 0.1 * floorGain);

  std::vector<float> mixed = testing::Sine(frames, 1, 1000.0, 44100.0, 0.5);
  for (size_t i = 0; i < frames; ++i) mixed[i] += hiss[i];
  testing::SpectralChain withSine(1, 1024, 44100.0f, true);
  withSine.noiseReduc.SetBypass(false);
  withSine.noiseReduc.SetOutputLevel(-30.0f);
  withSine.noiseReduc.SetInputLevel(0.0f);
  withSine.Run(mixed);
  // Least-squares amplitude of the sine, one hop late, in the output.
  double dot = 0.0, energy = 0.0;
  for (size_t i = settled; i < settled + span; ++i) {
    const double reference = 0.5 * std::sin(2.0 * M_PI * 1000.0 * static_cast<double>(i - 1024) / 44100.0);
    dot += withSine.collect.samples[i] * reference;
    energy += reference * reference;
  }
  EXPECT_NEAR(dot / energy, 1.0, 0.002);
}

TEST(SpectralPath, AutomaticModeSettlesOnTheMeanPowerOfWhiteNoise) {
  const double deviation = 0.01;
  testing::SpectralChain chain(1, 1024, 44100.0f, true);
  chain.noiseReduc.SetBypass(false);
  chain.noiseReduc.SetAutoLevel(true);
  chain.Run(testing::WhiteNoise(1024 * 520, deviation, 5));
  EXPECT_EQ(chain.noiseReduc.lowestBand, 7);
  // Mean per-bin power of windowed white noise: variance x sum of squared window.
  const float* window = ResourcePool::Instance().WindowData(chain.analysis.windowIndex);
  double squares = 0.0;
  for (uint32_t i = 0; i < 2048; ++i) squares += double(window[i]) * window[i];
  const double expected = deviation * deviation * squares;
  EXPECT_NEAR(chain.noiseReduc.autoEstimate, expected, 0.1 * expected);
}

TEST(SpectralPath, RunsWithoutAllocatingOnceTheFormatIsKnown) {
  testing::SpectralChain chain(2, 1024, 44100.0f, true);
  chain.noiseReduc.SetBypass(false);
  chain.noiseReduc.SetAutoLevel(true);
  const std::vector<float> buffer = testing::WhiteNoise(2048, 0.1, 6);
  for (int i = 0; i < 4; ++i) {
    chain.feed.Queue(buffer);
    chain.feed.Run();
  }
  chain.collect.samples.reserve(chain.collect.samples.size() + 64 * 2048);
  std::vector<std::vector<float>> queued(64, buffer);
  for (auto& b : queued) chain.feed.Queue(std::move(b));

  testing::StartCountingAllocations();
  for (int i = 0; i < 64; ++i) chain.feed.Run();
  const long allocations = testing::StopCountingAllocations();
  EXPECT_EQ(allocations, 0);
  EXPECT_EQ(chain.collect.samples.size(), 2u * 1024 * 67);
}

}  // namespace
}  // namespace veltane
