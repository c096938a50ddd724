// "HissRemover": the modern engine's broadband hiss removal. Short-time
// spectra on a float SIMD transform, a per-bin hiss tracker that needs no
// level from the user (HissTracker) and the log-spectral amplitude gain with
// decision-directed a-priori SNR (LsaGain), one gain per bin shared by all
// channels, resynthesised by weighted overlap-add.
//
// Framing: N = the power of two nearest 23 ms at the stream's rate (512 at
// 16 and 22.05 kHz, 1024 at 44.1 and 48 kHz, 2048 at 88.2 and 96 kHz;
// 256 .. 16384), hop H = N/4 (measured: 46 ms frames lost 0.3 to 0.8 dB on
// guitar and speech at 30 dB SNR and gained 0.2 to 0.4 dB on piano), periodic square-root Hann window for analysis and synthesis,
// full band at the full rate. Channels 0 and 1 (2 and 3, ...) go through one
// complex transform as real and imaginary parts; the power that drives the
// tracker and the gain is the mean over all channels. Each channel's offset
// (a first-order low-pass, 0.3 Hz) goes around the transform and rejoins the
// output unchanged, so that its window's leakage does not hide the hiss of
// the lowest bins (pink hiss has most of its power there: +0.3 dB SNR at 20
// dB, +0.15 at 30 dB on music, over passing the DC bin unchanged); the DC
// bin then takes its gain like any other.
//
// Ports: one Samples input, one Samples output of H frames per buffer.
// Latency: output frame k carries input frame k - (N - H) (768 frames at
// 44.1 kHz), behind a zero pre-roll; the same in bypass and for every
// frequency. Frames merely waiting for a whole hop are not counted.
//
// Parameters, as the user sees them (any thread; relaxed atomics, read once
// per frame):
//   SetOutputLevel(v), v in 0..1, "Output Hiss Level": the gain floor,
//     20 log10 floor = -(200/3) (1 - v) dB: 0 removes as much as it can
//     (-67 dB), the default 0.625 gives -25 dB, 1 leaves everything.
//   SetInputLevel(v), v in 0..1, "Input Hiss Level", used while automatic
//     mode is off: a flat (white) hiss of -90 + 60 v dBFS RMS per channel.
//   SetAutoLevel(on): the tracker's estimate (on, the default) or the flat
//     level above. The tracker keeps learning either way.
//   SetBypass(on): the input, delayed by the same latency, bit for bit. The
//     tracker rests meanwhile; after a bypass the processed sound returns once
//     the overlap-add has refilled (three hops, raw until then).
//
// Threads and memory: Process, OnInputsChanged and OnReset run under
// GraphLock. Memory is allocated only in OnInputsChanged (a new format);
// nothing in steady state.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <vector>

#include "framework/Block.h"
#include "framework/SampleRing.h"
#include "spectral/FloatFft.h"
#include "spectral/HissTracker.h"
#include "spectral/LsaGain.h"

namespace veltane {

class HissRemover : public Block {
 public:
  static constexpr double kFrameSeconds = 0.023;
  static constexpr uint32_t kMinOrder = 8, kMaxOrder = 14;
  static constexpr uint32_t kHopsPerFrame = 4;

  explicit HissRemover(const char* name = "HissRemover");

  // N for a rate (Hz); 256 for a rate that is not a positive number.
  static uint32_t FftSizeFor(float rate);
  // N - H for a rate: what the block delays the stream by.
  static uint32_t LatencyFor(float rate) { return FftSizeFor(rate) - FftSizeFor(rate) / kHopsPerFrame; }
  // The mappings of the user's levels described above.
  static float GainFloorFor(float outputLevel);
  static float HissDbfsFor(float inputLevel);

  void SetBypass(bool on) { bypass.store(on, std::memory_order_relaxed); }
  bool IsBypassed() const { return bypass.load(std::memory_order_relaxed); }
  void SetOutputLevel(float level);  // a NaN is ignored
  void SetInputLevel(float level);   // a NaN is ignored
  void SetAutoLevel(bool on) { autoLevel.store(on, std::memory_order_relaxed); }
  bool IsAutoLevel() const { return autoLevel.load(std::memory_order_relaxed); }

  // At most one hop out per call; always SelfMarked.
  BlockStatus Process() override;
  // Not busy while the ring holds a whole frame, even without a fresh input
  // buffer, so that hops smaller than the input buffers do not pile up.
  bool IsBusy() override;
  // Sizes everything for the new format (allocates) and publishes it with
  // H frames per buffer.
  void OnInputsChanged() override;
  // Restarts the stream: pre-roll, tracker, gains and overlap-add emptied.
  void OnReset() override;

  const HissTracker& Tracker() const { return tracker; }
  // Statistics, any thread: the hiss level the gain works against, as the
  // RMS per channel in dBFS of a hiss with that power spectrum (the tracker's
  // estimate in automatic mode, else the manual level); NaN before the first
  // frame after a reset, and while bypassed.
  float HissLevelDb() const { return hissLevelDb.load(std::memory_order_relaxed); }

  std::atomic<bool> bypass{false};
  std::atomic<bool> autoLevel{true};
  std::atomic<float> gainFloor{0.0f};   // amplitude, 0..1
  std::atomic<float> hissDbfs{-70.0f};  // manual flat hiss level
  std::atomic<float> hissLevelDb{std::numeric_limits<float>::quiet_NaN()};  // see HissLevelDb

  uint16_t channels = 0;
  uint32_t inputFrames = 0;  // frames per input buffer
  float sampleRate = 0.0f;
  uint32_t fftSize = 0;      // N
  uint32_t hopSize = 0;      // H
  SampleRing ring;           // input per channel; its reader is the oldest sample of the next frame

 private:
  void Restart();
  void AnalyseFrame();
  void SynthesiseFrame(float floor);
  void GiveOut(float* out, bool raw);
  void FillFlatHiss(float dbfs);
  // Follows every channel's offset over a new input buffer (interleaved) into offsets_.
  void TrackOffsets(const float* input);
  // Takes channel c's windowed offset out of its windowed frame.
  void SubtractOffset(uint16_t c, float* windowed);

  FloatFft fft;
  HissTracker tracker;
  LsaGain lsa;
  bool configured_ = false;
  uint32_t frameIndex_ = 0;      // frames since the restart; the first N/H - 1 reach into the pre-roll
  uint32_t warmup_ = 0;          // hops still given out raw after a bypass
  bool wasBypassed_ = false;
  float flatDbfs_ = 1.0f;        // level flatHiss_ was filled for (1 = none yet)
  std::vector<float> window_;    // N, square-root periodic Hann
  std::vector<float> norm_;      // H, 1 / (N sum of squared windows) per position in a hop
  std::vector<float> spectra_;   // per channel pair: N real, then N imaginary
  std::vector<float> frame_;     // 2N: transform input, then output
  std::vector<float> work_;      // 2N: transform scratch
  std::vector<float> power_;     // N/2 + 1
  std::vector<float> gains_;     // N/2 + 1
  std::vector<float> flatHiss_;  // N/2 + 1
  std::vector<float> overlap_;   // per channel N: the overlap-add accumulator
  SampleRing offsets_;           // each input sample's offset, in step with ring
  std::vector<double> offsetState_;   // per channel, the low-pass's state
  std::vector<float> offsetScratch_;  // twice max(input buffer, N): a pair's two channels
  double offsetWeight_ = 0.0;         // the low-pass's weight of a new sample
};

}  // namespace veltane
