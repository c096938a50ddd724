// "Analysis": sizes by rate and mode, frame geometry, buffering and resets.
#include <gtest/gtest.h>

#include "SpectralTestSupport.h"

namespace veltane {
namespace {

using testing::FeedBlock;
using testing::Frame;
using testing::SpectraCollect;

// The frame "Analysis" should produce for frame m of an interleaved signal:
// samples m H - L/2 .. m H + L/2 - 1 (zeros before the start), windowed,
// rotated so that sample m H is element 0, transformed, Nyquist cleared.
std::vector<float> ExpectedFrame(const std::vector<float>& signal, uint16_t channels, uint16_t channel,
                                 uint32_t order, uint32_t hop, size_t m) {
  const uint32_t n = 1u << order;
  const uint32_t half = n / 2;
  ResourcePool& pool = ResourcePool::Instance();
  const float* window = pool.WindowData(pool.GetWindow(n, WindowShape::Hann));
  const SineTables tables = pool.GetSineTable(n);
  std::vector<float> frame(n, 0.0f);
  const size_t frames = signal.size() / channels;
  for (uint32_t j = 0; j < n; ++j) {
    const int64_t t = static_cast<int64_t>(m * hop) - half + j;
    const float value = t >= 0 && static_cast<size_t>(t) < frames ? signal[t * channels + channel] : 0.0f;
    frame[(j + n - half) % n] = static_cast<float>(static_cast<double>(value) * window[j]);
  }
  RealFftForward(frame.data(), n, order, tables.cosine, tables.sine);
  frame[n / 2] = 0.0f;
  return frame;
}

struct Geometry {
  float rate;
  uint32_t sizeMode;
  uint32_t hopMode;
  uint16_t channels;
  uint32_t order;  // expected log2 N
  uint32_t hop;    // expected H
};

class AnalysisGeometry : public ::testing::TestWithParam<Geometry> {};

TEST_P(AnalysisGeometry, FramesAreWindowedZeroPhaseTransformsOfTheInput) {
  const Geometry g = GetParam();
  FeedBlock feed(g.channels, 1000, g.rate);
  Analysis analysis;
  analysis.SetSizeMode(g.sizeMode);
  analysis.SetHopMode(g.hopMode);
  SpectraCollect collect;
  Connect(&feed, 0, &analysis, 0);
  Connect(&analysis, 0, &collect, 0);

  const uint32_t n = 1u << g.order;
  const std::vector<float> signal = testing::WhiteNoise(size_t{6} * n * g.channels, 0.3, 11);
  feed.QueueSignal(signal);
  while (feed.Pending() > 0) feed.Run();

  const StreamFormat& published = collect.Input(0)->format;
  EXPECT_EQ(published.fftSize, n);
  EXPECT_EQ(published.fftOrder, g.order);
  EXPECT_EQ(published.windowLength, n);
  EXPECT_EQ(published.hopSize, g.hop);
  EXPECT_EQ(published.channels, g.channels);
  EXPECT_EQ(published.sampleRate, g.rate);
  EXPECT_EQ(published.windowId, ResourcePool::Instance().GetWindow(n, WindowShape::Hann));

  // Every frame whose samples all lie inside the fed signal.
  const size_t complete = (signal.size() / g.channels - n / 2) / g.hop;
  ASSERT_GE(collect.frames.size(), complete);
  for (size_t m = 0; m < complete; ++m) {
    for (uint16_t c = 0; c < g.channels; ++c) {
      const std::vector<float> expected = ExpectedFrame(signal, g.channels, c, g.order, g.hop, m);
      ASSERT_EQ(collect.frames[m][c], expected) << "frame " << m << " channel " << c;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    RatesAndModes, AnalysisGeometry,
    ::testing::Values(Geometry{44100.0f, 3, 1, 2, 11, 1024}, Geometry{48000.0f, 3, 2, 1, 11, 512},
                      Geometry{32000.0f, 3, 1, 2, 10, 512}, Geometry{22050.0f, 4, 1, 1, 11, 1024},
                      Geometry{16000.0f, 3, 1, 1, 9, 256}, Geometry{96000.0f, 1, 2, 2, 9, 128}),
    [](const auto& info) {
      const Geometry& g = info.param;
      return "Rate" + std::to_string(static_cast<int>(g.rate)) + "Size" + std::to_string(g.sizeMode) +
             "Hop" + std::to_string(g.hopMode) + "Channels" + std::to_string(g.channels);
    });

// Frames collected from a signal fed in buffers of the given size.
std::vector<Frame> FramesFor(const std::vector<float>& signal, uint32_t bufferFrames, size_t wanted) {
  FeedBlock feed(2, bufferFrames, 44100.0f);
  Analysis analysis;
  analysis.SetSizeMode(3);
  SpectraCollect collect;
  Connect(&feed, 0, &analysis, 0);
  Connect(&analysis, 0, &collect, 0);
  feed.QueueSignal(signal);
  while (feed.Pending() > 0) feed.Run();
  // Large buffers leave frames behind (ProducedOnly): let them out.
  for (size_t extra = 0; extra < wanted; ++extra) feed.Run();
  return collect.frames;
}

TEST(Analysis, TheBufferSizeDoesNotChangeTheFrames) {
  const std::vector<float> signal = testing::WhiteNoise(2 * 12000, 0.5, 3);
  const std::vector<Frame> reference = FramesFor(signal, 1024, 9);
  ASSERT_GE(reference.size(), 9u);
  for (uint32_t bufferFrames : {1u, 7u, 480u, 4096u}) {
    const std::vector<Frame> frames = FramesFor(signal, bufferFrames, 9);
    ASSERT_GE(frames.size(), 9u) << bufferFrames;
    for (size_t m = 0; m < 9; ++m) EXPECT_EQ(frames[m], reference[m]) << bufferFrames << " frame " << m;
  }
}

// Every input buffer is taken whole in the pass that delivers it; a frame
// leaves once a hop of new samples (1024) is in, the zero pre-roll making up
// the first half of the first frame.
TEST(Analysis, AFrameLeavesForEveryHopOfInput) {
  for (uint32_t bufferFrames : {1024u, 256u}) {
    FeedBlock feed(2, bufferFrames, 44100.0f);
    Analysis analysis;
    analysis.SetSizeMode(3);
    SpectraCollect collect;
    Connect(&feed, 0, &analysis, 0);
    Connect(&analysis, 0, &collect, 0);
    for (uint32_t buffer = 1; buffer <= 16; ++buffer) {
      feed.Queue(std::vector<float>(2 * bufferFrames, 0.25f));
      feed.Run();
      EXPECT_EQ(analysis.Input(0)->framesConsumed, buffer * bufferFrames);
      EXPECT_EQ(collect.frames.size(), buffer * bufferFrames / 1024) << bufferFrames << " " << buffer;
    }
  }
}

TEST(Analysis, ANewRateRescalesTheFramesAndRaisesTheirChangeFlags) {
  FeedBlock feed(2, 1024, 44100.0f);
  Analysis analysis;
  analysis.SetSizeMode(3);
  testing::ProbeBlock probe("Probe", 1, PortKind::Spectra, 0, PortKind::Spectra);
  uint16_t seenFlags = 0;
  probe.onInputsChanged = [&](testing::ProbeBlock& self) { seenFlags = self.Input(0)->format.changeFlags; };
  Connect(&feed, 0, &analysis, 0);
  Connect(&analysis, 0, &probe, 0);
  feed.Queue(std::vector<float>(2048, 0.0f));
  feed.Run();
  EXPECT_EQ(probe.Input(0)->format.fftSize, 2048u);

  feed.Output(0)->format.SetSampleRate(32000.0f);
  feed.Queue(std::vector<float>(2048, 0.0f));
  feed.Run();
  const StreamFormat& format = probe.Input(0)->format;
  EXPECT_EQ(format.fftSize, 1024u);
  EXPECT_EQ(format.fftOrder, 10u);
  EXPECT_EQ(format.windowLength, 1024u);
  EXPECT_EQ(format.hopSize, 512u);
  EXPECT_EQ(seenFlags & FormatChange::FftSize, FormatChange::FftSize);
  EXPECT_EQ(seenFlags & FormatChange::WindowLength, FormatChange::WindowLength);
  EXPECT_EQ(seenFlags & FormatChange::HopSize, FormatChange::HopSize);
  EXPECT_EQ(analysis.ring.Channels(), 2);
}

TEST(Analysis, AResetRestartsTheFramingWithTheZeroPreRoll) {
  FeedBlock feed(1, 1024, 44100.0f);
  Analysis analysis;
  analysis.SetSizeMode(3);
  SpectraCollect collect;
  Connect(&feed, 0, &analysis, 0);
  Connect(&analysis, 0, &collect, 0);
  feed.QueueSignal(testing::WhiteNoise(5000, 0.5, 8));
  while (feed.Pending() > 0) feed.Run();

  const std::vector<float> restart = testing::WhiteNoise(4096, 0.5, 9);
  feed.RequestReset();
  collect.frames.clear();
  feed.QueueSignal(restart);
  while (feed.Pending() > 0) feed.Run();
  ASSERT_GE(collect.frames.size(), 3u);
  for (size_t m = 0; m < 3; ++m) {
    EXPECT_EQ(collect.frames[m][0], ExpectedFrame(restart, 1, 0, 11, 1024, m)) << m;
  }
}

TEST(Analysis, WithoutAKnownRateNothingIsFramed) {
  FeedBlock feed(1, 1024, 0.0f);
  Analysis analysis;
  SpectraCollect collect;
  Connect(&feed, 0, &analysis, 0);
  Connect(&analysis, 0, &collect, 0);
  feed.Queue(std::vector<float>(1024, 0.5f));
  feed.Run();
  feed.Run();
  EXPECT_TRUE(collect.frames.empty());
  EXPECT_EQ(analysis.fftSize, 0u);
  // An unlinked input is reported, not read.
  Analysis alone;
  EXPECT_EQ(alone.Run(), BlockStatus::NotReady);
}

}  // namespace
}  // namespace veltane
