// Log-spectral amplitude gain (Ephraim and Malah 1985) with a tabled exp(E1(v)/2).
#include "spectral/LsaGain.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "framework/KernelLevel.h"
#include "framework/Lanes.h"

#if VELTANE_HAS_V3
#include <immintrin.h>
#endif

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
// The last entry (2^12) only ever meets a zero fraction, and the one past it
// keeps the interpolation's second read inside the table there.
std::array<float, kEntries + 1> BuildTable() {
  std::array<float, kEntries + 1> table{};
  for (int i = 0; i < kEntries; ++i) {
    const double v = std::ldexp(1.0 + (i % kStepsPerOctave) / 16.0, kLowestExponent + i / kStepsPerOctave);
    table[i] = static_cast<float>(LsaGain::ExpHalfE1Exact(v));
  }
  table[kEntries] = table[kEntries - 1];
  return table;
}

// Built while the program (or the DLL, or the plugin) loads, so that a look-up
// is a plain read: no guard, no call.
const std::array<float, kEntries + 1> kTable = BuildTable();

// below[l] = kTable[index[l]], above[l] = kTable[index[l] + 1]: one read per
// lane at the baseline, two gathers at x86-64-v3.
template <class I, class V>
inline void ReadTable(const I& index, V& below, V& above) {
  // Through arrays: plain loads and stores, where lane inserts cost more.
  constexpr size_t kW = sizeof(V) / sizeof(float);
  int32_t at[kW];
  float low[kW], high[kW];
  StoreLanes(index, at);
  for (size_t l = 0; l < kW; ++l) {
    low[l] = kTable[at[l]];
    high[l] = kTable[at[l] + 1];
  }
  LoadLanes(below, low);
  LoadLanes(above, high);
}
#if VELTANE_HAS_V3
VELTANE_TARGET_V3 inline void ReadTable(const Lanes<int32_t, 8>& index, Lanes<float, 8>& below,
                                        Lanes<float, 8>& above) {
  const __m256i at = reinterpret_cast<__m256i>(index);
  below = reinterpret_cast<Lanes<float, 8>>(_mm256_i32gather_ps(kTable.data(), at, 4));
  above = reinterpret_cast<Lanes<float, 8>>(_mm256_i32gather_ps(kTable.data() + 1, at, 4));
}
#endif

// out = exp(E1(v) / 2) in every lane, without branches: v is clamped into the
// table (a NaN to its bottom), and above it the value is 1.
template <int W>
inline void Lookup(const Lanes<float, W>& v, Lanes<float, W>& out) {
  using V = Lanes<float, W>;
  using I = Lanes<int32_t, W>;
  const V lowest = kLowest - V{}, highest = kHighest - V{};
  const V inside = v >= lowest ? (v < highest ? v : highest) : lowest;
  I bits;
  std::memcpy(&bits, &inside, sizeof bits);
  // Exponent and top four mantissa bits index the table; the other 19 bits
  // are the position between two entries.
  const I index = (bits >> 19) - ((127 + kLowestExponent) << 4);
  const V fraction = __builtin_convertvector(bits & 0x7ffff, V) * (1.0f / 524288.0f);
  V below, above;
  ReadTable(index, below, above);
  const V value = below + fraction * (above - below);
  out = v >= highest ? 1.0f - V{} : value;
}

// W bins of one frame of the two-step gain: every bin on its own.
template <int W>
inline void GainLanes(const float* power, const float* hiss, float* previous, float alpha, float xiMin,
                      float* scaled, float* v, float* gains) {
  using V = Lanes<float, W>;
  // A hiss power this small against any real power means "no hiss known";
  // it also keeps gamma finite.
  const V tiny = 1e-20f - V{}, zero = V{}, one = 1.0f - V{}, floorXi = xiMin - V{};
  V p, h, old;
  LoadLanes(p, power);
  LoadLanes(h, hiss);
  LoadLanes(old, previous);
  // max(a, b) and min(a, b) are written a < b ? b : a and b < a ? b : a, as std::max and std::min choose.
  const V gamma = p / (h < tiny ? tiny : h);
  const V excess = gamma - 1.0f;
  const V blend = alpha * old + (1.0f - alpha) * (excess < zero ? zero : excess);
  const V xi1 = blend < floorXi ? floorXi : blend;
  const V scaled1 = xi1 / (1.0f + xi1);
  V e1;
  Lookup<W>(scaled1 * gamma, e1);
  const V lsa1 = scaled1 * e1;
  const V g1 = one < lsa1 ? one : lsa1;
  // A NaN or an overflow would stay in the recursion for good: it restarts from zero instead.
  const V clean = g1 * g1 * gamma;
  const V kept = clean < 1e30f ? clean : zero;
  StoreLanes(kept, previous);
  // Second step: the first step's clean-power estimate is this frame's a-priori SNR.
  const V xi2 = kept < floorXi ? floorXi : kept;
  const V scaled2 = xi2 / (1.0f + xi2);
  V e2;
  Lookup<W>(scaled2 * gamma, e2);
  StoreLanes(scaled2, scaled);
  StoreLanes(V{scaled2 * gamma}, v);
  StoreLanes(e2, gains);
}

// One frame, in the widest vectors of the level; the last few bins go
// through the same lanes from a padded copy.
struct ComputeKernel {
  template <class Isa>
  static void Run(uint32_t n, const float* power, const float* hiss, float* previous, float alpha, float xiMin,
                  float* scaled, float* v, float* gains) {
    constexpr uint32_t kW = Isa::kFloatLanes;
    uint32_t k = 0;
    for (; k + kW <= n; k += kW) {
      GainLanes<kW>(power + k, hiss + k, previous + k, alpha, xiMin, scaled + k, v + k, gains + k);
    }
    if (k == n) return;
    float p[kW] = {}, h[kW] = {}, old[kW] = {}, s[kW] = {}, vv[kW] = {}, g[kW] = {};
    std::copy(power + k, power + n, p);
    std::copy(hiss + k, hiss + n, h);
    std::copy(previous + k, previous + n, old);
    GainLanes<kW>(p, h, old, alpha, xiMin, s, vv, g);
    std::copy(old, old + (n - k), previous + k);
    std::copy(s, s + (n - k), scaled + k);
    std::copy(vv, vv + (n - k), v + k);
    std::copy(g, g + (n - k), gains + k);
  }
};

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
  Lanes<float, 4> out;
  Lookup<4>(Lanes<float, 4>{v, v, v, v}, out);
  return out[0];
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
  Reset();
}

void LsaGain::Reset() {
  std::fill(previous_.begin(), previous_.end(), 0.0f);
  std::fill(zeta_.begin(), zeta_.end(), 0.0f);
  first_ = true;
}

void LsaGain::Compute(const float* power, const float* hiss, float gainFloor, float* gains) {
  // On the first frame there is no previous estimate: the a-priori SNR is
  // this frame's own maximum-likelihood one.
  const float alpha = first_ ? 0.0f : alpha_;
  first_ = false;
  // A floor below -25 dB lowers the a-priori SNR's floor with it, or the gain
  // could never reach it.
  const float xiMin = std::min(kXiMin, gainFloor * gainFloor);
  DispatchKernel<ComputeKernel>(bins_, power, hiss, previous_.data(), alpha, xiMin, xiScaled_.data(), v_.data(),
                                gains);
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
