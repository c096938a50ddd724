// The processing pass: Run, Trigger, busy checks, format updates, resets.
#include <gtest/gtest.h>

#include <numeric>

#include "framework/Block.h"
#include "framework/ResourcePool.h"
#include "framework/Through.h"
#include "support/TestBlocks.h"

namespace veltane {
namespace {

using testing::CollectBlock;
using testing::FeedBlock;
using testing::ProbeBlock;

std::vector<float> Ramp(size_t count, float start = 1.0f) {
  std::vector<float> values(count);
  std::iota(values.begin(), values.end(), start);
  return values;
}

TEST(ProcessingPass, FeedThroughCollectDeliversEveryBufferWithItsFormat) {
  FeedBlock feed(2, 1024, 44100.0f);
  Through through;
  CollectBlock collect;
  Connect(&feed, 0, &through, 0);
  Connect(&through, 0, &collect, 0);
  const auto first = Ramp(2048);
  const auto second = Ramp(2048, 5000.0f);
  feed.Queue(first);
  feed.Queue(second);
  EXPECT_EQ(feed.Run(), BlockStatus::Ok);
  EXPECT_EQ(through.Output(0)->format.frames, 1024u);
  EXPECT_EQ(through.Output(0)->format.channels, 2);
  EXPECT_EQ(through.Output(0)->format.sampleRate, 44100.0f);
  EXPECT_EQ(feed.Run(), BlockStatus::Ok);
  EXPECT_EQ(feed.Run(), BlockStatus::NotReady);  // queue empty: nothing published
  EXPECT_EQ(feed.Output(0)->buffer, nullptr);
  std::vector<float> expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(collect.samples, expected);
  EXPECT_EQ(collect.Input(0)->framesConsumed, 2048u);
  EXPECT_EQ(through.Output(0)->framesProduced, 2048u);
}

TEST(ProcessingPass, AnUnlinkedInputDoesNotHoldABlockBack) {
  FeedBlock feed(1, 16, 8000.0f);
  ProbeBlock merge("Merge", 2, PortKind::Samples, 0, PortKind::Samples);
  BlockStatus unlinked = BlockStatus::Ok;
  merge.process = [&](ProbeBlock& self) {
    SampleBuffer* buffer = nullptr;
    unlinked = self.Input(1)->GetBuffer(&buffer);
    return BlockStatus::Ok;
  };
  Connect(&feed, 0, &merge, 0);
  feed.Queue(Ramp(16));
  feed.Run();
  EXPECT_EQ(merge.passes, 1);
  EXPECT_EQ(unlinked, BlockStatus::InputUnlinked);
  EXPECT_EQ(merge.Input(1)->ChannelData(0), nullptr);
}

TEST(ProcessingPass, SharedOutputWaitsForEveryTargetWhileStillTriggeringThem) {
  FeedBlock feed(1, 64, 8000.0f);
  CollectBlock quick("Quick");
  CollectBlock slow("Slow");
  Connect(&feed, 0, &quick, 0);
  Connect(&feed, 0, &slow, 0);
  slow.holding = true;
  feed.Queue(Ramp(64));
  feed.Queue(Ramp(64, 100.0f));
  ASSERT_EQ(feed.Run(), BlockStatus::Ok);
  SampleBuffer* held = feed.Output(0)->buffer;
  ASSERT_NE(held, nullptr);
  EXPECT_TRUE(held->inUse);
  EXPECT_EQ(quick.buffers, 1);

  const int slowPasses = slow.passes;
  EXPECT_EQ(feed.Run(), BlockStatus::Busy);
  EXPECT_EQ(feed.Pending(), 1u);  // nothing new was published
  EXPECT_EQ(feed.Output(0)->buffer, held);
  EXPECT_GT(slow.passes, slowPasses);  // downstream was still visited

  slow.holding = false;
  slow.Run();  // the last target takes it: the buffer goes back to the pool
  EXPECT_FALSE(held->inUse);
  EXPECT_FALSE(feed.Output(0)->ready);
  EXPECT_EQ(feed.Run(), BlockStatus::Ok);
  EXPECT_EQ(quick.buffers, 2);
  EXPECT_EQ(slow.buffers, 2);
  EXPECT_EQ(slow.samples, quick.samples);
}

TEST(ProcessingPass, ACycleNeitherTriggersNorResetsForever) {
  ProbeBlock a("A", 1, PortKind::Samples, 1, PortKind::Samples);
  ProbeBlock b("B", 1, PortKind::Samples, 1, PortKind::Samples);
  Connect(&a, 0, &b, 0);
  Connect(&b, 0, &a, 0);
  // Each waits for the other, so nothing runs; the point is that the
  // notification comes back to A and stops there.
  EXPECT_EQ(a.Run(), BlockStatus::Busy);
  a.RequestReset();
  a.Run();
  EXPECT_EQ(a.resets, 1);
  EXPECT_EQ(b.resets, 1);
}

TEST(ProcessingPass, ProducedOnlyPresentsTheSameInputAgain) {
  FeedBlock feed(1, 4, 8000.0f);
  ProbeBlock twice("Twice", 1, PortKind::Samples, 1, PortKind::Samples);
  CollectBlock collect;
  Connect(&feed, 0, &twice, 0);
  Connect(&twice, 0, &collect, 0);
  std::vector<float> seen;
  twice.onInputsChanged = [](ProbeBlock& self) {
    self.Output(0)->format.CopyFrom(&self.Input(0)->format);
  };
  twice.process = [&](ProbeBlock& self) {
    seen.push_back(self.Input(0)->ChannelData(0)[0]);
    self.CopyInputToOutput(0, 0);
    return self.passes % 2 == 1 ? BlockStatus::ProducedOnly : BlockStatus::Ok;
  };
  feed.Queue({1, 2, 3, 4});
  feed.Queue({5, 6, 7, 8});
  feed.Run();  // twice produces once from the first buffer and keeps it
  twice.Run();  // ... and once more from the same buffer
  feed.Run();
  twice.Run();
  EXPECT_EQ(seen, (std::vector<float>{1, 1, 5, 5}));
  EXPECT_EQ(collect.samples, (std::vector<float>{1, 2, 3, 4, 1, 2, 3, 4, 5, 6, 7, 8, 5, 6, 7, 8}));
}

TEST(ProcessingPass, NotReadyPublishesNothing) {
  ProbeBlock block("Lazy", 0, PortKind::Samples, 1, PortKind::Samples);
  block.Output(0)->format.SetChannels(1);
  block.Output(0)->format.SetFrames(8);
  block.process = [](ProbeBlock&) { return BlockStatus::NotReady; };
  EXPECT_EQ(block.Run(), BlockStatus::NotReady);
  EXPECT_EQ(block.Output(0)->buffer, nullptr);
  EXPECT_FALSE(block.Output(0)->ready);
}

TEST(ProcessingPass, ResetSweepsEveryBlockDownstreamOnce) {
  FeedBlock feed(1, 32, 16000.0f);
  ProbeBlock split("Split", 1, PortKind::Samples, 2, PortKind::Samples);
  ProbeBlock upper("Upper", 1, PortKind::Samples, 1, PortKind::Samples);
  ProbeBlock lower("Lower", 1, PortKind::Samples, 1, PortKind::Samples);
  ProbeBlock merge("Merge", 2, PortKind::Samples, 1, PortKind::Samples);
  CollectBlock sink;
  std::vector<ProbeBlock*> copiers{&split, &upper, &lower, &merge};
  for (ProbeBlock* block : copiers) {
    block->onInputsChanged = [](ProbeBlock& self) {
      for (uint16_t o = 0; o < self.outputCount; ++o) {
        self.Output(o)->format.CopyFrom(&self.Input(0)->format);
      }
    };
  }
  Connect(&feed, 0, &split, 0);
  Connect(&split, 0, &upper, 0);
  Connect(&split, 1, &lower, 0);
  Connect(&upper, 0, &merge, 0);
  Connect(&lower, 0, &merge, 1);
  Connect(&merge, 0, &sink, 0);
  for (int i = 0; i < 3; ++i) {
    feed.Queue(Ramp(32));
    feed.Run();
  }
  ASSERT_GT(sink.Input(0)->framesConsumed, 0u);

  split.RequestReset();
  split.Run();  // nothing fresh arrives: only the reset happens
  for (ProbeBlock* block : {&split, &upper, &lower, &merge}) {
    EXPECT_EQ(block->resets, 1) << block->name;
    for (auto& output : block->outputs) {
      EXPECT_EQ(output->buffer, nullptr) << block->name;
      EXPECT_EQ(output->framesProduced, 0u) << block->name;
    }
  }
  EXPECT_EQ(sink.resets, 1);
  for (Block* block : std::vector<Block*>{&upper, &lower, &merge, &sink}) {
    for (auto& input : block->inputs) {
      EXPECT_TRUE(input->format.IsUnset()) << block->name;
      EXPECT_EQ(input->framesConsumed, 0u) << block->name;
      EXPECT_FALSE(input->consumed) << block->name;
    }
  }
}

TEST(ProcessingPass, FormatChangeReachesTheBlockAndItsParentOnce) {
  FeedBlock feed(1, 64, 44100.0f);
  ProbeBlock parent("Parent", 0, PortKind::Samples, 0, PortKind::Samples);
  CollectBlock child;
  child.parent = &parent;
  Connect(&feed, 0, &child, 0);
  feed.Queue(Ramp(64));
  feed.Run();
  const int childChanges = child.inputChanges;
  const int parentChanges = parent.inputChanges;
  EXPECT_GE(childChanges, 1);
  EXPECT_EQ(parentChanges, childChanges);

  feed.Output(0)->format.SetSampleRate(96000.0f);
  feed.Queue(Ramp(64));
  feed.Run();
  EXPECT_EQ(child.inputChanges, childChanges + 1);
  EXPECT_EQ(parent.inputChanges, parentChanges + 1);
  EXPECT_EQ(child.Input(0)->format.sampleRate, 96000.0f);
  feed.Queue(Ramp(64));
  feed.Run();
  EXPECT_EQ(child.inputChanges, childChanges + 1);
  EXPECT_EQ(parent.inputChanges, parentChanges + 1);
}

TEST(ProcessingPass, ChangedOutputFormatDropsTheOldBuffer) {
  FeedBlock feed(1, 64, 8000.0f);
  CollectBlock slow;
  slow.holding = true;
  Connect(&feed, 0, &slow, 0);
  feed.Queue(Ramp(64));
  feed.Run();
  SampleBuffer* old = feed.Output(0)->buffer;
  ASSERT_TRUE(feed.Output(0)->ready);
  feed.Output(0)->format.SetFrames(4096);  // changed outside a pass
  EXPECT_FALSE(feed.Output(0)->IsBusy());
  EXPECT_FALSE(old->inUse);
  EXPECT_EQ(feed.Output(0)->buffer, nullptr);
}

}  // namespace
}  // namespace veltane
