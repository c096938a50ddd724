// Chain container and its rate-dependent wiring.
#include "chain/NoiseReducManager.h"

#include "declick/ExtentDeclick.h"
#include "declick/TDDeclick.h"
#include "framework/GraphLock.h"
#include "framework/Through.h"
#include "halfband/HalfM.h"
#include "halfband/HalfS.h"
#include "spectral/Analysis.h"
#include "spectral/FDNoiseReduc.h"
#include "spectral/HissRemover.h"
#include "spectral/Synthesis.h"

namespace veltane {

NoiseReducManager::NoiseReducManager(const char* name)
    : Block(name, 0, PortKind::Samples, 0, PortKind::Samples) {
  GraphLockHolder hold(*this);
  analysis = std::make_unique<Analysis>("Analysis");
  synthesis = std::make_unique<Synthesis>("Synthesis");
  noiseReduc = std::make_unique<FDNoiseReduc>("FDNoiseReduc");
  splitters[0] = std::make_unique<HalfS>("HalfS 0");
  splitters[1] = std::make_unique<HalfS>("HalfS 1");
  splitters[2] = std::make_unique<HalfS>("HalfS 2");
  mergers[0] = std::make_unique<HalfM>("HalfM 0");
  mergers[1] = std::make_unique<HalfM>("HalfM 1");
  mergers[2] = std::make_unique<HalfM>("HalfM 2");
  through = std::make_unique<Through>("Through");
  splitters[0]->parent = this;
  for (auto& splitter : splitters) splitter->SetDesign(0);
  for (auto& merger : mergers) merger->SetDesign(0);
  declick[0] = std::make_unique<TDDeclick>("TDDeclick0");
  declick[1] = std::make_unique<TDDeclick>("TDDeclick1");
  declick[0]->maxClickWidth = 80;
  declick[1]->simpleMode = true;
  noiseReduc->SetBypass(1);  // the effect's options decide later
  modernDeclick = std::make_unique<ExtentDeclick>("Modern Declick");
  modernHiss = std::make_unique<HissRemover>("Modern Hiss");
  modernHiss->SetBypass(true);  // the effect's options decide later
  currentRate = 44100.0f;
  Rewire();
  analysis->SetSizeMode(3);
  analysis->SetHopMode(1);
}

NoiseReducManager::~NoiseReducManager() {
  auto drop = [this](auto& block) {
    GraphLockHolder hold(*this);
    block.reset();
  };
  drop(analysis);
  drop(synthesis);
  drop(noiseReduc);
  drop(declick[0]);
  drop(declick[1]);
  for (auto& splitter : splitters) drop(splitter);
  for (auto& merger : mergers) drop(merger);
  drop(through);
  drop(modernDeclick);
  drop(modernHiss);
}

InputPort* NoiseReducManager::GetInputPort(uint16_t index) {
  return splitters[0] ? splitters[0]->GetInputPort(index) : nullptr;
}

OutputPort* NoiseReducManager::GetOutputPort(uint16_t index) {
  return through ? through->GetOutputPort(index) : nullptr;
}

BlockStatus NoiseReducManager::Process() { return splitters[0]->Run(); }

void NoiseReducManager::OnInputsChanged() {
  const float rate = splitters[0]->Input(0)->format.sampleRate;
  // Equal or unordered (NaN) rates count as no change.
  if (rate < currentRate || rate > currentRate) {
    currentRate = rate;
    Rewire();
  }
}

bool NoiseReducManager::PrepareForRate(float rate) {
  GraphLockHolder hold(*this);
  if (!(rate < currentRate || rate > currentRate)) return false;
  currentRate = rate;
  Rewire();
  return true;
}

NoiseReducManager::Shape NoiseReducManager::ShapeFor(float rate) const {
  if (engine == Engine::Modern) return Shape::Modern;
  if (fullBandOnly != 0) return Shape::FullBand;
  if (rate > 48000.0f) return Shape::FourBand;
  if (rate > 32000.0f) return Shape::TwoBand;
  return Shape::FullBand;  // also a rate that does not compare
}

bool NoiseReducManager::SetEngine(Engine choice) {
  GraphLockHolder hold(*this);
  if (choice == engine) return false;
  engine = choice;
  Rewire();
  return true;
}

bool NoiseReducManager::SetModernPart(ModernPart part) {
  GraphLockHolder hold(*this);
  if (part == modernPart) return false;
  modernPart = part;
  Rewire();
  return true;
}

void NoiseReducManager::Rewire() {
  GraphLockHolder hold(*this);
  TDDeclick* d0 = declick[0].get();
  TDDeclick* d1 = declick[1].get();
  HalfS* s0 = splitters[0].get();
  HalfS* s1 = splitters[1].get();
  HalfS* s2 = splitters[2].get();
  HalfM* m0 = mergers[0].get();
  HalfM* m1 = mergers[1].get();
  HalfM* m2 = mergers[2].get();
  // The links out of "Analysis" and "FDNoiseReduc" are replaced below; the
  // Adapter's links into "HalfS 0" and out of "Through" are never touched.
  for (Block* block : std::initializer_list<Block*>{d0, d1, s0, s1, s2, m0, m1, m2, synthesis.get(),
                                                    modernDeclick.get(), modernHiss.get()}) {
    DisconnectOutputs(block, nullptr);
  }
  s0->SetPassThrough(0);

  // Link results are not examined: indices and kinds all match.
  switch (ShapeFor(currentRate)) {
    case Shape::FourBand: {
      const bool band0 = bandEnabled[0] != 0;
      const bool band1 = bandEnabled[1] != 0;
      const bool band2 = bandEnabled[2] != 0;
      const bool band3 = bandEnabled[3] != 0 || !(band0 || band1 || band2);
      Connect(s0, 0, s1, 0);
      Connect(s0, 1, s2, 0);
      if (band0) {
        Connect(s1, 0, d0, 0);
        ConnectExclusive(d0, 0, m1, 0);
        Connect(m1, 0, analysis.get(), 0);
        Connect(synthesis.get(), 0, m0, 0);
      }
      if (band1) {
        Connect(s1, 1, d1, 0);
        ConnectExclusive(d1, 0, m1, 1);
        ConnectExclusive(m1, 0, analysis.get(), 0);
        ConnectExclusive(synthesis.get(), 0, m0, 0);
      }
      if (band2) {
        Connect(s2, 0, m2, 0);
        Connect(m2, 0, m0, 1);
      }
      if (band3) {
        Connect(s2, 1, m2, 1);
        ConnectExclusive(m2, 0, m0, 1);
      }
      Connect(m0, 0, through.get(), 0);
      break;
    }
    case Shape::TwoBand: {
      const bool band0 = bandEnabled[0] != 0;
      const bool band1 = bandEnabled[1] != 0 || !band0;
      if (band0) {
        Connect(s0, 0, d0, 0);
        Connect(d0, 0, m0, 0);
      }
      if (band1) {
        Connect(s0, 1, d1, 0);
        Connect(d1, 0, m0, 1);
      }
      Connect(m0, 0, analysis.get(), 0);
      Connect(synthesis.get(), 0, through.get(), 0);
      break;
    }
    case Shape::FullBand:
      Connect(s0, 0, d0, 0);
      Connect(d0, 0, analysis.get(), 0);
      Connect(synthesis.get(), 0, through.get(), 0);
      s0->SetPassThrough(1);
      break;
    case Shape::Modern: {
      // No split: the modern blocks take the stream as it comes, at any rate.
      Block* head = s0;
      if (modernPart != ModernPart::HissOnly) {
        Connect(head, 0, modernDeclick.get(), 0);
        head = modernDeclick.get();
      }
      if (modernPart != ModernPart::DeclickOnly) {
        Connect(head, 0, modernHiss.get(), 0);
        head = modernHiss.get();
      }
      Connect(head, 0, through.get(), 0);
      s0->SetPassThrough(1);
      break;
    }
  }
  ConnectExclusive(analysis.get(), 0, noiseReduc.get(), 0);
  ConnectExclusive(noiseReduc.get(), 0, synthesis.get(), 0);
  s0->RequestReset();
}

}  // namespace veltane
