// The chain container: construction, port delegation, the three wirings by
// rate, rewiring a running chain, band flags and destruction.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "chain/Adapter.h"
#include "chain/NoiseReducManager.h"
#include "declick/TDDeclick.h"
#include "framework/GraphLock.h"
#include "framework/Through.h"
#include "halfband/HalfM.h"
#include "halfband/HalfS.h"
#include "spectral/Analysis.h"
#include "spectral/FDNoiseReduc.h"
#include "spectral/Synthesis.h"

namespace veltane {
namespace {

bool Linked(Block* from, uint16_t output, Block* to, uint16_t input) {
  return to->Input(input)->source == from->Output(output);
}

// Every link inside the chain, by block and port names, to compare wirings.
std::multimap<std::string, std::string> LinksOf(NoiseReducManager& manager) {
  std::vector<Block*> blocks{manager.analysis.get(), manager.synthesis.get(),
                             manager.noiseReduc.get(), manager.declick[0].get(),
                             manager.declick[1].get(), manager.through.get()};
  for (auto& s : manager.splitters) blocks.push_back(s.get());
  for (auto& m : manager.mergers) blocks.push_back(m.get());
  std::multimap<std::string, std::string> links;
  for (Block* block : blocks) {
    for (uint16_t o = 0; o < block->outputCount; ++o) {
      for (InputPort* target : block->Output(o)->targets) {
        links.emplace(std::string(block->name) + " o" + std::to_string(o),
                      std::string(target->owner->name) + " i" + std::to_string(target->index));
      }
    }
  }
  return links;
}

bool Unlinked(Block* block) {
  for (auto& in : block->inputs) {
    if (in->source != nullptr) return false;
  }
  for (auto& out : block->outputs) {
    if (out->TargetCount() != 0) return false;
  }
  return true;
}

// The Adapter with the chain attached, streaming 16-bit audio at a rate.
class ChainFixture : public ::testing::Test {
 protected:
  ChainFixture() { adapter.AttachChain(&manager, 0, 0); }

  void Stream(float rate, uint16_t channels = 2, int buffers = 3) {
    adapter.SetHostRate(rate);
    adapter.SetHostChannels(channels);
    std::vector<int16_t> in(1024u * channels, 100), out(4096u * channels);
    for (int i = 0; i < buffers; ++i) {
      uint32_t frames = 4096;
      adapter.TransformPcm16(in.data(), 1024, out.data(), &frames);
    }
  }

