// "Synthesis": turns the spectrum frames of "Analysis" back into samples by
// inverse transform, windowed overlap-add and normalisation.
//
// Input: one Spectra port whose format carries N, log2 N, 1/N, L, H, the
// window's pool index and the channel count. Output: one Samples port,
// interleaved floats, H frames per buffer. Each frame is inverted, its
// zero-phase rotation undone, weighted by the window once more and added
// into the accumulator ring; finished samples leave one hop at a time, scaled
// by (1/N) / (sum of the squared windows overlapping that position), so that
// spectra passed on unchanged reproduce the input of "Analysis" sample for
// sample and without delay (except its cleared Nyquist component).
//
// Timing: frame m (counted from the last reset) lands on accumulator
// positions m H .. m H + L - 1; output sample k is position L/2 + k. The
// first block leaves once frame L/(2H) has arrived.
//
// Everything runs under GraphLock. The ring, the normalisation and the
// scratch frame are allocated only when the input format changes.
#pragma once

#include <cstdint>
#include <vector>

#include "framework/Block.h"
#include "framework/SampleRing.h"

namespace veltane {

class Synthesis : public Block {
 public:
  explicit Synthesis(const char* name = "Synthesis");

  // Takes in at most one frame and gives out at most one block of H frames
  // per call, marking its ports itself: always SelfMarked, or Ok at once
  // when nothing is linked to the output.
  BlockStatus Process() override;
  // Takes the sizes from the input format; sizes the ring and prepares the
  // normalisation when they change.
  void OnInputsChanged() override;
  // Empties the accumulator and restarts the timing.
  void OnReset() override;

  SampleRing ring;            // overlap-add accumulator, one array per channel, capacity N
  uint32_t fftSize = 0;       // N
  uint32_t fftOrder = 0;      // log2 N
  uint32_t windowLength = 0;  // L
  uint32_t hopSize = 0;       // H
  uint16_t channels = 0;
  std::vector<float> norm;         // H output scales, one per position within a hop
  std::vector<float> frameBuffer;  // 2N floats: scratch for the inverse transform (two channels interleaved)
  const float* window = nullptr;   // pool tables, not owned
  const float* cosTable = nullptr;
  const float* sinTable = nullptr;
  bool firstFrame = true;

 private:
  bool Prepare(const StreamFormat& format);
  void TakeFrame();
  void GiveBlock();

  bool prepared_ = false;  // sizes, tables and normalisation agree with the format
};

}  // namespace veltane
