// The picture of a restoration: short-time power spectra (Hann window,
// 512-point FFT, mean power per picture column) of INPUT, OUTPUT and their
// difference (what was removed) one above the other on one dB colour scale,
// with the repaired clicks marked on a strip below, written as a PNG.
//
// Streaming: the input and output frames are given as the restoration runs
// (the output lined up with the input, frame for frame), so nothing is read
// twice and the length need not be known in advance. The analysis hop
// starts at 256 frames and doubles whenever the columns reach kMaxColumns
// (pairs of columns averaged), so memory stays bounded (about 6 MB) and the
// work per frame shrinks for long recordings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "declick/ClickReport.h"
#include "spectral/FloatFft.h"
#include "veltane/ExitCode.h"

namespace veltane {

class Spectrogram {
 public:
  static constexpr uint32_t kFftSize = 512;
  static constexpr uint32_t kMaxColumns = 2048;
  // How far the output may lag the input: the input waits this many frames
  // for its output, no more.
  static constexpr uint32_t kMaxLagFrames = 1u << 17;
  // Geometry of the picture, in pixels.
  static constexpr int kLeft = 48, kPlotWidth = 1000, kRight = 72, kTop = 4;
  static constexpr int kTitle = 12, kPanel = 180, kGap = 4, kStrip = 16, kAxis = 14;
  static constexpr int kWidth = kLeft + kPlotWidth + kRight;
  static constexpr int kStripTop = kTop + 3 * (kTitle + kPanel + kGap) + kTitle;
  static constexpr int kHeight = kStripTop + kStrip + kGap + kAxis;

  // Mono mix of `channels`; samples at full scale 1.0. Allocates here only.
  Spectrogram(uint32_t sampleRate, uint16_t channels);

  // The next input frames, interleaved.
  void AddInput(const float* samples, uint32_t frames);
  // The next output frames, interleaved; frame k pairs with input frame k.
  void AddOutput(const float* samples, uint32_t frames);

  // The picture column (0 .. kPlotWidth - 1) of a frame, for `totalFrames` frames in all.
  static int ColumnOf(uint64_t frame, uint64_t totalFrames);

  // Writes the PNG (kWidth x kHeight, RGB) by way of a temporary file beside
  // `path`. `clicks` in input frames. OutputUnwritable on failure.
  ToolStatus Write(const std::string& path, const std::vector<ClickMark>& clicks) const;

 private:
  void Analyse();
  void Halve();

  uint32_t sampleRate;
  uint16_t channels;
  uint32_t hop = 256;
  FloatFft fft;
  std::vector<float> window;
  std::vector<float> inputRing;   // mono input waiting for its output, by frame mod size
  uint64_t inputFrames = 0;
  uint64_t outputFrames = 0;
  std::vector<float> recentIn, recentOut;  // the last kFftSize frames, by frame mod kFftSize
  std::vector<float> re, im, outRe, outIm, workRe, workIm;
  // Per column, 3 x (kFftSize/2 + 1) summed powers (input, output, removed),
  // and how many frames went into each.
  std::vector<float> powers;
  std::vector<uint32_t> counts;
};

}  // namespace veltane