  NoiseReducManager manager;
  Adapter adapter;
};

TEST_F(ChainFixture, ConstructionWiresTwoBandsForCdRate) {
  EXPECT_EQ(manager.currentRate, 44100.0f);
  EXPECT_EQ(manager.splitters[0]->parent, &manager);
  EXPECT_EQ(manager.declick[0]->maxClickWidth, 80);
  EXPECT_EQ(manager.declick[1]->maxClickWidth, 100);
  EXPECT_TRUE(manager.declick[1]->simpleMode);
  EXPECT_TRUE(manager.noiseReduc->IsBypassed());
  EXPECT_TRUE(Linked(manager.splitters[0].get(), 0, manager.declick[0].get(), 0));
  EXPECT_TRUE(Linked(manager.splitters[0].get(), 1, manager.declick[1].get(), 0));
  EXPECT_TRUE(Linked(manager.mergers[0].get(), 0, manager.analysis.get(), 0));
  EXPECT_TRUE(Linked(manager.synthesis.get(), 0, manager.through.get(), 0));
  // The Adapter's links land on the first and last blocks.
  EXPECT_TRUE(Linked(&adapter, 0, manager.splitters[0].get(), 0));
  EXPECT_TRUE(Linked(manager.through.get(), 0, &adapter, 0));
  EXPECT_EQ(manager.GetInputPort(1), nullptr);
}

TEST_F(ChainFixture, StreamAtTheConstructionRateKeepsTheLinks) {
  const auto before = LinksOf(manager);
  Stream(44100.0f);
  EXPECT_EQ(LinksOf(manager), before);
}

struct ShapeCase {
  float rate;
  bool split;     // "HalfS 0" splits
  bool fourBand;  // "HalfS 1" feeds the first declicker
};

class ShapeByRate : public ChainFixture, public ::testing::WithParamInterface<ShapeCase> {};

TEST_P(ShapeByRate, TheRateChoosesTheWiring) {
  const ShapeCase c = GetParam();
  Stream(c.rate);
  EXPECT_EQ(manager.currentRate, c.rate);
  EXPECT_EQ(manager.splitters[0]->passThrough, !c.split);
  EXPECT_EQ(Linked(manager.splitters[1].get(), 0, manager.declick[0].get(), 0), c.fourBand);
  EXPECT_EQ(Linked(manager.splitters[0].get(), 0, manager.declick[0].get(), 0), !c.fourBand);
  EXPECT_EQ(Linked(manager.synthesis.get(), 0, manager.mergers[0].get(), 0), c.fourBand);
  EXPECT_TRUE(Linked(manager.analysis.get(), 0, manager.noiseReduc.get(), 0));
  EXPECT_TRUE(Linked(manager.noiseReduc.get(), 0, manager.synthesis.get(), 0));
  EXPECT_TRUE(Linked(manager.through.get(), 0, &adapter, 0));
}

INSTANTIATE_TEST_SUITE_P(Rates, ShapeByRate,
                         ::testing::Values(ShapeCase{8000.0f, false, false},
                                           ShapeCase{32000.0f, false, false},
                                           ShapeCase{32001.0f, true, false},
                                           ShapeCase{48000.0f, true, false},
                                           ShapeCase{48001.0f, true, true},
                                           ShapeCase{96000.0f, true, true}));

TEST_F(ChainFixture, SwitchingARunningChainToFullBandLeavesTheBandBlocksUnlinked) {
  Stream(44100.0f);
  Stream(22050.0f);
  for (Block* block : std::vector<Block*>{manager.mergers[0].get(), manager.splitters[1].get(),
                                          manager.splitters[2].get(), manager.declick[1].get()}) {
    EXPECT_TRUE(Unlinked(block)) << block->name;
  }
  EXPECT_TRUE(manager.splitters[0]->passThrough);
  EXPECT_TRUE(Linked(manager.splitters[0].get(), 0, manager.declick[0].get(), 0));
  EXPECT_TRUE(Linked(manager.declick[0].get(), 0, manager.analysis.get(), 0));
  EXPECT_TRUE(Linked(manager.through.get(), 0, &adapter, 0));
}

TEST_F(ChainFixture, RewiringTwiceGivesTheSameLinks) {
  for (float rate : {22050.0f, 44100.0f, 96000.0f}) {
    GraphLockHolder hold;
    manager.currentRate = rate;
    manager.Rewire();
    const auto once = LinksOf(manager);
    manager.Rewire();
    EXPECT_EQ(LinksOf(manager), once) << rate;
  }
}

TEST_F(ChainFixture, DisabledBandsAreNotLinked) {
  GraphLockHolder hold;
  manager.bandEnabled[0] = 0;
  manager.Rewire();
  EXPECT_EQ(manager.mergers[0]->Input(0)->source, nullptr);
  EXPECT_TRUE(Linked(manager.declick[1].get(), 0, manager.mergers[0].get(), 1));
  manager.bandEnabled[1] = 0;  // with neither band, the upper one is linked anyway
  manager.Rewire();
  EXPECT_TRUE(Linked(manager.splitters[0].get(), 1, manager.declick[1].get(), 0));

  manager.bandEnabled[2] = 0;
  manager.currentRate = 96000.0f;
  manager.Rewire();
  EXPECT_EQ(manager.analysis->Input(0)->source, nullptr);
  EXPECT_EQ(manager.mergers[0]->Input(0)->source, nullptr);
  EXPECT_TRUE(Linked(manager.splitters[2].get(), 1, manager.mergers[2].get(), 1));
  EXPECT_EQ(manager.mergers[2]->Input(0)->source, nullptr);
  EXPECT_TRUE(Linked(manager.mergers[2].get(), 0, manager.mergers[0].get(), 1));

  manager.fullBandOnly = 1;
  manager.Rewire();
  EXPECT_TRUE(manager.splitters[0]->passThrough);
}

TEST(NoiseReducManager, DeletingItUnlinksEveryInnerBlockFromTheAdapter) {
  Adapter adapter;
  {
    NoiseReducManager manager;
    adapter.AttachChain(&manager, 0, 0);
  }
  EXPECT_EQ(adapter.Output(0)->TargetCount(), 0);
  EXPECT_EQ(adapter.Input(0)->source, nullptr);
}

}  // namespace
}  // namespace veltane
