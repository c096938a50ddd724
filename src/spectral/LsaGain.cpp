// Log-spectral amplitude gain (Ephraim and Malah 1985) with a tabled exp(E1(v)/2).
#include "spectral/LsaGain.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace veltane {
namespace {

constexpr int kLowestExponent = -20;  // the table covers 2^-20 <= v < 2^12
constexpr int kOctaves = 32;
constexpr int kStepsPerOctave = 16;   // the top four mantissa bits
constexpr int kEntries = kOctaves * kStepsPerOctave + 1;
constexpr float kLowest = 1.0f / (1 << 20);
constexpr float kHighest = 4096.0f;

// Entry i is the value at the float whose exponent and top four mantissa
// bits are i; between entries v moves linearly with the remaining 19 bits.
std::array<float, kEntries> BuildTable() {
  std::array<float, kEntries> table{};
  for (int i = 0; i < kEntries; ++i) {
    const double v = std::ldexp(1.0 + (i % kStepsPerOctave) / 16.0, kLowestExponent + i / kStepsPerOctave);
    table[i] = static_cast<float>(LsaGain::ExpHalfE1Exact(v));
  }
  return table;
}

const std::array<float, kEntries>& Table() {
  static const std::array<float, kEntries> table = BuildTable();
  return table;
}

}  // namespace

double LsaGain::ExpHalfE1Exact(double v) {
  if (!(v > 0.0)) return HUGE_VAL;
  double e1;
  if (v <= 1.0) {
    // E1(v) = -gamma - ln v - sum_k (-v)^k / (k k!)
    constexpr double kEulerGamma = 0.57721566490153286061;
    double sum = 0.0, term = 1.0;
    for (int k = 1; k < 60; ++k) {
      term *= -v / k;
      sum += term / k;
      if (std::fabs(term) < 1e-18) break;
    }
    e1 = -kEulerGamma - std::log(v) - sum;
  } else {
    // E1(v) = e^-v / (v + 1 / (1 + 1 / (v + 2 / (1 + 2 / (v + ...))))), evaluated
    // by the modified Lentz method on its even form.
    double b = v + 1.0, c = 1e300, d = 1.0 / b, h = d;
    for (int k = 1; k < 200; ++k) {
      const double a = -static_cast<double>(k) * k;
      b += 2.0;
      d = 1.0 / (a * d + b);
      c = b + a / c;
      const double delta = c * d;
      h *= delta;
      if (std::fabs(delta - 1.0) < 1e-16) break;
    }
    e1 = h * std::exp(-v);
  }
  return std::exp(0.5 * e1);
}

float LsaGain::ExpHalfE1(float v) {
  if (!(v >= kLowest)) return Table()[0];  // also a NaN
  if (v >= kHighest) return 1.0f;
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  // Exponent and top four mantissa bits index the table; the other 19 bits
  // are the position between two entries.
  const uint32_t index = (bits >> 19) - ((127u + kLowestExponent) << 4);
  const float fraction = static_cast<float>(bits & 0x7ffff) * (1.0f / 524288.0f);
  const float* t = Table().data() + index;
  return t[0] + fraction * (t[1] - t[0]);
}

void LsaGain::Setup(uint32_t bins, double hopSeconds) {
  bins_ = bins;
  alpha_ = static_cast<float>(std::exp(-hopSeconds / kAlphaSeconds));
  previous_.assign(bins, 0.0f);
  xiScaled_.assign(bins, 0.0f);
  v_.assign(bins, 0.0f);
  zeta_.assign(bins, 0.0f);
  likelihood_.assign(bins, 0.0f);
  global_.assign(bins, 0.0f);
  Table();
  Reset();
}

void LsaGain::Reset() {
  std::fill(previous_.begin(), previous_.end(), 0.0f);
  std::fill(zeta_.begin(), zeta_.end(), 0.0f);
  first_ = true;
}

