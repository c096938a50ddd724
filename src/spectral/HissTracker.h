// Per-bin hiss power tracker that needs no hiss-only passage: minimum
// statistics (Martin, IEEE Trans. Speech Audio Process., 2001) on the
// smoothed power, pooled per third-octave band so that held notes do not
// become the floor, with the hiss's spectral slope fitted at the top of the
// spectrum and imposed as a limit toward low frequencies.
//
// Each frame (power P[k] = mean over channels of |X_c[k]|^2, k = 0 .. N/2):
//  1. S[k] smoothed with a time constant of 4.3 frames (25 ms at 44.1 kHz),
//     a plain mean over the first frames; frames whose power is all zero
//     (digital silence) are skipped entirely.
//  2. Minimum of S[k] over the last 176 frames (1 s at 44.1 kHz), kept as 7
//     finished sub-windows of 22 frames plus the running one.
//  3. Every fourth frame: per band (a third of an octave, at least 8 bins)
//     the 30th percentile of the bins' minima, times a bias correction
//     measured on white noise (it depends on the channel count and on how
//     much of the span has been seen); in dB: the hiss's slope is fitted by
//     least squares against log frequency over the bins' minima between
//     0.225 and 0.45 of the rate (points 0.75 dB above the line dropped, up
//     to five passes), clamped to 0 .. 3 dB per octave rising toward low
//     frequencies; walking down from the top band no band may exceed its
//     upper neighbour by more than that slope; the band levels are smoothed
//     in dB (time constant 0.5 s rising, 0.3 s falling) and spread over the
//     bins, geometric between band centres.
//
// Units: those of the power spectrum given (any). Setup allocates; Update
// and Reset allocate nothing. Not thread-safe: the owning block calls it
// under GraphLock.
#pragma once

#include <cstdint>
#include <vector>

namespace veltane {

class HissTracker {
 public:
  static constexpr int kSubWindows = 8;
  // Counted in frames so that the statistics of the minimum, and with them
  // the bias correction, are the same at every rate (hops of 5.3 to 8 ms):
  // 25 ms and 1 s at 44.1 kHz (a 2 s span measured 0.1 to 0.2 dB worse).
  static constexpr double kSmoothingFrames = 4.3;     // time constant of S
  static constexpr uint32_t kSubWindowFrames = 22;    // the span is 8 of them
  static constexpr double kBandRiseSeconds = 0.5;     // band level smoothing (in dB), rising
  static constexpr double kBandFallSeconds = 0.3;     // and falling
  static constexpr float kPercentile = 0.3f;
  static constexpr uint32_t kBandEvery = 4;            // frames between band updates
  static constexpr uint32_t kMinBandBins = 8;
  static constexpr float kMaxSlopeDb = 3.0f;           // dB per octave, pink hiss
  static constexpr float kOutlierDb = 0.75f;
  static constexpr int kFitPasses = 5;

  // Transform size n (a power of two, at least 16), hop in samples, rate in
  // Hz, channels averaged into the power (1 or more). Allocates and resets.
  void Setup(uint32_t n, uint32_t hop, float sampleRate, uint16_t channels);
  // Forgets everything seen: no estimate until the next frame.
  void Reset();
  // Takes one frame's power spectrum, power[0 .. n/2].
  void Update(const float* power);

  // Hiss power per bin, n/2 + 1 values; all zero before the first frame.
  const float* Estimate() const { return estimate_.data(); }
  // The slope of the last fit, dB per octave rising toward low frequencies.
  float SlopeDb() const { return slopeDb_; }
  uint32_t FramesSeen() const { return framesSeen_; }

 private:
  void UpdateBands();
  float BiasDb() const;

  uint32_t bins_ = 0;  // n/2 + 1
  uint16_t channels_ = 1;
  float smoothing_ = 0.0f;      // weight of the previous S
  float bandSmoothing_ = 0.0f;  // weight of the previous band level, per band update, rising
  float bandFall_ = 0.0f;       // the same, falling
  uint32_t subLength_ = 1;      // frames per sub-window
  uint32_t framesSeen_ = 0;
  uint32_t framesInSub_ = 0;
  uint32_t subCount_ = 0;       // finished sub-windows kept, up to kSubWindows - 1
  uint32_t subNext_ = 0;
  float slopeDb_ = 0.0f;
  bool bandsSet_ = false;

  std::vector<float> smoothed_;   // S per bin
  std::vector<float> running_;    // minimum of the running sub-window
  std::vector<float> finished_;   // minimum over the finished sub-windows
  std::vector<float> subMinima_;  // (kSubWindows - 1) x bins, a ring of finished sub-windows
  std::vector<float> estimate_;

  std::vector<uint32_t> bandLo_, bandHi_;  // bins lo .. hi - 1
  std::vector<float> bandCentre_;          // centre, in bins
  std::vector<float> bandOctave_;          // log2 of the centre
  std::vector<uint32_t> centreBin_;        // the first bin at or above the centre
  std::vector<float> bandDb_;              // smoothed band level
  std::vector<float> rawDb_;               // this update's band level
  std::vector<float> scratch_;             // one band's minima, sorted
  std::vector<uint32_t> order_;            // each band's bins by their minima at the last update
  uint32_t fitFirst_ = 0, fitEnd_ = 0;     // bins of the slope fit: 0.225 .. 0.45 of the rate
  std::vector<float> fitOctave_;           // log2 of each fit bin's index
  std::vector<float> fitDb_;               // each fit bin's minimum, dB
  std::vector<float> fitPower_;            // the minimum fitDb_ was taken from, power
  std::vector<double> fitUse_;             // 1 for a fit bin still in the fit this pass, else 0
  std::vector<double> fitTerms_;           // x, y, x^2, x y of each fit bin (x its octave, y its dB)
};

}  // namespace veltane
