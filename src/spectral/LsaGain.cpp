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

float LsaGain::Log2Approx(float x) {
  uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  const float exponent = static_cast<float>(static_cast<int32_t>(bits >> 23)) - 127.0f;
  const uint32_t mantissaBits = (bits & 0x7fffffu) | 0x3f800000u;
  float m;
  std::memcpy(&m, &mantissaBits, sizeof m);
  const float t = m - 1.0f;
  // Chebyshev fit of log2(1 + t) on [0, 1), largest error 3.2e-5.
  const float poly =
      3.1908130e-05f +
      t * (1.4412674f + t * (-0.70570415f + t * (0.40872175f + t * (-0.18772264f + t * 0.043428909f))));
  return exponent + poly;
}

float LsaGain::Exp2Approx(float x) {
  if (!(x >= -126.0f)) return 0.0f;
  x = std::min(x, 127.99f);
  const float whole = std::floor(x);
  const float f = x - whole;
  // Chebyshev fit of 2^f on [0, 1), largest relative error 7.3e-6.
  const float poly = 1.0000073f + f * (0.69293129f + f * (0.24171026f + f * (0.051666878f + f * 0.013676531f)));
  const uint32_t scaleBits = static_cast<uint32_t>(static_cast<int32_t>(whole) + 127) << 23;
  float scale;
  std::memcpy(&scale, &scaleBits, sizeof scale);
  return poly * scale;
}

void LsaGain::Setup(uint32_t bins, double hopSeconds) {
  bins_ = bins;
  alpha_ = static_cast<float>(std::exp(-hopSeconds / kAlphaSeconds));
  previous_.assign(bins, 0.0f);
  xiScaled_.assign(bins, 0.0f);
  v_.assign(bins, 0.0f);
  zeta_.assign(bins, 0.0f);
  absence_.assign(bins, 0.0f);
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
  float* q = absence_.data();
  // xi = scaled / (1 - scaled): the second step's a-priori SNR, kept finite.
  auto apriori = [](float s) { return s / std::max(1.0f - s, 1e-7f); };
  for (uint32_t k = 0; k < n; ++k) zeta[k] = kZetaSmoothing * zeta[k] + (1.0f - kZetaSmoothing) * apriori(scaled[k]);
  // P(z), linear in log2 z between the two limits.
  const float log2Min = Log2Approx(kZetaMin);
  const float span = 1.0f / (Log2Approx(kZetaMax) - log2Min);
  auto presence = [&](float z) { return std::clamp((Log2Approx(z) - log2Min) * span, 0.0f, 1.0f); };
  // The global mean is a running sum over the bins within kGlobalHalfWidth.
  double sum = 0.0;
  uint32_t count = 0;
  for (uint32_t k = 0; k < n && k <= kGlobalHalfWidth; ++k, ++count) sum += zeta[k];
  for (uint32_t k = 0; k < n; ++k) {
    const float local = 0.25f * (zeta[k > 0 ? k - 1 : k] + zeta[k + 1 < n ? k + 1 : k]) + 0.5f * zeta[k];
    const float global = static_cast<float>(sum / count);
    q[k] = std::min(1.0f - presence(local) * presence(global), kMaxAbsence);
    if (k + kGlobalHalfWidth + 1 < n) {
      sum += zeta[k + kGlobalHalfWidth + 1];
      ++count;
    }
    if (k >= kGlobalHalfWidth) {
      sum -= zeta[k - kGlobalHalfWidth];
      --count;
    }
  }
  constexpr float kLog2E = 1.44269504f;
  // A floor of 0 would have no logarithm; 1e-9 is far below anything audible.
  const float floor = std::clamp(gainFloor, 1e-9f, 1.0f);
  const float log2Floor = Log2Approx(floor);
  for (uint32_t k = 0; k < n; ++k) {
    const float p = 1.0f / (1.0f + q[k] / (1.0f - q[k]) * (1.0f + apriori(scaled[k])) * Exp2Approx(-kLog2E * v[k]));
    const float g = std::clamp(scaled[k] * gains[k], floor, 1.0f);
    gains[k] = std::clamp(Exp2Approx(p * Log2Approx(g) + (1.0f - p) * log2Floor), floor, 1.0f);
  }
}

}  // namespace veltane
