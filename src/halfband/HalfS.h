// "HalfS": splits one stream into its lower and upper half band at half the rate.
//
// Polyphase IIR half-band split: the even samples of each channel run through
// one allpass cascade, the odd samples through the other, both at the half
// rate; half their sum is the lower band, half their difference the upper.
// A "HalfM" of the same design undoes it up to an allpass (flat magnitude,
// a small group delay). Output 0 carries the lower band, output 1 the upper;
// each carries floor(frames / 2) frames per input buffer at half the input
// rate, so an odd frame count leaves one sample per channel waiting in the
// ring for the next buffer (a one-frame input gets one-frame outputs, filled
// every second pass). In pass-through the input goes to output 0 unchanged,
// at the full rate, and output 1 is published but not written.
//
// Every operation runs under GraphLock: the pass and the hooks inside Run,
// SetDesign and SetPassThrough take it themselves. Memory is allocated only
// in OnInputsChanged, when the input format grows; a pass allocates nothing.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "framework/Block.h"
#include "framework/SampleRing.h"

namespace veltane {

class HalfS : public Block {
 public:
  // The state arrays have room for this many channels. A wider stream is
  // refused: the stage leaves its input untaken, produces nothing, and its
  // Run reports NotReady (pass-through, which needs no state, still works).
  static constexpr uint16_t kMaxChannels = 20;
  static constexpr uint32_t kInitialDesign = 3;

  // The split of one channel; see SplitChannel.
  using ChannelRoutine = void (*)(const float* in, float* low, float* high, float* evenStates,
                                  float* oddStates, uint32_t n, const float* evenList,
                                  const float* oddList, uint16_t evenCount, uint16_t oddCount,
                                  uint32_t writeHigh, uint32_t stride);

  // One Samples input, two Samples outputs (0 lower band, 1 upper band);
  // design 3, split mode.
  explicit HalfS(const char* name);

  // Selects design d (0..7): the even samples take its listB, the odd ones
  // its listA. A d above 7 is stored in `design` but keeps the lists. Filter
  // states are kept, so a change acts from the next sample on.
  void SetDesign(uint32_t d);
  // on != 0: hand the input on unchanged; 0: split. Republishes the output
  // formats (frames and rate) when the mode really changes.
  void SetPassThrough(uint32_t on);

  // Splits n samples (pairs taken from the start, a last odd sample ignored)
  // of one channel: for each pair k, low[k] = (E(in[2k]) + O(in[2k+1])) / 2
  // and, when writeHigh, high[k] = (E(in[2k]) - O(in[2k+1])) / 2, where E and
  // O are the even and odd cascades with their states. Samples of the channel
  // are `stride` floats apart in all three arrays. Updates the states.
  static void SplitChannel(const float* in, float* low, float* high, float* evenStates,
                           float* oddStates, uint32_t n, const float* evenList,
                           const float* oddList, uint16_t evenCount, uint16_t oddCount,
                           uint32_t writeHigh, uint32_t stride);

  BlockStatus Process() override;
  // Zeroes the filter states. The ring keeps what it holds: those are input
  // samples not yet split, not history.
  void OnReset() override;
  // Sizes states, ring and scratch for the input format and publishes the
  // output formats.
  void OnInputsChanged() override;

  uint16_t channels = 0;         // channel count of the input
  uint16_t statesAllocated = 0;  // channels that have state arrays; never decreases
  uint32_t frames = 0;           // frames per input buffer
  bool passThrough = false;
  SampleRing ring;                   // one array per channel of incoming samples
  std::unique_ptr<float[]> scratch;  // one pass of interleaved frames from the ring
  uint32_t scratchCapacity = 0;      // floats in `scratch`
  uint32_t design = kInitialDesign;
  const float* evenList = nullptr;  // sections for the first sample of each pair
  uint16_t evenCount = 0;
  const float* oddList = nullptr;  // sections for the second sample of each pair
  uint16_t oddCount = 0;
  // Per channel: kAllpassMaxSections (s0, s1) pairs, owned.
  std::array<std::unique_ptr<float[]>, kMaxChannels> evenStates;
  std::array<std::unique_ptr<float[]>, kMaxChannels> oddStates;
  ChannelRoutine channelRoutine = &SplitChannel;

 private:
  void PublishOutputFormats();
  // Splits n interleaved input frames into n / 2 frames of each band: both
  // channels of a stereo stream in one loop, any other count channel by
  // channel through channelRoutine. Identical results either way.
  void SplitPass(const float* in, float* low, float* high, uint32_t n);
};

}  // namespace veltane
