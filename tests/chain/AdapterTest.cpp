// The Adapter: PCM conversion, feeding and collecting whole chain buffers,
// latency, stream integrity and steady-state allocation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "chain/Adapter.h"
#include "framework/Through.h"
#include "support/AllocationCounter.h"
#include "support/TestBlocks.h"

namespace veltane {
namespace {

using testing::ProbeBlock;

int BytesOf(Adapter::SampleWidth width) {
  return width == Adapter::SampleWidth::Pcm16 ? 2 : width == Adapter::SampleWidth::Pcm24 ? 3 : 1;
}

uint32_t Transform(Adapter& adapter, Adapter::SampleWidth width, const uint8_t* in,
                   uint32_t frames, uint8_t* out, uint32_t room) {
  uint32_t produced = room;
  switch (width) {
    case Adapter::SampleWidth::Pcm16:
      adapter.TransformPcm16(in, frames, out, &produced);
      break;
    case Adapter::SampleWidth::Pcm24:
      adapter.TransformPcm24(in, frames, out, &produced);
      break;
    case Adapter::SampleWidth::Pcm8:
      adapter.TransformPcm8(in, frames, out, &produced);
      break;
  }
  return produced;
}

// What a transparent chain gives back: 24 and 8 bits unchanged, 16 bits one
// step toward zero (read with 1/32768, written with 32767 and truncated).
std::vector<uint8_t> ThroughTransparentChain(Adapter::SampleWidth width, std::vector<uint8_t> pcm) {
  if (width != Adapter::SampleWidth::Pcm16) return pcm;
  for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
    int16_t s;
    std::memcpy(&s, &pcm[i], 2);
    s = static_cast<int16_t>(s > 0 ? s - 1 : s < 0 ? s + 1 : 0);
    std::memcpy(&pcm[i], &s, 2);
  }
  return pcm;
}

struct AdapterWithThrough {
  AdapterWithThrough(uint16_t channels, float rate) {
    adapter.AttachChain(&through, 0, 0);
    adapter.SetHostRate(rate);
    adapter.SetHostChannels(channels);
  }
  Adapter adapter;
  Through through;
};

using StreamCase = std::tuple<Adapter::SampleWidth, uint16_t, uint32_t>;

class AdapterStream : public ::testing::TestWithParam<StreamCase> {};

// Whatever the host block size, the concatenated output is exactly the
// input (converted), delayed by nothing: frames delivered plus frames still
// inside always equal frames given.
TEST_P(AdapterStream, NothingLostNothingDuplicated) {
  const auto [width, channels, block] = GetParam();
  const size_t frameBytes = static_cast<size_t>(BytesOf(width)) * channels;
  AdapterWithThrough chain(channels, 44100.0f);
  std::mt19937 random(block);
  const uint32_t totalFrames = std::max<uint32_t>(6 * block, 20000);
  std::vector<uint8_t> input(totalFrames * frameBytes);
  for (auto& byte : input) byte = static_cast<uint8_t>(random());

  std::vector<uint8_t> output;
  // Room for a whole chain buffer even when the host block is smaller: the
  // Adapter hands back only whole buffers.
  std::vector<uint8_t> out(std::max<uint32_t>(block, Adapter::kChainFrames) * frameBytes);
  for (uint32_t at = 0; at < totalFrames; at += block) {
    const uint32_t frames = std::min(block, totalFrames - at);
    const uint32_t produced = Transform(chain.adapter, width, &input[at * frameBytes], frames,
                                        out.data(), static_cast<uint32_t>(out.size() / frameBytes));
    output.insert(output.end(), out.begin(), out.begin() + produced * frameBytes);
    ASSERT_LE(output.size(), (at + frames) * frameBytes);  // never ahead of the input
  }
  // Flush with silence until every input frame is out.
  std::vector<uint8_t> silence(4096 * frameBytes, width == Adapter::SampleWidth::Pcm8 ? 0x80 : 0);
  std::vector<uint8_t> room(4096 * frameBytes);
  for (int i = 0; i < 8 && output.size() < input.size(); ++i) {
    const uint32_t produced = Transform(chain.adapter, width, silence.data(), 4096, room.data(), 4096);
    output.insert(output.end(), room.begin(), room.begin() + produced * frameBytes);
  }
  ASSERT_GE(output.size(), input.size());
  output.resize(input.size());
  EXPECT_EQ(output, ThroughTransparentChain(width, input));
  EXPECT_EQ(chain.adapter.droppedFrames, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    WidthsChannelsBlocks, AdapterStream,
    ::testing::Combine(::testing::Values(Adapter::SampleWidth::Pcm8, Adapter::SampleWidth::Pcm16,
                                         Adapter::SampleWidth::Pcm24),
                       ::testing::Values<uint16_t>(1, 2),
                       ::testing::Values<uint32_t>(1, 333, 512, 1023, 1024, 1025, 4410, 10000)));

TEST(Adapter, WithoutAChainTheOutputIsTheInputByteForByte) {
  Adapter adapter;
  adapter.SetHostChannels(2);
  adapter.SetHostRate(48000.0f);
  std::vector<uint8_t> in(3 * 2 * 777), out(in.size(), 0xEE);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 13);
  uint32_t frames = 777;
  adapter.TransformPcm24(in.data(), 777, out.data(), &frames);
  EXPECT_EQ(frames, 777u);
  EXPECT_EQ(out, in);
}

TEST(Adapter, TheFirstCallsReturnFewerFramesWhileTheChainFills) {
  AdapterWithThrough chain(2, 44100.0f);
  std::vector<int16_t> in(2 * 512, 1000), out(2 * 512);
  uint32_t frames = 512;
  chain.adapter.TransformPcm16(in.data(), 512, out.data(), &frames);
  EXPECT_EQ(frames, 0u);
  frames = 512;
  chain.adapter.TransformPcm16(in.data(), 512, out.data(), &frames);
  EXPECT_EQ(frames, 0u);  // a whole chain buffer never fits 512 frames of room
}

TEST(Adapter, GrowsItsRingForLargeBlocksAndPushesAtMostWhatFits) {
  AdapterWithThrough chain(2, 44100.0f);
  std::vector<int16_t> in(2 * 4410, 7), out(2 * 4410);
  uint32_t frames = 4410;
  chain.adapter.TransformPcm16(in.data(), 4410, out.data(), &frames);
  EXPECT_EQ(chain.adapter.ring.Capacity(), 8u * 2 * 4410);
  EXPECT_EQ(frames, 4096u);
  EXPECT_EQ(chain.adapter.ring.Readable(), 628);

  AdapterWithThrough small(2, 44100.0f);
  frames = 512;
  small.adapter.TransformPcm16(in.data(), 512, out.data(), &frames);
  EXPECT_EQ(small.adapter.ring.Capacity(), 8u * 2 * 1024);
}

TEST(Adapter, AWaitingBufferIsCollectedWhenTheRoomIsExactlyOneBuffer) {
  AdapterWithThrough chain(1, 44100.0f);
  std::vector<int16_t> in(1024, 5), out(1024);
  uint32_t frames = 0;
  chain.adapter.TransformPcm16(in.data(), 1024, out.data(), &frames);  // no room yet
  EXPECT_EQ(frames, 0u);
  frames = 1024;
  chain.adapter.TransformPcm16(in.data(), 0, out.data(), &frames);
  EXPECT_EQ(frames, 1024u);
  EXPECT_EQ(out[0], 4);
}

TEST(Adapter, ANullOutputStillStoresAndRuns) {
  AdapterWithThrough chain(1, 44100.0f);
  std::vector<int16_t> in(1500, 9);
  uint32_t frames = 1500;
  chain.adapter.TransformPcm16(in.data(), 1500, nullptr, &frames);
  EXPECT_EQ(frames, 0u);
  EXPECT_EQ(chain.through.Input(0)->framesConsumed, 1024u);
  std::vector<int16_t> out(2048);
  frames = 2048;
  chain.adapter.TransformPcm16(in.data(), 0, out.data(), &frames);
  EXPECT_EQ(frames, 1024u);
}

TEST(Adapter, ACallerThatNeverTakesOutputCannotHangIt) {
  AdapterWithThrough chain(2, 44100.0f);
  std::vector<int16_t> in(2 * 1024, 3), out(2 * 1024);
  for (int i = 0; i < 40; ++i) {
    uint32_t frames = 0;  // an output area with no room
    chain.adapter.TransformPcm16(in.data(), 1024, out.data(), &frames);
    EXPECT_EQ(frames, 0u);
  }
  EXPECT_GT(chain.adapter.droppedFrames, 0u);
  EXPECT_EQ(chain.adapter.droppedFrames % 1024, 0u);
}

// A chain of one block that writes a fixed value into every sample and keeps
// a copy of what it was given.
struct ConstantChain {
  explicit ConstantChain(float out, uint16_t channels = 1) : value(out) {
    block.onInputsChanged = [](ProbeBlock& self) {
      self.Output(0)->format.CopyFrom(&self.Input(0)->format);
    };
    block.process = [this](ProbeBlock& self) {
      const size_t n = static_cast<size_t>(self.Input(0)->format.frames) * self.Input(0)->format.channels;
      seen.assign(self.Input(0)->ChannelData(0), self.Input(0)->ChannelData(0) + n);
      std::fill_n(self.Output(0)->ChannelData(0), n, value);
      return BlockStatus::Ok;
    };
    adapter.AttachChain(&block, 0, 0);
    adapter.SetHostRate(44100.0f);
    adapter.SetHostChannels(channels);
  }
  float value;
  std::vector<float> seen;
  ProbeBlock block{"Constant", 1, PortKind::Samples, 1, PortKind::Samples};
  Adapter adapter;
};

TEST(AdapterConversion, FullScaleFromTheChain) {
  struct Case {
    Adapter::SampleWidth width;
    float value;
    std::vector<uint8_t> bytes;
  };
  const std::vector<Case> cases = {
      {Adapter::SampleWidth::Pcm24, 1.0f, {0xFF, 0xFF, 0x7F}},
      {Adapter::SampleWidth::Pcm24, -1.0f, {0x00, 0x00, 0x80}},
      {Adapter::SampleWidth::Pcm24, 3.0f, {0xFF, 0xFF, 0x7F}},
      {Adapter::SampleWidth::Pcm16, 1.0f, {0xFF, 0x7F}},
      {Adapter::SampleWidth::Pcm16, -1.0f, {0x01, 0x80}},
      {Adapter::SampleWidth::Pcm8, 1.0f, {0xFF}},
      {Adapter::SampleWidth::Pcm8, -1.0f, {0x00}},
      {Adapter::SampleWidth::Pcm8, NAN, {0x80}},
      {Adapter::SampleWidth::Pcm16, NAN, {0x00, 0x00}},
  };
  for (const Case& c : cases) {
    ConstantChain chain(c.value);
    const size_t bytes = c.bytes.size();
    std::vector<uint8_t> in(1024 * bytes, bytes == 1 ? 0x80 : 0), out(1024 * bytes);
    EXPECT_EQ(Transform(chain.adapter, c.width, in.data(), 1024, out.data(), 1024), 1024u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + bytes), c.bytes) << c.value;
  }
}

