// Spectrum-frame block base: the analysed spectrum and its power.
#include "spectral/SpectralBlock.h"

#include <cstddef>

namespace veltane {

SpectralBlock::SpectralBlock(const char* name, uint16_t inputCount, uint16_t outputCount)
    : Block(name, inputCount, PortKind::Spectra, outputCount, PortKind::Spectra) {}

void SpectralBlock::ReserveSpectrum(uint32_t n, uint16_t channels) {
  if (n > powerCapacity) {
    power.assign(n / 2 + 1, 0.0f);
    powerCapacity = n;
  }
  if (channels == 2 && mixBuffer.size() < n) mixBuffer.assign(n, 0.0f);
}

bool SpectralBlock::SelectSpectrum(const float* const* channelArrays, uint32_t n,
                                   uint16_t channels) {
  if (channelArrays == nullptr || channels == 0 || n < 2 || n > powerCapacity) return false;
  if (mixMode == 2 && channels == 2) {
    if (mixBuffer.size() < n) return false;
    const float* left = channelArrays[0];
    const float* right = channelArrays[1];
    for (uint32_t i = 0; i < n; ++i) mixBuffer[i] = left[i] + right[i];
    analysed = mixBuffer.data();
  } else {
    analysed = channelArrays[0];
  }
  return true;
}

void SpectralBlock::ComputePower(uint32_t n) {
  if (analysed == nullptr || n < 2 || n > powerCapacity) return;
  const float* x = analysed;
  const float* imaginary = x + n;  // imaginary[-k] is Im X[k]
  const ptrdiff_t half = n / 2;
  float* p = power.data();
  power[0] = x[0] * x[0];
  for (ptrdiff_t k = 1; k < half; ++k) p[k] = x[k] * x[k] + imaginary[-k] * imaginary[-k];
  power[half] = x[half] * x[half];
}

}  // namespace veltane
