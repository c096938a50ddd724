// The output queue and the in-place aligner: nothing lost or reordered
// whatever the slicing and the host's room, exact in-place frame counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "effect/InPlaceAligner.h"
#include "effect/NoiseReducFilter.h"
#include "effect/OutputQueue.h"

namespace veltane {
namespace {

struct Format {
  uint16_t channels;
  uint16_t bits;
  uint32_t rate;
};

WaveFormat Wave(Format f) {
  WaveFormat wave;
  wave.channels = f.channels;
  wave.samplesPerSec = f.rate;
  wave.bitsPerSample = f.bits;
  wave.blockAlign = static_cast<uint16_t>(f.channels * f.bits / 8);
  wave.avgBytesPerSec = f.rate * wave.blockAlign;
  return wave;
}

std::vector<uint8_t> Noise(size_t bytes, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> data(bytes);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  return data;
}

// The processed stream: the whole input run through a fresh processing
// object in one call with ample room.
std::vector<uint8_t> Reference(Format f, bool active, const std::vector<uint8_t>& input) {
  NoiseReducFilter filter;
  filter.SetFormat(Wave(f));
  if (active) filter.SetFullBypass(0);
  const uint32_t frameBytes = f.channels * f.bits / 8;
  const auto frames = static_cast<uint32_t>(input.size() / frameBytes);
  std::vector<uint8_t> out(input.size() + 16 * 1024 * frameBytes);
  uint32_t produced = static_cast<uint32_t>(out.size() / frameBytes);
  filter.Process(input.data(), frames, out.data(), &produced);
  out.resize(static_cast<size_t>(produced) * frameBytes);
  return out;
}

class OutputQueueTest : public testing::TestWithParam<std::tuple<Format, uint32_t, uint32_t>> {};

// Input in pieces of one size, output taken in rooms of another: the
// concatenated output is the reference stream, and the queue stays bounded.
TEST_P(OutputQueueTest, DeliversTheProcessedStreamWhateverTheSizes) {
  const auto [format, piece, room] = GetParam();
  const uint32_t frameBytes = format.channels * format.bits / 8;
  const uint32_t frames = 20000;
  const auto input = Noise(static_cast<size_t>(frames) * frameBytes, 7);
  const auto expected = Reference(format, true, input);

  NoiseReducFilter filter;
  filter.SetFormat(Wave(format));
  filter.SetFullBypass(0);
  OutputQueue queue;
  queue.Reset(frameBytes, 0);
  std::vector<uint8_t> output;
  std::vector<uint8_t> hostBuffer(static_cast<size_t>(room) * frameBytes);
  uint32_t maxQueued = 0;
  for (uint32_t at = 0; at < frames; at += piece) {
    const uint32_t count = std::min(piece, frames - at);
    queue.Produce(filter, input.data() + static_cast<size_t>(at) * frameBytes, count);
    maxQueued = std::max(maxQueued, queue.QueuedFrames());
    // A host takes output until the queue cannot fill its room any more.
    while (queue.QueuedFrames() >= room) {
      const uint32_t got = queue.Deliver(hostBuffer.data(), room);
      output.insert(output.end(), hostBuffer.begin(), hostBuffer.begin() + got * frameBytes);
    }
  }
  while (const uint32_t got = queue.Deliver(hostBuffer.data(), room)) {
    output.insert(output.end(), hostBuffer.begin(), hostBuffer.begin() + got * frameBytes);
  }
  EXPECT_EQ(output, expected);
  EXPECT_LE(maxQueued, room + piece + OutputQueue::kSlackFrames);
}

INSTANTIATE_TEST_SUITE_P(
    SizesAndFormats, OutputQueueTest,
    testing::Combine(testing::Values(Format{2, 16, 44100}, Format{1, 24, 96000}, Format{2, 8, 22050}),
                     testing::Values(1u, 7u, 480u, 4096u), testing::Values(1u, 333u, 2048u)));

TEST(OutputQueue, SilenceUsesTheFormatsSilentByteAndDeliversInOrder) {
  OutputQueue queue;
  queue.Reset(2, 0x80);
  queue.PushSilence(3);
  EXPECT_EQ(queue.QueuedFrames(), 3u);
  std::vector<uint8_t> out(8, 0x11);
  EXPECT_EQ(queue.Deliver(out.data(), 4), 3u);
  EXPECT_EQ(out, (std::vector<uint8_t>{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x11, 0x11}));
  EXPECT_EQ(queue.Deliver(out.data(), 4), 0u);
}

TEST(OutputQueue, FullBypassPassesFramesStraightThrough) {
  NoiseReducFilter filter;
  filter.SetFormat(Wave({2, 16, 48000}));
  OutputQueue queue;
  queue.Reset(4, 0);
  const auto input = Noise(4 * 3000, 3);
  EXPECT_EQ(queue.Produce(filter, input.data(), 3000), 3000u);
  EXPECT_EQ(queue.BacklogFrames(), 0u);
  std::vector<uint8_t> out(input.size());
  EXPECT_EQ(queue.Deliver(out.data(), 5000), 3000u);
  EXPECT_EQ(out, input);
}

class InPlaceAlignerTest : public testing::TestWithParam<std::tuple<Format, uint32_t>> {};

TEST_P(InPlaceAlignerTest, HandsBackEveryFrameAFixedDelayBehind) {
  const auto [format, piece] = GetParam();
  const uint32_t frameBytes = format.channels * format.bits / 8;
  const uint32_t frames = 24000;
  const auto input = Noise(static_cast<size_t>(frames) * frameBytes, 11);
  const auto processed = Reference(format, true, input);

  NoiseReducFilter filter;
  filter.SetFormat(Wave(format));
  filter.SetFullBypass(0);
  InPlaceAligner aligner;
  auto data = input;
  for (uint32_t at = 0; at < frames; at += piece) {
    const uint32_t count = std::min(piece, frames - at);
    aligner.Process(filter, data.data() + static_cast<size_t>(at) * frameBytes, count);
  }
  const uint32_t delay = aligner.DelayFrames();
  EXPECT_GE(delay, InPlaceAligner::kBufferingFrames);
  ASSERT_LT(delay, frames);
  const uint8_t silent = format.bits == 8 ? 0x80 : 0x00;
  const size_t delayBytes = static_cast<size_t>(delay) * frameBytes;
  EXPECT_TRUE(std::all_of(data.begin(), data.begin() + delayBytes, [&](uint8_t b) { return b == silent; }));
  const size_t compared = std::min(data.size() - delayBytes, processed.size());
  EXPECT_GT(compared, static_cast<size_t>(frames - delay - 2048) * frameBytes);
  EXPECT_TRUE(std::equal(processed.begin(), processed.begin() + compared, data.begin() + delayBytes));
}

INSTANTIATE_TEST_SUITE_P(SizesAndFormats, InPlaceAlignerTest,
                         testing::Combine(testing::Values(Format{2, 16, 44100}, Format{1, 8, 8000},
                                                          Format{2, 24, 192000}),
                                          testing::Values(1u, 7u, 480u, 4096u)));

TEST(InPlaceAligner, FullBypassLeavesTheBufferAsItIsAndRestartsTheDelay) {
  NoiseReducFilter filter;
  filter.SetFormat(Wave({2, 16, 44100}));
  InPlaceAligner aligner;
  const auto input = Noise(4 * 500, 5);
  auto data = input;
  aligner.Process(filter, data.data(), 500);
  EXPECT_EQ(data, input);
  EXPECT_EQ(aligner.DelayFrames(), 0u);

  filter.SetFullBypass(0);
  aligner.Process(filter, data.data(), 500);
  EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_GE(aligner.DelayFrames(), InPlaceAligner::kBufferingFrames);

  filter.SetFullBypass(1);
  data = input;
  aligner.Process(filter, data.data(), 500);
  EXPECT_EQ(data, input);
  EXPECT_EQ(aligner.DelayFrames(), 0u);
}

}  // namespace
}  // namespace veltane
