// "HalfM": merges a lower and an upper half band into one stream at twice their rate.
//
// The inverse of "HalfS": for each input frame k the sum of the two bands runs
// through the even cascade and gives output sample 2k, their difference runs
// through the odd cascade and gives sample 2k + 1. With the same design as
// the split, split then merge is an allpass. Input 0 is the lower band,
// input 1 the upper band; an unlinked input merges as silence. Each input is
// gathered in its own ring, so the two bands may arrive in different passes
// and buffer sizes; a pass produces one output buffer of 2 x frames frames
// once both linked rings hold a whole buffer's worth.
//
// Every operation runs under GraphLock: the pass and the hooks inside Run,
// SetDesign takes it itself. Memory is allocated only in OnInputsChanged,
// when the input format grows; a pass allocates nothing.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "framework/Block.h"
#include "framework/SampleRing.h"

namespace veltane {

class HalfM : public Block {
 public:
  // The state arrays have room for this many channels. A wider stream is
  // refused: the stage takes nothing from its inputs, produces nothing, and
  // its Run reports NotReady.
  static constexpr uint16_t kMaxChannels = 20;
  static constexpr uint32_t kInitialDesign = 3;
  // Frames per channel each input ring holds at least: room for one band to
  // run ahead of the other by the latency of whatever processes the other.
  static constexpr uint32_t kRingFrames = 16384;

  // The merge of one channel; see MergeChannel.
  using ChannelRoutine = void (*)(const float* low, const float* high, float* out,
                                  float* evenStates, float* oddStates, uint32_t frames,
                                  const float* evenList, const float* oddList, uint16_t evenCount,
                                  uint16_t oddCount, uint32_t unused, uint32_t stride);

  // Two Samples inputs (0 lower band, 1 upper band), one Samples output;
  // design 3.
  explicit HalfM(const char* name);

  // Selects design d (0..7): the even output samples come from its listA,
  // the odd ones from its listB. A d above 7 is stored in `design` but keeps
  // the lists. Filter states are kept.
  void SetDesign(uint32_t d);

  // Merges `frames` frames of one channel: out[2k] = E(low[k] + high[k]),
  // out[2k + 1] = O(low[k] - high[k]) with the even and odd cascades and
  // their states; no scaling. Samples of the channel are `stride` floats apart
  // in all three arrays. `unused` is ignored. Updates the states.
  static void MergeChannel(const float* low, const float* high, float* out, float* evenStates,
                           float* oddStates, uint32_t frames, const float* evenList,
                           const float* oddList, uint16_t evenCount, uint16_t oddCount,
                           uint32_t unused, uint32_t stride);

  BlockStatus Process() override;
  // Clears both rings and the filter states.
  void OnReset() override;
  // Sizes states, scratch arrays and rings for the inputs and publishes the
  // output format.
  void OnInputsChanged() override;
  // Always false, so that the stage runs whenever it is triggered, also when
  // only one band has delivered; Process waits for both. The base test is
  // still evaluated because it retires the output's taken buffer.
  bool IsBusy() override;

  uint16_t channels = 0;         // the larger channel count of the linked inputs
  uint16_t statesAllocated = 0;  // channels that have state arrays; never decreases
  uint32_t frames = 0;           // the larger frames per buffer of the linked inputs
  uint32_t design = kInitialDesign;
  const float* evenList = nullptr;  // sections that give the even output samples
  uint16_t evenCount = 0;
  const float* oddList = nullptr;  // sections that give the odd output samples
  uint16_t oddCount = 0;
  // Per channel: kAllpassMaxSections (s0, s1) pairs, owned.
  std::array<std::unique_ptr<float[]>, kMaxChannels> evenStates;
  std::array<std::unique_ptr<float[]>, kMaxChannels> oddStates;
  std::unique_ptr<float[]> scratch0;  // one pass of interleaved frames of input 0
  std::unique_ptr<float[]> scratch1;  // the same for input 1
  uint32_t scratchCapacity = 0;       // floats in each scratch array
  SampleRing ring0;                   // input 0, interleaved in one ring channel
  SampleRing ring1;                   // input 1, likewise
  ChannelRoutine channelRoutine = &MergeChannel;
};

}  // namespace veltane
