// The spectral path: the real FFT, "Analysis" into "Synthesis", and "FDNoiseReduc" with its hiss estimate.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <tuple>
#include <vector>

#include "framework/GraphLock.h"
#include "framework/ResourcePool.h"
#include "spectral/Analysis.h"
#include "spectral/FDNoiseReduc.h"
#include "spectral/RealFft.h"
#include "spectral/Synthesis.h"
#include "support/AllocationCounter.h"
#include "support/KernelLevels.h"
#include "support/Signals.h"
#include "support/TestBlocks.h"

namespace veltane {
namespace {

using Frame = std::vector<std::vector<float>>;  // one half-complex array per channel
using testing::kPi;

std::vector<float> Noise(size_t count, double deviation, uint32_t seed) {
  std::vector<float> x(count, 0.0f);
  testing::AddWhiteHiss(x, deviation, seed);
  return x;
}

// N = 1 .. 4096. Bounds: every stored value of the forward transform within (m + 1) u ||x||_2 of a double-precision
// DFT (u = 2^-24, m = log2 N); the round trip within (m + 1) u N of N x; a cosine or sine of k0 cycles, landing on
// Re X[k0] as A N / 2 or on Im X[k0] as -A N / 2, within 64 u N. Measured errors stay below half of these.
TEST(RealFft, MatchesADoublePrecisionDftAtEverySize) {
  constexpr double kU = 5.9604644775390625e-8;
  for (uint32_t m = 0; m <= 12; ++m) {
    const uint32_t n = 1u << m, k0 = n / 8 + 1;
    const SineTables tables = GraphDomain::Shared().Pool().GetSineTable(n);
    std::vector<float> x = Noise(n, 0.2, m + 1), y = x, b = Noise(n, 0.2, m + 100), impulse(n, 0.0f), c(n), s(n);
    double norm = 0.0;
    for (uint32_t i = 0; i < n; ++i) {
      norm += static_cast<double>(x[i]) * x[i];
      c[i] = static_cast<float>(0.75 * std::cos(2 * kPi * ((size_t{k0} * i) % n) / n));
      s[i] = static_cast<float>(0.75 * std::sin(2 * kPi * ((size_t{k0} * i) % n) / n));
    }
    impulse[0] = 1.0f;
    for (std::vector<float>* v : {&y, &impulse, &c, &s}) RealFftForward(v->data(), n, m, tables.cosine, tables.sine);
    const double bound = (m + 1) * kU * std::sqrt(norm);
    for (uint32_t k = 0; k <= n / 2; ++k) {
      double re = 0.0, im = 0.0;
      for (uint32_t j = 0; j < n; ++j) {  // twiddles exact for every k: the angle is taken mod 2 pi first
        re += x[j] * std::cos(2 * kPi * ((size_t{k} * j) % n) / n);
        im -= x[j] * std::sin(2 * kPi * ((size_t{k} * j) % n) / n);
      }
      ASSERT_NEAR(y[k % n], re, bound) << "Re X[" << k << "], N = " << n;
      ASSERT_NEAR(k > 0 && k < n / 2 ? y[n - k] : im, im, bound) << "Im X[" << k << "], N = " << n;
    }
    for (uint32_t k = 0; k < n; ++k) {
      ASSERT_EQ(impulse[k], k <= n / 2 ? 1.0f : 0.0f) << "impulse, element " << k << ", N = " << n;
      ASSERT_NEAR(n < 4 ? 0.0f : c[k], n >= 4 && k == k0 ? 0.375 * n : 0.0, 64 * kU * n) << "cosine, N = " << n;
      ASSERT_NEAR(n < 4 ? 0.0f : s[k], n >= 4 && k == n - k0 ? -0.375 * n : 0.0, 64 * kU * n) << "sine, N = " << n;
    }
    RealFftInverse(y.data(), n, m, tables.cosine, tables.sine);
    for (uint32_t i = 0; i < n; ++i) ASSERT_NEAR(y[i], 1.0 * n * x[i], (m + 1) * kU * n) << i << ", N = " << n;
    // Two signals through one interleaved transform get exactly what their own transforms give them; a call
    // whose size is not 2^m must leave b as it is.
    std::vector<float> a = x, pairs(2 * n);
    for (uint32_t i = 0; i < 2 * n; ++i) pairs[i] = i % 2 ? b[i / 2] : a[i / 2];
    RealFftForward(b.data(), n, m + 1, tables.cosine, tables.sine);
    for (bool inverse : {false, true}) {
      const auto single = inverse ? RealFftInverse : RealFftForward;
      for (float* v : {a.data(), b.data()}) single(v, n, m, tables.cosine, tables.sine);
      (inverse ? RealFftInversePair : RealFftForwardPair)(pairs.data(), n, m, tables.cosine, tables.sine);
      for (uint32_t i = 0; i < 2 * n; ++i) ASSERT_EQ(pairs[i], i % 2 ? b[i / 2] : a[i / 2]) << inverse << ", N = " << n;
    }
  }
}

// Every kernel level runs the same operations per element: the same bits for
// one signal and for two interleaved, both ways, at every size.
TEST(RealFft, GivesTheSameBitsAtEveryKernelLevel) {
  for (uint32_t m = 0; m <= 12; ++m) {
    const uint32_t n = 1u << m;
    const SineTables tables = GraphDomain::Shared().Pool().GetSineTable(n);
    const std::vector<float> x = Noise(2 * n, 0.3, m + 7);
    std::vector<std::vector<float>> results;
    testing::ForEachKernelLevel([&](KernelLevel) {
      std::vector<float> mono(x.begin(), x.begin() + n), pairs = x;
      RealFftForward(mono.data(), n, m, tables.cosine, tables.sine);
      RealFftForwardPair(pairs.data(), n, m, tables.cosine, tables.sine);
      results.push_back(mono);
      results.push_back(pairs);
      RealFftInverse(mono.data(), n, m, tables.cosine, tables.sine);
      RealFftInversePair(pairs.data(), n, m, tables.cosine, tables.sine);
      results.push_back(mono);
      results.push_back(pairs);
    });
    for (size_t i = 4; i < results.size(); ++i) ASSERT_EQ(results[i], results[i % 4]) << "N = " << n << ", " << i % 4;
  }
}

struct Chain {  // samples -> "Analysis" -> ["FDNoiseReduc" ->] "Synthesis" -> samples
  Chain(uint16_t channels, float rate, bool withNoiseReduc, uint32_t hopMode = 1, uint32_t bufferFrames = 1024)
      : feed(channels, bufferFrames, rate) {
    analysis.SetSizeMode(3);
    analysis.SetHopMode(hopMode);
    Connect(&feed, 0, &analysis, 0);
    Connect(&analysis, 0, withNoiseReduc ? static_cast<Block*>(&reduc) : &synthesis, 0);
    if (withNoiseReduc) Connect(&reduc, 0, &synthesis, 0);
    Connect(&synthesis, 0, &collect, 0);
  }
  // Runs `x` through, and a few passes more so that "Analysis" frames all of it.
  const std::vector<float>& Run(const std::vector<float>& x) {
    feed.QueueSignal(x);
    while (feed.Pending() > 0) feed.Run();
    for (int run = 0; run < 8; ++run) feed.Run();
    return collect.samples;
  }
  testing::FeedBlock feed;
  Analysis analysis;
  FDNoiseReduc reduc;
  Synthesis synthesis;
  testing::CollectBlock collect;
};

// A full-scale sine comes back without delay; what differs is its leakage into the cleared Nyquist bin. With
// quarter hops the first hop fades in, and near the end the frames see the signal cut off. N follows the rate.
TEST(Synthesis, AFullScaleSineComesBackWithoutDelay) {
  const std::tuple<float, uint32_t, uint16_t, uint32_t> cases[] = {  // rate, hop mode, channels, N
      {44100.0f, 1, 2, 2048}, {44100.0f, 2, 1, 2048}, {48000.0f, 1, 1, 2048}, {32000.0f, 1, 2, 1024},
      {22050.0f, 2, 2, 1024}};
  for (const auto& [rate, hopMode, channels, n] : cases) {
    Chain chain(channels, rate, false, hopMode);
    std::vector<float> x(30000 * channels);
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(std::sin(2 * kPi * 1000.0 * (i / channels) / rate));
    const std::vector<float>& out = chain.Run(x);
    const size_t first = hopMode == 1 ? 0 : size_t{n} / 4 * channels, last = x.size() - size_t{n} * channels;
    EXPECT_TRUE(chain.analysis.fftSize == n && chain.analysis.hopSize == n / 2 / hopMode && out.size() >= last) << rate;
    for (size_t i = first; i < std::min(last, out.size()); ++i) ASSERT_NEAR(out[i], x[i], 1e-4) << rate << hopMode;
  }
}

// The residual alternates in sign from sample to sample with a slowly varying amplitude: neighbours cancel it.
TEST(Synthesis, WhiteNoiseLosesOnlyItsComponentAtHalfTheRate) {
  Chain chain(2, 44100.0f, false);
  const std::vector<float> x = Noise(2 * 40000, 0.25, 21);
  const std::vector<float>& out = chain.Run(x);
  double residual[2] = {}, neighbours[2] = {};  // per channel
  for (size_t i = 0; i + 2 < out.size(); ++i) {
    residual[i % 2] = std::max(residual[i % 2], std::fabs(double{x[i]} - out[i]));
    neighbours[i % 2] = std::max(neighbours[i % 2], std::fabs(double{x[i]} - out[i] + x[i + 2] - out[i + 2]));
  }
  for (int c : {0, 1}) EXPECT_TRUE(residual[c] > 1e-4 && residual[c] < 0.02 && neighbours[c] < residual[c] / 20) << c;
}

// The first block leaves with frame L/(2H), the second for H = L/2 and the third for H = L/4 (frame m completes with
// input buffer m + L/(2H)). After a reset silence gives exact zeros; 32 kHz after 44.1 kHz halves the sizes.
TEST(Synthesis, TheFirstBlockLeavesWithFrameLOver2HAfterAResetAndSizesFollowTheRate) {
  for (uint32_t hopMode : {1u, 2u}) {
    const uint32_t hop = 1024 / hopMode, blocks[2][6] = {{0, 1, 2, 3, 4, 5}, {0, 0, 0, 1, 2, 3}};
    Chain chain(1, 44100.0f, false, hopMode, hop);
    chain.Run(Noise(10000, 0.5, 3));
    chain.feed.RequestReset();
    chain.collect.samples.clear();
    for (uint32_t buffer = 0; buffer < 6; ++buffer) {
      chain.feed.Queue(std::vector<float>(hop, 0.0f));
      chain.feed.Run();
      EXPECT_EQ(chain.collect.samples.size(), size_t{hop} * blocks[hopMode - 1][buffer]) << hopMode << " " << buffer;
    }
    for (float v : chain.collect.samples) ASSERT_EQ(v, 0.0f) << hopMode;
    chain.feed.Output(0)->format.SetSampleRate(32000.0f);
    chain.Run(std::vector<float>(4 * hop, 0.0f));
    EXPECT_TRUE(chain.analysis.fftSize == 1024 && chain.analysis.hopSize == 512 / hopMode) << hopMode;
  }
}

// Publishes chosen spectrum frames into "FDNoiseReduc" and keeps the frame that leaves it.
struct Rig : Block {
  explicit Rig(uint16_t channels = 1, float rate = 44100.0f, uint32_t order = 11)
      : Block("Frames", 0, PortKind::Samples, 1, PortKind::Spectra), collect("Out", 1, PortKind::Spectra, 0, {}) {
    Output(0)->format.SetSampleRate(rate);
    Output(0)->format.SetChannels(channels);
    Output(0)->format.SetFftSize(1u << order, static_cast<uint16_t>(order));
    Connect(this, 0, &reduc, 0);
    Connect(&reduc, 0, &collect, 0);
    collect.process = [this](testing::ProbeBlock& probe) {
      for (uint16_t c = 0; c < out.size(); ++c) std::copy_n(probe.Input(0)->ChannelData(c), out[c].size(), &out[c][0]);
      return BlockStatus::Ok;
    };
  }
  BlockStatus Process() override {
    for (uint16_t c = 0; c < in.size(); ++c) std::copy(in[c].begin(), in[c].end(), Output(0)->ChannelData(c));
    return BlockStatus::Ok;
  }
  const Frame& Push(Frame frame) {  // returns the frame that leaves with it, NaN if none does
    in = std::move(frame);
    out.assign(in.size(), std::vector<float>(in[0].size(), NAN));
    Run();
    return out;
  }
  Frame in, out;
  FDNoiseReduc reduc;
  testing::ProbeBlock collect;
};

// A frame whose bins 0 .. N/2 all have the given power (in their real parts).
Frame Flat(uint16_t channels, float power, uint32_t n = 2048) {
  Frame frame(channels, std::vector<float>(n, 0.0f));
  for (auto& spectrum : frame) std::fill_n(spectrum.begin(), n / 2 + 1, std::sqrt(power));
  return frame;
}

// Bypassed, or loud with r = 1, every channel of every frame leaves one frame late, also beyond two channels; the
// reset slot leaves first, silent.
TEST(FDNoiseReduc, FramesLeaveOneFrameLateIntactWhenBypassedOrLoudAndSilenceStaysSilent) {
  for (const auto& [channels, bypass] : {std::pair<uint16_t, bool>{2, true}, {2, false}, {4, true}, {4, false}}) {
    Rig rig(channels);
    rig.reduc.SetBypass(bypass);
    rig.reduc.SetSmoothing(1.0f);
    Frame before = Flat(channels, 0.0f), in(channels);
    for (uint32_t t = 0; t < 4; before = in, ++t) {
      for (uint16_t c = 0; c < channels; ++c) in[c] = Noise(2048, 10.0, t * 31 + c);
      EXPECT_TRUE(rig.Push(in) == before || (t == 1 && !bypass)) << channels << " ch " << bypass << t;
    }
  }
  Rig sum(2);  // gains come from the sum of the channels: silence, or loud channels that cancel, give zeros
  sum.reduc.SetSmoothing(1.0f);
  Frame cancelling = Flat(2, 1e6f);
  for (float& v : cancelling[1]) v = -v;
  for (int t = 0; t < 3; ++t) EXPECT_EQ(sum.Push(Flat(2, 0.0f)), Flat(2, 0.0f));
  for (int t = 0; t < 3; ++t) sum.Push(cancelling);
  EXPECT_TRUE(std::all_of(sum.out[1].begin() + 1, sum.out[1].begin() + 1024, [](float v) { return v == 0.0f; }));
}

// The reset slot leaves first, with every gain 0; far above the floor a gain then rises as g = 0.8 g + 0.2, to
// 0.67 after five frames and on to 1, and falls at once. DC and Nyquist pass unchanged.
TEST(FDNoiseReduc, AGainRisesToTwoThirdsInFiveFramesThenOneAndFallsToTheFloorAtOnce) {
  Rig rig;
  rig.Push(Flat(1, 1e6f));
  const float expected[] = {0.2f, 0.36f, 0.488f, 0.5904f, 0.67232f};
  for (int t = 0; t < 85; ++t) {
    const Frame out = rig.Push(Flat(1, 1e6f));
    EXPECT_TRUE(out[0][0] == 1000.0f && out[0][1024] == 1000.0f) << t;
    if (t < 5) { EXPECT_NEAR(out[0][500], expected[t] * 1000.0f, 0.01f) << t; }
  }
  EXPECT_NEAR(rig.reduc.gain[500], 1.0f, 1e-6f);
  rig.reduc.SetOutputLevel(-80.0f);  // floor gain sqrt(10^(-80/20)): a quiet frame behind drops the gain to it at once
  EXPECT_NEAR(rig.Push(Flat(1, 1e-5f))[0][300], 0.01f * 1000.0f, 1e-2f);
}

// At -30 dB a frame four times louder than the one before it is an onset: a rising gain follows it at once.
TEST(FDNoiseReduc, AnOnsetIsFollowedAtOnce) {
  Rig onset;
  onset.reduc.SetInputLevel(0.0f);  // noise floor 0.0001
  onset.reduc.SetOutputLevel(-30.0f);
  const float floorGain = std::sqrt(std::pow(10.0f, -30.0f / 20.0f));
  onset.Push(Flat(1, 1e-4f));
  onset.Push(Flat(1, 1e-4f));  // rising by the release rule from 0
  EXPECT_NEAR(onset.reduc.gain[200], 0.2f * floorGain, 1e-5f);
  onset.Push(Flat(1, 4e-4f));
  EXPECT_NEAR(onset.reduc.gain[200], floorGain, 1e-5f);
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
  for (uint32_t t = 0; t < 200; ++t) rig.Push(Frame{Noise(2048, 10.0, 2 * t), Noise(2048, 10.0, 2 * t + 1)});
  done = true;
  setter.join();
  for (float v : rig.out[0]) ASSERT_TRUE(std::isfinite(v));
}

// Steady everywhere but at 15-16 kHz, which swings by 40 dB from frame to frame: nothing is accepted and the
// release coefficient is 1, so a gain that fell to 0 (bin 400 silent in one frame) rises back at once. A frame of
// NaN spoils neither the statistics nor the gains.
TEST(EstimateHiss, AFluctuatingTopBandIsNotAcceptedAndReleaseBecomesOne) {
  Rig rig;
  rig.reduc.SetAutoLevel(true);
  for (int t = 0; t < 203; ++t) {
    Frame frame = Flat(1, 1e-3f);
    std::fill(frame[0].begin() + 700, frame[0].begin() + 744, t % 2 == 0 ? 1.0f : 1e-2f);
    frame[0][400] *= t != 200;
    if (t == 100) frame[0].assign(2048, NAN);
    rig.Push(frame);
    EXPECT_TRUE(t != 201 || rig.reduc.gain[400] == 0.0f);
  }
  EXPECT_TRUE(rig.reduc.lowestBand == 16 && rig.reduc.GetReleaseCoefficient() == 1.0f && rig.reduc.gain[400] == 1.0f &&
              rig.reduc.autoEstimate == FDNoiseReduc::kFixedNoiseReference);
}

// Steady power: a band is accepted at its 46th update and lower bands update only while all above are accepted, so
// the top band comes at frame 46 and each lower one 45 frames later. r = 1 while lowestBand >= bandCount - 3 (and
// above 10), else release; with 12 or 13 bands (the rule divides by -1 or 0) any lowestBand above 10 gives 1.
TEST(EstimateHiss, SteadyPowerIsAcceptedBandByBandFromTheTopAndSetsTheRelease) {
  const std::tuple<float, int32_t, int32_t> cases[] = {  // rate, bands, highest lowestBand that gives r = release
      {44100.0f, 16, 12}, {30000.0f, 15, 11}, {28000.0f, 14, 10}, {26000.0f, 13, 10}, {24000.0f, 12, 10},
      {22050.0f, 11, 11}, {11025.0f, 5, 5}};  // at 11025 Hz nothing is examined
  for (const auto& [rate, bands, slowFrom] : cases) {
    Rig rig(1, rate);
    rig.reduc.SetAutoLevel(true);
    std::vector<int> firstFrameOf(17, 0);
    for (int t = 1; t <= 46 + 45 * std::max(bands - 8, 1); ++t) {
      rig.Push(Flat(1, 2e-3f));
      firstFrameOf[rig.reduc.lowestBand] += firstFrameOf[rig.reduc.lowestBand] == 0 ? t : 0;
      ASSERT_EQ(rig.reduc.GetReleaseCoefficient(), rig.reduc.lowestBand > slowFrom ? 1.0f : 0.2f) << rate << " Hz";
    }
    for (int band = bands - 1; band >= 7; --band) EXPECT_EQ(firstFrameOf[band], 46 + 45 * (bands - 1 - band)) << rate;
    EXPECT_TRUE(rig.reduc.bandCount == bands && rig.reduc.lowestBand == std::min(bands, 7)) << rate;
    EXPECT_NEAR(rig.reduc.autoEstimate, bands > 5 ? 2e-3f : FDNoiseReduc::kFixedNoiseReference, 4e-5) << rate;
    EXPECT_NEAR(rig.reduc.noiseFloor, rig.reduc.inputGain * rig.reduc.autoEstimate, 1e-9) << rate;
  }
}

// With the fixed reference, steady white hiss is lowered to the floor while a loud sine over it passes with gain 1.
TEST(FDNoiseReduc, SteadyHissIsLoweredToTheFloorWhileALoudSinePasses) {
  const size_t frames = 44100 * 3, from = 44100, to = frames - 4096;
  const std::vector<float> hiss = Noise(frames, 1.5e-4, 77);  // per-bin power about 1/6 of the reference
  std::vector<float> sine(frames), mixed = hiss;  // and a sine of 1 kHz over it
  for (size_t i = 0; i < frames; ++i) mixed[i] += sine[i] = static_cast<float>(0.5 * std::sin(2 * kPi * i / 44.1));
  for (bool withSine : {false, true}) {
    Chain chain(1, 44100.0f, true);
    chain.reduc.SetOutputLevel(-30.0f);
    chain.reduc.SetInputLevel(0.0f);
    const std::vector<float>& out = chain.Run(withSine ? mixed : hiss);
    const std::vector<float>& reference = withSine ? sine : hiss;  // one hop late
    double dot = 0.0, energy = 0.0, power = 0.0;
    for (size_t i = from; i < to; ++i) {
      dot += out[i] * reference[i - 1024];
      energy += reference[i - 1024] * reference[i - 1024];
      power += out[i] * out[i];
    }
    // The sine's least-squares amplitude; the hiss's level, the floor as an amplitude gain.
    const double gain = withSine ? dot / energy : std::sqrt(power / energy);
    const double expected = withSine ? 1.0 : std::pow(10.0, -30.0 / 40.0);
    EXPECT_NEAR(gain, expected, withSine ? 0.002 : 0.1 * expected) << withSine;
  }
}

// Automatic mode on white noise settles on its mean power per bin: the variance times the sum of the squared
// window, 3 (N + 2) / 8. Once the format is known the whole path runs without allocating.
TEST(FDNoiseReduc, AutomaticModeSettlesOnTheMeanPowerOfWhiteNoiseWithoutAllocating) {
  Chain chain(1, 44100.0f, true);
  chain.reduc.SetAutoLevel(true);
  chain.collect.samples.reserve(1024 * 530);
  chain.feed.QueueSignal(Noise(1024 * 520, 0.01, 5));
  for (int run = 0; run < 4; ++run) chain.feed.Run();  // formats, ring and pool buffers
  testing::StartCountingAllocations();
  chain.Run({});
  EXPECT_EQ(testing::StopCountingAllocations(), 0);
  EXPECT_TRUE(chain.reduc.lowestBand == 7 && std::fabs(chain.reduc.autoEstimate / (1e-4 * 3 * 2050 / 8) - 1) < 0.1)
      << chain.reduc.autoEstimate;
}

}  // namespace
}  // namespace veltane
