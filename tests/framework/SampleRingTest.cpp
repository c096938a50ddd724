// The sample ring, its cursors and the port transfers in and out of it.
#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "framework/Block.h"
#include "framework/SampleRing.h"
#include "support/TestBlocks.h"

namespace veltane {
namespace {

using testing::CollectBlock;
using testing::FeedBlock;
using testing::ProbeBlock;

TEST(SampleRing, RegionsWrapAndCountsFollowTheCursors) {
  SampleRing ring;
  ring.Resize(1, 8);
  ring.AdvanceWriter(6);
  ring.AdvanceReader(4);
  const RingRegion region = ring.WriteRegion(5);
  EXPECT_EQ(region.firstCount, 2u);
  EXPECT_EQ(region.first, ring.ChannelArray() + 6);
  EXPECT_EQ(region.secondCount, 3u);
  EXPECT_EQ(region.second, ring.ChannelArray());
  EXPECT_EQ(ring.Readable(), 2);
  EXPECT_EQ(ring.Writable(), 6);
  EXPECT_EQ(ring.Headroom(), 6);
}

TEST(SampleRing, ReaderStepsBackAcrossTheStart) {
  SampleRing ring;
  ring.Resize(1, 8);
  ring.AdvanceReader(1);
  ring.AdvanceReader(-3);
  EXPECT_EQ(ring.reader.position, 6);
  EXPECT_EQ(ring.reader.total, -2);
  ring.AdvanceWriter(8 * 5 + 3);  // any distance lands in range
  EXPECT_EQ(ring.writer.position, 3);
}

TEST(SampleRing, HistoryKeepsTheWriterBehindTheReader) {
  SampleRing ring;
  ring.Resize(1, 16);
  ring.reader.history = 4;
  ring.AdvanceWriter(10);
  ring.AdvanceReader(10);
  EXPECT_EQ(ring.Writable(), 16 - 4);  // the writer may reach total 10 - 4 + 16
  EXPECT_EQ(ring.Headroom(), 16);
  ring.AdvanceWriter(ring.Writable());
  EXPECT_EQ(ring.writer.total, 10 - 4 + 16);
  EXPECT_EQ(ring.Writable(), 0);
}

TEST(SampleRing, ResizeWithinTheAllocationKeepsEverything) {
  SampleRing ring;
  ring.Resize(2, 8192);
  ring.SelectChannel(1);
  const float values[3] = {1.5f, -2.5f, 3.5f};
  ring.Write(values, 3, 1, nullptr);
  ring.AdvanceWriter(3);
  ring.Resize(2, 4096);
  EXPECT_EQ(ring.Capacity(), 8192u);
  EXPECT_EQ(ring.Readable(), 3);
  float out[3] = {};
  ring.SelectChannel(1);
  ring.Read(out, 3, 1, nullptr);
  EXPECT_EQ(out[1], -2.5f);
  ring.Resize(3, 8192);  // growing reallocates and clears
  EXPECT_EQ(ring.Readable(), 0);
  ring.SelectChannel(1);
  EXPECT_EQ(ring.ChannelArray()[1], 0.0f);
}

TEST(SampleRing, ReadAndWriteUseStridesWindowsAndBothPieces) {
  SampleRing ring;
  ring.Resize(1, 8);
  ring.AdvanceWriter(6);
  ring.AdvanceReader(6);
  const float interleaved[10] = {1, -1, 2, -2, 3, -3, 4, -4, 5, -5};
  const float window[5] = {1.0f, 0.5f, 2.0f, 1.0f, 0.25f};
  ring.Write(interleaved + 1, 5, 2, window);  // the second channel, weighted
  ring.AdvanceWriter(5);
  float out[10] = {};
  ring.Read(out, 5, 2, nullptr);
  EXPECT_EQ(std::vector<float>(out, out + 10),
            (std::vector<float>{-1, 0, -1, 0, -6, 0, -4, 0, -1.25f, 0}));
  ring.ZeroAhead(5);
  ring.Read(out, 5, 1, nullptr);
  EXPECT_EQ(std::vector<float>(out, out + 5), std::vector<float>(5, 0.0f));
}

TEST(SampleRing, AccumulateRoundsOnceFromExtendedPrecision) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  SampleRing ring;
  ring.Resize(1, 4096);
  std::vector<float> start(4096), source(4096), window(4096);
  for (size_t i = 0; i < start.size(); ++i) {
    start[i] = value(random);
    source[i] = value(random) * 1e-3f;
    window[i] = value(random);
  }
  ring.Write(start.data(), 4096, 1, nullptr);
  ring.Accumulate(source.data(), 4096, 1, window.data());
  float out[4096];
  ring.Read(out, 4096, 1, nullptr);
  for (size_t i = 0; i < start.size(); ++i) {
    const auto expected = static_cast<float>(static_cast<double>(start[i]) +
                                             static_cast<double>(source[i]) * window[i]);
    ASSERT_EQ(out[i], expected) << i;
  }
}

TEST(SampleRing, ClearZeroesAndRewindsButKeepsHistory) {
  SampleRing ring;
  ring.Resize(1, 4);
  ring.reader.history = 2;
  const float ones[4] = {1, 1, 1, 1};
  ring.Write(ones, 4, 1, nullptr);
  ring.AdvanceWriter(3);
  ring.Clear();
  EXPECT_EQ(ring.writer.total, 0);
  EXPECT_EQ(ring.reader.history, 2);
  EXPECT_EQ(ring.ChannelArray()[2], 0.0f);
}

// A block that moves its input into a ring, per channel or interleaved.
class RingBlockTest : public ::testing::TestWithParam<bool> {};

TEST_P(RingBlockTest, PullToRingTakesWholeBuffersOnly) {
  const bool perChannel = GetParam();
  FeedBlock feed(2, 1024, 44100.0f);
  ProbeBlock sink("Sink", 1, PortKind::Samples, 0, PortKind::Samples);
  SampleRing ring;
  ring.Resize(perChannel ? 2 : 1, perChannel ? 1536 : 3072);
  uint32_t taken = 0;
  sink.process = [&](ProbeBlock& self) {
    taken = self.Input(0)->PullToRing(ring, perChannel);
    return BlockStatus::SelfMarked;
  };
  Connect(&feed, 0, &sink, 0);
  std::vector<float> frames(2048);
  std::iota(frames.begin(), frames.end(), 0.0f);
  feed.Queue(frames);
  feed.Queue(frames);
  feed.Run();
  EXPECT_EQ(taken, 2048u);
  EXPECT_EQ(ring.writer.total, perChannel ? 1024 : 2048);
  EXPECT_FALSE(feed.Output(0)->ready);  // its only target took it: retired
  ring.SelectChannel(perChannel ? 1 : 0);
  float first[2];
  ring.Read(first, 2, 1, nullptr);
  if (perChannel) {
    EXPECT_EQ(first[0], 1.0f);  // channel 1 of frames 0 and 1
    EXPECT_EQ(first[1], 3.0f);
  } else {
    EXPECT_EQ(first[1], 1.0f);  // the interleaved order stays
  }

  feed.Run();  // the second buffer does not fit and stays untaken
  EXPECT_EQ(taken, 0u);
  EXPECT_TRUE(feed.Output(0)->ready);
  EXPECT_FALSE(sink.Input(0)->consumed);
  EXPECT_EQ(ring.writer.total, perChannel ? 1024 : 2048);
}

TEST_P(RingBlockTest, FillFromRingGivesWholeBuffersOnly) {
  const bool perChannel = GetParam();
  FeedBlock source(2, 256, 8000.0f);
  CollectBlock collect;
  Connect(&source, 0, &collect, 0);
  SampleRing ring;
  ring.Resize(perChannel ? 2 : 1, 1024);
  std::vector<float> values(512);
  std::iota(values.begin(), values.end(), 0.0f);
  for (uint16_t c = 0; c < ring.Channels(); ++c) {
    ring.SelectChannel(c);
    ring.Write(values.data(), 511, 1, nullptr);
  }
  ring.AdvanceWriter(perChannel ? 255 : 511);  // one sample short of a buffer
  ring.SelectChannel(0);
  source.UpdateFormats();  // settles the format set at construction
  OutputPort* out = source.Output(0);
  out->AcquireBuffer();
  EXPECT_EQ(out->FillFromRing(ring, perChannel), 0u);
  EXPECT_FALSE(out->ready);
  ring.AdvanceWriter(1);
  EXPECT_EQ(out->FillFromRing(ring, perChannel), 512u);
  EXPECT_TRUE(out->ready);
  EXPECT_EQ(out->ChannelData(0)[1], perChannel ? 0.0f : 1.0f);
  EXPECT_EQ(out->FillFromRing(ring, perChannel), 0u);  // busy until taken
}

INSTANTIATE_TEST_SUITE_P(Layouts, RingBlockTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PerChannel" : "Interleaved"; });

}  // namespace
}  // namespace veltane
