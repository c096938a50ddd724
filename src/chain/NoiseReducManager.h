// "NoiseReduc Manager": builds, owns and wires every processing block of the
// restoration chain, and presents the chain to the Adapter as one block with
// one input (the first splitter's) and one output ("Through"'s).
//
// Two engines share the framework. The classic engine is the chain the
// Windows effect runs, wired by the stream's rate: four quarter bands above
// 48 kHz (clicks removed per quarter, hiss on the lower half only), two half
// bands above 32 kHz (clicks per half, hiss on the whole band), no split at
// 32 kHz and below. The modern engine has blocks of its own and runs them on
// the whole band at every rate: "HalfS 0" stays the head in pass-through,
// then the modern declicker and the modern hiss remover ("HissRemover", which
// frames, transforms and resynthesises by itself), then "Through". Blocks of
// the engine not in use stay unlinked and idle.
//
// The manager is the parent of "HalfS 0", so a new rate arriving there
// rewires the chain within the same pass. Everything runs under GraphLock.
#pragma once

#include <cstdint>
#include <memory>

#include "framework/Block.h"

namespace veltane {

class Analysis;
class Synthesis;
class FDNoiseReduc;
class HissRemover;
class TDDeclick;
class ExtentDeclick;
class HalfS;
class HalfM;
class Through;

// Which chain restores the stream: the classic one of the Windows effect,
// kept exact, or the project's own modern one.
enum class Engine : uint8_t { Classic, Modern };

// Which of the modern engine's two blocks this chain links: both, or one of
// them when the engine is split into two chains, each on a thread of its
// own, the declicker's output becoming the hiss remover's input.
enum class ModernPart : uint8_t { Whole, DeclickOnly, HissOnly };

class NoiseReducManager : public Block {
 public:
  // The classic engine's three wirings, by rate, and the modern engine's one.
  enum class Shape { FullBand, TwoBand, FourBand, Modern };

  explicit NoiseReducManager(const char* name = "NoiseReduc Manager");
  // Deletes the inner blocks (each unlinking itself) under GraphLock.
  ~NoiseReducManager() override;

  // The chain's ports are those of its first and last blocks.
  InputPort* GetInputPort(uint16_t index) override;
  OutputPort* GetOutputPort(uint16_t index) override;
  // One pass from the head of the chain: every block has autoPush, so this
  // runs the whole chain as far as data allows.
  BlockStatus Process() override;
  // As the parent of "HalfS 0": rewires when the rate arriving there differs
  // from the one the links were built for.
  void OnInputsChanged() override;

  // Rebuilds the links for currentRate and requests a reset of "HalfS 0".
  void Rewire();
  // Rewires for `rate` at once when it differs from currentRate, so that a
  // new stream does not have its first buffer inside the chain when the
  // rewiring's reset sweeps it. Returns whether the links changed.
  bool PrepareForRate(float rate);
  // The wiring a rate gets with the current settings and engine.
  Shape ShapeFor(float rate) const;
  // Rewires for `choice` when it differs from the current engine. The
  // rewiring requests a reset of "HalfS 0"; the caller decides what happens
  // to samples already inside the chain. Returns whether the links changed.
  bool SetEngine(Engine choice);
  // Rewires for `part` when it differs from the current one (the classic
  // engine ignores it until the modern one is chosen). The rewiring
  // requests a reset, as SetEngine's does. Returns whether the links changed.
  bool SetModernPart(ModernPart part);

  std::unique_ptr<Analysis> analysis;
  std::unique_ptr<Synthesis> synthesis;
  std::unique_ptr<FDNoiseReduc> noiseReduc;
  std::unique_ptr<TDDeclick> declick[2];
  std::unique_ptr<HalfS> splitters[3];
  std::unique_ptr<HalfM> mergers[3];
  std::unique_ptr<Through> through;
  // The modern engine's own blocks, never linked while the classic engine runs.
  std::unique_ptr<ExtentDeclick> modernDeclick;
  std::unique_ptr<HissRemover> modernHiss;

  // Fixed wiring settings: which sub-bands reach the output, and whether to
  // force the full-band wiring whatever the rate.
  uint32_t bandEnabled[4] = {1, 1, 1, 1};
  uint32_t fullBandOnly = 0;
  float currentRate = 44100.0f;  // the rate the links were last built for
  Engine engine = Engine::Classic;
  ModernPart modernPart = ModernPart::Whole;
};

}  // namespace veltane
