// Base of the blocks that work on spectrum frames: Spectra inputs and
// outputs, and the one power spectrum per frame that their decisions use.
#pragma once

#include <cstdint>
#include <vector>

#include "framework/Block.h"

namespace veltane {

class SpectralBlock : public Block {
 public:
  SpectralBlock(const char* name, uint16_t inputCount, uint16_t outputCount);

  // Grows the arrays for transform size n and the channel count; the only
  // operation here that may allocate. Call it when the input format changes.
  void ReserveSpectrum(uint32_t n, uint16_t channels);
  // Chooses the analysed spectrum of this frame from the channel arrays
  // (half-complex, n floats each): with mixMode 2 the element-wise sum of
  // channels 0 and 1 for exactly two channels, channel 0 otherwise. False,
  // changing nothing, when the arrays were not reserved for this size or
  // there is no channel.
  bool SelectSpectrum(const float* const* channelArrays, uint32_t n, uint16_t channels);
  // power[0] = X[0]^2, power[k] = Re^2 + Im^2 for 1 <= k < n/2,
  // power[n/2] = X[n/2]^2, from the analysed spectrum.
  void ComputePower(uint32_t n);

  uint32_t mixMode = 2;
  std::vector<float> mixBuffer;  // n floats, the channel sum; only for two channels
  const float* analysed = nullptr;  // channel 0's array or mixBuffer, for this frame
  std::vector<float> power;  // n/2 + 1 values, in the units of the unnormalised transform
  uint32_t powerCapacity = 0;  // transform size the arrays hold
};

}  // namespace veltane
