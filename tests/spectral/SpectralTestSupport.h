// Blocks and signals for driving the spectral blocks through real ports: a
// feeder of spectrum frames, a collector of spectrum frames, a chain of
// Analysis -> [FDNoiseReduc ->] Synthesis between a sample feeder and a
// sample collector, and test signals.
#pragma once

#include <cmath>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "framework/Block.h"
#include "framework/ResourcePool.h"
#include "spectral/Analysis.h"
#include "spectral/FDNoiseReduc.h"
#include "spectral/RealFft.h"
#include "spectral/Synthesis.h"
#include "support/TestBlocks.h"

namespace veltane::testing {

using Frame = std::vector<std::vector<float>>;  // one half-complex array per channel

// No inputs, one Spectra output carrying a format like the one "Analysis"
// publishes; each pass publishes the next queued frame.
class SpectraFeed : public Block {
 public:
  SpectraFeed(uint16_t channels, uint32_t order, uint32_t hop, float rate = 44100.0f)
      : Block("SpectraFeed", 0, PortKind::Samples, 1, PortKind::Spectra) {
    const uint32_t n = 1u << order;
    StreamFormat& format = Output(0)->format;
    format.SetSampleRate(rate);
    format.SetChannels(channels);
    format.SetFftSize(n, static_cast<uint16_t>(order));
    format.SetWindowLength(n);
    format.SetHopSize(hop);
    format.windowId = ResourcePool::Instance().GetWindow(n, WindowShape::Hann);
  }

  void Queue(Frame frame) { queue_.push_back(std::move(frame)); }
  size_t Pending() const { return queue_.size(); }

  BlockStatus Process() override {
    if (queue_.empty() || Output(0)->ChannelData(0) == nullptr) return BlockStatus::NotReady;
    for (size_t c = 0; c < queue_.front().size(); ++c) {
      std::copy(queue_.front()[c].begin(), queue_.front()[c].end(),
                Output(0)->ChannelData(static_cast<uint16_t>(c)));
    }
    queue_.pop_front();
    return BlockStatus::Ok;
  }

 private:
  std::deque<Frame> queue_;
};

// One Spectra input; keeps a copy of every frame that reaches it.
class SpectraCollect : public Block {
 public:
  SpectraCollect() : Block("SpectraCollect", 1, PortKind::Spectra, 0, PortKind::Samples) {}

  BlockStatus Process() override {
    const StreamFormat& format = Input(0)->format;
    if (Input(0)->ChannelData(0) == nullptr) return BlockStatus::NotReady;
    Frame frame(format.channels);
    for (uint16_t c = 0; c < format.channels; ++c) {
      const float* data = Input(0)->ChannelData(c);
      frame[c].assign(data, data + format.fftSize);
    }
    frames.push_back(std::move(frame));
    return BlockStatus::Ok;
  }

  std::vector<Frame> frames;
};

// Sample feeder -> "Analysis" -> optional "FDNoiseReduc" -> "Synthesis" ->
// sample collector, wired and ready to run.
struct SpectralChain {
  SpectralChain(uint16_t channels, uint32_t bufferFrames, float rate, bool withNoiseReduc)
      : feed(channels, bufferFrames, rate) {
    analysis.SetSizeMode(3);
    analysis.SetHopMode(1);
    Connect(&feed, 0, &analysis, 0);
    if (withNoiseReduc) {
      Connect(&analysis, 0, &noiseReduc, 0);
      Connect(&noiseReduc, 0, &synthesis, 0);
    } else {
      Connect(&analysis, 0, &synthesis, 0);
    }
    Connect(&synthesis, 0, &collect, 0);
  }

  // Feeds the interleaved signal through and runs until the feeder is empty
  // and "Analysis" has framed all of it.
  void Run(const std::vector<float>& interleaved) {
    feed.QueueSignal(interleaved);
    while (feed.Pending() > 0) feed.Run();
    for (int drain = 0; drain < 8; ++drain) feed.Run();
  }

  FeedBlock feed;
  Analysis analysis;
  FDNoiseReduc noiseReduc;
  Synthesis synthesis;
  CollectBlock collect;
};

inline std::vector<float> Sine(size_t frames, uint16_t channels, double frequency, double rate,
                               double amplitude) {
  std::vector<float> out(frames * channels);
  for (size_t i = 0; i < frames; ++i) {
    const double value = amplitude * std::sin(2.0 * M_PI * frequency * static_cast<double>(i) / rate);
    for (uint16_t c = 0; c < channels; ++c) out[i * channels + c] = static_cast<float>(value);
  }
  return out;
}

// Gaussian white noise of the given standard deviation, independent per channel.
inline std::vector<float> WhiteNoise(size_t samples, double deviation, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, static_cast<float>(deviation));
  std::vector<float> out(samples);
  for (float& v : out) v = normal(rng);
  return out;
}

inline double Rms(const float* x, size_t count, size_t stride = 1) {
  double sum = 0.0;
  for (size_t i = 0; i < count; ++i) sum += static_cast<double>(x[i * stride]) * x[i * stride];
  return count > 0 ? std::sqrt(sum / static_cast<double>(count)) : 0.0;
}

}  // namespace veltane::testing
