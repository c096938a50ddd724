// The Adapter: PCM conversion, feeding and collecting whole chain buffers,
// latency, stream integrity and steady-state allocation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <tuple>
#include <vector>

#include "chain/Adapter.h"
#include "framework/Through.h"
#include "support/AllocationCounter.h"
#include "support/KernelLevels.h"
#include "support/TestBlocks.h"

namespace veltane {
namespace {

// The Adapter's entry point for `bytes` per sample; returns the frames written.
uint32_t Transform(Adapter& adapter, int bytes, const void* in, uint32_t frames, void* out,
                   uint32_t room) {
  switch (bytes) {
    case 1: adapter.TransformPcm8(in, frames, out, &room); break;
    case 2: adapter.TransformPcm16(in, frames, out, &room); break;
    default: adapter.TransformPcm24(in, frames, out, &room); break;
  }
  return room;
}

// Bytes per sample, channels, host block frames, whether "Through" is attached.
class AdapterStream : public ::testing::TestWithParam<std::tuple<int, uint16_t, uint32_t, bool>> {};

// Whatever the host block the output follows the input, never ahead, nothing
// lost or repeated, nothing allocated once warm. Through "Through" 8 and 24
// bits come back bit-exact, 16 bits one step toward zero (read with 1/32768,
// written with 32767, truncated); without a chain, byte for byte.
TEST_P(AdapterStream, NothingLostNothingDuplicatedNothingAllocated) {
  const auto [bytes, channels, block, chained] = GetParam();
  const size_t frameBytes = static_cast<size_t>(bytes) * channels;
  Through through;
  Adapter adapter;
  adapter.AttachChain(chained ? &through : nullptr, 0, 0);
  adapter.SetHostRate(44100.0f);
  adapter.SetHostChannels(channels);
  std::vector<uint8_t> input(std::max<uint32_t>(6 * block, 20000) * frameBytes), output;
  std::generate(input.begin(), input.end(), std::mt19937(block));
  std::vector<uint8_t> stream = input;
  stream.resize(input.size() + 8192 * frameBytes, bytes == 1 ? 0x80 : 0);
  // Room for a whole chain buffer even when the host block is smaller.
  std::vector<uint8_t> out(std::max<uint32_t>(block, Adapter::kChainFrames) * frameBytes);
  const size_t room = out.size() / frameBytes, step = block * frameBytes;
  output.reserve(stream.size());
  for (size_t at = 0; at < stream.size(); at += step) {
    if (at / step == stream.size() / step / 2) testing::StartCountingAllocations();
    const size_t in = std::min(step, stream.size() - at);
    const uint32_t got = Transform(adapter, bytes, &stream[at], in / frameBytes, out.data(), room);
    output.insert(output.end(), out.begin(), out.begin() + got * frameBytes);
    ASSERT_LE(output.size(), at + in);
  }
  EXPECT_EQ(testing::StopCountingAllocations(), 0);
  ASSERT_GE(output.size(), input.size());
  output.resize(input.size());
  for (size_t i = 0; chained && bytes == 2 && i < input.size(); i += 2) {
    const int s = static_cast<int16_t>(input[i] | input[i + 1] << 8), t = s - (s > 0) + (s < 0);
    input[i] = static_cast<uint8_t>(t), input[i + 1] = static_cast<uint8_t>(t >> 8);
  }
  EXPECT_EQ(output, input);
}

INSTANTIATE_TEST_SUITE_P(
    WidthsChannelsBlocks, AdapterStream,
    ::testing::Combine(::testing::Values(1, 2, 3), ::testing::Values<uint16_t>(1, 2),
                       ::testing::Values<uint32_t>(1, 333, 512, 1023, 1024, 1025, 4410, 10000),
                       ::testing::Bool()));

// Rounding 16-bit output (the modern engine's way): through "Through" every
// sample comes back as it was, the extremes included, at every kernel level.
TEST(Adapter, RoundedSixteenBitsComeBackExactly) {
  testing::ForEachKernelLevel([](KernelLevel) {
    Through through;
    Adapter adapter;
    adapter.AttachChain(&through, 0, 0);
    adapter.SetHostRate(44100.0f);
    adapter.SetHostChannels(2);
    adapter.roundPcm16 = true;
    std::vector<int16_t> input(2 * 20000);
    std::generate(input.begin(), input.end(), std::mt19937(7));
    input[0] = -32768, input[1] = 32767, input[2] = -1, input[3] = 1;
    std::vector<int16_t> stream = input, output, out(2 * Adapter::kChainFrames);
    stream.resize(input.size() + 2 * 8192, 0);
    for (size_t at = 0; at < stream.size(); at += 2 * 1000) {
      const uint32_t frames = static_cast<uint32_t>(std::min<size_t>(2 * 1000, stream.size() - at) / 2);
      const uint32_t got = Transform(adapter, 2, &stream[at], frames, out.data(), Adapter::kChainFrames);
      output.insert(output.end(), out.begin(), out.begin() + 2 * got);
    }
    ASSERT_GE(output.size(), input.size());
    output.resize(input.size());
    EXPECT_EQ(output, input);
  });
}

// A chain writing a constant: full scale, truncation, clamping, NaN as
// silence (reading follows from the round trips above), and when whole
// buffers come back; the conversions of every kernel level.
TEST(Adapter, WritesPcmAtFullScaleInWholeChainBuffersOnly) {
  const std::vector<std::tuple<int, float, std::vector<uint8_t>>> cases = {
      {1, 1.0f, {0xFF}},       {1, -1.0f, {0x00}},       {1, NAN, {0x80}},
      {1, 0.5f, {0xC0}},       {1, -INFINITY, {0x00}},
      {2, 1.0f, {0xFF, 0x7F}}, {2, -1.0f, {0x01, 0x80}}, {2, NAN, {0x00, 0x00}},
      {2, 0.5f, {0xFF, 0x3F}}, {2, -0.5f, {0x01, 0xC0}}, {2, INFINITY, {0xFF, 0x7F}},
      {3, 3.0f, {0xFF, 0xFF, 0x7F}}, {3, -1.0f, {0x00, 0x00, 0x80}}, {3, 0.5f, {0x00, 0x00, 0x40}},
      {3, -INFINITY, {0x00, 0x00, 0x80}}, {3, NAN, {0x00, 0x00, 0x00}}};
  testing::ForEachKernelLevel([&](KernelLevel) {
    for (const auto& [bytes, value, expected] : cases) {
      testing::ProbeBlock chain("Constant", 1, PortKind::Samples, 1, PortKind::Samples);
      chain.onInputsChanged = testing::CopyInputFormat;
      chain.process = [value](testing::ProbeBlock& self) {
        std::fill_n(self.Output(0)->ChannelData(0), Adapter::kChainFrames, value);
        return BlockStatus::Ok;
      };
      Adapter adapter;
      adapter.AttachChain(&chain, 0, 0);
      adapter.SetHostRate(44100.0f);
      adapter.SetHostChannels(1);
      std::vector<uint8_t> in(1024 * bytes), out(1024 * bytes);
      EXPECT_EQ(Transform(adapter, bytes, in.data(), 512, out.data(), 1024), 0u);  // it fills
      EXPECT_EQ(Transform(adapter, bytes, in.data(), 1024, nullptr, 1024), 0u);  // runs anyway
      EXPECT_EQ(Transform(adapter, bytes, in.data(), 0, out.data(), 1023), 0u);  // too small
      EXPECT_EQ(Transform(adapter, bytes, in.data(), 0, out.data(), 1024), 1024u);
      for (size_t at = 0; at < out.size(); at += bytes) {
        ASSERT_EQ(std::vector<uint8_t>(out.begin() + at, out.begin() + at + bytes), expected)
            << value << " at sample " << at / bytes;
      }
      // A caller that never takes output cannot hang it.
      for (int i = 0; i < 40; ++i) Transform(adapter, bytes, in.data(), 1024, out.data(), 0);
      EXPECT_GT(adapter.droppedFrames, 0u);
      EXPECT_EQ(adapter.droppedFrames % 1024, 0u);
    }
  });
}

}  // namespace
}  // namespace veltane
