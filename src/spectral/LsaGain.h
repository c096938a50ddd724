// The log-spectral amplitude gain of Ephraim and Malah (IEEE Trans. ASSP,
// 1985) with their decision-directed a-priori SNR (Ephraim and Malah, 1984)
// refined by a second step (the two-step estimate of Plapous, Marro and
// Scalart, IEEE Trans. ASLP, 2006), for one shared gain per frequency bin.
//
// Per bin and frame, with P the frame's power and L the hiss power:
//   gamma = P / L                                  a-posteriori SNR
//   LSA(xi) = min(xi / (1 + xi) exp(E1(v) / 2), 1),  v = xi / (1 + xi) gamma
//   xi1   = max(alpha G1'^2 gamma' + (1 - alpha) max(gamma - 1, 0), xiMin)
//   G1    = LSA(xi1)                               first step
//   G     = LSA(max(G1^2 gamma, xiMin))            second step
// where G1' and gamma' are the bin's first-step gain and a-posteriori SNR of
// the previous frame, xiMin = -25 dB (or the floor squared when that is
// lower: a floor of -40 dB makes xiMin -40 dB, without which the gain would
// not fall much below -27 dB), and alpha = exp(-hop / 142 ms), 0.96 for a hop
// of 256 frames at 44.1 kHz: the same memory in seconds whatever frame size a
// rate rounds to (16 kHz speech with 30 dB hiss gains 0.15 dB over a fixed
// 0.96).
// Measured on music and speech with white and pink hiss at 20 and 30 dB SNR:
// the second step gains 0.3 dB, alpha 0.96 0.2 to 0.5 dB over 0.98 (onsets
// are followed faster).
// G is then weighted by the probability that the bin holds any signal at
// all, the optimally-modified LSA of Cohen and Berdugo (Signal Processing,
// 2001):
//   zeta  = beta zeta' + (1 - beta) xi              xi of the second step, beta 0.7
//   P(z)  = 0 below zetaMin, 1 above zetaMax, linear in log z between
//   q     = min(1 - P(local zeta) P(global zeta), qMax)   a-priori absence
//   p     = 1 / (1 + q / (1 - q) (1 + xi) exp(-v))         presence
//   G     = G^p floor^(1 - p)
// with local zeta = (zeta[k-1] + 2 zeta[k] + zeta[k+1]) / 4 and global zeta
// the mean over bins k-15 .. k+15 (both cut at the spectrum's ends); their
// frame-wide term is left out. zetaMin -20 dB, zetaMax -10 dB and qMax 0.8
// (theirs: -10 dB, -5 dB, 0.95) were measured on music and speech with
// hiss: up to +0.3 dB SNR and 1.2 dB less log-spectral distance; theirs
// gained less.
// The gain given out is max(G, floor), at most 1. exp(E1(v)/2) comes from a
// table, the logarithms and powers of the weighting from polynomials, never
// from a library call.
#pragma once

#include <cstdint>
#include <vector>

namespace veltane {

class LsaGain {
 public:
  // The decision-directed weight's time constant: alpha = exp(-hop / this).
  static constexpr double kAlphaSeconds = 0.1422;
  static constexpr float kXiMin = 0.00316228f;  // -25 dB, the a-priori SNR's floor
  // The presence weighting described above.
  static constexpr float kZetaSmoothing = 0.7f;  // beta
  static constexpr float kZetaMin = 0.01f;       // -20 dB
  static constexpr float kZetaMax = 0.1f;        // -10 dB
  static constexpr float kMaxAbsence = 0.8f;     // qMax
  static constexpr uint32_t kGlobalHalfWidth = 15;

  // exp(E1(v) / 2), E1 the exponential integral, from a table of 16 points
  // per octave of v between 2^-20 and 2^12 with linear interpolation: within
  // 0.003 dB of the true value there (the tests check it); below 2^-20 the
  // value at 2^-20 (where every gain reaches 1 anyway), above 2^12 exactly 1.
  // The table is built while the program loads (static initialisation).
  static float ExpHalfE1(float v);
  // The same function evaluated in double precision from series and
  // continued fraction (Abramowitz and Stegun 5.1.11 and 5.1.22); slow, it
  // builds the table.
  static double ExpHalfE1Exact(double v);
  // The weighting's logarithm and power, as its kernels compute them in
  // every lane. log2(x) for a normal positive float from its exponent and a degree-5
  // polynomial in its mantissa: within 5e-5 of the true value (the tests
  // check it). Not for zero, denormals, negatives or NaNs.
  static float Log2Approx(float x);
  // 2^x from a degree-4 polynomial and the exponent's bits: within a relative
  // 2e-5 of the true value for -126 <= x < 128; 0 below -126 (and for a NaN).
  static float Exp2Approx(float x);

  // Sizes the state for `bins` bins and frames `hopSeconds` apart, and resets
  // it. Allocates.
  void Setup(uint32_t bins, double hopSeconds);
  // The decision-directed weight of the previous frame set up for the hop.
  float Alpha() const { return alpha_; }
  // Forgets the previous frame: the next frame's a-priori SNR is its own.
  void Reset();
  // One frame: gains[k] for power[k] and hiss[k], k < bins; gainFloor is the
  // lowest gain given out (0..1). hiss[k] <= 0 is taken as no hiss known
  // (gain 1). Allocates nothing; no transcendental call. Runs in vector
  // lanes of the active kernel level, with the same values at every level.
  void Compute(const float* power, const float* hiss, float gainFloor, float* gains);

 private:
  uint32_t bins_ = 0;
  bool first_ = true;
  float alpha_ = 0.96f;
  std::vector<float> previous_;  // G1'^2 gamma' per bin: the previous frame's clean-power estimate over L
  std::vector<float> zeta_;        // smoothed a-priori SNR
  std::vector<float> likelihood_;  // (1 + xi) exp(-v) per bin
  std::vector<float> global_;      // the global mean of zeta per bin
  std::vector<double> zetaWide_;   // zeta in double, which the running sum adds
  std::vector<double> sums_;       // the running sum of zeta per bin while its window slides
};

}  // namespace veltane
