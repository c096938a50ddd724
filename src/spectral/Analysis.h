// "Analysis": cuts the sample stream into overlapping windowed frames and
// transforms each into a zero-phase spectrum, one per channel.
//
// Input: one Samples port (interleaved floats, full scale +-1). Output: one
// Spectra port, one half-complex array of fftSize floats per channel. The
// sizes follow from the input sample rate and two modes:
//   base = 4096 for fs >= 44100, 2048 for 22050 <= fs < 44100, 1024 below;
//   N = L = base / 8, /4, /2 or /1 for size mode 1, 2, 3 or 4;
//   H = L/2 (hop mode 1) or L/4 (hop mode 2).
// Frame m covers input samples m H - L/2 .. m H + L/2 - 1 (the first frames
// start with a zero pre-roll), is weighted by the pool's Hann window of
// length L and rotated so that input sample m H lands on element 0 before
// the transform; the Nyquist element is then cleared. The output format
// carries N, log2 N, L, H and the window's pool index, so "Synthesis" learns
// everything it needs from the format.
//
// Everything runs under GraphLock. Memory is allocated only when the format
// or a mode changes (ring, pool tables), never while processing.
#pragma once

#include <cstdint>
#include <vector>

#include "framework/Block.h"
#include "framework/SampleRing.h"

namespace veltane {

class Analysis : public Block {
 public:
  explicit Analysis(const char* name = "Analysis");

  // Mode 1..4 selects N = base/8 .. base; other values are ignored. Takes
  // GraphLock and recomputes the sizes at once.
  void SetSizeMode(uint32_t mode);
  // Mode 1 gives H = L/2, mode 2 H = L/4; other values are ignored. Takes
  // GraphLock and recomputes the sizes at once.
  void SetHopMode(uint32_t mode);

  // log2 N and the hop H that a rate and the two modes give.
  static uint32_t OrderFor(float rate, uint32_t sizeMode);
  static uint32_t HopFor(float rate, uint32_t sizeMode, uint32_t hopMode);

  // At most one frame per call: Ok (input used up, frame produced),
  // ConsumedOnly (input used up, no frame yet), ProducedOnly (frame produced,
  // the same input is needed again), NotReady (no format or buffers yet).
  BlockStatus Process() override;
  // Takes the rate and channel count and recomputes the sizes.
  void OnInputsChanged() override;
  // Fetches the window and sine tables and sizes the ring.
  void OnOutputsChanged() override;
  // Restarts the framing: the next frame begins with the zero pre-roll again.
  void OnReset() override;

  SampleRing ring;           // one array per channel, capacity >= fftSize
  uint32_t sizeMode = 4;
  uint32_t hopMode = 1;
  float sampleRate = 0.0f;   // Hz, from the input format
  float sampleRateInv = 0.0f;
  uint16_t channels = 0;
  uint32_t fftSize = 0;      // N
  uint32_t fftOrder = 0;     // log2 N
  uint32_t windowLength = 0; // L, equal to N
  uint32_t hopSize = 0;      // H, samples per frame advance
  uint16_t windowIndex = 0xFFFF;
  const float* window = nullptr;    // pool table of L values, not owned
  const float* cosTable = nullptr;  // pool tables for N, not owned
  const float* sinTable = nullptr;
  std::vector<float> pairFrame;  // 2N floats: two channels' frames interleaved for one transform
  uint32_t inputUsed = 0;    // frames of the current input buffer already in the ring
  bool firstFrame = true;

 private:
  void RecomputeSizes();
  void FillRing(const float* interleaved, uint32_t frames);
  // Windows, rotates and transforms the frame at the read cursor into the
  // channel arrays, two channels at a time where it can.
  void TransformFrame(SampleBuffer& target);
};

}  // namespace veltane