void LsaGain::Compute(const float* power, const float* hiss, float gainFloor, float* gains) {
  const uint32_t n = bins_;
  float* previous = previous_.data();
  float* scaled = xiScaled_.data();
  float* v = v_.data();
  // On the first frame there is no previous estimate: the a-priori SNR is
  // this frame's own maximum-likelihood one.
  const float alpha = first_ ? 0.0f : alpha_;
  first_ = false;
  // A hiss power this small against any real power means "no hiss known";
  // it also keeps gamma finite.
  constexpr float kTiny = 1e-20f;
  // A floor below -25 dB lowers the a-priori SNR's floor with it, or the gain
  // could never reach it.
  const float xiMin = std::min(kXiMin, gainFloor * gainFloor);
  // The loops around the table look-ups are plain arithmetic the compiler vectorises.
  for (uint32_t k = 0; k < n; ++k) {
    const float gamma = power[k] / std::max(hiss[k], kTiny);
    const float xi = std::max(alpha * previous[k] + (1.0f - alpha) * std::max(gamma - 1.0f, 0.0f), xiMin);
    scaled[k] = xi / (1.0f + xi);
    v[k] = scaled[k] * gamma;
    previous[k] = gamma;  // until the first step's gain is known
  }
  for (uint32_t k = 0; k < n; ++k) gains[k] = ExpHalfE1(v[k]);
  for (uint32_t k = 0; k < n; ++k) {
    const float gamma = previous[k];
    const float g = std::min(scaled[k] * gains[k], 1.0f);
    // A NaN or an overflow would stay in the recursion for good: it restarts from zero instead.
    const float clean = g * g * gamma;
    previous[k] = clean < 1e30f ? clean : 0.0f;
    // Second step: the first step's clean-power estimate is this frame's a-priori SNR.
    const float xi = std::max(previous[k], xiMin);
    scaled[k] = xi / (1.0f + xi);
    v[k] = scaled[k] * gamma;
  }
  for (uint32_t k = 0; k < n; ++k) gains[k] = ExpHalfE1(v[k]);
  Weigh(gainFloor, gains);
}

void LsaGain::Weigh(float gainFloor, float* gains) {
  const uint32_t n = bins_;
  if (n == 0) return;
  const float* scaled = xiScaled_.data();
  const float* v = v_.data();
  float* zeta = zeta_.data();
  float* likelihood = likelihood_.data();
  float* global = global_.data();
  constexpr float kLog2E = 1.44269504f;
  // A floor of 0 would have no logarithm; 1e-9 is far below anything audible.
  const float floor = std::clamp(gainFloor, 1e-9f, 1.0f);
  const float log2Floor = Log2Approx(floor);
  // Per bin: the smoothed a-priori SNR, (1 + xi) exp(-v) (the likelihood
  // ratio's inverse without the priors) and log2 of the LSA gain.
  for (uint32_t k = 0; k < n; ++k) {
    const float xi = scaled[k] / std::max(1.0f - scaled[k], 1e-7f);
    zeta[k] = kZetaSmoothing * zeta[k] + (1.0f - kZetaSmoothing) * xi;
    likelihood[k] = (1.0f + xi) * Exp2Approx(-kLog2E * v[k]);
    gains[k] = Log2Approx(std::clamp(scaled[k] * gains[k], floor, 1.0f));
  }
  // The global mean: a running sum over the bins within kGlobalHalfWidth.
  double sum = 0.0;
  uint32_t count = 0;
  for (uint32_t k = 0; k < n && k <= kGlobalHalfWidth; ++k, ++count) sum += zeta[k];
  for (uint32_t k = 0; k < n; ++k) {
    global[k] = static_cast<float>(sum / count);
    if (k + kGlobalHalfWidth + 1 < n) {
      sum += zeta[k + kGlobalHalfWidth + 1];
      ++count;
    }
    if (k >= kGlobalHalfWidth) {
      sum -= zeta[k - kGlobalHalfWidth];
      --count;
    }
  }
  // P(z), linear in log2 z between the two limits; then the presence
  // probability and G^p floor^(1 - p) in the log2 domain.
  const float log2Min = Log2Approx(kZetaMin);
  const float span = 1.0f / (Log2Approx(kZetaMax) - log2Min);
  auto weigh = [&](uint32_t k, float local) {
    const float presence = std::clamp((Log2Approx(local) - log2Min) * span, 0.0f, 1.0f) *
                           std::clamp((Log2Approx(global[k]) - log2Min) * span, 0.0f, 1.0f);
    const float q = std::min(1.0f - presence, kMaxAbsence);
    const float p = 1.0f / (1.0f + q / (1.0f - q) * likelihood[k]);
    gains[k] = std::clamp(Exp2Approx(log2Floor + p * (gains[k] - log2Floor)), floor, 1.0f);
  };
  // The local mean is cut at the spectrum's ends.
  weigh(0, n > 1 ? 0.75f * zeta[0] + 0.25f * zeta[1] : zeta[0]);
  for (uint32_t k = 1; k + 1 < n; ++k) weigh(k, 0.25f * (zeta[k - 1] + zeta[k + 1]) + 0.5f * zeta[k]);
  if (n > 1) weigh(n - 1, 0.75f * zeta[n - 1] + 0.25f * zeta[n - 2]);
}

}  // namespace veltane
