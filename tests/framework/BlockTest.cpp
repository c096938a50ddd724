// Blocks, ports, formats and the link operations.
#include <gtest/gtest.h>

#include <string>

#include "framework/Block.h"
#include "support/TestBlocks.h"

namespace veltane {
namespace {

using testing::LinksAreSymmetric;
using testing::ProbeBlock;

ProbeBlock MakeSamples(const char* name, uint16_t inputs = 1, uint16_t outputs = 1) {
  return ProbeBlock(name, inputs, PortKind::Samples, outputs, PortKind::Samples);
}

// A snapshot of every link, to show that a failed operation changed nothing.
std::vector<std::vector<const InputPort*>> Links(const std::vector<Block*>& blocks) {
  std::vector<std::vector<const InputPort*>> links;
  for (Block* block : blocks) {
    for (uint16_t o = 0; o < block->outputCount; ++o) {
      links.emplace_back(block->Output(o)->targets.begin(), block->Output(o)->targets.end());
    }
    for (uint16_t i = 0; i < block->inputCount; ++i) {
      links.push_back({block->Input(i)->source ? block->Input(i) : nullptr});
    }
  }
  return links;
}

class LinkTest : public ::testing::Test {
 protected:
  ProbeBlock a{"A", 1, PortKind::Samples, 1, PortKind::Samples};
  ProbeBlock b{"B", 1, PortKind::Samples, 1, PortKind::Samples};
  ProbeBlock c{"C", 2, PortKind::Samples, 1, PortKind::Samples};
  ProbeBlock d{"D", 1, PortKind::Samples, 1, PortKind::Samples};
  ProbeBlock spectra{"S", 1, PortKind::Spectra, 1, PortKind::Spectra};
  std::vector<Block*> all{&a, &b, &c, &d, &spectra};
};

TEST_F(LinkTest, ConnectTwiceKeepsOneLink) {
  EXPECT_EQ(Connect(&a, 0, &b, 0), BlockStatus::Ok);
  EXPECT_EQ(Connect(&a, 0, &b, 0), BlockStatus::AlreadyLinked);
  EXPECT_EQ(a.Output(0)->TargetCount(), 1);
  EXPECT_EQ(b.Input(0)->source, a.Output(0));
  EXPECT_TRUE(LinksAreSymmetric(all));
}

TEST_F(LinkTest, ConnectMovesAnInputFromItsOldSource) {
  ASSERT_EQ(Connect(&a, 0, &c, 0), BlockStatus::Ok);
  ASSERT_EQ(Connect(&b, 0, &c, 0), BlockStatus::Ok);
  EXPECT_EQ(a.Output(0)->TargetCount(), 0);
  EXPECT_EQ(c.Input(0)->source, b.Output(0));
  EXPECT_TRUE(LinksAreSymmetric(all));
}

TEST_F(LinkTest, OneOutputFeedsSeveralInputsInLinkOrder) {
  Connect(&a, 0, &c, 1);
  Connect(&a, 0, &b, 0);
  Connect(&a, 0, &c, 0);
  ASSERT_EQ(a.Output(0)->TargetCount(), 3);
  EXPECT_EQ(a.Output(0)->targets[0], c.Input(1));
  EXPECT_EQ(a.Output(0)->targets[1], b.Input(0));
  EXPECT_EQ(a.Output(0)->targets[2], c.Input(0));
  EXPECT_TRUE(LinksAreSymmetric(all));
}

TEST_F(LinkTest, ConnectExclusiveLeavesExactlyOneTarget) {
  Connect(&a, 0, &b, 0);
  Connect(&a, 0, &c, 0);
  Connect(&a, 0, &c, 1);
  Connect(&d, 0, &spectra, 0);  // a kind mismatch, changes nothing
  ASSERT_EQ(Connect(&b, 0, &d, 0), BlockStatus::Ok);
  EXPECT_EQ(ConnectExclusive(&a, 0, &d, 0), BlockStatus::Ok);
  ASSERT_EQ(a.Output(0)->TargetCount(), 1);
  EXPECT_EQ(a.Output(0)->targets[0], d.Input(0));
  EXPECT_EQ(b.Output(0)->TargetCount(), 0);  // d's old source let go of it
  for (InputPort* in : {b.Input(0), c.Input(0), c.Input(1)}) EXPECT_EQ(in->source, nullptr);
  // Repeating it neither piles up links nor fails.
  EXPECT_EQ(ConnectExclusive(&a, 0, &d, 0), BlockStatus::Ok);
  EXPECT_EQ(a.Output(0)->TargetCount(), 1);
  EXPECT_TRUE(LinksAreSymmetric(all));
}

TEST_F(LinkTest, DisconnectOutputsOnlyToOneBlockKeepsTheOthersInOrder) {
  Connect(&a, 0, &b, 0);
  Connect(&a, 0, &c, 0);
  Connect(&a, 0, &d, 0);
  Connect(&a, 0, &c, 1);
  EXPECT_EQ(DisconnectOutputs(&a, &c), BlockStatus::Ok);
  ASSERT_EQ(a.Output(0)->TargetCount(), 2);
  EXPECT_EQ(a.Output(0)->targets[0], b.Input(0));
  EXPECT_EQ(a.Output(0)->targets[1], d.Input(0));
  EXPECT_EQ(c.Input(0)->source, nullptr);
  EXPECT_EQ(c.Input(1)->source, nullptr);
  EXPECT_EQ(DisconnectOutputs(&a, nullptr), BlockStatus::Ok);
  EXPECT_EQ(a.Output(0)->TargetCount(), 0);
  EXPECT_TRUE(LinksAreSymmetric(all));
}

TEST_F(LinkTest, FailuresChangeNothing) {
  Connect(&a, 0, &b, 0);
  Connect(&b, 0, &c, 0);
  const auto before = Links(all);
  EXPECT_EQ(Connect(&a, 0, &spectra, 0), BlockStatus::KindMismatch);
  EXPECT_EQ(ConnectExclusive(&a, 0, &spectra, 0), BlockStatus::KindMismatch);
  EXPECT_EQ(a.GetInputPort(1), nullptr);
  EXPECT_EQ(Connect(&a, 0, &a, 1), BlockStatus::NoSuchInput);
  EXPECT_EQ(Connect(&a, 1, &b, 0), BlockStatus::NoSuchOutput);
  EXPECT_EQ(ConnectExclusive(&a, 0, &c, 2), BlockStatus::NoSuchInput);
  EXPECT_EQ(a.Output(0)->RemoveTarget(c.Input(0)), BlockStatus::NotLinked);
  EXPECT_EQ(b.Input(0)->Detach(c.Output(0)), BlockStatus::NotLinked);
  EXPECT_FALSE(a.Output(0)->detaching);
  EXPECT_FALSE(b.Input(0)->detaching);
  EXPECT_EQ(Links(all), before);
  EXPECT_TRUE(LinksAreSymmetric(all));
}

TEST_F(LinkTest, LinkingFlagsBothOwnersAndUnlinkingForgetsTheFormat) {
  a.outputLinksChanged = c.inputLinksChanged = 0;
  Connect(&a, 0, &c, 1);
  EXPECT_EQ(a.outputLinksChanged, 1);
  EXPECT_EQ(c.inputLinksChanged, 2);
  c.Input(1)->format.SetSampleRate(48000.0f);
  c.Input(1)->format.changeFlags = 0;
  c.inputLinksChanged = 0;
  DisconnectOutputs(&a, nullptr);
  EXPECT_EQ(c.inputLinksChanged, 2);
  EXPECT_TRUE(c.Input(1)->format.IsUnset());
  EXPECT_EQ(c.Input(1)->format.sampleRate, 0.0f);
}

TEST_F(LinkTest, DestroyingABlockUnlinksItFromBothSides) {
  {
    ProbeBlock middle = MakeSamples("Middle");
    Connect(&a, 0, &middle, 0);
    Connect(&middle, 0, &b, 0);
    Connect(&middle, 0, &c, 1);
  }
  EXPECT_EQ(a.Output(0)->TargetCount(), 0);
  EXPECT_EQ(b.Input(0)->source, nullptr);
  EXPECT_EQ(c.Input(1)->source, nullptr);
  EXPECT_TRUE(LinksAreSymmetric(all));
}

TEST(BlockTest, ConstructionGivesNumberedPortsAndClampsTheName) {
  const std::string longName(200, 'x');
  ProbeBlock block(longName.c_str(), 2, PortKind::Samples, 1, PortKind::Spectra);
  EXPECT_EQ(std::string(block.name), std::string(127, 'x'));
  EXPECT_TRUE(block.autoPush);
  ASSERT_EQ(block.inputCount, 2);
  EXPECT_EQ(block.Input(1)->index, 1);
  EXPECT_EQ(block.Input(1)->mask, 2);
  EXPECT_EQ(block.Input(1)->owner, &block);
  EXPECT_EQ(block.Output(0)->kind, PortKind::Spectra);
  EXPECT_TRUE(block.Output(0)->format.IsUnset());
  EXPECT_EQ(block.Output(0)->format.windowId, 0xFFFF);
  EXPECT_EQ(block.GetOutputPort(1), nullptr);
}

TEST(StreamFormatTest, SettersRaiseBitsOnlyOnRealChanges) {
  StreamFormat format(PortKind::Spectra);
  format.SetSampleRate(44100.0f);
  EXPECT_EQ(format.changeFlags, FormatChange::SampleRate);  // FormatUnset became an empty set
  EXPECT_FLOAT_EQ(format.sampleRateInv, 1.0f / 44100.0f);
  format.changeFlags = 0;
  format.SetSampleRate(44100.0f);
  EXPECT_EQ(format.changeFlags, 0);
  format.SetWindowLength(2048);
  EXPECT_EQ(format.changeFlags, 0x16);
  format.changeFlags = 0;
  format.SetHopSize(1024);
  EXPECT_EQ(format.changeFlags, 0x32);
  format.changeFlags = 0;
  format.SetFftSize(2048, 11);
  EXPECT_EQ(format.changeFlags, FormatChange::FftSize);
  EXPECT_EQ(format.fftOrder, 11);
  EXPECT_FLOAT_EQ(format.fftSizeInv, 1.0f / 2048.0f);
  format.SetHasAux(1);
  EXPECT_EQ(format.hasAux, 1u);

  StreamFormat samples(PortKind::Samples);
  samples.SetHasAux(1);
  EXPECT_EQ(samples.hasAux, 0u);
  EXPECT_TRUE(samples.IsUnset());  // SetHasAux raises nothing and sets nothing
}

TEST(StreamFormatTest, CopyFromCopiesWhatAppliesToEachKind) {
  StreamFormat unset(PortKind::Samples);
  StreamFormat target(PortKind::Samples);
  target.SetSampleRate(8000.0f);
  EXPECT_EQ(target.CopyFrom(&unset), BlockStatus::NotReady);
  EXPECT_TRUE(target.IsUnset());
  EXPECT_EQ(target.CopyFrom(nullptr), BlockStatus::NotReady);

  StreamFormat spectra(PortKind::Spectra);
  spectra.SetSampleRate(48000.0f);
  spectra.SetChannels(2);
  spectra.SetFftSize(1024, 10);
  spectra.SetWindowLength(1024);
  spectra.SetHopSize(512);
  spectra.windowId = 3;
  spectra.hasAux = 1;
  StreamFormat copy(PortKind::Spectra);
  EXPECT_EQ(copy.CopyFrom(&spectra), BlockStatus::Ok);
  EXPECT_EQ(copy.fftSize, 1024u);
  EXPECT_EQ(copy.hopSize, 512u);
  EXPECT_EQ(copy.windowId, 3);
  EXPECT_EQ(copy.hasAux, 1u);
  EXPECT_EQ(copy.changeFlags, 0x01 | 0x02 | 0x08 | 0x16 | 0x32);
  EXPECT_EQ(copy.CopyFrom(&spectra), BlockStatus::Ok);
  EXPECT_EQ(copy.changeFlags, 0);  // nothing new the second time

  StreamFormat samples(PortKind::Samples);
  EXPECT_EQ(samples.CopyFrom(&spectra), BlockStatus::Ok);
  EXPECT_EQ(samples.channels, 2);
  EXPECT_EQ(samples.fftSize, 0u);
  EXPECT_EQ(samples.windowId, 0xFFFF);
}

}  // namespace
}  // namespace veltane
