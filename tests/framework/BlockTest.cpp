// Blocks, ports, formats and the link operations.
#include <gtest/gtest.h>

#include "framework/Block.h"
#include "support/TestBlocks.h"

namespace veltane {
namespace {

using testing::ProbeBlock;
using Targets = std::vector<const InputPort*>;

class LinkTest : public ::testing::Test {
 protected:
  // Every link recorded on both ends, checked after each test.
  void TearDown() override {
    for (Block* block : all) {
      for (auto& out : block->outputs) {
        for (InputPort* target : out->targets) EXPECT_EQ(target->source, out.get()) << block->name;
      }
      for (auto& in : block->inputs) {
        EXPECT_TRUE(in->source == nullptr || in->source->HasTarget(in.get())) << block->name;
      }
    }
  }
  static Targets TargetsOf(Block& block) {
    return Targets(block.Output(0)->targets.begin(), block.Output(0)->targets.end());
  }

  ProbeBlock a{"A", 1, PortKind::Samples, 1, PortKind::Samples};
  ProbeBlock b{"B", 1, PortKind::Samples, 1, PortKind::Samples};
  ProbeBlock c{"C", 2, PortKind::Samples, 1, PortKind::Samples};
  ProbeBlock d{"D", 1, PortKind::Samples, 1, PortKind::Samples};
  ProbeBlock spectra{"S", 1, PortKind::Spectra, 1, PortKind::Spectra};
  std::vector<Block*> all{&a, &b, &c, &d, &spectra};
};

TEST_F(LinkTest, ConnectKeepsOneSourcePerInputAndTargetsInLinkOrder) {
  EXPECT_EQ(Connect(&a, 0, &c, 1), BlockStatus::Ok);
  EXPECT_EQ(Connect(&a, 0, &c, 1), BlockStatus::AlreadyLinked);
  EXPECT_EQ(Connect(&b, 0, &c, 0), BlockStatus::Ok);
  EXPECT_EQ(Connect(&a, 0, &b, 0), BlockStatus::Ok);
  EXPECT_EQ(Connect(&a, 0, &c, 0), BlockStatus::Ok);  // moves c's input 0 away from b
  {
    ProbeBlock gone("Gone", 1, PortKind::Samples, 1, PortKind::Samples);
    Connect(&a, 0, &gone, 0);
    Connect(&gone, 0, &d, 0);
  }  // destroying a block unlinks it on both sides
  EXPECT_EQ(TargetsOf(a), (Targets{c.Input(1), b.Input(0), c.Input(0)}));
  EXPECT_EQ(d.Input(0)->source, nullptr);
}

TEST_F(LinkTest, DisconnectAndExclusiveLeaveOnlyTheNamedTargets) {
  for (auto [block, input] : {std::pair{&b, 0}, {&c, 0}, {&d, 0}, {&c, 1}}) {
    Connect(&a, 0, block, static_cast<uint16_t>(input));
  }
  EXPECT_EQ(DisconnectOutputs(&a, &c), BlockStatus::Ok);
  EXPECT_EQ(TargetsOf(a), (Targets{b.Input(0), d.Input(0)}));
  Connect(&a, 0, &c, 1);
  c.Input(1)->format.SetSampleRate(48000.0f);
  ASSERT_EQ(Connect(&b, 0, &d, 0), BlockStatus::Ok);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(ConnectExclusive(&a, 0, &d, 0), BlockStatus::Ok);
  EXPECT_EQ(TargetsOf(a), Targets{d.Input(0)});
  EXPECT_EQ(b.Output(0)->TargetCount(), 0);  // d's old source let go of it
  for (InputPort* in : {b.Input(0), c.Input(0), c.Input(1)}) EXPECT_EQ(in->source, nullptr);
  EXPECT_TRUE(c.Input(1)->format.IsUnset());  // an unlinked input forgets its format
  EXPECT_EQ(DisconnectOutputs(&a, nullptr), BlockStatus::Ok);
  EXPECT_EQ(a.Output(0)->TargetCount(), 0);
}

TEST_F(LinkTest, FailuresChangeNothing) {
  Connect(&a, 0, &b, 0);
  Connect(&b, 0, &c, 0);
  EXPECT_EQ(Connect(&a, 0, &spectra, 0), BlockStatus::KindMismatch);
  EXPECT_EQ(ConnectExclusive(&a, 0, &spectra, 0), BlockStatus::KindMismatch);
  EXPECT_EQ(Connect(&a, 0, &a, 1), BlockStatus::NoSuchInput);
  EXPECT_EQ(Connect(&a, 1, &b, 0), BlockStatus::NoSuchOutput);
  EXPECT_EQ(ConnectExclusive(&a, 0, &c, 2), BlockStatus::NoSuchInput);
  EXPECT_EQ(a.Output(0)->RemoveTarget(c.Input(0)), BlockStatus::NotLinked);
  EXPECT_EQ(b.Input(0)->Detach(c.Output(0)), BlockStatus::NotLinked);
  EXPECT_FALSE(a.Output(0)->detaching);
  EXPECT_FALSE(b.Input(0)->detaching);
  EXPECT_EQ(TargetsOf(a), Targets{b.Input(0)});
  EXPECT_EQ(TargetsOf(b), Targets{c.Input(0)});
  EXPECT_EQ(spectra.Input(0)->source, nullptr);
}

TEST(StreamFormatTest, ChangeFlagsRiseOnlyOnRealChanges) {
  StreamFormat spectra(PortKind::Spectra);
  spectra.SetSampleRate(48000.0f);
  EXPECT_EQ(spectra.changeFlags, FormatChange::SampleRate);  // FormatUnset became an empty set
  spectra.changeFlags = 0;
  spectra.SetSampleRate(48000.0f);
  spectra.SetWindowLength(1024);
  EXPECT_EQ(spectra.changeFlags, 0x16);  // the same rate again raised nothing
  spectra.changeFlags = 0;
  spectra.SetHopSize(512);
  EXPECT_EQ(spectra.changeFlags, 0x32);
  spectra.SetChannels(2);
  spectra.SetFftSize(1024, 10);
  StreamFormat copy(PortKind::Spectra);
  EXPECT_EQ(copy.CopyFrom(&spectra), BlockStatus::Ok);
  EXPECT_EQ(copy.changeFlags, 0x01 | 0x02 | 0x08 | 0x16 | 0x32);
  EXPECT_EQ(copy.CopyFrom(&spectra), BlockStatus::Ok);
  EXPECT_EQ(copy.changeFlags, 0);
  const StreamFormat unset(PortKind::Spectra);
  EXPECT_EQ(copy.CopyFrom(&unset), BlockStatus::NotReady);
  EXPECT_TRUE(copy.IsUnset());
}

}  // namespace
}  // namespace veltane
