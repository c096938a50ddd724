// "FDNoiseReduc": broadband hiss removal by power spectral subtraction with a
// spectral floor (after Boll's spectral subtraction and the floor of Berouti,
// Schwartz and Makhoul), with one frame of look-ahead, fast-attack /
// slow-release gain smoothing and an automatic hiss estimate taken from the
// steady power at the top of the spectrum.
//
// Input and output: one Spectra port each (half-complex frames from
// "Analysis", one array per channel). The block keeps the last two frames
// and gives out the older one, so every frame leaves one frame late (one hop
// of delay, also in bypass). Bin k of that frame gets the real gain gain[k],
// the same for every channel, decided from both kept frames:
//   Pmin, Pmax over the kept frames' powers, Pcur the outgoing frame's;
//   g = sqrt(max(beta Pmin, Pmin - noiseFloor) / (Pmin + 1e-9)), at most 1,
//       when Pmin <= 4 noiseFloor, else 1   (beta = floorGain);
//   gain[k] follows g at once when it falls or at an onset (4 Pcur <= Pmax),
//   else rises by the release coefficient r.
// DC and the Nyquist bin pass unchanged. noiseFloor is inputGain times either
// the fixed reference 0.0001 or EstimateHiss. Powers are in the units of the
// unnormalised transform of windowed full-scale (+-1) samples.
//
// Threads and locks: Process, OnInputsChanged and EstimateHiss run under
// GraphLock; SetBypass takes it. The level, smoothing and automatic-mode
// setters and the two Is getters take no lock and may run on another thread
// while Process runs: they store relaxed atomics, and a new value takes
// effect from the next frame. Arrays are allocated only in OnInputsChanged
// when the channel count or the transform size changes.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <vector>

#include "spectral/SpectralBlock.h"

namespace veltane {

class FDNoiseReduc : public SpectralBlock {
 public:
  static constexpr int32_t kDepth = 2;              // frames kept
  static constexpr int32_t kBandSlots = 20;         // 1 kHz bands 0 .. 19
  static constexpr int32_t kMaxBands = 16;          // bands below Nyquist looked at, at most
  static constexpr int32_t kLowestExaminedBand = 7;
  static constexpr float kFixedNoiseReference = 0.0001f;  // per-bin power

  // Output level -25 dB, input level -1.5 dB, release 0.2; bypass and
  // automatic mode off; automatic estimate 0.0001.
  explicit FDNoiseReduc(const char* name = "FDNoiseReduc");

  // Takes GraphLock. The one-frame delay is the same either way.
  void SetBypass(bool on);
  bool IsBypassed() const { return bypass.load(std::memory_order_relaxed); }
  // inputGain = 10^(dB/10). A NaN is ignored.
  void SetInputLevel(float db);
  // floorGain = 10^(dB/20): no gain falls below 10^(dB/40). A NaN is ignored.
  void SetOutputLevel(float db);
  // attack = 1, release = the value limited to 0 .. 1. A NaN is ignored.
  void SetSmoothing(float releaseCoefficient);
  void SetAutoLevel(bool on);
  bool IsAutoLevel() const { return autoLevel.load(std::memory_order_relaxed); }

  // Updates the automatic estimate from one frame's power spectrum
  // (power[0 .. n/2], n the transform size) and returns it: the smoothed
  // mean power per bin of the steady 1 kHz bands from the top of the
  // spectrum (at most 15-16 kHz) down to 7-8 kHz. Called by Process while
  // automatic mode is on, under GraphLock.
  float EstimateHiss(const float* powerSpectrum, uint32_t n);
  // The release coefficient the next frame will use, from release and the
  // estimator's latest bandCount and lowestBand: between release and 1.
  // Call with GraphLock held.
  float GetReleaseCoefficient() const;

  // One frame per call: Ok, or NotReady (no input buffer or no usable format).
  BlockStatus Process() override;
  // Republishes the input format (with the aux array) and, when the channel
  // count or the transform size changed, reallocates and resets the kept
  // frames and the gains. A reset of the block itself keeps all of them.
  void OnInputsChanged() override;

  // The spectrum array of one channel in one kept slot (n floats).
  float* SlotSpectrum(int32_t slot, uint16_t channel) {
    return slotSpectra[slot].data() + static_cast<size_t>(channel) * fftSize;
  }

  int32_t depth = kDepth;
  int32_t readSlot = 0;   // slot of the frame given out next
  int32_t writeSlot = kDepth - 1;  // slot the next frame goes to
  // Per slot, one array of n floats per channel. Every channel keeps its own
  // array (mono and stereo need one and two), so a stream of more than two
  // channels is delayed and given out intact, each channel with the common
  // gains, instead of its further channels sharing one array.
  std::vector<float> slotSpectra[kDepth];
  std::vector<float> slotPower[kDepth];  // per slot, power[0 .. n/2 - 1]
  std::vector<float> gain;  // n/2 smoothed gains; element 0 unused; 1.0 after a reset
  float noiseFloor = 0.0f;  // per-bin noise power used for the current frame
  // Statistics, any thread: noiseFloor as the RMS in dBFS of a white hiss
  // of that power per bin (in the band the block runs on); NaN before the
  // first frame and while bypassed.
  std::atomic<float> hissLevelDb{std::numeric_limits<float>::quiet_NaN()};

  std::atomic<float> inputLevelDb{0.0f};   // dB
  std::atomic<float> inputGain{1.0f};      // 10^(inputLevelDb/10), a power ratio
  std::atomic<float> outputLevelDb{0.0f};  // dB
  std::atomic<float> floorGain{1.0f};      // beta = 10^(outputLevelDb/20), applied to powers
  std::atomic<float> attack{1.0f};         // gain smoothing when falling or at an onset
  std::atomic<float> release{0.2f};        // gain smoothing when rising
  std::atomic<bool> bypass{false};
  std::atomic<bool> autoLevel{false};

  // Automatic estimator state: set at construction only, so an estimate
  // carries over from one stream to the next.
  float bandMean[kBandSlots] = {};  // smoothed power sum of band b (b .. b+1 kHz)
  float bandDev[kBandSlots] = {};   // smoothed absolute deviation from bandMean
  int32_t bandCount = 0;   // 1 kHz bands below Nyquist, at most 16
  int32_t lowestBand = 0;  // lowest band accepted in the latest run; bandCount if none
  float autoEstimate = kFixedNoiseReference;  // smoothed per-bin noise power

  uint16_t channels = 0;
  uint32_t fftSize = 0;   // N
  uint32_t halfSize = 0;  // N/2
  float sampleRate = 0.0f;  // Hz
  float binsPerHz = 0.0f;   // N / sampleRate

 private:
  bool Ready(const SampleBuffer* in, const SampleBuffer* out) const;
  void ResetFrames();
  void KeepFrame(const SampleBuffer& in);
  void GiveOutBypassed(SampleBuffer& out);
  void GiveOutWithGains(SampleBuffer& out, float releaseCoefficient);
};

static_assert(std::atomic<float>::is_always_lock_free, "level setters must not lock");

}  // namespace veltane
