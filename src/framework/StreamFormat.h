// The format record carried by every port, with its change flags.
#pragma once

#include <cstdint>

#include "framework/BlockStatus.h"

namespace veltane {

// `changeFlags` value meaning "nothing known yet".
constexpr uint16_t FormatUnset = 100;

// Change-flag bits. The window-length and hop bits are the values 0x16 and
// 0x32 on purpose: a window change also raises the channel and frame bits, a
// hop change the channel bit and 0x10. Blocks test against masks such as
// 0x1e, 0x0a and 0x3a and rely on these values.
namespace FormatChange {
constexpr uint16_t SampleRate = 0x01;
constexpr uint16_t Channels = 0x02;
constexpr uint16_t Frames = 0x04;
constexpr uint16_t FftSize = 0x08;
constexpr uint16_t WindowLength = 0x16;
constexpr uint16_t HopSize = 0x32;
}  // namespace FormatChange

// One per port, owned by the port. Callers hold GraphLock.
struct StreamFormat {
  explicit StreamFormat(PortKind portKind) : kind(portKind) {}

  PortKind kind;
  float sampleRate = 0.0f;     // Hz
  float sampleRateInv = 0.0f;  // 1 / sampleRate, kept in step by SetSampleRate
  uint16_t channels = 0;
  uint16_t changeFlags = FormatUnset;
  uint32_t frames = 0;         // Samples ports: frames per buffer
  uint32_t fftSize = 0;        // Spectra ports: floats per channel array
  uint16_t fftOrder = 0;       // log2 of fftSize
  uint32_t windowLength = 0;   // analysis window length in samples
  uint32_t hopSize = 0;        // samples advanced per spectrum frame
  float fftSizeInv = 0.0f;     // 1 / fftSize
  uint16_t windowId = 0xFFFF;  // pool window table index; 0xFFFF = none
  uint32_t hasAux = 0;         // buffers for this port carry the aux array

  bool IsUnset() const { return changeFlags == FormatUnset; }

  // Forgets what is known: FormatUnset, rate, inverse rate and channels 0.
  void Reset();

  // Each setter turns FormatUnset into an empty flag set, stores the value and
  // raises its bit only when the stored value really changes.
  void SetSampleRate(float rate);
  void SetChannels(uint16_t count);
  void SetFrames(uint32_t count);
  void SetFftSize(uint32_t size, uint16_t order);
  void SetWindowLength(uint32_t length);
  void SetHopSize(uint32_t hop);
  // Spectra formats only; raises no bit.
  void SetHasAux(uint32_t on);

  // Copies what applies between the two kinds, through the setters so only
  // real changes raise bits. A missing or unset source makes this format
  // unset and gives NotReady.
  BlockStatus CopyFrom(const StreamFormat* source);

 private:
  void BeginChange();
};

}  // namespace veltane
