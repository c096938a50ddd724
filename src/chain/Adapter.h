// "Adapter": the bridge between the host's PCM buffers and the block chain.
//
// The Adapter converts interleaved integer PCM frames to floats in its own
// ring, feeds the attached chain one 1024-frame buffer at a time, runs it, and
// converts whole buffers coming back out of the chain into PCM in the caller's
// output area. It reports how many frames it delivered: fewer than it was
// given while the chain's pipeline fills (the chain's latency), whole chain
// buffers afterwards. Its output feeds the chain's input and the chain's
// output comes back to its input, so the graph is a loop that starts and
// ends here; it is the only block that never triggers anything itself.
#pragma once

#include <cstdint>

#include "framework/Block.h"
#include "framework/SampleRing.h"

namespace veltane {

class Adapter : public Block {
 public:
  static constexpr uint32_t kChainFrames = 1024;  // frames per buffer handed to the chain by default

  // Float32: the chain's own 32-bit floats, passed as they are (unclamped),
  // for a chain that is one stage of a longer one.
  enum class SampleWidth { Pcm16, Pcm24, Pcm8, Float32 };

  Adapter();

  // Each of these takes GraphLock.
  void SetHostRate(float rate);
  // Also fixes the chain buffers at chainFrames.
  void SetHostChannels(uint16_t count);
  // Frames per buffer handed to the chain (1024 unless set): a stage that
  // takes over another's stream gives it the buffers that stream came in.
  void SetChainFrames(uint32_t frames);
  // Unlinks a previously attached different chain, then links Adapter o0 ->
  // chain input and chain output -> Adapter i0 (an index of -1 skips that
  // link). A null chain makes the Adapter a plain copier.
  BlockStatus AttachChain(Block* newChain, int inputIndex, int outputIndex);

  // Store `frames` interleaved PCM frames, run the chain and collect what
  // fits. On entry *outFrames is the room at `out` in frames, on return the
  // frames written there; `out` may be null (the chain still runs, nothing
  // is collected). Always Ok. The whole input is stored before returning
  // unless the caller starves the chain of output room for good, in which
  // case the input is dropped and counted in droppedFrames.
  BlockStatus TransformPcm16(const void* in, uint32_t frames, void* out, uint32_t* outFrames);
  BlockStatus TransformPcm24(const void* in, uint32_t frames, void* out, uint32_t* outFrames);
  BlockStatus TransformPcm8(const void* in, uint32_t frames, void* out, uint32_t* outFrames);
  // The same with the input's and the output's sample widths each given.
  BlockStatus TransformWidths(SampleWidth inWidth, SampleWidth outWidth, const void* in, uint32_t frames,
                              void* out, uint32_t* outFrames);

  // The Adapter works in Transform, not in a pass.
  BlockStatus Process() override { return BlockStatus::SelfMarked; }
  void OnReset() override;

  uint16_t hostChannels = 0;
  float hostRate = 0.0f;
  Block* chain = nullptr;  // not owned
  SampleRing ring;         // host samples, interleaved in channel 0
  SampleWidth sampleWidth = SampleWidth::Pcm16;        // of the input
  SampleWidth outputWidth = SampleWidth::Pcm16;
  uint32_t chainFrames = kChainFrames;
  // 16-bit output written with 32768 and rounded, so that a transparent
  // chain gives every sample back; off, it is written with 32767 and
  // truncated (one step toward zero), as the classic engine's hosts expect.
  // Set under GraphLock.
  bool roundPcm16 = false;
  uint64_t droppedFrames = 0;  // input frames a starved caller lost

 private:
  BlockStatus Transform(const uint8_t* in, uint32_t frames, uint8_t* out, uint32_t* outFrames);
  void StoreInput(const uint8_t* in, uint32_t samples);
  // Grows the ring to `capacity` samples, keeping the samples it holds.
  // Allocates.
  void GrowRing(uint32_t capacity);
  // Converts one whole chain buffer to PCM; false when it cannot be used.
  bool CollectInto(uint8_t* out, uint32_t frames);
};

}  // namespace veltane
