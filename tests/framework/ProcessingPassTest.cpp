// The processing pass: Run, Trigger, busy checks, format updates, resets.
#include <gtest/gtest.h>

#include "framework/Block.h"
#include "framework/ResourcePool.h"
#include "support/TestBlocks.h"

namespace veltane {
namespace {

using testing::CollectBlock;
using testing::FeedBlock;
using testing::ProbeBlock;

TEST(ProcessingPass, ASharedOutputWaitsForEveryTargetWhileStillTriggeringThem) {
  FeedBlock feed(1, 64, 8000.0f);
  CollectBlock quick("Quick"), slow("Slow");
  Connect(&feed, 0, &quick, 0);
  Connect(&feed, 0, &slow, 0);
  slow.holding = true;
  for (float value : {1.0f, 2.0f, 3.0f}) feed.Queue(std::vector<float>(64, value));
  ASSERT_EQ(feed.Run(), BlockStatus::Ok);
  SampleBuffer* held = feed.Output(0)->buffer;
  ASSERT_TRUE(held != nullptr && held->inUse);
  EXPECT_EQ(quick.buffers, 1);
  const int slowPasses = slow.passes;
  EXPECT_EQ(feed.Run(), BlockStatus::Busy);
  EXPECT_EQ(feed.Pending(), 2u);  // nothing new was published
  EXPECT_EQ(feed.Output(0)->buffer, held);
  EXPECT_GT(slow.passes, slowPasses);  // downstream was still visited

  slow.holding = false;
  slow.Run();  // the last target takes it: the buffer goes back to the pool
  EXPECT_FALSE(held->inUse);
  EXPECT_FALSE(feed.Output(0)->ready);
  EXPECT_EQ(feed.Run(), BlockStatus::Ok);
  EXPECT_EQ(slow.buffers, 2);
  EXPECT_EQ(slow.samples, quick.samples);

}

TEST(ProcessingPass, ACycleNeitherTriggersNorResetsForever) {
  ProbeBlock a("A", 1, PortKind::Samples, 1, PortKind::Samples);
  ProbeBlock b("B", 1, PortKind::Samples, 1, PortKind::Samples);
  Connect(&a, 0, &b, 0);
  Connect(&b, 0, &a, 0);
  EXPECT_EQ(a.Run(), BlockStatus::Busy);  // each waits for the other; nothing loops
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
  twice.onInputsChanged = testing::CopyInputFormat;
  twice.process = [](ProbeBlock& self) {
    self.CopyInputToOutput(0, 0);
    return self.passes % 2 == 1 ? BlockStatus::ProducedOnly : BlockStatus::Ok;
  };
  feed.Queue({1, 2, 3, 4});
  feed.Queue({5, 6, 7, 8});
  feed.Run();  // twice produces once from the first buffer and keeps it
  twice.Run();  // ... and once more from the same buffer
  feed.Run();
  twice.Run();
  EXPECT_EQ(collect.samples, (std::vector<float>{1, 2, 3, 4, 1, 2, 3, 4, 5, 6, 7, 8, 5, 6, 7, 8}));
}

TEST(ProcessingPass, AResetSweepsEveryBlockDownstreamOnce) {
  FeedBlock feed(1, 32, 16000.0f);
  ProbeBlock split("Split", 1, PortKind::Samples, 2, PortKind::Samples);
  ProbeBlock merge("Merge", 2, PortKind::Samples, 1, PortKind::Samples);  // reached twice
  CollectBlock sink;
  split.onInputsChanged = merge.onInputsChanged = testing::CopyInputFormat;
  Connect(&feed, 0, &split, 0);
  Connect(&split, 0, &merge, 0);
  Connect(&split, 1, &merge, 1);
  Connect(&merge, 0, &sink, 0);
  for (int i = 0; i < 3; ++i) {
    feed.Queue(std::vector<float>(32, 1.0f));
    feed.Run();
  }
  ASSERT_GT(sink.Input(0)->framesConsumed, 0u);

  split.RequestReset();
  split.Run();  // nothing fresh arrives: only the reset happens
  for (ProbeBlock* block : std::vector<ProbeBlock*>{&split, &merge, &sink}) {
    EXPECT_EQ(block->resets, 1) << block->name;
    for (auto& output : block->outputs) {
      EXPECT_EQ(output->buffer, nullptr) << block->name;
      EXPECT_EQ(output->framesProduced, 0u) << block->name;
    }
    for (auto& input : block->inputs) {
      if (block == &split) break;  // upstream of the reset
      EXPECT_TRUE(input->format.IsUnset()) << block->name;
      EXPECT_EQ(input->framesConsumed, 0u) << block->name;
      EXPECT_FALSE(input->consumed) << block->name;
    }
  }
}

TEST(ProcessingPass, AFormatChangeReachesTheBlockAndItsParentOnce) {
  FeedBlock feed(1, 64, 44100.0f);
  ProbeBlock parent("Parent", 0, PortKind::Samples, 0, PortKind::Samples);
  CollectBlock child;
  child.parent = &parent;
  Connect(&feed, 0, &child, 0);
  std::vector<int> changes;
  for (float rate : {44100.0f, 96000.0f, 96000.0f}) {
    feed.Output(0)->format.SetSampleRate(rate);
    feed.Queue(std::vector<float>(64, 1.0f));
    feed.Run();
    changes.push_back(child.inputChanges);
    EXPECT_EQ(parent.inputChanges, child.inputChanges);
  }
  EXPECT_GE(changes[0], 1);
  EXPECT_EQ(changes[1], changes[0] + 1);
  EXPECT_EQ(changes[2], changes[1]);
}

}  // namespace
}  // namespace veltane
