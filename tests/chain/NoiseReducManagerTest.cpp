// The chain container: its wirings by rate and band flags, and destruction.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "chain/Adapter.h"
#include "chain/NoiseReducManager.h"
#include "declick/ExtentDeclick.h"
#include "declick/TDDeclick.h"
#include "framework/Through.h"
#include "halfband/HalfM.h"
#include "halfband/HalfS.h"
#include "spectral/Analysis.h"
#include "spectral/FDNoiseReduc.h"
#include "spectral/HissRemover.h"
#include "spectral/Synthesis.h"

namespace veltane {
namespace {

using Links = std::set<std::string>;  // "from:output>to:input"

Links LinksOf(NoiseReducManager& m, Adapter& adapter) {
  const std::vector<Block*> blocks{
      &adapter, m.analysis.get(), m.synthesis.get(), m.noiseReduc.get(), m.declick[0].get(),
      m.declick[1].get(), m.through.get(), m.splitters[0].get(), m.splitters[1].get(),
      m.splitters[2].get(), m.mergers[0].get(), m.mergers[1].get(), m.mergers[2].get(),
      m.modernDeclick.get(), m.modernHiss.get()};
  Links links;
  for (Block* block : blocks) {
    for (auto& out : block->outputs) {
      for (InputPort* in : out->targets) {
        links.insert(std::string(block->name) + ":" + std::to_string(out->index) + ">" +
                     in->owner->name + ":" + std::to_string(in->index));
      }
    }
  }
  return links;
}

Links Plus(Links links, const Links& extra) {
  links.insert(extra.begin(), extra.end());
  return links;
}

// The links of each shape, built on those that every shape has.
const Links kCommon = {"Adapter:0>HalfS 0:0", "Analysis:0>FDNoiseReduc:0",
                       "FDNoiseReduc:0>Synthesis:0", "Through:0>Adapter:0"};
const Links kFull =
    Plus(kCommon, {"HalfS 0:0>TDDeclick0:0", "TDDeclick0:0>Analysis:0", "Synthesis:0>Through:0"});
const Links kUpperHalf = Plus(kCommon, {"HalfS 0:1>TDDeclick1:0", "TDDeclick1:0>HalfM 0:1",
                                        "HalfM 0:0>Analysis:0", "Synthesis:0>Through:0"});
const Links kTwo = Plus(kUpperHalf, {"HalfS 0:0>TDDeclick0:0", "TDDeclick0:0>HalfM 0:0"});
const Links kHighestQuarter = Plus(kCommon, {"HalfS 0:0>HalfS 1:0", "HalfS 0:1>HalfS 2:0",
    "HalfS 2:1>HalfM 2:1", "HalfM 2:0>HalfM 0:1", "HalfM 0:0>Through:0"});
const Links kFour = Plus(kHighestQuarter, {"HalfS 1:0>TDDeclick0:0", "TDDeclick0:0>HalfM 1:0",
    "HalfS 1:1>TDDeclick1:0", "TDDeclick1:0>HalfM 1:1", "HalfM 1:0>Analysis:0",
    "Synthesis:0>HalfM 0:0", "HalfS 2:0>HalfM 2:0"});

// The modern engine: the whole band at every rate; the classic blocks keep only the links
// every shape makes, and carry nothing.
const Links kModern = Plus(kCommon, {"HalfS 0:0>Modern Declick:0", "Modern Declick:0>Modern Hiss:0",
                                     "Modern Hiss:0>Through:0"});

struct WiringCase {
  const char* name;
  std::vector<float> rates;  // streamed in turn through the Adapter
  uint32_t flags;            // bit b < 4: band b disabled; bit 4: fullBandOnly; bit 5: modern engine
  const Links* links;
  const Links* classicLinks = nullptr;  // modern cases: the links after switching back
};

const std::vector<WiringCase> kWirings = {
    {"Constructed", {}, 0, &kTwo},          {"At32000", {32000.0f}, 0, &kFull},
    {"At32001", {32001.0f}, 0, &kTwo},      {"At48000", {48000.0f}, 0, &kTwo},
    {"At48001", {48001.0f}, 0, &kFour},     {"From44100To22050", {44100.0f, 22050.0f}, 0, &kFull},
    {"LowerHalfOff", {48000.0f}, 0b1, &kUpperHalf},
    {"BothHalvesOff", {48000.0f}, 0b11, &kUpperHalf},
    {"LowerQuartersOff", {96000.0f}, 0b111, &kHighestQuarter},
    {"FullBandOnly", {96000.0f}, 0b10000, &kFull},
    {"ModernAt8000", {8000.0f}, 0b100000, &kModern, &kFull},
    {"ModernAt44100", {44100.0f}, 0b100000, &kModern, &kTwo},
    {"ModernFrom44100To384000", {44100.0f, 384000.0f}, 0b100000, &kModern, &kFour},
    {"ModernWithBandFlags", {96000.0f}, 0b100111, &kModern, &kHighestQuarter}};

class Wiring : public ::testing::TestWithParam<WiringCase> {};

TEST_P(Wiring, TheRateAndTheBandFlagsChooseTheLinks) {
  const WiringCase& c = GetParam();
  Adapter adapter;
  auto manager = std::make_unique<NoiseReducManager>();
  adapter.AttachChain(manager.get(), 0, 0);
  for (int b = 0; b < 4; ++b) manager->bandEnabled[b] = ((c.flags >> b) & 1) == 0;
  manager->fullBandOnly = (c.flags >> 4) & 1;
  if (((c.flags >> 5) & 1) != 0) {
    EXPECT_TRUE(manager->SetEngine(Engine::Modern));
  }
  adapter.SetHostChannels(2);
  std::vector<int16_t> in(2 * 1024, 100), out(2 * 4096);
  for (float rate : c.rates) {
    adapter.SetHostRate(rate);
    for (uint32_t i = 0, frames = 4096; i < 3; ++i, frames = 4096) {
      adapter.TransformPcm16(in.data(), 1024, out.data(), &frames);
    }
  }
  EXPECT_EQ(LinksOf(*manager, adapter), *c.links);
  EXPECT_EQ(manager->splitters[0]->passThrough, c.links == &kFull || c.links == &kModern);
  manager->Rewire();  // again for the same rate: exclusive links do not pile up
  EXPECT_EQ(LinksOf(*manager, adapter), *c.links);
  if (c.classicLinks != nullptr) {  // back to the classic engine: the links its rate gives it
    EXPECT_TRUE(manager->SetEngine(Engine::Classic));
    EXPECT_FALSE(manager->SetEngine(Engine::Classic));
    EXPECT_EQ(LinksOf(*manager, adapter), *c.classicLinks);
  }
  manager.reset();  // deleting it unlinks every inner block from the Adapter
  EXPECT_EQ(adapter.Output(0)->TargetCount(), 0);
  EXPECT_EQ(adapter.Input(0)->source, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Shapes, Wiring, ::testing::ValuesIn(kWirings),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace veltane