TEST(AdapterConversion, PcmToFloat) {
  ConstantChain chain(0.0f);
  std::vector<uint8_t> bytes(1024, 0x80);
  bytes[0] = 0x80;
  bytes[1] = 0x00;
  bytes[2] = 0xFF;
  std::vector<uint8_t> out(1024);
  Transform(chain.adapter, Adapter::SampleWidth::Pcm8, bytes.data(), 1024, out.data(), 1024);
  ASSERT_EQ(chain.seen.size(), 1024u);
  EXPECT_EQ(chain.seen[0], 0.0f);
  EXPECT_EQ(chain.seen[1], -1.0f);
  EXPECT_EQ(chain.seen[2], 127.0f / 128.0f);

  ConstantChain wide(0.0f);
  std::vector<uint8_t> pcm24(3 * 1024, 0);
  pcm24[0] = 0x00, pcm24[1] = 0x00, pcm24[2] = 0x80;  // -2^23
  pcm24[3] = 0x01, pcm24[4] = 0x00, pcm24[5] = 0x00;  // 1
  std::vector<uint8_t> out24(3 * 1024);
  Transform(wide.adapter, Adapter::SampleWidth::Pcm24, pcm24.data(), 1024, out24.data(), 1024);
  EXPECT_EQ(wide.seen[0], -1.0f);
  EXPECT_EQ(wide.seen[1], std::ldexp(1.0f, -23));
}

TEST(Adapter, NoHeapAllocationOnceWarm) {
  AdapterWithThrough chain(2, 44100.0f);
  std::vector<int16_t> in(2 * 4410), out(2 * 8192);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int16_t>(i * 31);
  auto call = [&](uint32_t frames) {
    uint32_t produced = 8192;
    chain.adapter.TransformPcm16(in.data(), frames, out.data(), &produced);
  };
  for (int i = 0; i < 20; ++i) call(4410);
  testing::StartCountingAllocations();
  for (int i = 0; i < 1000; ++i) call(i % 3 == 0 ? 4410 : 1 + (i * 37) % 4000);
  EXPECT_EQ(testing::StopCountingAllocations(), 0);
}

}  // namespace
}  // namespace veltane
